/*
** qxmem: pools and heaps.
**
** Divisions of this file:
**   1. Environment and shared helpers
**   2. Pools: single blocks with a header, chained per pool under a mutex
**   3. Heaps: a bump allocator over a chain of growing chunks
**
** Pool blocks are malloc'ed one by one, each behind a 48-byte header that
** names its pool, so mem2_free needs nothing but the block, and a block
** overrun is seen by the C heap's (and AddressSanitizer's) own checks.
** Heaps carve zero-filled blocks from chunks: the parser takes thousands of
** small blocks and frees them all at once, where a bump pointer is cheapest.
*/
#include "qxmem.h"

#include <atomic>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define QXMEM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QXMEM_ASAN 1
#endif
#endif

namespace {

/* ================================================ 1. Environment, helpers */

/* Every block handed out starts on this boundary. */
constexpr size_t kAlign = 16;

/* Largest block either owner hands out. Nothing in the loader asks for more
** than a few hundred MiB; the cap keeps size + header far from overflow and
** keeps absurd requests (a negative length cast to size_t) from reaching
** malloc, which under AddressSanitizer would abort rather than fail. */
constexpr size_t kMaxBlock = size_t{1} << 38;

constexpr size_t round_up(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

void count_alloc(fldr_env *env, size_t size)
{
    if (env == nullptr)
        return;
    std::atomic_ref<uint64_t>(env->alloc_count).fetch_add(1, std::memory_order_relaxed);
    std::atomic_ref<uint64_t>(env->alloc_bytes).fetch_add(size, std::memory_order_relaxed);
}

[[maybe_unused]] const char *tag_or_unknown(const char *file) { return file != nullptr ? file : "?"; }

} // namespace

extern "C" void mem_env_init(fldr_env *env)
{
    if (env == nullptr)
        return;
    std::memset(env, 0, sizeof *env);
    env->state = -1;
    env->generation = 1;
}

/* ======================================================== 2. Pools
** Pool rules:
**  (1) Every block taken and not yet freed is on the pool's chain, and
**      blocks_in_use is the chain's length.
**  (2) The chain and the counter change only under the pool's mutex.
**  (3) A block's header holds kLiveMagic while the block is taken; mem2_free
**      refuses a pointer whose header does not.
*/
namespace {

constexpr uint32_t kLiveMagic = 0x514d424bU;  /* "QMBK" */
constexpr uint32_t kDeadMagic = 0x44454144U;  /* "DEAD" */

struct block_header {
    mem_pool_s   *pool;   /* owner */
    block_header *prev;   /* neighbours on the owner's chain */
    block_header *next;
    size_t        size;   /* bytes asked for */
    const char   *file;   /* tag and line of the taker, for the leak report */
    uint32_t      line;
    uint32_t      magic;  /* kLiveMagic while taken; last, right before the block */
};
static_assert(sizeof(block_header) % kAlign == 0, "blocks must stay 16-byte aligned");

void *header_to_block(block_header *h) { return reinterpret_cast<char *>(h) + sizeof(block_header); }
block_header *block_to_header(void *block)
{
    return reinterpret_cast<block_header *>(static_cast<char *>(block) - sizeof(block_header));
}

} // namespace

struct mem_pool_s {
    std::mutex    mutex;             /* guards chain and blocks_in_use */
    block_header *chain = nullptr;   /* blocks taken, newest first */
    uint64_t      blocks_in_use = 0; /* length of chain */
    std::string   name;              /* for the leak report */
};

extern "C" mem_pool_t *mem2_pool_create_low(fldr_env *, void *, const char *name, uint64_t, uint64_t,
                                            uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                            const char *, uint32_t)
{
    /* Sizes and the thread-safe flag are accepted for form: every pool
    ** locks, and blocks come from the C heap one by one. */
    try {
        auto *pool = new mem_pool_s;
        pool->name = name != nullptr ? name : "";
        return pool;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" void *mem2_malloc_ex(fldr_env *env, mem_pool_t *pool, size_t size, uint32_t,
                                const char *file, uint32_t line)
{
    if (pool == nullptr || size > kMaxBlock)
        return nullptr;
    /* malloc aligns to 16 on our platforms; the header is a multiple of 16. */
    static_assert(alignof(std::max_align_t) >= kAlign);
    auto *h = static_cast<block_header *>(std::malloc(sizeof(block_header) + size));
    if (h == nullptr)
        return nullptr;
    h->pool = pool;
    h->prev = nullptr;
    h->size = size;
    h->file = file;
    h->line = line;
    h->magic = kLiveMagic;
    {
        std::lock_guard<std::mutex> guard(pool->mutex);
        h->next = pool->chain;
        if (pool->chain != nullptr)
            pool->chain->prev = h;
        pool->chain = h;
        pool->blocks_in_use++;
    }
    count_alloc(env, size);
    return header_to_block(h);
}

extern "C" int32_t mem2_free(fldr_env *, void *block)
{
    if (block == nullptr)
        return 0;
    block_header *h = block_to_header(block);
    if (h->magic != kLiveMagic || h->pool == nullptr)
        return -1;
    mem_pool_s *pool = h->pool;
    {
        std::lock_guard<std::mutex> guard(pool->mutex);
        if (h->prev != nullptr)
            h->prev->next = h->next;
        else
            pool->chain = h->next;
        if (h->next != nullptr)
            h->next->prev = h->prev;
        pool->blocks_in_use--;
    }
    h->magic = kDeadMagic;
    std::free(h);
    return 0;
}

extern "C" void mem2_pool_destroy(fldr_env *, mem_pool_t *pool)
{
    if (pool == nullptr)
        return;
    block_header *h;
    {
        std::lock_guard<std::mutex> guard(pool->mutex);
        h = pool->chain;
        pool->chain = nullptr;
        pool->blocks_in_use = 0;
    }
    while (h != nullptr) {
        block_header *next = h->next;
#ifndef NDEBUG
        std::fprintf(stderr, "qxmem: pool \"%s\" destroyed with a block still taken: %s:%u, %zu bytes\n",
                     pool->name.c_str(), tag_or_unknown(h->file), h->line, h->size);
#endif
        h->magic = kDeadMagic;
        std::free(h);
        h = next;
    }
    delete pool;
}

extern "C" uint64_t mem2_pool_blocks_in_use(mem_pool_t *pool)
{
    if (pool == nullptr)
        return 0;
    std::lock_guard<std::mutex> guard(pool->mutex);
    return pool->blocks_in_use;
}

/* ======================================================== 3. Heaps
** Heap rules:
**  (1) [cur, cur + left) is the unused, zeroed tail of the newest small-block
**      chunk; cur is 16-byte aligned.
**  (2) Every chunk is on the chain and is freed only by mem_heap_free.
**  (3) A request larger than a quarter of the standard chunk size gets a
**      chunk of its own, linked behind the current one, so the bump tail
**      is not thrown away.
** Under AddressSanitizer every block gets its own chunk: an overrun then
** runs into the C heap's red zone instead of the next block.
*/
namespace {

struct heap_chunk {
    heap_chunk *next;   /* older chunks */
    size_t      size;   /* usable bytes after this header */
};
constexpr size_t kChunkHeader = round_up(sizeof(heap_chunk), kAlign);
constexpr size_t kFirstChunk = 4096;
constexpr size_t kMaxChunk = size_t{1} << 20;

char *chunk_data(heap_chunk *c) { return reinterpret_cast<char *>(c) + kChunkHeader; }

heap_chunk *new_chunk(size_t usable)
{
    auto *c = static_cast<heap_chunk *>(std::calloc(1, kChunkHeader + usable));
    if (c != nullptr)
        c->size = usable;
    return c;
}

} // namespace

struct mem_heap_s {
    heap_chunk *chain = nullptr;      /* every chunk, the bump chunk first */
    char       *cur = nullptr;        /* next free byte of the bump chunk */
    size_t      left = 0;             /* bytes free after cur */
    size_t      chunk_size = kFirstChunk; /* usable size of the next bump chunk */
    uint64_t    bytes_used = 0;       /* sum of the sizes handed out */
};

extern "C" mem_heap_t *mem_heap_create_low(fldr_env *, uint32_t, uint64_t first_size, uint32_t, uint32_t,
                                           const char *, uint32_t, uint32_t)
{
    /* Blocks are always zero-filled (chunks come from calloc and are never
    ** reused), so the zero_fill argument needs no branch. */
    auto *heap = new (std::nothrow) mem_heap_s;
    if (heap == nullptr)
        return nullptr;
    if (first_size > kFirstChunk)
        heap->chunk_size = round_up(static_cast<size_t>(first_size < kMaxChunk ? first_size : kMaxChunk), kAlign);
    return heap;
}

extern "C" void *mem_heap_alloc_low(fldr_env *env, mem_heap_t *heap, size_t size, uint32_t,
                                    const char *, uint32_t)
{
    if (heap == nullptr || size > kMaxBlock)
        return nullptr;
    size_t need = round_up(size == 0 ? 1 : size, kAlign);
#ifdef QXMEM_ASAN
    const bool own_chunk = true;
    need = size == 0 ? 1 : size;   /* exact size: a one-byte overrun is caught */
#else
    const bool own_chunk = need > heap->chunk_size / 4;
#endif
    char *block;
    if (own_chunk) {
        heap_chunk *c = new_chunk(need);
        if (c == nullptr)
            return nullptr;
        /* Behind the bump chunk (rule 3); first when there is none. */
        if (heap->chain != nullptr && heap->cur != nullptr) {
            c->next = heap->chain->next;
            heap->chain->next = c;
        } else {
            c->next = heap->chain;
            heap->chain = c;
        }
        block = chunk_data(c);
    } else {
        if (need > heap->left) {
            heap_chunk *c = new_chunk(heap->chunk_size);
            if (c == nullptr)
                return nullptr;
            c->next = heap->chain;
            heap->chain = c;
            heap->cur = chunk_data(c);
            heap->left = c->size;
            if (heap->chunk_size < kMaxChunk)
                heap->chunk_size *= 2;
        }
        block = heap->cur;
        heap->cur += need;
        heap->left -= need;
    }
    heap->bytes_used += size;
    count_alloc(env, size);
    return block;
}

extern "C" char *mem_heap_strdup(fldr_env *env, mem_heap_t *heap, const char *text)
{
    if (text == nullptr)
        return nullptr;
    size_t len = std::strlen(text);
    auto *copy = static_cast<char *>(mem_heap_alloc_low(env, heap, len + 1, 0, __FILE__, __LINE__));
    if (copy != nullptr)
        std::memcpy(copy, text, len + 1);
    return copy;
}

extern "C" void mem_heap_free(fldr_env *, mem_heap_t *heap)
{
    if (heap == nullptr)
        return;
    heap_chunk *c = heap->chain;
    while (c != nullptr) {
        heap_chunk *next = c->next;
        std::free(c);
        c = next;
    }
    delete heap;
}

extern "C" uint64_t mem_heap_bytes_used(mem_heap_t *heap)
{
    return heap != nullptr ? heap->bytes_used : 0;
}
