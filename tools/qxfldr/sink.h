/*
** The database side of a load: a sink takes finished rows of typed values
** and stores them. The loader never talks to a database except through this
** interface, so the per-row value pipeline (fields -> column values) is the
** same whatever the target.
**
** Rules of a sink:
**   (1) describe() is called once per table before any row is read; a table
**       or column that does not exist is an error there, not later.
**   (2) rows arrive only between begin() and commit()/rollback(); one batch
**       is one transaction: after commit() its rows are durable, after
**       rollback() or a crash none of them are.
**   (3) a sink is driven by one thread (the writer); it need not lock.
*/
#ifndef QXFLDR_TOOL_SINK_H
#define QXFLDR_TOOL_SINK_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qxfldr {

/* One column of a target table as the database describes it. */
struct TableColumn {
    std::string name;        /* as the database spells it */
    std::string decl_type;   /* declared type text, e.g. "VARCHAR(20)" */
    uint16_t    type = 2;    /* library type code (qxdta.h) */
    uint32_t    length = 0;  /* declared length in characters, 0 when none */
    bool        not_null = false;
};

struct TableDesc {
    std::string              name;
    std::vector<TableColumn> cols;
    bool any_columns = false;  /* a sink without a schema: every named column
                                  exists and takes text */
};

/* One value of a row, ready for the database: 16 bytes, so that a batch of
** a chunk's rows stays small next to the chunk. */
struct Value {
    union {
        int64_t i;           /* Int */
        double  r;           /* Real */
        struct {
            uint32_t off;    /* Text: offset into the batch arena */
            uint32_t len;    /* Text: bytes */
        } t;
    };
    enum Kind : uint8_t { Null, Int, Real, Text } kind = Null;
};

/* Rows of one table converted by one worker: values row after row, texts in
** one arena. */
struct RowBatch {
    uint32_t           table = 0;      /* index of the target table */
    uint32_t           width = 0;      /* values per row */
    std::vector<Value> values;         /* rows * width */
    std::string        arena;          /* bytes of the text values */
    uint64_t rows() const { return width == 0 ? 0 : values.size() / width; }
};

class Sink {
public:
    virtual ~Sink() = default;
    /* Fills desc for the table; false with err set when it cannot. */
    virtual bool describe(const std::string &table, TableDesc &desc, std::string &err) = 0;
    /* Prepares the insert of `cols` (names) into table number `table_no`. */
    virtual bool prepare(uint32_t table_no, const std::string &table,
                         const std::vector<std::string> &cols, std::string &err) = 0;
    virtual bool begin(std::string &err) = 0;
    /* Stores rows [from, to) of the batch; false with err when the database
    ** refuses one (the open transaction is then to be rolled back). */
    virtual bool insert(const RowBatch &batch, uint64_t from, uint64_t to, std::string &err) = 0;
    virtual bool commit(std::string &err) = 0;
    virtual void rollback() = 0;
    /* Removes every row of the table (load mode REPLACE). */
    virtual bool truncate(const std::string &table, std::string &err) = 0;
    /* Number of rows in the table (load mode INSERT needs an empty table). */
    virtual int64_t row_count(const std::string &table, std::string &err) = 0;
};

/* SQLite database at path (created when missing). */
std::unique_ptr<Sink> make_sqlite_sink(const std::string &path, std::string &err);
/* The sink that stores nothing (db=:none:): every table exists, every
** column takes text; rows are counted and dropped. */
std::unique_ptr<Sink> make_none_sink();

/* PostgreSQL server by libpq connection string or postgresql:// URI (sink_pg.cpp). */
bool is_pg_target(const std::string &db);
std::unique_ptr<Sink> make_pg_sink(const std::string &conninfo, std::string &err);
/* mode=OUT from PostgreSQL (tool.h's ExportRequest; the exit code). */
struct ExportRequest;
int run_pg_export(const ExportRequest &req);

/* Library type code and length of a declared SQL type. */
void map_decl_type(const std::string &decl, uint16_t &type, uint32_t &length);

}  // namespace qxfldr

#endif
