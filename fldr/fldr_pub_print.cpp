/*
** Error printing and error info.
**
** One reported error becomes: a console line on standard error (unless the
** load is silent), the instance's last message, and a log line. Log lines go
** either straight to the instance's log file (under the global log_mutex) or
** into the owning instance's log buffers, which a writer thread of the tool
** drains.
**
** Buffer protocol (the writer is the tool's; this side only appends):
**   (1) log_cur, the full list and log_full_count change only under log_lock.
**   (2) A line's space is reserved under log_lock (used += need) with
**       `writers` raised before the lock is left; the bytes are copied
**       outside the lock and `writers` is lowered afterwards. The writer
**       must see writers == 0 before it writes a full buffer out.
**   (3) A line is placed only when used + need < size; a buffer that cannot
**       take it goes to the tail of the full list, log_event is set and
**       log_cur is cleared until the writer installs a fresh one.
**   (4) A line that could not fit even in an empty buffer of log_cur's size
**       is written straight to the log file instead of waiting for ever.
*/
#include <cstdio>
#include <cstring>

#include "fldr_internal.h"
#include "qxcvt.h"
#include "qxutl.h"

namespace {

constexpr uint32_t kWorkSize = 4096;    /* conversion work area of a caller's text */
constexpr uint32_t kMsgCvtSize = 2049;  /* conversion size of a table message */
constexpr uint32_t kWaitMs = 10;        /* sleep while the writer supplies a buffer */

/* The message of `code` in `language`, in the output set `out_code`, into line. */
void message_line(const fldr_inst *inst, int32_t code, char *line, uint32_t size)
{
    const fldr_emsg_row *row = fldr_emsg_lookup(code);
    const char *text;
    switch (inst->language) {
    case FLDR_LANG_ZH_CN: text = row->text_zh_cn; break;
    case FLDR_LANG_ZH_TW: text = row->text_zh_tw; break;
    default:
        /* English texts are ASCII: shown as they are in every output set. */
        snprintf(line, size, "%s", row->text_en);
        return;
    }

    uint32_t used = 0, bad = 0, produced = 0;
    if (inst->out_code == QXCVT_UTF8) {
        qx_LocalToUtf(text, (uint32_t)strlen(text), QXCVT_GB18030, line, kMsgCvtSize - 1, &used,
                      &bad, &produced);
        line[produced] = '\0';
    } else if (inst->out_code == QXCVT_BIG5) {
        char utf8[kMsgCvtSize];
        qx_LocalToUtf(text, (uint32_t)strlen(text), QXCVT_GB18030, utf8, kMsgCvtSize - 1, &used,
                      &bad, &produced);
        utf8[produced] = '\0';
        produced = 0;
        qx_UtfToLocal(utf8, (uint32_t)strlen(utf8), QXCVT_BIG5, line, kMsgCvtSize - 1, &used,
                      &bad, &produced);
        line[produced] = '\0';
    } else {
        snprintf(line, size, "%s", text);
    }
}

/* last_msg holds at most 4095 bytes of the line, cut at a character boundary. */
void set_last_msg(fldr_inst *inst, const char *line)
{
    fldr_lock(&inst->msg_lock);
    size_t len = strnlen(line, sizeof inst->last_msg);
    if (len < sizeof inst->last_msg) {
        memcpy(inst->last_msg, line, len + 1);
    } else {
        uint32_t kept = 0;
        utl_trunc_str_ex(line, inst->last_msg, sizeof inst->last_msg - 1, &kept);
        inst->last_msg[kept] = '\0';
    }
    fldr_unlock(&inst->msg_lock);
}

bool errinfo_closed(const fldr_inst *inst)
{
    return inst->errinfo_gate != 0 && (inst->errinfo_flags & 1u) == 0;
}

/* Hands log_cur to the writer (tail of the full list). Under log_lock. */
void hand_over_current(fldr_inst *owner)
{
    fldr_log_buf *buf = owner->log_cur;
    buf->prev = owner->log_full_last;
    buf->next = nullptr;
    if (owner->log_full_last)
        owner->log_full_last->next = buf;
    else
        owner->log_full_first = buf;
    owner->log_full_last = buf;
    owner->log_full_count++;
    os_event2_set(&owner->log_event);
    owner->log_cur = nullptr;
}

int32_t print_err(fldr_inst *inst, int32_t code, const char *text, uint16_t mode)
{
    /* Large enough for a converted caller text and for any table message. */
    static_assert(kWorkSize + 1 >= kMsgCvtSize);
    char work[kWorkSize + 1];
    const char *line = work;
    uint32_t used = 0, bad = 0, produced = 0;

    if (text) {
        switch (mode) {
        case 0: line = text; break;
        case 1:
            qx_UtfToLocal(text, (uint32_t)strlen(text), QXCVT_GB18030, work, kWorkSize, &used, &bad,
                          &produced);
            work[produced] = '\0';
            break;
        default:
            qx_LocalToUtf(text, (uint32_t)strlen(text), QXCVT_GB18030, work, kWorkSize, &used, &bad,
                          &produced);
            work[produced] = '\0';
            break;
        }
    } else {
        message_line(inst, code, work, sizeof work);
    }

    if (!inst->silent) fprintf(stderr, "%s\n", line);
    set_last_msg(inst, line);
    if (errinfo_closed(inst)) return code;
    fldr_fill_err_info_low(inst, line, (uint32_t)strlen(line));
    return code;
}

} // namespace

extern "C" {

int32_t fldr_print_err_at(fldr_inst *inst, int32_t code, const char *where, int32_t os_error)
{
    char line[kMsgCvtSize + 512];
    message_line(inst, code, line, kMsgCvtSize);
    size_t len = strlen(line);
    if (where != nullptr)
        len += (size_t)snprintf(line + len, sizeof line - len, ": %s", where);
    if (os_error != 0 && len < sizeof line)
        snprintf(line + len, sizeof line - len, ": %s", strerror(os_error));
    return print_err(inst, code, line, 0);
}

int32_t fldr_print_err(fldr_inst *inst, int32_t code, const char *text, uint16_t mode)
{
    return print_err(inst, code, text, mode);
}

int32_t fldr_print_err_ex(fldr_inst *inst, int32_t code, const char *text, uint16_t mode)
{
    return print_err(inst, code, text, mode);
}

int32_t fldr_fill_err_info(fldr_inst *inst, const char *text, uint32_t len)
{
    if (errinfo_closed(inst)) return FLDR_OK;
    return fldr_fill_err_info_low(inst, text, len);
}

int32_t fldr_fill_err_info_low(fldr_inst *inst, const char *text, uint32_t len)
{
    fldr_inst *owner = inst->log_owner ? inst->log_owner : inst;
    if (!owner->log_buffered)
        return fldr_log_data_direct(inst, &inst->log_file, &g_fldr_obj.log_mutex, text, len);

    char head[FLDR_LOG_HEAD_MAX];
    fldr_log_set_head_info(inst->head_name1, inst->head_name2, head);
    uint32_t head_len = (uint32_t)strlen(head);
    uint64_t need = (uint64_t)head_len + len + 1;

    fldr_lock(&owner->log_lock);
    for (;;) {
        fldr_log_buf *cur = owner->log_cur;
        if (cur) {
            if (need >= cur->size) {
                /* Never fits a buffer of this size: no point in waiting. */
                fldr_unlock(&owner->log_lock);
                return fldr_log_data_direct(inst, &inst->log_file, &g_fldr_obj.log_mutex, text, len);
            }
            if (cur->used + need < cur->size) break;
            hand_over_current(owner);
        }
        fldr_unlock(&owner->log_lock);
        os_thread_sleep(kWaitMs);
        fldr_lock(&owner->log_lock);
    }
    fldr_log_buf *cur = owner->log_cur;
    char *dest = cur->data + cur->used;
    cur->used += (uint32_t)need;
    os_interlock_inc(&cur->writers);
    fldr_unlock(&owner->log_lock);

    memcpy(dest, head, head_len);
    memcpy(dest + head_len, text, len);
    dest[head_len + len] = '\n';
    os_interlock_dec(&cur->writers);
    return FLDR_OK;
}

} // extern "C"
