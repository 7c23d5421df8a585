/*
** A PostgreSQL load target: see pg_target.h.
*/
#include "pg_target.h"

namespace qxpg {

bool Target::open(const std::string &conninfo, const std::string &table, std::string &error)
{
    conninfo_ = conninfo;
    if (!first_.open(conninfo, error))
        return false;
    if (!describe_table(first_.get(), table, table_, error)) {
        first_.close();
        return false;
    }
    return true;
}

std::unique_ptr<Worker> Target::make_worker(std::string &error)
{
    auto worker = std::make_unique<Worker>();
    if (first_) {
        worker->conn_ = std::move(first_);
    } else if (!worker->conn_.open(conninfo_, error)) {
        return nullptr;
    }
    worker->writer_ = std::make_unique<BatchWriter>(worker->conn_.get(), table_);
    return worker;
}

bool Target::exec_once(const std::string &sql, std::string &error)
{
    Conn conn;
    if (!conn.open(conninfo_, error))
        return false;
    if (!conn.exec(sql, error)) {
        error = "PostgreSQL refused \"" + sql + "\": " + error;
        return false;
    }
    return true;
}

} // namespace qxpg
