// The doubles' own contract: what module tests rely on when they inject
// faults and read the kernel log.
#include <gtest/gtest.h>

#include <ktest.h>
#include <linux/kernel.h>
#include <linux/kref.h>
#include <linux/slab.h>
#include <linux/uaccess.h>

namespace {

class Doubles : public ::testing::Test {
protected:
    void SetUp() override { ktest_reset(); }
};

TEST_F(Doubles, FaultPointsSkipThenFailTheGivenCount)
{
    struct Case {
        int skip, count;
        const char* expected;  // one letter per call: p = pass, f = fail
    };
    const Case cases[] = {
        {0, 1, "fppp"}, {2, 1, "ppfp"}, {1, 2, "pffp"}, {1, -1, "pfff"}, {0, 0, "pppp"},
    };
    for (const Case& c : cases) {
        ktest_fault_set("point", c.skip, c.count);
        std::string seen;
        for (int i = 0; i < 4; ++i)
            seen += ktest_fault_hit("point") ? 'f' : 'p';
        EXPECT_EQ(c.expected, seen) << "skip " << c.skip << " count " << c.count;
    }
    EXPECT_EQ(20, ktest_fault_calls("point"));
}

TEST_F(Doubles, AllocationsAreCountedAndFailOnRequest)
{
    void* a = kmalloc(10, GFP_KERNEL);
    unsigned char* z = static_cast<unsigned char*>(kzalloc(32, GFP_KERNEL));
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, z);
    EXPECT_EQ(0, z[31]);
    EXPECT_EQ(2, ktest_alloc_outstanding());
    ktest_fault_set("kmalloc", 0, 1);
    EXPECT_EQ(nullptr, kmalloc(10, GFP_KERNEL));
    kfree(a);
    kzfree(z);
    kfree(nullptr);
    EXPECT_EQ(0, ktest_alloc_outstanding());

    unsigned long page = __get_free_pages(GFP_KERNEL | __GFP_ZERO, 2);
    ASSERT_NE(0ul, page);
    EXPECT_EQ(0ul, page % PAGE_SIZE);
    EXPECT_EQ(4, ktest_pages_outstanding());
    reinterpret_cast<char*>(page)[2 * PAGE_SIZE + 7] = 1;  // one of the four not wiped
    free_pages(page, 2);
    EXPECT_EQ(0, ktest_pages_outstanding());
    EXPECT_EQ(1, ktest_pages_freed_unwiped());
    EXPECT_EQ(0, get_order(4096));
    EXPECT_EQ(1, get_order(4097));
    EXPECT_EQ(2, get_order(16384));
}

TEST_F(Doubles, UserCopiesReportWhatWasNotCopied)
{
    char src[8] = "abcdefg", dst[8] = {};
    EXPECT_EQ(0ul, copy_from_user(dst, src, 8));
    EXPECT_STREQ("abcdefg", dst);
    EXPECT_EQ(8ul, copy_to_user(nullptr, src, 8));
    ktest_fault_set("copy_from_user", 0, 1);
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(8ul, copy_from_user(dst, src, 8));
    EXPECT_EQ(0, dst[0]);  // zeroed, as the kernel does
    EXPECT_EQ(3, ktest_user_copies());
}

int g_released;
void Release(struct kref*) { ++g_released; }

// The last put releases once; a get from nothing is a warning, as in 4.1.
TEST_F(Doubles, KrefReleasesOnTheLastPutAndWarnsOnAGetFromNothing)
{
    struct kref ref;
    g_released = 0;
    kref_init(&ref);
    kref_get(&ref);
    EXPECT_EQ(0, kref_put(&ref, Release));
    EXPECT_EQ(1, kref_put(&ref, Release));
    EXPECT_EQ(1, g_released);
    EXPECT_EQ(0, kref_get_unless_zero(&ref));
    EXPECT_EQ(0u, ktest_log_find("WARNING", 4));
    kref_get(&ref);
    EXPECT_EQ(1u, ktest_log_find("WARNING", 4));
}

TEST_F(Doubles, LogKeepsLevelAndTextWithoutTrailingNewline)
{
    pr_err("%s,%d: failed\n", "fn", 42);
    printk("plain\n");
    printk(KERN_DEBUG "trace");
    ASSERT_EQ(3u, ktest_log_count());
    char text[64];
    EXPECT_EQ(13, ktest_log_text(0, text, sizeof text));
    EXPECT_STREQ("fn,42: failed", text);
    EXPECT_EQ(3, ktest_log_level(0));
    EXPECT_EQ(4, ktest_log_level(1));
    EXPECT_EQ(7, ktest_log_level(2));
    EXPECT_EQ(1u, ktest_log_find("failed", 3));
    EXPECT_EQ(0u, ktest_log_find("trace", 6));
}

}  // namespace
