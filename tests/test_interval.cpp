#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "qxfldr_comm.h"
#include "support/scratch.h"

namespace {

/* An instance whose memory context is a counting malloc, and the caller's array. */
struct interval_fixture {
    qxtest::CountingHeap heap;
    qxtest::QuietInst quiet;   // silent, no log file
    fldr_inst *inst = &quiet.rec;
    std::vector<void *> info = std::vector<void *>(FLDR_INTERVAL_ARRAY, nullptr);

    interval_fixture() { inst->mem_ctx = &heap.ctx; }
    ~interval_fixture()
    {
        for (void *block : info) std::free(block);
    }
    char *add(uint32_t n)
    {
        char *slot = nullptr;
        EXPECT_EQ(fldr_add_interval_info(inst, info.data(), n, &slot), 0);
        return slot;
    }
    fldr_interval_block *block(uint32_t element) { return static_cast<fldr_interval_block *>(info[element]); }
};

} // namespace

TEST(IntervalInfo, SlotsLiveInBlocksOfAHundredAndAreResetAndAddedAgain)
{
    interval_fixture f;
    char *zero = f.add(0);
    ASSERT_NE(f.block(1), nullptr);
    EXPECT_TRUE(f.block(1)->used == 1 && f.block(1)->capacity == 100 && zero == f.block(1)->slots[0]);
    EXPECT_EQ(f.info[0], nullptr);   // element 0 is never used
    char *s250 = f.add(250);
    char *s299 = f.add(299);
    EXPECT_TRUE(f.block(3)->used == 2 && f.block(2) == nullptr);
    EXPECT_EQ(s299 - s250, 49 * FLDR_INTERVAL_SLOT);
    for (int i = 0; i < FLDR_INTERVAL_SLOT; i++) ASSERT_EQ(s250[i], 0);   // zeroed at creation
    std::memset(s250, 'x', FLDR_INTERVAL_SLOT);   // the whole slot is the caller's
    EXPECT_EQ(s299[0], 0);
    // Slots 50 and 99 of the block: bits 2 of byte 6 and 3 of byte 12.
    EXPECT_EQ(std::to_string(f.block(3)->bitmap[6]) + " " + std::to_string(f.block(3)->bitmap[12]), "4 8");

    EXPECT_EQ(fldr_get_interval_info(f.info.data(), 250), s250);
    for (uint32_t unused : {251u, 1000u}) EXPECT_EQ(fldr_get_interval_info(f.info.data(), unused), nullptr) << unused;

    // The highest number the registry takes uses the last element.
    char *last = f.add(65599);
    EXPECT_NE(f.info[656], nullptr);
    EXPECT_EQ(fldr_get_interval_info(f.info.data(), 65599), last);

    // Reset and added again: same slot, contents kept, every addition and
    // reset counted whether or not the slot was in use.
    std::strcpy(s250, "kept");
    EXPECT_EQ(fldr_reset_interval_info(nullptr, f.info.data(), 250), 0);
    EXPECT_EQ(fldr_get_interval_info(f.info.data(), 250), nullptr);
    EXPECT_EQ(fldr_get_interval_info(f.info.data(), 299), s299);
    EXPECT_EQ(f.block(3)->used, 1);
    EXPECT_TRUE(f.add(250) == s250 && f.add(250) == s250);
    EXPECT_STREQ(s250, "kept");
    EXPECT_EQ(f.block(3)->used, 3);
    for (uint32_t n : {250u, 299u, 299u}) fldr_reset_interval_info(nullptr, f.info.data(), n);
    EXPECT_TRUE(f.block(3) != nullptr && f.block(3)->used == 0);   // the block stays
    // A reset of a number without a block changes nothing.
    EXPECT_EQ(fldr_reset_interval_info(nullptr, f.info.data(), 5000), 0);
    EXPECT_EQ(f.info[51], nullptr);
}

TEST(IntervalInfo, NumbersOutsideTheRegistryAndMemoryFailures)
{
    interval_fixture f;
    // Lookups past the range answer null without reading the array.
    // Add and reset never index past the 657 elements.
    char *slot = reinterpret_cast<char *>(0x1);
    for (uint32_t n : {65600u, 0xFFFFFFFFu}) {
        EXPECT_EQ(fldr_get_interval_info(nullptr, n), nullptr);
        EXPECT_EQ(fldr_add_interval_info(f.inst, f.info.data(), n, &slot), FLDR_ERR_OUT_OF_RANGE);
    }
    EXPECT_EQ(fldr_reset_interval_info(nullptr, f.info.data(), 70000), 0);

    f.heap.fail_after = f.heap.allocs;   // the next block is refused
    EXPECT_EQ(fldr_add_interval_info(f.inst, f.info.data(), 700, &slot), FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(f.info[8], nullptr);
    f.heap.fail_after = f.heap.allocs + 1;
    EXPECT_NE(f.add(700), nullptr);
    EXPECT_NE(f.add(701), nullptr);   // same block: no allocation needed
}
