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
 *
 * With libcurl, an http:// or https:// operand is read over HTTP: the
 * fingerprints by byte ranges into the same buffers and the same chunk
 * calls as a file's, MD5 by one streamed GET. Without it, such an operand
 * fails with a message that says so.
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

#if defined(KELHASH_HAVE_CURL)
#  include <curl/curl.h>
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

/* Seconds to wait for a connection, and for each next byte once connected
 * (--timeout). */
static long url_timeout = 30;

static const char *const usage_text =
    "Usage: kelhash [OPTION]... FILE|URL...\n"
    "Print the OpenSubtitles hash, the Shooter hash and the MD5 digest of each FILE\n"
    "or http:// or https:// URL.\n"
    "With FILE -, read standard input (write ./- for a file named -, and\n"
    "./http://... for a file whose name starts like a URL).\n"
    "\n"
    "  --opensubtitles  the OpenSubtitles hash (16 lowercase hex digits)\n"
    "  --shooter        the Shooter hash (four MD5 digests joined by ';'; for a\n"
    "                   file of 8192 bytes or less, the stable hash of its name)\n"
    "  --md5            the MD5 digest (32 uppercase hex digits)\n"
    "  --name NAME      the name the Shooter hash uses for files of 8192 bytes or\n"
    "                   less (default: the file's base name; for a URL, the last\n"
    "                   segment of its path, percent-decoded, and none when the\n"
    "                   path ends in /)\n"
    "  --json           one JSON object per line and file\n"
    "  --timeout SECONDS  for a URL, how long to wait for a connection and, once\n"
    "                   connected, for each next byte (default 30)\n"
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
#if defined(KELHASH_HAVE_CURL)
    "A URL's fingerprints are read by byte ranges, in two round trips and at most\n"
    "about 140 KiB whatever its size, from a server that answers Range requests (one\n"
    "that does not may send a file of up to 64 KiB whole); MD5 downloads the whole\n"
    "body. Redirects are followed. A connection not made within 30 s, or a transfer\n"
    "that receives nothing for 30 s, fails. A failed result of a URL is reported\n"
    "with its algorithm, and the others are still printed.\n"
#else
    "URLs need libcurl, which this build of kelhash does not have: each one is\n"
    "reported as failed.\n"
#endif
    "\n"
    "Exit status: 0 if every result was computed, 1 if any file or result\n"
    "failed, 2 for bad usage.\n";

static int usage_error(const char *what, const char *arg) {
    fprintf(stderr, "kelhash: %s '%s'\n", what, arg);
    fputs("Try 'kelhash --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

/* "kelhash: FILE: [WHAT: ]MESSAGE[: detail]" on standard error, after
 * whatever the standard output holds so far, so that both read in order on a
 * terminal. */
static void report_detail(const char *path, const char *what, const char *message,
                          const char *detail) {
    fflush(stdout);
    fprintf(stderr, "kelhash: %s: ", path);
    if (what != NULL) fprintf(stderr, "%s: ", what);
    fputs(message, stderr);
    if (detail != NULL && detail[0] != '\0') fprintf(stderr, ": %s", detail);
    fputc('\n', stderr);
}

/* The same with the system's reason for errno err (none for 0). */
static void report(const char *path, const char *what, const char *message, int err) {
    report_detail(path, what, message, err != 0 ? strerror(err) : NULL);
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

/* One range a fingerprint reads, and the buffer it goes to. */
struct range {
    int64_t offset;
    size_t len;
    unsigned char *buf;
    int alg;
};

/* What the two fingerprints of size bytes read, and what their chunk
 * functions are then given. Files and URLs share it, so that both read the
 * same ranges into the same buffers and hash them the same way. */
struct plan {
    int64_t size;
    int count;
    struct range range[6];
    uint64_t head_len;
    const unsigned char *tail;
    const unsigned char *block[4];
    uint64_t block_len[4];
};

static void plan_range(struct plan *p, int64_t offset, size_t len, unsigned char *buf, int alg) {
    struct range *r = &p->range[p->count++];
    r->offset = offset;
    r->len = len;
    r->buf = buf;
    r->alg = alg;
}

/* The ranges in the order in which a file reads them: the OpenSubtitles
 * head and tail, then the Shooter blocks. */
static void make_plan(int64_t size, int algorithms, struct plan *p) {
    const int64_t m = size < OPENSUBTITLES_RANGE ? size : OPENSUBTITLES_RANGE;
    int k;
    p->size = size;
    p->count = 0;
    p->head_len = (uint64_t)m;
    /* Up to 64 KiB the two ranges are the whole file, read once. */
    p->tail = head_buf;
    for (k = 0; k < 4; ++k) {
        p->block[k] = NULL;
        p->block_len[k] = 0;
    }
    if ((algorithms & ALG_OPENSUBTITLES) && m > 0) {
        plan_range(p, 0, (size_t)m, head_buf, ALG_OPENSUBTITLES);
        if (size > m) {
            plan_range(p, size - m, (size_t)m, tail_buf, ALG_OPENSUBTITLES);
            p->tail = tail_buf;
        }
    }
    if ((algorithms & ALG_SHOOTER) && size > SHOOTER_SMALL) {
        const int64_t offset[4] = {SHOOTER_BLOCK, (size / 3) * 2, size / 3,
                                   size - 2 * SHOOTER_BLOCK};
        for (k = 0; k < 4; ++k) {
            /* A block with fewer than 4096 bytes before the end counts as
             * zeros; it is passed empty and not read. */
            if (size - offset[k] < SHOOTER_BLOCK) continue;
            plan_range(p, offset[k], SHOOTER_BLOCK, block_buf[k], ALG_SHOOTER);
            p->block[k] = block_buf[k];
            p->block_len[k] = SHOOTER_BLOCK;
        }
    }
}

/* The chosen fingerprints from the ranges of the plan, read in full; a
 * failure of the library (the Shooter name of a small file that is not
 * UTF-8) costs that one result. */
static void plan_results(const struct plan *p, int algorithms, const char *path,
                         const char *name, struct hashes *h) {
    if (algorithms & ALG_OPENSUBTITLES) {
        library_result(kelhash_opensubtitles_chunks(head_buf, p->head_len, p->tail, p->head_len,
                                                     p->size, value_of(h, ALG_OPENSUBTITLES),
                                                     HASH_CAP),
                       ALG_OPENSUBTITLES, path, h);
    }
    if (algorithms & ALG_SHOOTER) {
        library_result(kelhash_shooter_chunks(p->block[0], p->block_len[0], p->block[1],
                                              p->block_len[1], p->block[2], p->block_len[2],
                                              p->block[3], p->block_len[3], p->size, name,
                                              value_of(h, ALG_SHOOTER), HASH_CAP),
                       ALG_SHOOTER, path, h);
    }
}

/* The chosen algorithms over the first size bytes of a seekable stream
 * (f may be null when size is 0: nothing is read then). Everything is read
 * first, so that a read failure leaves no result at all; only then does the
 * library compute. */
static int hash_seekable(FILE *f, int64_t size, int algorithms, const char *path,
                         const char *name, struct hashes *h, struct failure *why) {
    struct plan p;
    kel_md5_ctx ctx;
    int i;

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
    make_plan(size, algorithms, &p);
    for (i = 0; i < p.count; ++i) {
        if (read_at(f, p.range[i].offset, p.range[i].buf, p.range[i].len, why) != 0) return -1;
    }

    if (algorithms & ALG_MD5) {
        md5_hex(&ctx, value_of(h, ALG_MD5));
        h->done |= ALG_MD5;
    }
    plan_results(&p, algorithms, path, name, h);
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

/* ---------------------------------------------------------------------------
 * URLs. An operand that starts with http:// or https:// is read over HTTP:
 * the fingerprints by ranges, in two rounds (the first 64 KiB, which also
 * tell the size, then every other range they need at once), MD5 by one
 * plain GET streamed through the engine, alongside them. Each result of a
 * URL stands or fails on its own: the error names the algorithm. */

/* Whether an operand is a URL. The scheme is case-insensitive; a file whose
 * name starts like one is written ./http://... */
static int is_url(const char *arg) {
    static const char *const schemes[2] = {"http://", "https://"};
    int i;
    for (i = 0; i < 2; ++i) {
        const char *s = schemes[i];
        const char *a = arg;
        while (*s != '\0' && (*a == *s || (*a >= 'A' && *a <= 'Z' && *a - 'A' + 'a' == *s))) {
            ++a;
            ++s;
        }
        if (*s == '\0') return 1;
    }
    return 0;
}

/* A decimal number without sign that fits into 63 bits. */
static int parse_number(const char **s, int64_t *out) {
    const char *p = *s;
    int64_t v = 0;
    if (*p < '0' || *p > '9') return -1;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int d = *p - '0';
        if (v > (INT64_MAX - d) / 10) return -1;
        v = v * 10 + d;
    }
    *s = p;
    *out = v;
    return 0;
}

#if defined(KELHASH_HAVE_CURL)

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The Shooter name of a URL by default, as a file's is its base name: the
 * last segment of the path, without query and fragment, percent-decoded.
 * "%00" stays as written, since a name cannot hold a NUL. Returns a string
 * to free, or null without memory. */
static char *url_name(const char *url) {
    const char *p = strstr(url, "://");
    const char *end;
    const char *seg;
    char *out;
    char *o;
    p = p != NULL ? p + 3 : url;
    end = p + strcspn(p, "?#");
    seg = p + strcspn(p, "/?#"); /* past the host: the path, if any */
    if (seg < end) {
        const char *q;
        for (q = seg; q < end; ++q) {
            if (*q == '/') seg = q + 1;
        }
    } else {
        seg = end;
    }
    out = (char *)malloc((size_t)(end - seg) + 1);
    if (out == NULL) return NULL;
    o = out;
    while (seg < end) {
        const int hi = seg[0] == '%' && end - seg >= 3 ? hex_digit(seg[1]) : -1;
        const int lo = hi >= 0 ? hex_digit(seg[2]) : -1;
        if (lo >= 0 && (hi | lo) != 0) {
            *o++ = (char)(hi * 16 + lo);
            seg += 3;
        } else {
            *o++ = *seg++;
        }
    }
    *o = '\0';
    return out;
}

#define URL_ROUND1 0
#define URL_ROUND2 1
#define URL_WHOLE 2
#define URL_TRANSFERS 8
/* A server that ignores Range is allowed to send the whole file only when
 * it is no larger than the first round asked for; one byte more shows it is
 * not, and ends the transfer. */
#define URL_HEAD OPENSUBTITLES_RANGE

struct url_job;

/* The longest Content-Range value taken: a valid one is far shorter ("bytes "
 * and three numbers of at most 19 digits), so a longer one is refused whole
 * rather than judged by a part of it. */
#define URL_RANGE_VALUE 127

/* What a Content-Length header said. */
#define LENGTH_NONE 0
#define LENGTH_VALID 1
#define LENGTH_INVALID 2   /* not plain digits, or two that differ */
#define LENGTH_TOO_LARGE 3 /* digits, but more than 64 bits hold */

/* One GET and what became of it. */
struct transfer {
    struct url_job *job;
    CURL *easy;
    int kind;
    int algs;            /* the results that need its bytes */
    int64_t offset;      /* ranged: the first byte asked for */
    int64_t length;      /* ranged: the bytes asked for */
    unsigned char *buf;  /* ranged: where they go */
    int64_t got;         /* body bytes received */
    int active;
    int finished;
    int failed;
    int complete;        /* all there was came with the headers (the 416 of an
                          * empty file); the transfer was then stopped */
    /* The answer whose header lines are coming in, as the status line
     * resets it: each answer of a redirect or a 1xx is read anew. */
    int status;
    int headers_ended;   /* past its blank line: what follows are trailers */
    int ranges;          /* Content-Range headers in it */
    int range_too_long;
    int length_state;
    int64_t content_length;
    char length_text[32];
    char content_range[2 * URL_RANGE_VALUE + 8]; /* the values, joined by ", " */
    char message[320];
    char detail[CURL_ERROR_SIZE + 96];
    char errbuf[CURL_ERROR_SIZE];
};

struct url_job {
    int64_t size;         /* from the first round */
    size_t head_got;      /* bytes of the first round, in head_buf */
    int round1_ok;
    kel_md5_ctx md5;
    int count;
    struct transfer t[URL_TRANSFERS];
};

static int curl_ready = 0;
/* The one header of the command's own on every request. */
static struct curl_slist *url_headers = NULL;

static int transfer_fail(struct transfer *t, const char *message, const char *detail) {
    if (!t->failed) {
        t->failed = 1;
        snprintf(t->message, sizeof t->message, "%s", message);
        snprintf(t->detail, sizeof t->detail, "%s", detail != NULL ? detail : "");
    }
    return -1;
}

static int transfer_status(struct transfer *t, long code) {
    char message[48];
    snprintf(message, sizeof message, "server answered HTTP %ld", code);
    return transfer_fail(t, message, NULL);
}

static int transfer_short(struct transfer *t, int64_t asked) {
    char detail[128];
    snprintf(detail, sizeof detail,
             "short read: %" PRId64 " bytes asked at offset %" PRId64 ", %" PRId64 " returned",
             asked, t->offset, t->got);
    return transfer_fail(t, "read error", detail);
}

static int transfer_bad_range(struct transfer *t) {
    char message[sizeof t->message];
    snprintf(message, sizeof message, "bad Content-Range: %s%s",
             t->ranges == 0 ? "(none)" : t->content_range, t->range_too_long ? "..." : "");
    return transfer_fail(t, message, NULL);
}

/* A body longer than the range asked for: the server sends other bytes
 * than those, or more of them, and none of it is used. */
static int transfer_long(struct transfer *t, const char *returned) {
    char detail[160];
    snprintf(detail, sizeof detail,
             "long read: %" PRId64 " bytes asked at offset %" PRId64 ", %s", t->length,
             t->offset, returned);
    return transfer_fail(t, "read error", detail);
}

static char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

/* "bytes " (the unit in any case), then what follows it; null if not. */
static const char *after_bytes_unit(const char *v) {
    static const char unit[] = "bytes";
    size_t i;
    for (i = 0; unit[i] != '\0'; ++i) {
        if (ascii_lower(v[i]) != unit[i]) return NULL;
    }
    if (v[i] != ' ') return NULL;
    while (v[i] == ' ') ++i;
    return v + i;
}

/* "bytes A-B/T" with A <= B < T. */
static int parse_content_range(const char *v, int64_t *a, int64_t *b, int64_t *total) {
    const char *p = after_bytes_unit(v);
    if (p == NULL || parse_number(&p, a) != 0 || *p++ != '-' || parse_number(&p, b) != 0 ||
        *p++ != '/' || parse_number(&p, total) != 0 || *p != '\0') {
        return -1;
    }
    return *a <= *b && *b < *total ? 0 : -1;
}

/* Whether the one Content-Range of a 206 answers what was asked: in the
 * first round any size, the first min(65536, T) bytes of it; in the second,
 * the range exactly, of the size the first round gave. Two of them, even
 * equal, leave it open which one the server meant. */
static int check_range(struct transfer *t) {
    int64_t a;
    int64_t b;
    int64_t total;
    if (t->ranges != 1 || t->range_too_long ||
        parse_content_range(t->content_range, &a, &b, &total) != 0) {
        return transfer_bad_range(t);
    }
    if (t->kind == URL_ROUND1) {
        if (a != 0 || b != (total - 1 < URL_HEAD - 1 ? total - 1 : URL_HEAD - 1)) {
            return transfer_bad_range(t);
        }
        t->job->size = total;
        t->length = b + 1;
    } else if (a != t->offset || b != t->offset + t->length - 1 || total != t->job->size) {
        return transfer_bad_range(t);
    }
    return 0;
}

/* Whether a 416 says the file is empty: its one Content-Range names no
 * range ("*") and a size of 0. */
static int is_empty_file_range(const struct transfer *t) {
    int64_t total;
    const char *p;
    if (t->ranges != 1 || t->range_too_long) return 0;
    p = after_bytes_unit(t->content_range);
    return p != NULL && *p++ == '*' && *p++ == '/' && parse_number(&p, &total) == 0 &&
           *p == '\0' && total == 0;
}

static int length_invalid(struct transfer *t) {
    char detail[64];
    snprintf(detail, sizeof detail, "invalid Content-Length: %s", t->length_text);
    return transfer_fail(t, "read error", detail);
}

/* Judges a final answer by its headers, before any of its body is read:
 * an answer that cannot be used ends the transfer at once, whatever body
 * it would send. Returns 0 to read the body, else -1 (the transfer failed,
 * or, for an empty file, is complete). */
static int judge_headers(struct transfer *t) {
    const int code = t->status;
    if (t->kind == URL_WHOLE) {
        if (code != 200) return transfer_status(t, code);
        /* A length too large for libcurl, which then takes it as absent,
         * would let a body cut short pass for a whole one. */
        return t->length_state == LENGTH_NONE || t->length_state == LENGTH_VALID
                   ? 0
                   : length_invalid(t);
    }
    if (code == 200) {
        /* No Range honoured: the whole file, if it fits the first round. */
        if (t->kind != URL_ROUND1 || t->length_state == LENGTH_TOO_LARGE ||
            (t->length_state == LENGTH_VALID && t->content_length > URL_HEAD)) {
            return transfer_fail(t, "server ignored the Range request", NULL);
        }
        return t->length_state == LENGTH_INVALID ? length_invalid(t) : 0;
    }
    if (code == 416 && t->kind == URL_ROUND1) {
        /* An empty file has no first byte to send: that is its answer, and
         * its body, if any, is not read. */
        if (!is_empty_file_range(t)) return transfer_status(t, code);
        t->complete = 1;
        return -1;
    }
    if (code != 206) return transfer_status(t, code);
    if (check_range(t) != 0) return -1;
    if (t->length_state == LENGTH_INVALID || t->length_state == LENGTH_TOO_LARGE) {
        return length_invalid(t);
    }
    if (t->length_state == LENGTH_VALID && t->content_length > t->length) {
        char returned[48];
        snprintf(returned, sizeof returned, "%" PRId64 " announced", t->content_length);
        return transfer_long(t, returned);
    }
    return 0;
}

/* The value of a header line whose name is name (lowercase, with its
 * colon), without the blanks and the line end around it; null if the line
 * is another one. */
static const char *header_value(const char *line, size_t n, const char *name, size_t *len) {
    size_t i;
    size_t end = n;
    for (i = 0; name[i] != '\0'; ++i) {
        if (i >= n || ascii_lower(line[i]) != name[i]) return NULL;
    }
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    while (end > i && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' ' ||
                       line[end - 1] == '\t')) {
        --end;
    }
    *len = end - i;
    return line + i;
}

static void take_content_range(struct transfer *t, const char *v, size_t len) {
    size_t used = strlen(t->content_range);
    const size_t room = sizeof t->content_range - 1;
    if (len > URL_RANGE_VALUE) {
        t->range_too_long = 1;
        len = URL_RANGE_VALUE;
    }
    if (t->ranges++ > 0 && used + 2 <= room) {
        memcpy(t->content_range + used, ", ", 2);
        used += 2;
    }
    if (len > room - used) len = room - used;
    memcpy(t->content_range + used, v, len);
    t->content_range[used + len] = '\0';
}

/* Content-Length read here rather than asked of libcurl, which takes one
 * too large for 64 bits as absent and one with a sign as a number. */
static void take_content_length(struct transfer *t, const char *v, size_t len) {
    int64_t value = 0;
    int state = len > 0 ? LENGTH_VALID : LENGTH_INVALID;
    size_t i;
    for (i = 0; i < len && state != LENGTH_INVALID; ++i) {
        const int d = v[i] - '0';
        if (d < 0 || d > 9) {
            state = LENGTH_INVALID;
        } else if (state == LENGTH_VALID && value > (INT64_MAX - d) / 10) {
            state = LENGTH_TOO_LARGE;
        } else if (state == LENGTH_VALID) {
            value = value * 10 + d;
        }
    }
    if (t->length_state != LENGTH_NONE && (t->length_state != state || t->content_length != value)) {
        state = LENGTH_INVALID; /* two that differ */
    }
    t->length_state = state;
    t->content_length = value;
    snprintf(t->length_text, sizeof t->length_text, "%.*s%s", len > 24 ? 24 : (int)len, v,
             len > 24 ? "..." : "");
}

/* Each header line of each answer, redirects and 1xx included: a status
 * line starts an answer afresh, its blank line ends its headers, and then
 * a final answer (not 1xx, not a redirect) is judged. Returning less than n
 * ends the transfer. */
static size_t on_header(char *line, size_t size, size_t count, void *data) {
    struct transfer *t = (struct transfer *)data;
    const size_t n = size * count;
    const char *v;
    size_t len;
    if (n >= 5 && memcmp(line, "HTTP/", 5) == 0) {
        size_t i = 5;
        int code = 0;
        while (i < n && line[i] != ' ') ++i;
        while (i < n && line[i] == ' ') ++i;
        while (i < n && line[i] >= '0' && line[i] <= '9' && code < 1000) {
            code = code * 10 + (line[i++] - '0');
        }
        t->status = code;
        t->headers_ended = 0;
        t->ranges = 0;
        t->range_too_long = 0;
        t->content_range[0] = '\0';
        t->length_state = LENGTH_NONE;
        t->content_length = -1;
        t->length_text[0] = '\0';
        return n;
    }
    if (t->headers_ended) return n; /* trailers: the answer was judged */
    if (n <= 2 && (line[0] == '\r' || line[0] == '\n')) {
        t->headers_ended = 1;
        if (t->status < 200 || (t->status >= 300 && t->status < 400)) return n;
        return judge_headers(t) == 0 ? n : 0;
    }
    if ((v = header_value(line, n, "content-range:", &len)) != NULL) {
        take_content_range(t, v, len);
    } else if ((v = header_value(line, n, "content-length:", &len)) != NULL) {
        take_content_length(t, v, len);
    }
    return n;
}

/* The body as it comes, of an answer whose headers were accepted (or of a
 * redirect that is not followed). Returning less than n ends the transfer:
 * once the answer cannot be used, nothing more of it is read. */
static size_t on_body(char *data, size_t size, size_t count, void *userdata) {
    struct transfer *t = (struct transfer *)userdata;
    const size_t n = size * count;
    if (t->failed || t->complete) return 0;
    if (!t->headers_ended || (t->status != 200 && t->status != 206)) {
        transfer_status(t, t->status);
        return 0;
    }
    if (t->kind == URL_WHOLE) {
        kel_md5_update(&t->job->md5, (const uint8_t *)data, n);
        t->got += (int64_t)n;
        return n;
    }
    if (t->status == 200) {
        if ((int64_t)n > URL_HEAD - t->got) {
            transfer_fail(t, "server ignored the Range request", NULL);
            return 0;
        }
    } else if ((int64_t)n > t->length - t->got) {
        transfer_long(t, "more returned");
        return 0;
    }
    memcpy(t->buf + t->got, data, n);
    t->got += (int64_t)n;
    return n;
}

/* A transfer that ended (result from curl): what its answer means. */
static void judge(struct transfer *t, CURLcode result) {
    t->finished = 1;
    if (t->failed) return;
    if (result != CURLE_OK && !t->complete) {
        size_t len = strlen(t->errbuf);
        while (len > 0 && (t->errbuf[len - 1] == '\n' || t->errbuf[len - 1] == '\r')) {
            t->errbuf[--len] = '\0';
        }
        transfer_fail(t, "read error", len > 0 ? t->errbuf : curl_easy_strerror(result));
        return;
    }
    if (!t->headers_ended || (t->status != 200 && t->status != 206 && !t->complete)) {
        /* An answer without a body, never judged: a redirect not followed. */
        transfer_status(t, t->status);
        return;
    }
    if (t->kind == URL_WHOLE) return;
    if (t->complete) {
        t->job->size = 0;
    } else if (t->status == 200) {
        t->job->size = t->got;
    } else if (t->got != t->length) {
        transfer_short(t, t->length);
        return;
    }
    if (t->kind == URL_ROUND1) {
        t->job->head_got = (size_t)t->got;
        t->job->round1_ok = 1;
    }
}

/* A GET of url for the transfer, ranged when length > 0. */
static int start_transfer(CURLM *multi, struct transfer *t, const char *url) {
    char range[64];
    CURL *e = curl_easy_init();
    if (e == NULL) return transfer_fail(t, "read error", "cannot start a transfer");
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, url);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errbuf);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(e, CURLOPT_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    /* Object stores and download pages answer with redirects; a loop of
     * them is an error, not a wait. */
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, url_timeout);
    /* A server that stops sending mid-body fails after that long a silence,
     * rather than hanging the command. */
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, url_timeout);
    /* Byte ranges count bytes of the file itself, not of an encoding of it;
     * libcurl is not asked to decode anything. */
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, url_headers);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "kelhash/" KELHASH_VERSION);
#if LIBCURL_VERSION_NUM >= 0x073600
    /* The answer of a proxy to CONNECT is not the server's: the headers
     * judged are those of the file's answer alone. */
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
#endif
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
    if (t->kind != URL_WHOLE) {
        snprintf(range, sizeof range, "%" PRId64 "-%" PRId64, t->offset,
                 t->offset + t->length - 1);
        curl_easy_setopt(e, CURLOPT_RANGE, range);
    }
    if (curl_multi_add_handle(multi, e) != CURLM_OK) {
        return transfer_fail(t, "read error", "cannot start a transfer");
    }
    t->active = 1;
    return 0;
}

static struct transfer *new_transfer(struct url_job *job, int kind, int algs, int64_t offset,
                                     int64_t length, unsigned char *buf) {
    struct transfer *t = &job->t[job->count++];
    memset(t, 0, sizeof *t);
    t->job = job;
    t->kind = kind;
    t->algs = algs;
    t->offset = offset;
    t->length = length;
    t->buf = buf;
    return t;
}

/* The second round: every range of the plan past the first round's bytes,
 * those that overlap or touch merged, one ranged GET each, all at once.
 * Returns whether any was started. */
static int start_round2(CURLM *multi, struct url_job *job, const struct plan *p,
                        const char *url) {
    int64_t start[6];
    int64_t end[6];
    int algs[6];
    int n = 0;
    int started = 0;
    int i;
    for (i = 0; i < p->count; ++i) {
        const int64_t s = p->range[i].offset > (int64_t)job->head_got ? p->range[i].offset
                                                                       : (int64_t)job->head_got;
        const int64_t e = p->range[i].offset + (int64_t)p->range[i].len;
        int j;
        if (s >= e) continue;
        /* Insert in order of start. */
        for (j = n; j > 0 && start[j - 1] > s; --j) {
            start[j] = start[j - 1];
            end[j] = end[j - 1];
            algs[j] = algs[j - 1];
        }
        start[j] = s;
        end[j] = e;
        algs[j] = p->range[i].alg;
        ++n;
    }
    for (i = 0; i < n; ++i) {
        int64_t s = start[i];
        int64_t e = end[i];
        int a = algs[i];
        unsigned char *buf;
        struct transfer *t;
        while (i + 1 < n && start[i + 1] <= e) {
            ++i;
            if (end[i] > e) e = end[i];
            a |= algs[i];
        }
        buf = (unsigned char *)malloc((size_t)(e - s));
        t = new_transfer(job, URL_ROUND2, a, s, e - s, buf);
        if (buf == NULL) {
            transfer_fail(t, "read error", strerror(ENOMEM));
            continue;
        }
        if (start_transfer(multi, t, url) == 0) started = 1;
    }
    return started;
}

/* Copies [offset, offset + len) from the bytes the two rounds brought. */
static int copy_fetched(const struct url_job *job, int64_t offset, unsigned char *dst,
                        size_t len) {
    while (len > 0) {
        const unsigned char *src = NULL;
        int64_t avail = 0;
        size_t take;
        int i;
        if (offset < (int64_t)job->head_got) {
            src = head_buf + offset;
            avail = (int64_t)job->head_got - offset;
        }
        for (i = 0; src == NULL && i < job->count; ++i) {
            const struct transfer *t = &job->t[i];
            if (t->kind == URL_ROUND2 && !t->failed && offset >= t->offset &&
                offset < t->offset + t->length) {
                src = t->buf + (offset - t->offset);
                avail = t->offset + t->length - offset;
            }
        }
        if (src == NULL) return -1;
        take = avail < (int64_t)len ? (size_t)avail : len;
        memmove(dst, src, take);
        dst += take;
        offset += (int64_t)take;
        len -= take;
    }
    return 0;
}

/* Runs the transfers of a URL to their end: MD5's and the first round at
 * once, the second round as soon as the first has ended well. */
static void run_transfers(CURLM *multi, struct url_job *job, struct plan *p, int fingerprints,
                          const char *url) {
    for (;;) {
        int running = 0;
        int added = 0;
        int left = 0;
        CURLMsg *msg;
        const CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            int i;
            for (i = 0; i < job->count; ++i) {
                if (job->t[i].active && !job->t[i].finished) {
                    transfer_fail(&job->t[i], "read error", curl_multi_strerror(mc));
                }
            }
            return;
        }
        while ((msg = curl_multi_info_read(multi, &left)) != NULL) {
            int i;
            if (msg->msg != CURLMSG_DONE) continue;
            for (i = 0; i < job->count; ++i) {
                struct transfer *t = &job->t[i];
                if (t->easy != msg->easy_handle) continue;
                judge(t, msg->data.result);
                if (t->kind == URL_ROUND1 && job->round1_ok) {
                    char *effective = NULL;
                    make_plan(job->size, fingerprints, p);
                    /* The second round goes where the first ended, past any
                     * redirect, which would cost each range a round trip. */
                    curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective);
                    if (start_round2(multi, job, p, effective != NULL ? effective : url)) {
                        added = 1;
                    }
                }
                curl_multi_remove_handle(multi, t->easy);
                t->active = 0;
                break;
            }
        }
        if (running == 0 && !added) return;
        if (running > 0) {
#if LIBCURL_VERSION_NUM >= 0x074200
            curl_multi_poll(multi, NULL, 0, 1000, NULL);
#else
            curl_multi_wait(multi, NULL, 0, 1000, NULL);
#endif
        }
    }
}

/* Hashes one URL: reports each result that failed, with its algorithm.
 * Returns 0 when any result's bytes arrived, else -1 (nothing to print). */
static int compute_url(const char *url, int algorithms, const char *name, struct hashes *h) {
    const int fingerprints = algorithms & (ALG_OPENSUBTITLES | ALG_SHOOTER);
    static struct url_job job;
    struct transfer *whole = NULL;
    struct transfer *round1 = NULL;
    char *own_name = NULL;
    int failed = 0;
    int arrived = 0;
    struct plan p;
    CURLM *multi;
    int i;

    h->size = -1;
    h->done = 0;
    if (!curl_ready) {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            report(url, NULL, "read error", 0);
            return -1;
        }
        curl_ready = 1;
    }
    if (url_headers == NULL) {
        url_headers = curl_slist_append(NULL, "Accept-Encoding: identity");
        if (url_headers == NULL) {
            report(url, NULL, "out of memory", 0);
            return -1;
        }
    }
    memset(&job, 0, sizeof job);
    kel_md5_init(&job.md5);
    p.count = 0;
    multi = curl_multi_init();
    if (algorithms & ALG_MD5) whole = new_transfer(&job, URL_WHOLE, ALG_MD5, 0, 0, NULL);
    if (fingerprints) {
        round1 = new_transfer(&job, URL_ROUND1, fingerprints, 0, URL_HEAD, head_buf);
    }
    for (i = 0; i < job.count; ++i) {
        if (multi == NULL) {
            transfer_fail(&job.t[i], "read error", strerror(ENOMEM));
        } else {
            start_transfer(multi, &job.t[i], url);
        }
    }
    if (multi != NULL) run_transfers(multi, &job, &p, fingerprints, url);

    /* Each result fails with the first of its transfers that failed. */
    for (i = 0; i < ALG_COUNT; ++i) {
        int k;
        if (!(algorithms & alg_bits[i])) continue;
        for (k = 0; k < job.count; ++k) {
            const struct transfer *t = &job.t[k];
            if ((t->algs & alg_bits[i]) && t->failed) {
                report_detail(url, alg_names[i], t->message, t->detail);
                failed |= alg_bits[i];
                break;
            }
        }
    }
    /* The size from the ranges and MD5 from the plain GET describe one
     * file only when both saw as many bytes: a server that answers the two
     * kinds of request with different bodies fails MD5, since which of them
     * is the file cannot be told. */
    if (whole != NULL && !(failed & ALG_MD5) && round1 != NULL && job.round1_ok &&
        whole->got != job.size) {
        char detail[96];
        snprintf(detail, sizeof detail, "%" PRId64 " bytes by the plain GET, %" PRId64
                 " by the ranges", whole->got, job.size);
        report_detail(url, alg_names[alg_index(ALG_MD5)], "read error", detail);
        failed |= ALG_MD5;
    }
    arrived = algorithms & ~failed;
    if (whole != NULL && !(failed & ALG_MD5)) {
        md5_hex(&job.md5, value_of(h, ALG_MD5));
        h->done |= ALG_MD5;
        h->size = whole->got;
    }
    if (round1 != NULL && job.round1_ok) {
        h->size = job.size;
        for (i = 0; i < p.count; ++i) {
            const struct range *r = &p.range[i];
            if ((arrived & r->alg) && copy_fetched(&job, r->offset, r->buf, r->len) != 0) {
                /* Not reached: the second round asked for every gap. */
                report(url, alg_names[alg_index(r->alg)], "read error", 0);
                arrived &= ~r->alg;
            }
        }
        if (arrived & fingerprints) {
            if (name == NULL) {
                own_name = url_name(url);
                if (own_name == NULL) {
                    report(url, NULL, "out of memory", 0);
                    arrived &= ~ALG_SHOOTER;
                }
                /* A path that ends in '/' names no file: no name then, as
                 * if none were given, rather than the empty string. */
                name = own_name != NULL && own_name[0] != '\0' ? own_name : NULL;
            }
            plan_results(&p, arrived & fingerprints, url, name, h);
        }
    }
    for (i = 0; i < job.count; ++i) {
        if (job.t[i].easy != NULL) {
            if (multi != NULL && job.t[i].active) curl_multi_remove_handle(multi, job.t[i].easy);
            curl_easy_cleanup(job.t[i].easy);
        }
        if (job.t[i].kind == URL_ROUND2) free(job.t[i].buf);
    }
    if (multi != NULL) curl_multi_cleanup(multi);
    free(own_name);
    return arrived != 0 ? 0 : -1;
}

static void url_cleanup(void) {
    curl_slist_free_all(url_headers);
    url_headers = NULL;
    if (curl_ready) curl_global_cleanup();
}

#else /* no libcurl */

static int compute_url(const char *url, int algorithms, const char *name, struct hashes *h) {
    (void)algorithms;
    (void)name;
    h->size = -1;
    h->done = 0;
    report(url, NULL, "URLs need libcurl, which this build of kelhash does not have", 0);
    return -1;
}

static void url_cleanup(void) {}

#endif

/* Hashes one operand, "-" being standard input. Returns 0 when it was read
 * (some results may still have failed: those are in h->done's gaps), else
 * -1 after reporting why. */
static int compute(const char *path, int algorithms, const char *name, struct hashes *h) {
    const int from_stdin = strcmp(path, "-") == 0;
    struct failure why = {NULL, 0};
    int64_t size = 0;
    int result;
    FILE *f;

    if (is_url(path)) return compute_url(path, algorithms, name, h);
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

/* A whole number of seconds from 1 to a day. */
static int parse_timeout(const char *text, long *out) {
    int64_t v = 0;
    if (parse_number(&text, &v) != 0 || *text != '\0' || v < 1 || v > 86400) return 0;
    *out = (long)v;
    return 1;
}

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
        } else if (strcmp(arg, "--timeout") == 0 || strncmp(arg, "--timeout=", 10) == 0) {
            const char *value = arg[9] == '=' ? arg + 10 : NULL;
            if (value == NULL) {
                if (i + 1 >= argc) return usage_error("option requires an argument", arg);
                value = argv[++i];
            }
            if (!parse_timeout(value, &url_timeout)) return usage_error("invalid timeout", value);
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
    url_cleanup();
    /* Output that could not be written is a failure, whatever was printed. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("kelhash: write error\n", stderr);
        if (status == 0) status = EXIT_FILE_FAILED;
    }
    return status;
}
