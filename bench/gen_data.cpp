/*
** Deterministic data file for the peer comparison (bench/peers.sh):
**   gen_data OUT SIZE_MIB
** writes comma-separated rows of 16 columns (integers, decimals, doubles,
** texts, dates, timestamps) until the file holds SIZE_MIB MiB, ending at a
** row boundary, and prints the number of rows on standard output. As in real
** exports, about one row in ten has its description in double quotes, holding
** a comma and a doubled quote; one in four of those also holds a line break.
** So the file has more lines than rows. The same arguments always give the
** same bytes.
*/
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Rng {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    uint64_t below(uint64_t n) { return next() % n; }
};

void text(std::string &out, Rng &rng, unsigned min_len, unsigned max_len)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_";
    const unsigned len = min_len + static_cast<unsigned>(rng.below(max_len - min_len + 1));
    for (unsigned i = 0; i < len; i++)
        out += letters[rng.below(sizeof letters - 1)];
}

/* A description in quotes: `words, "quoted" words`, the inner quotes doubled, and
** sometimes a line break; at most 33 characters once read, so it fits VARCHAR(40). */
void quoted_text(std::string &out, Rng &rng)
{
    out += '"';
    text(out, rng, 3, 10);
    out += ", \"\"";
    text(out, rng, 2, 8);
    out += "\"\"";
    out += rng.below(4) == 0 ? '\n' : ' ';
    text(out, rng, 1, 10);
    out += '"';
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: gen_data OUT SIZE_MIB\n");
        return 2;
    }
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const uint64_t target = std::strtoull(argv[2], nullptr, 10) << 20;
    Rng rng;
    std::string buf;
    buf.reserve(1 << 21);
    char num[64];
    uint64_t written = 0;
    uint64_t rows = 0;
    for (uint64_t id = 1; written < target; id++, rows++) {
        const size_t row_start = buf.size();
        auto add = [&](const char *s) { buf += s; buf += ','; };
        std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(id)); add(num);
        std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(rng.below(1000000))); add(num);
        std::snprintf(num, sizeof num, "%d", static_cast<int>(rng.below(200)) - 100); add(num);
        std::snprintf(num, sizeof num, "%llu.%02llu", static_cast<unsigned long long>(rng.below(100000)),
                      static_cast<unsigned long long>(rng.below(100))); add(num);
        std::snprintf(num, sizeof num, "%.6f", static_cast<double>(rng.below(1u << 30)) / 1024.0); add(num);
        text(buf, rng, 5, 20); buf += ',';
        if (rng.below(10) == 0)
            quoted_text(buf, rng);
        else
            text(buf, rng, 10, 40);
        buf += ',';
        std::snprintf(num, sizeof num, "%04d-%02d-%02d", 1990 + static_cast<int>(rng.below(35)),
                      1 + static_cast<int>(rng.below(12)), 1 + static_cast<int>(rng.below(28))); add(num);
        std::snprintf(num, sizeof num, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + static_cast<int>(rng.below(25)),
                      1 + static_cast<int>(rng.below(12)), 1 + static_cast<int>(rng.below(28)),
                      static_cast<int>(rng.below(24)), static_cast<int>(rng.below(60)),
                      static_cast<int>(rng.below(60))); add(num);
        std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(rng.next() >> 20)); add(num);
        text(buf, rng, 8, 8); buf += ',';
        std::snprintf(num, sizeof num, "%llu.%04llu", static_cast<unsigned long long>(rng.below(1000)),
                      static_cast<unsigned long long>(rng.below(10000))); add(num);
        text(buf, rng, 0, 30); buf += ',';
        std::snprintf(num, sizeof num, "%llu", static_cast<unsigned long long>(rng.below(65536))); add(num);
        std::snprintf(num, sizeof num, "%04d-%02d-%02d", 2020 + static_cast<int>(rng.below(6)),
                      1 + static_cast<int>(rng.below(12)), 1 + static_cast<int>(rng.below(28))); add(num);
        text(buf, rng, 1, 10);
        buf += '\n';
        written += buf.size() - row_start;
        if (buf.size() >= (1u << 20)) {
            if (std::fwrite(buf.data(), 1, buf.size(), out) != buf.size()) {
                std::perror(argv[1]);
                return 1;
            }
            buf.clear();
        }
    }
    if ((!buf.empty() && std::fwrite(buf.data(), 1, buf.size(), out) != buf.size()) || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(rows));
    return 0;
}
