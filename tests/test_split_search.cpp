/*
** Row-terminator searches and the byte search: results, the choice of search
** by the instance, and that no search reads past the bytes it is given.
*/
#include <gtest/gtest.h>

#include <string>

#include "fldr_file_split.h"
#include "support/split_reference.h"

using splitref::guarded_bytes;
using splitref::split_table;

namespace {

/* Offset of the search result in s, or -1 for NULL; the bytes sit right
** before an inaccessible page. */
long plain_at(const std::string &s, const std::string &term)
{
    guarded_bytes g(s);
    const char *hit = fldr_search_row_end(nullptr, g.data(), g.size(), static_cast<uint16_t>(term.size()),
                                          term.data());
    return hit ? hit - g.data() : -1;
}

struct instance {
    split_table table{"|", "", "\\"};
    fldr_inst   inst{};
    instance(uint32_t scan_mode, uint32_t enclosed_rows)
    {
        inst.ctl = &table.ctl;
        inst.scan_mode = scan_mode;
        inst.enclosed_rows = enclosed_rows;
    }
    long at(const std::string &s, const std::string &term)
    {
        guarded_bytes g(s);
        const char *hit = fldr_search_row_end(&inst, g.data(), g.size(),
                                              static_cast<uint16_t>(term.size()), term.data());
        return hit ? hit - g.data() : -1;
    }
};

}  // namespace

TEST(ByteSearch, FindsWholePatternsOnly)
{
    guarded_bytes g("aaab|x\r");
    EXPECT_EQ(fldr_strstr(g.data(), 0, "a", 1), nullptr);
    EXPECT_EQ(fldr_strstr(g.data(), g.size(), "aab", 3), g.data() + 1);
    EXPECT_EQ(fldr_strstr(g.data(), g.size(), "|", 1), g.data() + 4);
    /* Only partly present at the end of the range. */
    EXPECT_EQ(fldr_strstr(g.data(), g.size(), "\r\n", 2), nullptr);
    EXPECT_EQ(fldr_strstr(g.data(), 4, "b|", 2), nullptr);
    EXPECT_EQ(fldr_strstr(g.data(), 5, "b|", 2), g.data() + 3);
    /* Length 0: the first byte equal to the pattern's first byte. */
    EXPECT_EQ(fldr_strstr(g.data(), g.size(), "x", 0), g.data() + 5);
    EXPECT_EQ(fldr_strstr(g.data(), g.size(), "z", 1), nullptr);
}

TEST(RowSearch, PlainOneAndTwoByteTerminators)
{
    EXPECT_EQ(plain_at("ab\ncd\n", "\n"), 2);
    EXPECT_EQ(plain_at("ab\rx\r\n", "\r\n"), 4);
    EXPECT_EQ(plain_at("abcd", "\n"), -1);
    /* A terminator cut by the end of the data is not complete. */
    EXPECT_EQ(plain_at("abc\r", "\r\n"), -1);
    EXPECT_EQ(plain_at("ab##|##", "##|##"), 2);
    /* NUL and binary bytes are ordinary data. */
    EXPECT_EQ(plain_at(std::string("a\0\xff\x80\n", 5), "\n"), 4);
    EXPECT_EQ(fldr_search_row_end(nullptr, nullptr, 0, 1, "\n"), nullptr);
}

TEST(RowSearch, EnclosureAwareSkipsTerminatorsInsideEnclosures)
{
    instance in(FLDR_SCAN_ENCLOSED, 1);
    EXPECT_EQ(in.at("\"a\nb\",c\n", "\n"), 7);
    /* The closing enclosure is missing: the row is not complete here. */
    EXPECT_EQ(in.at("x,\"a\nb\n", "\n"), -1);
    EXPECT_EQ(in.at("\"a\r\nb\"\r\n", "\r\n"), 6);
    /* Two-byte enclosure. After a closing enclosure the scan resumes one
    ** byte into it, so "<<<" closes and opens again. */
    split_table &t = in.table;
    t.ctl.row_enclose[0] = '<';
    t.ctl.row_enclose[1] = '<';
    t.ctl.row_enclose_len = 2;
    EXPECT_EQ(in.at("<<a\nb<<\nz", "\n"), 7);
    EXPECT_EQ(in.at("<<a\nb<\nz", "\n"), -1);
    EXPECT_EQ(in.at("<<a<<<\nb", "\n"), -1);
    EXPECT_EQ(in.at("<<a<<x<\nb", "\n"), 7);
    /* A single '<' is no enclosure. */
    EXPECT_EQ(in.at("<a\nb", "\n"), 2);
    /* Without enclosed rows, or in plain mode, the terminator is not protected. */
    instance off(FLDR_SCAN_ENCLOSED, 0);
    EXPECT_EQ(off.at("\"a\nb\",c\n", "\n"), 2);
    instance plain(FLDR_SCAN_PLAIN, 1);
    EXPECT_EQ(plain.at("\"a\nb\",c\n", "\n"), 2);
}

TEST(RowSearch, EnclosureAwareTakesATerminatorByteBeforeAnEnclosure)
{
    /* When the terminator and the enclosure start with the same byte, the
    ** byte is a terminator candidate only. */
    instance in(FLDR_SCAN_ENCLOSED, 1);
    in.table.ctl.row_enclose[0] = '#';
    in.table.ctl.row_enclose_len = 1;
    EXPECT_EQ(in.at("#a#\n", "#\n"), 2);
    EXPECT_EQ(in.at("a#x#b##", "##"), 5);
}

TEST(RowSearch, EscapeAwareHonoursOneEscapeAndIgnoresAnEscapedEscape)
{
    instance in(FLDR_SCAN_ESCAPED, 0);
    EXPECT_EQ(in.at("a\\\nb\n", "\n"), 4);
    EXPECT_EQ(in.at("a\\\\\n", "\n"), 3);
    EXPECT_EQ(in.at("\nabc", "\n"), 0);
    /* Three escapes: only two are looked at, so the terminator counts. */
    EXPECT_EQ(in.at("\\\\\\\n", "\n"), 3);
    EXPECT_EQ(in.at("a\\\n", "\n"), -1);
    /* Two-byte terminator: the search goes on past the escaped one. */
    EXPECT_EQ(in.at("a\\\r\nb\r\n", "\r\n"), 5);

    /* Letters of the escape compare without case. */
    splitref::set_sep_string(in.table.sep.escape, &in.table.sep.escape_len, "x");
    EXPECT_EQ(in.at("aX\nb\n", "\n"), 4);
    EXPECT_EQ(in.at("ax\nb\n", "\n"), 4);
    /* The column escapes play no part in the row search. */
    fldr_col *col = in.table.add_col("|", "");
    splitref::set_sep_string(col->sep_info->escape, &col->sep_info->escape_len, "!");
    EXPECT_EQ(in.at("a!\nb\n", "\n"), 2);
    /* An empty escape protects nothing. */
    in.table.sep.escape_len = 0;
    EXPECT_EQ(in.at("aX\nb\n", "\n"), 2);
}

TEST(RowSearch, ChoiceNeedsTheControlRecordsSeparators)
{
    instance in(FLDR_SCAN_ESCAPED, 0);
    in.table.ctl.sep_info = nullptr;
    EXPECT_EQ(in.at("a\\\nb\n", "\n"), 2);
    in.inst.ctl = nullptr;
    EXPECT_EQ(in.at("a\\\nb\n", "\n"), 2);
}

TEST(RowSearch, LongBuffersAgreeWithTheReferenceAcrossBlockBoundaries)
{
    /* Place terminators and enclosures at every offset around the 16- and
    ** 64-byte steps of the bulk search. */
    split_table t("|", "", "\\");
    for (size_t at_pos = 0; at_pos < 200; ++at_pos) {
        for (const char *marker : {"\n", "\"", "\\"}) {
            std::string s(220, 'x');
            s[at_pos] = marker[0];
            if (at_pos + 7 < s.size())
                s[at_pos + 7] = '\n';
            s[s.size() - 1] = '\n';
            guarded_bytes g(s);
            for (uint32_t mode : {0u, 1u, 2u}) {
                fldr_inst inst{};
                inst.ctl = &t.ctl;
                inst.scan_mode = mode;
                inst.enclosed_rows = 1;
                const char *got = fldr_search_row_end(&inst, g.data(), g.size(), 1, "\n");
                const char *want = splitref::search_row_end(&inst, g.data(), g.size(), 1, "\n");
                ASSERT_EQ(got, want) << "offset " << at_pos << " marker " << int(marker[0]) << " mode " << mode;
            }
        }
    }
}
