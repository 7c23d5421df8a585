/*
** Helpers of the end-to-end suites: a fresh directory per test, qxfldr run
** as a process with a time limit, the database a load goes into as the
** tests see it, and an SQLite database read through the C interface.
*/
#ifndef QX_TESTS_QXFLDR_RUN_H
#define QX_TESTS_QXFLDR_RUN_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch.h"

extern char **environ;

namespace qxtest {

/* A fresh directory per test; `dir / "name"` is the path of a file in it. */
using Dir = TempDir;

/* `rows` rows "i<sep>row number i%1000", one a line. */
inline std::string numbered_rows(int rows, char sep)
{
    std::string data;
    for (int i = 0; i < rows; i++)
        data += std::to_string(i) + sep + "row number " + std::to_string(i % 1000) + "\n";
    return data;
}

struct RunResult {
    int         status = -1;   /* exit status, or 128 + signal */
    std::string out, err;
};

/* Starts qxfldr with args, behind `prefix` (a program that runs it, e.g.
** as another user). Standard output goes to dir/.stdout, standard error to
** `err_path` (dir/.stderr when empty; a terminal, say). */
inline pid_t spawn_qxfldr(const Dir &dir, const std::vector<std::string> &args,
                          const std::vector<std::string> &prefix = {}, std::string err_path = "")
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
    const std::string out = dir / ".stdout";
    if (err_path.empty())
        err_path = dir / ".stderr";
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOCTTY, 0644);
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

/*
** The prefix that runs qxfldr under the files' permission bits. Root passes
** them by two capabilities, which setpriv drops for the program it starts:
** the load stays root's, so it reaches a binary in a directory no other
** user may enter (a clone under mktemp -d). Empty for anyone else; `why`
** says why it cannot be done here (the caller then skips).
*/
inline std::vector<std::string> under_file_permissions(std::string &why)
{
    if (geteuid() != 0)
        return {};
    const std::string caps = "-dac_override,-dac_read_search";
    const std::string probe = "setpriv --inh-caps=" + caps + " --bounding-set=" + caps + " true >/dev/null 2>&1";
    if (std::system(probe.c_str()) != 0)
        why = "root here cannot drop the capabilities that pass file permissions (setpriv)";
    return {"setpriv", "--inh-caps=" + caps, "--bounding-set=" + caps};
}

using Rows = std::vector<std::string>;

/* A database the loader loads into, as the tests see it. */
class Target {
public:
    virtual ~Target() = default;
    /* The db= argument of qxfldr; empty for none. */
    virtual std::string db_arg() const = 0;
    virtual bool exec(const std::string &sql) = 0;
    /* Rows as lines, values separated by "|", NULL written as <null>. */
    virtual Rows rows(const std::string &sql) = 0;
    /* The start of the database's message for a key given twice and for a
    ** failed CHECK. */
    virtual std::string duplicate_key_message() const = 0;
    virtual std::string check_message() const = 0;
    /* The ORDER BY that gives rows in the order they were stored; empty where
    ** the database keeps no such order (rows are then compared as sets). */
    virtual std::string stored_order() const { return ""; }

    std::string one(const std::string &sql)
    {
        Rows r = rows(sql);
        return r.empty() ? "<none>" : r[0];
    }
    /* A fresh table: what an earlier test left is dropped first. */
    void table(const std::string &name, const std::string &columns)
    {
        exec("DROP TABLE IF EXISTS " + name);
        EXPECT_TRUE(exec("CREATE TABLE " + name + " (" + columns + ")")) << name;
    }
};

/* An SQLite database file: the loader's default target, and a handle for
** queries and setup. */
class Db final : public Target {
public:
    explicit Db(const std::string &path, bool readonly = false)
    {
        sqlite3_open_v2(path.c_str(), &db_, readonly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Db() override { sqlite3_close(db_); }
    /* No db=: the default, qxfldr.db beside the control file (where the tests keep it). */
    std::string db_arg() const override { return ""; }
    bool exec(const std::string &sql) override
    {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    Rows rows(const std::string &sql) override
    {
        Rows out;
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
    std::string duplicate_key_message() const override { return "UNIQUE constraint failed"; }
    std::string check_message() const override { return "CHECK constraint failed"; }
    std::string stored_order() const override { return " ORDER BY rowid"; }

private:
    sqlite3 *db_ = nullptr;
};

}  // namespace qxtest

#endif
