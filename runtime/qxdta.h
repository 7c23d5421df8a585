/*
** qxdta: typed batch containers (columns of typed values with null flags),
** and the server type codes they carry.
**
** A batch (bdta3) is a set of columns that share a row count. Each column
** (bdta3_col) has a type code, an optional selection and a data area
** (bdta3_data) with one null flag and one fixed-size value per row. String
** and binary values are qxdta_str records whose bytes the column owns once
** they were stored with bdta3_col_assign_str or bdta3_col_append.
**
** Rules of the containers:
**   (1) a column's data holds `cap` rows; row_count <= cap. Storing a value
**       at row r >= cap grows the data area (the old rows are kept).
**   (2) null flag 0: the row has no value (SQL NULL); non-zero: it has one.
**   (3) output row r of a column reads source row sel[r] when the column has
**       a selection, else row r. The selection belongs to whoever set it;
**       the container never releases it.
**   (4) the bytes behind a string value belong to the column when they were
**       stored through this library (own_bufs[row]); a caller may also point
**       a value at bytes of its own, which the column then never frees.
**   (5) record, type array and column array come from the caller's heap when
**       one is given to bdta3_create (and die with it); data areas always
**       come from the C heap, because they grow, are cleared and reused, and
**       are released by bdta3_free2.
*/
#ifndef QXDTA_H
#define QXDTA_H

#include <stdint.h>
#include "qxexport.h"
#include "qxmem.h"

QX_EXTERN_C_BEGIN

/*
** Server type codes and the value each row holds.
** "exported" codes are the ones fexp_bdta_cnvt turns into text.
*/
#define QXDT_CHAR            0  /* fixed-length text: qxdta_str */
#define QXDT_VARCHAR2        1  /* variable-length text: qxdta_str */
#define QXDT_VARCHAR         2  /* variable-length text: qxdta_str */
#define QXDT_BIT             3  /* uint8_t, 0 or 1 */
#define QXDT_BOOLEAN         4  /* uint8_t; not exported */
#define QXDT_TINYINT         5  /* int8_t */
#define QXDT_SMALLINT        6  /* int16_t */
#define QXDT_INT             7  /* int32_t */
#define QXDT_BIGINT          8  /* int64_t */
#define QXDT_DEC             9  /* qxdta_dec: exact decimal */
#define QXDT_FLOAT          10  /* float (4 bytes) */
#define QXDT_DOUBLE         11  /* double */
#define QXDT_BLOB           12  /* large binary object locator: qxdta_str; not exported */
#define QXDT_CLOB           13  /* large text object locator: qxdta_str; not exported */
#define QXDT_DATE           14  /* qxdta_time (13 bytes, see qxcalc.h): date part */
#define QXDT_TIME           15  /* qxdta_time: time part */
#define QXDT_TIMESTAMP      16  /* qxdta_time: date and time */
#define QXDT_BINARY         17  /* fixed-length bytes: qxdta_str */
#define QXDT_VARBINARY      18  /* variable-length bytes: qxdta_str */
#define QXDT_IMAGE          19  /* large binary kept in row: qxdta_str; not exported */
#define QXDT_INTERVAL_YM    20  /* int32_t: signed number of months */
#define QXDT_INTERVAL_DT    21  /* qxdta_ivdt: signed seconds and nanoseconds */
#define QXDT_TIME_TZ        22  /* qxdta_time: time with its zone */
#define QXDT_TIMESTAMP_TZ   23  /* qxdta_time: date and time with its zone */
#define QXDT_CLASS          24  /* object value, serialised: qxdta_str; not exported */
#define QXDT_ARRAY          25  /* array value, serialised: qxdta_str; not exported */
#define QXDT_DATETIME       26  /* qxdta_time: date and time, written as QXDT_TIMESTAMP */
#define QXDT_TIMESTAMP_LTZ  27  /* qxdta_time: date and time in the session's zone, as 23 */
#define QXDT_ROWID          28  /* uint64_t: row address */
#define QXDT_TYPE_COUNT     29

/* Result codes (negative: failure). */
#define QXDTA_ERR_NO_MEMORY  (-6101)  /* an allocation failed */
#define QXDTA_ERR_ARGUMENT   (-6102)  /* a null pointer, a row outside the column, a bad index */
#define QXDTA_ERR_TYPE       (-6103)  /* unknown type code, or a value of the wrong kind for it */

/* A text or byte value. */
typedef struct qxdta_str {
    uint32_t len;    /* bytes at ptr */
    uint32_t flag;   /* the caller's flag word, kept as given */
    char    *ptr;    /* the bytes (the column stores a zero after them) */
} qxdta_str;

/* An exact decimal: (negative ? -1 : 1) * (hi * 2^64 + lo) / 10^scale. */
typedef struct qxdta_dec {
    uint64_t lo;        /* magnitude, low 64 bits */
    uint64_t hi;        /* magnitude, high 64 bits */
    int16_t  scale;     /* digits after the decimal point, 0..38 */
    uint8_t  negative;  /* 1 for a value below zero */
    uint8_t  spare[5];  /* zero */
} qxdta_dec;

/* A day-to-second interval: both parts carry the sign of the value. */
typedef struct qxdta_ivdt {
    int64_t seconds;    /* whole seconds */
    int32_t nanos;      /* -999999999..999999999 */
    int32_t spare;      /* zero */
} qxdta_ivdt;

/* A date-time value: 13 bytes, layout in qxcalc.h (division 4). */
typedef struct qxdta_time {
    uint8_t b[13];
} qxdta_time;

/* The data area of a column: rule (1), (2) and (4) above. */
typedef struct bdta3_data {
    uint8_t  *nulls;       /* cap flags: non-zero when the row has a value */
    void     *values;      /* cap values of value_size bytes each */
    uint32_t  value_size;  /* bytes per value, from the type code */
    uint32_t  cap;         /* rows nulls and values hold */
    char    **own_bufs;    /* string types: the buffer row r's bytes live in, or NULL */
    uint32_t *own_caps;    /* string types: capacity of own_bufs[r] */
} bdta3_data;

/* A column of a batch. */
typedef struct bdta3_col {
    uint32_t    row_count; /* output rows holding data */
    uint16_t   *sel;       /* selection: source row of each output row, or NULL */
    bdta3_data *data;      /* NULL until bdta3_col_data_create_low */
    uint16_t    type;      /* server type code of the values */
    uint16_t    spare;     /* zero */
} bdta3_col;

/* A batch. */
typedef struct bdta3 {
    uint16_t    col_count; /* columns */
    uint32_t    row_count; /* rows of the batch (set by whoever fills it) */
    uint16_t   *types;     /* col_count type codes */
    bdta3_col  *cols;      /* col_count columns */
    uint32_t    on_heap;   /* 1: record, types and cols live on the caller's heap, rule (5) */
} bdta3;

/* The value size of a type code, 0 for a code this library does not know. */
QX_EXPORT uint32_t qxdta_value_size(uint16_t type);
/* 1 when the type's values are qxdta_str records. */
QX_EXPORT int32_t qxdta_type_is_str(uint16_t type);

/*
** A batch of col_count columns with the given type codes, no data areas
** yet, row count 0. `heap` may be NULL (C heap). Returns NULL when memory
** runs out; the type codes are not checked here.
*/
QX_EXPORT bdta3 *bdta3_create(fldr_env *env, mem_heap_t *heap, uint16_t col_count,
                              const uint16_t *types);

/*
** Gives `col` a data area of `row_cap` rows for `type` (all rows null) and
** sets its type; an area it had is released first. `heap` is not used for
** the area (rule 5) and may be NULL. Returns 0, QXDTA_ERR_TYPE for an
** unknown code, QXDTA_ERR_NO_MEMORY.
*/
QX_EXPORT int32_t bdta3_col_data_create_low(fldr_env *env, mem_heap_t *heap, bdta3_col *col,
                                            uint16_t type, uint32_t row_cap);

/* Releases the data areas and, unless they live on the heap, the batch itself. */
QX_EXPORT void bdta3_free2(fldr_env *env, mem_heap_t *heap, bdta3 *batch);

/* Releases one column's data area (for columns that are not part of a batch). */
QX_EXPORT void bdta3_col_free(bdta3_col *col);

/*
** Empties a batch for reuse: row counts 0, every row null, selections
** dropped. Data areas and the columns' string buffers are kept.
*/
QX_EXPORT void bdta3_clear(fldr_env *env, bdta3 *batch);

/*
** Stores `len` bytes of `text` as the value of row `row` of a column of a
** string type (qxdta_type_is_str), with the caller's flag word, and marks
** the row as having a value. The column copies the bytes into its own
** buffer for the row (grown, never shrunk) and adds a zero after them; it
** grows its data area when row >= cap, and its row count to row + 1.
** `mem` is the caller's allocation context (an environment or an allocator
** record); the column's bytes come from the C heap whatever it is, so that
** they live exactly as long as the column. Returns 0 or a negative code.
*/
QX_EXPORT int32_t bdta3_col_assign_str(fldr_env *env, void *mem, bdta3_col *col, uint32_t row,
                                       const char *text, uint32_t len, uint32_t flag);

/*
** Appends the output rows of `src` (through its selection) after the rows
** of `dst`, null flags and values alike; strings are copied into `dst`.
** An empty `dst` takes the type of `src` (and a data area when it has
** none); otherwise the two types must have the same kind of value.
** Returns 0 or a negative code (dst keeps the rows appended so far).
*/
QX_EXPORT int32_t bdta3_col_append(fldr_env *env, void *mem, bdta3_col *dst, const bdta3_col *src);

/* Source row of output row r: rule (3). */
static inline uint32_t bdta3_col_src_row(const bdta3_col *col, uint32_t r)
{
    return col->sel != NULL ? col->sel[r] : r;
}

/* Pointer to the value of (data) row r; the caller knows the type. */
static inline void *bdta3_col_value(const bdta3_col *col, uint32_t r)
{
    return (char *)col->data->values + (uint64_t)r * col->data->value_size;
}

/* A single typed string value (a constant of a load, for example). */
typedef struct qxdta_nstr {
    uint16_t type;      /* QXDT_CHAR, QXDT_VARCHAR2 or QXDT_VARCHAR */
    uint16_t is_const;  /* 1 after nstr_assign_const_ex */
    uint32_t len;       /* bytes at ptr */
    char    *ptr;       /* the bytes, followed by a zero when copied to a heap */
} qxdta_nstr;

/*
** Makes `len` bytes of `text` the constant value of `dst`, which must have
** a text type. With a heap the bytes are copied onto it (with a zero after
** them); without one the value refers to the caller's bytes, which must
** outlive it. Returns 0, QXDTA_ERR_TYPE, QXDTA_ERR_ARGUMENT or
** QXDTA_ERR_NO_MEMORY.
*/
QX_EXPORT int32_t nstr_assign_const_ex(fldr_env *env, mem_heap_t *heap, qxdta_nstr *dst,
                                       uint16_t len, const char *text);

QX_EXTERN_C_END

#endif
