/*
** Reference row searches and field scanner, written for clarity only: every
** position is visited, every comparison is a byte loop.
*/
#include "split_reference.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "fldr_file_search.h"
#include "fldr_file_split.h"
#include "qxcvt.h"

namespace splitref {
namespace {

unsigned char lower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

/* The n bytes of pat at buf[i], wholly inside buf[0, len); n == 0 never
** matches. With fold, ASCII letters match either case (escapes compare so). */
bool match(const char *buf, uint32_t len, uint32_t i, const char *pat, uint32_t n, bool fold = false)
{
    if (n == 0 || i > len || len - i < n)
        return false;
    for (uint32_t k = 0; k < n; ++k) {
        const auto a = static_cast<unsigned char>(buf[i + k]), b = static_cast<unsigned char>(pat[k]);
        if (fold ? lower(a) != lower(b) : a != b)
            return false;
    }
    return true;
}

bool same(const char *a, uint32_t an, const char *b, uint32_t bn)
{
    return an != 0 && an == bn && std::memcmp(a, b, an) == 0;
}


/* Character length at buf[i]; the length function may peek one byte ahead,
** so near the end it sees a zero-padded copy. */
uint32_t char_len(uint32_t charset, const char *buf, uint32_t len, uint32_t i)
{
    if (charset == 9)
        return 1;
    char tmp[4] = {0, 0, 0, 0};
    for (uint32_t k = 0; k < 4 && i + k < len; ++k)
        tmp[k] = buf[i + k];
    uint32_t n = encoding_mblen(charset, tmp, 0);
    return n == 0 ? 1 : n;
}

/* In GBK, GB18030 and BIG5 a trailing byte may be any byte from 0x30 up. */
bool walks(uint32_t charset, std::initializer_list<std::string_view> seps)
{
    if (charset != 2 && charset != 3 && charset != 10)
        return false;
    for (std::string_view sep : seps)
        for (char ch : sep)
            if (static_cast<unsigned char>(ch) >= 0x30)
                return true;
    return false;
}

/* The step to the next character: its length when walking, else 1. */
uint32_t step(bool walk, uint32_t charset, const char *buf, uint32_t len, uint32_t i)
{
    return walk ? char_len(charset, buf, len, i) : 1;
}

const char *strstr_ref(const char *buf, uint32_t len, const char *pattern, int32_t pattern_len)
{
    if (buf == nullptr || len == 0 || pattern == nullptr)
        return nullptr;
    uint32_t n = pattern_len > 0 ? static_cast<uint32_t>(pattern_len) : 0;
    for (uint32_t i = 0; i < len; ++i) {
        if (buf[i] == pattern[0] && (n <= 1 || match(buf, len, i, pattern, n)))
            return buf + i;
    }
    return nullptr;
}

const char *search_enclosed(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                            const char *enclose, uint16_t enclose_len)
{
    if (buf == nullptr || term == nullptr || term_len == 0 || enclose == nullptr || enclose_len == 0)
        return strstr_ref(buf, len, term, term_len);
    uint32_t i = 0;
    while (i < len) {
        if (buf[i] == term[0]) {
            if (match(buf, len, i, term, term_len))
                return buf + i;
            ++i;
        } else if (buf[i] == enclose[0] && match(buf, len, i, enclose, enclose_len)) {
            uint32_t j = i + enclose_len;
            while (j < len && !match(buf, len, j, enclose, enclose_len))
                ++j;
            if (j >= len)
                return nullptr;
            i = j + 1;
        } else {
            ++i;
        }
    }
    return nullptr;
}

const char *search_escaped(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                           const char *escape, uint16_t escape_len)
{
    if (buf == nullptr || term == nullptr || term_len == 0 || escape == nullptr || escape_len == 0)
        return strstr_ref(buf, len, term, term_len);
    uint32_t s = escape_len;
    uint32_t from = 0;
    while (from < len) {
        uint32_t k = from;
        while (k < len && !match(buf, len, k, term, term_len))
            ++k;
        if (k >= len)
            return nullptr;
        if (k < s || !match(buf, len, k - s, escape, s, true))
            return buf + k;
        if (k >= 2 * s && match(buf, len, k - 2 * s, escape, s, true))
            return buf + k;
        from = k + term_len;
    }
    return nullptr;
}

/* The plain search where a trailing byte could be the terminator: only a
** match at a character's first byte counts. */
const char *search_plain_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len, uint32_t charset)
{
    if (!walks(charset, {std::string_view(term, term_len)}))
        return strstr_ref(buf, len, term, term_len);
    for (uint32_t i = 0; i < len; i += char_len(charset, buf, len, i))
        if (match(buf, len, i, term, term_len))
            return buf + i;
    return nullptr;
}

/* The escape-aware search by characters: a terminator after exactly one
** escape is data. */
const char *search_escaped_chars(const char *buf, uint32_t len, const char *term, uint16_t term_len,
                                 const char *escape, uint16_t escape_len, uint32_t charset)
{
    if (term_len == 0 || escape_len == 0 ||
        !walks(charset, {std::string_view(term, term_len), std::string_view(escape, escape_len)}))
        return search_escaped(buf, len, term, term_len, escape, escape_len);
    uint32_t escapes = 0;
    uint32_t i = 0;
    while (i < len) {
        if (match(buf, len, i, term, term_len)) {
            if (escapes != 1)
                return buf + i;
            escapes = 0;
            i += term_len;
        } else if (match(buf, len, i, escape, escape_len, true)) {
            escapes++;
            i += escape_len;
        } else {
            escapes = 0;
            i += char_len(charset, buf, len, i);
        }
    }
    return nullptr;
}

const char *search_csv(const char *buf, uint32_t len, const char *term, uint16_t term_len, const char *field_term,
                       uint16_t field_term_len, const char *enclose, uint16_t enclose_len, uint32_t charset)
{
    if (buf == nullptr || len == 0 || term_len == 0)
        return nullptr;
    if (enclose_len == 0)
        return search_plain_chars(buf, len, term, term_len, charset);
    const bool walk = walks(charset, {std::string_view(term, term_len), std::string_view(field_term, field_term_len),
                                      std::string_view(enclose, enclose_len)});
    bool field_start = true;
    uint32_t i = 0;
    while (i < len) {
        if (match(buf, len, i, term, term_len))
            return buf + i;
        if (match(buf, len, i, field_term, field_term_len)) {
            i += field_term_len;
            field_start = true;
            continue;
        }
        if (field_start && match(buf, len, i, enclose, enclose_len)) {
            i += enclose_len;
            for (;;) {
                while (i < len && !match(buf, len, i, enclose, enclose_len))
                    i += step(walk, charset, buf, len, i);
                if (i >= len)
                    return nullptr;
                i += enclose_len;
                if (!match(buf, len, i, enclose, enclose_len))
                    break;
                i += enclose_len;
            }
            field_start = false;
            continue;
        }
        field_start = false;
        i += step(walk, charset, buf, len, i);
    }
    return nullptr;
}

/* The CSV field: an enclosure only at the first byte, doubled ones inside,
** then the field terminator, the row terminator or the end; a carriage
** return outside that begins neither is an error, as is a cut character. */
int32_t scan_csv(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *T, uint32_t t, const char *E,
                 uint32_t e, const char *R, uint32_t r, char *data, uint32_t len, uint32_t charset, char **out_value,
                 uint32_t *out_len, uint32_t *out_used, char *work)
{
    *out_value = data;
    *out_len = 0;
    *out_used = 0;
    if (t == 0)
        return -65027;
    if (same(E, e, T, t))
        return -65058;
    const bool walk = walks(charset, {std::string_view(T, t), std::string_view(E, e), std::string_view(R ? R : "", r)});
    uint32_t i = 0, value_len = 0, value_off = 0;
    const bool enclosed = match(data, len, 0, E, e);
    if (enclosed) {
        value_off = e;
        i = e;
        for (;;) {
            const bool at_enclose = match(data, len, i, E, e);
            const bool doubled = at_enclose && match(data, len, i + e, E, e);
            if (at_enclose && !doubled) {
                i += e;
                break;
            }
            /* A character, or a doubled enclosure that stands for one; the end before the close is an error. */
            const uint32_t n = doubled ? e : i < len ? step(walk, charset, data, len, i) : 1;
            if (i + n > len) {
                *out_used = len;
                return -65027;
            }
            std::memcpy(work + value_len, data + i, n);
            value_len += n;
            i += doubled ? 2 * e : n;
        }
        std::memcpy(data + e, work, value_len);
    } else {
        while (i < len && !match(data, len, i, T, t) && !match(data, len, i, R, r) && data[i] != '\r') {
            const uint32_t n = step(walk, charset, data, len, i);
            if (i + n > len)
                break;
            i += n;
        }
        value_len = i;
    }
    *out_value = data + value_off;
    bool field_term = false;
    if (i == len) {
    } else if (match(data, len, i, T, t)) {
        i += t;
        field_term = true;
    } else if (match(data, len, i, R, r)) {
        i += r;
    } else {
        *out_used = i;
        return -65027;
    }
    const bool is_null = (col && col->is_null) || (!enclosed && value_len == 0);
    *out_len = is_null ? 0xFFFFFFFFu : value_len;
    *out_used = i;
    return (!field_term && is_last == 0 && ctl->trailing_flag == 0) ? -65059 : 0;
}

int32_t scan(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last, const char *R, uint32_t r,
             char *data, uint32_t len, uint32_t charset, uint32_t mode, uint32_t enclosed_rows,
             char **out_value, uint32_t *out_len, uint32_t *out_used, char *work)
{
    static const fldr_seperator_info none = {};
    const fldr_seperator_info *tab = ctl->sep_info ? ctl->sep_info : &none;
    const fldr_seperator_info *cs = (col && col->sep_info) ? col->sep_info : nullptr;
    const char *T = (cs && cs->term_len) ? cs->term : tab->term;
    uint32_t t = (cs && cs->term_len) ? cs->term_len : tab->term_len;
    const char *E = (cs && cs->enclose_len) ? cs->enclose : tab->enclose;
    uint32_t e = (cs && cs->enclose_len) ? cs->enclose_len : tab->enclose_len;
    const char *S = tab->escape;
    uint32_t s = tab->escape_len;
    if (R == nullptr)
        r = 0;
    if (mode == FLDR_SCAN_CSV)
        return scan_csv(ctl, col, is_last, T, t, E, e, R, r, data, len, charset, out_value, out_len, out_used,
                        work);
    const bool trailing = ctl->trailing_flag != 0;

    /* 1. clash */
    if (same(E, e, T, t) || same(E, e, S, s) || same(S, s, T, t)) {
        *out_value = data;
        *out_len = 0;
        *out_used = 0;
        return -65058;
    }

    /* 2. start */
    bool copying = (mode == 2 && s != 0);
    bool inside = false;
    uint32_t val_off = 0;
    uint32_t val_len = 0;      /* value bytes: slicing counts, copying fills work */
    bool null_mark = (mode != 2);
    uint32_t p = 0;
    int32_t rc = 0;
    enum { STOPPED, FIELD_END, ROW_END } how = STOPPED;

    auto add = [&](uint32_t from, uint32_t n) {
        if (copying)
            std::memcpy(work + val_len, data + from, n);
        val_len += n;
    };
    /* Takes the character at p into the value; false when the end cuts it. */
    auto take_char = [&]() {
        const uint32_t n = char_len(charset, data, len, p);
        if (p + n > len)
            return false;
        add(p, n);
        p += n;
        return true;
    };

    /* 3. walk */
    while (p < len) {
        if (mode == 2 && s != 0 && match(data, len, p, S, s)) {
            p += s;
            if (p < len && data[p] == 'N') {
                p += 1;
                null_mark = true;
                if (p >= len)
                    goto step4;
                if (inside && match(data, len, p, E, e)) {
                    inside = false;
                    p += e;
                }
                if (match(data, len, p, T, t)) {
                    p += t;
                    how = FIELD_END;
                    goto step4;
                } else if (match(data, len, p, R, r)) {
                    p += r;
                    how = ROW_END;
                    goto step4;
                }
                goto step5;
            }
            if (p >= len || !take_char())
                goto step4;
            continue;
        }
        if (match(data, len, p, E, e)) {
            if (inside && mode == 0 && match(data, len, p + e, E, e)) {
                if (!copying) {
                    /* the bytes gathered so far move to the work area */
                    std::memcpy(work, data + val_off, val_len);
                    copying = true;
                }
                add(p, e);
                p += 2 * e;
                continue;
            }
            p += e;
            if (inside) {
                inside = false;
                goto step5;
            }
            inside = true;
            if (!copying)
                val_off = e;
            null_mark = false;
            continue;
        }
        if (match(data, len, p, T, t)) {
            if (inside) {
                add(p, t);
                p += t;
                continue;
            }
            p += t;
            how = FIELD_END;
            goto step4;
        }
        if (match(data, len, p, R, r)) {
            if (mode == 1 && enclosed_rows == 1 && inside) {
                add(p, r);
                p += r;
                continue;
            }
            p += r;
            how = ROW_END;
            goto step4;
        }
        if (!take_char())
            goto step4;
    }

step4:
    if (inside) {
        rc = -65027;
        goto step6;
    }
    if (how == FIELD_END) {
        if (match(data, len, p, R, r))
            p += r;
        goto step6;
    }
    if (how == ROW_END) {
        if (is_last == 0 && !trailing)
            rc = -65059;
        goto step6;
    }

step5:
    if (match(data, len, p, T, t))
        p += t;
    else if (t != 0 && is_last == 0 && !trailing)
        rc = -65059;
    if (match(data, len, p, R, r))
        p += r;
    else if (r != 0 && p < len && is_last == 1)
        p = len;

step6:
    if (copying)
        std::memcpy(data + val_off, work, val_len);
    *out_value = data + val_off;
    if ((col && col->is_null) || (null_mark && val_len == 0))
        *out_len = (mode == 1 || mode == 2) ? 0xFFFFFFFFu : 0;
    else
        *out_len = val_len;
    *out_used = p;
    return rc;
}

int32_t get_nth_val_len(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                        const char *row_term, uint16_t row_term_len, char *data, uint32_t len,
                        uint32_t charset, uint32_t mode, uint32_t enclosed_rows, char **out_value,
                        uint32_t *out_len, uint32_t *out_used, char *work, uint32_t *more_data)
{
    if (len == 0) {
        *out_value = data;
        *out_len = (mode == 1 || mode == FLDR_SCAN_CSV) ? 0xFFFFFFFFu : 0;
        *out_used = 0;
        return (is_last == 0 && ctl->trailing_flag == 0) ? -65059 : 0;
    }
    /* A delimited column after a positional one that took the rest of the row. */
    if (col != nullptr && col->pos_start == -1 && *more_data == 0)
        return -65027;
    const bool positional = col != nullptr && col->pos_start != -1;
    if (positional) {
        if (data == nullptr) {
            *out_value = nullptr;
            *out_len = 0;
            *more_data = 0;
            return 0;
        }
        *more_data = 1;
        *out_value = data;
    }
    if (!positional || col->pos_end == -1)
        return scan(ctl, col, is_last, row_term, row_term_len, data, len, charset, mode,
                    enclosed_rows, out_value, out_len, out_used, work);
    uint32_t m = len;
    if (row_term != nullptr && len > row_term_len &&
        match(data, len, len - row_term_len, row_term, row_term_len))
        m -= row_term_len;
    int64_t width = col->pos_end - col->pos_start + 1;
    if (col->pos_end <= static_cast<int64_t>(m) + col->pos_start - 1) {
        *out_len = width > 0 ? static_cast<uint32_t>(width) : 0;
        *out_used = *out_len;
    } else {
        *more_data = 0;
        *out_len = m;
    }
    return qx_get_valid_chars(*out_value, *out_len, charset, 0, 0) == -6819 ? -65027 : 0;
}

}  // namespace

const char *search_row_end(const fldr_inst *inst, const char *buf, uint32_t len, uint16_t term_len,
                           const char *term)
{
    const uint32_t charset = inst != nullptr ? inst->charset : 0;
    if (inst != nullptr && inst->ctl != nullptr && inst->ctl->sep_info != nullptr) {
        const fldr_seperator_info *sep = inst->ctl->sep_info;
        if (inst->scan_mode == 1 && inst->enclosed_rows != 0)
            return search_enclosed(buf, len, term, term_len, inst->ctl->row_enclose,
                                   inst->ctl->row_enclose_len);
        if (inst->scan_mode == 2)
            return search_escaped_chars(buf, len, term, term_len, sep->escape, sep->escape_len, charset);
        if (inst->scan_mode == FLDR_SCAN_CSV)
            return search_csv(buf, len, term, term_len, sep->term, sep->term_len, sep->enclose, sep->enclose_len,
                              charset);
    }
    return term != nullptr ? search_plain_chars(buf, len, term, term_len, charset) : nullptr;
}

guarded_bytes::guarded_bytes(std::string_view bytes)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (bytes.size() + page - 1) / page * page + page;
    map_len_ = body + page;
    void *m = mmap(nullptr, map_len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    map_ = static_cast<char *>(m);
    if (mprotect(map_ + body, page, PROT_NONE) != 0)
        throw std::runtime_error("mprotect failed");
    size_ = static_cast<uint32_t>(bytes.size());
    data_ = map_ + body - bytes.size();
    std::memcpy(data_, bytes.data(), bytes.size());
}

guarded_bytes::~guarded_bytes()
{
    if (map_ != nullptr)
        munmap(map_, map_len_);
}

namespace {

const char k_sep_alphabet[] = {',', '|', '"', '\'', '\\', '\n', '\r', 'N', 'a', '#', '\0'};

std::string random_sep(const pick_fn &pick, uint32_t min_len)
{
    uint32_t n = min_len + pick(4 - min_len);
    std::string s;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t k = pick(24);   /* never NUL: separators are texts */
        s += k < 20 ? k_sep_alphabet[k % 10] : static_cast<char>(0x81 + pick(0x7F));
    }
    return s;
}

/* One character of the set, sometimes cut or invalid. */
std::string random_char(const pick_fn &pick, uint32_t charset)
{
    auto byte = [](uint32_t v) { return static_cast<char>(v); };
    if (pick(8) == 0 || (charset != 1 && charset != 2 && charset != 3 && charset != 10))
        return std::string(1, byte(0x80 + pick(128)));   /* stray byte */
    if (charset == 1) {
        static const char *utf8[] = {"\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "\xe4\xb8"};
        return utf8[pick(4)];
    }
    if (charset == 3)
        return {byte(0xA1 + pick(0x59)), "\\|@\xa1\x7e"[pick(5)]};
    const char lead = byte(0x81 + pick(0x7E));   /* GBK, GB18030: trails include separator bytes */
    if (charset == 10 && pick(3) == 0)
        return {lead, byte('0' + pick(10)), byte(0x81 + pick(0x7E)), byte('0' + pick(10))};
    return {lead, "|\\,\"N@\x80\xfe"[pick(8)]};
}

std::string random_row(const pick_fn &pick, const split_case &c)
{
    std::string row;
    const uint32_t pieces = pick(40);
    for (uint32_t i = 0; i < pieces; ++i) {
        switch (pick(12)) {
        case 0: row += c.term; break;
        case 1: row += c.enclose; break;
        case 2: row += c.escape; break;
        case 3: row += c.row_term; break;
        case 4: row += 'N'; break;
        case 5: row += random_char(pick, c.charset); break;
        case 6: row += std::string(1, static_cast<char>(pick(3) == 0 ? 0 : pick(128))); break;
        case 7: row += c.col_term + c.col_enclose; break;
        default: row += std::string(1 + pick(20), static_cast<char>('a' + pick(26))); break;
        }
    }
    if (pick(2) == 0)
        row += c.row_term;
    return row;
}

std::string show(std::string_view s)
{
    std::ostringstream o;
    for (unsigned char ch : s) {
        if (ch >= 0x20 && ch < 0x7F && ch != '\\')
            o << ch;
        else
            o << "\\x" << std::hex << (ch >> 4) << (ch & 15) << std::dec;
    }
    return o.str();
}

}  // namespace

split_case make_case(const pick_fn &pick)
{
    static const uint32_t charsets[] = {1, 2, 3, 9, 10};
    split_case c;
    c.charset = charsets[pick(5)];
    static const uint32_t modes[] = {0, 1, 2, FLDR_SCAN_CSV, FLDR_SCAN_CSV};
    c.mode = modes[pick(5)];
    c.enclosed_rows = pick(2);
    c.trailing = pick(2);
    c.term = random_sep(pick, pick(8) == 0 ? 0 : 1);
    c.enclose = random_sep(pick, 0);
    c.escape = random_sep(pick, 0);
    c.row_term = random_sep(pick, pick(8) == 0 ? 0 : 1);
    c.row_enclose = pick(2) ? c.enclose : random_sep(pick, 0);
    if (pick(3) == 0) {
        c.col_given = true;
        c.col_term = random_sep(pick, 0);
        c.col_enclose = random_sep(pick, 0);
        c.col_is_null = pick(6) == 0;
        if (pick(4) == 0) {
            c.pos_start = static_cast<int64_t>(pick(12)) + (pick(8) == 0 ? -1 : 1);
            c.pos_end = pick(3) == 0 ? -1 : c.pos_start + static_cast<int64_t>(pick(12)) - 2;
        }
    }
    c.columns = 1 + pick(5);
    c.row = random_row(pick, c);
    return c;
}

std::string check_case(const split_case &c)
{
    split_table t(c.term, c.enclose, c.escape);
    t.ctl.trailing_flag = c.trailing;
    set_sep_string(t.ctl.row_enclose, &t.ctl.row_enclose_len, c.row_enclose);
    fldr_col *col = nullptr;
    if (c.col_given) {
        col = t.add_col(c.col_term, c.col_enclose, c.pos_start, c.pos_end);
        col->is_null = c.col_is_null;
    }
    std::ostringstream why;
    auto where = [&]() {
        return " [charset " + std::to_string(c.charset) + " mode " + std::to_string(c.mode) +
               " encl_rows " + std::to_string(c.enclosed_rows) + " trailing " + std::to_string(c.trailing) +
               " T '" + show(c.term) + "' E '" + show(c.enclose) + "' S '" + show(c.escape) + "' R '" +
               show(c.row_term) + "' col '" + show(c.col_term) + "' '" + show(c.col_enclose) + "' pos " +
               std::to_string(c.pos_start) + ":" + std::to_string(c.pos_end) + " row '" + show(c.row) + "']";
    };

    /* Searches. */
    {
        guarded_bytes g(c.row);
        const uint16_t rl = static_cast<uint16_t>(c.row_term.size());
        const char *rt = c.row_term.c_str();
        fldr_inst inst{};
        inst.ctl = &t.ctl;
        inst.enclosed_rows = c.enclosed_rows;
        inst.charset = c.charset;
        /* Describes a search whose result differs from the reference's. */
        auto differs = [&](const std::string &what, const char *got, const char *want) {
            if (got != want)
                why << what << ": got " << (got ? got - g.data() : -1) << " want " << (want ? want - g.data() : -1)
                    << where();
            return got != want;
        };
        for (const uint32_t mode : {0u, 1u, 2u, static_cast<uint32_t>(FLDR_SCAN_CSV)}) {
            inst.scan_mode = mode;
            if (differs("row search mode " + std::to_string(mode), fldr_search_row_end(&inst, g.data(), g.size(), rl, rt),
                        search_row_end(&inst, g.data(), g.size(), rl, rt)))
                return why.str();
            /* All row ends at once, as one search after another gives them. */
            uint32_t ends[8];
            const uint32_t found = fldr_search_row_ends(&inst, g.data(), g.size(), rl, rt, ends, 8, 0);
            uint32_t from = 0;
            for (uint32_t i = 0; i <= found && i < 8 && rl != 0; ++i) {
                const char *next = from < g.size() ? search_row_end(&inst, g.data() + from, g.size() - from, rl, rt)
                                                   : nullptr;
                if (differs("batch row search mode " + std::to_string(mode) + " end " + std::to_string(i),
                            i < found ? g.data() + ends[i] : nullptr, next))
                    return why.str();
                if (next == nullptr)
                    break;
                from = static_cast<uint32_t>(next - g.data()) + rl;
            }
        }
        const char *re = c.row_enclose.c_str(), *ft = c.term.c_str(), *fe = c.enclose.c_str();
        const auto rel = static_cast<uint16_t>(c.row_enclose.size()), ftl = static_cast<uint16_t>(c.term.size()),
                   fel = static_cast<uint16_t>(c.enclose.size());
        if (differs("portable enclosed search", fldr_search_row_enclosed_portable(g.data(), g.size(), rt, rl, re, rel),
                    search_enclosed(g.data(), g.size(), rt, rl, re, rel)) ||
            differs("CSV search by characters",
                    fldr_search_row_csv_walk(g.data(), g.size(), rt, rl, ft, ftl, fe, fel, c.charset),
                    search_csv(g.data(), g.size(), rt, rl, ft, ftl, fe, fel, c.charset)) ||
            differs("strstr", fldr_strstr(g.data(), g.size(), ft, ftl), strstr_ref(g.data(), g.size(), ft, ftl)))
            return why.str();
    }

    /* Fields, one after another, each call on the rest of the row: the
    ** entry as the processor runs it, then its 16-byte version. */
    for (const bool portable : {false, true}) {
        guarded_bytes lib(c.row);
        guarded_bytes ref(c.row);
        std::vector<char> work(c.row.size() + 1);
        uint32_t off = 0;
        uint32_t lib_more = 1, ref_more = 1;
        for (uint32_t k = 0; k < c.columns; ++k) {
            const uint32_t is_last = k + 1 == c.columns ? 1 : 0;
            char *const unset = reinterpret_cast<char *>(1);
            char *lv = unset, *rv = unset;
            uint32_t ll = 7, rl = 7, lu = 0xABCD, ru = 0xABCD;
            const uint32_t left = lib.size() - off;
            const uint16_t rt_len = static_cast<uint16_t>(c.row_term.size());
            const int32_t lrc =
                portable ? fldr_get_nth_val_len_portable(&t.ctl, col, is_last, c.row_term.c_str(), rt_len,
                                                         lib.data() + off, left, c.charset, c.mode, c.enclosed_rows,
                                                         &lv, &ll, &lu, &lib_more)
                         : fldr_get_nth_val_len(&t.ctl, col, is_last, c.row_term.c_str(), rt_len, lib.data() + off,
                                                left, c.charset, c.mode, c.enclosed_rows, &lv, &ll, &lu, nullptr,
                                                nullptr, &lib_more);
            const int32_t rrc = get_nth_val_len(&t.ctl, col, is_last, c.row_term.c_str(), rt_len, ref.data() + off,
                                                left, c.charset, c.mode, c.enclosed_rows, &rv, &rl, &ru,
                                                work.data(), &ref_more);
            auto offset = [&](char *v, char *base) -> long { return v == unset ? -2 : v ? v - base : -1; };
            const long lo = offset(lv, lib.data()), ro = offset(rv, ref.data());
            if (lrc != rrc || ll != rl || lu != ru || lo != ro || lib_more != ref_more ||
                std::memcmp(lib.data(), ref.data(), lib.size()) != 0) {
                why << (portable ? "16-byte " : "") << "field " << k << " at " << off << ": rc " << lrc << "/"
                    << rrc << " len " << ll << "/" << rl << " used " << lu << "/" << ru << " value at " << lo
                    << "/" << ro << " more " << lib_more << "/" << ref_more << " row now '"
                    << show({lib.data(), lib.size()}) << "' / '" << show({ref.data(), ref.size()}) << "'" << where();
                return why.str();
            }
            if (lrc < 0 || lu == 0xABCD || lu > left)
                break;
            off += lu;
        }
    }
    return {};
}

}  // namespace splitref
