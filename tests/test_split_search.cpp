/*
** Row-terminator searches and the byte search: results, the choice of search
** by the instance, and that no search reads past the bytes it is given.
*/
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "support/fpar_test_util.h"
#include "support/split_reference.h"

using splitref::guarded_bytes;
using splitref::split_table;

TEST(RowSearch, OnlyTheTablesEscapeProtectsATerminator)
{
    /* The enclosure and escape rules of each mode are held to the reference
    ** by the differential test. Here: the table's escape protects, a column's
    ** plays no part, and without the control record's separators (or the
    ** record) the search is plain. Offsets of the hit, -1 for none; the bytes
    ** sit right before an inaccessible page. */
    split_table table("|", "", "\\");
    fldr_inst inst{};
    inst.ctl = &table.ctl;
    inst.scan_mode = FLDR_SCAN_ESCAPED;
    auto at = [&](const std::string &s) {
        guarded_bytes g(s);
        const char *hit = fldr_search_row_end(&inst, g.data(), g.size(), 1, "\n");
        return hit ? hit - g.data() : -1;
    };
    EXPECT_EQ(at("a\\\nb\n"), 4);
    fldr_col *col = table.add_col("|", "");
    splitref::set_sep_string(col->sep_info->escape, &col->sep_info->escape_len, "!");
    EXPECT_EQ(at("a!\nb\n"), 2);
    table.ctl.sep_info = nullptr;
    EXPECT_EQ(at("a\\\nb\n"), 2);
    inst.ctl = nullptr;
    EXPECT_EQ(at("a\\\nb\n"), 2);
}

TEST(RowSearch, BatchSearchGivesTheEndsOfRepeatedSearches)
{
    /* Random buffers of short and long rows, terminators that overlap
    ** themselves ("aa") or are cut by the buffer's end, a few limits on the
    ** number of ends and a bias; the batch and its 16-byte version must give
    ** exactly the ends of one search after another, each from the end of the
    ** previous terminator. The plain search only: the differential test runs
    ** the batch in every mode. */
    std::mt19937 rng(99);
    const std::string terms[] = {"\n", "\r\n", "aa", "|x|"};
    const char alphabet[] = "aaxy|\"\\\n\r";
    fldr_inst plain{};   /* no control record: the plain search */
    for (int round = 0; round < 400; ++round) {
        const std::string &term = terms[round % 4];
        const auto term_len = static_cast<uint16_t>(term.size());
        std::string s;
        for (const size_t size = rng() % 3000; s.size() < size;)
            s += rng() % 8 == 0 ? term : rng() % 3 == 0 ? std::string(rng() % 150, 'q')
                                                         : std::string(1, alphabet[rng() % (sizeof alphabet - 1)]);
        guarded_bytes g(s);
        const uint32_t max = round % 5 == 0 ? 1 + rng() % 4 : 1 + rng() % 300, bias = rng() % 1000;
        std::vector<uint32_t> want;
        for (uint32_t from = 0; from < g.size() && want.size() < max;) {
            const char *hit = splitref::search_row_end(&plain, g.data() + from, g.size() - from, term_len, term.data());
            if (hit == nullptr)
                break;
            want.push_back(static_cast<uint32_t>(hit - g.data()) + bias);
            from = static_cast<uint32_t>(hit - g.data() + term.size());
        }
        std::vector<uint32_t> got(max + 1, 0xDEADBEEF), narrow(max + 1, 0xDEADBEEF);
        got.resize(fldr_search_row_ends(&plain, g.data(), g.size(), term_len, term.data(), got.data(), max, bias));
        ASSERT_EQ(got, want) << "round " << round << " max " << max;
        narrow.resize(fldr_search_row_ends_portable(g.data(), g.size(), term_len, term.data(), narrow.data(), max,
                                                    bias));
        ASSERT_EQ(narrow, want) << "16-byte version, round " << round << " max " << max;
    }
    /* Nothing to search, or an empty terminator: no ends. */
    uint32_t ends[4];
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 0, 1, "\n", ends, 4, 0), 0u);
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 4, 0, "\n", ends, 4, 0), 0u);
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 4, 1, "\n", ends, 0, 0), 0u);
}

namespace {

/* Separators as "rc|term|enclose|escape". */
std::string seps(int32_t rc, const fldr_seperator_info *info)
{
    return std::to_string(rc) + "|" + std::string(info->term, info->term_len) + "|" +
           std::string(info->enclose, info->enclose_len) + "|" + std::string(info->escape, info->escape_len);
}

/* A table clause as the parser leaves it, prepared for loading as the loader
** prepares it: "rc|term|enclose|escape" of the table's separators. */
struct prepared {
    fpar_test::Parse p;
    int32_t          rc;
    explicit prepared(const std::string &clauses) : p("LOAD INFILE 'a' INTO TABLE T " + clauses)
    {
        EXPECT_EQ(p.rc, 0) << clauses;
        rc = p.rc == 0 ? fldr_preprocess_load_sep_info(p.ctl()) : p.rc;
    }
    std::string table() const { return seps(rc, p.ctl()->sep_info); }
};

}  // namespace

TEST(Separators, HexadecimalFormsBecomeBytesOrAreRefusedAfterEarlierConversions)
{
    prepared hex("FIELDS X '0D0A' ENCLOSE X '22' ESCAPED X '5c5C'");
    EXPECT_EQ(hex.table(), "0|\r\n|\"|\\\\");
    EXPECT_EQ(hex.p.ctl()->sep_info->term[2], '\0');
    /* The hexadecimal text and the flags stay: a second run gives the same. */
    EXPECT_STREQ(hex.p.ctl()->sep_info->term_hex, "0D0A");
    EXPECT_EQ(seps(fldr_preprocess_load_sep_info(hex.p.ctl()), hex.p.ctl()->sep_info), "0|\r\n|\"|\\\\");
    /* A zero byte anywhere, or a digit that is none; conversions before stay. */
    EXPECT_EQ(prepared("FIELDS X '00'").rc, FLDR_ERR_ROW_TERM);
    EXPECT_EQ(prepared("FIELDS X '2C002C'").rc, FLDR_ERR_ROW_TERM);
    prepared partly("FIELDS X '7C' ENCLOSE X 'ZZ' ESCAPED X '5C'");
    const fldr_seperator_info *info = partly.p.ctl()->sep_info;
    EXPECT_EQ(fpar_test::join(partly.rc, std::string(info->term, info->term_len)),
              fpar_test::join(FLDR_ERR_ROW_TERM, "|"));
}

TEST(Separators, LoadPreparationRefusesAColumnWhoseTerminatorIsItsEnclosure)
{
    // Under a ',' table a column enclosed by ',' clashes, and the column after
    // it is not prepared (its 3A stays digits).
    prepared clash("FIELDS ',' (a, b ENCLOSE ',', c TERMINATED BY X '3A')");
    EXPECT_EQ(clash.rc, FLDR_ERR_SEP_IS_ENCLOSE);
    EXPECT_STREQ(clash.p.ctl()->col_last->sep_info->term_hex, "3A");
    // The column's own terminator clears the clash.
    prepared own("FIELDS ',' (a TERMINATED BY X '3A' ENCLOSE ',')");
    EXPECT_EQ(seps(own.rc, own.p.ctl()->col_first->sep_info), "0|:|,|");
    // The table's terminator in hexadecimal meets it too; a failing conversion
    // comes through; without columns nothing is compared (the scanner refuses
    // it later).
    EXPECT_EQ(prepared("FIELDS X '2c' (a ENCLOSE ',')").rc, FLDR_ERR_SEP_IS_ENCLOSE);
    EXPECT_EQ(prepared("FIELDS ',' (a ENCLOSE X '0')").rc, FLDR_ERR_ROW_TERM);
    EXPECT_EQ(prepared("FIELDS ',' ENCLOSE ','").rc, 0);
}
