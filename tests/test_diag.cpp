// The message table and diagnostic lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

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
        std::memset(&list, 0x5a, sizeof list);   // every field must be set by the init
        fldr_init_diag(&list);
    }
    void TearDown() override
    {
        fldr_deinit_diag(env, &list);
        fldr_deinit();
    }
    void add(int32_t code, const char *text = nullptr, uint32_t lang = FLDR_LANG_EN, uint32_t set = 1)
    {
        fldr_add_diag_rec(env, &list, code, text, 0, 0, lang, set);
    }
    std::string text(uint32_t n) { return fldr_get_nth_diag_rec(&list.first, n)->text; }
};

// Codes without a row give the general row; of the two -65040 rows the first
// wins. Chinese texts are handed out in GB18030. (Records filled from many
// threads at once, each found by its number, are checked by the print suite.)
TEST(MessageTable, Lookups)
{
    for (int32_t code : {0, 7, -65005, -70000})
        EXPECT_EQ(fldr_emsg_lookup(code)->code, -1) << code;
    EXPECT_STREQ(fldr_emsg_lookup(-65040)->text_en, "loading data to redundancy table");
    EXPECT_EQ(std::string(fldr_emsg_lookup(-65024)->text_zh_cn), iconv_to("GB18030", "UTF-8", "打开文件失败"));
    EXPECT_EQ(std::string(fldr_emsg_lookup(-65024)->text_zh_tw), iconv_to("GB18030", "UTF-8", "打開文件失敗"));
}

TEST_F(Diag, GrowsInBlocksAndReusesThemAfterClear)
{
    mem_pool_t *pool = fldr_get_global_obj()->pool;
    const uint64_t blocks = mem2_pool_blocks_in_use(pool);
    // "capacity count flags pool-blocks-taken has-a-second-block"
    auto state = [&] {
        return std::to_string(list.capacity) + " " + std::to_string(list.count) + " " + std::to_string(list.flags) +
               " " + std::to_string(mem2_pool_blocks_in_use(pool) - blocks) + " " + (list.first.next ? "+" : "-");
    };
    EXPECT_EQ(state(), "5 0 3 0 -");
    for (int i = 1; i <= 6; i++) {
        add(-65000 - i);
        EXPECT_EQ(state(), i < 6 ? "5 " + std::to_string(i) + " 3 0 -" : "10 6 3 1 +");
    }
    // Cleared: the blocks stay and are reused without allocating.
    fldr_clear_diag(&list);
    for (int i = 0; i < 10; i++) add(-65021);
    EXPECT_EQ(state(), "10 10 3 1 +");
    add(-65021);
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
    for (int i = 0; i < 20; i++) add(-1, "dropped");
    EXPECT_TRUE(list.count == 0 && list.first.next == nullptr);
    list.flags |= 1u;
    // A caller text is stored as given whatever the language says, and one
    // longer than the record is cut, still terminated.
    add(-65024, "as given", FLDR_LANG_ZH_TW, 3);
    add(-65024, std::string(1000, 'y').c_str());
    EXPECT_EQ(text(1) + " " + text(2), "as given " + std::string(sizeof list.first.recs[0].text - 1, 'y'));

    const std::tuple<int32_t, uint32_t, uint32_t, std::string> cases[] = {
        {-65024, FLDR_LANG_ZH_CN, QXCVT_GBK, fldr_emsg_lookup(-65024)->text_zh_cn},
        {-65024, FLDR_LANG_ZH_TW, QXCVT_UTF8, "打開文件失敗"},
        {-65024, 7, QXCVT_UTF8, "打開文件失敗"},   // an unknown language: traditional
        {-77, FLDR_LANG_EN, QXCVT_UTF8, "General error"},
    };
    for (const auto &[code, lang, set, want] : cases) {
        fldr_clear_diag(&list);
        add(code, nullptr, lang, set);
        EXPECT_EQ(text(1), want) << lang << " " << set;
    }
}

}  // namespace
