#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
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
    {
        b = bdta3_create(nullptr, nullptr, static_cast<uint16_t>(types.size()), types.data());
        for (uint16_t i = 0; i < types.size(); i++) {
            if (qxdta_value_size(types[i]) != 0) {
                EXPECT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &b->cols[i], types[i], rows), 0);
            }
        }
    }
    batch_guard(const batch_guard &) = delete;
    batch_guard &operator=(const batch_guard &) = delete;
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
    if (col->row_count < row + 1) col->row_count = row + 1;
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

/* Runs one plain cast over `rows` rows into a fresh VARCHAR column. */
template <typename Cast>
std::vector<std::string> cast_all(Cast cast, const bdta3_col *src, uint16_t rows, int32_t *rc_out = nullptr,
                                  uint32_t max_len = FEXP_MAX_TEXT)
{
    bdta3_col dst{};
    EXPECT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &dst, QXDT_VARCHAR, 1), 0);
    const int32_t rc = cast(nullptr, nullptr, src, max_len, &dst, rows, 0, 0);
    if (rc_out != nullptr) *rc_out = rc; else EXPECT_EQ(rc, 0);
    std::vector<std::string> out;
    EXPECT_GE(dst.row_count, rows);
    for (uint32_t r = 0; r < rows; r++) out.push_back(text_at(&dst, r));
    bdta3_col_free(&dst);
    return out;
}

qxdta_dec dec(unsigned __int128 mag, int16_t scale, bool negative)
{
    qxdta_dec d{};
    d.lo = static_cast<uint64_t>(mag);
    d.hi = static_cast<uint64_t>(mag >> 64);
    d.scale = scale;
    d.negative = negative ? 1 : 0;
    return d;
}

using strings = std::vector<std::string>;

} // namespace

TEST(Casts, IntegersBitsAndRowids)
{
    batch_guard b({QXDT_TINYINT, QXDT_SMALLINT, QXDT_INT, QXDT_BIGINT, QXDT_BIT, QXDT_ROWID});
    put<int8_t>(b.col(0), 0, -128);
    put<int8_t>(b.col(0), 1, 127);
    put<int16_t>(b.col(1), 0, -32768);
    put<int16_t>(b.col(1), 1, 7);
    put<int32_t>(b.col(2), 0, std::numeric_limits<int32_t>::min());
    put<int32_t>(b.col(2), 1, 0);
    put<int64_t>(b.col(3), 0, std::numeric_limits<int64_t>::min());
    put<int64_t>(b.col(3), 1, std::numeric_limits<int64_t>::max());
    put<uint8_t>(b.col(4), 0, 0);
    put<uint8_t>(b.col(4), 1, 5);
    put<uint64_t>(b.col(5), 0, 0x1234ABCDULL);
    put<uint64_t>(b.col(5), 1, ~0ULL);
    EXPECT_EQ(cast_all(bcast_tinyint_to_varchar, b.col(0), 3), (strings{"-128", "127", "<null>"}));
    EXPECT_EQ(cast_all(bcast_smallint_to_varchar, b.col(1), 2), (strings{"-32768", "7"}));
    EXPECT_EQ(cast_all(bcast_int_to_varchar, b.col(2), 2), (strings{"-2147483648", "0"}));
    EXPECT_EQ(cast_all(bcast_int64_to_varchar, b.col(3), 2),
              (strings{"-9223372036854775808", "9223372036854775807"}));
    EXPECT_EQ(cast_all(bcast_bit_to_varchar, b.col(4), 2), (strings{"0", "1"}));
    EXPECT_EQ(cast_all(bcast_rowid_to_varchar, b.col(5), 2), (strings{"000000001234ABCD", "FFFFFFFFFFFFFFFF"}));

    // A cast given a column of another type writes nothing.
    bdta3_col dst{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &dst, QXDT_VARCHAR, 1), 0);
    EXPECT_EQ(bcast_int_to_varchar(nullptr, nullptr, b.col(3), FEXP_MAX_TEXT, &dst, 2, 0, 0), QXBCAST_ERR_TYPE);
    EXPECT_EQ(dst.row_count, 0u);
    EXPECT_EQ(bcast_int_to_varchar(nullptr, nullptr, b.col(2), FEXP_MAX_TEXT, &dst, 2, 0, 1), QXBCAST_ERR_ARGUMENT);
    bdta3_col_free(&dst);
}

TEST(Casts, DecimalsAreExact)
{
    batch_guard b({QXDT_DEC}, 8);
    const unsigned __int128 max128 = ~static_cast<unsigned __int128>(0);
    put(b.col(0), 0, dec(150, 2, false));
    put(b.col(0), 1, dec(7, 3, true));
    put(b.col(0), 2, dec(0, 0, true));
    put(b.col(0), 3, dec(123456789, 0, false));
    put(b.col(0), 4, dec(max128, 38, false));
    put(b.col(0), 5, dec(max128, 0, true));
    put(b.col(0), 6, dec(5, 39, false));   // scale past 38: no text
    put(b.col(0), 7, dec(100, 2, false));
    int32_t rc = 0;
    EXPECT_EQ(cast_all(bcast_dec_to_varchar, b.col(0), 8, &rc),
              (strings{"1.50", "-0.007", "0", "123456789", "3.40282366920938463463374607431768211455",
                       "-340282366920938463463374607431768211455", "<null>", "1.00"}));
    EXPECT_EQ(rc, QXBCAST_ERR_VALUE);
}

TEST(Casts, FloatsAreShortestRoundTrip)
{
    batch_guard b({QXDT_FLOAT, QXDT_DOUBLE}, 6);
    const float floats[5] = {0.1f, -2.5f, 1e20f, std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::infinity()};
    const double doubles[5] = {0.1, 1.0 / 3.0, 123456789012.0, std::numeric_limits<double>::infinity(), -0.0};
    for (uint32_t r = 0; r < 5; r++) {
        put(b.col(0), r, floats[r]);
        put(b.col(1), r, doubles[r]);
    }
    EXPECT_EQ(cast_all(bcast_float_to_varchar, b.col(0), 5), (strings{"0.1", "-2.5", "1e+20", "NaN", "-Infinity"}));
    const strings d = cast_all(bcast_double_to_varchar, b.col(1), 5);
    EXPECT_EQ(d, (strings{"0.1", "0.3333333333333333", "123456789012", "Infinity", "-0"}));
    EXPECT_EQ(std::stod(d[1]), 1.0 / 3.0);
}

TEST(Casts, TooLongValuesBecomeNullAndTheRestGoOn)
{
    batch_guard b({QXDT_VARCHAR, QXDT_VARBINARY}, 3);
    put_str(b.col(0), 0, std::string(32767, 'x'));
    put_str(b.col(0), 1, std::string(32768, 'y'));
    put_str(b.col(0), 2, "ok");
    put_str(b.col(1), 0, std::string(16383, 'z'));
    put_str(b.col(1), 1, std::string(16384, 'z'));   // 32768 digits
    int32_t rc = 0;
    const strings text = cast_all(bcast_varchar_to_varchar, b.col(0), 3, &rc);
    EXPECT_EQ(rc, QXBCAST_ERR_TOO_LONG);
    EXPECT_EQ(text[0].size(), 32767u);
    EXPECT_EQ(text[1], "<null>");
    EXPECT_EQ(text[2], "ok");
    const strings hex = cast_all(bcast_varbinary_to_hex_varchar, b.col(1), 2, &rc);
    EXPECT_EQ(rc, QXBCAST_ERR_TOO_LONG);
    EXPECT_EQ(hex[0].size(), 32766u);
    EXPECT_EQ(hex[1], "<null>");
}

TEST(Casts, IntervalsByQualifier)
{
    batch_guard b({QXDT_INTERVAL_YM, QXDT_INTERVAL_DT}, 3);
    put<int32_t>(b.col(0), 0, 14);
    put<int32_t>(b.col(0), 1, -14);
    put(b.col(1), 0, qxdta_ivdt{3 * 86400 + 4 * 3600 + 5 * 60 + 6, 250000000, 0});
    put(b.col(1), 1, qxdta_ivdt{-(75 * 60 + 30), 0, 0});
    put(b.col(1), 2, qxdta_ivdt{0, -5, 0});

    auto iv = [](auto cast, const bdta3_col *src, uint16_t rows, uint16_t q, int32_t *rc) {
        bdta3_col dst{};
        EXPECT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &dst, QXDT_VARCHAR, 1), 0);
        *rc = cast(nullptr, nullptr, src, &dst, rows, 0, 0, FEXP_MAX_TEXT, q, 0, 0);
        strings out;
        for (uint32_t r = 0; r < rows && dst.data != nullptr && r < dst.data->cap; r++) out.push_back(text_at(&dst, r));
        bdta3_col_free(&dst);
        return out;
    };
    int32_t rc = 0;
    EXPECT_EQ(iv(bcast_iv_ym_to_varchar, b.col(0), 2, QXBCAST_IV_YM_DEFAULT, &rc), (strings{"1-02", "-1-02"}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(iv(bcast_iv_ym_to_varchar, b.col(0), 2, QXBCAST_IV_QUALIFIER(2, 9, 0), &rc), (strings{"14", "-14"}));
    EXPECT_EQ(iv(bcast_iv_ym_to_varchar, b.col(0), 2, QXBCAST_IV_QUALIFIER(0, 9, 0), &rc), (strings{"1", "-1"}));
    iv(bcast_iv_ym_to_varchar, b.col(0), 2, QXBCAST_IV_DT_DEFAULT, &rc);
    EXPECT_EQ(rc, QXBCAST_ERR_ARGUMENT);

    EXPECT_EQ(iv(bcast_iv_dt_to_varchar, b.col(1), 3, QXBCAST_IV_DT_DEFAULT, &rc),
              (strings{"3 04:05:06.250000", "-0 01:15:30.000000", "-0 00:00:00.000000"}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(iv(bcast_iv_dt_to_varchar, b.col(1), 2, QXBCAST_IV_QUALIFIER(8, 9, 0), &rc), (strings{"76:05", "-1:15"}));
    EXPECT_EQ(iv(bcast_iv_dt_to_varchar, b.col(1), 1, QXBCAST_IV_QUALIFIER(12, 9, 2), &rc), (strings{"273906.25"}));
    EXPECT_EQ(iv(bcast_iv_dt_to_varchar, b.col(1), 1, QXBCAST_IV_QUALIFIER(3, 9, 0), &rc), (strings{"3"}));
    iv(bcast_iv_dt_to_varchar, b.col(1), 1, QXBCAST_IV_YM_DEFAULT, &rc);
    EXPECT_EQ(rc, QXBCAST_ERR_ARGUMENT);
}

namespace {

/* A destination batch of VARCHAR columns. */
batch_guard text_batch(size_t cols, uint32_t rows = 4)
{
    return batch_guard(std::vector<uint16_t>(cols, QXDT_VARCHAR), rows);
}

} // namespace

TEST(Export, EverySupportedTypeConverts)
{
    const std::vector<uint16_t> types = {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17, 18, 20, 21, 22, 23, 26, 27, 28};
    batch_guard src(types, 2);
    batch_guard dst = text_batch(types.size(), 2);
    const qxtime_fields when{2021, 12, 31, 23, 59, 58, 500000000, -300};
    for (uint16_t i = 0; i < types.size(); i++) {
        bdta3_col *c = src.col(i);
        switch (types[i]) {
        case 0: case 1: case 2: put_str(c, 0, std::string("t\0t", 3)); break;
        case 17: case 18: put_str(c, 0, "\x01\xfe"); break;
        case 3: put<uint8_t>(c, 0, 1); break;
        case 5: put<int8_t>(c, 0, -5); break;
        case 6: put<int16_t>(c, 0, -6); break;
        case 7: put<int32_t>(c, 0, -7); break;
        case 8: put<int64_t>(c, 0, -8); break;
        case 9: put(c, 0, dec(12345, 2, true)); break;
        case 10: put(c, 0, 1.5f); break;
        case 11: put(c, 0, 2.25); break;
        case 20: put<int32_t>(c, 0, 25); break;
        case 21: put(c, 0, qxdta_ivdt{90061, 0, 0}); break;
        case 28: put<uint64_t>(c, 0, 255); break;
        default: put_time(c, 0, when); break;
        }
        c->row_count = 2;   // row 1 stays NULL
    }
    src.b->row_count = 2;
    ASSERT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, nullptr, 0), 0);
    EXPECT_EQ(dst.b->row_count, 2u);
    const std::string txt("t\0t", 3);
    const strings expected = {txt, txt, txt, "1", "-5", "-6", "-7", "-8", "-123.45", "1.5", "2.25",
                              "2021-12-31", "23:59:58.5", "2021-12-31 23:59:58.5", "01FE", "01FE", "2-01",
                              "1 01:01:01.000000", "23:59:58.5 -05:00", "2021-12-31 23:59:58.5 -05:00",
                              "2021-12-31 23:59:58.5", "2021-12-31 23:59:58.5 -05:00", "00000000000000FF"};
    for (uint16_t i = 0; i < types.size(); i++) {
        EXPECT_EQ(text_at(dst.col(i), 0), expected[i]) << "type " << types[i];
        EXPECT_EQ(text_at(dst.col(i), 1), "<null>") << "type " << types[i];
    }
}

TEST(Export, UnsupportedCodesStopAfterEarlierColumns)
{
    for (uint16_t bad : {4, 12, 13, 19, 24, 25, 29, 200}) {
        batch_guard src({QXDT_INT, QXDT_VARCHAR, bad}, 1);
        batch_guard dst = text_batch(3, 1);
        put<int32_t>(src.col(0), 0, 42);
        put_str(src.col(1), 0, "v");
        src.b->row_count = 1;
        EXPECT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, nullptr, 0), FEXP_ERR_UNSUPPORTED_TYPE) << bad;
        EXPECT_EQ(text_at(dst.col(0), 0), "42");
        EXPECT_EQ(text_at(dst.col(1), 0), "v");
        EXPECT_EQ(dst.b->row_count, 0u);
    }
    // No columns: only the row count moves.
    batch_guard empty_src({}, 0), empty_dst({}, 0);
    empty_src.b->row_count = 17;
    EXPECT_EQ(fexp_bdta_cnvt(nullptr, empty_src.b, empty_dst.b, nullptr, 0), 0);
    EXPECT_EQ(empty_dst.b->row_count, 17u);
}

TEST(Export, IntervalQualifierFromDescriptions)
{
    batch_guard src({QXDT_INTERVAL_YM, QXDT_INTERVAL_DT}, 1);
    put<int32_t>(src.col(0), 0, 30);
    put(src.col(1), 0, qxdta_ivdt{3661, 0, 0});
    src.b->row_count = 1;
    {
        batch_guard dst = text_batch(2, 1);
        ASSERT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, nullptr, 0), 0);
        EXPECT_EQ(text_at(dst.col(0), 0), "2-06");
        EXPECT_EQ(text_at(dst.col(1), 0), "0 01:01:01.000000");
    }
    {
        batch_guard dst = text_batch(2, 1);
        const fexp_col_desc descs[2] = {{QXBCAST_IV_QUALIFIER(2, 9, 0), 0}, {QXBCAST_IV_QUALIFIER(10, 9, 0), 0}};
        ASSERT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, descs, 0), 0);
        EXPECT_EQ(text_at(dst.col(0), 0), "30");
        EXPECT_EQ(text_at(dst.col(1), 0), "61");
    }
    {
        // A bad qualifier fails that column only; the batch still converts.
        batch_guard dst = text_batch(2, 1);
        const fexp_col_desc descs[2] = {{QXBCAST_IV_DT_DEFAULT, 0}, {QXBCAST_IV_DT_DEFAULT, 0}};
        ASSERT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, descs, 0), 0);
        EXPECT_EQ(dst.col(0)->row_count, 0u);
        EXPECT_EQ(text_at(dst.col(1), 0), "0 01:01:01.000000");
        EXPECT_EQ(dst.b->row_count, 1u);
    }
}

TEST(Export, DateTimesFollowTheSelectionAndKeepNulls)
{
    batch_guard src({QXDT_DATE, QXDT_TIMESTAMP_LTZ}, 4);
    put_time(src.col(0), 0, {2020, 1, 1, 0, 0, 0, 0, 0});
    put_time(src.col(0), 2, {2020, 3, 3, 0, 0, 0, 0, 0});
    put_time(src.col(0), 3, {2020, 4, 4, 0, 0, 0, 0, 0});
    uint16_t sel[3] = {3, 1, 0};
    src.col(0)->sel = sel;
    src.col(0)->row_count = 3;
    put_time(src.col(1), 0, {1999, 9, 9, 9, 9, 9, 0, 60});
    src.col(1)->row_count = 3;
    src.b->row_count = 3;
    batch_guard dst = text_batch(2, 1);   // the destination grows as rows arrive
    ASSERT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst.b, nullptr, 0), 0);
    EXPECT_EQ(text_at(dst.col(0), 0), "2020-04-04");
    EXPECT_EQ(text_at(dst.col(0), 1), "<null>");
    EXPECT_EQ(text_at(dst.col(0), 2), "2020-01-01");
    EXPECT_EQ(text_at(dst.col(1), 0), "1999-09-09 09:09:09 +01:00");
    EXPECT_EQ(text_at(dst.col(1), 1), "<null>");
}

TEST(Export, FailingDateTimeRowEndsItsColumn)
{
    batch_guard src({QXDT_DATE}, 3);
    put_time(src.col(0), 0, {2020, 1, 1, 0, 0, 0, 0, 0});
    put_time(src.col(0), 1, {2020, 2, 30, 0, 0, 0, 0, 0});   // no such day
    put_time(src.col(0), 2, {2020, 3, 3, 0, 0, 0, 0, 0});
    src.col(0)->row_count = 3;
    batch_guard dst = text_batch(1, 3);
    put_str(dst.col(0), 2, "old");
    EXPECT_EQ(fexp_cast_datetime(nullptr, src.col(0), dst.col(0), 3, QXDT_DATE), QXCALC_ERR_DATETIME);
    EXPECT_EQ(text_at(dst.col(0), 0), "2020-01-01");
    EXPECT_EQ(text_at(dst.col(0), 1), "<null>");
    EXPECT_EQ(text_at(dst.col(0), 2), "old");       // rows after the failure are left as they were

    // Through fexp_bdta_cnvt the failure is not passed on.
    src.b->row_count = 3;
    batch_guard dst2 = text_batch(1, 3);
    EXPECT_EQ(fexp_bdta_cnvt(nullptr, src.b, dst2.b, nullptr, 0), 0);
    EXPECT_EQ(dst2.b->row_count, 3u);

    // A destination that cannot hold text.
    batch_guard ints({QXDT_INT}, 3);
    EXPECT_LT(fexp_cast_datetime(nullptr, src.col(0), ints.col(0), 1, QXDT_DATE), 0);
    // A batch past 16-bit row counts is refused whole.
    src.b->row_count = 70000;
    EXPECT_LT(fexp_bdta_cnvt(nullptr, src.b, dst2.b, nullptr, 0), 0);
}
