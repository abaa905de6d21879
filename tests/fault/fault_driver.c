/*
 * Runs one file function of the library and prints its status, the last
 * error and the result, one per line. The fault tests start it with the
 * fault-injection library preloaded.
 *
 *   kelhash_fault_driver shooter|opensubtitles|md5 FILE [FALLBACK_NAME]
 *
 * Before the call the result buffer holds a marker (the MD5 digest of the
 * text "marker"), so the output shows whether a failing call left the
 * buffer alone.
 */
#include <stdio.h>
#include <string.h>

#include "kelhash.h"

int main(int argc, char **argv) {
    int32_t status;
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: %s shooter|opensubtitles|md5 FILE [FALLBACK_NAME]\n", argv[0]);
        return 2;
    }
    if (kelhash_md5_buffer("marker", 6) != KELHASH_OK) {
        fprintf(stderr, "marker digest failed\n");
        return 2;
    }
    if (strcmp(argv[1], "shooter") == 0) {
        status = kelhash_shooter_file(argv[2], argc == 4 ? argv[3] : NULL);
    } else if (strcmp(argv[1], "opensubtitles") == 0) {
        status = kelhash_opensubtitles_file(argv[2]);
    } else if (strcmp(argv[1], "md5") == 0) {
        status = kelhash_md5_file(argv[2]);
    } else {
        fprintf(stderr, "unknown function %s\n", argv[1]);
        return 2;
    }
    printf("%d\n%s\n%s\n", (int)status, kelhash_last_error(), kelhash_result());
    return fflush(stdout) == 0 ? 0 : 2;
}
