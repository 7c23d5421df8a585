// Pools and heaps of the memory library.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qxmem.h"

namespace {

bool aligned16(const void *p) { return (reinterpret_cast<uintptr_t>(p) & 15u) == 0; }

struct MemTest : ::testing::Test {
    fldr_env env;
    void SetUp() override
    {
        std::memset(&env, 0x5a, sizeof env);   // every field must be set by the init
        mem_env_init(&env);
    }
    mem_pool_t *pool(const char *name = "p")
    {
        return mem2_pool_create_low(&env, nullptr, name, 0x800000, 0x100000, 0, 1, 0, 0, 0, "test", 1);
    }
    void *alloc(mem_pool_t *p, size_t size, const char *file = "test", uint32_t line = 1)
    {
        return mem2_malloc_ex(&env, p, size, 0, file, line);
    }
    mem_heap_t *heap() { return mem_heap_create_low(&env, 0, 0, 0, 0, "test", 1, 1); }
    void *halloc(mem_heap_t *h, size_t size) { return mem_heap_alloc_low(&env, h, size, 0, "test", 1); }
};

// Blocks are freed singly in any order; sizes where size + header would wrap around are refused rather than handed
// out as a tiny block; a pool destroyed with blocks still taken releases them and (debug builds) names where they
// were taken.
TEST_F(MemTest, PoolBlocksAreFreedSinglyAbsurdSizesRefusedAndLeftoversReported)
{
    EXPECT_TRUE(env.state == -1 && env.generation == 1 && env.reserved == 0 && env.alloc_bytes == 0);
    mem_pool_t *p = pool();
    ASSERT_NE(p, nullptr);
    for (size_t absurd : {SIZE_MAX, SIZE_MAX - 20, static_cast<size_t>(-65001)})
        EXPECT_EQ(alloc(p, absurd), nullptr) << absurd;
    EXPECT_EQ(env.alloc_count, 0u);
    std::vector<unsigned char *> blocks;
    for (size_t i = 0; i < 64; i++) {
        auto *b = static_cast<unsigned char *>(alloc(p, i * 7));   // the first one is empty
        ASSERT_TRUE(b != nullptr && aligned16(b));
        blocks.push_back(static_cast<unsigned char *>(std::memset(b, static_cast<int>(i), i * 7)));
    }
    EXPECT_TRUE(mem2_pool_blocks_in_use(p) == 64u && env.alloc_count == 64u);
    // The middle, the ends, then the rest: the chain must survive each unlink.
    for (size_t i : {32u, 0u, 63u, 1u, 62u}) {
        EXPECT_EQ(mem2_free(&env, blocks[i]), 0);
        blocks[i] = nullptr;
    }
    EXPECT_EQ(mem2_pool_blocks_in_use(p), 59u);
    for (size_t i = 0; i < blocks.size(); i++) {
        for (size_t k = 0; blocks[i] != nullptr && k < i * 7; k++)   // untouched by the frees around them
            ASSERT_EQ(blocks[i][k], static_cast<unsigned char>(i));
        EXPECT_EQ(mem2_free(&env, blocks[i]), 0);   // NULL too
    }
    EXPECT_EQ(mem2_pool_blocks_in_use(p), 0u);

    void *kept1 = alloc(p, 100, "fldr/fldr_pub", 4242), *freed = alloc(p, 50, "fldr/fldr_err", 17);
    ASSERT_TRUE(kept1 && freed && alloc(p, 3000, "fldr/fpar", 99));
    ASSERT_EQ(mem2_free(&env, freed), 0);
    ::testing::internal::CaptureStderr();
    mem2_pool_destroy(&env, p);   // the sanitizer build would flag a leak of the blocks kept
    const std::string report = ::testing::internal::GetCapturedStderr();
#ifndef NDEBUG
    EXPECT_NE(report.find("fldr/fldr_pub:4242, 100 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("fldr/fpar:99, 3000 bytes"), std::string::npos) << report;
    EXPECT_EQ(report.find("fldr/fldr_err"), std::string::npos) << report;
#else
    EXPECT_TRUE(report.empty()) << report;
#endif
    mem2_pool_destroy(&env, nullptr);
}

TEST_F(MemTest, HeapBlocksAreZeroAlignedAndDisjointBigOrSmall)
{
    mem_heap_t *h = heap();
    ASSERT_NE(h, nullptr);
    std::vector<std::pair<unsigned char *, size_t>> blocks;
    uint64_t total = 0;
    for (size_t i = 0; i < 3001; i++) {
        // One block beyond any standard chunk among the small ones.
        size_t size = i == 1500 ? size_t{5} << 20 : 1 + (i * 37) % 300;
        auto *b = static_cast<unsigned char *>(halloc(h, size));
        ASSERT_NE(b, nullptr);
        ASSERT_TRUE(aligned16(b));
        for (size_t k = 0; k < size; k++)
            ASSERT_EQ(b[k], 0) << "block " << i << " byte " << k;
        std::memset(b, 0xA5, size);   // a later block that overlaps this one would not be zero
        blocks.emplace_back(b, size);
        total += size;
    }
    for (auto &[b, size] : blocks)
        for (size_t k = 0; k < size; k++)
            ASSERT_EQ(b[k], 0xA5);
    EXPECT_EQ(mem_heap_bytes_used(h), total);
    EXPECT_EQ(halloc(h, SIZE_MAX - 8), nullptr);
    mem_heap_free(&env, h);
    mem_heap_free(&env, nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer neither owner may hide a one-byte overrun of a block.
TEST_F(MemTest, OverrunsAreVisibleToAddressSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mem_heap_t *h = heap();
    mem_pool_t *p = pool();
    auto *hb = static_cast<volatile char *>(halloc(h, 13));
    halloc(h, 13);   // a neighbour the overrun could land in
    auto *pb = static_cast<volatile char *>(alloc(p, 13));
    EXPECT_DEATH(hb[13] = 1, "heap-buffer-overflow");
    EXPECT_DEATH(pb[13] = 1, "heap-buffer-overflow");
    mem2_free(&env, const_cast<char *>(pb));
    mem2_pool_destroy(&env, p);
    mem_heap_free(&env, h);
}
#endif

}  // namespace
