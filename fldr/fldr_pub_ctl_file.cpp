/*
** Reading the control file: its whole text into one block, for the parser.
** Failures the user must see (no such file, an empty or oversized one) are
** printed as console messages of the library's language.
*/
#include "fldr_internal.h"
#include "qxutl.h"

namespace {

/* Console message codes. */
enum : int32_t {
    kMsgOpenCtlFail = -10033,
    kMsgWrongCtl = -10045,
};

void print_console_msg(int32_t code)
{
    char line[MOUT_LINE_MAX];
    fldr_mout_lookup(line, code, 0);
    aq_printf_inner("%s", line);
}

} // namespace

extern "C" {

int32_t fldr_get_ctl_content(fldr_env *env, const char *path, char **text, uint32_t *len)
{
    int64_t handle = os_file_open_normal_ex(path);
    if (handle == OS_INVALID_HANDLE) {
        print_console_msg(kMsgOpenCtlFail);
        return FLDR_ERR_FILE_PATH;
    }
    uint64_t size = os_file_size_in_bytes(handle);
    if (size == 0 || size > FLDR_CTL_FILE_MAX) {
        print_console_msg(kMsgWrongCtl);
        os_file_close_normal(handle);
        return FLDR_ERR_READ_FILE;
    }
    auto *block = (char *)fldr_alloc(env, nullptr, size + 1, FLDR_TAG_PUB, __LINE__);
    if (!block) {
        os_file_close_normal(handle);
        return FLDR_ERR_OUT_OF_MEMORY;
    }
    if (!os_file_read_by_offset_normal(handle, 0, block, (uint32_t)size)) {
        fldr_free(env, nullptr, block);
        os_file_close_normal(handle);
        return FLDR_ERR_READ_FILE;
    }
    block[size] = '\0';
    os_file_close_normal(handle);
    *text = block;
    if (len) *len = (uint32_t)size;
    return FLDR_OK;
}

} // extern "C"
