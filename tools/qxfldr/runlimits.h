/*
** What a load may take of the machine, settled before anything is
** allocated: the numbers of the command line and of OPTIONS that the loader
** acts on, its worker threads, and one memory limit for its buffers.
**
** The memory limit is 1 GiB, at most half of physical memory, unless
** MEMORY gives it (MiB, or a share of physical memory as "N%"). What it
** bounds, for the largest group of tables loaded together:
**   (1) the read buffers: the reading table's, each further table's (a
**       chunk is copied into the buffer of every further table that takes
**       a row of it);
**   (2) the tasks with their first offset arrays and the table instances;
**   (3) the converted batches: never more than chunks (a batch holds its
**       chunk until it is stored, whether it waits for its turn in file
**       order, is being filled or is being stored), each counted at twice
**       its chunk (text arena and values).
** Buffers are not filled up front: the limit bounds what the loader can
** come to touch, not what it touches at the start.
*/
#ifndef QXFLDR_TOOL_RUNLIMITS_H
#define QXFLDR_TOOL_RUNLIMITS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ctltext.h"
#include "qxfldr_comm.h"
#include "tool.h"

namespace qxfldr {

constexpr uint64_t kDefaultMemory = uint64_t{1} << 30;  /* the limit unless MEMORY says otherwise */
constexpr uint32_t kServerAheadBufs = 8;               /* BufferNeeds::ahead_bufs of a load into a server */
constexpr uint32_t kDefaultChunk = 1u << 20;            /* read buffer unless BUFFER_NODE_SIZE is given */
constexpr uint32_t kMinChunk = 64u << 10;               /* the smallest read buffer a plan chooses */
constexpr uint32_t kMaxChunkMib = 1024;                 /* the largest BUFFER_NODE_SIZE (rows up to 1 GiB) */
constexpr uint32_t kFirstOffsets = 1025;                /* offsets a task is created with */

/* Physical memory of the machine, or of the control group it runs in when
** that is lower; bytes. */
uint64_t physical_memory();

/* The memory limit: MEMORY's value ("N" MiB or "N%" of physical memory),
** or the default when `value` is empty. False with err for a value that is
** not a number of MiB from 1 to physical memory, or a share from 1 to 100%. */
bool memory_limit(std::string_view value, uint64_t physical, uint64_t &limit, std::string &err);

/* Whether a decimal number fits the field an OPTIONS keyword sets (64 bits
** for SKIP, LOAD and ROWS, 32 bits for the others, whose values the OPTIONS
** rules cut to their low 32 bits). False with err saying so. */
bool fits_option_field(const std::string &key, std::string_view digits, std::string &err);

/* The OPTIONS numbers written in the control file for the fields the loader
** acts on (ERRORS, BUFFER_NODE_SIZE, TASK_THREAD_NUMBER): false with err
** naming the keyword and its place when one was cut to 32 bits. */
bool check_written_numbers(const std::vector<WrittenNumber> &numbers, std::string &err);

/* Worker threads for TASK_THREAD_NUMBER: 0 is refused; more than the
** machine's processors are capped to them, and `note` says so. */
bool settle_workers(uint32_t asked, uint32_t processors, uint32_t &workers, std::string &note, std::string &err);

/* What the buffers of a load must hold. */
struct BufferNeeds {
    uint32_t workers = 1;
    uint32_t writers = 1;
    uint32_t ahead_bufs = 0;    /* more read buffers, so that workers convert ahead
                                   while the writers send (dropped first when
                                   memory is short) */
    uint32_t most_tables = 1;   /* tables of the largest group */
    uint32_t chunk_mib = 0;     /* BUFFER_NODE_SIZE when given, else 0 */
    uint32_t chunk_bytes = 0;   /* a read buffer of exactly these bytes (tests), else 0 */
    uint64_t limit = kDefaultMemory;
};

/* How the buffers are sized: the same for every group. */
struct BufferPlan {
    uint32_t chunk_bytes = 0;   /* capacity of every read buffer */
    uint32_t reader_bufs = 0;   /* buffers of a group's first table, which the reader fills */
    uint32_t copy_bufs = 0;     /* buffers of each further table of a group */
    uint64_t bytes = 0;         /* the estimate for the largest group (see above) */
};

/* Tasks of a table with `bufs` buffers: one more than its buffers at the
** reader, one more at a worker. */
inline uint32_t tasks_for(uint32_t bufs) { return bufs + 2; }

/* The estimate of the header comment for one plan. */
uint64_t plan_bytes(const BufferNeeds &needs, uint32_t chunk, uint32_t reader_bufs, uint32_t copy_bufs);

/* Sizes the buffers under the limit: two per worker and two more for the
** reading table, as many for each further one; if that passes the limit,
** two for each further table; then, when neither BUFFER_NODE_SIZE nor an
** exact size in bytes is given, smaller chunks down to kMinChunk. False with err (what is needed, the
** limit, what to change) when nothing fits. */
bool plan_buffers(const BufferNeeds &needs, BufferPlan &plan, std::string &err);

/* What a load may take, settled from its options before anything is allocated. */
struct RunLimits {
    uint32_t    workers = 1;
    uint32_t    chunk_mib = 0;   /* BUFFER_NODE_SIZE when given, else 0 */
    uint32_t    chunk_bytes = 0; /* QXFLDR_READ_BUFFER_BYTES when set (tests); wins over chunk_mib */
    uint64_t    memory = 0;      /* bytes for the buffers */
    std::string note;            /* for the console and the log: the workers were capped */
};

/* Whether an OPTIONS keyword was given, on the command line or in the control file. */
bool option_given(const LoadRequest &req, const std::vector<WrittenNumber> &written, const char *key);

/* Worker threads, the read buffer's size and the memory limit from the
** parsed options; false with err for a value the loader cannot act on. */
bool settle_limits(const LoadRequest &req, const std::vector<WrittenNumber> &written, const fldr_args &args,
                   RunLimits &limits, std::string &err);

/* plan_buffers for a load whose largest group has most_tables tables. */
bool plan_load_buffers(const RunLimits &limits, uint32_t most_tables, uint32_t writers, uint32_t ahead_bufs, BufferPlan &plan,
                       std::string &err);

/* "1 MiB", "192 KiB" or "100 bytes": the size of a read buffer. */
std::string size_text(uint32_t bytes);
/* "6 x 1 MiB": buffers and their size. */
std::string describe_buffers(uint64_t count, uint32_t bytes);

}  // namespace qxfldr

#endif
