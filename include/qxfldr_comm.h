/*
** qxfldr_comm: the common library of the bulk loader.
**
** This header is the whole C interface: the shared records, in their
** documented field order and widths, and every exported fldr_/fpar_/fexp_
** function. It compiles as C11 and as C++. The runtime records callers need
** (environment, allocator record, locks, semaphores, events) come from
** qxmem.h and qxos.h.
**
** Divisions, in this order (new declarations go in the right division),
** each with the files that implement it:
**   1. Error codes                                    fldr/fldr_err.cpp
**   2. Library frame: global object, lifecycle, memory, messages, diagnostics
**                                                     fldr/fldr_main.cpp, fldr_err.cpp
**   3. Control language: arguments, control records, parse entry points
**                                                     fldr/fldr_pub_ctl.cpp, fpar.cpp, fldr.l, fldr.y
**   4. Files: file records, data-file resolution, sequential reading
**                                                     fldr/fldr_file.cpp, fldr_file_io.cpp,
**                                                     fldr_file_resolve.cpp, fldr_file_read.cpp
**   5. Record splitting: separators, row search, field extraction
**                                                     fldr/fldr_file_sep.cpp, fldr_file_search.cpp,
**                                                     fldr_file_split.cpp (with fldr_file_scan.cpp,
**                                                     fldr_file_csv.cpp)
**   6. Load pipeline: row buffers, tasks, queues, the load instance, WHEN
**                                                     fldr/fldr_file_pipe.cpp, fldr_file_parallel.cpp,
**                                                     fldr_file_batch.cpp, fldr_file_when.cpp
**   7. Field values: value services, column functions, interval info
**                                                     fldr/fldr_pub_val.cpp, fldr_pub_fun.cpp,
**                                                     fldr_pub_interval.cpp
**   8. Reporting: error printing, logs, summaries, the control file's text
**                                                     fldr/fldr_pub_print.cpp, fldr_pub_log.cpp,
**                                                     fldr_pub_summary.cpp, fldr_pub_ctl_file.cpp
**   9. Export conversion                              fldr/fexp.cpp
*/
#ifndef QXFLDR_COMM_H
#define QXFLDR_COMM_H

#include <stddef.h>
#include <stdint.h>

#include "qxexport.h"
#include "qxmem.h"
#include "qxos.h"

QX_EXTERN_C_BEGIN

/* The length that marks an absent (null) field value. */
#define FLDR_NULL_LEN 0xFFFFFFFFu

/* ======================================================== 1. Error codes */
/* Implemented in fldr/fldr_err.cpp (the message table). */

#define FLDR_OK                         0
#define FLDR_FILE_READ_OVER         65001  /* end of a data file (informational) */
#define FLDR_FILE_LOAD_OVER         65002  /* end of the load (informational) */
#define FLDR_ERR_GENERAL               -1
#define FLDR_ERR_OUT_OF_MEMORY     -65001
#define FLDR_ERR_INSERT            -65002
#define FLDR_ERR_DATA_TYPE         -65003
#define FLDR_ERR_CONVERT           -65004
#define FLDR_ERR_HASH_ROW          -65006
#define FLDR_ERR_SET_TABLE         -65007
#define FLDR_ERR_ALREADY_INIT      -65008
#define FLDR_ERR_ALREADY_UNINIT    -65009
#define FLDR_ERR_PARAMETER         -65010
#define FLDR_ERR_EMPTY_CLIENT_DATA -65011
#define FLDR_ERR_NOT_BOUND         -65012
#define FLDR_ERR_ATTRIBUTE         -65013
#define FLDR_ERR_OUT_OF_RANGE      -65014
#define FLDR_ERR_READ_ONLY         -65015
#define FLDR_ERR_BUFFER            -65016
#define FLDR_ERR_NULL_POINTER      -65017
#define FLDR_ERR_CREATE_FILE       -65018
#define FLDR_ERR_DATE_FORMAT_TEXT  -65019
#define FLDR_ERR_FILE_PATH         -65020
#define FLDR_ERR_READ_FILE         -65021
#define FLDR_ERR_PARSE             -65022
#define FLDR_ERR_DELETE_FILE       -65023
#define FLDR_ERR_OPEN_FILE         -65024
#define FLDR_ERR_WRITE_FILE        -65025
#define FLDR_ERR_COLUMN_MISMATCH   -65026
#define FLDR_ERR_DATA              -65027
#define FLDR_ERR_DATE_FORMAT       -65028
#define FLDR_ERR_COLUMN_NAME       -65029
#define FLDR_ERR_COLUMN_ID         -65030
#define FLDR_ERR_CONNECT           -65031
#define FLDR_ERR_PARAMETER_VALUE   -65032
#define FLDR_ERR_CHARSET           -65033
#define FLDR_ERR_COLUMN_TYPE       -65034
#define FLDR_ERR_DATA2             -65035
#define FLDR_ERR_LOAD_MODE         -65036
#define FLDR_ERR_COLUMN_MAPPING    -65037
#define FLDR_ERR_TABLE_INFO        -65038
#define FLDR_ERR_ROW_TERM          -65039
#define FLDR_ERR_REDUNDANCY_TABLE  -65040
#define FLDR_ERR_CHAR_CONVERSION   -65043
#define FLDR_ERR_REACH_ERROR_MAX   -65044
#define FLDR_ERR_MPP_SITES         -65046
#define FLDR_ERR_COLUMN_FUNCTION   -65047
#define FLDR_ERR_OCI_NOT_FOUND     -65048
#define FLDR_ERR_OCI_INIT          -65049
#define FLDR_ERR_OCI_CONNECT       -65050
#define FLDR_ERR_NO_PARTITION      -65051
#define FLDR_ERR_MPP               -65052
#define FLDR_ERR_LOB_CONSTANT      -65053
#define FLDR_ERR_LOB_POSITION      -65054
#define FLDR_ERR_DATA_WATCH        -65055
#define FLDR_ERR_NO_COLUMNS        -65056
#define FLDR_ERR_NO_POSITION       -65057
#define FLDR_ERR_SEP_IS_ENCLOSE    -65058
#define FLDR_ERR_TOO_FEW_COLUMNS   -65059
#define FLDR_ERR_HUGE_SWITCHOVER   -65060
#define FLDR_ERR_RECEIVE           -65061
#define FLDR_ERR_NO_ROW_TERM       -65062
#define FLDR_ERR_NOT_SUPPORTED     -65063
#define FLDR_ERR_DPC               -65064
#define FLDR_ERR_RESET_INDEXES     -65065
#define FLDR_ERR_IMPORT_INDEXES    -65066
#define FLDR_ERR_FE                -65067

/* Codes outside the message table. */
#define FLDR_ERR_PARSE_FAILED       -2007  /* scanner or syntax error in a parse */
#define FLDR_ERR_TEXT_TOO_LONG      -2317  /* parse text too long for the token buffer */
#define FLDR_ERR_NO_TOKEN_BUFFER     -503  /* token buffer (or a log line) could not be allocated */
#define FLDR_ERR_HEX_ESCAPE         -6147  /* "0X" escape cut short */

/* ====================================== 2. Library frame and diagnostics */
/* Implemented in fldr/fldr_main.cpp and fldr/fldr_err.cpp. */

/* The one process-wide object; fields in the documented order. */
typedef struct fldr_global_obj {
    uint32_t    use_dpi;        /* non-zero: release dpi_obj at shutdown */
    uint32_t    inited;         /* 1 after fldr_init_for_svr */
    uint32_t    err_sys_inited; /* 1 after fldr_init started the error system */
    fldr_env    env;            /* environment of every runtime call */
    fldr_env   *env_ptr;        /* &env once initialised; what fldr_get_env returns */
    os_mutex2_t aux_mutex1;     /* for callers */
    os_mutex2_t aux_mutex2;     /* for callers */
    os_mutex2_t log_mutex;      /* guards direct log writes */
    void       *dpi_obj;        /* client-interface object, owned by the caller until shutdown */
    mem_pool_t *pool;           /* "FLDR Memory Pool" */
    uint32_t    deinited;       /* 1 after fldr_deinit_for_svr */
    uint32_t    flags;          /* bit 0: all memory from malloc/free */
} fldr_global_obj;

#define FLDR_FLAG_C_HEAP 0x1u

/* One row of the error message table. */
typedef struct fldr_emsg_row {
    int32_t     code;
    const char *text_zh_cn;     /* simplified Chinese, GB18030 */
    const char *text_zh_tw;     /* traditional Chinese, GB18030 */
    const char *text_en;        /* English, ASCII */
    const char *text_spare;     /* empty in every row */
} fldr_emsg_row;

/* One diagnostic record. */
typedef struct fldr_diag_rec {
    int32_t  code;              /* error code */
    char     text[260];         /* message text, NUL-terminated */
    uint32_t aux_no;            /* reporter's number (0 from the library) */
    uint16_t aux_no16;          /* reporter's second number (0 from the library) */
} fldr_diag_rec;

#define FLDR_DIAG_PER_BLOCK 5

typedef struct fldr_diag_block {
    fldr_diag_rec           recs[FLDR_DIAG_PER_BLOCK];
    struct fldr_diag_block *next;   /* following block, NULL at the end */
} fldr_diag_block;

/* A diagnostic list head, embedded in its owner. */
typedef struct fldr_diag_list {
    os_mutex2_t     lock;       /* guards capacity, count and the block chain */
    uint32_t        capacity;   /* records the blocks hold: 5 per block */
    uint32_t        count;      /* records in use, numbered 1..count */
    uint32_t        flags;      /* bit 0: recording on (3 after init) */
    fldr_diag_block first;      /* the first block */
} fldr_diag_list;

/* Message languages. */
#define FLDR_LANG_ZH_CN 0
#define FLDR_LANG_EN    1
#define FLDR_LANG_ZH_TW 2

struct fldr_inst;

/* Version of this interface. The shared object's soname carries the major
** number (libqxfldr_comm.so.1): a new major number marks a change that
** breaks callers built against an older one; a new minor number only adds. */
#define QXFLDR_COMM_VERSION_MAJOR 1
#define QXFLDR_COMM_VERSION_MINOR 0
#define QXFLDR_COMM_VERSION_PATCH 0

/* "MAJOR.MINOR.PATCH" of the library actually loaded, which may be newer
** than the header the caller was compiled with. Needs no fldr_init. */
QX_EXPORT const char      *fldr_get_version(void);
QX_EXPORT void             fldr_init(void);
QX_EXPORT void             fldr_init_for_svr(void);
QX_EXPORT void             fldr_deinit(void);
QX_EXPORT void             fldr_deinit_for_svr(void);
QX_EXPORT void             fldr_deinit_dpi(void);
QX_EXPORT fldr_global_obj *fldr_get_global_obj(void);
QX_EXPORT fldr_env        *fldr_get_env(void);
QX_EXPORT void            *fldr_mem_alloc(fldr_env *env, mem_ctx_t *mem_ctx, size_t size,
                                          const char *file, uint32_t line);
QX_EXPORT int32_t          fldr_mem_free(fldr_env *env, mem_ctx_t *mem_ctx, void *ptr);
/* buf holds at least 512 bytes (MOUT_LINE_MAX). */
QX_EXPORT int32_t          fldr_mout_lookup(char *buf, int32_t code, int16_t argc, ...);
QX_EXPORT void             fldr_inst_enter(struct fldr_inst *inst);
QX_EXPORT void             fldr_inst_exit(struct fldr_inst *inst);
QX_EXPORT void             fldr_fill_inst_msg(struct fldr_inst *inst, const char *text);

QX_EXPORT const fldr_emsg_row *fldr_emsg_lookup(int32_t code);

QX_EXPORT void           fldr_init_diag(fldr_diag_list *list);
QX_EXPORT void           fldr_deinit_diag(fldr_env *env, fldr_diag_list *list);
QX_EXPORT void           fldr_clear_diag(fldr_diag_list *list);
QX_EXPORT fldr_diag_rec *fldr_get_nth_diag_rec(fldr_diag_block *first_block, uint32_t n);
QX_EXPORT void           fldr_add_diag_rec(fldr_env *env, fldr_diag_list *list, int32_t code,
                                           const char *text, uint16_t aux_no16, uint32_t aux_no,
                                           uint32_t language, uint32_t out_code);

/* ================================================== 3. Control language */
/* Implemented in fldr/fldr_pub_ctl.cpp, fldr/fpar.cpp, fldr/fldr.l and fldr/fldr.y. */

/* One DATA name of the parameters. */
typedef struct fldr_data_name {
    char                  *name;    /* 1..256 characters on the parse heap, as written */
    void                  *spare;   /* always NULL */
    struct fldr_data_name *prev;
    struct fldr_data_name *next;
} fldr_data_name;

/* The load arguments record; fields in the documented order. */
typedef struct fldr_args {
    char            schema_name[129];
    char            table_name[129];
    char            control_file[257];
    char            fldr_ini_file[257];
    char            log_file[257];
    char            bad_file[257];
    uint64_t        skip_rows;
    uint64_t        load_rows;
    uint64_t        commit_rows;
    uint32_t        direct;
    uint32_t        set_identity;
    uint32_t        sorted;
    uint32_t        index_option;
    uint32_t        errors;
    int32_t         character_code;
    uint32_t        silent;
    uint32_t        mode;
    int32_t         spare_code;
    uint32_t        mpp_client;
    uint32_t        single_file;
    char            lob_directory[257];
    char            lob_file_name[129];
    uint32_t        client_lob;
    uint32_t        buffer_node_size;
    uint32_t        log_size;
    uint32_t        read_rows;
    uint32_t        null_mode;
    char            null_str[129];
    uint32_t        send_node_number;
    uint32_t        task_thread_number;
    uint32_t        local_code;
    uint32_t        bldr_num;
    uint16_t        blob_type;
    uint32_t        bdta_size;
    uint32_t        unrep_char_mode;
    uint32_t        compress_flag;
    char            oci_directory[257];
    char            spare_path[257];
    uint32_t        enable_class_type;
    uint32_t        spare_flag;
    uint32_t        flush_flag;
    uint32_t        ignore_batch_errors;
    uint32_t        lan_mode;
    char            data_file[257];
    uint32_t        data_list_kind;     /* 0 names, 1 LIST, 2 DIRECTORY */
    uint32_t        data_name_count;
    fldr_data_name *data_name_first;
    fldr_data_name *data_name_last;
    char            field_sep[257];
    char            field_sep_hex[257];
    uint16_t        field_sep_len;
    uint32_t        field_sep_is_hex;
    uint32_t        field_sep_empty;
    char            row_sep[257];
    uint16_t        row_sep_len;
    char            row_sep_hex[257];
    uint32_t        single_hldr_hp;
    uint16_t        ep_list[1024];
    uint16_t        ep_count;
    uint32_t        parallel;
    char            sql_file[257];
    char           *sql_text;           /* on the parse heap */
    uint32_t        commit_option;
    uint32_t        append_option;
    uint32_t        colname_heading;
    uint32_t        ignore_aimless_data;
    uint32_t        lob_as_varchar;
    uint32_t        lob_as_varchar_size;
    uint32_t        log_level;
    uint32_t        reconn;
    uint32_t        reconn_time;
    uint16_t        width_count;
    uint16_t        widths[2049];
    char           *sedf;
    char           *sedt;
    char           *escape;
    uint32_t        priority_enclose;
    uint32_t        export_mode;
    uint32_t        bad_file_mode;
    char            plog_file[257];
    uint32_t        compatible_mode;
} fldr_args;

/* Open-file record; fldr_data_file begins with the same four fields. */
typedef struct fldr_file {
    char     path[264];     /* NUL-terminated, every "/" stored as "\" */
    int64_t  handle;        /* -1 while closed */
    uint64_t file_size;     /* size when opened (for an append, the size then) */
    uint64_t file_offset;   /* offset of the next read or write */
} fldr_file;

/* Field terminator, enclosure and escape of a table or a column. */
typedef struct fldr_seperator_info {
    char     term[257];
    char     term_hex[257];
    uint16_t term_len;
    uint8_t  term_given;
    uint32_t term_is_hex;
    char     enclose[257];
    char     enclose_hex[257];
    uint16_t enclose_len;
    uint32_t enclose_is_hex;
    char     escape[257];
    char     escape_hex[257];
    uint16_t escape_len;
    uint32_t escape_is_hex;
} fldr_seperator_info;

/* One data file named after INFILE. */
typedef struct fldr_data_file {
    char     path[264];
    int64_t  handle;
    uint64_t file_size;
    uint64_t file_offset;
    uint32_t row_term_given;
    char     row_term[258];
    uint16_t row_term_len;        /* 0 while only the X form is known */
    char     row_term_hex[257];
    uint32_t start_given;
    char     start_str[258];
    uint16_t start_len;
    char     start_hex[257];
    uint32_t file_no;             /* set by the caller, copied into tasks */
    struct fldr_data_file *prev;
    struct fldr_data_file *next;
} fldr_data_file;

typedef struct fldr_fun_arg_list fldr_fun_arg_list;

/* One argument of a column-function call. */
typedef struct fldr_fun_arg {
    uint16_t           kind;      /* 0 column reference, 1 constant text, 2 nested call */
    uint16_t           col_idx;   /* column index in the table description (bound later) */
    char               text[129]; /* column name, constant text or nested function's name */
    fldr_fun_arg_list *args;      /* nested call only */
} fldr_fun_arg;

typedef struct fldr_fun_arg_node {
    fldr_fun_arg             *arg;
    void                     *spare;
    struct fldr_fun_arg_node *prev;
    struct fldr_fun_arg_node *next;
} fldr_fun_arg_node;

struct fldr_fun_arg_list {
    uint32_t           count;
    fldr_fun_arg_node *first;
    fldr_fun_arg_node *last;
};

/* One column of the field list. */
typedef struct fldr_col {
    char                 name[129];
    uint32_t             is_null;
    char                 date_format[51];
    fldr_seperator_info *sep_info;
    char                *constant;
    uint32_t             constant_len;
    char                *fun_str;
    int16_t              fun_kind;   /* -1 none, 1 TRIM, 2 REPLACE, 3 SYSDATE, 4 NEXTVAL,
                                        5 DEFAULT, 6 SUBSTR, 7 SUBSTRB, 8 other call */
    int16_t              rep_col_idx;
    char                 rep_col[129];
    char                 rep_from[129];
    char                 rep_to[129];
    char                 seq_schema[129];
    char                 seq_name[129];
    uint32_t             is_filler;
    uint32_t             filler_spare;
    uint16_t             pos_kind;   /* 0 none, 1 one position, 2 range, 3 asterisk */
    int64_t              pos_start;
    int64_t              pos_end;
    int16_t              data_type;  /* -1 not given, 0 CHAR, 14 DATE */
    uint32_t             data_len;
    int32_t              substr_start;
    int32_t              substr_len;
    char                 substr_col[129];
    int16_t              substr_col_idx;
    fldr_fun_arg_list   *fun_args;
    char                 fun_name[129];
    struct fldr_col     *prev;
    struct fldr_col     *next;
} fldr_col;

#define FLDR_FUN_NONE    (-1)
#define FLDR_FUN_TRIM      1
#define FLDR_FUN_REPLACE   2
#define FLDR_FUN_SYSDATE   3
#define FLDR_FUN_NEXTVAL   4
#define FLDR_FUN_DEFAULT   5
#define FLDR_FUN_SUBSTR    6
#define FLDR_FUN_SUBSTRB   7
#define FLDR_FUN_CALL      8

/* WHEN condition: the tested data and the right-hand side. */
typedef struct fldr_bexp_field {
    uint8_t kind;       /* 0 by name, 1 by position */
    char   *name;       /* kind 0 */
    int64_t start;      /* kind 1, from 1, inclusive */
    int64_t end;        /* kind 1, inclusive */
} fldr_bexp_field;

typedef struct fldr_bexp_value {
    uint8_t  kind;      /* 2 string, 3 hexadecimal string, 4 BLANKS / WHITESPACE */
    uint16_t len;       /* 0 for kind 4 */
    char    *text;      /* NULL for kind 4 */
} fldr_bexp_value;

/* A node of a WHEN condition: a comparison or an AND group of comparisons. */
typedef struct fldr_bexp {
    uint8_t           kind;     /* 0 comparison, 1 AND group */
    fldr_bexp_field  *field;    /* comparison */
    uint8_t           op;       /* comparison: 0 "=", 1 "!=" or "<>" */
    fldr_bexp_value  *value;    /* comparison */
    uint32_t          count;    /* group: members */
    struct fldr_bexp *first;    /* group */
    struct fldr_bexp *last;     /* group */
    struct fldr_bexp *prev;     /* links inside the holding group */
    struct fldr_bexp *next;
} fldr_bexp;

/* The control record of one INTO TABLE clause. */
typedef struct fldr_ctl {
    uint32_t             data_file_count;
    fldr_data_file      *data_file_first;
    fldr_data_file      *data_file_last;
    uint32_t             spec_count;
    fldr_data_file      *spec_first;
    fldr_data_file      *spec_last;
    uint32_t             infile_list;
    uint32_t             infile_directory;
    char                 schema_name[129];
    char                 table_name[129];
    void                *tab_info;        /* the caller's fldr_tab_info */
    fldr_file            bad_file;
    uint8_t              load_mode;       /* 'A', 'R', 'I' or 'N' */
    fldr_seperator_info *sep_info;
    uint8_t              is_continuation;
    fldr_bexp           *when_cond;
    uint32_t             trailing_flag;
    char                 row_enclose[256];
    uint16_t             row_enclose_len;
    uint32_t             col_count;
    fldr_col            *col_first;
    fldr_col            *col_last;
} fldr_ctl;

typedef struct fldr_ctl_node {
    fldr_ctl             *ctl;
    void                 *spare;
    struct fldr_ctl_node *prev;
    struct fldr_ctl_node *next;
} fldr_ctl_node;

/* The result of a parse. */
typedef struct fldr_par_result {
    uint32_t       dash_comment_seen;
    char          *text;
    fldr_args     *args;
    uint32_t       ctl_count;
    fldr_ctl_node *ctl_first;
    fldr_ctl_node *ctl_last;
} fldr_par_result;

/* The error of a failed parse. */
typedef struct fldr_parse_err {
    uint32_t line;
    uint32_t column;
    char     msg[1024];   /* empty for a grammar error */
    char    *text;        /* token at the error */
    int32_t  code;        /* scanner error number; 0 for a grammar error */
} fldr_parse_err;

/* The table's column description the caller hangs on fldr_ctl.tab_info;
** column functions bind against it. Type codes are those of qxdta.h. */
typedef struct fldr_tab_col {
    const char *name;
    uint16_t    type;
} fldr_tab_col;

typedef struct fldr_tab_info {
    uint16_t      col_count;
    fldr_tab_col *cols;
} fldr_tab_info;

/* Load arguments and control records. */
QX_EXPORT void    fldr_init_args(fldr_args *args);
/* Returns 0, or FLDR_ERR_OUT_OF_MEMORY when the heap gives no separator record. */
QX_EXPORT int32_t fldr_init_ctl(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl);
QX_EXPORT void    fldr_init_col(fldr_env *env, mem_heap_t *heap, fldr_col *col);
QX_EXPORT int32_t fldr_init_seperator_info(fldr_seperator_info *sep);

/*
** Parse entry points. 0 on success; FLDR_ERR_PARSE_FAILED (-2007) for a
** scanner or syntax error or a refused value (*err says where and why);
** FLDR_ERR_TEXT_TOO_LONG (-2317); FLDR_ERR_NO_TOKEN_BUFFER (-503).
** fpar_main and fpar_main_ex allocate everything from `heap`, which the
** caller frees when done with *result and *err.
*/
QX_EXPORT int32_t fpar_main(fldr_env *env, const char *text, fldr_par_result **result,
                            fldr_parse_err **err, fldr_args *args, mem_heap_t *heap);
QX_EXPORT int32_t fpar_main_ex(fldr_env *env, const char *text, fldr_par_result **result,
                               fldr_parse_err **err, fldr_col *col, mem_heap_t *heap);
/*
** The loader tool's entry: defaults into args, parse, then the first table's
** data file and separators copied into args. Its parse heap is released
** before it returns, so *result and *err point to copies private to the
** calling thread, valid until its next fldr_par_main call: *result keeps
** dash_comment_seen, text, args and ctl_count (its control-record list is
** gone: ctl_first and ctl_last are NULL); *err keeps line, column, code, msg
** and at most FLDR_PARSE_ERR_TEXT_MAX bytes of the token text.
*/
#define FLDR_PARSE_ERR_TEXT_MAX 1024
QX_EXPORT int32_t fldr_par_main(fldr_env *env, const char *text, fldr_par_result **result,
                                fldr_parse_err **err, fldr_args *args);

/* Length of a fixed-position date field written in the format fmt. */
QX_EXPORT int32_t fldr_calc_date_fmt_len(fldr_env *env, mem_heap_t *heap, const char *fmt,
                                         uint32_t *len);

/* Character-set names; buf holds at least 12 bytes. */
QX_EXPORT uint32_t fpar_get_charactor_code(const char *name);
QX_EXPORT void     fpar_get_charactor(uint32_t code, char *buf);
QX_EXPORT uint32_t fpar_get_local_code(const char *name);
QX_EXPORT void     fpar_get_local_code_str(uint32_t code, char *buf);

/* ============================================================= 4. Files */
/* Implemented in fldr/fldr_file.cpp, fldr/fldr_file_io.cpp, fldr/fldr_file_resolve.cpp and
** fldr/fldr_file_read.cpp. */

/* -- file records -- */

/* Copies src to dst turning "/" into "\"; NULL or "" leaves dst empty. */
QX_EXPORT void    fldr_path_copy(char *dst, const char *src);
/* Copies src to dst unchanged; NULL or "" leaves dst empty. */
QX_EXPORT void    fldr_path_copy_file(char *dst, const char *src);
/* Closed record with the path (bounded by the record); NULL or "" gives an empty path. */
QX_EXPORT int32_t fldr_init_file(fldr_file *file, const char *path);
/* As fldr_init_file, plus the default row terminator "\r\n"; start fields and links untouched. */
QX_EXPORT int32_t fldr_init_data_file(fldr_data_file *df, const char *path);

/* -- file access --
** Every function here takes a fldr_file; a fldr_data_file begins with the
** same four fields and may be passed with a cast. Results are 0 or an
** FLDR_ERR_* code.
*/
QX_EXPORT int32_t fldr_open_file(fldr_file *file);        /* read+write; -65024 */
QX_EXPORT int32_t fldr_open_file_read(fldr_file *file);   /* read only; -65024 */
QX_EXPORT int32_t fldr_create_file(fldr_file *file);      /* truncates; -65018 */
/* Closes an open record; a failed close leaves the record as it was. */
QX_EXPORT void    fldr_file_close(fldr_file *file);
/*
** Appends len bytes at file_offset under `lock` (NULL: the caller
** serialises). A closed record is opened first and positioned at the end of
** the file. -65024 when it cannot be opened, -65025 when the write fails.
*/
QX_EXPORT int32_t fldr_write_file(fldr_file *file, os_mutex2_t *lock, const char *data, uint32_t len);
QX_EXPORT int32_t fldr_delete_file(const char *path);     /* -65023 */
/* Non-zero for a well-formed local path (not ASM, not DFS). */
QX_EXPORT int32_t fldr_is_valid_pathname(const char *path, int32_t option);

/* -- data-file resolution -- */

/* One wildcard level of a directory path: a path component with "*" or "?". */
typedef struct fldr_pattern_level {
    char                      *pattern;  /* heap copy of the component */
    struct fldr_pattern_level *prev;
    struct fldr_pattern_level *next;
} fldr_pattern_level;

typedef struct fldr_pattern_list {
    uint32_t            count;
    fldr_pattern_level *first;
    fldr_pattern_level *last;
} fldr_pattern_list;

/* Plain names (with wildcards) into files; always 0. */
QX_EXPORT int32_t fldr_deal_file_list(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl);
/* List files into files; failures become diagnostics of inst; always 0. */
QX_EXPORT int32_t fldr_resolve_path_file(fldr_env *env, struct fldr_inst *inst, uint32_t language,
                                         uint32_t out_code, mem_heap_t *heap, fldr_ctl *ctl);
/* A directory walk; 0, or -65020 at the first bad entry (-65001 when the heap is exhausted). */
QX_EXPORT int32_t fldr_collect_datafiles_by_path(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl);
/* Appends each data file's path and a line feed to out (sized by the caller). */
QX_EXPORT void    fldr_cat_data_file(fldr_ctl *ctl, char *out);

/* -- Sequential reading --
** A read state and a row buffer belong to one thread. Their memory comes
** from fldr_mem_alloc with the caller's mem_ctx and is given back with
** fldr_mem_free(env, mem_ctx, ptr) on buf, data and row_offs.
*/

#define FLDR_READ_BUF_SIZE   16777216u  /* read buffer: 16 MiB */
#define FLDR_ROW_BUF_SIZE    16384000u  /* row buffer bytes */
#define FLDR_ROW_BUF_ROWS        1000u  /* row offsets a row buffer holds */

/* Read state; invariant pos <= len <= cap, the bytes before pos are consumed. */
typedef struct fldr_read_info {
    fldr_data_file *cur_file;   /* file being read; NULL before the first */
    char           *buf;        /* cap + 1 bytes; a NUL may follow the data */
    uint32_t        pos;        /* first byte not yet consumed */
    uint32_t        cap;        /* FLDR_READ_BUF_SIZE */
    uint32_t        len;        /* file bytes in buf */
} fldr_read_info;

/* Whole rows, terminators included, stored back to back. */
typedef struct fldr_row_buf {
    char     *data;             /* cap bytes */
    uint32_t  cap;              /* FLDR_ROW_BUF_SIZE; rows fill at most cap - 1 bytes */
    uint32_t  used;             /* bytes stored */
    uint32_t *row_offs;         /* start of each stored row; FLDR_ROW_BUF_ROWS entries */
    uint32_t  row_cnt;          /* rows stored */
} fldr_row_buf;

QX_EXPORT int32_t fldr_init_read(fldr_env *env, mem_ctx_t *mem_ctx, fldr_read_info *info);
QX_EXPORT int32_t fldr_init_row_buf(fldr_env *env, mem_ctx_t *mem_ctx, fldr_row_buf *rb);
QX_EXPORT int32_t fldr_reset_row_buf(fldr_row_buf *rb);
QX_EXPORT int32_t fldr_reset_read_info(fldr_read_info *info);
/* Keeps the current file while it has unread data, else opens the next
** openable file of ctl (a file that cannot be opened is reported and
** skipped). 0, FLDR_FILE_LOAD_OVER or FLDR_ERR_ROW_TERM. */
QX_EXPORT int32_t fldr_get_next_file(fldr_env *env, struct fldr_inst *inst, uint32_t language,
                                     uint32_t out_code, fldr_ctl *ctl, fldr_read_info *info);
/* Up to max_rows whole rows of the current file into rb; *out_full is set to
** 1 when rb is full (the caller sets it to 0 first). 0, FLDR_FILE_READ_OVER
** after the file's last row, or a negative code. */
QX_EXPORT int32_t fldr_cpy_rows(struct fldr_inst *inst, fldr_read_info *info, fldr_row_buf *rb,
                                uint32_t max_rows, uint32_t *out_rows, uint32_t *out_full);
/* Up to max_rows rows into rb across files. 0, FLDR_FILE_READ_OVER,
** FLDR_FILE_LOAD_OVER or a negative code. */
QX_EXPORT int32_t fldr_get_rows_new(fldr_env *env, struct fldr_inst *inst, uint32_t language,
                                    uint32_t out_code, fldr_ctl *ctl, fldr_read_info *info,
                                    fldr_row_buf *rb, uint32_t max_rows);
/* Rows of the current file from pos to its end (plain terminator search). */
QX_EXPORT int32_t fldr_get_rowcount(fldr_read_info *info, void *reserved, uint32_t *out_count);
/* Skips up to `rows` rows at the start of the open file df by advancing its
** file_offset. 0, -503 (no memory) or FLDR_ERR_READ_FILE. */
QX_EXPORT int32_t fldr_skip_rows_in_file(fldr_env *env, struct fldr_inst *inst, fldr_data_file *df,
                                         uint64_t rows, uint64_t *out_skipped);

/* ================================================= 5. Record splitting */
/* Implemented in fldr/fldr_file_sep.cpp, fldr/fldr_file_search.cpp and
** fldr/fldr_file_split.cpp (scanners in fldr/fldr_file_scan.cpp and fldr/fldr_file_csv.cpp). */

/*
** Separators: fldr_preprocess_sep_info_single turns the hexadecimal forms of
** a separator record into bytes; fldr_preprocess_load_sep_info does so for
** the table and every column and refuses a column whose terminator equals its
** enclosure.
*/
QX_EXPORT int32_t fldr_preprocess_sep_info_single(fldr_seperator_info *info);
QX_EXPORT int32_t fldr_preprocess_load_sep_info(fldr_ctl *ctl);

/* First occurrence of pattern (pattern_len bytes) wholly inside buf[0, len), or NULL. */
QX_EXPORT char *fldr_strstr(const char *buf, uint32_t len, const char *pattern, int32_t pattern_len);

/*
** First byte of the next row terminator in buf[0, len), or NULL when the
** bytes hold no complete one. inst (may be NULL) chooses the search: scan
** mode 1 with enclosed_rows skips terminators inside ctl->row_enclose, scan
** mode 2 skips terminators preceded by the table's escape, FLDR_SCAN_CSV
** skips terminators inside fields enclosed by the table's enclosure. In
** GBK, GB18030 and BIG5 (inst->charset) the data is walked character by
** character where a trailing byte could be taken for a terminator, escape
** or enclosure. Never reads outside buf[0, len).
*/
QX_EXPORT char *fldr_search_row_end(struct fldr_inst *inst, const char *buf, uint32_t len,
                                    uint16_t term_len, const char *term);

/*
** Cut one field from the rest of a row (data, len bytes from the field's
** first byte). *out_value (inside data) and *out_len give the value, with
** FLDR_NULL_LEN for NULL in scan modes 1, 2 and FLDR_SCAN_CSV; *out_used
** the bytes consumed (on FLDR_ERR_DATA in FLDR_SCAN_CSV: the offset of the
** byte at fault, or len when an enclosure is not closed),
** terminators and enclosures included. Values that must be rebuilt (escapes,
** doubled enclosures) are rewritten in place at the front of the bytes they
** came from, so work (a scratch area of at least len bytes in the calling
** convention) is not written, and reserved is not used. *more_data is set
** to 1 by the caller at the start of each row.
** Returns 0, FLDR_ERR_DATA, FLDR_ERR_SEP_IS_ENCLOSE or FLDR_ERR_TOO_FEW_COLUMNS.
*/
QX_EXPORT int32_t fldr_get_nth_val_len(const fldr_ctl *ctl, const fldr_col *col, uint32_t is_last,
                                       const char *row_term, uint16_t row_term_len, char *data,
                                       uint32_t len, uint32_t charset, uint32_t mode,
                                       uint32_t enclosed_rows, char **out_value, uint32_t *out_len,
                                       uint32_t *out_used, char *work, void *reserved,
                                       uint32_t *more_data);

/* Where a column with a POSITION starts in its row (NULL when outside it). */
QX_EXPORT int32_t fldr_nth_val_position_reset(const fldr_col *col, char *row_start, uint32_t row_len,
                                              char **out_start, uint32_t *out_len);

/* ==================================================== 6. Load pipeline */
/* Implemented in fldr/fldr_file_pipe.cpp, fldr/fldr_file_parallel.cpp,
** fldr/fldr_file_batch.cpp and fldr/fldr_file_when.cpp. */

/* One chunk buffer. */
typedef struct fldr_rowbuf {
    void               *user;      /* the caller's */
    char               *data;      /* cap + 1 bytes: the reader stores a zero after the data */
    uint32_t            len;       /* file bytes now in data */
    uint32_t            cap;       /* capacity of data */
    struct fldr_rowbuf *prev;
    struct fldr_rowbuf *next;
} fldr_rowbuf;

typedef struct fldr_rowbuf_pool {
    os_mutex2_t     lock;          /* guards the list and count */
    os_semaphore_t  sem;           /* one unit per free buffer */
    int32_t         count;
    fldr_rowbuf    *first;
    fldr_rowbuf    *last;
} fldr_rowbuf_pool;

/* One unit of work: rows of a chunk, or a typed batch. */
typedef struct fldr_task {
    uint32_t          kind;          /* 3 rows in a rowbuf, 4 typed batch in bdta */
    uint32_t          worker_no;     /* the worker queue this task goes to */
    int64_t           task_no;       /* sequence number */
    fldr_rowbuf      *rowbuf;        /* buffer holding the rows, or NULL */
    void             *work_mem;      /* worker's block, released when the task is freed */
    char             *data;          /* start of the chunk */
    uint32_t         *row_offs;      /* row start offsets; [row_cnt] holds data_len */
    uint32_t          data_len;      /* chunk bytes covered by the rows */
    uint32_t          row_cnt;
    uint32_t          row_cap;       /* offsets row_offs holds, without the end slot */
    char             *row_term;
    uint16_t          row_term_len;
    char             *start_str;
    uint16_t          start_len;
    mem_ctx_t        *mem_ctx;       /* allocator of the task's owner */
    void             *bdta;          /* typed batch, kind 4 */
    int32_t           file_no;       /* -1 while free */
    int64_t           file_off;      /* -1 while free */
    int64_t           first_row;     /* -1 while free */
    void             *tool_data;     /* the calling tool's; not touched by the library */
    struct fldr_task *prev;
    struct fldr_task *next;
} fldr_task;

#define FLDR_TASK_ROWS 3
#define FLDR_TASK_BDTA 4

typedef struct fldr_task_queue {
    os_mutex2_t     lock;
    os_semaphore_t  sem;           /* one unit per queued task */
    int32_t         count;
    fldr_task      *first;
    fldr_task      *last;
} fldr_task_queue;

typedef struct fldr_task_pool {
    int64_t          next_task_no;  /* read and advanced by the reader alone */
    os_mutex2_t      lock;
    os_semaphore_t   sem;           /* one unit per free task */
    int32_t          count;
    fldr_task       *first;
    fldr_task       *last;
    fldr_task_queue *queues;        /* one per worker, indexed by worker_no */
} fldr_task_pool;

/* A log buffer of the buffered logging mode. */
typedef struct fldr_log_buf {
    char                *data;
    uint32_t             size;      /* capacity */
    uint32_t             used;      /* bytes filled */
    volatile int32_t     writers;   /* threads copying in; interlocked only */
    struct fldr_log_buf *prev;
    struct fldr_log_buf *next;
} fldr_log_buf;

/* Per-table arrays of a multi-table load, each with table_cnt elements. */
typedef struct fldr_table_set {
    void               *user;      /* the caller's */
    fldr_ctl          **ctls;
    struct fldr_inst  **insts;
    uint32_t           *row_cnts;
    fldr_rowbuf       **rowbufs;
    fldr_task         **tasks;
} fldr_table_set;

/* Scan modes of the row search. */
#define FLDR_SCAN_PLAIN     0
#define FLDR_SCAN_ENCLOSED  1
#define FLDR_SCAN_ESCAPED   2
/*
** CSV: rows and fields as a CSV reader reads them. An enclosure opens a
** field only at the field's first byte (elsewhere it is data); inside it a
** doubled enclosure stands for one enclosure character, and field and row
** terminators are data; after the closing enclosure only the field
** terminator, the row terminator or the end of the row may follow. No
** escape. An empty field is NULL (FLDR_NULL_LEN) unless it is enclosed.
** Outside an enclosure a carriage return that does not begin the row
** terminator is an error, since a CSV reader ends the record there.
** The value is kept clear of the small mode numbers, which other callers
** pass as plain.
*/
#define FLDR_SCAN_CSV       16

/*
** The load instance: created, filled and owned by the calling tool. The
** library reads and updates the fields below at fixed places; they are
** grouped by the code that uses them.
*/
typedef struct fldr_inst {
    /* -- reader and pipeline -- */
    int32_t          run_state;      /* -1 asks the reader to stop */
    int32_t          run_mode;       /* tool's mode word; 5 with mode_flag 1 stops reading */
    uint32_t         language;       /* 0 simplified Chinese, 1 English, 2 traditional Chinese */
    int64_t          err_count;      /* rows rejected so far (tool's workers) */
    int64_t          rows_read;      /* rows cut from chunks, taken or not (reader) */
    fldr_rowbuf_pool rowbuf_pool;    /* free chunk buffers */
    fldr_task_pool   task_pool;      /* task counter, free tasks, worker queues */
    mem_ctx_t       *mem_ctx;        /* the instance's allocator, or NULL for the pool */
    fldr_ctl        *ctl;            /* table being loaded */
    int32_t          multi_table;    /* non-zero: one file feeds several tables */
    uint32_t         table_cnt;
    fldr_table_set  *tables;
    fldr_diag_list   diag;           /* the instance's diagnostic records */
    uint32_t         charset;        /* character set of the data */
    int64_t          load_rows;      /* reading ends when rows_read reaches it */
    uint32_t         errors;         /* reading ends when err_count exceeds it */
    uint32_t         task_rows;      /* most rows in one task (at least 1) */
    uint32_t         out_code;       /* output character set of messages (1 UTF-8, 3 BIG5) */
    uint32_t         mode_flag;      /* companion flag of run_mode */

    /* -- row and field scanning -- */
    uint32_t         scan_mode;      /* FLDR_SCAN_* */
    uint32_t         enclosed_rows;  /* scan mode 1: a row terminator inside an enclosure is data */

    /* -- instance lock and last message -- */
    os_mutex2_t      inst_lock;
    char             last_msg[4096]; /* last message shown to the user */
    os_mutex2_t      msg_lock;       /* guards last_msg */

    /* -- error printing and buffered logging -- */
    uint32_t          silent;         /* non-zero: nothing on the console */
    uint32_t          errinfo_gate;   /* non-zero: error info only with errinfo_flags bit 0 */
    uint32_t          errinfo_flags;
    struct fldr_inst *log_owner;      /* instance owning the log buffers */
    uint32_t          log_buffered;   /* non-zero: error info goes to the log buffers */
    fldr_log_buf     *log_cur;        /* buffer being filled, NULL until the writer supplies one */
    os_mutex2_t       log_lock;       /* guards log_cur and the full list */
    os_event2_t       log_event;      /* wakes the tool's log writer */
    uint32_t          log_full_count;
    fldr_log_buf     *log_full_first; /* full buffers, oldest first */
    fldr_log_buf     *log_full_last;

    /* -- log file and line head -- */
    fldr_file         log_file;
    char              head_name1[129]; /* written before the "->" */
    char              head_name2[129];
    uint32_t          log_plain;       /* 1: texts as they are, no head, no line feed */

    /* -- field values and column functions -- */
    uint32_t          null_mode;       /* copy of NULL_MODE: 0, 1 or 2 */
    uint32_t          repl_from_cnt;   /* character map */
    uint32_t          repl_to_cnt;
    uint8_t           repl_from[256];
    uint8_t           repl_to[256];
    uint32_t          dpc_mode;        /* non-zero: NEXTVAL refused */
    uint32_t          call_refused;    /* 1: function calls refused */
} fldr_inst;

/*
** Blocking lists. Takers wait while their list is empty; givers wake one
** waiter. None of them fails. The caller creates and fills the pools.
*/
QX_EXPORT fldr_rowbuf *fldr_rowbuf_get(fldr_rowbuf_pool *pool);
/* A null buf is ignored. */
QX_EXPORT void         fldr_rowbuf_put(fldr_rowbuf_pool *pool, fldr_rowbuf *buf);
QX_EXPORT fldr_task   *fldr_task_get(fldr_task_pool *pool);
/* Appends to pool->queues[task->worker_no]; returns 0. */
QX_EXPORT int32_t      fldr_task_enqueue(fldr_task_pool *pool, fldr_task *task);
/* A worker's side of its queue: the first task, or NULL when none came
** within ms milliseconds. */
QX_EXPORT fldr_task   *fldr_task_take(fldr_task_queue *queue, uint32_t ms);
/* Releases work_mem, empties a kind-4 batch, marks the task free (file_no,
** file_off, first_row -1) and appends it to the free list; returns 0. rowbuf
** and the offset array are left as they are. */
QX_EXPORT int32_t      fldr_task_free(fldr_task_pool *pool, fldr_task *task);
/* 1 when err_count is greater than errors, else 0. */
QX_EXPORT int32_t      fldr_gbl_err_reache_max(struct fldr_inst *inst);
/* A batch container of col_count columns of the given types, each with room
** for row_cap rows; NULL when the container or a column cannot be made. */
QX_EXPORT void        *fldr_bdta_create(fldr_env *env, mem_heap_t *heap, uint32_t row_cap,
                                        uint32_t col_count, const uint16_t *types);

/*
** The reader thread's body for one open data file (handle, file_size,
** file_offset, terminator, start string, file_no set). Returns 0 at the end of
** the file or when rows_read reaches load_rows; FLDR_ERR_REACH_ERROR_MAX on a
** stop request or when err_count exceeds errors; FLDR_ERR_READ_FILE;
** FLDR_ERR_NO_ROW_TERM for a row longer than a buffer; FLDR_ERR_OUT_OF_MEMORY;
** FLDR_ERR_PARAMETER when task_rows is 0; FLDR_ERR_ROW_TERM for an empty row
** terminator. file_offset is advanced by the bytes handed to tasks.
*/
QX_EXPORT int32_t fldr_read_rows_and_build_task(fldr_env *env, struct fldr_inst *inst,
                                                fldr_data_file *file);

/* 1 when the row (its terminator included) satisfies ctl's WHEN condition
** (or ctl has none), else 0. Never reports an error. */
QX_EXPORT uint32_t fldr_calc_bexp(struct fldr_inst *inst, fldr_ctl *ctl, const char *row,
                                  uint32_t row_len, uint32_t charset, fldr_data_file *file);

/* ====================================================== 7. Field values */
/* Implemented in fldr/fldr_pub_val.cpp, fldr/fldr_pub_fun.cpp and fldr/fldr_pub_interval.cpp. */

struct qxdta_nstr;   /* runtime/qxdta.h */
struct bdta3_col;    /* runtime/qxdta.h */
struct bdta3;        /* runtime/qxdta.h */

/* Code of a hexadecimal digit pair that is not one (from nbin_from_char_low_with_len). */
#define FLDR_HEX_DIGIT_ERROR (-6105)

/* Character-set codes the conversion-need test knows. */
#define FLDR_CHARSET_UTF8        1
#define FLDR_CHARSET_GBK         2
#define FLDR_CHARSET_SINGLE_BYTE 9
#define FLDR_CHARSET_GB18030    10

/*
** Value services. A field value is a pointer and a length; the length
** FLDR_NULL_LEN (-1 as i32) marks an absent field.
*/
/* 1 when the value is to be loaded as NULL under the null mode, null string and null-word flag. */
QX_EXPORT int32_t fldr_is_nullvalue(int32_t null_word, const char *val, int32_t len,
                                    const char *null_str, uint32_t null_len, uint32_t null_mode);
/* Drops leading and trailing blanks (0x20 only). */
QX_EXPORT void    fldr_trim_str(char **val, uint32_t *len);
/*
** Copies src to dst turning every "0X" + two hexadecimal digits into its byte;
** dst has room for src_len + 1 bytes (the output is never longer, and ends in
** a zero byte). Returns 0, FLDR_ERR_HEX_ESCAPE for an escape cut short, or the
** negative code of a pair that is not hexadecimal.
*/
QX_EXPORT int32_t fldr_convert_hex_if_necessary(const char *src, int32_t src_len, char *dst,
                                                uint32_t *out_len);
/* The instance's character map applied to one byte. */
QX_EXPORT uint8_t fldr_get_replace_char(struct fldr_inst *inst, uint8_t c);
/* The code's significant bytes, most significant first, then a zero; dst holds 5 bytes. */
QX_EXPORT int32_t fldr_chr(uint32_t code, char *dst);
/* 1 when data in character set `from` needs a conversion for character set `to`. */
QX_EXPORT int32_t fldr_data_need_cvt(int32_t from, int32_t to);
/* FLDR_ERR_COLUMN_MISMATCH when the column's name occurs again later in its list. */
QX_EXPORT int32_t fldr_lst_col_check(const fldr_col *col);
/* Assigns len bytes of str as a constant of the destination's text type (runtime/qxdta.h). */
QX_EXPORT int32_t fldr_dop_from_str(fldr_env *env, mem_heap_t *heap, const char *str, uint16_t len,
                                    struct qxdta_nstr *dst);

/* Column functions. */
/*
** Parses the column's function text and binds the names it uses against the
** table's columns. 0, or FLDR_ERR_PARSE, FLDR_ERR_OUT_OF_MEMORY,
** FLDR_ERR_COLUMN_FUNCTION, FLDR_ERR_DPC, FLDR_ERR_PARAMETER_VALUE,
** FLDR_ERR_COLUMN_NAME.
*/
QX_EXPORT int32_t fldr_map_fun_str(fldr_env *env, struct fldr_inst *inst, const fldr_tab_info *tab,
                                   fldr_col *col, mem_heap_t *heap);
/*
** REPLACE on a whole batch column: every occurrence of col->rep_from in each
** of the `rows` values of src is replaced by col->rep_to in dst (overlapping
** occurrences skipped). 0 or FLDR_ERR_OUT_OF_MEMORY.
*/
QX_EXPORT int32_t fldr_replace_fun(fldr_env *env, mem_ctx_t *mem_ctx, const fldr_col *col,
                                   const struct bdta3_col *src, struct bdta3_col *dst, uint32_t rows);

/*
** Interval info: numbered 256-byte slots in blocks of 100 numbers. `info`
** is the caller's array of at least FLDR_INTERVAL_ARRAY block pointers,
** zeroed at first; element k + 1 holds the block of numbers 100k..100k+99.
** The caller releases the blocks (through the instance's memory context).
*/
#define FLDR_INTERVAL_ARRAY      657
#define FLDR_INTERVAL_LIMIT    65600u   /* numbers the lookup accepts: below this */
#define FLDR_INTERVAL_PER_BLOCK  100
#define FLDR_INTERVAL_SLOT       256

typedef struct fldr_interval_block {
    uint16_t used;            /* additions minus resets in this block */
    uint16_t capacity;        /* 100 */
    uint8_t  bitmap[13];      /* bit i%8 of byte i/8: slot i in use */
    uint8_t  pad[7];          /* zero; aligns the slots */
    char     slots[FLDR_INTERVAL_PER_BLOCK][FLDR_INTERVAL_SLOT];
} fldr_interval_block;

QX_EXPORT int32_t fldr_add_interval_info(struct fldr_inst *inst, void **info, uint32_t number, char **slot);
QX_EXPORT int32_t fldr_reset_interval_info(fldr_env *env, void **info, uint32_t number);
QX_EXPORT char   *fldr_get_interval_info(void **info, uint32_t number);

/* ======================================================== 8. Reporting */
/* Implemented in fldr/fldr_pub_print.cpp, fldr/fldr_pub_log.cpp, fldr/fldr_pub_summary.cpp and
** fldr/fldr_pub_ctl_file.cpp. */

/* ---- Error printing ----
** mode of a given text: 0 shown unchanged, 1 UTF-8 shown as GB18030, other
** values GB18030 shown as UTF-8. A NULL text prints the message of code.
** Both return code.
*/
QX_EXPORT int32_t fldr_print_err(struct fldr_inst *inst, int32_t code, const char *text, uint16_t mode);
QX_EXPORT int32_t fldr_print_err_ex(struct fldr_inst *inst, int32_t code, const char *text, uint16_t mode);
/* One log line of error info; 0 without writing when the gate is closed. */
QX_EXPORT int32_t fldr_fill_err_info(struct fldr_inst *inst, const char *text, uint32_t len);
QX_EXPORT int32_t fldr_fill_err_info_low(struct fldr_inst *inst, const char *text, uint32_t len);

/* ---- Log and bad-data files ----
** A line: "qxfldr: YYYY-MM-DD HH:MM:SS " [name1 "->"] [name2] " " text "\n".
*/
#define FLDR_LOG_PROGRAM  "qxfldr"
#define FLDR_LOG_HEAD_MAX 2048   /* room for any head written by the library */

/* Writes the head and the name part into dest; always 0. */
QX_EXPORT int32_t fldr_log_set_head_info(const char *name1, const char *name2, char *dest);
/* One line to `file` under `lock`; the write's result, or -503. */
QX_EXPORT int32_t fldr_log_data_direct(struct fldr_inst *inst, fldr_file *file, os_mutex2_t *lock,
                                       const char *text, uint32_t len);
QX_EXPORT int32_t fldr_log_by_offset_low(const char *path, const char *text, uint32_t len,
                                         os_mutex2_t *lock, const char *name1, const char *name2,
                                         const char *program);
QX_EXPORT int32_t fldr_log_by_offset(const char *path, const char *text, uint32_t len,
                                     os_mutex2_t *lock);
/* Appends data unchanged; -65025 when the file cannot be opened. No lock. */
QX_EXPORT int32_t fldr_log_write_to_file(const char *path, const char *data, uint32_t len);

/* ---- Summaries ---- */
#define FLDR_CTL_FILE_MAX 1048576u   /* largest control file read */

QX_EXPORT int32_t fldr_print_after_load_err(fldr_args *args, const char *reason);
QX_EXPORT int32_t fldr_print_after_export_err(const char *reason);
/* The control file as a NUL-terminated block; release with fldr_mem_free(env, NULL, text). */
QX_EXPORT int32_t fldr_get_ctl_content(fldr_env *env, const char *path, char **text, uint32_t *len);

/* ================================================ 9. Export conversion */
/* Implemented in fldr/fexp.cpp. */

/* Code of a type the export cannot convert, and of a text longer than 32767 bytes. */
#define FEXP_ERR_UNSUPPORTED_TYPE (-6119)
#define FEXP_ERR_TEXT_TOO_LONG    (-6149)
/* Longest text one value may become. */
#define FEXP_MAX_TEXT 32767

/* What the caller knows of one exported column. */
typedef struct fexp_col_desc {
    uint16_t iv_qualifier;   /* interval columns: the qualifier (see runtime/qxbcast.h) */
    uint16_t spare;          /* zero */
} fexp_col_desc;

/*
** Converts every column of src into the text column of the same index in
** dst (which has as many columns, of text types) by the column's type code;
** sets dst's row count to src's. 0, or FEXP_ERR_UNSUPPORTED_TYPE at the
** first column whose type cannot be converted (earlier columns converted,
** dst's row count left). `descs` may be NULL; `reserved` has no effect.
*/
QX_EXPORT int32_t fexp_bdta_cnvt(fldr_env *env, struct bdta3 *src, struct bdta3 *dst,
                                 const fexp_col_desc *descs, uint16_t reserved);

QX_EXTERN_C_END

#endif
