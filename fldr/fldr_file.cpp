/*
** File and data-file records: initialisation and path copies.
**
** Paths are stored with every "/" turned into "\"; the operating-system
** layer turns them back just before it calls the system.
*/
#include <cstring>

#include "fldr_internal.h"

extern "C" {

QX_EXPORT void fldr_path_copy(char *dst, const char *src)
{
    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    size_t i = 0;
    for (; src[i] != '\0'; i++)
        dst[i] = src[i] == '/' ? '\\' : src[i];
    dst[i] = '\0';
}

QX_EXPORT void fldr_path_copy_file(char *dst, const char *src)
{
    if (src == nullptr) {
        dst[0] = '\0';
        return;
    }
    strcpy(dst, src);
}

/* The copy is bounded by the record: a longer path is cut (the caller keeps
 * paths to 263 characters; a cut path then fails to open rather than
 * overrunning the record). */
static void path_copy_bounded(char (&dst)[264], const char *src)
{
    size_t i = 0;
    if (src != nullptr)
        for (; src[i] != '\0' && i < sizeof dst - 1; i++)
            dst[i] = src[i] == '/' ? '\\' : src[i];
    dst[i] = '\0';
}

QX_EXPORT int32_t fldr_init_file(fldr_file *file, const char *path)
{
    path_copy_bounded(file->path, path);
    file->handle = -1;
    file->file_size = 0;
    file->file_offset = 0;
    return 0;
}

QX_EXPORT int32_t fldr_init_data_file(fldr_data_file *df, const char *path)
{
    path_copy_bounded(df->path, path);
    df->handle = -1;
    df->file_size = 0;
    df->file_offset = 0;
    df->row_term_given = 0;
    df->row_term[0] = '\r';
    df->row_term[1] = '\n';
    df->row_term[2] = '\0';
    df->row_term_len = 2;
    df->row_term_hex[0] = '\0';
    return 0;
}

}  // extern "C"
