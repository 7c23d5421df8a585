/*
** A PostgreSQL load target as the loader's workers use it: the table is
** described once, on a first connection, and every worker then opens a
** connection of its own with a batch writer over it, so that workers stream
** their COPYs to the server side by side.
**
** Rules:
**   (1) open() checks everything a load needs before a row is read: the
**       connection string, the table, every column's type;
**   (2) workers are made by one thread (before the worker threads start);
**       a worker's connection is then used by that worker's thread only;
**   (3) counts are the worker's own; the caller adds them up.
*/
#ifndef QXFLDR_PG_TARGET_H
#define QXFLDR_PG_TARGET_H

#include <memory>
#include <string>

#include "pg_batch.h"
#include "pg_catalog.h"
#include "pg_conn.h"

namespace qxpg {

class Target;

/* One worker's connection and batch. */
class Worker {
public:
    BatchWriter &writer() { return *writer_; }
    Conn &conn() { return conn_; }

    uint64_t committed = 0;  /* rows this worker committed */
    uint64_t refused = 0;    /* rows refused by the server or the encoder */

private:
    friend class Target;
    Conn conn_;
    std::unique_ptr<BatchWriter> writer_;
};

class Target {
public:
    /* Connects, describes `table` and keeps the first connection for the first worker. */
    bool open(const std::string &conninfo, const std::string &table, std::string &error);

    const Table &table() const { return table_; }
    Table &table() { return table_; }

    /* A worker with its own connection; null with `error` when it cannot connect. */
    std::unique_ptr<Worker> make_worker(std::string &error);

    /* Runs a statement on a connection of its own (TRUNCATE before a REPLACE load). */
    bool exec_once(const std::string &sql, std::string &error);

private:
    std::string conninfo_;
    Table table_;
    Conn first_;   /* the describing connection, handed to the first worker */
};

} // namespace qxpg

#endif
