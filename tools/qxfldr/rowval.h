/*
** The per-row value pipeline: one data row becomes one row of typed values
** for one table, or a rejection with its reason. Independent of the sink:
** it knows the target columns only through their TableDesc.
**
**   row bytes --cut_fields--> fields
**   fields --NULL rules, TRIM, REPLACE, SUBSTR, character set, DATE,
**            CONSTANT, SYSDATE, type check--> Values in a RowBatch
**
** The row is copied before its fields are cut (fields.h) because cutting
** rewrites escaped and doubled-enclosure values in place, and a rejected
** row must reach the bad-data file as it was read.
*/
#ifndef QXFLDR_TOOL_ROWVAL_H
#define QXFLDR_TOOL_ROWVAL_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "dates.h"
#include "qxdta.h"
#include "qxfldr_comm.h"
#include "sink.h"

namespace qxfldr {

/* How one column of the control file (or of the table) gets its value. */
struct ColPlan {
    fldr_col   *col = nullptr;   /* NULL when the control file lists no columns */
    std::string name;
    enum Source { Field, Constant, Sysdate, Nextval, Default } source = Field;
    int         field_no = -1;   /* Field: index among the cut fields */
    int         out_no = -1;     /* index in the INSERT's column list, -1 for FILLER/DEFAULT */
    int         src_field = -1;  /* REPLACE/SUBSTR of another column: its field index */
    uint16_t    type = QXDT_VARCHAR;
    uint32_t    length = 0;      /* characters, 0 for no limit */
    bool        not_null = false;
    DateFormat  date_fmt;        /* DATE 'format' of the control file */
    std::string constant;
    std::atomic<int64_t> *sequence = nullptr;   /* Nextval */
};

/* Settings shared by every row of a load. */
struct ValueRules {
    uint32_t    null_mode = 0;
    std::string null_str;
    uint32_t    charset = FLDR_CHARSET_UTF8;   /* of the data files */
    std::string sysdate;                        /* SYSDATE text, fixed at load start */
};

/* Everything a worker needs to turn rows into values for one table. */
struct TablePlan {
    uint32_t              table_no = 0;
    fldr_ctl             *ctl = nullptr;
    fldr_inst            *inst = nullptr;      /* the table's load instance */
    TableDesc             desc;
    std::vector<ColPlan>  cols;
    std::vector<fldr_col *> field_cols;        /* per cut field: its column record or NULL */
    std::vector<std::string> insert_cols;
    const ValueRules     *rules = nullptr;
    std::string           display_name;        /* schema.table as written */
    std::vector<fldr_tab_col> tab_cols;        /* the description in the library's form */
    fldr_tab_info         tab_info{};          /* hung on ctl->tab_info */
    bool                  csv = true;          /* the CSV dialect (no escape written); see fields.h */
    fldr_ctl              cut_ctl{};           /* *ctl with TRAILING NULLCOLS off, for cutting */
};

/* Why a plan cannot be built: the control file asks for what cannot work
** (a column listed twice, a refused function, a date format not understood),
** or the table does not have what it names. */
enum class PlanFault { None, ControlFile, Table };

/* Builds the plan of a control record against its table; on a fault, err
** names the column and what is wrong with it. */
PlanFault build_plan(fldr_env *env, mem_heap_t *heap, TablePlan &plan, fldr_inst *inst,
                     std::vector<std::atomic<int64_t> *> &sequences, std::string &err);

enum class RowResult { Loaded, FormatError, DataError };

/* A worker's reusable scratch space. */
struct RowScratch {
    std::string row;       /* copy of the row being cut, plus a zero byte */
    std::string work;      /* the splitter's work area */
    std::vector<const char *> field_ptr;
    std::vector<uint32_t>     field_len;   /* FLDR_NULL_LEN for null */
    std::string conv;      /* character-set conversion output */
    std::string text;      /* built values (dates, substrings, functions) */
    bdta3_col   rep_src{};
    bdta3_col   rep_dst{};
    ~RowScratch();
};

/* Converts one row (row_len bytes, its terminator taken off; at_byte its
** offset in the row as read) and appends its values to batch, or leaves
** batch as it was and sets reason. */
RowResult convert_row(const TablePlan &plan, RowScratch &scratch, const char *row, uint32_t row_len,
                      const char *row_term, uint16_t row_term_len, RowBatch &batch, std::string &reason,
                      uint32_t at_byte = 0);

/* The cut field of the column named `name` (without regard to case), or -1
** when no column of that name takes a field. */
int find_field_col(const TablePlan &plan, std::string_view name);

/* The English text of a library code, for log lines and messages. */
std::string lib_message(int32_t code);

}  // namespace qxfldr

#endif
