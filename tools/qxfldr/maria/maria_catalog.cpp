/*
** Table descriptions from information_schema, and the type mapping.
*/
#include "maria_catalog.h"

#include <cstdlib>

#include "qxdta.h"

namespace qxmaria {

namespace {

/* One part of a dotted name: quoted (spelling kept, doubled quotes undone) or bare. */
bool take_part(const std::string &text, size_t &at, std::string &out, bool &exact)
{
    out.clear();
    exact = false;
    if (at < text.size() && (text[at] == '`' || text[at] == '"')) {
        const char q = text[at++];
        exact = true;
        for (; at < text.size(); at++) {
            if (text[at] == q) {
                if (at + 1 < text.size() && text[at + 1] == q) {
                    out += q;
                    at++;
                    continue;
                }
                at++;
                return !out.empty();
            }
            out += text[at];
        }
        return false;   /* no closing quote */
    }
    while (at < text.size() && text[at] != '.')
        out += text[at++];
    return !out.empty();
}

std::string sql_string(const Conn &conn, const std::string &text)
{
    return "'" + conn.escape(text) + "'";
}

/* Which stored table a bare or quoted name means; false with err when none. */
bool find_table(Conn &conn, const TableRef &ref, const std::string &shown, Row &found, std::string &err)
{
    const std::string db = ref.database.empty() ? "DATABASE()" : sql_string(conn, ref.database);
    std::string sql = "SELECT TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE, ENGINE FROM information_schema.TABLES WHERE ";
    sql += ref.exact_db || ref.database.empty() ? "TABLE_SCHEMA = " + db : "LOWER(TABLE_SCHEMA) = LOWER(" + db + ")";
    sql += ref.exact_name ? " AND TABLE_NAME = " + sql_string(conn, ref.name)
                          : " AND LOWER(TABLE_NAME) = LOWER(" + sql_string(conn, ref.name) + ")";
    std::vector<Row> rows;
    if (!conn.query(sql, rows, err)) {
        err = "cannot read the description of table " + shown + ": " + err;
        return false;
    }
    if (rows.empty()) {
        err = "table " + shown + " does not exist";
        return false;
    }
    /* Several tables differ only in case: the one spelled as written, else none. */
    const Row *pick = rows.size() == 1 ? &rows[0] : nullptr;
    for (const Row &r : rows)
        if (r[1].value_or("") == ref.name && (ref.database.empty() || r[0].value_or("") == ref.database))
            pick = &r;
    if (pick == nullptr) {
        err = "table " + shown + " matches several tables that differ only in case; quote its name";
        return false;
    }
    if (pick->at(2).value_or("") != "BASE TABLE") {
        err = shown + " is not a table";
        return false;
    }
    found = *pick;
    return true;
}

} // namespace

bool parse_table_ref(const std::string &text, TableRef &out)
{
    out = TableRef{};
    size_t at = 0;
    std::string first;
    bool first_exact = false;
    if (!take_part(text, at, first, first_exact))
        return false;
    if (at == text.size()) {
        out.name = first;
        out.exact_name = first_exact;
        return true;
    }
    if (text[at] != '.')
        return false;
    at++;
    out.database = first;
    out.exact_db = first_exact;
    return take_part(text, at, out.name, out.exact_name) && at == text.size();
}

int32_t load_type_code(const std::string &data_type, const std::string &column_type)
{
    const bool is_unsigned = column_type.find("unsigned") != std::string::npos;
    const std::string &t = data_type;
    /* An unsigned column takes the next wider code, so that the loader's
    ** range check lets its upper half through (the server checks the sign). */
    if (t == "tinyint")
        return is_unsigned ? QXDT_SMALLINT : QXDT_TINYINT;
    if (t == "smallint")
        return is_unsigned ? QXDT_INT : QXDT_SMALLINT;
    if (t == "mediumint")
        return QXDT_INT;
    if (t == "int" || t == "integer")
        return is_unsigned ? QXDT_BIGINT : QXDT_INT;
    if (t == "bigint" || t == "year")
        return QXDT_BIGINT;
    if (t == "decimal" || t == "numeric")
        return QXDT_DEC;
    if (t == "float")
        return QXDT_FLOAT;
    if (t == "double" || t == "real")
        return QXDT_DOUBLE;
    if (t == "char")
        return QXDT_CHAR;
    if (t == "varchar" || t == "tinytext" || t == "text" || t == "mediumtext" || t == "longtext" || t == "enum" ||
        t == "set" || t == "json" || t == "uuid" || t == "inet4" || t == "inet6")
        return QXDT_VARCHAR;
    if (t == "binary" || t == "varbinary" || t == "tinyblob" || t == "blob" || t == "mediumblob" || t == "longblob")
        return QXDT_VARBINARY;
    if (t == "date")
        return QXDT_DATE;
    if (t == "time")
        return QXDT_TIME;
    if (t == "datetime" || t == "timestamp")
        return QXDT_TIMESTAMP;
    return -1;
}

bool is_binary_number_type(const std::string &data_type)
{
    for (const char *t : {"tinyint", "smallint", "mediumint", "int", "integer", "bigint", "float", "double", "real"})
        if (data_type == t)
            return true;
    return false;
}

bool describe_table(Conn &conn, const TableRef &ref, Table &out, std::string &err)
{
    out = Table{};
    const std::string shown = ref.database.empty() ? ref.name : ref.database + "." + ref.name;
    Row found;
    if (!find_table(conn, ref, shown, found, err))
        return false;
    out.database = found[0].value_or("");
    out.name = found[1].value_or("");
    out.engine = found[3].value_or("");
    std::vector<Row> rows;
    if (!conn.query("SELECT COLUMN_NAME, DATA_TYPE, COLUMN_TYPE, CHARACTER_MAXIMUM_LENGTH, IS_NULLABLE, EXTRA "
                    "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = " +
                        sql_string(conn, out.database) + " AND TABLE_NAME = " + sql_string(conn, out.name) +
                        " ORDER BY ORDINAL_POSITION",
                    rows, err)) {
        err = "cannot read the columns of table " + shown + ": " + err;
        return false;
    }
    for (const Row &r : rows) {
        const std::string extra = r[5].value_or("");
        if (extra.find("GENERATED") != std::string::npos || extra.find("VIRTUAL") != std::string::npos ||
            extra.find("PERSISTENT") != std::string::npos || extra.find("STORED") != std::string::npos)
            continue;
        Column col;
        col.name = r[0].value_or("");
        col.data_type = r[1].value_or("");
        col.column_type = r[2].value_or("");
        col.not_null = r[4].value_or("") == "NO";
        const int32_t code = load_type_code(col.data_type, col.column_type);
        if (code < 0) {
            err = "column " + col.name + " of table " + shown + " has type " + col.column_type +
                  ", which the loader cannot feed";
            return false;
        }
        col.qx_type = static_cast<uint16_t>(code);
        if (col.data_type == "char" || col.data_type == "varchar")
            col.length = static_cast<uint32_t>(std::strtoul(r[3].value_or("0").c_str(), nullptr, 10));
        out.cols.push_back(std::move(col));
    }
    if (out.cols.empty()) {
        err = "table " + shown + " has no column the loader can fill";
        return false;
    }
    return true;
}

} // namespace qxmaria
