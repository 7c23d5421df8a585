// Parse entry points, initialisers and character-set names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/fpar_test_util.h"

using fpar_test::join;
using fpar_test::Parse;

// The records start from memory full of 0x5a bytes: a field the
// initialiser forgets shows as garbage.
TEST(FparInit, DefaultsOfArgumentControlColumnAndSeparatorRecords)
{
    fldr_args a;
    std::memset(&a, 0x5a, sizeof a);
    fldr_init_args(&a);
    EXPECT_EQ(join(a.log_file, a.bad_file, a.lob_directory, a.skip_rows, a.load_rows, a.commit_rows, a.errors,
                   a.character_code, a.mode, a.ep_count + a.width_count + a.data_list_kind, a.sql_text == nullptr,
                   a.sedf == nullptr, a.data_name_first == nullptr),
              "fldr.log|fldr.bad||0|9223372036854775807|50000|100|-2|1|0|1|1|1|");
    EXPECT_TRUE(a.task_thread_number >= 1u && a.task_thread_number <= 128u) << a.task_thread_number;

    Parse h;
    fldr_ctl ctl;
    std::memset(&ctl, 0x5a, sizeof ctl);
    EXPECT_EQ(fldr_init_ctl(&h.env, h.heap, &ctl), 0);
    EXPECT_EQ(fpar_test::describe(&ctl), "");
    EXPECT_EQ(join(ctl.data_file_first == nullptr, ctl.spec_first == nullptr, ctl.tab_info == nullptr,
                   static_cast<char>(ctl.load_mode), ctl.bad_file.handle, ctl.row_enclose),
              "1|1|1|N|-1|\"|");
    EXPECT_EQ(fpar_test::describe(ctl.sep_info), "term='|' term_len=1 escape='\\' escape_len=1");

    // A column's own separators start empty and are not the table's.
    fldr_col col;
    std::memset(&col, 0x5a, sizeof col);
    fldr_init_col(&h.env, h.heap, &col);
    EXPECT_EQ(fpar_test::describe(&col), "");
    EXPECT_EQ(join(col.fun_args == nullptr, col.rep_col_idx, col.substr_col_idx, col.sep_info != ctl.sep_info),
              "1|-1|-1|1|");

    fldr_seperator_info sep;
    std::memset(&sep, 0x5a, sizeof sep);
    EXPECT_EQ(fldr_init_seperator_info(&sep), 0);   // the term and enclosure parts only
    EXPECT_EQ(join(sep.enclose_hex, sep.term_len, sep.enclose_is_hex), "|0|0|");
}

TEST(FparCharset, NamesAndCodes)
{
    // The spellings are checked through the options (NamedValuesAreLookedUpWithoutCase);
    // here every name maps back to its code, and a code without a name gives "".
    char buf[12];
    fpar_get_local_code_str(12, buf);
    EXPECT_STREQ(buf, "");
    for (uint32_t code = 1; code <= 11; code++) {
        fpar_get_local_code_str(code, buf);
        EXPECT_EQ(fpar_get_local_code(buf), code);
        fpar_get_charactor(code, buf);
        if (buf[0] != '\0') {
            EXPECT_EQ(fpar_get_charactor_code(buf), code);
        }
    }
}

TEST(FparEntry, ResultAndErrorRecords)
{
    const std::string text = "-- c\nOPTIONS(ERRORS=1)";
    Parse p(text);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.result->args, &p.args);
    EXPECT_EQ(join(p.result->text, p.err->code, p.err->msg), text + "|0||");

    // A syntax error at the end of the text keeps the last token read.
    Parse eof("LOAD INFILE 'a' INTO");
    EXPECT_EQ(eof.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(eof.err_text(), "INTO");

    // No text at all: nothing to parse.
    Parse none;
    EXPECT_EQ(fpar_main(&none.env, nullptr, &none.result, &none.err, &none.args, none.heap), 0);
}

TEST(FparEntry, ParMainPreparesAndCopiesTheFirstTable)
{
    fldr_env env;
    mem_env_init(&env);
    fldr_args args{};
    fldr_par_result *result = nullptr;
    fldr_parse_err *err = nullptr;
    auto par_main = [&](const char *text) { return fldr_par_main(&env, text, &result, &err, &args); };

    EXPECT_EQ(par_main("LOAD INFILE 'in/a.txt' STR X '0A' INTO TABLE T FIELDS ','"), 0);
    EXPECT_EQ(fpar_test::separators(args), "field_sep=',' field_sep_len=1 row_sep_hex='0A'");
    EXPECT_EQ(join(args.data_file, args.skip_rows, args.errors, args.log_file, args.bad_file, args.commit_rows),
              "in\\a.txt|18446744073709551615|4294967295|||50000|");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(join(result->ctl_count, result->ctl_first == nullptr, result->args == &args), "1|1|1|");

    EXPECT_EQ(par_main("OPTIONS(SKIP=3 LOG='l/x.log') LOAD INFILE 'b' INTO TABLE T FIELDS X '7C7C'"), 0);
    EXPECT_EQ(join(args.skip_rows, args.log_file), "3|l\\x.log|");
    EXPECT_EQ(fpar_test::separators(args),
              "field_sep_hex='7C7C' field_sep_len=4 field_sep_is_hex=1 row_sep='\r\n' row_sep_len=2");

    // A parameter text gives no table: nothing is copied, nothing fails.
    EXPECT_EQ(par_main("OPTIONS(SQL='select 1')"), 0);
    EXPECT_EQ(result->ctl_count, 0u);
    EXPECT_EQ(args.sql_text, nullptr);   // it lived in the released heap

    // The error record stays readable after the heap is gone.
    int32_t rc = par_main("LOAD INFILE 'a' INTO TABLE T (c CHAR(0))");
    EXPECT_EQ(fpar_test::failure(rc, err), "line=1 column=39 text=')'");
    rc = par_main("OPTIONS(LOG='open");
    EXPECT_EQ(fpar_test::failure(rc, err), "code=-4 line=1 text=''open' msg='String  not terminated properly'");
}

TEST(FparEntry, ParsesRunOnSeveralThreads)
{
    const std::string text = "OPTIONS(ERRORS=7) LOAD INFILE 'a' INTO TABLE T WHEN A='x' (c1, c2 DATE 'YYYY')";
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                Parse p(text);
                ok[t] += p.rc == 0 && p.args.errors == 7 && p.ctl()->col_count == 2;
            }
        });
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(4, 200));
}
