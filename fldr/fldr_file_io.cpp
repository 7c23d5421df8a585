/*
** File access: open, create, close, append and delete through qxos.
**
** A fldr_file is owned by one thread except while it is appended to: log and
** bad-data files take lines from every worker, so fldr_write_file runs the
** whole append, including the lazy open of a closed record, under the lock
** the caller passes. Record rules:
**   (1) handle == OS_INVALID_HANDLE  =>  file_size == 0 and file_offset == 0
**       after any close done here.
**   (2) An append never moves file_offset backwards; a failed write leaves it.
**   (3) A failed open or close leaves the record exactly as it was.
*/
#include "fldr_internal.h"
#include "qxutl.h"

namespace {

/* The lock is optional: a NULL lock means the caller serialises. */
class OptionalLock {
public:
    explicit OptionalLock(os_mutex2_t *lock) : lock_(lock)
    {
        if (lock_) fldr_lock(lock_);
    }
    ~OptionalLock()
    {
        if (lock_) fldr_unlock(lock_);
    }
    OptionalLock(const OptionalLock &) = delete;
    OptionalLock &operator=(const OptionalLock &) = delete;

private:
    os_mutex2_t *lock_;
};

int32_t open_with(fldr_file *file, int64_t (*open_fn)(const char *))
{
    int64_t handle = open_fn(file->path);
    if (handle == OS_INVALID_HANDLE) return FLDR_ERR_OPEN_FILE;
    file->handle = handle;
    file->file_size = os_file_size_in_bytes(handle);
    file->file_offset = 0;
    return FLDR_OK;
}

} // namespace

extern "C" {

int32_t fldr_open_file(fldr_file *file)
{
    return open_with(file, os_file_open_normal);
}

int32_t fldr_open_file_read(fldr_file *file)
{
    return open_with(file, os_file_open_normal_ex);
}

int32_t fldr_create_file(fldr_file *file)
{
    /* The create's result goes into the record either way: a failure leaves -1. */
    file->handle = os_file_create_normal(file->path);
    if (file->handle == OS_INVALID_HANDLE) return FLDR_ERR_CREATE_FILE;
    file->file_size = 0;
    file->file_offset = 0;
    return FLDR_OK;
}

void fldr_file_close(fldr_file *file)
{
    if (file->handle == OS_INVALID_HANDLE) return;
    if (!os_file_close_normal(file->handle)) return;
    file->handle = OS_INVALID_HANDLE;
    file->file_size = 0;
    file->file_offset = 0;
}

int32_t fldr_write_file(fldr_file *file, os_mutex2_t *lock, const char *data, uint32_t len)
{
    if (len == 0) return FLDR_OK;

    OptionalLock guard(lock);
    if (file->handle == OS_INVALID_HANDLE) {
        int64_t handle = os_file_open_normal(file->path);
        if (handle == OS_INVALID_HANDLE) return FLDR_ERR_OPEN_FILE;
        /* Appending continues at the end of what the file already holds. */
        file->handle = handle;
        file->file_size = os_file_size_in_bytes(handle);
        file->file_offset = file->file_size;
    }
    if (!os_file_write_by_offset_normal(file->handle, file->file_offset, data, len))
        return FLDR_ERR_WRITE_FILE;
    file->file_offset += len;
    return FLDR_OK;
}

int32_t fldr_delete_file(const char *path)
{
    return os_file_delete(path) ? FLDR_OK : FLDR_ERR_DELETE_FILE;
}

int32_t fldr_is_valid_pathname(const char *path, int32_t option)
{
    /* ASM and DFS storage are not ordinary local files, whatever their form. */
    if (os_file_path_is_asm(path) || os_file_path_is_dfs(path)) return 0;
    return is_valid_pathname_raw(path, option);
}

} // extern "C"
