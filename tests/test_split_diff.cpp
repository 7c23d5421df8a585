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

TEST(SplitDifferential, CsvShapedRowsInEveryCharacterSet)
{
    /* Rows as CSV files hold them: commas, quotes (opening, doubled, inside
    ** unquoted text), line breaks and bare carriage returns, letters, and
    ** characters whose trailing bytes are '|', '\\' or '"' in the multi-byte
    ** sets; '|' as the field terminator makes GBK, GB18030 and BIG5 walk. */
    std::mt19937 rng(20261206);
    splitref::pick_fn pick = [&](uint32_t bound) {
        return std::uniform_int_distribution<uint32_t>(0, bound - 1)(rng);
    };
    static const char *pieces[] = {",", "\"", "\"\"", "\n", "\r\n", "\r", "|", "\\", "x", "12\" pizza"};
    for (int i = 0; i < 20000; ++i) {
        splitref::split_case c = splitref::make_case(pick);
        c.mode = FLDR_SCAN_CSV;
        c.term = pick(3) == 0 ? "|" : ",";
        c.enclose = "\"";
        c.row_term = pick(4) == 0 ? "\r\n" : "\n";
        c.col_given = pick(8) == 0;
        c.columns = 1 + pick(6);
        c.row.clear();
        const uint32_t n = pick(60);
        for (uint32_t k = 0; k < n; ++k) {
            if (pick(5) == 0) {
                const std::string wide = splitref::make_case(pick).row;   /* letters and characters */
                c.row += wide.substr(0, pick(30));
            } else {
                c.row += pieces[pick(10)];
            }
            if (pick(6) == 0)
                c.row += std::string(pick(70), 'q');
        }
        const std::string diff = splitref::check_case(c);
        ASSERT_TRUE(diff.empty()) << "case " << i << ": " << diff;
    }
}
