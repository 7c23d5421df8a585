/*
** The loader tool's two runs and what the command line hands them.
*/
#ifndef QXFLDR_TOOL_TOOL_H
#define QXFLDR_TOOL_TOOL_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct bdta3;

namespace qxfldr {

/* Exit statuses. */
constexpr int kExitOk = 0;          /* done (rows may have been rejected within ERRORS) */
constexpr int kExitFailed = 1;      /* the run failed or was stopped; committed rows stay */
constexpr int kExitUsage = 2;       /* bad command line or control file; nothing loaded */
constexpr int kExitInterrupted = 130;

struct LoadRequest {
    std::string control;                 /* control-file path */
    std::string db;                      /* database path, ":none:" for no sink; empty: default */
    std::vector<std::pair<std::string, std::string>> options;   /* OPTIONS text per keyword */
    bool buffer_given = false;           /* BUFFER_NODE_SIZE on the command line */
    uint64_t memory_limit = 0;           /* MEMORY in bytes; 0: the default */
};

struct ExportRequest {
    std::string db;
    std::string sql;
    std::string data;
    std::string field_sep = ",";
    std::string row_sep = "\n";
    bool        silent = false;
};

int run_load(const LoadRequest &req);
int run_export(const ExportRequest &req);
/* An export refused before it starts: the reason on the console, exit 2. */
int refuse_export(const std::string &why);

/*
** The text side of an export, whatever the database: batches of typed rows
** in, converted to text by the library (fexp_bdta_cnvt) and written as
** lines with the request's separators. open(), then write() per batch, then
** finish() with the first error met (empty when none), which closes the
** file, reports and gives the exit status.
*/
class ExportText {
public:
    ExportText(const ExportRequest &req, uint32_t batch_rows);
    ~ExportText();
    ExportText(const ExportText &) = delete;
    ExportText &operator=(const ExportText &) = delete;

    bool open(std::string &error);
    /* Writes the first `rows` rows of src (src's columns fix the width). */
    bool write(bdta3 *src, uint32_t rows, std::string &error);
    int finish(std::string error);
    /* A server's export after its query started: open(), then batches of
    ** `types` filled by next (rows given, -1 with error, 0 at the end) and
    ** written until the end or the first error, then finish(). */
    using NextBatch = std::function<int64_t(bdta3 *batch, uint32_t rows, std::string &error)>;
    int copy_batches(const std::vector<uint16_t> &types, const NextBatch &next);

private:
    bool every_value_has_text(const bdta3 *src, uint32_t rows, std::string &error) const;

    const ExportRequest &req_;
    uint32_t             batch_rows_;
    std::FILE           *out_ = nullptr;
    bdta3               *text_ = nullptr;   /* the batch as text, made on the first write */
    int64_t              rows_ = 0;
    std::string          line_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace qxfldr

#endif
