/*
** Export conversion: a batch of typed columns fetched from the database
** becomes a batch of text columns, one cast per column chosen by its type
** code. Date-time types are formatted here value by value through a stack
** buffer; every other type goes to a whole-column cast of qxbcast.
*/
#include "fexp_internal.h"
#include "fldr_internal.h"
#include "qxbcast.h"
#include "qxcalc.h"

#include <cstring>

static_assert(FEXP_ERR_UNSUPPORTED_TYPE == QXBCAST_ERR_UNSUPPORTED);
static_assert(FEXP_ERR_TEXT_TOO_LONG == QXBCAST_ERR_TOO_LONG);

namespace {

using plain_cast = int32_t (*)(fldr_env *, fldr_env *, const bdta3_col *, uint32_t, bdta3_col *, uint16_t,
                               uint32_t, uint32_t);
using interval_cast = int32_t (*)(fldr_env *, fldr_env *, const bdta3_col *, bdta3_col *, uint16_t, uint32_t,
                                  uint32_t, uint32_t, uint16_t, uint32_t, uint32_t);

/* How one type code converts. */
struct conversion {
    enum kind_t : uint8_t { unsupported, plain, interval, datetime } kind;
    plain_cast cast;
    interval_cast iv_cast;
    uint16_t time_type;      /* datetime: the qxtime_to_char type */
    uint16_t iv_default;     /* interval: qualifier without column descriptions */
};

constexpr conversion none{conversion::unsupported, nullptr, nullptr, 0, 0};
constexpr conversion by(plain_cast cast) { return {conversion::plain, cast, nullptr, 0, 0}; }
constexpr conversion by_time(uint16_t type) { return {conversion::datetime, nullptr, nullptr, type, 0}; }
constexpr conversion by_iv(interval_cast cast, uint16_t dflt) { return {conversion::interval, nullptr, cast, 0, dflt}; }

const conversion kConversions[QXDT_TYPE_COUNT] = {
    by(bcast_char_to_varchar),                                  /* 0 */
    by(bcast_varchar2_to_varchar),                              /* 1 */
    by(bcast_varchar_to_varchar),                               /* 2 */
    by(bcast_bit_to_varchar),                                   /* 3 */
    none,                                                       /* 4 */
    by(bcast_tinyint_to_varchar),                               /* 5 */
    by(bcast_smallint_to_varchar),                              /* 6 */
    by(bcast_int_to_varchar),                                   /* 7 */
    by(bcast_int64_to_varchar),                                 /* 8 */
    by(bcast_dec_to_varchar),                                   /* 9 */
    by(bcast_float_to_varchar),                                 /* 10 */
    by(bcast_double_to_varchar),                                /* 11 */
    none,                                                       /* 12 */
    none,                                                       /* 13 */
    by_time(14),                                                /* 14 */
    by_time(15),                                                /* 15 */
    by(bcast_datetime_to_varchar_ex),                           /* 16 */
    by(bcast_binary_to_hex_varchar),                            /* 17 */
    by(bcast_varbinary_to_hex_varchar),                         /* 18 */
    none,                                                       /* 19 */
    by_iv(bcast_iv_ym_to_varchar, QXBCAST_IV_YM_DEFAULT),       /* 20 */
    by_iv(bcast_iv_dt_to_varchar, QXBCAST_IV_DT_DEFAULT),       /* 21 */
    by_time(22),                                                /* 22 */
    by_time(23),                                                /* 23 */
    none,                                                       /* 24 */
    none,                                                       /* 25 */
    by(bcast_datetime_to_varchar_ex),                           /* 26 */
    by_time(23),                                                /* 27 */
    by(bcast_rowid_to_varchar),                                 /* 28 */
};

} // namespace

/*
** A row's failure ends the column: that row becomes a row without a value,
** the rows after it are left as they were.
*/
extern "C" int32_t fexp_cast_datetime(fldr_env *env, const bdta3_col *src, bdta3_col *dst, uint16_t rows,
                                      uint16_t type)
{
    if (src == nullptr || dst == nullptr || dst->data == nullptr || (rows > 0 && src->data == nullptr))
        return QXDTA_ERR_ARGUMENT;
    if (!qxdta_type_is_str(dst->type)) return QXDTA_ERR_TYPE;
    dst->row_count = src->row_count;
    for (uint32_t r = 0; r < rows; r++) {
        const uint32_t from = bdta3_col_src_row(src, r);
        if (from >= src->data->cap) return QXDTA_ERR_ARGUMENT;
        /* The destination grows on assignment; its flag array must hold row r first. */
        if (r >= dst->data->cap) {
            if (int32_t rc = bdta3_col_assign_str(fldr_get_env(), env, dst, r, "", 0, 0); rc < 0) return rc;
        }
        dst->data->nulls[r] = src->data->nulls[from];
        if (src->data->nulls[from] == 0) continue;

        char text[QXTIME_TEXT_MAX];
        const int32_t n = qxtime_to_char(static_cast<const uint8_t *>(bdta3_col_value(src, from)), type, -1, text);
        if (n < 0) {
            dst->data->nulls[r] = 0;
            return n;
        }
        const size_t len = std::strlen(text);
        if (len > FEXP_MAX_TEXT) {
            dst->data->nulls[r] = 0;
            return FEXP_ERR_TEXT_TOO_LONG;
        }
        const int32_t rc = bdta3_col_assign_str(fldr_get_env(), env, dst, r, text, static_cast<uint32_t>(len), 0);
        if (rc < 0) {
            dst->data->nulls[r] = 0;
            return rc;
        }
    }
    return 0;
}

extern "C" int32_t fexp_bdta_cnvt(fldr_env *env, bdta3 *src, bdta3 *dst, const fexp_col_desc *descs,
                                  uint16_t /* reserved: no effect */)
{
    if (src == nullptr || dst == nullptr) return QXDTA_ERR_ARGUMENT;
    fldr_env *genv = fldr_get_env();
    /* Casts take the row count as 16 bits: a larger batch is refused whole rather than cut. */
    if (src->row_count > 0xFFFFu) return QXDTA_ERR_ARGUMENT;
    const auto rows = static_cast<uint16_t>(src->row_count);

    for (uint16_t i = 0; i < src->col_count; i++) {
        const uint16_t type = src->types[i];
        const conversion conv = type < QXDT_TYPE_COUNT ? kConversions[type] : none;
        if (conv.kind == conversion::unsupported) return FEXP_ERR_UNSUPPORTED_TYPE;
        if (i >= dst->col_count) return QXDTA_ERR_ARGUMENT;
        const bdta3_col *from = &src->cols[i];
        bdta3_col *to = &dst->cols[i];

        /* Results are not examined: a column that fails does not stop the others. */
        switch (conv.kind) {
        case conversion::plain:
            (void)conv.cast(genv, env, from, FEXP_MAX_TEXT, to, rows, 0, 0);
            break;
        case conversion::interval: {
            const uint16_t qualifier = descs != nullptr ? descs[i].iv_qualifier : conv.iv_default;
            (void)conv.iv_cast(genv, env, from, to, rows, 0, 0, FEXP_MAX_TEXT, qualifier, 0, 0);
            break;
        }
        case conversion::datetime:
            (void)fexp_cast_datetime(env, from, to, rows, conv.time_type);
            break;
        case conversion::unsupported:
            break;
        }
    }
    dst->row_count = src->row_count;
    return 0;
}
