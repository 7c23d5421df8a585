/*
** qxos directory search and name matching.
**
** Divisions of this file:
**   1. Name against pattern
**   2. Directory search
**
** A search reads the whole directory at os_find_first, keeps the names that
** match, and sorts them by bytes: the order of readdir depends on the file
** system and on the directory's history, and a load of "*.txt" must take
** its files in the same order every time.
*/
#include "qxos.h"
#include "qxos_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <new>
#include <string>
#include <string_view>
#include <vector>

/* ================================================ 1. Name against pattern */

namespace {

unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

/* Bytes of the character starting at s: a whole UTF-8 sequence when s holds
** one, else one byte, so that "?" never stops inside a character and never
** runs past the terminator. */
size_t char_len(const unsigned char *s)
{
    unsigned char c = s[0];
    size_t want = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
    if (c >= 0xF5)
        want = 1;
    for (size_t i = 1; i < want; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 1;
    return want;
}

} // namespace

extern "C" int32_t os_path_match_spec(const char *name, const char *spec)
{
    if (name == nullptr || spec == nullptr)
        return 0;
    if (std::strcmp(spec, "*.*") == 0)
        return 1;   /* names without a dot match it too, as users of the platform expect */
    auto *n = reinterpret_cast<const unsigned char *>(name);
    auto *p = reinterpret_cast<const unsigned char *>(spec);
    /* Greedy match with one resume point: after a '*', remember where the
    ** pattern and the name stood; on a mismatch let that '*' swallow one more
    ** character and try again. Only the latest '*' needs a resume point (an
    ** earlier one could only swallow what the latest can), so the work is at
    ** most name length times pattern length, whatever the pattern. */
    const unsigned char *star_p = nullptr;
    const unsigned char *star_n = nullptr;
    while (*n != '\0') {
        if (*p == '*') {
            while (*p == '*')
                p++;
            if (*p == '\0')
                return 1;
            star_p = p;
            star_n = n;
            continue;
        }
        if (*p == '?') {
            p++;
            n += char_len(n);
            continue;
        }
        if (*p != '\0' && fold(*p) == fold(*n)) {
            p++;
            n++;
            continue;
        }
        if (star_p == nullptr)
            return 0;
        /* Invariant: star_n stays on a character boundary. */
        star_n += char_len(star_n);
        n = star_n;
        p = star_p;
    }
    while (*p == '*')
        p++;
    return *p == '\0' ? 1 : 0;
}

/* ================================================ 2. Directory search */

struct os_find_s {
    std::vector<os_find_entry> entries;  /* matches, in byte order of name */
    size_t                     next = 0; /* index of the next entry os_find_next hands out */
};

namespace {

/* Whether dir/name is a directory, following a symbolic link. The entry's
** own type answers without a stat for plain files and directories. */
uint32_t entry_is_dir(const std::string &dir, const dirent *ent)
{
    if (ent->d_type == DT_DIR)
        return 1;
    if (ent->d_type == DT_REG)
        return 0;
    std::string full = dir;
    if (full.empty() || full.back() != '/')
        full += '/';
    full += ent->d_name;
    struct stat st;
    if (full.size() >= qxos::kPathMax || qxos::sys_stat(full.c_str(), &st) != 0)
        return 0;   /* a dangling link, or a name gone since readdir */
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

bool byte_order(const os_find_entry &a, const os_find_entry &b) { return std::strcmp(a.name, b.name) < 0; }

} // namespace

extern "C" os_find_t *os_find_first(const char *pattern, os_find_entry *out)
{
    char os_pattern[qxos::kPathMax];
    if (out == nullptr || !qxos::to_os_path(pattern, os_pattern))
        return nullptr;
    /* Split "dir/spec": no separator means the current directory; a pattern
    ** right under the root keeps "/" as its directory. */
    std::string_view whole(os_pattern);
    size_t slash = whole.rfind('/');
    std::string dir = slash == std::string_view::npos ? "." : slash == 0 ? "/" : std::string(whole.substr(0, slash));
    std::string spec(slash == std::string_view::npos ? whole : whole.substr(slash + 1));

    DIR *d = qxos::sys_opendir(dir.c_str());
    if (d == nullptr) {
        qxos::set_last_error(errno);
        return nullptr;
    }
    auto *handle = new (std::nothrow) os_find_s;
    if (handle == nullptr) {
        qxos::sys_closedir(d);
        qxos::set_last_error(ENOMEM);
        return nullptr;
    }
    int read_error = 0;
    try {
        /* An empty last component ("dir/") names no entry. readdir tells its
        ** end from a failure only by errno. */
        while (!spec.empty()) {
            errno = 0;
            const dirent *ent = qxos::sys_readdir(d);
            if (ent == nullptr) {
                read_error = errno;
                break;
            }
            size_t len = std::strlen(ent->d_name);
            if (len >= sizeof(out->name) || !os_path_match_spec(ent->d_name, spec.c_str()))
                continue;
            os_find_entry entry{};
            std::memcpy(entry.name, ent->d_name, len + 1);
            entry.is_dir = entry_is_dir(dir, ent);
            handle->entries.push_back(entry);
        }
        std::sort(handle->entries.begin(), handle->entries.end(), byte_order);
    } catch (const std::bad_alloc &) {
        qxos::sys_closedir(d);
        delete handle;
        qxos::set_last_error(ENOMEM);
        return nullptr;
    }
    qxos::sys_closedir(d);
    if (read_error != 0) {
        /* A listing cut short would load some of the files silently. */
        delete handle;
        qxos::set_last_error(read_error);
        return nullptr;
    }
    if (handle->entries.empty()) {
        delete handle;
        qxos::set_last_error(0);   /* the directory is there; nothing matched */
        return nullptr;
    }
    *out = handle->entries[0];
    handle->next = 1;
    return handle;
}

extern "C" int32_t os_find_next(os_find_t *handle, os_find_entry *out)
{
    if (handle == nullptr || out == nullptr || handle->next >= handle->entries.size())
        return 0;
    *out = handle->entries[handle->next++];
    return 1;
}

extern "C" void os_find_close(os_find_t *handle) { delete handle; }
