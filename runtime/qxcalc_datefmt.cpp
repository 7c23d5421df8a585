/*
** Date formats: splitting a format text into its elements (qxcalc.h,
** division 2). The element list is what the loader walks to size a
** fixed-position date field, so each element carries its code and the count
** of characters it takes beyond the code's fixed width.
*/
#include <cstring>
#include <string_view>

#include "qxcalc.h"

namespace {

struct FmtWord {
    std::string_view word;   /* upper case */
    uint16_t         code;
};

/* Longest words first where one is the prefix of another. */
constexpr FmtWord k_words[] = {
    {"YYYY", QX_DFMT_YYYY}, {"YY", QX_DFMT_YY},     {"RRRR", QX_DFMT_RRRR}, {"RR", QX_DFMT_RR},
    {"MONTH", QX_DFMT_MONTH}, {"MON", QX_DFMT_MON}, {"MM", QX_DFMT_MM},     {"MI", QX_DFMT_MI},
    {"DD", QX_DFMT_DD},   {"DAY", QX_DFMT_DAY},
    {"HH24", QX_DFMT_HH24},   {"HH12", QX_DFMT_HH12}, {"HH", QX_DFMT_HH12},
    {"SSSSS", QX_DFMT_SSSSS}, {"SS", QX_DFMT_SS},   {"AM", QX_DFMT_AMPM},   {"PM", QX_DFMT_AMPM},
};

bool is_literal(char c)
{
    return c == '-' || c == '/' || c == ',' || c == '.' || c == ';' || c == ':' || c == ' ';
}

bool starts_with_word(const char *text, std::string_view word)
{
    for (size_t i = 0; i < word.size(); i++) {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i])
            return false;
    }
    return true;
}

/* Adds n to a count; false past 16 bits. */
bool add_count(uint32_t &count, uint32_t n)
{
    count += n;
    return count <= 0xFFFFu;
}

}  // namespace

extern "C" int32_t parse_date_fmt(fldr_env *env, const char *fmt, mem_heap_t *heap, qx_dfmt_elem **result)
{
    *result = nullptr;
    if (fmt == nullptr)
        return 0;
    qx_dfmt_elem *first = nullptr;
    qx_dfmt_elem *last = nullptr;
    uint32_t pending = 0;   /* literal characters before the first element */
    uint32_t count = 0;     /* count of `last` while it is being built */

    auto add_literal = [&](uint32_t n) { return add_count(last != nullptr ? count : pending, n); };

    const char *p = fmt;
    while (*p != '\0') {
        if (is_literal(*p)) {
            if (!add_literal(1))
                return QXCALC_ERR_DATE_FMT;
            p++;
            continue;
        }
        if (*p == '"') {
            const char *close = strchr(p + 1, '"');
            if (close == nullptr || !add_literal(static_cast<uint32_t>(close - p - 1)))
                return QXCALC_ERR_DATE_FMT;
            p = close + 1;
            continue;
        }
        uint16_t code = 0;
        uint32_t extra = 0;
        size_t taken = 0;
        if (starts_with_word(p, "FF")) {
            code = QX_DFMT_FF;
            taken = 2;
            extra = 5;   /* FF alone: six digits */
            if (p[2] >= '1' && p[2] <= '9') {
                extra = static_cast<uint32_t>(p[2] - '1');
                taken = 3;
            }
        } else {
            for (const FmtWord &w : k_words)
                if (starts_with_word(p, w.word)) {
                    code = w.code;
                    taken = w.word.size();
                    break;
                }
        }
        if (code == 0)
            return QXCALC_ERR_DATE_FMT;

        if (last != nullptr)
            last->count = static_cast<uint16_t>(count);
        auto *elem = static_cast<qx_dfmt_elem *>(
            mem_heap_alloc_low(env, heap, sizeof(qx_dfmt_elem), 0, "runtime/qxcalc", __LINE__));
        if (elem == nullptr)
            return QXCALC_ERR_DATE_FMT;
        memset(elem, 0, sizeof *elem);
        elem->code = code;
        count = extra;
        if (first == nullptr) {
            first = elem;
            count += pending;
            if (count > 0xFFFFu)
                return QXCALC_ERR_DATE_FMT;
        } else {
            last->next = elem;
        }
        last = elem;
        p += taken;
    }
    if (last == nullptr)
        return pending == 0 ? 0 : QXCALC_ERR_DATE_FMT;
    last->count = static_cast<uint16_t>(count);
    *result = first;
    return 0;
}
