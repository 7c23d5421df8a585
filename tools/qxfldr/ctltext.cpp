/*
** The control text cut into tokens beside the library's parse (ctltext.h).
**
** The cut follows the library's scanner: blanks and line breaks between
** tokens; "--" and "//" comments to the line's end; "/" "*" comments that
** nest; '...' strings with '' and backslash pairs, and with the
** continuation that joins 'abc' and 'def' on the next line; "..."
** delimited identifiers; X'...' and B'...' literals; digit runs; words of
** letters, digits, #, $, _ and bytes from 0x80; TRAILING NULLCOLS as one
** word; any other byte a token of its own. Lines count line feeds; columns
** count bytes from the line's start, both from 1, as the library's do.
*/
#include "ctltext.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qxfldr {

/* ------------------------------------------------------------ messages */

bool iequal(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        const char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        const char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

std::string clip(std::string_view text)
{
    /* Escaped first, as far as the shown characters can reach (a character
    ** takes at most 4 bytes). */
    std::string shown;
    const size_t reach = std::min(text.size(), 4 * (kClipChars + 1));
    for (size_t i = 0; i < reach; i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r' || c == '\t') {
            shown += '\\';
            shown += c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        } else if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            shown += "\\x";
            shown += hex[c >> 4];
            shown += hex[c & 15];
        } else {
            shown += static_cast<char>(c);
        }
    }
    /* Characters counted by their first bytes (UTF-8 continuation bytes
    ** go with the character before them). */
    size_t chars = 0, keep = shown.size();
    for (size_t i = 0; i < shown.size(); i++) {
        if ((static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80)
            continue;
        if (++chars == kClipChars - 2)
            keep = i;
    }
    if (chars <= kClipChars && reach == text.size())
        return shown;
    shown.resize(keep);
    return shown + "...";
}

/* ------------------------------------------------------------ scanner */

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\f'; }
bool is_break(char c) { return c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '#' || u == '$' || u == '_' || u >= 0x80;
}
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c); }

std::string upper(std::string_view s)
{
    std::string out(s);
    for (auto &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}
    CtlScan run();

private:
    bool at(size_t i, char c) const { return i < text_.size() && text_[i] == c; }
    size_t comment_end(size_t i) const;
    size_t continuation(size_t quote) const;
    bool block_comment();
    bool literal(CtlToken::Kind kind, size_t open);
    bool delimited();
    bool number();
    bool word();
    void place(size_t i);
    void add(CtlToken::Kind kind, std::string text, size_t start);
    bool fail(size_t start);

    std::string_view text_;
    size_t   pos_ = 0;          /* next byte to read */
    size_t   placed_ = 0;       /* the byte line_ and line_start_ describe */
    uint32_t line_ = 1;
    size_t   line_start_ = 0;
    CtlScan  out_;
};

/* Moves the line count forward to byte i (never backward). */
void Scanner::place(size_t i)
{
    for (; placed_ < i; placed_++)
        if (text_[placed_] == '\n') {
            line_++;
            line_start_ = placed_ + 1;
        }
}

void Scanner::add(CtlToken::Kind kind, std::string text, size_t start)
{
    place(start);
    out_.tokens.push_back(
        CtlToken{kind, std::move(text), line_, static_cast<uint32_t>(start - line_start_ + 1)});
}

bool Scanner::fail(size_t start)
{
    place(start);
    out_.fault = true;
    out_.fault_line = line_;
    out_.fault_column = static_cast<uint32_t>(start - line_start_ + 1);
    return false;
}

/* End of a "--" or "//" comment that starts at i: the next line break. */
size_t Scanner::comment_end(size_t i) const
{
    while (i < text_.size() && !is_break(text_[i]))
        i++;
    return i;
}

/* Length of a continuation that starts at the closing quote `quote`: blanks
** and "--" comments, at least one line break, then blanks, line breaks and
** comments, then an opening quote. 0 when there is none. */
size_t Scanner::continuation(size_t quote) const
{
    size_t i = quote + 1;
    bool broke = false;
    while (i < text_.size()) {
        if (is_blank(text_[i])) {
            i++;
        } else if (is_break(text_[i])) {
            broke = true;
            i++;
        } else if (at(i, '-') && at(i + 1, '-')) {
            i = comment_end(i);
        } else if (broke && at(i, '/') && at(i + 1, '/')) {
            i = comment_end(i);
        } else {
            break;
        }
    }
    return broke && at(i, '\'') ? i + 1 - quote : 0;
}

bool Scanner::block_comment()
{
    const size_t start = pos_;
    int depth = 0;
    pos_ += 2;
    while (pos_ < text_.size()) {
        if (at(pos_, '/') && at(pos_ + 1, '*')) {
            depth++;
            pos_ += 2;
        } else if (at(pos_, '*')) {
            while (at(pos_, '*'))
                pos_++;
            if (at(pos_, '/')) {
                pos_++;
                if (depth-- == 0)
                    return true;
            }
        } else {
            pos_++;
        }
    }
    return fail(start);
}

/* A '...' string, or the body of X'...' / B'...' (`open` is the token's
** first byte, pos_ its opening quote). Strings take '' and backslash pairs;
** all three go on over a continuation. */
bool Scanner::literal(CtlToken::Kind kind, size_t open)
{
    std::string body;
    pos_++;
    for (;;) {
        if (pos_ >= text_.size())
            return fail(open);
        const char c = text_[pos_];
        if (c == '\'') {
            if (kind == CtlToken::Quoted && at(pos_ + 1, '\'')) {
                body += "''";
                pos_ += 2;
            } else if (const size_t skip = continuation(pos_)) {
                pos_ += skip;
            } else {
                pos_++;
                break;
            }
        } else if (c == '\\' && kind == CtlToken::Quoted) {
            if (pos_ + 1 >= text_.size())
                return fail(open);
            body += text_.substr(pos_, 2);
            pos_ += 2;
        } else {
            body += c;
            pos_++;
        }
    }
    if (kind == CtlToken::Hex) {
        errno = 0;
        const long value = std::strtol(body.c_str(), nullptr, 16);
        if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
            return fail(open);
    } else if (kind == CtlToken::Bits && body.find_first_not_of("01") != std::string::npos) {
        return fail(open);
    }
    add(kind, std::move(body), open);
    return true;
}

/* A "..." identifier: "" is a quote; a backslash takes a quote or a
** backslash after it, and otherwise stands for a quote itself. */
bool Scanner::delimited()
{
    const size_t open = pos_++;
    std::string body;
    for (;;) {
        if (pos_ >= text_.size())
            return fail(open);
        const char c = text_[pos_];
        if (c == '"' && at(pos_ + 1, '"')) {
            body += '"';
            pos_ += 2;
        } else if (c == '"') {
            pos_++;
            break;
        } else if (c == '\\') {
            if (pos_ + 1 >= text_.size())
                return fail(open);
            const char next = text_[pos_ + 1];
            body += next == '"' || next == '\\' ? next : '"';
            pos_ += next == '"' || next == '\\' ? 2 : 1;
        } else {
            body += c;
            pos_++;
        }
    }
    if (body.empty() || body.size() > 128)
        return fail(open);
    add(CtlToken::Ident, std::move(body), open);
    return true;
}

/* A digit run; more than the largest signed 64-bit value is the scanner's error. */
bool Scanner::number()
{
    const size_t start = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_]))
        pos_++;
    std::string_view digits = text_.substr(start, pos_ - start);
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (digits.size() > 19 || (digits.size() == 19 && digits > "9223372036854775807"))
        return fail(start);
    add(CtlToken::Number, std::string(digits), start);
    return true;
}

bool Scanner::word()
{
    const size_t start = pos_;
    while (pos_ < text_.size() && is_ident_char(text_[pos_]))
        pos_++;
    std::string text = upper(text_.substr(start, pos_ - start));
    if (text.size() > 128)
        return fail(start);   /* no keyword is that long */
    if (text == "TRAILING") {
        size_t i = pos_;
        while (i < text_.size() && (is_blank(text_[i]) || is_break(text_[i])))
            i++;
        if (i > pos_ && upper(text_.substr(i, 8)) == "NULLCOLS") {
            pos_ = i + 8;
            text = "TRAILING NULLCOLS";
        }
    }
    add(CtlToken::Word, std::move(text), start);
    return true;
}

CtlScan Scanner::run()
{
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        bool ok = true;
        if (is_blank(c) || is_break(c))
            pos_++;
        else if ((c == '-' && next == '-') || (c == '/' && next == '/'))
            pos_ = comment_end(pos_);
        else if (c == '/' && next == '*')
            ok = block_comment();
        else if ((c == 'X' || c == 'x') && next == '\'')
            ok = literal(CtlToken::Hex, pos_++);
        else if ((c == 'B' || c == 'b') && next == '\'')
            ok = literal(CtlToken::Bits, pos_++);
        else if (c == '\'')
            ok = literal(CtlToken::Quoted, pos_);
        else if (c == '"')
            ok = delimited();
        else if (is_digit(c))
            ok = number();
        else if (is_ident_start(c))
            ok = word();
        else
            add(CtlToken::Punct, std::string(1, c), pos_++);
        if (!ok)
            break;
    }
    return std::move(out_);
}

bool is_punct(const CtlToken &t, char c) { return t.kind == CtlToken::Punct && t.text[0] == c; }
bool is_word(const CtlToken &t, const char *w) { return t.kind == CtlToken::Word && t.text == w; }

/* Index of the ')' that closes the '(' at `open`, or the token count. */
size_t closing(const std::vector<CtlToken> &tokens, size_t open)
{
    int depth = 0;
    for (size_t k = open; k < tokens.size(); k++) {
        depth += is_punct(tokens[k], '(') ? 1 : is_punct(tokens[k], ')') ? -1 : 0;
        if (depth == 0)
            return k;
    }
    return tokens.size();
}

/* Whether the '(' at k (outside any parentheses) opens a column list: the
** other lists of a LOAD statement follow OPTIONS, EP, WHEN or AND, unless
** that word is the table's name (after TABLE or a schema's dot). */
bool opens_column_list(const std::vector<CtlToken> &tokens, size_t k)
{
    if (k == 0)
        return false;
    const CtlToken &before = tokens[k - 1];
    const bool names_table = k >= 2 && (is_word(tokens[k - 2], "TABLE") || is_punct(tokens[k - 2], '.'));
    return names_table || !(is_word(before, "OPTIONS") || is_word(before, "EP") || is_word(before, "WHEN") ||
                            is_word(before, "AND"));
}

/* The clauses of one column: tokens [from, to), its name first. */
ColumnWriting read_column(const std::vector<CtlToken> &tokens, size_t from, size_t to)
{
    ColumnWriting col;
    col.name = tokens[from].text;
    auto empty_string_at = [&](size_t k) {
        return k < to && tokens[k].kind == CtlToken::Quoted && tokens[k].text.empty();
    };
    for (size_t k = from + 1; k < to; k++) {
        if (is_word(tokens[k], "DATE")) {
            const size_t fmt = k + 1 < to && is_word(tokens[k + 1], "FORMAT") ? k + 2 : k + 1;
            col.empty_date_format = col.empty_date_format || empty_string_at(fmt);
        } else if (is_word(tokens[k], "TERMINATED")) {
            size_t sep = k + 1 < to && is_word(tokens[k + 1], "BY") ? k + 2 : k + 1;
            if (sep < to && is_word(tokens[sep], "X"))
                sep++;
            col.empty_terminator = col.empty_terminator || empty_string_at(sep);
        }
    }
    return col;
}

}  // namespace

CtlScan scan_control_text(std::string_view text)
{
    return Scanner(text).run();
}

std::vector<std::vector<ColumnWriting>> find_column_writing(const CtlScan &scan)
{
    const auto &tokens = scan.tokens;
    std::vector<std::vector<ColumnWriting>> lists;
    for (size_t k = 0; k < tokens.size(); k++) {
        if (!is_punct(tokens[k], '('))
            continue;
        const size_t close = closing(tokens, k);
        if (opens_column_list(tokens, k) && close < tokens.size()) {
            std::vector<ColumnWriting> cols;
            size_t from = k + 1;
            for (size_t i = k + 1; i <= close; i++) {
                if (is_punct(tokens[i], '('))
                    i = closing(tokens, i);
                else if ((is_punct(tokens[i], ',') || i == close) && from < i) {
                    cols.push_back(read_column(tokens, from, i));
                    from = i + 1;
                }
            }
            lists.push_back(std::move(cols));
        }
        k = close;   /* lists do not nest at this level */
    }
    return lists;
}

std::vector<WrittenNumber> find_option_numbers(const CtlScan &scan)
{
    const auto &tokens = scan.tokens;
    std::vector<WrittenNumber> found;
    for (size_t k = 0; k + 1 < tokens.size(); k++) {
        if (!is_word(tokens[k], "OPTIONS") || !is_punct(tokens[k + 1], '('))
            continue;
        const size_t close = closing(tokens, k + 1);
        for (size_t i = k + 2; i + 2 < close; i++) {
            if (is_punct(tokens[i], '('))
                i = closing(tokens, i);
            else if (tokens[i].kind == CtlToken::Word && is_punct(tokens[i + 1], '=') &&
                     (tokens[i + 2].kind == CtlToken::Number || tokens[i + 2].kind == CtlToken::Hex)) {
                const CtlToken &value = tokens[i + 2];
                /* A hexadecimal number fits 31 bits, or the scan has stopped before it. */
                const std::string digits = value.kind == CtlToken::Number
                                               ? value.text
                                               : std::to_string(std::strtol(value.text.c_str(), nullptr, 16));
                found.push_back({tokens[i].text, digits, value.line, value.column});
            }
        }
        k = close;
    }
    return found;
}

}  // namespace qxfldr
