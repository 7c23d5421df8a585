/*
** qxfldr as a command-line tool: help and version on standard output with
** status 0, errors on standard error with the documented status, and a
** manual page that keeps up with the keywords.
*/
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/qxfldr_run.h"

namespace qxtest {

namespace {

/* Every spelling of help and of version: status 0, the text on standard
** output, nothing on standard error. */
TEST(QxfldrCli, HelpAndVersionGoToStandardOutput)
{
    Dir dir;
    const std::string help = run(dir, {"help"}).out;
    EXPECT_EQ(help.rfind("usage:\n", 0), 0u) << help;
    const std::string version = std::to_string(QXFLDR_COMM_VERSION_MAJOR) + "." +
                                std::to_string(QXFLDR_COMM_VERSION_MINOR) + "." +
                                std::to_string(QXFLDR_COMM_VERSION_PATCH);
    const std::string versions = "qxfldr " + version + "\nlibqxfldr_comm " + version + "\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"HELP"}, help}, {{"--help"}, help}, {{"-h"}, help}, {{"control=x.ctl", "--help"}, help},
        {{"--version"}, versions}, {{"db=x.db", "--version", "--help"}, versions},
    };
    for (const auto &[args, out] : cases) {
        const RunResult r = run(dir, args);
        EXPECT_EQ(r.status, 0) << args.back();
        EXPECT_EQ(r.out, out) << args.back();
        EXPECT_EQ(r.err, "") << args.back();
    }
}

/* A bad command line: exit 2, a line on standard error, nothing on
** standard output. */
TEST(QxfldrCli, ErrorsGoToStandardErrorWithTheDocumentedStatus)
{
    Dir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "usage:\n"},
        {{"--bogus"}, "qxfldr: '--bogus' is not KEYWORD=VALUE"},
        {{"NOPE=1"}, "qxfldr: unknown keyword NOPE"},
        {{"control=t.ctl", "ROWS=many"}, "qxfldr: bad value for ROWS"},
        {{"db=x.db", "sql=SELECT 1"}, "qxfldr: control=FILE is missing"},
    };
    for (const auto &[args, message] : cases) {
        const RunResult r = run(dir, args);
        EXPECT_EQ(r.status, 2) << message << "\n" << r.err;
        EXPECT_THAT(r.err, testing::HasSubstr(message));
        EXPECT_EQ(r.out, "") << message;
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
    const std::string page = read_file(std::string(QX_SOURCE_DIR) + "/tools/qxfldr/qxfldr.1");
    /* The keywords are the help's lines "  NAME   what it does"; each heads
    ** an entry of its own in the page: ".BI LOG= FILE", ".BR SILENT= ...". */
    const std::string help = run(dir, {"help"}).out;
    static const std::regex line("\n  ([A-Z][A-Z_]*) ");
    int keywords = 0;
    for (auto it = std::sregex_iterator(help.begin(), help.end(), line); it != std::sregex_iterator(); ++it, keywords++)
        EXPECT_TRUE(std::regex_search(page, std::regex("\n\\.B[IR] " + (*it)[1].str() + "=", std::regex::icase)))
            << (*it)[1] << " has no entry in qxfldr.1";
    EXPECT_GE(keywords, 20);
    const std::string version = run(dir, {"--version"}).out;   /* "qxfldr 1.0.0\n..." */
    const std::string th = page.substr(0, page.find('\n'));
    EXPECT_NE(th.find("\"qxfldr_comm " + version.substr(7, version.find('\n') - 7) + "\""), std::string::npos) << th;
}

}  // namespace

}  // namespace qxtest
