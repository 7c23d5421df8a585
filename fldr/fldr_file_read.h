/*
** Sequential reading inside the library: the refill step and the variants
** of the initialisers with the buffer sizes as parameters, so that tests can
** read through buffers of a few bytes.
*/
#ifndef FLDR_FILE_READ_H
#define FLDR_FILE_READ_H

#include "qxfldr_comm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Chunk of the row skip: 4 MiB read at a time, at most 10,240 rows counted per pass. */
#define FLDR_SKIP_CHUNK_SIZE  4194304u
#define FLDR_SKIP_CHUNK_ALLOC 4194314u
#define FLDR_SKIP_PASS_ROWS   10240u

int32_t fldr_init_read_sized(fldr_env *env, mem_ctx_t *mem_ctx, fldr_read_info *info, uint32_t cap);
int32_t fldr_init_row_buf_sized(fldr_env *env, mem_ctx_t *mem_ctx, fldr_row_buf *rb, uint32_t cap);
/* Moves the unconsumed bytes to the front of buf and reads more of cur_file. */
int32_t fldr_read_more(fldr_read_info *info);
int32_t fldr_skip_rows_sized(fldr_env *env, struct fldr_inst *inst, fldr_data_file *df, uint64_t rows,
                             uint64_t *out_skipped, uint32_t chunk_size, uint32_t pass_rows);

#ifdef __cplusplus
}
#endif

#endif
