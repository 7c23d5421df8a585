/*
** Checks of the files a load reads, made before anything is opened for
** writing: each failure names the file, what it is when it is not a regular
** file (a directory, a FIFO, a device, a dangling link), or the system's
** reason.
*/
#ifndef QXFLDR_TOOL_INPUTS_H
#define QXFLDR_TOOL_INPUTS_H

#include <cstdint>
#include <string>

namespace qxfldr {

/* Why path cannot be the control file, or "". Never blocks: a FIFO is
** recognised without waiting for a writer. The library reads at most
** FLDR_CTL_FILE_MAX bytes of a control file, and nothing of an empty one. */
std::string control_file_problem(const std::string &path);

/* Why path cannot be loaded as a data file, or "" with its size. The file
** is opened and closed again, so that one the user may not read is found
** before a table is touched. */
std::string data_file_problem(const std::string &path, uint64_t &size);

/* Why the list file of INFILE LIST cannot be read, or "". */
std::string list_file_problem(const std::string &path);

/* Why the directory of INFILE DIRECTORY cannot be read, or "". */
std::string directory_problem(const std::string &path);

}  // namespace qxfldr

#endif
