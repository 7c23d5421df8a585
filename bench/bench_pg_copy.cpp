/*
** Load speed into PostgreSQL through the batch engine, against psql's \copy
** of the same rows, on a private server started for the run.
**
** Each iteration empties the table and loads kRows rows of four columns
** (integer, text, double, and a bigint or a date): with 1 and 2 writers, each
** on its own connection committing every 50000 rows; in binary format (all
** columns have a binary form) and in text format (a date column). The psql
** run reads the same rows from a file in COPY text format. Rates are rows/s
** and bytes of the rows' text per second.
*/
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pg_target.h"
#include "support/pg_cluster.h"

namespace {

constexpr int kRows = 1000000;
constexpr uint32_t kCommitRows = 50000;

struct Data {
    std::vector<std::string> cols[4];
    uint64_t text_bytes = 0;
};

pgtest::PgCluster *g_cluster = nullptr;
Data g_numbers, g_dated;
std::string g_file_numbers, g_file_dated;

void make_data(Data &d, bool dated, std::string &file)
{
    for (auto &c : d.cols)
        c.reserve(kRows);
    std::string text;
    for (int i = 0; i < kRows; ++i) {
        d.cols[0].push_back(std::to_string(i));
        d.cols[1].push_back("customer name " + std::to_string(int64_t(i) * 7919 % 100003));
        d.cols[2].push_back(std::to_string(i % 1000) + "." + std::to_string(i % 97));
        char day[16];
        std::snprintf(day, sizeof day, "2024-%02d-%02d", i % 12 + 1, i % 28 + 1);
        d.cols[3].push_back(dated ? std::string(day) : std::to_string(int64_t(i) * 1000003));
        for (int c = 0; c < 4; ++c) {
            text += d.cols[c].back();
            text += c < 3 ? '\t' : '\n';
        }
    }
    d.text_bytes = text.size();
    file = g_cluster->socket_dir() + (dated ? "/dated.txt" : "/numbers.txt");
    FILE *f = std::fopen(file.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

bool setup()
{
    if (g_cluster != nullptr)
        return true;
    g_cluster = new pgtest::PgCluster;
    std::string reason, out;
    if (!g_cluster->start(reason)) {
        std::fprintf(stderr, "bench_pg_copy: %s\n", reason.c_str());
        return false;
    }
    if (!g_cluster->psql("CREATE TABLE numbers (id int, name text, amount float8, ref bigint);"
                         "CREATE TABLE dated (id int, name text, amount float8, day date);"
                         "ALTER SYSTEM SET max_wal_size = '4GB'; SELECT pg_reload_conf();",
                         out)) {
        std::fprintf(stderr, "bench_pg_copy: %s\n", out.c_str());
        return false;
    }
    make_data(g_numbers, false, g_file_numbers);
    make_data(g_dated, true, g_file_dated);
    return true;
}

void prepare_table(const char *table)
{
    std::string out;
    g_cluster->psql(std::string("TRUNCATE ") + table + "; CHECKPOINT;", out);
}

/* Args: writers, 1 for the binary-format table. */
void BM_BatchEngine(benchmark::State &state)
{
    if (!setup()) {
        state.SkipWithError("no server");
        return;
    }
    const int writers = static_cast<int>(state.range(0));
    const bool numbers = state.range(1) == 1;
    const Data &d = numbers ? g_numbers : g_dated;
    const char *table = numbers ? "numbers" : "dated";
    for (auto _ : state) {
        state.PauseTiming();
        prepare_table(table);
        qxpg::Target target;
        std::string error;
        if (!target.open(g_cluster->conninfo(), table, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::vector<std::unique_ptr<qxpg::Worker>> workers;
        for (int w = 0; w < writers; ++w)
            workers.push_back(target.make_worker(error));
        state.ResumeTiming();
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
            threads.emplace_back([&, w] {
                qxpg::Worker &worker = *workers[w];
                std::string msg;
                auto flush = [&] {
                    worker.writer().flush([](const qxpg::Refusal &) { return true; });
                };
                for (int i = w; i < kRows; i += writers) {
                    qxpg::Field f[4];
                    for (int c = 0; c < 4; ++c)
                        f[c] = {d.cols[c][i].data(), static_cast<uint32_t>(d.cols[c][i].size())};
                    worker.writer().add_row(f, static_cast<uint64_t>(i), msg);
                    if (worker.writer().pending() == kCommitRows)
                        flush();
                }
                flush();
            });
        for (auto &t : threads)
            t.join();
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.text_bytes));
}

/* Arg: 1 for the binary-format table's rows. */
void BM_PsqlCopy(benchmark::State &state)
{
    if (!setup()) {
        state.SkipWithError("no server");
        return;
    }
    const bool numbers = state.range(0) == 1;
    const char *table = numbers ? "numbers" : "dated";
    const std::string &file = numbers ? g_file_numbers : g_file_dated;
    std::string psql = g_cluster->bin_dir() + "/psql";
    std::string cmd = "'" + psql + "' -X -q -h '" + g_cluster->socket_dir() +
                      "' -U qxtest -d postgres -c \"\\copy " + table + " FROM '" + file + "'\"";
    for (auto _ : state) {
        state.PauseTiming();
        prepare_table(table);
        state.ResumeTiming();
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("psql \\copy failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (numbers ? g_numbers : g_dated).text_bytes));
}

BENCHMARK(BM_BatchEngine)->ArgsProduct({{1, 2}, {1, 0}})->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PsqlCopy)->Arg(1)->Arg(0)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete g_cluster;
    return 0;
}
