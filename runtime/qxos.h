/*
** qxos: the operating-system layer. One prototype per service.
**
** Paths are handed to this layer in the library's stored form, with "\" as
** the separator; every function that reaches the operating system turns each
** "\" into "/" first. A name that holds a real backslash cannot be reached.
*/
#ifndef QXOS_H
#define QXOS_H

#include <stdint.h>
#include <pthread.h>
#include "qxexport.h"

QX_EXTERN_C_BEGIN

/* ------------------------------------------------------------------ files
** A handle is a signed 64-bit value; OS_INVALID_HANDLE means "no file".
** Offsets are u64, lengths u32. Non-zero results mean success.
*/
#define OS_INVALID_HANDLE ((int64_t)-1)

QX_EXPORT int64_t  os_file_open_normal(const char *path);     /* existing file, read+write */
QX_EXPORT int64_t  os_file_open_normal_ex(const char *path);  /* existing file, read only */
QX_EXPORT int64_t  os_file_create_normal(const char *path);   /* new file (truncates), read+write */
QX_EXPORT int32_t  os_file_close_normal(int64_t handle);
QX_EXPORT int32_t  os_file_delete(const char *path);
QX_EXPORT uint64_t os_file_size_in_bytes(int64_t handle);
/* Non-zero only when all len bytes were read. */
QX_EXPORT int32_t  os_file_read_by_offset_normal(int64_t handle, uint64_t offset, void *buf, uint32_t len);
/* Non-zero on success; *got may be less than len at the end of the file. */
QX_EXPORT int32_t  os_file_read_by_offset_normal_ex(int64_t handle, uint64_t offset, void *buf,
                                                    uint32_t len, uint32_t *got);
QX_EXPORT int32_t  os_file_write_by_offset_normal(int64_t handle, uint64_t offset, const void *data,
                                                  uint32_t len);
QX_EXPORT int32_t  os_path_is_dir(const char *path);
QX_EXPORT int32_t  os_file_path_is_dfs(const char *path);   /* begins with "dfs:", any case */
QX_EXPORT int32_t  os_file_path_is_asm(const char *path);   /* begins with "+" */
/* Output files (logs, bad-data files): opened for appending, created (0644)
** when missing. A symbolic link as the last component is refused with ELOOP
** (its target is never opened), a directory with EISDIR. */
QX_EXPORT int64_t  os_file_open_append(const char *path);
/* Appends len bytes whole or not at all: when a write fails part-way, a
** regular file is cut back to its size before the call (a pipe or a device
** cannot be). Sequential, so pipes and devices take it too. Non-zero on
** success; os_last_error() tells why not. */
QX_EXPORT int32_t  os_file_append(int64_t handle, const void *data, uint32_t len);
/* Non-zero when the path itself is a symbolic link (not followed); lets a
** directory walk skip links that os_path_is_dir and os_find_entry.is_dir
** follow. */
QX_EXPORT int32_t  os_path_is_symlink(const char *path);
/* errno of the last failed call of this layer on this thread (0 when none). */
QX_EXPORT int32_t  os_last_error(void);

/* Declared only for the runtime itself and the test suites (QXOS_TEST_SEAMS):
** the seam never leaves the shared object. */
#if defined(QXOS_TEST_SEAMS)
/* Test seam: every system call of the file functions goes through one table.
** os_file_syscall_override replaces the entry called name ("open", "close",
** "pread", "pwrite", "unlink", "fstat", "stat", "lstat", "write",
** "ftruncate") with fn, which must have the system call's own type; fn NULL
** puts the system call back. Returns 0 for an unknown name.
** os_file_syscall_reset restores every entry. Not for production use:
** callers in other threads see the change at once. */
int32_t os_file_syscall_override(const char *name, void *fn);
void    os_file_syscall_reset(void);
#endif

/* ------------------------------------------------------------------ locks
** Lock rules:
**  (1) os_critical_section is recursive, as the platform section it
**      replaces is: the owning thread may enter it again.
**  (2) The library writes -1 into os_mutex2_t.owner right after entering and
**      right before leaving; nothing reads the word.
**  (3) os_mutex2_init() runs before the first create and os_mutex2_deinit()
**      after the last free.
*/
typedef struct os_critical_section {
    pthread_mutex_t mutex;   /* recursive mutex */
} os_critical_section;

typedef struct os_mutex2_t {
    os_critical_section cs;  /* entered and left with os_cs_enter / os_cs_leave */
    int32_t owner;           /* owner word, -1 while entered or about to be left */
} os_mutex2_t;

QX_EXPORT void os_mutex2_init(void);
QX_EXPORT void os_mutex2_deinit(void);
QX_EXPORT void os_mutex2_create(os_mutex2_t *lock);
QX_EXPORT void os_mutex2_free(os_mutex2_t *lock);
QX_EXPORT void os_cs_enter(os_critical_section *cs);
QX_EXPORT void os_cs_leave(os_critical_section *cs);

/* ------------------------------------------------------------- semaphores */
typedef struct os_semaphore_t {
    pthread_mutex_t mutex;   /* guards count */
    pthread_cond_t  cond;    /* signalled on every post; waits use the monotonic clock */
    uint32_t        count;   /* units available */
} os_semaphore_t;

QX_EXPORT void    os_semaphore_create(os_semaphore_t *sem, uint32_t initial);
QX_EXPORT void    os_semaphore_free(os_semaphore_t *sem);
QX_EXPORT void    os_semaphore_p(os_semaphore_t *sem);   /* wait for a unit and take it */
QX_EXPORT void    os_semaphore_v(os_semaphore_t *sem);   /* add one unit */
/* 1 when a unit was taken, 0 when ms passed first; OS_WAIT_FOREVER waits
** without a limit. */
#define OS_WAIT_FOREVER 0xFFFFFFFFu
QX_EXPORT int32_t os_semaphore_p_timed(os_semaphore_t *sem, uint32_t ms);

/* ----------------------------------------------------------------- events
** Manual-reset: once set, every wait returns 1 until os_event2_reset.
*/
typedef struct os_event2_t {
    pthread_mutex_t mutex;   /* guards is_set */
    pthread_cond_t  cond;    /* broadcast on set; waits use the monotonic clock */
    uint32_t        is_set;  /* 1 while set */
} os_event2_t;

QX_EXPORT void    os_event2_create(os_event2_t *ev);
QX_EXPORT void    os_event2_free(os_event2_t *ev);
QX_EXPORT void    os_event2_set(os_event2_t *ev);
QX_EXPORT void    os_event2_reset(os_event2_t *ev);
/* 1 when set, 0 when ms passed first (OS_WAIT_FOREVER: no limit). */
QX_EXPORT int32_t os_event2_wait(os_event2_t *ev, uint32_t ms);

/* ------------------------------------------------------ counters, threads */
QX_EXPORT int32_t  os_interlock_inc(volatile int32_t *counter);  /* returns the new value */
QX_EXPORT int32_t  os_interlock_dec(volatile int32_t *counter);  /* returns the new value */
QX_EXPORT void     os_thread_sleep(uint32_t ms);
QX_EXPORT uint32_t cpu_get_cpu_num(void);

/* ------------------------------------------------------- directory search
** The pattern is a directory and a last component with "*" and "?".
** Entries come in byte order of their names, "." and ".." included.
*/
typedef struct os_find_entry {
    char     name[260];      /* entry name, without its directory */
    uint32_t is_dir;         /* 1 for a directory */
} os_find_entry;

typedef struct os_find_s os_find_t;   /* opaque search handle */

/* Handle and the first entry in *out, or NULL when nothing matches
** (os_last_error() tells a missing directory from an empty match). */
QX_EXPORT os_find_t *os_find_first(const char *pattern, os_find_entry *out);
QX_EXPORT int32_t    os_find_next(os_find_t *handle, os_find_entry *out);  /* 0 when none left */
QX_EXPORT void       os_find_close(os_find_t *handle);

/* "*" any run, "?" one character (a whole UTF-8 sequence, else one byte),
** ASCII letters compared without case; "*.*" matches every name. */
QX_EXPORT int32_t os_path_match_spec(const char *name, const char *spec);

QX_EXTERN_C_END

#endif
