/*
** The files a load writes besides the database: the log and the bad-data
** files.
**
** Rules:
**   (1) none of them is opened before check_output() has accepted its name:
**       it is not a symbolic link, not a directory, and not a file the load
**       reads (the control file, a data file, a list file, the database),
**       compared by device and inode, so that another spelling or a hard
**       link of the same file is caught as well;
**   (2) they are opened through the runtime's file layer without following a
**       symbolic link (a link planted after the check is refused too), and
**       written a line or a row at a time, whole or not at all (qxos.h);
**   (3) the first failed write is kept with the system's reason and every
**       later write is refused: the load stops on it, since a log or a
**       bad-data file with a hole would hide which rows were not loaded.
*/
#ifndef QXFLDR_TOOL_OUTFILE_H
#define QXFLDR_TOOL_OUTFILE_H

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qxfldr {

/* A file the load reads, as a refusal names it. */
struct LoadInput {
    std::string what;          /* "the control file", "the database", "data file d.csv" */
    std::string path;          /* absolute and lexically normal */
    bool        exists = false;
    dev_t       dev = 0;       /* exists: the file the path leads to */
    ino_t       ino = 0;
};

/* Records path (relative to the current directory) as an input of the load. */
void add_load_input(std::vector<LoadInput> &inputs, std::string what, const std::string &path);

/* The input that path leads to (by device and inode, or by name when it
** does not exist), or null. */
const LoadInput *input_at(const std::string &path, const std::vector<LoadInput> &inputs);

/*
** Why the load may not write its `keyword` output (LOG, BADFILE) at path, or
** "" when it may: path is a symbolic link or a directory, or leads to one of
** the inputs (a missing output is compared by name with the inputs that do
** not exist yet, such as a database about to be created).
*/
std::string check_output(const std::string &keyword, const std::string &path, const std::vector<LoadInput> &inputs);

/* One output file, shared by the threads of a load (rule 3). */
class OutputFile {
public:
    /* `what` names the file in messages: "log file", "bad-data file". */
    OutputFile(std::string what, std::string path) : what_(std::move(what)), path_(std::move(path)) {}
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    /* Opens the file (appending, created when missing); a file that is not
    ** opened here is opened by its first write. */
    bool open();
    /* Appends the bytes whole. False, with error() set, when they are not
    ** in the file. */
    bool write(std::string_view bytes);
    /* Removes a regular file an earlier run left here, so that its rows are
    ** not taken for this run's; a device or a pipe stays. */
    bool remove_stale();

    bool failed() const;
    /* What failed, with the file and the system's reason. */
    std::string error() const;
    const std::string &path() const { return path_; }

private:
    bool open_locked();
    void fail_locked(const char *failed_to, int err);   /* failed_to: "cannot write the" */

    const std::string what_;
    const std::string path_;
    mutable std::mutex mutex_;   /* guards everything below */
    int64_t     handle_ = -1;    /* runtime file handle, -1 while closed */
    std::string error_;          /* the first failure; non-empty: no more writes */
};

/* The log: lines with the library's head, and the summary as it is. Lines
** before open() go nowhere (the log is opened once its name is checked). */
class LogFile {
public:
    explicit LogFile(std::string path) : file_("log file", std::move(path)) {}
    bool open() { return opened_ = file_.open(); }
    bool line(const std::string &text);
    bool raw(const std::string &text) { return !opened_ || file_.write(text); }
    bool failed() const { return file_.failed(); }
    std::string error() const { return file_.error(); }
    const std::string &path() const { return file_.path(); }

private:
    OutputFile file_;
    bool       opened_ = false;
};

}  // namespace qxfldr

#endif
