/*
** Private database servers for the test programs: each server is a child
** process of the test program with its data in a temporary directory of its
** own, so that several test programs can run at once.
**
** Rules:
**   (1) a test program starts its servers once, before the first test (a
**       GoogleTest global environment, ClusterEnv), and stops them and
**       removes their directory after the last;
**   (2) a server never outlives its test program: it is started with a
**       parent-death signal, so a crash, an abort or a kill of the test
**       program ends it as well;
**   (3) a cluster's start() returns false with `reason` when it fails, and
**       found() tells whether the server programs were there: only when they
**       were not may the tests skip (SERVER_REQUIRE_CLUSTER).
*/
#ifndef QX_TESTS_SERVER_PROC_H
#define QX_TESTS_SERVER_PROC_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace srvtest {

/* Single-quoted for /bin/sh. */
std::string sq(const std::string &text);
bool on_path(const std::string &program);
/* Runs a shell command, its output (both streams) read back from `out_path`
** into `output`; true when it exits with 0. */
bool run_shell(const std::string &cmd, const std::string &out_path, std::string &output);
/* A fresh directory /tmp/<prefix>.XXXXXX, "" when none can be made. */
std::string make_temp_dir(const std::string &prefix);

/* Starts argv as a child process (as `uid` when it is not -1), its output
** appended to `log`, that receives SIGKILL when the test program ends (rule 2). */
pid_t spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid = static_cast<uid_t>(-1));
/* Polls ready() every 100 ms for up to 60 s; false with `reason` (and the
** server's `log`) when the process ended or never became ready. */
bool wait_ready(pid_t &pid, const std::function<bool()> &ready, const std::string &log, std::string &reason);
/* Sends `sig` and waits for the end, up to 30 s before SIGKILL; pid becomes -1. */
void stop_process(pid_t &pid, int sig);

/* Removes a server's directory with all in it; dir becomes "". */
void remove_dir(std::string &dir);

/* The servers of the current test program (rule 1). */
template <class Cluster> struct Program {
    inline static Cluster *cluster = nullptr;
    inline static std::string failure = "the test servers were not started";
    inline static bool absent = false;
};

template <class Cluster> class ClusterEnv : public ::testing::Environment {
public:
    template <class... Args> explicit ClusterEnv(Args... args)
        : start_([=](Cluster &c, std::string &why) { return c.start(args..., why); })
    {
    }
    void SetUp() override
    {
        auto c = std::make_unique<Cluster>();
        std::string why;
        if (start_(*c, why)) {
            Program<Cluster>::cluster = c.release();
            Program<Cluster>::failure.clear();
        } else {
            Program<Cluster>::absent = !c->found();
            Program<Cluster>::failure = why;
        }
    }
    void TearDown() override
    {
        delete Program<Cluster>::cluster;
        Program<Cluster>::cluster = nullptr;
    }

private:
    std::function<bool(Cluster &, std::string &)> start_;
};

} // namespace srvtest

/* Skips when the server programs are absent, fails on any other start failure. */
#define SERVER_REQUIRE_CLUSTER(Cluster)                                         \
    do {                                                                        \
        if (srvtest::Program<Cluster>::cluster == nullptr) {                    \
            if (srvtest::Program<Cluster>::absent)                              \
                GTEST_SKIP() << srvtest::Program<Cluster>::failure;             \
            FAIL() << "test servers: " << srvtest::Program<Cluster>::failure;   \
        }                                                                       \
    } while (0)

#endif
