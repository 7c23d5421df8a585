/*
** The loader's reading of a control text beside the library's parse, and
** the limits it settles before a load: tokens and their places, the
** clauses the parsed records cannot show, shortened tokens, option ranges,
** worker threads and the memory plan.
*/
#include <gtest/gtest.h>

#include "ctltext.h"
#include "runlimits.h"

using namespace qxfldr;

namespace {

std::string shown(const CtlScan &scan)
{
    static const char *kinds[] = {"W", "Q", "I", "N", "H", "B", "P"};
    std::string out;
    for (const auto &t : scan.tokens)
        out += std::string(kinds[t.kind]) + ":" + t.text + "@" + std::to_string(t.line) + "." +
               std::to_string(t.column) + " ";
    return out;
}

TEST(ControlText, TokensAndTheirPlaces)
{
    const CtlScan scan = scan_control_text("load -- note\r\n  X '7C' x'10' 'it''s' 'a' -- c\n\n 'b'\n"
                                           "/* a /* nested */ one */ \"Tr\"\"im\" 0042 trailing \n nullcols b'01' ,");
    EXPECT_FALSE(scan.fault);
    EXPECT_EQ(shown(scan), "W:LOAD@1.1 W:X@2.3 Q:7C@2.5 H:10@2.10 Q:it''s@2.16 Q:ab@2.24 I:Tr\"im@5.26 N:42@5.35 "
                           "W:TRAILING NULLCOLS@5.40 B:01@6.11 P:,@6.17 ");

    /* Where the library's scanner stops with an error, from the start of
    ** the token or comment that is not closed. */
    const struct {
        std::string text;
        uint32_t line, column;
    } faults[] = {
        {"LOAD 'open\nstill", 1, 6},
        {"a\n  /* /* */", 2, 3},
        {"x \"no end", 1, 3},
        {"\"\"", 1, 1},                                        /* an empty identifier */
        {"POSITION(99999999999999999999", 1, 10},            /* more than 64 bits */
        {"ERRORS = X'100000000'", 1, 10},                     /* more than 31 bits */
        {"B'012'", 1, 1},
        {"ok\n" + std::string(129, 'n'), 2, 1},
    };
    for (const auto &f : faults) {
        const CtlScan s = scan_control_text(f.text);
        EXPECT_TRUE(s.fault) << f.text;
        EXPECT_EQ(s.fault_line * 1000 + s.fault_column, f.line * 1000 + f.column) << f.text;
    }
    EXPECT_FALSE(scan_control_text("9223372036854775807 000000000000000000001 'x\\'y'").fault);
}

TEST(ControlText, ColumnWritingAndOptionNumbers)
{
    const CtlScan scan = scan_control_text(
        "OPTIONS (ERRORS = 5 EP = (1, 2) BUFFER_NODE_SIZE = X'10' LOG = 'x' TASK_THREAD_NUMBER = 0099)\n"
        "LOAD DATA INFILE 'a' INTO TABLE t EP (3) WHEN (1:2) = 'x' AND k = 'y'\n"
        "(a POSITION(1:2) DATE '', \"b\" TERMINATED BY X '', c DATE FORMAT 'YY', d DATE 'Y'\n'' ,\n"
        " e TERMINATED WHITESPACE \"TRIM\")\n"
        "INTO TABLE when (date DATE, f TERMINATED BY '')");
    ASSERT_FALSE(scan.fault);
    const auto lists = find_column_writing(scan);
    ASSERT_EQ(lists.size(), 2u);
    std::string got;
    for (const auto &list : lists)
        for (const auto &c : list)
            got += c.name + (c.empty_date_format ? "+date" : "") + (c.empty_terminator ? "+term" : "") + " ";
    EXPECT_EQ(got, "A+date b+term C D E DATE F+term ");

    std::string numbers;
    for (const auto &n : find_option_numbers(scan))
        numbers += n.key + "=" + n.digits + "@" + std::to_string(n.line) + "." + std::to_string(n.column) + " ";
    EXPECT_EQ(numbers, "ERRORS=5@1.19 BUFFER_NODE_SIZE=16@1.52 TASK_THREAD_NUMBER=99@1.89 ");
}

/* At most 60 characters, not bytes: longer tokens keep 57 and "...", and
** a character is never cut. */
TEST(ControlText, LongTokensAreClipped)
{
    auto times = [](const std::string &s, int n) {
        std::string out;
        for (int i = 0; i < n; i++)
            out += s;
        return out;
    };
    EXPECT_EQ(clip("a\nb\tc\x01"), "a\\nb\\tc\\x01");
    for (const std::string c : {"x", "\xC3\xA9"}) {
        EXPECT_EQ(clip(times(c, 60)), times(c, 60));
        EXPECT_EQ(clip(times(c, 61)), times(c, 57) + "...");
        EXPECT_EQ(clip(times(c, 10000)), times(c, 57) + "...");
    }
}

TEST(RunLimits, OptionFieldsAndMemory)
{
    std::string err;
    /* Leading zeros are digits of the same number; a field the loader does
    ** not act on is never refused (the messages are checked end to end). */
    EXPECT_TRUE(fits_option_field("ERRORS", "0004294967295", err));
    EXPECT_TRUE(fits_option_field("SKIP", "9223372036854775807", err));
    EXPECT_TRUE(check_written_numbers({{"LOG_SIZE", "4294967297", 3, 9}}, err));

    const uint64_t gib = uint64_t{1} << 30;
    uint64_t limit = 0;
    EXPECT_TRUE(memory_limit("", 16 * gib, limit, err));
    EXPECT_EQ(limit, gib);
    EXPECT_TRUE(memory_limit("", gib, limit, err));   /* a small machine: half of it */
    EXPECT_EQ(limit, gib / 2);
    EXPECT_TRUE(memory_limit("2048", 16 * gib, limit, err));
    EXPECT_EQ(limit, 2 * gib);
    EXPECT_TRUE(memory_limit("25%", 16 * gib, limit, err));
    EXPECT_EQ(limit, 4 * gib);
}

TEST(RunLimits, BufferPlans)
{
    /* 2,000 tables and 2 workers under 1 GiB: six read buffers, two for each
    ** further table, and the largest chunk (in steps of 64 KiB) that keeps
    ** the plan within it. */
    BufferNeeds many;
    many.workers = 2;
    many.most_tables = 2000;
    BufferPlan plan;
    std::string err;
    ASSERT_TRUE(plan_buffers(many, plan, err)) << err;
    EXPECT_EQ(plan.reader_bufs, 6u);
    EXPECT_EQ(plan.copy_bufs, 2u);
    EXPECT_LT(plan.chunk_bytes, 1u << 20);
    EXPECT_EQ(plan.chunk_bytes % kMinChunk, 0u);
    EXPECT_LE(plan.bytes, many.limit);
    EXPECT_GT(plan_bytes(many, plan.chunk_bytes + kMinChunk, 6, 2), many.limit);
    /* The plan counts what it sizes: each buffer, and a converted batch of
    ** twice its size for every buffer (batches wait for their turn in file
    ** order, each holding its chunk). */
    EXPECT_GE(plan.bytes, (6 + 2 * 1999) * 3 * uint64_t{plan.chunk_bytes});
    /* A given BUFFER_NODE_SIZE is kept or refused, never shrunk. */
    many.chunk_mib = 1;
    EXPECT_FALSE(plan_buffers(many, plan, err));
    EXPECT_NE(err.find("(4004 x 1 MiB for 2000 tables and 2 workers), more than the memory limit of 1024 MiB"),
              std::string::npos) << err;

    /* Buffers to work ahead with are given when they fit, and dropped before
    ** the buffers shrink. */
    BufferNeeds server;
    server.workers = 2;
    server.ahead_bufs = 8;
    ASSERT_TRUE(plan_buffers(server, plan, err)) << err;
    EXPECT_EQ(plan.reader_bufs, 14u);
    EXPECT_EQ(plan.chunk_bytes, kDefaultChunk);
    server.limit = plan_bytes(server, kDefaultChunk, 6, 6);
    ASSERT_TRUE(plan_buffers(server, plan, err)) << err;
    EXPECT_EQ(plan.reader_bufs, 6u);
    EXPECT_EQ(plan.chunk_bytes, kDefaultChunk);

    EXPECT_EQ(describe_buffers(4004, 192u << 10), "4004 x 192 KiB");
    EXPECT_EQ(size_text(3u << 20), "3 MiB");
    EXPECT_EQ(size_text(100), "100 bytes");
}

}  // namespace
