/*
** Dates of the data files: see dates.h.
*/
#include "dates.h"

#include <array>
#include <cctype>

#include "ctltext.h"
#include "qxcalc.h"
#include "qxdta.h"

namespace qxfldr {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

/*
** What the element list leaves out of the format text: how many separator
** characters stand before the first element (the list counts them with the
** first element's own), the digits of each FFn (counted with the separators
** after it), and whether quoted literal text may put letters between the
** elements. Separators and quoted text are all this scan recognises; the
** words are the library's to read.
*/
struct FormatText {
    uint16_t             lead = 0;
    std::vector<uint8_t> fraction_digits;
    bool                 quoted_text = false;
};

FormatText read_format_text(std::string_view fmt)
{
    FormatText out;
    bool before_first = true;
    for (size_t i = 0; i < fmt.size();) {
        if (fmt[i] == '"') {
            const size_t close = fmt.find('"', i + 1);
            const size_t end = close == std::string_view::npos ? fmt.size() : close + 1;
            if (before_first)
                out.lead = static_cast<uint16_t>(out.lead + (end - i - 2 + (close == std::string_view::npos)));
            out.quoted_text = true;
            i = end;
            continue;
        }
        if (is_alpha(fmt[i]))
            before_first = false;
        if (upper(fmt[i]) == 'F' && i + 1 < fmt.size() && upper(fmt[i + 1]) == 'F') {
            const bool given = i + 2 < fmt.size() && fmt[i + 2] >= '1' && fmt[i + 2] <= '9';
            out.fraction_digits.push_back(given ? static_cast<uint8_t>(fmt[i + 2] - '0') : 6);
            i += given ? 3 : 2;
            continue;
        }
        if (before_first && !is_alpha(fmt[i]))
            out.lead++;
        i++;
    }
    return out;
}

/* The tool's reading of one library element code; false for a code it does not know. */
bool part_of_code(uint16_t code, DatePart &part)
{
    struct Entry {
        uint16_t       code;
        DatePart::Kind kind;
        uint8_t        digits;
    };
    static constexpr std::array<Entry, 16> kTable = {{
        {QX_DFMT_YYYY, DatePart::Year4, 4},          {QX_DFMT_RRRR, DatePart::Year4, 4},
        {QX_DFMT_YY, DatePart::YearInCentury, 2},    {QX_DFMT_RR, DatePart::YearNearest, 2},
        {QX_DFMT_MM, DatePart::Month, 2},            {QX_DFMT_MON, DatePart::MonthAbbrev, 0},
        {QX_DFMT_MONTH, DatePart::MonthName, 0},     {QX_DFMT_DD, DatePart::Day, 2},
        {QX_DFMT_DAY, DatePart::DayName, 0},         {QX_DFMT_HH24, DatePart::Hour24, 2},
        {QX_DFMT_HH12, DatePart::Hour12, 2},         {QX_DFMT_MI, DatePart::Minute, 2},
        {QX_DFMT_SS, DatePart::Second, 2},           {QX_DFMT_SSSSS, DatePart::DaySeconds, 5},
        {QX_DFMT_FF, DatePart::Fraction, 6},         {QX_DFMT_AMPM, DatePart::Meridian, 0},
    }};
    for (const Entry &e : kTable)
        if (e.code == code) {
            part.kind = e.kind;
            part.digits = e.digits;
            return true;
        }
    return false;
}

constexpr std::array<std::string_view, 12> kMonths = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",
                                                      "MAY",     "JUNE",     "JULY",      "AUGUST",
                                                      "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
constexpr std::array<std::string_view, 7> kDays = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                                   "THURSDAY", "FRIDAY", "SATURDAY"};

/* Index of a name written whole or by its first three letters, or -1. */
template <size_t N>
int find_name(std::string_view word, const std::array<std::string_view, N> &names, bool abbrev_only)
{
    for (size_t k = 0; k < N; k++)
        if (iequal(word, names[k].substr(0, 3)) || (!abbrev_only && iequal(word, names[k])))
            return static_cast<int>(k);
    return -1;
}

bool valid_date(const DateTime &dt)
{
    static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (dt.year < 1 || dt.year > 9999 || dt.month < 1 || dt.month > 12 || dt.day < 1)
        return false;
    int last = kDaysIn[dt.month - 1];
    if (dt.month == 2 && ((dt.year % 4 == 0 && dt.year % 100 != 0) || dt.year % 400 == 0))
        last = 29;
    return dt.day <= last && dt.hour < 24 && dt.minute < 60 && dt.second < 60;
}

/* 0 for Sunday (Sakamoto's method, proleptic Gregorian calendar). */
int weekday(const DateTime &dt)
{
    static constexpr int kShift[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    const int y = dt.year - (dt.month < 3 ? 1 : 0);
    return (y + y / 4 - y / 100 + y / 400 + kShift[dt.month - 1] + dt.day) % 7;
}

/*
** Reads one element at s[i], consuming what it takes; `weekday_seen` gets a
** DAY name to check once the date is whole, `pm`/`h12` the meridian.
*/
struct PartReader {
    std::string_view s;
    size_t           i = 0;
    DateTime        &dt;
    int              weekday_seen = -1;
    bool             pm = false, h12 = false;

    bool digits(int most, int &out)
    {
        int n = 0, v = 0;
        while (i < s.size() && n < most && is_digit(s[i])) {
            v = v * 10 + (s[i++] - '0');
            n++;
        }
        out = v;
        return n > 0;
    }
    std::string_view word()
    {
        const size_t start = i;
        while (i < s.size() && is_alpha(s[i]))
            i++;
        return s.substr(start, i - start);
    }
    bool read(const DatePart &part);
};

bool PartReader::read(const DatePart &part)
{
    int v = 0;
    switch (part.kind) {
    case DatePart::MonthAbbrev:
    case DatePart::MonthName:
        v = find_name(word(), kMonths, part.kind == DatePart::MonthAbbrev);
        dt.month = v + 1;
        return v >= 0;
    case DatePart::DayName:
        weekday_seen = find_name(word(), kDays, false);
        return weekday_seen >= 0;
    case DatePart::Meridian: {
        const std::string_view w = word();
        pm = iequal(w, "PM");
        return pm || iequal(w, "AM");
    }
    case DatePart::Fraction: {
        const size_t start = i;
        if (!digits(part.digits, v))
            return false;
        long nanos = v;
        for (size_t n = i - start; n < 9; n++)
            nanos *= 10;
        dt.nanos = nanos;
        dt.has_time = true;
        return true;
    }
    default:
        break;
    }
    if (!digits(part.digits, v))
        return false;
    switch (part.kind) {
    case DatePart::Year4: dt.year = v; break;
    case DatePart::YearInCentury: dt.year = 2000 + v; break;
    case DatePart::YearNearest: dt.year = v < 50 ? 2000 + v : 1900 + v; break;
    case DatePart::Month: dt.month = v; break;
    case DatePart::Day: dt.day = v; break;
    case DatePart::Hour12: h12 = true; [[fallthrough]];
    case DatePart::Hour24: dt.hour = v; dt.has_time = true; break;
    case DatePart::Minute: dt.minute = v; dt.has_time = true; break;
    case DatePart::Second: dt.second = v; dt.has_time = true; break;
    case DatePart::DaySeconds:
        if (v >= 86400)
            return false;
        dt.hour = v / 3600;
        dt.minute = v / 60 % 60;
        dt.second = v % 60;
        dt.has_time = true;
        break;
    default: break;
    }
    return true;
}

/* Separator characters: any but a digit, and no letter unless the format has quoted text. */
bool skip_separators(std::string_view s, size_t &i, uint16_t n, bool letters)
{
    for (; n > 0; n--, i++)
        if (i >= s.size() || is_digit(s[i]) || (!letters && is_alpha(s[i])))
            return false;
    return true;
}

}  // namespace

bool read_date_format(fldr_env *env, mem_heap_t *heap, const char *fmt, DateFormat &out)
{
    out = DateFormat{};
    qx_dfmt_elem *elem = nullptr;
    if (fmt == nullptr || parse_date_fmt(env, fmt, heap, &elem) < 0 || elem == nullptr)
        return false;
    const FormatText text = read_format_text(fmt);
    out.lead = text.lead;
    size_t fractions = 0;
    for (const qx_dfmt_elem *e = elem; e != nullptr; e = e->next) {
        DatePart part{};
        if (!part_of_code(e->code, part))
            return false;
        uint32_t skip = e->count;
        if (e == elem)
            skip -= std::min<uint32_t>(skip, text.lead);
        if (part.kind == DatePart::Fraction) {
            part.digits = fractions < text.fraction_digits.size() ? text.fraction_digits[fractions] : 6;
            fractions++;
            skip -= std::min<uint32_t>(skip, part.digits - 1u);
        }
        part.skip = static_cast<uint16_t>(skip);
        out.parts.push_back(part);
    }
    out.letters = text.quoted_text;
    return true;
}

bool parse_date(std::string_view s, const DateFormat &fmt, DateTime &dt)
{
    PartReader r{s, 0, dt};
    if (!skip_separators(s, r.i, fmt.lead, fmt.letters))
        return false;
    for (const DatePart &part : fmt.parts)
        if (!r.read(part) || !skip_separators(s, r.i, part.skip, fmt.letters))
            return false;
    if (r.h12) {
        if (dt.hour < 1 || dt.hour > 12)
            return false;
        dt.hour = dt.hour % 12 + (r.pm ? 12 : 0);
    }
    return r.i == s.size() && valid_date(dt) && (r.weekday_seen < 0 || r.weekday_seen == weekday(dt));
}

bool parse_iso(std::string_view s, DateTime &dt)
{
    using P = DatePart;
    static const DateFormat kDate{0, {{P::Year4, 4, 1}, {P::Month, 2, 1}, {P::Day, 2, 0}}, false};
    static const DateFormat kTime{
        0,
        {{P::Year4, 4, 1}, {P::Month, 2, 1}, {P::Day, 2, 1}, {P::Hour24, 2, 1}, {P::Minute, 2, 1}, {P::Second, 2, 0}},
        false};
    static const DateFormat kFraction{0,
                                      {{P::Year4, 4, 1},
                                       {P::Month, 2, 1},
                                       {P::Day, 2, 1},
                                       {P::Hour24, 2, 1},
                                       {P::Minute, 2, 1},
                                       {P::Second, 2, 1},
                                       {P::Fraction, 9, 0}},
                                      false};
    if (s.size() <= 10)
        return parse_date(s, kDate, dt);
    return parse_date(s, s.size() <= 19 ? kTime : kFraction, dt);
}

/* Digits written by hand: this runs for every date of every row, and
** snprintf was the larger part of a load's time. */
static void put_digits(std::string &out, int value, int width)
{
    char buf[8];
    for (int i = width - 1; i >= 0; i--) {
        buf[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buf, static_cast<size_t>(width));
}

void format_datetime(const DateTime &dt, uint16_t type, std::string &out)
{
    out.clear();
    if (type != QXDT_TIME) {
        put_digits(out, dt.year, 4);
        out += '-';
        put_digits(out, dt.month, 2);
        out += '-';
        put_digits(out, dt.day, 2);
        if (type == QXDT_DATE)
            return;
        out += ' ';
    }
    put_digits(out, dt.hour, 2);
    out += ':';
    put_digits(out, dt.minute, 2);
    out += ':';
    put_digits(out, dt.second, 2);
    if (type != QXDT_TIME && dt.nanos != 0) {
        long nanos = dt.nanos;
        int digits = 9;
        while (nanos % 10 == 0) {
            nanos /= 10;
            digits--;
        }
        out += '.';
        put_digits(out, static_cast<int>(nanos), digits);
    }
}

}  // namespace qxfldr
