// File access: open, create, close, append (offsets, lazy open, locking), delete.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "fldr_internal.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

using qxtest::read_file;
using FileIo = qxtest::DirTest;

// A file record as "open"/"closed" with its size and offset.
std::string state(const fldr_file &f)
{
    return (f.handle == -1 ? "closed" : "open") + std::string(" size ") + std::to_string(f.file_size) + " offset " +
           std::to_string(f.file_offset);
}

// True when another thread can take `lock` within a second.
bool lock_is_free(os_mutex2_t *lock)
{
    auto taken = std::async(std::launch::async, [lock] { fldr_lock(lock), fldr_unlock(lock); });
    return taken.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
}

TEST_F(FileIo, OpenCreateCloseDelete)
{
    fldr_file file;
    fldr_init_file(&file, path("new.txt").c_str());   // stored with backslashes
    EXPECT_EQ(std::string(file.path).find('/'), std::string::npos);
    EXPECT_EQ(fldr_open_file(&file), FLDR_ERR_OPEN_FILE);
    EXPECT_EQ(state(file), "closed size 0 offset 0");   // a failed open leaves the record

    ASSERT_EQ(fldr_create_file(&file), 0);
    EXPECT_EQ(fldr_write_file(&file, &lock_, "hello", 5), 0);
    EXPECT_EQ(state(file), "open size 0 offset 5");
    fldr_file_close(&file);
    fldr_file_close(&file);   // closing a closed record is harmless
    EXPECT_EQ(state(file) + " " + read_file(path("new.txt")), "closed size 0 offset 0 hello");
    ASSERT_EQ(fldr_open_file(&file), 0);   // opening reads the size and starts at 0
    EXPECT_EQ(state(file), "open size 5 offset 0");
    fldr_file_close(&file);
    ASSERT_EQ(fldr_create_file(&file), 0);   // creating again truncates
    fldr_file_close(&file);
    EXPECT_EQ(read_file(path("new.txt")), "");
    EXPECT_EQ(fldr_delete_file(file.path), 0);
    EXPECT_FALSE(fs::exists(path("new.txt")));
    EXPECT_EQ(fldr_delete_file(file.path), FLDR_ERR_DELETE_FILE);

    fldr_file nowhere;
    fldr_init_file(&nowhere, path("no/such/dir/x.txt").c_str());
    EXPECT_EQ(fldr_create_file(&nowhere), FLDR_ERR_CREATE_FILE);
    EXPECT_EQ(nowhere.handle, -1);
    EXPECT_EQ(fldr_open_file_read(&nowhere), FLDR_ERR_OPEN_FILE);
    // Paths on ASM or DFS storage, or with wildcards, are not valid names.
    EXPECT_NE(fldr_is_valid_pathname("data\\a.txt", 1), 0);
    for (const char *bad : {"+DATA\\a.txt", "DFS:\\a.txt", "a*.txt"})
        EXPECT_EQ(fldr_is_valid_pathname(bad, 1), 0) << bad;
}

TEST_F(FileIo, AppendsContinueAtTheEndAndReleaseTheLock)
{
    qxtest::write_file(path("log.txt"), std::string(100, 'x'));
    fldr_file file;
    fldr_init_file(&file, path("log.txt").c_str());
    ASSERT_EQ(fldr_write_file(&file, &lock_, "0123456789", 10), 0);
    EXPECT_EQ(state(file), "open size 100 offset 110");   // the lazy open keeps the file open
    ASSERT_EQ(fldr_write_file(&file, &lock_, "ab", 2), 0);
    EXPECT_EQ(state(file), "open size 100 offset 112");
    fldr_file_close(&file);
    EXPECT_EQ(read_file(path("log.txt")), std::string(100, 'x') + "0123456789ab");
    EXPECT_TRUE(lock_is_free(&lock_));

    // The lock held here: an append of 0 bytes from another thread must not wait for it, nor open the file.
    fldr_init_file(&file, path("absent.txt").c_str());
    fldr_lock(&lock_);
    auto call = std::async(std::launch::async, [&] { return fldr_write_file(&file, &lock_, "x", 0); });
    const bool finished = call.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    fldr_unlock(&lock_);
    ASSERT_TRUE(finished);
    EXPECT_TRUE(call.get() == 0 && file.handle == -1 && !fs::exists(path("absent.txt")));

    // A file that cannot be opened: nothing changes and the lock is released.
    fldr_init_file(&file, path("missing/log.txt").c_str());
    EXPECT_EQ(fldr_write_file(&file, &lock_, "abc", 3), FLDR_ERR_OPEN_FILE);
    EXPECT_EQ(state(file), "closed size 0 offset 0");
    EXPECT_TRUE(lock_is_free(&lock_));
}

}  // namespace
