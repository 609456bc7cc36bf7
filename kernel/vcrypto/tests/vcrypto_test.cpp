// The device as a client sees it: results against OpenSSL, job shapes,
// command decoding, key records, random bytes, open failures, bad buffers.
#include "vcrypto_fixture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

extern "C" {
#include <asm/segment.h>
#include "desc.h"
}

namespace {

class Device : public VcryptoTest {
protected:
    void SetUp() override
    {
        VcryptoTest::SetUp();
        Start();
        file_ = Open();
        ASSERT_NE(nullptr, file_);
    }
    struct file* file_ = nullptr;
};

TEST_F(Device, CipherEqualsOpensslOverTheWholeInputAndDecryptsBack)
{
    const Bytes record = KeyGen(file_);
    const Bytes key = RevealKey(record);
    ASSERT_EQ(32u, key.size());
    for (size_t n : {16, 4048, 4064, 16336, 16352, 48000, 261984}) {
        SCOPED_TRACE(n);
        const Bytes iv = RandomBytes(16), data = RandomBytes(n);
        const Bytes enc = Cipher(file_, true, record, iv, data);
        const Bytes expected = OpensslCbc(key, iv, data, true);
        // The result starts at offset 0; the tail of the request keeps the
        // bytes that were there.
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), enc.begin()));
        Bytes request(iv);
        request.insert(request.end(), record.begin(), record.end());
        request.insert(request.end(), data.begin(), data.end());
        EXPECT_TRUE(std::equal(enc.begin() + static_cast<long>(n), enc.end(),
                               request.begin() + static_cast<long>(n)));
        const Bytes dec = Cipher(file_, false, record, iv, expected);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), dec.begin()));
    }
}

TEST_F(Device, JobShapesFollowThePages)
{
    struct Shape {
        size_t n;
        std::vector<u32> states;           // one per job
        std::vector<std::vector<u32>> sg;  // table entries per job ({} = no table)
    };
    const u32 fin = SEC4_SG_LEN_FIN;
    const Shape shapes[] = {
        {16, {0xC}, {{}}},
        {4048, {0xC}, {{}}},
        {4064, {0xC}, {{4048, 16 | fin}}},
        {16336, {0xC}, {{4048, 4096, 4096, 4096 | fin}}},
        {16352, {0x4, 0x8}, {{4048, 4096, 4096, 4096 | fin}, {}}},
        {48000, {0x4, 0x0, 0x8},
         {{4048, 4096, 4096, 4096 | fin}, {4048, 4096, 4096, 4096 | fin},
          {4048, 4096, 4096, 3088 | fin}}},
    };
    const Bytes record = KeyGen(file_);
    for (const Shape& s : shapes) {
        for (bool encrypt : {true, false}) {
            SCOPED_TRACE(std::to_string(s.n) + (encrypt ? " encrypt" : " decrypt"));
            caam_sim_host_trace_reset();
            Cipher(file_, encrypt, record, Bytes(16), RandomBytes(s.n));
            caam_sim_trace jobs[8];
            const size_t njobs = caam_sim_host_trace(jobs, 8);
            ASSERT_EQ(s.states.size(), njobs);
            ASSERT_EQ((s.n + 16335) / 16336, njobs);
            size_t left = s.n;
            for (size_t j = 0; j < njobs; ++j) {
                const u32* w = jobs[j].words;
                const u32 len = static_cast<u32>(std::min<size_t>(left, 16336));
                const u32 sgf = s.sg[j].empty() ? 0 : 0x01000000;
                left -= len;
                ASSERT_EQ(12u, jobs[j].nwords);
                EXPECT_EQ(0xB080000Cu, w[0]);
                EXPECT_EQ(0x02600020u, w[1]);
                EXPECT_EQ(0x12200010u, w[3]);
                EXPECT_EQ(0x22120000u | sgf | len, w[5]);
                EXPECT_EQ(0x82100100u | s.states[j] | (encrypt ? 1 : 0), w[7]);
                EXPECT_EQ(0x60300000u | sgf | len, w[8]);
                EXPECT_EQ(w[6], w[9]);
                EXPECT_EQ(0x52200010u, w[10]);
                EXPECT_EQ(w[4], w[11]);
                EXPECT_EQ(s.sg[j], std::vector<u32>(jobs[j].entry_len,
                                                    jobs[j].entry_len + jobs[j].nentries));
            }
        }
    }
}

TEST_F(Device, CommandDecodingInItsOrder)
{
    struct Case {
        const char* name;
        unsigned cmd;
        bool null_buffer;
        long ret;
        const char* log;  // text after "vyrna_crypto_ioctl, <line>: "; "" none
    };
    const Case cases[] = {
        {"null buffer, good command", 0x00204F03, true, -EINVAL, "no data passed"},
        {"null buffer, bad type", 0x00204E03, true, -EINVAL, "no data passed"},
        {"type 0x4E", 0x00204E03, false, -EINVAL, "bad cmd"},
        {"type 0x50", 0x00205003, false, -EINVAL, "bad cmd"},
        {"bad type with a bad size", 0x00004E00, false, -EINVAL, "bad cmd"},
        {"number 4", 0x00204F04, false, 0, ""},
        {"number 255 with size 0", 0x00004FFF, false, 0, ""},
        {"cipher of 144 bytes", VCRYPTO_CMD(VCRYPTO_NR_ENCRYPT, 9), false, -EINVAL,
         "bad data length (144)"},
        {"decipher of size 0", VCRYPTO_CMD(VCRYPTO_NR_DECRYPT, 0), false, -EINVAL,
         "bad data length (0)"},
        {"key record of 64", VCRYPTO_CMD(VCRYPTO_NR_KEYGEN, 64), false, -EINVAL,
         "bad data length (64)"},
        {"random of 0", VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 0), false, -EINVAL,
         "bad data length (0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MarkLog();
        Bytes buf(256, 0x5A);
        EXPECT_EQ(c.ret, Ioctl(file_, c.cmd, c.null_buffer ? nullptr : buf.data()));
        EXPECT_EQ(Bytes(256, 0x5A), buf);
        if (*c.log)
            EXPECT_TRUE(LoggedBy("vyrna_crypto_ioctl", c.log)) << Log();
        else
            EXPECT_EQ("", Log());
    }
    // The error-pointer range counts as no buffer.
    EXPECT_EQ(-EINVAL, ktest_file_ioctl(file_, 0x00204F03, static_cast<unsigned long>(-5)));
}

TEST_F(Device, DirectionBitsAreNotExamined)
{
    for (unsigned cmd : {0x00204F03u, 0x80204F03u, 0x40204F03u, 0xC0204F03u}) {
        Bytes buf(64, 0);
        EXPECT_EQ(0, Ioctl(file_, cmd, buf.data()));
        EXPECT_NE(Bytes(32, 0), Bytes(buf.begin(), buf.begin() + 32));
        EXPECT_EQ(Bytes(32, 0), Bytes(buf.begin() + 32, buf.end())) << "only 32 bytes written";
    }
    const Bytes record = KeyGen(file_);
    const Bytes data = RandomBytes(64), iv = RandomBytes(16);
    const Bytes plain = Cipher(file_, true, record, iv, data);
    Bytes buf(iv);
    buf.insert(buf.end(), record.begin(), record.end());
    buf.insert(buf.end(), data.begin(), data.end());
    EXPECT_EQ(0, Ioctl(file_, CipherCmd(true, 64) | 0xC0000000u, buf.data()));
    EXPECT_EQ(plain, buf);
}

TEST_F(Device, KeyRecordsAreNewWrappedKeysWithAZeroTail)
{
    const Bytes a = KeyGen(file_), b = KeyGen(file_);
    EXPECT_EQ(Bytes(48, 0), Bytes(a.begin() + 80, a.end()));
    EXPECT_NE(a, b);
    EXPECT_NE(RevealKey(a), RevealKey(b));
    // The record wraps the key: it does not contain it.
    const Bytes key = RevealKey(a);
    EXPECT_EQ(a.end(), std::search(a.begin(), a.end(), key.begin(), key.begin() + 16));
    // Bytes 80-127 are not read back.
    Bytes tail_changed = a;
    std::fill(tail_changed.begin() + 80, tail_changed.end(), 0xEE);
    const Bytes data = RandomBytes(32), iv(16, 0);
    const Bytes one = Cipher(file_, true, a, iv, data);
    const Bytes other = Cipher(file_, true, tail_changed, iv, data);
    EXPECT_TRUE(std::equal(one.begin(), one.begin() + 32, other.begin()));
    EXPECT_TRUE(KeyStoreEmpty());
}

TEST_F(Device, AlteredRecordFailsImportWithTheKeyStoresError)
{
    const Bytes record = KeyGen(file_);
    for (size_t at : {0, 31, 32, 63, 64, 79}) {
        SCOPED_TRACE(at);
        MarkLog();
        Bytes bad = record;
        bad[at] ^= 0x01;
        long ret = 0;
        Cipher(file_, true, bad, Bytes(16), RandomBytes(32), &ret);
        EXPECT_EQ(-EIO, ret);
        EXPECT_TRUE(LoggedBy("get_black_key", "black key import failed (-5)")) << Log();
        EXPECT_TRUE(LoggedBy("cbc_aes", "failed to import black key")) << Log();
    }
    EXPECT_TRUE(KeyStoreEmpty());
}

TEST_F(Device, RandomBytesComeInPortionsOfAtMost4096)
{
    struct Case {
        unsigned n;
        std::vector<size_t> reads;
    };
    const Case cases[] = {
        {1, {1}},
        {4096, {4096}},
        {10000, {4096, 4096, 1808}},
        {16383, {4096, 4096, 4096, 4095}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        size_t sizes[64];
        const size_t before = ktest_hwrng_reads(sizes, 64);
        Bytes buf(c.n + 16, 0);
        EXPECT_EQ(0, Ioctl(file_, VCRYPTO_CMD(VCRYPTO_NR_RANDOM, c.n), buf.data()));
        const size_t after = ktest_hwrng_reads(sizes, 64);
        ASSERT_LE(after, 64u);
        EXPECT_EQ(c.reads, std::vector<size_t>(sizes + before, sizes + after));
        EXPECT_EQ(Bytes(16, 0), Bytes(buf.end() - 16, buf.end()));
        // The thread's user-access limit is back where it was.
        EXPECT_EQ(USER_DS, get_fs());
    }
    EXPECT_EQ(0, ktest_files_open());
}

// Buffers a caller may get wrong: unmapped, read-only, cut short by the end
// of a mapping. Each gives an error, never a crash.
TEST_F(Device, BadBuffersGiveErrorsNotCrashes)
{
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, area);
    uint8_t* last = area + page;  // one good page, then none
    ASSERT_EQ(0, munmap(area + 2 * page, page));
    // Both pages start with a good request header: IV and key record.
    const Bytes record = KeyGen(file_);
    for (uint8_t* p : {area, last}) {
        memset(p, 0, 16);
        memcpy(p + 16, record.data(), record.size());
    }
    ASSERT_EQ(0, mprotect(area, page, PROT_READ));
    uint8_t* readonly = area;
    struct Case {
        const char* name;
        unsigned cmd;
        void* buf;
        long ret;
    };
    const Case cases[] = {
        {"key record into read-only memory", VCRYPTO_CMD_KEYGEN, readonly, -EFAULT},
        {"random into unmapped memory", VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 64), area + 2 * page,
         -EFAULT},
        {"cipher request cut short", CipherCmd(true, 16336), last, -EFAULT},
        {"random running off the mapping", VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 16383), last,
         -EFAULT},
        {"cipher request in read-only memory", CipherCmd(true, 32), readonly, -EFAULT},
        {"cipher of unmapped memory", CipherCmd(false, 32), area + 2 * page, -EFAULT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.ret, Ioctl(file_, c.cmd, c.buf));
        EXPECT_EQ(0, ktest_dma_outstanding());
    }
    munmap(area, 2 * page);
    EXPECT_TRUE(KeyStoreEmpty());
}

TEST_F(Device, DescriptorsAreIndependent)
{
    struct file* other = Open();
    ASSERT_NE(nullptr, other);
    const Bytes record = KeyGen(file_);
    const Bytes data = RandomBytes(20000), iv = RandomBytes(16);
    const Bytes enc = Cipher(file_, true, record, iv, data);
    EXPECT_EQ(enc, Cipher(other, true, record, iv, data));
    Close(other);
    // Closing one leaves the other working.
    const Bytes dec = Cipher(file_, false, record, iv, Bytes(enc.begin(), enc.begin() + 20000));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), dec.begin()));
}

class OpenFailure : public VcryptoTest {};

TEST_F(OpenFailure, MissingPartsGiveNoDeviceAndReleaseEverything)
{
    struct Case {
        const char* log;
        void (*configure)(caam_sim_host_config*);
    };
    const Case cases[] = {
        {"device node not found", [](caam_sim_host_config* c) { c->compatible = nullptr; }},
        {"device node not found", [](caam_sim_host_config* c) { c->compatible = "fsl,sec5.0"; }},
        {"platform device not found", [](caam_sim_host_config* c) { c->no_device = true; }},
        {"private CAAM driver error", [](caam_sim_host_config* c) { c->no_ctrl_drvdata = true; }},
        {"job ring device allocation failed", [](caam_sim_host_config* c) { c->rings = 0; }},
        {"private key storage driver error",
         [](caam_sim_host_config* c) { c->no_sm_drvdata = true; }},
        {"private job ring driver error", [](caam_sim_host_config* c) { c->no_jr_drvdata = true; }},
        {"no key storage units available", [](caam_sim_host_config* c) { c->units = 0; }},
        {"insufficient key storage units", [](caam_sim_host_config* c) { c->units = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        ktest_reset();
        caam_sim_host_defaults(&cfg_);
        c.configure(&cfg_);
        Start();
        int err = 0;
        EXPECT_EQ(nullptr, Open(&err));
        EXPECT_EQ(-ENODEV, err);
        EXPECT_TRUE(LoggedBy("vyrna_crypto_open", c.log)) << Log();
        EXPECT_EQ(0, ktest_alloc_outstanding());
        EXPECT_EQ(0, ktest_pages_outstanding());
        EXPECT_EQ(0, ktest_device_refs());
        EXPECT_EQ(0, ktest_of_node_refs());
        ktest_module_exit();
        caam_sim_host_stop();
        started_ = false;
    }
}

TEST_F(OpenFailure, OlderCompatibleStringIsFound)
{
    cfg_.compatible = "fsl,sec4.0";
    Start();
    struct file* f = Open();
    ASSERT_NE(nullptr, f);
    Close(f);
}

TEST_F(OpenFailure, RegistrationFailureIsLoggedAndReturned)
{
    ktest_fault_set("misc_register", 0, 1);
    EXPECT_EQ(-EBUSY, ktest_module_init());
    EXPECT_EQ(1u, Logged("Registration of /dev/vcrypto failed (-16)"));
    EXPECT_EQ(nullptr, ktest_misc_find("vcrypto"));
}

}  // namespace
