/*
** Log and bad-data files: the line format and the five writers.
**
** A line is
**     <program>: YYYY-MM-DD HH:MM:SS [<name1>->][<name2>] <text>\n
** The head ends in a blank and the name part adds one more, so with no names
** the text starts after two blanks.
**
** Two ways to the file:
**   - through a fldr_file record (fldr_log_data_direct): the line is built
**     outside the lock and appended with fldr_write_file; the record is closed
**     again afterwards, so another process (or another record) may append in
**     between;
**   - by path (fldr_log_by_offset*, fldr_log_write_to_file): the runtime's
**     append (os_file_append_path), one open/write/close per piece, the whole
**     line under the caller's lock so that lines of different threads never
**     interleave.
*/
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fldr_internal.h"

namespace {

constexpr size_t kLocalLineBuf = 2048;   /* line built on the stack up to this size */
constexpr size_t kLineReserve = 300;     /* head, names and line feed */
constexpr size_t kNameCut = 128;         /* names of fldr_log_by_offset_low */
constexpr size_t kNamePartBuf = 1024;

/* The local time of the head; a clock before 1970 reads as the last 32-bit second. */
struct tm log_local_time()
{
    time_t now = time(nullptr);
    if (now < 0) now = 0x7FFFFFFF;
    struct tm parts {};
    localtime_r(&now, &parts);
    return parts;
}

int format_head(char *dest, size_t size, const char *program)
{
    struct tm t = log_local_time();
    return snprintf(dest, size, "%s: %04d-%02d-%02d %02d:%02d:%02d ", program, t.tm_year + 1900,
                    t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

/*
** Name part into dest (size bytes, always terminated): name1 cut at
** name1_max characters plus "->" when given and not empty, name2 when given,
** then one blank. Returns the length written.
*/
size_t format_names(char *dest, size_t size, const char *name1, size_t name1_max, const char *name2,
                    size_t name2_max)
{
    int n1 = 0;
    if (name1 && name1[0]) n1 = (int)strnlen(name1, name1_max);
    int n2 = name2 ? (int)strnlen(name2, name2_max) : 0;
    int n = snprintf(dest, size, "%.*s%s%.*s ", n1, n1 ? name1 : "", n1 ? "->" : "", n2,
                     n2 ? name2 : "");
    if (n < 0) {
        dest[0] = '\0';
        return 0;
    }
    return (size_t)n < size ? (size_t)n : size - 1;
}

/* One piece appended by path; a failure is the caller's to report or not. */
bool append_piece(const char *path, const char *data, size_t len)
{
    return os_file_append_path(path, data, static_cast<uint32_t>(len)) != 0;
}

/*
** Head and names of an instance's line. Instance names live in 129-byte
** arrays, so they are read at most 128 characters long; the whole head then
** stays inside kLineReserve.
*/
size_t write_inst_head(const fldr_inst *inst, char *dest, size_t size)
{
    int h = format_head(dest, size, FLDR_LOG_PROGRAM);
    if (h < 0 || (size_t)h >= size) return strnlen(dest, size);
    return (size_t)h + format_names(dest + h, size - (size_t)h, inst->head_name1, kNameCut,
                                    inst->head_name2, kNameCut);
}

} // namespace

extern "C" {

int32_t fldr_log_set_head_info(const char *name1, const char *name2, char *dest)
{
    /* The caller sizes dest for the head and both names whole. */
    int h = format_head(dest, FLDR_LOG_HEAD_MAX, FLDR_LOG_PROGRAM);
    char *p = dest + h;
    if (name1 && name1[0]) {
        size_t n = strlen(name1);
        memcpy(p, name1, n);
        p += n;
        *p++ = '-';
        *p++ = '>';
    }
    if (name2) {
        size_t n = strlen(name2);
        memcpy(p, name2, n);
        p += n;
    }
    *p++ = ' ';
    *p = '\0';
    return FLDR_OK;
}

int32_t fldr_log_data_direct(fldr_inst *inst, fldr_file *file, os_mutex2_t *lock, const char *text,
                             uint32_t len)
{
    int32_t rc;
    if (inst->log_plain == 1) {
        rc = fldr_write_file(file, lock, text, len);
    } else {
        char local[kLocalLineBuf];
        size_t cap = (size_t)len + kLineReserve;
        char *line = local;
        if (cap > sizeof local) {
            line = (char *)fldr_alloc(nullptr, inst->mem_ctx, cap, FLDR_TAG_PUB, __LINE__);
            if (!line) return FLDR_ERR_NO_TOKEN_BUFFER;
        }
        size_t h = write_inst_head(inst, line, kLineReserve);
        memcpy(line + h, text, len);
        line[h + len] = '\n';
        rc = fldr_write_file(file, lock, line, (uint32_t)(h + len + 1));
        if (line != local) fldr_free(nullptr, inst->mem_ctx, line);
    }

    /* The log is not kept open between lines: other writers may append too. */
    if (lock) fldr_lock(lock);
    fldr_file_close(file);
    if (lock) fldr_unlock(lock);
    return rc;
}

int32_t fldr_log_by_offset_low(const char *path, const char *text, uint32_t len, os_mutex2_t *lock,
                               const char *name1, const char *name2, const char *program)
{
    char head[kLineReserve];
    int h = format_head(head, sizeof head, program ? program : FLDR_LOG_PROGRAM);
    size_t head_len = h < 0 ? 0 : ((size_t)h < sizeof head ? (size_t)h : sizeof head - 1);

    char names[kNamePartBuf];
    size_t names_len = format_names(names, sizeof names, name1, kNameCut, name2, sizeof names - 2);

    /* Write failures are silent here: a log line must never stop a load. */
    if (lock) fldr_lock(lock);
    append_piece(path, head, head_len);
    append_piece(path, names, names_len);
    append_piece(path, text, len);
    append_piece(path, "\n", 1);
    if (lock) fldr_unlock(lock);
    return FLDR_OK;
}

int32_t fldr_log_by_offset(const char *path, const char *text, uint32_t len, os_mutex2_t *lock)
{
    return fldr_log_by_offset_low(path, text, len, lock, nullptr, nullptr, FLDR_LOG_PROGRAM);
}

int32_t fldr_log_write_to_file(const char *path, const char *data, uint32_t len)
{
    /* A failed open, write or close all mean the data is not in the file. */
    return append_piece(path, data, len) ? FLDR_OK : FLDR_ERR_WRITE_FILE;
}

} // extern "C"
