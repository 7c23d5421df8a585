// Scanner: tokens, literals, comments, integers, keywords and its errors.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/fpar_test_util.h"

using fpar_test::Parse;
using fpar_test::Scan;

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

TEST(FparScan, LiteralsIdentifiersCommentsAndSingleCharacters)
{
    const std::pair<std::string, std::string> cases[] = {
        {"'it''s' 'a\\'b' 'a\\nb' 'a\\\\b' '' ''''", "str[it's] str[a'b] str[a\\nb] str[a\\b] str[] str[']"},
        // Pieces joined across line breaks and comments; not on one line.
        {"'abc'  -- note\n  // more\n\n 'def' X", "str[abcdef] X"},
        {"'abc' 'def'", "str[abc] str[def]"},
        // After a backslash any other run is kept behind a double quote;
        // a delimited keyword is an identifier.
        {"\"my col\" mycol \"a\"\"b\" \"x\\\"y\" \"p\\q\" \"load\"",
         "id[my col] id[MYCOL] id[a\"b] id[x\"y] id[p\"q] id[load]"},
        {"X'7FFFFFFF' x'1G' X'' X'ff'", "int[2147483647] int[1] int[0] int[255]"},
        // X followed by a blank is the keyword, then a string.
        {"B'01' b'1' X '7C'", "bits[b01] bits[b1] X str[7C]"},
        {"00012 2147483647 2147483648 9223372036854775807 0000",
         "int[12] int[2147483647] big[2147483648] big[9223372036854775807] int[0]"},
        // Leading zeros do not count towards the 19 digits.
        {"0009223372036854775807", "big[9223372036854775807]"},
        {std::string(128, 'a'), "id[" + std::string(128, 'A') + "]"},
        {"\xc4\xe3\xba\xc3_col#$", "id[\xc4\xe3\xba\xc3_COL#$]"},
        // Comments nest and are skipped; every other byte is a token of its own.
        {"/* a /* b */ c */ LOAD", "LOAD"}, {"/***/ LOAD /* x **/", "LOAD"}, {"// all of it\nLOAD", "LOAD"},
        {"LOAD -- here\nDATA", "LOAD DATA"},
        {"( ) , . : - ! < > * = ; \\ \x01 \x7f", "( ) , . : - ! < > * = ; \\ \x01 \x7f"},
        {"trailing \n\t NullCols TRAILING", "TRAILING_NULLCOLS[trailing \n\t NullCols] id[TRAILING]"},
    };
    for (const auto &[text, want] : cases)
        EXPECT_EQ(Scan(text).show(), want) << text;
    // Lines are counted across comments; only "--" comments are noted.
    EXPECT_EQ(Scan("'abc'  -- note\n  // more\n\n 'def' X").ctx->line, 4u);
    EXPECT_EQ(Scan("/* 1\n2\n3 */\nLOAD").ctx->line, 4u);
    EXPECT_EQ(Scan("trailing \n\t NullCols").ctx->line, 2u);
    EXPECT_EQ(Scan("LOAD -- here\nDATA").ctx->dash_comment_seen, 1u);
    EXPECT_EQ(Scan("LOAD // x").ctx->dash_comment_seen, 0u);
    // A gap of blanks longer than ident keeps its first 128 characters.
    Scan g("TRAILING" + std::string(500, ' ') + "NULLCOLS");
    ASSERT_EQ(g.tokens.size(), 1u);
    EXPECT_EQ(g.tokens[0].text.size(), 128u);

    // A literal longer than the inline area moves to the heap whole.
    const std::string big(100000, 'q');
    Scan long_str("'" + big + "'");
    EXPECT_EQ(long_str.show(), "str[" + big + "]");
    EXPECT_GT(long_str.ctx->lit_cap, 100000);
}

TEST(FparScan, ErrorsEndTheParseWithTheirNumberMessageLineAndToken)
{
    // {text, code, message, line, token read last ("<all>": the whole text)};
    // the integer errors keep neither line nor token.
    const std::tuple<std::string, int32_t, std::string, uint32_t, std::string> cases[] = {
        {"OPTIONS(LOG='abc", -4, "String  not terminated properly", 1, "'abc"},
        {"OPTIONS(\nLOG='abc\\", -4, "String not terminated properly", 2, "'abc\\"},
        {"OPTIONS(LOG=\n'abc", -4, "String  not terminated properly", 2, "'abc"},
        {"LOAD /* open\n\n", -1, "Comment not terminated properly", 3, ""},
        {"LOAD \"abc", -5, "Identifier not terminated properly", 1, "\"abc"},
        {"LOAD \"abc\\", -5, "Identifier not terminated properly", 1, "\"abc\\"},
        {"\n X'12", -3, "Hexadecimal integer not terminated properly", 2, "X'12"},
        {"X'80000000'", -3, "Invalid hexadecimal integer", 1, "<all>"},
        {"B'01", -2, "Bit string not terminated properly", 1, "<all>"},
        {"B'0102'", -1, "invalid bit string", 1, "<all>"},
        {"LOAD B'012'", -1, "invalid bit string", 1, "B'012'"},
        {"\"\"", -5, "Invalid length for delimited identifier", 1, "<all>"},
        {"\"" + std::string(129, 'a') + "\"", -5, "Invalid length for identifier", 1, "<all>"},
        {std::string(129, 'a'), -5, "Invalid length for delimited identifier", 1, "<all>"},
        {"OPTIONS(ERRORS=9223372036854775808)", -6102, "digit length over 38", 0, "<none>"},
        {"\n\nOPTIONS(SKIP=12345678901234567890123)", -6102, "digit length over 38", 0, "<none>"},
    };
    for (const auto &[text, code, msg, line, token] : cases) {
        Parse p(text);
        ASSERT_EQ(p.rc, FLDR_ERR_PARSE_FAILED) << text;
        EXPECT_EQ(fpar_test::join(p.err->code, p.err->msg, p.err->line, p.err->text ? p.err->text : "<none>"),
                  fpar_test::join(code, msg, line, token == "<all>" ? text : token)) << text;
    }
    // A scanner error wins over a text that would otherwise be accepted;
    // fields written before the error stay written.
    Parse tail("OPTIONS(LOG='a') 'open");
    EXPECT_EQ(fpar_test::join(tail.rc, tail.err->code, tail.args.log_file),
              fpar_test::join(FLDR_ERR_PARSE_FAILED, -4, "a"));
}
