// The message table and diagnostic lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fldr_internal.h"
#include "qxcvt.h"
#include "support/scratch.h"

namespace {

using qxtest::iconv_to;

struct Diag : ::testing::Test {
    fldr_diag_list list;
    fldr_env *env = nullptr;
    void SetUp() override
    {
        fldr_init();
        env = fldr_get_env();
        fldr_init_diag(&list);
    }
    void TearDown() override
    {
        fldr_deinit_diag(env, &list);
        fldr_deinit();
    }
};

TEST(MessageTable, Lookups)
{
    // Codes without a row give the general row; of the two -65040 rows the
    // first wins.
    for (int32_t code : {0, 7, -65005, -70000})
        EXPECT_EQ(fldr_emsg_lookup(code)->code, -1) << code;
    EXPECT_STREQ(fldr_emsg_lookup(-65040)->text_en, "loading data to redundancy table");
    // Chinese texts are handed out in GB18030.
    EXPECT_EQ(std::string(fldr_emsg_lookup(-65024)->text_zh_cn), iconv_to("GB18030", "UTF-8", "打开文件失败"));
    EXPECT_EQ(std::string(fldr_emsg_lookup(-65024)->text_zh_tw), iconv_to("GB18030", "UTF-8", "打開文件失敗"));
}

TEST_F(Diag, GrowsInBlocksAndReusesThemAfterClear)
{
    memset(&list, 0x5a, sizeof list);   // every field must be set by the init
    fldr_init_diag(&list);
    mem_pool_t *pool = fldr_get_global_obj()->pool;
    const uint64_t blocks = mem2_pool_blocks_in_use(pool);
    // "capacity count flags pool-blocks-taken has-a-second-block"
    auto state = [&] {
        return std::to_string(list.capacity) + " " + std::to_string(list.count) + " " + std::to_string(list.flags) +
               " " + std::to_string(mem2_pool_blocks_in_use(pool) - blocks) + " " + (list.first.next ? "+" : "-");
    };
    EXPECT_EQ(state(), "5 0 3 0 -");
    for (int i = 1; i <= 5; i++)
        fldr_add_diag_rec(env, &list, -65000 - i, nullptr, 0, 0, FLDR_LANG_EN, 1);
    EXPECT_EQ(state(), "5 5 3 0 -");

    fldr_add_diag_rec(env, &list, -65024, "sixth", 7, 9, FLDR_LANG_EN, 1);
    EXPECT_EQ(state(), "10 6 3 1 +");
    fldr_diag_rec *sixth = fldr_get_nth_diag_rec(&list.first, 6);
    EXPECT_EQ(sixth, &list.first.next->recs[0]);
    EXPECT_EQ(std::to_string(sixth->code) + " " + sixth->text + " " + std::to_string(sixth->aux_no16) + " " +
                  std::to_string(sixth->aux_no),
              "-65024 sixth 7 9");
    EXPECT_STREQ(fldr_get_nth_diag_rec(&list.first, 1)->text, "Out of memory");

    // Cleared: the blocks stay and are reused without allocating.
    fldr_clear_diag(&list);
    EXPECT_EQ(list.count, 0u);
    for (int i = 0; i < 10; i++)
        fldr_add_diag_rec(env, &list, -65021, nullptr, 0, 0, FLDR_LANG_EN, 1);
    EXPECT_EQ(state(), "10 10 3 1 +");
    fldr_add_diag_rec(env, &list, -65021, nullptr, 0, 0, FLDR_LANG_EN, 1);
    EXPECT_EQ(state(), "15 11 3 2 +");
    EXPECT_EQ(fldr_get_nth_diag_rec(&list.first, 11), &list.first.next->next->recs[0]);

    // Teardown releases the extra blocks and keeps the embedded records.
    fldr_deinit_diag(env, &list);
    EXPECT_EQ(state(), "5 0 3 0 -");
    EXPECT_EQ(list.first.recs[0].code, -65021);
}

TEST_F(Diag, DisabledListCallerTextsAndTextsInEachLanguageAndOutputSet)
{
    list.flags &= ~1u;
    for (int i = 0; i < 20; i++)
        fldr_add_diag_rec(env, &list, -1, "dropped", 0, 0, FLDR_LANG_EN, 1);
    EXPECT_TRUE(list.count == 0 && list.first.next == nullptr);
    list.flags |= 1u;

    // A caller text is stored as given whatever the language says, and one
    // longer than the record is cut, still terminated.
    fldr_add_diag_rec(env, &list, -65024, "as given", 0, 0, FLDR_LANG_ZH_TW, 3);
    EXPECT_STREQ(fldr_get_nth_diag_rec(&list.first, 1)->text, "as given");
    fldr_add_diag_rec(env, &list, -65024, std::string(1000, 'y').c_str(), 0, 0, FLDR_LANG_EN, 1);
    EXPECT_EQ(fldr_get_nth_diag_rec(&list.first, 2)->text, std::string(sizeof list.first.recs[0].text - 1, 'y'));
    const std::string gb_cn = fldr_emsg_lookup(-65024)->text_zh_cn;

    const std::tuple<int32_t, uint32_t, uint32_t, std::string> cases[] = {
        {-65024, FLDR_LANG_ZH_CN, QXCVT_GBK, gb_cn},
        {-65024, FLDR_LANG_ZH_TW, QXCVT_UTF8, "打開文件失敗"},
        {-65024, 7, QXCVT_UTF8, "打開文件失敗"},   // an unknown language: traditional
        {-77, FLDR_LANG_EN, QXCVT_UTF8, "General error"},
    };
    for (const auto &[code, lang, set, text] : cases) {
        fldr_clear_diag(&list);
        fldr_add_diag_rec(env, &list, code, nullptr, 0, 0, lang, set);
        EXPECT_EQ(std::string(fldr_get_nth_diag_rec(&list.first, 1)->text), text) << lang << " " << set;
    }
}

}  // namespace
