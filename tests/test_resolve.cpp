// Data-file resolution: plain and wildcard names, list files, directory walks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fldr_internal.h"
#include "support/fpar_test_util.h"
#include "support/scratch.h"

namespace fs = std::filesystem;

namespace {

using fpar_test::describe;
using qxtest::stored;

class Resolve : public qxtest::DirTest {
protected:
    Resolve()
    {
        heap_ = mem_heap_create_low(fldr_get_env(), 0, 4096, 0, 0, "test", __LINE__, 1);
        std::memset(&ctl_, 0, sizeof ctl_);
        quiet_.rec.errinfo_gate = 1;  // no log file in these tests
    }
    ~Resolve() override { mem_heap_free(fldr_get_env(), heap_); }

    void touch(const std::string &name, const std::string &bytes = "x\n") const { dir_.write(name, bytes); }
    // An INFILE entry as the parser leaves it.
    fldr_data_file *entry(const std::string &p)
    {
        auto *df = static_cast<fldr_data_file *>(
            mem_heap_alloc_low(fldr_get_env(), heap_, sizeof(fldr_data_file), 0, "test", __LINE__));
        fldr_init_data_file(df, p.c_str());
        qxtest::link_last(ctl_.data_file_first, ctl_.data_file_last, df);
        ctl_.data_file_count++;
        return df;
    }
    static std::vector<std::string> paths(const fldr_data_file *df, uint32_t count)
    {
        std::vector<std::string> out;
        for (; df; df = df->next) out.push_back(df->path);
        EXPECT_EQ(out.size(), count);
        return out;
    }
    std::vector<std::string> files() const { return paths(ctl_.data_file_first, ctl_.data_file_count); }
    std::vector<std::string> specs() const { return paths(ctl_.spec_first, ctl_.spec_count); }
    std::vector<int32_t> diag_codes() const
    {
        std::vector<int32_t> out;
        for (uint32_t i = 1; i <= inst_.diag.count; i++)
            out.push_back(fldr_get_nth_diag_rec(const_cast<fldr_diag_block *>(&inst_.diag.first), i)->code);
        return out;
    }
    std::string s(const std::string &name) const { return stored(path(name)); }

    mem_heap_t *heap_ = nullptr;
    fldr_ctl ctl_;
    qxtest::QuietInst quiet_;
    fldr_inst &inst_ = quiet_.rec;
};

using Strings = std::vector<std::string>;

TEST_F(Resolve, PlainAndWildcardNames)
{
    // Only the exact name _desktop.ini is skipped here; a directory matching
    // the pattern is not a file.
    for (const char *name : {"d/a.txt", "d/b.txt", "d/c.dat", "d/_desktop.ini", "d/_DESKTOP.INI", "d/sub.txt/inner"})
        touch(name);

    fldr_data_file *named = entry(path("d/not-yet-there.txt"));
    named->row_term_len = 1;
    strcpy(named->row_term, "|");
    entry("*");
    fldr_data_file *wild = entry(path("d/*.txt"));
    wild->row_term_len = 0;
    strcpy(wild->row_term_hex, "7C0A");
    strcpy(wild->start_str, "##");
    wild->start_len = 2;
    entry(path("d/_*"));
    entry(path("d/*.none"));            // matches nothing: dropped silently
    entry("+ASM\\file.txt");
    entry("dfs:\\x.txt");
    entry(path("d/bad<name>.txt"));
    entry(path(std::string(300, 'l')));  // over-long

    ASSERT_EQ(fldr_deal_file_list(fldr_get_env(), heap_, &ctl_), 0);
    EXPECT_EQ(files(), (Strings{s("d/not-yet-there.txt"), s("d/a.txt"), s("d/b.txt"),
                                s("d/_DESKTOP.INI")}));
    EXPECT_EQ(specs().size(), 9u);
    EXPECT_EQ(specs()[1], "*");

    // Terminator and start string follow the entry each file came from.
    fldr_data_file *first = ctl_.data_file_first;
    EXPECT_EQ(describe(first),
              "path='" + s("d/not-yet-there.txt") + "' row_term='|' row_term_len=1 row_term_given=1");
    EXPECT_EQ(describe(first->next),
              "path='" + s("d/a.txt") + "' row_term_hex='7C0A' row_term_given=1 start='##' start_len=2");
    EXPECT_EQ(first->next->prev, first);
    EXPECT_EQ(ctl_.data_file_last->next, nullptr);

    char out[4096] = "head\n";
    fldr_cat_data_file(&ctl_, out);
    EXPECT_EQ(std::string(out), "head\n" + s("d/not-yet-there.txt") + "\n" + s("d/a.txt") + "\n" +
                                    s("d/b.txt") + "\n" + s("d/_DESKTOP.INI") + "\n");
}

TEST_F(Resolve, ListFiles)
{
    for (const char *name : {"data/a.txt", "data/b.txt", "data/c.txt", "data/w1.csv", "data/w2.csv", "data/sub.csv/x"})
        touch(name);
    // Commas, CR LF line ends, a blank line, blanks before and after names,
    // a wildcard name, a name with "/" separators, and no final line end.
    touch("one.lst", s("data/a.txt") + ", " + s("data/b.txt") + "\r\n\r\n   " + s("data/c.txt") +
                         "   \r\n" + s("data/w*.csv") + "\r\n" + path("data/a.txt"));
    // LF line ends only; an over-long name, a name with a NUL byte.
    touch("two.lst", s("data/c.txt") + "\n" + std::string(300, 'q') + "\n" +
                         std::string("\t") + s("data/b.txt") + std::string(1, '\0') + "junk\n");
    touch("empty.lst", "");
    touch("nomatch.lst", s("data/*.none") + "\n" + s("data/a.txt"));
    touch("l.lst", s("data/a.txt"));

    // An entry's hexadecimal terminator and start string are converted and
    // go to its files; a digit that is none, a zero byte, or a directory
    // where a list belongs skip the entry.
    fldr_data_file *hex = entry(path("l.lst"));
    hex->row_term_len = 0;
    strcpy(hex->row_term_hex, "7C0A");
    strcpy(hex->start_hex, "23");
    strcpy(entry(path("l.lst"))->row_term_hex, "7G");
    strcpy(entry(path("l.lst"))->start_hex, "410042");
    entry(path("."));
    for (const char *name : {"one.lst", "missing.lst", "two.lst", "empty.lst", "nomatch.lst", "bad|name.lst"})
        entry(path(name));
    ctl_.infile_list = 1;

    ASSERT_EQ(fldr_resolve_path_file(fldr_get_env(), &inst_, FLDR_LANG_EN, 1, heap_, &ctl_), 0);
    EXPECT_EQ(files(), (Strings{s("data/a.txt"), s("data/a.txt"), s("data/b.txt"), s("data/c.txt"), s("data/w1.csv"),
                                s("data/w2.csv"), s("data/a.txt"), s("data/c.txt"), s("data/b.txt"), s("data/a.txt")}));
    EXPECT_EQ(describe(ctl_.data_file_first),
              "path='" + s("data/a.txt") + "' row_term='|\n' row_term_len=2 row_term_given=1 start='#' start_len=1 "
              "start_given=1");
    EXPECT_STREQ(hex->row_term_hex, "");  // the entry itself is converted
    EXPECT_EQ(specs().size(), 10u);
    // The two bad conversions, the directory, the missing list file, the
    // wildcard that matched nothing, the bad path.
    EXPECT_EQ(diag_codes(), (std::vector<int32_t>{FLDR_ERR_ROW_TERM, FLDR_ERR_ROW_TERM, FLDR_ERR_OPEN_FILE,
                                                  FLDR_ERR_OPEN_FILE, FLDR_ERR_FILE_PATH, FLDR_ERR_FILE_PATH}));
    EXPECT_STREQ(inst_.last_msg, "Invalid file path");
    // The list files are closed again.
    for (fldr_data_file *df = ctl_.spec_first; df; df = df->next) EXPECT_EQ(df->handle, -1);

    // Without an instance the unreadable lists are passed over in silence.
    memset(&ctl_, 0, sizeof ctl_);
    entry(path("missing.lst"));
    entry(path("l.lst"));
    ASSERT_EQ(fldr_resolve_path_file(fldr_get_env(), nullptr, FLDR_LANG_EN, 1, heap_, &ctl_), 0);
    EXPECT_EQ(files(), (Strings{s("data/a.txt")}));
}

// A directory tree with a little of everything: a link to a file, a link
// back to the top, and a path too long to be kept.
class Walk : public Resolve {
protected:
    Walk()
    {
        for (const char *name : {"root/a.txt", "root/_Desktop.ini", "root/sub1/b.txt", "root/sub1/deep/c.txt",
                                 "root/sub1/_desktop.INI", "root/sub2/d.txt", "root/other/e.txt", "root/other/sub9/f.txt"})
            touch(name);
        fs::create_directory_symlink(path("root"), path("root/sub1/loop"));
        fs::create_symlink(path("root/a.txt"), path("root/sub2/link.txt"));
        std::string deep = "root/long";
        while (deep.size() + dir_.dir().string().size() < 300) deep += "/dddddddddd";
        touch(deep + "/lost.txt");
    }
    int32_t collect() { return fldr_collect_datafiles_by_path(fldr_get_env(), heap_, &ctl_); }
};

TEST_F(Walk, LevelsSelectDirectories)
{
    // Depth first, entries in name order, the desktop files skipped in any
    // case; letters match without regard to case; files at a level are never
    // collected even when they match. The loop is not followed, a link to a
    // file is a file, the over-long path is dropped.
    const std::pair<const char *, Strings> cases[] = {
        {"root", {"root/a.txt", "root/other/e.txt", "root/other/sub9/f.txt", "root/sub1/b.txt", "root/sub1/deep/c.txt",
                  "root/sub2/d.txt", "root/sub2/link.txt"}},
        {"root/SUB*", {"root/sub1/b.txt", "root/sub1/deep/c.txt", "root/sub2/d.txt", "root/sub2/link.txt"}},
        {"root/*", {"root/other/e.txt", "root/other/sub9/f.txt", "root/sub1/b.txt", "root/sub1/deep/c.txt",
                    "root/sub2/d.txt", "root/sub2/link.txt"}},
        {"root/*/d*", {"root/sub1/deep/c.txt"}},
        {"root/*.txt", {}},
    };
    for (const auto &[pattern, want] : cases) {
        memset(&ctl_, 0, sizeof ctl_);
        entry(path(pattern));
        ASSERT_EQ(collect(), 0) << pattern;
        Strings stored_want;
        for (const std::string &w : want) stored_want.push_back(s(w));
        EXPECT_EQ(files(), stored_want) << pattern;
        EXPECT_EQ(specs(), (Strings{s(pattern)}));
    }
}

TEST_F(Walk, RelativePathsTrailingSeparatorAndRefusals)
{
    fs::path saved = fs::current_path();
    fs::current_path(dir_.dir());
    entry("root/sub2/");              // relative: walked under ".\", one trailing "\" dropped
    entry("./root/other/sub9");       // begins with ".": as it is
    int32_t rc = collect();
    fs::current_path(saved);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(files(), (Strings{".\\root\\sub2\\d.txt", ".\\root\\sub2\\link.txt", ".\\root\\other\\sub9\\f.txt"}));

    // "\\" anywhere is refused; so is an empty path and a missing directory;
    // files found for earlier entries stay.
    for (std::string bad : {path("root") + "//sub1", std::string(""), path("nowhere"), path("root/a.txt")}) {
        memset(&ctl_, 0, sizeof ctl_);
        entry(path("root/sub2"));
        fldr_data_file *second = entry(bad);
        if (bad.empty()) second->path[0] = '\0';
        entry(path("root/sub1"));
        EXPECT_EQ(collect(), FLDR_ERR_FILE_PATH) << bad;
        EXPECT_EQ(files(), (Strings{s("root/sub2/d.txt"), s("root/sub2/link.txt")})) << bad;
    }
}

}  // namespace
