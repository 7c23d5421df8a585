/*
** qxbcast: typed casts of batch columns to text. Rules and text forms in
** qxbcast.h.
**
** Every cast is one driver (cast_column) with a formatter per type: the
** driver walks the output rows through the selection, copies null flags,
** and stores what the formatter wrote; the formatter turns one value into
** text in a buffer the driver owns and reuses for the whole column.
*/
#include "qxbcast.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

#include "qxcalc.h"

namespace {

/* What a formatter may need beyond the value. */
struct cast_ctx {
    uint32_t max_len;    /* longest text allowed: a formatter may refuse early */
    uint16_t qualifier;  /* interval casts */
};

/* Formats one value into `out` (cleared by the driver); 0 or a negative code. */
using formatter = int32_t (*)(const void *value, const cast_ctx &ctx, std::string &out);

bool type_in(uint16_t type, std::initializer_list<uint16_t> accepted)
{
    for (uint16_t t : accepted) {
        if (t == type) return true;
    }
    return false;
}

/* Marks destination row r as having no value (grows the area as needed). */
int32_t set_null(bdta3_col *dst, uint32_t r)
{
    int32_t rc = bdta3_col_assign_str(nullptr, nullptr, dst, r, "", 0, 0);
    if (rc == 0) dst->data->nulls[r] = 0;
    return rc;
}

int32_t cast_column(const bdta3_col *src, uint32_t max_len, bdta3_col *dst, uint16_t rows, uint32_t dst_start,
                    uint32_t flags, std::initializer_list<uint16_t> accepted, formatter format,
                    uint16_t qualifier = 0)
{
    const cast_ctx ctx{max_len, qualifier};
    if (src == nullptr || dst == nullptr || flags != 0) return QXBCAST_ERR_ARGUMENT;
    if (!type_in(src->type, accepted)) return QXBCAST_ERR_TYPE;
    if (dst->data == nullptr || !qxdta_type_is_str(dst->type) || dst->type == QXDT_BLOB ||
        dst->type == QXDT_IMAGE || dst->type == QXDT_BINARY || dst->type == QXDT_VARBINARY)
        return QXBCAST_ERR_TYPE;
    if (rows > 0 && src->data == nullptr) return QXBCAST_ERR_ARGUMENT;
    if (uint64_t{dst_start} + rows > 0xFFFFFFFEu) return QXBCAST_ERR_ARGUMENT;

    try {
        std::string text;
        int32_t first_error = 0;
        for (uint32_t r = 0; r < rows; r++) {
            const uint32_t from = bdta3_col_src_row(src, r);
            const uint32_t to = dst_start + r;
            if (from >= src->data->cap) return QXBCAST_ERR_ARGUMENT;
            int32_t rc = 0;
            if (src->data->nulls[from] == 0) {
                rc = set_null(dst, to);
                if (rc < 0) return rc;
                continue;
            }
            text.clear();
            rc = format(bdta3_col_value(src, from), ctx, text);
            if (rc == 0 && text.size() > max_len) rc = QXBCAST_ERR_TOO_LONG;
            if (rc == 0) {
                rc = bdta3_col_assign_str(nullptr, nullptr, dst, to, text.data(),
                                          static_cast<uint32_t>(text.size()), 0);
                if (rc < 0) return rc;   /* the destination itself failed: stop */
                continue;
            }
            if (first_error == 0) first_error = rc;
            if (int32_t null_rc = set_null(dst, to); null_rc < 0) return null_rc;
        }
        if (dst->row_count < dst_start + rows) dst->row_count = dst_start + rows;
        return first_error;
    } catch (const std::bad_alloc &) {
        return QXDTA_ERR_NO_MEMORY;
    }
}

/* ---- formatters ---- */

int32_t fmt_bytes(const void *value, const cast_ctx &ctx, std::string &out)
{
    const auto *s = static_cast<const qxdta_str *>(value);
    if (s->len > ctx.max_len) return QXBCAST_ERR_TOO_LONG;
    if (s->len > 0) out.assign(s->ptr, s->len);
    return 0;
}

int32_t fmt_hex(const void *value, const cast_ctx &ctx, std::string &out)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto *s = static_cast<const qxdta_str *>(value);
    if (uint64_t{s->len} * 2 > ctx.max_len) return QXBCAST_ERR_TOO_LONG;
    out.resize(size_t{s->len} * 2);
    const auto *bytes = reinterpret_cast<const unsigned char *>(s->ptr);
    for (uint32_t i = 0; i < s->len; i++) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return 0;
}

int32_t fmt_bit(const void *value, const cast_ctx &, std::string &out)
{
    out.push_back(*static_cast<const uint8_t *>(value) != 0 ? '1' : '0');
    return 0;
}

template <typename Int>
int32_t fmt_int(const void *value, const cast_ctx &, std::string &out)
{
    Int v;
    std::memcpy(&v, value, sizeof v);
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return QXBCAST_ERR_VALUE;
    out.assign(buf, end);
    return 0;
}

int32_t fmt_rowid(const void *value, const cast_ctx &, std::string &out)
{
    uint64_t v;
    std::memcpy(&v, value, sizeof v);
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
    out.assign(buf, 16);
    return 0;
}

/* Exact: the magnitude's digits with the point `scale` digits from the right. */
int32_t fmt_dec(const void *value, const cast_ctx &, std::string &out)
{
    qxdta_dec d;
    std::memcpy(&d, value, sizeof d);
    if (d.scale < 0 || d.scale > 38) return QXBCAST_ERR_VALUE;
    unsigned __int128 mag = (static_cast<unsigned __int128>(d.hi) << 64) | d.lo;
    const bool negative = d.negative != 0 && mag != 0;

    char digits[40];   /* 2^128 has 39 digits */
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(mag % 10));
        mag /= 10;
    } while (mag != 0);
    /* digits[] holds the number backwards; pad so there is one digit before the point. */
    const int scale = d.scale;
    while (n <= scale) digits[n++] = '0';

    if (negative) out.push_back('-');
    for (int i = n - 1; i >= 0; i--) {
        out.push_back(digits[i]);
        if (i == scale && scale > 0) out.push_back('.');
    }
    return 0;
}

template <typename Float>
int32_t fmt_float(const void *value, const cast_ctx &, std::string &out)
{
    Float v;
    std::memcpy(&v, value, sizeof v);
    if (std::isnan(v)) {
        out = "NaN";
        return 0;
    }
    if (std::isinf(v)) {
        out = v < 0 ? "-Infinity" : "Infinity";
        return 0;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return QXBCAST_ERR_VALUE;
    out.assign(buf, end);
    return 0;
}

int32_t fmt_datetime(const void *value, const cast_ctx &, std::string &out)
{
    char buf[QXTIME_TEXT_MAX];
    const int32_t n = qxtime_to_char(static_cast<const uint8_t *>(value), QXDT_TIMESTAMP, -1, buf);
    if (n < 0) return QXBCAST_ERR_VALUE;
    out.assign(buf, static_cast<size_t>(n));
    return 0;
}

/* ---- intervals ---- */

struct iv_qualifier {
    int kind;
    int frac;
};

constexpr iv_qualifier split_qualifier(uint16_t q)
{
    return {q >> 8, q & 0xF};
}

void put_unsigned(std::string &out, uint64_t v, int min_width)
{
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    for (int pad = min_width - static_cast<int>(end - buf); pad > 0; pad--) out.push_back('0');
    out.append(buf, end);
}

int32_t fmt_iv_ym(const void *value, const cast_ctx &ctx, std::string &out)
{
    int32_t months;
    std::memcpy(&months, value, sizeof months);
    const uint64_t mag = months < 0 ? uint64_t(-int64_t{months}) : uint64_t(months);
    if (months < 0) out.push_back('-');
    switch (split_qualifier(ctx.qualifier).kind) {
    case 0: put_unsigned(out, mag / 12, 1); break;                       /* YEAR */
    case 1: put_unsigned(out, mag / 12, 1); out.push_back('-');          /* YEAR TO MONTH */
            put_unsigned(out, mag % 12, 2); break;
    case 2: put_unsigned(out, mag, 1); break;                            /* MONTH */
    default: return QXBCAST_ERR_ARGUMENT;
    }
    return 0;
}

/*
** Day-second kinds 3..12 as (first field, last field) over the units
** day 0, hour 1, minute 2, second 3.
*/
constexpr int kIvFirst[13] = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 2, 2, 3};
constexpr int kIvLast[13] = {0, 0, 0, 0, 1, 2, 3, 1, 2, 3, 2, 3, 3};

int32_t fmt_iv_dt(const void *value, const cast_ctx &ctx, std::string &out)
{
    const iv_qualifier q = split_qualifier(ctx.qualifier);
    if (q.kind < 3 || q.kind > 12 || q.frac > 9) return QXBCAST_ERR_ARGUMENT;
    qxdta_ivdt v;
    std::memcpy(&v, value, sizeof v);
    if (v.nanos <= -1000000000 || v.nanos >= 1000000000 || (v.seconds > 0 && v.nanos < 0) ||
        (v.seconds < 0 && v.nanos > 0))
        return QXBCAST_ERR_VALUE;
    const bool negative = v.seconds < 0 || v.nanos < 0;
    const uint64_t secs = v.seconds < 0 ? 0 - static_cast<uint64_t>(v.seconds) : static_cast<uint64_t>(v.seconds);
    const uint32_t nanos = static_cast<uint32_t>(v.nanos < 0 ? -v.nanos : v.nanos);

    /* Units in seconds, and the modulus of each unit below the first field. */
    constexpr uint64_t kUnit[4] = {86400, 3600, 60, 1};
    constexpr uint64_t kMod[4] = {0, 24, 60, 60};
    const int first = kIvFirst[q.kind], last = kIvLast[q.kind];
    if (negative) out.push_back('-');
    for (int u = first; u <= last; u++) {
        const uint64_t amount = u == first ? secs / kUnit[u] : secs / kUnit[u] % kMod[u];
        if (u != first) out.push_back(u == 1 ? ' ' : ':');
        put_unsigned(out, amount, u == first ? 1 : 2);
    }
    if (last == 3 && q.frac > 0) {
        char digits[16];  /* nanos < 10^9: nine digits; room for what the compiler cannot prove */
        std::snprintf(digits, sizeof digits, "%09u", nanos);
        out.push_back('.');
        out.append(digits, static_cast<size_t>(q.frac));
    }
    return 0;
}

} // namespace

#define QXBCAST_PASS src, max_len, dst, rows, dst_start, flags

extern "C" {

int32_t bcast_char_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_CHAR}, fmt_bytes);
}

int32_t bcast_varchar2_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_VARCHAR2}, fmt_bytes);
}

int32_t bcast_varchar_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_VARCHAR}, fmt_bytes);
}

int32_t bcast_bit_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_BIT}, fmt_bit);
}

int32_t bcast_tinyint_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_TINYINT}, fmt_int<int8_t>);
}

int32_t bcast_smallint_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_SMALLINT}, fmt_int<int16_t>);
}

int32_t bcast_int_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_INT}, fmt_int<int32_t>);
}

int32_t bcast_int64_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_BIGINT}, fmt_int<int64_t>);
}

int32_t bcast_dec_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_DEC}, fmt_dec);
}

int32_t bcast_float_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_FLOAT}, fmt_float<float>);
}

int32_t bcast_double_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_DOUBLE}, fmt_float<double>);
}

int32_t bcast_datetime_to_varchar_ex(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_TIMESTAMP, QXDT_DATETIME}, fmt_datetime);
}

int32_t bcast_binary_to_hex_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_BINARY}, fmt_hex);
}

int32_t bcast_varbinary_to_hex_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_VARBINARY}, fmt_hex);
}

int32_t bcast_rowid_to_varchar(QXBCAST_ARGS)
{
    (void)genv, (void)env;
    return cast_column(QXBCAST_PASS, {QXDT_ROWID}, fmt_rowid);
}

int32_t bcast_iv_ym_to_varchar(QXBCAST_IV_ARGS)
{
    (void)genv, (void)env;
    if (reserved1 != 0 || reserved2 != 0) return QXBCAST_ERR_ARGUMENT;
    if (split_qualifier(qualifier).kind > 2) return QXBCAST_ERR_ARGUMENT;
    return cast_column(QXBCAST_PASS, {QXDT_INTERVAL_YM}, fmt_iv_ym, qualifier);
}

int32_t bcast_iv_dt_to_varchar(QXBCAST_IV_ARGS)
{
    (void)genv, (void)env;
    if (reserved1 != 0 || reserved2 != 0) return QXBCAST_ERR_ARGUMENT;
    const iv_qualifier q = split_qualifier(qualifier);
    if (q.kind < 3 || q.kind > 12 || q.frac > 9) return QXBCAST_ERR_ARGUMENT;
    return cast_column(QXBCAST_PASS, {QXDT_INTERVAL_DT}, fmt_iv_dt, qualifier);
}

} // extern "C"
