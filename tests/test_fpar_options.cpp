// Parameters: every OPTIONS keyword with a valid value and past its limits.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/fpar_test_util.h"

using fpar_test::join;
using fpar_test::Parse;

namespace {

std::string opt(const std::string &body) { return "OPTIONS(" + body + ")"; }
std::string quoted(const std::string &text) { return "'" + text + "'"; }

// An option keyword and the 32-bit field of the arguments it sets.
struct U32Opt {
    const char *kw;
    uint32_t fldr_args::*field;
};

// A refused value: -2007, and the option written before it kept.
void expect_refused(const std::string &option)
{
    Parse p(opt("ROWS=77 " + option));
    ASSERT_NE(p.err, nullptr) << option;
    EXPECT_EQ(join(p.rc, p.err->code, p.err->msg, p.args.commit_rows), join(FLDR_ERR_PARSE_FAILED, 0, "", 77))
        << option;
}

}  // namespace

TEST(FparOptions, TextsKeepTheirLimitsAndPathsTakeBackslashes)
{
    struct TextOpt {
        const char *kw;
        size_t      lo, hi;
        bool        path;   // stored with every "/" as "\"
        std::function<const char *(const fldr_args &)> field;
    };
    const std::vector<TextOpt> opts = {
        {"LOG", 1, 256, true, [](const fldr_args &a) { return a.log_file; }},
        {"LOB_DIRECTORY", 1, 256, true, [](const fldr_args &a) { return a.lob_directory; }},
        {"OCI_DIRECTORY", 1, 256, true, [](const fldr_args &a) { return a.oci_directory; }},
        {"PLOG", 1, 256, true, [](const fldr_args &a) { return a.plog_file; }},
        {"BADFILE", 1, 256, false, [](const fldr_args &a) { return a.bad_file; }},
        {"LOB_FILE_NAME", 1, 128, false, [](const fldr_args &a) { return a.lob_file_name; }},
        {"NULL_STR", 1, 128, false, [](const fldr_args &a) { return a.null_str; }},
        {"CONTROL", 0, 256, false, [](const fldr_args &a) { return a.control_file; }},
        {"FLDR_INI", 0, 256, false, [](const fldr_args &a) { return a.fldr_ini_file; }},
        {"SQLFILE", 1, 256, false, [](const fldr_args &a) { return a.sql_file; }},
    };
    for (const TextOpt &o : opts) {
        SCOPED_TRACE(o.kw);
        const std::string longest = "d/" + std::string(o.hi - 2, 'n');
        Parse full(opt(std::string(o.kw) + "=" + quoted(longest)));
        ASSERT_EQ(full.rc, 0);
        EXPECT_EQ(std::string(o.field(full.args)), o.path ? "d\\" + longest.substr(2) : longest);
        expect_refused(std::string(o.kw) + "=" + quoted(std::string(o.hi + 1, 'n')));
        if (o.lo == 1) {
            expect_refused(std::string(o.kw) + "=''");
        } else {
            Parse empty(opt("CONTROL='c' FLDR_INI='f' " + std::string(o.kw) + "=''"));
            ASSERT_EQ(empty.rc, 0);
            EXPECT_STREQ(o.field(empty.args), "");
        }
    }
}

TEST(FparOptions, SqlAndPointerTexts)
{
    // The pointer texts have no limit.
    const std::string huge(5000, 's');
    Parse p(opt("SQL=" + quoted(huge) + " SEDF=" + quoted(huge) + " SEDT='t' ESCAPE='\\\\'"));
    EXPECT_EQ(join(p.rc, p.args.sql_text, p.args.sedf, p.args.sedt, p.args.escape), join(0, huge, huge, "t", "\\"));
    expect_refused("SQL=''");
}

TEST(FparOptions, NamedValuesAreLookedUpWithoutCase)
{
    // Character code, mode, BLOB type and local code; unknown names give 0 (65535 for the BLOB type).
    const std::pair<const char *, const char *> cases[] = {
        {"CHARACTER_CODE='gb18030' MODE='out' BLOB_TYPE='hex' LOCAL_CODE='euc kr'", "10|2|1|6|"},
        {"CHARACTER_CODE='BIG5' MODE='sideways' BLOB_TYPE='bin' LOCAL_CODE='EUC-KR'", "0|0|65535|0|"},
        {"MODE='LOCAL_FILE' BLOB_TYPE='HEX_CHAR' CHARACTER_CODE='single_byte' LOCAL_CODE='big5'", "9|4|0|3|"},
    };
    for (const auto &[text, want] : cases) {
        Parse p(opt(text));
        EXPECT_EQ(join(p.rc, p.args.character_code, p.args.mode, p.args.blob_type, p.args.local_code),
                  "0|" + std::string(want)) << text;
    }
}

TEST(FparOptions, SeparatorForms)
{
    // The last form written wins; the hexadecimal form empties the text one.
    const std::pair<const char *, const char *> cases[] = {
        {"FIELD_SEPERATOR='||'", "field_sep='||' field_sep_len=2"},
        {"FIELD_SEPERATOR='x' FIELD_SEPERATOR=X '7C'", "field_sep_hex='7C' field_sep_len=2 field_sep_is_hex=1"},
        {"FIELD_SEPERATOR=','  FIELD_SEPERATOR=''", "field_sep=',' field_sep_empty=1"},
        {"ROW_SEPERATOR=X '0D0A'", "row_sep_hex='0D0A' row_sep_len=4"},
        {"ROW_SEPERATOR=X '0A' ROW_SEPERATOR='\xa9$'", "row_sep='\xa9$' row_sep_len=2"},
        {"ROW_SEPERATOR=''", ""},
    };
    for (const auto &[text, want] : cases) {
        Parse p(opt(text));
        ASSERT_EQ(p.rc, 0) << text;
        EXPECT_EQ(fpar_test::separators(p.args), want) << text;
    }
    // X'7C' without a blank is an integer to the scanner: a syntax error.
    EXPECT_EQ(fpar_test::failure(Parse(opt("FIELD_SEPERATOR=X'7C'"))), "line=1 column=25 text='X'7C''");

    EXPECT_EQ(Parse(opt("FIELD_SEPERATOR=" + quoted(std::string(256, ';')))).args.field_sep_len, 256u);
    expect_refused("FIELD_SEPERATOR=" + quoted(std::string(257, ';')));
    expect_refused("FIELD_SEPERATOR='\xa9'");
    expect_refused("FIELD_SEPERATOR=X " + quoted(std::string(257, 'A')));
    expect_refused("ROW_SEPERATOR=" + quoted(std::string(257, '#')));
}

TEST(FparOptions, IntegersKeepTheirLow32BitsAndBooleansTakeOnlyTrueOrFalse)
{
    Parse big(opt("SKIP=9223372036854775807 LOAD=4294967296 ROWS=X'10'"));
    EXPECT_EQ(join(big.rc, big.args.skip_rows, big.args.load_rows, big.args.commit_rows),
              "0|9223372036854775807|4294967296|16|");

    using A = fldr_args;
    const U32Opt integers[] = {
        {"UNREP_CHAR_MODE", &A::unrep_char_mode}, {"BDTA_SIZE", &A::bdta_size}, {"INDEX_OPTION", &A::index_option},
        {"ERRORS", &A::errors}, {"BUFFER_NODE_SIZE", &A::buffer_node_size}, {"LOG_SIZE", &A::log_size},
        {"READ_ROWS", &A::read_rows}, {"SEND_NODE_NUMBER", &A::send_node_number}, {"BLDR_NUM", &A::bldr_num},
        {"TASK_THREAD_NUMBER", &A::task_thread_number}, {"COMMIT_OPTION", &A::commit_option},
        {"APPEND_OPTION", &A::append_option}, {"LOG_LEVEL", &A::log_level}, {"RECONN", &A::reconn},
        {"LOB_AS_VARCHAR_SIZE", &A::lob_as_varchar_size}, {"RECONN_TIME", &A::reconn_time},
        {"EXPORT_MODE", &A::export_mode}, {"BAD_FILE_MODE", &A::bad_file_mode},
        {"COMPATIBLE_MODE", &A::compatible_mode},
    };
    const U32Opt booleans[] = {
        {"MPP_CLIENT", &A::mpp_client}, {"SINGLE_FILE", &A::single_file}, {"SILENT", &A::silent},
        {"LAN_MODE", &A::lan_mode}, {"COMPRESS_FLAG", &A::compress_flag}, {"DIRECT", &A::direct},
        {"SET_IDENTITY", &A::set_identity}, {"SORTED", &A::sorted}, {"NULL_MODE", &A::null_mode},
        {"ENABLE_CLASS_TYPE", &A::enable_class_type}, {"CLIENT_LOB", &A::client_lob}, {"FLUSH_FLAG", &A::flush_flag},
        {"PARALLEL", &A::parallel}, {"IGNORE_BATCH_ERRORS", &A::ignore_batch_errors},
        {"SINGLE_HLDR_HP", &A::single_hldr_hp}, {"COLNAME_HEADING", &A::colname_heading},
        {"IGNORE_AIMLESS_DATA", &A::ignore_aimless_data}, {"LOB_AS_VARCHAR", &A::lob_as_varchar},
        {"PRIORITY_ENCLOSE", &A::priority_enclose},
    };
    for (const U32Opt &o : integers) {
        // Only the low 32 bits are kept; a string where an integer belongs is a syntax error.
        Parse p(opt(std::string(o.kw) + "=1234")), w(opt(std::string(o.kw) + "=4294967301"));
        EXPECT_EQ(join(p.rc, p.args.*o.field, w.rc, w.args.*o.field), "0|1234|0|5|") << o.kw;
        expect_refused(std::string(o.kw) + "='5'");
    }
    for (const U32Opt &o : booleans) {
        Parse t(opt(std::string(o.kw) + "=true")), f(opt(std::string(o.kw) + "=TRUE " + o.kw + "=False"));
        Parse one(opt(std::string(o.kw) + "=1"));
        EXPECT_EQ(join(t.rc, t.args.*o.field, f.rc, f.args.*o.field, one.rc == FLDR_ERR_PARSE_FAILED, one.err_text()),
                  "0|1|0|0|1|1|") << o.kw;
    }
    EXPECT_EQ(Parse(opt("COMPATIBLE_MODE=2 DB2_MODE=FALSE")).args.compatible_mode, 2u);
    EXPECT_EQ(Parse(opt("COMPATIBLE_MODE=2 DB2_MODE=TRUE")).args.compatible_mode, 1u);
}

TEST(FparOptions, TableNames)
{
    const std::string n128(128, 'T');
    const std::pair<std::string, std::string> cases[] = {
        {"sch.tab", "SCH.TAB"}, {"date.\"t x\"", "DATE.t x"}, {"options", ".OPTIONS"},
        {n128 + "." + n128, n128 + "." + n128}, {"LOAD.T", "error at LOAD"},
    };
    for (const auto &[text, want] : cases) {
        Parse p(opt("TABLE=" + text));
        const std::string got = p.rc == 0 ? std::string(p.args.schema_name) + "." + p.args.table_name
                                : p.rc != FLDR_ERR_PARSE_FAILED ? "rc " + std::to_string(p.rc)
                                : p.err->code != 0 ? "error " + std::to_string(p.err->code)
                                                   : "error at " + p.err_text();
        EXPECT_EQ(got, want) << text;
    }
}

TEST(FparOptions, DataNames)
{
    // The names in order, after the list kind; links and count checked.
    auto names = [](const fldr_args &a) {
        return std::to_string(a.data_list_kind) + " " +
               fpar_test::chain(a.data_name_first, a.data_name_last, a.data_name_count, " ",
                                [](const fldr_data_name *d) { return std::string(d->name); });
    };
    EXPECT_EQ(names(Parse(opt("DATA='a.txt', 'b/c.txt'")).args), "0 a.txt b/c.txt");
    EXPECT_EQ(names(Parse(opt("DATA=LIST 'l1' DATA=DIRECTORY 'd1', 'd2'")).args), "2 l1 d1 d2");

    EXPECT_EQ(Parse(opt("DATA=" + quoted(std::string(256, 'f')))).rc, 0);
    expect_refused("DATA='a', ''");
    expect_refused("DATA=" + quoted(std::string(257, 'f')));
}

TEST(FparOptions, SiteAndWidthLists)
{
    Parse p(opt("EP=(1, 1023) EP=(7)"));
    EXPECT_EQ(std::vector<uint16_t>(p.args.ep_list, p.args.ep_list + p.args.ep_count),
              (std::vector<uint16_t>{1, 1023, 7}));
    expect_refused("EP=(1024)");
    // Only the low 16 bits count: 65536 + 3 is site 3.
    Parse low(opt("EP=(65539)"));
    EXPECT_EQ(join(low.rc, low.args.ep_list[0]), "0|3|");
    EXPECT_EQ(Parse(opt("EP=()")).rc, FLDR_ERR_PARSE_FAILED);

    // More than 1024 sites: the list keeps the first 1024.
    std::string sites = "EP=(";
    for (int i = 0; i < 1100; i++)
        sites += (i ? "," : "") + std::to_string(i % 1000);
    Parse many(opt(sites + ")"));
    EXPECT_EQ(join(many.rc, many.args.ep_count, many.args.ep_list[1023]), "0|1024|23|");

    Parse w(opt("WIDTH=3:10:65537"));
    EXPECT_EQ(std::vector<uint16_t>(w.args.widths, w.args.widths + w.args.width_count),
              (std::vector<uint16_t>{3, 10, 1}));

    std::string widths = "WIDTH=1";
    for (int i = 1; i < 2049; i++)
        widths += ":" + std::to_string(i + 1);
    Parse full(opt(widths));
    EXPECT_EQ(join(full.rc, full.args.width_count, full.args.widths[2048]), "0|2049|2049|");
    Parse over(opt(widths + ":5"));
    EXPECT_EQ(join(over.rc, over.args.width_count, over.err_text()), join(FLDR_ERR_PARSE_FAILED, 2049, 5));
}

TEST(FparOptions, ClauseShapes)
{
    Parse comma(opt("LOG='x.log', ERRORS=5"));
    EXPECT_EQ(fpar_test::failure(comma), "line=1 column=20 text=','");
    EXPECT_STREQ(comma.args.log_file, "x.log");

    // Options follow one another without commas; a later clause overrides.
    Parse again(opt("ERRORS=5 LOG='a'") + "\n" + opt("ERRORS=6"));
    EXPECT_EQ(join(again.rc, again.args.errors, again.args.log_file), "0|6|a|");

    Parse ident(opt("LOG=name"));
    EXPECT_EQ(join(ident.rc, ident.err_text()), join(FLDR_ERR_PARSE_FAILED, "name"));   // the token as written

    // Error position on a later line.
    EXPECT_EQ(fpar_test::failure(Parse("OPTIONS(\n  ERRORS=5\n  SILENT=maybe)")), "line=3 column=10 text='maybe'");
}
