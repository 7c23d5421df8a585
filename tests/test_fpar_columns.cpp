// Column lists, column-function texts and the example control files.
#include <gtest/gtest.h>

#include <string>

#include "support/fpar_test_util.h"
#include "support/scratch.h"

using fpar_test::columns;
using fpar_test::describe;
using fpar_test::join;
using fpar_test::Parse;
using Strings = std::vector<std::string>;

namespace {

std::string table(const std::string &columns)
{
    return "LOAD INFILE 'a' INTO TABLE T (" + columns + ")";
}

std::string read_example(const std::string &name)
{
    return qxtest::read_file(std::string(QX_SOURCE_DIR) + "/examples/ctl/" + name);
}

std::string repeated(const std::string &piece, int times)
{
    std::string out;
    while (times-- > 0)
        out += piece;
    return out;
}

// A column record as the parser makes it, for function-text parses.
struct FunCol {
    Parse    p;
    fldr_col col{};
    explicit FunCol(const std::string &text)
    {
        fldr_init_col(&p.env, p.heap, &col);
        p.run_fun(text, &col);
    }
};

}  // namespace

TEST(FparColumns, PartsOfAColumn)
{
    Parse p(table("c1, c2 FILLER POSITION(3:9) CHAR(7) TERMINATED BY ';' OPTIONALLY ENCLOSE BY '\"' "
                  "CONSTANT \"k v\" \"TRIM\", c3 NULL DATE 'YYYYMMDD', c4 POSITION(*), "
                  "c5 POSITION(12) DATE FORMAT 'YYYYMMDD' TERMINATED WHITESPACE ENCLOSE X '27'"));
    ASSERT_EQ(p.rc, 0);
    // The function text is parsed later, one column at a time; a date
    // without a position has no fixed length.
    EXPECT_EQ(columns(p.ctl()),
              "name='C1'\n"
              "name='C2' is_filler=1 pos_kind=2 pos_start=3 pos_end=9 data_type=0 data_len=7 constant='k v' "
              "constant_len=3 fun_str='TRIM' sep={term=';' term_len=1 enclose='\"' enclose_len=1}\n"
              "name='C3' is_null=1 data_type=14 date_format='YYYYMMDD'\n"
              "name='C4' pos_kind=3 data_type=0 data_len=1\n"
              "name='C5' pos_kind=1 pos_start=12 data_type=14 data_len=8 date_format='YYYYMMDD' "
              "sep={term=' ' term_len=1 enclose_hex='27' enclose_len=2 enclose_is_hex=1}");
}

TEST(FparColumns, KeywordsAsColumnNames)
{
    Parse p(table("date DATE, \"options\", options, filler FILLER, x"));
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(columns(p.ctl()), "name='DATE' data_type=14\nname='options'\nname='OPTIONS'\n"
                                "name='FILLER' is_filler=1\nname='X'");
    EXPECT_EQ(Parse(table("load")).rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparColumns, RefusedAndMisplacedParts)
{
    // Accepted, at the limits; the rest refused. Only the low 32 bits of a
    // length count: 4294967296 is 0. A date without a position is not sized.
    const std::string t256(256, ';');
    for (const std::string &ok : Strings{"c1 DATE '" + std::string(50, ' ') + "'", "c1 DATE 'MONTH'",
                                         "c1 TERMINATED BY '" + t256 + "'"})
        EXPECT_EQ(Parse(table(ok)).rc, 0) << ok;
    for (const std::string &bad :
         Strings{"c1 CHAR 'x'", "c1 CHAR(0)", "c1 CHAR(4294967296)", "c1 DATE '" + std::string(51, ' ') + "'",
          "c1 POSITION(1:4) DATE 'QQ'", "c1 POSITION(1:4) DATE 'MONTH'", "c1 CHAR DATE", "c1 DATE 'YYYY' CHAR",
          "c1 CONSTANT 'x'", "c1 FILLER FILLER", "c1 TERMINATED BY '" + t256 + ";'", "c1 ENCLOSE X '" + t256 + "0'"})
        EXPECT_EQ(Parse(table(bad)).rc, FLDR_ERR_PARSE_FAILED) << bad;

    // The error points at the token read last, and columns read before stay.
    Parse p(table("a,\n  b CHAR(0)"));
    EXPECT_EQ(fpar_test::failure(p), "line=2 column=11 text=')'");
    EXPECT_EQ(p.ctl()->col_count, 2u);
}

TEST(FparColumns, DateFormatWidths)
{
    // The parser sizes a positioned date column with this function (PartsOfAColumn checks it there).
    const std::pair<const char *, uint32_t> cases[] = {
        {"YYYY-MM-DD HH24:MI:SS", 19}, {"DD-MON-YY", 9}, {"HH12:MI:SS AM", 11}, {"yyyy/mm/dd hh24:mi:ss.ff3", 23},
        {"HH24:MI:SS.FF", 15}, {"SSSSS", 5}, {"RRRR\"T\"MM", 7}, {"-YYYY-", 6}, {"", 0},
    };
    Parse h;
    for (const auto &[fmt, want] : cases) {
        uint32_t len = 99;
        EXPECT_EQ(join(fldr_calc_date_fmt_len(&h.env, h.heap, fmt, &len), len), join(0, want)) << fmt;
    }
    uint32_t len = 0;
    for (const char *bad : {"DAY", "YYYY\"open", "--"})
        EXPECT_EQ(fldr_calc_date_fmt_len(&h.env, h.heap, bad, &len), FLDR_ERR_DATE_FORMAT) << bad;
}

TEST(FparColumns, FunctionTextForms)
{
    // A function text alone is no control file; a column's text carries no parameters.
    EXPECT_EQ(join(Parse("TRIM").rc, Parse("F(:a)").rc, Parse("").rc),
              join(FLDR_ERR_PARSE_FAILED, FLDR_ERR_PARSE_FAILED, 0));
    EXPECT_EQ(FunCol("TRIM").p.result->args, nullptr);
    const std::string a127(127, 'a'), failed = "rc " + std::to_string(FLDR_ERR_PARSE_FAILED);
    const std::pair<std::string, std::string> cases[] = {
        {"TRIM", "fun_kind=1"}, {"trim()", "fun_kind=1"}, {"SYSDATE", "fun_kind=3"}, {"DEFAULT", "fun_kind=5"},
        {"  ", ""},   // no function
        {"REPLACE(:C1, 'a', CHR(16706))", "fun_kind=2 rep_col='C1' rep_from='a' rep_to='AB'"},
        {"REPLACE(:C, CHR(65), CHR(0))", "fun_kind=2 rep_col='C' rep_from='A'"},
        {"REPLACE(:C, 'x', CHR(1094861636))", "fun_kind=2 rep_col='C' rep_from='x' rep_to='ABCD'"},
        {"REPLACE(:C, '" + a127 + "', '')", "fun_kind=2 rep_col='C' rep_from='" + a127 + "'"},
        {"REPLACE(:C, '" + a127 + "a', '')", failed},
        {"REPLACE(:" + std::string(128, 'C') + ", 'a', 'b')", failed},
        {"S.nextval", "fun_kind=4 seq_name='S'"},
        {"sch.\"seq\".NextVal", "fun_kind=4 seq_schema='SCH' seq_name='seq'"},
        {"options.nextval", "fun_kind=4 seq_name='OPTIONS'"},
        {"S.CURRVAL", failed},
        {"SUBSTR(:C1, -2, 3)", "fun_kind=6 substr_col='C1' substr_start=-2 substr_len=3"},
        {"SUBSTRB(:C1, 4294967297, -1)", "fun_kind=7 substr_col='C1' substr_start=1 substr_len=-1"},
        {"F(:A, 'x', G(:B))", "fun_kind=8 fun_name='F' args=(:A, 'x', G(:B))"},
        {"F()", "fun_kind=8 fun_name='F' args=()"}, {"F(,)", "fun_kind=8 fun_name='F' args=()"},
        {"date(, :a, )", "fun_kind=8 fun_name='DATE' args=(:A)"}, {"OPTIONS()", failed},
        {"OPTIONS(ERRORS=5)", failed},
        // Nesting too deep for the parser's stack is refused, not followed.
        {repeated("F(", 6000), failed}, {repeated("F(", 2000), failed},
        // A long constant keeps its first 128 characters.
        {"F('" + std::string(300, 'k') + "')", "fun_kind=8 fun_name='F' args=('" + std::string(128, 'k') + "')"},
    };
    for (const auto &[text, want] : cases) {
        FunCol f(text);
        EXPECT_EQ(f.p.rc != 0 ? "rc " + std::to_string(f.p.rc) : describe(&f.col), want) << text;
    }
}

// ------------------------------------------------------------ examples

// Every example control file shipped with the library parses.
TEST(FparExamples, EveryExampleParses)
{
    for (const char *name : {"orders_delimited.ctl", "payroll_fixed.ctl", "events_multi.ctl"}) {
        Parse p(read_example(name));
        EXPECT_EQ(p.rc, 0) << name << ": " << p.err_text();
    }
}
