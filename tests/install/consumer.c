/* A C11 program that knows only an installed qxfldr_comm: built with the
 * flags of `pkg-config --cflags --libs qxfldr_comm`, it starts the library,
 * checks the environment it hands out and a message of its table, and stops
 * it again. Prints one line and exits 0 when all of that holds. */
#include <stdio.h>
#include <string.h>

#include <qxfldr_comm.h>

int main(void)
{
    char compiled[32];
    fldr_env *env;
    const fldr_emsg_row *row;
    int failures = 0;

    /* The header and the library found at run time are the same release. */
    snprintf(compiled, sizeof compiled, "%d.%d.%d", QXFLDR_COMM_VERSION_MAJOR, QXFLDR_COMM_VERSION_MINOR,
             QXFLDR_COMM_VERSION_PATCH);
    if (strcmp(fldr_get_version(), compiled) != 0) {
        fprintf(stderr, "header %s, library %s\n", compiled, fldr_get_version());
        failures++;
    }
    fldr_init();
    env = fldr_get_env();
    if (env == NULL || env->state != -1 || env->generation != 1) {
        fprintf(stderr, "fldr_get_env gave no fresh environment\n");
        failures++;
    }
    row = fldr_emsg_lookup(FLDR_ERR_READ_FILE);
    if (row == NULL || strcmp(row->text_en, "Read file failed") != 0) {
        fprintf(stderr, "message %d not found\n", FLDR_ERR_READ_FILE);
        failures++;
    }
    fldr_deinit();
    if (failures == 0)
        printf("consumer_c: qxfldr_comm %s started and stopped\n", fldr_get_version());
    return failures == 0 ? 0 : 1;
}
