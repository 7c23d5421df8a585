/*
** PostgreSQL connections of the reference loader.
**
** A connection string is anything libpq takes: "key=value ..." or a
** postgresql:// URI; the PG* environment variables fill what it leaves out,
** as libpq does. Every failure is told as one line that names what failed
** (line breaks and runs of blanks of the server's or libpq's text folded),
** and never repeats the connection string, which may hold a password.
*/
#ifndef QXFLDR_PG_CONN_H
#define QXFLDR_PG_CONN_H

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "sql_ident.h"

namespace qxpg {

/* One line: line breaks and runs of blanks become one space, ends trimmed. */
std::string one_line(std::string_view text);

/* The error of a result (or of the connection when the result has none), on one line. */
std::string result_message(const PGconn *conn, const PGresult *res);

/* SQLSTATE of a result, or "" when it has none (the connection was lost). */
std::string result_sqlstate(const PGresult *res);

/*
** The error of a statement means the session is gone: the connection is
** closed, libpq made the error itself (no SQLSTATE: the socket failed), or
** the server said it is ending the session (class 08, 57P01 to 57P03).
*/
bool session_lost(PGconn *conn, const std::string &sqlstate);

using qxfldr::quote_ident;

/* An owned connection. */
class Conn {
public:
    Conn() = default;
    explicit Conn(PGconn *conn) : conn_(conn) {}
    Conn(Conn &&other) noexcept : conn_(other.conn_) { other.conn_ = nullptr; }
    Conn &operator=(Conn &&other) noexcept;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn() { close(); }

    /*
    ** Opens a connection. On failure returns false with `error` such as
    ** "cannot connect to PostgreSQL: password authentication failed for user \"x\"".
    ** A connect timeout of 10 seconds applies unless the string or
    ** PGCONNECT_TIMEOUT gives one.
    */
    bool open(const std::string &conninfo, std::string &error);
    void close();

    PGconn *get() const { return conn_; }
    explicit operator bool() const { return conn_ != nullptr; }
    /* The connection is no longer usable (server gone, network down). */
    bool lost() const;

    /* Runs SQL that returns no rows; false with a one-line `error`. */
    bool exec(const std::string &sql, std::string &error);

private:
    PGconn *conn_ = nullptr;
};

/* An owned result. */
class Result {
public:
    explicit Result(PGresult *res = nullptr) : res_(res) {}
    Result(Result &&other) noexcept : res_(other.res_) { other.res_ = nullptr; }
    Result &operator=(Result &&other) noexcept
    {
        if (this != &other) {
            PQclear(res_);
            res_ = other.res_;
            other.res_ = nullptr;
        }
        return *this;
    }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    ~Result() { PQclear(res_); }

    PGresult *get() const { return res_; }
    ExecStatusType status() const { return PQresultStatus(res_); }

private:
    PGresult *res_;
};

} // namespace qxpg

#endif
