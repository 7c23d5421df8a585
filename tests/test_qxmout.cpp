// Message formatting ("%I64d"), message tables in three languages, the language decision from the locale, and the
// console message table itself. The console output (aq_printf_inner) prints the load summary and is checked there;
// the Chinese texts of the table are converted against iconv by the conversion suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "fldr_internal.h"
#include "qxcvt.h"
#include "qxmout.h"
#include "qxutl.h"
#include "support/scratch.h"

namespace {

std::string fmt(uint32_t size, const char *format, ...)
{
    std::vector<char> buf(size + 8, '#');
    va_list args;
    va_start(args, format);
    const int32_t n = qx_vsnprintf(size ? buf.data() : nullptr, size, format, args);
    va_end(args);
    for (size_t i = size; i < buf.size(); ++i)
        EXPECT_EQ(buf[i], '#') << "byte " << i << " written past size " << size;
    if (size == 0)
        return "<" + std::to_string(n) + ">";
    EXPECT_EQ(std::strlen(buf.data()), std::min<size_t>(static_cast<size_t>(n), size - 1));
    return buf.data();
}

int32_t lookup(char *buf, mout_handle_t *h, int32_t code, int32_t fallback, int16_t argc,
               uint32_t lang, ...)
{
    va_list args;
    va_start(args, lang);
    const int32_t n = mout_lookup(buf, h, code, fallback, argc, lang, args);
    va_end(args);
    return n;
}

// The conversions of a printf text, each as "<size><conversion>" with the 64-bit sizes ("I64", "ll") written as
// "64": "%I64d" and "%lld" read the same argument.
std::vector<std::string> conversions(const std::string &text)
{
    static const std::regex conversion("%[-+ #0-9.]*(I64|ll|[lhz])?([a-zA-Z%])");
    std::vector<std::string> out;
    for (std::sregex_iterator m(text.begin(), text.end(), conversion), end; m != end; ++m)
        if ((*m)[2] != "%") out.push_back(((*m)[1].length() > 1 ? "64" : (*m)[1].str()) + (*m)[2].str());
    return out;
}

// Sets or clears one environment variable for the life of the object.
struct EnvVar {
    const char *name;
    std::optional<std::string> old;
    EnvVar(const char *n, const char *value) : name(n)
    {
        if (const char *v = std::getenv(n))
            old = v;
        value ? setenv(n, value, 1) : unsetenv(n);
    }
    ~EnvVar() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
};

} // namespace

TEST(QxFmt, SixtyFourBitConversionsPrintfFormsAndCutOutput)
{
    // The printf forms agree with the C library's.
    const char *const forms = "%5.2f|%-4s|%*d|%.*s|%c|%lld|%hd|%zu|%+i|%#o|%%|%e|%.*s|%*d|%03ld";
    char expect[128];
    std::snprintf(expect, sizeof expect, forms, 3.14159, "ab", 6, 42, 2, "xyz", 'q', -7LL, short{-300}, size_t{9}, 5,
                  8u, 1e10, -1, "whole", -4, 7, 7L);
    EXPECT_EQ(fmt(128, forms, 3.14159, "ab", 6, 42, 2, "xyz", 'q', -7LL, short{-300}, size_t{9}, 5, 8u, 1e10, -1,
                  "whole", -4, 7, 7L), expect);
    // Arguments after a 64-bit one are still read from the right place; an unknown conversion is shown as written,
    // and a '*' it holds still takes its argument; "%n" writes nothing; NULL %s is safe.
    EXPECT_EQ(fmt(128, "%I64d|%I64d|%I64u|%20I64d|%-6I64u|%I64x|%s|%ld", INT64_MIN, INT64_MAX, UINT64_MAX,
                  int64_t{-42}, uint64_t{7}, int64_t{255}, "x", 12L),
              "-9223372036854775808|9223372036854775807|18446744073709551615|                 -42|7     |ff|x|12");
    int untouched = 77;
    EXPECT_EQ(fmt(64, "%*y %d %I64|a%nb %y %s %", 5, 9, &untouched, static_cast<const char *>(nullptr)),
              "%*y 9 %I64|ab %y (null) %");
    EXPECT_EQ(untouched, 77);
    // Cut output is terminated and counted; no buffer at all: only the length.
    EXPECT_EQ(fmt(10, "%I64d", INT64_MIN), "-92233720");
    EXPECT_EQ(fmt(10, "abc%sdef", "0123456789"), "abc012345");
    EXPECT_EQ(fmt(1, "%I64d", INT64_MAX), "");
    EXPECT_EQ(fmt(0, "%I64d-%s", INT64_MIN, "tail"), "<25>");
}

TEST(QxMout, LookupInThreeLanguagesWithFallback)
{
    mout_handle_t *h = nullptr;
    ASSERT_EQ(mout_init(&h, g_fldr_console_msgs, FLDR_CONSOLE_MSG_ROWS, QXCVT_UTF8, MOUT_LANG_EN), 0);
    ASSERT_NE(h, nullptr);
    char buf[MOUT_LINE_MAX];
    // "<length returned> <text>" of one lookup.
    auto text = [&](mout_handle_t *table, int32_t code, int32_t fallback, int16_t argc, uint32_t lang, auto... args) {
        const int32_t n = lookup(buf, table, code, fallback, argc, lang, args...);
        return std::to_string(n) + " " + buf;
    };
    // An unknown language is English; a code without a row takes the fallback, extra arguments are ignored.
    EXPECT_EQ(text(h, -10017, -10001, 1, MOUT_LANG_ZH_CN, int64_t{0}), "21 0 行加载成功。\n");
    EXPECT_EQ(text(h, -10017, -10001, 1, 9, INT64_MIN), "42 -9223372036854775808 rows loaded success.\n");
    EXPECT_EQ(text(h, -10012, -10001, 2, MOUT_LANG_EN, "S", "T"), "17 \nDest table: S.T\n");
    EXPECT_EQ(text(h, -10052, -10001, 2, MOUT_LANG_EN, 1, 2), "19 Undefined exception");
    EXPECT_EQ(text(h, 12345, -10001, 0, MOUT_LANG_ZH_TW), "18 未定義的異常");
    // Neither row, or no table at all: -1 and an empty text. Fewer arguments
    // than the text takes: the text is shown unformatted.
    EXPECT_EQ(text(h, 12345, 54321, 0, MOUT_LANG_EN), "-1 ");
    EXPECT_EQ(text(nullptr, -10001, -10001, 0, MOUT_LANG_EN), "-1 ");
    EXPECT_EQ(text(h, -10012, -10001, 1, MOUT_LANG_EN, "S"), "19 \nDest table: %s.%s\n");

    mout_deinit(h, g_fldr_console_msgs, FLDR_CONSOLE_MSG_ROWS, QXCVT_UTF8);
    for (const mout_row_t &row : g_fldr_console_msgs)
        for (const char *w : row.work) EXPECT_EQ(w, nullptr);
}

TEST(QxMout, LongLinesAreCutBetweenCharacters)
{
    mout_row_t rows[] = {{1, 1, "中%s", "中%s", "ab%s", {}}, {2, 0, "x", "x", "x", {}}};
    for (uint32_t code : {QXCVT_UTF8, QXCVT_GB18030}) {
        mout_handle_t *h = nullptr;
        ASSERT_EQ(mout_init(&h, rows, 2, code, MOUT_LANG_ZH_CN), 0);
        const auto to_set = [code](const char *utf8) {
            return qxtest::iconv_to(code == QXCVT_UTF8 ? "UTF-8" : "GB18030", "UTF-8", utf8);
        };
        std::string arg;
        for (int i = 0; i < 300; ++i) arg += to_set("文");
        std::vector<char> buf(MOUT_LINE_MAX + 16, '#');
        for (uint32_t lang : {MOUT_LANG_ZH_CN, MOUT_LANG_EN}) {
            const int32_t n = lookup(buf.data(), h, 1, 2, 1, lang, arg.c_str());
            const size_t head = lang == MOUT_LANG_EN ? 2 : to_set("中").size(), ch = to_set("文").size();
            // The most whole characters that leave room for the terminator.
            const size_t expect = head + (MOUT_LINE_MAX - 1 - head) / ch * ch;
            EXPECT_EQ(static_cast<size_t>(n), expect) << "code " << code << " lang " << lang;
            EXPECT_EQ(std::strlen(buf.data()), expect);
            EXPECT_EQ(qx_get_valid_chars(buf.data(), static_cast<uint32_t>(n), code, 0, 0), 0);
            EXPECT_EQ(buf[MOUT_LINE_MAX], '#');
        }
        mout_deinit(h, rows, 2, code);
    }
}

TEST(QxMout, LanguageAndLocalSetFromTheLocale)
{
    const auto local = [] {
        uint32_t code = 99, lang_id = 99;
        mout_get_local_code(&code, &lang_id);
        return std::pair(code, lang_id);
    };
    // LC_ALL, LC_MESSAGES, LANG: the first set and not empty decides.
    const std::tuple<const char *, const char *, const char *, uint32_t, uint32_t> cases[] = {
        {"zh_CN.GB18030", "en_US.UTF-8", "en_US.UTF-8", QXCVT_GB18030, MOUT_LANG_ZH_CN},
        {nullptr, "zh_TW.Big5", "zh_CN.UTF-8", QXCVT_BIG5, MOUT_LANG_ZH_TW},
        {"", "", "zh_HK.utf8", QXCVT_UTF8, MOUT_LANG_ZH_TW}, {nullptr, nullptr, "zh_CN.gbk", QXCVT_GBK, MOUT_LANG_ZH_CN},
        {nullptr, nullptr, "zh_SG.GB18030", QXCVT_GB18030, MOUT_LANG_EN},
        {nullptr, nullptr, nullptr, QXCVT_UTF8, MOUT_LANG_EN},
    };
    for (const auto &[lc_all, lc_messages, lang, code, lang_id] : cases) {
        EnvVar all("LC_ALL", lc_all), messages("LC_MESSAGES", lc_messages), lang_var("LANG", lang);
        EXPECT_EQ(local(), std::pair(code, lang_id)) << (lang ? lang : "(unset)");
    }
    // A forced value wins over the locale until it is cleared, each half on its own.
    EnvVar all("LC_ALL", "zh_CN.GB18030");
    const int32_t forced[][4] = {{QXCVT_BIG5, MOUT_LANG_ZH_TW, QXCVT_BIG5, MOUT_LANG_ZH_TW},
                                 {-1, MOUT_LANG_EN, QXCVT_GB18030, MOUT_LANG_EN},
                                 {-1, -1, QXCVT_GB18030, MOUT_LANG_ZH_CN}};
    for (const auto &f : forced) {
        mout_force_local_code(f[0], f[1]);
        EXPECT_EQ(local(), std::pair(uint32_t(f[2]), uint32_t(f[3]))) << f[0] << "," << f[1];
    }
}

TEST(QxMout, ConsoleTableRowsAndArgumentCounts)
{
    std::set<int32_t> codes;
    for (const mout_row_t &row : g_fldr_console_msgs) {
        SCOPED_TRACE(row.code);
        EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code";
        EXPECT_TRUE(row.code <= -10001 && row.code >= -10054 && row.code != -10052);
        ASSERT_TRUE(row.text_zh_cn && row.text_zh_tw && row.text_en);
        // Each language takes exactly argc arguments, of the same kinds in the same order.
        const auto en = conversions(row.text_en);
        EXPECT_EQ(en.size(), row.argc) << row.text_en;
        EXPECT_EQ(conversions(row.text_zh_cn), en) << row.text_zh_cn;
        EXPECT_EQ(conversions(row.text_zh_tw), en) << row.text_zh_tw;
    }
    EXPECT_EQ(codes.size(), static_cast<size_t>(FLDR_CONSOLE_MSG_ROWS));
}

TEST(QxMout, ErrorSystemRunsBetweenStartAndStop)
{
    // A stop without a start changes nothing.
    EXPECT_EQ(qxerr_sys_running(), 0);
    for (int round = 0; round < 2; ++round) {
        qxerr_sys_init(0, 0);
        EXPECT_EQ(qxerr_sys_running(), 1);
        qxerr_sys_deinit();
        EXPECT_EQ(qxerr_sys_running(), 0);
        qxerr_sys_deinit();
    }
}
