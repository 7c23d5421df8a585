#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fldr_pub_fun.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "support/scratch.h"

namespace {

using strings = std::vector<std::string>;

/* One REPLACE over a VARCHAR column, its work areas counted. */
struct replace_fixture {
    qxtest::CountingHeap heap;
    fldr_col col{};
    bdta3_col src{}, dst{};

    replace_fixture(const std::string &from, const std::string &to)
    {
        std::snprintf(col.rep_from, sizeof col.rep_from, "%s", from.c_str());
        std::snprintf(col.rep_to, sizeof col.rep_to, "%s", to.c_str());
        EXPECT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &src, QXDT_VARCHAR, 4), 0);
    }
    ~replace_fixture() { bdta3_col_free(&src); bdta3_col_free(&dst); }
    void add(uint32_t row, const std::string &text, uint32_t flag = 0)
    {
        EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &src, row, text.data(), static_cast<uint32_t>(text.size()),
                                       flag), 0);
    }
    int32_t run(uint32_t rows) { return fldr_replace_fun(nullptr, &heap.ctx, &col, &src, &dst, rows); }
    /* "text/flag" of an output row, or "<null>". */
    std::string out(uint32_t row) const
    {
        if (dst.data->nulls[row] == 0) return "<null>";
        const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(&dst, row));
        return std::string(v->ptr, v->len) + "/" + std::to_string(v->flag);
    }
};

/* Left-to-right replacement of non-overlapping occurrences. */
std::string naive_replace(const std::string &text, const std::string &from, const std::string &to)
{
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size())
        out.append(text, pos, hit - pos).append(to);
    return out.append(text, pos, std::string::npos);
}

/* Values of one column ("<null>" leaves a row null), row r with flag word 10 + r. */
strings replace_rows(const std::string &from, const std::string &to, const strings &values)
{
    replace_fixture f(from, to);
    const auto rows = static_cast<uint32_t>(values.size());
    for (uint32_t r = 0; r < rows; r++) {
        if (values[r] != "<null>") f.add(r, values[r], 10 + r);
    }
    f.src.row_count = rows;
    EXPECT_EQ(f.run(rows), 0);
    EXPECT_EQ(f.dst.type, QXDT_VARCHAR);
    EXPECT_EQ(f.dst.row_count, rows);
    EXPECT_EQ(f.heap.live, 0);   // work areas released
    strings out;
    for (uint32_t r = 0; r < rows; r++) out.push_back(f.out(r));
    return out;
}

} // namespace

TEST(Replace, AgreesWithANaiveReplacementOnRandomValues)
{
    // Patterns that overlap themselves ("aa" in "aaa"), emptied values; a
    // replaced value gets flag word 0, an unchanged one keeps its own.
    std::mt19937 rng(99);
    auto word = [&](size_t len, int letters) {
        std::string w(len, 'a');
        for (auto &c : w) c = static_cast<char>('a' + rng() % letters);
        return w;
    };
    for (int round = 0; round < 300; round++) {
        const std::string from = word(1 + rng() % 4, 2), to = word(rng() % 5, 3);
        strings values, expected;
        for (uint32_t r = 0; r < 8; r++) {
            values.push_back(word(rng() % 40, 2));
            expected.push_back(naive_replace(values.back(), from, to) + "/" +
                               (values.back().find(from) == std::string::npos ? std::to_string(10 + r) : "0"));
        }
        ASSERT_EQ(replace_rows(from, to, values), expected) << from << " -> " << to;
    }
    // Null rows stay null; an empty pattern passes the column through with no work area.
    EXPECT_EQ(replace_rows("aa", "b", {"aaa", "<null>", "zzz"}), (strings{"ba/0", "<null>", "zzz/12"}));
    EXPECT_EQ(replace_rows("", "ignored", {"one", "<null>"}), (strings{"one/10", "<null>"}));
}

TEST(Replace, WorkAreasOnlyGrowAndFailuresAreReported)
{
    replace_fixture f("a", "bb");
    for (uint32_t row = 0; const size_t len : {1000, 1, 500, 70000})   // past 32767 bytes is ordinary here
        f.add(row++, std::string(len, 'a'));
    ASSERT_EQ(f.run(4), 0);
    EXPECT_EQ(f.out(3), std::string(140000, 'b') + "/0");
    EXPECT_EQ(f.heap.allocs, 4);   // match array and output, each grown twice (1000, then 70000)
    EXPECT_EQ(f.heap.live, 0);

    replace_fixture g("a", "b");
    g.add(0, "aaa");
    g.heap.fail_after = 1;         // match array granted, output refused
    EXPECT_EQ(g.run(1), FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(g.heap.live, 0);

    // A source column that does not hold text.
    g.heap.fail_after = -1;
    bdta3_col ints{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &ints, QXDT_INT, 1), 0);
    EXPECT_LT(fldr_replace_fun(nullptr, &g.heap.ctx, &g.col, &ints, &g.dst, 1), 0);
    bdta3_col_free(&ints);
}

namespace {

/* The server columns every binding test uses. */
fldr_tab_col kServerCols[] = {
    {"ID", QXDT_INT},        {"Name", QXDT_VARCHAR}, {"CODE", QXDT_CHAR},  {"born", QXDT_DATE},
    {"STAMP", QXDT_TIMESTAMP_TZ}, {"V2", QXDT_VARCHAR2}, {"flag", QXDT_BIT},
};
const fldr_tab_info kTab{static_cast<uint16_t>(sizeof kServerCols / sizeof kServerCols[0]), kServerCols};

} // namespace

/* fldr_map_fun_str parses the column's function text, then binds it to the
** table's columns. */
TEST(ColumnFunctionMapping, ParsesThenBinds)
{
    fldr_init();
    fldr_env *env = fldr_get_env();
    mem_heap_t *heap = mem_heap_create_low(env, 0, 4096, 0, 0, "test", __LINE__, 1);
    auto map = [&](const char *text, fldr_inst &inst, fldr_col &col, const char *name = "born") {
        inst.silent = 1;
        inst.log_file.handle = -1;
        fldr_init_col(env, heap, &col);
        std::snprintf(col.name, sizeof col.name, "%s", name);
        col.fun_str = const_cast<char *>(text);
        return fldr_map_fun_str(env, &inst, &kTab, &col, heap);
    };
    auto inst = std::make_unique<fldr_inst>();
    fldr_col col;
    // {text, the column's own name, direct path, calls refused, result and the
    // index found for REPLACE's or SUBSTR's column}. The name goes to the field
    // of the kind; SUBSTR takes text columns only; SYSDATE's own column must
    // hold a date, time stamp or text; a call binds every argument, nested ones
    // too, and is refused only after they pass; the direct path refuses sequences.
    const std::string fun = std::to_string(FLDR_ERR_COLUMN_FUNCTION), name = std::to_string(FLDR_ERR_COLUMN_NAME),
                      param = std::to_string(FLDR_ERR_PARAMETER_VALUE), parse = std::to_string(FLDR_ERR_PARSE);
    const std::tuple<const char *, const char *, uint8_t, uint8_t, std::string> cases[] = {
        {"REPLACE(:name, 'a', 'b')", "x", 0, 0, "0 rep=1"}, {"REPLACE(:nam, 'a', 'b')", "x", 0, 0, fun},
        {"S1.nextval", "x", 0, 0, "0"}, {"s1.nextval", "x", 1, 0, std::to_string(FLDR_ERR_DPC)},
        {"SUBSTR(:code, 1, 3)", "x", 0, 0, "0 substr=2"}, {"SUBSTRB(:code, 1, -1)", "x", 0, 0, param},
        {"SUBSTRB(:born, 1, 1)", "x", 0, 0, name}, {"SUBSTR(:ghost, 1, 1)", "x", 0, 0, name},
        {"SYSDATE", "born", 0, 0, "0"}, {"SYSDATE", "STAMP", 0, 0, "0"}, {"SYSDATE", "v2", 0, 0, "0"},
        {"SYSDATE", "Name", 0, 0, "0"}, {"SYSDATE", "ID", 0, 0, fun}, {"SYSDATE", "flag", 0, 0, fun},
        {"SYSDATE", "missing", 0, 0, fun}, {"TRIM", "x", 1, 1, "0"}, {"DEFAULT", "x", 1, 1, "0"}, {"", "x", 1, 1, "0"},
        {"F()", "x", 0, 0, "0"}, {"F(:stamp)", "x", 0, 1, fun}, {"F(:stamp)", "x", 0, 2, "0"},
        {"F(:stamp, G(:nobody))", "x", 0, 0, param}, {"F(:stamp, '')", "x", 0, 1, param},
        {"REPLACE(:name,", "x", 0, 0, parse}, {"REPLACE(:name, \"ab\", 'x')", "x", 0, 0, parse},
        {"SUBSTR(:name, 1)", "x", 0, 0, parse},
    };
    for (const auto &[text, own_name, dpc, refused, want] : cases) {
        inst->dpc_mode = dpc;
        inst->call_refused = refused;
        const int32_t rc = map(text, *inst, col, own_name);
        std::string got = std::to_string(rc);
        if (rc == 0 && col.rep_col_idx >= 0) got += " rep=" + std::to_string(col.rep_col_idx);
        if (rc == 0 && col.substr_col_idx >= 0) got += " substr=" + std::to_string(col.substr_col_idx);
        EXPECT_EQ(got, want) << text << " for " << own_name;
    }
    inst->dpc_mode = inst->call_refused = 0;
    ASSERT_EQ(map("F(:stamp, 'const', G(:ID))", *inst, col), 0);
    EXPECT_EQ(col.fun_args->first->arg->col_idx, 4);
    EXPECT_EQ(col.fun_args->last->arg->args->first->arg->col_idx, 0);
    ASSERT_EQ(map("REPLACE(:name, '\"', 'x')", *inst, col), 0);
    EXPECT_STREQ(col.rep_from, "\"\"\"");   // the quote reached the parser three times
    EXPECT_EQ(fldr_fun_bind(inst.get(), nullptr, &col), FLDR_ERR_COLUMN_FUNCTION);   // no column description
    col.fun_str = nullptr;   // no text: nothing to do
    EXPECT_EQ(fldr_map_fun_str(env, inst.get(), &kTab, &col, heap), 0);
    // A name filling its whole array is compared within it.
    std::memset(col.rep_col, 'a', sizeof col.rep_col);
    for (size_t extra : {0, 1}) {
        const std::string long_name(sizeof col.rep_col + extra, 'A');
        fldr_tab_col one{long_name.c_str(), QXDT_VARCHAR};
        const fldr_tab_info tab{1, &one};
        EXPECT_EQ(fldr_fun_bind(inst.get(), &tab, &col), extra == 0 ? 0 : FLDR_ERR_COLUMN_FUNCTION);
    }

    // A text past 682 bytes is copied into a block of the instance's memory context.
    const std::string long_text = "F(:id, '" + std::string(1000, 'v') + "')";
    qxtest::CountingHeap counted;
    auto fresh = std::make_unique<fldr_inst>();
    fresh->mem_ctx = &counted.ctx;
    EXPECT_EQ(map(long_text.c_str(), *fresh, col), 0);
    EXPECT_EQ(counted.allocs, 1);
    EXPECT_EQ(counted.live, 0);
    counted.fail_after = 1;
    EXPECT_EQ(fldr_map_fun_str(env, fresh.get(), &kTab, &col, heap), FLDR_ERR_OUT_OF_MEMORY);
    mem_heap_free(env, heap);
    fldr_deinit();
}
