/*
** Sequential reading: files one after another, whole rows into the row
** buffer, row counts and skips. Most cases run with read buffers of a few
** bytes as well as the real sizes, so that rows, enclosures and two-byte
** terminators straddle refills; each test compares the rows handed out with
** the rows the files hold, so a lost or doubled row shows.
*/
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fldr_file_read.h"
#include "fldr_internal.h"
#include "support/scratch.h"
#include "support/split_reference.h"

namespace {

/* A control record with data files, a read state and a row buffer of chosen sizes. */
struct reader {
    splitref::split_table table{"|", "\"", "\\"};
    std::vector<std::unique_ptr<fldr_data_file>> files;
    qxtest::QuietInst quiet;
    fldr_inst &inst = quiet.rec;
    fldr_read_info info{};
    fldr_row_buf rb{};

    reader(uint32_t read_cap, uint32_t row_cap)
    {
        fldr_init();
        inst.errinfo_gate = 1;
        inst.ctl = &table.ctl;
        EXPECT_EQ(fldr_init_read_sized(nullptr, nullptr, &info, read_cap), 0);
        EXPECT_EQ(fldr_init_row_buf_sized(nullptr, nullptr, &rb, row_cap), 0);
    }
    ~reader()
    {
        for (auto &f : files)
            if (f->handle != OS_INVALID_HANDLE)
                fldr_file_close(reinterpret_cast<fldr_file *>(f.get()));
        fldr_mem_free(nullptr, nullptr, info.buf);
        fldr_mem_free(nullptr, nullptr, rb.data);
        fldr_mem_free(nullptr, nullptr, rb.row_offs);
    }

    fldr_data_file *add_file(const std::string &path, const std::string &row_term = "\n")
    {
        auto df = std::make_unique<fldr_data_file>();
        std::memset(df.get(), 0, sizeof(fldr_data_file));
        fldr_init_data_file(df.get(), path.c_str());
        std::memcpy(df->row_term, row_term.data(), row_term.size());
        df->row_term[row_term.size()] = '\0';
        df->row_term_len = static_cast<uint16_t>(row_term.size());
        qxtest::link_last(table.ctl.data_file_first, table.ctl.data_file_last, df.get());
        table.ctl.data_file_count++;
        files.push_back(std::move(df));
        return files.back().get();
    }

    int32_t open_next() { return fldr_get_next_file(nullptr, &inst, 1, 1, &table.ctl, &info); }
    int32_t get_rows(uint32_t batch)
    {
        return fldr_get_rows_new(nullptr, &inst, 1, 1, &table.ctl, &info, &rb, batch);
    }

    std::vector<std::string> rows() const
    {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < rb.row_cnt; ++i) {
            const uint32_t end = i + 1 < rb.row_cnt ? rb.row_offs[i + 1] : rb.used;
            out.emplace_back(rb.data + rb.row_offs[i], end - rb.row_offs[i]);
        }
        return out;
    }

    /* Reads to the end of the last file with buffers of `batch` rows; the
    ** rows in order. No call fills the row buffer to its last byte. */
    std::vector<std::string> read_all(uint32_t batch)
    {
        std::vector<std::string> all;
        for (int guard = 0; guard < 100000; ++guard) {
            fldr_reset_row_buf(&rb);
            const int32_t rc = get_rows(batch);
            EXPECT_LT(rb.used, rb.cap);
            for (auto &r : rows())
                all.push_back(r);
            if (rc != 0 && rc != FLDR_FILE_READ_OVER) {
                EXPECT_EQ(rc, FLDR_FILE_LOAD_OVER);
                return all;
            }
        }
        ADD_FAILURE() << "reading did not end";
        return all;
    }
};

std::vector<std::string> split_rows(const std::string &bytes, const std::string &term)
{
    std::vector<std::string> rows;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t hit = bytes.find(term, at);
        size_t end = hit == std::string::npos ? bytes.size() : hit + term.size();
        rows.push_back(bytes.substr(at, end - at));
        at = end;
    }
    return rows;
}

}  // namespace

TEST(ReadInit, DefaultSizesAndRefusedAllocations)
{
    fldr_init();
    fldr_read_info info{};
    fldr_row_buf rb{};
    qxtest::CountingHeap refusing;
    refusing.fail_after = 0;
    EXPECT_EQ(fldr_init_read(nullptr, &refusing.ctx, &info), FLDR_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(fldr_init_row_buf(nullptr, &refusing.ctx, &rb), FLDR_ERR_OUT_OF_MEMORY);
    ASSERT_EQ(fldr_init_read(nullptr, nullptr, &info), 0);
    ASSERT_EQ(fldr_init_row_buf(nullptr, nullptr, &rb), 0);
    EXPECT_EQ(info.cap, FLDR_READ_BUF_SIZE);
    EXPECT_EQ(rb.cap, FLDR_ROW_BUF_SIZE);
    fldr_mem_free(nullptr, nullptr, info.buf);
    fldr_mem_free(nullptr, nullptr, rb.data);
    fldr_mem_free(nullptr, nullptr, rb.row_offs);
}

TEST(ReadRows, AcrossFilesWithEmptyAndUnopenableFiles)
{
    qxtest::TempDir dir;
    const std::string first = "a1|x\na2|y\na3\na4\n";
    std::string second;
    for (int i = 0; i < 20; ++i)
        second += "b" + std::to_string(i) + "|t\n";
    for (uint32_t read_cap : {6u, 7u, 8u, 10u, 42u, 4096u}) {
        reader r(read_cap, 1 << 16);
        r.add_file(dir.write("one.txt", first));
        r.add_file(dir.write("empty.txt", ""));
        r.add_file(dir.file("missing.txt"));
        r.add_file(dir.write("two.txt", second));

        /* Ten rows: four of the first file and six of the second. */
        const int32_t rc = r.get_rows(10);
        EXPECT_EQ(rc, 0);
        std::vector<std::string> got = r.rows();
        ASSERT_EQ(got.size(), 10u) << "read buffer " << read_cap;
        /* The missing file was reported once, saying which and why. */
        EXPECT_EQ(r.inst.diag.count, 1u);
        EXPECT_EQ(fldr_get_nth_diag_rec(&r.inst.diag.first, 1)->code, FLDR_ERR_OPEN_FILE);
        EXPECT_NE(std::string(r.inst.last_msg).find(dir.file("missing.txt") + ": " + std::strerror(ENOENT)),
                  std::string::npos) << r.inst.last_msg;

        std::vector<std::string> rest = r.read_all(3);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, split_rows(first + second, "\n")) << "read buffer " << read_cap;
        EXPECT_EQ(r.inst.diag.count, 1u);
        /* The end stays the end. */
        EXPECT_EQ(r.open_next(), FLDR_FILE_LOAD_OVER);
        EXPECT_EQ(r.files.back()->handle, OS_INVALID_HANDLE);
    }
}

TEST(ReadRows, LastRowWithoutTerminatorAndTwoByteTerminators)
{
    qxtest::TempDir dir;
    const std::string data = "r1|\"a\r\nb\"\r\nr2\r\n\r\nr4 last";
    for (uint32_t read_cap : {11u, 12u, 13u, 14u, 16u, 64u}) {
        for (uint32_t mode : {FLDR_SCAN_PLAIN, FLDR_SCAN_ENCLOSED}) {
            reader r(read_cap, 4096);
            r.inst.scan_mode = mode;
            r.inst.enclosed_rows = 1;
            r.add_file(dir.write("crlf.txt", data), "\r\n");
            ASSERT_EQ(r.open_next(), 0);
            uint32_t got = 0, full = 0;
            const int32_t rc = fldr_cpy_rows(&r.inst, &r.info, &r.rb, 100, &got, &full);
            EXPECT_EQ(rc, FLDR_FILE_READ_OVER) << read_cap;
            std::vector<std::string> want = mode == FLDR_SCAN_ENCLOSED
                ? std::vector<std::string>{"r1|\"a\r\nb\"\r\n", "r2\r\n", "\r\n", "r4 last"}
                : std::vector<std::string>{"r1|\"a\r\n", "b\"\r\n", "r2\r\n", "\r\n", "r4 last"};
            EXPECT_EQ(r.rows(), want) << "read buffer " << read_cap << " mode " << mode;
            EXPECT_EQ(got, want.size());
            EXPECT_EQ(full, 0u);
        }
    }
    /* A file that ends with its terminator: no empty extra row, result 0. */
    reader r(4096, 4096);
    r.add_file(dir.write("ends.txt", "x\ny\n"));
    ASSERT_EQ(r.open_next(), 0);
    uint32_t got = 0, full = 0;
    EXPECT_EQ(fldr_cpy_rows(&r.inst, &r.info, &r.rb, 100, &got, &full), 0);
    EXPECT_EQ(got, 2u);
}

TEST(ReadRows, FullRowBufferKeepsTheRowForTheNextCall)
{
    qxtest::TempDir dir;
    std::string data;
    for (int i = 0; i < 50; ++i)
        data += "row" + std::to_string(i) + std::string(i % 7, '.') + "\n";
    for (uint32_t read_cap : {16u, 4096u}) {
        reader r(read_cap, 42);   /* some row would end at its last byte */
        r.add_file(dir.write("rows.txt", data));
        EXPECT_EQ(r.read_all(1000), split_rows(data, "\n")) << "read buffer " << read_cap;
    }
}

TEST(ReadRows, OversizedRowsGiveTheirCodes)
{
    qxtest::TempDir dir;
    /* Longer than the row buffer, but it fits in the read buffer. */
    reader wide(64, 16);
    wide.add_file(dir.write("wide.txt", std::string(20, 'w') + "\nok\n"));
    ASSERT_EQ(wide.open_next(), 0);
    uint32_t got = 0, full = 0;
    EXPECT_EQ(fldr_cpy_rows(&wide.inst, &wide.info, &wide.rb, 10, &got, &full), FLDR_ERR_DATA2);
    EXPECT_EQ(full, 1u);
    EXPECT_EQ(got, 0u);

    /* Longer than the read buffer. */
    reader longer(8, 4096);
    longer.add_file(dir.write("long.txt", "ok\n" + std::string(20, 'l') + "\n"));
    EXPECT_EQ(longer.get_rows(10), FLDR_ERR_BUFFER);
    EXPECT_EQ(longer.rows(), std::vector<std::string>{"ok\n"});
    ASSERT_EQ(longer.inst.diag.count, 1u);
    EXPECT_EQ(fldr_get_nth_diag_rec(&longer.inst.diag.first, 1)->code, FLDR_ERR_BUFFER);

    /* An enclosure left open to the end of the file: the rest is the last row. */
    reader unclosed(8, 4096);
    unclosed.inst.scan_mode = FLDR_SCAN_ENCLOSED;
    unclosed.inst.enclosed_rows = 1;
    unclosed.add_file(dir.write("open.txt", "a\n\"b\nc\n"));
    EXPECT_EQ(unclosed.read_all(10), (std::vector<std::string>{"a\n", "\"b\nc\n"}));
}

TEST(ReadRows, BinaryBytesAndHexadecimalTerminators)
{
    qxtest::TempDir dir;
    const std::string data("a\0b\xff|\x01;;c\0;;", 12);
    reader r(9, 4096);
    fldr_data_file *df = r.add_file(dir.write("bin.txt", data));
    std::strcpy(df->row_term_hex, "3B3B");
    df->row_term_len = 0;
    EXPECT_EQ(r.read_all(10), (std::vector<std::string>{std::string("a\0b\xff|\x01;;", 8), std::string("c\0;;", 4)}));
    EXPECT_EQ(df->row_term_len, 2);
    EXPECT_EQ(df->row_term_given, 1u);
    EXPECT_EQ(df->row_term_hex[0], '\0');

    /* A file without a terminator stops reading. */
    reader none(64, 4096);
    fldr_data_file *empty_term = none.add_file(dir.write("n.txt", "x\n"));
    empty_term->row_term_len = 0;
    EXPECT_EQ(none.open_next(), FLDR_ERR_ROW_TERM);
    /* No data files at all. */
    reader nothing(64, 4096);
    EXPECT_EQ(nothing.get_rows(5), FLDR_FILE_LOAD_OVER);
    EXPECT_EQ(nothing.get_rows(0), 0);
}

TEST(ReadCount, CountsRowsThroughSmallBuffers)
{
    qxtest::TempDir dir;
    /* A last row without its terminator is counted, and gives the end of the file. */
    const struct {
        const char *data, *term;
        int32_t     rc;
        uint32_t    rows;
    } files[] = {{"aa\r\nbbb\r\n\r\ncc", "\r\n", FLDR_FILE_READ_OVER, 4}, {"aa\nb\n", "\n", 0, 2}};
    for (uint32_t read_cap : {5u, 6u, 9u, 4096u}) {
        for (const auto &f : files) {
            reader r(read_cap, 4096);
            r.add_file(dir.write("c.txt", f.data), f.term);
            ASSERT_EQ(r.open_next(), 0);
            uint32_t count = 0;
            EXPECT_EQ(fldr_get_rowcount(&r.info, nullptr, &count), f.rc);
            EXPECT_EQ(count, f.rows) << read_cap << " " << f.data;
            EXPECT_EQ(r.info.pos, r.info.len);
        }
    }
    /* A row longer than the read buffer. */
    reader r(4, 4096);
    r.add_file(dir.write("e.txt", "a\nbbbbbbbb\n"));
    ASSERT_EQ(r.open_next(), 0);
    uint32_t count = 9;
    EXPECT_EQ(fldr_get_rowcount(&r.info, nullptr, &count), FLDR_ERR_BUFFER);
    EXPECT_EQ(count, 1u);
}

TEST(ReadSkip, SkipsRowsInChunks)
{
    qxtest::TempDir dir;
    std::string data;
    for (int i = 0; i < 30; ++i)
        data += "line " + std::to_string(i) + "\r\n";
    data += "tail";
    const std::vector<std::string> rows = split_rows(data, "\r\n");
    for (uint32_t chunk : {3u, 7u, 16u, 64u, FLDR_SKIP_CHUNK_SIZE}) {
        for (uint64_t want : {0ull, 1ull, 5ull, 17ull, 30ull, 31ull, 100ull}) {
            reader r(64, 4096);
            fldr_data_file *df = r.add_file(dir.write("s.txt", data), "\r\n");
            ASSERT_EQ(r.open_next(), 0);
            uint64_t skipped = 99;
            ASSERT_EQ(fldr_skip_rows_sized(nullptr, &r.inst, df, want, &skipped, chunk, 4), 0);
            const uint64_t expect = std::min<uint64_t>(want, rows.size());
            EXPECT_EQ(skipped, expect) << "chunk " << chunk << " rows " << want;
            /* Reading goes on with the first row not skipped. */
            const std::vector<std::string> rest(rows.begin() + static_cast<ptrdiff_t>(expect), rows.end());
            EXPECT_EQ(r.read_all(100), rest) << "chunk " << chunk << " rows " << want;
        }
    }
}

TEST(ReadSkip, EnclosedRowsAndReadFailures)
{
    qxtest::TempDir dir;
    reader r(64, 4096);
    r.inst.scan_mode = FLDR_SCAN_ENCLOSED;
    r.inst.enclosed_rows = 1;
    fldr_data_file *df = r.add_file(dir.write("q.txt", "\"a\nb\"\nc\nd\n"));
    ASSERT_EQ(r.open_next(), 0);
    uint64_t skipped = 0;
    ASSERT_EQ(fldr_skip_rows_sized(nullptr, &r.inst, df, 2, &skipped, 8, 10), 0);
    EXPECT_EQ(skipped, 2u);
    EXPECT_EQ(df->file_offset, 8u);
    ASSERT_EQ(fldr_skip_rows_in_file(nullptr, &r.inst, df, 5, &skipped), 0);
    EXPECT_EQ(skipped, 1u);
    EXPECT_EQ(df->file_offset, df->file_size);

    /* A closed file cannot be read; the chunk buffer is given back. */
    fldr_data_file closed{};
    fldr_init_data_file(&closed, dir.file("q.txt").c_str());
    closed.file_size = 10;
    const uint64_t blocks = mem2_pool_blocks_in_use(g_fldr_obj.pool);
    EXPECT_EQ(fldr_skip_rows_in_file(nullptr, nullptr, &closed, 1, &skipped), FLDR_ERR_READ_FILE);
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(mem2_pool_blocks_in_use(g_fldr_obj.pool), blocks);
}
