// Helpers shared by the parser suites: a parse on a fresh heap, and the
// token stream of a text.
#ifndef FPAR_TEST_UTIL_H
#define FPAR_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

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

    int32_t run(const std::string &text)
    {
        rc = fpar_main(&env, text.c_str(), &result, &err, &args, heap);
        return rc;
    }
    int32_t run_fun(const std::string &text, fldr_col *col)
    {
        rc = fpar_main_ex(&env, text.c_str(), &result, &err, col, heap);
        return rc;
    }
    fldr_ctl *ctl(uint32_t n = 0) const
    {
        fldr_ctl_node *node = result->ctl_first;
        while (node != nullptr && n-- > 0)
            node = node->next;
        return node != nullptr ? node->ctl : nullptr;
    }
    fldr_col *col(uint32_t table, uint32_t n) const
    {
        fldr_col *c = ctl(table)->col_first;
        while (c != nullptr && n-- > 0)
            c = c->next;
        return c;
    }
    std::string err_text() const { return err != nullptr && err->text != nullptr ? err->text : ""; }
};

// A scanned token: its number and the value the scanner left for it.
struct Token {
    int         tok;
    int64_t     int_val;
    std::string text;   // str_val for strings and bit strings, else ident
};

// A parse context over `text` with its own heap, the scanner started on it:
// what the entry point prepares before it runs the scanner or the grammar.
struct Scanner {
    fldr_env                        env{};
    mem_heap_t                     *heap = nullptr;
    std::unique_ptr<fldr_parse_ctx> ctx = std::make_unique<fldr_parse_ctx>();
    std::string                     tokbuf;

    explicit Scanner(const std::string &text)
    {
        mem_env_init(&env);
        heap = mem_heap_create_low(&env, 0, 0, 0, 0, "test", __LINE__, 1);
        std::memset(ctx.get(), 0, sizeof(fldr_parse_ctx));
        ctx->env = &env;
        ctx->parse_heap = heap;
        ctx->upper_idents = 1;
        ctx->escapes_on = 1;
        fldr_yylex_init_extra(ctx.get(), &ctx->scanner);
        tokbuf = text;
        tokbuf.append(2, '\0');
        ctx->tokbuf = tokbuf.data();
        fldr_scan_begin(ctx.get(), text.size());
    }
    ~Scanner()
    {
        fldr_yylex_destroy(ctx->scanner);
        mem_heap_free(&env, heap);
    }
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;
};

// Runs the scanner alone over `text`; the context is left for inspection.
struct Scan : Scanner {
    std::vector<Token> tokens;

    explicit Scan(const std::string &text) : Scanner(text)
    {
        for (;;) {
            const int tok = fldr_yylex(ctx->scanner);
            if (tok == 0)
                break;
            Token t{tok, ctx->int_val, ""};
            if (tok == 259 || tok == 260)
                t.text = ctx->str_val;
            else if (tok >= 262)
                t.text = ctx->ident;
            tokens.push_back(t);
        }
    }
    std::vector<int> numbers() const
    {
        std::vector<int> out;
        for (const Token &t : tokens)
            out.push_back(t.tok);
        return out;
    }
};

// Runs the grammar alone and returns its own result (0, 1, 2 or -1).
inline int32_t grammar_result(const std::string &text, fldr_col *col = nullptr)
{
    Scanner s(text);
    fldr_args args{};
    fldr_par_result result{};
    fldr_parse_err err{};
    result.args = col == nullptr ? &args : nullptr;
    s.ctx->result = &result;
    s.ctx->err_rec = &err;
    s.ctx->cur_col = col;
    return fldr_parse_run(s.ctx.get());
}

}  // namespace fpar_test

#endif
