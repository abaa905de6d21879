/* Per-call time of the native fingerprint functions on one file, for
 * bench/fingerprints.js to print beside the package's.
 *
 *   native_fingerprints FILE CALLS
 *
 * prints two lines, "opensubtitles US" and "shooter US": microseconds per
 * call, the best of five runs of CALLS calls each. */
#define _POSIX_C_SOURCE 199309L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kelhash.h"

static double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s FILE CALLS\n", argv[0]);
        return 2;
    }
    const char *file = argv[1];
    const long calls = strtol(argv[2], NULL, 10);
    double best_os = 1e300;
    double best_sh = 1e300;
    for (int run = 0; run < 5; ++run) {
        double t = now_us();
        for (long i = 0; i < calls; ++i) {
            if (kelhash_opensubtitles_file(file) != KELHASH_OK) {
                fprintf(stderr, "%s\n", kelhash_last_error());
                return 1;
            }
        }
        double us = (now_us() - t) / (double)calls;
        if (us < best_os) best_os = us;
        t = now_us();
        for (long i = 0; i < calls; ++i) {
            if (kelhash_shooter_file(file, "x") != KELHASH_OK) {
                fprintf(stderr, "%s\n", kelhash_last_error());
                return 1;
            }
        }
        us = (now_us() - t) / (double)calls;
        if (us < best_sh) best_sh = us;
    }
    printf("opensubtitles %.2f\nshooter %.2f\n", best_os, best_sh);
    return 0;
}
