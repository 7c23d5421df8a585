// Helpers shared by the parser suites: a parse on a fresh heap, the token
// stream of a text, and the records a parse builds written as one line.
#ifndef FPAR_TEST_UTIL_H
#define FPAR_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fldr.tab.h"
#include "fpar_ctx.h"
#include "qxcalc.h"
#include "qxfldr_comm.h"

namespace fpar_test {

// One parse of `text` with its own heap, freed with the object.
struct Parse {
    fldr_env         env{};
    mem_heap_t      *heap = nullptr;
    fldr_args        args{};
    fldr_par_result *result = nullptr;
    fldr_parse_err  *err = nullptr;
    int32_t          rc = 0;

    Parse()
    {
        mem_env_init(&env);
        heap = mem_heap_create_low(&env, 0, 0, 0, 0, "test", __LINE__, 1);
        fldr_init_args(&args);
    }
    explicit Parse(const std::string &text) : Parse() { run(text); }
    ~Parse() { mem_heap_free(&env, heap); }
    Parse(const Parse &) = delete;
    Parse &operator=(const Parse &) = delete;

    int32_t run(const std::string &text) { return rc = fpar_main(&env, text.c_str(), &result, &err, &args, heap); }
    int32_t run_fun(const std::string &text, fldr_col *col)
    {
        return rc = fpar_main_ex(&env, text.c_str(), &result, &err, col, heap);
    }
    fldr_ctl *ctl(uint32_t n = 0) const
    {
        fldr_ctl_node *node = result->ctl_first;
        while (node != nullptr && n-- > 0)
            node = node->next;
        return node != nullptr ? node->ctl : nullptr;
    }
    std::string err_text() const { return err != nullptr && err->text != nullptr ? err->text : ""; }
};

// A scanned token: its number and the value the scanner left for it.
struct Token {
    int         tok;
    int64_t     int_val;
    std::string text;   // str_val for strings and bit strings, else ident
};

// Runs the scanner alone over `text`, on a parse context with its own heap
// prepared as the entry point prepares it; the context is left for inspection.
struct Scan {
    Parse                           base;   // its environment and heap
    std::unique_ptr<fldr_parse_ctx> ctx = std::make_unique<fldr_parse_ctx>();
    std::string                     tokbuf;
    std::vector<Token>              tokens;

    explicit Scan(const std::string &text)
    {
        std::memset(ctx.get(), 0, sizeof(fldr_parse_ctx));
        ctx->env = &base.env;
        ctx->parse_heap = base.heap;
        ctx->upper_idents = 1;
        ctx->escapes_on = 1;
        fldr_yylex_init_extra(ctx.get(), &ctx->scanner);
        tokbuf = text;
        tokbuf.append(2, '\0');
        ctx->tokbuf = tokbuf.data();
        fldr_scan_begin(ctx.get(), text.size());
        for (int tok; (tok = fldr_yylex(ctx->scanner)) != 0;) {
            Token t{tok, ctx->int_val, ""};
            if (tok == TOK_BITSTR_VAL || tok == TOK_STRING_VAL)
                t.text = ctx->str_val;
            else if (tok >= TOK_IDENT)
                t.text = ctx->ident;
            tokens.push_back(t);
        }
    }
    ~Scan() { fldr_yylex_destroy(ctx->scanner); }

    // The tokens as one line: a character token as itself, a literal as its
    // kind and value ("str[a.log]", "int[12]", "id[NAME]"), a keyword as the
    // keyword its number stands for, with the scanned text behind it where
    // that differs ("LOAD", "TRAILING_NULLCOLS[trailing NullCols]").
    std::string show() const
    {
        std::string out;
        for (const Token &t : tokens) {
            out += out.empty() ? "" : " ";
            const char *kw = t.tok == TOK_TRAILING_NULLCOLS ? "TRAILING_NULLCOLS" : fldr_kw_text(t.tok);
            if (t.tok < 256)
                out += static_cast<char>(t.tok);
            else if (t.tok == TOK_BIGINT_VAL || t.tok == TOK_INT_VAL)
                out += (t.tok == TOK_INT_VAL ? "int[" : "big[") + std::to_string(t.int_val) + "]";
            else if (t.tok == TOK_BITSTR_VAL || t.tok == TOK_STRING_VAL || t.tok == TOK_IDENT)
                out += (t.tok == TOK_IDENT ? "id[" : t.tok == TOK_STRING_VAL ? "str[" : "bits[") + t.text + "]";
            else if (kw != nullptr)
                out += kw + (t.text == kw ? "" : "[" + t.text + "]");
            else
                out += "#" + std::to_string(t.tok) + "[" + t.text + "]";
        }
        return out;
    }
};

// Values as one line, each followed by "|": several fields in one comparison.
template <typename... T>
std::string join(const T &...v)
{
    std::ostringstream out;
    ((out << v << '|'), ...);
    return out.str();
}

// A record as one line: "name=value" for every field that is not zero,
// empty or absent (texts quoted), so that one comparison checks what the
// parser set and that it set nothing else.
class Fields {
public:
    Fields &text(const char *name, const char *v)
    {
        return v != nullptr && *v != '\0' ? add(name, "'" + std::string(v) + "'") : *this;
    }
    Fields &num(const char *name, int64_t v, int64_t none = 0)
    {
        return v != none ? add(name, std::to_string(v)) : *this;
    }
    Fields &chr(const char *name, char v, char none)
    {
        return v != none ? add(name, std::string(1, v)) : *this;
    }
    Fields &add(const char *name, const std::string &v)
    {
        out_ += (out_.empty() ? "" : " ") + std::string(name) + "=" + v;
        return *this;
    }
    operator std::string() const { return out_; }

private:
    std::string out_;
};

inline std::string describe(const fldr_seperator_info *s)
{
    if (s == nullptr)
        return "<none>";
    return Fields().text("term", s->term).text("term_hex", s->term_hex).num("term_len", s->term_len)
        .num("term_given", s->term_given).num("term_is_hex", s->term_is_hex).text("enclose", s->enclose)
        .text("enclose_hex", s->enclose_hex).num("enclose_len", s->enclose_len)
        .num("enclose_is_hex", s->enclose_is_hex).text("escape", s->escape).text("escape_hex", s->escape_hex)
        .num("escape_len", s->escape_len).num("escape_is_hex", s->escape_is_hex);
}

inline std::string describe(const fldr_data_file *f)
{
    return Fields().text("path", f->path).num("handle", f->handle, -1).text("row_term", f->row_term)
        .num("row_term_len", f->row_term_len).text("row_term_hex", f->row_term_hex)
        .num("row_term_given", f->row_term_given).text("start", f->start_str).num("start_len", f->start_len)
        .text("start_hex", f->start_hex).num("start_given", f->start_given);
}

// The members of a linked list, each shown by `show`, joined by `sep`; a
// broken prev link, last pointer or count shows instead.
template <typename Node, typename Show>
std::string chain(const Node *first, const Node *last, uint32_t count, const char *sep, Show show)
{
    std::string out;
    const Node *prev = nullptr;
    uint32_t n = 0;
    for (const Node *m = first; m != nullptr; prev = m, m = m->next, n++) {
        if (m->prev != prev)
            return "broken prev link";
        out += (n ? sep : "") + show(m);
    }
    return n == count && last == prev ? out : "broken count or last";
}

// A column function's arguments as written: ":A, 'x', G(:B)".
inline std::string describe(const fldr_fun_arg_list *l)
{
    return chain(l->first, l->last, l->count, ", ", [](const fldr_fun_arg_node *a) {
        const fldr_fun_arg *arg = a->arg;
        return arg->kind == 0   ? ":" + std::string(arg->text)
               : arg->kind == 1 ? "'" + std::string(arg->text) + "'"
                                : arg->text + ("(" + (arg->args ? describe(arg->args) : "?") + ")");
    });
}

// A column; its function's arguments, and its own separators in braces,
// follow when set.
inline std::string describe(const fldr_col *c)
{
    Fields f;
    f.text("name", c->name).num("is_null", c->is_null).num("is_filler", c->is_filler).num("pos_kind", c->pos_kind)
        .num("pos_start", c->pos_start, -1).num("pos_end", c->pos_end, -1).num("data_type", c->data_type, -1)
        .num("data_len", c->data_len).text("date_format", c->date_format).text("constant", c->constant)
        .num("constant_len", c->constant_len).text("fun_str", c->fun_str).num("fun_kind", c->fun_kind, -1)
        .text("fun_name", c->fun_name).text("rep_col", c->rep_col).text("rep_from", c->rep_from)
        .text("rep_to", c->rep_to).text("seq_schema", c->seq_schema).text("seq_name", c->seq_name)
        .text("substr_col", c->substr_col).num("substr_start", c->substr_start).num("substr_len", c->substr_len);
    if (c->fun_args != nullptr)
        f.add("args", "(" + describe(c->fun_args) + ")");
    const std::string sep = describe(c->sep_info);
    return sep.empty() ? std::string(f) : std::string(f.add("sep", "{" + sep + "}"));
}

// How a parse failed, as the error record's fields; "rc=N" for any other result.
inline std::string failure(int32_t rc, const fldr_parse_err *e)
{
    if (rc != FLDR_ERR_PARSE_FAILED || e == nullptr)
        return "rc=" + std::to_string(rc);
    return Fields().num("code", e->code).num("line", e->line).num("column", e->column).text("text", e->text)
        .text("msg", e->msg);
}
inline std::string failure(const Parse &p) { return failure(p.rc, p.err); }

// Every column of a table, in order, one a line; the links and the count are
// checked on the way.
inline std::string columns(const fldr_ctl *ctl)
{
    return chain(ctl->col_first, ctl->col_last, ctl->col_count, "\n", [](const fldr_col *c) { return describe(c); });
}

// The row and field separators of the parameters.
inline std::string separators(const fldr_args &a)
{
    return Fields().text("field_sep", a.field_sep).text("field_sep_hex", a.field_sep_hex)
        .num("field_sep_len", a.field_sep_len).num("field_sep_is_hex", a.field_sep_is_hex)
        .num("field_sep_empty", a.field_sep_empty).text("row_sep", a.row_sep).text("row_sep_hex", a.row_sep_hex)
        .num("row_sep_len", a.row_sep_len);
}

inline std::string describe(const fldr_ctl *c)
{
    return Fields().text("schema", c->schema_name).text("table", c->table_name)
        .chr("load_mode", static_cast<char>(c->load_mode), 'N').num("is_continuation", c->is_continuation)
        .num("infile_list", c->infile_list).num("infile_directory", c->infile_directory)
        .num("data_file_count", c->data_file_count).text("bad_file", c->bad_file.path)
        .num("trailing_flag", c->trailing_flag).num("col_count", c->col_count);
}

}  // namespace fpar_test

#endif
