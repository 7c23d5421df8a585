#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "fexp_internal.h"
#include "qxbcast.h"
#include "qxcalc.h"
#include "qxdta.h"
#include "qxfldr_comm.h"

namespace {

/* A batch released at scope end. */
struct batch_guard {
    bdta3 *b;
    explicit batch_guard(std::vector<uint16_t> types, uint32_t rows = 4)
        : b(bdta3_create(nullptr, nullptr, static_cast<uint16_t>(types.size()), types.data()))
    {
        for (uint16_t i = 0; i < types.size(); i++)
            EXPECT_TRUE(qxdta_value_size(types[i]) == 0 ||
                        bdta3_col_data_create_low(nullptr, nullptr, &b->cols[i], types[i], rows) == 0);
    }
    batch_guard(const batch_guard &) = delete;
    ~batch_guard() { bdta3_free2(nullptr, nullptr, b); }
    bdta3_col *col(uint16_t i) { return &b->cols[i]; }
};

template <typename T>
void put(bdta3_col *col, uint32_t row, const T &value)
{
    static_assert(!std::is_pointer_v<T>);
    ASSERT_EQ(sizeof(T), col->data->value_size);
    std::memcpy(bdta3_col_value(col, row), &value, sizeof(T));
    col->data->nulls[row] = 1;
    col->row_count = std::max(col->row_count, row + 1);
}

template <typename T>
void put_rows(bdta3_col *col, std::initializer_list<T> values)
{
    uint32_t row = 0;
    for (const T &v : values) put(col, row++, v);
}

void put_str(bdta3_col *col, uint32_t row, const std::string &text)
{
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, col, row, text.data(), static_cast<uint32_t>(text.size()), 0), 0);
}

void put_time(bdta3_col *col, uint32_t row, qxtime_fields f)
{
    qxdta_time t;
    qxtime_encode(&f, t.b);
    put(col, row, t);
}

/* Text of a destination row, or "<null>". */
std::string text_at(const bdta3_col *col, uint32_t row)
{
    if (col->data->nulls[row] == 0) return "<null>";
    const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, row));
    return std::string(v->ptr, v->len);
}

qxdta_dec dec(unsigned __int128 mag, int16_t scale, bool negative)
{
    return qxdta_dec{static_cast<uint64_t>(mag), static_cast<uint64_t>(mag >> 64), scale,
                     static_cast<uint8_t>(negative), {}};
}

using strings = std::vector<std::string>;

/* Exports src into a fresh batch of VARCHAR columns; the texts, column by column. */
std::vector<strings> export_texts(bdta3 *src, const fexp_col_desc *descs = nullptr, int32_t *rc = nullptr,
                                  uint32_t *dst_rows = nullptr)
{
    batch_guard dst(std::vector<uint16_t>(src->col_count, QXDT_VARCHAR), 1);   // grows as rows arrive
    const int32_t result = fexp_bdta_cnvt(nullptr, src, dst.b, descs, 0);
    if (rc != nullptr) *rc = result; else EXPECT_EQ(result, 0);
    if (dst_rows != nullptr) *dst_rows = dst.b->row_count;
    std::vector<strings> out(src->col_count);
    for (uint16_t i = 0; i < src->col_count; i++) {
        for (uint32_t r = 0; r < dst.col(i)->row_count; r++) out[i].push_back(text_at(dst.col(i), r));
    }
    return out;
}

} // namespace

TEST(Export, EdgeValuesOfNumbers)
{
    // The smallest of each integer width is in the table of every type below.
    batch_guard b({QXDT_BIGINT, QXDT_DEC, QXDT_FLOAT, QXDT_DOUBLE}, 5);
    put_rows<int64_t>(b.col(0), {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()});
    const unsigned __int128 max128 = ~static_cast<unsigned __int128>(0);
    put_rows(b.col(1), {dec(7, 3, true), dec(0, 2, true), dec(max128, 38, false), dec(max128, 0, true),
                        dec(5, 39, false)});   // no text for a scale past 38: the row goes NULL
    put_rows(b.col(2), {0.1f, 1e20f, std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()});
    put_rows(b.col(3), {0.1, 1.0 / 3.0, -0.0});
    b.b->row_count = 5;
    for (uint16_t i = 0; i < 4; i++)
        b.col(i)->row_count = 5;
    const std::vector<strings> t = export_texts(b.b);
    EXPECT_EQ(t[0], (strings{"-9223372036854775808", "9223372036854775807", "<null>", "<null>", "<null>"}));
    EXPECT_EQ(t[1], (strings{"-0.007", "0.00", "3.40282366920938463463374607431768211455",
                             "-340282366920938463463374607431768211455", "<null>"}));
    EXPECT_EQ(t[2], (strings{"0.1", "1e+20", "NaN", "-Infinity", "<null>"}));
    EXPECT_EQ(t[3], (strings{"0.1", "0.3333333333333333", "-0", "<null>", "<null>"}));
    EXPECT_EQ(std::stod(t[3][1]), 1.0 / 3.0);   // reads back exactly
}

TEST(Export, TooLongValuesBecomeNullAndTheRestGoOn)
{
    batch_guard b({QXDT_VARCHAR, QXDT_VARBINARY}, 3);
    put_str(b.col(0), 0, std::string(32767, 'x'));
    put_str(b.col(0), 1, std::string(32768, 'y'));
    put_str(b.col(0), 2, "ok");
    put_str(b.col(1), 0, std::string(16383, 'z'));
    put_str(b.col(1), 1, std::string(16384, 'z'));   // 32768 hexadecimal digits
    b.b->row_count = 3;
    const std::vector<strings> t = export_texts(b.b);
    EXPECT_EQ(t[0], (strings{std::string(32767, 'x'), "<null>", "ok"}));
    EXPECT_EQ(t[1].at(0).size(), 32766u);   // 16383 bytes as digits
    EXPECT_EQ(t[1].at(1), "<null>");
}

TEST(Export, EverySupportedType)
{
    // {type code, how row 0 is filled, its text}; row 1 stays NULL.
    const qxtime_fields when{2021, 12, 31, 23, 59, 58, 500000000, -300};
    const std::string txt("t\0t", 3);
    using filler = std::function<void(bdta3_col *)>;
    auto text = [](std::string v) { return [v](bdta3_col *c) { put_str(c, 0, v); }; };
    auto value = [](auto v) { return [v](bdta3_col *c) { put(c, 0, v); }; };
    const filler time = [&](bdta3_col *c) { put_time(c, 0, when); };
    const std::tuple<uint16_t, filler, std::string> cases[] = {
        {0, text(txt), txt}, {1, text(txt), txt}, {2, text(txt), txt}, {3, value(uint8_t{5}), "1"},
        {5, value(int8_t{-128}), "-128"}, {6, value(int16_t{-32768}), "-32768"},
        {7, value(std::numeric_limits<int32_t>::min()), "-2147483648"},
        {8, value(int64_t{-8}), "-8"}, {9, value(dec(12345, 2, true)), "-123.45"}, {10, value(1.5f), "1.5"},
        {11, value(2.25), "2.25"}, {14, time, "2021-12-31"}, {15, time, "23:59:58.5"},
        {16, time, "2021-12-31 23:59:58.5"}, {17, text("\x01\xfe"), "01FE"}, {18, text("\x01\xfe"), "01FE"},
        {20, value(int32_t{25}), "2-01"}, {21, value(qxdta_ivdt{90061, 0, 0}), "1 01:01:01.000000"},
        {22, time, "23:59:58.5 -05:00"}, {23, time, "2021-12-31 23:59:58.5 -05:00"},
        {26, time, "2021-12-31 23:59:58.5"}, {27, time, "2021-12-31 23:59:58.5 -05:00"},
        {28, value(uint64_t{255}), "00000000000000FF"},
    };
    std::vector<uint16_t> types;
    for (const auto &c : cases) types.push_back(std::get<0>(c));
    batch_guard src(types, 2);
    for (uint16_t i = 0; i < types.size(); i++) {
        std::get<1>(cases[i])(src.col(i));
        src.col(i)->row_count = 2;
    }
    src.b->row_count = 2;
    uint32_t rows = 0;
    const std::vector<strings> t = export_texts(src.b, nullptr, nullptr, &rows);
    EXPECT_EQ(rows, 2u);
    for (uint16_t i = 0; i < types.size(); i++)
        EXPECT_EQ(t[i], (strings{std::get<2>(cases[i]), "<null>"})) << "type " << types[i];
}

TEST(Export, UnsupportedCodesStopAfterEarlierColumns)
{
    for (uint16_t bad : {4, 12, 13, 19, 24, 25, 29, 200}) {
        batch_guard src({QXDT_INT, QXDT_VARCHAR, bad}, 1);
        put<int32_t>(src.col(0), 0, 42);
        put_str(src.col(1), 0, "v");
        src.b->row_count = 1;
        int32_t rc = 0;
        uint32_t rows = 99;
        const std::vector<strings> t = export_texts(src.b, nullptr, &rc, &rows);
        EXPECT_EQ(rc, FEXP_ERR_UNSUPPORTED_TYPE) << bad;
        EXPECT_EQ(t[0].at(0) + t[1].at(0) + std::to_string(t[0].size() + t[1].size()), "42v2") << bad;
        EXPECT_EQ(rows, 0u);   // the destination's row count is not set
    }
    batch_guard empty({}, 0);   // no columns: only the row count moves
    empty.b->row_count = 17;
    uint32_t rows = 0;
    export_texts(empty.b, nullptr, nullptr, &rows);
    EXPECT_EQ(rows, 17u);
}

TEST(Export, IntervalsByQualifier)
{
    batch_guard src({QXDT_INTERVAL_YM, QXDT_INTERVAL_DT}, 3);
    put_rows<int32_t>(src.col(0), {30, -14});
    put_rows(src.col(1), {qxdta_ivdt{3 * 86400 + 4 * 3600 + 5 * 60 + 6, 250000000, 0}, qxdta_ivdt{-(75 * 60 + 30), 0, 0},
                          qxdta_ivdt{0, -5, 0}});
    src.col(0)->row_count = 2;
    src.b->row_count = 2;
    auto with = [&](uint16_t ym, uint16_t dt) {
        const fexp_col_desc descs[2] = {{ym, 0}, {dt, 0}};
        return export_texts(src.b, descs);
    };
    EXPECT_EQ(export_texts(src.b), (std::vector<strings>{{"2-06", "-1-02"}, {"3 04:05:06.250000", "-0 01:15:30.000000"}}));
    EXPECT_EQ(with(QXBCAST_IV_QUALIFIER(2, 9, 0), QXBCAST_IV_QUALIFIER(8, 9, 0)),
              (std::vector<strings>{{"30", "-14"}, {"76:05", "-1:15"}}));
    EXPECT_EQ(with(QXBCAST_IV_QUALIFIER(0, 9, 0), QXBCAST_IV_QUALIFIER(12, 9, 2)),
              (std::vector<strings>{{"2", "-1"}, {"273906.25", "-4530.00"}}));
    // A qualifier of the other family fails that column only.
    EXPECT_EQ(with(QXBCAST_IV_DT_DEFAULT, QXBCAST_IV_QUALIFIER(3, 9, 0)), (std::vector<strings>{{}, {"3", "-0"}}));
}

TEST(Export, DateTimesFollowTheSelectionAndAFailingRowEndsItsColumn)
{
    batch_guard src({QXDT_DATE}, 3);
    put_time(src.col(0), 0, {2020, 1, 1, 0, 0, 0, 0, 0});
    put_time(src.col(0), 1, {2020, 2, 30, 0, 0, 0, 0, 0});   // no such day
    put_time(src.col(0), 2, {2020, 3, 3, 0, 0, 0, 0, 0});
    src.col(0)->row_count = 3;
    batch_guard dst({QXDT_VARCHAR}, 3);
    put_str(dst.col(0), 2, "old");
    EXPECT_EQ(fexp_cast_datetime(nullptr, src.col(0), dst.col(0), 3, QXDT_DATE), QXCALC_ERR_DATETIME);
    // Rows after the failure are left as they were.
    EXPECT_EQ(text_at(dst.col(0), 0) + " " + text_at(dst.col(0), 1) + " " + text_at(dst.col(0), 2),
              "2020-01-01 <null> old");

    src.b->row_count = 3;   // through fexp_bdta_cnvt the failure is not passed on
    uint32_t rows = 0;
    export_texts(src.b, nullptr, nullptr, &rows);
    EXPECT_EQ(rows, 3u);
    batch_guard ints({QXDT_INT}, 3);   // a destination that cannot hold text
    EXPECT_LT(fexp_cast_datetime(nullptr, src.col(0), ints.col(0), 1, QXDT_DATE), 0);
    src.b->row_count = 70000;          // past 16-bit row counts: refused whole
    int32_t rc = 0;
    export_texts(src.b, nullptr, &rc);
    EXPECT_LT(rc, 0);

    // Date-times follow the selection and keep nulls.
    batch_guard sel_src({QXDT_DATE, QXDT_TIMESTAMP_LTZ}, 4);
    put_time(sel_src.col(0), 0, {2020, 1, 1, 0, 0, 0, 0, 0});
    put_time(sel_src.col(0), 3, {2020, 4, 4, 0, 0, 0, 0, 0});
    uint16_t sel[3] = {3, 1, 0};
    sel_src.col(0)->sel = sel;
    sel_src.col(0)->row_count = 3;
    put_time(sel_src.col(1), 0, {1999, 9, 9, 9, 9, 9, 0, 60});
    sel_src.col(1)->row_count = 3;
    sel_src.b->row_count = 3;
    EXPECT_EQ(export_texts(sel_src.b), (std::vector<strings>{{"2020-04-04", "<null>", "2020-01-01"},
                                                             {"1999-09-09 09:09:09 +01:00", "<null>", "<null>"}}));
}
