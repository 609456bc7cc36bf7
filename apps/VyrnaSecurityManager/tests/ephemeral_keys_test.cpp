// The key store's start-up reconciliation and key loading on real files.
// Key creation and the ciphers need the device and are proven through the
// bridge and the black-box suites.
#include <unistd.h>

#include "EphemeralKeys.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

using Files = std::vector<std::pair<std::string, QByteArray>>;

QByteArray Key(char fill)
{
    return QByteArray(128, fill);
}

std::string Primary(const std::string& name = "")
{
    return std::string(kKeysDir) + (name.empty() ? "" : "/" + name);
}

std::string Backup(const std::string& name = "")
{
    return std::string(kBackupDir) + (name.empty() ? "" : "/" + name);
}

// The directory holds exactly these files and a ".CRC" that matches them.
void ExpectStore(const std::string& dir, const Files& files)
{
    std::vector<std::string> names;
    QByteArray all;
    for (const auto& [name, content] : files) {
        names.push_back(name);
        EXPECT_EQ(ReadFile(dir + "/" + name), content) << dir << "/" << name;
        all += content;
    }
    if (!files.empty())
        names.insert(names.begin(), ".CRC");
    EXPECT_EQ(List(dir), names) << dir;
    if (!files.empty()) {
        EXPECT_EQ(ReadFile(dir + "/.CRC"), CrcText(all)) << dir;
    }
}

using EphemeralKeysTest = BoardTest;

TEST_F(EphemeralKeysTest, FirstStartCreatesBothEmptyDirectories)
{
    EphemeralKeys keys;
    EXPECT_EQ(keys.init(), 0);
    EXPECT_TRUE(Exists(Primary()));
    EXPECT_TRUE(Exists(Backup()));
    EXPECT_TRUE(List(Primary()).empty());
    EXPECT_TRUE(List(Backup()).empty());
}

TEST_F(EphemeralKeysTest, BackupPrevailsOverAnIntactPrimary)
{
    WriteIntactStore(Primary(), {{"1000.key", Key('o')}, {"1001.key", Key('b')}, {"3000.key", Key('x')}});
    WriteIntactStore(Backup(), {{"1000.key", Key('a')}, {"1001.key", Key('b')}, {"2000.key", Key('c')}});
    EphemeralKeys keys;
    EXPECT_EQ(keys.init(), 0);
    const Files expected = {{"1000.key", Key('a')}, {"1001.key", Key('b')}, {"2000.key", Key('c')}};
    ExpectStore(Primary(), expected);
    ExpectStore(Backup(), expected);
}

struct DamageCase {
    const char* name;
    bool primaryDamaged;
    bool backupDamaged;
    int result;
    bool keysSurvive;
};

class KeyStoreDamage : public EphemeralKeysTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(KeyStoreDamage, OneIntactCopyRestoresTheOther)
{
    const Files keys = {{"0005.key", Key('a')}, {"1000.key", Key('b')}};
    WriteIntactStore(Primary(), keys);
    WriteIntactStore(Backup(), keys);
    if (GetParam().primaryDamaged)
        WriteFile(Primary("1000.key"), Key('X'));
    if (GetParam().backupDamaged)
        WriteFile(Backup(".CRC"), "0");

    EphemeralKeys store;
    StderrCapture err;
    EXPECT_EQ(store.init(), GetParam().result);
    ExpectStore(Primary(), GetParam().keysSurvive ? keys : Files{});
    ExpectStore(Backup(), GetParam().keysSurvive ? keys : Files{});

    // Whatever happened, the next start finds consistent stores.
    EphemeralKeys again;
    EXPECT_EQ(again.init(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyStoreDamage,
                         ::testing::Values(DamageCase{"PrimaryDamaged", true, false, 0, true},
                                           DamageCase{"BackupDamaged", false, true, 0, true},
                                           DamageCase{"BothDamaged", true, true, 9, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An empty key file leaves the ".CRC" (over the concatenated contents) as it
// was: its copy counts as damaged and is rebuilt from the other, whichever
// it is, and the user keeps the key instead of losing it as never created.
TEST_F(EphemeralKeysTest, AnEmptyKeyFileDamagesItsCopy)
{
    const Files keys = {{"1000.key", Key('a')}};
    for (bool inBackup : {true, false}) {
        WriteIntactStore(Primary(), keys);
        WriteIntactStore(Backup(), keys);
        const Files torn = {{"1000.key", Key('a')}, {"2000.key", ""}};
        WriteIntactStore(inBackup ? Backup() : Primary(), torn);
        EphemeralKeys store;
        StderrCapture err;
        EXPECT_EQ(store.init(), 0) << inBackup;
        ExpectStore(Primary(), keys);
        ExpectStore(Backup(), keys);
    }
}

TEST_F(EphemeralKeysTest, InterruptedBackupOverwriteIsRebuiltFromThePrimary)
{
    const Files keys = {{"1000.key", Key('a')}};
    WriteIntactStore(Primary(), keys);
    WriteIntactStore(Backup(), keys);
    WriteFile(Backup("1000.key"), Key('n').left(40));  // cut short
    WriteFile(Backup(".1000.key"), "");
    EphemeralKeys store;
    StderrCapture err;
    EXPECT_EQ(store.init(), 0);
    ExpectStore(Backup(), keys);
    ExpectStore(Primary(), keys);
}

TEST_F(EphemeralKeysTest, PartitionsNotMountedAreReportedUnconverted)
{
    Unmount("/mnt/NOR6");
    StderrCapture err;
    EphemeralKeys noBackup;
    EXPECT_EQ(noBackup.init(), 8);
    EXPECT_FALSE(Exists("/mnt/NOR6"));
    Remount("/mnt/NOR6");

    Unmount("/mnt/DATA");
    EphemeralKeys noData;
    EXPECT_EQ(noData.init(), 7);
    EXPECT_TRUE(List(Backup()).empty());
}

struct LoadCase {
    unsigned int uid;
    const char* file;
    int length;
    int result;
    bool inPrimary = true;  // false: the file is left in the backup only
};

class KeyLoading : public EphemeralKeysTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(KeyLoading, KeyFileNameAndLength)
{
    WriteIntactStore(Primary(), {{GetParam().file, QByteArray(GetParam().length, 'k')}});
    WriteIntactStore(Backup(), {{GetParam().file, QByteArray(GetParam().length, 'k')}});
    EphemeralKeys keys;
    ASSERT_EQ(keys.init(), 0);
    if (!GetParam().inPrimary) {
        ASSERT_EQ(unlink(Primary(GetParam().file).c_str()), 0);
    }
    StderrCapture err;
    EXPECT_EQ(keys._loadKey(GetParam().uid), GetParam().result);
}

// 5 only when the user has no key file at all: a key that exists but cannot
// be used must never pass for a missing one, or a new key would replace it.
INSTANTIATE_TEST_SUITE_P(Cases, KeyLoading,
                         ::testing::Values(LoadCase{5, "0005.key", 128, 0},
                                           LoadCase{1000, "1000.key", 128, 0},
                                           LoadCase{123456, "123456.key", 128, 0},
                                           LoadCase{5, "5.key", 128, 5},
                                           LoadCase{1000, "1000.key", 127, 10},
                                           LoadCase{1000, "1000.key", 129, 10},
                                           LoadCase{1000, "1000.key", 128, 4, false}));

TEST_F(EphemeralKeysTest, DecryptWithoutAKeyCreatesNothing)
{
    EphemeralKeys keys;
    ASSERT_EQ(keys.init(), 0);
    QByteArray out;
    EXPECT_EQ(keys.decrypt(1000, QByteArray(32, 'c'), out), 5);
    EXPECT_TRUE(List(Primary()).empty());
    EXPECT_TRUE(List(Backup()).empty());
}

}  // namespace
