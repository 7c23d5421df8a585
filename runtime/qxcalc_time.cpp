/*
** qxcalc: 13-byte date-time values and their text. Layout in qxcalc.h.
*/
#include "qxcalc.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr bool is_leap(int year)
{
    /* Proleptic Gregorian; year -1 is 1 BC, a leap year like 1 BC = astronomical 0. */
    const int y = year < 0 ? year + 1 : year;
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr int days_in_month(int year, int month)
{
    constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

bool date_ok(const qxtime_fields &f)
{
    if (f.year < -4712 || f.year > 9999 || f.year == 0) return false;
    if (f.month < 1 || f.month > 12) return false;
    return f.day >= 1 && f.day <= days_in_month(f.year, f.month);
}

bool time_ok(const qxtime_fields &f)
{
    return f.hour <= 23 && f.minute <= 59 && f.second <= 59 && f.nanos <= 999999999u;
}

bool zone_ok(const qxtime_fields &f)
{
    return f.tz_minutes >= -779 && f.tz_minutes <= 840;
}

/* Appends the fraction of a second; returns the characters written. */
int put_fraction(char *out, uint32_t nanos, int32_t frac)
{
    char digits[10];
    std::snprintf(digits, sizeof digits, "%09u", nanos);
    int n = frac;
    if (frac < 0) {
        n = 9;
        while (n > 0 && digits[n - 1] == '0') --n;
    }
    if (n == 0) return 0;
    out[0] = '.';
    std::memcpy(out + 1, digits, static_cast<size_t>(n));
    return n + 1;
}

} // namespace

extern "C" void qxtime_encode(const qxtime_fields *f, uint8_t *v)
{
    const auto year = static_cast<uint16_t>(f->year);
    const auto tz = static_cast<uint16_t>(f->tz_minutes);
    v[0] = static_cast<uint8_t>(year & 0xFF);
    v[1] = static_cast<uint8_t>(year >> 8);
    v[2] = f->month;
    v[3] = f->day;
    v[4] = f->hour;
    v[5] = f->minute;
    v[6] = f->second;
    for (int i = 0; i < 4; i++) v[7 + i] = static_cast<uint8_t>(f->nanos >> (8 * i));
    v[11] = static_cast<uint8_t>(tz & 0xFF);
    v[12] = static_cast<uint8_t>(tz >> 8);
}

extern "C" void qxtime_decode(const uint8_t *v, qxtime_fields *f)
{
    f->year = static_cast<int16_t>(static_cast<uint16_t>(v[0] | v[1] << 8));
    f->month = v[2];
    f->day = v[3];
    f->hour = v[4];
    f->minute = v[5];
    f->second = v[6];
    f->nanos = 0;
    for (int i = 0; i < 4; i++) f->nanos |= uint32_t{v[7 + i]} << (8 * i);
    f->tz_minutes = static_cast<int16_t>(static_cast<uint16_t>(v[11] | v[12] << 8));
}

/*
** The longest text is a zoned timestamp with nine fraction digits, 36
** characters; the 512-byte area is never approached.
*/
extern "C" int32_t qxtime_to_char(const uint8_t *value, int32_t type, int32_t frac, char *buf)
{
    if (value == nullptr || buf == nullptr || frac < -1 || frac > 9) return QXCALC_ERR_ARGUMENT;
    bool has_date = false, has_time = false, has_zone = false;
    switch (type) {
    case 14: has_date = true; break;
    case 15: has_time = true; break;
    case 16: case 26: has_date = has_time = true; break;
    case 22: has_time = has_zone = true; break;
    case 23: case 27: has_date = has_time = has_zone = true; break;
    default: return QXCALC_ERR_ARGUMENT;
    }
    qxtime_fields f;
    qxtime_decode(value, &f);
    if ((has_date && !date_ok(f)) || (has_time && !time_ok(f)) || (has_zone && !zone_ok(f)))
        return QXCALC_ERR_DATETIME;

    char *out = buf;
    if (has_date) {
        const int year = f.year;
        out += std::snprintf(out, 16, "%s%04d-%02u-%02u", year < 0 ? "-" : "", year < 0 ? -year : year,
                             unsigned{f.month}, unsigned{f.day});
    }
    if (has_time) {
        if (has_date) *out++ = ' ';
        out += std::snprintf(out, 16, "%02u:%02u:%02u", unsigned{f.hour}, unsigned{f.minute}, unsigned{f.second});
        out += put_fraction(out, f.nanos, frac);
    }
    if (has_zone) {
        const int tz = f.tz_minutes;
        const int mag = tz < 0 ? -tz : tz;
        out += std::snprintf(out, 16, " %c%02d:%02d", tz < 0 ? '-' : '+', mag / 60, mag % 60);
    }
    *out = '\0';
    return static_cast<int32_t>(out - buf);
}
