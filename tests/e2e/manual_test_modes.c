/* Writes ec_Printf(MODE, "%s", TEXT) for the manual's test of the mode table.
 * usage: manual_test_modes MODE TEXT */
#include <stdio.h>
#include <stdlib.h>

#include "webreq/output.h"

int main(int argc, char **argv) {
    if (argc != 3) return 64;
    ec_Printf(atoi(argv[1]), "%s", argv[2]);
    fflush(stdout);
    return 0;
}
