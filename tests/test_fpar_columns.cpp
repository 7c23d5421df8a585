// Column lists, column-function texts and the example control files.
#include <gtest/gtest.h>

#include <string>

#include "fpar_test_util.h"
#include "support/scratch.h"

using fpar_test::Parse;

namespace {

std::string table(const std::string &columns)
{
    return "LOAD INFILE 'a' INTO TABLE T (" + columns + ")";
}

std::string read_example(const std::string &name)
{
    return qxtest::read_file(std::string(QX_SOURCE_DIR) + "/examples/ctl/" + name);
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
    fldr_ctl *ctl = p.ctl();
    ASSERT_EQ(ctl->col_count, 5u);

    fldr_col *c1 = p.col(0, 0);
    EXPECT_STREQ(c1->name, "C1");
    EXPECT_EQ(c1->pos_kind, 0u);
    EXPECT_EQ(c1->pos_start, -1);
    EXPECT_EQ(c1->data_type, -1);
    EXPECT_EQ(c1->fun_kind, -1);
    EXPECT_EQ(c1->sep_info->term_len, 0u);
    EXPECT_EQ(c1->prev, nullptr);

    fldr_col *c2 = c1->next;
    EXPECT_EQ(c2->prev, c1);
    EXPECT_EQ(c2->is_filler, 1u);
    EXPECT_EQ(c2->pos_kind, 2u);
    EXPECT_EQ(c2->pos_start, 3);
    EXPECT_EQ(c2->pos_end, 9);
    EXPECT_EQ(c2->data_type, 0);
    EXPECT_EQ(c2->data_len, 7u);
    EXPECT_STREQ(c2->sep_info->term, ";");
    EXPECT_EQ(c2->sep_info->term_len, 1u);
    EXPECT_EQ(c2->sep_info->term_given, 0u);
    EXPECT_STREQ(c2->sep_info->enclose, "\"");
    EXPECT_STREQ(c2->constant, "k v");
    EXPECT_EQ(c2->constant_len, 3u);
    EXPECT_STREQ(c2->fun_str, "TRIM");
    EXPECT_EQ(c2->fun_kind, -1);   // parsed later, one column at a time

    fldr_col *c3 = c2->next;
    EXPECT_EQ(c3->is_null, 1u);
    EXPECT_EQ(c3->pos_kind, 0u);
    EXPECT_EQ(c3->data_type, 14);
    EXPECT_STREQ(c3->date_format, "YYYYMMDD");
    EXPECT_EQ(c3->data_len, 0u);   // no position: no fixed length

    fldr_col *c4 = c3->next;
    EXPECT_EQ(c4->pos_kind, 3u);
    EXPECT_EQ(c4->data_type, 0);
    EXPECT_EQ(c4->data_len, 1u);

    fldr_col *c5 = c4->next;
    EXPECT_EQ(ctl->col_last, c5);
    EXPECT_EQ(c5->pos_kind, 1u);
    EXPECT_EQ(c5->pos_start, 12);
    EXPECT_EQ(c5->data_len, 8u);
    EXPECT_STREQ(c5->sep_info->term, " ");
    EXPECT_EQ(c5->sep_info->term_len, 1u);
    EXPECT_STREQ(c5->sep_info->enclose_hex, "27");
    EXPECT_EQ(c5->sep_info->enclose_is_hex, 1u);
}

TEST(FparColumns, KeywordsAsColumnNames)
{
    Parse p(table("date DATE, \"options\", options, filler FILLER, x"));
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.col(0, 0)->name, "DATE");
    EXPECT_EQ(p.col(0, 0)->data_type, 14);
    EXPECT_STREQ(p.col(0, 1)->name, "options");
    EXPECT_STREQ(p.col(0, 2)->name, "OPTIONS");
    EXPECT_EQ(p.col(0, 3)->is_filler, 1u);
    EXPECT_STREQ(p.col(0, 4)->name, "X");
    EXPECT_EQ(Parse(table("load")).rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparColumns, RefusedAndMisplacedParts)
{
    EXPECT_EQ(Parse(table("c1 CHAR 'x'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 CHAR(0)")).rc, FLDR_ERR_PARSE_FAILED);
    // Only the low 32 bits count: 4294967296 is 0.
    EXPECT_EQ(Parse(table("c1 CHAR(4294967296)")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 DATE '" + std::string(50, ' ') + "'")).rc, 0);
    EXPECT_EQ(Parse(table("c1 DATE '" + std::string(51, ' ') + "'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 POSITION(1:4) DATE 'QQ'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 POSITION(1:4) DATE 'MONTH'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 DATE 'MONTH'")).rc, 0);   // no position: not sized
    EXPECT_EQ(Parse(table("c1 CHAR DATE")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 DATE 'YYYY' CHAR")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 CONSTANT 'x'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 FILLER FILLER")).rc, FLDR_ERR_PARSE_FAILED);
    const std::string t256(256, ';');
    EXPECT_EQ(Parse(table("c1 TERMINATED BY '" + t256 + "'")).rc, 0);
    EXPECT_EQ(Parse(table("c1 TERMINATED BY '" + t256 + ";'")).rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse(table("c1 ENCLOSE X '" + t256 + "0'")).rc, FLDR_ERR_PARSE_FAILED);

    // The error points at the token read last, and columns read before stay.
    Parse p(table("a,\n  b CHAR(0)"));
    EXPECT_EQ(p.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(p.err->line, 2u);
    EXPECT_EQ(p.err_text(), ")");
    EXPECT_EQ(p.ctl()->col_count, 2u);
}

TEST(FparColumns, DateFormatWidths)
{
    struct Case {
        const char *fmt;
        uint32_t    len;
    };
    const Case cases[] = {
        {"YYYYMMDD", 8},          {"YYYY-MM-DD", 10},       {"YYYY-MM-DD HH24:MI:SS", 19},
        {"DD-MON-YY", 9},         {"HH12:MI:SS AM", 11},    {"yyyy/mm/dd hh24:mi:ss.ff3", 23},
        {"HH24:MI:SS.FF", 15},    {"SSSSS", 5},             {"RRRR\"T\"MM", 7},
        {"FF9", 9},               {"-YYYY-", 6},
    };
    for (const Case &c : cases) {
        Parse p(table(std::string("c POSITION(1) DATE '") + c.fmt + "'"));
        ASSERT_EQ(p.rc, 0) << c.fmt;
        EXPECT_EQ(p.col(0, 0)->data_len, c.len) << c.fmt;

        uint32_t len = 0;
        EXPECT_EQ(fldr_calc_date_fmt_len(&p.env, p.heap, c.fmt, &len), 0);
        EXPECT_EQ(len, c.len) << c.fmt;
    }
    uint32_t len = 99;
    EXPECT_EQ(fldr_calc_date_fmt_len(nullptr, nullptr, "", &len), 0);
    EXPECT_EQ(len, 0u);
    Parse h;
    EXPECT_EQ(fldr_calc_date_fmt_len(&h.env, h.heap, "DAY", &len), FLDR_ERR_DATE_FORMAT);
    EXPECT_EQ(fldr_calc_date_fmt_len(&h.env, h.heap, "YYYY\"open", &len), FLDR_ERR_DATE_FORMAT);
    EXPECT_EQ(fldr_calc_date_fmt_len(&h.env, h.heap, "--", &len), FLDR_ERR_DATE_FORMAT);
}

TEST(FparColumns, ElementListOfADateFormat)
{
    Parse h;
    qx_dfmt_elem *e = nullptr;
    ASSERT_EQ(parse_date_fmt(&h.env, "yyyy-mm-dd", h.heap, &e), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->code, QX_DFMT_YYYY);
    EXPECT_EQ(e->count, 1u);
    EXPECT_EQ(e->next->code, QX_DFMT_MM);
    EXPECT_EQ(e->next->count, 1u);
    EXPECT_EQ(e->next->next->code, QX_DFMT_DD);
    EXPECT_EQ(e->next->next->count, 0u);
    EXPECT_EQ(e->next->next->next, nullptr);
    ASSERT_EQ(parse_date_fmt(&h.env, "FF4MONTHDAY", h.heap, &e), 0);
    EXPECT_EQ(e->code, QX_DFMT_FF);
    EXPECT_EQ(e->count, 3u);
    EXPECT_EQ(e->next->code, QX_DFMT_MONTH);
    EXPECT_EQ(e->next->next->code, QX_DFMT_DAY);
    EXPECT_EQ(parse_date_fmt(&h.env, "YYYYX", h.heap, &e), QXCALC_ERR_DATE_FMT);
}

TEST(FparColumns, FunctionTextForms)
{
    FunCol trim("TRIM");
    EXPECT_EQ(trim.p.rc, 0);
    EXPECT_EQ(trim.col.fun_kind, FLDR_FUN_TRIM);
    EXPECT_EQ(trim.p.result->args, nullptr);
    EXPECT_EQ(FunCol("trim()").col.fun_kind, FLDR_FUN_TRIM);
    EXPECT_EQ(FunCol("SYSDATE").col.fun_kind, FLDR_FUN_SYSDATE);
    EXPECT_EQ(FunCol("DEFAULT").col.fun_kind, FLDR_FUN_DEFAULT);
    FunCol none("  ");
    EXPECT_EQ(none.p.rc, 0);
    EXPECT_EQ(none.col.fun_kind, FLDR_FUN_NONE);

    FunCol rep("REPLACE(:C1, 'a', CHR(16706))");
    ASSERT_EQ(rep.p.rc, 0);
    EXPECT_EQ(rep.col.fun_kind, FLDR_FUN_REPLACE);
    EXPECT_STREQ(rep.col.rep_col, "C1");
    EXPECT_STREQ(rep.col.rep_from, "a");
    EXPECT_STREQ(rep.col.rep_to, "AB");
    EXPECT_STREQ(FunCol("REPLACE(:C, CHR(65), CHR(0))").col.rep_from, "A");
    EXPECT_STREQ(FunCol("REPLACE(:C, CHR(65), CHR(0))").col.rep_to, "");
    EXPECT_STREQ(FunCol("REPLACE(:C, 'x', CHR(4276803))").col.rep_to, "ABC");
    EXPECT_STREQ(FunCol("REPLACE(:C, 'x', CHR(1094861636))").col.rep_to, "ABCD");
    const std::string a127(127, 'a');
    EXPECT_EQ(FunCol("REPLACE(:C, '" + a127 + "', '')").p.rc, 0);
    EXPECT_EQ(FunCol("REPLACE(:C, '" + a127 + "a', '')").p.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(FunCol("REPLACE(:" + std::string(128, 'C') + ", 'a', 'b')").p.rc, FLDR_ERR_PARSE_FAILED);

    FunCol seq("S.nextval");
    ASSERT_EQ(seq.p.rc, 0);
    EXPECT_EQ(seq.col.fun_kind, FLDR_FUN_NEXTVAL);
    EXPECT_STREQ(seq.col.seq_name, "S");
    FunCol seq3("sch.\"seq\".NextVal");
    ASSERT_EQ(seq3.p.rc, 0);
    EXPECT_STREQ(seq3.col.seq_schema, "SCH");
    EXPECT_STREQ(seq3.col.seq_name, "seq");
    EXPECT_EQ(FunCol("options.nextval").p.rc, 0);
    EXPECT_EQ(FunCol("S.CURRVAL").p.rc, FLDR_ERR_PARSE_FAILED);

    FunCol sub("SUBSTR(:C1, -2, 3)");
    ASSERT_EQ(sub.p.rc, 0);
    EXPECT_EQ(sub.col.fun_kind, FLDR_FUN_SUBSTR);
    EXPECT_STREQ(sub.col.substr_col, "C1");
    EXPECT_EQ(sub.col.substr_start, -2);
    EXPECT_EQ(sub.col.substr_len, 3);
    FunCol subb("SUBSTRB(:C1, 4294967297, -1)");
    ASSERT_EQ(subb.p.rc, 0);
    EXPECT_EQ(subb.col.fun_kind, FLDR_FUN_SUBSTRB);
    EXPECT_EQ(subb.col.substr_start, 1);
    EXPECT_EQ(subb.col.substr_len, -1);
}

TEST(FparColumns, FunctionCallsWithNestedArguments)
{
    FunCol f("F(:A, 'x', G(:B))");
    ASSERT_EQ(f.p.rc, 0);
    EXPECT_EQ(f.col.fun_kind, FLDR_FUN_CALL);
    EXPECT_STREQ(f.col.fun_name, "F");
    fldr_fun_arg_list *args = f.col.fun_args;
    ASSERT_NE(args, nullptr);
    ASSERT_EQ(args->count, 3u);
    fldr_fun_arg_node *n = args->first;
    EXPECT_EQ(n->arg->kind, 0u);
    EXPECT_STREQ(n->arg->text, "A");
    EXPECT_EQ(n->prev, nullptr);
    n = n->next;
    EXPECT_EQ(n->arg->kind, 1u);
    EXPECT_STREQ(n->arg->text, "x");
    n = n->next;
    EXPECT_EQ(args->last, n);
    EXPECT_EQ(n->arg->kind, 2u);
    EXPECT_STREQ(n->arg->text, "G");
    ASSERT_NE(n->arg->args, nullptr);
    ASSERT_EQ(n->arg->args->count, 1u);
    EXPECT_STREQ(n->arg->args->first->arg->text, "B");

    EXPECT_EQ(FunCol("F()").col.fun_args->count, 0u);
    EXPECT_EQ(FunCol("F(,)").col.fun_args->count, 0u);
    EXPECT_EQ(FunCol("date(, :a, )").col.fun_args->count, 1u);
    EXPECT_EQ(FunCol("OPTIONS()").p.rc, FLDR_ERR_PARSE_FAILED);

    // A long constant keeps its first 128 characters.
    FunCol longc("F('" + std::string(300, 'k') + "')");
    ASSERT_EQ(longc.p.rc, 0);
    EXPECT_EQ(std::string(longc.col.fun_args->first->arg->text), std::string(128, 'k'));
}

TEST(FparColumns, FunctionTextNeedsAColumnAndNoParameters)
{
    Parse p("TRIM");
    EXPECT_EQ(p.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("F(:a)").rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(Parse("").rc, 0);
    FunCol opts("OPTIONS(ERRORS=5)");
    EXPECT_EQ(opts.p.rc, FLDR_ERR_PARSE_FAILED);
}

TEST(FparColumns, DeepNestingEndsWithStackExhaustion)
{
    // A few hundred levels move the stacks to the C heap and still parse.
    std::string mid;
    for (int i = 0; i < 300; i++)
        mid += "F(";
    mid += std::string(300, ')');
    FunCol ok(mid);
    EXPECT_EQ(ok.p.rc, 0);

    std::string deep;
    for (int i = 0; i < 6000; i++)
        deep += "F(";
    deep += std::string(6000, ')');
    FunCol over(deep);
    EXPECT_EQ(over.p.rc, FLDR_ERR_PARSE_FAILED);
    EXPECT_EQ(over.p.err->code, 0);
    EXPECT_EQ(over.p.err->line, 1u);
}

// ------------------------------------------------------------ examples

TEST(FparExamples, DelimitedWithEnclosuresAndTrailingNullcols)
{
    Parse p(read_example("orders_delimited.ctl"));
    ASSERT_EQ(p.rc, 0) << p.err_text();
    EXPECT_STREQ(p.args.log_file, "logs\\orders.log");
    EXPECT_STREQ(p.args.bad_file, "logs/orders.bad");
    EXPECT_EQ(p.args.errors, 50u);
    EXPECT_EQ(p.args.commit_rows, 10000u);
    EXPECT_EQ(p.args.character_code, 1);
    EXPECT_EQ(p.result->dash_comment_seen, 1u);
    ASSERT_EQ(p.result->ctl_count, 1u);
    fldr_ctl *ctl = p.ctl();
    EXPECT_STREQ(ctl->schema_name, "SALES");
    EXPECT_STREQ(ctl->table_name, "ORDERS");
    EXPECT_EQ(ctl->load_mode, 'A');
    EXPECT_STREQ(ctl->bad_file.path, "rejects/orders.bad");
    ASSERT_EQ(ctl->data_file_count, 2u);
    EXPECT_STREQ(ctl->data_file_first->path, "data\\orders_2024.csv");
    EXPECT_EQ(ctl->data_file_first->row_term_len, 2u);   // STR belongs to the second file
    fldr_data_file *second = ctl->data_file_last;
    EXPECT_STREQ(second->path, "data\\orders_2025.csv");
    EXPECT_STREQ(second->row_term_hex, "0A");
    EXPECT_EQ(second->row_term_len, 0u);
    EXPECT_STREQ(ctl->sep_info->term, ",");
    EXPECT_EQ(ctl->sep_info->term_given, 1u);
    EXPECT_STREQ(ctl->sep_info->enclose, "\"");
    EXPECT_EQ(ctl->trailing_flag, 1u);
    ASSERT_EQ(ctl->col_count, 5u);
    const char *names[] = {"ORDER_ID", "CUSTOMER_ID", "ORDER_NOTE", "AMOUNT", "CURRENCY"};
    fldr_col *c = ctl->col_first;
    for (const char *name : names) {
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->name, name);
        EXPECT_EQ(c->pos_kind, 0u);
        EXPECT_EQ(c->sep_info->term_len, 0u);
        c = c->next;
    }
    EXPECT_EQ(c, nullptr);
}

TEST(FparExamples, FixedPositionsWithDateFormats)
{
    Parse p(read_example("payroll_fixed.ctl"));
    ASSERT_EQ(p.rc, 0) << p.err_text();
    EXPECT_EQ(p.args.skip_rows, 1u);
    EXPECT_EQ(p.args.direct, 1u);
    fldr_ctl *ctl = p.ctl();
    EXPECT_EQ(ctl->load_mode, 'R');
    EXPECT_STREQ(ctl->data_file_first->path, "payroll\\pay_2025_03.dat");
    ASSERT_EQ(ctl->col_count, 7u);
    struct Expect {
        const char *name;
        int64_t start, end;
        uint16_t kind;
        int16_t type;
        uint32_t len;
        const char *fmt;
    };
    const Expect cols[] = {
        {"EMP_NO", 1, 8, 2, 0, 8, ""},
        {"EMP_NAME", 9, 38, 2, 0, 30, ""},
        {"HIRE_DATE", 39, 48, 2, 14, 10, "YYYY-MM-DD"},
        {"PAID_AT", 49, 67, 2, 14, 19, "YYYY-MM-DD HH24:MI:SS"},
        {"GROSS", 68, 79, 2, 0, 0, ""},
        {"DEPT", 80, -1, 1, 0, 1, ""},
        {"SPARE", 81, 90, 2, -1, 0, ""},
    };
    fldr_col *c = ctl->col_first;
    for (const Expect &e : cols) {
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->name, e.name);
        EXPECT_EQ(c->pos_start, e.start) << e.name;
        EXPECT_EQ(c->pos_end, e.end) << e.name;
        EXPECT_EQ(c->pos_kind, e.kind) << e.name;
        EXPECT_EQ(c->data_type, e.type) << e.name;
        EXPECT_EQ(c->data_len, e.len) << e.name;
        EXPECT_STREQ(c->date_format, e.fmt) << e.name;
        c = c->next;
    }
    EXPECT_EQ(ctl->col_last->is_filler, 1u);
}

TEST(FparExamples, SeveralTablesWithWhenAndFunctions)
{
    Parse p(read_example("events_multi.ctl"));
    ASSERT_EQ(p.rc, 0) << p.err_text() << " line " << p.err->line;
    ASSERT_EQ(p.result->ctl_count, 3u);
    fldr_ctl *logins = p.ctl(0);
    fldr_ctl *orders = p.ctl(1);
    fldr_ctl *misc = p.ctl(2);

    EXPECT_EQ(logins->load_mode, 'I');
    fldr_data_file *df = logins->data_file_first;
    EXPECT_STREQ(df->path, "events\\*.log");
    EXPECT_STREQ(df->start_str, "#");
    EXPECT_EQ(df->start_len, 1u);
    EXPECT_STREQ(df->row_term_hex, "0D0A");
    EXPECT_EQ(p.args.ep_count, 2u);
    EXPECT_EQ(p.args.ep_list[1], 2u);
    fldr_bexp *w = logins->when_cond;
    ASSERT_EQ(w->kind, 1u);
    ASSERT_EQ(w->count, 2u);
    EXPECT_EQ(w->first->field->kind, 1u);
    EXPECT_STREQ(w->first->value->text, "L");
    EXPECT_STREQ(w->last->field->name, "USER_NAME");
    EXPECT_EQ(w->last->op, 1u);
    EXPECT_EQ(w->last->value->kind, 4u);
    EXPECT_STREQ(logins->sep_info->term_hex, "7C");
    EXPECT_EQ(logins->sep_info->term_is_hex, 1u);
    ASSERT_EQ(logins->col_count, 4u);
    EXPECT_EQ(logins->col_first->is_filler, 1u);
    fldr_col *user = logins->col_first->next;
    EXPECT_STREQ(user->sep_info->term, " ");
    EXPECT_STREQ(user->fun_str, "TRIM");
    fldr_col *login_at = user->next;
    EXPECT_EQ(login_at->data_type, 14);
    EXPECT_EQ(login_at->data_len, 0u);
    EXPECT_STREQ(logins->col_last->fun_str, "REPLACE(:client, 'localhost', '127.0.0.1')");

    EXPECT_EQ(orders->is_continuation, 1u);
    EXPECT_EQ(orders->data_file_count, 0u);
    EXPECT_EQ(orders->load_mode, 'N');
    EXPECT_EQ(orders->when_cond->kind, 0u);
    EXPECT_STREQ(orders->sep_info->term, "|");
    EXPECT_EQ(orders->sep_info->term_given, 1u);
    EXPECT_STREQ(orders->sep_info->escape, "\\");
    ASSERT_EQ(orders->col_count, 5u);
    EXPECT_STREQ(orders->col_last->constant, "EU");
    EXPECT_EQ(misc->when_cond->count, 2u);
    EXPECT_EQ(misc->is_continuation, 1u);

    // Each function text parses for its column as the loader binds it later.
    fldr_col *fun_cols[] = {user, logins->col_last, orders->col_first->next,
                            orders->col_first->next->next, orders->col_first->next->next->next,
                            misc->col_last};
    const int16_t kinds[] = {FLDR_FUN_TRIM, FLDR_FUN_REPLACE, FLDR_FUN_NEXTVAL, FLDR_FUN_SUBSTR,
                             FLDR_FUN_SYSDATE, FLDR_FUN_CALL};
    for (size_t i = 0; i < 6; i++) {
        fldr_col *col = fun_cols[i];
        fldr_par_result *r = nullptr;
        fldr_parse_err *e = nullptr;
        ASSERT_EQ(fpar_main_ex(&p.env, col->fun_str, &r, &e, col, p.heap), 0) << col->fun_str;
        EXPECT_EQ(col->fun_kind, kinds[i]) << col->fun_str;
    }
    EXPECT_STREQ(logins->col_last->rep_to, "127.0.0.1");
    EXPECT_STREQ(orders->col_first->next->seq_schema, "EV");
    EXPECT_STREQ(orders->col_first->next->seq_name, "ORDER_SEQ");
    EXPECT_EQ(orders->col_first->next->next->substr_len, 6);
    fldr_fun_arg_list *args = misc->col_last->fun_args;
    ASSERT_EQ(args->count, 3u);
    EXPECT_STREQ(args->first->next->arg->text, ";");
    EXPECT_EQ(args->last->arg->kind, 2u);
    EXPECT_STREQ(args->last->arg->text, "UPPER");
}
