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
#include "jobcheck/job_cases.h"
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

// The job cases that the kernel build runs too: each must end with the
// status the hardware gives, leaving no mapping behind.
TEST_F(CaamSim, JobsCheckTheirDescriptorAndMappings)
{
    Start();
    size_t failed = 0;
    for (unsigned int i = 0; i < csim_job_case_count; i++) {
        const csim_job_case& c = csim_job_cases[i];
        EXPECT_EQ(c.status, csim_run_job_case(&c)) << c.name;
        failed += c.status > 0;
    }
    EXPECT_EQ(0, ktest_dma_outstanding());
    EXPECT_EQ(0, ktest_dma_misuse());
    EXPECT_EQ(failed, ktest_log_find("caam-jr", 3));
}

}  // namespace
