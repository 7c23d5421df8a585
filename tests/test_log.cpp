// Log lines: head format, name part, direct writes through a file record,
// writes by path, and the line buffer choice of the direct writer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fldr_internal.h"
#include "support/log_text.h"

namespace fs = std::filesystem;

namespace {

// Records the sizes a caller's allocator was asked for.
struct CountingHeap {
    std::vector<size_t> sizes;
    int frees = 0;
};
void *counting_alloc(fldr_env *, void *heap, size_t size, const char *, uint32_t)
{
    static_cast<CountingHeap *>(heap)->sizes.push_back(size);
    return malloc(size);
}
void counting_free(fldr_env *, void *heap, void *ptr)
{
    static_cast<CountingHeap *>(heap)->frees++;
    free(ptr);
}

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        fldr_init();
        char tmpl[] = "/tmp/qxfldr_log_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        os_mutex2_create(&lock_);
        inst_ = std::make_unique<fldr_inst>();
        memset(inst_.get(), 0, sizeof(fldr_inst));
        fldr_init_file(&inst_->log_file, path("fldr.log").c_str());
        std::ofstream(path("fldr.log"));  // the tool creates the log before writing
    }
    void TearDown() override
    {
        fldr_file_close(&inst_->log_file);
        os_mutex2_free(&lock_);
        fs::remove_all(dir_);
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    static std::string slurp(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    fs::path dir_;
    os_mutex2_t lock_;
    std::unique_ptr<fldr_inst> inst_;
};

TEST_F(Log, HeadAndNamePart)
{
    char head[FLDR_LOG_HEAD_MAX];
    ASSERT_EQ(fldr_log_set_head_info(nullptr, nullptr, head), 0);
    EXPECT_EQ(masked(head), "qxfldr: <t>  ");

    fldr_log_set_head_info("SYSDBA", "T1", head);
    EXPECT_EQ(masked(head), "qxfldr: <t> SYSDBA->T1 ");

    // An empty first name gives no arrow; the second name stands alone.
    fldr_log_set_head_info("", "T1", head);
    EXPECT_EQ(masked(head), "qxfldr: <t> T1 ");
    fldr_log_set_head_info("S", nullptr, head);
    EXPECT_EQ(masked(head), "qxfldr: <t> S-> ");

    // fldr_log_set_head_info takes a long first name whole.
    std::string long_name(200, 'n');
    fldr_log_set_head_info(long_name.c_str(), "T", head);
    EXPECT_EQ(masked(head), "qxfldr: <t> " + long_name + "->T ");
}

TEST_F(Log, DirectLineWithHeadAndNames)
{
    strcpy(inst_->head_name1, "SCH");
    strcpy(inst_->head_name2, "TAB");
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, "first", 5), 0);
    EXPECT_EQ(inst_->log_file.handle, -1);  // closed again after the line
    EXPECT_EQ(inst_->log_file.file_offset, 0u);
    inst_->head_name1[0] = '\0';
    inst_->head_name2[0] = '\0';
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, "second", 6), 0);

    EXPECT_EQ(masked(slurp(path("fldr.log"))), "qxfldr: <t> SCH->TAB first\nqxfldr: <t>  second\n");
}

TEST_F(Log, PlainModeWritesTheTextAlone)
{
    inst_->log_plain = 1;
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, "raw bytes", 9), 0);
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, "|more", 5), 0);
    EXPECT_EQ(slurp(path("fldr.log")), "raw bytes|more");
    EXPECT_EQ(inst_->log_file.handle, -1);
}

TEST_F(Log, LongLinesUseAnAllocatedBlock)
{
    CountingHeap heap;
    mem_ctx_t ctx{counting_alloc, counting_free, &heap};
    inst_->mem_ctx = &ctx;

    std::string fits(1748, 'a');     // 1748 + 300 == 2048: the stack buffer
    std::string spills(1749, 'b');   // one more: a block of 2049 bytes
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, fits.data(),
                                   (uint32_t)fits.size()), 0);
    EXPECT_TRUE(heap.sizes.empty());
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, spills.data(),
                                   (uint32_t)spills.size()), 0);
    ASSERT_EQ(heap.sizes.size(), 1u);
    EXPECT_EQ(heap.sizes[0], 2049u);
    EXPECT_EQ(heap.frees, 1);

    // A text much longer than any head still arrives whole.
    std::string huge(100000, 'c');
    strcpy(inst_->head_name1, std::string(128, 's').c_str());
    strcpy(inst_->head_name2, std::string(128, 't').c_str());
    ASSERT_EQ(fldr_log_data_direct(inst_.get(), &inst_->log_file, &lock_, huge.data(),
                                   (uint32_t)huge.size()), 0);
    std::string text = slurp(path("fldr.log"));
    std::string expected_tail = std::string(128, 's') + "->" + std::string(128, 't') + " " + huge + "\n";
    ASSERT_GE(text.size(), expected_tail.size());
    EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail);
    EXPECT_NE(text.find(fits + "\n"), std::string::npos);
    EXPECT_NE(text.find(spills + "\n"), std::string::npos);
}

TEST_F(Log, DirectWriteToAMissingLogFails)
{
    fldr_file nowhere;
    fldr_init_file(&nowhere, path("no/dir/fldr.log").c_str());
    EXPECT_EQ(fldr_log_data_direct(inst_.get(), &nowhere, &lock_, "x", 1), FLDR_ERR_OPEN_FILE);
    EXPECT_EQ(nowhere.handle, -1);
}

TEST_F(Log, ByPath)
{
    std::string log = path("plog.log");
    ASSERT_EQ(fldr_log_by_offset(log.c_str(), "started", 7, &lock_), 0);
    std::string long_name(200, 'n');
    ASSERT_EQ(fldr_log_by_offset_low(log.c_str(), "named", 5, &lock_, long_name.c_str(), "T2",
                                     "ldr"),
              0);
    ASSERT_EQ(fldr_log_by_offset_low(log.c_str(), "no first", 8, &lock_, "", "T3", "qxfldr"), 0);

    EXPECT_EQ(masked(slurp(log)), "qxfldr: <t>  started\nldr: <t> " + std::string(128, 'n') +
                                      "->T2 named\nqxfldr: <t> T3 no first\n");

    // A path whose directory does not exist: nothing written, still 0.
    std::string lost = path("no/such/dir/plog.log");
    EXPECT_EQ(fldr_log_by_offset(lost.c_str(), "x", 1, &lock_), 0);
    EXPECT_FALSE(fs::exists(lost));

    // Stored paths carry backslashes; the file is found all the same.
    std::string stored = log;
    for (char &c : stored)
        if (c == '/') c = '\\';
    ASSERT_EQ(fldr_log_write_to_file(stored.c_str(), "tail", 4), 0);
    EXPECT_EQ(slurp(log).substr(slurp(log).size() - 4), "tail");
    EXPECT_EQ(fldr_log_write_to_file(lost.c_str(), "x", 1), FLDR_ERR_WRITE_FILE);
}

TEST_F(Log, LinesByPathFromManyThreadsNeverInterleave)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::string log = path("shared.log");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::string name = "T" + std::to_string(t);
            for (int i = 0; i < kLines; i++) {
                std::string text = "line-" + std::to_string(i);
                fldr_log_by_offset_low(log.c_str(), text.data(), (uint32_t)text.size(), &lock_,
                                       "S", name.c_str(), "qxfldr");
            }
        });
    }
    for (auto &th : threads) th.join();

    std::istringstream in(masked(slurp(log)));
    std::set<std::pair<int, int>> seen;
    for (std::string line; std::getline(in, line);) {
        int t = -1, i = -1, n = 0;
        ASSERT_EQ(sscanf(line.c_str(), "qxfldr: <t> S->T%d line-%d%n", &t, &i, &n), 2) << line;
        ASSERT_EQ((size_t)n, line.size()) << line;
        EXPECT_TRUE(seen.insert({t, i}).second) << line;
    }
    EXPECT_EQ(seen.size(), (size_t)(kThreads * kLines));
}

}  // namespace
