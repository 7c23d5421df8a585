/*
** Row-terminator searches and the byte search: results, the choice of search
** by the instance, and that no search reads past the bytes it is given.
*/
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "support/split_reference.h"

using splitref::guarded_bytes;
using splitref::split_table;

namespace {

struct instance {
    split_table table{"|", "", "\\"};
    fldr_inst   inst{};
    instance(uint32_t scan_mode, uint32_t enclosed_rows)
    {
        inst.ctl = &table.ctl;
        inst.scan_mode = scan_mode;
        inst.enclosed_rows = enclosed_rows;
    }
    /* Offset of the search result in s, or -1 for NULL; the bytes sit right
    ** before an inaccessible page. */
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
    // {pattern, length, range, offset or -1}: a pattern only partly present at
    // the range's end is no hit; length 0 finds the pattern's first byte.
    const std::tuple<const char *, int32_t, uint32_t, long> cases[] = {
        {"a", 1, 0, -1}, {"aab", 3, 7, 1}, {"|", 1, 7, 4}, {"\r\n", 2, 7, -1}, {"b|", 2, 4, -1}, {"b|", 2, 5, 3},
        {"x", 0, 7, 5}, {"z", 1, 7, -1},
    };
    for (const auto &[pattern, len, range, want] : cases) {
        const char *hit = fldr_strstr(g.data(), range, pattern, len);
        EXPECT_EQ(hit ? hit - g.data() : -1, want) << pattern << " in " << range;
    }
}

TEST(RowSearch, EnclosureAndEscapeAwareSearches)
{
    struct Case {
        uint32_t    mode, enclosed_rows;
        const char *row_enclose;   // the escape in escaped mode
        std::string data, term;
        long        want;
    };
    const uint32_t P = FLDR_SCAN_PLAIN, N = FLDR_SCAN_ENCLOSED, E = FLDR_SCAN_ESCAPED;
    const Case cases[] = {
        {N, 1, "\"", "\"a\r\nb\"\r\n", "\r\n", 6}, {N, 1, "\"", "x,\"a\nb\n", "\n", -1},   // never closed
        // After a closing two-byte enclosure the scan resumes one byte into
        // it, so "<<<" closes and opens again; a single '<' is no enclosure.
        {N, 1, "<<", "<<a\nb<<\nz", "\n", 7}, {N, 1, "<<", "<<a<<<\nb", "\n", -1}, {N, 1, "<<", "<a\nb", "\n", 2},
        // Without enclosed rows, or in plain mode, the terminator is not protected.
        {N, 0, "\"", "\"a\nb\",c\n", "\n", 2}, {P, 1, "\"", "\"a\nb\",c\n", "\n", 2},
        // Terminator and enclosure starting with the same byte: a terminator candidate only.
        {N, 1, "#", "#a#\n", "#\n", 2}, {N, 1, "#", "a#x#b##", "##", 5},
        // One escape protects; an escaped escape does not; three: only two are looked at.
        {E, 0, "\\", "a\\\nb\n", "\n", 4}, {E, 0, "\\", "a\\\\\n", "\n", 3}, {E, 0, "\\", "\\\\\\\n", "\n", 3},
        {E, 0, "\\", "a\\\n", "\n", -1}, {E, 0, "\\", "a\\\r\nb\r\n", "\r\n", 5},   // past the escaped terminator
        // Letters of the escape without case; an empty escape protects nothing.
        {E, 0, "x", "aX\nb\n", "\n", 4}, {E, 0, "", "aX\nb\n", "\n", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " " << testing::PrintToString(c.data));
        instance in(c.mode, c.enclosed_rows);
        if (c.mode == E) {
            splitref::set_sep_string(in.table.sep.escape, &in.table.sep.escape_len, c.row_enclose);
        } else {
            std::strcpy(in.table.ctl.row_enclose, c.row_enclose);
            in.table.ctl.row_enclose_len = static_cast<uint16_t>(std::strlen(c.row_enclose));
        }
        EXPECT_EQ(in.at(c.data, c.term), c.want);
    }
    /* The column escapes play no part in the row search, and without the
    ** control record's separators (or the record) the search is plain. */
    instance in(E, 0);
    fldr_col *col = in.table.add_col("|", "");
    splitref::set_sep_string(col->sep_info->escape, &col->sep_info->escape_len, "!");
    EXPECT_EQ(in.at("a!\nb\n", "\n"), 2);
    in.table.ctl.sep_info = nullptr;
    EXPECT_EQ(in.at("a\\\nb\n", "\n"), 2);
    in.inst.ctl = nullptr;
    EXPECT_EQ(in.at("a\\\nb\n", "\n"), 2);
}

TEST(RowSearch, BatchSearchGivesTheEndsOfRepeatedSearches)
{
    /* Random buffers of short and long rows, terminators that overlap
    ** themselves ("aa") or are cut by the buffer's end, a few limits on the
    ** number of ends and a bias; the batch (and in plain mode the 16-byte
    ** version) must give exactly the ends of one search after another, each
    ** from the end of the previous terminator. */
    std::mt19937 rng(99);
    split_table t("|", "", "\\");
    const std::string terms[] = {"\n", "\r\n", "aa", "|x|"};
    const char alphabet[] = "aaxy|\"\\\n\r";
    for (int round = 0; round < 400; ++round) {
        const std::string &term = terms[round % 4];
        const auto term_len = static_cast<uint16_t>(term.size());
        std::string s;
        for (const size_t size = rng() % 3000; s.size() < size;)
            s += rng() % 8 == 0 ? term : rng() % 3 == 0 ? std::string(rng() % 150, 'q')
                                                         : std::string(1, alphabet[rng() % (sizeof alphabet - 1)]);
        guarded_bytes g(s);
        const uint32_t max = round % 5 == 0 ? 1 + rng() % 4 : 1 + rng() % 300, bias = rng() % 1000;
        for (uint32_t mode : {0u, 1u, 2u}) {
            fldr_inst inst{};
            inst.ctl = &t.ctl;
            inst.scan_mode = mode;
            inst.enclosed_rows = 1;
            std::vector<uint32_t> want;
            for (uint32_t from = 0; from < g.size() && want.size() < max;) {
                const char *hit = splitref::search_row_end(&inst, g.data() + from, g.size() - from, term_len,
                                                           term.data());
                if (hit == nullptr)
                    break;
                want.push_back(static_cast<uint32_t>(hit - g.data()) + bias);
                from = static_cast<uint32_t>(hit - g.data() + term.size());
            }
            std::vector<uint32_t> got(max + 1, 0xDEADBEEF), narrow(max + 1, 0xDEADBEEF);
            got.resize(fldr_search_row_ends(&inst, g.data(), g.size(), term_len, term.data(), got.data(), max, bias));
            ASSERT_EQ(got, want) << "round " << round << " mode " << mode << " max " << max;
            if (mode == FLDR_SCAN_PLAIN) {
                narrow.resize(fldr_search_row_ends_portable(g.data(), g.size(), term_len, term.data(), narrow.data(),
                                                            max, bias));
                ASSERT_EQ(narrow, want) << "16-byte version, round " << round << " max " << max;
            }
        }
    }
    /* Nothing to search, or an empty terminator: no ends. */
    uint32_t ends[4];
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 0, 1, "\n", ends, 4, 0), 0u);
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 4, 0, "\n", ends, 4, 0), 0u);
    EXPECT_EQ(fldr_search_row_ends(nullptr, "a\nb\n", 4, 1, "\n", ends, 0, 0), 0u);
}

namespace {

void set_hex(char *hex_field, uint32_t *flag, const char *digits)
{
    std::memset(hex_field, 0, 257);
    std::strcpy(hex_field, digits);
    *flag = 1;
}

/* Converts the hexadecimal forms given (nullptr: none); "rc|term|enclose|escape". */
std::string convert(fldr_seperator_info &info, const char *term, const char *enclose, const char *escape)
{
    if (term) set_hex(info.term_hex, &info.term_is_hex, term);
    if (enclose) set_hex(info.enclose_hex, &info.enclose_is_hex, enclose);
    if (escape) set_hex(info.escape_hex, &info.escape_is_hex, escape);
    const int32_t rc = fldr_preprocess_sep_info_single(&info);
    return std::to_string(rc) + "|" + std::string(info.term, info.term_len) + "|" +
           std::string(info.enclose, info.enclose_len) + "|" + std::string(info.escape, info.escape_len);
}

}  // namespace

TEST(Separators, HexadecimalFormsBecomeBytesOrAreRefusedAfterEarlierConversions)
{
    fldr_seperator_info info{};
    EXPECT_EQ(convert(info, "0D0A", "22", "5c5C"), "0|\r\n|\"|\\\\");
    EXPECT_EQ(info.term[2], '\0');
    /* The hexadecimal text and the flags stay: a second run gives the same. */
    EXPECT_STREQ(info.term_hex, "0D0A");
    EXPECT_EQ(convert(info, nullptr, nullptr, nullptr), "0|\r\n|\"|\\\\");
    /* Strings without the flag are left alone. */
    fldr_seperator_info plain{};
    splitref::set_sep_string(plain.term, &plain.term_len, "|");
    std::strcpy(plain.term_hex, "2C");
    EXPECT_EQ(convert(plain, nullptr, nullptr, nullptr), "0||||");   // term "|"
    /* A zero byte anywhere, or a digit that is none; conversions before stay. */
    const std::string refused = std::to_string(FLDR_ERR_ROW_TERM);
    for (const char *zero : {"00", "2C002C"}) {
        fldr_seperator_info z{};
        const std::string got = convert(z, zero, nullptr, nullptr);
        EXPECT_EQ(got.substr(0, got.find('|')), refused) << zero;
    }
    fldr_seperator_info partly{};
    EXPECT_EQ(convert(partly, "7C", "ZZ", "5C"), refused + "||||");   // term "|"
}

TEST(Separators, LoadPreparationRefusesAColumnWhoseTerminatorIsItsEnclosure)
{
    // Columns as {enclosure, terminator in hexadecimal, enclosure in hexadecimal}
    // under a ',' table; the last column's terminator text afterwards.
    struct Col { const char *enclose, *term_hex, *enclose_hex; };
    struct Case {
        const char *table_term_hex, *table_enclose;
        std::vector<Col> cols;
        int32_t rc;
        std::string last_term;
    };
    const Case cases[] = {
        // A column after the clash is not prepared (its ';' stays, 3A is ':').
        {nullptr, "", {{"", nullptr, nullptr}, {",", nullptr, nullptr}, {"", "3A", nullptr}},
         FLDR_ERR_SEP_IS_ENCLOSE, ";"},
        {nullptr, "", {{",", "3A", nullptr}}, 0, ":"},   // the column's own terminator clears the clash
        {"2c", "", {{",", nullptr, nullptr}}, FLDR_ERR_SEP_IS_ENCLOSE, ""},   // the table's, in hexadecimal, meets it
        {nullptr, "", {{"'", nullptr, "0"}}, FLDR_ERR_ROW_TERM, ""},   // a failing conversion comes through
        {nullptr, ",", {}, 0, ""},   // without columns nothing is compared: the scanner refuses it later
    };
    for (const Case &c : cases) {
        split_table t(c.table_term_hex ? "" : ",", c.table_enclose, "\\");
        if (c.table_term_hex) set_hex(t.sep.term_hex, &t.sep.term_is_hex, c.table_term_hex);
        fldr_col *col = nullptr;
        for (const Col &spec : c.cols) {
            col = t.add_col(spec.term_hex ? ";" : "", spec.enclose);
            if (spec.term_hex) set_hex(col->sep_info->term_hex, &col->sep_info->term_is_hex, spec.term_hex);
            if (spec.enclose_hex) set_hex(col->sep_info->enclose_hex, &col->sep_info->enclose_is_hex, spec.enclose_hex);
        }
        EXPECT_EQ(fldr_preprocess_load_sep_info(&t.ctl), c.rc) << c.cols.size() << " columns";
        if (!c.last_term.empty()) {
            EXPECT_EQ(std::string(col->sep_info->term, col->sep_info->term_len), c.last_term);
        }
    }
}
