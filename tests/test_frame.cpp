// Global object lifecycle, the memory rule, the instance services.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fldr_internal.h"
#include "qxcvt.h"
#include "support/scratch.h"

namespace {

// Every test starts and ends with the library stopped, whatever state a failed assertion left behind.
class Frame : public ::testing::Test {
protected:
    void SetUp() override { stop(); }
    void TearDown() override { stop(); }
    static void stop()
    {
        fldr_global_obj *obj = fldr_get_global_obj();
        obj->flags = 0;
        obj->err_sys_inited == 1 ? fldr_deinit() : fldr_deinit_for_svr();
    }
};

// A second start changes nothing (the same pool, a block still valid), a second stop does nothing, and after a
// server start the client stop does nothing either, since the error system was never started.
TEST_F(Frame, StartStopRestartAndTheConsoleLookup)
{
    mout_force_local_code(QXCVT_UTF8, MOUT_LANG_EN);
    fldr_global_obj *obj = fldr_get_global_obj();
    // "inited deinited err_sys_inited pool"
    auto state = [obj] {
        return std::to_string(obj->inited) + " " + std::to_string(obj->deinited) + " " +
               std::to_string(obj->err_sys_inited) + (obj->pool != nullptr ? " pool" : " -");
    };
    fldr_init();
    ASSERT_EQ(state(), "1 0 1 pool");
    char buf[MOUT_LINE_MAX];
    fldr_mout_lookup(buf, -10017, 1, int64_t{1234567890123});
    EXPECT_STREQ(buf, "1234567890123 rows loaded success.\n");
    mout_force_local_code(-1, -1);

    mem_pool_t *pool = obj->pool;
    void *block = fldr_mem_alloc(fldr_get_env(), nullptr, 64, "test", 1);
    fldr_init();
    fldr_init_for_svr();
    EXPECT_TRUE(obj->pool == pool && fldr_mem_free(fldr_get_env(), nullptr, block) == 0);
    for (int twice = 0; twice < 2; twice++) {
        fldr_deinit();
        EXPECT_EQ(state(), "0 1 0 -");
    }
    fldr_init_for_svr();
    fldr_deinit();
    EXPECT_EQ(state(), "1 0 0 pool");
}

// An allocator record takes the place of the pool, with the frame's own tag; one without a free function or
// without a heap releases nothing and still answers 0. Flags bit 0: the C heap, whatever record is given.
TEST_F(Frame, MemoryRule)
{
    fldr_init();
    fldr_global_obj *obj = fldr_get_global_obj();
    fldr_env *env = fldr_get_env();
    qxtest::CountingHeap c;
    // "record allocations, record frees, pool blocks taken"
    const uint64_t before = mem2_pool_blocks_in_use(obj->pool);
    auto counts = [&] {
        return std::to_string(c.allocs) + " " + std::to_string(c.frees) + " " +
               std::to_string(mem2_pool_blocks_in_use(obj->pool) - before);
    };
    void *p = fldr_mem_alloc(env, &c.ctx, 32, "caller", 7);
    EXPECT_EQ(counts() + " " + c.last_tag, "1 0 0 fldr/fldr_main");
    EXPECT_EQ(fldr_mem_free(env, &c.ctx, p) + fldr_mem_free(env, &c.ctx, nullptr), 0);
    mem_ctx_t no_free = {qxtest::CountingHeap::alloc, nullptr, &c};
    mem_ctx_t no_heap = {qxtest::CountingHeap::alloc, qxtest::CountingHeap::release, nullptr};
    void *kept = fldr_mem_alloc(env, &no_free, 16, "caller", 8);
    EXPECT_EQ(fldr_mem_free(env, &no_free, kept) + fldr_mem_free(env, &no_heap, kept), 0);
    free(kept);
    void *q = fldr_mem_alloc(env, nullptr, 100, "caller", 9);   // without a record: the pool
    EXPECT_EQ(counts(), "2 1 1");
    EXPECT_EQ(fldr_mem_free(env, nullptr, q), 0);
    obj->flags |= FLDR_FLAG_C_HEAP;
    void *r = fldr_mem_alloc(env, &c.ctx, 48, "caller", 10);
    EXPECT_TRUE(r != nullptr && fldr_mem_free(env, &c.ctx, r) == 0);
    EXPECT_EQ(counts(), "2 1 0");   // neither the record nor the pool
    EXPECT_EQ(fldr_mem_alloc(env, nullptr, static_cast<size_t>(INT64_MAX) + 1, "caller", 11), nullptr);
}

TEST_F(Frame, InstanceLockAndLastMessage)
{
    fldr_init();
    qxtest::QuietInst quiet;
    fldr_inst *inst = &quiet.rec;
    os_mutex2_create(&inst->inst_lock);
    inst->inst_lock.owner = 5;
    fldr_inst_enter(inst);
    fldr_inst_enter(inst);   // recursive, as the platform lock
    EXPECT_EQ(inst->inst_lock.owner, -1);
    fldr_inst_exit(inst);
    fldr_inst_exit(inst);
    EXPECT_EQ(inst->inst_lock.owner, -1);
    fldr_fill_inst_msg(inst, std::string(10000, 'x').c_str());
    EXPECT_EQ(inst->last_msg, std::string(sizeof inst->last_msg - 1, 'x'));
    fldr_fill_inst_msg(inst, nullptr);
    EXPECT_STREQ(inst->last_msg, "");
    os_mutex2_free(&inst->inst_lock);
}

}  // namespace
