/*
** Which sink a db= argument names: the one place a new target is added.
*/
#include "sink.h"

namespace qxfldr {

std::unique_ptr<Sink> make_sink(const std::string &db, std::string &err)
{
    if (db == ":none:")
        return make_none_sink();
    if (is_pg_target(db))
        return make_pg_sink(db, err);
    return make_sqlite_sink(db, err);
}

bool is_server_target(const std::string &db)
{
    return is_pg_target(db);
}

std::string target_display_name(const std::string &db)
{
    return is_pg_target(db) ? pg_display_name(db) : db;
}

}  // namespace qxfldr
