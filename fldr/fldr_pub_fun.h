/*
** Column-function internals shared with the library's tests: the two
** steps of fldr_map_fun_str that do not need the parser.
*/
#ifndef FLDR_PUB_FUN_H
#define FLDR_PUB_FUN_H

#include "qxfldr_comm.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
** Copies `text` to `out` writing every double quote three times, then a
** zero. `out` holds `cap` bytes; 3 * strlen(text) + 1 always suffice.
** Returns the length written, or -1 (nothing promised in out) when cap is
** too small.
*/
int64_t fldr_fun_triple_quotes(const char *text, char *out, size_t cap);

/*
** Checks a parsed column function against the table's columns and the
** instance's refusals, by fun_kind, and stores the column indexes it binds
** (rep_col_idx, substr_col_idx, col_idx of call arguments). `inst` and
** `tab` may be NULL (no refusals; no columns).
*/
int32_t fldr_fun_bind(const struct fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col);

#ifdef __cplusplus
}
#endif

#endif
