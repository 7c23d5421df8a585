// Error printing: message texts by language and output set, console, last message, the error-info gate, direct
// logging, the log buffer protocol, and the services every worker calls, driven from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fldr_internal.h"
#include "qxcvt.h"
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

// Table messages by language and output set (1 UTF-8, 2 GB18030 as stored, 3 BIG5; ignored for English), and caller
// texts by mode (0 as they are, 1 UTF-8 to GB18030, 2 back).
TEST_F(Print, MessagesByLanguageAndOutputSetCallerTextsByMode)
{
    fldr_inst &inst = inst_->rec;
    const std::string zh_cn = "读取文件失败", gb_cn = iconv_to("GB18030", "UTF-8", zh_cn);
    const std::string utf8 = "中文 text", gb = iconv_to("GB18030", "UTF-8", utf8);
    const std::tuple<uint32_t, uint32_t, int32_t, const char *, uint16_t, std::string> cases[] = {
        {FLDR_LANG_EN, 3, FLDR_ERR_READ_FILE, nullptr, 0, "Read file failed"},
        {FLDR_LANG_EN, 3, -2007, nullptr, 0, "General error"},   // no row: the row of -1
        {FLDR_LANG_ZH_CN, 1, FLDR_ERR_READ_FILE, nullptr, 0, zh_cn},
        {FLDR_LANG_ZH_CN, 2, FLDR_ERR_READ_FILE, nullptr, 0, gb_cn},
        {FLDR_LANG_ZH_TW, 3, FLDR_ERR_READ_FILE, nullptr, 0, iconv_to("BIG5", "UTF-8", "讀取文件失敗")},
        {7, 1, FLDR_ERR_OPEN_FILE, nullptr, 0, "Open file failed"},   // any other language: English
        {FLDR_LANG_EN, 0, -1, "100% sure %s", 0, "100% sure %s"}, {FLDR_LANG_EN, 0, -1, utf8.c_str(), 1, gb},
        {FLDR_LANG_EN, 0, -1, gb.c_str(), 2, utf8},
    };
    for (const auto &[lang, out_code, code, text, mode, want] : cases) {
        inst.language = lang;
        inst.out_code = out_code;
        EXPECT_EQ(printed(code, text, mode), want + "\n") << lang << " " << out_code << " " << code << " " << mode;
    }
    EXPECT_EQ(std::string(inst.last_msg), utf8);   // kept in UTF-8
    // last_msg keeps 4095 bytes of a longer text; the console and the log get it whole.
    const std::string longer(10000, 'z');
    EXPECT_EQ(printed(-1, longer.c_str(), 0), longer + "\n");
    EXPECT_EQ(inst.last_msg, longer.substr(0, sizeof inst.last_msg - 1));
    EXPECT_NE(log_text().find(" " + longer + "\n"), std::string::npos);
}

TEST_F(Print, SilentGateAndDirectLog)
{
    fldr_inst &inst = inst_->rec;
    strcpy(inst.head_name1, "S");
    strcpy(inst.head_name2, "T");
    testing::internal::CaptureStderr();   // silent: nothing on the console
    EXPECT_EQ(fldr_print_err(&inst, FLDR_ERR_READ_FILE, nullptr, 0), FLDR_ERR_READ_FILE);
    EXPECT_EQ(testing::internal::GetCapturedStderr() + inst.last_msg, "Read file failed");
    // The gate closed: last_msg still changes, the log does not; bit 0 of the
    // flags opens it again; the low variant ignores the gate.
    inst.errinfo_gate = 1;
    fldr_print_err(&inst, FLDR_ERR_OPEN_FILE, nullptr, 0);
    EXPECT_STREQ(inst.last_msg, "Open file failed");
    EXPECT_EQ(fldr_fill_err_info(&inst, "gated", 5), 0);
    inst.errinfo_flags = 1;
    fldr_print_err(&inst, FLDR_ERR_WRITE_FILE, nullptr, 0);
    EXPECT_EQ(fldr_fill_err_info(&inst, "info", 4), 0);
    inst.errinfo_flags = 0;
    EXPECT_EQ(fldr_fill_err_info_low(&inst, "low", 3), 0);

    EXPECT_EQ(masked(log_text()), "qxfldr: <t> S->T Read file failed\nqxfldr: <t> S->T Write file failed\n"
                                  "qxfldr: <t> S->T info\nqxfldr: <t> S->T low\n");
    EXPECT_EQ(inst.log_file.handle, -1);

    // A log that cannot be opened: still the code back (the direct writer's answer: the log suite).
    fldr_init_file(&inst.log_file, path("gone/fldr.log").c_str());
    EXPECT_EQ(fldr_print_err_ex(&inst, -5, "still returned", 0), -5);
}

// ------------------------------------------------------------ buffered log

fldr_log_buf *new_buf(uint32_t size)
{
    auto *buf = new fldr_log_buf{};
    buf->data = new char[size]();
    buf->size = size;
    return buf;
}
void delete_buf(fldr_log_buf *buf)
{
    delete[] buf->data;
    delete buf;
}

// The tool's side: takes the full buffers (and, when `last`, the one being filled, which comes after them), waits
// for copies still in flight, keeps their bytes and otherwise makes sure a buffer is there to fill.
std::string drain(fldr_inst &owner, bool last, int *buffers)
{
    fldr_lock(&owner.log_lock);
    fldr_log_buf *list = owner.log_full_first;
    if (last && owner.log_cur != nullptr) {
        owner.log_cur->next = nullptr;
        (list != nullptr ? owner.log_full_last->next : list) = owner.log_cur;
    }
    owner.log_cur = last ? nullptr : owner.log_cur != nullptr ? owner.log_cur : new_buf(16384);
    owner.log_full_first = owner.log_full_last = nullptr;
    owner.log_full_count = 0;
    os_event2_reset(&owner.log_event);
    fldr_unlock(&owner.log_lock);
    std::string out;
    for (fldr_log_buf *next; list != nullptr; list = next, ++*buffers) {
        next = list->next;
        for (long spins = 0; __atomic_load_n(&list->writers, __ATOMIC_ACQUIRE) != 0 && spins < 100000000; spins++)
            std::this_thread::yield();
        out.append(list->data, list->used);
        delete_buf(list);
    }
    return out;
}

// A line longer than any buffer goes straight to the log file and leaves the buffer alone. A line that exactly
// fills the free space does not fit (the room must be strictly larger): the buffer is handed over and the writer
// waits for the next one.
TEST_F(Print, OverlongLinesGoDirectAndAnExactFitWaitsForTheNextBuffer)
{
    fldr_inst &inst = inst_->rec;
    inst.log_buffered = 1;
    fldr_log_buf *first = inst.log_cur = new_buf(64);
    const std::string overlong(200, 'L');
    EXPECT_EQ(fldr_fill_err_info_low(&inst, overlong.data(), 200), 0);
    EXPECT_TRUE(inst.log_cur == first && first->used == 0 && inst.log_full_count == 0);
    EXPECT_EQ(masked(log_text()), "qxfldr: <t>  " + overlong + "\n");

    char head[FLDR_LOG_HEAD_MAX];
    fldr_log_set_head_info(inst.head_name1, inst.head_name2, head);
    const uint32_t used = first->used = first->size - static_cast<uint32_t>(strlen(head) + strlen("exact") + 1);
    auto call = std::async(std::launch::async, [&inst] { return fldr_fill_err_info_low(&inst, "exact", 5); });
    ASSERT_TRUE(os_event2_wait(&inst.log_event, 5000));
    int buffers = 0;
    EXPECT_EQ(drain(inst, false, &buffers), std::string(used, '\0'));   // handed over untouched
    ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(call.get(), 0);
    EXPECT_EQ(masked(drain(inst, true, &buffers)), "qxfldr: <t>  exact\n");
    EXPECT_EQ(buffers, 2);
}

// ------------------------------------------------- many threads at once

// The lines of `text` are exactly line(t, i) for every thread t and round i, in any order.
void expect_each_line_once(const std::string &text, int threads, int rounds,
                           const std::function<std::string(int, int)> &line)
{
    std::vector<std::string> got, want;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) got.push_back(l);
    for (int t = 0; t < threads; t++)
        for (int i = 0; i < rounds; i++) want.push_back(line(t, i));
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "lines lost, doubled, torn or mixed; first: " << (got.empty() ? "" : got[0]);
}

// The services every worker calls, side by side, each from kThreads threads that leave recognisable marks: the
// diagnostic list, appends through one file record under a critical section, log lines by path, error lines into
// the owner's log buffers, character-set conversions, a shared memory pool and the interlocked counters. All start
// at once, so that the quick loops overlap. Afterwards nothing is lost, doubled, torn or mixed up.
TEST_F(Print, ServicesCalledFromManyThreadsAtOnceLoseNothing)
{
    constexpr int kThreads = 6, kRounds = 2500, kAppends = kRounds * 2, kLogLines = 300;
    fldr_env *env = fldr_get_env();
    fldr_env mem_env;   // the pool's own, as a server's worker has
    mem_env_init(&mem_env);
    fldr_diag_list diag;
    fldr_init_diag(&diag);
    fldr_file shared;
    fldr_init_file(&shared, dir_.write("shared.txt").c_str());
    const std::string by_path = path("by_path.log");
    mem_pool_t *pool = mem2_pool_create_low(&mem_env, nullptr, "shared", 0x800000, 0x100000, 0, 1, 0, 0, 0, "t", 1);
    const std::string utf = "并发转换：中文与 ASCII 混合的文本 0123456789", gb = iconv_to("GB18030", "UTF-8", utf);
    fldr_inst &owner = inst_->rec;
    owner.log_buffered = 1;
    std::vector<std::unique_ptr<Inst>> workers;
    for (int t = 0; t < kThreads; t++) {
        workers.push_back(std::make_unique<Inst>());
        workers.back()->rec.log_owner = &owner;
        snprintf(workers.back()->rec.head_name2, sizeof workers.back()->rec.head_name2, "W%d", t);
    }
    const auto str = [](int n) { return std::to_string(n); };
    // Lines of different lengths, so that a lost offset shows as a torn line.
    const auto appended = [&](int t, int i) { return "thread " + str(t) + " line " + str(i) + std::string(i % 37, '.'); };

    volatile int32_t counter = 0;
    std::atomic<int> bad{0};
    std::atomic<bool> go{false}, stop{false};
    const auto gated = [&go](auto body) {
        return [&go, body] { while (!go) std::this_thread::yield(); body(); };
    };
    int buffers = 0;
    std::string buffered;
    std::thread log_writer([&] {
        while (!stop) {
            os_event2_wait(&owner.log_event, 5);
            buffered += drain(owner, false, &buffers);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back(gated([&, t] {
            for (int i = 0; i < kAppends; i++) {
                const std::string text = "t" + str(t) + "-" + str(i), line = appended(t, i) + "\n";
                fldr_add_diag_rec(env, &diag, -(t + 1), text.c_str(), static_cast<uint16_t>(t), i, FLDR_LANG_EN, 1);
                bad += fldr_write_file(&shared, &lock_, line.data(), static_cast<uint32_t>(line.size())) != 0;
            }
        }));
        threads.emplace_back(gated([&, t] {
            for (int i = 0; i < kLogLines; i++) {
                const std::string text = "line-" + str(i), name = "T" + str(t);
                fldr_log_by_offset_low(by_path.c_str(), text.data(), static_cast<uint32_t>(text.size()),
                                       &lock_, "S", name.c_str(), "qxfldr");
            }
        }));
        threads.emplace_back(gated([&, t] {
            for (int i = 0; i < kRounds; i++) fldr_print_err(&workers[t]->rec, -1, ("error " + str(i)).c_str(), 0);
        }));
        threads.emplace_back(gated([&] {
            char dst[256], back[256];
            for (int i = 0; i < kRounds * 4; i++) {
                uint32_t len = 0, back_len = 0;
                qx_UtfToLocal(utf.data(), static_cast<uint32_t>(utf.size()), QXCVT_GB18030, dst, sizeof dst,
                              nullptr, nullptr, &len);
                qx_LocalToUtf(dst, len, QXCVT_GB18030, back, sizeof back, nullptr, nullptr, &back_len);
                bad += std::string(dst, len) != gb || std::string(back, back_len) != utf;
            }
        }));
        threads.emplace_back(gated([&] {   // every other increment taken back
            for (int r = 0; r < kRounds * 256; r++) {
                bad += os_interlock_inc(&counter) < 1;
                if (r % 2 == 0) os_interlock_dec(&counter);
            }
        }));
        // Pool blocks filled with the thread's mark, every other one freed at once, near the head of the chain where
        // the other threads' allocations go.
        threads.emplace_back(gated([&, t] {
            std::deque<unsigned char *> mine;
            auto release = [&](unsigned char *b) { bad += b[0] != t + 1 || mem2_free(&mem_env, b) != 0; };
            for (int r = 0; r < kRounds * 32; r++) {
                const size_t size = static_cast<size_t>(16 + (r * 13 + t) % 200);
                auto *b = static_cast<unsigned char *>(mem2_malloc_ex(&mem_env, pool, size, 0, "t", 1));
                bad += b == nullptr;
                if (b != nullptr) mine.push_back(static_cast<unsigned char *>(std::memset(b, t + 1, size)));
                if (r % 2 == 1 && !mine.empty()) release(mine.back()), mine.pop_back();
            }
            for (unsigned char *b : mine) release(b);
        }));
    }
    go = true;
    for (auto &th : threads) th.join();
    stop = true;
    log_writer.join();
    buffered += drain(owner, true, &buffers);
    fldr_file_close(&shared);

    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(counter, kThreads * kRounds * 128);
    EXPECT_GT(buffers, 1);
    EXPECT_EQ(log_text(), "");   // no error line went the direct way
    expect_each_line_once(masked(buffered), kThreads, kRounds,
                          [&](int t, int i) { return "qxfldr: <t> W" + str(t) + " error " + str(i); });
    expect_each_line_once(qxtest::read_file(path("shared.txt")), kThreads, kAppends, appended);
    expect_each_line_once(masked(qxtest::read_file(by_path)), kThreads, kLogLines,
                          [&](int t, int i) { return "qxfldr: <t> S->T" + str(t) + " line-" + str(i); });
    // Every diagnostic record whole: its code, numbers and text agree.
    EXPECT_EQ(diag.capacity, diag.count);
    std::string records;
    for (uint32_t n = 1; n <= diag.count; n++) {
        const fldr_diag_rec *rec = fldr_get_nth_diag_rec(&diag.first, n);
        records += str(rec->code) + " " + str(rec->aux_no16) + " " + str(rec->aux_no) + " " + rec->text + "\n";
    }
    expect_each_line_once(records, kThreads, kAppends, [&](int t, int i) {
        return str(-(t + 1)) + " " + str(t) + " " + str(i) + " t" + str(t) + "-" + str(i);
    });
    EXPECT_EQ(mem2_pool_blocks_in_use(pool), 0u);
    EXPECT_EQ(mem_env.alloc_count, static_cast<uint64_t>(kThreads * kRounds * 32));
    mem2_pool_destroy(&mem_env, pool);
    fldr_deinit_diag(env, &diag);
}

}  // namespace
