/*
** Data-file resolution: the INFILE entries of a control record become the
** ordered list of concrete files.
**
**   entries as written (data-file list)
**       --> moved, in order, to the list of names as written (spec_first)
**       --> each expanded: a plain name (wildcards allowed), the names of a
**           list file, or a directory walk
**       --> fresh fldr_data_file records appended to the data-file list,
**           each inheriting the row terminator and start string of the
**           entry it came from.
**
** Records come from the caller's heap and are never freed here. A path
** longer than 256 characters is never added. Paths are in the stored form
** ("\" separators); qxos turns them back for the operating system.
**
** Directory walks skip symbolic links to directories: a link back to an
** ancestor would otherwise revisit the same files until the path length
** bound ends the walk.
*/
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fldr_internal.h"
#include "qxcalc.h"
#include "qxutl.h"

namespace {

constexpr size_t kPathMax = 256;       /* longest path of a data file */
constexpr size_t kCatLineBuf = 260;    /* one line of fldr_cat_data_file */

/* ------------------------------------------------------------ the lists */

void unlink_first_data_file(fldr_ctl *ctl, fldr_data_file *df)
{
    ctl->data_file_first = df->next;
    if (df->next)
        df->next->prev = nullptr;
    else
        ctl->data_file_last = nullptr;
    ctl->data_file_count--;
    df->prev = df->next = nullptr;
}

void append_spec(fldr_ctl *ctl, fldr_data_file *df)
{
    df->prev = ctl->spec_last;
    df->next = nullptr;
    if (ctl->spec_last)
        ctl->spec_last->next = df;
    else
        ctl->spec_first = df;
    ctl->spec_last = df;
    ctl->spec_count++;
}

void append_data_file(fldr_ctl *ctl, fldr_data_file *df)
{
    df->prev = ctl->data_file_last;
    df->next = nullptr;
    if (ctl->data_file_last)
        ctl->data_file_last->next = df;
    else
        ctl->data_file_first = df;
    ctl->data_file_last = df;
    ctl->data_file_count++;
}

/*
** Moves the first n entries to the list of names as written (spec_first);
** n is read before the first move, so records appended by the expansion are
** never visited again.
** Returns the first entry moved (the moved ones run to that list's end).
*/
fldr_data_file *move_entries_aside(fldr_ctl *ctl)
{
    uint32_t n = ctl->data_file_count;
    fldr_data_file *first_moved = nullptr;
    for (uint32_t i = 0; i < n && ctl->data_file_first; i++) {
        fldr_data_file *df = ctl->data_file_first;
        unlink_first_data_file(ctl, df);
        append_spec(ctl, df);
        if (!first_moved) first_moved = df;
    }
    return first_moved;
}

/* A new record for `path`, inheriting template's terminator and start string. */
void add_data_file(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl, const fldr_data_file *tmpl,
                   const char *path)
{
    if (strlen(path) > kPathMax) return;
    auto *df = (fldr_data_file *)mem_heap_alloc_low(env, heap, sizeof(fldr_data_file), 0,
                                                    FLDR_TAG_FILE, __LINE__);
    if (!df) return;
    fldr_init_data_file(df, path);

    df->row_term_given = 1;
    if (tmpl->row_term_len != 0) {
        memcpy(df->row_term, tmpl->row_term, tmpl->row_term_len);
        df->row_term[tmpl->row_term_len] = '\0';
        df->row_term_len = tmpl->row_term_len;
        df->row_term_hex[0] = '\0';
    } else {
        snprintf(df->row_term_hex, sizeof df->row_term_hex, "%s", tmpl->row_term_hex);
        df->row_term[0] = '\0';
        df->row_term_len = 0;
    }

    df->start_given = tmpl->start_given;
    if (tmpl->start_len != 0) {
        memcpy(df->start_str, tmpl->start_str, tmpl->start_len);
        df->start_str[tmpl->start_len] = '\0';
        df->start_len = tmpl->start_len;
        df->start_hex[0] = '\0';
    } else {
        snprintf(df->start_hex, sizeof df->start_hex, "%s", tmpl->start_hex);
        df->start_str[0] = '\0';
        df->start_len = 0;
    }
    append_data_file(ctl, df);
}

/* ------------------------------------------------------- path tests */

bool is_local_valid_path(const char *path)
{
    return !os_file_path_is_asm(path) && !os_file_path_is_dfs(path) &&
           is_valid_pathname_raw(path, 1);
}

bool has_wildcard(std::string_view text)
{
    return text.find_first_of("?*") != std::string_view::npos;
}

/* ------------------------------------------------- one name expanded */

enum class NameSource { plain, list_file };

/*
** Expands one name into records copying tmpl. 0, or -65020 when a wildcard
** name read from a list file matches nothing.
*/
int32_t expand_name(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl, const fldr_data_file *tmpl,
                    const char *name, NameSource source)
{
    std::string_view name_view(name);
    if (name_view == "*") return FLDR_OK;

    if (!has_wildcard(name_view)) {
        if (is_local_valid_path(name)) add_data_file(env, heap, ctl, tmpl, name);
        return FLDR_OK;
    }

    size_t last_sep = name_view.rfind('\\');
    std::string dir = last_sep == std::string_view::npos ? std::string(".")
                                                         : std::string(name_view.substr(0, last_sep));
    os_find_entry entry;
    os_find_t *search = os_find_first(name, &entry);
    if (!search) return source == NameSource::plain ? FLDR_OK : FLDR_ERR_FILE_PATH;

    std::string full;
    do {
        std::string_view entry_name(entry.name);
        if (entry_name == "." || entry_name == ".." || entry_name == "_desktop.ini") continue;
        full.assign(dir).append("\\").append(entry_name);
        if (os_path_is_dir(full.c_str()) || !is_local_valid_path(full.c_str())) continue;
        add_data_file(env, heap, ctl, tmpl, full.c_str());
    } while (os_find_next(search, &entry));
    os_find_close(search);
    return FLDR_OK;
}

/* ------------------------------------------------------ list files */

/* "0x" + hex through nbin_from_char into bytes; false on failure or a zero byte. */
bool hex_to_bytes(const char *hex, char *out, size_t out_size, uint16_t *out_len)
{
    std::string text = std::string("0x") + hex;
    /* nbin_from_char writes a u32 length then the bytes. */
    std::string bin(sizeof(uint32_t) + text.size() / 2 + 2, '\0');
    if (nbin_from_char(text.c_str(), bin.data(), (uint32_t)bin.size()) < 0) return false;
    uint32_t n = 0;
    memcpy(&n, bin.data(), sizeof n);
    if (n + 1 > out_size || n > bin.size() - sizeof n) return false;
    const char *bytes = bin.data() + sizeof n;
    if (memchr(bytes, '\0', n)) return false;
    memcpy(out, bytes, n);
    out[n] = '\0';
    *out_len = (uint16_t)n;
    return true;
}

/* Turns the entry's hexadecimal terminator and start string into bytes. */
bool convert_entry_hex(fldr_data_file *df)
{
    if (df->row_term_hex[0]) {
        if (!hex_to_bytes(df->row_term_hex, df->row_term, sizeof df->row_term, &df->row_term_len))
            return false;
        df->row_term_hex[0] = '\0';
        df->row_term_given = 1;
    }
    if (df->start_hex[0]) {
        if (!hex_to_bytes(df->start_hex, df->start_str, sizeof df->start_str, &df->start_len))
            return false;
        df->start_hex[0] = '\0';
        df->start_given = 1;
    }
    return true;
}

/* The names of a list file: one block, count pointers then their texts. */
struct NameArray {
    char   **names = nullptr;
    uint32_t count = 0;
    void    *block = nullptr;
};

bool is_list_blank(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

/*
** Splits text (len bytes, a zero after them) into names separated by commas
** and line ends. Blank lines and blanks before a name are skipped; trailing
** spaces are cut; blanks inside a name stay. Returns false when the block
** cannot be had.
*/
bool parse_list_text(fldr_env *env, const char *text, uint32_t len, NameArray *out)
{
    size_t slots = (size_t)len + 1;
    void *block = fldr_alloc(env, nullptr, slots * (sizeof(char *) + 1), FLDR_TAG_FILE, __LINE__);
    if (!block) return false;
    auto **names = (char **)block;
    char *store = (char *)block + slots * sizeof(char *);
    uint32_t count = 0;

    const char *end = text + len;
    const char *pos = text;
    /* Invariant: store has room for the rest of the text plus one zero per name. */
    while (pos < end) {
        if (is_list_blank(*pos)) {
            pos++;
            continue;
        }
        size_t rest = (size_t)(end - pos);
        auto *line_end = (const char *)memchr(pos, '\r', rest);
        if (!line_end) line_end = (const char *)memchr(pos, '\n', rest);

        const char *name_end;
        const char *next;
        if (line_end) {
            auto *comma = (const char *)memchr(pos, ',', (size_t)(line_end - pos));
            name_end = comma ? comma : line_end;
            next = name_end + 1;
        } else {
            auto *comma = (const char *)memchr(pos, ',', rest);
            name_end = comma ? comma : end;
            next = comma ? comma + 1 : end;
        }

        uint32_t kept = 0;
        utl_trunc_str_ex(pos, store, (uint32_t)(name_end - pos), &kept);
        store[kept] = '\0';
        kept = (uint32_t)strlen(store);   /* a zero byte in the name ends it */
        while (kept > 0 && store[kept - 1] == ' ') kept--;
        store[kept] = '\0';
        if (kept > 0) {
            names[count++] = store;
            store += kept + 1;
        }
        pos = next;
    }
    out->names = names;
    out->count = count;
    out->block = block;
    return true;
}

/* Reads and splits the list file of entry df. 0 or a negative code. */
int32_t read_list_file(fldr_env *env, fldr_data_file *df, NameArray *out)
{
    if (!is_local_valid_path(df->path)) return FLDR_ERR_FILE_PATH;
    auto *file = (fldr_file *)df;
    if (fldr_open_file_read(file) != FLDR_OK) return FLDR_ERR_OPEN_FILE;

    int32_t rc = FLDR_OK;
    char *text = nullptr;
    uint64_t size = file->file_size;
    if (size >= UINT32_MAX) {
        rc = FLDR_ERR_READ_FILE;
    } else if (!(text = (char *)fldr_alloc(env, nullptr, size + 1, FLDR_TAG_FILE, __LINE__))) {
        rc = FLDR_ERR_OUT_OF_MEMORY;
    } else if (size > 0 && !os_file_read_by_offset_normal(file->handle, 0, text, (uint32_t)size)) {
        rc = FLDR_ERR_READ_FILE;
    } else {
        text[size] = '\0';
        if (!parse_list_text(env, text, (uint32_t)size, out)) rc = FLDR_ERR_OUT_OF_MEMORY;
    }
    if (text) fldr_free(env, nullptr, text);
    fldr_file_close(file);
    return rc;
}

void report(fldr_env *env, fldr_inst *inst, int32_t code, uint32_t language, uint32_t out_code,
            bool print)
{
    if (!inst) return;
    fldr_add_diag_rec(env, &inst->diag, code, nullptr, 0, 0, language, out_code);
    if (print) fldr_print_err(inst, code, nullptr, 0);
}

/* ------------------------------------------------- directory walks */

bool equals_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

/* False when the heap is exhausted: a lost level would widen the walk. */
bool append_level(fldr_env *env, mem_heap_t *heap, fldr_pattern_list *levels, std::string_view text)
{
    auto *level = (fldr_pattern_level *)mem_heap_alloc_low(env, heap, sizeof(fldr_pattern_level), 0,
                                                           FLDR_TAG_FILE, __LINE__);
    auto *copy = (char *)mem_heap_alloc_low(env, heap, text.size() + 1, 0, FLDR_TAG_FILE, __LINE__);
    if (!level || !copy) return false;
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    level->pattern = copy;
    level->prev = levels->last;
    level->next = nullptr;
    if (levels->last)
        levels->last->next = level;
    else
        levels->first = level;
    levels->last = level;
    levels->count++;
    return true;
}

/*
** Cuts the wildcard levels off path. The components from the first one
** whose closing "\" is at or after the later of the first "?" and the first
** "*" (and always the last component) become levels; the first component
** always stays in the directory. Returns false when the heap is exhausted.
*/
bool split_levels(fldr_env *env, mem_heap_t *heap, const std::string &path, std::string *dir,
                  fldr_pattern_list *levels)
{
    *levels = fldr_pattern_list{};
    size_t first_q = path.find('?');
    size_t first_star = path.find('*');
    if (first_q == std::string::npos && first_star == std::string::npos) {
        *dir = path;
        return true;
    }
    size_t wild = first_q == std::string::npos      ? first_star
                  : first_star == std::string::npos ? first_q
                                                    : std::max(first_q, first_star);

    size_t dir_end = path.find('\\');   /* closes the first component */
    if (dir_end == std::string::npos) {
        /* One component only: it is both the directory and the last level. */
        *dir = path;
        return append_level(env, heap, levels, path);
    }
    size_t comp_start = dir_end + 1;
    bool in_levels = false;
    while (comp_start <= path.size()) {
        size_t close = path.find('\\', comp_start);
        bool last = close == std::string::npos;
        if (!in_levels && !last && close < wild) {
            dir_end = close;
        } else {
            in_levels = true;
            size_t comp_end = last ? path.size() : close;
            if (!append_level(env, heap, levels,
                              std::string_view(path).substr(comp_start, comp_end - comp_start)))
                return false;
        }
        if (last) break;
        comp_start = close + 1;
    }
    *dir = dir_end == 0 ? std::string("\\") : path.substr(0, dir_end);
    return true;
}

struct Walk {
    fldr_env             *env;
    mem_heap_t           *heap;
    fldr_ctl             *ctl;
    const fldr_data_file *tmpl;
};

void walk_directory(const Walk &walk, const std::string &dir, const fldr_pattern_level *level)
{
    if (dir.size() > kPathMax) return;
    /* The root is "\": its entries are "\name", not "\\name". */
    std::string prefix = dir == "\\" ? dir : dir + "\\";
    os_find_entry entry;
    os_find_t *search = os_find_first((prefix + "*").c_str(), &entry);
    if (!search) return;

    std::string full;
    do {
        std::string_view name(entry.name);
        if (name == "." || name == ".." || equals_nocase(name, "_desktop.ini")) continue;
        if (level && !os_path_match_spec(entry.name, level->pattern)) continue;
        full.assign(prefix).append(name);
        if (entry.is_dir) {  /* follows links, as os_path_is_dir does */
            if (os_path_is_symlink(full.c_str())) continue;
            walk_directory(walk, full, level ? level->next : nullptr);
        } else if (!level && is_local_valid_path(full.c_str())) {
            add_data_file(walk.env, walk.heap, walk.ctl, walk.tmpl, full.c_str());
        }
    } while (os_find_next(search, &entry));
    os_find_close(search);
}

/* The path as walked: drives, "." paths and absolute paths as they are, others under ".\". */
bool normalise_dir_path(const char *path, std::string *out)
{
    std::string_view p(path);
    if ((p.size() >= 2 && p[1] == ':') || p[0] == '.' || p[0] == '\\')
        out->assign(p);
    else
        out->assign(".\\").append(p);
    if (out->find("\\\\") != std::string::npos) return false;
    if (out->size() > 1 && out->back() == '\\') out->pop_back();
    return true;
}

} // namespace

extern "C" {

int32_t fldr_deal_file_list(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl)
{
    for (fldr_data_file *entry = move_entries_aside(ctl); entry; entry = entry->next)
        expand_name(env, heap, ctl, entry, entry->path, NameSource::plain);
    return FLDR_OK;
}

int32_t fldr_resolve_path_file(fldr_env *env, fldr_inst *inst, uint32_t language, uint32_t out_code,
                               mem_heap_t *heap, fldr_ctl *ctl)
{
    for (fldr_data_file *entry = move_entries_aside(ctl); entry; entry = entry->next) {
        if (!convert_entry_hex(entry)) {
            report(env, inst, FLDR_ERR_ROW_TERM, language, out_code, false);
            continue;
        }
        NameArray list;
        int32_t rc = read_list_file(env, entry, &list);
        if (rc != FLDR_OK) {
            report(env, inst, rc, language, out_code, true);
            continue;
        }
        std::string name;
        for (uint32_t i = 0; i < list.count; i++) {
            /* Names in a list file may use "/" like any stored path. */
            name.assign(list.names[i]);
            for (char &c : name)
                if (c == '/') c = '\\';
            rc = expand_name(env, heap, ctl, entry, name.c_str(), NameSource::list_file);
            if (rc < 0) report(env, inst, rc, language, out_code, true);
        }
        fldr_free(env, nullptr, list.block);
    }
    return FLDR_OK;
}

int32_t fldr_collect_datafiles_by_path(fldr_env *env, mem_heap_t *heap, fldr_ctl *ctl)
{
    ctl->spec_count = ctl->data_file_count;
    ctl->spec_first = ctl->data_file_first;
    ctl->spec_last = ctl->data_file_last;
    ctl->data_file_count = 0;
    ctl->data_file_first = ctl->data_file_last = nullptr;

    for (fldr_data_file *entry = ctl->spec_first; entry; entry = entry->next) {
        if (!entry->path[0]) return FLDR_ERR_FILE_PATH;
        std::string path;
        if (!normalise_dir_path(entry->path, &path)) return FLDR_ERR_FILE_PATH;
        fldr_pattern_list levels;
        std::string dir;
        if (!split_levels(env, heap, path, &dir, &levels)) return FLDR_ERR_OUT_OF_MEMORY;
        if (!os_path_is_dir(dir.c_str())) return FLDR_ERR_FILE_PATH;
        walk_directory(Walk{env, heap, ctl, entry}, dir, levels.first);
    }
    return FLDR_OK;
}

void fldr_cat_data_file(fldr_ctl *ctl, char *out)
{
    size_t out_len = strlen(out);
    char line[kCatLineBuf];
    for (fldr_data_file *df = ctl->data_file_first; df; df = df->next) {
        int n = snprintf(line, sizeof line, "%s\n", df->path);
        if (n < 0) continue;
        size_t add = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
        memcpy(out + out_len, line, add + 1);
        out_len += add;
    }
}

} // extern "C"
