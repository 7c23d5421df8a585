/*
** The library frame: the one global object, start-up and shutdown, the
** memory rule every module allocates by, the instance lock and last-message
** services, and the console message lookup.
**
** State of the global object:
**   zero (never started) --fldr_init_for_svr--> inited
**   inited --fldr_deinit_for_svr--> deinited (inited 0)
**   deinited --fldr_init_for_svr--> inited again (deinited cleared)
** fldr_init / fldr_deinit add the error system (err_sys_inited) on top.
** Start-up and shutdown run on one thread before and after all other work,
** so they take no lock.
*/
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fldr_internal.h"
#include "qxcvt.h"

fldr_global_obj g_fldr_obj;
uint32_t g_fldr_local_code;
uint32_t g_fldr_lang_id;
mout_handle_t *g_fldr_mout_handle;

extern "C" {

QX_EXPORT fldr_global_obj *fldr_get_global_obj(void)
{
    return &g_fldr_obj;
}

QX_EXPORT fldr_env *fldr_get_env(void)
{
    return g_fldr_obj.env_ptr;
}

#define FLDR_STRINGIFY2(x) #x
#define FLDR_STRINGIFY(x) FLDR_STRINGIFY2(x)

QX_EXPORT const char *fldr_get_version(void)
{
    return FLDR_STRINGIFY(QXFLDR_COMM_VERSION_MAJOR) "." FLDR_STRINGIFY(QXFLDR_COMM_VERSION_MINOR) "."
        FLDR_STRINGIFY(QXFLDR_COMM_VERSION_PATCH);
}

QX_EXPORT void fldr_init_for_svr(void)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (obj->inited == 1)
        return;

    mem_env_init(&obj->env);  /* state -1, generation 1, the rest zero */
    obj->deinited = 0;
    srand((unsigned)(time(nullptr) ^ (uint32_t)(uintptr_t)&obj->env));
    obj->env_ptr = &obj->env;

    os_mutex2_init();
    obj->pool = mem2_pool_create_low(obj->env_ptr, nullptr, "FLDR Memory Pool", 0x800000, 0x100000,
                                     0, 1, 0, 0, 0, FLDR_TAG_MAIN, 119);
    mout_get_local_code(&g_fldr_local_code, &g_fldr_lang_id);
    mout_init(&g_fldr_mout_handle, g_fldr_console_msgs, FLDR_CONSOLE_MSG_ROWS, g_fldr_local_code,
              g_fldr_lang_id);
    os_mutex2_create(&obj->aux_mutex1);
    os_mutex2_create(&obj->log_mutex);
    os_mutex2_create(&obj->aux_mutex2);
    obj->inited = 1;
}

QX_EXPORT void fldr_init(void)
{
    if (g_fldr_obj.inited == 1)
        return;
    fldr_init_for_svr();
    ucvt_init();
    qxerr_sys_init(0, 0);
    g_fldr_obj.err_sys_inited = 1;
}

QX_EXPORT void fldr_deinit_dpi(void)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (obj->deinited == 1 || obj->dpi_obj == nullptr)
        return;
    if (obj->flags & FLDR_FLAG_C_HEAP)
        free(obj->dpi_obj);
    else
        mem2_free(obj->env_ptr, obj->dpi_obj);
    obj->dpi_obj = nullptr;
}

QX_EXPORT void fldr_deinit_for_svr(void)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (obj->deinited == 1 || obj->inited == 0)
        return;

    os_mutex2_free(&obj->aux_mutex1);
    os_mutex2_free(&obj->log_mutex);
    os_mutex2_free(&obj->aux_mutex2);
    os_mutex2_deinit();
    mout_deinit(g_fldr_mout_handle, g_fldr_console_msgs, FLDR_CONSOLE_MSG_ROWS, g_fldr_local_code);
    g_fldr_mout_handle = nullptr;
    if (obj->use_dpi != 0)
        fldr_deinit_dpi();
    mem2_pool_destroy(obj->env_ptr, obj->pool);

    obj->deinited = 1;
    obj->pool = nullptr;
    obj->use_dpi = 0;
    obj->inited = 0;
}

QX_EXPORT void fldr_deinit(void)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (obj->deinited == 1 || obj->err_sys_inited != 1)
        return;
    qxerr_sys_deinit();
    obj->err_sys_inited = 0;
    fldr_deinit_for_svr();
}

/*
** The memory rule. The allocator record gets the frame's own tag and line
** (its provider keeps no use for the caller's); the pool gets the caller's.
*/
void *fldr_alloc(fldr_env *env, mem_ctx_t *mem_ctx, size_t size, const char *tag, uint32_t line)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (obj->flags & FLDR_FLAG_C_HEAP) {
        if (size > (size_t)INT64_MAX)
            return nullptr;
        return malloc(size);
    }
    if (env == nullptr)
        env = obj->env_ptr;
    if (mem_ctx != nullptr)
        return mem_ctx->alloc_fn ? mem_ctx->alloc_fn(env, mem_ctx->heap, size, FLDR_TAG_MAIN, 284)
                                 : nullptr;
    if (obj->pool == nullptr)
        return nullptr;  /* library not started */
    return mem2_malloc_ex(env, obj->pool, size, 0, tag, line);
}

int32_t fldr_free(fldr_env *env, mem_ctx_t *mem_ctx, void *ptr)
{
    fldr_global_obj *obj = &g_fldr_obj;
    if (ptr == nullptr)
        return 0;
    if (obj->flags & FLDR_FLAG_C_HEAP) {
        free(ptr);
        return 0;
    }
    if (env == nullptr)
        env = obj->env_ptr;
    if (mem_ctx != nullptr) {
        if (mem_ctx->heap != nullptr && mem_ctx->free_fn != nullptr)
            mem_ctx->free_fn(env, mem_ctx->heap, ptr);
        return 0;
    }
    return mem2_free(env, ptr);
}

QX_EXPORT void *fldr_mem_alloc(fldr_env *env, mem_ctx_t *mem_ctx, size_t size, const char *file,
                               uint32_t line)
{
    return fldr_alloc(env, mem_ctx, size, file, line);
}

QX_EXPORT int32_t fldr_mem_free(fldr_env *env, mem_ctx_t *mem_ctx, void *ptr)
{
    return fldr_free(env, mem_ctx, ptr);
}

/* The documented call form ends its named arguments with an i16. The C
** standard leaves va_start on a promoted type undefined; on the System V
** x86-64 and AArch64 ABIs the named arguments sit in registers and va_start
** only records where the variable ones begin, so it is well defined there. */
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
QX_EXPORT int32_t fldr_mout_lookup(char *buf, int32_t code, int16_t argc, ...)
{
    va_list args;
    va_start(args, argc);
    int32_t rc = mout_lookup(buf, g_fldr_mout_handle, code, -10001, argc, g_fldr_lang_id, args);
    va_end(args);
    return rc;
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

QX_EXPORT void fldr_inst_enter(fldr_inst *inst)
{
    fldr_lock(&inst->inst_lock);
}

QX_EXPORT void fldr_inst_exit(fldr_inst *inst)
{
    fldr_unlock(&inst->inst_lock);
}

/* The copy is bounded by last_msg; a longer text is cut, still terminated. */
QX_EXPORT void fldr_fill_inst_msg(fldr_inst *inst, const char *text)
{
    fldr_lock(&inst->msg_lock);
    if (text == nullptr) {
        inst->last_msg[0] = '\0';
    } else {
        size_t len = strnlen(text, sizeof inst->last_msg - 1);
        memcpy(inst->last_msg, text, len);
        inst->last_msg[len] = '\0';
    }
    fldr_unlock(&inst->msg_lock);
}

}  // extern "C"
