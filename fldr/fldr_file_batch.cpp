/*
** Column batches for the workers of a load: one batch of typed columns per
** task that converts rows (FLDR_TASK_BDTA). The batch records are the
** runtime's (qxdta.h); this file only builds one whole or not at all.
*/
#include "fldr_internal.h"
#include "qxdta.h"

extern "C" {

QX_EXPORT void *fldr_bdta_create(fldr_env *env, mem_heap_t *heap, uint32_t row_cap,
                                 uint32_t col_count, const uint16_t *types)
{
    bdta3 *batch = bdta3_create(env, heap, static_cast<uint16_t>(col_count), types);
    if (batch == nullptr)
        return nullptr;
    for (uint32_t i = 0; i < col_count; i++) {
        if (bdta3_col_data_create_low(env, heap, &batch->cols[i], types[i], row_cap) < 0) {
            bdta3_free2(env, heap, batch);
            return nullptr;
        }
    }
    return batch;
}

}  // extern "C"
