/*
** Sequential reading: the data files of a control record, one after another,
** cut into whole rows.
**
**   data file --(read at file_offset)--> read buffer --(whole rows)--> row buffer
**
**   read buffer  fldr_read_info.buf, 16 MiB (+1 byte for a NUL after the
**                data), owned by the caller. [0, pos) is consumed, [pos, len)
**                is file data not yet handed out. A refill moves the
**                unconsumed tail to the front and reads behind it, so a row
**                cut by the end of one read is whole after the next.
**   row buffer   fldr_row_buf.data, 16,384,000 bytes, owned by the caller:
**                rows back to back, terminators included, with their start
**                offsets in row_offs (1000 entries). The caller empties it
**                with fldr_reset_row_buf once it has used the rows.
**
** Rows are found with the row search of the separators module (plain,
** enclosure-aware or escape-aware as the instance says), and all the rows
** found in one read buffer are moved to the row buffer with one copy.
** A row is handed out only when it is whole: its terminator has been seen,
** or it is the rest of a file at its end. A row that does not fit stays in
** the read buffer for the next call, so no row is lost or handed out twice.
*/
#include <algorithm>
#include <cstring>

#include "fldr_file_read.h"
#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "fldr_internal.h"

namespace {

fldr_file *as_file(fldr_data_file *df)
{
    /* fldr_data_file begins with the fields of fldr_file. */
    return reinterpret_cast<fldr_file *>(df);
}

bool at_file_end(const fldr_data_file *df)
{
    return df->file_offset >= df->file_size;
}

/* Empties the read buffer; the NUL keeps a terminator search of several
** bytes from running into stale data. */
void empty_buffer(fldr_read_info *info)
{
    if (info->buf != nullptr)
        info->buf[0] = '\0';
    info->pos = 0;
    info->len = 0;
}

/* Turns the hexadecimal forms of a data file's terminator and start string into bytes. */
int32_t convert_data_file_hex(fldr_data_file *df)
{
    if (df->row_term_hex[0] != '\0') {
        if (fldr_hex_to_sep(df->row_term_hex, df->row_term, &df->row_term_len) != 0)
            return FLDR_ERR_ROW_TERM;
        df->row_term_hex[0] = '\0';
        df->row_term_given = 1;
    }
    if (df->start_hex[0] != '\0') {
        if (fldr_hex_to_sep(df->start_hex, df->start_str, &df->start_len) != 0)
            return FLDR_ERR_ROW_TERM;
        df->start_hex[0] = '\0';
        df->start_given = 1;
    }
    return 0;
}

}  // namespace

/* ========================================================== initialisers */

int32_t fldr_init_read_sized(fldr_env *env, mem_ctx_t *mem_ctx, fldr_read_info *info, uint32_t cap)
{
    info->cur_file = nullptr;
    info->pos = 0;
    info->len = 0;
    info->cap = cap;
    info->buf = static_cast<char *>(fldr_alloc(env, mem_ctx, static_cast<size_t>(cap) + 1, FLDR_TAG_FILE, __LINE__));
    if (info->buf == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;
    info->buf[0] = '\0';
    return 0;
}

int32_t fldr_init_read(fldr_env *env, mem_ctx_t *mem_ctx, fldr_read_info *info)
{
    return fldr_init_read_sized(env, mem_ctx, info, FLDR_READ_BUF_SIZE);
}

int32_t fldr_init_row_buf_sized(fldr_env *env, mem_ctx_t *mem_ctx, fldr_row_buf *rb, uint32_t cap)
{
    std::memset(rb, 0, sizeof *rb);
    rb->cap = cap;
    rb->data = static_cast<char *>(fldr_alloc(env, mem_ctx, cap, FLDR_TAG_FILE, __LINE__));
    if (rb->data == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;
    /* On failure here data stays allocated; the caller releases it. */
    rb->row_offs = static_cast<uint32_t *>(
        fldr_alloc(env, mem_ctx, FLDR_ROW_BUF_ROWS * sizeof(uint32_t), FLDR_TAG_FILE, __LINE__));
    if (rb->row_offs == nullptr)
        return FLDR_ERR_OUT_OF_MEMORY;
    return 0;
}

int32_t fldr_init_row_buf(fldr_env *env, mem_ctx_t *mem_ctx, fldr_row_buf *rb)
{
    return fldr_init_row_buf_sized(env, mem_ctx, rb, FLDR_ROW_BUF_SIZE);
}

int32_t fldr_reset_row_buf(fldr_row_buf *rb)
{
    rb->used = 0;
    rb->row_cnt = 0;
    return 0;
}

int32_t fldr_reset_read_info(fldr_read_info *info)
{
    empty_buffer(info);
    return 0;
}

/* ================================================================ refill */

int32_t fldr_read_more(fldr_read_info *info)
{
    const uint32_t rest = info->len - info->pos;
    if (rest != 0 && info->pos != 0)
        std::memmove(info->buf, info->buf + info->pos, rest);
    info->pos = 0;
    info->len = rest;
    const uint32_t room = info->cap - rest;
    if (room == 0)
        return FLDR_ERR_BUFFER;   /* one row is longer than the read buffer */
    fldr_data_file *df = info->cur_file;
    if (df == nullptr)
        return FLDR_ERR_NULL_POINTER;
    if (df->file_offset == df->file_size)
        return FLDR_FILE_READ_OVER;
    uint32_t got = 0;
    const uint64_t left_in_file = df->file_size - df->file_offset;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(room, left_in_file));
    /* A read that delivers nothing before the recorded end (the file shrank)
    ** is a failed read, not an endless loop. */
    if (os_file_read_by_offset_normal_ex(df->handle, df->file_offset, info->buf + rest, want, &got) == 0 ||
        got == 0) {
        info->pos = rest;
        return FLDR_ERR_READ_FILE;
    }
    df->file_offset += got;
    info->len = rest + got;
    return 0;
}

/* ============================================================= next file */

int32_t fldr_get_next_file(fldr_env *env, fldr_inst *inst, uint32_t language, uint32_t out_code,
                           fldr_ctl *ctl, fldr_read_info *info)
{
    if (info->pos < info->len)
        return 0;
    fldr_data_file *cur = info->cur_file;
    if (cur != nullptr && cur->handle != OS_INVALID_HANDLE && cur->file_offset < cur->file_size)
        return 0;

    empty_buffer(info);
    for (;;) {
        fldr_data_file *next;
        if (cur != nullptr) {
            if (cur->handle != OS_INVALID_HANDLE)
                fldr_file_close(as_file(cur));
            next = cur->next;
        } else {
            next = ctl->data_file_first;
        }
        if (next == nullptr)
            return FLDR_FILE_LOAD_OVER;   /* cur_file stays on the last file */

        cur = next;
        info->cur_file = cur;
        if (convert_data_file_hex(cur) != 0 || cur->row_term_len == 0)
            return FLDR_ERR_ROW_TERM;
        const int64_t handle = os_file_open_normal_ex(cur->path);
        if (handle == OS_INVALID_HANDLE) {
            /* Reported once, with the path and the system's reason, then
            ** the next file is tried. */
            if (inst != nullptr) {
                const int32_t why = os_last_error();
                char where[sizeof cur->path];
                os_path_to_os(cur->path, where, sizeof where);
                fldr_add_diag_rec(env, &inst->diag, FLDR_ERR_OPEN_FILE, nullptr, 0, 0, language, out_code);
                fldr_print_err_at(inst, FLDR_ERR_OPEN_FILE, where, why);
            }
            continue;
        }
        cur->handle = handle;
        cur->file_size = os_file_size_in_bytes(handle);
        cur->file_offset = 0;
        return 0;
    }
}

/* ============================================================ copy rows */

int32_t fldr_cpy_rows(fldr_inst *inst, fldr_read_info *info, fldr_row_buf *rb, uint32_t max_rows,
                      uint32_t *out_rows, uint32_t *out_full)
{
    *out_rows = 0;
    fldr_data_file *df = info->cur_file;
    if (df == nullptr)
        return FLDR_ERR_NULL_POINTER;
    const char *term = df->row_term;
    const uint16_t term_len = df->row_term_len;
    if (term_len == 0)
        return FLDR_ERR_ROW_TERM;

    /* The offsets array bounds the rows as much as the caller does. */
    const uint32_t room_rows = rb->row_cnt < FLDR_ROW_BUF_ROWS ? FLDR_ROW_BUF_ROWS - rb->row_cnt : 0;
    const uint32_t limit = std::min(max_rows, room_rows);
    uint32_t found = 0;
    uint64_t fill = rb->used;          /* row buffer level with the rows found */
    uint32_t copied = rb->used;        /* row buffer level with the rows copied */
    const char *scan = info->buf + info->pos;
    const char *copy_from = scan;
    int32_t rc = 0;

    /* Moves the rows found since copy_from into the row buffer with one copy. */
    auto flush = [&]() {
        const size_t n = static_cast<size_t>(scan - copy_from);
        if (n != 0)
            std::memcpy(rb->data + copied, copy_from, n);
        copied += static_cast<uint32_t>(n);
        info->pos = static_cast<uint32_t>(scan - info->buf);
        copy_from = scan;
    };

    for (;;) {
        if (found >= limit) {
            if (found < max_rows)
                *out_full = 1;          /* the offsets array is full */
            flush();
            break;
        }
        const char *data_end = info->buf + info->len;
        const char *hit = fldr_search_row_end(inst, scan, static_cast<uint32_t>(data_end - scan), term_len, term);
        if (hit != nullptr) {
            const uint64_t row_len = static_cast<uint64_t>(hit - scan) + term_len;
            if (fill + row_len >= rb->cap) {
                *out_full = 1;
                flush();
                break;
            }
            rb->row_offs[rb->row_cnt + found] = static_cast<uint32_t>(fill);
            fill += row_len;
            scan += row_len;
            ++found;
            continue;
        }
        if (at_file_end(df)) {
            const uint64_t rest = static_cast<uint64_t>(data_end - scan);
            if (rest != 0) {
                if (fill + rest < rb->cap) {
                    /* The file's last row, without a terminator. */
                    rb->row_offs[rb->row_cnt + found] = static_cast<uint32_t>(fill);
                    fill += rest;
                    scan += rest;
                    ++found;
                    rc = FLDR_FILE_READ_OVER;
                } else {
                    *out_full = 1;
                }
            }
            flush();
            break;
        }
        /* More of the file is needed to complete the row at scan. */
        flush();
        rc = fldr_read_more(info);
        if (rc < 0)
            break;
        rc = 0;
        if (term_len != 1)
            info->buf[info->len] = '\0';
        scan = info->buf + info->pos;
        copy_from = scan;
    }

    rb->row_cnt += found;
    rb->used = static_cast<uint32_t>(fill);
    *out_rows = found;
    if (*out_full == 1 && rb->used == 0)
        return FLDR_ERR_DATA2;         /* not even one row fits */
    return rc;
}

/* ============================================================ fill rows */

int32_t fldr_get_rows_new(fldr_env *env, fldr_inst *inst, uint32_t language, uint32_t out_code,
                          fldr_ctl *ctl, fldr_read_info *info, fldr_row_buf *rb, uint32_t max_rows)
{
    if (max_rows == 0)
        return 0;
    uint32_t wanted = max_rows;
    int32_t rc;
    for (;;) {
        rc = fldr_get_next_file(env, inst, language, out_code, ctl, info);
        if (rc < 0)
            break;
        if (rc == FLDR_FILE_LOAD_OVER)
            return rc;
        uint32_t got = 0;
        uint32_t full = 0;
        rc = fldr_cpy_rows(inst, info, rb, wanted, &got, &full);
        if (rc < 0)
            break;
        wanted -= got;
        if (full != 0 || wanted == 0)
            return rc;
        /* The file is exhausted: the next one fills the rest of the buffer. */
    }
    if (inst != nullptr)
        fldr_add_diag_rec(env, &inst->diag, rc, nullptr, 0, 0, language, out_code);
    return rc;
}

/* ============================================================ count rows */

int32_t fldr_get_rowcount(fldr_read_info *info, void *reserved, uint32_t *out_count)
{
    (void)reserved;
    uint32_t count = 0;
    fldr_data_file *df = info->cur_file;
    if (df == nullptr || df->row_term_len == 0) {
        *out_count = 0;
        return df == nullptr ? FLDR_ERR_NULL_POINTER : FLDR_ERR_ROW_TERM;
    }
    const char *term = df->row_term;
    const uint16_t term_len = df->row_term_len;
    const char *scan = info->buf + info->pos;
    for (;;) {
        const char *data_end = info->buf + info->len;
        const char *hit = fldr_search_row_plain(scan, static_cast<uint32_t>(data_end - scan), term, term_len);
        if (hit != nullptr) {
            ++count;
            scan = hit + term_len;
            continue;
        }
        if (at_file_end(df)) {
            const bool rest = scan < data_end;
            if (rest)
                ++count;
            info->pos = info->len;
            *out_count = count;
            return rest ? FLDR_FILE_READ_OVER : 0;
        }
        info->pos = static_cast<uint32_t>(scan - info->buf);
        const int32_t rc = fldr_read_more(info);
        if (rc < 0) {
            info->pos = info->len;
            *out_count = count;
            return rc;
        }
        if (term_len != 1)
            info->buf[info->len] = '\0';
        scan = info->buf + info->pos;
    }
}

/* ============================================================= skip rows */

namespace {

/*
** Counts up to `limit` rows in chunk[0, size) and returns the bytes they
** take. The unterminated rest of a chunk is left for the next chunk, which
** starts at that row, so a row (or a terminator of several bytes) cut by
** the chunk boundary is seen whole; a chunk without any terminator is
** consumed but for the bytes that could begin a cut terminator. In the last
** chunk a non-empty rest is one more row.
*/
size_t count_rows_in_chunk(fldr_inst *inst, const char *chunk, size_t size, uint64_t limit, bool last,
                           const char *term, uint16_t term_len, uint64_t *counted)
{
    const char *end = chunk + size;
    const char *p = chunk;
    uint64_t rows = 0;
    while (rows < limit && p < end) {
        const char *hit = fldr_search_row_end(inst, p, static_cast<uint32_t>(end - p), term_len, term);
        if (hit == nullptr) {
            if (last) {
                ++rows;
                p = end;
            } else if (rows == 0) {
                /* A row longer than the chunk: move on through it, keeping
                ** the bytes that may begin a terminator cut by the boundary. */
                const size_t keep = std::min<size_t>(static_cast<size_t>(end - p) - 1, term_len - 1u);
                p = end - keep;
            }
            break;
        }
        ++rows;
        p = hit + term_len;
    }
    *counted = rows;
    return static_cast<size_t>(p - chunk);
}

}  // namespace

int32_t fldr_skip_rows_sized(fldr_env *env, fldr_inst *inst, fldr_data_file *df, uint64_t rows,
                             uint64_t *out_skipped, uint32_t chunk_size, uint32_t pass_rows)
{
    *out_skipped = 0;
    char *chunk = static_cast<char *>(fldr_alloc(env, nullptr, static_cast<size_t>(chunk_size) + 10,
                                                 FLDR_TAG_FILE, __LINE__));
    if (chunk == nullptr)
        return FLDR_ERR_NO_TOKEN_BUFFER;   /* -503, the memory library's code */
    if (df->row_term_len == 0) {
        fldr_free(env, nullptr, chunk);
        return FLDR_ERR_ROW_TERM;
    }
    uint64_t remaining = rows;
    while (remaining > 0 && df->file_offset < df->file_size) {
        const uint64_t left_in_file = df->file_size - df->file_offset;
        const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(left_in_file, chunk_size));
        const bool last = left_in_file <= chunk_size;
        if (os_file_read_by_offset_normal(df->handle, df->file_offset, chunk, size) == 0) {
            fldr_free(env, nullptr, chunk);
            *out_skipped = rows - remaining;
            return FLDR_ERR_READ_FILE;
        }
        chunk[size] = '\0';
        uint64_t counted = 0;
        const size_t consumed = count_rows_in_chunk(inst, chunk, size, std::min<uint64_t>(remaining, pass_rows),
                                                    last, df->row_term, df->row_term_len, &counted);
        df->file_offset += consumed;
        remaining -= counted;
    }
    fldr_free(env, nullptr, chunk);
    *out_skipped = rows - remaining;
    return 0;
}

int32_t fldr_skip_rows_in_file(fldr_env *env, fldr_inst *inst, fldr_data_file *df, uint64_t rows,
                               uint64_t *out_skipped)
{
    return fldr_skip_rows_sized(env, inst, df, rows, out_skipped, FLDR_SKIP_CHUNK_SIZE, FLDR_SKIP_PASS_ROWS);
}
