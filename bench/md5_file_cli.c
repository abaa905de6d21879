/* Prints the MD5 of each file named on the command line, through the
 * shared library: the whole-process counterpart of `openssl md5 FILE` and
 * `md5sum FILE` in bench/md5_file.sh. */
#include <stdio.h>

#include "kelhash.h"

int main(int argc, char **argv) {
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        if (kelhash_md5_file(argv[i]) != KELHASH_OK) {
            fprintf(stderr, "%s: %s\n", argv[i], kelhash_last_error());
            failed = 1;
            continue;
        }
        printf("%s  %s\n", kelhash_result(), argv[i]);
    }
    return failed;
}
