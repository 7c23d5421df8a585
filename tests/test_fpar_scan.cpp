// Scanner: tokens, literals, comments, integers, keywords and its errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fpar_test_util.h"
#include "fldr.tab.h"

using fpar_test::Parse;
using fpar_test::Scan;

namespace {
using Toks = std::vector<int>;
}

TEST(FparScan, TokensOfAParameterText)
{
    Scan s("options (log='a.log')");
    EXPECT_EQ(s.numbers(), (Toks{263, '(', 282, '=', 260, ')'}));
    EXPECT_EQ(s.tokens[0].text, "OPTIONS");
    EXPECT_EQ(s.tokens[2].text, "LOG");
    EXPECT_EQ(s.tokens[4].text, "a.log");
    EXPECT_EQ(s.ctx->line, 1u);
}

TEST(FparScan, EveryKeywordScansToItsOwnNumberInAnyCase)
{
    ASSERT_EQ(g_fldr_keyword_count, 102u);
    for (size_t i = 0; i < g_fldr_keyword_count; i++) {
        std::string lower = g_fldr_keywords[i].text;
        for (char &c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        Scan s(lower);
        ASSERT_EQ(s.tokens.size(), 1u) << lower;
        EXPECT_EQ(s.tokens[0].tok, g_fldr_keywords[i].token) << lower;
        EXPECT_EQ(s.tokens[0].text, g_fldr_keywords[i].text);
    }
    EXPECT_EQ(fldr_kw_lookup("nullcols", 8), 0);
    EXPECT_EQ(fldr_kw_lookup("LOAD_", 5), 0);
}

TEST(FparScan, StringsEscapesAndContinuation)
{
    EXPECT_EQ(Scan("'it''s'").tokens.at(0).text, "it's");
    EXPECT_EQ(Scan("'a\\'b'").tokens.at(0).text, "a'b");
    EXPECT_EQ(Scan("'a\\nb'").tokens.at(0).text, "a\\nb");
    EXPECT_EQ(Scan("'a\\\\b'").tokens.at(0).text, "a\\b");
    EXPECT_EQ(Scan("''").tokens.at(0).text, "");
    EXPECT_EQ(Scan("''''").tokens.at(0).text, "'");

    Scan cont("'abc'  -- note\n  // more\n\n 'def' X");
    ASSERT_EQ(cont.numbers(), (Toks{TOK_STRING_VAL, TOK_X}));
    EXPECT_EQ(cont.tokens[0].text, "abcdef");
    EXPECT_EQ(cont.ctx->line, 4u);
    // No line break between the pieces: two strings.
    EXPECT_EQ(Scan("'abc' 'def'").numbers(), (Toks{TOK_STRING_VAL, TOK_STRING_VAL}));

    // A literal longer than the inline area moves to the heap whole.
    const std::string big(100000, 'q');
    Scan long_str("'" + big + "'");
    ASSERT_EQ(long_str.tokens.size(), 1u);
    EXPECT_EQ(long_str.tokens[0].text, big);
    EXPECT_GT(long_str.ctx->lit_cap, 100000);
}

TEST(FparScan, DelimitedIdentifiers)
{
    Scan s("\"my col\" mycol \"a\"\"b\" \"x\\\"y\" \"p\\q\"");
    ASSERT_EQ(s.numbers(), (Toks{TOK_IDENT, TOK_IDENT, TOK_IDENT, TOK_IDENT, TOK_IDENT}));
    EXPECT_EQ(s.tokens[0].text, "my col");
    EXPECT_EQ(s.tokens[1].text, "MYCOL");
    EXPECT_EQ(s.tokens[2].text, "a\"b");
    EXPECT_EQ(s.tokens[3].text, "x\"y");
    // After a backslash any other run is kept behind a double quote.
    EXPECT_EQ(s.tokens[4].text, "p\"q");
    // A delimited keyword is an identifier.
    EXPECT_EQ(Scan("\"load\"").numbers(), (Toks{TOK_IDENT}));
}

TEST(FparScan, HexAndBitLiterals)
{
    Scan h("X'7FFFFFFF' x'1G' X'' X'ff'");
    ASSERT_EQ(h.numbers(), (Toks{TOK_INT_VAL, TOK_INT_VAL, TOK_INT_VAL, TOK_INT_VAL}));
    EXPECT_EQ(h.tokens[0].int_val, 2147483647);
    EXPECT_EQ(h.tokens[1].int_val, 1);
    EXPECT_EQ(h.tokens[2].int_val, 0);
    EXPECT_EQ(h.tokens[3].int_val, 255);

    Scan b("B'01' b'1'");
    ASSERT_EQ(b.numbers(), (Toks{TOK_BITSTR_VAL, TOK_BITSTR_VAL}));
    EXPECT_EQ(b.tokens[0].text, "b01");
    EXPECT_EQ(b.tokens[1].text, "b1");
    // X followed by a blank is the keyword, then a string.
    EXPECT_EQ(Scan("X '7C'").numbers(), (Toks{TOK_X, TOK_STRING_VAL}));
}

TEST(FparScan, IntegerLiterals)
{
    Scan s("00012 2147483647 2147483648 9223372036854775807 0000");
    ASSERT_EQ(s.numbers(), (Toks{TOK_INT_VAL, TOK_INT_VAL, TOK_BIGINT_VAL, TOK_BIGINT_VAL, TOK_INT_VAL}));
    EXPECT_EQ(s.tokens[0].int_val, 12);
    EXPECT_EQ(s.tokens[1].int_val, 2147483647);
    EXPECT_EQ(s.tokens[2].int_val, 2147483648LL);
    EXPECT_EQ(s.tokens[3].int_val, INT64_MAX);
    EXPECT_EQ(s.tokens[4].int_val, 0);
    // Leading zeros do not count towards the 19 digits.
    Scan z("0009223372036854775807");
    ASSERT_EQ(z.tokens.size(), 1u);
    EXPECT_EQ(z.tokens[0].int_val, INT64_MAX);
}

TEST(FparScan, CommentsNestAndAreSkipped)
{
    EXPECT_EQ(Scan("/* a /* b */ c */ LOAD").numbers(), (Toks{TOK_LOAD}));
    EXPECT_EQ(Scan("/***/ LOAD /* x **/").numbers(), (Toks{TOK_LOAD}));
    EXPECT_EQ(Scan("// all of it\nLOAD").numbers(), (Toks{TOK_LOAD}));
    Scan dash("LOAD -- here\nDATA");
    EXPECT_EQ(dash.numbers(), (Toks{TOK_LOAD, TOK_DATA}));
    EXPECT_EQ(dash.ctx->dash_comment_seen, 1u);
    EXPECT_EQ(Scan("LOAD // x").ctx->dash_comment_seen, 0u);
    Scan lines("/* 1\n2\n3 */\nLOAD");
    EXPECT_EQ(lines.ctx->line, 4u);
}

TEST(FparScan, SingleCharactersAndTrailingNullcols)
{
    EXPECT_EQ(Scan("( ) , . : - ! < > * = ; \\ \x01 \x7f").numbers(),
              (Toks{'(', ')', ',', '.', ':', '-', '!', '<', '>', '*', '=', ';', '\\', 1, 127}));
    Scan t("trailing \n\t NullCols TRAILING");
    ASSERT_EQ(t.numbers(), (Toks{TOK_TRAILING_NULLCOLS, TOK_IDENT}));
    EXPECT_EQ(t.tokens[0].text, "trailing \n\t NullCols");
    EXPECT_EQ(t.ctx->line, 2u);
    // A gap of blanks longer than ident keeps its first 128 characters.
    Scan g("TRAILING" + std::string(500, ' ') + "NULLCOLS");
    ASSERT_EQ(g.tokens.size(), 1u);
    EXPECT_EQ(g.tokens[0].text.size(), 128u);
}

TEST(FparScan, IdentifierLengthsAndBytes)
{
    const std::string id128(128, 'a');
    Scan ok(id128);
    ASSERT_EQ(ok.numbers(), (Toks{TOK_IDENT}));
    EXPECT_EQ(ok.tokens[0].text, std::string(128, 'A'));
    Scan hi("\xc4\xe3\xba\xc3_col#$");
    ASSERT_EQ(hi.numbers(), (Toks{TOK_IDENT}));
    EXPECT_EQ(hi.tokens[0].text, "\xc4\xe3\xba\xc3_COL#$");
}

// ---------------------------------------------------------------- errors

namespace {
struct ScanErr {
    std::string text;
    int32_t     code;
    std::string msg;
    uint32_t    line;
};
}  // namespace

TEST(FparScan, ErrorsEndTheParseWithTheirNumberAndMessage)
{
    const std::vector<ScanErr> cases = {
        {"OPTIONS(LOG='abc", -4, "String  not terminated properly", 1},
        {"OPTIONS(\nLOG='abc\\", -4, "String not terminated properly", 2},
        {"LOAD /* open\n\n", -1, "Comment not terminated properly", 3},
        {"LOAD \"abc", -5, "Identifier not terminated properly", 1},
        {"LOAD \"abc\\", -5, "Identifier not terminated properly", 1},
        {"\n X'12", -3, "Hexadecimal integer not terminated properly", 2},
        {"X'80000000'", -3, "Invalid hexadecimal integer", 1},
        {"B'01", -2, "Bit string not terminated properly", 1},
        {"B'0102'", -1, "invalid bit string", 1},
        {"\"\"", -5, "Invalid length for delimited identifier", 1},
        {"\"" + std::string(129, 'a') + "\"", -5, "Invalid length for identifier", 1},
        {std::string(129, 'a'), -5, "Invalid length for delimited identifier", 1},
        {"OPTIONS(ERRORS=9223372036854775808)", -6102, "digit length over 38", 0},
        {"OPTIONS(ERRORS=12345678901234567890123)", -6102, "digit length over 38", 0},
    };
    for (const ScanErr &c : cases) {
        Parse p(c.text);
        EXPECT_EQ(p.rc, FLDR_ERR_PARSE_FAILED) << c.text;
        ASSERT_NE(p.err, nullptr);
        EXPECT_EQ(p.err->code, c.code) << c.text;
        EXPECT_STREQ(p.err->msg, c.msg.c_str()) << c.text;
        EXPECT_EQ(p.err->line, c.line) << c.text;
    }
}

TEST(FparScan, ErrorRecordsTheOffendingToken)
{
    EXPECT_EQ(fpar_test::failure(Parse("OPTIONS(LOG=\n'abc")),
              "code=-4 line=2 text=''abc' msg='String  not terminated properly'");

    Parse bits("LOAD B'012'");
    EXPECT_EQ(bits.err_text(), "B'012'");

    // The integer error keeps neither line nor token text.
    EXPECT_EQ(fpar_test::failure(Parse("\n\nOPTIONS(SKIP=99999999999999999999)")),
              "code=-6102 msg='digit length over 38'");
    EXPECT_EQ(Parse("OPTIONS(SKIP=99999999999999999999)").err->text, nullptr);

    // A scanner error wins over a text that would otherwise be accepted.
    Parse tail("OPTIONS(LOG='a') 'open");
    EXPECT_EQ(tail.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(tail.err->code, -4);
    // Fields written before the error stay written.
    EXPECT_STREQ(tail.args.log_file, "a");
}
