/*
** Which sink a db= argument names: the one place a new target is added.
*/
#include "sink.h"

#include <chrono>
#include <thread>

namespace qxfldr {

Settled settle_with_retries(const std::function<Settled()> &send, LockWait wait)
{
    constexpr int kConflictRetries = 8;
    for (int retry = 1;; ++retry) {
        const Settled res = send();
        if (res != Settled::Blocked || wait == LockWait::Bounded)
            return res;
        if (retry > kConflictRetries)
            return Settled::Failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 * retry * retry));
    }
}

std::unique_ptr<Sink> make_sink(const std::string &db, std::string &err)
{
    if (db == ":none:")
        return make_none_sink();
    /* Before PostgreSQL: a mariadb:// URI with ?socket= holds a '=' too. */
    if (is_maria_target(db))
        return make_maria_sink(db, err);
    if (is_pg_target(db))
        return make_pg_sink(db, err);
    return make_sqlite_sink(db, err);
}

bool is_server_target(const std::string &db)
{
    return is_maria_target(db) || is_pg_target(db);
}

std::string target_display_name(const std::string &db)
{
    return is_maria_target(db) ? maria_display_name(db) : is_pg_target(db) ? pg_display_name(db) : db;
}

}  // namespace qxfldr
