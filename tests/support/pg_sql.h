/*
** The PostgreSQL suites' side of the test server: a connection of the
** bootstrap user, and the rows of a query as text.
*/
#ifndef QX_TESTS_PG_SQL_H
#define QX_TESTS_PG_SQL_H

#include <string>
#include <vector>

#include "pg_conn.h"
#include "support/pg_cluster.h"

namespace pgtest {

inline qxpg::Conn connect()
{
    qxpg::Conn conn;
    std::string error;
    EXPECT_TRUE(conn.open(cluster().conninfo(), error)) << error;
    return conn;
}

/* Every row of a query as text, fields joined by '|', nulls as "<null>"; a
** failed query gives the one row "SQL error: ...". */
inline std::vector<std::string> rows_of(PGconn *conn, const std::string &query)
{
    qxpg::Result res(PQexec(conn, query.c_str()));
    if (res.status() != PGRES_TUPLES_OK)
        return {std::string("SQL error: ") + PQerrorMessage(conn)};
    std::vector<std::string> out;
    for (int r = 0; r < PQntuples(res.get()); ++r) {
        std::string line;
        for (int c = 0; c < PQnfields(res.get()); ++c) {
            line += c > 0 ? "|" : "";
            line += PQgetisnull(res.get(), r, c) ? "<null>" : PQgetvalue(res.get(), r, c);
        }
        out.push_back(line);
    }
    return out;
}

}  // namespace pgtest

#endif
