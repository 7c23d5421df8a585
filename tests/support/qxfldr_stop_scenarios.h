/*
** Loads that stop early (ERRORS, LOAD) end at the same row whatever the
** number of workers: the tables hold exactly the accepted rows before the
** stop point (in file order, where the database keeps an order), the
** bad-data file and the log exactly the rejections up to it, in file order,
** and the summary counts the rows read up to it; one file may feed two
** tables. Each case is loaded many times with 1, 2 and 4 workers over small
** read buffers (many chunks, so that workers finish out of order), and every
** run is compared with what a reading of the file row after row gives.
**
** Compiled into each target's program, as qxfldr_scenarios.h is.
*/
#ifndef QX_TESTS_QXFLDR_STOP_SCENARIOS_H
#define QX_TESTS_QXFLDR_STOP_SCENARIOS_H

#include <algorithm>
#include <map>
#include <regex>

#include "qxfldr_scenarios.h"

namespace qxtest {

/* What the load must make of a row. */
enum class Fate { Stored, Format, Data, Duplicate, NoTable };

/* A stop case: `rows` rows "id|note" (or "tag|id|note" for two tables: tag A
** goes to table a, B to b, C to none), the rows listed in `bad` spoiled. */
struct StopCase {
    const char *name;
    bool two_tables;
    int rows;
    std::vector<std::pair<int, Fate>> bad;   /* row number from 1, what spoils it */
    int errors;
    int load;                                /* LOAD, 0 for none */
};

/* What a load leaves: rows stored, rejected, counted. */
struct Outcome {
    std::map<std::string, Rows> ids;        /* per table, in file order */
    std::map<std::string, int> format, data;
    int64_t read = 0, untaken = 0;
    std::string bad;
    std::vector<int64_t> logged;             /* rejected rows, in file order */
    bool stopped = false;
};

/* Writes the rows of case c to `data`, and returns what a load of them, one
** after the other, leaves. */
inline Outcome generate(const StopCase &c, std::string &data)
{
    std::map<int, Fate> spoiled(c.bad.begin(), c.bad.end());
    std::map<std::string, int> first_id;   /* per table: an id stored early, to repeat */
    Outcome out;
    int failed = 0;
    for (int i = 1; i <= c.rows; i++) {
        const char tag = !c.two_tables ? 'A' : i % 7 == 0 ? 'C' : i % 3 == 0 ? 'B' : 'A';
        const std::string table = tag == 'A' ? "a" : "b";
        const Fate fate = tag == 'C' ? Fate::NoTable : spoiled.count(i) ? spoiled[i] : Fate::Stored;
        std::string id = std::to_string(i);
        if (fate == Fate::Data)
            id = "x" + id;
        if (fate == Fate::Duplicate)
            id = std::to_string(first_id.at(table));
        if (fate == Fate::Stored)
            first_id.emplace(table, i);
        const std::string text = (c.two_tables ? std::string(1, tag) + "|" : "") + id +
                                 (fate == Fate::Format ? "" : "|note " + std::to_string(i % 100)) + "\n";
        data += text;
        if (out.stopped || (c.load != 0 && i > c.load))
            continue;
        out.read = i;
        if (fate == Fate::NoTable) {
            out.untaken++;
        } else if (fate == Fate::Stored) {
            out.ids[table].push_back(std::to_string(i));
        } else {
            (fate == Fate::Format ? out.format : out.data)[table]++;
            out.bad += text;
            out.logged.push_back(i);
            out.stopped = ++failed > c.errors;
        }
    }
    return out;
}

/* Compares a run with the outcome: the tables (rows in the order they were
** stored, where the database keeps one), the summary's counts, the bad-data
** file, the rejected rows in the order the log names them, and whether the
** load stopped. */
inline void expect_outcome(Target &db, const Dir &dir, const RunResult &r, const std::vector<std::string> &tables,
                           Outcome want, const std::string &what)
{
    for (const std::string &t : tables) {
        Rows ids = db.rows("SELECT CAST(id AS TEXT) FROM " + t + db.stored_order());
        if (db.stored_order().empty()) {
            std::sort(ids.begin(), ids.end());
            std::sort(want.ids[t].begin(), want.ids[t].end());
        }
        EXPECT_EQ(ids, want.ids[t]) << what;
        const size_t at = r.out.find("Dest table: " + std::string(1, static_cast<char>(std::toupper(t[0]))) + "\n");
        EXPECT_NE(r.out.find(counts(static_cast<int>(ids.size()), want.format[t], want.data[t]), at), std::string::npos)
            << what;
    }
    EXPECT_THAT(r.out, testing::HasSubstr("Read logic record counts: " + std::to_string(want.read) + "\n")) << what;
    EXPECT_THAT(r.out, testing::HasSubstr("Refuse logic record counts: " + std::to_string(want.untaken) + "\n"))
        << what;
    EXPECT_EQ(dir.read("fldr.bad"), want.bad) << what;
    const std::string log = dir.read("fldr.log");
    static const std::regex line(", row ([0-9]+): (format error|data error|refused by the database)");
    std::vector<int64_t> logged;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
        logged.push_back(std::stoll((*it)[1]));
    EXPECT_EQ(logged, want.logged) << what;
    EXPECT_EQ(r.status == 1, want.stopped) << what;
}

/* Small read buffers for the loads of a test (a test-only setting of qxfldr). */
class SmallBuffers {
public:
    explicit SmallBuffers(int bytes) { setenv("QXFLDR_READ_BUFFER_BYTES", std::to_string(bytes).c_str(), 1); }
    ~SmallBuffers() { unsetenv("QXFLDR_READ_BUFFER_BYTES"); }
};

TEST_F(Load, StopPointsAreTheSameWithAnyNumberOfWorkers)
{
    using F = Fate;
    const StopCase cases[] = {
        /* The sixth error at row 3500 stops; rows past it are never stored. */
        {"errors", false, 16000, {{3, F::Data}, {7, F::Format}, {500, F::Data}, {1500, F::Data},
                                  {2500, F::Format}, {3500, F::Data}, {9000, F::Data}, {15000, F::Format}}, 5, 0},
        /* Rows the database refuses (a key again) count in file order with the others. */
        {"refusals", false, 16000, {{40, F::Duplicate}, {5000, F::Data}, {11000, F::Duplicate},
                                    {11001, F::Format}, {15000, F::Duplicate}}, 2, 0},
        /* LOAD ends the reading; errors below the limit go on. */
        {"load", false, 16000, {{10, F::Duplicate}, {9000, F::Data}, {11999, F::Duplicate},
                                {12001, F::Format}}, 10, 12000},
        /* Two tables fed by one file: rows of a chunk go to the tables in file order. */
        {"two tables", true, 16000, {{4, F::Data}, {6000, F::Duplicate}, {6001, F::Data},
                                     {12002, F::Format}, {12003, F::Data}, {15000, F::Data}}, 3, 0},
    };
    SmallBuffers buffers(32768);
    for (const StopCase &c : cases) {
        std::string data;
        const Outcome want = generate(c, data);
        dir.write("d.txt", data);
        const std::vector<std::string> tables = c.two_tables ? std::vector<std::string>{"a", "b"}
                                                             : std::vector<std::string>{"a"};
        const std::string fields = " FIELDS TERMINATED BY '|' (" + std::string(c.two_tables ? "tag FILLER, " : "") +
                                   "id, note)\n";
        const std::string ctl =
            "LOAD DATA INFILE 'd.txt' APPEND INTO TABLE a" + std::string(c.two_tables ? " WHEN (1:1) = 'A'" : "") +
            fields + (c.two_tables ? "INTO TABLE b WHEN (1:1) = 'B'" + fields : "");
        for (const int workers : {1, 2, 4})
            for (int run = 0; run < (workers == 1 ? 2 : 10); run++) {
                for (const std::string &t : tables)
                    db->table(t, "id INTEGER UNIQUE, note VARCHAR(40)");
                std::filesystem::remove(dir / "fldr.bad");
                std::filesystem::remove(dir / "fldr.log");
                std::vector<std::string> extra = {"ERRORS=" + std::to_string(c.errors), "ROWS=3000",
                                                  "TASK_THREAD_NUMBER=" + std::to_string(workers)};
                if (c.load != 0)
                    extra.push_back("LOAD=" + std::to_string(c.load));
                const RunResult r = load(ctl, extra);
                ASSERT_TRUE(r.status == 0 || r.status == 1) << r.err;
                expect_outcome(*db, dir, r, tables, want,
                               std::string(c.name) + ", " + std::to_string(workers) + " workers, run " +
                                   std::to_string(run) + "\n" + r.out + r.err);
                if (HasFailure())
                    return;
            }
    }
}

/* A load stopped by ERRORS, restarted with SKIP set to the rows skipped and
** read, again and again: every accepted row of the two data files is stored
** once, and each run stops at the next bad row. */
TEST_F(Load, RestartsWithSkipNeitherRepeatNorLoseRows)
{
    SmallBuffers buffers(20000);
    const std::vector<int64_t> bad = {700, 5200, 9001, 9002, 13999};
    std::string first, second;
    int64_t sum = 0;   /* of the ids that must be stored */
    for (int i = 1; i <= 14000; i++) {
        const bool spoiled = std::count(bad.begin(), bad.end(), i) != 0;
        (i <= 6000 ? first : second) += (spoiled ? "x" : "") + std::to_string(i) + "|n\n";
        sum += spoiled ? 0 : i;
    }
    dir.write("r1.txt", first);
    dir.write("r2.txt", second);
    db->table("r", "id INTEGER UNIQUE, note VARCHAR(10)");
    const std::string ctl =
        "LOAD DATA INFILE 'r1.txt', 'r2.txt' APPEND INTO TABLE r FIELDS TERMINATED BY '|' (id, note)\n";
    int64_t done = 0;
    std::vector<int64_t> stops;
    for (int run = 0; run < 10; run++) {
        const RunResult r = load(ctl, {"ERRORS=0", "ROWS=1000", "TASK_THREAD_NUMBER=" + std::to_string(2 + run % 3),
                                       "SKIP=" + std::to_string(done)});
        EXPECT_THAT(r.out, testing::HasSubstr("Skip logic record counts: " + std::to_string(done) + "\n"));
        std::smatch read;
        ASSERT_TRUE(std::regex_search(r.out, read, std::regex("Read logic record counts: ([0-9]+)"))) << r.out;
        done += std::stoll(read[1]);
        if (r.status == 0)
            break;
        ASSERT_EQ(r.status, 1) << r.err;
        stops.push_back(done);
    }
    EXPECT_EQ(stops, bad);
    EXPECT_EQ(db->one("SELECT count(*) || ':' || count(DISTINCT id) || ':' || sum(id) FROM r"),
              "13995:13995:" + std::to_string(sum));
}

}  // namespace qxtest

#endif
