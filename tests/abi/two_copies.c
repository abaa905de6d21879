/* Two copies of the library in one process, as when a host bundles one and
 * a plugin bundles another: the first is loaded with RTLD_GLOBAL, so its
 * symbols come first in the process's lookup scope. Each copy must still run
 * its own code on its own buffers: a failure in copy B is reported by B and
 * leaves A's result and message untouched.
 *
 * Usage: two_copies LIBRARY SCRATCH_DIR */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef const char *(*text_fn)(void);
typedef int32_t (*md5_buffer_fn)(const void *, uint64_t);
typedef int32_t (*md5_file_fn)(const char *);
typedef int32_t (*shooter_buffer_fn)(const void *, uint64_t, const char *);

struct copy {
    void *handle;
    text_fn result;
    text_fn last_error;
    md5_buffer_fn md5_buffer;
    md5_file_fn md5_file;
    shooter_buffer_fn shooter_buffer;
};

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

static int copy_file(const char *from, const char *to) {
    char buf[1 << 16];
    size_t n;
    int ok = 1;
    FILE *in = fopen(from, "rb");
    FILE *out = in != NULL ? fopen(to, "wb") : NULL;
    if (out == NULL) {
        if (in != NULL) fclose(in);
        return 0;
    }
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        if (fwrite(buf, 1, n, out) != n) ok = 0;
    }
    if (ferror(in)) ok = 0;
    fclose(in);
    if (fclose(out) != 0) ok = 0;
    return ok;
}

static void *symbol(void *handle, const char *name) {
    void *p = dlsym(handle, name);
    if (p == NULL) {
        fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
        exit(2);
    }
    return p;
}

static struct copy load(const char *path, int scope) {
    struct copy c;
    c.handle = dlopen(path, RTLD_NOW | scope);
    if (c.handle == NULL) {
        fprintf(stderr, "dlopen %s: %s\n", path, dlerror());
        exit(2);
    }
    /* Object pointers to function pointers, as POSIX allows for dlsym. */
    *(void **)&c.result = symbol(c.handle, "kelhash_result");
    *(void **)&c.last_error = symbol(c.handle, "kelhash_last_error");
    *(void **)&c.md5_buffer = symbol(c.handle, "kelhash_md5_buffer");
    *(void **)&c.md5_file = symbol(c.handle, "kelhash_md5_file");
    *(void **)&c.shooter_buffer = symbol(c.handle, "kelhash_shooter_buffer");
    return c;
}

int main(int argc, char **argv) {
    char path_a[4096];
    char path_b[4096];
    struct copy a;
    struct copy b;
    static const char abc_md5[] = "900150983CD24FB0D6963F7D28E17F72";

    if (argc != 3) {
        fputs("usage: two_copies LIBRARY SCRATCH_DIR\n", stderr);
        return 2;
    }
    snprintf(path_a, sizeof path_a, "%s/copy-a.so", argv[2]);
    snprintf(path_b, sizeof path_b, "%s/copy-b.so", argv[2]);
    if (!copy_file(argv[1], path_a) || !copy_file(argv[1], path_b)) {
        fprintf(stderr, "cannot copy %s into %s\n", argv[1], argv[2]);
        return 2;
    }
    a = load(path_a, RTLD_GLOBAL);
    b = load(path_b, RTLD_LOCAL);
    check(a.handle != b.handle && a.result() != b.result(), "two distinct copies are loaded");

    /* A holds a result and a message of its own. */
    check(a.md5_buffer("abc", 3) == 0 && strcmp(a.result(), abc_md5) == 0, "copy A hashes abc");
    check(a.md5_file(NULL) == 3 && strcmp(a.last_error(), "null path") == 0,
          "copy A reports a null path");

    /* B's Shooter fallback hashes a name that is not UTF-8 and fails there. */
    check(b.shooter_buffer(NULL, 0, "x\xff") == 4, "copy B's fallback fails with status 4");
    check(strcmp(b.last_error(), "invalid UTF-8") == 0, "copy B reports invalid UTF-8");
    check(strcmp(a.last_error(), "null path") == 0, "copy A's message is untouched");
    check(strcmp(a.result(), abc_md5) == 0, "copy A's result is untouched");

    /* And B's successful fallback lands in B's result, not in A's. */
    check(b.shooter_buffer(NULL, 0, "movie.avi") == 0 && b.last_error()[0] == '\0',
          "copy B's fallback succeeds");
    check(strcmp(b.result(), "1654360774") == 0, "copy B's result holds the fallback");
    check(strcmp(a.result(), abc_md5) == 0, "copy A's result is still untouched");

    dlclose(b.handle);
    dlclose(a.handle);
    remove(path_a);
    remove(path_b);
    if (failures == 0) puts("two copies: ok");
    return failures == 0 ? 0 : 1;
}
