// Error printing: message texts by language and output set, console, last
// message, the error-info gate, direct logging and the log buffer protocol.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fldr_internal.h"
#include "support/log_text.h"
#include "support/scratch.h"

namespace {

using qxtest::iconv_to;

using Inst = qxtest::QuietInst;

class Print : public qxtest::DirTest {
protected:
    Print()
    {
        fldr_init_file(&inst_->rec.log_file, path("fldr.log").c_str());
        qxtest::write_file(path("fldr.log"), "");
    }
    std::string log_text() const { return dir_.read("fldr.log"); }
    // What fldr_print_err writes on standard error.
    std::string printed(int32_t code, const char *text = nullptr, uint16_t mode = 0)
    {
        inst_->rec.silent = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(fldr_print_err(&inst_->rec, code, text, mode), code);
        return testing::internal::GetCapturedStderr();
    }

    std::unique_ptr<Inst> inst_ = std::make_unique<Inst>();
};

TEST_F(Print, MessagesByLanguageAndOutputSet)
{
    fldr_inst &inst = inst_->rec;
    const std::string zh_cn = "读取文件失败", zh_tw = "讀取文件失敗", gb_cn = iconv_to("GB18030", "UTF-8", zh_cn);
    // Output sets: 1 UTF-8, 2 GB18030 (the stored bytes), 3 BIG5, ignored for English.
    const std::tuple<uint32_t, uint32_t, int32_t, std::string> cases[] = {
        {FLDR_LANG_EN, 3, FLDR_ERR_READ_FILE, "Read file failed"},
        {FLDR_LANG_EN, 3, -2007, "General error"},   // no row: the row of -1
        {FLDR_LANG_ZH_CN, 1, FLDR_ERR_READ_FILE, zh_cn},
        {FLDR_LANG_ZH_CN, 2, FLDR_ERR_READ_FILE, gb_cn},
        {FLDR_LANG_ZH_TW, 3, FLDR_ERR_READ_FILE, iconv_to("BIG5", "UTF-8", zh_tw)},
        {7, 1, FLDR_ERR_OPEN_FILE, "Open file failed"},   // any other language: English
    };
    for (const auto &[lang, out_code, code, text] : cases) {
        inst.language = lang;
        inst.out_code = out_code;
        EXPECT_EQ(printed(code), text + "\n") << lang << " " << out_code << " " << code;
    }
    EXPECT_EQ(gb_cn, fldr_emsg_lookup(-65021)->text_zh_cn);
    EXPECT_STREQ(inst.last_msg, "Open file failed");
}

TEST_F(Print, CallerTextsAndTheirModes)
{
    const std::string utf8 = "中文 text";
    const std::string gb = iconv_to("GB18030", "UTF-8", utf8);
    EXPECT_EQ(printed(-1, "as it is", 0), "as it is\n");
    EXPECT_EQ(printed(-1, utf8.c_str(), 1), gb + "\n");
    EXPECT_EQ(printed(-1, gb.c_str(), 2), utf8 + "\n");
    EXPECT_EQ(std::string(inst_->rec.last_msg), utf8);
    EXPECT_EQ(printed(-1, "100% sure %s", 0), "100% sure %s\n");

    // last_msg keeps 4095 bytes of a longer text; the console and the log get it whole.
    std::string longer(10000, 'z');
    EXPECT_EQ(printed(-1, longer.c_str(), 0), longer + "\n");
    EXPECT_EQ(inst_->rec.last_msg, longer.substr(0, sizeof inst_->rec.last_msg - 1));
    EXPECT_NE(log_text().find(" " + longer + "\n"), std::string::npos);
}

TEST_F(Print, SilentGateAndDirectLog)
{
    fldr_inst &inst = inst_->rec;
    strcpy(inst.head_name1, "S");
    strcpy(inst.head_name2, "T");
    inst.silent = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(fldr_print_err(&inst, FLDR_ERR_READ_FILE, nullptr, 0), FLDR_ERR_READ_FILE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(inst.last_msg, "Read file failed");

    // The gate closed: last_msg still changes, the log does not.
    inst.errinfo_gate = 1;
    fldr_print_err(&inst, FLDR_ERR_OPEN_FILE, nullptr, 0);
    EXPECT_STREQ(inst.last_msg, "Open file failed");
    EXPECT_EQ(fldr_fill_err_info(&inst, "gated", 5), 0);
    // Bit 0 of the flags opens it again.
    inst.errinfo_flags = 1;
    fldr_print_err(&inst, FLDR_ERR_WRITE_FILE, nullptr, 0);
    EXPECT_EQ(fldr_fill_err_info(&inst, "info", 4), 0);
    // The low variant ignores the gate.
    inst.errinfo_flags = 0;
    EXPECT_EQ(fldr_fill_err_info_low(&inst, "low", 3), 0);

    EXPECT_EQ(masked(log_text()), "qxfldr: <t> S->T Read file failed\nqxfldr: <t> S->T Write file failed\n"
                                  "qxfldr: <t> S->T info\nqxfldr: <t> S->T low\n");
    EXPECT_EQ(inst.log_file.handle, -1);

    // A log that cannot be opened: still the code back, nothing else fails.
    fldr_init_file(&inst.log_file, path("gone/fldr.log").c_str());
    EXPECT_EQ(fldr_fill_err_info_low(&inst, "x", 1), FLDR_ERR_OPEN_FILE);
    EXPECT_EQ(fldr_print_err_ex(&inst, -5, "still returned", 0), -5);
}

// ------------------------------------------------------------ buffered log

fldr_log_buf *new_buf(uint32_t size)
{
    auto *buf = new fldr_log_buf{};
    buf->data = new char[size];
    buf->size = size;
    return buf;
}
void delete_buf(fldr_log_buf *buf)
{
    delete[] buf->data;
    delete buf;
}

// The tool's side: a thread that drains the full list, waits for copies in
// flight, keeps the bytes and installs fresh buffers.
class Writer {
public:
    Writer(fldr_inst *owner, uint32_t size) : owner_(owner), size_(size)
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                os_event2_wait(&owner_->log_event, 5);
                drain(true);
            }
        });
    }
    std::string finish()  // stops, then takes what log_cur still holds too
    {
        stop_ = true;
        thread_.join();
        drain(false);
        return out_;
    }
    int buffers = 0;

private:
    void drain(bool refill)
    {
        fldr_lock(&owner_->log_lock);
        fldr_log_buf *list = owner_->log_full_first;
        if (!refill && owner_->log_cur) {  // the buffer being filled comes last
            owner_->log_cur->next = nullptr;
            if (list) owner_->log_full_last->next = owner_->log_cur;
            else list = owner_->log_cur;
        }
        owner_->log_cur = refill ? (owner_->log_cur ? owner_->log_cur : new_buf(size_)) : nullptr;
        owner_->log_full_first = owner_->log_full_last = nullptr;
        owner_->log_full_count = 0;
        os_event2_reset(&owner_->log_event);
        fldr_unlock(&owner_->log_lock);
        for (fldr_log_buf *next; list; list = next) {
            next = list->next;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (__atomic_load_n(&list->writers, __ATOMIC_ACQUIRE) != 0 &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            out_.append(list->data, list->used);
            buffers++;
            delete_buf(list);
        }
    }
    fldr_inst *owner_;
    uint32_t size_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::string out_;
};

TEST_F(Print, BufferedLinesFromManyThreadsArriveOnceAndWhole)
{
    constexpr int kThreads = 8;
    constexpr int kErrors = 10000;
    fldr_inst &owner = inst_->rec;
    owner.log_buffered = 1;

    // Each thread prints through its own instance that logs into the owner's buffers.
    std::vector<std::unique_ptr<Inst>> workers;
    for (int t = 0; t < kThreads; t++) {
        workers.push_back(std::make_unique<Inst>());
        workers.back()->rec.log_owner = &owner;
        strcpy(workers.back()->rec.head_name1, "S");
        snprintf(workers.back()->rec.head_name2, sizeof workers.back()->rec.head_name2, "W%d", t);
    }

    Writer writer(&owner, 16384);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            char text[64];
            for (int i = 0; i < kErrors; i++) {
                snprintf(text, sizeof text, "error %d of %d", i, t);
                fldr_print_err(&workers[t]->rec, -1, text, 0);
            }
        });
    }
    for (auto &th : threads) th.join();
    std::string all = writer.finish();
    EXPECT_GT(writer.buffers, 1);

    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kErrors, 0));
    std::istringstream in(masked(all));
    size_t lines = 0;
    for (std::string line; std::getline(in, line); lines++) {
        int t = -1, i = -1, t2 = -1, n = 0;
        ASSERT_EQ(sscanf(line.c_str(), "qxfldr: <t> S->W%d error %d of %d%n", &t, &i, &t2, &n), 3) << line;
        ASSERT_TRUE((size_t)n == line.size() && t == t2 && t >= 0 && t < kThreads && i >= 0 && i < kErrors)
            << line;
        seen[t][i]++;
    }
    EXPECT_EQ(lines, (size_t)kThreads * kErrors);
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kErrors; i++) ASSERT_EQ(seen[t][i], 1) << t << " " << i;
    EXPECT_EQ(log_text(), "");  // nothing went the direct way
}

TEST_F(Print, ExactFitIsHandedOverAndWaitsForTheNextBuffer)
{
    fldr_inst &inst = inst_->rec;
    inst.log_buffered = 1;
    char head[FLDR_LOG_HEAD_MAX];
    fldr_log_set_head_info(inst.head_name1, inst.head_name2, head);
    const std::string text = "exact";
    const uint32_t need = (uint32_t)(strlen(head) + text.size() + 1);

    fldr_log_buf *first = new_buf(need + 10);
    first->used = 10;  // free space == need: not strictly less, so it does not fit
    inst.log_cur = first;

    auto call = std::async(std::launch::async, [&] {
        return fldr_fill_err_info_low(&inst, text.data(), (uint32_t)text.size());
    });
    ASSERT_TRUE(os_event2_wait(&inst.log_event, 5000));
    fldr_lock(&inst.log_lock);
    EXPECT_TRUE(inst.log_cur == nullptr && inst.log_full_first == first && inst.log_full_last == first);
    EXPECT_EQ(std::to_string(inst.log_full_count) + " " + std::to_string(first->used), "1 10");
    fldr_log_buf *second = new_buf(need + 1);
    inst.log_cur = second;
    fldr_unlock(&inst.log_lock);

    ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(second->used, need);
    EXPECT_EQ(second->writers, 0);
    EXPECT_EQ(masked(std::string(second->data, second->used)), "qxfldr: <t>  exact\n");
    delete_buf(first);
    delete_buf(second);
}

TEST_F(Print, LineLongerThanAnyBufferGoesStraightToTheLog)
{
    fldr_inst &inst = inst_->rec;
    inst.log_buffered = 1;
    fldr_log_buf *small = new_buf(64);
    inst.log_cur = small;
    std::string text(200, 'L');

    auto call = std::async(std::launch::async, [&] {
        return fldr_fill_err_info_low(&inst, text.data(), (uint32_t)text.size());
    });
    ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(call.get(), 0);
    // The buffer is kept for lines that fit.
    EXPECT_TRUE(inst.log_cur == small && small->used == 0 && inst.log_full_count == 0);
    EXPECT_EQ(masked(log_text()), "qxfldr: <t>  " + text + "\n");
    delete_buf(small);
}

}  // namespace
