/*
** Table descriptions from pg_catalog and the type mapping.
*/
#include "pg_catalog.h"

#include <cstdlib>

#include "pg_conn.h"
#include "qxdta.h"

namespace qxpg {

fldr_tab_info Table::tab_info()
{
    info_cols_.clear();
    for (const Column &c : cols)
        info_cols_.push_back(fldr_tab_col{c.name.c_str(), c.qx_type});
    fldr_tab_info info;
    info.col_count = static_cast<uint16_t>(info_cols_.size());
    info.cols = info_cols_.data();
    return info;
}

int32_t load_type_code(Oid oid, char typtype)
{
    switch (oid) {
    case OID_BOOL: return QXDT_BIT;
    case OID_INT2: return QXDT_SMALLINT;
    case OID_INT4: return QXDT_INT;
    case OID_INT8:
    case OID_OID: return QXDT_BIGINT;
    case OID_FLOAT4: return QXDT_FLOAT;
    case OID_FLOAT8: return QXDT_DOUBLE;
    case OID_NUMERIC:
    case OID_MONEY: return QXDT_DEC;
    case OID_BPCHAR:
    case OID_CHAR: return QXDT_CHAR;
    case OID_VARCHAR:
    case OID_TEXT:
    case OID_NAME:
    case OID_JSON:
    case OID_JSONB:
    case OID_XML:
    case OID_UUID:
    case OID_INET:
    case OID_CIDR:
    case OID_MACADDR:
    case OID_BIT:
    case OID_VARBIT: return QXDT_VARCHAR;
    case OID_BYTEA: return QXDT_VARBINARY;
    case OID_DATE: return QXDT_DATE;
    case OID_TIME: return QXDT_TIME;
    case OID_TIMETZ: return QXDT_TIME_TZ;
    case OID_TIMESTAMP: return QXDT_TIMESTAMP;
    case OID_TIMESTAMPTZ: return QXDT_TIMESTAMP_TZ;
    case OID_INTERVAL: return QXDT_INTERVAL_DT;
    default: break;
    }
    // Enum values are read from their label text.
    if (typtype == 'e')
        return QXDT_VARCHAR;
    return -1;
}

uint16_t export_type_code(Oid oid)
{
    /* Money, "char" and intervals export as the server prints them; so does
    ** every type the loader has no code for. */
    if (oid == OID_MONEY || oid == OID_CHAR || oid == OID_INTERVAL)
        return QXDT_VARCHAR;
    const int32_t code = load_type_code(oid, 0);
    return code >= 0 ? static_cast<uint16_t>(code) : QXDT_VARCHAR;
}

bool describe_table(PGconn *conn, const std::string &name, Table &out, std::string &error, std::string_view shown)
{
    out = Table{};
    const std::string table = shown.empty() ? name : std::string(shown);
    out.name = table;
    const char *params[1] = {name.c_str()};
    Result rel(PQexecParams(conn,
                            "SELECT c.oid, c.relkind, n.nspname, c.relname "
                            "FROM pg_catalog.pg_class c "
                            "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                            "WHERE c.oid = pg_catalog.to_regclass($1)",
                            1, nullptr, params, nullptr, nullptr, 0));
    if (rel.status() != PGRES_TUPLES_OK) {
        error = "cannot read the description of table " + table + ": " +
                result_message(conn, rel.get());
        return false;
    }
    if (PQntuples(rel.get()) == 0) {
        error = "table " + table + " does not exist";
        return false;
    }
    char relkind = PQgetvalue(rel.get(), 0, 1)[0];
    if (relkind != 'r' && relkind != 'p') {
        error = table + " is not a table";
        return false;
    }
    std::string rel_oid = PQgetvalue(rel.get(), 0, 0);
    out.qualified = quote_ident(PQgetvalue(rel.get(), 0, 2)) + "." +
                    quote_ident(PQgetvalue(rel.get(), 0, 3));

    // A domain column takes its base type's mapping and adds its own NOT NULL.
    const char *col_params[1] = {rel_oid.c_str()};
    Result cols(PQexecParams(
        conn,
        "SELECT a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), "
        "       CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE a.atttypid END, "
        "       CASE WHEN t.typtype = 'd' THEN t.typtypmod ELSE a.atttypmod END, "
        "       a.attnotnull OR t.typnotnull, "
        "       CASE WHEN t.typtype = 'd' THEN bt.typtype ELSE t.typtype END "
        "FROM pg_catalog.pg_attribute a "
        "JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
        "LEFT JOIN pg_catalog.pg_type bt ON bt.oid = t.typbasetype "
        "WHERE a.attrelid = $1::pg_catalog.oid AND a.attnum > 0 AND NOT a.attisdropped "
        "  AND a.attgenerated = '' "
        "ORDER BY a.attnum",
        1, nullptr, col_params, nullptr, nullptr, 0));
    if (cols.status() != PGRES_TUPLES_OK) {
        error = "cannot read the columns of table " + table + ": " + result_message(conn, cols.get());
        return false;
    }
    int rows = PQntuples(cols.get());
    if (rows == 0) {
        error = "table " + table + " has no column the loader can fill";
        return false;
    }
    for (int r = 0; r < rows; ++r) {
        Column col;
        col.name = PQgetvalue(cols.get(), r, 0);
        col.type_name = PQgetvalue(cols.get(), r, 1);
        col.type_oid = static_cast<Oid>(std::strtoul(PQgetvalue(cols.get(), r, 2), nullptr, 10));
        col.typmod = static_cast<int32_t>(std::strtol(PQgetvalue(cols.get(), r, 3), nullptr, 10));
        col.not_null = PQgetvalue(cols.get(), r, 4)[0] == 't';
        char typtype = PQgetvalue(cols.get(), r, 5)[0];
        int32_t code = load_type_code(col.type_oid, typtype);
        if (code < 0) {
            error = "column " + col.name + " of table " + table + " has type " + col.type_name +
                    ", which the loader cannot feed";
            return false;
        }
        col.qx_type = static_cast<uint16_t>(code);
        out.cols.push_back(std::move(col));
    }
    return true;
}

} // namespace qxpg
