/*
** Speed of the row searches and the field scanner against memchr, in one run.
**
** Data: 256 MiB of rows built in memory, 16 fields each, separated by '|'
** and ended by "\r\n": numbers, dates, codes, names and longer texts; about
** 10% of the fields enclosed in '"' with embedded '|', some doubled quotes
** and a few embedded row terminators; escaped terminators ("\|") and NULL
** marks ("\N") here and there; non-ASCII text in UTF-8 in the first half of
** the rows and in GB18030 in the second half.
**
** Measured (bytes of the data set per second):
**   memchr_rows          a loop of memchr calls finding every '\n' (reference)
**   search_plain_1       fldr_search_row_end, plain, terminator "\n"
**   search_plain_2       fldr_search_row_end, plain, terminator "\r\n"
**   search_enclosed      enclosure-aware search (scan mode 1, enclosed rows)
**   search_escaped       escape-aware search (scan mode 2, escape '\')
**   search_csv           the CSV scan mode's search (quotes open fields only
**                        at a field's start)
**   cut_mode_0/1/2, cut_csv
**                        every field of every row with fldr_get_nth_val_len;
**                        each row is first copied to a scratch buffer, since
**                        values may be rebuilt in place (the copy is timed)
**   call_floor_memchr    the same loop calling, instead, a function of the
**                        same signature that only memchr's the next '|':
**                        what a call and a search per field cost here
**   call_floor_stops     the same, finding the next of the three bytes a cut
**                        in scan mode 1 cannot pass unseen ('|', '"', '\r')
**                        32 bytes a compare, going on past '"' and '\r':
**                        the stop search alone, without any of the cut's work
**                        (x86-64 with AVX2 only)
** After the runs a table prints each as MB/s and as a ratio to memchr_rows.
*/
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "qxcvt.h"
#include "qxfldr_comm.h"

namespace {

constexpr size_t k_data_size = 256u << 20;
constexpr uint32_t k_fields = 16;

struct rng {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

struct data_set {
    std::string bytes;
    size_t      gb18030_from = 0;    /* rows from here on hold GB18030 text */
};

void append_letters(std::string &out, rng &r, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i)
        out += static_cast<char>('a' + r.below(26));
}

void append_text(std::string &out, rng &r, uint32_t n, bool gb18030)
{
    static const char *utf8[] = {"\xe4\xb8\xad\xe6\x96\x87", "\xe6\x95\xb0\xe6\x8d\xae", "\xc3\xa9t\xc3\xa9"};
    static const char *gb[] = {"\xd6\xd0\xce\xc4", "\xca\xfd\xbe\xdd", "\x81\x7c\xbc\xd3", "\x81\x30\x81\x30"};
    uint32_t written = 0;
    while (written < n) {
        if (r.below(16) == 0) {
            const char *piece = gb18030 ? gb[r.below(4)] : utf8[r.below(3)];
            out += piece;
            written += static_cast<uint32_t>(std::strlen(piece));
        } else {
            const uint32_t word = 2 + r.below(8);
            append_letters(out, r, word);
            out += ' ';
            written += word + 1;
        }
    }
}

void append_field(std::string &out, rng &r, uint32_t index, bool gb18030)
{
    const uint32_t dice = r.below(100);
    if (dice < 10) {
        /* Enclosed: embedded terminators, sometimes a doubled quote, rarely a row end. */
        out += '"';
        append_text(out, r, 4 + r.below(24), gb18030);
        out += '|';
        append_letters(out, r, 1 + r.below(6));
        if (r.below(4) == 0)
            out += "\"\"";
        if (r.below(200) == 0)
            out += "\r\n";
        append_letters(out, r, r.below(5));
        out += '"';
        return;
    }
    if (dice < 11) {
        out += "\\N";
        return;
    }
    if (dice < 12) {
        append_letters(out, r, 1 + r.below(6));
        out += "\\|";
        append_letters(out, r, 1 + r.below(6));
        return;
    }
    char num[32];
    switch (index % 8) {
    case 0:
        std::snprintf(num, sizeof num, "%u", r.next() % 10000000u);
        out += num;
        break;
    case 1:
        std::snprintf(num, sizeof num, "%u.%02u", r.below(100000), r.below(100));
        out += num;
        break;
    case 2:
        std::snprintf(num, sizeof num, "20%02u-%02u-%02u", r.below(30), 1 + r.below(12), 1 + r.below(28));
        out += num;
        break;
    case 3:
        append_letters(out, r, 3 + r.below(6));
        break;
    case 4:
        append_text(out, r, 8 + r.below(24), gb18030);
        break;
    case 5:
        append_text(out, r, 30 + r.below(90), gb18030);
        break;
    case 6:
        out += r.below(2) ? "Y" : "N";
        break;
    default:
        std::snprintf(num, sizeof num, "%u", r.below(1000));
        out += num;
        break;
    }
}

const data_set &the_data()
{
    static const data_set d = [] {
        data_set set;
        set.bytes.reserve(k_data_size + 4096);
        rng r;
        std::string row;
        while (set.bytes.size() < k_data_size) {
            const bool gb = set.bytes.size() >= k_data_size / 2;
            if (gb && set.gb18030_from == 0)
                set.gb18030_from = set.bytes.size();
            row.clear();
            for (uint32_t f = 0; f < k_fields; ++f) {
                append_field(row, r, f, gb);
                row += f + 1 < k_fields ? "|" : "\r\n";
            }
            if (set.bytes.size() + row.size() > k_data_size)
                break;
            set.bytes += row;
        }
        return set;
    }();
    return d;
}

/* ------------------------------------------------------------- records */

struct table {
    fldr_seperator_info sep{};
    fldr_ctl            ctl{};
    fldr_col            cols[k_fields]{};
    fldr_inst           inst{};

    explicit table(uint32_t scan_mode)
    {
        sep.term[0] = '|';
        sep.term_len = 1;
        sep.enclose[0] = '"';
        sep.enclose_len = 1;
        sep.escape[0] = '\\';
        sep.escape_len = 1;
        ctl.sep_info = &sep;
        ctl.row_enclose[0] = '"';
        ctl.row_enclose_len = 1;
        ctl.trailing_flag = 1;
        for (uint32_t i = 0; i < k_fields; ++i) {
            cols[i].pos_start = -1;
            cols[i].pos_end = -1;
            cols[i].next = i + 1 < k_fields ? &cols[i + 1] : nullptr;
        }
        ctl.col_first = &cols[0];
        ctl.col_last = &cols[k_fields - 1];
        ctl.col_count = k_fields;
        inst.ctl = &ctl;
        inst.scan_mode = scan_mode;
        inst.enclosed_rows = 1;
    }
};

template <typename Next>
void run_search(benchmark::State &state, Next next)
{
    const std::string &d = the_data().bytes;
    size_t rows = 0;
    for (auto _ : state) {
        const char *p = d.data();
        const char *end = d.data() + d.size();
        rows = 0;
        while (p < end) {
            const char *hit = next(p, end);
            if (hit == nullptr)
                break;
            p = hit + 1;
            ++rows;
        }
        benchmark::DoNotOptimize(rows);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
    state.counters["rows"] = static_cast<double>(rows);
}

void memchr_rows(benchmark::State &state)
{
    run_search(state, [](const char *p, const char *end) {
        return static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    });
}

void search_plain_1(benchmark::State &state)
{
    run_search(state, [](const char *p, const char *end) {
        return fldr_search_row_end(nullptr, p, static_cast<uint32_t>(end - p), 1, "\n");
    });
}

void search_plain_2(benchmark::State &state)
{
    run_search(state, [](const char *p, const char *end) -> const char * {
        const char *hit = fldr_search_row_end(nullptr, p, static_cast<uint32_t>(end - p), 2, "\r\n");
        return hit ? hit + 1 : nullptr;
    });
}

void search_enclosed(benchmark::State &state)
{
    static table t(FLDR_SCAN_ENCLOSED);
    run_search(state, [](const char *p, const char *end) -> const char * {
        const char *hit = fldr_search_row_end(&t.inst, p, static_cast<uint32_t>(end - p), 2, "\r\n");
        return hit ? hit + 1 : nullptr;
    });
}

void search_escaped(benchmark::State &state)
{
    static table t(FLDR_SCAN_ESCAPED);
    run_search(state, [](const char *p, const char *end) -> const char * {
        const char *hit = fldr_search_row_end(&t.inst, p, static_cast<uint32_t>(end - p), 2, "\r\n");
        return hit ? hit + 1 : nullptr;
    });
}

void search_csv(benchmark::State &state)
{
    static table t(FLDR_SCAN_CSV);
    run_search(state, [](const char *p, const char *end) -> const char * {
        const char *hit = fldr_search_row_end(&t.inst, p, static_cast<uint32_t>(end - p), 2, "\r\n");
        return hit ? hit + 1 : nullptr;
    });
}

/* Row starts as the loader of this scan mode would cut them (not timed). */
std::vector<uint32_t> row_starts(table &t)
{
    const std::string &d = the_data().bytes;
    std::vector<uint32_t> starts;
    const char *p = d.data();
    const char *end = d.data() + d.size();
    while (p < end) {
        starts.push_back(static_cast<uint32_t>(p - d.data()));
        const char *hit = fldr_search_row_end(&t.inst, p, static_cast<uint32_t>(end - p), 2, "\r\n");
        p = hit ? hit + 2 : end;
    }
    starts.push_back(static_cast<uint32_t>(d.size()));
    return starts;
}

/*
** The least a function of fldr_get_nth_val_len's signature can do: one call
** per field that finds the next '|' with memchr, the last field taking the
** rest of the row. It cuts enclosed and escaped fields wrongly; it is here
** to show what one out-of-line call and one search per field cost on this
** machine, the floor under the cut_mode rows.
*/
__attribute__((noinline)) int32_t call_floor(const fldr_ctl *, const fldr_col *, uint32_t is_last, const char *,
                                             uint16_t, char *data, uint32_t len, uint32_t, uint32_t, uint32_t,
                                             char **out_value, uint32_t *out_len, uint32_t *out_used, char *,
                                             void *, uint32_t *)
{
    const char *bar = is_last ? nullptr : static_cast<const char *>(std::memchr(data, '|', len));
    *out_value = data;
    *out_len = bar != nullptr ? static_cast<uint32_t>(bar - data) : len;
    *out_used = bar != nullptr ? *out_len + 1 : len;
    return 0;
}

#if defined(__x86_64__)
__attribute__((noinline, target("avx2,bmi"))) int32_t call_floor_3(const fldr_ctl *, const fldr_col *,
                                                                   uint32_t is_last, const char *, uint16_t,
                                                                   char *data, uint32_t len, uint32_t, uint32_t,
                                                                   uint32_t, char **out_value, uint32_t *out_len,
                                                                   uint32_t *out_used, char *, void *, uint32_t *)
{
    const __m256i bar = _mm256_set1_epi8('|'), cr = _mm256_set1_epi8('\r'), quote = _mm256_set1_epi8('"');
    const char *p = data;
    const char *end = data + len;
    const char *hit = nullptr;
    while (!is_last && p < end) {
        /* A piece shorter than 32 bytes is copied out, zero-padded (a zero
        ** is no stop): nothing past the data is read. */
        const size_t left = static_cast<size_t>(end - p);
        alignas(32) char tail[32];
        const char *from = p;
        if (left < 32) {
            std::memset(tail, 0, sizeof tail);
            from = static_cast<const char *>(std::memcpy(tail, p, left));
        }
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
        const __m256i stops = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, bar), _mm256_cmpeq_epi8(x, cr)),
                                              _mm256_cmpeq_epi8(x, quote));
        const uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(stops));
        if (mask == 0) {
            p += 32;
            continue;
        }
        p += _tzcnt_u32(mask);
        if (*p == '|') {
            hit = p;
            break;
        }
        ++p;
    }
    *out_value = data;
    *out_len = hit != nullptr ? static_cast<uint32_t>(hit - data) : len;
    *out_used = hit != nullptr ? *out_len + 1 : len;
    return 0;
}
#endif

template <auto Cut = fldr_get_nth_val_len>
void cut_fields(benchmark::State &state, uint32_t mode)
{
    table t(mode);
    const data_set &set = the_data();
    const std::string &d = set.bytes;
    const std::vector<uint32_t> starts = row_starts(t);
    std::vector<char> scratch(1 << 20);
    std::vector<char> work(1 << 20);
    uint64_t value_bytes = 0;
    uint64_t errors = 0;
    for (auto _ : state) {
        value_bytes = 0;
        errors = 0;
        for (size_t i = 0; i + 1 < starts.size(); ++i) {
            const uint32_t row_len = starts[i + 1] - starts[i];
            const uint32_t charset = starts[i] >= set.gb18030_from ? QXCVT_GB18030 : QXCVT_UTF8;
            std::memcpy(scratch.data(), d.data() + starts[i], row_len);
            char *p = scratch.data();
            uint32_t left = row_len;
            uint32_t more = 1;
            for (uint32_t f = 0; f < k_fields; ++f) {
                char *value = nullptr;
                uint32_t len = 0, used = 0;
                const int32_t rc = Cut(&t.ctl, &t.cols[f], f + 1 == k_fields, "\r\n", 2, p, left, charset,
                                       mode, 1, &value, &len, &used, work.data(), nullptr, &more);
                if (rc < 0) {
                    ++errors;
                    break;
                }
                if (len != FLDR_NULL_LEN)
                    value_bytes += len;
                p += used;
                left -= used;
            }
        }
        benchmark::DoNotOptimize(value_bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
    state.counters["rows"] = static_cast<double>(starts.size() - 1);
    state.counters["rows_in_error"] = static_cast<double>(errors);
}

void cut_mode_0(benchmark::State &state) { cut_fields(state, 0); }
void cut_mode_1(benchmark::State &state) { cut_fields(state, 1); }
void cut_mode_2(benchmark::State &state) { cut_fields(state, 2); }
void cut_csv(benchmark::State &state) { cut_fields(state, FLDR_SCAN_CSV); }
void call_floor_memchr(benchmark::State &state) { cut_fields<call_floor>(state, 1); }
#if defined(__x86_64__)
void call_floor_stops(benchmark::State &state) { cut_fields<call_floor_3>(state, 1); }
#endif

/* Console output as usual, plus the bytes per second of each run kept for the table. */
class collecting_reporter : public benchmark::ConsoleReporter {
public:
    std::vector<std::pair<std::string, double>> rates;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                rates.emplace_back(run.benchmark_name(), it->second.value);
        }
    }
};

}  // namespace

BENCHMARK(memchr_rows)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(search_plain_1)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(search_plain_2)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(search_enclosed)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(search_escaped)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(search_csv)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(cut_mode_0)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(cut_mode_1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(cut_mode_2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(cut_csv)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(call_floor_memchr)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        benchmark::RegisterBenchmark("call_floor_stops", call_floor_stops)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(2.0);
#endif
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::fprintf(stderr, "building %zu MiB of rows...\n", k_data_size >> 20);
    the_data();
    collecting_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    double reference = 0;
    for (const auto &[name, rate] : reporter.rates)
        if (name.rfind("memchr_rows", 0) == 0)
            reference = rate;
    std::printf("\n%-20s %12s %12s %10s\n", "path", "MB/s", "vs memchr", "target");
    for (const auto &[name, rate] : reporter.rates) {
        const char *target = "";
        if (name.rfind("search_plain", 0) == 0)
            target = ">= 0.80";
        else if (name.rfind("search_", 0) == 0)
            target = ">= 0.40";
        else if (name.rfind("cut_", 0) == 0)
            target = ">= 0.10";
        std::printf("%-20s %12.0f %12.3f %10s\n", name.c_str(), rate / 1e6,
                    reference > 0 ? rate / reference : 0.0, target);
    }
    return 0;
}
