/*
** qxos files: open, read and write by offset, size, delete, path tests.
**
** Divisions of this file:
**   1. The system-call table and its test seam
**   2. Paths and the per-thread error
**   3. Open, create, close, delete, size
**   4. Read and write by offset
**   5. Output files: append whole or not at all
**   6. Path tests
**
** Every system call goes through the table of division 1, so a test can make
** a read fail, come up short, or a write hit a full disk, without touching
** the code under test. Entries are atomics: a patch made by a test thread is
** seen by the threads it starts without a data race.
*/
#include "qxos.h"
#include "qxos_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* ================================================ 1. The system-call table */

using open_fn = int (*)(const char *, int, ...);
using close_fn = int (*)(int);
using pread_fn = ssize_t (*)(int, void *, size_t, off_t);
using pwrite_fn = ssize_t (*)(int, const void *, size_t, off_t);
using unlink_fn = int (*)(const char *);
using fstat_fn = int (*)(int, struct stat *);
using stat_fn = int (*)(const char *, struct stat *);
using write_fn = ssize_t (*)(int, const void *, size_t);
using ftruncate_fn = int (*)(int, off_t);

struct syscall_entry {
    const char        *name;      /* the name os_file_syscall_override takes */
    void              *real;      /* the system call itself */
    std::atomic<void *> current;  /* what the layer calls now */
};

/* Indexes into g_syscalls; keep the order of the table below. */
enum { SYS_OPEN, SYS_CLOSE, SYS_PREAD, SYS_PWRITE, SYS_UNLINK, SYS_FSTAT, SYS_STAT, SYS_LSTAT, SYS_WRITE,
       SYS_FTRUNCATE, SYS_COUNT };

syscall_entry g_syscalls[SYS_COUNT] = {
    {"open", reinterpret_cast<void *>(static_cast<open_fn>(::open)), {reinterpret_cast<void *>(static_cast<open_fn>(::open))}},
    {"close", reinterpret_cast<void *>(::close), {reinterpret_cast<void *>(::close)}},
    {"pread", reinterpret_cast<void *>(::pread), {reinterpret_cast<void *>(::pread)}},
    {"pwrite", reinterpret_cast<void *>(::pwrite), {reinterpret_cast<void *>(::pwrite)}},
    {"unlink", reinterpret_cast<void *>(::unlink), {reinterpret_cast<void *>(::unlink)}},
    {"fstat", reinterpret_cast<void *>(static_cast<fstat_fn>(::fstat)), {reinterpret_cast<void *>(static_cast<fstat_fn>(::fstat))}},
    {"stat", reinterpret_cast<void *>(static_cast<stat_fn>(::stat)), {reinterpret_cast<void *>(static_cast<stat_fn>(::stat))}},
    {"lstat", reinterpret_cast<void *>(static_cast<stat_fn>(::lstat)), {reinterpret_cast<void *>(static_cast<stat_fn>(::lstat))}},
    {"write", reinterpret_cast<void *>(::write), {reinterpret_cast<void *>(::write)}},
    {"ftruncate", reinterpret_cast<void *>(static_cast<ftruncate_fn>(::ftruncate)),
     {reinterpret_cast<void *>(static_cast<ftruncate_fn>(::ftruncate))}},
};

template <typename Fn> Fn sys(int which)
{
    return reinterpret_cast<Fn>(g_syscalls[which].current.load(std::memory_order_acquire));
}

thread_local int t_last_error = 0;

} // namespace

extern "C" int32_t os_file_syscall_override(const char *name, void *fn)
{
    if (name == nullptr)
        return 0;
    for (auto &entry : g_syscalls) {
        if (std::strcmp(entry.name, name) == 0) {
            entry.current.store(fn != nullptr ? fn : entry.real, std::memory_order_release);
            return 1;
        }
    }
    return 0;
}

extern "C" void os_file_syscall_reset(void)
{
    for (auto &entry : g_syscalls)
        entry.current.store(entry.real, std::memory_order_release);
}

/* ================================================ 2. Paths, per-thread error */

namespace qxos {

void set_last_error(int err) { t_last_error = err; }

bool to_os_path(const char *path, char (&out)[kPathMax])
{
    out[0] = '\0';
    if (path == nullptr) {
        set_last_error(EINVAL);
        return false;
    }
    size_t len = std::strlen(path);
    if (len >= kPathMax) {
        set_last_error(ENAMETOOLONG);
        return false;
    }
    for (size_t i = 0; i < len; i++)
        out[i] = path[i] == '\\' ? '/' : path[i];
    out[len] = '\0';
    return true;
}

int sys_stat(const char *path, struct stat *st) { return sys<stat_fn>(SYS_STAT)(path, st); }
int sys_lstat(const char *path, struct stat *st) { return sys<stat_fn>(SYS_LSTAT)(path, st); }

} // namespace qxos

using qxos::kPathMax;
using qxos::set_last_error;
using qxos::to_os_path;

extern "C" int32_t os_last_error(void) { return t_last_error; }

/* ================================================ 3. Open, create, close, delete, size */

namespace {

/* A handle is the descriptor widened to 64 bits; anything else is refused
** before it reaches the system. */
bool handle_to_fd(int64_t handle, int *fd)
{
    if (handle < 0 || handle > INT_MAX) {
        set_last_error(EBADF);
        return false;
    }
    *fd = static_cast<int>(handle);
    return true;
}

int64_t open_path(const char *path, int flags, bool refuse_dir)
{
    char os_path[kPathMax];
    if (!to_os_path(path, os_path))
        return OS_INVALID_HANDLE;
    int fd;
    do {
        fd = sys<open_fn>(SYS_OPEN)(os_path, flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        set_last_error(errno);
        return OS_INVALID_HANDLE;
    }
    if (refuse_dir) {
        /* A read-only open succeeds on a directory; a data file must not. */
        struct stat st;
        if (sys<fstat_fn>(SYS_FSTAT)(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            sys<close_fn>(SYS_CLOSE)(fd);
            set_last_error(EISDIR);
            return OS_INVALID_HANDLE;
        }
    }
    return fd;
}

} // namespace

extern "C" int64_t os_file_open_normal(const char *path) { return open_path(path, O_RDWR, false); }

extern "C" int64_t os_file_open_normal_ex(const char *path) { return open_path(path, O_RDONLY, true); }

extern "C" int64_t os_file_create_normal(const char *path)
{
    return open_path(path, O_RDWR | O_CREAT | O_TRUNC, false);
}

extern "C" int32_t os_file_close_normal(int64_t handle)
{
    int fd;
    if (!handle_to_fd(handle, &fd))
        return 0;
    /* On Linux the descriptor is gone even when close reports EINTR, so a
    ** retry could close a descriptor another thread just opened. */
    if (sys<close_fn>(SYS_CLOSE)(fd) != 0 && errno != EINTR) {
        set_last_error(errno);
        return 0;
    }
    return 1;
}

extern "C" int32_t os_file_delete(const char *path)
{
    char os_path[kPathMax];
    if (!to_os_path(path, os_path))
        return 0;
    if (sys<unlink_fn>(SYS_UNLINK)(os_path) != 0) {
        set_last_error(errno);
        return 0;
    }
    return 1;
}

extern "C" uint64_t os_file_size_in_bytes(int64_t handle)
{
    int fd;
    if (!handle_to_fd(handle, &fd))
        return 0;
    struct stat st;
    if (sys<fstat_fn>(SYS_FSTAT)(fd, &st) != 0) {
        set_last_error(errno);
        return 0;
    }
    return static_cast<uint64_t>(st.st_size);
}

/* ================================================ 4. Read and write by offset */

namespace {

bool offset_fits(uint64_t offset, uint32_t len)
{
    if (offset > static_cast<uint64_t>(INT64_MAX) - len) {
        set_last_error(EINVAL);
        return false;
    }
    return true;
}

/* Reads until len bytes are in or the file ends; *got counts what came in.
** False only on an error of the system (EINTR is retried). */
bool read_loop(int fd, uint64_t offset, char *buf, uint32_t len, uint32_t *got)
{
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = sys<pread_fn>(SYS_PREAD)(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_last_error(errno);
            *got = done;
            return false;
        }
        if (n == 0)
            break;   /* end of file */
        done += static_cast<uint32_t>(n);
    }
    *got = done;
    return true;
}

} // namespace

extern "C" int32_t os_file_read_by_offset_normal(int64_t handle, uint64_t offset, void *buf, uint32_t len)
{
    int fd;
    uint32_t got = 0;
    if (!handle_to_fd(handle, &fd) || (buf == nullptr && len > 0) || !offset_fits(offset, len))
        return 0;
    if (!read_loop(fd, offset, static_cast<char *>(buf), len, &got))
        return 0;
    /* A short read here is a failure without an errno of its own. */
    return got == len ? 1 : 0;
}

extern "C" int32_t os_file_read_by_offset_normal_ex(int64_t handle, uint64_t offset, void *buf, uint32_t len,
                                                    uint32_t *got)
{
    uint32_t count = 0;
    int fd;
    bool ok = handle_to_fd(handle, &fd) && (buf != nullptr || len == 0) && offset_fits(offset, len) &&
              read_loop(fd, offset, static_cast<char *>(buf), len, &count);
    if (got != nullptr)
        *got = count;
    return ok ? 1 : 0;
}

extern "C" int32_t os_file_write_by_offset_normal(int64_t handle, uint64_t offset, const void *data,
                                                  uint32_t len)
{
    int fd;
    if (!handle_to_fd(handle, &fd) || (data == nullptr && len > 0) || !offset_fits(offset, len))
        return 0;
    const char *bytes = static_cast<const char *>(data);
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = sys<pwrite_fn>(SYS_PWRITE)(fd, bytes + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_last_error(errno);
            return 0;
        }
        if (n == 0) {
            /* No progress and no error: the device takes no more. */
            set_last_error(ENOSPC);
            return 0;
        }
        done += static_cast<uint32_t>(n);
    }
    return 1;
}

/* ================================================ 5. Output files */

/*
** Rules of an output file (a log, a bad-data file):
**   (1) it is opened for appending; a symbolic link as its last component is
**       refused (O_NOFOLLOW), so that a link planted where the output goes
**       never leads a write to its target;
**   (2) each os_file_append lands whole or not at all in a regular file:
**       when a write fails part-way, the bytes that went in are the last of
**       the file (it is opened for appending), and the file is cut by as
**       many. A pipe or a device cannot take bytes back; there the caller
**       learns of the failure and stops.
*/
extern "C" int64_t os_file_open_append(const char *path)
{
    char os_path[kPathMax];
    if (!to_os_path(path, os_path))
        return OS_INVALID_HANDLE;
    int fd;
    do {
        fd = sys<open_fn>(SYS_OPEN)(os_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                    0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        set_last_error(errno);
        return OS_INVALID_HANDLE;
    }
    return fd;
}

extern "C" int32_t os_file_append(int64_t handle, const void *data, uint32_t len)
{
    int fd;
    if (!handle_to_fd(handle, &fd) || (data == nullptr && len > 0))
        return 0;
    const char *bytes = static_cast<const char *>(data);
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = sys<write_fn>(SYS_WRITE)(fd, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const int err = n < 0 ? errno : ENOSPC;   /* no progress, no error: the device takes no more */
        struct stat st;
        if (done > 0 && sys<fstat_fn>(SYS_FSTAT)(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= done)
            sys<ftruncate_fn>(SYS_FTRUNCATE)(fd, st.st_size - done);
        set_last_error(err);
        return 0;
    }
    return 1;
}

/* ================================================ 6. Path tests */

extern "C" int32_t os_path_is_dir(const char *path)
{
    char os_path[kPathMax];
    struct stat st;
    if (!to_os_path(path, os_path))
        return 0;
    if (qxos::sys_stat(os_path, &st) != 0) {
        set_last_error(errno);
        return 0;
    }
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

extern "C" int32_t os_path_is_symlink(const char *path)
{
    char os_path[kPathMax];
    struct stat st;
    if (!to_os_path(path, os_path))
        return 0;
    if (qxos::sys_lstat(os_path, &st) != 0) {
        set_last_error(errno);
        return 0;
    }
    return S_ISLNK(st.st_mode) ? 1 : 0;
}

extern "C" int32_t os_file_path_is_dfs(const char *path)
{
    if (path == nullptr)
        return 0;
    constexpr std::string_view prefix = "dfs:";
    for (size_t i = 0; i < prefix.size(); i++) {
        char c = path[i];   /* a shorter path stops at its NUL, which matches nothing */
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return 0;
    }
    return 1;
}

extern "C" int32_t os_file_path_is_asm(const char *path) { return path != nullptr && path[0] == '+' ? 1 : 0; }
