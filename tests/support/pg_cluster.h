/*
** A private PostgreSQL cluster for tests: initdb and pg_ctl in a fresh
** temporary directory, listening only on a Unix socket inside that
** directory (no TCP port, so several test programs can run at once), with
** trust authentication for the bootstrap user "qxtest" and password
** authentication for the role "qxpw". When the tests run as root the
** server runs as the unprivileged system user "qxfldr_test" (created when
** missing), because the server refuses to run as root.
**
** Rules:
**   (1) a test program starts one cluster (a GoogleTest global environment
**       that calls start() once) and stops it at the end; no test talks to
**       a server it did not start.
**   (2) start() returns false with `reason` filled when the server programs
**       cannot be found: only then may tests skip. Any other failure is an
**       error the test must report.
**   (3) stop() and the destructor stop the server and remove the directory.
*/
#ifndef PG_CLUSTER_H
#define PG_CLUSTER_H

#include <gtest/gtest.h>

#include <string>

namespace pgtest {

class PgCluster {
public:
    PgCluster() = default;
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;
    ~PgCluster();

    /* Finds the server programs, runs initdb and starts the server. */
    bool start(std::string &reason);
    /* Stops the server (fast mode) and removes the directory. */
    void stop();

    /* Kills the server as a crash would (immediate mode); the data stays. */
    bool stop_immediate(std::string &reason);
    /* Starts the server again on the same data directory. */
    bool restart(std::string &reason);

    bool found() const { return !bin_dir_.empty(); }
    /* A libpq connection string for `user` (default: the bootstrap user). */
    std::string conninfo(const std::string &user = "qxtest", const std::string &db = "postgres") const;
    /* A postgresql:// URI for the same connection (socket directory as host). */
    std::string uri(const std::string &user = "qxtest", const std::string &db = "postgres") const;
    const std::string &socket_dir() const { return dir_; }
    const std::string &bin_dir() const { return bin_dir_; }

    /* Runs SQL through psql as the bootstrap user; false with its output on failure. */
    bool psql(const std::string &sql, std::string &output) const;
    /* Runs one SQL statement through psql and returns the first field of its result. */
    std::string query_value(const std::string &sql) const;

private:
    bool run(const std::string &program, const std::string &args, std::string &output,
             bool as_server_user) const;

    std::string bin_dir_;     /* directory of initdb, pg_ctl, postgres */
    std::string psql_path_;   /* psql (client package) */
    std::string dir_;         /* temporary directory: data/ and the socket */
    std::string run_as_;      /* server user when run as root, else empty */
    bool running_ = false;
};

/* The cluster of the current test program (set by the global environment). */
PgCluster *current_cluster();
/* Why the current program has no running cluster (empty when it has one). */
const std::string &cluster_failure();
/* 1 when the server programs are missing (tests skip), 0 otherwise. */
bool cluster_absent();

/*
** Starts the program's cluster once, before the first test, and stops it
** after the last. A test program registers it with
**   static auto *const env = testing::AddGlobalTestEnvironment(new pgtest::ClusterEnv);
** and begins each test with PG_REQUIRE_CLUSTER().
*/
void start_program_cluster();
void stop_program_cluster();

} // namespace pgtest

namespace pgtest {
class ClusterEnv : public ::testing::Environment {
public:
    void SetUp() override { start_program_cluster(); }
    void TearDown() override { stop_program_cluster(); }
};

/* The program's cluster, and SQL run on it through psql that must succeed. */
inline PgCluster &cluster() { return *current_cluster(); }
inline void sql(const std::string &text)
{
    std::string out;
    ASSERT_TRUE(cluster().psql(text, out)) << out;
}
} // namespace pgtest

/* Skips when the server programs are absent, fails on any other start failure. */
#define PG_REQUIRE_CLUSTER()                                                    \
    do {                                                                        \
        if (pgtest::current_cluster() == nullptr) {                             \
            if (pgtest::cluster_absent())                                       \
                GTEST_SKIP() << pgtest::cluster_failure();                      \
            FAIL() << "test cluster: " << pgtest::cluster_failure();           \
        }                                                                       \
    } while (0)

#endif
