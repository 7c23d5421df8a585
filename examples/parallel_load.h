/*
** The parallel load loop of parallel_load.cpp, shared with the pipeline
** benchmark: one reader thread feeds worker threads through the library's
** row-buffer pool, task pool and worker queues.
*/
#ifndef QX_EXAMPLES_PARALLEL_LOAD_H
#define QX_EXAMPLES_PARALLEL_LOAD_H

#include <cstdint>
#include <memory>
#include <vector>

#include "qxfldr_comm.h"

namespace parallel_load {

struct Options {
    uint32_t workers = 2;
    uint32_t buffer_bytes = 8u << 20;   /* chunk size */
    uint32_t buffers = 0;               /* 0: two per worker and one for the reader */
    uint32_t tasks = 0;                 /* 0: one per buffer */
    bool     cut_fields = true;         /* false: workers only give buffers and tasks back */
    int64_t  load_rows = INT64_MAX;     /* LOAD */
    uint32_t errors = UINT32_MAX;       /* ERRORS */
    uint32_t charset = 1;               /* character set of the data */
    uint32_t null_mode = 0;
    uint32_t scan_mode = FLDR_SCAN_PLAIN;
    uint32_t language = FLDR_LANG_EN;
    uint32_t silent = 0;
};

struct Counts {
    int32_t  result = 0;       /* the reader's last result */
    uint32_t files_read = 0;   /* files the reader finished */
    int64_t  rows_read = 0;    /* rows cut by the reader, taken or not */
    int64_t  rows = 0;         /* rows the workers received */
    int64_t  fields = 0;       /* fields cut */
    int64_t  bytes = 0;        /* bytes of the rows received */
    int64_t  rejected = 0;     /* rows whose fields could not be cut */
    int64_t  tasks = 0;        /* tasks received */
    double   reader_cpu = 0;   /* seconds of processor time of the reader thread */
    double   worker_cpu = 0;   /* seconds of processor time of all workers together */
};

/* The pools and the load instance of one table, reusable across runs. */
class Pipeline;
struct PipelineDeleter {
    void operator()(Pipeline *pipe) const;
};
using PipelinePtr = std::unique_ptr<Pipeline, PipelineDeleter>;
PipelinePtr make_pipeline(fldr_ctl *ctl, const Options &options);
/* The load instance of a pipeline and its worker queue w, for callers that
** drive the reader and the workers themselves (the tests). */
fldr_inst &pipeline_inst(Pipeline &pipe);
fldr_task_queue &pipeline_queue(Pipeline &pipe, uint32_t w);

/*
** Loads the open data files of one table (terminators as bytes, file_no set)
** and returns what the workers counted. Reading ends at the last file, at the
** LOAD limit, when the rejected rows pass ERRORS, or at the first error.
*/
Counts run(fldr_ctl *ctl, const std::vector<fldr_data_file *> &files, const Options &options);
/* The same with pools made beforehand (options must be those they were made with). */
Counts run(Pipeline &pipe, const std::vector<fldr_data_file *> &files, const Options &options);

/*
** Cuts every field of one row (its terminator included) as a worker does.
** Returns the number of fields, or a negative code for a row that is
** rejected. `work` holds at least row_len bytes.
*/
int32_t cut_row(fldr_ctl *ctl, const Options &options, const char *row_term, uint16_t row_term_len,
                const char *start_str, uint16_t start_len, char *row, uint32_t row_len, char *work);

}  // namespace parallel_load

#endif
