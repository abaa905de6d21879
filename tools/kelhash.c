/*
 * kelhash: prints the OpenSubtitles hash, the Shooter hash and the MD5 digest
 * of files. A host of the shared library like any other, calling it from one
 * thread through the public header; besides, it streams MD5 through the
 * library's internal engine (md5/md5.h), linked in from the internal archive,
 * since the shared library exports no streaming MD5.
 *
 * Each file is opened once (standard input for "-") and read by the command
 * itself: MD5 streams over the bytes, and the ranges the two fingerprints
 * need go to the library's chunk functions together with the size measured
 * on that same open. So every result of a file, and the size printed with
 * them, describe the same bytes, and a FIFO or a pipe is read only once.
 */
#if !defined(_WIN32)
#  define _POSIX_C_SOURCE 200809L
#endif

#include <errno.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <windows.h>
#else
#  include <unistd.h>
#endif

#include "kelhash.h"
#include "md5/md5.h"
#include "text/utf8_sequence.h"

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
#define ALG_COUNT 3

/* The algorithms in the order in which every output form lists them. */
static const int alg_bits[ALG_COUNT] = {ALG_OPENSUBTITLES, ALG_SHOOTER, ALG_MD5};
static const char *const alg_names[ALG_COUNT] = {"opensubtitles", "shooter", "md5"};

/* What one file gave: its size, and for each algorithm either its result
 * (the bit is in done) or nothing, the failure having been reported. */
struct hashes {
    int64_t size;
    int done;
    char value[ALG_COUNT][HASH_CAP];
};

/* A step that failed: the library's message for it and errno right after it
 * (0 when the system gave no reason, as at an early end of file). */
struct failure {
    const char *message;
    int err;
};

/* The sizes of the library's ranges. */
#define OPENSUBTITLES_RANGE 65536
#define SHOOTER_BLOCK 4096
#define SHOOTER_SMALL 8192

/* Read buffers, static since the command hashes one file at a time: the
 * piece MD5 and the spool stream through, the two OpenSubtitles ranges and
 * the four Shooter blocks. Nothing grows with the file. */
static unsigned char piece_buf[65536];
static unsigned char head_buf[OPENSUBTITLES_RANGE];
static unsigned char tail_buf[OPENSUBTITLES_RANGE];
static unsigned char block_buf[4][SHOOTER_BLOCK];

static const char *const usage_text =
    "Usage: kelhash [OPTION]... FILE...\n"
    "Print the OpenSubtitles hash, the Shooter hash and the MD5 digest of each FILE.\n"
    "With FILE -, read standard input (write ./- for a file named -).\n"
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
    "written as U+FFFD. A result that cannot be computed is reported on standard\n"
    "error and left out: no line, or no key in the block or the JSON object.\n"
    "\n"
    "A pipe is read once; for the OpenSubtitles or the Shooter hash of one, its\n"
    "bytes are kept in a temporary file as large as the stream while it is read.\n"
    "\n"
    "Exit status: 0 if every result was computed, 1 if any file or result\n"
    "failed, 2 for bad usage.\n";

static int usage_error(const char *what, const char *arg) {
    fprintf(stderr, "kelhash: %s '%s'\n", what, arg);
    fputs("Try 'kelhash --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

/* "kelhash: FILE: WHAT[: reason]" on standard error, after whatever the
 * standard output holds so far, so that both read in order on a terminal. */
static void report(const char *path, const char *what, const char *message, int err) {
    fflush(stdout);
    fprintf(stderr, "kelhash: %s: ", path);
    if (what != NULL) fprintf(stderr, "%s: ", what);
    fputs(message, stderr);
    if (err != 0) fprintf(stderr, ": %s", strerror(err));
    fputc('\n', stderr);
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

static int fail(struct failure *why, const char *message, int err) {
    why->message = message;
    why->err = err;
    return -1;
}

static int seek_to(FILE *f, int64_t offset) {
#if defined(_WIN32)
    return _fseeki64(f, offset, SEEK_SET);
#else
    return fseeko(f, (off_t)offset, SEEK_SET);
#endif
}

/* Whether the stream is a regular file (or a disk), which has a size and can
 * be read at any offset; anything else (a pipe, a FIFO, a terminal, a
 * directory) is read once from where it stands, and a directory then fails
 * with the system's reason. */
static int is_seekable(FILE *f) {
#if defined(_WIN32)
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0) return 0;
    return (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
#endif
}

/* The size as the library measures it: the position at the end. */
static int measure(FILE *f, int64_t *size, struct failure *why) {
    int64_t pos;
    errno = 0;
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) != 0) return fail(why, "seek failed", errno);
    pos = (int64_t)_ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0) return fail(why, "seek failed", errno);
    pos = (int64_t)ftello(f);
#endif
    if (pos < 0) return fail(why, "ftell failed", errno);
    *size = pos;
    return 0;
}

/* Exactly len bytes from the current position. A stream that ends first has
 * become shorter than the size measured, so the bytes no longer belong to
 * one state of the file: that is a read error, not zeros. */
static int read_exact(FILE *f, unsigned char *buf, size_t len, struct failure *why) {
    size_t got = 0;
    while (got < len) {
        size_t n;
        errno = 0;
        n = fread(buf + got, 1, len - got, f);
        if (n == 0) return fail(why, "read error", ferror(f) ? errno : 0);
        got += n;
    }
    return 0;
}

static int read_at(FILE *f, int64_t offset, unsigned char *buf, size_t len,
                   struct failure *why) {
    errno = 0;
    if (seek_to(f, offset) != 0) return fail(why, "seek failed", errno);
    return read_exact(f, buf, len, why);
}

static void md5_hex(kel_md5_ctx *ctx, char *out) {
    static const char digits[] = "0123456789ABCDEF";
    uint8_t digest[16];
    int i;
    kel_md5_final(ctx, digest);
    for (i = 0; i < 16; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    out[32] = '\0';
}

static int alg_index(int alg) {
    return alg == ALG_OPENSUBTITLES ? 0 : alg == ALG_SHOOTER ? 1 : 2;
}

static char *value_of(struct hashes *h, int alg) {
    return h->value[alg_index(alg)];
}

/* Takes the status of a chunk function: a failure there (the library's
 * message) costs that one result, and the others stand. */
static void library_result(int32_t status, int alg, const char *path, struct hashes *h) {
    if (status == KELHASH_OK) {
        h->done |= alg;
    } else {
        report(path, alg_names[alg_index(alg)], kelhash_last_error(), 0);
    }
}

/* The chosen algorithms over the first size bytes of a seekable stream
 * (f may be null when size is 0: nothing is read then). Everything is read
 * first, so that a read failure leaves no result at all; only then does the
 * library compute, and a failure there (the Shooter name of a small file
 * that is not UTF-8) costs that one result. */
static int hash_seekable(FILE *f, int64_t size, int algorithms, const char *path,
                         const char *name, struct hashes *h, struct failure *why) {
    const int64_t m = size < OPENSUBTITLES_RANGE ? size : OPENSUBTITLES_RANGE;
    const unsigned char *tail = head_buf;
    const unsigned char *block[4] = {NULL, NULL, NULL, NULL};
    uint64_t block_len[4] = {0, 0, 0, 0};
    kel_md5_ctx ctx;

    h->size = size;
    kel_md5_init(&ctx);
    if (algorithms & ALG_MD5) {
        int64_t left = size;
        errno = 0;
        if (left > 0 && seek_to(f, 0) != 0) return fail(why, "seek failed", errno);
        while (left > 0) {
            const size_t want =
                left < (int64_t)sizeof piece_buf ? (size_t)left : sizeof piece_buf;
            if (read_exact(f, piece_buf, want, why) != 0) return -1;
            kel_md5_update(&ctx, piece_buf, want);
            left -= (int64_t)want;
        }
    }
    if ((algorithms & ALG_OPENSUBTITLES) && m > 0) {
        /* Up to 64 KiB the two ranges are the whole file, read once. */
        if (read_at(f, 0, head_buf, (size_t)m, why) != 0) return -1;
        if (size > m) {
            if (read_at(f, size - m, tail_buf, (size_t)m, why) != 0) return -1;
            tail = tail_buf;
        }
    }
    if ((algorithms & ALG_SHOOTER) && size > SHOOTER_SMALL) {
        const int64_t offset[4] = {SHOOTER_BLOCK, (size / 3) * 2, size / 3,
                                   size - 2 * SHOOTER_BLOCK};
        int k;
        for (k = 0; k < 4; ++k) {
            /* A block with fewer than 4096 bytes before the end counts as
             * zeros; it is passed empty and not read. */
            if (size - offset[k] < SHOOTER_BLOCK) continue;
            if (read_at(f, offset[k], block_buf[k], SHOOTER_BLOCK, why) != 0) return -1;
            block[k] = block_buf[k];
            block_len[k] = SHOOTER_BLOCK;
        }
    }

    if (algorithms & ALG_MD5) {
        md5_hex(&ctx, value_of(h, ALG_MD5));
        h->done |= ALG_MD5;
    }
    if (algorithms & ALG_OPENSUBTITLES) {
        library_result(kelhash_opensubtitles_chunks(head_buf, (uint64_t)m, tail, (uint64_t)m,
                                                     size, value_of(h, ALG_OPENSUBTITLES),
                                                     HASH_CAP),
                       ALG_OPENSUBTITLES, path, h);
    }
    if (algorithms & ALG_SHOOTER) {
        library_result(kelhash_shooter_chunks(block[0], block_len[0], block[1], block_len[1],
                                              block[2], block_len[2], block[3], block_len[3],
                                              size, name, value_of(h, ALG_SHOOTER), HASH_CAP),
                       ALG_SHOOTER, path, h);
    }
    return 0;
}

/* An unlinked temporary file. On POSIX systems it goes to $TMPDIR (else
 * /tmp), where the user expects room for temporary data, which the C
 * library's tmpfile() does not consult; on Windows to the user's temporary
 * directory (TMP, TEMP), deleted when closed, since tmpfile() there may try
 * the root of the drive. */
static FILE *spool_file(void) {
#if defined(_WIN32)
    char dir[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    FILE *f;
    const DWORD n = GetTempPathA((DWORD)sizeof dir, dir);
    if (n == 0 || n > sizeof dir || GetTempFileNameA(dir, "klh", 0, path) == 0) {
        errno = 0; /* the reason is a Windows error code, not an errno value */
        return NULL;
    }
    f = fopen(path, "w+bTD");
    if (f == NULL) {
        const int err = errno;
        DeleteFileA(path);
        errno = err;
    }
    return f;
#else
    static const char pattern[] = "/kelhash-XXXXXX";
    const char *dir = getenv("TMPDIR");
    char *path;
    FILE *f = NULL;
    int fd;
    int err;
    if (dir == NULL || dir[0] == '\0') dir = "/tmp";
    path = (char *)malloc(strlen(dir) + sizeof pattern);
    if (path == NULL) {
        errno = ENOMEM;
        return NULL;
    }
    strcpy(path, dir);
    strcat(path, pattern);
    fd = mkstemp(path);
    if (fd >= 0) {
        unlink(path);
        f = fdopen(fd, "w+b");
        if (f == NULL) {
            err = errno;
            close(fd);
            errno = err;
        }
    }
    err = errno;
    free(path);
    errno = err;
    return f;
#endif
}

/* A stream that is read once: MD5 streams over it, and when a fingerprint
 * is wanted, which needs the size before the ranges, the bytes also go to a
 * temporary file, created with the first byte and hashed as a seekable file
 * once the stream has ended. If the temporary file fails, that is reported
 * and the stream is still read to its end for MD5; the fingerprints are then
 * missing. */
static int hash_stream(FILE *in, int algorithms, const char *path, const char *name,
                       struct hashes *h, struct failure *why) {
    int fingerprints = algorithms & (ALG_OPENSUBTITLES | ALG_SHOOTER);
    FILE *spool = NULL;
    const char *spool_failure = NULL;
    int spool_err = 0;
    int64_t size = 0;
    int result = 0;
    kel_md5_ctx ctx;

    kel_md5_init(&ctx);
    for (;;) {
        size_t n;
        errno = 0;
        n = fread(piece_buf, 1, sizeof piece_buf, in);
        if (n == 0) {
            if (ferror(in)) result = fail(why, "read error", errno);
            break;
        }
        if (algorithms & ALG_MD5) kel_md5_update(&ctx, piece_buf, n);
        if (fingerprints) {
            errno = 0;
            if (spool == NULL && (spool = spool_file()) == NULL) {
                spool_failure = "cannot create temporary file";
            } else if (fwrite(piece_buf, 1, n, spool) != n) {
                spool_failure = "cannot write temporary file";
            }
            if (spool_failure != NULL) {
                spool_err = errno;
                fingerprints = 0;
            }
        }
        size += (int64_t)n;
    }
    if (fingerprints && spool != NULL) {
        errno = 0;
        if (fflush(spool) != 0) {
            spool_failure = "cannot write temporary file";
            spool_err = errno;
            fingerprints = 0;
        }
    }
    if (result == 0) {
        if (spool_failure != NULL) report(path, NULL, spool_failure, spool_err);
        h->size = size;
        if (algorithms & ALG_MD5) {
            md5_hex(&ctx, value_of(h, ALG_MD5));
            h->done |= ALG_MD5;
        }
        if (fingerprints) result = hash_seekable(spool, size, fingerprints, path, name, h, why);
    }
    if (spool != NULL) fclose(spool);
    return result;
}

/* Hashes one operand, "-" being standard input. Returns 0 when it was read
 * (some results may still have failed: those are in h->done's gaps), else
 * -1 after reporting why. */
static int compute(const char *path, int algorithms, const char *name, struct hashes *h) {
    const int from_stdin = strcmp(path, "-") == 0;
    struct failure why = {NULL, 0};
    int64_t size = 0;
    int result;
    FILE *f;

    h->size = -1;
    h->done = 0;
    if (name == NULL) name = base_name(path);
    if (from_stdin) {
        f = stdin;
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    } else {
        errno = 0;
        f = fopen(path, "rb");
        if (f == NULL) {
            report(path, NULL, "cannot open file", errno);
            return -1;
        }
    }
    if (is_seekable(f)) {
        result = measure(f, &size, &why);
        if (result == 0) result = hash_seekable(f, size, algorithms, path, name, h, &why);
    } else {
        result = hash_stream(f, algorithms, path, name, h, &why);
    }
    if (from_stdin) {
        clearerr(stdin);
    } else {
        fclose(f);
    }
    if (result != 0) {
        h->done = 0;
        report(path, NULL, why.message, why.err);
    }
    return result;
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

static void put_json_string(FILE *out, const char *s) {
    const unsigned char *p = (const unsigned char *)s;
    fputc('"', out);
    while (*p != '\0') {
        const unsigned char c = *p;
        size_t len = 1;
        uint32_t cp;
        if (c == '"' || c == '\\') {
            fputc('\\', out);
            fputc(c, out);
        } else if (c < 0x20 || c == 0x7F) {
            fprintf(out, "\\u%04x", (unsigned)c);
        } else if (c < 0x80) {
            fputc(c, out);
        } else if (utf8_sequence(p, &cp, &len)) {
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

/* The block and the JSON object list the chosen results that were computed;
 * one that failed was reported and is left out. */
static void print_block(FILE *out, const char *path, int algorithms, const struct hashes *h) {
    int i;
    put_escaped_name(out, path);
    fprintf(out, "\n  size: %" PRId64 "\n", h->size);
    for (i = 0; i < ALG_COUNT; ++i) {
        if (algorithms & h->done & alg_bits[i]) {
            fprintf(out, "  %s: %s\n", alg_names[i], h->value[i]);
        }
    }
}

static void print_json(FILE *out, const char *path, int algorithms, const struct hashes *h) {
    int i;
    fputs("{\"file\": ", out);
    put_json_string(out, path);
    fprintf(out, ", \"size\": %" PRId64, h->size);
    for (i = 0; i < ALG_COUNT; ++i) {
        if (algorithms & h->done & alg_bits[i]) {
            fprintf(out, ", \"%s\": ", alg_names[i]);
            put_json_string(out, h->value[i]);
        }
    }
    fputs("}\n", out);
}

struct options {
    int algorithms;
    int json;
    const char *name;
    char **files;
    int count;
};

/* Reads the options, which may stand anywhere before "--", and collects the
 * files. Returns -1 to go on, or the exit status when there is nothing to
 * hash (help, version, bad usage). */
static int parse_options(int argc, char **argv, struct options *opt) {
    int only_files = 0;
    int i;
    opt->algorithms = 0;
    opt->json = 0;
    opt->name = NULL;
    opt->count = 0;
    opt->files = (char **)calloc((size_t)argc + 1, sizeof *opt->files);
    if (opt->files == NULL) {
        fputs("kelhash: out of memory\n", stderr);
        return EXIT_FILE_FAILED;
    }
    for (i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (only_files || arg[0] != '-' || arg[1] == '\0') {
            opt->files[opt->count++] = argv[i];
        } else if (strcmp(arg, "--") == 0) {
            only_files = 1;
        } else if (strcmp(arg, "--opensubtitles") == 0) {
            opt->algorithms |= ALG_OPENSUBTITLES;
        } else if (strcmp(arg, "--shooter") == 0) {
            opt->algorithms |= ALG_SHOOTER;
        } else if (strcmp(arg, "--md5") == 0) {
            opt->algorithms |= ALG_MD5;
        } else if (strcmp(arg, "--json") == 0) {
            opt->json = 1;
        } else if (strcmp(arg, "--name") == 0) {
            if (i + 1 >= argc) return usage_error("option requires an argument", arg);
            opt->name = argv[++i];
        } else if (strncmp(arg, "--name=", 7) == 0) {
            opt->name = arg + 7;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            puts("kelhash " KELHASH_VERSION);
            return 0;
        } else {
            return usage_error("unrecognized option", arg);
        }
    }
    if (opt->count == 0) {
        fputs("kelhash: no files given\n", stderr);
        fputs("Try 'kelhash --help' for more information.\n", stderr);
        return EXIT_USAGE;
    }
    if (opt->algorithms == 0) opt->algorithms = ALG_OPENSUBTITLES | ALG_SHOOTER | ALG_MD5;
    return -1;
}

/* Hashes and prints every file; the exit status. */
static int hash_files(const struct options *opt) {
    const int algorithms = opt->algorithms;
    const int single = algorithms == ALG_OPENSUBTITLES || algorithms == ALG_SHOOTER ||
                       algorithms == ALG_MD5;
    int status = 0;
    int i;
    for (i = 0; i < opt->count; ++i) {
        const char *path = opt->files[i];
        struct hashes h;
        if (compute(path, algorithms, opt->name, &h) != 0) {
            status = EXIT_FILE_FAILED;
            continue;
        }
        if ((h.done & algorithms) != algorithms) status = EXIT_FILE_FAILED;
        if (opt->json) {
            print_json(stdout, path, algorithms, &h);
        } else if (!single) {
            print_block(stdout, path, algorithms, &h);
        } else if (h.done & algorithms) {
            print_single(stdout, path, value_of(&h, algorithms));
        }
    }
    return status;
}

int main(int argc, char **argv) {
    struct options opt;
    int status = parse_options(argc, argv, &opt);
    if (status < 0) status = hash_files(&opt);
    free(opt.files);
    /* Output that could not be written is a failure, whatever was printed. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("kelhash: write error\n", stderr);
        if (status == 0) status = EXIT_FILE_FAILED;
    }
    return status;
}
