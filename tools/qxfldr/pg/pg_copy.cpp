/*
** COPY row encoding: text format with its escapes, and binary format for
** tables of numbers and strings. See pg_copy.h for when each is used.
*/
#include "pg_copy.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "pg_conn.h"

namespace qxpg {

namespace {

/* Signature, flags and header-extension length of a binary COPY. */
constexpr char kBinaryHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
constexpr size_t kBinaryHeaderLen = 19;
constexpr char kBinaryTrailer[] = "\377\377";

/* Bytes that text format must escape; everything else passes unchanged. */
constexpr bool needs_escape(unsigned char c)
{
    return c == '\\' || c == '\n' || c == '\r' || c == '\t';
}

void put_be16(std::string &out, uint16_t v)
{
    char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 2);
}

void put_be32(std::string &out, uint32_t v)
{
    char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                 static_cast<char>(v)};
    out.append(b, 4);
}

void put_be64(std::string &out, uint64_t v)
{
    put_be32(out, static_cast<uint32_t>(v >> 32));
    put_be32(out, static_cast<uint32_t>(v));
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

/* Integer text as the server reads it: blanks around, a sign, digits. */
bool parse_integer(std::string_view text, int64_t min, int64_t max, int64_t &value, bool &range)
{
    size_t i = 0, n = text.size();
    range = false;
    while (i < n && is_blank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    size_t digits_at = i;
    // Accumulate negatively so that the minimum of int64 fits.
    int64_t acc = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (acc < (std::numeric_limits<int64_t>::min() + digit) / 10)
            range = true;
        else
            acc = acc * 10 - digit;
    }
    if (i == digits_at)
        return false;
    while (i < n && is_blank(text[i]))
        ++i;
    if (i != n)
        return false;
    if (range)
        return true;
    if (!negative) {
        if (acc == std::numeric_limits<int64_t>::min()) {
            range = true;
            return true;
        }
        acc = -acc;
    }
    if (acc < min || acc > max)
        range = true;
    value = acc;
    return true;
}

/* Float text as the server reads it: strtod's forms plus its spellings of infinity. */
bool parse_float(std::string_view text, bool single, double &value, bool &range)
{
    std::string buf(text);
    const char *p = buf.c_str();
    range = false;
    while (is_blank(*p))
        ++p;
    if (*p == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    value = single ? static_cast<double>(std::strtof(p, &end)) : std::strtod(p, &end);
    if (end == p)
        return false;
    if (errno == ERANGE && (value == 0.0 || std::isinf(value)))
        range = true;
    while (is_blank(*end))
        ++end;
    return *end == '\0';
}

} // namespace

void append_text_escaped(std::string &out, std::string_view value)
{
    // Invariant: [run, i) holds bytes that need no escape; they are copied
    // as one block when an escape or the end is reached.
    const char *s = value.data();
    size_t n = value.size(), run = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!needs_escape(c))
            continue;
        out.append(s + run, i - run);
        out += '\\';
        out += c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : '\\';
        run = i + 1;
    }
    out.append(s + run, n - run);
}

CopyEncoder::CopyEncoder(const Table &table, bool allow_binary) : table_(&table)
{
    binary_ = allow_binary;
    for (const Column &c : table.cols) {
        Bin kind = Bin::text_bytes;
        switch (c.type_oid) {
        case OID_INT2: kind = Bin::int2; break;
        case OID_INT4: kind = Bin::int4; break;
        case OID_INT8: kind = Bin::int8; break;
        case OID_FLOAT4: kind = Bin::float4; break;
        case OID_FLOAT8: kind = Bin::float8; break;
        case OID_TEXT:
        case OID_VARCHAR:
        case OID_BPCHAR: kind = Bin::text_bytes; break;
        default: binary_ = false; break;
        }
        kinds_.push_back(kind);
    }
    copy_sql_ = "COPY " + table.qualified + " (";
    for (size_t i = 0; i < table.cols.size(); ++i) {
        if (i > 0)
            copy_sql_ += ", ";
        copy_sql_ += quote_ident(table.cols[i].name);
    }
    copy_sql_ += binary_ ? ") FROM STDIN WITH (FORMAT binary)" : ") FROM STDIN";
}

std::string_view CopyEncoder::header() const
{
    return binary_ ? std::string_view(kBinaryHeader, kBinaryHeaderLen) : std::string_view();
}

std::string_view CopyEncoder::trailer() const
{
    return binary_ ? std::string_view(kBinaryTrailer, 2) : std::string_view();
}

bool CopyEncoder::encode_binary_value(Bin kind, const Field &f, std::string &out,
                                      std::string &message) const
{
    std::string_view text(f.ptr, f.len);
    static const char *const kTypeNames[] = {"text", "smallint", "integer", "bigint", "real",
                                             "double precision"};
    const char *type_name = kTypeNames[static_cast<int>(kind)];
    int64_t iv = 0;
    double dv = 0;
    bool range = false;
    switch (kind) {
    case Bin::text_bytes:
        put_be32(out, f.len);
        out.append(f.ptr, f.len);
        return true;
    case Bin::int2:
    case Bin::int4:
    case Bin::int8: {
        int64_t lo = kind == Bin::int2   ? INT16_MIN
                     : kind == Bin::int4 ? INT32_MIN
                                         : std::numeric_limits<int64_t>::min();
        int64_t hi = kind == Bin::int2 ? INT16_MAX : kind == Bin::int4 ? INT32_MAX : INT64_MAX;
        if (!parse_integer(text, lo, hi, iv, range)) {
            message = std::string("invalid input syntax for type ") + type_name + ": \"" +
                      std::string(text) + "\"";
            return false;
        }
        if (range) {
            message = "value \"" + std::string(text) + "\" is out of range for type " + type_name;
            return false;
        }
        if (kind == Bin::int2) {
            put_be32(out, 2);
            put_be16(out, static_cast<uint16_t>(iv));
        } else if (kind == Bin::int4) {
            put_be32(out, 4);
            put_be32(out, static_cast<uint32_t>(iv));
        } else {
            put_be32(out, 8);
            put_be64(out, static_cast<uint64_t>(iv));
        }
        return true;
    }
    case Bin::float4:
    case Bin::float8:
        if (!parse_float(text, kind == Bin::float4, dv, range)) {
            message = std::string("invalid input syntax for type ") + type_name + ": \"" +
                      std::string(text) + "\"";
            return false;
        }
        if (range) {
            message = "\"" + std::string(text) + "\" is out of range for type " + type_name;
            return false;
        }
        if (kind == Bin::float4) {
            float fv = static_cast<float>(dv);
            uint32_t bits;
            std::memcpy(&bits, &fv, 4);
            put_be32(out, 4);
            put_be32(out, bits);
        } else {
            uint64_t bits;
            std::memcpy(&bits, &dv, 8);
            put_be32(out, 8);
            put_be64(out, bits);
        }
        return true;
    }
    return false;
}

bool CopyEncoder::encode_row(std::span<const Field> fields, std::string &out,
                             std::string &message) const
{
    if (fields.size() != table_->cols.size()) {
        message = "the row has " + std::to_string(fields.size()) + " values for " +
                  std::to_string(table_->cols.size()) + " columns";
        return false;
    }
    size_t start = out.size();
    if (binary_) {
        put_be16(out, static_cast<uint16_t>(fields.size()));
        for (size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].len == kNullLen) {
                put_be32(out, 0xFFFFFFFFu);
                continue;
            }
            if (!encode_binary_value(kinds_[i], fields[i], out, message)) {
                message = "column " + table_->cols[i].name + ": " + message;
                out.resize(start);
                return false;
            }
        }
        return true;
    }
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += '\t';
        if (fields[i].len == kNullLen)
            out += "\\N";
        else
            append_text_escaped(out, std::string_view(fields[i].ptr, fields[i].len));
    }
    out += '\n';
    return true;
}

bool CopyEncoder::encode_typed_row(std::span<const TypedValue> values, std::string &out,
                                   std::string &message) const
{
    // Numbers become text in a per-row scratch area (32 bytes hold any
    // int64 and any shortest double), then follow the text path, so that
    // both paths refuse the same values with the same words.
    constexpr size_t kNumberRoom = 32;
    thread_local std::vector<Field> fields;
    thread_local std::vector<char> scratch;
    fields.resize(values.size());
    scratch.resize(values.size() * kNumberRoom);
    for (size_t c = 0; c < values.size(); ++c) {
        const TypedValue &v = values[c];
        char *room = scratch.data() + c * kNumberRoom;
        std::to_chars_result res{room, std::errc()};
        switch (v.kind) {
        case TypedValue::Null: fields[c] = Field{nullptr, kNullLen}; continue;
        case TypedValue::Text: fields[c] = Field{v.ptr, v.len}; continue;
        case TypedValue::Int: res = std::to_chars(room, room + kNumberRoom, v.i); break;
        case TypedValue::Real: res = std::to_chars(room, room + kNumberRoom, v.r); break;
        }
        fields[c] = Field{room, static_cast<uint32_t>(res.ptr - room)};
    }
    return encode_row(fields, out, message);
}

} // namespace qxpg
