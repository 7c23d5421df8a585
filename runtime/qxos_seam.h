/*
** Test seam of the file layer, for the runtime itself and the test suites:
** not part of the library's interface and never exported from the shared
** object (tests link the static archive).
**
** Every system call of the file and directory functions goes through one
** table. os_file_syscall_override replaces the entry called name ("open",
** "close", "pread", "pwrite", "write", "ftruncate", "unlink", "fstat", "stat", "lstat",
** "opendir", "readdir", "closedir") with fn, which must have the system
** call's own type; fn NULL puts the system call back. Returns 0 for an
** unknown name. os_file_syscall_reset restores every entry. Callers in
** other threads see a change at once.
*/
#ifndef QXOS_SEAM_H
#define QXOS_SEAM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t os_file_syscall_override(const char *name, void *fn);
void    os_file_syscall_reset(void);

#ifdef __cplusplus
}
#endif

#endif
