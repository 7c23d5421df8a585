/*
** Target table names with their quoting: see table_name.h.
**
** The scan below follows the control language's token rules as far as they
** decide where a name stands: comments ("--" and "//" to the line end,
** nested block comments), string, hexadecimal and bit-string literals
** (skipped, so that a literal holding the words INTO TABLE is not taken for
** a clause), delimited identifiers ("" for a quote, a backslash escape) and
** identifiers (upper-cased, as the library stores them).
*/
#include "table_name.h"

#include <cstring>

#include "qxfldr_comm.h"

namespace qxfldr {

namespace {

bool ident_start(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '#' || c == '$' || c == '_' || c >= 0x80;
}

bool ident_char(unsigned char c)
{
    return ident_start(c) || (c >= '0' && c <= '9');
}

struct Token {
    enum Kind { Name, Dot, Other } kind = Other;
    std::string text;     /* Name: as the library stores it */
    bool        quoted = false;
};

/* Cuts a control text into the tokens that matter for table names. */
class NameScanner {
public:
    explicit NameScanner(std::string_view text) : text_(text) {}

    /* The next token; false at the end of the text. */
    bool next(Token &tok)
    {
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (starts("--") || starts("//")) {
                skip_line();
            } else if (starts("/*")) {
                skip_block_comment();
            } else if (std::strchr(" \t\f\r\n", c) != nullptr) {
                pos_++;
            } else {
                tok = token_at(c);
                return true;
            }
        }
        return false;
    }

private:
    bool starts(std::string_view what) const { return text_.substr(pos_, what.size()) == what; }

    Token token_at(unsigned char c)
    {
        Token tok;
        const bool prefixed_literal = (c == 'X' || c == 'x' || c == 'B' || c == 'b') && pos_ + 1 < text_.size() &&
                                      text_[pos_ + 1] == '\'';
        if (prefixed_literal) {
            const size_t end = text_.find('\'', pos_ + 2);
            pos_ = end == std::string_view::npos ? text_.size() : end + 1;
        } else if (c == '\'') {
            skip_string();
        } else if (c == '"') {
            tok.kind = Token::Name;
            tok.quoted = true;
            tok.text = delimited();
        } else if (ident_start(c)) {
            tok.kind = Token::Name;
            for (; pos_ < text_.size() && ident_char(static_cast<unsigned char>(text_[pos_])); pos_++) {
                const char ch = text_[pos_];
                tok.text += ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
            }
        } else {
            tok.kind = c == '.' ? Token::Dot : Token::Other;
            pos_++;
        }
        return tok;
    }

    void skip_line()
    {
        const size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
    }

    void skip_block_comment()
    {
        int depth = 0;
        pos_ += 2;
        while (pos_ < text_.size()) {
            if (starts("/*")) {
                depth++;
                pos_ += 2;
            } else if (starts("*/")) {
                pos_ += 2;
                if (depth-- == 0)
                    return;
            } else {
                pos_++;
            }
        }
    }

    /* 'text': '' is a quote, a backslash takes the next character along. */
    void skip_string()
    {
        for (pos_++; pos_ < text_.size(); pos_++) {
            if (text_[pos_] == '\\') {
                pos_++;
            } else if (text_[pos_] == '\'') {
                if (pos_ + 1 >= text_.size() || text_[pos_ + 1] != '\'') {
                    pos_++;
                    return;
                }
                pos_++;
            }
        }
    }

    /* "text": "" gives a quote; a backslash before a quote or a backslash
    ** gives that character, before anything else a quote and the text. */
    std::string delimited()
    {
        std::string out;
        for (pos_++; pos_ < text_.size();) {
            const char c = text_[pos_];
            if (c == '"' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
                out += '"';
                pos_ += 2;
            } else if (c == '"') {
                pos_++;
                break;
            } else if (c == '\\' && pos_ + 1 < text_.size()) {
                const char after = text_[pos_ + 1];
                if (after != '"' && after != '\\')
                    out += '"';
                out += after;
                pos_ += 2;
            } else {
                out += c;
                pos_++;
            }
        }
        return out;
    }

    std::string_view text_;
    size_t           pos_ = 0;
};

/* The names of the INTO TABLE clauses of the text, in order. */
std::vector<TableName> scan_table_names(std::string_view text)
{
    std::vector<Token> toks;
    NameScanner scanner(text);
    for (Token tok; scanner.next(tok);)
        toks.push_back(std::move(tok));
    auto is_word = [&toks](size_t i, const char *word) {
        return i < toks.size() && toks[i].kind == Token::Name && !toks[i].quoted && toks[i].text == word;
    };
    auto is_name = [&toks](size_t i) { return i < toks.size() && toks[i].kind == Token::Name; };
    std::vector<TableName> out;
    for (size_t i = 0; i + 2 < toks.size(); i++) {
        if (!is_word(i, "INTO") || !is_word(i + 1, "TABLE") || !is_name(i + 2))
            continue;
        TableName t;
        if (i + 4 < toks.size() && toks[i + 3].kind == Token::Dot && is_name(i + 4)) {
            t.schema = toks[i + 2].text;
            t.schema_quoted = toks[i + 2].quoted;
            t.name = toks[i + 4].text;
            t.name_quoted = toks[i + 4].quoted;
        } else {
            t.name = toks[i + 2].text;
            t.name_quoted = toks[i + 2].quoted;
        }
        out.push_back(std::move(t));
    }
    return out;
}

/* No unquoted name is stored as this text: it was quoted. */
bool must_have_been_quoted(const std::string &text)
{
    if (text.empty() || !ident_start(static_cast<unsigned char>(text[0])))
        return true;
    for (char c : text)
        if ((c >= 'a' && c <= 'z') || !ident_char(static_cast<unsigned char>(c)))
            return true;
    return false;
}

}  // namespace

std::vector<TableName> table_names_of(std::string_view control_text, const fldr_par_result &result)
{
    const std::vector<TableName> scanned = scan_table_names(control_text);
    std::vector<TableName> out;
    size_t k = 0;
    for (const fldr_ctl_node *node = result.ctl_first; node != nullptr; node = node->next, k++) {
        TableName t;
        t.schema = node->ctl->schema_name;
        t.name = node->ctl->table_name;
        if (k < scanned.size() && scanned[k].schema == t.schema && scanned[k].name == t.name) {
            t.schema_quoted = scanned[k].schema_quoted;
            t.name_quoted = scanned[k].name_quoted;
        } else {
            t.schema_quoted = !t.schema.empty() && must_have_been_quoted(t.schema);
            t.name_quoted = must_have_been_quoted(t.name);
        }
        out.push_back(std::move(t));
    }
    return out;
}

}  // namespace qxfldr
