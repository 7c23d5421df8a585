/*
** Grammar of the parameter and control-file language.
**
** One LALR(1) grammar with three start forms:
**   control file    [OPTIONS (...)]... LOAD ... [LOAD ...]...
**   parameter text  OPTIONS (...) [OPTIONS (...)]...
**   function text   one column function (or nothing), parsed for cur_col
**
** Token values are read from the parse context, which holds only the last
** token: every valued token (integer, string, identifier) is wrapped in a
** one-token rule whose state has a single reduction, so bison reduces it
** right after the shift, before it reads the next token, and the value is
** copied onto the value stack in time.
**
** Actions write the load arguments (ctx->result->args), the current control
** record (cur_ctl) and the current column (cur_col) as soon as they are
** reduced; a value that breaks a limit stops the parse through REFUSE():
** the error record is filled, action_rc becomes -1, and nothing written
** before is rolled back.
**
** Stacks: 200 entries inside yyparse, then doubled on the C heap up to
** 10000 (bison frees them when the parse ends); deeper input ends with 2.
**
** Conflicts: bison reports none (%expect 0). The places that look ambiguous
** are settled by one token of look-ahead: OPTIONS followed by "(" opens a
** parameter clause and followed by "." is a sequence name of a function
** text; a name followed by "(" is a function call and by "." a sequence;
** CHAR followed by "(" takes a length; the optional parts of a column and of
** an INTO TABLE clause each begin with a keyword of their own.
*/

%define api.pure full
%define api.token.prefix {TOK_}
%lex-param   {void *scanner}
%parse-param {void *scanner} {fldr_parse_ctx *ctx}
%expect 0

%code requires {
#include "fpar_actions.h"
}

%code {
#include <cstring>
#include <strings.h>

#include "fldr_internal.h"
#include "qxcalc.h"

using namespace fpar_act;

#define YYINITDEPTH 200
#define YYMAXDEPTH  10000

static int  fldr_yylex_wrap(void *scanner) { return fldr_yylex(scanner); }
#define yylex(lval, scanner) fldr_yylex_wrap(scanner)
static void yyerror(void *scanner, fldr_parse_ctx *ctx, const char *msg);

/* A value broke a rule: fill the error record and stop with -1. */
#define REFUSE() do { fpar_refuse(ctx); YYABORT; } while (0)
/* The load arguments, or a refusal when this parse has none (function text). */
#define NEED_ARGS(a) fldr_args *a = ctx->result->args; if (a == NULL) REFUSE()
#define NEED_COL(c)  fldr_col *c = ctx->cur_col; if (c == NULL) REFUSE()
#define KWNAME(tok)  heap_dup(ctx, fldr_kw_text(tok))

}

%union {
    int64_t            num;
    char              *str;
    fpar_sval         *sval;
    fldr_bexp         *bexp;
    fldr_bexp_field   *bfield;
    fldr_bexp_value   *bvalue;
    fldr_fun_arg      *arg;
    fldr_fun_arg_list *args;
    uint8_t            flag;
}

%token BIGINT_VAL 258 BITSTR_VAL 259 STRING_VAL 260 INT_VAL 261 IDENT 262 TRAILING_NULLCOLS 354
%token OPTIONS 263 LOAD 264 INFILE 265 INTO 266 TABLE 267 DATA 268 LIST 269 APPEND 270 REPLACE 271
%token INSERT 272 FIELDS 273 NULL 274 FORMAT 275 DATE 276 OPTIONALLY 277 WHITESPACE 278 ENCLOSE 279
%token TERMINATED 280 BY 281 LOG 282 BADFILE 283 SKIP 284 ROWS 285 DIRECT 286 SET_IDENTITY 287
%token SORTED 288 INDEX_OPTION 289 ERRORS 290 CHARACTER_CODE 291 TRUE 292 FALSE 293 STR 294 X 295
%token MODE 296 MPP_CLIENT 297 LOB_DIRECTORY 298 LOB_FILE_NAME 299 BDTA_SIZE 300 COMPRESS_FLAG 301
%token FILLER 302 POSITION 303 BUFFER_NODE_SIZE 304 NULL_MODE 305 NULL_STR 306 READ_ROWS 307
%token CONSTANT 308 CLIENT_LOB 309 SEND_NODE_NUMBER 310 TASK_THREAD_NUMBER 311 LOCAL_CODE 312
%token BLDR_NUM 313 BLOB_TYPE 314 OCI_DIRECTORY 315 ENABLE_CLASS_TYPE 316 FLUSH_FLAG 317
%token IGNORE_BATCH_ERRORS 318 WHEN 319 AND 320 BLANKS 321 SINGLE_HLDR_HP 322 DIRECTORY 323 EP 324
%token SINGLE_FILE 325 SILENT 326 LAN_MODE 327 UNREP_CHAR_MODE 328 TRIM 329 CHR 330 PARALLEL 331
%token SQL 332 LOG_SIZE 333 SYSDATE 334 FIELD_SEPERATOR 335 ROW_SEPERATOR 336 CONTROL 337
%token COMMIT_OPTION 338 APPEND_OPTION 339 COLNAME_HEADING 340 IGNORE_AIMLESS_DATA 341
%token LOB_AS_VARCHAR 342 LOB_AS_VARCHAR_SIZE 343 LOG_LEVEL 344 FLDR_INI 345 RECONN 346
%token RECONN_TIME 347 WIDTH 348 SEDF 349 SEDT 350 ESCAPE 351 CHAR 352 SQLFILE 353 DEFAULT 355
%token DB2_MODE 356 PRIORITY_ENCLOSE 357 SUBSTR 358 SUBSTRB 359 EXPORT_MODE 360 BAD_FILE_MODE 361
%token PLOG 362 COMPATIBLE_MODE 363 ESCAPED 364 STARTING 365

%type <num>    integer signed_integer
%type <str>    string ident name fname kwname argtext
%type <sval>   sepval
%type <bexp>   condition comparison
%type <bfield> when_field
%type <bvalue> when_value
%type <flag>   when_op bool
%type <arg>    item
%type <args>   items

%start input

%%

/* ------------------------------------------------------------ start forms */

input
    : %empty
    | fun
    | opts_list
    | opts_list load_list
    | load_list
    ;

opts_list
    : opts_clause
    | opts_list opts_clause
    ;

opts_clause
    : OPTIONS '(' options ')'
    ;

options
    : option
    | options option
    ;

/* ----------------------------------------------------------- value forms */

integer
    : INT_VAL        { $$ = ctx->int_val; }
    | BIGINT_VAL     { $$ = ctx->int_val; }
    ;

signed_integer
    : integer        { $$ = $1; }
    | '-' integer    { $$ = (int64_t)(0 - (uint64_t)$2); }
    ;

string
    : STRING_VAL     { $$ = ctx->str_val; }
    ;

ident
    : IDENT          { $$ = heap_dup(ctx, ctx->ident); }
    ;

sepval
    : string         { $$ = NEW(fpar_sval); $$->text = $1; $$->is_hex = 0; }
    | X string       { $$ = NEW(fpar_sval); $$->text = $2; $$->is_hex = 1; }
    ;

/* A function name: an identifier or a keyword that serves as a name. */
fname
    : ident          { $$ = $1; }
    | kwname         { $$ = $1; }
    ;

/* A table, column or sequence name: OPTIONS too. */
name
    : fname          { $$ = $1; }
    | OPTIONS        { $$ = KWNAME(TOK_OPTIONS); }
    ;

/* --------------------------------------------------------------- options */

option
    : LOG '=' string             { NEED_ARGS(a); if (!set_path(a->log_file, $3)) REFUSE(); }
    | LOB_DIRECTORY '=' string   { NEED_ARGS(a); if (!set_path(a->lob_directory, $3)) REFUSE(); }
    | OCI_DIRECTORY '=' string   { NEED_ARGS(a); if (!set_path(a->oci_directory, $3)) REFUSE(); }
    | PLOG '=' string            { NEED_ARGS(a); if (!set_path(a->plog_file, $3)) REFUSE(); }
    | BADFILE '=' string         { NEED_ARGS(a); if (!set_text(a->bad_file, $3, 1, 256)) REFUSE(); }
    | LOB_FILE_NAME '=' string   { NEED_ARGS(a); if (!set_text(a->lob_file_name, $3, 1, 128)) REFUSE(); }
    | NULL_STR '=' string        { NEED_ARGS(a); if (!set_text(a->null_str, $3, 1, 128)) REFUSE(); }
    | CONTROL '=' string         { NEED_ARGS(a); if (!set_text(a->control_file, $3, 0, 256)) REFUSE(); }
    | FLDR_INI '=' string        { NEED_ARGS(a); if (!set_text(a->fldr_ini_file, $3, 0, 256)) REFUSE(); }
    | SQLFILE '=' string         { NEED_ARGS(a); if (!set_text(a->sql_file, $3, 1, 256)) REFUSE(); }
    | SQL '=' string             {
                                   NEED_ARGS(a);
                                   const size_t len = strlen($3);
                                   if (len == 0) REFUSE();
                                   a->sql_text = (char *)heap_new(ctx, len + 1, FLDR_TAG_FLDR, __LINE__);
                                   copy_text(a->sql_text, $3, len);
                                 }
    | SEDF '=' string            { NEED_ARGS(a); a->sedf = $3; }
    | SEDT '=' string            { NEED_ARGS(a); a->sedt = $3; }
    | ESCAPE '=' string          { NEED_ARGS(a); a->escape = $3; }
    | CHARACTER_CODE '=' string  { NEED_ARGS(a); a->character_code = (int32_t)fpar_get_charactor_code($3); }
    | MODE '=' string            { NEED_ARGS(a); a->mode = mode_code($3); }
    | BLOB_TYPE '=' string       { NEED_ARGS(a); a->blob_type = blob_type_code($3); }
    | LOCAL_CODE '=' string      { NEED_ARGS(a); a->local_code = fpar_get_local_code($3); }
    | FIELD_SEPERATOR '=' sepval { NEED_ARGS(a); if (!set_field_sep(a, $3)) REFUSE(); }
    | ROW_SEPERATOR '=' sepval   { NEED_ARGS(a); if (!set_row_sep(a, $3)) REFUSE(); }
    | SKIP '=' integer           { NEED_ARGS(a); a->skip_rows = (uint64_t)$3; }
    | LOAD '=' integer           { NEED_ARGS(a); a->load_rows = (uint64_t)$3; }
    | ROWS '=' integer           { NEED_ARGS(a); a->commit_rows = (uint64_t)$3; }
    | UNREP_CHAR_MODE '=' integer     { NEED_ARGS(a); a->unrep_char_mode = (uint32_t)$3; }
    | BDTA_SIZE '=' integer           { NEED_ARGS(a); a->bdta_size = (uint32_t)$3; }
    | INDEX_OPTION '=' integer        { NEED_ARGS(a); a->index_option = (uint32_t)$3; }
    | ERRORS '=' integer              { NEED_ARGS(a); a->errors = (uint32_t)$3; }
    | BUFFER_NODE_SIZE '=' integer    { NEED_ARGS(a); a->buffer_node_size = (uint32_t)$3; }
    | LOG_SIZE '=' integer            { NEED_ARGS(a); a->log_size = (uint32_t)$3; }
    | READ_ROWS '=' integer           { NEED_ARGS(a); a->read_rows = (uint32_t)$3; }
    | SEND_NODE_NUMBER '=' integer    { NEED_ARGS(a); a->send_node_number = (uint32_t)$3; }
    | TASK_THREAD_NUMBER '=' integer  { NEED_ARGS(a); a->task_thread_number = (uint32_t)$3; }
    | BLDR_NUM '=' integer            { NEED_ARGS(a); a->bldr_num = (uint32_t)$3; }
    | COMMIT_OPTION '=' integer       { NEED_ARGS(a); a->commit_option = (uint32_t)$3; }
    | APPEND_OPTION '=' integer       { NEED_ARGS(a); a->append_option = (uint32_t)$3; }
    | LOB_AS_VARCHAR_SIZE '=' integer { NEED_ARGS(a); a->lob_as_varchar_size = (uint32_t)$3; }
    | LOG_LEVEL '=' integer           { NEED_ARGS(a); a->log_level = (uint32_t)$3; }
    | RECONN '=' integer              { NEED_ARGS(a); a->reconn = (uint32_t)$3; }
    | RECONN_TIME '=' integer         { NEED_ARGS(a); a->reconn_time = (uint32_t)$3; }
    | EXPORT_MODE '=' integer         { NEED_ARGS(a); a->export_mode = (uint32_t)$3; }
    | BAD_FILE_MODE '=' integer       { NEED_ARGS(a); a->bad_file_mode = (uint32_t)$3; }
    | COMPATIBLE_MODE '=' integer     { NEED_ARGS(a); a->compatible_mode = (uint32_t)$3; }
    | MPP_CLIENT '=' bool          { NEED_ARGS(a); a->mpp_client = $3; }
    | SINGLE_FILE '=' bool         { NEED_ARGS(a); a->single_file = $3; }
    | SILENT '=' bool              { NEED_ARGS(a); a->silent = $3; }
    | LAN_MODE '=' bool            { NEED_ARGS(a); a->lan_mode = $3; }
    | COMPRESS_FLAG '=' bool       { NEED_ARGS(a); a->compress_flag = $3; }
    | DIRECT '=' bool              { NEED_ARGS(a); a->direct = $3; }
    | SET_IDENTITY '=' bool        { NEED_ARGS(a); a->set_identity = $3; }
    | SORTED '=' bool              { NEED_ARGS(a); a->sorted = $3; }
    | NULL_MODE '=' bool           { NEED_ARGS(a); a->null_mode = $3; }
    | ENABLE_CLASS_TYPE '=' bool   { NEED_ARGS(a); a->enable_class_type = $3; }
    | CLIENT_LOB '=' bool          { NEED_ARGS(a); a->client_lob = $3; }
    | FLUSH_FLAG '=' bool          { NEED_ARGS(a); a->flush_flag = $3; }
    | PARALLEL '=' bool            { NEED_ARGS(a); a->parallel = $3; }
    | IGNORE_BATCH_ERRORS '=' bool { NEED_ARGS(a); a->ignore_batch_errors = $3; }
    | SINGLE_HLDR_HP '=' bool      { NEED_ARGS(a); a->single_hldr_hp = $3; }
    | COLNAME_HEADING '=' bool     { NEED_ARGS(a); a->colname_heading = $3; }
    | IGNORE_AIMLESS_DATA '=' bool { NEED_ARGS(a); a->ignore_aimless_data = $3; }
    | LOB_AS_VARCHAR '=' bool      { NEED_ARGS(a); a->lob_as_varchar = $3; }
    | PRIORITY_ENCLOSE '=' bool    { NEED_ARGS(a); a->priority_enclose = $3; }
    | DB2_MODE '=' bool            { NEED_ARGS(a); if ($3) a->compatible_mode = 1; }
    | TABLE '=' name               {
                                     NEED_ARGS(a);
                                     if (!set_table_name(a->schema_name, a->table_name, $3, NULL)) REFUSE();
                                   }
    | TABLE '=' name '.' name      {
                                     NEED_ARGS(a);
                                     if (!set_table_name(a->schema_name, a->table_name, $3, $5)) REFUSE();
                                   }
    | DATA '=' data_names                { NEED_ARGS(a); a->data_list_kind = 0; }
    | DATA '=' LIST data_names           { NEED_ARGS(a); a->data_list_kind = 1; }
    | DATA '=' DIRECTORY data_names      { NEED_ARGS(a); a->data_list_kind = 2; }
    | EP '=' '(' sites ')'
    | WIDTH '=' widths
    ;

bool
    : TRUE           { $$ = 1; }
    | FALSE          { $$ = 0; }
    ;

data_names
    : data_name
    | data_names ',' data_name
    ;

data_name
    : string         { NEED_ARGS(a); if (!add_data_name(ctx, a, $1)) REFUSE(); }
    ;

sites
    : site
    | sites ',' site
    ;

site
    : integer        { NEED_ARGS(a); if (!add_site(a, $1)) REFUSE(); }
    ;

widths
    : width
    | widths ':' width
    ;

width
    : integer        {
                       NEED_ARGS(a);
                       if (a->width_count > 2048) REFUSE();
                       a->widths[a->width_count++] = (uint16_t)$1;
                     }
    ;

/* ---------------------------------------------------------- LOAD statement */

load_list
    : load_stmt
    | load_list load_stmt
    ;

load_stmt
    : LOAD { new_ctl(ctx, 0); } data_opt infile_clause bad_opt mode_opt into_clause more_into
    ;

data_opt
    : %empty
    | DATA
    ;

more_into
    : %empty
    | more_into new_continuation into_clause
    ;

new_continuation
    : %empty         { new_ctl(ctx, 1); }
    ;

infile_clause
    : INFILE files                { ctx->cur_ctl->infile_directory = 0; }
    | INFILE LIST files           { ctx->cur_ctl->infile_list = 1; ctx->cur_ctl->infile_directory = 0; }
    | INFILE DIRECTORY file       { ctx->cur_ctl->infile_directory = 1; }
    ;

files
    : file
    | files ',' file
    ;

file
    : file_name file_options
    ;

file_name
    : string         { if (!new_data_file(ctx, $1)) REFUSE(); }
    | '*'            { new_data_file(ctx, "*"); }
    ;

file_options
    : %empty
    | file_options file_option
    ;

file_option
    : STR sepval                { if (!set_row_term(ctx->cur_ctl->data_file_last, $2)) REFUSE(); }
    | TERMINATED BY sepval      { if (!set_row_term(ctx->cur_ctl->data_file_last, $3)) REFUSE(); }
    | STARTING BY sepval        { if (!set_row_start(ctx->cur_ctl->data_file_last, $3)) REFUSE(); }
    ;

bad_opt
    : %empty
    | BADFILE string            {
                                  const size_t len = strlen($2);
                                  if (len > 256) REFUSE();
                                  copy_text(ctx->cur_ctl->bad_file.path, $2, len);
                                  ctx->cur_ctl->bad_file.handle = -1;
                                }
    ;

mode_opt
    : %empty         { ctx->cur_ctl->load_mode = 'N'; }
    | APPEND         { ctx->cur_ctl->load_mode = 'A'; }
    | REPLACE        { ctx->cur_ctl->load_mode = 'R'; }
    | INSERT         { ctx->cur_ctl->load_mode = 'I'; }
    ;

/* ------------------------------------------------------ INTO TABLE clause */

into_clause
    : INTO TABLE table_name site_opt when_opt fields_opt enclose_opt escape_opt trailing_opt
      column_list_opt
    ;

table_name
    : name           {
                       fldr_ctl *c = ctx->cur_ctl;
                       if (!set_table_name(c->schema_name, c->table_name, $1, NULL)) REFUSE();
                     }
    | name '.' name  {
                       fldr_ctl *c = ctx->cur_ctl;
                       if (!set_table_name(c->schema_name, c->table_name, $1, $3)) REFUSE();
                     }
    ;

site_opt
    : %empty
    | EP '(' sites ')'
    ;

when_opt
    : %empty
    | WHEN condition            { ctx->cur_ctl->when_cond = $2; }
    ;

/* AND is left-associative and the right operand is one comparison, so a
** condition is one comparison or one AND group of comparisons. */
condition
    : comparison                { $$ = $1; }
    | condition AND comparison  {
                                  if ($1->kind == 1) {
                                      group_append($1, $3);
                                      $$ = $1;
                                  } else {
                                      $$ = NEW_PUB(fldr_bexp);
                                      $$->kind = 1;
                                      group_append($$, $1);
                                      group_append($$, $3);
                                  }
                                }
    ;

comparison
    : when_field when_op when_value {
                                  $$ = NEW_PUB(fldr_bexp);
                                  $$->kind = 0;
                                  $$->field = $1;
                                  $$->op = $2;
                                  $$->value = $3;
                                }
    ;

when_field
    : name                      { $$ = NEW_PUB(fldr_bexp_field); $$->kind = 0; $$->name = $1; }
    | '(' integer ':' integer ')' {
                                  $$ = NEW_PUB(fldr_bexp_field);
                                  $$->kind = 1;
                                  $$->start = $2;
                                  $$->end = $4;
                                }
    ;

when_op
    : '='            { $$ = 0; }
    | '!' '='        { $$ = 1; }
    | '<' '>'        { $$ = 1; }
    ;

/* The value's length is a 16-bit field: longer texts are refused. */
when_value
    : string         { if (strlen($1) > 65535) REFUSE(); $$ = when_value(ctx, 2, $1); }
    | X string       { if (strlen($2) > 65535) REFUSE(); $$ = when_value(ctx, 3, $2); }
    | WHITESPACE     { $$ = when_value(ctx, 4, NULL); }
    | BLANKS         { $$ = when_value(ctx, 4, NULL); }
    ;

fields_opt
    : %empty
    | FIELDS table_term_opt
    | FIELDS TERMINATED BY table_term_opt
    ;

table_term_opt
    : %empty
    | sepval         {
                       fldr_seperator_info *s = ctx->cur_ctl->sep_info;
                       if (!all_ascii($1->text, strlen($1->text))) REFUSE();
                       if (!set_sep(s->term, s->term_hex, &s->term_len, &s->term_is_hex, $1)) REFUSE();
                       s->term_given = 1;
                     }
    ;

enclose_opt
    : %empty
    | OPTIONALLY ENCLOSE by_opt sepval { if (!set_table_enclose(ctx, $4)) REFUSE(); }
    | ENCLOSE by_opt sepval            { if (!set_table_enclose(ctx, $3)) REFUSE(); }
    ;

escape_opt
    : %empty
    | ESCAPED by_opt sepval     {
                                  fldr_seperator_info *s = ctx->cur_ctl->sep_info;
                                  if (!set_sep(s->escape, s->escape_hex, &s->escape_len, &s->escape_is_hex, $3))
                                      REFUSE();
                                }
    ;

by_opt
    : %empty
    | BY
    ;

trailing_opt
    : %empty
    | TRAILING_NULLCOLS         { ctx->cur_ctl->trailing_flag = 1; }
    ;

column_list_opt
    : %empty
    | '(' columns ')'
    ;

/* ---------------------------------------------------------------- columns */

columns
    : column
    | columns ',' column
    ;

column
    : column_head filler_opt position_opt type_opt date_format_opt col_term_opt col_enclose_opt
      constant_opt fun_text_opt
    ;

column_head
    : name           {
                       if (strlen($1) > FPAR_NAME_MAX) REFUSE();
                       fldr_col *col = NEW(fldr_col);
                       fldr_init_col(ctx->env, ctx->parse_heap, col);
                       copy_text(col->name, $1, strlen($1));
                       fldr_ctl *c = ctx->cur_ctl;
                       col->prev = c->col_last;
                       if (c->col_last != NULL)
                           c->col_last->next = col;
                       else
                           c->col_first = col;
                       c->col_last = col;
                       c->col_count++;
                       ctx->cur_col = col;
                     }
    ;

filler_opt
    : %empty
    | FILLER         { ctx->cur_col->is_filler = 1; }
    ;

position_opt
    : %empty
    | POSITION '(' integer ':' integer ')' {
                       fldr_col *col = ctx->cur_col;
                       col->pos_kind = 2;
                       col->pos_start = $3;
                       col->pos_end = $5;
                     }
    | POSITION '(' integer ')' { ctx->cur_col->pos_kind = 1; ctx->cur_col->pos_start = $3; }
    | POSITION '(' '*' ')'     {
                       fldr_col *col = ctx->cur_col;
                       col->pos_kind = 3;
                       col->data_type = 0;
                       col->data_len = 1;
                     }
    | NULL           { ctx->cur_col->is_null = 1; }
    ;

type_opt
    : %empty
    | CHAR           { ctx->cur_col->data_type = 0; }
    | CHAR '(' integer ')' {
                       if ((uint32_t)$3 == 0) REFUSE();
                       ctx->cur_col->data_type = 0;
                       ctx->cur_col->data_len = (uint32_t)$3;
                     }
    | DATE           { ctx->cur_col->data_type = 14; ctx->cur_col->data_len = 0; }
    ;

date_format_opt
    : %empty
    | string         { if (!set_date_format(ctx, $1)) REFUSE(); }
    | FORMAT string  { if (!set_date_format(ctx, $2)) REFUSE(); }
    ;

col_term_opt
    : %empty
    | TERMINATED by_opt WHITESPACE {
                       fldr_seperator_info *s = ctx->cur_col->sep_info;
                       copy_text(s->term, " ", 1);
                       s->term_len = 1;
                       s->term_is_hex = 0;
                     }
    | TERMINATED by_opt sepval {
                       fldr_seperator_info *s = ctx->cur_col->sep_info;
                       if (!set_sep(s->term, s->term_hex, &s->term_len, &s->term_is_hex, $3)) REFUSE();
                     }
    ;

col_enclose_opt
    : %empty
    | OPTIONALLY ENCLOSE by_opt sepval { if (!set_col_enclose(ctx, $4)) REFUSE(); }
    | ENCLOSE by_opt sepval            { if (!set_col_enclose(ctx, $3)) REFUSE(); }
    ;

constant_opt
    : %empty
    | CONSTANT ident {
                       ctx->cur_col->constant = $2;
                       ctx->cur_col->constant_len = (uint32_t)strlen($2);
                     }
    ;

fun_text_opt
    : %empty
    | ident          { ctx->cur_col->fun_str = $1; }
    ;

/* ------------------------------------------------------- column functions */

fun
    : TRIM                       { NEED_COL(c); c->fun_kind = FLDR_FUN_TRIM; }
    | TRIM '(' ')'               { NEED_COL(c); c->fun_kind = FLDR_FUN_TRIM; }
    | REPLACE '(' ':' name ',' argtext ',' argtext ')' {
                                   NEED_COL(c);
                                   if (strlen($4) >= FPAR_NAME_MAX || strlen($6) >= FPAR_NAME_MAX
                                       || strlen($8) >= FPAR_NAME_MAX)
                                       REFUSE();
                                   c->fun_kind = FLDR_FUN_REPLACE;
                                   copy_text(c->rep_col, $4, strlen($4));
                                   copy_text(c->rep_from, $6, strlen($6));
                                   copy_text(c->rep_to, $8, strlen($8));
                                 }
    | SYSDATE                    { NEED_COL(c); c->fun_kind = FLDR_FUN_SYSDATE; }
    | name '.' name              {
                                   NEED_COL(c);
                                   if (!is_nextval($3)) REFUSE();
                                   c->fun_kind = FLDR_FUN_NEXTVAL;
                                   copy_text(c->seq_name, $1, strlen($1));
                                 }
    | name '.' name '.' name     {
                                   NEED_COL(c);
                                   if (!is_nextval($5)) REFUSE();
                                   c->fun_kind = FLDR_FUN_NEXTVAL;
                                   copy_text(c->seq_schema, $1, strlen($1));
                                   copy_text(c->seq_name, $3, strlen($3));
                                 }
    | DEFAULT                    { NEED_COL(c); c->fun_kind = FLDR_FUN_DEFAULT; }
    | SUBSTR '(' ':' name ',' signed_integer ',' signed_integer ')' {
                                   if (!set_substr(ctx, FLDR_FUN_SUBSTR, $4, $6, $8)) REFUSE();
                                 }
    | SUBSTRB '(' ':' name ',' signed_integer ',' signed_integer ')' {
                                   if (!set_substr(ctx, FLDR_FUN_SUBSTRB, $4, $6, $8)) REFUSE();
                                 }
    | fname '(' items ')'        {
                                   NEED_COL(c);
                                   c->fun_kind = FLDR_FUN_CALL;
                                   copy_text(c->fun_name, $1, strlen($1));
                                   c->fun_args = $3;
                                 }
    ;

argtext
    : string                     { $$ = $1; }
    | CHR '(' integer ')'        { $$ = chr_text(ctx, $3); }
    ;

/* Empty items are dropped, so F() and F(,) give an empty list. */
items
    : item                       { $$ = NEW(fldr_fun_arg_list); if ($1 != NULL) args_append(ctx, $$, $1); }
    | items ',' item             { $$ = $1; if ($3 != NULL) args_append(ctx, $$, $3); }
    ;

item
    : %empty                     { $$ = NULL; }
    | ':' name                   { $$ = fun_arg(ctx, 0, $2); }
    | argtext                    { $$ = fun_arg(ctx, 1, $1); }
    | fname '(' items ')'        { $$ = fun_arg(ctx, 2, $1); $$->args = $3; }
    ;

kwname
    : DIRECTORY            { $$ = KWNAME(TOK_DIRECTORY); }
    | INTO                 { $$ = KWNAME(TOK_INTO); }
    | TABLE                { $$ = KWNAME(TOK_TABLE); }
    | DATA                 { $$ = KWNAME(TOK_DATA); }
    | LIST                 { $$ = KWNAME(TOK_LIST); }
    | APPEND               { $$ = KWNAME(TOK_APPEND); }
    | INSERT               { $$ = KWNAME(TOK_INSERT); }
    | FIELDS               { $$ = KWNAME(TOK_FIELDS); }
    | NULL                 { $$ = KWNAME(TOK_NULL); }
    | FORMAT               { $$ = KWNAME(TOK_FORMAT); }
    | DATE                 { $$ = KWNAME(TOK_DATE); }
    | OPTIONALLY           { $$ = KWNAME(TOK_OPTIONALLY); }
    | WHITESPACE           { $$ = KWNAME(TOK_WHITESPACE); }
    | ENCLOSE              { $$ = KWNAME(TOK_ENCLOSE); }
    | TERMINATED           { $$ = KWNAME(TOK_TERMINATED); }
    | BY                   { $$ = KWNAME(TOK_BY); }
    | BADFILE              { $$ = KWNAME(TOK_BADFILE); }
    | LOG                  { $$ = KWNAME(TOK_LOG); }
    | SKIP                 { $$ = KWNAME(TOK_SKIP); }
    | ROWS                 { $$ = KWNAME(TOK_ROWS); }
    | DIRECT               { $$ = KWNAME(TOK_DIRECT); }
    | SET_IDENTITY         { $$ = KWNAME(TOK_SET_IDENTITY); }
    | SORTED               { $$ = KWNAME(TOK_SORTED); }
    | INDEX_OPTION         { $$ = KWNAME(TOK_INDEX_OPTION); }
    | ERRORS               { $$ = KWNAME(TOK_ERRORS); }
    | CHARACTER_CODE       { $$ = KWNAME(TOK_CHARACTER_CODE); }
    | TRUE                 { $$ = KWNAME(TOK_TRUE); }
    | FALSE                { $$ = KWNAME(TOK_FALSE); }
    | STR                  { $$ = KWNAME(TOK_STR); }
    | X                    { $$ = KWNAME(TOK_X); }
    | MODE                 { $$ = KWNAME(TOK_MODE); }
    | MPP_CLIENT           { $$ = KWNAME(TOK_MPP_CLIENT); }
    | SINGLE_FILE          { $$ = KWNAME(TOK_SINGLE_FILE); }
    | SILENT               { $$ = KWNAME(TOK_SILENT); }
    | LAN_MODE             { $$ = KWNAME(TOK_LAN_MODE); }
    | UNREP_CHAR_MODE      { $$ = KWNAME(TOK_UNREP_CHAR_MODE); }
    | BDTA_SIZE            { $$ = KWNAME(TOK_BDTA_SIZE); }
    | COMPRESS_FLAG        { $$ = KWNAME(TOK_COMPRESS_FLAG); }
    | LOB_DIRECTORY        { $$ = KWNAME(TOK_LOB_DIRECTORY); }
    | LOB_FILE_NAME        { $$ = KWNAME(TOK_LOB_FILE_NAME); }
    | POSITION             { $$ = KWNAME(TOK_POSITION); }
    | FILLER               { $$ = KWNAME(TOK_FILLER); }
    | BUFFER_NODE_SIZE     { $$ = KWNAME(TOK_BUFFER_NODE_SIZE); }
    | LOG_SIZE             { $$ = KWNAME(TOK_LOG_SIZE); }
    | READ_ROWS            { $$ = KWNAME(TOK_READ_ROWS); }
    | NULL_MODE            { $$ = KWNAME(TOK_NULL_MODE); }
    | NULL_STR             { $$ = KWNAME(TOK_NULL_STR); }
    | SEND_NODE_NUMBER     { $$ = KWNAME(TOK_SEND_NODE_NUMBER); }
    | TASK_THREAD_NUMBER   { $$ = KWNAME(TOK_TASK_THREAD_NUMBER); }
    | BLOB_TYPE            { $$ = KWNAME(TOK_BLOB_TYPE); }
    | CONSTANT             { $$ = KWNAME(TOK_CONSTANT); }
    | OCI_DIRECTORY        { $$ = KWNAME(TOK_OCI_DIRECTORY); }
    | ENABLE_CLASS_TYPE    { $$ = KWNAME(TOK_ENABLE_CLASS_TYPE); }
    | CLIENT_LOB           { $$ = KWNAME(TOK_CLIENT_LOB); }
    | FLUSH_FLAG           { $$ = KWNAME(TOK_FLUSH_FLAG); }
    | PARALLEL             { $$ = KWNAME(TOK_PARALLEL); }
    | IGNORE_BATCH_ERRORS  { $$ = KWNAME(TOK_IGNORE_BATCH_ERRORS); }
    | WHEN                 { $$ = KWNAME(TOK_WHEN); }
    | BLANKS               { $$ = KWNAME(TOK_BLANKS); }
    | SINGLE_HLDR_HP       { $$ = KWNAME(TOK_SINGLE_HLDR_HP); }
    | EP                   { $$ = KWNAME(TOK_EP); }
    | SQL                  { $$ = KWNAME(TOK_SQL); }
    | FIELD_SEPERATOR      { $$ = KWNAME(TOK_FIELD_SEPERATOR); }
    | ROW_SEPERATOR        { $$ = KWNAME(TOK_ROW_SEPERATOR); }
    | COMMIT_OPTION        { $$ = KWNAME(TOK_COMMIT_OPTION); }
    | APPEND_OPTION        { $$ = KWNAME(TOK_APPEND_OPTION); }
    | COLNAME_HEADING      { $$ = KWNAME(TOK_COLNAME_HEADING); }
    | IGNORE_AIMLESS_DATA  { $$ = KWNAME(TOK_IGNORE_AIMLESS_DATA); }
    | LOB_AS_VARCHAR       { $$ = KWNAME(TOK_LOB_AS_VARCHAR); }
    | LOB_AS_VARCHAR_SIZE  { $$ = KWNAME(TOK_LOB_AS_VARCHAR_SIZE); }
    | LOG_LEVEL            { $$ = KWNAME(TOK_LOG_LEVEL); }
    | FLDR_INI             { $$ = KWNAME(TOK_FLDR_INI); }
    | RECONN               { $$ = KWNAME(TOK_RECONN); }
    | RECONN_TIME          { $$ = KWNAME(TOK_RECONN_TIME); }
    | WIDTH                { $$ = KWNAME(TOK_WIDTH); }
    | SEDF                 { $$ = KWNAME(TOK_SEDF); }
    | SEDT                 { $$ = KWNAME(TOK_SEDT); }
    | ESCAPE               { $$ = KWNAME(TOK_ESCAPE); }
    | SQLFILE              { $$ = KWNAME(TOK_SQLFILE); }
    | DB2_MODE             { $$ = KWNAME(TOK_DB2_MODE); }
    | PRIORITY_ENCLOSE     { $$ = KWNAME(TOK_PRIORITY_ENCLOSE); }
    | EXPORT_MODE          { $$ = KWNAME(TOK_EXPORT_MODE); }
    | BAD_FILE_MODE        { $$ = KWNAME(TOK_BAD_FILE_MODE); }
    | PLOG                 { $$ = KWNAME(TOK_PLOG); }
    | COMPATIBLE_MODE      { $$ = KWNAME(TOK_COMPATIBLE_MODE); }
    | ESCAPED              { $$ = KWNAME(TOK_ESCAPED); }
    | STARTING             { $$ = KWNAME(TOK_STARTING); }
    ;

%%

static void yyerror(void *scanner, fldr_parse_ctx *ctx, const char *msg)
{
    (void)scanner;
    (void)msg;  /* a grammar error keeps an empty message */
    fldr_parse_fill_err(ctx);
}

void fldr_parse_fill_err(fldr_parse_ctx *ctx)
{
    fldr_parse_err *err = ctx->err_rec;
    if (err == NULL)
        return;
    if (ctx->input == NULL) {
        err->line = 0;
        err->column = 0;
    } else {
        err->line = ctx->line;
        err->column = ctx->tok_start != NULL ? ctx->tok_column : ctx->column;
    }
    err->text = NULL;
    if (ctx->tok_start != NULL) {
        err->text = (char *)mem_heap_alloc_low(ctx->env, ctx->parse_heap, (size_t)ctx->tok_len + 1, 0,
                                               FLDR_TAG_FLDR, __LINE__);
        memcpy(err->text, ctx->tok_start, ctx->tok_len);
        err->text[ctx->tok_len] = '\0';
    }
    err->code = 0;
}

int32_t fldr_parse_run(fldr_parse_ctx *ctx)
{
    const int rc = yyparse(ctx->scanner, ctx);
    if (ctx->action_rc != 0)
        return ctx->action_rc;
    return rc;
}
