/*
 * kelhash: prints the OpenSubtitles hash, the Shooter hash and the MD5 digest
 * of files. A host of the shared library like any other: it sees only the
 * public header and calls the library from one thread.
 */
#if !defined(_WIN32)
#  define _POSIX_C_SOURCE 200809L
#  define _FILE_OFFSET_BITS 64
#endif

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelhash.h"

#ifndef KELHASH_VERSION
#  define KELHASH_VERSION "unknown"
#endif

enum {
    ALG_OPENSUBTITLES = 1,
    ALG_SHOOTER = 2,
    ALG_MD5 = 4
};

enum {
    EXIT_FILE_FAILED = 1,
    EXIT_USAGE = 2
};

#define HASH_CAP 256

struct hashes {
    int64_t size;
    char opensubtitles[HASH_CAP];
    char shooter[HASH_CAP];
    char md5[HASH_CAP];
};

static const char *const usage_text =
    "Usage: kelhash [OPTION]... FILE...\n"
    "Print the OpenSubtitles hash, the Shooter hash and the MD5 digest of each FILE.\n"
    "\n"
    "  --opensubtitles  the OpenSubtitles hash (16 lowercase hex digits)\n"
    "  --shooter        the Shooter hash (four MD5 digests joined by ';'; for a\n"
    "                   file of 8192 bytes or less, the stable hash of its name)\n"
    "  --md5            the MD5 digest (32 uppercase hex digits)\n"
    "  --name NAME      the name the Shooter hash uses for files of 8192 bytes or\n"
    "                   less (default: the file's base name)\n"
    "  --json           one JSON object per line and file\n"
    "  --help           print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "With no algorithm chosen, all three are printed. With exactly one, each\n"
    "line is \"HASH  FILE\" as md5sum prints it (a name holding a backslash,\n"
    "a newline or a carriage return is written with \\\\, \\n and \\r, and the line\n"
    "then starts with a backslash). With several, each file gets a block that\n"
    "names every result. In JSON, bytes of a file name that are not UTF-8 are\n"
    "written as U+FFFD.\n"
    "\n"
    "Exit status: 0 if every file was hashed, 1 if any file failed, 2 for bad\n"
    "usage.\n";

static int usage_error(const char *what, const char *arg) {
    fprintf(stderr, "kelhash: %s '%s'\n", what, arg);
    fputs("Try 'kelhash --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

/* The last path component, after the last '/' (and '\' on Windows). */
static const char *base_name(const char *path) {
    const char *base = path;
    const char *p;
    for (p = path; *p != '\0'; ++p) {
        if (*p == '/'
#if defined(_WIN32)
            || *p == '\\'
#endif
        ) {
            base = p + 1;
        }
    }
    return base;
}

/* The file's size from the end position of a stream with 64-bit offsets.
 * Returns NULL on success, else a message. */
static const char *file_size(const char *path, int64_t *size) {
    FILE *f = fopen(path, "rb");
    int64_t pos;
    int sought;
    if (f == NULL) return "cannot open file";
#if defined(_WIN32)
    sought = _fseeki64(f, 0, SEEK_END);
    pos = sought == 0 ? (int64_t)_ftelli64(f) : -1;
#else
    sought = fseeko(f, 0, SEEK_END);
    pos = sought == 0 ? (int64_t)ftello(f) : -1;
#endif
    fclose(f);
    if (sought != 0) return "seek failed";
    if (pos < 0) return "ftell failed";
    *size = pos;
    return NULL;
}

/* Copies the library's result after status 0; returns the message otherwise.
 * The caller's copy is made before the next call into the library. */
static const char *take(int32_t status, char *dst) {
    if (status != KELHASH_OK) return kelhash_last_error();
    strncpy(dst, kelhash_result(), HASH_CAP - 1);
    dst[HASH_CAP - 1] = '\0';
    return NULL;
}

static const char *compute(const char *path, int algorithms, int want_size,
                           const char *name, struct hashes *h) {
    const char *failure = NULL;
    h->size = -1;
    if (algorithms & ALG_OPENSUBTITLES) {
        failure = take(kelhash_opensubtitles_file(path), h->opensubtitles);
        if (failure != NULL) return failure;
    }
    if (algorithms & ALG_SHOOTER) {
        failure = take(kelhash_shooter_file(path, name != NULL ? name : base_name(path)),
                       h->shooter);
        if (failure != NULL) return failure;
    }
    if (algorithms & ALG_MD5) {
        failure = take(kelhash_md5_file(path), h->md5);
        if (failure != NULL) return failure;
    }
    if (want_size) failure = file_size(path, &h->size);
    return failure;
}

static int needs_escape(const char *s) {
    return strpbrk(s, "\\\n\r") != NULL;
}

/* A file name as md5sum writes it: backslash, newline and carriage return
 * escaped. */
static void put_escaped_name(FILE *out, const char *s) {
    for (; *s != '\0'; ++s) {
        switch (*s) {
        case '\\': fputs("\\\\", out); break;
        case '\n': fputs("\\n", out); break;
        case '\r': fputs("\\r", out); break;
        default: fputc(*s, out); break;
        }
    }
}

/* Length of the well-formed UTF-8 sequence at p (returns 1), or of the
 * longest start of one that is still well-formed (returns 0, *len >= 1):
 * each such maximal part becomes one U+FFFD. */
static int utf8_sequence(const unsigned char *p, size_t *len) {
    const unsigned char c = p[0];
    size_t need;
    size_t i;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c == 0xE0) {
        need = 2;
        lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
        need = 2;
    } else if (c == 0xED) {
        need = 2;
        hi = 0x9F;
    } else if (c == 0xF0) {
        need = 3;
        lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
        need = 3;
    } else if (c == 0xF4) {
        need = 3;
        hi = 0x8F;
    } else {
        *len = 1;
        return 0;
    }
    for (i = 1; i <= need; ++i) {
        /* The terminating NUL is below 0x80 and ends the sequence here. */
        if (p[i] < lo || p[i] > hi) {
            *len = i;
            return 0;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    *len = need + 1;
    return 1;
}

static void put_json_string(FILE *out, const char *s) {
    const unsigned char *p = (const unsigned char *)s;
    fputc('"', out);
    while (*p != '\0') {
        const unsigned char c = *p;
        size_t len = 1;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\u%04x", (unsigned)c);
        } else if (c < 0x80) {
            fputc(c, out);
        } else if (utf8_sequence(p, &len)) {
            fwrite(p, 1, len, out);
        } else {
            fputs("\\ufffd", out);
        }
        p += len;
    }
    fputc('"', out);
}

static void print_single(FILE *out, const char *path, const char *hash) {
    if (needs_escape(path)) {
        fprintf(out, "\\%s  ", hash);
        put_escaped_name(out, path);
    } else {
        fprintf(out, "%s  %s", hash, path);
    }
    fputc('\n', out);
}

static void print_block(FILE *out, const char *path, int algorithms, const struct hashes *h) {
    put_escaped_name(out, path);
    fprintf(out, "\n  size: %" PRId64 "\n", h->size);
    if (algorithms & ALG_OPENSUBTITLES) fprintf(out, "  opensubtitles: %s\n", h->opensubtitles);
    if (algorithms & ALG_SHOOTER) fprintf(out, "  shooter: %s\n", h->shooter);
    if (algorithms & ALG_MD5) fprintf(out, "  md5: %s\n", h->md5);
}

static void print_json(FILE *out, const char *path, int algorithms, const struct hashes *h) {
    fputs("{\"file\": ", out);
    put_json_string(out, path);
    fprintf(out, ", \"size\": %" PRId64, h->size);
    if (algorithms & ALG_OPENSUBTITLES) {
        fputs(", \"opensubtitles\": ", out);
        put_json_string(out, h->opensubtitles);
    }
    if (algorithms & ALG_SHOOTER) {
        fputs(", \"shooter\": ", out);
        put_json_string(out, h->shooter);
    }
    if (algorithms & ALG_MD5) {
        fputs(", \"md5\": ", out);
        put_json_string(out, h->md5);
    }
    fputs("}\n", out);
}

int main(int argc, char **argv) {
    int algorithms = 0;
    int json = 0;
    const char *name = NULL;
    int only_files = 0;
    int i;
    int status = 0;
    int count = 0;
    int single;

    /* Options may stand anywhere before "--"; the rest are files. */
    char **files = (char **)calloc((size_t)argc + 1, sizeof *files);
    if (files == NULL) {
        fputs("kelhash: out of memory\n", stderr);
        return EXIT_FILE_FAILED;
    }
    for (i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (only_files || arg[0] != '-' || arg[1] == '\0') {
            files[count++] = argv[i];
        } else if (strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (strcmp(arg, "--opensubtitles") == 0) {
            algorithms |= ALG_OPENSUBTITLES;
        } else if (strcmp(arg, "--shooter") == 0) {
            algorithms |= ALG_SHOOTER;
        } else if (strcmp(arg, "--md5") == 0) {
            algorithms |= ALG_MD5;
        } else if (strcmp(arg, "--json") == 0) {
            json = 1;
        } else if (strcmp(arg, "--name") == 0) {
            if (i + 1 >= argc) {
                free(files);
                return usage_error("option requires an argument", arg);
            }
            name = argv[++i];
        } else if (strncmp(arg, "--name=", 7) == 0) {
            name = arg + 7;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            free(files);
            fputs(usage_text, stdout);
            return fflush(stdout) == 0 && !ferror(stdout) ? 0 : EXIT_FILE_FAILED;
        } else if (strcmp(arg, "--version") == 0) {
            free(files);
            puts("kelhash " KELHASH_VERSION);
            return fflush(stdout) == 0 && !ferror(stdout) ? 0 : EXIT_FILE_FAILED;
        } else {
            free(files);
            return usage_error("unrecognized option", arg);
        }
    }
    if (count == 0) {
        free(files);
        fputs("kelhash: no files given\n", stderr);
        fputs("Try 'kelhash --help' for more information.\n", stderr);
        return EXIT_USAGE;
    }
    if (algorithms == 0) algorithms = ALG_OPENSUBTITLES | ALG_SHOOTER | ALG_MD5;
    single = algorithms == ALG_OPENSUBTITLES || algorithms == ALG_SHOOTER || algorithms == ALG_MD5;

    for (i = 0; i < count; ++i) {
        const char *path = files[i];
        struct hashes h;
        const char *failure = compute(path, algorithms, json || !single, name, &h);
        if (failure != NULL) {
            fflush(stdout);
            fprintf(stderr, "kelhash: %s: %s\n", path, failure);
            status = EXIT_FILE_FAILED;
            continue;
        }
        if (json) {
            print_json(stdout, path, algorithms, &h);
        } else if (single) {
            print_single(stdout, path,
                         algorithms == ALG_OPENSUBTITLES ? h.opensubtitles
                         : algorithms == ALG_SHOOTER     ? h.shooter
                                                         : h.md5);
        } else {
            print_block(stdout, path, algorithms, &h);
        }
    }
    free(files);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("kelhash: write error\n", stderr);
        status = EXIT_FILE_FAILED;
    }
    return status;
}
