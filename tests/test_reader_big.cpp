/*
** A chunk larger than one read: the reader asks the file layer for at most
** 1 GiB at a time, each piece at its own offset and place in the buffer,
** and the rows cut from the chunk are the file's bytes.
*/
#include <gtest/gtest.h>

#include <fcntl.h>

#include "pipe_rig.h"
#include "qxos_seam.h"

using namespace qxtest;
using namespace std::chrono_literals;

namespace {

std::mutex g_mutex;
std::vector<std::pair<size_t, off_t>> g_reads;   /* size and offset of every pread */

ssize_t recording_pread(int fd, void *buf, size_t n, off_t off)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_reads.emplace_back(n, off);
    }
    return ::pread(fd, buf, n, off);
}

TEST(ReaderBigChunk, ReadsMoreThanOneGibInPiecesAndKeepsEveryByte)
{
    Watchdog dog(300s);
    constexpr uint64_t kGiB = 1ull << 30;
    TempDir dir;
    const std::string path = dir.file("big.dat");
    /* A sparse file: a first row, a row of NULs across the 1 GiB mark, and a
    ** last row that lies wholly beyond it. */
    const std::string first = "first\n", last = "last row\n";
    const uint64_t size = kGiB + 100;
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
        ASSERT_EQ(::pwrite(fd, "\n", 1, static_cast<off_t>(size - last.size() - 1)), 1);
        ASSERT_EQ(::pwrite(fd, last.data(), last.size(), static_cast<off_t>(size - last.size())),
                  static_cast<ssize_t>(last.size()));
        ::close(fd);
    }

    PipeRig rig(1, static_cast<uint32_t>(size + 4096), 2, 1);
    DataFile file(path);
    g_reads.clear();
    ASSERT_NE(os_file_syscall_override("pread", reinterpret_cast<void *>(&recording_pread)), 0);
    int32_t rc = -1;
    std::thread reader([&] { rc = fldr_read_rows_and_build_task(fldr_get_env(), &rig.inst(), &file.rec); });
    fldr_task *task = fldr_task_take(&rig.queue(0), 120000);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->row_cnt, 3u);
    EXPECT_EQ(task->data_len, size);
    if (task->row_cnt == 3) {
        EXPECT_EQ(std::string(task->data, first.size()), first);
        EXPECT_EQ(task->row_offs[1], first.size());
        EXPECT_EQ(task->row_offs[2], size - last.size());
        EXPECT_EQ(std::string(task->data + task->row_offs[2], last.size()), last);
        EXPECT_EQ(task->data[kGiB], '\0');
    }
    rig.finish(task);
    reader.join();
    os_file_syscall_reset();
    EXPECT_EQ(rc, 0);

    /* Pieces of at most 1 GiB, back to back from offset 0 to the end. */
    uint64_t next = 0;
    for (const auto &[n, off] : g_reads) {
        EXPECT_LE(n, kGiB);
        EXPECT_EQ(static_cast<uint64_t>(off), next);
        next += n;
    }
    EXPECT_GE(g_reads.size(), 2u);
    EXPECT_EQ(next, size);
    EXPECT_TRUE(rig.all_home());
}

}  // namespace
