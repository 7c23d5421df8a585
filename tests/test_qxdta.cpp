#include <gtest/gtest.h>

#include <string>

#include "qxdta.h"

namespace {

std::string str_at(const bdta3_col *col, uint32_t row)
{
    const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, row));
    return std::string(v->ptr, v->len);
}

} // namespace

TEST(QxdtaBatch, CreateClearAndRelease)
{
    fldr_env env;
    mem_env_init(&env);
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 4096, 0, 0, "test", __LINE__, 1);
    ASSERT_NE(heap, nullptr);
    const uint16_t types[3] = {QXDT_VARCHAR, QXDT_INT, QXDT_TIMESTAMP};
    for (mem_heap_t *owner : {static_cast<mem_heap_t *>(nullptr), heap}) {
        bdta3 *batch = bdta3_create(&env, owner, 3, types);
        ASSERT_NE(batch, nullptr);
        for (uint16_t i = 0; i < 3; i++)
            ASSERT_EQ(bdta3_col_data_create_low(&env, owner, &batch->cols[i], types[i], 10), 0);
        EXPECT_EQ(std::to_string(batch->cols[1].data->value_size) + " " +
                      std::to_string(batch->cols[2].data->value_size), "4 13");
        EXPECT_EQ(bdta3_col_data_create_low(&env, owner, &batch->cols[1], 29, 10), QXDTA_ERR_TYPE);
        EXPECT_EQ(batch->cols[1].type, QXDT_INT);   // a failed create leaves the column as it was

        uint16_t sel[1] = {0};
        ASSERT_EQ(bdta3_col_assign_str(&env, nullptr, &batch->cols[0], 1, "ab", 2, 0), 0);
        batch->cols[0].sel = sel;
        batch->row_count = 2;
        bdta3_data *area = batch->cols[0].data;
        bdta3_clear(&env, batch);
        // The data area is kept for reuse, its rows null again.
        EXPECT_TRUE(batch->row_count == 0 && batch->cols[0].row_count == 0 && batch->cols[0].sel == nullptr &&
                    batch->cols[0].data == area && area->nulls[1] == 0);
        bdta3_free2(&env, owner, batch);
    }
    mem_heap_free(&env, heap);
}

TEST(QxdtaBatch, AssignCopiesGrowsAndChecksTheType)
{
    bdta3_col col{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &col, QXDT_VARCHAR, 2), 0);
    char text[] = "hello";
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, text, 5, 7), 0);
    text[0] = 'J';
    EXPECT_EQ(str_at(&col, 0), "hello");
    EXPECT_EQ(static_cast<qxdta_str *>(bdta3_col_value(&col, 0))->flag, 7u);

    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 100, "x", 1, 0), 0);   // far past the capacity
    EXPECT_GE(col.data->cap, 101u);
    EXPECT_EQ(col.row_count, 101u);
    EXPECT_EQ(str_at(&col, 0), "hello");
    EXPECT_EQ(col.data->nulls[50], 0);

    const std::string long_text(5000, 'q');
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, long_text.data(), 5000, 0), 0);
    const auto *v = static_cast<qxdta_str *>(bdta3_col_value(&col, 0));
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, v->ptr + 1, 3, 0), 0);   // from its own bytes
    EXPECT_EQ(str_at(&col, 0), "qqq");
    EXPECT_EQ(v->ptr[3], '\0');

    bdta3_col ints{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &ints, QXDT_INT, 2), 0);
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &ints, 0, "1", 1, 0), QXDTA_ERR_TYPE);
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0xFFFFFFFFu, "1", 1, 0), QXDTA_ERR_ARGUMENT);
    bdta3_col_free(&ints);
    bdta3_col_free(&col);
}

TEST(QxdtaBatch, AppendFollowsTheSelection)
{
    bdta3_col src{}, dst{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &src, QXDT_VARCHAR, 3), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &src, 0, "zero", 4, 1), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &src, 2, "two", 3, 2), 0);
    uint16_t sel[3] = {2, 1, 0};
    src.sel = sel;
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &src), 0);
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &src), 0);
    bdta3_col_free(&src);   // copies outlive the source
    ASSERT_EQ(dst.row_count, 6u);
    EXPECT_EQ(str_at(&dst, 0), "two");
    EXPECT_EQ(static_cast<qxdta_str *>(bdta3_col_value(&dst, 0))->flag, 2u);
    EXPECT_EQ(dst.data->nulls[1], 0);
    EXPECT_EQ(str_at(&dst, 5), "zero");

    bdta3_col nums{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &nums, QXDT_BIGINT, 1), 0);
    nums.row_count = 1;
    EXPECT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &nums), QXDTA_ERR_TYPE);   // strings, then numbers
    bdta3_col_free(&nums);
    bdta3_col_free(&dst);
}

TEST(QxdtaBatch, ConstantStrings)
{
    fldr_env env;
    mem_env_init(&env);
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 1024, 0, 0, "test", __LINE__, 1);
    qxdta_nstr value{};
    value.type = QXDT_VARCHAR;
    char text[] = "const";
    ASSERT_EQ(nstr_assign_const_ex(&env, heap, &value, 3, text), 0);
    text[0] = 'X';
    EXPECT_STREQ(value.ptr, "con");   // copied to the heap, with a zero after it
    ASSERT_EQ(nstr_assign_const_ex(&env, nullptr, &value, 5, text), 0);
    EXPECT_EQ(value.ptr, text);       // without a heap: the caller's bytes
    value.type = QXDT_INT;
    EXPECT_EQ(nstr_assign_const_ex(&env, heap, &value, 1, "1"), QXDTA_ERR_TYPE);
    mem_heap_free(&env, heap);
}
