/*
** Load and export summaries.
**
** When a load or an export fails before it starts, the tool prints the
** failure, its reason and the statistics block with every count at zero. The
** texts are console messages of the library's language (fldr_mout_lookup);
** everything goes to the console through aq_printf_inner, the report as one
** plain text ("%s"), so percent signs in a reason are printed as they are.
*/
#include <cstring>
#include <initializer_list>

#include "fldr_internal.h"
#include "qxutl.h"

namespace {

constexpr size_t kReportSize = 4096;   /* whole report, terminator included */

/* Console message codes of the summaries. */
enum : int32_t {
    kMsgDestTable = -10011,
    kMsgDestSchemaTable = -10012,
    kMsgRowsLoaded = -10017,
    kMsgRowsFormatError = -10019,
    kMsgRowsDataError = -10021,
    kMsgSkipCount = -10023,
    kMsgReadCount = -10025,
    kMsgRefuseCount = -10027,
    kMsgTimeUsed = -10032,
    kMsgExported = -10038,
};

/* A report that never grows past its buffer; what does not fit is cut. */
class Report {
public:
    void append(const char *text, size_t len)
    {
        size_t room = kReportSize - 1 - len_;
        if (len > room) len = room;
        memcpy(buf_ + len_, text, len);
        len_ += len;
        buf_[len_] = '\0';
    }
    void append(const char *text) { append(text, strlen(text)); }
    const char *text() const { return buf_; }
    size_t length() const { return len_; }
    size_t room() const { return kReportSize - 1 - len_; }

private:
    char   buf_[kReportSize] = {};
    size_t len_ = 0;
};

} // namespace

extern "C" {

int32_t fldr_print_after_load_err(fldr_args *args, const char *reason)
{
    Report head;
    char line[MOUT_LINE_MAX];
    if (args->schema_name[0])
        fldr_mout_lookup(line, kMsgDestSchemaTable, 2, args->schema_name, args->table_name);
    else
        fldr_mout_lookup(line, kMsgDestTable, 1, args->table_name);
    head.append(line);
    head.append("load fail.\n");

    Report counts;
    for (int32_t code : {kMsgRowsLoaded, kMsgRowsFormatError, kMsgRowsDataError, kMsgSkipCount,
                         kMsgReadCount, kMsgRefuseCount}) {
        fldr_mout_lookup(line, code, 1, (int64_t)0);
        counts.append(line);
    }
    fldr_mout_lookup(line, kMsgTimeUsed, 2, (long)0, (long)0);
    counts.append(line);

    /* A reason too long for the report is cut so that the counts still show. */
    Report report;
    report.append(head.text(), head.length());
    size_t room = report.room() > counts.length() + 1 ? report.room() - counts.length() - 1 : 0;
    if (reason) {
        uint32_t kept = 0;
        size_t reason_len = strlen(reason);
        if (reason_len > room) {
            char cut[kReportSize];
            utl_trunc_str_ex(reason, cut, (uint32_t)room, &kept);
            report.append(cut, kept);
        } else {
            report.append(reason, reason_len);
        }
    }
    report.append("\n");
    report.append(counts.text(), counts.length());

    aq_printf_inner("%s", report.text());
    return FLDR_OK;
}

int32_t fldr_print_after_export_err(const char *reason)
{
    aq_printf_inner("export fail.\n%s\n", reason ? reason : "");
    char line[MOUT_LINE_MAX];
    fldr_mout_lookup(line, kMsgExported, 3, (int64_t)0, (long)0, (long)0);
    aq_printf_inner("%s", line);
    return FLDR_OK;
}

} // extern "C"
