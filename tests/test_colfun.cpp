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

struct bind_fixture {
    std::unique_ptr<fldr_inst> inst = std::make_unique<fldr_inst>();
    fldr_col col{};

    explicit bind_fixture(int16_t kind, const char *name = "x")
    {
        col.fun_kind = kind;
        col.rep_col_idx = col.substr_col_idx = -1;
        std::snprintf(col.name, sizeof col.name, "%s", name);
    }
    int32_t bind(const fldr_tab_info *tab = &kTab) { return fldr_fun_bind(inst.get(), tab, &col); }
};

} // namespace

TEST(ColumnFunctionBinding, NamesKindsAndRefusals)
{
    // The name goes to the field of the kind: REPLACE's column, the sequence,
    // SUBSTR's column (text columns only), or SYSDATE's own column, which must
    // hold a date, time stamp or text.
    struct Case { int16_t kind; const char *name; int32_t len; uint8_t dpc; int32_t want; };
    const int32_t fun = FLDR_ERR_COLUMN_FUNCTION, name = FLDR_ERR_COLUMN_NAME;
    const Case cases[] = {
        {FLDR_FUN_REPLACE, "name", 0, 0, 0}, {FLDR_FUN_REPLACE, "nam", 0, 0, fun},
        {FLDR_FUN_NEXTVAL, "", 0, 0, fun}, {FLDR_FUN_NEXTVAL, "S1", 0, 0, 0},
        {FLDR_FUN_NEXTVAL, "S1", 0, 1, FLDR_ERR_DPC},   // refused even with a name
        {FLDR_FUN_SUBSTR, "code", 3, 0, 0}, {FLDR_FUN_SUBSTRB, "code", -1, 0, FLDR_ERR_PARAMETER_VALUE},
        {FLDR_FUN_SUBSTRB, "born", 0, 0, name}, {FLDR_FUN_SUBSTR, "ghost", 0, 0, name},
        {FLDR_FUN_SYSDATE, "born", 0, 0, 0}, {FLDR_FUN_SYSDATE, "STAMP", 0, 0, 0}, {FLDR_FUN_SYSDATE, "v2", 0, 0, 0},
        {FLDR_FUN_SYSDATE, "Name", 0, 0, 0}, {FLDR_FUN_SYSDATE, "ID", 0, 0, fun}, {FLDR_FUN_SYSDATE, "flag", 0, 0, fun},
        {FLDR_FUN_SYSDATE, "missing", 0, 0, fun},
    };
    for (const Case &c : cases) {
        bind_fixture f(c.kind, c.name);
        char *field = c.kind == FLDR_FUN_REPLACE ? f.col.rep_col
                      : c.kind == FLDR_FUN_NEXTVAL ? f.col.seq_name
                      : c.kind == FLDR_FUN_SYSDATE ? nullptr : f.col.substr_col;
        if (field != nullptr) std::snprintf(field, sizeof f.col.rep_col, "%s", c.name);
        f.col.substr_len = c.len;
        f.inst->dpc_mode = c.dpc;
        EXPECT_EQ(f.bind(), c.want) << c.kind << " " << c.name;
        EXPECT_TRUE(c.want != 0 || field != f.col.rep_col || f.col.rep_col_idx == 1);
        EXPECT_TRUE(c.want != 0 || field != f.col.substr_col || f.col.substr_col_idx == 2);
    }
    EXPECT_EQ(bind_fixture(FLDR_FUN_REPLACE).bind(nullptr), fun);
    EXPECT_EQ(bind_fixture(FLDR_FUN_CALL).bind(), FLDR_ERR_PARAMETER_VALUE);   // a call without a function name
    for (int16_t kind : {FLDR_FUN_NONE, FLDR_FUN_TRIM, FLDR_FUN_DEFAULT}) {
        bind_fixture plain(kind);
        plain.inst->dpc_mode = plain.inst->call_refused = 1;
        EXPECT_EQ(plain.bind(nullptr), 0);
    }
    // A name filling its whole array is compared within it.
    bind_fixture full(FLDR_FUN_REPLACE);
    std::memset(full.col.rep_col, 'a', sizeof full.col.rep_col);
    for (size_t extra : {0, 1}) {
        const std::string long_name(sizeof full.col.rep_col + extra, 'A');
        fldr_tab_col one{long_name.c_str(), QXDT_VARCHAR};
        const fldr_tab_info tab{1, &one};
        EXPECT_EQ(full.bind(&tab), extra == 0 ? 0 : fun);
    }
}

/* fldr_map_fun_str parses the column's function text, then binds it. */
TEST(ColumnFunctionMapping, ParsesThenBinds)
{
    fldr_init();
    fldr_env *env = fldr_get_env();
    mem_heap_t *heap = mem_heap_create_low(env, 0, 4096, 0, 0, "test", __LINE__, 1);
    auto map = [&](const char *text, fldr_inst &inst, fldr_col &col) {
        inst.silent = 1;
        inst.log_file.handle = -1;
        fldr_init_col(env, heap, &col);
        std::snprintf(col.name, sizeof col.name, "born");
        col.fun_str = const_cast<char *>(text);
        return fldr_map_fun_str(env, &inst, &kTab, &col, heap);
    };
    auto inst = std::make_unique<fldr_inst>();
    fldr_col col;
    ASSERT_EQ(map("REPLACE(:name, '\"', 'x')", *inst, col), 0);
    EXPECT_EQ(col.fun_kind, FLDR_FUN_REPLACE);
    EXPECT_STREQ(col.rep_from, "\"\"\"");   // the quote reached the parser three times
    EXPECT_EQ(col.rep_col_idx, 1);
    for (const char *bad : {"REPLACE(:name,", "REPLACE(:name, \"ab\", 'x')", "SUBSTR(:name, 1)"})
        EXPECT_EQ(map(bad, *inst, col), FLDR_ERR_PARSE) << bad;
    EXPECT_EQ(map("", *inst, col), 0);
    col.fun_str = nullptr;
    EXPECT_EQ(fldr_map_fun_str(env, inst.get(), &kTab, &col, heap), 0);
    EXPECT_EQ(col.fun_kind, FLDR_FUN_NONE);

    // A call binds every argument, nested ones too, to a column of the table;
    // a refusal of calls comes only after the arguments pass.
    ASSERT_EQ(map("F(:stamp, 'const', G(:ID))", *inst, col), 0);
    EXPECT_EQ(col.fun_args->first->arg->col_idx, 4);
    EXPECT_EQ(col.fun_args->last->arg->args->first->arg->col_idx, 0);
    const std::tuple<const char *, uint8_t, int32_t> calls[] = {
        {"F()", 0, 0}, {"F(:stamp)", 1, FLDR_ERR_COLUMN_FUNCTION}, {"F(:stamp)", 2, 0},
        {"F(:stamp, G(:nobody))", 0, FLDR_ERR_PARAMETER_VALUE}, {"F(:stamp, '')", 1, FLDR_ERR_PARAMETER_VALUE},
    };
    for (const auto &[text, refused, want] : calls) {
        inst->call_refused = refused;
        EXPECT_EQ(map(text, *inst, col), want) << text << " refused " << int(refused);
    }
    inst->call_refused = 0;
    inst->dpc_mode = 1;
    EXPECT_EQ(map("s1.nextval", *inst, col), FLDR_ERR_DPC);   // a bind refusal comes through

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
