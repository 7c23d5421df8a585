/*
** A private PostgreSQL cluster for tests (server_proc.h): initdb in a fresh
** temporary directory, the server listening only on a Unix socket inside
** that directory (no TCP port), with trust authentication for the bootstrap
** user "qxtest" and password authentication for the role "qxpw". When the
** tests run as root the server runs as the unprivileged system user
** "qxfldr_test" (created when missing), because it refuses to run as root.
*/
#ifndef PG_CLUSTER_H
#define PG_CLUSTER_H

#include <string>

#include "support/server_proc.h"

namespace pgtest {

class PgCluster {
public:
    PgCluster() = default;
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;
    ~PgCluster() { stop(); }

    /* Finds the server programs, runs initdb and starts the server. */
    bool start(std::string &reason);
    /* Stops the server (fast shutdown) and removes the directory. */
    void stop();
    /* Stops the server as a crash would (immediate shutdown); the data stays. */
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
    /* The first field of the result of one statement, "ERROR: ..." on failure. */
    std::string query_value(const std::string &sql) const;

private:
    std::string bin_dir_;     /* directory of initdb and postgres */
    std::string psql_path_;   /* psql (client package) */
    std::string dir_;         /* temporary directory: data/, the socket, the log */
    std::string run_as_;      /* server user when run as root, else empty */
    uid_t uid_ = static_cast<uid_t>(-1);
    pid_t pid_ = -1;
};

using ClusterEnv = srvtest::ClusterEnv<PgCluster>;
inline PgCluster *current_cluster() { return srvtest::Program<PgCluster>::cluster; }
inline const std::string &cluster_failure() { return srvtest::Program<PgCluster>::failure; }
inline bool cluster_absent() { return srvtest::Program<PgCluster>::absent; }

/* The program's cluster, and SQL run on it through psql that must succeed. */
inline PgCluster &cluster() { return *current_cluster(); }
inline void sql(const std::string &text)
{
    std::string out;
    ASSERT_TRUE(cluster().psql(text, out)) << out;
}

} // namespace pgtest

#define PG_REQUIRE_CLUSTER() SERVER_REQUIRE_CLUSTER(pgtest::PgCluster)

#endif
