// Load and export failure summaries (English) and reading the control file.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "fldr_internal.h"
#include "qxmout.h"
#include "support/scratch.h"

namespace {

// The library's language is fixed when it starts: English for these texts.
class EnglishLibrary : public ::testing::Environment {
public:
    void SetUp() override
    {
        mout_force_local_code(1, MOUT_LANG_EN);
        fldr_init();
    }
    void TearDown() override { fldr_deinit(); }
};
const auto *const g_english = ::testing::AddGlobalTestEnvironment(new EnglishLibrary);

const char *const kZeroCounts =
    "0 rows loaded success.\n0 rows not loaded due to data format error.\n0 rows not loaded due to data error.\n\n"
    "Skip logic record counts: 0\nRead logic record counts: 0\nRefuse logic record counts: 0\n\n0.000(ms) time used.\n";

TEST(Summary, LoadAndExportFailures)
{
    auto args = std::make_unique<fldr_args>();   // zeroed
    auto printed = [&](const std::string &reason) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(fldr_print_after_load_err(args.get(), reason.c_str()), 0);
        return testing::internal::GetCapturedStdout();
    };
    strcpy(args->schema_name, "SYSDBA");
    strcpy(args->table_name, "ORDERS");
    EXPECT_EQ(printed("Open file failed"),
              std::string("\nDest table: SYSDBA.ORDERS\nload fail.\nOpen file failed\n") + kZeroCounts);
    // No schema: the table alone; a percent sign in the reason is printed as it is.
    args->schema_name[0] = '\0';
    EXPECT_EQ(printed("100% bad %s %d"), std::string("\nDest table: ORDERS\nload fail.\n100% bad %s %d\n") + kZeroCounts);
    // A reason too long for the report is cut; the counts still follow it.
    const std::string out = printed(std::string(10000, 'r'));
    EXPECT_EQ(out.size(), 4095u);
    EXPECT_EQ(out.substr(out.size() - strlen(kZeroCounts) - 2), std::string("r\n") + kZeroCounts);

    testing::internal::CaptureStdout();
    EXPECT_EQ(fldr_print_after_export_err("no table 50%"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "export fail.\nno table 50%\n0 rows exported success. \n0.000(ms) time used.\n");
}

TEST(ControlFile, WholeContentUpToOneMebibyte)
{
    qxtest::TempDir dir;
    char *text = nullptr;
    uint32_t len = 0;
    auto read_ctl = [&](const std::string &path, uint32_t *len_out) {
        text = nullptr;
        testing::internal::CaptureStdout();
        const int32_t rc = fldr_get_ctl_content(fldr_get_env(), path.c_str(), &text, len_out);
        return std::to_string(rc) + " " + testing::internal::GetCapturedStdout();
    };
    const char *content = "LOAD DATA\nINFILE 'a.txt'\nINTO TABLE T\n";
    const std::string ctl = dir.write("a.ctl", content);
    EXPECT_EQ(read_ctl(ctl, &len), "0 ");
    EXPECT_TRUE(len == strlen(content) && strcmp(text, content) == 0);
    EXPECT_EQ(fldr_mem_free(fldr_get_env(), nullptr, text), 0);
    EXPECT_EQ(read_ctl(ctl, nullptr), "0 ");   // the length is optional
    fldr_mem_free(fldr_get_env(), nullptr, text);

    // Exactly 1 MiB is read, one byte more is refused, and so is an empty file.
    const std::string big = dir.write("big.ctl", std::string(FLDR_CTL_FILE_MAX, 'x'));
    EXPECT_EQ(read_ctl(big, &len), "0 ");
    EXPECT_TRUE(len == FLDR_CTL_FILE_MAX && text[FLDR_CTL_FILE_MAX] == '\0');
    fldr_mem_free(fldr_get_env(), nullptr, text);
    const std::string wrong =
        std::to_string(FLDR_ERR_READ_FILE) + " Input the wrong ctl file, please check the input file\n";
    for (const std::string &bad : {dir.write("over.ctl", std::string(FLDR_CTL_FILE_MAX + 1, 'x')),
                                   dir.write("empty.ctl")}) {
        EXPECT_EQ(read_ctl(bad, &len), wrong) << bad;
        EXPECT_EQ(text, nullptr);
    }
    EXPECT_EQ(read_ctl(dir.file("missing.ctl"), &len),
              std::to_string(FLDR_ERR_FILE_PATH) + " Open control file fail, please check the input file\n");
    EXPECT_EQ(text, nullptr);
}

}  // namespace
