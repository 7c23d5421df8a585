/*
** Helpers of the end-to-end suites: a fresh directory per test, qxfldr run
** as a process with a time limit, and the resulting SQLite database read
** through the C interface.
*/
#ifndef QX_TESTS_QXFLDR_RUN_H
#define QX_TESTS_QXFLDR_RUN_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace qxtest {

class Dir {
public:
    Dir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qxfldr.XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
    }
    ~Dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }
    const std::filesystem::path &path() const { return path_; }
    void write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream out(path_ / name, std::ios::binary);
        out << bytes;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(path_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool exists(const std::string &name) const { return std::filesystem::exists(path_ / name); }

private:
    std::filesystem::path path_;
};

struct RunResult {
    int         status = -1;   /* exit status, or 128 + signal */
    std::string out, err;
};

/* Starts qxfldr with args, behind `prefix` (a program that runs it, e.g.
** as another user); out/err go to files in dir. */
inline pid_t spawn_qxfldr(const Dir &dir, const std::vector<std::string> &args,
                          const std::vector<std::string> &prefix = {})
{
    std::vector<std::string> all = prefix;
    all.push_back(std::string(QX_BIN_DIR) + "/qxfldr");
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::string out = dir / ".stdout", err = dir / ".stderr";
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

inline int wait_status(pid_t pid, int limit_s = 120)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    int st = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

inline RunResult run(const Dir &dir, const std::vector<std::string> &args,
                     const std::vector<std::string> &prefix = {})
{
    RunResult r;
    const pid_t pid = spawn_qxfldr(dir, args, prefix);
    if (pid < 0)
        return r;
    r.status = wait_status(pid);
    r.out = dir.read(".stdout");
    r.err = dir.read(".stderr");
    return r;
}

/* A database handle for queries and setup. */
class Db {
public:
    explicit Db(const std::string &path, bool readonly = false)
    {
        sqlite3_open_v2(path.c_str(), &db_, readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Db() { sqlite3_close(db_); }
    bool exec(const std::string &sql)
    {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    /* Rows as lines, values separated by "|", NULL written as <null>. */
    std::vector<std::string> rows(const std::string &sql)
    {
        std::vector<std::string> out;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            out.push_back(std::string("SQL error: ") + sqlite3_errmsg(db_));
            return out;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string line;
            for (int c = 0; c < sqlite3_column_count(stmt); c++) {
                if (c)
                    line += "|";
                const unsigned char *t = sqlite3_column_text(stmt, c);
                line += t == nullptr ? "<null>" : reinterpret_cast<const char *>(t);
            }
            out.push_back(line);
        }
        sqlite3_finalize(stmt);
        return out;
    }
    std::string one(const std::string &sql)
    {
        auto r = rows(sql);
        return r.empty() ? "<none>" : r[0];
    }

private:
    sqlite3 *db_ = nullptr;
};

}  // namespace qxtest

#endif
