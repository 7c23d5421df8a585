/*
** Worker threads, option ranges and the memory plan (runlimits.h).
*/
#include "runlimits.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>

namespace qxfldr {

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

/* A decimal number of at most 19 digits; false for anything else. */
bool read_number(std::string_view digits, uint64_t &value)
{
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return std::from_chars(digits.data(), digits.data() + digits.size(), value).ec == std::errc{};
}

/* A control group's memory limit in bytes, 0 when there is none. */
uint64_t cgroup_limit()
{
    for (const char *path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream in(path);
        std::string text;
        uint64_t value = 0;
        if (in >> text && read_number(text, value) && value > 0)
            return value;
    }
    return 0;
}

bool is_64bit_option(const std::string &key)
{
    return key == "SKIP" || key == "LOAD" || key == "ROWS";
}

}  // namespace

uint64_t physical_memory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    uint64_t bytes = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
    const uint64_t group = cgroup_limit();
    if (group != 0 && (bytes == 0 || group < bytes))
        bytes = group;
    return bytes != 0 ? bytes : kDefaultMemory;
}

bool memory_limit(std::string_view value, uint64_t physical, uint64_t &limit, std::string &err)
{
    if (value.empty()) {
        limit = std::min(kDefaultMemory, physical / 2);
        return true;
    }
    const bool share = value.back() == '%';
    uint64_t n = 0;
    if (!read_number(share ? value.substr(0, value.size() - 1) : value, n) || n == 0) {
        err = "bad value for MEMORY: '" + clip(value) + "' is not a number of MiB (2048) or a share of "
              "physical memory (50%)";
        return false;
    }
    if (share) {
        if (n > 100) {
            err = "bad value for MEMORY: " + std::to_string(n) + "% is more than all of physical memory";
            return false;
        }
        limit = physical * n / 100;
        return true;
    }
    if (n > physical / kMiB) {
        err = "bad value for MEMORY: " + std::to_string(n) + " MiB is more than this machine's " +
              std::to_string(physical / kMiB) + " MiB of physical memory";
        return false;
    }
    limit = n * kMiB;
    return true;
}

bool fits_option_field(const std::string &key, std::string_view digits, std::string &err)
{
    const bool wide = is_64bit_option(key);
    const uint64_t most = wide ? static_cast<uint64_t>(INT64_MAX) : UINT32_MAX;
    uint64_t value = 0;
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (read_number(digits, value) && value <= most)
        return true;
    err = key + ": " + clip(digits) + " does not fit in " + (wide ? "64" : "32") + " bits (at most " +
          std::to_string(most) + ")";
    if (!wide && read_number(digits, value))
        err += "; OPTIONS would keep its low 32 bits, " + std::to_string(value & UINT32_MAX);
    return false;
}

bool check_written_numbers(const std::vector<WrittenNumber> &numbers, std::string &err)
{
    for (const auto &n : numbers) {
        if (n.key != "ERRORS" && n.key != "BUFFER_NODE_SIZE" && n.key != "TASK_THREAD_NUMBER")
            continue;
        std::string why;
        if (!fits_option_field(n.key, n.digits, why)) {
            err = "OPTIONS at line " + std::to_string(n.line) + ", column " + std::to_string(n.column) + ": " + why;
            return false;
        }
    }
    return true;
}

bool settle_workers(uint32_t asked, uint32_t processors, uint32_t &workers, std::string &note, std::string &err)
{
    if (asked == 0) {
        err = "bad value for TASK_THREAD_NUMBER: 0 (at least 1 worker)";
        return false;
    }
    processors = std::max<uint32_t>(processors, 1);
    workers = std::min(asked, processors);
    if (asked > processors)
        note = "TASK_THREAD_NUMBER=" + std::to_string(asked) + " is more than the " + std::to_string(processors) +
               " processors of this machine: " + std::to_string(processors) + " workers are used";
    return true;
}

uint64_t plan_bytes(const BufferNeeds &needs, uint32_t chunk, uint32_t reader_bufs, uint32_t copy_bufs)
{
    const uint64_t further = needs.most_tables > 0 ? needs.most_tables - 1 : 0;
    const uint64_t chunks = reader_bufs + further * copy_bufs;
    const uint64_t tasks = tasks_for(reader_bufs) + further * tasks_for(copy_bufs);
    /* A converted batch holds its chunk until it is stored, and batches wait
    ** for their turn in file order: there are at most as many as chunks. */
    return chunks * (uint64_t{chunk} + 1) + chunks * 2 * chunk +
           tasks * (kFirstOffsets * sizeof(uint32_t) + sizeof(fldr_task)) + (further + 1) * sizeof(fldr_inst);
}

bool plan_buffers(const BufferNeeds &needs, BufferPlan &plan, std::string &err)
{
    const uint32_t reader = 2 * needs.workers + 2;
    const bool given = needs.chunk_bytes != 0 || needs.chunk_mib != 0;
    uint32_t chunk = needs.chunk_bytes != 0 ? needs.chunk_bytes
                     : given               ? std::min(needs.chunk_mib, kMaxChunkMib) << 20
                                           : kDefaultChunk;
    uint32_t copies = reader, ahead = needs.ahead_bufs;
    auto fits = [&] { return plan_bytes(needs, chunk, reader + ahead, copies) <= needs.limit; };
    /* Fewer buffers for further tables first: the reader then waits for a
    ** table's workers sooner, and no row can grow longer than a buffer.
    ** Then no buffers to work ahead with, before smaller ones. */
    if (!fits() && needs.most_tables > 1)
        copies = 2;
    if (!fits())
        ahead = 0;
    while (!fits() && !given && chunk > kMinChunk)
        chunk -= kMinChunk;
    const uint64_t bytes = plan_bytes(needs, chunk, reader + ahead, copies);
    if (bytes > needs.limit) {
        const uint64_t count = reader + uint64_t{needs.most_tables - 1} * copies;
        err = "the buffers of this load need about " + std::to_string((bytes + kMiB - 1) / kMiB) + " MiB (" +
              describe_buffers(count, chunk) + " for " + std::to_string(needs.most_tables) + " table" +
              (needs.most_tables > 1 ? "s" : "") + " and " + std::to_string(needs.workers) + " worker" +
              (needs.workers > 1 ? "s" : "") + "), more than the memory limit of " +
              std::to_string(needs.limit / kMiB) + " MiB: lower BUFFER_NODE_SIZE or TASK_THREAD_NUMBER, "
              "or raise MEMORY";
        return false;
    }
    plan.chunk_bytes = chunk;
    plan.reader_bufs = reader + ahead;
    plan.copy_bufs = copies;
    plan.bytes = bytes;
    return true;
}

bool option_given(const LoadRequest &req, const std::vector<WrittenNumber> &written, const char *key)
{
    for (const auto &opt : req.options)
        if (opt.first == key)
            return true;
    for (const auto &n : written)
        if (n.key == key)
            return true;
    return false;
}

bool settle_limits(const LoadRequest &req, const std::vector<WrittenNumber> &written, const fldr_args &args,
                   RunLimits &limits, std::string &err)
{
    if (!settle_workers(args.task_thread_number, cpu_get_cpu_num(), limits.workers, limits.note, err))
        return false;
    if (req.buffer_given || option_given(req, written, "BUFFER_NODE_SIZE")) {
        if (args.buffer_node_size == 0 || args.buffer_node_size > kMaxChunkMib) {
            err = "bad value for BUFFER_NODE_SIZE: " + std::to_string(args.buffer_node_size) + " (1 to " +
                  std::to_string(kMaxChunkMib) + " MiB)";
            return false;
        }
        limits.chunk_mib = args.buffer_node_size;
    }
    limits.memory = req.memory_limit;
    if (limits.memory == 0)
        memory_limit("", physical_memory(), limits.memory, err);
    return true;
}

bool plan_load_buffers(const RunLimits &limits, uint32_t most_tables, uint32_t writers, uint32_t ahead_bufs,
                       BufferPlan &plan, std::string &err)
{
    BufferNeeds needs;
    needs.workers = limits.workers;
    needs.writers = writers;
    needs.ahead_bufs = ahead_bufs;
    needs.most_tables = most_tables;
    needs.chunk_mib = limits.chunk_mib;
    needs.chunk_bytes = limits.chunk_bytes;
    needs.limit = limits.memory;
    return plan_buffers(needs, plan, err);
}

std::string size_text(uint32_t bytes)
{
    if (bytes % kMiB == 0)
        return std::to_string(bytes / kMiB) + " MiB";
    return bytes % 1024 == 0 ? std::to_string(bytes >> 10) + " KiB" : std::to_string(bytes) + " bytes";
}

std::string describe_buffers(uint64_t count, uint32_t bytes)
{
    return std::to_string(count) + " x " + size_text(bytes);
}

}  // namespace qxfldr
