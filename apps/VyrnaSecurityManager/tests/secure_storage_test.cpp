// The item index on real item files.
#include <QtEndian>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "SecureStorage.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

QByteArray Item(quint32 token, quint32 owner, quint32 mode, quint32 crc, int cipherLength)
{
    QByteArray bytes(16, '\0');
    uchar* p = reinterpret_cast<uchar*>(bytes.data());
    qToLittleEndian(token, p);
    qToLittleEndian(owner, p + 4);
    qToLittleEndian(mode, p + 8);
    qToLittleEndian(crc, p + 12);
    return bytes + QByteArray(cipherLength, 'c');
}

std::string ItemPath(const char* name)
{
    return std::string(kItemsDir) + "/" + name;
}

using SecureStorageTest = BoardTest;

TEST_F(SecureStorageTest, StartKeepsItemsAndRemovesMalformedFiles)
{
    WriteFile(ItemPath("0000001A.data"), Item(0x1A, 1000, 0600, 0x1234, 32));
    WriteFile(ItemPath("00000002.data"), Item(2, 1000, 0600, 0, 0));     // header only
    WriteFile(ItemPath("00000003.data"), QByteArray());                  // empty
    WriteFile(ItemPath("0000001B.data"), Item(0x1A, 1000, 0600, 0, 16)); // wrong name
    WriteFile(ItemPath("00000000.data"), Item(0, 1000, 0600, 0, 16));    // 0 is no id
    WriteFile(ItemPath("zz.data"), Item(0, 1000, 0600, 0, 16));          // no id in name
    WriteFile(ItemPath("1C.data"), Item(0x1C, 1001, 0640, 7, 16));       // short name
    WriteFile(ItemPath("other.txt"), "left alone");

    SecureStorage storage;
    ASSERT_EQ(storage.init(), 0);
    EXPECT_EQ(List(kItemsDir),
              std::vector<std::string>({"0000001A.data", "1C.data", "other.txt"}));

    quint32 owner = 0, mode = 0, crc = 0;
    ASSERT_EQ(storage.find(0x1A, owner, mode, crc), 0);
    EXPECT_EQ(owner, 1000u);
    EXPECT_EQ(mode, 0600u);
    EXPECT_EQ(crc, 0x1234u);
    QByteArray cipher;
    ASSERT_EQ(storage.retrieve(0x1A, cipher), 0);
    EXPECT_EQ(cipher, QByteArray(32, 'c'));

    // Indexed under its header's id, but its file is looked for as
    // 0000001C.data: the item reads as gone.
    ASSERT_EQ(storage.find(0x1C, owner, mode, crc), 0);
    EXPECT_EQ(storage.retrieve(0x1C, cipher), 6);
    EXPECT_EQ(storage.find(0x1B, owner, mode, crc), 6);
    EXPECT_EQ(storage.find(0, owner, mode, crc), 6);
}

TEST_F(SecureStorageTest, StoreWritesTheHeaderAndReplacesAnItem)
{
    SecureStorage storage;
    ASSERT_EQ(storage.init(), 0);
    ASSERT_EQ(storage.store(0xA1B2C3D4, 1000, 0640, 0xDEADBEEF, QByteArray(16, 'x')), 0);
    EXPECT_EQ(ReadFile(ItemPath("A1B2C3D4.data")), Item(0xA1B2C3D4, 1000, 0640, 0xDEADBEEF, 0) + QByteArray(16, 'x'));

    ASSERT_EQ(storage.store(0xA1B2C3D4, 1000, 0600, 5, QByteArray(32, 'y')), 0);
    quint32 owner = 0, mode = 0, crc = 0;
    ASSERT_EQ(storage.find(0xA1B2C3D4, owner, mode, crc), 0);
    EXPECT_EQ(mode, 0600u);
    EXPECT_EQ(crc, 5u);
    QByteArray cipher;
    ASSERT_EQ(storage.retrieve(0xA1B2C3D4, cipher), 0);
    EXPECT_EQ(cipher, QByteArray(32, 'y'));

    // A restart finds the same index.
    SecureStorage restarted;
    ASSERT_EQ(restarted.init(), 0);
    ASSERT_EQ(restarted.find(0xA1B2C3D4, owner, mode, crc), 0);
    EXPECT_EQ(owner, 1000u);
}

TEST_F(SecureStorageTest, FailedStoreAndClearLeaveTheIndexAlone)
{
    SecureStorage storage;
    ASSERT_EQ(storage.init(), 0);
    mkdir(ItemPath("00000005.data").c_str(), 0755);
    StderrCapture err;
    EXPECT_EQ(storage.store(5, 1000, 0600, 0, QByteArray(16, 'x')), 2);
    quint32 owner = 0, mode = 0, crc = 0;
    EXPECT_EQ(storage.find(5, owner, mode, crc), 6);

    ASSERT_EQ(storage.store(6, 1000, 0600, 0, QByteArray(16, 'x')), 0);
    ASSERT_EQ(unlink(ItemPath("00000006.data").c_str()), 0);
    EXPECT_EQ(storage.clear(6), 5);
    EXPECT_EQ(storage.find(6, owner, mode, crc), 0);
}

TEST_F(SecureStorageTest, ClearTellsWhenTheOwnersLastItemWent)
{
    SecureStorage storage;
    ASSERT_EQ(storage.init(), 0);
    ASSERT_EQ(storage.store(1, 1000, 0600, 0, QByteArray(16, 'x')), 0);
    ASSERT_EQ(storage.store(2, 1000, 0600, 0, QByteArray(16, 'x')), 0);
    ASSERT_EQ(storage.store(3, 2000, 0600, 0, QByteArray(16, 'x')), 0);

    EXPECT_EQ(storage.clear(1), 0);
    EXPECT_EQ(storage.clear(2), 7);
    EXPECT_FALSE(Exists(ItemPath("00000002.data")));
    quint32 owner = 0, mode = 0, crc = 0;
    EXPECT_EQ(storage.find(2, owner, mode, crc), 6);

    storage.clean();
    EXPECT_EQ(storage.find(3, owner, mode, crc), 6);
    EXPECT_TRUE(List(kItemsDir).empty());
}

TEST_F(SecureStorageTest, DataPartitionNotMountedIsAnOtherFailure)
{
    Unmount("/mnt/DATA");
    StderrCapture err;
    SecureStorage storage;
    EXPECT_EQ(storage.init(), 8);
}

// The limits for a 3 MiB partition of 4 KiB blocks (the reserve's minimum
// of 64 blocks, an eighth of the rest), and the integrator's overrides.
TEST(OwnerSharesTest, LimitsFollowThePartitionAndTheEnvironment)
{
    struct Case {
        const char* knobs[3];  // items, bytes, reserve
        bool accepted;
        quint64 items, bytes, reserve;
    } const cases[] = {{{}, true, 117, 88 * 4096, 64 * 4096},
                       {{"3", "12K", "0"}, true, 3, 12 * 1024, 0},
                       {{"12X"}, false, 0, 0, 0},
                       {{nullptr, "99999999999G"}, false, 0, 0, 0}};
    const char* const names[] = {"VYRNA_SHARE_ITEMS", "VYRNA_SHARE_BYTES", "VYRNA_RESERVE_BYTES"};
    struct statvfs partition {};
    partition.f_frsize = 4096;
    partition.f_blocks = 768;
    partition.f_files = 1000;
    for (const Case& c : cases) {
        for (int i = 0; i < 3; ++i)
            c.knobs[i] != nullptr ? setenv(names[i], c.knobs[i], 1) : unsetenv(names[i]);
        OwnerShares shares;
        StderrCapture err;
        EXPECT_EQ(shares.configure(partition), c.accepted);
        const OwnerShares::Limits& got = shares.limits();
        EXPECT_TRUE(!c.accepted || (got.items == c.items && got.bytes == c.bytes && got.reserveBytes == c.reserve))
            << &c - cases;
    }
    for (const char* name : names)
        unsetenv(name);
}

}  // namespace
