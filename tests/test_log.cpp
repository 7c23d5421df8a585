// Log lines: head format, name part, direct writes through a file record,
// writes by path, and the line buffer choice of the direct writer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fldr_internal.h"
#include "support/log_text.h"
#include "support/scratch.h"

namespace {

using qxtest::read_file;

class Log : public qxtest::DirTest {
protected:
    Log()
    {
        fldr_init_file(&inst_->log_file, path("fldr.log").c_str());
        qxtest::write_file(path("fldr.log"), "");   // the tool creates the log before writing
    }
    ~Log() override { fldr_file_close(&inst_->log_file); }
    int32_t direct(const std::string &text, fldr_file *file = nullptr)
    {
        return fldr_log_data_direct(inst_.get(), file ? file : &inst_->log_file, &lock_, text.data(),
                                    static_cast<uint32_t>(text.size()));
    }

    std::unique_ptr<fldr_inst> inst_ = std::make_unique<fldr_inst>();   // zeroed
};

// An empty or absent first name gives no arrow; the second name stands alone; a long first name is taken whole.
TEST_F(Log, HeadAndNamePart)
{
    const std::string long_name(200, 'n');
    const std::tuple<const char *, const char *, std::string> cases[] = {
        {nullptr, nullptr, "qxfldr: <t>  "}, {"SYSDBA", "T1", "qxfldr: <t> SYSDBA->T1 "}, {"", "T1", "qxfldr: <t> T1 "},
        {"S", nullptr, "qxfldr: <t> S-> "}, {long_name.c_str(), "T", "qxfldr: <t> " + long_name + "->T "},
    };
    char head[FLDR_LOG_HEAD_MAX];
    for (const auto &[name1, name2, want] : cases) {
        ASSERT_EQ(fldr_log_set_head_info(name1, name2, head), 0);
        EXPECT_EQ(masked(head), want);
    }
}

// Each line opens and closes the log; plain mode writes the text alone, without head or line end. Lines longer than
// the 2048-byte stack buffer (text + 300) are built in a block of their own, and arrive whole.
TEST_F(Log, DirectLinesAndTheirBuffer)
{
    qxtest::CountingHeap heap;
    inst_->mem_ctx = &heap.ctx;
    strcpy(inst_->head_name1, "SCH");
    strcpy(inst_->head_name2, "TAB");
    ASSERT_EQ(direct("first"), 0);
    EXPECT_TRUE(inst_->log_file.handle == -1 && inst_->log_file.file_offset == 0u);
    inst_->head_name1[0] = inst_->head_name2[0] = '\0';
    const std::string fits(1748, 'a'), spills(1749, 'b'), huge(100000, 'c');
    ASSERT_EQ(direct(fits), 0);
    EXPECT_TRUE(heap.sizes.empty());
    ASSERT_EQ(direct(spills), 0);
    EXPECT_EQ(heap.sizes, std::vector<size_t>{2049});
    EXPECT_EQ(heap.frees, 1);
    strcpy(inst_->head_name1, std::string(128, 's').c_str());
    strcpy(inst_->head_name2, std::string(128, 't').c_str());
    ASSERT_EQ(direct(huge), 0);
    inst_->log_plain = 1;
    ASSERT_EQ(direct("raw"), 0);
    const std::string text = read_file(path("fldr.log"));
    EXPECT_EQ(masked(text.substr(0, text.size() - 3)) + text.substr(text.size() - 3),
              "qxfldr: <t> SCH->TAB first\nqxfldr: <t>  " + fits + "\nqxfldr: <t>  " + spills + "\nqxfldr: <t> " +
                  std::string(128, 's') + "->" + std::string(128, 't') + " " + huge + "\nraw");
}

TEST_F(Log, ByPath)
{
    std::string log = path("plog.log");
    ASSERT_EQ(fldr_log_by_offset(log.c_str(), "started", 7, &lock_), 0);
    std::string long_name(200, 'n');
    ASSERT_EQ(fldr_log_by_offset_low(log.c_str(), "named", 5, &lock_, long_name.c_str(), "T2", "ldr"), 0);
    ASSERT_EQ(fldr_log_by_offset_low(log.c_str(), "no first", 8, &lock_, "", "T3", "qxfldr"), 0);
    EXPECT_EQ(masked(read_file(log)), "qxfldr: <t>  started\nldr: <t> " + std::string(128, 'n') +
                                      "->T2 named\nqxfldr: <t> T3 no first\n");

    // A path whose directory does not exist: nothing written, still 0.
    std::string lost = path("no/such/dir/plog.log");
    EXPECT_EQ(fldr_log_by_offset(lost.c_str(), "x", 1, &lock_), 0);
    EXPECT_FALSE(std::filesystem::exists(lost));
    // Stored paths carry backslashes; the file is found all the same.
    ASSERT_EQ(fldr_log_write_to_file(qxtest::stored(log).c_str(), "tail", 4), 0);
    EXPECT_EQ(read_file(log).substr(read_file(log).size() - 4), "tail");
    // A write that fails is reported, not lost silently (a full disk or a failed close: the OS suite).
    EXPECT_EQ(fldr_log_write_to_file(lost.c_str(), "x", 1), FLDR_ERR_WRITE_FILE);
    // The direct writer reports it.
    fldr_file nowhere;
    fldr_init_file(&nowhere, lost.c_str());
    EXPECT_EQ(direct("x", &nowhere), FLDR_ERR_OPEN_FILE);
    EXPECT_EQ(nowhere.handle, -1);
}

}  // namespace
