/*
** Interval info: a sparse registry of numbered 256-byte slots.
**
** The caller owns an array of block pointers (FLDR_INTERVAL_ARRAY of them,
** zeroed at first). Element 0 is not used; element k + 1 holds the block of
** the numbers 100k .. 100k + 99, allocated on first use from the instance's
** memory context and released by the caller. Rules of a block:
**   (1) used counts additions minus resets; it is 1 right after creation and
**       may fall to 0 (or wrap) without the block being released;
**   (2) bit i of the bitmap is set exactly while slot i was added and not
**       reset since; a lookup hands out a slot only while its bit is set;
**   (3) slot contents are zeroed at creation and never touched again here.
*/
#include "fldr_internal.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(fldr_interval_block) == 25624, "block layout: 2 + 2 + 13 + 7 + 100 * 256 bytes");
static_assert(offsetof(fldr_interval_block, slots) == 24, "slots start after the aligned header");

namespace {

struct slot_pos {
    uint32_t element;   /* k + 1 */
    uint32_t index;     /* n mod 100 */
};

constexpr slot_pos locate(uint32_t number)
{
    return {number / FLDR_INTERVAL_PER_BLOCK + 1, number % FLDR_INTERVAL_PER_BLOCK};
}

inline void set_bit(fldr_interval_block *block, uint32_t i)
{
    block->bitmap[i / 8] = static_cast<uint8_t>(block->bitmap[i / 8] | (1u << (i % 8)));
}

inline void clear_bit(fldr_interval_block *block, uint32_t i)
{
    block->bitmap[i / 8] = static_cast<uint8_t>(block->bitmap[i / 8] & ~(1u << (i % 8)));
}

inline bool bit_set(const fldr_interval_block *block, uint32_t i)
{
    return (block->bitmap[i / 8] >> (i % 8) & 1u) != 0;
}

} // namespace

/*
** Numbers from FLDR_INTERVAL_LIMIT on would index past the caller's array:
** add refuses them with FLDR_ERR_OUT_OF_RANGE and reset ignores them, the
** same numbers the lookup answers with null.
*/
extern "C" int32_t fldr_add_interval_info(fldr_inst *inst, void **info, uint32_t number, char **slot)
{
    if (number >= FLDR_INTERVAL_LIMIT) return fldr_print_err(inst, FLDR_ERR_OUT_OF_RANGE, nullptr, 0);
    const slot_pos pos = locate(number);
    auto *block = static_cast<fldr_interval_block *>(info[pos.element]);
    if (block != nullptr) {
        set_bit(block, pos.index);
        block->used = static_cast<uint16_t>(block->used + 1);
        *slot = block->slots[pos.index];
        return 0;
    }

    block = static_cast<fldr_interval_block *>(fldr_alloc(nullptr, inst != nullptr ? inst->mem_ctx : nullptr,
                                                          sizeof(fldr_interval_block), FLDR_TAG_PUB, __LINE__));
    if (block == nullptr) return fldr_print_err(inst, FLDR_ERR_OUT_OF_MEMORY, nullptr, 0);
    std::memset(block, 0, sizeof *block);
    block->used = 1;
    block->capacity = FLDR_INTERVAL_PER_BLOCK;
    set_bit(block, pos.index);
    info[pos.element] = block;
    *slot = block->slots[pos.index];
    return 0;
}

extern "C" int32_t fldr_reset_interval_info(fldr_env *, void **info, uint32_t number)
{
    if (number >= FLDR_INTERVAL_LIMIT) return 0;
    const slot_pos pos = locate(number);
    auto *block = static_cast<fldr_interval_block *>(info[pos.element]);
    if (block == nullptr) return 0;
    clear_bit(block, pos.index);
    block->used = static_cast<uint16_t>(block->used - 1);
    return 0;
}

extern "C" char *fldr_get_interval_info(void **info, uint32_t number)
{
    if (number >= FLDR_INTERVAL_LIMIT) return nullptr;
    const slot_pos pos = locate(number);
    auto *block = static_cast<fldr_interval_block *>(info[pos.element]);
    if (block == nullptr || !bit_set(block, pos.index)) return nullptr;
    return block->slots[pos.index];
}
