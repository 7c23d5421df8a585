// Column batches: creation, clearing, string assignment and appends.
#include <gtest/gtest.h>

#include <string>

#include "qxdta.h"

namespace {

std::string str_at(const bdta3_col *col, uint32_t row)
{
    const auto *v = static_cast<const qxdta_str *>(bdta3_col_value(col, row));
    return std::string(v->ptr, v->len) + "/" + std::to_string(v->flag);
}

} // namespace

TEST(QxdtaBatch, CreateClearAndReleaseWithAndWithoutAHeap)
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
        EXPECT_TRUE(batch->cols[1].data->value_size == 4 && batch->cols[2].data->value_size == 13);
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
    // A constant string is copied to the heap with a zero after it; without a heap the caller's bytes are taken.
    qxdta_nstr value{};
    value.type = QXDT_VARCHAR;
    char text[] = "const";
    ASSERT_EQ(nstr_assign_const_ex(&env, heap, &value, 3, text), 0);
    text[0] = 'X';
    EXPECT_STREQ(value.ptr, "con");
    ASSERT_EQ(nstr_assign_const_ex(&env, nullptr, &value, 5, text), 0);
    EXPECT_EQ(value.ptr, text);
    value.type = QXDT_INT;
    EXPECT_EQ(nstr_assign_const_ex(&env, heap, &value, 1, "1"), QXDTA_ERR_TYPE);
    mem_heap_free(&env, heap);
}

TEST(QxdtaBatch, AssignAndAppendCopyGrowAndCheckTheType)
{
    bdta3_col col{}, dst{}, ints{};
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &col, QXDT_VARCHAR, 2), 0);
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &ints, QXDT_INT, 2), 0);
    char text[] = "hello";
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, text, 5, 7), 0);
    text[0] = 'J';
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 100, "x", 1, 0), 0);   // far past the capacity
    EXPECT_TRUE(col.data->cap >= 101u && col.row_count == 101u && col.data->nulls[50] == 0);
    EXPECT_EQ(str_at(&col, 0), "hello/7");
    const std::string long_text(5000, 'q');
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, long_text.data(), 5000, 0), 0);
    const auto *v = static_cast<qxdta_str *>(bdta3_col_value(&col, 0));
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, v->ptr + 1, 3, 0), 0);   // from its own bytes
    EXPECT_EQ(str_at(&col, 0) + v->ptr[3], std::string("qqq/0") + '\0');
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &ints, 0, "1", 1, 0), QXDTA_ERR_TYPE);
    EXPECT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0xFFFFFFFFu, "1", 1, 0), QXDTA_ERR_ARGUMENT);

    bdta3_col_free(&col);

    // Appends follow the selection, and the copies outlive the source.
    ASSERT_EQ(bdta3_col_data_create_low(nullptr, nullptr, &col, QXDT_VARCHAR, 3), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 0, "zero", 4, 1), 0);
    ASSERT_EQ(bdta3_col_assign_str(nullptr, nullptr, &col, 2, "two", 3, 2), 0);
    uint16_t sel[3] = {2, 1, 0};
    col.sel = sel;
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &col), 0);
    ASSERT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &col), 0);
    bdta3_col_free(&col);
    ASSERT_EQ(dst.row_count, 6u);
    EXPECT_EQ(str_at(&dst, 0) + " " + str_at(&dst, 5), "two/2 zero/1");
    EXPECT_EQ(dst.data->nulls[1], 0);
    ints.row_count = 1;
    EXPECT_EQ(bdta3_col_append(nullptr, nullptr, &dst, &ints), QXDTA_ERR_TYPE);   // strings, then numbers
    bdta3_col_free(&ints);
    bdta3_col_free(&dst);
}
