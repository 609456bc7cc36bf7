// The CAAM stand-in's own promises: blobs bound to the master key and key
// modifier, a master key kept in its file, and jobs that fail the way the
// hardware does when a client gets a descriptor or a mapping wrong.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/evp.h>

extern "C" {
#include <ktest.h>
#include <ktest_devices.h>
#include <linux/completion.h>
#include <linux/dma-mapping.h>
#include <linux/of_platform.h>
#include "caam_sim.h"
#include "caam_sim_host.h"
#include "desc.h"
#include "error.h"
#include "intern.h"
#include "jr.h"
#include "sm.h"
}

namespace {

using Bytes = std::vector<uint8_t>;

class CaamSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktest_reset();
        caam_sim_host_defaults(&cfg_);
        dir_ = ::testing::TempDir() + "caam-sim-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        mkdir(dir_.c_str(), 0700);
        key_file_ = dir_ + "/master.key";
        std::remove(key_file_.c_str());
    }
    void TearDown() override { Stop(); }

    void Start()
    {
        ASSERT_EQ(0, caam_sim_host_start(&cfg_));
        running_ = true;
        struct device_node* np = of_find_compatible_node(nullptr, nullptr, "fsl,sec-v4.0");
        struct platform_device* pdev = of_find_device_by_node(np);
        auto* priv = static_cast<caam_drv_private*>(dev_get_drvdata(&pdev->dev));
        sm_ = priv->smdev;
        put_device(&pdev->dev);
        of_node_put(np);
    }
    void Stop()
    {
        if (running_)
            caam_sim_host_stop();
        running_ = false;
    }

    // Loads key into a slot of unit 1, covers it and exports its blob.
    Bytes Export(const Bytes& key, uint8_t* keymod)
    {
        Bytes blob(key.size() + BLOB_OVERHEAD);
        u32 slot;
        EXPECT_EQ(0, sm_establish_keystore(sm_, 1));
        EXPECT_EQ(0, sm_keystore_slot_alloc(sm_, 1, 32, &slot));
        EXPECT_EQ(0, sm_keystore_slot_load(sm_, 1, slot, key.data(), key.size()));
        EXPECT_EQ(0, sm_keystore_cover_key(sm_, 1, slot, key.size(), KEY_COVER_ECB));
        EXPECT_EQ(0, sm_keystore_slot_export(sm_, 1, slot, BLACK_KEY, KEY_COVER_ECB, blob.data(),
                                             key.size(), keymod));
        sm_keystore_slot_dealloc(sm_, 1, slot);
        sm_release_keystore(sm_, 1);
        return blob;
    }
    int Import(Bytes blob, uint8_t* keymod)
    {
        u32 slot;
        EXPECT_EQ(0, sm_establish_keystore(sm_, 1));
        EXPECT_EQ(0, sm_keystore_slot_alloc(sm_, 1, 32, &slot));
        int ret = sm_keystore_slot_import(sm_, 1, slot, BLACK_KEY, KEY_COVER_ECB, blob.data(),
                                          32, keymod);
        sm_keystore_slot_dealloc(sm_, 1, slot);
        sm_release_keystore(sm_, 1);
        return ret;
    }

    caam_sim_host_config cfg_{};
    std::string dir_, key_file_;
    struct device* sm_ = nullptr;
    bool running_ = false;
    uint8_t keymod_[16] = "key modifier 01";
};

TEST_F(CaamSim, BlobsOpenOnlyUnderTheirMasterKeyAndKeyModifier)
{
    cfg_.master_key_file = key_file_.c_str();
    Start();
    const Bytes key(32, 0x42);
    const Bytes blob = Export(key, keymod_);
    ASSERT_EQ(80u, blob.size());
    Bytes plain(32);
    ASSERT_EQ(0, caam_sim_reveal_key(blob.data(), 32, keymod_, plain.data()));
    EXPECT_EQ(key, plain);

    uint8_t other_mod[16];
    memcpy(other_mod, keymod_, 16);
    other_mod[7] ^= 1;
    EXPECT_EQ(-EIO, Import(blob, other_mod));
    EXPECT_EQ(0, Import(blob, keymod_));

    // The master key survives a restart in its file; another one does not
    // open the blob.
    Stop();
    struct stat st;
    ASSERT_EQ(0, stat(key_file_.c_str(), &st));
    EXPECT_EQ(32, st.st_size);
    EXPECT_EQ(0600u, st.st_mode & 0777);
    Start();
    EXPECT_EQ(0, Import(blob, keymod_));
    Stop();
    std::remove(key_file_.c_str());
    Start();
    EXPECT_EQ(-EIO, Import(blob, keymod_));
}

TEST_F(CaamSim, MasterKeyFileOfTheWrongSizeIsRefused)
{
    std::ofstream(key_file_) << "short";
    cfg_.master_key_file = key_file_.c_str();
    EXPECT_EQ(-EINVAL, caam_sim_host_start(&cfg_));
}

TEST_F(CaamSim, SlotsAreBoundedAndChecked)
{
    Start();
    u32 slot;
    EXPECT_EQ(-EINVAL, sm_keystore_slot_alloc(sm_, 1, 32, &slot)) << "unit not established";
    ASSERT_EQ(0, sm_establish_keystore(sm_, 1));
    EXPECT_EQ(-EKEYREJECTED, sm_keystore_slot_alloc(sm_, 1, 65, &slot));
    EXPECT_EQ(-EINVAL, sm_establish_keystore(sm_, 2)) << "two units: 0 and 1";
    const u8 key[32] = {1};
    EXPECT_EQ(-EINVAL, sm_keystore_slot_load(sm_, 1, 3, key, 32)) << "slot not allocated";
    ASSERT_EQ(0, sm_keystore_slot_alloc(sm_, 1, 32, &slot));
    ASSERT_EQ(0, sm_keystore_slot_load(sm_, 1, slot, key, 32));
    ASSERT_EQ(0, sm_keystore_cover_key(sm_, 1, slot, 32, KEY_COVER_ECB));
    u8 covered[32];
    ASSERT_EQ(0, sm_keystore_slot_read(sm_, 1, slot, 32, covered));
    EXPECT_NE(0, memcmp(key, covered, 32)) << "a covered key is not the plain key";
    EXPECT_EQ(0, sm_keystore_slot_dealloc(sm_, 1, slot));
    EXPECT_EQ(-EINVAL, sm_keystore_slot_dealloc(sm_, 1, slot));
    sm_release_keystore(sm_, 1);
}

// A job built by hand: an AES-CBC descriptor over one mapped buffer, then
// one fault at a time. The stand-in must refuse what hardware would.
struct JobResult {
    struct completion done;
    u32 status;
};

void JobDone(struct device*, u32*, u32 status, void* areq)
{
    auto* r = static_cast<JobResult*>(areq);
    r->status = status;
    complete(&r->done);
}

TEST_F(CaamSim, JobsCheckTheirDescriptorAndMappings)
{
    Start();
    struct device* jr = caam_jr_alloc();
    ASSERT_FALSE(IS_ERR(jr));
    // Key (plain, 32 bytes), IV and 64 bytes of data in DMA-able memory.
    static u8 key[32], iv[16], data[64];
    static u32 desc[12];
    memset(key, 7, sizeof key);
    struct Case {
        const char* name;
        u32 word;    // index of a descriptor word to change
        u32 value;   // its new value
        enum dma_data_direction iv_dir;
        u32 status;  // expected status word
    };
    const Case cases[] = {
        {"good", 0, 0xB080000C, DMA_BIDIRECTIONAL, 0},
        {"unknown command", 3, 0x70000000, DMA_BIDIRECTIONAL, 0x40000001},
        {"header without HDR_ONE", 0, 0xB000000C, DMA_BIDIRECTIONAL, 0x40000002},
        {"data length not whole blocks", 5, 0x22120000 | 40, DMA_BIDIRECTIONAL, 0x40000004},
        {"store longer than load", 8, 0x60300000 | 48, DMA_BIDIRECTIONAL, 0x40000004},
        {"key of 20 bytes", 1, 0x02200014, DMA_BIDIRECTIONAL, 0x40000005},
        {"IV mapped for the device to read only", 0, 0xB080000C, DMA_TO_DEVICE, 0x40000003},
        {"data pointer off the mapping", 6, 0x0badf000, DMA_BIDIRECTIONAL, 0x40000003},
        {"S/G flag on a plain buffer", 5, 0x23120000 | 64, DMA_BIDIRECTIONAL, 0x40000006},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const dma_addr_t k = dma_map_single(jr, key, 32, DMA_TO_DEVICE);
        const dma_addr_t v = dma_map_single(jr, iv, 16, c.iv_dir);
        const dma_addr_t d = dma_map_single(jr, data, 64, DMA_BIDIRECTIONAL);
        const u32 words[12] = {0xB080000C, 0x02200020, k, 0x12200010, v, 0x22120000 | 64, d,
                               0x8210010D, 0x60300000 | 64, d, 0x52200010, v};
        memcpy(desc, words, sizeof desc);
        desc[c.word] = c.value;
        if (c.word == 6)
            desc[9] = c.value;
        JobResult r{};
        init_completion(&r.done);
        ASSERT_EQ(0, caam_jr_enqueue(jr, desc, JobDone, &r));
        wait_for_completion(&r.done);
        EXPECT_EQ(c.status, r.status);
        dma_unmap_single(jr, d, 64, DMA_BIDIRECTIONAL);
        dma_unmap_single(jr, v, 16, c.iv_dir);
        dma_unmap_single(jr, k, 32, DMA_TO_DEVICE);
        if (c.status)
            caam_jr_strstatus(jr, r.status);
    }
    EXPECT_EQ(0, ktest_dma_outstanding());
    EXPECT_EQ(0, ktest_dma_misuse());
    EXPECT_EQ(8u, ktest_log_find("caam-jr", 3));
    caam_jr_free(jr);
}

}  // namespace
