// The device doubles' contract: what module tests and device stand-ins rely
// on (bus addresses a 32-bit device can hold, mapping checks, kernel file
// reads, faults at user copies).
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <ktest.h>
#include <ktest_devices.h>
#include <asm/uaccess.h>
#include <linux/dma-mapping.h>
#include <linux/of_platform.h>
}

namespace {

class Devices : public ::testing::Test {
protected:
    void SetUp() override { ktest_reset(); }
};

TEST_F(Devices, DmaMappingsAreThirtyTwoBitAndChecked)
{
    static char a[64], b[4096];
    struct device dev = {};
    const dma_addr_t ha = dma_map_single(&dev, a, sizeof a, DMA_TO_DEVICE);
    const dma_addr_t hb = dma_map_single(&dev, b, sizeof b, DMA_FROM_DEVICE);
    static_assert(sizeof(dma_addr_t) == 4, "descriptor words hold bus addresses");
    ASSERT_FALSE(dma_mapping_error(&dev, ha));
    EXPECT_NE(ha, hb);
    // The device may read what was mapped to it, write what was mapped
    // from it, and nothing past a mapping's end.
    EXPECT_EQ(a + 8, ktest_dma_resolve(ha + 8, 56, 0));
    EXPECT_EQ(nullptr, ktest_dma_resolve(ha + 8, 57, 0));
    EXPECT_EQ(nullptr, ktest_dma_resolve(ha, 16, 1));
    EXPECT_EQ(b, ktest_dma_resolve(hb, 16, 1));
    EXPECT_EQ(nullptr, ktest_dma_resolve(hb, 16, 0));
    EXPECT_EQ(2, ktest_dma_outstanding());
    dma_unmap_single(&dev, ha, sizeof a, DMA_BIDIRECTIONAL);  // wrong direction
    EXPECT_EQ(1, ktest_dma_misuse());
    dma_unmap_single(&dev, ha, sizeof a, DMA_TO_DEVICE);
    dma_unmap_single(&dev, hb, sizeof b, DMA_FROM_DEVICE);
    dma_unmap_single(&dev, hb, sizeof b, DMA_FROM_DEVICE);  // twice
    EXPECT_EQ(2, ktest_dma_misuse());
    EXPECT_EQ(0, ktest_dma_outstanding());

    struct scatterlist sg[2];
    sg_init_table(sg, 2);
    sg_set_buf(&sg[0], a, 16);
    sg_set_buf(&sg[1], b, 32);
    EXPECT_EQ(2, dma_map_sg(&dev, sg, 2, DMA_BIDIRECTIONAL));
    EXPECT_EQ(b, ktest_dma_resolve(sg_dma_address(&sg[1]), 32, 1));
    dma_unmap_sg(&dev, sg, 2, DMA_BIDIRECTIONAL);
    ktest_fault_set("dma_map_sg", 0, 1);
    EXPECT_EQ(0, dma_map_sg(&dev, sg, 2, DMA_BIDIRECTIONAL));
    EXPECT_EQ(0, ktest_dma_outstanding());
    EXPECT_EQ(2, ktest_dma_misuse());
}

TEST_F(Devices, NodeAndDeviceReferencesAreCounted)
{
    struct platform_device pdev = {};
    ktest_of_add("vendor,thing", &pdev);
    struct device_node* np = of_find_compatible_node(nullptr, nullptr, "vendor,thing");
    ASSERT_NE(nullptr, np);
    EXPECT_EQ(nullptr, of_find_compatible_node(nullptr, nullptr, "vendor,other"));
    EXPECT_EQ(&pdev, of_find_device_by_node(np));
    EXPECT_EQ(1, ktest_of_node_refs());
    EXPECT_EQ(1, ktest_device_refs());
    put_device(&pdev.dev);
    of_node_put(np);
    EXPECT_EQ(0, ktest_of_node_refs());
    EXPECT_EQ(0, ktest_device_refs());
}

TEST_F(Devices, UserCopiesOfUnreachableMemoryFailInsteadOfCrashing)
{
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(0, munmap(area + page, page));
    char buf[64] = {};
    EXPECT_EQ(0ul, copy_to_user(area + page - 64, buf, 64));
    EXPECT_EQ(32ul, copy_to_user(area + page - 32, buf, 64)) << "runs off the mapping";
    EXPECT_EQ(64ul, copy_from_user(buf, area + page, 64));
    ASSERT_EQ(0, mprotect(area, page, PROT_READ));
    EXPECT_EQ(64ul, copy_to_user(area, buf, 64)) << "read-only";
    EXPECT_EQ(0ul, copy_from_user(buf, area, 64));
    munmap(area, page);
}

TEST_F(Devices, HwrngReadsNeedKernelSpaceAndFailOnRequest)
{
    char buf[16];
    struct file* f = filp_open("/dev/hwrng", O_RDONLY, 0);
    ASSERT_FALSE(IS_ERR(f));
    EXPECT_EQ(-EFAULT, f->f_op->read(f, buf, 16, &f->f_pos)) << "user limit";
    EXPECT_EQ(16, kernel_read(f, 0, buf, 16));
    EXPECT_EQ(USER_DS, get_fs());
    ktest_fault_set("hwrng_short", 0, 1);
    EXPECT_EQ(15, kernel_read(f, 0, buf, 16));
    ktest_fault_set("hwrng_read", 0, 1);
    EXPECT_EQ(-EIO, kernel_read(f, 0, buf, 16));
    size_t sizes[8];
    EXPECT_EQ(4u, ktest_hwrng_reads(sizes, 8));
    EXPECT_EQ(1, ktest_files_open());
    filp_close(f, nullptr);
    EXPECT_EQ(0, ktest_files_open());
    EXPECT_EQ(-ENOENT, PTR_ERR(filp_open("/dev/none", O_RDONLY, 0)));
    ktest_fault_set("filp_open", 0, 1);
    EXPECT_TRUE(IS_ERR(filp_open("/dev/hwrng", O_RDONLY, 0)));
}

}  // namespace
