// Pools and heaps of the memory library.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qxmem.h"

namespace {

bool aligned16(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 15u) == 0; }

struct MemTest : ::testing::Test {
    fldr_env env{};
    void SetUp() override { mem_env_init(&env); }
};

TEST(MemEnv, FreshEnvironment)
{
    fldr_env env;
    std::memset(&env, 0x5a, sizeof env);
    mem_env_init(&env);
    EXPECT_EQ(env.state, -1);
    EXPECT_EQ(env.generation, 1);
    EXPECT_EQ(env.reserved, 0u);
    EXPECT_EQ(env.alloc_count, 0u);
    EXPECT_EQ(env.alloc_bytes, 0u);
}

TEST_F(MemTest, PoolBlocksAreFreedSinglyInAnyOrder)
{
    mem_pool_t *pool = mem2_pool_create_low(&env, nullptr, "test pool", 0x800000, 0x100000, 0, 1, 0, 0, 0,
                                            "test", __LINE__);
    ASSERT_NE(pool, nullptr);
    std::vector<unsigned char *> blocks;
    for (size_t i = 0; i < 64; i++) {
        auto *b = static_cast<unsigned char *>(mem2_malloc_ex(&env, pool, i * 7 + 1, 0, "test", __LINE__));
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(aligned16(b));
        std::memset(b, static_cast<int>(i), i * 7 + 1);
        blocks.push_back(b);
    }
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 64u);
    EXPECT_EQ(env.alloc_count, 64u);
    // Free the middle, the ends, then the rest: the chain must survive each unlink.
    for (size_t i : {32u, 0u, 63u, 1u, 62u}) {
        EXPECT_EQ(mem2_free(&env, blocks[i]), 0);
        blocks[i] = nullptr;
    }
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 59u);
    for (size_t i = 0; i < blocks.size(); i++) {
        if (blocks[i] == nullptr)
            continue;
        // Contents of blocks still taken are untouched by the frees around them.
        for (size_t k = 0; k < i * 7 + 1; k++)
            ASSERT_EQ(blocks[i][k], static_cast<unsigned char>(i));
        EXPECT_EQ(mem2_free(&env, blocks[i]), 0);
    }
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 0u);
    EXPECT_EQ(mem2_free(&env, nullptr), 0);
    mem2_pool_destroy(&env, pool);
}

TEST_F(MemTest, PoolDestroyReleasesAndReportsBlocksStillTaken)
{
    mem_pool_t *pool = mem2_pool_create_low(&env, nullptr, "leaky", 0, 0, 0, 1, 0, 0, 0, "test", 1);
    ASSERT_NE(pool, nullptr);
    void *kept1 = mem2_malloc_ex(&env, pool, 100, 0, "fldr/fldr_pub", 4242);
    void *freed = mem2_malloc_ex(&env, pool, 50, 0, "fldr/fldr_err", 17);
    void *kept2 = mem2_malloc_ex(&env, pool, 3000, 0, "fldr/fpar", 99);
    ASSERT_TRUE(kept1 && freed && kept2);
    ASSERT_EQ(mem2_free(&env, freed), 0);
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 2u);

    ::testing::internal::CaptureStderr();
    mem2_pool_destroy(&env, pool);  // the sanitizer build would flag a leak of kept1/kept2
    std::string report = ::testing::internal::GetCapturedStderr();
#ifndef NDEBUG
    EXPECT_NE(report.find("fldr/fldr_pub:4242, 100 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("fldr/fpar:99, 3000 bytes"), std::string::npos) << report;
    EXPECT_EQ(report.find("fldr/fldr_err"), std::string::npos) << report;
#else
    EXPECT_TRUE(report.empty()) << report;
#endif
}

TEST_F(MemTest, PoolRefusesAbsurdSizes)
{
    mem_pool_t *pool = mem2_pool_create_low(&env, nullptr, "p", 0, 0, 0, 1, 0, 0, 0, "test", 1);
    ASSERT_NE(pool, nullptr);
    // size + header would wrap around for these; the pool must not hand out a tiny block.
    EXPECT_EQ(mem2_malloc_ex(&env, pool, SIZE_MAX, 0, "test", 1), nullptr);
    EXPECT_EQ(mem2_malloc_ex(&env, pool, SIZE_MAX - 20, 0, "test", 1), nullptr);
    EXPECT_EQ(mem2_malloc_ex(&env, pool, static_cast<size_t>(-65001), 0, "test", 1), nullptr);
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 0u);
    EXPECT_EQ(env.alloc_count, 0u);
    void *zero = mem2_malloc_ex(&env, pool, 0, 0, "test", 1);
    EXPECT_NE(zero, nullptr);
    EXPECT_EQ(mem2_free(&env, zero), 0);
    mem2_pool_destroy(&env, pool);
}

TEST_F(MemTest, PoolIsSafeAcrossThreads)
{
    mem_pool_t *pool = mem2_pool_create_low(&env, nullptr, "shared", 0, 0, 0, 1, 0, 0, 0, "test", 1);
    ASSERT_NE(pool, nullptr);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char *> mine;
            for (int r = 0; r < kRounds; r++) {
                size_t size = static_cast<size_t>(16 + (r * 13 + t) % 200);
                auto *b = static_cast<unsigned char *>(mem2_malloc_ex(&env, pool, size, 0, "t", 1));
                if (b == nullptr) {
                    bad++;
                    continue;
                }
                std::memset(b, t + 1, size);
                mine.push_back(b);
                // Free every other block at once, keep the rest for a while: frees
                // interleave with other threads' allocations on the shared chain.
                if (r % 2 == 1) {
                    unsigned char *old = mine.front();
                    mine.erase(mine.begin());
                    if (old[0] != t + 1)
                        bad++;
                    if (mem2_free(&env, old) != 0)
                        bad++;
                }
            }
            for (unsigned char *b : mine) {
                if (b[0] != t + 1 || mem2_free(&env, b) != 0)
                    bad++;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 0u);
    EXPECT_EQ(env.alloc_count, static_cast<uint64_t>(kThreads * kRounds));
    mem2_pool_destroy(&env, pool);
}

TEST_F(MemTest, HeapBlocksAreZeroAlignedAndDisjoint)
{
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 0, 0, 0, "test", 1, 1);
    ASSERT_NE(heap, nullptr);
    std::vector<std::pair<unsigned char *, size_t>> blocks;
    uint64_t total = 0;
    for (size_t i = 0; i < 3000; i++) {
        size_t size = 1 + (i * 37) % 300;
        auto *b = static_cast<unsigned char *>(mem_heap_alloc_low(&env, heap, size, 0, "test", 2));
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(aligned16(b));
        for (size_t k = 0; k < size; k++)
            ASSERT_EQ(b[k], 0) << "block " << i << " byte " << k;
        std::memset(b, 0xA5, size);  // a later block that overlaps this one would not be zero
        blocks.emplace_back(b, size);
        total += size;
    }
    EXPECT_EQ(mem_heap_bytes_used(heap), total);
    for (auto &[b, size] : blocks)
        for (size_t k = 0; k < size; k++)
            ASSERT_EQ(b[k], 0xA5);
    mem_heap_free(&env, heap);
}

TEST_F(MemTest, HeapBigBlocksAndStrdup)
{
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 0, 0, 0, "test", 1, 1);
    ASSERT_NE(heap, nullptr);
    auto *small1 = static_cast<char *>(mem_heap_alloc_low(&env, heap, 10, 0, "test", 1));
    constexpr size_t kBig = 5u << 20;  // beyond any standard chunk
    auto *big = static_cast<unsigned char *>(mem_heap_alloc_low(&env, heap, kBig, 0, "test", 1));
    ASSERT_TRUE(small1 && big);
    EXPECT_TRUE(aligned16(big));
    size_t nonzero = 0;
    for (size_t k = 0; k < kBig; k++)
        nonzero += big[k] != 0;
    EXPECT_EQ(nonzero, 0u);
    std::memset(big, 1, kBig);
    // After a big block, small blocks still come out zeroed and apart from it.
    auto *small2 = static_cast<unsigned char *>(mem_heap_alloc_low(&env, heap, 24, 0, "test", 1));
    ASSERT_NE(small2, nullptr);
    EXPECT_TRUE(small2 + 24 <= big || small2 >= big + kBig);
    for (int k = 0; k < 24; k++)
        EXPECT_EQ(small2[k], 0);

    char *copy = mem_heap_strdup(&env, heap, "LOAD DATA INFILE 'a.txt'");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "LOAD DATA INFILE 'a.txt'");
    char *empty = mem_heap_strdup(&env, heap, "");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(mem_heap_strdup(&env, heap, nullptr), nullptr);
    EXPECT_EQ(mem_heap_bytes_used(heap), 10 + kBig + 24 + 25 + 1);
    EXPECT_EQ(mem_heap_alloc_low(&env, heap, SIZE_MAX - 8, 0, "test", 1), nullptr);
    mem_heap_free(&env, heap);
    mem_heap_free(&env, nullptr);
    mem2_pool_destroy(&env, nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer neither owner may hide a one-byte overrun of a block.
TEST_F(MemTest, OverrunsAreVisibleToAddressSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 0, 0, 0, "test", 1, 1);
    mem_pool_t *pool = mem2_pool_create_low(&env, nullptr, "p", 0, 0, 0, 1, 0, 0, 0, "test", 1);
    auto *h = static_cast<volatile char *>(mem_heap_alloc_low(&env, heap, 13, 0, "test", 1));
    mem_heap_alloc_low(&env, heap, 13, 0, "test", 1);  // a neighbour the overrun could land in
    auto *p = static_cast<volatile char *>(mem2_malloc_ex(&env, pool, 13, 0, "test", 1));
    EXPECT_DEATH(h[13] = 1, "heap-buffer-overflow");
    EXPECT_DEATH(p[13] = 1, "heap-buffer-overflow");
    mem2_free(&env, const_cast<char *>(p));
    mem2_pool_destroy(&env, pool);
    mem_heap_free(&env, heap);
}
#endif

}  // namespace
