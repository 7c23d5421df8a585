/*
** Private test cluster: see pg_cluster.h. Programs run through /bin/sh with
** their output captured in a file of the cluster directory, so a failure
** can say what the server programs printed.
*/
#include "pg_cluster.h"
#include "scratch.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace pgtest {

namespace {

const char *const kServerUser = "qxfldr_test";
PgCluster *g_program_cluster = nullptr;
std::string g_failure = "the cluster was not started";
bool g_absent = false;

/* Single-quoted for /bin/sh. */
std::string sq(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool is_executable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

/* Output of a shell command (standard output only), or empty. */
std::string capture(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buf[512];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, got);
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

/* The directory holding initdb, pg_ctl and postgres, or empty. */
std::string find_bin_dir()
{
    if (const char *env = std::getenv("QX_PG_BINDIR"); env != nullptr && *env != '\0')
        return is_executable(std::string(env) + "/initdb") ? env : "";
    std::string from_config = capture("pg_config --bindir 2>/dev/null");
    if (is_executable(from_config + "/initdb") && is_executable(from_config + "/postgres"))
        return from_config;
    // Debian keeps the server programs in a versioned directory off PATH:
    // take the newest version present.
    std::string best;
    int best_version = -1;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        std::string name = entry.path().filename().string();
        int version = std::atoi(name.c_str());
        std::string bin = entry.path().string() + "/bin";
        if (version > best_version && is_executable(bin + "/initdb") &&
            is_executable(bin + "/postgres")) {
            best = bin;
            best_version = version;
        }
    }
    if (!best.empty())
        return best;
    std::string on_path = capture("command -v initdb 2>/dev/null");
    if (is_executable(on_path)) {
        std::string dir = std::filesystem::path(on_path).parent_path().string();
        if (is_executable(dir + "/pg_ctl"))
            return dir;
    }
    return "";
}

/* Makes sure the unprivileged server user exists; false when it cannot. */
bool ensure_server_user(std::string &reason)
{
    if (getpwnam(kServerUser) != nullptr)
        return true;
    std::string cmd = std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                      kServerUser + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0 && getpwnam(kServerUser) == nullptr) {
        reason = std::string("cannot create the system user ") + kServerUser +
                 " to run the test server as";
        return false;
    }
    return true;
}

} // namespace

PgCluster::~PgCluster() { stop(); }

bool PgCluster::run(const std::string &program, const std::string &args, std::string &output,
                    bool as_server_user) const
{
    std::string out_path = dir_ + "/cmd.out";
    std::string cmd = sq(program) + " " + args;
    if (as_server_user && !run_as_.empty())
        cmd = "runuser -u " + run_as_ + " -- " + cmd;
    cmd += " >" + sq(out_path) + " 2>&1 </dev/null";
    int status = std::system(cmd.c_str());
    output = qxtest::read_file(out_path);
    std::remove(out_path.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PgCluster::start(std::string &reason)
{
    bin_dir_ = find_bin_dir();
    if (bin_dir_.empty()) {
        reason = "PostgreSQL server programs (initdb, pg_ctl) not found; scripts/install-deps installs them";
        return false;
    }
    psql_path_ = is_executable(bin_dir_ + "/psql") ? bin_dir_ + "/psql" : "psql";

    const char *tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    // The socket path must fit in sun_path (108 bytes).
    if (base.size() > 60)
        base = "/tmp";
    std::string templ = base + "/qxpg.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        reason = "cannot make a temporary directory under " + base;
        bin_dir_.clear();
        return false;
    }
    dir_ = templ;

    if (geteuid() == 0) {
        if (!ensure_server_user(reason))
            return false;
        run_as_ = kServerUser;
        if (std::system(("chown " + std::string(kServerUser) + " " + sq(dir_)).c_str()) != 0) {
            reason = "cannot hand " + dir_ + " to " + kServerUser;
            return false;
        }
    }

    std::string out;
    if (!run(bin_dir_ + "/initdb",
             "-D " + sq(dir_ + "/data") +
                 " -U qxtest -A trust -E UTF8 --locale=C --no-sync --no-instructions",
             out, true)) {
        reason = "initdb failed: " + out;
        return false;
    }
    {
        std::ofstream hba(dir_ + "/data/pg_hba.conf", std::ios::trunc);
        hba << "local all qxpw scram-sha-256\n"
               "local all all trust\n";
        std::ofstream conf(dir_ + "/data/postgresql.conf", std::ios::app);
        conf << "\nlisten_addresses = ''\n"
             << "unix_socket_directories = '" << dir_ << "'\n"
             << "fsync = off\nfull_page_writes = off\n"
             << "max_connections = 40\nshared_buffers = 32MB\n";
    }
    return restart(reason);
}

bool PgCluster::restart(std::string &reason)
{
    std::string out;
    if (!run(bin_dir_ + "/pg_ctl",
             "start -w -t 60 -D " + sq(dir_ + "/data") + " -l " + sq(dir_ + "/server.log"), out,
             true)) {
        reason = "pg_ctl start failed: " + out + qxtest::read_file(dir_ + "/server.log");
        return false;
    }
    running_ = true;
    return true;
}

bool PgCluster::stop_immediate(std::string &reason)
{
    std::string out;
    if (!run(bin_dir_ + "/pg_ctl", "stop -m immediate -w -t 60 -D " + sq(dir_ + "/data"), out,
             true)) {
        reason = "pg_ctl stop failed: " + out;
        return false;
    }
    running_ = false;
    return true;
}

void PgCluster::stop()
{
    if (dir_.empty())
        return;
    if (running_) {
        std::string out;
        run(bin_dir_ + "/pg_ctl", "stop -m fast -w -t 60 -D " + sq(dir_ + "/data"), out, true);
        running_ = false;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    dir_.clear();
}

std::string PgCluster::conninfo(const std::string &user, const std::string &db) const
{
    return "host=" + dir_ + " user=" + user + " dbname=" + db;
}

std::string PgCluster::uri(const std::string &user, const std::string &db) const
{
    // The socket directory goes into the query part: a path as host would
    // need percent-encoding of every "/".
    return "postgresql://" + user + "@/" + db + "?host=" + dir_;
}

bool PgCluster::psql(const std::string &sql, std::string &output) const
{
    std::string sql_path = dir_ + "/cmd.sql";
    {
        std::ofstream f(sql_path, std::ios::trunc);
        f << sql << "\n";
    }
    bool ok = run(psql_path_,
                  "-X -q -A -t -v ON_ERROR_STOP=1 -h " + sq(dir_) + " -U qxtest -d postgres -f " +
                      sq(sql_path),
                  output, false);
    std::remove(sql_path.c_str());
    return ok;
}

std::string PgCluster::query_value(const std::string &sql) const
{
    std::string out;
    if (!psql(sql, out))
        return "ERROR: " + out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

PgCluster *current_cluster() { return g_program_cluster; }
const std::string &cluster_failure() { return g_failure; }
bool cluster_absent() { return g_absent; }

void start_program_cluster()
{
    if (g_program_cluster != nullptr)
        return;
    auto *cluster = new PgCluster;
    std::string reason;
    if (!cluster->start(reason)) {
        g_absent = !cluster->found();
        g_failure = reason;
        delete cluster;
        return;
    }
    g_failure.clear();
    g_program_cluster = cluster;
}

void stop_program_cluster()
{
    delete g_program_cluster;
    g_program_cluster = nullptr;
}

} // namespace pgtest
