/*
** The per-row value pipeline (see rowval.h for the way of a row).
**
** Invariants:
**   (1) convert_row appends exactly plan.insert_cols.size() values to the
**       batch for a loaded row and nothing for a rejected one: the batch's
**       sizes are taken on entry and restored on every rejection.
**   (2) Field values point into scratch.row (or are rebuilt in
**       scratch.text); they are copied into the batch arena before the next
**       row overwrites the scratch.
*/
#include "rowval.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ctltext.h"
#include "fields.h"
#include "qxcvt.h"

namespace qxfldr {

int find_field_col(const TablePlan &plan, std::string_view name)
{
    for (const auto &c : plan.cols)
        if (c.source == ColPlan::Field && iequal(c.name, name))
            return c.field_no;
    return -1;
}

/* The English text of a library code, for log lines and messages. */
std::string lib_message(int32_t code)
{
    const fldr_emsg_row *row = fldr_emsg_lookup(code);
    if (row == nullptr || row->text_en == nullptr)
        return "error " + std::to_string(code);
    return row->text_en;
}

RowScratch::~RowScratch()
{
    bdta3_col_free(&rep_src);
    bdta3_col_free(&rep_dst);
}

namespace {

/* ------------------------------------------------------------ value steps */

std::string_view trim_blanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool parse_int(std::string_view s, int64_t &out)
{
    s = trim_blanks(s);
    if (s.empty())
        return false;
    size_t i = 0;
    bool neg = false;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        i = 1;
    }
    if (i == s.size())
        return false;
    uint64_t v = 0;
    for (; i < s.size(); i++) {
        const unsigned d = static_cast<unsigned char>(s[i]) - '0';
        if (d > 9)
            return false;
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    if (v > static_cast<uint64_t>(INT64_MAX) + (neg ? 1u : 0u))
        return false;
    out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

bool parse_real(std::string_view s, double &out)
{
    s = trim_blanks(s);
    if (s.empty() || s.size() > 400)
        return false;
    char buf[512];
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    char *end = nullptr;
    errno = 0;
    out = std::strtod(buf, &end);
    /* strtod also reads inf, nan and hexadecimal forms: a number here is
    ** decimal digits, a point, an exponent and signs only. */
    return end == buf + s.size() && errno != ERANGE && std::isfinite(out) &&
           s.find_first_not_of("0123456789+-.eE") == std::string_view::npos;
}

bool is_decimal(std::string_view s)
{
    s = trim_blanks(s);
    size_t i = 0, digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        i++;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); i++)
        digits++;
    if (i < s.size() && s[i] == '.')
        for (i++; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); i++)
            digits++;
    if (digits > 0 && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            i++;
        size_t exp = 0;
        for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); i++)
            exp++;
        if (exp == 0)
            return false;
    }
    return digits > 0 && i == s.size();
}

uint32_t utf8_chars(std::string_view s)
{
    uint32_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

bool all_ascii(std::string_view s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

/* Character-wise substring: start counted from 1 (negative: from the end),
** len characters (negative or 0: none). Bytes when `bytes` is set. */
std::string_view substring(std::string_view s, int32_t start, int32_t len, bool bytes, uint32_t charset)
{
    std::vector<uint32_t> starts;
    for (uint32_t i = 0; i < s.size();) {
        starts.push_back(i);
        uint32_t step = bytes ? 1 : encoding_mblen(charset, s.data() + i, 0);
        i += step == 0 ? 1 : step;
    }
    const int64_t n = static_cast<int64_t>(starts.size());
    int64_t first = start > 0 ? start - 1 : (start < 0 ? n + start : 0);
    if (first < 0 || first >= n || len <= 0)
        return {};
    int64_t last = first + len;
    if (last > n)
        last = n;
    const uint32_t from = starts[static_cast<size_t>(first)];
    const uint32_t to = last == n ? static_cast<uint32_t>(s.size()) : starts[static_cast<size_t>(last)];
    return s.substr(from, to - from);
}

}  // namespace

/* ------------------------------------------------------------ one row */

namespace {

struct RowCtx {
    const TablePlan &plan;
    RowScratch      &scratch;
};

/*
** Whether cut field f is NULL. A field the row lacks is NULL; so is one the
** library cut as NULL (in the CSV dialect an unenclosed empty field, unless
** NULL_MODE=TRUE or NULL_STR made it '' when it was cut). Beyond that, in
** the CSV dialect only NULL_STR makes a value NULL (an enclosed "" is an
** empty string); in the escaped dialect the library's value test applies.
*/
bool field_is_null(const TablePlan &plan, const RowScratch &scratch, size_t f)
{
    const char *p = scratch.field_ptr[f];
    const uint32_t len = scratch.field_len[f];
    if (p == nullptr || len == FLDR_NULL_LEN)
        return true;
    const ValueRules &rules = *plan.rules;
    if (plan.csv)
        return !rules.null_str.empty() && len == rules.null_str.size() &&
               std::memcmp(p, rules.null_str.data(), len) == 0;
    return fldr_is_nullvalue(0, p, static_cast<int32_t>(len), rules.null_str.c_str(),
                             static_cast<uint32_t>(rules.null_str.size()), rules.null_mode) == 1;
}

/* A function call's value; false (with reason) when it cannot be computed. */
bool eval_call(RowCtx &rc, const char *name, const fldr_fun_arg_list *args, std::string &out, bool &is_null)
{
    std::vector<std::string> vals;
    std::vector<bool>        nulls;
    for (fldr_fun_arg_node *node = args == nullptr ? nullptr : args->first; node; node = node->next) {
        std::string v;
        bool n = false;
        if (node->arg->kind == 0) {
            const auto f = static_cast<size_t>(find_field_col(rc.plan, node->arg->text));
            if (field_is_null(rc.plan, rc.scratch, f))
                n = true;
            else
                v.assign(rc.scratch.field_ptr[f], rc.scratch.field_len[f]);
        } else if (node->arg->kind == 1) {
            v = node->arg->text;
        } else if (!eval_call(rc, node->arg->text, node->arg->args, v, n)) {
            return false;
        }
        vals.push_back(std::move(v));
        nulls.push_back(n);
    }
    is_null = false;
    out.clear();
    if (iequal(name, "CONCAT")) {
        for (auto &v : vals)
            out += v;
    } else if (iequal(name, "NVL")) {
        out = nulls[0] ? vals[1] : vals[0];
        is_null = nulls[0] && nulls[1];
    } else if (iequal(name, "LENGTH")) {
        out = std::to_string(utf8_chars(vals[0]));
        is_null = nulls[0];
    } else {
        out = vals[0];
        is_null = nulls[0];
        if (iequal(name, "UPPER") || iequal(name, "LOWER")) {
            const bool up = iequal(name, "UPPER");
            for (auto &c : out)
                if (static_cast<unsigned char>(c) < 0x80)
                    c = static_cast<char>(up ? std::toupper(c) : std::tolower(c));
        } else if (iequal(name, "LTRIM")) {
            out.erase(0, out.find_first_not_of(' '));
        } else if (iequal(name, "RTRIM")) {
            const size_t last = out.find_last_not_of(' ');
            out.erase(last == std::string::npos ? 0 : last + 1);
        }
    }
    return true;
}

/* Per-thread buffer of a formatted date. */
std::string &date_text()
{
    thread_local std::string text;
    return text;
}

/* Stores text s as a value of the column's type. */
bool store_typed(const ColPlan &cp, std::string_view s, RowBatch &batch, std::string &reason)
{
    Value v{};
    auto bad = [&](const char *what) {
        reason = "column " + cp.name + ": '" + std::string(s.substr(0, 64)) + "' is not " + what;
        return false;
    };
    switch (cp.type) {
    case QXDT_BIT:
    case QXDT_TINYINT:
    case QXDT_SMALLINT:
    case QXDT_INT:
    case QXDT_BIGINT: {
        int64_t n = 0;
        if (!parse_int(s, n))
            return bad("an integer");
        const int64_t lim = cp.type == QXDT_TINYINT ? 127 : cp.type == QXDT_SMALLINT ? 32767
                            : cp.type == QXDT_INT ? 2147483647 : INT64_MAX;
        if (n > lim || n < -lim - 1 || (cp.type == QXDT_BIT && (n < 0 || n > 1)))
            return bad("in the column's range");
        v.kind = Value::Int;
        v.i = n;
        break;
    }
    case QXDT_BOOLEAN: {
        const std::string_view t = trim_blanks(s);
        if (t == "1" || iequal(t, "TRUE") || iequal(t, "T") || iequal(t, "Y") || iequal(t, "YES"))
            v.i = 1;
        else if (t == "0" || iequal(t, "FALSE") || iequal(t, "F") || iequal(t, "N") || iequal(t, "NO"))
            v.i = 0;
        else
            return bad("a boolean");
        v.kind = Value::Int;
        break;
    }
    case QXDT_FLOAT:
    case QXDT_DOUBLE:
        if (!parse_real(s, v.r))
            return bad("a number");
        v.kind = Value::Real;
        break;
    case QXDT_DEC: {
        const std::string_view t = trim_blanks(s);
        if (!is_decimal(t))
            return bad("a number");
        v.kind = Value::Text;
        v.t.off = static_cast<uint32_t>(batch.arena.size());
        v.t.len = static_cast<uint32_t>(t.size());
        batch.arena.append(t);
        break;
    }
    case QXDT_DATE:
    case QXDT_TIME:
    case QXDT_TIMESTAMP:
    case QXDT_DATETIME:
    case QXDT_TIMESTAMP_TZ:
    case QXDT_TIMESTAMP_LTZ: {
        DateTime dt;
        const std::string_view t = trim_blanks(s);
        if (!(cp.date_fmt.empty() ? parse_iso(t, dt) : parse_date(t, cp.date_fmt, dt)))
            return bad(cp.date_fmt.empty() ? "a date (YYYY-MM-DD[ HH24:MI:SS])"
                                           : ("a date in the format " + std::string(cp.col->date_format)).c_str());
        std::string &text = date_text();
        format_datetime(dt, cp.type, text);
        v.kind = Value::Text;
        v.t.off = static_cast<uint32_t>(batch.arena.size());
        v.t.len = static_cast<uint32_t>(text.size());
        batch.arena += text;
        break;
    }
    default: {
        std::string text;
        std::string_view out = s;
        if (!cp.date_fmt.empty()) {
            /* A DATE field loaded into a text column: stored in the ISO form. */
            DateTime dt;
            if (!parse_date(trim_blanks(s), cp.date_fmt, dt))
                return bad(("a date in the format " + std::string(cp.col->date_format)).c_str());
            format_datetime(dt, dt.has_time ? QXDT_TIMESTAMP : QXDT_DATE, text);
            out = text;
        }
        if (cp.length != 0 && utf8_chars(out) > cp.length) {
            reason = "column " + cp.name + ": value of " + std::to_string(utf8_chars(out)) +
                     " characters is longer than the column's " + std::to_string(cp.length);
            return false;
        }
        v.kind = Value::Text;
        v.t.off = static_cast<uint32_t>(batch.arena.size());
        v.t.len = static_cast<uint32_t>(out.size());
        batch.arena.append(out);
    }
    }
    batch.values[batch.values.size() - batch.width + static_cast<size_t>(cp.out_no)] = v;
    return true;
}

}  // namespace

RowResult convert_row(const TablePlan &plan, RowScratch &scratch, const char *row, uint32_t row_len,
                      const char *row_term, uint16_t row_term_len, RowBatch &batch, std::string &reason,
                      uint32_t at_byte)
{
    const ValueRules &rules = *plan.rules;

    /* 1. Cut the fields from a private copy of the row. */
    if (!cut_fields(plan, scratch, row, row_len, row_term, row_term_len, at_byte, reason))
        return RowResult::FormatError;

    /* 2. Values, in the order of the columns. */
    const size_t arena_mark = batch.arena.size();
    const size_t values_mark = batch.values.size();
    batch.values.resize(values_mark + batch.width);
    auto reject = [&](RowResult why) {
        batch.arena.resize(arena_mark);
        batch.values.resize(values_mark);
        return why;
    };
    RowCtx ctx{plan, scratch};
    for (const auto &cp : plan.cols) {
        if (cp.out_no < 0)
            continue;
        std::string_view s;
        bool is_null = false;
        switch (cp.source) {
        case ColPlan::Default:
            continue;
        case ColPlan::Nextval:
            batch.values[values_mark + static_cast<size_t>(cp.out_no)].kind = Value::Int;
            batch.values[values_mark + static_cast<size_t>(cp.out_no)].i = cp.sequence->fetch_add(1) + 1;
            continue;
        case ColPlan::Constant:
            s = cp.constant;
            break;
        case ColPlan::Sysdate:
            s = rules.sysdate;
            break;
        case ColPlan::Field: {
            const int f = cp.src_field >= 0 ? cp.src_field : cp.field_no;
            const uint32_t len = scratch.field_len[static_cast<size_t>(f)];
            const char *p = scratch.field_ptr[static_cast<size_t>(f)];
            const fldr_col *col = cp.col;
            const bool call = col != nullptr && col->fun_kind == FLDR_FUN_CALL;
            if (call) {
                /* A call sees its arguments' NULLs itself (NVL). */
                if (!eval_call(ctx, col->fun_name, col->fun_args, scratch.text, is_null))
                    return reject(RowResult::DataError);
                if (is_null)
                    break;
            }
            /* NULL rules first, on the value as cut; TRIM then may empty it. */
            if (!call && field_is_null(plan, scratch, static_cast<size_t>(f))) {
                is_null = true;
                break;
            }
            char *tp = call ? scratch.text.data() : const_cast<char *>(p);
            uint32_t tl = call ? static_cast<uint32_t>(scratch.text.size()) : len;
            if (col != nullptr && col->fun_kind == FLDR_FUN_TRIM) {
                fldr_trim_str(&tp, &tl);
                if (tl == 0 && rules.null_mode == 0) {
                    is_null = true;
                    break;
                }
            }
            s = std::string_view(tp, tl);
            /* Character set: the database holds UTF-8. */
            if (!all_ascii(s)) {
                if (rules.charset != FLDR_CHARSET_UTF8 && rules.charset != FLDR_CHARSET_SINGLE_BYTE) {
                    scratch.conv.resize(s.size() * 4 + 4);
                    uint32_t used = 0, bad_chars = 0, out_len = 0;
                    const int32_t crc = qx_LocalToUtf(s.data(), static_cast<uint32_t>(s.size()), rules.charset,
                                                      scratch.conv.data(), static_cast<uint32_t>(scratch.conv.size()),
                                                      &used, &bad_chars, &out_len);
                    if (crc != 0 || bad_chars != 0 || used != s.size()) {
                        reason = "column " + cp.name + ": bytes that are not characters of the data's character set";
                        return reject(RowResult::DataError);
                    }
                    s = std::string_view(scratch.conv.data(), out_len);
                } else if (rules.charset == FLDR_CHARSET_UTF8 &&
                           qx_get_valid_chars(s.data(), static_cast<uint32_t>(s.size()), FLDR_CHARSET_UTF8, 0, 0) < 0) {
                    reason = "column " + cp.name + ": bytes that are not UTF-8 characters "
                             "(set CHARACTER_CODE to the data's character set)";
                    return reject(RowResult::DataError);
                }
            }
            if (col == nullptr)
                break;
            if (col->fun_kind == FLDR_FUN_REPLACE) {
                /* The library replaces in a batch column; here a batch of one row. */
                if (scratch.rep_src.data == nullptr &&
                    bdta3_col_data_create_low(fldr_get_env(), nullptr, &scratch.rep_src, QXDT_VARCHAR, 1) != 0) {
                    reason = "column " + cp.name + ": out of memory in REPLACE";
                    return reject(RowResult::DataError);
                }
                bdta3_col_assign_str(fldr_get_env(), nullptr, &scratch.rep_src, 0, s.data(),
                                     static_cast<uint32_t>(s.size()), 0);
                scratch.rep_src.row_count = 1;
                if (fldr_replace_fun(fldr_get_env(), nullptr, col, &scratch.rep_src, &scratch.rep_dst, 1) != 0) {
                    reason = "column " + cp.name + ": out of memory in REPLACE";
                    return reject(RowResult::DataError);
                }
                const qxdta_str *out = static_cast<const qxdta_str *>(bdta3_col_value(&scratch.rep_dst, 0));
                scratch.text.assign(out->ptr, out->len);
                s = scratch.text;
            } else if (col->fun_kind == FLDR_FUN_SUBSTR || col->fun_kind == FLDR_FUN_SUBSTRB) {
                s = substring(s, col->substr_start, col->substr_len, col->fun_kind == FLDR_FUN_SUBSTRB,
                              FLDR_CHARSET_UTF8);
            }
            break;
        }
        }
        /* An empty value has no number or date to give: NULL for those types. */
        if (!is_null && s.empty() && cp.type != QXDT_CHAR && cp.type != QXDT_VARCHAR &&
            cp.type != QXDT_VARCHAR2 && cp.type != QXDT_CLOB && cp.date_fmt.empty())
            is_null = true;
        if (!is_null && trim_blanks(s).empty() && !cp.date_fmt.empty())
            is_null = true;
        if (is_null) {
            if (cp.not_null) {
                reason = "column " + cp.name + " cannot be NULL";
                return reject(RowResult::DataError);
            }
            continue;   /* the slot is a Null value already */
        }
        if (!store_typed(cp, s, batch, reason))
            return reject(RowResult::DataError);
    }
    return RowResult::Loaded;
}

}  // namespace qxfldr
