/* A host written in C99 that checks the library's state right after it is
 * loaded, before any other call: both buffers hold the empty string, and
 * their addresses stay fixed across calls. */
#include <stdio.h>
#include <string.h>

#include "kelhash.h"

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

int main(void) {
    const char *result = kelhash_result();
    const char *error = kelhash_last_error();
    int32_t value = 0;

    check(result != NULL && result[0] == '\0', "result is empty right after load");
    check(error != NULL && error[0] == '\0', "last error is empty right after load");

    /* RFC 1321's digest of "abc". */
    check(kelhash_md5_buffer("abc", 3) == KELHASH_OK, "md5 of abc succeeds");
    check(strcmp(kelhash_result(), "900150983CD24FB0D6963F7D28E17F72") == 0, "md5 of abc");

    check(kelhash_md5_file(NULL) == KELHASH_ERR_INVALID_ARG, "null path is status 3");
    check(strcmp(kelhash_last_error(), "null path") == 0, "null path message");
    check(strcmp(kelhash_result(), "900150983CD24FB0D6963F7D28E17F72") == 0,
          "a failure keeps the earlier result");

    check(kelhash_stable_utf8("abc", &value) == KELHASH_OK && value == 1099313834,
          "stable hash of abc");
    check(kelhash_last_error()[0] == '\0', "success clears the last error");

    check(kelhash_result() == result, "result address is fixed");
    check(kelhash_last_error() == error, "last error address is fixed");

    if (failures == 0) puts("fresh process: ok");
    return failures == 0 ? 0 : 1;
}
