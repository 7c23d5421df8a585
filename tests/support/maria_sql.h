/*
** The MariaDB suites' side of the test servers: a connection of the test
** user, the rows of a query as text, the few spellings the shared
** scenarios use that MariaDB reads otherwise, and a load into server 0.
*/
#ifndef QX_TESTS_MARIA_SQL_H
#define QX_TESTS_MARIA_SQL_H

#include <string>
#include <vector>

#include "maria_conn.h"
#include "support/maria_cluster.h"
#include "support/qxfldr_run.h"

namespace mariatest {

/* A connection to server i as qx, where || joins strings (as the scenarios write it). */
inline qxmaria::Conn connect(int i, const std::string &db = "qx")
{
    qxmaria::Conn conn;
    qxmaria::Endpoint ep;
    std::string error;
    EXPECT_TRUE(qxmaria::parse_uri(cluster().uri(i, db), ep, error)) << error;
    EXPECT_TRUE(conn.open(ep, error)) << error;
    EXPECT_TRUE(conn.exec("SET SESSION sql_mode = CONCAT(@@sql_mode, ',PIPES_AS_CONCAT')", error)) << error;
    return conn;
}

/* CAST(x AS TEXT) is CAST(x AS CHAR) here. */
inline std::string dialect(std::string sql)
{
    for (size_t at; (at = sql.find(" AS TEXT)")) != std::string::npos;)
        sql.replace(at, 9, " AS CHAR)");
    return sql;
}

/* Every row of a query as text, fields joined by '|', nulls as "<null>". */
inline std::vector<std::string> rows_of(qxmaria::Conn &conn, const std::string &query)
{
    std::vector<qxmaria::Row> rows;
    std::string err;
    if (!conn.query(dialect(query), rows, err))
        return {"SQL error: " + err};
    std::vector<std::string> out;
    for (const qxmaria::Row &r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); c++)
            line += (c ? "|" : "") + r[c].value_or("<null>");
        out.push_back(line);
    }
    return out;
}

/* qxfldr run with control file `ctl` into database qx of server 0. */
inline qxtest::RunResult load(qxtest::Dir &dir, const std::string &ctl, std::vector<std::string> extra = {})
{
    dir.write("t.ctl", ctl);
    extra.insert(extra.begin(), {"control=" + (dir / "t.ctl"), "db=" + cluster().uri(0)});
    return qxtest::run(dir, extra);
}

} // namespace mariatest

#endif
