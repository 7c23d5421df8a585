/*
** Differential test: the library's row searches and field scanner against
** the plain reference, on random rows with random separators of 0 to 3
** bytes, enclosures, escapes, NULs and multi-byte characters of UTF-8, GBK,
** GB18030 and BIG5, in all three scan modes. Deterministic seeds; a failure
** prints the case.
*/
#include <gtest/gtest.h>

#include <random>

#include "support/split_reference.h"

TEST(SplitDifferential, LibraryAgreesWithReferenceOnRandomRows)
{
    std::mt19937 rng(20261205);
    splitref::pick_fn pick = [&](uint32_t bound) {
        return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng);
    };
    for (int i = 0; i < 30000; ++i) {
        const splitref::split_case c = splitref::make_case(pick);
        const std::string diff = splitref::check_case(c);
        ASSERT_TRUE(diff.empty()) << "case " << i << ": " << diff;
    }
}

TEST(SplitDifferential, LongRowsCrossTheBulkSkipBlocks)
{
    /* Long runs of plain bytes between the interesting ones, so that the
    ** 16-byte blocks of the bulk skip end at every possible offset. */
    std::mt19937 rng(7);
    splitref::pick_fn pick = [&](uint32_t bound) {
        return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng);
    };
    for (int i = 0; i < 3000; ++i) {
        splitref::split_case c = splitref::make_case(pick);
        std::string longer;
        for (char ch : c.row) {
            longer += ch;
            if (pick(4) == 0)
                longer += std::string(pick(40), 'q');
        }
        c.row = longer;
        const std::string diff = splitref::check_case(c);
        ASSERT_TRUE(diff.empty()) << "case " << i << ": " << diff;
    }
}
