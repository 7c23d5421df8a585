/*
** Output files of a load: see outfile.h for the rules they keep.
*/
#include "outfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "qxfldr_comm.h"
#include "qxos.h"

namespace qxfldr {

namespace {

std::string normal_path(const std::string &path)
{
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(path, ec);
    return (ec ? std::filesystem::path(path) : abs).lexically_normal().string();
}

}  // namespace

void add_load_input(std::vector<LoadInput> &inputs, std::string what, const std::string &path)
{
    LoadInput in;
    in.what = std::move(what);
    in.path = normal_path(path);
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
        in.exists = true;
        in.dev = st.st_dev;
        in.ino = st.st_ino;
    }
    inputs.push_back(std::move(in));
}

const LoadInput *input_at(const std::string &path, const std::vector<LoadInput> &inputs)
{
    struct stat st{};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const std::string normal = exists ? std::string() : normal_path(path);
    for (const LoadInput &in : inputs)
        if (exists ? in.exists && in.dev == st.st_dev && in.ino == st.st_ino : !in.exists && in.path == normal)
            return &in;
    return nullptr;
}

std::string check_output(const std::string &keyword, const std::string &path, const std::vector<LoadInput> &inputs)
{
    const std::string named = keyword + " " + path;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 && errno != ENOENT)
        return "cannot use " + named + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode))
        return named + " is a symbolic link; the loader does not write through links";
    if (S_ISDIR(st.st_mode))
        return named + " is a directory";
    if (const LoadInput *in = input_at(path, inputs))
        return named + " is " + in->what + "; the loader never writes over a file it reads";
    return "";
}

/* ---------------------------------------------------------------- OutputFile */

OutputFile::~OutputFile()
{
    if (handle_ != OS_INVALID_HANDLE)
        os_file_close_normal(handle_);
}

bool OutputFile::open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_locked();
}

bool OutputFile::open_locked()
{
    if (!error_.empty())
        return false;
    if (handle_ != OS_INVALID_HANDLE)
        return true;
    /* The runtime takes the library's path form, "\" for "/". */
    std::string stored = path_;
    for (char &c : stored)
        if (c == '/')
            c = '\\';
    handle_ = os_file_open_append(stored.c_str());
    if (handle_ == OS_INVALID_HANDLE) {
        const int err = os_last_error();
        fail_locked("cannot open the", err);
        if (err == ELOOP)
            error_ += " (a symbolic link is not followed)";
        return false;
    }
    return true;
}

bool OutputFile::write(std::string_view bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_locked())
        return false;
    /* The runtime appends at most 4 GiB - 1 in one call; a row or a line is
    ** far smaller (the read buffer bounds it). */
    if (bytes.size() > UINT32_MAX || os_file_append(handle_, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0) {
        fail_locked("cannot write the", bytes.size() > UINT32_MAX ? EFBIG : os_last_error());
        return false;
    }
    return true;
}

bool OutputFile::remove_stale()
{
    struct stat st{};
    if (::lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    if (std::remove(path_.c_str()) == 0)
        return true;
    const int err = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    fail_locked("cannot remove the earlier", err);
    return false;
}

void OutputFile::fail_locked(const char *failed_to, int err)
{
    if (error_.empty())
        error_ = std::string(failed_to) + " " + what_ + " " + path_ + ": " + std::strerror(err);
}

bool OutputFile::failed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !error_.empty();
}

std::string OutputFile::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

/* ---------------------------------------------------------------- LogFile */

bool LogFile::line(const std::string &text)
{
    if (!opened_)
        return true;
    char head[FLDR_LOG_HEAD_MAX];
    fldr_log_set_head_info(nullptr, nullptr, head);
    return file_.write(std::string(head) + text + "\n");
}

}  // namespace qxfldr
