/*
** PostgreSQL connections: opening, running plain statements, and turning
** libpq's multi-line messages into the one-line form the loader prints.
*/
#include "pg_conn.h"

#include <cstdlib>

namespace qxpg {

std::string one_line(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool blank = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

std::string result_message(const PGconn *conn, const PGresult *res)
{
    if (res != nullptr) {
        const char *primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
        if (primary != nullptr) {
            std::string msg = primary;
            if (const char *detail = PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL))
                msg += std::string(" (") + detail + ")";
            return one_line(msg);
        }
        const char *text = PQresultErrorMessage(res);
        if (text != nullptr && *text != '\0')
            return one_line(text);
    }
    if (conn != nullptr) {
        std::string msg = one_line(PQerrorMessage(conn));
        if (!msg.empty())
            return msg;
    }
    return "no message from the server";
}

std::string result_sqlstate(const PGresult *res)
{
    const char *state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    return state != nullptr ? state : "";
}

bool session_lost(PGconn *conn, const std::string &sqlstate)
{
    if (conn == nullptr || PQstatus(conn) == CONNECTION_BAD || sqlstate.empty())
        return true;
    return sqlstate.compare(0, 2, "08") == 0 || sqlstate == "57P01" || sqlstate == "57P02" ||
           sqlstate == "57P03";
}

bool Conn::lost() const
{
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD)
        return true;
    // An idle connection learns of a closed socket only when it reads.
    if (PQconsumeInput(conn_) == 0)
        return true;
    return PQstatus(conn_) == CONNECTION_BAD;
}

Conn &Conn::operator=(Conn &&other) noexcept
{
    if (this != &other) {
        close();
        conn_ = other.conn_;
        other.conn_ = nullptr;
    }
    return *this;
}

bool Conn::open(const std::string &conninfo, std::string &error)
{
    close();
    // Our settings come before "dbname": the expanded connection string and
    // the PG* variables override them, so the user's word wins.
    const char *keys[4];
    const char *values[4];
    int n = 0;
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
        keys[n] = "connect_timeout";
        values[n++] = "10";
    }
    keys[n] = "fallback_application_name";
    values[n++] = "qxfldr";
    keys[n] = "dbname";
    values[n++] = conninfo.c_str();
    keys[n] = nullptr;
    values[n] = nullptr;
    PGconn *conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr) {
        error = "cannot connect to PostgreSQL: out of memory";
        return false;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = "cannot connect to PostgreSQL: " + one_line(PQerrorMessage(conn));
        PQfinish(conn);
        return false;
    }
    // Notices (a server's warning that it is shutting down, for example)
    // would print loose lines on the console; every failure they precede
    // is reported by the caller as one line of its own.
    PQsetNoticeProcessor(conn, [](void *, const char *) {}, nullptr);
    conn_ = conn;
    return true;
}

void Conn::close()
{
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
}

bool Conn::exec(const std::string &sql, std::string &error)
{
    Result res(PQexec(conn_, sql.c_str()));
    ExecStatusType st = res.status();
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK)
        return true;
    error = result_message(conn_, res.get());
    return false;
}

} // namespace qxpg
