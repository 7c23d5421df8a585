#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qxdta.h"

namespace {

std::string str_at(const bdta3_col *col, uint32_t row)
{
    const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, row));
    return std::string(v->ptr, v->len);
}

} // namespace

TEST(QxdtaBatch, CreateColumnsAndRelease)
{
    const uint16_t types[3] = {QXDT_VARCHAR, QXDT_INT, QXDT_TIMESTAMP};
    bdta3 *batch = bdta3_create(nullptr, nullptr, 3, types);
    ASSERT_NE(batch, nullptr);
    EXPECT_EQ(batch->col_count, 3);
    EXPECT_EQ(batch->row_count, 0u);
    for (uint16_t i = 0; i < 3; i++) {
        EXPECT_EQ(batch->types[i], types[i]);
        ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &batch->cols[i], types[i], 10), 0);
        EXPECT_GE(batch->cols[i].data->cap, 10u);
        for (uint32_t r = 0; r < 10; r++) EXPECT_EQ(batch->cols[i].data->nulls[r], 0);
    }
    EXPECT_EQ(batch->cols[1].data->value_size, 4u);
    EXPECT_EQ(batch->cols[2].data->value_size, 13u);
    EXPECT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &batch->cols[1], 29, 10), QXDTA_ERR_TYPE);
    EXPECT_EQ(batch->cols[1].type, QXDT_INT);   // a failed create leaves the column as it was
    bdta3_free2(nullptr, nullptr, batch);
    bdta3_free2(nullptr, nullptr, nullptr);

    bdta3 *empty = bdta3_create(nullptr, nullptr, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    bdta3_free2(nullptr, nullptr, empty);
}

TEST(QxdtaBatch, BatchOnAHeapKeepsDataOnTheCHeap)
{
    fldr_env env;
    mem_env_init(&env);
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 4096, 0, 0, "test", __LINE__, 1);
    ASSERT_NE(heap, nullptr);
    const uint16_t types[1] = {QXDT_VARCHAR};
    bdta3 *batch = bdta3_create(&env, heap, 1, types);
    ASSERT_NE(batch, nullptr);
    EXPECT_EQ(batch->on_heap, 1u);
    ASSERT_EQ(bdta3_col_data_create_low(&env, heap, &batch->cols[0], QXDT_VARCHAR, 2), 0);
    ASSERT_EQ(bdta3_col_assign_str(&env, nullptr, &batch->cols[0], 0, "abc", 3, 0), 0);
    bdta3_free2(&env, heap, batch);   // data released here, the record with the heap
    mem_heap_free(&env, heap);
}

TEST(QxdtaBatch, AssignStoresOwnCopiesAndGrows)
{
    bdta3_col col{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &col, QXDT_VARCHAR, 2), 0);
    char text[] = "hello";
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, text, 5, 7), 0);
    text[0] = 'J';   // the column keeps its own copy
    EXPECT_EQ(str_at(&col, 0), "hello");
    EXPECT_EQ(static_cast<qxdta_str *>(bdta3_col_value(&col, 0))->flag, 7u);
    EXPECT_EQ(col.data->nulls[0], 1);
    EXPECT_EQ(col.row_count, 1u);

    // A row far past the capacity grows the area and keeps earlier rows.
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 100, "x", 1, 0), 0);
    EXPECT_GE(col.data->cap, 101u);
    EXPECT_EQ(col.row_count, 101u);
    EXPECT_EQ(str_at(&col, 0), "hello");
    EXPECT_EQ(col.data->nulls[50], 0);

    // Longer and shorter values in the same row, a value assigned from itself.
    std::string long_text(5000, 'q');
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, long_text.data(), 5000, 0), 0);
    EXPECT_EQ(str_at(&col, 0), long_text);
    const auto *v = static_cast<qxdta_str *>(bdta3_col_value(&col, 0));
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, v->ptr + 1, 3, 0), 0);
    EXPECT_EQ(str_at(&col, 0), "qqq");
    EXPECT_EQ(v->ptr[3], '\0');
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 1, nullptr, 0, 0), 0);
    EXPECT_EQ(str_at(&col, 1), "");

    bdta3_col ints{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &ints, QXDT_INT, 2), 0);
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &ints, 0, "1", 1, 0), QXDTA_ERR_TYPE);
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0xFFFFFFFFu, "1", 1, 0), QXDTA_ERR_ARGUMENT);
    bdta3_col_free(&ints);
    bdta3_col_free(&col);
}

TEST(QxdtaBatch, ClearKeepsAreasAndDropsRows)
{
    const uint16_t types[1] = {QXDT_CHAR};
    bdta3 *batch = bdta3_create(nullptr, nullptr, 1, types);
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &batch->cols[0], QXDT_CHAR, 4), 0);
    uint16_t sel[1] = {0};
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &batch->cols[0], 1, "ab", 2, 0), 0);
    batch->cols[0].sel = sel;
    batch->row_count = 2;
    bdta3_data *area = batch->cols[0].data;
    bdta3_clear(nullptr, batch);
    EXPECT_EQ(batch->row_count, 0u);
    EXPECT_EQ(batch->cols[0].row_count, 0u);
    EXPECT_EQ(batch->cols[0].sel, nullptr);
    EXPECT_EQ(batch->cols[0].data, area);
    EXPECT_EQ(area->nulls[1], 0);
    bdta3_free2(nullptr, nullptr, batch);
}

TEST(QxdtaBatch, AppendFollowsTheSelectionAndCopiesNulls)
{
    bdta3_col src{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &src, QXDT_VARCHAR, 3), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &src, 0, "zero", 4, 1), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &src, 2, "two", 3, 2), 0);
    uint16_t sel[3] = {2, 1, 0};
    src.sel = sel;
    src.row_count = 3;

    bdta3_col dst{};
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &src), 0);
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &src), 0);
    EXPECT_EQ(dst.type, QXDT_VARCHAR);
    ASSERT_EQ(dst.row_count, 6u);
    EXPECT_EQ(str_at(&dst, 0), "two");
    EXPECT_EQ(static_cast<qxdta_str *>(bdta3_col_value(&dst, 0))->flag, 2u);
    EXPECT_EQ(dst.data->nulls[1], 0);
    EXPECT_EQ(str_at(&dst, 2), "zero");
    EXPECT_EQ(str_at(&dst, 3), "two");
    bdta3_col_free(&src);
    EXPECT_EQ(str_at(&dst, 5), "zero");   // copies outlive the source

    bdta3_col nums{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &nums, QXDT_BIGINT, 2), 0);
    const int64_t values[2] = {-5, 1LL << 40};
    std::memcpy(nums.data->values, values, sizeof values);
    nums.data->nulls[0] = nums.data->nulls[1] = 1;
    nums.row_count = 2;
    EXPECT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &nums), QXDTA_ERR_TYPE);   // strings then numbers
    bdta3_col numcopy{};
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &numcopy, &nums), 0);
    EXPECT_EQ(*static_cast<int64_t *>(bdta3_col_value(&numcopy, 1)), 1LL << 40);
    bdta3_col_free(&numcopy);
    bdta3_col_free(&nums);
    bdta3_col_free(&dst);
}

TEST(QxdtaBatch, ConstantStrings)
{
    fldr_env env;
    mem_env_init(&env);
    mem_heap_t *heap = mem_heap_create_low(&env, 0, 1024, 0, 0, "test", __LINE__, 1);
    ASSERT_NE(heap, nullptr);
    qxdta_nstr value{};
    value.type = QXDT_VARCHAR;
    char text[] = "const";
    ASSERT_EQ(nstr_assign_const_ex(&env, heap, &value, 3, text), 0);
    text[0] = 'X';
    EXPECT_EQ(std::string(value.ptr), "con");
    EXPECT_EQ(value.len, 3u);
    EXPECT_EQ(value.is_const, 1);
    ASSERT_EQ(nstr_assign_const_ex(&env, nullptr, &value, 5, text), 0);
    EXPECT_EQ(value.ptr, text);   // without a heap the value refers to the caller's bytes
    value.type = QXDT_INT;
    EXPECT_EQ(nstr_assign_const_ex(&env, heap, &value, 1, "1"), QXDTA_ERR_TYPE);
    mem_heap_free(&env, heap);
}
