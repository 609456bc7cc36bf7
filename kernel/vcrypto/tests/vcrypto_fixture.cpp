#include "vcrypto_fixture.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

extern "C" {
#include <linux/of_platform.h>
#include "intern.h"
#include "sm.h"
}

const uint8_t kKeyModifier[16] = {
    0x76, 0x79, 0x72, 0x6e, 0x61, 0x2d, 0x6b, 0x65, 0x79, 0x2d, 0x6d, 0x6f, 0x64, 0x2d, 0x30, 0x31,
};

Bytes RandomBytes(size_t n)
{
    Bytes b(n);
    if (n)
        RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

Bytes OpensslCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt)
{
    Bytes out(data.size());
    int n = 0;
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(c, EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt);
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_CipherUpdate(c, out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes RevealKey(const Bytes& record)
{
    Bytes key(32);
    if (caam_sim_reveal_key(record.data(), 32, kKeyModifier, key.data()) != 0)
        return {};
    return key;
}

unsigned CipherCmd(bool encrypt, size_t data_len)
{
    return VCRYPTO_CMD(encrypt ? VCRYPTO_NR_ENCRYPT : VCRYPTO_NR_DECRYPT,
                       (data_len + VCRYPTO_HEADER_LEN) / VCRYPTO_BLOCK_LEN);
}

void VcryptoTest::SetUp()
{
    ktest_reset();
    caam_sim_host_defaults(&cfg_);
}

void VcryptoTest::Start()
{
    ASSERT_EQ(0, caam_sim_host_start(&cfg_));
    started_ = true;
    ASSERT_EQ(0, ktest_module_init());
    caam_sim_host_trace_reset();
}

void VcryptoTest::TearDown()
{
    for (struct file* f : open_)
        ktest_file_release(f);
    open_.clear();
    if (started_) {
        ktest_module_exit();
        caam_sim_host_stop();
    }
    // Whatever a test did, the module gives everything back.
    EXPECT_EQ(0, ktest_alloc_outstanding());
    EXPECT_EQ(0, ktest_pages_outstanding());
    // The pages held plaintext and keys: none may go back unwiped.
    EXPECT_EQ(0, ktest_pages_freed_unwiped());
    EXPECT_EQ(0, ktest_dma_outstanding());
    EXPECT_EQ(0, ktest_dma_misuse());
    EXPECT_EQ(0, ktest_device_refs());
    EXPECT_EQ(0, ktest_of_node_refs());
    EXPECT_EQ(0, ktest_files_open());
    if (HasFailure())
        ktest_log_dump();
}

struct file* VcryptoTest::Open(int* err)
{
    int e = 0;
    struct file* f = ktest_misc_open("vcrypto", O_RDWR, &e);
    if (err)
        *err = e;
    if (f)
        open_.push_back(f);
    return f;
}

void VcryptoTest::Close(struct file* file)
{
    open_.erase(std::remove(open_.begin(), open_.end(), file), open_.end());
    EXPECT_EQ(0, ktest_file_release(file));
}

long VcryptoTest::Ioctl(struct file* file, unsigned cmd, void* buf)
{
    return ktest_file_ioctl(file, cmd, reinterpret_cast<unsigned long>(buf));
}

Bytes VcryptoTest::KeyGen(struct file* file)
{
    Bytes record(VCRYPTO_KEY_RECORD_LEN, 0xA5);
    EXPECT_EQ(0, Ioctl(file, VCRYPTO_CMD_KEYGEN, record.data()));
    return record;
}

Bytes VcryptoTest::Cipher(struct file* file, bool encrypt, const Bytes& record, const Bytes& iv,
                          const Bytes& data, long* ret)
{
    Bytes buf(iv);
    buf.insert(buf.end(), record.begin(), record.end());
    buf.insert(buf.end(), data.begin(), data.end());
    long r = Ioctl(file, CipherCmd(encrypt, data.size()), buf.data());
    if (ret)
        *ret = r;
    else
        EXPECT_EQ(0, r);
    return buf;
}

bool VcryptoTest::LoggedBy(const std::string& function, const std::string& text)
{
    const std::string head = function + ", ";
    char buf[512];
    for (size_t i = log_mark_; i < ktest_log_count(); ++i) {
        ktest_log_text(i, buf, sizeof buf);
        const std::string line(buf);
        const size_t colon = line.find(": ");
        if (ktest_log_level(i) != 3 || line.rfind(head, 0) != 0 || colon == std::string::npos)
            continue;
        const std::string number = line.substr(head.size(), colon - head.size());
        if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
            line.substr(colon + 2) == text)
            return true;
    }
    return false;
}

std::string VcryptoTest::Log()
{
    std::string all;
    char buf[512];
    for (size_t i = log_mark_; i < ktest_log_count(); ++i) {
        ktest_log_text(i, buf, sizeof buf);
        all += buf;
        all += '\n';
    }
    return all;
}

bool VcryptoTest::KeyStoreEmpty()
{
    struct device_node* np = of_find_compatible_node(nullptr, nullptr, cfg_.compatible);
    struct platform_device* pdev = of_find_device_by_node(np);
    auto* priv = static_cast<caam_drv_private*>(dev_get_drvdata(&pdev->dev));
    put_device(&pdev->dev);
    of_node_put(np);
    struct device* sm = priv->smdev;
    bool all = sm_establish_keystore(sm, 1) == 0;
    std::vector<u32> slots;
    u32 slot;
    while (sm_keystore_slot_alloc(sm, 1, 32, &slot) == 0)
        slots.push_back(slot);
    for (u32 s : slots)
        sm_keystore_slot_dealloc(sm, 1, s);
    sm_release_keystore(sm, 1);
    return all && slots.size() == 64;
}
