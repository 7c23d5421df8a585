/*
** An SQL identifier as SQLite and PostgreSQL both read it: in double quotes,
** a double quote inside doubled, so that any name, whatever its case or
** characters, reaches the database as written.
*/
#ifndef QXFLDR_TOOL_SQL_IDENT_H
#define QXFLDR_TOOL_SQL_IDENT_H

#include <string>
#include <string_view>

namespace qxfldr {

inline std::string quote_ident(std::string_view name)
{
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace qxfldr

#endif
