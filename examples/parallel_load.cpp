/*
** parallel_load: plays the loader tool around the library's load pipeline.
**
**   parallel_load CONTROL_FILE [WORKERS [BUFFER_MIB]]
**   parallel_load                  (writes a sample control file and data file
**                                   into a temporary directory, loads them and
**                                   removes them)
**
** It parses the control file, resolves and opens the data files of its first
** table, fills a row-buffer pool and a task pool, starts one reader thread and
** WORKERS worker threads (2 by default) and lets the workers cut every field of
** every row they receive, counting rows, fields and bytes. Reading ends at the
** last file, at the LOAD limit, or when the rows the workers reject pass the
** ERRORS limit; then the counts are printed. Nothing is sent to a server.
**
** How the pieces meet:
**   reader thread  fldr_read_rows_and_build_task, once per data file
**   worker k       takes tasks from queue k, cuts fields with
**                  fldr_get_nth_val_len, gives the buffer back with
**                  fldr_rowbuf_put and the task with fldr_task_free
**   main thread    sizes the pools before the threads start and tears them
**                  down after every thread has ended
*/
#include "parallel_load.h"

#include "qxcalc.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace parallel_load {

namespace {


}  // namespace

/* The pools of one load instance. Buffers are touched once when they are
** made, so that no run pays for their first use. */
class Pipeline {
public:
    Pipeline(fldr_ctl *ctl, const Options &options)
        : inst_(std::make_unique<fldr_inst>()), queues_(options.workers)
    {
        const uint32_t buffer_count = options.buffers != 0 ? options.buffers : 2 * options.workers + 1;
        const uint32_t task_count = options.tasks != 0 ? options.tasks : buffer_count;
        fldr_inst &in = *inst_;
        std::memset(&in, 0, sizeof in);
        in.ctl = ctl;
        in.language = options.language;
        in.out_code = 1;
        in.load_rows = options.load_rows;
        in.errors = options.errors;
        in.task_rows = UINT32_MAX;   /* one task per chunk */
        in.charset = options.charset;
        in.null_mode = options.null_mode;
        in.scan_mode = options.scan_mode;
        in.silent = options.silent;
        in.errinfo_gate = 1;         /* no log file in this program */
        in.log_file.handle = OS_INVALID_HANDLE;
        os_mutex2_create(&in.inst_lock);
        os_mutex2_create(&in.msg_lock);
        os_mutex2_create(&in.log_lock);
        fldr_init_diag(&in.diag);
        os_mutex2_create(&in.rowbuf_pool.lock);
        os_semaphore_create(&in.rowbuf_pool.sem, 0);
        os_mutex2_create(&in.task_pool.lock);
        os_semaphore_create(&in.task_pool.sem, 0);
        for (auto &queue : queues_) {
            std::memset(&queue, 0, sizeof queue);
            os_mutex2_create(&queue.lock);
            os_semaphore_create(&queue.sem, 0);
        }
        in.task_pool.queues = queues_.data();

        bufs_.resize(buffer_count);
        storage_.resize(buffer_count);
        for (uint32_t i = 0; i < buffer_count; i++) {
            storage_[i].reset(new char[static_cast<size_t>(options.buffer_bytes) + 1]);
            std::memset(storage_[i].get(), 0, static_cast<size_t>(options.buffer_bytes) + 1);
            bufs_[i] = fldr_rowbuf{};
            bufs_[i].data = storage_[i].get();
            bufs_[i].cap = options.buffer_bytes;
            fldr_rowbuf_put(&in.rowbuf_pool, &bufs_[i]);
        }
        tasks_.resize(task_count);
        for (uint32_t i = 0; i < task_count; i++) {
            tasks_[i] = fldr_task{};
            tasks_[i].worker_no = i % options.workers;
            fldr_task_free(&in.task_pool, &tasks_[i]);
        }
    }

    ~Pipeline()
    {
        fldr_inst &in = *inst_;
        for (auto &task : tasks_)
            fldr_mem_free(fldr_get_env(), in.mem_ctx, task.row_offs);
        for (auto &queue : queues_) {
            os_semaphore_free(&queue.sem);
            os_mutex2_free(&queue.lock);
        }
        os_semaphore_free(&in.task_pool.sem);
        os_mutex2_free(&in.task_pool.lock);
        os_semaphore_free(&in.rowbuf_pool.sem);
        os_mutex2_free(&in.rowbuf_pool.lock);
        fldr_deinit_diag(fldr_get_env(), &in.diag);
        os_mutex2_free(&in.log_lock);
        os_mutex2_free(&in.msg_lock);
        os_mutex2_free(&in.inst_lock);
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    fldr_inst &inst() { return *inst_; }

    /* Counters of a new run; the pools are full again after any run. */
    void restart()
    {
        fldr_inst &in = *inst_;
        in.run_state = 0;
        in.err_count = 0;
        in.rows_read = 0;
        in.task_pool.next_task_no = 0;
        /* End marks may have moved tasks between workers: deal them again. */
        for (size_t i = 0; i < tasks_.size(); i++)
            tasks_[i].worker_no = static_cast<uint32_t>(i % queues_.size());
        fldr_clear_diag(&in.diag);
    }
    fldr_task_queue &queue(uint32_t i) { return queues_[i]; }

    bool all_home() const
    {
        return inst_->rowbuf_pool.count == static_cast<int32_t>(bufs_.size()) &&
               inst_->task_pool.count == static_cast<int32_t>(tasks_.size());
    }

private:
    std::unique_ptr<fldr_inst>           inst_;
    std::vector<fldr_task_queue>         queues_;
    std::vector<fldr_rowbuf>             bufs_;
    std::vector<std::unique_ptr<char[]>> storage_;
    std::vector<fldr_task>               tasks_;
};

namespace {

/* Processor time of the calling thread, in seconds. */
double thread_cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct WorkerCounts {
    double  cpu = 0;
    int64_t rows = 0;
    int64_t fields = 0;
    int64_t bytes = 0;
    int64_t rejected = 0;
    int64_t tasks = 0;
};

/* Length of row i of a task: up to the next taken row when no row between
** them was left out, else up to its own terminator. */
uint32_t task_row_len(const fldr_task &task, uint32_t i, bool rows_filtered, fldr_inst *inst)
{
    const uint32_t room = task.row_offs[i + 1] - task.row_offs[i];
    if (!rows_filtered)
        return room;
    const char *start = task.data + task.row_offs[i];
    const char *end = fldr_search_row_end(inst, start, room, task.row_term_len, task.row_term);
    return end != nullptr ? static_cast<uint32_t>(end - start) + task.row_term_len : room;
}

/* Counts into `out` when the worker ends. They are kept in the worker's own
** frame meanwhile: the workers' records sit side by side, and a count
** written per row would bounce their shared cache line between the cores. */
void work(Pipeline &pipe, uint32_t worker_no, const Options &options, WorkerCounts &out)
{
    WorkerCounts counts;
    fldr_inst &inst = pipe.inst();
    fldr_ctl *ctl = inst.ctl;
    const bool rows_filtered = ctl->when_cond != nullptr;
    std::unique_ptr<char[]> scratch(new char[static_cast<size_t>(options.buffer_bytes) + 1]);
    for (;;) {
        fldr_task *task = fldr_task_take(&pipe.queue(worker_no), 1000);
        if (task == nullptr)
            continue;
        if (task->rowbuf == nullptr) {
            /* The reader's end mark, behind this worker's last rows. */
            fldr_task_free(&inst.task_pool, task);
            counts.cpu = thread_cpu_seconds();
            out = counts;
            return;
        }
        counts.tasks++;
        counts.rows += task->row_cnt;
        if (options.cut_fields) {
            int64_t rejected = 0;
            for (uint32_t i = 0; i < task->row_cnt; i++) {
                const uint32_t row_len = task_row_len(*task, i, rows_filtered, &inst);
                counts.bytes += row_len;
                int32_t fields = cut_row(ctl, options, task->row_term, task->row_term_len, task->start_str,
                                         task->start_len, task->data + task->row_offs[i], row_len,
                                         scratch.get());
                if (fields < 0)
                    rejected++;
                else
                    counts.fields += fields;
            }
            if (rejected > 0) {
                counts.rejected += rejected;
                std::atomic_ref<int64_t>(inst.err_count).fetch_add(rejected, std::memory_order_relaxed);
            }
        } else {
            counts.bytes += task->data_len;
        }
        fldr_rowbuf *buf = task->rowbuf;
        task->rowbuf = nullptr;
        fldr_rowbuf_put(&inst.rowbuf_pool, buf);
        fldr_task_free(&inst.task_pool, task);
    }
}

}  // namespace

void PipelineDeleter::operator()(Pipeline *pipe) const
{
    delete pipe;
}

fldr_inst &pipeline_inst(Pipeline &pipe) { return pipe.inst(); }

fldr_task_queue &pipeline_queue(Pipeline &pipe, uint32_t w) { return pipe.queue(w); }

PipelinePtr make_pipeline(fldr_ctl *ctl, const Options &options)
{
    return PipelinePtr(new Pipeline(ctl, options));
}

int32_t cut_row(fldr_ctl *ctl, const Options &options, const char *row_term, uint16_t row_term_len,
                const char *start_str, uint16_t start_len, char *row, uint32_t row_len, char *work)
{
    if (start_len > 0 && row_len >= start_len && std::memcmp(row, start_str, start_len) == 0) {
        row += start_len;
        row_len -= start_len;
    }
    char *pos = row;
    uint32_t left = row_len;
    uint32_t more_data = 1;
    int32_t fields = 0;
    uint32_t i = 0;
    for (fldr_col *col = ctl->col_first; col != nullptr && i < ctl->col_count; col = col->next, i++) {
        if (col->constant != nullptr)
            continue;
        char *data = pos;
        uint32_t len = left;
        if (col->pos_start != -1)
            fldr_nth_val_position_reset(col, row, row_len, &data, &len);
        char *value = nullptr;
        uint32_t value_len = 0;
        uint32_t used = 0;
        int32_t rc = fldr_get_nth_val_len(ctl, col, i + 1 == ctl->col_count ? 1 : 0, row_term, row_term_len,
                                          data, len, options.charset, options.scan_mode, 0, &value,
                                          &value_len, &used, work, nullptr, &more_data);
        if (rc < 0)
            return rc;
        fields++;
        if (data != nullptr && used <= len) {
            pos = data + used;
            left = static_cast<uint32_t>(row + row_len - pos);
        }
    }
    return fields;
}

Counts run(fldr_ctl *ctl, const std::vector<fldr_data_file *> &files, const Options &options)
{
    PipelinePtr pipe = make_pipeline(ctl, options);
    return run(*pipe, files, options);
}

Counts run(Pipeline &pipe, const std::vector<fldr_data_file *> &files, const Options &options)
{
    Counts counts;
    pipe.restart();
    fldr_inst &inst = pipe.inst();

    std::thread reader([&] {
        for (fldr_data_file *file : files) {
            counts.result = fldr_read_rows_and_build_task(fldr_get_env(), &inst, file);
            if (counts.result != FLDR_OK)
                break;
            counts.files_read++;
            if (inst.rows_read == inst.load_rows)
                break;   /* LOAD reached: the files after this one are not read */
        }
        counts.reader_cpu = thread_cpu_seconds();
        /* An empty task to each worker, queued behind its last rows, ends it
        ** as soon as it gets there. */
        for (uint32_t w = 0; w < options.workers; w++) {
            fldr_task *end = fldr_task_get(&inst.task_pool);
            end->worker_no = w;
            end->rowbuf = nullptr;
            end->row_cnt = 0;
            fldr_task_enqueue(&inst.task_pool, end);
        }
    });
    std::vector<WorkerCounts> per_worker(options.workers);
    std::vector<std::thread> workers;
    for (uint32_t w = 0; w < options.workers; w++)
        workers.emplace_back([&, w] { work(pipe, w, options, per_worker[w]); });
    reader.join();
    for (auto &worker : workers)
        worker.join();

    counts.rows_read = inst.rows_read;
    for (const WorkerCounts &w : per_worker) {
        counts.rows += w.rows;
        counts.fields += w.fields;
        counts.bytes += w.bytes;
        counts.rejected += w.rejected;
        counts.tasks += w.tasks;
        counts.worker_cpu += w.cpu;
    }
    if (!pipe.all_home())
        std::fprintf(stderr, "parallel_load: a buffer or a task did not come back\n");
    return counts;
}

}  // namespace parallel_load

#ifndef PARALLEL_LOAD_NO_MAIN

namespace {

using parallel_load::Counts;
using parallel_load::Options;

/* Hexadecimal texts kept by the parse become bytes before loading: row
** terminators and start strings of the data files, X values of WHEN. */
bool hex_to_bytes(const char *hex, char *out, uint32_t out_cap, uint16_t *out_len)
{
    const uint32_t digits = static_cast<uint32_t>(std::strlen(hex));
    int32_t n = nbin_from_char_low_with_len(hex, digits, reinterpret_cast<uint8_t *>(out), out_cap);
    if (n <= 0 || std::memchr(out, 0, static_cast<size_t>(n)) != nullptr)
        return false;
    *out_len = static_cast<uint16_t>(n);
    return true;
}

bool prepare_when_values(fldr_env *env, mem_heap_t *heap, fldr_bexp *node)
{
    for (; node != nullptr; node = node->next) {
        if (node->kind == 1) {
            if (!prepare_when_values(env, heap, node->first))
                return false;
            continue;
        }
        fldr_bexp_value *value = node->value;
        if (value == nullptr || value->kind != 3 || value->text == nullptr)
            continue;
        auto *bytes = static_cast<uint8_t *>(mem_heap_alloc_low(env, heap, value->len / 2 + 2, 0,
                                                                 "examples/parallel_load", __LINE__));
        int32_t n = nbin_from_char_low_with_len(value->text, value->len, bytes, value->len / 2 + 2);
        if (n < 0)
            return false;
        value->text = reinterpret_cast<char *>(bytes);
        value->len = static_cast<uint16_t>(n);
    }
    return true;
}

/* Writes a sample control file and its data into a fresh directory; returns
** the control file's path. */
std::string write_sample(int64_t rows)
{
    char dir[] = "/tmp/parallel_load.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return "";
    const std::string data_path = std::string(dir) + "/people.dat";
    const std::string ctl_path = std::string(dir) + "/people.ctl";
    std::FILE *data = std::fopen(data_path.c_str(), "wb");
    std::FILE *ctl = std::fopen(ctl_path.c_str(), "wb");
    if (data == nullptr || ctl == nullptr)
        return "";
    static const char *const towns[] = {"Oslo", "Lyon", "Porto", "Graz", "Turku"};
    for (int64_t i = 0; i < rows; i++)
        std::fprintf(data, "%lld,person %lld,%s,%lld.%02lld\n", static_cast<long long>(i),
                     static_cast<long long>(i), towns[i % 5], static_cast<long long>(i % 1000),
                     static_cast<long long>(i % 100));
    std::fprintf(ctl,
                 "OPTIONS (ERRORS = 10)\n"
                 "LOAD DATA\n"
                 "INFILE '%s' STR X '0A'\n"
                 "INTO TABLE demo.people\n"
                 "WHEN city != 'Graz'\n"
                 "FIELDS ','\n"
                 "(id, name, city, score)\n",
                 data_path.c_str());
    std::fclose(data);
    std::fclose(ctl);
    return ctl_path;
}

const char *result_text(int32_t rc)
{
    switch (rc) {
    case FLDR_OK:                  return "finished";
    case FLDR_ERR_REACH_ERROR_MAX: return "stopped: error limit passed";
    case FLDR_ERR_READ_FILE:       return "stopped: a data file could not be read";
    case FLDR_ERR_NO_ROW_TERM:     return "stopped: a row longer than the buffer (no row terminator)";
    case FLDR_ERR_OUT_OF_MEMORY:   return "stopped: out of memory";
    default:                       return "stopped";
    }
}

int load(const std::string &ctl_path, const Options &base)
{
    fldr_env *env = fldr_get_env();
    char *text = nullptr;
    uint32_t text_len = 0;
    int32_t rc = fldr_get_ctl_content(env, ctl_path.c_str(), &text, &text_len);
    if (rc < 0) {
        std::fprintf(stderr, "parallel_load: cannot read %s (%d)\n", ctl_path.c_str(), rc);
        return 1;
    }
    mem_heap_t *heap = mem_heap_create_low(env, 0, 0, 0, 0, "examples/parallel_load", __LINE__, 1);
    auto args = std::make_unique<fldr_args>();
    fldr_init_args(args.get());
    fldr_par_result *result = nullptr;
    fldr_parse_err *err = nullptr;
    rc = fpar_main(env, text, &result, &err, args.get(), heap);
    fldr_mem_free(env, nullptr, text);
    if (rc < 0 || result == nullptr || result->ctl_first == nullptr) {
        std::fprintf(stderr, "parallel_load: %s: parse failed (%d) at line %u: %s\n", ctl_path.c_str(), rc,
                     err != nullptr ? err->line : 0, err != nullptr ? err->msg : "");
        mem_heap_free(env, heap);
        return 1;
    }
    if (result->ctl_count > 1)
        std::printf("note: only the first of %u tables is loaded\n", result->ctl_count);
    fldr_ctl *ctl = result->ctl_first->ctl;

    /* Data files: resolve the names as written, then open each in turn.
    ** Without STR on any of them rows end at a line feed, as text files here
    ** do (the names a pattern stands for carry a terminator of their own). */
    bool term_given = false;
    for (const fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next)
        term_given = term_given || df->row_term_given != 0;
    if (ctl->infile_list != 0)
        fldr_resolve_path_file(env, nullptr, base.language, 1, heap, ctl);
    else if (ctl->infile_directory != 0)
        rc = fldr_collect_datafiles_by_path(env, heap, ctl);
    else
        rc = fldr_deal_file_list(env, heap, ctl);
    if (rc == 0)
        rc = fldr_preprocess_load_sep_info(ctl);
    if (rc == 0 && !prepare_when_values(env, heap, ctl->when_cond))
        rc = FLDR_ERR_PARAMETER_VALUE;
    if (rc < 0) {
        std::fprintf(stderr, "parallel_load: %s: bad table description (%d)\n", ctl_path.c_str(), rc);
        mem_heap_free(env, heap);
        return 1;
    }
    std::vector<fldr_data_file *> files;
    uint32_t file_no = 0;
    for (fldr_data_file *df = ctl->data_file_first; df != nullptr; df = df->next) {
        if (!term_given) {
            std::memcpy(df->row_term, "\n", 2);
            df->row_term_len = 1;
        } else if (df->row_term_hex[0] != '\0' &&
            !hex_to_bytes(df->row_term_hex, df->row_term, sizeof df->row_term - 1, &df->row_term_len)) {
            std::fprintf(stderr, "parallel_load: %s: invalid row terminator\n", df->path);
            continue;
        }
        if (df->start_hex[0] != '\0' &&
            !hex_to_bytes(df->start_hex, df->start_str, sizeof df->start_str - 1, &df->start_len)) {
            std::fprintf(stderr, "parallel_load: %s: invalid start string\n", df->path);
            continue;
        }
        if (fldr_open_file_read(reinterpret_cast<fldr_file *>(df)) != 0) {
            std::fprintf(stderr, "parallel_load: cannot open %s\n", df->path);
            continue;
        }
        df->file_no = file_no++;
        files.push_back(df);
    }
    if (files.empty()) {
        std::fprintf(stderr, "parallel_load: no data file to load\n");
        mem_heap_free(env, heap);
        return 1;
    }

    Options options = base;
    options.load_rows = args->load_rows > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                                           : static_cast<int64_t>(args->load_rows);
    options.errors = args->errors;
    options.null_mode = args->null_mode;
    std::printf("loading %zu file(s) into %s%s%s with %u worker(s), %u MiB buffers\n", files.size(),
                ctl->schema_name, ctl->schema_name[0] != '\0' ? "." : "", ctl->table_name, options.workers,
                options.buffer_bytes >> 20);

    Counts counts = parallel_load::run(ctl, files, options);
    for (fldr_data_file *df : files)
        fldr_file_close(reinterpret_cast<fldr_file *>(df));

    std::printf("%s\n", result_text(counts.result));
    std::printf("  files read    %u of %zu\n", counts.files_read, files.size());
    std::printf("  rows read     %lld\n", static_cast<long long>(counts.rows_read));
    std::printf("  rows received %lld (%lld left out by WHEN)\n", static_cast<long long>(counts.rows),
                static_cast<long long>(counts.rows_read - counts.rows));
    std::printf("  rows rejected %lld\n", static_cast<long long>(counts.rejected));
    std::printf("  fields        %lld\n", static_cast<long long>(counts.fields));
    std::printf("  bytes         %lld\n", static_cast<long long>(counts.bytes));
    std::printf("  tasks         %lld\n", static_cast<long long>(counts.tasks));
    mem_heap_free(env, heap);
    return counts.result == FLDR_OK ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (argc > 2)
        options.workers = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    if (argc > 3)
        options.buffer_bytes = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) << 20;
    if (options.workers == 0 || options.workers > 64 || options.buffer_bytes == 0) {
        std::fprintf(stderr, "usage: parallel_load [CONTROL_FILE [WORKERS (1-64) [BUFFER_MIB]]]\n");
        return 1;
    }
    fldr_init();
    std::string ctl_path = argc > 1 ? argv[1] : write_sample(1000000);
    if (ctl_path.empty()) {
        std::fprintf(stderr, "parallel_load: cannot write the sample files\n");
        return 1;
    }
    if (argc <= 1)
        std::printf("sample control file: %s\n", ctl_path.c_str());
    int status = load(ctl_path, options);
    if (argc <= 1) {
        /* The sample is ours: leave nothing behind. */
        const std::string dir = ctl_path.substr(0, ctl_path.rfind('/'));
        std::remove((dir + "/people.dat").c_str());
        std::remove(ctl_path.c_str());
        rmdir(dir.c_str());
    }
    fldr_deinit();
    return status;
}

#endif
