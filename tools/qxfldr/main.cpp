/*
** qxfldr: the reference loader built on qxfldr_comm.
**
**   qxfldr control=FILE [db=PATH] [KEYWORD=VALUE ...]      load
**   qxfldr mode=OUT db=PATH sql='SELECT ...' data=FILE     export
**   qxfldr help | --help | -h
**   qxfldr --version
**
** Keywords of the OPTIONS clause given on the command line become one
** OPTIONS text each, parsed by the library after the control file, so they
** override the control file's OPTIONS.
*/
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <qxfldr_comm.h>

#include "ctltext.h"
#include "runlimits.h"
#include "tool.h"

namespace {

enum class Kind { Text, Path, Int, Bool, Name, Sep, Memory };

struct Keyword {
    const char *name;
    Kind        kind;
    const char *help;
};

constexpr Keyword kKeywords[] = {
    {"LOG", Kind::Path, "log file (default fldr.log beside the control file)"},
    {"BADFILE", Kind::Text, "bad-data file for rejected rows (default fldr.bad)"},
    {"SKIP", Kind::Int, "rows to skip at the start of the data"},
    {"LOAD", Kind::Int, "most rows to read"},
    {"ROWS", Kind::Int, "rows per transaction (default 50000)"},
    {"ERRORS", Kind::Int, "rejected rows allowed before the load stops (default 100)"},
    {"TASK_THREAD_NUMBER", Kind::Int, "worker threads (default and most: the processor count)"},
    {"CHARACTER_CODE", Kind::Text, "character set of the data: UTF-8, GBK, GB18030, EUC-KR, SINGLE_BYTE"},
    {"NULL_MODE", Kind::Bool, "TRUE: an empty field is an empty string, not NULL"},
    {"NULL_STR", Kind::Text, "text that stands for NULL"},
    {"SILENT", Kind::Bool, "TRUE: nothing on the console"},
    {"BUFFER_NODE_SIZE", Kind::Int, "read buffer in MiB, 1 to 1024 (default 1; the longest row fits in it)"},
    {"MEMORY", Kind::Memory, "memory for the loader's buffers: MiB, or a share of physical memory (50%);\n"
                             "                      default 1024, at most half of physical memory"},
    {"DIRECT", Kind::Bool, "accepted; every load is direct"},
    {"FIELD_SEPERATOR", Kind::Sep, "export: field separator (default ,); X'hex' for bytes"},
    {"ROW_SEPERATOR", Kind::Sep, "export: row separator (default newline); X'hex' for bytes"},
    {"MODE", Kind::Name, "IN (load, the default) or OUT (export)"},
    {"SQL", Kind::Text, "export: the query"},
    {"DATA", Kind::Text, "export: the output file"},
};

const Keyword *find_keyword(const std::string &name)
{
    for (const auto &k : kKeywords)
        if (name == k.name)
            return &k;
    return nullptr;
}

void print_help(FILE *out)
{
    std::fprintf(out, "usage:\n"
                      "  qxfldr control=FILE [db=PATH] [KEYWORD=VALUE ...]    load data files into a database\n"
                      "  qxfldr mode=OUT db=PATH sql='SELECT ...' data=FILE [FIELD_SEPERATOR=...] [ROW_SEPERATOR=...]\n"
                      "                                                       export a query's rows as text\n"
                      "  qxfldr help | --help | -h                            this text\n"
                      "  qxfldr --version                                     versions of qxfldr and libqxfldr_comm\n\n"
                      "  CONTROL             the control file\n"
                      "  DB                  SQLite database (default qxfldr.db beside the control file);\n"
                      "                      :none: parses and converts every field and stores nothing\n");
    for (const auto &k : kKeywords)
        std::fprintf(out, "  %-19s %s\n", k.name, k.help);
    std::fprintf(out, "\nKeywords are case-insensitive and override the control file's OPTIONS.\n"
                      "Exit status: 0 done, 1 failed or stopped (committed rows stay), 2 bad command line or\n"
                      "control file (nothing loaded), 130 interrupted.\n");
}

std::string upper(std::string s)
{
    for (auto &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

int usage_error(const std::string &msg)
{
    std::fprintf(stderr, "qxfldr: %s (see 'qxfldr help')\n", msg.c_str());
    return qxfldr::kExitUsage;
}

/* X'7C' or x'0d0a' -> the bytes; anything else as written. */
bool decode_sep(const std::string &value, std::string &out)
{
    if (value.size() >= 3 && (value[0] == 'X' || value[0] == 'x') && value[1] == '\'' && value.back() == '\'') {
        const std::string hex = value.substr(2, value.size() - 3);
        if (hex.empty() || hex.size() % 2 != 0)
            return false;
        out.clear();
        for (size_t i = 0; i < hex.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
                return false;
            out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        return true;
    }
    out = value;
    return !out.empty();
}

/* Status 0 once the text is out; a failed write (a closed pipe, a full disk)
** must not pass for success. */
int finish_stdout()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qxfldr: cannot write to standard output\n");
        return qxfldr::kExitFailed;
    }
    return qxfldr::kExitOk;
}

/* The requests that are answered without loading: `help` alone, --help, -h
** or --version anywhere (the first one wins), each on standard output with
** status 0; no argument at all is a usage error, the help on standard error
** with status 2. Returns -1 when the command line asks for none of them. */
int answer_info_request(int argc, char **argv)
{
    if (argc < 2) {
        print_help(stderr);
        return qxfldr::kExitUsage;
    }
    if (argc == 2 && upper(argv[1]) == "HELP") {
        print_help(stdout);
        return finish_stdout();
    }
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            print_help(stdout);
            return finish_stdout();
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            /* The library's version is the loaded one's, which an upgrade of
            ** the library alone changes. */
            std::printf("qxfldr %s\nlibqxfldr_comm %s\n", QXFLDR_VERSION, fldr_get_version());
            return finish_stdout();
        }
    }
    return -1;
}

/* A run that the system refuses memory ends with a message and the status
** of a failed run, not an abort (the load's threads catch their own). */
template <typename Run>
int run_guarded(Run run)
{
    try {
        return run();
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "qxfldr: out of memory (lower BUFFER_NODE_SIZE, TASK_THREAD_NUMBER or MEMORY)\n");
        return qxfldr::kExitFailed;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (const int status = answer_info_request(argc, argv); status >= 0)
        return status;
    qxfldr::LoadRequest load;
    qxfldr::ExportRequest exp;
    std::string mode = "IN", field_sep, row_sep;
    for (int i = 1; i < argc; i++) {
        const char *eq = std::strchr(argv[i], '=');
        if (eq == nullptr)
            return usage_error("'" + qxfldr::clip(argv[i]) + "' is not KEYWORD=VALUE");
        const std::string key = upper(std::string(argv[i], static_cast<size_t>(eq - argv[i])));
        const std::string value = eq + 1;
        if (key == "CONTROL") {
            load.control = value;
            continue;
        }
        if (key == "DB") {
            load.db = exp.db = value;
            continue;
        }
        const Keyword *kw = find_keyword(key);
        if (kw == nullptr)
            return usage_error("unknown keyword " + qxfldr::clip(key));
        if (value.find('\'') != std::string::npos && kw->kind != Kind::Sep && key != "SQL")
            return usage_error("bad value for " + key + ": quotes are not allowed");
        switch (kw->kind) {
        case Kind::Int: {
            bool digits = !value.empty();
            for (char c : value)
                digits = digits && std::isdigit(static_cast<unsigned char>(c));
            if (!digits)
                return usage_error("bad value for " + key + ": '" + qxfldr::clip(value) +
                                   "' is not a non-negative integer");
            /* OPTIONS keeps the low 32 bits of most numbers: a larger one
            ** would silently become another. */
            if (std::string why; !qxfldr::fits_option_field(key, value, why))
                return usage_error("bad value for " + why);
            load.options.emplace_back(key, value);
            if (key == "BUFFER_NODE_SIZE")
                load.buffer_given = true;
            break;
        }
        case Kind::Bool: {
            const std::string v = upper(value);
            if (v != "TRUE" && v != "FALSE")
                return usage_error("bad value for " + key + ": '" + qxfldr::clip(value) + "' is not TRUE or FALSE");
            load.options.emplace_back(key, v);
            if (key == "SILENT")
                exp.silent = v == "TRUE";
            break;
        }
        case Kind::Name:
            mode = upper(value);
            if (mode != "IN" && mode != "OUT")
                return usage_error("bad value for MODE: '" + qxfldr::clip(value) + "' is not IN or OUT");
            break;
        case Kind::Sep:
            if (key == "FIELD_SEPERATOR" ? !decode_sep(value, field_sep) : !decode_sep(value, row_sep))
                return usage_error("bad value for " + key + ": '" + qxfldr::clip(value) + "'");
            break;
        case Kind::Memory:
            if (std::string why; !qxfldr::memory_limit(value.empty() ? "0" : value, qxfldr::physical_memory(),
                                                       load.memory_limit, why))
                return usage_error(why);
            break;
        case Kind::Text:
        case Kind::Path:
            if (value.empty())
                return usage_error("bad value for " + key + ": empty");
            if (key == "SQL")
                exp.sql = value;
            else if (key == "DATA")
                exp.data = value;
            else if (key == "LOG" || key == "BADFILE")
                /* Names on the command line are relative to the current directory,
                ** those of the control file to the control file's. */
                load.options.emplace_back(key, "'" + std::filesystem::absolute(value).string() + "'");
            else
                load.options.emplace_back(key, "'" + value + "'");
            break;
        }
    }
    if (mode == "OUT") {
        if (exp.db.empty() || exp.sql.empty() || exp.data.empty())
            return usage_error("mode=OUT needs db=, sql= and data=");
        if (!field_sep.empty())
            exp.field_sep = field_sep;
        if (!row_sep.empty())
            exp.row_sep = row_sep;
        return run_guarded([&] { return qxfldr::run_export(exp); });
    }
    if (load.control.empty())
        return usage_error("control=FILE is missing");
    if (!exp.sql.empty() || !exp.data.empty())
        return usage_error("sql= and data= belong to mode=OUT");
    return run_guarded([&] { return qxfldr::run_load(load); });
}
