/*
** qxdta: typed batch containers. Layout and rules in qxdta.h.
*/
#include "qxdta.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kStrSize = sizeof(qxdta_str);

/* Value size per type code; 0 marks a code this library does not know. */
constexpr uint32_t kValueSize[QXDT_TYPE_COUNT] = {
    kStrSize, kStrSize, kStrSize,             // 0 CHAR, 1 VARCHAR2, 2 VARCHAR
    1, 1, 1, 2, 4, 8,                         // 3 BIT .. 8 BIGINT
    sizeof(qxdta_dec), 4, 8,                  // 9 DEC, 10 FLOAT, 11 DOUBLE
    kStrSize, kStrSize,                       // 12 BLOB, 13 CLOB
    13, 13, 13,                               // 14 DATE, 15 TIME, 16 TIMESTAMP
    kStrSize, kStrSize, kStrSize,             // 17 BINARY, 18 VARBINARY, 19 IMAGE
    4, sizeof(qxdta_ivdt),                    // 20, 21 intervals
    13, 13,                                   // 22 TIME_TZ, 23 TIMESTAMP_TZ
    kStrSize, kStrSize,                       // 24 CLASS, 25 ARRAY
    13, 13,                                   // 26 DATETIME, 27 TIMESTAMP_LTZ
    8,                                        // 28 ROWID
};

constexpr bool is_str_type(uint16_t type)
{
    switch (type) {
    case QXDT_CHAR: case QXDT_VARCHAR2: case QXDT_VARCHAR:
    case QXDT_BLOB: case QXDT_CLOB: case QXDT_BINARY: case QXDT_VARBINARY: case QXDT_IMAGE:
    case QXDT_CLASS: case QXDT_ARRAY:
        return true;
    default:
        return false;
    }
}

void data_free(bdta3_data *data)
{
    if (data == nullptr) return;
    if (data->own_bufs != nullptr) {
        for (uint32_t r = 0; r < data->cap; r++) std::free(data->own_bufs[r]);
    }
    std::free(data->own_bufs);
    std::free(data->own_caps);
    std::free(data->nulls);
    std::free(data->values);
    std::free(data);
}

/* Grows `data` to hold at least `need` rows; new rows are null. */
int32_t data_grow(bdta3_data *data, uint32_t need, bool strings)
{
    if (need <= data->cap) return 0;
    uint64_t cap = data->cap == 0 ? 16 : data->cap;
    while (cap < need) cap *= 2;
    if (cap > 0xFFFFFFFFu) cap = 0xFFFFFFFFu;
    const uint32_t old = data->cap;
    const uint32_t now = static_cast<uint32_t>(cap);

    auto *nulls = static_cast<uint8_t *>(std::realloc(data->nulls, now));
    if (nulls == nullptr) return QXDTA_ERR_NO_MEMORY;
    data->nulls = nulls;
    std::memset(nulls + old, 0, now - old);

    auto *values = static_cast<char *>(std::realloc(data->values, uint64_t{now} * data->value_size));
    if (values == nullptr) return QXDTA_ERR_NO_MEMORY;
    data->values = values;
    std::memset(values + uint64_t{old} * data->value_size, 0, uint64_t{now - old} * data->value_size);

    if (strings) {
        auto *bufs = static_cast<char **>(std::realloc(data->own_bufs, sizeof(char *) * now));
        if (bufs == nullptr) return QXDTA_ERR_NO_MEMORY;
        data->own_bufs = bufs;
        std::memset(bufs + old, 0, sizeof(char *) * (now - old));
        auto *caps = static_cast<uint32_t *>(std::realloc(data->own_caps, sizeof(uint32_t) * now));
        if (caps == nullptr) return QXDTA_ERR_NO_MEMORY;
        data->own_caps = caps;
        std::memset(caps + old, 0, sizeof(uint32_t) * (now - old));
    }
    /* Only now is every array at least `now` long. */
    data->cap = now;
    return 0;
}

/* Copies len bytes into row r's own buffer of a string column; r < cap. */
int32_t store_str(bdta3_data *data, uint32_t r, const char *text, uint32_t len, uint32_t flag)
{
    if (len == 0xFFFFFFFFu) return QXDTA_ERR_ARGUMENT;
    if (data->own_caps[r] < len + 1 || data->own_bufs[r] == nullptr) {
        uint32_t want = len + 1 < 32 ? 32 : len + 1;
        auto *buf = static_cast<char *>(std::malloc(want));
        if (buf == nullptr) return QXDTA_ERR_NO_MEMORY;
        std::free(data->own_bufs[r]);
        data->own_bufs[r] = buf;
        data->own_caps[r] = want;
    }
    char *buf = data->own_bufs[r];
    /* memmove: the text may be this very buffer (a value assigned again). */
    if (len > 0) std::memmove(buf, text, len);
    buf[len] = '\0';
    auto *value = static_cast<qxdta_str *>(data->values) + r;
    value->len = len;
    value->flag = flag;
    value->ptr = buf;
    data->nulls[r] = 1;
    return 0;
}

} // namespace

extern "C" uint32_t qxdta_value_size(uint16_t type)
{
    return type < QXDT_TYPE_COUNT ? kValueSize[type] : 0;
}

extern "C" int32_t qxdta_type_is_str(uint16_t type)
{
    return is_str_type(type) ? 1 : 0;
}

extern "C" bdta3 *bdta3_create(fldr_env *env, mem_heap_t *heap, uint16_t col_count,
                               const uint16_t *types)
{
    if (col_count > 0 && types == nullptr) return nullptr;
    const size_t types_size = sizeof(uint16_t) * col_count;
    const size_t cols_size = sizeof(bdta3_col) * col_count;
    const size_t total = sizeof(bdta3) + cols_size + types_size;

    /* One block: the record, then the columns, then the type codes. */
    void *block = heap != nullptr
        ? mem_heap_alloc_low(env, heap, total, 0, "runtime/qxdta", __LINE__)
        : std::calloc(1, total);
    if (block == nullptr) return nullptr;
    std::memset(block, 0, total);

    auto *batch = static_cast<bdta3 *>(block);
    batch->col_count = col_count;
    batch->row_count = 0;
    batch->cols = reinterpret_cast<bdta3_col *>(static_cast<char *>(block) + sizeof(bdta3));
    batch->types = reinterpret_cast<uint16_t *>(static_cast<char *>(block) + sizeof(bdta3) + cols_size);
    batch->on_heap = heap != nullptr ? 1 : 0;
    for (uint16_t i = 0; i < col_count; i++) {
        batch->types[i] = types[i];
        batch->cols[i].type = types[i];
    }
    return batch;
}

extern "C" int32_t bdta3_col_data_create_low(fldr_env *, mem_heap_t *, bdta3_col *col, uint16_t type,
                                             uint32_t row_cap)
{
    if (col == nullptr) return QXDTA_ERR_ARGUMENT;
    const uint32_t size = qxdta_value_size(type);
    if (size == 0) return QXDTA_ERR_TYPE;

    auto *data = static_cast<bdta3_data *>(std::calloc(1, sizeof(bdta3_data)));
    if (data == nullptr) return QXDTA_ERR_NO_MEMORY;
    data->value_size = size;
    if (row_cap > 0 && data_grow(data, row_cap, is_str_type(type)) != 0) {
        data_free(data);
        return QXDTA_ERR_NO_MEMORY;
    }
    data_free(col->data);
    col->data = data;
    col->type = type;
    col->row_count = 0;
    col->sel = nullptr;
    return 0;
}

extern "C" void bdta3_col_free(bdta3_col *col)
{
    if (col == nullptr) return;
    data_free(col->data);
    col->data = nullptr;
    col->row_count = 0;
}

extern "C" void bdta3_free2(fldr_env *, mem_heap_t *, bdta3 *batch)
{
    if (batch == nullptr) return;
    for (uint16_t i = 0; i < batch->col_count; i++) bdta3_col_free(&batch->cols[i]);
    if (batch->on_heap == 0) std::free(batch);
}

extern "C" void bdta3_clear(fldr_env *, bdta3 *batch)
{
    if (batch == nullptr) return;
    batch->row_count = 0;
    for (uint16_t i = 0; i < batch->col_count; i++) {
        bdta3_col *col = &batch->cols[i];
        col->row_count = 0;
        col->sel = nullptr;
        if (col->data != nullptr && col->data->cap > 0) std::memset(col->data->nulls, 0, col->data->cap);
    }
}

extern "C" int32_t bdta3_col_assign_str(fldr_env *, void *, bdta3_col *col, uint32_t row,
                                        const char *text, uint32_t len, uint32_t flag)
{
    if (col == nullptr || col->data == nullptr || (text == nullptr && len > 0)) return QXDTA_ERR_ARGUMENT;
    if (!is_str_type(col->type)) return QXDTA_ERR_TYPE;
    if (row == 0xFFFFFFFFu) return QXDTA_ERR_ARGUMENT;
    if (int32_t rc = data_grow(col->data, row + 1, true); rc != 0) return rc;
    if (int32_t rc = store_str(col->data, row, text == nullptr ? "" : text, len, flag); rc != 0) return rc;
    if (col->row_count < row + 1) col->row_count = row + 1;
    return 0;
}

extern "C" int32_t bdta3_col_append(fldr_env *, void *, bdta3_col *dst, const bdta3_col *src)
{
    if (dst == nullptr || src == nullptr) return QXDTA_ERR_ARGUMENT;
    if (src->row_count > 0 && src->data == nullptr) return QXDTA_ERR_ARGUMENT;
    const uint32_t size = qxdta_value_size(src->type);
    if (size == 0) return QXDTA_ERR_TYPE;

    if (dst->data == nullptr) {
        if (int32_t rc = bdta3_col_data_create_low(nullptr, nullptr, dst, src->type, src->row_count); rc != 0)
            return rc;
    } else if (dst->row_count == 0) {
        if (dst->data->value_size != size || is_str_type(dst->type) != is_str_type(src->type)) {
            if (int32_t rc = bdta3_col_data_create_low(nullptr, nullptr, dst, src->type, src->row_count);
                rc != 0)
                return rc;
        }
        dst->type = src->type;
    } else if (dst->data->value_size != size || is_str_type(dst->type) != is_str_type(src->type)) {
        return QXDTA_ERR_TYPE;
    }
    /* Rows appended through a selection land densely: dst gets no selection. */
    if (dst->sel != nullptr) return QXDTA_ERR_ARGUMENT;

    const bool strings = is_str_type(src->type);
    const uint64_t need = uint64_t{dst->row_count} + src->row_count;
    if (need > 0xFFFFFFFEu) return QXDTA_ERR_ARGUMENT;
    if (int32_t rc = data_grow(dst->data, static_cast<uint32_t>(need), strings); rc != 0) return rc;

    for (uint32_t r = 0; r < src->row_count; r++) {
        const uint32_t from = bdta3_col_src_row(src, r);
        if (from >= src->data->cap) return QXDTA_ERR_ARGUMENT;
        const uint32_t to = dst->row_count;
        const uint8_t has_value = src->data->nulls[from];
        if (strings) {
            const auto *value = static_cast<const qxdta_str *>(src->data->values) + from;
            if (has_value != 0) {
                if (int32_t rc = store_str(dst->data, to, value->ptr, value->len, value->flag); rc != 0)
                    return rc;
            } else {
                auto *out = static_cast<qxdta_str *>(dst->data->values) + to;
                *out = qxdta_str{0, value->flag, nullptr};
            }
        } else {
            std::memcpy(bdta3_col_value(dst, to), bdta3_col_value(src, from), size);
        }
        dst->data->nulls[to] = has_value;
        dst->row_count = to + 1;
    }
    return 0;
}

extern "C" int32_t nstr_assign_const_ex(fldr_env *env, mem_heap_t *heap, qxdta_nstr *dst, uint16_t len,
                                        const char *text)
{
    if (dst == nullptr || (text == nullptr && len > 0)) return QXDTA_ERR_ARGUMENT;
    if (dst->type != QXDT_CHAR && dst->type != QXDT_VARCHAR2 && dst->type != QXDT_VARCHAR)
        return QXDTA_ERR_TYPE;
    if (heap == nullptr) {
        dst->ptr = const_cast<char *>(text == nullptr ? "" : text);
    } else {
        auto *copy = static_cast<char *>(mem_heap_alloc_low(env, heap, size_t{len} + 1, 0, "runtime/qxdta",
                                                            __LINE__));
        if (copy == nullptr) return QXDTA_ERR_NO_MEMORY;
        if (len > 0) std::memcpy(copy, text, len);
        copy[len] = '\0';
        dst->ptr = copy;
    }
    dst->len = len;
    dst->is_const = 1;
    return 0;
}
