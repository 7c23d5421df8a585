/*
** COPY ... FROM STDIN encoding of loader rows.
**
** A row reaches the encoder as one text value per table column: the bytes
** the loader made of a field (pointer and length; the length 0xFFFFFFFF
** marks a null, as everywhere in the library). The encoder turns it into
** the bytes of one COPY row:
**   - binary format when every column of the table has a binary form that
**     is simple and exact to make from text: smallint, integer, bigint,
**     real, double precision (parsed here, refused here with the server's
**     wording when the text is no number), text, varchar and char (the
**     bytes unchanged: the server still checks encoding and length);
**   - text format otherwise, for the whole statement (one format per COPY):
**     fields joined by tab, row ended by newline, null as \N, and the bytes
**     backslash, newline, carriage return and tab escaped, so that any value
**     reaches the server unchanged.
*/
#ifndef QXFLDR_PG_COPY_H
#define QXFLDR_PG_COPY_H

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pg_catalog.h"

namespace qxpg {

/* The length that marks a null value. */
constexpr uint32_t kNullLen = 0xFFFFFFFFu;

/* One value of a row: bytes (not NUL-terminated) or a null. */
struct Field {
    const char *ptr;
    uint32_t    len;   /* kNullLen: null */
};

/*
** A value already converted by the loader: an integer, a float, text bytes,
** or a null. Numbers reach the server as their shortest exact decimal text
** (or, in binary format, as the column's binary form).
*/
struct TypedValue {
    enum Kind : uint8_t { Null, Int, Real, Text } kind = Null;
    int64_t     i = 0;        /* Int */
    double      r = 0;        /* Real */
    const char *ptr = nullptr;/* Text */
    uint32_t    len = 0;      /* Text */
};

class CopyEncoder {
public:
    /* `allow_binary` false forces text format (tests compare the two). */
    explicit CopyEncoder(const Table &table, bool allow_binary = true);

    bool binary() const { return binary_; }
    /* The COPY statement, with the column list and the format. */
    const std::string &copy_sql() const { return copy_sql_; }
    /* Bytes that open and close the data of one COPY (binary format only). */
    std::string_view header() const;
    std::string_view trailer() const;

    /*
    ** Appends the bytes of one row to `out`. False with the reason in
    ** `message` (the server's own wording for a malformed number) when a
    ** value has no binary form for its column, or the row has not one value
    ** per column; `out` is then unchanged.
    */
    bool encode_row(std::span<const Field> fields, std::string &out, std::string &message) const;
    /* The same for converted values (same refusals, same wording). */
    bool encode_typed_row(std::span<const TypedValue> values, std::string &out, std::string &message) const;

private:
    enum class Bin : uint8_t { text_bytes, int2, int4, int8, float4, float8 };
    bool encode_binary_value(Bin kind, const Field &f, std::string &out, std::string &message) const;

    const Table *table_;
    bool binary_ = false;
    std::string copy_sql_;
    std::vector<Bin> kinds_;   /* binary kind of each column */
};

/* Appends `value` to `out` with text-format escapes. */
void append_text_escaped(std::string &out, std::string_view value);

} // namespace qxpg

#endif
