/* The public header compiles as C11, and a C caller can start the library,
 * look up a message and record a diagnostic through the shared object. */
#include <stdio.h>
#include <string.h>

#include "qxfldr_comm.h"

int main(void)
{
    fldr_diag_list list;
    const fldr_emsg_row *row;
    int failures = 0;

    fldr_init();
    row = fldr_emsg_lookup(-65044);
    if (row == NULL || strcmp(row->text_en, "Reach error max") != 0) {
        fprintf(stderr, "lookup of -65044 failed\n");
        failures++;
    }
    fldr_init_diag(&list);
    fldr_add_diag_rec(fldr_get_env(), &list, -65021, NULL, 0, 0, FLDR_LANG_EN, 1);
    if (list.count != 1 || strcmp(fldr_get_nth_diag_rec(&list.first, 1)->text, "Read file failed") != 0) {
        fprintf(stderr, "diagnostic record not stored\n");
        failures++;
    }
    fldr_deinit_diag(fldr_get_env(), &list);
    fldr_deinit();
    printf("c_api: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
