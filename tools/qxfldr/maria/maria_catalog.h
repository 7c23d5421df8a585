/*
** Table descriptions read from the server's catalog (information_schema),
** and the mapping of MariaDB column types to the library's type codes
** (runtime/qxdta.h).
**
** Names: "db.table" is table `table` of database `db`; a name without a
** database is in the session's database. A name in backquotes or double
** quotes keeps its spelling; a bare name matches the one table whose name
** equals it ignoring case (the control file may have changed its case),
** the same spelling first when there are several.
**
** A column of a type the loader cannot feed exactly (spatial types, BIT) is
** refused by describe() with a message naming the column and the type;
** generated columns are left out (the server computes them).
*/
#ifndef QXFLDR_MARIA_CATALOG_H
#define QXFLDR_MARIA_CATALOG_H

#include <cstdint>
#include <string>
#include <vector>

#include "maria_conn.h"

namespace qxmaria {

struct Column {
    std::string name;          /* as the server spells it */
    std::string data_type;     /* information_schema DATA_TYPE, e.g. "varchar" */
    std::string column_type;   /* full type, e.g. "varchar(20)", "int(11) unsigned" */
    uint16_t    qx_type = 0;   /* library type code */
    uint32_t    length = 0;    /* characters of a CHAR/VARCHAR, 0 otherwise */
    bool        not_null = false;
};

struct Table {
    std::string database;      /* as stored */
    std::string name;          /* as stored */
    std::string engine;        /* e.g. "InnoDB", "SPIDER" */
    std::vector<Column> cols;  /* in column order, generated columns left out */
    /* `db`.`name`, for SQL text */
    std::string qualified() const { return quote_ident(database) + "." + quote_ident(name); }
};

/* A table name as the user wrote it, split and unquoted. */
struct TableRef {
    std::string database;      /* empty: the session's database */
    std::string name;
    bool        exact_db = false;    /* quoted: spelling kept */
    bool        exact_name = false;
};

/* Reads "name", "db.name", "`Mixed`.`Case`", "\"x\"". False when empty. */
bool parse_table_ref(const std::string &text, TableRef &out);

/* Library type code of a column type, or -1 when the loader cannot feed it. */
int32_t load_type_code(const std::string &data_type, const std::string &column_type);
/* True for an integer or floating column, which reads a binary number as it
** reads the number's text (a YEAR reads 0 as 0000 but '0' as 2000). */
bool is_binary_number_type(const std::string &data_type);

/* Describes a table; false with a one-line err when it does not exist, is
** not a table, or has a column the loader cannot feed. */
bool describe_table(Conn &conn, const TableRef &ref, Table &out, std::string &err);

} // namespace qxmaria

#endif
