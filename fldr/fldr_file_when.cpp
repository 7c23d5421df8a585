/*
** WHEN conditions: does a row go to a table?
**
** The reader asks once per row and table, before the row is put into a task,
** so the evaluation allocates nothing in the common case, stops at the first
** false comparison and extracts columns only up to the one it names.
**
** A condition is a comparison or an AND group of comparisons. A comparison
** tests either a byte range of the row or a column found by name, against a
** quoted string, a hexadecimal string (already turned into bytes by the
** caller) or BLANKS. Any failure to find the tested bytes makes the
** comparison false; nothing is reported from here.
**
** Field extraction may rebuild a value in place (escaped data, doubled
** enclosures). The row belongs to a chunk that a worker will cut again, so in
** those modes the row is first copied into a scratch area and extracted
** there; the chunk itself is never written.
*/
#include <array>
#include <cstring>
#include <strings.h>

#include "fldr_internal.h"

namespace {

/* Bytes of a row a lookup may extract without touching the heap. */
constexpr uint32_t kScratchSize = 32 * 1024;

/* Result of a lookup whose name matches no column: makes the comparison false. */
constexpr int32_t kNoSuchColumn = FLDR_ERR_COLUMN_NAME;

struct FieldValue {
    const char *bytes = nullptr;
    uint32_t    len = 0;
};

bool all_bytes_are(const char *bytes, uint32_t len, char pad)
{
    for (uint32_t i = 0; i < len; i++)
        if (bytes[i] != pad)
            return false;
    return true;
}

/* The shorter side is taken as padded: with blanks for a quoted string, with
** zero bytes for the hexadecimal form. BLANKS holds for empty or all-blank data. */
bool bytes_equal_value(const char *bytes, uint32_t len, const fldr_bexp_value &value)
{
    if (value.kind == 4)
        return len == 0 || all_bytes_are(bytes, len, ' ');
    const char pad = value.kind == 3 ? '\0' : ' ';
    const uint32_t value_len = value.text != nullptr ? value.len : 0;
    const uint32_t common = len < value_len ? len : value_len;
    if (common > 0 && std::memcmp(bytes, value.text, common) != 0)
        return false;
    if (len > value_len)
        return all_bytes_are(bytes + common, len - common, pad);
    return all_bytes_are(value.text + common, value_len - common, pad);
}

/* Whether extraction of this table's fields can rebuild a value inside the
** row: an escape in escaped-data mode, or a doubled enclosure in plain mode. */
bool extraction_may_rewrite(const fldr_inst *inst, const fldr_ctl *ctl)
{
    const fldr_seperator_info *table_sep = ctl->sep_info;
    if (inst->scan_mode == FLDR_SCAN_ESCAPED)
        return table_sep != nullptr && table_sep->escape_len > 0;
    if (inst->scan_mode == FLDR_SCAN_ENCLOSED)
        return false;
    /* The CSV mode compacts doubled enclosures in place, as the plain mode does. */
    if (table_sep != nullptr && table_sep->enclose_len > 0)
        return true;
    uint32_t i = 0;
    for (const fldr_col *col = ctl->col_first; col != nullptr && i < ctl->col_count; col = col->next, i++)
        if (col->sep_info != nullptr && col->sep_info->enclose_len > 0)
            return true;
    return false;
}

/*
** Walks the fields of one row in column order until the named one. `row` and
** `row_len` are the row after any start string; `work` holds at least row_len
** bytes. Returns 0 with the value, a negative extraction result, or
** kNoSuchColumn.
*/
class ColumnWalk {
public:
    ColumnWalk(const fldr_inst *inst, fldr_ctl *ctl, const fldr_data_file *file, uint32_t charset,
               char *row, uint32_t row_len, char *work)
        : inst_(inst), ctl_(ctl), file_(file), charset_(charset), row_(row), row_len_(row_len),
          work_(work), pos_(row), left_(row_len)
    {
    }

    int32_t find(const char *name, FieldValue *out)
    {
        if (ctl_->col_count > 0)
            return find_declared(name, out);
        return find_described(name, out);
    }

private:
    int32_t find_declared(const char *name, FieldValue *out)
    {
        uint32_t i = 0;
        for (fldr_col *col = ctl_->col_first; col != nullptr && i < ctl_->col_count;
             col = col->next, i++) {
            if (col->constant != nullptr)
                continue;   /* a CONSTANT column takes nothing from the data */
            const bool is_last = i + 1 == ctl_->col_count;
            FieldValue value;
            int32_t rc = col->pos_start != -1 ? take_positioned(col, is_last, &value)
                                              : take_field(col, is_last, &value);
            if (rc < 0)
                return rc;
            if (strcasecmp(col->name, name) == 0) {
                *out = value;
                return FLDR_OK;
            }
        }
        return kNoSuchColumn;
    }

    int32_t find_described(const char *name, FieldValue *out)
    {
        const auto *tab = static_cast<const fldr_tab_info *>(ctl_->tab_info);
        if (tab == nullptr)
            return kNoSuchColumn;
        for (uint32_t i = 0; i < tab->col_count; i++) {
            FieldValue value;
            int32_t rc = take_field(nullptr, i + 1 == tab->col_count, &value);
            if (rc < 0)
                return rc;
            const char *col_name = tab->cols[i].name;
            if (col_name != nullptr && strcasecmp(col_name, name) == 0) {
                *out = value;
                return FLDR_OK;
            }
        }
        return kNoSuchColumn;
    }

    /* A positioned column is placed from the row's first byte, not from where
    ** the previous column ended; the walk goes on after its bytes. */
    int32_t take_positioned(fldr_col *col, bool is_last, FieldValue *out)
    {
        const int64_t start = col->pos_start;
        if (start < 1 || start > static_cast<int64_t>(row_len_) ||
            (col->pos_end != -1 && start > col->pos_end)) {
            /* Outside the row: an empty value, and no delimited data after it. */
            more_data_ = 0;
            *out = FieldValue{nullptr, 0};
            return FLDR_OK;
        }
        pos_ = row_ + (start - 1);
        left_ = row_len_ - static_cast<uint32_t>(start - 1);
        return take_field(col, is_last, out);
    }

    int32_t take_field(fldr_col *col, bool is_last, FieldValue *out)
    {
        if (left_ == 0) {
            if (!is_last && ctl_->trailing_flag == 0)
                return FLDR_ERR_TOO_FEW_COLUMNS;
            *out = FieldValue{pos_, inst_->null_mode == 1 ? FLDR_NULL_LEN : 0};
            return FLDR_OK;
        }
        char    *value = nullptr;
        uint32_t value_len = 0;
        uint32_t used = 0;
        int32_t rc = fldr_get_nth_val_len(ctl_, col, is_last ? 1 : 0, file_->row_term,
                                          file_->row_term_len, pos_, left_, charset_,
                                          inst_->scan_mode, inst_->enclosed_rows, &value,
                                          &value_len, &used, work_, nullptr, &more_data_);
        if (rc < 0)
            return rc;
        *out = FieldValue{value, value_len};
        if (used > left_)
            used = left_;
        pos_ += used;
        left_ -= used;
        return FLDR_OK;
    }

    const fldr_inst      *inst_;
    fldr_ctl             *ctl_;
    const fldr_data_file *file_;
    uint32_t              charset_;
    char                 *row_;
    uint32_t              row_len_;
    char                 *work_;
    char                 *pos_;        /* where the next delimited column starts */
    uint32_t              left_;       /* bytes of the row from pos_ */
    uint32_t              more_data_ = 1;
};

/* Finds a column's value by name in a row, copying the row first when the
** extraction could rebuild a value in place. */
class ColumnLookup {
public:
    ColumnLookup(fldr_inst *inst, fldr_ctl *ctl, const char *row, uint32_t row_len,
                 uint32_t charset, const fldr_data_file *file)
        : inst_(inst), ctl_(ctl), row_(row), row_len_(row_len), charset_(charset), file_(file)
    {
        if (file->start_len > 0 && row_len_ >= file->start_len &&
            std::memcmp(row_, file->start_str, file->start_len) == 0) {
            row_ += file->start_len;
            row_len_ -= file->start_len;
        }
    }

    ~ColumnLookup()
    {
        if (heap_block_ != nullptr)
            fldr_free(fldr_get_env(), inst_->mem_ctx, heap_block_);
    }
    ColumnLookup(const ColumnLookup &) = delete;
    ColumnLookup &operator=(const ColumnLookup &) = delete;

    int32_t find(const char *name, FieldValue *out)
    {
        char *row = const_cast<char *>(row_);
        char *work = scratch_work_.data();
        if (extraction_may_rewrite(inst_, ctl_)) {
            if (!prepare_copy())
                return FLDR_ERR_OUT_OF_MEMORY;
            row = copy_;
            work = copy_work_;
        }
        /* Otherwise no value is rebuilt and the work area stays untouched,
        ** whatever the row's length. */
        ColumnWalk walk(inst_, ctl_, file_, charset_, row, row_len_, work);
        return walk.find(name, out);
    }

private:
    bool prepare_copy()
    {
        if (copy_ != nullptr)
            return true;
        if (row_len_ <= kScratchSize) {
            copy_ = scratch_row_.data();
            copy_work_ = scratch_work_.data();
        } else {
            heap_block_ = static_cast<char *>(fldr_alloc(fldr_get_env(), inst_->mem_ctx,
                                                         2 * static_cast<size_t>(row_len_),
                                                         FLDR_TAG_FILE, __LINE__));
            if (heap_block_ == nullptr)
                return false;
            copy_ = heap_block_;
            copy_work_ = heap_block_ + row_len_;
        }
        if (row_len_ > 0)
            std::memcpy(copy_, row_, row_len_);
        return true;
    }

    fldr_inst            *inst_;
    fldr_ctl             *ctl_;
    const char           *row_;
    uint32_t              row_len_;
    uint32_t              charset_;
    const fldr_data_file *file_;
    char                 *copy_ = nullptr;
    char                 *copy_work_ = nullptr;
    char                 *heap_block_ = nullptr;
    std::array<char, kScratchSize> scratch_row_;
    std::array<char, kScratchSize> scratch_work_;
};

/* One comparison; a member that is itself a group is evaluated as one. */
bool comparison_holds(fldr_inst *inst, fldr_ctl *ctl, const fldr_bexp &node, const char *row,
                      uint32_t row_len, uint32_t charset, const fldr_data_file *file);

bool group_holds(fldr_inst *inst, fldr_ctl *ctl, const fldr_bexp *first, const char *row,
                 uint32_t row_len, uint32_t charset, const fldr_data_file *file)
{
    for (const fldr_bexp *node = first; node != nullptr; node = node->next)
        if (!comparison_holds(inst, ctl, *node, row, row_len, charset, file))
            return false;
    return true;
}

/* The comparison of the tested bytes with the node's value. */
bool value_holds(const fldr_inst *inst, const fldr_bexp &node, FieldValue tested)
{
    if (tested.len == FLDR_NULL_LEN) {
        /* Null modes 1 and 2 compare a null field as empty; otherwise a null
        ** field equals nothing and differs from nothing: the row is not taken. */
        if (inst->null_mode != 1 && inst->null_mode != 2)
            return false;
        tested.len = 0;
    }
    const bool equal = bytes_equal_value(tested.bytes, tested.len, *node.value);
    return node.op == 1 ? !equal : equal;
}

bool comparison_holds(fldr_inst *inst, fldr_ctl *ctl, const fldr_bexp &node, const char *row,
                      uint32_t row_len, uint32_t charset, const fldr_data_file *file)
{
    if (node.kind == 1)
        return group_holds(inst, ctl, node.first, row, row_len, charset, file);
    if (node.field == nullptr || node.value == nullptr)
        return false;

    const fldr_bexp_field &field = *node.field;
    if (field.kind == 1) {
        /* Both ends must lie below the row length: the last byte (usually
        ** the terminator) never ends a range. */
        const int64_t len = row_len;
        if (field.start >= len || field.end >= len || field.start < 1 || field.end < field.start)
            return false;
        return value_holds(inst, node,
                           FieldValue{row + (field.start - 1), static_cast<uint32_t>(field.end - field.start + 1)});
    }
    if (field.name == nullptr)
        return false;
    /* A value found by name may lie in the lookup's copy of the row: it is
    ** compared while the lookup lives. The lookup is made only here, never
    ** held empty in an optional: the compiler clears an optional's storage,
    ** all 64 KiB of scratch, for every comparison of every row. */
    ColumnLookup lookup(inst, ctl, row, row_len, charset, file);
    FieldValue tested;
    if (lookup.find(field.name, &tested) < 0)
        return false;
    return value_holds(inst, node, tested);
}

}  // namespace

extern "C" QX_EXPORT uint32_t fldr_calc_bexp(fldr_inst *inst, fldr_ctl *ctl, const char *row,
                                             uint32_t row_len, uint32_t charset,
                                             fldr_data_file *file)
{
    const fldr_bexp *root = ctl->when_cond;
    if (root == nullptr)
        return 1;
    const fldr_bexp *first = root->kind == 1 ? root->first : root;
    return group_holds(inst, ctl, first, row, row_len, charset, file) ? 1 : 0;
}
