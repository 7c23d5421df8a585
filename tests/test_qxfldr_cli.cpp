/*
** qxfldr as a command-line tool: help and version on standard output with
** status 0, errors on standard error with the documented status, and a
** manual page that keeps up with the keywords.
*/
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "support/qxfldr_run.h"

namespace qxtest {

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

/* The keywords of the help text: its lines "  NAME   what it does". */
std::vector<std::string> help_keywords(const std::string &help)
{
    std::vector<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 4 || line.compare(0, 2, "  ") != 0 || !std::isupper(static_cast<unsigned char>(line[2])))
            continue;
        const size_t end = line.find(' ', 2);
        names.push_back(line.substr(2, end - 2));
    }
    return names;
}

TEST(QxfldrCli, HelpFormsPrintTheSameTextOnStandardOutput)
{
    Dir dir;
    const RunResult help = run(dir, {"help"});
    ASSERT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage:\n", 0), 0u) << help.out;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"HELP"}, {"--help"}, {"-h"}, {"control=x.ctl", "--help"}}) {
        const RunResult r = run(dir, args);
        EXPECT_EQ(r.status, 0) << args.back();
        EXPECT_EQ(r.out, help.out) << args.back();
        EXPECT_EQ(r.err, "") << args.back();
    }
}

TEST(QxfldrCli, VersionNamesTheToolAndTheLoadedLibrary)
{
    Dir dir;
    const std::string version = std::to_string(QXFLDR_COMM_VERSION_MAJOR) + "." +
                                std::to_string(QXFLDR_COMM_VERSION_MINOR) + "." +
                                std::to_string(QXFLDR_COMM_VERSION_PATCH);
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--version"}, {"db=x.db", "--version", "--help"}}) {
        const RunResult r = run(dir, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "qxfldr " + version + "\nlibqxfldr_comm " + version + "\n");
        EXPECT_EQ(r.err, "");
    }
}

/* Each refusal: its status, a line on standard error, and for a bad command
** line nothing on standard output. */
TEST(QxfldrCli, ErrorsGoToStandardErrorWithTheDocumentedStatus)
{
    Dir dir;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err_part;
        bool usage;   /* refused before anything ran: standard output stays empty */
    };
    const std::vector<Case> cases = {
        {{}, 2, "usage:\n", true},
        {{"--bogus"}, 2, "qxfldr: '--bogus' is not KEYWORD=VALUE", true},
        {{"NOPE=1"}, 2, "qxfldr: unknown keyword NOPE", true},
        {{"control=t.ctl", "ROWS=many"}, 2, "qxfldr: bad value for ROWS", true},
        {{"db=x.db", "sql=SELECT 1"}, 2, "qxfldr: control=FILE is missing", true},
        {{"control=" + (dir / "missing.ctl")}, 2, "missing.ctl: No such file or directory", false},
        {{"mode=OUT", "db=" + (dir / "x.db"), "sql=SELECT nothing", "data=" + (dir / "x.txt")}, 1,
         "qxfldr: ", false},
    };
    for (const Case &c : cases) {
        const std::string shown = c.args.empty() ? "(no arguments)" : c.args.back();
        const RunResult r = run(dir, c.args);
        EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err_part), std::string::npos) << shown << "\n" << r.err;
        if (c.usage) {
            EXPECT_EQ(r.out, "") << shown;
        }
    }
}

/* Help or version that cannot be written (a full disk) is not a success. */
TEST(QxfldrCli, UnwrittenOutputIsAFailure)
{
    Dir dir;
    for (const char *arg : {"--help", "--version"}) {
        const RunResult r = run(dir, {arg}, {"sh", "-c", "exec \"$0\" \"$@\" >/dev/full"});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_NE(r.err.find("qxfldr: cannot write to standard output"), std::string::npos) << arg << "\n" << r.err;
    }
}

/* The manual page is written by hand: it names every keyword the help lists
** and the version the tool reports. */
TEST(QxfldrCli, ManualPageCoversTheHelpAndTheVersion)
{
    Dir dir;
    const std::string page = lower(read_file(std::string(QX_SOURCE_DIR) + "/tools/qxfldr/qxfldr.1"));
    ASSERT_FALSE(page.empty());
    const RunResult help = run(dir, {"help"});
    const std::vector<std::string> keywords = help_keywords(help.out);
    EXPECT_GE(keywords.size(), 20u) << help.out;
    /* Each keyword heads an entry of its own: ".BI LOG= FILE", ".BR SILENT= ...". */
    for (const std::string &kw : keywords) {
        const bool listed = page.find("\n.bi " + lower(kw) + "=") != std::string::npos ||
                            page.find("\n.br " + lower(kw) + "=") != std::string::npos;
        EXPECT_TRUE(listed) << kw << " has no entry in qxfldr.1";
    }
    const RunResult version = run(dir, {"--version"});
    const std::string tool_version = version.out.substr(0, version.out.find('\n'));   /* "qxfldr 1.0.0" */
    const std::string th = page.substr(0, page.find('\n'));
    EXPECT_NE(th.find("\"qxfldr_comm " + tool_version.substr(tool_version.find(' ') + 1) + "\""), std::string::npos)
        << th;
}

}  // namespace

}  // namespace qxtest
