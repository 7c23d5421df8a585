/*
** Table descriptions read from the server's catalog, and the mapping of
** PostgreSQL types to the library's server type codes (runtime/qxdta.h).
**
** Load direction: a column is fed with the text the loader makes of a
** field (COPY text input, or its binary form for the few types whose binary
** form is simple and exact, see pg_copy.h). A type with no mapping here
** (arrays, composite and range types, geometric types) is refused by
** describe_table with a message that names the column and the type.
** Export direction: every type has a code; a type without a typed value of
** its own is exported as its text form (QXDT_VARCHAR).
*/
#ifndef QXFLDR_PG_CATALOG_H
#define QXFLDR_PG_CATALOG_H

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qxfldr_comm.h"

namespace qxpg {

/* Type oids of the built-in types the loader knows (fixed in every server). */
enum : Oid {
    OID_BOOL = 16, OID_BYTEA = 17, OID_CHAR = 18, OID_NAME = 19, OID_INT8 = 20, OID_INT2 = 21,
    OID_INT4 = 23, OID_TEXT = 25, OID_OID = 26, OID_JSON = 114, OID_XML = 142, OID_CIDR = 650,
    OID_FLOAT4 = 700, OID_FLOAT8 = 701, OID_MONEY = 790, OID_MACADDR = 829, OID_INET = 869,
    OID_BPCHAR = 1042, OID_VARCHAR = 1043, OID_DATE = 1082, OID_TIME = 1083,
    OID_TIMESTAMP = 1114, OID_TIMESTAMPTZ = 1184, OID_INTERVAL = 1186, OID_TIMETZ = 1266,
    OID_BIT = 1560, OID_VARBIT = 1562, OID_NUMERIC = 1700, OID_UUID = 2950, OID_JSONB = 3802,
};

/* One column of a table, as the loader feeds it. */
struct Column {
    std::string name;       /* column name as stored (case kept) */
    std::string type_name;  /* the server's name of the type, with its modifier */
    Oid         type_oid;   /* the column's type (a domain's base type) */
    int32_t     typmod;     /* type modifier, -1 when none */
    uint16_t    qx_type;    /* library type code */
    bool        not_null;   /* NOT NULL on the column or its domain */
};

/* A table as the loader sees it. */
struct Table {
    std::string name;          /* as the user wrote it */
    std::string qualified;     /* schema-qualified and quoted, for SQL text */
    std::vector<Column> cols;  /* in column order, dropped and generated columns left out */

    /* The library's view (fldr_tab_info) pointing into this table's names. */
    fldr_tab_info tab_info();

private:
    std::vector<fldr_tab_col> info_cols_;
};

/*
** Library type code for loading into a column of type `oid` (a base type),
** or -1 when the loader cannot feed it. `typtype` is pg_type.typtype
** ('b' base, 'e' enum, ...).
*/
int32_t load_type_code(Oid oid, char typtype);

/* Library type code for exporting a result column of type `oid`. */
uint16_t export_type_code(Oid oid);

/*
** Reads the description of `table` (any name the server resolves, with its
** search path and quoting rules: "t", "schema.t", "\"Mixed Case\""). False
** with a one-line `error` when the table does not exist, is not a table, or
** has a column the loader cannot feed. `shown`, when given, is the table's
** name in messages and in out.name (the name as the user wrote it).
*/
bool describe_table(PGconn *conn, const std::string &table, Table &out, std::string &error,
                    std::string_view shown = {});

} // namespace qxpg

#endif
