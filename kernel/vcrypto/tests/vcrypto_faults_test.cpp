// Every failure path of the module: the result, the log line naming the
// reporting function, and nothing left behind (DMA mappings, memory, key
// store slots); the descriptor stays usable afterwards.
#include "vcrypto_fixture.h"

namespace {

enum class Op { KeyGen, Random10000, Encrypt32, Encrypt4064, Encrypt48000 };

struct Fault {
    const char* point;
    int skip;
    Op op;
    long ret;
    std::vector<std::pair<const char*, const char*>> logs;  // function, text
};

long Issue(struct file* f, unsigned cmd, void* buf)
{
    return ktest_file_ioctl(f, cmd, reinterpret_cast<unsigned long>(buf));
}

long RunOp(struct file* f, Op op, const Bytes& record)
{
    size_t n = 0;
    switch (op) {
    case Op::KeyGen: {
        Bytes buf(128);
        return Issue(f, VCRYPTO_CMD_KEYGEN, buf.data());
    }
    case Op::Random10000: {
        Bytes buf(10000);
        return Issue(f, VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 10000), buf.data());
    }
    case Op::Encrypt32: n = 32; break;
    case Op::Encrypt4064: n = 4064; break;
    case Op::Encrypt48000: n = 48000; break;
    }
    Bytes buf(16, 0);
    buf.insert(buf.end(), record.begin(), record.end());
    buf.resize(buf.size() + n);
    return Issue(f, CipherCmd(true, n), buf.data());
}

class FaultRunner : public VcryptoTest {
public:
    void Check(const Fault& f)
    {
        Start();
        struct file* file = Open();
        ASSERT_NE(nullptr, file);
        const Bytes record = KeyGen(file);
        const long allocated = ktest_alloc_outstanding();
        MarkLog();
        ktest_fault_set(f.point, f.skip, 1);
        EXPECT_EQ(f.ret, RunOp(file, f.op, record));
        for (const auto& [function, text] : f.logs)
            EXPECT_TRUE(LoggedBy(function, text)) << function << ": " << text << "\n" << Log();
        EXPECT_EQ(0, ktest_dma_outstanding());
        EXPECT_EQ(0, ktest_dma_misuse());
        EXPECT_EQ(allocated, ktest_alloc_outstanding());
        EXPECT_EQ(0, ktest_files_open());
        EXPECT_TRUE(KeyStoreEmpty());
        // The descriptor still works.
        ktest_fault_clear(f.point);
        EXPECT_EQ(0, RunOp(file, f.op, record));
    }
};

class FaultPaths : public FaultRunner, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultPaths, FailCleanly)
{
    Check(GetParam());
}

const char* const kJobFailed = "encryption job failed (1073741833)";  // status 0x40000009

INSTANTIATE_TEST_SUITE_P(KeyGen, FaultPaths, ::testing::Values(
    Fault{"filp_open", 0, Op::KeyGen, -EFAULT,
          {{"rng", "hwrng open failed"}, {"key_gen", "key generation failed (-14)"}}},
    Fault{"hwrng_read", 0, Op::KeyGen, -EFAULT,
          {{"rng", "rnd generation failed (-5)"}, {"key_gen", "key generation failed (-14)"}}},
    Fault{"hwrng_short", 0, Op::KeyGen, -EFAULT, {{"rng", "rnd generation failed (31)"}}},
    Fault{"sm_keystore_slot_alloc", 0, Op::KeyGen, -ENOSPC,
          {{"key_gen", "slot allocation failed (-28)"}}},
    Fault{"sm_keystore_slot_load", 0, Op::KeyGen, -EFBIG, {{"key_gen", "key load failed (-27)"}}},
    Fault{"sm_keystore_cover_key", 0, Op::KeyGen, -EIO, {{"key_gen", "key cover failed (-5)"}}},
    Fault{"sm_keystore_slot_export", 0, Op::KeyGen, -EIO,
          {{"key_gen", "black key export failed (-5)"}}},
    Fault{"sm_keystore_slot_read", 0, Op::KeyGen, -EKEYREJECTED,
          {{"key_gen", "black key read failed (-129)"}}},
    Fault{"copy_to_user", 0, Op::KeyGen, -EFAULT, {{"key_gen", "copy data to user error (128)"}}}));

INSTANTIATE_TEST_SUITE_P(Random, FaultPaths, ::testing::Values(
    Fault{"hwrng_read", 1, Op::Random10000, -EFAULT,
          {{"rng", "rnd generation failed (-5)"}, {"rnd_gen", "rnd generation failed (-14)"}}},
    Fault{"filp_open", 2, Op::Random10000, -EFAULT, {{"rng", "hwrng open failed"}}},
    Fault{"copy_to_user", 1, Op::Random10000, -EFAULT,
          {{"rnd_gen", "copy data to user error (4096)"}}}));

INSTANTIATE_TEST_SUITE_P(Cipher, FaultPaths, ::testing::Values(
    Fault{"kmalloc", 0, Op::Encrypt32, -ENOMEM, {{"vyrna_crypto_ioctl", "memory allocation failed"}}},
    Fault{"kmalloc", 1, Op::Encrypt32, -ENOMEM, {{"vyrna_crypto_ioctl", "memory allocation failed"}}},
    Fault{"copy_from_user", 0, Op::Encrypt32, -EFAULT,
          {{"vyrna_crypto_ioctl", "get data from user error (16)"}}},
    Fault{"copy_from_user", 1, Op::Encrypt32, -EFAULT,
          {{"vyrna_crypto_ioctl", "get data from user error (128)"}}},
    Fault{"kmalloc", 2, Op::Encrypt32, -ENOMEM, {{"cbc_aes", "S/G table allocation failed"}}},
    Fault{"kmalloc", 3, Op::Encrypt32, -ENOMEM,
          {{"cbc_aes", "extended descriptor allocation failed"}}},
    Fault{"sm_keystore_slot_alloc", 0, Op::Encrypt32, -ENOSPC,
          {{"get_black_key", "slot allocation failed (-28)"}, {"cbc_aes", "failed to import black key"}}},
    Fault{"sm_keystore_slot_import", 0, Op::Encrypt32, -EIO,
          {{"get_black_key", "black key import failed (-5)"}, {"cbc_aes", "failed to import black key"}}},
    Fault{"sm_keystore_slot_read", 0, Op::Encrypt32, -EKEYREJECTED,
          {{"get_black_key", "black key read failed (-129)"}, {"cbc_aes", "failed to import black key"}}},
    Fault{"copy_from_user", 2, Op::Encrypt32, -EFAULT, {{"cbc_aes", "copy data from user error (32)"}}},
    Fault{"copy_from_user", 3, Op::Encrypt4064, -EFAULT, {{"cbc_aes", "copy data from user error (16)"}}},
    Fault{"dma_map_single", 0, Op::Encrypt32, -ENOMEM,
          {{"crypto_map", "unable to map the key"}, {"cbc_aes", "crypto mapping failed (-12)"}}},
    Fault{"dma_map_single", 1, Op::Encrypt32, -ENOMEM,
          {{"crypto_map", "unable to map IV"}, {"cbc_aes", "crypto mapping failed (-12)"}}},
    Fault{"dma_map_sg", 0, Op::Encrypt32, -ENOMEM, {{"cbc_aes", "crypto mapping failed (-12)"}}},
    Fault{"dma_map_single", 2, Op::Encrypt4064, -ENOMEM,
          {{"crypto_map", "unable to map S/G table"}, {"cbc_aes", "crypto mapping failed (-12)"}}},
    // The job ring maps the descriptor itself; failing that refuses the job.
    Fault{"dma_map_single", 2, Op::Encrypt32, -EIO, {{"cbc_aes", "encryption job failed (-5)"}}},
    Fault{"caam_jr_enqueue", 0, Op::Encrypt32, -EBUSY, {{"cbc_aes", "encryption job failed (-16)"}}},
    Fault{"caam_job", 0, Op::Encrypt32, -EIO, {{"cbc_aes", kJobFailed}}},
    Fault{"caam_job", 1, Op::Encrypt48000, -EIO, {{"cbc_aes", kJobFailed}}},
    Fault{"copy_to_user", 0, Op::Encrypt32, -EFAULT, {{"cbc_aes", "copy data to user error (32)"}}},
    Fault{"copy_to_user", 5, Op::Encrypt48000, -EFAULT,
          {{"cbc_aes", "copy data to user error (12288)"}}}));

// Open: every allocation failure releases what came before.
TEST_F(FaultRunner, OpenAllocationFailuresReleaseWhatCameBefore)
{
    Start();
    const std::pair<const char*, int> faults[] = {
        {"kmalloc", 0}, {"get_free_pages", 0}, {"get_free_pages", 1}, {"get_free_pages", 3},
    };
    for (const auto& [point, skip] : faults) {
        SCOPED_TRACE(std::string(point) + " " + std::to_string(skip));
        ktest_fault_set(point, skip, 1);
        int err = 0;
        EXPECT_EQ(nullptr, Open(&err));
        EXPECT_EQ(-ENOMEM, err);
        EXPECT_TRUE(LoggedBy("vyrna_crypto_open", "memory allocation error"));
        EXPECT_EQ(0, ktest_alloc_outstanding());
        EXPECT_EQ(0, ktest_pages_outstanding());
        ktest_fault_clear(point);
    }
    ktest_fault_set("caam_jr_alloc", 0, 1);
    int err = 0;
    EXPECT_EQ(nullptr, Open(&err));
    EXPECT_EQ(-ENODEV, err);
    EXPECT_TRUE(LoggedBy("vyrna_crypto_open", "job ring device allocation failed"));
}

// A failed job still logs its status in words.
TEST_F(FaultRunner, FailedJobStatusIsReported)
{
    Start();
    struct file* file = Open();
    const Bytes record = KeyGen(file);
    ktest_fault_set("caam_job", 0, 1);
    Bytes buf(16, 0);
    buf.insert(buf.end(), record.begin(), record.end());
    buf.resize(buf.size() + 32);
    EXPECT_EQ(-EIO, Ioctl(file, CipherCmd(false, 32), buf.data()));
    EXPECT_EQ(1u, Logged("job status 0x40000009"));
    EXPECT_TRUE(LoggedBy("cbc_aes", "decryption job failed (1073741833)"));
}

}  // namespace
