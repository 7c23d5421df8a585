/*
** Checks of the files a load reads: see inputs.h.
*/
#include "inputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qxfldr_comm.h"

namespace qxfldr {

namespace {

/* Why a file that is not a regular file cannot be read as one. */
std::string not_regular(const std::string &named, mode_t mode)
{
    const char *kind = S_ISDIR(mode)                    ? "a directory"
                       : S_ISFIFO(mode)                 ? "a FIFO (named pipe)"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                       : S_ISSOCK(mode)                 ? "a socket"
                                                        : nullptr;
    return kind != nullptr ? named + " is " + kind + ", not a regular file" : named + " is not a regular file";
}

/*
** Describes path as the load would read it: "" and st filled for a regular
** file that opens for reading, else why not, starting with `named`. Only a
** regular file is opened (opening a FIFO would wait for a writer, opening a
** device may act on it); it is opened without blocking and checked again
** once open, in case it was replaced in between.
*/
std::string open_regular(const std::string &named, const std::string &path, struct stat &st)
{
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        struct stat link{};
        if (err == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            return named + " is a dangling symbolic link";
        return "cannot open " + named + ": " + std::strerror(err);
    }
    if (!S_ISREG(st.st_mode))
        return not_regular(named, st.st_mode);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + named + ": " + std::strerror(errno);
    const bool described = ::fstat(fd, &st) == 0;
    const int err = errno;
    ::close(fd);
    if (!described)
        return "cannot open " + named + ": " + std::strerror(err);
    return S_ISREG(st.st_mode) ? "" : not_regular(named, st.st_mode);
}

}  // namespace

std::string control_file_problem(const std::string &path)
{
    const std::string named = "control file " + path;
    struct stat st{};
    if (std::string why = open_regular(named, path, st); !why.empty())
        return why;
    if (st.st_size == 0)
        return named + " is empty";
    if (static_cast<uint64_t>(st.st_size) > FLDR_CTL_FILE_MAX)
        return named + " has " + std::to_string(st.st_size) + " bytes; a control file may have at most " +
               std::to_string(FLDR_CTL_FILE_MAX) + " (1 MiB)";
    return "";
}

std::string data_file_problem(const std::string &path, uint64_t &size)
{
    struct stat st{};
    std::string why = open_regular("data file " + path, path, st);
    size = why.empty() ? static_cast<uint64_t>(st.st_size) : 0;
    return why;
}

std::string list_file_problem(const std::string &path)
{
    struct stat st{};
    return open_regular("list file " + path, path, st);
}

std::string directory_problem(const std::string &path)
{
    DIR *dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return errno == ENOTDIR ? "directory " + path + " is not a directory"
                                : "cannot open directory " + path + ": " + std::strerror(errno);
    ::closedir(dir);
    return "";
}

}  // namespace qxfldr
