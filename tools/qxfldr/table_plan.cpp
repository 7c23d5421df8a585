/*
** A table's plan: how each column of a control record gets its value, bound
** against the table's description before any row is read (rowval.h).
*/
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "ctltext.h"
#include "rowval.h"

namespace qxfldr {

namespace {

/* Functions a column's call form may use, with their argument counts. */
struct CallFn {
    const char *name;
    int         min_args, max_args;
};
constexpr CallFn kCallFns[] = {
    {"UPPER", 1, 1}, {"LOWER", 1, 1}, {"LTRIM", 1, 1}, {"RTRIM", 1, 1},
    {"CONCAT", 1, 64}, {"NVL", 2, 2}, {"LENGTH", 1, 1},
};

const CallFn *find_call_fn(const char *name)
{
    for (const auto &fn : kCallFns)
        if (iequal(fn.name, name))
            return &fn;
    return nullptr;
}

bool check_call(const TablePlan &plan, const char *fn_name, const fldr_fun_arg_list *args, std::string &err)
{
    const CallFn *fn = find_call_fn(fn_name);
    const int count = args == nullptr ? 0 : static_cast<int>(args->count);
    if (fn == nullptr) {
        err = "function " + clip(fn_name) + " is not supported (UPPER, LOWER, LTRIM, RTRIM, "
              "CONCAT, NVL, LENGTH are)";
        return false;
    }
    if (count < fn->min_args || count > fn->max_args) {
        err = "function " + clip(fn_name) + " takes " + std::to_string(fn->min_args) +
              (fn->max_args != fn->min_args ? " or more" : "") + " arguments";
        return false;
    }
    for (fldr_fun_arg_node *node = args == nullptr ? nullptr : args->first; node; node = node->next) {
        if (node->arg->kind == 0 && find_field_col(plan, node->arg->text) < 0) {
            err = "function " + clip(fn_name) + " names column " + clip(node->arg->text) +
                  ", which takes no field of the data";
            return false;
        }
        if (node->arg->kind == 2 && !check_call(plan, node->arg->text, node->arg->args, err))
            return false;
    }
    return true;
}


/* For each column of the list, whether its name comes again later in the
** list (letters compared without case, as fldr_lst_col_check compares
** them): one pass from the end with a set of the names seen, where asking
** the library column by column takes a walk of the rest of the list each. */
std::vector<bool> named_again_later(const fldr_ctl *ctl)
{
    std::vector<const fldr_col *> cols;
    for (const fldr_col *col = ctl->col_first; col != nullptr; col = col->next)
        cols.push_back(col);
    std::vector<bool> again(cols.size(), false);
    std::unordered_set<std::string> seen;
    for (size_t i = cols.size(); i-- > 0;) {
        std::string key(cols[i]->name, strnlen(cols[i]->name, sizeof cols[i]->name));
        for (auto &c : key)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        again[i] = !seen.insert(std::move(key)).second;
    }
    return again;
}

}  // namespace

PlanFault build_plan(fldr_env *env, mem_heap_t *heap, TablePlan &plan, fldr_inst *inst,
                     std::vector<std::atomic<int64_t> *> &sequences, std::string &err)
{
    fldr_ctl *ctl = plan.ctl;
    plan.inst = inst;
    plan.cut_ctl = *ctl;
    plan.cut_ctl.trailing_flag = 0;
    plan.tab_cols.clear();
    for (const auto &c : plan.desc.cols)
        plan.tab_cols.push_back({c.name.c_str(), c.type});
    plan.tab_info.col_count = static_cast<uint16_t>(plan.tab_cols.size());
    plan.tab_info.cols = plan.tab_cols.data();
    ctl->tab_info = &plan.tab_info;

    auto find_desc = [&plan](std::string_view name) -> const TableColumn * {
        for (const auto &c : plan.desc.cols)
            if (iequal(c.name, name))
                return &c;
        return nullptr;
    };

    if (ctl->col_first == nullptr) {
        /* No field list: the data's fields fill the table's columns in order. */
        if (plan.desc.any_columns) {
            err = "table " + clip(plan.display_name) + ": a field list is needed when the database is :none:";
            return PlanFault::ControlFile;
        }
        for (const auto &c : plan.desc.cols) {
            ColPlan cp;
            cp.name = c.name;
            cp.field_no = static_cast<int>(plan.field_cols.size());
            cp.out_no = static_cast<int>(plan.insert_cols.size());
            cp.type = c.type;
            cp.length = c.length;
            cp.not_null = c.not_null;
            plan.field_cols.push_back(nullptr);
            plan.insert_cols.push_back(c.name);
            plan.cols.push_back(std::move(cp));
        }
        return PlanFault::None;
    }

    /* First pass: sources, fields and output columns. */
    const std::vector<bool> again = named_again_later(ctl);
    size_t index = 0;
    for (fldr_col *col = ctl->col_first; col != nullptr; col = col->next, index++) {
        ColPlan cp;
        cp.col = col;
        cp.name = col->name;
        if (again[index]) {
            err = "column " + clip(cp.name) + " is listed twice";
            return PlanFault::ControlFile;
        }
        if (col->fun_str != nullptr && col->fun_str[0] != '\0') {
            const int32_t rc = fldr_map_fun_str(env, inst, &plan.tab_info, col, heap);
            if (rc != 0 && !(plan.desc.any_columns && rc == FLDR_ERR_COLUMN_FUNCTION)) {
                err = "column " + clip(cp.name) + ": function \"" + clip(col->fun_str) + "\" refused: " +
                      lib_message(rc);
                return PlanFault::ControlFile;
            }
        }
        if (col->constant != nullptr) {
            cp.source = ColPlan::Constant;
            cp.constant.assign(col->constant, col->constant_len);
        } else if (col->fun_kind == FLDR_FUN_SYSDATE) {
            cp.source = ColPlan::Sysdate;
        } else if (col->fun_kind == FLDR_FUN_NEXTVAL) {
            cp.source = ColPlan::Nextval;
            sequences.push_back(new std::atomic<int64_t>(0));
            cp.sequence = sequences.back();
        } else if (col->fun_kind == FLDR_FUN_DEFAULT) {
            cp.source = ColPlan::Default;
        }
        /* Only a CONSTANT takes nothing from the data; SYSDATE, NEXTVAL and
        ** DEFAULT columns still consume their field (as WHEN lookups do). */
        if (cp.source != ColPlan::Constant) {
            cp.field_no = static_cast<int>(plan.field_cols.size());
            plan.field_cols.push_back(col);
        }
        if (!col->is_filler && cp.source != ColPlan::Default) {
            if (plan.desc.any_columns) {
                cp.type = col->data_type == 14 ? QXDT_TIMESTAMP : QXDT_VARCHAR;
            } else {
                const TableColumn *tc = find_desc(cp.name);
                if (tc == nullptr) {
                    err = "column " + clip(cp.name) + " does not exist in table " + clip(plan.display_name);
                    return PlanFault::Table;
                }
                cp.name = tc->name;
                cp.type = tc->type;
                cp.length = tc->length;
                cp.not_null = tc->not_null;
            }
            cp.out_no = static_cast<int>(plan.insert_cols.size());
            plan.insert_cols.push_back(cp.name);
        }
        if (col->data_type == 14 && col->date_format[0] != '\0' &&
            !read_date_format(env, heap, col->date_format, cp.date_fmt)) {
            err = "column " + clip(cp.name) + ": date format '" + clip(col->date_format) + "' is not understood";
            return PlanFault::ControlFile;
        }
        plan.cols.push_back(std::move(cp));
    }

    /* Second pass: columns that take their value from another column's field. */
    for (auto &cp : plan.cols) {
        fldr_col *col = cp.col;
        const char *src = nullptr;
        if (col->fun_kind == FLDR_FUN_REPLACE)
            src = col->rep_col;
        else if (col->fun_kind == FLDR_FUN_SUBSTR || col->fun_kind == FLDR_FUN_SUBSTRB)
            src = col->substr_col;
        if (src != nullptr && !iequal(src, col->name)) {
            cp.src_field = find_field_col(plan, src);
            if (cp.src_field < 0) {
                err = "column " + clip(cp.name) + ": " + clip(src) + " takes no field of the data";
                return PlanFault::ControlFile;
            }
        }
        if (col->fun_kind == FLDR_FUN_CALL && !check_call(plan, col->fun_name, col->fun_args, err)) {
            err = "column " + clip(cp.name) + ": " + err;
            return PlanFault::ControlFile;
        }
    }
    return PlanFault::None;
}

}  // namespace qxfldr
