/*
** Shared by the qxos_*.cpp files only: path conversion, the per-thread
** error, and the system-call table that tests may patch.
*/
#ifndef QXOS_INTERNAL_H
#define QXOS_INTERNAL_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace qxos {

/* Longest path handed to the system, terminator included. */
constexpr size_t kPathMax = 4096;

/* Records err as this thread's os_last_error(). */
void set_last_error(int err);

/* Copies path into out with every "\" turned into "/". False (and
** ENAMETOOLONG or EINVAL as the last error) when path is NULL or does not
** fit; out is then an empty string. */
bool to_os_path(const char *path, char (&out)[kPathMax]);

/* Calls through the system-call table (see os_file_syscall_override). */
int sys_stat(const char *path, struct stat *st);
int sys_lstat(const char *path, struct stat *st);
DIR *sys_opendir(const char *path);
dirent *sys_readdir(DIR *dir);
int sys_closedir(DIR *dir);

} // namespace qxos

#endif
