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

/* Appends an int in decimal to spec (for '*' widths and precisions). */
bool append_int(char *spec, size_t cap, size_t &len, long value)
{
    const int n = std::snprintf(spec + len, cap - len, "%ld", value);
    if (n < 0 || static_cast<size_t>(n) >= cap - len)
        return false;
    len += static_cast<size_t>(n);
    return true;
}

bool append_char(char *spec, size_t cap, size_t &len, char c)
{
    if (len + 1 >= cap)
        return false;
    spec[len++] = c;
    spec[len] = '\0';
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
        /*
        ** Rebuild the conversion in spec: flags, width and precision as
        ** written ('*' replaced by its argument's value), then the size
        ** that printf knows, then the conversion character.
        */
        char spec[64] = "%";
        size_t len = 1;
        bool ok = true;
        while (ok && *p && std::strchr("-+ #0'", *p))
            ok = append_char(spec, sizeof spec, len, *p++);
        if (*p == '*') {
            ok = ok && append_int(spec, sizeof spec, len, va_arg(args, int));
            ++p;
        } else {
            while (ok && *p >= '0' && *p <= '9')
                ok = append_char(spec, sizeof spec, len, *p++);
        }
        if (*p == '.') {
            ok = ok && append_char(spec, sizeof spec, len, *p++);
            if (*p == '*') {
                /* A negative precision is taken as if omitted, as printf does. */
                const int prec = va_arg(args, int);
                if (prec < 0)
                    spec[--len] = '\0'; /* drop the '.' */
                else
                    ok = ok && append_int(spec, sizeof spec, len, prec);
                ++p;
            } else {
                while (ok && *p >= '0' && *p <= '9')
                    ok = append_char(spec, sizeof spec, len, *p++);
            }
        }
        Size sz = Size::none;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            sz = Size::ll;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            sz = Size::none;
            p += 3;
        } else if (p[0] == 'h' && p[1] == 'h') {
            sz = Size::hh;
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            sz = Size::ll;
            p += 2;
        } else if (*p && std::strchr("hlqjztL", *p)) {
            const char c = *p++;
            sz = c == 'h' ? Size::h : c == 'l' ? Size::l : c == 'q' ? Size::ll : c == 'j' ? Size::j
               : c == 'z' ? Size::z : c == 't' ? Size::t : Size::L;
        }
        const char conv = *p;
        if (!ok || !is_conversion(conv)) {
            /* Not a conversion: the text is printed as written. */
            out.put(start, static_cast<size_t>(p - start));
            continue;
        }
        ++p;
        const char *size_str = size_text(sz);
        ok = len + std::strlen(size_str) + 2 <= sizeof spec;
        if (!ok) {
            out.put(start, static_cast<size_t>(p - start));
            continue;
        }
        std::strcat(spec, size_str);
        len += std::strlen(size_str);
        append_char(spec, sizeof spec, len, conv);

        switch (kind_of(conv, sz)) {
        case ArgKind::none: out.print(spec, 0); break; /* "%m" reads no argument */
        case ArgKind::int_: out.print(spec, va_arg(args, int)); break;
        case ArgKind::long_: out.print(spec, va_arg(args, long)); break;
        case ArgKind::llong: out.print(spec, va_arg(args, long long)); break;
        case ArgKind::intmax: out.print(spec, va_arg(args, intmax_t)); break;
        case ArgKind::size: out.print(spec, va_arg(args, size_t)); break;
        case ArgKind::ptrdiff: out.print(spec, va_arg(args, ptrdiff_t)); break;
        case ArgKind::uint_: out.print(spec, va_arg(args, unsigned)); break;
        case ArgKind::ulong: out.print(spec, va_arg(args, unsigned long)); break;
        case ArgKind::ullong: out.print(spec, va_arg(args, unsigned long long)); break;
        case ArgKind::uintmax: out.print(spec, va_arg(args, uintmax_t)); break;
        case ArgKind::double_: out.print(spec, va_arg(args, double)); break;
        case ArgKind::ldouble: out.print(spec, va_arg(args, long double)); break;
        case ArgKind::wint: out.print(spec, va_arg(args, wint_t)); break;
        case ArgKind::cstr: {
            const char *s = va_arg(args, const char *);
            out.print(spec, s ? s : "(null)");
            break;
        }
        case ArgKind::wstr: {
            const wchar_t *s = va_arg(args, const wchar_t *);
            out.print(spec, s ? s : L"(null)");
            break;
        }
        case ArgKind::pointer: out.print(spec, va_arg(args, void *)); break;
        case ArgKind::count: (void)va_arg(args, void *); break;
        }
        if (out.failed)
            return -1;
    }
    if (out.total > static_cast<size_t>(INT32_MAX))
        return -1;
    return static_cast<int32_t>(out.total);
}
