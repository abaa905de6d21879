/* A host built outside the kelhash tree: against an installed package (CMake
 * or pkg-config) or with kelhash added as a subdirectory. Prints "ok" when
 * the library gives the results known from the hashes' definitions. */
#include <stdio.h>
#include <string.h>

#include "kelhash.h"

static int failures = 0;

static void expect(int32_t status, const char *got, const char *want, const char *what) {
    if (status != KELHASH_OK || strcmp(got, want) != 0) {
        fprintf(stderr, "FAIL: %s: status %d, \"%s\" (%s), expected \"%s\"\n", what, (int)status,
                got, kelhash_last_error(), want);
        ++failures;
    }
}

int main(void) {
    char out[132];
    int32_t value = -1;
    int32_t status;

    status = kelhash_md5_buffer("abc", 3);
    expect(status, kelhash_result(), "900150983CD24FB0D6963F7D28E17F72", "md5 of abc");
    status = kelhash_opensubtitles_buffer("a", 1);
    expect(status, kelhash_result(), "00000000000000c3", "opensubtitles of a");
    status = kelhash_opensubtitles_chunks("abcdefghi", 9, "abcdefghi", 9, 9, out, sizeof out);
    expect(status, out, "d0cecccac8c6c59d", "opensubtitles of abcdefghi from chunks");
    status = kelhash_shooter_chunks(NULL, 0, NULL, 0, NULL, 0, NULL, 0, 100, "movie.avi", out,
                                    sizeof out);
    expect(status, out, "1654360774", "shooter fallback of movie.avi");

    status = kelhash_stable_utf8("abc", &value);
    if (status != KELHASH_OK || value != 1099313834) {
        fprintf(stderr, "FAIL: stable hash of abc: status %d, %ld\n", (int)status, (long)value);
        ++failures;
    }
    status = kelhash_md5_file(NULL);
    if (status != KELHASH_ERR_INVALID_ARG || strcmp(kelhash_last_error(), "null path") != 0) {
        fprintf(stderr, "FAIL: null path: status %d, \"%s\"\n", (int)status,
                kelhash_last_error());
        ++failures;
    }

    if (failures == 0) puts("ok");
    return failures == 0 ? 0 : 1;
}
