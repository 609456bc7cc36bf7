// The buffer pool: 10 idle after load, at most 64 out, never more than 10
// idle, exact accounting when many threads allocate and release at once.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <ktest.h>

extern "C" {
#include "tarn_buf.h"
}

namespace {

class Pool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktest_reset();
        ASSERT_EQ(0, ktest_module_init());
    }
    void TearDown() override
    {
        EXPECT_EQ(0, used_buf_count);
        ktest_module_exit();
        EXPECT_EQ(0, ktest_alloc_outstanding());
    }
};

TEST_F(Pool, BoundedAndReused)
{
    EXPECT_EQ(10, free_buf_list.count);
    EXPECT_EQ(10, ktest_alloc_outstanding());
    std::vector<struct n_tarn_buf*> out;
    for (int i = 0; i < 10; ++i)
        out.push_back(n_tarn_buf_alloc());
    EXPECT_EQ(10, ktest_alloc_outstanding()) << "the first 10 come from the free list";
    out.push_back(n_tarn_buf_alloc());
    EXPECT_EQ(11, ktest_alloc_outstanding()) << "the 11th from the heap";
    while (out.size() < 64)
        out.push_back(n_tarn_buf_alloc());
    for (struct n_tarn_buf* b : out) {
        ASSERT_NE(nullptr, b);
        EXPECT_EQ(0, b->len);
    }
    EXPECT_EQ(64, used_buf_count);
    EXPECT_EQ(nullptr, n_tarn_buf_alloc()) << "the 65th";
    n_tarn_buf_free(out.back());
    out.back() = n_tarn_buf_alloc();
    EXPECT_NE(nullptr, out.back()) << "again after a release";
    EXPECT_EQ(64, ktest_alloc_outstanding());
    for (struct n_tarn_buf* b : out)
        n_tarn_buf_free(b);
    EXPECT_EQ(10, free_buf_list.count) << "never more than 10 idle";
    EXPECT_EQ(10, ktest_alloc_outstanding());
}

TEST_F(Pool, HeapFailuresCostNothing)
{
    ktest_module_exit();
    ktest_reset();
    ktest_fault_set("kmalloc", 3, 2);
    ASSERT_EQ(0, ktest_module_init());
    EXPECT_EQ(8, free_buf_list.count) << "failed fills are skipped";
    std::vector<struct n_tarn_buf*> out;
    for (int i = 0; i < 8; ++i)
        out.push_back(n_tarn_buf_alloc());
    ktest_fault_set("kmalloc", 0, 1);
    EXPECT_EQ(nullptr, n_tarn_buf_alloc());
    EXPECT_EQ(8, used_buf_count) << "a failed heap allocation is not counted";
    for (struct n_tarn_buf* b : out)
        n_tarn_buf_free(b);
}

TEST_F(Pool, ListIsFifoAndSurvivesEmptyGets)
{
    struct n_tarn_buf_list list;
    n_tarn_buf_list_init(&list);
    EXPECT_EQ(nullptr, n_tarn_buf_get(&list));
    struct n_tarn_buf* a = n_tarn_buf_alloc();
    struct n_tarn_buf* b = n_tarn_buf_alloc();
    n_tarn_buf_put(&list, a);
    n_tarn_buf_put(&list, b);
    EXPECT_EQ(2, n_tarn_buf_count(&list));
    EXPECT_EQ(a, n_tarn_buf_get(&list));
    EXPECT_EQ(b, n_tarn_buf_get(&list));
    EXPECT_EQ(nullptr, n_tarn_buf_get(&list));
    EXPECT_EQ(nullptr, list.tail);
    n_tarn_buf_put(&list, a);
    EXPECT_EQ(a, list.head);
    EXPECT_EQ(a, list.tail);
    n_tarn_buf_list_free(&list);
    n_tarn_buf_free(b);
    EXPECT_EQ(0, n_tarn_buf_count(&list));
}

// Threads race for the last slots: together they want 96 buffers at once
// and must get exactly 64, round after round.
TEST_F(Pool, ConcurrentUseKeepsTheBound)
{
    constexpr int kThreads = 4, kWant = 24, kRounds = 200;
    std::atomic<int> arrived{0}, got{0};
    std::atomic<int> round_done{0};
    std::vector<int> totals(kRounds);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            std::vector<struct n_tarn_buf*> mine;
            for (int r = 0; r < kRounds; ++r) {
                // all threads start a round together
                ++arrived;
                while (arrived < kThreads * (r + 1))
                    std::this_thread::yield();
                for (int i = 0; i < kWant; ++i)
                    if (struct n_tarn_buf* b = n_tarn_buf_alloc())
                        mine.push_back(b);
                got += static_cast<int>(mine.size());
                if (++round_done == kThreads * (r + 1))
                    totals[r] = got.exchange(0);
                while (round_done < kThreads * (r + 1))
                    std::this_thread::yield();
                for (struct n_tarn_buf* b : mine)
                    n_tarn_buf_free(b);
                mine.clear();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int r = 0; r < kRounds; ++r)
        ASSERT_EQ(64, totals[r]) << "round " << r;
    EXPECT_EQ(0, used_buf_count);
    EXPECT_EQ(10, free_buf_list.count);
}

}  // namespace
