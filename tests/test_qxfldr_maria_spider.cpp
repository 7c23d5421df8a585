/*
** qxfldr into Spider tables: three private servers, server 0 the front node
** (the Spider engine installed, servers b1 and b2 declared), servers 1 and 2
** the backends. What is checked is what the front node sees: every row the
** loader stored is found by a pruned lookup through the front, so it is on
** the shard the front looks in.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "maria_catalog.h"
#include "maria_shard.h"
#include "support/qxfldr_run.h"
#include "support/maria_sql.h"

namespace {

[[maybe_unused]] auto *const g_env = testing::AddGlobalTestEnvironment(new mariatest::ClusterEnv(3));

using mariatest::cluster;

/* The Spider engine on the front and one declared server per backend, once. */
void spider_setup()
{
    static bool done = false;
    if (done)
        return;
    std::string sql = "INSTALL SONAME 'ha_spider';";
    for (int b = 1; b <= 2; b++)
        sql += "CREATE SERVER b" + std::to_string(b) + " FOREIGN DATA WRAPPER mysql OPTIONS (HOST '127.0.0.1', PORT " +
               std::to_string(cluster().port(b)) + ", USER 'qx', PASSWORD 'qxpw', DATABASE 'qx');";
    mariatest::sql(0, sql);
    done = true;
}

/* Table `name` (columns `cols`) on both backends and as a Spider table on
** the front, partitioned by `partitioning` whose partitions are given
** with `parts` (each naming its server). */
void spider_table(const std::string &name, const std::string &cols, const std::string &partitioning,
                  const std::string &parts)
{
    spider_setup();
    for (int b = 1; b <= 2; b++)
        mariatest::sql(b, "DROP TABLE IF EXISTS " + name + "; CREATE TABLE " + name + " (" + cols + ")");
    mariatest::sql(0, "DROP TABLE IF EXISTS " + name + "; CREATE TABLE " + name + " (" + cols +
                          ") ENGINE=SPIDER COMMENT='wrapper \"mysql\", table \"" + name + "\"' PARTITION BY " +
                          partitioning + " (" + parts + ")");
}

/* The counts of the summary, in its order. */
std::string counts(int loaded, int format, int data)
{
    return std::to_string(loaded) + " rows loaded success.\n" + std::to_string(format) +
           " rows not loaded due to data format error.\n" + std::to_string(data) + " rows not loaded due to data error.\n";
}

const char *const kTwoHashParts = "PARTITION p0 COMMENT = 'srv \"b1\"', PARTITION p1 COMMENT = 'srv \"b2\"'";

/* Ids the front node does not find by `WHERE id = x`, among `ids`. */
std::vector<int64_t> not_found_through_front(qxmaria::Conn &front, const std::string &table,
                                             const std::vector<int64_t> &ids)
{
    std::vector<int64_t> missing;
    for (int64_t id : ids) {
        std::vector<qxmaria::Row> rows;
        std::string err;
        if (!front.query("SELECT id FROM " + table + " WHERE id = " + std::to_string(id), rows, err) || rows.size() != 1)
            missing.push_back(id);
    }
    return missing;
}

/* A HASH table over two shards, 200,000 rows with quoted fields, doubled
** quotes, 4-byte characters, negative keys; a key a shard already holds is
** refused with the backend's message; each backend holds only its
** partition's rows, and the rows looked up through the front (every 50th,
** and all of a window around 0) are found there. */
TEST(QxfldrSpider, HashShardsLoadedDirectly)
{
    MARIA_REQUIRE_CLUSTER();
    spider_table("s", "id INT PRIMARY KEY, name VARCHAR(12), born DATE", "HASH (id)", kTwoHashParts);
    std::string data;
    std::vector<int64_t> good;
    for (int64_t i = -100000; i < 100000; i++) {
        data += std::to_string(i) + "|\"a \"\"q\"\" \xF0\x9F\x8D\x80\"|2001-02-03\n";
        if (i % 50 == 0 || (i > -1000 && i < 1000))
            good.push_back(i);
    }
    data += "-3|\"again\"|2001-01-01\n";
    qxtest::Dir dir;
    dir.write("s.txt", data);
    const qxtest::RunResult r = mariatest::load(dir,
                                     "LOAD DATA INFILE 's.txt' APPEND INTO TABLE s FIELDS TERMINATED BY '|' "
                                     "OPTIONALLY ENCLOSE BY '\"' (id, name, born)\n",
                                     {"ERRORS=10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(200000, 0, 1)), std::string::npos) << r.out;
    const std::string log = dir.read("fldr.log");
    EXPECT_NE(log.find("table S is a Spider table over 2 partitions (HASH on id): each backend is loaded directly"),
              std::string::npos) << log;
    EXPECT_NE(log.find("row 200001: refused by the database: Duplicate entry '-3'"), std::string::npos) << log;
    EXPECT_EQ(dir.read("fldr.bad"), "-3|\"again\"|2001-01-01\n");

    qxmaria::Conn front = mariatest::connect(0);
    EXPECT_THAT(not_found_through_front(front, "s", good), testing::IsEmpty());
    EXPECT_EQ(cluster().query_value(0, "SELECT name FROM s WHERE id = -3"), "a \"q\" \xF0\x9F\x8D\x80");
    EXPECT_EQ(cluster().query_value(1, "SELECT COUNT(*) FROM s WHERE MOD(id, 2) <> 0"), "0");
    EXPECT_EQ(cluster().query_value(2, "SELECT COUNT(*) FROM s WHERE MOD(id, 2) = 0"), "0");
    EXPECT_EQ(std::stoi(cluster().query_value(1, "SELECT COUNT(*) FROM s")) +
                  std::stoi(cluster().query_value(2, "SELECT COUNT(*) FROM s")),
              200000);
}

/* The loader's partition of a value is the front node's, for HASH, RANGE
** and LIST, negative and extreme values and NULL included: each value is
** inserted through the front, and the backend table it lands in (one per
** partition) must be the one the loader computes. */
TEST(QxfldrSpider, PartitionsComputedAsTheFrontDoes)
{
    MARIA_REQUIRE_CLUSTER();
    struct Layout {
        const char *partitioning, *bounds[3], *columns;
    } layouts[] = {
        {"HASH (id)", {"", "", ""}, "id INT, v INT"},
        {"LINEAR HASH (id)", {"", "", ""}, "id INT, v INT"},
        {"RANGE (id)", {"VALUES LESS THAN (-10)", "VALUES LESS THAN (100)", "VALUES LESS THAN MAXVALUE"}, "id INT, v INT"},
        {"LIST (id)", {"VALUES IN (1, 3, -5, NULL)", "VALUES IN (0, 2, 4, 2147483647)", "VALUES IN (-1, -2147483648)"},
         "id INT, v INT"},
        {"KEY (id)", {"", "", ""}, "id INT, v INT"},
        {"LINEAR KEY (id)", {"", "", ""}, "id BIGINT, v INT"},
        {"KEY (id)", {"", "", ""}, "id MEDIUMINT UNSIGNED, v INT"},
    };
    /* For KEY: byte 'a' (97) weighs as 'A' (65), and a byte 0x20 that ends
    ** the stored value (little-endian: its top byte) weighs as a space and
    ** is dropped. */
    const std::vector<std::optional<int64_t>> values = {
        std::nullopt, 0, 1, 2, 3, 4, 5, -1, -2, -3, -5, -10, -11, 65, 97, 99, 100, 101, 0x20000000, 0x20000001,
        0x20414243, 2147483647, -2147483647 - 1, 1000000007};
    for (const Layout &l : layouts) {
        std::string parts;
        for (int p = 0; p < 3; p++) {
            const std::string table = "pt_p" + std::to_string(p);
            const int backend = p == 1 ? 2 : 1;
            mariatest::sql(backend, "DROP TABLE IF EXISTS " + table + "; CREATE TABLE " + table + " (" + l.columns + ")");
            parts += (p ? ", PARTITION p" : "PARTITION p") + std::to_string(p) + " " + l.bounds[p] +
                     " COMMENT = 'srv \"b" + std::to_string(backend) + "\", table \"" + table + "\"'";
        }
        spider_table("pt", l.columns, l.partitioning, parts);
        qxmaria::Conn front = mariatest::connect(0);
        qxmaria::Table table;
        qxmaria::Layout layout;
        std::string err;
        ASSERT_TRUE(qxmaria::describe_table(front, qxmaria::TableRef{"", "pt", false, true}, table, err)) << err;
        ASSERT_TRUE(qxmaria::read_layout(front, table, layout, err)) << err;
        ASSERT_TRUE(layout.routed) << l.partitioning << ": " << layout.why_not;
        ASSERT_EQ(layout.shards.size(), 3u);
        EXPECT_EQ(layout.shards[1].backend.port, cluster().port(2));
        EXPECT_EQ(layout.shards[2].table, "pt_p2");
        for (size_t i = 0; i < values.size(); i++) {
            const std::string v = values[i] ? std::to_string(*values[i]) : std::string("NULL");
            const bool stored = front.exec("INSERT INTO pt VALUES (" + v + ", " + std::to_string(i) + ")", err);
            if (!stored && err.find("no partition") == std::string::npos)
                continue;   /* out of the column's range */
            const int mine = layout.partition_of(values[i]);
            int theirs = -1;
            for (int p = 0; stored && p < 3; p++)
                if (cluster().query_value(p == 1 ? 2 : 1, "SELECT COUNT(*) FROM pt_p" + std::to_string(p) +
                                                              " WHERE v = " + std::to_string(i)) == "1")
                    theirs = p;
            EXPECT_EQ(mine, theirs) << l.partitioning << " value " << v << (stored ? "" : ": " + err);
        }
    }
}

/* REPLACE empties the table on every shard, and none when it stops before
** a row is kept; RANGE rows past every bound are refused as the server
** refuses them. */
TEST(QxfldrSpider, ReplaceEmptiesEveryShardAndRangeRefusesUnplacedRows)
{
    MARIA_REQUIRE_CLUSTER();
    spider_table("r", "id INT PRIMARY KEY, v VARCHAR(10)", "RANGE (id)",
                 "PARTITION p0 VALUES LESS THAN (100) COMMENT = 'srv \"b1\"', "
                 "PARTITION p1 VALUES LESS THAN (200) COMMENT = 'srv \"b2\"'");
    mariatest::sql(1, "INSERT INTO r VALUES (1, 'old'), (2, 'old')");
    mariatest::sql(2, "INSERT INTO r VALUES (150, 'old')");
    qxtest::Dir dir;
    dir.write("r.txt", "5|new\n120|new\n250|new\n99|new\n");
    const std::string ctl = "LOAD DATA INFILE 'r.txt' REPLACE INTO TABLE r FIELDS TERMINATED BY '|' (id, v)\n";
    const qxtest::RunResult r = mariatest::load(dir, ctl);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(counts(3, 0, 1)), std::string::npos) << r.out;
    EXPECT_NE(dir.read("fldr.log").find("row 3: refused by the database: Table has no partition for value 250"),
              std::string::npos) << dir.read("fldr.log");
    qxmaria::Conn front = mariatest::connect(0);
    EXPECT_EQ(mariatest::rows_of(front, "SELECT id, v FROM r ORDER BY id"), (std::vector<std::string>{"5|new", "99|new", "120|new"}));
    EXPECT_EQ(cluster().query_value(1, "SELECT GROUP_CONCAT(id ORDER BY id) FROM r"), "5,99");
    EXPECT_EQ(cluster().query_value(2, "SELECT GROUP_CONCAT(id ORDER BY id) FROM r"), "120");

    dir.write("r.txt", "five|new\n5|new\n");
    EXPECT_NE(mariatest::load(dir, ctl, {"ERRORS=0"}).status, 0);
    EXPECT_EQ(cluster().query_value(1, "SELECT GROUP_CONCAT(id ORDER BY id) FROM r"), "5,99");
    EXPECT_EQ(cluster().query_value(2, "SELECT GROUP_CONCAT(id ORDER BY id) FROM r"), "120");
}

/* Exact stop points across shards: with ERRORS=1 the load stops at the
** second refused key (row 1700) whatever the number of workers, the rows
** before it stored on their shards and none after it. */
TEST(QxfldrSpider, StopPointsAcrossShards)
{
    MARIA_REQUIRE_CLUSTER();
    spider_table("e", "id INT PRIMARY KEY, v VARCHAR(10)", "HASH (id)", kTwoHashParts);
    std::string data;
    for (int i = 1; i <= 2000; i++)
        data += std::to_string(i == 700 || i == 1700 ? i - 600 : i) + "|v\n";   /* keys 100 and 1100 again */
    qxtest::Dir dir;
    dir.write("e.txt", data);
    const std::string ctl = "LOAD DATA INFILE 'e.txt' APPEND INTO TABLE e FIELDS TERMINATED BY '|' (id, v)\n";
    for (const char *workers : {"1", "2"}) {
        for (int b = 1; b <= 2; b++)
            mariatest::sql(b, "DELETE FROM e");
        const qxtest::RunResult r =
            mariatest::load(dir, ctl, {"ERRORS=1", "ROWS=250", std::string("TASK_THREAD_NUMBER=") + workers});
        EXPECT_NE(r.out.find(counts(1698, 0, 2)), std::string::npos) << workers << "\n" << r.out << r.err;
        EXPECT_EQ(cluster().query_value(0, "SELECT CONCAT(COUNT(*), ':', MAX(id)) FROM e"), "1698:1699") << workers;
    }
}

/* Where the loader finds the backends: the table's CONNECTION option names
** one as its COMMENT does, the COMMENT's value first where both give one; a
** partition's own CONNECTION is not read, nor is KEY of ALGORITHM=1
** computed, so those tables are loaded through the front node, while plain
** KEY is routed (backend 0: the rows spread over both). Either way the rows
** are on the backend the front reads, the front finds every one, and a key
** given twice is refused. */
TEST(QxfldrSpider, BackendsAreFoundAsTheFrontFindsThem)
{
    MARIA_REQUIRE_CLUSTER();
    spider_setup();
    const struct {
        const char *options;
        int backend;
        const char *logged;
    } cases[] = {
        {"COMMENT='table \"c\"' CONNECTION='srv \"b2\"'", 2, "each backend is loaded directly"},
        {"COMMENT='srv \"b1\", table \"c\"' CONNECTION='srv \"b2\", table \"x\"'", 1, "each backend is loaded directly"},
        {"COMMENT='table \"c\"' PARTITION BY HASH (id) (PARTITION p0 COMMENT='srv \"b1\"' CONNECTION='srv \"b2\"')", 1,
         "a partition names its backend in a CONNECTION option, which is not read here"},
        {"COMMENT='table \"c\"' PARTITION BY KEY (id) (PARTITION p0 COMMENT='srv \"b1\"', PARTITION p1 COMMENT='srv \"b2\"')",
         0, "(KEY on id): each backend is loaded directly"},
        {"COMMENT='table \"c\"' PARTITION BY KEY ALGORITHM=1 (id) (PARTITION p0 COMMENT='srv \"b1\"', PARTITION p1 "
         "COMMENT='srv \"b2\"')",
         0, "its KEY partitioning is of ALGORITHM=1): rows go through the front node"},
    };
    std::string data;
    std::vector<int64_t> ids;
    for (int i = -150; i < 150; i++) {
        data += std::to_string(i * 7) + "|v\n";
        ids.push_back(i * 7);
    }
    qxtest::Dir dir;
    dir.write("c.txt", data + "7|dup\n");
    for (const auto &c : cases) {
        for (int b = 1; b <= 2; b++)
            mariatest::sql(b, "DROP TABLE IF EXISTS c; CREATE TABLE c (id INT PRIMARY KEY, v VARCHAR(10))");
        mariatest::sql(0, std::string("DROP TABLE IF EXISTS c; CREATE TABLE c (id INT PRIMARY KEY, v VARCHAR(10)) "
                                      "ENGINE=SPIDER ") + c.options);
        const qxtest::RunResult r = mariatest::load(
            dir, "LOAD DATA INFILE 'c.txt' APPEND INTO TABLE c FIELDS TERMINATED BY '|' (id, v)\n", {"ROWS=100"});
        EXPECT_EQ(r.status, 0) << c.options << "\n" << r.err;
        EXPECT_NE(r.out.find(counts(300, 0, 1)), std::string::npos) << c.options << "\n" << r.out;
        EXPECT_THAT(dir.read("fldr.log"), testing::HasSubstr(c.logged)) << c.options;
        EXPECT_THAT(dir.read("fldr.log"), testing::HasSubstr("row 301: refused by the database: Duplicate entry '7'"));
        const int on1 = std::stoi(cluster().query_value(1, "SELECT COUNT(*) FROM c"));
        const int on2 = std::stoi(cluster().query_value(2, "SELECT COUNT(*) FROM c"));
        EXPECT_EQ(on1 + on2, 300) << c.options;
        EXPECT_TRUE(c.backend == 0 || (c.backend == 1 ? on1 : on2) == 300) << c.options << ": " << on1 << "+" << on2;
        qxmaria::Conn front = mariatest::connect(0);
        EXPECT_THAT(not_found_through_front(front, "c", ids), testing::IsEmpty()) << c.options;
    }
}

} // namespace
