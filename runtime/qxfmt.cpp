/*
** qx_vsnprintf: the formatter behind the console messages.
**
** The message texts carry "%I64d" and "%I64u" for 64-bit counts, which the C
** library's printf does not know. The format is walked here: literal text
** is copied, and each conversion is rewritten into a printf conversion of
** its own (the "I64" size becomes "ll") and handed to snprintf with an
** argument of the type the conversion names. "%n" writes nothing.
**
** Output rules: (1) at most size - 1 bytes are stored and, when size > 0,
** the output is always terminated; (2) the result is the length the whole
** output would have, as vsnprintf gives it, or -1 when a conversion fails.
*/
#include "qxmout.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

/* The argument type a conversion reads. */
enum class ArgKind {
    none,        /* "%%", "%m" */
    int_,        /* d i with no size, hh, h; c */
    long_,       /* l */
    llong,       /* ll, q, I64 */
    intmax,      /* j */
    size,        /* z */
    ptrdiff,     /* t */
    uint_,       /* o u x X with no size, hh, h */
    ulong,
    ullong,
    uintmax,
    double_,     /* a A e E f F g G */
    ldouble,     /* the same with L */
    wint,        /* lc */
    cstr,        /* s */
    wstr,        /* ls */
    pointer,     /* p */
    count,       /* n: consumed, nothing written */
};

enum class Size { none, hh, h, l, ll, j, z, t, L, i32 };

/* Output position over the caller's buffer; counts what does not fit. */
struct Sink {
    char *buf;
    size_t size;
    size_t total = 0; /* length of the whole output so far */
    bool failed = false;

    char *at() const { return total < size ? buf + total : nullptr; }
    size_t room() const { return total < size ? size - total : 0; }

    void put(const char *text, size_t len)
    {
        if (total < size) {
            const size_t keep = size - 1 - total < len ? size - 1 - total : len;
            std::memcpy(buf + total, text, keep);
            buf[total + keep] = '\0';
        }
        total += len;
    }

    /* snprintf into the rest of the buffer: it terminates what it cuts. */
    template <typename... Args>
    void print(const char *spec, Args... args)
    {
        const int n = std::snprintf(at(), room(), spec, args...);
        if (n < 0)
            failed = true;
        else
            total += static_cast<size_t>(n);
    }
};

ArgKind kind_of(char conv, Size size)
{
    switch (conv) {
    case 'd':
    case 'i':
        switch (size) {
        case Size::l: return ArgKind::long_;
        case Size::ll: return ArgKind::llong;
        case Size::j: return ArgKind::intmax;
        case Size::z: return ArgKind::size;
        case Size::t: return ArgKind::ptrdiff;
        default: return ArgKind::int_;
        }
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        switch (size) {
        case Size::l: return ArgKind::ulong;
        case Size::ll: return ArgKind::ullong;
        case Size::j: return ArgKind::uintmax;
        case Size::z: return ArgKind::size;
        case Size::t: return ArgKind::ptrdiff;
        default: return ArgKind::uint_;
        }
    case 'a': case 'A': case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
        return size == Size::L ? ArgKind::ldouble : ArgKind::double_;
    case 'c': return size == Size::l ? ArgKind::wint : ArgKind::int_;
    case 's': return size == Size::l ? ArgKind::wstr : ArgKind::cstr;
    case 'p': return ArgKind::pointer;
    case 'n': return ArgKind::count;
    case 'm': return ArgKind::none;
    default: return ArgKind::none;
    }
}

bool is_conversion(char c)
{
    return c != '\0' && std::strchr("diouxXaAeEfFgGcspnm", c) != nullptr;
}

/* The printf size text for a size, as glibc reads it. */
const char *size_text(Size size)
{
    switch (size) {
    case Size::hh: return "hh";
    case Size::h: return "h";
    case Size::l: return "l";
    case Size::ll: return "ll";
    case Size::j: return "j";
    case Size::z: return "z";
    case Size::t: return "t";
    case Size::L: return "L";
    default: return "";
    }
}

/* One conversion as written: "%" flags width . precision size conversion. */
struct Directive {
    char flags[8] = "";    /* at most 7 flag characters; more makes it invalid */
    int width = -1;        /* -1: none */
    int precision = -1;    /* -1: none */
    Size size = Size::none;
    char conv = '\0';
    bool valid = false;
};

/* Reads a run of decimal digits; false when it does not fit in an int. */
bool read_number(const char *&p, int &value)
{
    long long n = 0;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p++ - '0');
        if (n > INT_MAX)
            return false;
    }
    value = static_cast<int>(n);
    return true;
}

/*
** Parses the directive after a '%' at p and leaves p after it. '*' widths
** and precisions are read from args here, so the arguments stay in step
** even when the directive turns out to be invalid.
*/
Directive parse_directive(const char *&p, va_list *args)
{
    Directive d;
    bool ok = true;
    size_t nflags = 0;
    for (; *p && std::strchr("-+ #0'", *p); ++p) {
        if (nflags + 1 < sizeof d.flags)
            d.flags[nflags++] = *p;
        else
            ok = false;
    }
    d.flags[nflags] = '\0';
    if (*p == '*') {
        ++p;
        int width = va_arg(*args, int);
        if (width < 0) {
            /* A negative width is a '-' flag and its absolute value. */
            if (width == INT_MIN || nflags + 1 >= sizeof d.flags)
                ok = false;
            else
                d.flags[nflags++] = '-', d.flags[nflags] = '\0', width = -width;
        }
        d.width = width;
    } else if (*p >= '0' && *p <= '9') {
        ok = read_number(p, d.width) && ok;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const int precision = va_arg(*args, int);
            d.precision = precision < 0 ? -1 : precision; /* negative: as if omitted */
        } else {
            d.precision = 0;
            ok = read_number(p, d.precision) && ok;
        }
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        d.size = Size::ll;
        p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
        p += 3;
    } else if (p[0] == 'h' && p[1] == 'h') {
        d.size = Size::hh;
        p += 2;
    } else if (p[0] == 'l' && p[1] == 'l') {
        d.size = Size::ll;
        p += 2;
    } else if (*p && std::strchr("hlqjztL", *p)) {
        const char c = *p++;
        d.size = c == 'h' ? Size::h : c == 'l' ? Size::l : c == 'q' ? Size::ll : c == 'j' ? Size::j
               : c == 'z' ? Size::z : c == 't' ? Size::t : Size::L;
    }
    if (is_conversion(*p)) {
        d.conv = *p++;
        d.valid = ok;
    }
    return d;
}

/* The directive as glibc's printf reads it. */
void build_spec(const Directive &d, char *spec, size_t cap)
{
    char width[16] = "", precision[16] = "";
    if (d.width >= 0)
        std::snprintf(width, sizeof width, "%d", d.width);
    if (d.precision >= 0)
        std::snprintf(precision, sizeof precision, ".%d", d.precision);
    std::snprintf(spec, cap, "%%%s%s%s%s%c", d.flags, width, precision, size_text(d.size), d.conv);
}

} // namespace

namespace {

/* Formats fmt into out; false when a conversion fails. */
bool format_into(Sink &out, const char *fmt, va_list *args)
{
    const char *p = fmt;
    while (*p) {
        const char *pct = std::strchr(p, '%');
        if (pct == nullptr) {
            out.put(p, std::strlen(p));
            break;
        }
        out.put(p, static_cast<size_t>(pct - p));
        const char *start = pct;
        p = pct + 1;
        if (*p == '%') {
            out.put("%", 1);
            ++p;
            continue;
        }
        const Directive d = parse_directive(p, args);
        if (!d.valid) {
            /* Not a conversion: the text is printed as written. */
            out.put(start, static_cast<size_t>(p - start));
            continue;
        }
        char spec[64];
        build_spec(d, spec, sizeof spec);

        switch (kind_of(d.conv, d.size)) {
        case ArgKind::none: out.print(spec, 0); break; /* "%m" reads no argument */
        case ArgKind::int_: out.print(spec, va_arg(*args, int)); break;
        case ArgKind::long_: out.print(spec, va_arg(*args, long)); break;
        case ArgKind::llong: out.print(spec, va_arg(*args, long long)); break;
        case ArgKind::intmax: out.print(spec, va_arg(*args, intmax_t)); break;
        case ArgKind::size: out.print(spec, va_arg(*args, size_t)); break;
        case ArgKind::ptrdiff: out.print(spec, va_arg(*args, ptrdiff_t)); break;
        case ArgKind::uint_: out.print(spec, va_arg(*args, unsigned)); break;
        case ArgKind::ulong: out.print(spec, va_arg(*args, unsigned long)); break;
        case ArgKind::ullong: out.print(spec, va_arg(*args, unsigned long long)); break;
        case ArgKind::uintmax: out.print(spec, va_arg(*args, uintmax_t)); break;
        case ArgKind::double_: out.print(spec, va_arg(*args, double)); break;
        case ArgKind::ldouble: out.print(spec, va_arg(*args, long double)); break;
        case ArgKind::wint: out.print(spec, va_arg(*args, wint_t)); break;
        case ArgKind::cstr: {
            const char *s = va_arg(*args, const char *);
            out.print(spec, s ? s : "(null)");
            break;
        }
        case ArgKind::wstr: {
            const wchar_t *s = va_arg(*args, const wchar_t *);
            out.print(spec, s ? s : L"(null)");
            break;
        }
        case ArgKind::pointer: out.print(spec, va_arg(*args, void *)); break;
        case ArgKind::count: (void)va_arg(*args, void *); break;
        }
        if (out.failed)
            return false;
    }
    return true;
}

} // namespace

extern "C" int32_t qx_vsnprintf(char *buf, uint32_t size, const char *fmt, va_list args)
{
    if (buf == nullptr)
        size = 0;
    if (size > 0)
        buf[0] = '\0';
    if (fmt == nullptr)
        return 0;
    Sink out{buf, size};
    /* A copy that can be passed on by address; the caller's list is spent either way. */
    va_list ap;
    va_copy(ap, args);
    const bool ok = format_into(out, fmt, &ap);
    va_end(ap);
    if (!ok || out.total > static_cast<size_t>(INT32_MAX))
        return -1;
    return static_cast<int32_t>(out.total);
}
