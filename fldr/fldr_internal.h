/*
** Declarations shared by the library's modules and not exported.
**
** Allocation: every module allocates through fldr_alloc / fldr_free with
** its own tag, so the memory rule of the library is in one place:
**   (1) global flags bit 0 set: the C heap (malloc/free);
**   (2) else an allocator record given: its alloc_fn / free_fn;
**   (3) else the library pool, with the module's tag and line.
*/
#ifndef FLDR_INTERNAL_H
#define FLDR_INTERNAL_H

#include "qxassert.h"
#include "qxfldr_comm.h"
#include "qxmout.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Allocation tags: one per module. */
#define FLDR_TAG_MAIN "fldr/fldr_main"
#define FLDR_TAG_ERR  "fldr/fldr_err"
#define FLDR_TAG_PUB  "fldr/fldr_pub"
#define FLDR_TAG_FILE "fldr/fldr_file"
#define FLDR_TAG_FPAR "fldr/fpar"
#define FLDR_TAG_FLDR "fldr/fldr"
#define FLDR_TAG_FEXP "fldr/fexp"

/* The one global object (fldr_main.cpp). */
extern fldr_global_obj g_fldr_obj;
/* Library-wide values reported by mout_get_local_code, and the table handle. */
extern uint32_t g_fldr_local_code;
extern uint32_t g_fldr_lang_id;
extern mout_handle_t *g_fldr_mout_handle;

/* The console message table registered with mout_init (fldr_main_msgs.cpp). */
#define FLDR_CONSOLE_MSG_ROWS 53
extern mout_row_t g_fldr_console_msgs[FLDR_CONSOLE_MSG_ROWS];

/* Allocation by the memory rule above; `env` may be NULL for the global one. */
void   *fldr_alloc(fldr_env *env, mem_ctx_t *mem_ctx, size_t size, const char *tag, uint32_t line);
int32_t fldr_free(fldr_env *env, mem_ctx_t *mem_ctx, void *ptr);

/* (fldr_file_sep.cpp) "0x" + hex (NUL-terminated digits) into dst (at
** least 257 bytes, NUL added) and *dst_len; FLDR_ERR_ROW_TERM when it does not convert or the
** bytes hold a zero. */
int32_t fldr_hex_to_sep(const char *hex, char *dst, uint16_t *dst_len);

/* fldr_read_rows_and_build_task with the tail a chunk keeps for the next
** one as a parameter (the exported function keeps 16 KiB): lets tests cut
** several rows from chunks of a few dozen bytes. */
int32_t fldr_read_rows_and_build_task_sized(fldr_env *env, fldr_inst *inst, fldr_data_file *file,
                                            uint32_t min_rest);

/* fldr_print_err of code's message followed by ": where" (a path, maybe with
** a position) and ": " and the system's text for os_error when not 0: the
** console and log line says where and why. (fldr_pub_print.cpp) */
int32_t fldr_print_err_at(fldr_inst *inst, int32_t code, const char *where, int32_t os_error);

/* Enter / leave a lock with the owner-word rule (-1 after entering, -1 before leaving). */
static inline void fldr_lock(os_mutex2_t *lock)
{
    os_cs_enter(&lock->cs);
    lock->owner = -1;
}
static inline void fldr_unlock(os_mutex2_t *lock)
{
    lock->owner = -1;
    os_cs_leave(&lock->cs);
}

#ifdef __cplusplus
}
#endif

#endif
