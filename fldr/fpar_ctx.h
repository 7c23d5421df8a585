/*
** The parse context shared by the scanner (fldr.l), the grammar (fldr.y)
** and the parse entry points (fpar.cpp). Not exported.
**
** One context lives for one parse call, on the caller's stack. Rules:
**   (1) every block the parse hands out (records, literals, names) comes
**       from parse_heap and is never freed one by one;
**   (2) the scanner writes the value of the token it just returned into
**       tok / int_val / str_val / ident; the grammar copies it onto its value
**       stack before the next token is read;
**   (3) the scanner's position (line, column) and the source span of the
**       last token (tok_start, tok_len) are kept so that any error can be
**       located after the fact;
**   (4) the first error wins: once err_code (scanner) or action_rc (grammar
**       action) is set, nothing overwrites it and the scanner only returns
**       the end of input.
*/
#ifndef FPAR_CTX_H
#define FPAR_CTX_H

#include <stddef.h>
#include <stdint.h>

#include "qxfldr_comm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Capacity of the inline literal area (one byte more holds the NUL). */
#define FPAR_LIT_INLINE_CAP 32767
/* Texts shorter than this (plus FPAR_TOKBUF_EXTRA) scan from the inline token area. */
#define FPAR_TOKBUF_INLINE  2048
#define FPAR_TOKBUF_EXTRA   10
/* Longest token-buffer size accepted. */
#define FPAR_TOKBUF_MAX     2147483548u
/* Longest name, and the longest copy of a token text kept in an error record. */
#define FPAR_NAME_MAX       128

typedef struct fldr_parse_ctx {
    fldr_env        *env;             /* environment of every heap call */
    int32_t          tok;             /* token just returned; 0 after an error */
    char            *str_val;         /* string / bit-string value (heap copy) */
    int64_t          int_val;         /* number value; 0 for other valued tokens */
    char             ident[FPAR_NAME_MAX + 1]; /* identifier or keyword text */
    int32_t          err_code;        /* scanner error number, 0 for none */
    char             err_msg[1028];   /* scanner error text */
    char            *err_text;        /* heap copy of the token at the error */
    uint32_t         err_line;        /* line of the scanner error */
    uint32_t         err_column;      /* the scanner leaves it 0 */
    void            *scanner;         /* the flex scanner instance */
    const char      *text;            /* the text being parsed */
    char             lit_inline[FPAR_LIT_INLINE_CAP + 1]; /* first literal area */
    char            *lit_buf;         /* lit_inline or a larger heap block */
    int32_t          lit_len;         /* bytes in lit_buf, without the NUL */
    int32_t          lit_cap;         /* capacity of lit_buf, without the NUL */
    mem_heap_t      *parse_heap;      /* every allocation of the parse */
    fldr_par_result *result;          /* handed to the caller */
    fldr_parse_err  *err_rec;         /* handed to the caller */
    int32_t          comment_depth;   /* nesting of block comments */
    uint32_t         dash_comment_seen; /* a "--" comment was scanned */
    uint32_t         escapes_on;      /* backslash escapes inside quotes */
    uint32_t         upper_idents;    /* upper-case identifiers and keywords */
    void            *input;           /* the scanner's input buffer */
    fldr_ctl        *cur_ctl;         /* control record being filled */
    fldr_col        *cur_col;         /* column being filled */

    /* -- position tracking (scanner) -- */
    uint32_t         line;            /* current line, from 1 */
    uint32_t         column;          /* characters consumed on the current line */
    uint32_t         match_column;    /* column before the text matched last */
    const char      *tok_start;       /* source text of the last token delivered */
    uint32_t         tok_len;         /* its length in bytes (0: no text) */
    uint32_t         tok_column;      /* column (from 1) where it starts */
    const char      *text_end;        /* end of the scanned text (its first NUL) */
    const char      *lit_start;       /* opening quote of the literal being read */
    uint32_t         lit_column;      /* its column */

    /* -- token buffer (entry points) -- */
    char             tokbuf_inline[FPAR_TOKBUF_INLINE]; /* small texts scan from here */
    char            *tokbuf;          /* tokbuf_inline or a C-heap block */
    uint32_t         tokbuf_on_heap;  /* 1 when tokbuf must be freed */

    /* -- grammar -- */
    int32_t          action_rc;       /* code of a refused value (-1), 0 while none */
} fldr_parse_ctx;

/* ---- scanner (fldr.l) ---- */
int  fldr_yylex_init_extra(fldr_parse_ctx *ctx, void **scanner);
int  fldr_yylex_destroy(void *scanner);
/* Next token (its value in the context); 0 at the end of input or after an error. */
int  fldr_yylex(void *scanner);
/* Makes the input buffer from ctx->tokbuf, which holds the text and two NULs. */
void fldr_scan_begin(fldr_parse_ctx *ctx, size_t text_len);
/* Keyword lookup: the token of a keyword text (any case), or 0. */
int  fldr_kw_lookup(const char *text, size_t len);
/* Keyword text (upper case) of a token number, or NULL. */
const char *fldr_kw_text(int token);
/* Rows of the keyword table, in search order. */
typedef struct fldr_kw_row {
    const char *text;
    int         token;
} fldr_kw_row;
extern const fldr_kw_row g_fldr_keywords[];
extern const size_t      g_fldr_keyword_count;

/* ---- grammar (fldr.y) ---- */
/* Runs the grammar: 0 accepted, 1 syntax error, 2 stack exhausted, or a
** negative code of a refused value. */
int32_t fldr_parse_run(fldr_parse_ctx *ctx);
/* Fills the error record from the scanner position and the last token. */
void    fldr_parse_fill_err(fldr_parse_ctx *ctx);

/* ---- entry points (fpar.cpp) ---- */
/* Size of the token buffer for a text of text_len bytes; sets *is_inline.
** Returns 0 when the text is too long. */
size_t  fpar_tokbuf_size(size_t text_len, int *is_inline);

#ifdef __cplusplus
}
#endif

#endif
