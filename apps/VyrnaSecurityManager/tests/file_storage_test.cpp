// The file stores on real files: plain directory, CRC-protected directory
// and the marker-protected backup directory.
#include <sys/stat.h>

#include "BackupStorage.h"
#include "FileStorageWithCRC.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

const std::string kPlain = "/mnt/DATA/vyrna/plain";
const std::string kGuarded = "/mnt/DATA/vyrna/guarded";
const std::string kMirror = "/mnt/NOR6/vyrna/mirror";

QByteArray Key(char fill)
{
    return QByteArray(128, fill);
}

class FileStorageTest : public BoardTest {
protected:
    FileStorage plain{kDataPartition, QStringLiteral("/vyrna/plain")};
    FileStorageWithCRC guarded{kDataPartition, QStringLiteral("/vyrna/guarded")};
    BackupStorage mirror{kBackupPartition, QStringLiteral("/vyrna/mirror")};
};

TEST_F(FileStorageTest, WriteReadRemoveAndTheirFailureCodes)
{
    ASSERT_EQ(plain.init(), 0);
    EXPECT_EQ(plain.getPath(), QString::fromStdString(kPlain));

    ASSERT_EQ(plain.write(QStringLiteral("a"), "secret"), 0);
    QByteArray back;
    EXPECT_EQ(plain.read(QStringLiteral("a"), back), 0);
    EXPECT_EQ(back, "secret");
    EXPECT_EQ(plain.write(QStringLiteral("a"), "x"), 0);  // truncates
    EXPECT_EQ(ReadFile(kPlain + "/a"), "x");

    // An empty value can be written but not read back.
    EXPECT_EQ(plain.write(QStringLiteral("empty"), QByteArray()), 0);
    StderrCapture err;
    EXPECT_EQ(plain.read(QStringLiteral("empty"), back), 3);
    EXPECT_EQ(plain.read(QStringLiteral("missing"), back), 2);
    EXPECT_EQ(plain.remove(QStringLiteral("missing")), 5);
    mkdir((kPlain + "/dir").c_str(), 0755);
    EXPECT_EQ(plain.write(QStringLiteral("dir"), "x"), 2);
    EXPECT_EQ(err.text(),
              "Error reading file empty\n"
              "Error opening file missing\n"
              "Error removing file missing\n"
              "Error opening file dir\n");

    EXPECT_EQ(plain.remove(QStringLiteral("a")), 0);
    EXPECT_FALSE(plain.exists(QStringLiteral("a")));
}

// Enough names for the reads to be shared among threads: each head is the
// one of its own name, whichever thread read it, and failures are told
// apart as a read of one file tells them.
TEST_F(FileStorageTest, PeekAllGivesEachNameItsOwnHead)
{
    ASSERT_EQ(plain.init(), 0);
    QStringList names;
    for (int i = 0; i < 1000; ++i) {
        names.append(QString::number(i));
        if (i % 100 != 7) {  // every hundredth name from 7 on is missing
            ASSERT_EQ(plain.write(names.last(), QByteArray(i % 50, char('a' + i % 26))), 0);
        }
    }
    const QVector<FileStorage::Head> heads = plain.peekAll(names, 16);
    ASSERT_EQ(heads.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        const bool missing = i % 100 == 7;
        const int expected = missing ? 2 : i % 50 == 0 ? 3 : 0;
        EXPECT_EQ(heads[i].result, expected) << i;
        EXPECT_EQ(heads[i].opened, !missing) << i;
        EXPECT_EQ(heads[i].size, missing ? 0 : i % 50) << i;
        EXPECT_EQ(heads[i].bytes, missing ? QByteArray() : QByteArray(std::min(i % 50, 16), char('a' + i % 26)))
            << i;
    }
    StderrCapture err;
    EXPECT_EQ(plain.report(names[7], heads[7]), 2);
    EXPECT_EQ(plain.report(names[50], heads[50]), 3);
    EXPECT_EQ(plain.report(names[51], heads[51]), 0);
    EXPECT_EQ(err.text(), "Error opening file 7\nError reading file 50\n");
}

TEST_F(FileStorageTest, ListingIsByteOrderedAndNeverHidden)
{
    ASSERT_EQ(plain.init(), 0);
    for (const char* name : {"b.key", "B.key", "a.data", ".hidden.key", ".CRC", "10.key", "9.key"})
        WriteFile(kPlain + "/" + name, "x");
    mkdir((kPlain + "/sub.key").c_str(), 0755);

    EXPECT_EQ(plain.getFileList(QStringLiteral("*.key")),
              QStringList({"10.key", "9.key", "B.key", "b.key"}));
    EXPECT_EQ(plain.getFileList(QStringLiteral("*")).size(), 5);

    plain.clean();  // every file, hidden ones too; subdirectories stay
    EXPECT_EQ(List(kPlain), std::vector<std::string>({"sub.key"}));
}

TEST_F(FileStorageTest, PartitionsNotMountedAreReported)
{
    Unmount("/mnt/DATA");
    StderrCapture err;
    EXPECT_EQ(plain.init(), 7);
    EXPECT_EQ(guarded.init(), 7);
    EXPECT_EQ(err.text(), "MMC partition /dev/mmcblk1p4 not mounted\n"
                          "MMC partition /dev/mmcblk1p4 not mounted\n");
    Remount("/mnt/DATA");

    Unmount("/mnt/NOR6");
    EXPECT_EQ(mirror.init(), 8);
    EXPECT_FALSE(Exists("/mnt/NOR6"));
}

TEST_F(FileStorageTest, CrcFileFollowsEveryChange)
{
    ASSERT_EQ(guarded.init(), 0);
    ASSERT_EQ(guarded.write(QStringLiteral("2000.key"), Key('b')), 0);
    ASSERT_EQ(guarded.write(QStringLiteral("1000.key"), Key('a')), 0);
    // Contents in name order, upper-case hex without leading zeros.
    EXPECT_EQ(ReadFile(kGuarded + "/.CRC"), CrcText(Key('a') + Key('b')));
    EXPECT_EQ(guarded._getCRC(), ZlibCrc(Key('a') + Key('b')));

    ASSERT_EQ(guarded.remove(QStringLiteral("1000.key")), 0);
    EXPECT_EQ(ReadFile(kGuarded + "/.CRC"), CrcText(Key('b')));
    // The last file takes ".CRC" with it; the next init finds a new directory.
    ASSERT_EQ(guarded.remove(QStringLiteral("2000.key")), 0);
    EXPECT_TRUE(List(kGuarded).empty());
    EXPECT_EQ(guarded.init(), 0);
}

TEST_F(FileStorageTest, CrcTextWithoutLeadingZeros)
{
    // A content whose CRC has a leading zero nibble: seven digits, not eight.
    QByteArray content;
    for (int i = 0; i < 256; ++i) {
        content = QByteArray(1, static_cast<char>(i));
        if (ZlibCrc(content) < 0x10000000u)
            break;
    }
    ASSERT_LT(ZlibCrc(content), 0x10000000u);
    ASSERT_EQ(guarded.init(), 0);
    ASSERT_EQ(guarded.write(QStringLiteral("k"), content), 0);
    EXPECT_EQ(ReadFile(kGuarded + "/.CRC").size(), 7);
}

struct DamageCase {
    const char* name;
    QByteArray crcFile;  // what ".CRC" holds at start
};

class CrcDamage : public FileStorageTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(CrcDamage, DirectoryIsWipedAndReportedDamaged)
{
    WriteFile(kGuarded + "/1000.key", Key('a'));
    WriteFile(kGuarded + "/.marker", "x");
    WriteFile(kGuarded + "/.CRC", GetParam().crcFile);
    StderrCapture err;
    EXPECT_EQ(guarded.init(), 6);
    EXPECT_EQ(err.text(), kGuarded + ": storage damaged!\n");
    EXPECT_TRUE(List(kGuarded).empty());
    EXPECT_EQ(guarded.init(), 0);  // now new and empty
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrcDamage,
    ::testing::Values(DamageCase{"NotHex", "XYZ"}, DamageCase{"Empty", ""},
                      DamageCase{"OtherValue", CrcText(Key('b'))},
                      DamageCase{"TrailingGarbage", CrcText(Key('a')) + "G"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileStorageTest, IntactDirectoryIsKeptAndNewOneIsWiped)
{
    WriteIntactStore(kGuarded, {{"1000.key", Key('a')}, {"1001.key", Key('c')}});
    EXPECT_EQ(guarded.init(), 0);
    EXPECT_EQ(List(kGuarded), std::vector<std::string>({".CRC", "1000.key", "1001.key"}));

    // Without ".CRC" nothing in the directory can be trusted.
    WriteFile(kMirror + "/1000.key", Key('a'));
    WriteFile(kMirror + "/.1000.key", "");
    WriteFile(kMirror + "/.other", "x");
    EXPECT_EQ(mirror.init(), 0);
    EXPECT_TRUE(List(kMirror).empty());
}

TEST_F(FileStorageTest, BackupWriteLeavesNoMarkerAndUpdatesCrc)
{
    ASSERT_EQ(mirror.init(), 0);
    ASSERT_EQ(mirror.write(QStringLiteral("1000.key"), Key('a')), 0);
    EXPECT_EQ(List(kMirror), std::vector<std::string>({".CRC", "1000.key"}));
    EXPECT_EQ(ReadFile(kMirror + "/.CRC"), CrcText(Key('a')));
    ASSERT_EQ(mirror.remove(QStringLiteral("1000.key")), 0);
    EXPECT_TRUE(List(kMirror).empty());
}

TEST_F(FileStorageTest, InterruptedBackupWritesAreUndoneAtStart)
{
    // A new file cut short: the rest still matches ".CRC".
    WriteIntactStore(kMirror, {{"1000.key", Key('a')}});
    WriteFile(kMirror + "/2000.key", Key('b').left(50));
    WriteFile(kMirror + "/.2000.key", "");
    EXPECT_EQ(mirror.init(), 0);
    EXPECT_EQ(List(kMirror), std::vector<std::string>({".CRC", "1000.key"}));

    // A marker alone: only the marker goes.
    WriteFile(kMirror + "/.3000.key", "");
    EXPECT_EQ(mirror.init(), 0);
    EXPECT_EQ(List(kMirror), std::vector<std::string>({".CRC", "1000.key"}));

    // An overwrite cut short: the file goes, so the directory is damaged.
    WriteFile(kMirror + "/1000.key", Key('z').left(10));
    WriteFile(kMirror + "/.1000.key", "");
    EXPECT_EQ(mirror.init(), 6);
    EXPECT_TRUE(List(kMirror).empty());
}

TEST_F(FileStorageTest, BackupWriteFailuresLeaveNoMarkerBehind)
{
    WriteIntactStore(kMirror, {{"1000.key", Key('a')}});
    ASSERT_EQ(mirror.init(), 0);

    // The marker cannot be made: nothing else is touched.
    mkdir((kMirror + "/.1000.key").c_str(), 0755);
    StderrCapture err;
    EXPECT_EQ(mirror.write(QStringLiteral("1000.key"), Key('b')), 2);
    EXPECT_EQ(ReadFile(kMirror + "/1000.key"), Key('a'));
    rmdir((kMirror + "/.1000.key").c_str());

    // The content cannot be opened: the marker is removed again.
    mkdir((kMirror + "/2000.key").c_str(), 0755);
    EXPECT_EQ(mirror.write(QStringLiteral("2000.key"), Key('b')), 2);
    EXPECT_FALSE(Exists(kMirror + "/.2000.key"));
    EXPECT_EQ(err.text(), "Error opening file .1000.key\nError opening file 2000.key\n");
    rmdir((kMirror + "/2000.key").c_str());
    EXPECT_EQ(mirror.init(), 0);  // still intact
}

}  // namespace
