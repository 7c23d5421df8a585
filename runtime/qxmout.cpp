/*
** qxmout: console message tables, the process language, the error system.
**
** Divisions of this file:
**   1. Language and local set     mout_get_local_code, mout_force_local_code
**   2. Message tables             mout_init, mout_deinit, mout_lookup
**   3. Error system               qxerr_sys_init, qxerr_sys_deinit
**
** A table's rows belong to the caller; their `work` texts belong to this
** module: mout_init fills them (each text converted from UTF-8 to the local
** set once) and mout_deinit frees them. Between the two, mout_lookup only
** reads the table, so any number of threads may look up at once.
*/
#include "qxmout.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "qxcvt_lead.h"

/* ================================================= 1. Language and local set */

namespace {

/* Values forced by mout_force_local_code; -1 when not forced. */
std::atomic<int32_t> g_forced_code{-1};
std::atomic<int32_t> g_forced_lang{-1};

/* The locale name that decides messages: LC_ALL, then LC_MESSAGES, then LANG. */
std::string_view locale_name()
{
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(var);
        if (value != nullptr && *value != '\0')
            return value;
    }
    return {};
}

uint32_t language_of(std::string_view locale)
{
    /* language_TERRITORY comes first: "zh_CN.GB18030", "zh_TW.UTF-8@stroke". */
    const std::string_view territory = locale.substr(0, locale.find_first_of(".@"));
    if (territory == "zh_CN")
        return MOUT_LANG_ZH_CN;
    if (territory == "zh_TW" || territory == "zh_HK")
        return MOUT_LANG_ZH_TW;
    return MOUT_LANG_EN;
}

uint32_t codeset_of(std::string_view locale)
{
    const size_t dot = locale.find('.');
    if (dot == std::string_view::npos)
        return QXCVT_UTF8;
    std::string_view codeset = locale.substr(dot + 1);
    codeset = codeset.substr(0, codeset.find('@'));
    /* Compare without case, '-' or '_': "UTF-8", "utf8", "gb18030", "Big5". */
    std::string key;
    for (char c : codeset) {
        if (c == '-' || c == '_')
            continue;
        key += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (key == "utf8")
        return QXCVT_UTF8;
    if (key == "gb18030")
        return QXCVT_GB18030;
    if (key == "gbk")
        return QXCVT_GBK;
    if (key == "big5")
        return QXCVT_BIG5;
    return QXCVT_UTF8;
}

} // namespace

extern "C" void mout_get_local_code(uint32_t *local_code, uint32_t *lang_id)
{
    const std::string_view locale = locale_name();
    const int32_t forced_code = g_forced_code.load(std::memory_order_relaxed);
    const int32_t forced_lang = g_forced_lang.load(std::memory_order_relaxed);
    if (local_code != nullptr)
        *local_code = forced_code >= 0 ? static_cast<uint32_t>(forced_code) : codeset_of(locale);
    if (lang_id != nullptr)
        *lang_id = forced_lang >= 0 ? static_cast<uint32_t>(forced_lang) : language_of(locale);
}

extern "C" void mout_force_local_code(int32_t local_code, int32_t lang_id)
{
    g_forced_code.store(local_code < 0 ? -1 : local_code, std::memory_order_relaxed);
    g_forced_lang.store(lang_id < 0 ? -1 : lang_id, std::memory_order_relaxed);
}

/* ================================================= 2. Message tables */

struct mout_handle_s {
    uint32_t local_code;                            /* set the work texts are in */
    uint32_t lang_id;                               /* language given to mout_init */
    mout_row_t *rows;                               /* the caller's table */
    std::vector<std::pair<int32_t, uint32_t>> index; /* (code, row) sorted by code */
};

namespace {

/* Index into mout_row_t::work for a language; anything unknown is English. */
uint32_t work_slot(uint32_t lang_id)
{
    return lang_id == MOUT_LANG_ZH_CN || lang_id == MOUT_LANG_ZH_TW ? lang_id : MOUT_LANG_EN;
}

const char *source_text(const mout_row_t &row, uint32_t slot)
{
    const char *text = slot == MOUT_LANG_ZH_CN   ? row.text_zh_cn
                       : slot == MOUT_LANG_ZH_TW ? row.text_zh_tw
                                                 : row.text_en;
    return text != nullptr ? text : "";
}

/*
** The UTF-8 text in the local set, in a block of its own (malloc). A set
** the converter does not know keeps the UTF-8 bytes. Every UTF-8 character
** becomes at most 4 bytes in any supported set, so 4 * len + 1 holds it all.
*/
char *to_local(const char *utf8, uint32_t local_code)
{
    const size_t len = std::strlen(utf8);
    const size_t cap = len * 4 + 1;
    char *out = static_cast<char *>(std::malloc(cap));
    if (out == nullptr)
        return nullptr;
    uint32_t produced = 0;
    if (local_code == QXCVT_UTF8 ||
        qx_UtfToLocal(utf8, static_cast<uint32_t>(len), local_code, out,
                      static_cast<uint32_t>(cap - 1), nullptr, nullptr, &produced) != 0) {
        std::memcpy(out, utf8, len);
        produced = static_cast<uint32_t>(len);
    }
    out[produced] = '\0';
    return out;
}

void free_work(mout_row_t *rows, uint32_t row_count)
{
    if (rows == nullptr)
        return;
    for (uint32_t i = 0; i < row_count; ++i) {
        for (char *&text : rows[i].work) {
            std::free(text);
            text = nullptr;
        }
    }
}

const mout_row_t *find_row(const mout_handle_t *handle, int32_t code)
{
    const auto &index = handle->index;
    const auto it = std::lower_bound(index.begin(), index.end(), code,
                                     [](const std::pair<int32_t, uint32_t> &e, int32_t c) {
                                         return e.first < c;
                                     });
    if (it == index.end() || it->first != code)
        return nullptr;
    return &handle->rows[it->second];
}

/* Largest length <= limit that ends on a character boundary of `code`. */
size_t whole_chars(const char *text, size_t limit, uint32_t code)
{
    size_t pos = 0;
    while (pos < limit) {
        const size_t len = qxcvt_mblen_fast(code, text + pos);
        if (pos + len > limit)
            break;
        pos += len;
    }
    return pos;
}

} // namespace

extern "C" int32_t mout_init(mout_handle_t **handle, mout_row_t *rows, uint32_t row_count,
                             uint32_t local_code, uint32_t lang_id)
{
    if (handle == nullptr)
        return MOUT_ERR_ARG;
    *handle = nullptr;
    if (rows == nullptr && row_count != 0)
        return MOUT_ERR_ARG;
    auto *h = new (std::nothrow) mout_handle_t;
    if (h == nullptr)
        return MOUT_ERR_NOMEM;
    h->local_code = local_code;
    h->lang_id = lang_id;
    h->rows = rows;
    try {
        h->index.reserve(row_count);
    } catch (const std::bad_alloc &) {
        delete h;
        return MOUT_ERR_NOMEM;
    }
    /* A table registered again gets fresh texts in the new local set. */
    free_work(rows, row_count);
    for (uint32_t i = 0; i < row_count; ++i) {
        h->index.emplace_back(rows[i].code, i);
        for (uint32_t slot : {MOUT_LANG_ZH_CN, MOUT_LANG_EN, MOUT_LANG_ZH_TW}) {
            rows[i].work[slot] = to_local(source_text(rows[i], slot), local_code);
            if (rows[i].work[slot] == nullptr) {
                free_work(rows, row_count);
                delete h;
                return MOUT_ERR_NOMEM;
            }
        }
    }
    /* Stable: when a code appears twice, the first row wins. */
    std::stable_sort(h->index.begin(), h->index.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    *handle = h;
    return 0;
}

extern "C" void mout_deinit(mout_handle_t *handle, mout_row_t *rows, uint32_t row_count,
                            uint32_t local_code)
{
    (void)local_code;
    free_work(rows, row_count);
    delete handle;
}

extern "C" int32_t mout_lookup(char *buf, mout_handle_t *handle, int32_t code, int32_t fallback,
                               int16_t argc, uint32_t lang_id, va_list args)
{
    if (buf == nullptr)
        return -1;
    buf[0] = '\0';
    if (handle == nullptr)
        return -1;
    const mout_row_t *row = find_row(handle, code);
    if (row == nullptr)
        row = find_row(handle, fallback);
    if (row == nullptr)
        return -1;
    const uint32_t slot = work_slot(lang_id);
    const char *text = row->work[slot] != nullptr ? row->work[slot] : source_text(*row, slot);

    size_t len;
    if (argc < 0 || static_cast<uint32_t>(argc) < row->argc) {
        /* Fewer arguments than the text takes: show the text unformatted
        ** rather than read arguments that were never passed. */
        len = std::strlen(text);
        const size_t keep = std::min<size_t>(len, MOUT_LINE_MAX - 1);
        std::memcpy(buf, text, keep);
        buf[keep] = '\0';
    } else {
        const int32_t n = qx_vsnprintf(buf, MOUT_LINE_MAX, text, args);
        len = n < 0 ? std::strlen(buf) : static_cast<size_t>(n);
    }
    if (len >= MOUT_LINE_MAX) {
        /* Cut: keep whole characters of the local set. */
        len = whole_chars(buf, MOUT_LINE_MAX - 1, handle->local_code);
        buf[len] = '\0';
    }
    return static_cast<int32_t>(len);
}

/* ================================================= 3. Error system */

namespace {
/* Starts minus stops: the error system runs while it is above zero. */
std::atomic<int32_t> g_err_sys_starts{0};
} // namespace

extern "C" void qxerr_sys_init(uint32_t reserved1, uint32_t reserved2)
{
    (void)reserved1;
    (void)reserved2;
    /* Error texts are converted between sets: have the converters ready. */
    ucvt_init();
    g_err_sys_starts.fetch_add(1, std::memory_order_acq_rel);
}

extern "C" void qxerr_sys_deinit(void)
{
    int32_t starts = g_err_sys_starts.load(std::memory_order_acquire);
    while (starts > 0 &&
           !g_err_sys_starts.compare_exchange_weak(starts, starts - 1, std::memory_order_acq_rel))
        ;
}

extern "C" int32_t qxerr_sys_running(void)
{
    return g_err_sys_starts.load(std::memory_order_acquire) > 0 ? 1 : 0;
}
