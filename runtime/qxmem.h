/*
** qxmem: the memory library the loader allocates from.
**
** Two kinds of owner:
**   pool  blocks are taken with mem2_malloc_ex and given back one by one with
**         mem2_free, or all at once by mem2_pool_destroy. Thread-safe.
**   heap  blocks are only taken (zero-filled) and the heap is released whole
**         with mem_heap_free. One thread at a time.
**
** Every call names the environment first and passes the calling source
** file's tag and a line; in builds without NDEBUG a pool destroyed with
** blocks still taken reports each of them (tag:line, size) on stderr.
*/
#ifndef QXMEM_H
#define QXMEM_H

#include <stddef.h>
#include <stdint.h>
#include "qxexport.h"

QX_EXTERN_C_BEGIN

/* The environment record every runtime call takes first. */
typedef struct fldr_env {
    int32_t  state;        /* -1 once initialised as fresh; 0 in a zeroed record */
    uint32_t reserved;     /* padding, kept zero */
    int64_t  generation;   /* 1 in a fresh environment */
    uint64_t alloc_count;  /* blocks handed out through this environment (statistics) */
    uint64_t alloc_bytes;  /* bytes handed out through this environment (statistics) */
} fldr_env;

typedef struct mem_pool_s mem_pool_t;   /* opaque */
typedef struct mem_heap_s mem_heap_t;   /* opaque */

/* A caller-supplied allocator that the library uses in place of its pool. */
typedef struct mem_ctx_t {
    void *(*alloc_fn)(fldr_env *env, void *heap, size_t size, const char *file, uint32_t line);
    void  (*free_fn)(fldr_env *env, void *heap, void *ptr);
    void  *heap;           /* passed back to alloc_fn and free_fn */
} mem_ctx_t;

/* Fills a fresh environment: state -1, generation 1, counters zero. */
QX_EXPORT void mem_env_init(fldr_env *env);

/* ---- pools ---- */
QX_EXPORT mem_pool_t *mem2_pool_create_low(fldr_env *env, void *parent, const char *name,
                                           uint64_t first_size, uint64_t extend_size,
                                           uint32_t reserved1, uint32_t thread_safe,
                                           uint32_t reserved2, uint32_t reserved3,
                                           uint32_t reserved4, const char *file, uint32_t line);
QX_EXPORT void *mem2_malloc_ex(fldr_env *env, mem_pool_t *pool, size_t size, uint32_t flags,
                               const char *file, uint32_t line);
QX_EXPORT int32_t mem2_free(fldr_env *env, void *block);
QX_EXPORT void mem2_pool_destroy(fldr_env *env, mem_pool_t *pool);
/* Blocks still taken from the pool (for tests and the leak report). */
QX_EXPORT uint64_t mem2_pool_blocks_in_use(mem_pool_t *pool);

/* ---- heaps ---- */
QX_EXPORT mem_heap_t *mem_heap_create_low(fldr_env *env, uint32_t reserved1, uint64_t first_size,
                                          uint32_t reserved2, uint32_t reserved3,
                                          const char *file, uint32_t line, uint32_t zero_fill);
QX_EXPORT void *mem_heap_alloc_low(fldr_env *env, mem_heap_t *heap, size_t size, uint32_t flags,
                                   const char *file, uint32_t line);
QX_EXPORT char *mem_heap_strdup(fldr_env *env, mem_heap_t *heap, const char *text);
QX_EXPORT void mem_heap_free(fldr_env *env, mem_heap_t *heap);
/* Bytes handed out by the heap so far (for tests). */
QX_EXPORT uint64_t mem_heap_bytes_used(mem_heap_t *heap);

QX_EXTERN_C_END

#endif
