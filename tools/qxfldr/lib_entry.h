/*
** Entry points of the library that the tool reaches through one seam.
**
** The reader (fldr_read_rows_and_build_task), the WHEN evaluation
** (fldr_calc_bexp) and the column-function binding (fldr_map_fun_str) are
** declared by the library's header; a library build that does not define
** them yet still links, and the tool then uses its own interim versions in
** lib_interim.cpp. As soon as the library defines them, its versions are
** the ones called.
*/
#ifndef QXFLDR_TOOL_LIB_ENTRY_H
#define QXFLDR_TOOL_LIB_ENTRY_H

#include "qxfldr_comm.h"

namespace qxfldr {

int32_t  lib_read_rows(fldr_env *env, fldr_inst *inst, fldr_data_file *file);
uint32_t lib_calc_bexp(fldr_inst *inst, fldr_ctl *ctl, const char *row, uint32_t row_len, uint32_t charset,
                       fldr_data_file *file);
int32_t  lib_map_fun_str(fldr_env *env, fldr_inst *inst, const fldr_tab_info *tab, fldr_col *col,
                         mem_heap_t *heap);
/* Which of the three are the tool's own, for the log's head. */
const char *lib_interim_note();

}  // namespace qxfldr

#endif
