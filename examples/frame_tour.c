/*
** frame_tour: starts the library, shows a few messages of the error table
** in the three languages, records diagnostics the way a load does when rows
** fail, reads them back, and shuts the library down.
*/
#include <stdio.h>

#include "qxfldr_comm.h"

static const char *language_name(uint32_t language)
{
    switch (language) {
    case FLDR_LANG_ZH_CN: return "simplified Chinese";
    case FLDR_LANG_ZH_TW: return "traditional Chinese";
    default:              return "English";
    }
}

int main(void)
{
    static const int32_t codes[] = {-65024, -65044, -65062, 65001, -2007};
    static const uint32_t languages[] = {FLDR_LANG_EN, FLDR_LANG_ZH_CN, FLDR_LANG_ZH_TW};
    fldr_diag_list diag;
    uint32_t n;
    size_t i, k;

    fldr_init();
    printf("qxfldr_comm started (environment state %d)\n\n", (int)fldr_get_env()->state);

    /* One diagnostic record per code and language; out_code 1 asks for UTF-8. */
    fldr_init_diag(&diag);
    for (i = 0; i < sizeof codes / sizeof codes[0]; i++)
        for (k = 0; k < sizeof languages / sizeof languages[0]; k++)
            fldr_add_diag_rec(fldr_get_env(), &diag, codes[i], NULL, 0, 0, languages[k], 1);
    fldr_add_diag_rec(fldr_get_env(), &diag, -65027, "row 17: value too long for column NAME", 0, 17,
                      FLDR_LANG_EN, 1);

    printf("%u diagnostic records (list capacity %u, blocks of %d):\n", diag.count, diag.capacity,
           FLDR_DIAG_PER_BLOCK);
    for (n = 1; n <= diag.count; n++) {
        const fldr_diag_rec *rec = fldr_get_nth_diag_rec(&diag.first, n);
        const char *lang = n <= 15 ? language_name(languages[(n - 1) % 3]) : "caller's text";
        printf("  #%-2u %7d  %-20s %s\n", n, (int)rec->code, lang, rec->text);
    }

    fldr_clear_diag(&diag);
    printf("\ncleared: count %u, capacity kept at %u\n", diag.count, diag.capacity);
    fldr_deinit_diag(fldr_get_env(), &diag);

    fldr_deinit();
    printf("qxfldr_comm stopped\n");
    return 0;
}
