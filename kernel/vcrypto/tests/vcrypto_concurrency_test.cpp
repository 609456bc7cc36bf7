// Commands on one descriptor share its pages; the module serialises them.
// Descriptors run side by side. Run under ThreadSanitizer as well.
#include "vcrypto_fixture.h"

#include <thread>

namespace {

class Concurrency : public VcryptoTest {};

// Each thread encrypts its own data under its own key; every result must
// equal OpenSSL's, whichever thread's command ran first.
void Worker(struct file* file, const Bytes& record, int rounds, bool* ok)
{
    const Bytes key = RevealKey(record);
    for (int i = 0; i < rounds && *ok; ++i) {
        const Bytes iv = RandomBytes(16), data = RandomBytes(20000 + 16 * (i % 7));
        Bytes buf(iv);
        buf.insert(buf.end(), record.begin(), record.end());
        buf.insert(buf.end(), data.begin(), data.end());
        if (ktest_file_ioctl(file, CipherCmd(true, data.size()),
                             reinterpret_cast<unsigned long>(buf.data())) != 0)
            *ok = false;
        const Bytes expected = OpensslCbc(key, iv, data, true);
        if (!std::equal(expected.begin(), expected.end(), buf.begin()))
            *ok = false;
    }
}

TEST_F(Concurrency, CommandsOnOneDescriptorDoNotCorruptEachOther)
{
    Start();
    struct file* shared = Open();
    ASSERT_NE(nullptr, shared);
    Bytes records[3];
    for (Bytes& r : records)
        r = KeyGen(shared);
    bool ok[3] = {true, true, true};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back(Worker, shared, records[i], 12, &ok[i]);
    for (auto& th : threads)
        th.join();
    EXPECT_TRUE(ok[0] && ok[1] && ok[2]);
}

TEST_F(Concurrency, DescriptorsRunSideBySide)
{
    Start();
    struct file* files[3];
    Bytes records[3];
    for (int i = 0; i < 3; ++i) {
        files[i] = Open();
        ASSERT_NE(nullptr, files[i]);
        records[i] = KeyGen(files[i]);
    }
    bool ok[3] = {true, true, true};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back(Worker, files[i], records[i], 12, &ok[i]);
    for (auto& th : threads)
        th.join();
    EXPECT_TRUE(ok[0] && ok[1] && ok[2]);
}

}  // namespace
