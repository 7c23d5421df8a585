/*
** What a load tells: see load_report.h.
*/
#include "load_report.h"

#include <cstdio>

namespace qxfldr {

namespace {

std::string format_duration(double seconds)
{
    char buf[32];
    const long s = static_cast<long>(seconds);
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string human_bytes(double b)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (b >= 1024 && u < 4) {
        b /= 1024;
        u++;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", b, units[u]);
    return buf;
}

/* A message of the library with one count (fldr_mout_lookup is variadic). */
std::string count_message(int32_t code, int64_t count)
{
    char buf[1024];
    fldr_mout_lookup(buf, code, 1, count);
    return buf;
}

}  // namespace

std::string progress_line(double bytes_done, double bytes_total, int64_t rows, double seconds)
{
    const double rate = rows / seconds;
    const double left = bytes_done > 0 ? (bytes_total - bytes_done) * seconds / bytes_done : 0;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s of %s, %lld rows, %.0f rows/s, %s left", human_bytes(bytes_done).c_str(),
                  human_bytes(bytes_total).c_str(), static_cast<long long>(rows), rate,
                  format_duration(left).c_str());
    return buf;
}

std::string group_summary(const Group &g, const std::string &log_path)
{
    std::string summary;
    for (const auto &tr : g.tables) {
        char buf[1024];
        if (tr->plan.ctl->schema_name[0] != '\0')
            fldr_mout_lookup(buf, -10012, 2, tr->plan.ctl->schema_name, tr->plan.ctl->table_name);
        else
            fldr_mout_lookup(buf, -10011, 1, tr->plan.ctl->table_name);
        summary += buf;
        summary += count_message(-10017, tr->loaded);
        summary += count_message(-10019, tr->rej_format);
        summary += count_message(-10021, tr->rej_data);
        if (tr->blank > 0)
            summary += std::to_string(tr->blank.load()) + " blank lines skipped.\n";
        if (tr->rej_format + tr->rej_data > 0)
            summary += "Rejected rows are in " + tr->bad->path() + ", their reasons in " + log_path + ".\n";
    }
    return summary;
}

std::string load_tail(const std::string &stop_reason, int64_t skipped, int64_t read, int64_t not_taken,
                      int64_t elapsed_us)
{
    std::string tail;
    if (!stop_reason.empty())
        tail += "\nload stopped: " + stop_reason + "\n";
    tail += count_message(-10023, skipped);
    tail += count_message(-10025, read);
    tail += count_message(-10027, not_taken);
    char buf[1024];
    fldr_mout_lookup(buf, -10032, 2, static_cast<long>(elapsed_us / 1000), static_cast<long>(elapsed_us % 1000));
    return tail + buf;
}

void print_both(LogFile &log, bool silent, const std::string &text)
{
    if (!silent) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    log.raw(text);
}

}  // namespace qxfldr
