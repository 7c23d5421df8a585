/*
** Target table names with their quoting: see table_name.h. The names are
** found in the control text's tokens (ctltext.h), which skip comments and
** literals, so that a literal holding the words INTO TABLE is not taken for
** a clause.
*/
#include "table_name.h"

#include "ctltext.h"
#include "qxfldr_comm.h"

namespace qxfldr {

namespace {

bool is_word(const std::vector<CtlToken> &toks, size_t i, const char *word)
{
    return i < toks.size() && toks[i].kind == CtlToken::Word && toks[i].text == word;
}

bool is_name(const std::vector<CtlToken> &toks, size_t i)
{
    return i < toks.size() && (toks[i].kind == CtlToken::Word || toks[i].kind == CtlToken::Ident);
}

/* The names of the INTO TABLE clauses of the text, in order. */
std::vector<TableName> scan_table_names(const CtlScan &scan)
{
    const std::vector<CtlToken> &toks = scan.tokens;
    std::vector<TableName> out;
    for (size_t i = 0; i + 2 < toks.size(); i++) {
        if (!is_word(toks, i, "INTO") || !is_word(toks, i + 1, "TABLE") || !is_name(toks, i + 2))
            continue;
        const bool dotted = i + 4 < toks.size() && toks[i + 3].kind == CtlToken::Punct && toks[i + 3].text == "." &&
                            is_name(toks, i + 4);
        const CtlToken &last = toks[dotted ? i + 4 : i + 2];
        TableName t;
        t.name = last.text;
        t.name_quoted = last.kind == CtlToken::Ident;
        if (dotted) {
            t.schema = toks[i + 2].text;
            t.schema_quoted = toks[i + 2].kind == CtlToken::Ident;
        }
        out.push_back(std::move(t));
    }
    return out;
}

bool ident_char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#' || c == '$' || c == '_' || c >= 0x80;
}

/* No unquoted name is stored as this text: it was quoted. */
bool must_have_been_quoted(const std::string &text)
{
    if (text.empty() || (text[0] >= '0' && text[0] <= '9'))
        return true;
    for (char c : text)
        if (!ident_char(static_cast<unsigned char>(c)))
            return true;
    return false;
}

}  // namespace

std::vector<TableName> table_names_of(const CtlScan &scan, const fldr_par_result &result)
{
    const std::vector<TableName> scanned = scan_table_names(scan);
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
