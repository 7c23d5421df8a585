/*
** Private test cluster: see pg_cluster.h.
*/
#include "pg_cluster.h"
#include "scratch.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace pgtest {

namespace {

using srvtest::sq;

const char *const kServerUser = "qxfldr_test";

bool is_executable(const std::string &path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

/* The directory holding initdb and postgres, or empty; `scratch` takes a
** command's output. */
std::string find_bin_dir(const std::string &scratch)
{
    if (const char *env = std::getenv("QX_PG_BINDIR"); env != nullptr && *env != '\0')
        return is_executable(std::string(env) + "/initdb") ? env : "";
    // Debian keeps the server programs in a versioned directory off PATH:
    // take the newest version present.
    std::string best;
    int best_version = -1;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const int version = std::atoi(entry.path().filename().c_str());
        const std::string bin = entry.path().string() + "/bin";
        if (version > best_version && is_executable(bin + "/initdb") && is_executable(bin + "/postgres")) {
            best = bin;
            best_version = version;
        }
    }
    std::string out;
    if (best.empty() && srvtest::run_shell("pg_config --bindir", scratch, out)) {
        out.erase(out.find_last_not_of("\r\n") + 1);
        if (is_executable(out + "/initdb") && is_executable(out + "/postgres"))
            best = out;
    }
    return best;
}

/* The unprivileged server user, made when missing; false when it cannot be. */
bool server_user(uid_t &uid)
{
    if (getpwnam(kServerUser) == nullptr)
        (void)std::system((std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                           kServerUser + " >/dev/null 2>&1").c_str());
    const passwd *pw = getpwnam(kServerUser);
    if (pw == nullptr)
        return false;
    uid = pw->pw_uid;
    return true;
}

} // namespace

bool PgCluster::start(std::string &reason)
{
    dir_ = srvtest::make_temp_dir("qxpg");
    if (dir_.empty()) {
        reason = "cannot make a temporary directory under /tmp";
        return false;
    }
    bin_dir_ = find_bin_dir(dir_ + "/cmd.out");
    if (bin_dir_.empty()) {
        reason = "PostgreSQL server programs (initdb, postgres) not found; scripts/install-deps installs them";
        return false;
    }
    psql_path_ = is_executable(bin_dir_ + "/psql") ? bin_dir_ + "/psql" : "psql";
    if (geteuid() == 0) {
        if (!server_user(uid_)) {
            reason = std::string("cannot create the system user ") + kServerUser + " to run the test server as";
            return false;
        }
        run_as_ = kServerUser;
        if (chown(dir_.c_str(), uid_, static_cast<gid_t>(-1)) != 0) {
            reason = "cannot hand " + dir_ + " to " + kServerUser;
            return false;
        }
    }
    std::string out;
    const std::string initdb = (run_as_.empty() ? "" : "runuser -u " + run_as_ + " -- ") + sq(bin_dir_ + "/initdb");
    if (!srvtest::run_shell(initdb + " -D " + sq(dir_ + "/data") +
                                " -U qxtest -A trust -E UTF8 --locale=C --no-sync --no-instructions",
                            dir_ + "/initdb.out", out)) {
        reason = "initdb failed: " + out;
        return false;
    }
    qxtest::write_file(dir_ + "/data/pg_hba.conf", "local all qxpw scram-sha-256\nlocal all all trust\n");
    return restart(reason);
}

bool PgCluster::restart(std::string &reason)
{
    pid_ = srvtest::spawn({bin_dir_ + "/postgres", "-D", dir_ + "/data", "-k", dir_, "-c", "listen_addresses=",
                           "-c", "fsync=off", "-c", "full_page_writes=off", "-c", "max_connections=40", "-c",
                           "shared_buffers=32MB"},
                          dir_ + "/server.log", uid_);
    std::string out;
    return srvtest::wait_ready(pid_, [&] { return psql("SELECT 1", out); }, dir_ + "/server.log", reason);
}

bool PgCluster::stop_immediate(std::string &reason)
{
    if (pid_ <= 0)
        reason = "the server is not running";
    const bool running = pid_ > 0;
    srvtest::stop_process(pid_, SIGQUIT);   /* nothing to do when it is not running */
    return running;
}

void PgCluster::stop()
{
    srvtest::stop_process(pid_, SIGINT);
    srvtest::remove_dir(dir_);
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
    const std::string sql_path = dir_ + "/cmd.sql";
    qxtest::write_file(sql_path, sql + "\n");
    const bool ok = srvtest::run_shell(sq(psql_path_) + " -X -q -A -t -v ON_ERROR_STOP=1 -h " + sq(dir_) +
                                           " -U qxtest -d postgres -f " + sq(sql_path),
                                       dir_ + "/cmd.out", output);
    std::remove(sql_path.c_str());
    return ok;
}

std::string PgCluster::query_value(const std::string &sql) const
{
    std::string out;
    if (!psql(sql, out))
        return "ERROR: " + out;
    out.erase(out.find_last_not_of("\r\n") + 1);
    return out;
}

} // namespace pgtest
