/*
** Helpers the suites share: a fresh directory per test, whole-file reads and
** writes, the stored form of a path, an allocator record that counts (and
** can refuse) what it hands out, and an independent character-set
** conversion for expected bytes.
*/
#ifndef QX_TESTS_SCRATCH_H
#define QX_TESTS_SCRATCH_H

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fldr_internal.h"

namespace qxtest {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

/* The library's stored form of a path: every "/" as "\". */
inline std::string stored(std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

/* Appends `node` to a list linked through prev/next with ends first/last. */
template <typename T>
void link_last(T *&first, T *&last, T *node)
{
    node->prev = last;
    (last != nullptr ? last->next : first) = node;
    last = node;
}

/* A fresh directory, removed with everything in it. */
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qxtest.XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        path_ = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &dir() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    std::string operator/(const std::string &name) const { return file(name); }
    /* Writes `bytes` to a file of the directory (its folders made first). */
    std::string write(const std::string &name, const std::string &bytes = "") const
    {
        std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
        write_file(file(name), bytes);
        return file(name);
    }
    std::string read(const std::string &name) const { return read_file(file(name)); }

private:
    std::filesystem::path path_;
};

/* A test with its own directory and a lock for the file records it writes
** through; the library is started for it. */
class DirTest : public ::testing::Test {
protected:
    DirTest()
    {
        fldr_init();
        os_mutex2_create(&lock_);
    }
    ~DirTest() override { os_mutex2_free(&lock_); }
    std::string path(const std::string &name) const { return dir_.file(name); }

    TempDir     dir_;
    os_mutex2_t lock_;
};

/* A load instance whose messages go nowhere: English, silent, with the
** locks, event and diagnostic list the message paths take. */
struct QuietInst {
    fldr_inst rec;
    QuietInst()
    {
        std::memset(&rec, 0, sizeof rec);
        os_mutex2_create(&rec.msg_lock);
        os_mutex2_create(&rec.log_lock);
        os_event2_create(&rec.log_event);
        fldr_init_diag(&rec.diag);
        rec.language = FLDR_LANG_EN;
        rec.silent = 1;
        rec.log_owner = &rec;
        rec.log_file.handle = OS_INVALID_HANDLE;
    }
    ~QuietInst()
    {
        fldr_file_close(&rec.log_file);
        fldr_deinit_diag(fldr_get_env(), &rec.diag);
        os_event2_free(&rec.log_event);
        os_mutex2_free(&rec.log_lock);
        os_mutex2_free(&rec.msg_lock);
    }
    QuietInst(const QuietInst &) = delete;
    QuietInst &operator=(const QuietInst &) = delete;
};

/* An allocator record over malloc that counts what it hands out and takes
** back, remembers the sizes asked for and the last module tag, and refuses
** once `fail_after` allocations were granted (never while it is negative). */
struct CountingHeap {
    int64_t             allocs = 0;
    int64_t             frees = 0;
    int64_t             live = 0;
    int64_t             fail_after = -1;
    std::vector<size_t> sizes;
    std::string         last_tag;
    mem_ctx_t           ctx{alloc, release, this};

    CountingHeap() = default;
    CountingHeap(const CountingHeap &) = delete;
    CountingHeap &operator=(const CountingHeap &) = delete;

    static void *alloc(fldr_env *, void *heap, size_t size, const char *tag, uint32_t)
    {
        auto *h = static_cast<CountingHeap *>(heap);
        if (h->fail_after >= 0 && h->allocs >= h->fail_after)
            return nullptr;
        h->allocs++;
        h->live++;
        h->sizes.push_back(size);
        h->last_tag = tag != nullptr ? tag : "";
        return std::malloc(size);
    }
    static void release(fldr_env *, void *heap, void *ptr)
    {
        auto *h = static_cast<CountingHeap *>(heap);
        h->frees++;
        h->live--;
        std::free(ptr);
    }
};

/* Converts with the C library's iconv: the reference for expected bytes. */
inline std::string iconv_to(const char *to, const char *from, const std::string &in)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        std::abort();
    std::string out(in.size() * 4 + 16, '\0');
    char *src = const_cast<char *>(in.data());
    size_t src_left = in.size();
    char *dst = out.data();
    size_t dst_left = out.size();
    iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

}  // namespace qxtest

#endif
