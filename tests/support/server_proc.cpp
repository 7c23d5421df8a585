/*
** Server processes of the test programs: see server_proc.h.
*/
#include "server_proc.h"
#include "scratch.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace srvtest {

std::string sq(const std::string &text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool on_path(const std::string &program)
{
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

bool run_shell(const std::string &cmd, const std::string &out_path, std::string &output)
{
    /* A redirection of the command's own (its SQL) comes after, so wins. */
    const int status = std::system(("(" + cmd + ") >" + sq(out_path) + " 2>&1 </dev/null").c_str());
    output = qxtest::read_file(out_path);
    std::remove(out_path.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string make_temp_dir(const std::string &prefix)
{
    /* Under /tmp whatever TMPDIR says: a socket path must fit in 108 bytes. */
    std::string templ = "/tmp/" + prefix + ".XXXXXX";
    return mkdtemp(templ.data()) != nullptr ? templ : "";
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &log, uid_t uid)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const passwd *pw = uid != static_cast<uid_t>(-1) ? getpwuid(uid) : nullptr;
    const gid_t gid = pw != nullptr ? pw->pw_gid : static_cast<gid_t>(uid);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
        _exit(126);
    /* A change of user clears the parent-death signal: it is set after. */
    if (uid != static_cast<uid_t>(-1) && (setgid(gid) != 0 || setuid(uid) != 0))
        _exit(126);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)   /* the test program ended before the signal was set */
        _exit(1);
    execvp(args[0], args.data());
    _exit(127);
}

bool wait_ready(pid_t &pid, const std::function<bool()> &ready, const std::string &log, std::string &reason)
{
    for (int i = 0; i < 600; i++) {
        if (ready())
            return true;
        if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) == pid) {   /* no fork, or it ended */
            pid = -1;
            reason = "the server did not start: " + qxtest::read_file(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    reason = "the server did not answer in 60 s: " + qxtest::read_file(log);
    return false;
}

void remove_dir(std::string &dir)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
    dir.clear();
}

void stop_process(pid_t &pid, int sig)
{
    if (pid <= 0)
        return;
    ::kill(pid, sig);
    bool ended = false;
    for (int i = 0; i < 300 && !(ended = waitpid(pid, nullptr, WNOHANG) == pid); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!ended) {   /* a server that hangs at its end is killed */
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

} // namespace srvtest
