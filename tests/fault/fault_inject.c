/*
 * Fault injection for the file functions, loaded with LD_PRELOAD into the
 * fault driver (Linux / glibc; the tests use it nowhere else).
 *
 * It interposes the stdio calls that libkelhash makes (fopen64, fseeko64,
 * ftello64, fread, and their plain-named and fortified twins) and makes
 * chosen calls fail. KELHASH_FAULT holds a comma-separated list of faults;
 * N counts the calls of that kind in the process, from 1:
 *
 *   seek:N     the N-th fseeko returns -1 with errno EIO
 *   tell:N     the N-th ftello returns -1 with errno EIO
 *   read:N     the N-th fread fails: it returns 0 and the stream's error
 *              indicator is set
 *   eof:N      the N-th fread meets the end of the file: it returns 0 and
 *              the error indicator stays clear
 *   short:N:K  the N-th fread asks for at most K elements (a short read
 *              that is neither an error nor the end of the file)
 *
 * The read faults are real failures of the real fread, not return values
 * made up here: for the one call, the stream's descriptor is swapped (dup2)
 * for one open on "/" (read(2) fails with EISDIR) or on /dev/null (read(2)
 * returns 0), the real fread runs, and the file's descriptor is put back.
 * stdio itself therefore sets the error or end-of-file indicator, exactly
 * as it would on a failing disk or a file that shrank.
 *
 * That only works when the call reaches read(2), so every stream opened
 * while this library is loaded is made unbuffered: then each fread reads
 * the descriptor directly and nothing is served from a buffer filled
 * earlier. If an injected read fault does not come out as intended anyway,
 * the process aborts with a message rather than carry on without the fault.
 * A fault that never happens because the call count stays below N makes the
 * process exit with status 97 at exit, so a test cannot pass on a scenario
 * that never ran.
 */
#undef _FILE_OFFSET_BITS /* the 64-bit names are defined explicitly below */
#undef _FORTIFY_SOURCE   /* fread is defined here, not wrapped inline */
#define _GNU_SOURCE

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum fault_kind { FAULT_SEEK, FAULT_TELL, FAULT_READ, FAULT_EOF, FAULT_SHORT };

struct fault {
    enum fault_kind kind;
    unsigned long call;
    size_t limit; /* FAULT_SHORT only */
    int fired;
};

#define MAX_FAULTS 16

static struct fault g_faults[MAX_FAULTS];
static int g_fault_count;
static int g_parsed;
static unsigned long g_seeks, g_tells, g_reads;

/* Declared noreturn so that compilers see that the parser's paths through
 * die() never reach code that uses what they left unset. */
#if defined(__GNUC__)
__attribute__((noreturn))
#endif
static void die(const char *what);

static void die(const char *what) {
    fprintf(stderr, "kelhash fault injection: %s\n", what);
    abort();
}

static void *next_symbol(const char *name) {
    void *sym = dlsym(RTLD_NEXT, name);
    if (sym == NULL) die(name);
    return sym;
}

/* Function pointers from dlsym without an object-to-function cast, which
 * ISO C does not define. */
#define RESOLVE(var, name)                        \
    do {                                          \
        if ((var) == NULL) {                      \
            void *sym_ = next_symbol(name);       \
            memcpy(&(var), &sym_, sizeof(var));   \
        }                                         \
    } while (0)

static unsigned long parse_number(const char **p) {
    char *end = NULL;
    unsigned long v;
    errno = 0;
    v = strtoul(*p, &end, 10);
    if (end == *p || errno != 0 || v == 0) die("bad number in KELHASH_FAULT");
    *p = end;
    return v;
}

static void parse_faults(void) {
    const char *p = getenv("KELHASH_FAULT");
    g_parsed = 1;
    if (p == NULL) return;
    while (*p != '\0') {
        struct fault f;
        size_t n;
        memset(&f, 0, sizeof f);
        if (strncmp(p, "seek:", 5) == 0) {
            f.kind = FAULT_SEEK;
            n = 5;
        } else if (strncmp(p, "tell:", 5) == 0) {
            f.kind = FAULT_TELL;
            n = 5;
        } else if (strncmp(p, "read:", 5) == 0) {
            f.kind = FAULT_READ;
            n = 5;
        } else if (strncmp(p, "eof:", 4) == 0) {
            f.kind = FAULT_EOF;
            n = 4;
        } else if (strncmp(p, "short:", 6) == 0) {
            f.kind = FAULT_SHORT;
            n = 6;
        } else {
            die("unknown fault in KELHASH_FAULT");
        }
        p += n;
        f.call = parse_number(&p);
        if (f.kind == FAULT_SHORT) {
            if (*p != ':') die("short:N:K needs K");
            ++p;
            f.limit = (size_t)parse_number(&p);
        }
        if (g_fault_count == MAX_FAULTS) die("too many faults in KELHASH_FAULT");
        g_faults[g_fault_count++] = f;
        if (*p == ',') {
            ++p;
        } else if (*p != '\0') {
            die("faults in KELHASH_FAULT are separated by commas");
        }
    }
}

/* The fault planned for this call of a kind, marked as fired, or NULL. A
 * read call matches one of the three read kinds. */
static struct fault *take_fault(int is_read, enum fault_kind kind, unsigned long call) {
    int i;
    if (!g_parsed) parse_faults();
    for (i = 0; i < g_fault_count; ++i) {
        struct fault *f = &g_faults[i];
        const int read_kind =
            f->kind == FAULT_READ || f->kind == FAULT_EOF || f->kind == FAULT_SHORT;
        if (f->call != call || f->fired) continue;
        if (is_read ? read_kind : f->kind == kind) {
            f->fired = 1;
            return f;
        }
    }
    return NULL;
}

__attribute__((destructor)) static void check_all_fired(void) {
    int i;
    static const char *const names[] = {"seek", "tell", "read", "eof", "short"};
    for (i = 0; i < g_fault_count; ++i) {
        if (!g_faults[i].fired) {
            fprintf(stderr, "kelhash fault injection: %s:%lu never happened\n",
                    names[g_faults[i].kind], g_faults[i].call);
            fflush(stderr);
            _exit(97);
        }
    }
}

/* ------------------------------------------------------------------------ */
/* Opening: unbuffered streams, so that every fread reaches the descriptor. */

static FILE *(*real_fopen)(const char *, const char *);
static FILE *(*real_fopen64)(const char *, const char *);

static FILE *unbuffered(FILE *f) {
    if (f != NULL && setvbuf(f, NULL, _IONBF, 0) != 0) die("setvbuf failed");
    return f;
}

FILE *fopen(const char *path, const char *mode) {
    RESOLVE(real_fopen, "fopen");
    return unbuffered(real_fopen(path, mode));
}

FILE *fopen64(const char *path, const char *mode) {
    RESOLVE(real_fopen64, "fopen64");
    return unbuffered(real_fopen64(path, mode));
}

/* ------------------------------------------------------------------------ */
/* Positioning. */

static int (*real_fseeko)(FILE *, off_t, int);
static int (*real_fseeko64)(FILE *, off64_t, int);
static off_t (*real_ftello)(FILE *);
static off64_t (*real_ftello64)(FILE *);

static int seek_fails(void) {
    if (take_fault(0, FAULT_SEEK, ++g_seeks) == NULL) return 0;
    errno = EIO;
    return 1;
}

static int tell_fails(void) {
    if (take_fault(0, FAULT_TELL, ++g_tells) == NULL) return 0;
    errno = EIO;
    return 1;
}

int fseeko(FILE *f, off_t offset, int whence) {
    RESOLVE(real_fseeko, "fseeko");
    return seek_fails() ? -1 : real_fseeko(f, offset, whence);
}

int fseeko64(FILE *f, off64_t offset, int whence) {
    RESOLVE(real_fseeko64, "fseeko64");
    return seek_fails() ? -1 : real_fseeko64(f, offset, whence);
}

off_t ftello(FILE *f) {
    RESOLVE(real_ftello, "ftello");
    return tell_fails() ? -1 : real_ftello(f);
}

off64_t ftello64(FILE *f) {
    RESOLVE(real_ftello64, "ftello64");
    return tell_fails() ? -1 : real_ftello64(f);
}

/* ------------------------------------------------------------------------ */
/* Reading. */

static size_t (*real_fread)(void *, size_t, size_t, FILE *);

/* Runs the real fread once with the stream's descriptor replaced by one
 * opened on stand_in, then restores the descriptor (whose file offset the
 * swap leaves alone). */
static size_t fread_from(const char *stand_in, int flags, void *ptr, size_t size, size_t n,
                         FILE *f) {
    const int fd = fileno(f);
    const int saved = dup(fd);
    const int other = open(stand_in, flags);
    size_t got;
    int err;
    if (fd < 0 || saved < 0 || other < 0) die("cannot prepare the descriptor swap");
    if (dup2(other, fd) < 0) die("dup2 failed");
    got = real_fread(ptr, size, n, f);
    err = errno;
    if (dup2(saved, fd) < 0) die("dup2 back failed");
    close(saved);
    close(other);
    errno = err;
    return got;
}

static size_t faulty_fread(void *ptr, size_t size, size_t n, FILE *f) {
    struct fault *fault;
    size_t got;
    RESOLVE(real_fread, "fread");
    fault = take_fault(1, FAULT_READ, ++g_reads);
    if (fault == NULL) return real_fread(ptr, size, n, f);
    switch (fault->kind) {
    case FAULT_READ:
        got = fread_from("/", O_RDONLY | O_DIRECTORY, ptr, size, n, f);
        if (got != 0 || !ferror(f)) die("the injected read failure did not reach the stream");
        return got;
    case FAULT_EOF:
        got = fread_from("/dev/null", O_RDONLY, ptr, size, n, f);
        if (got != 0 || ferror(f) || !feof(f))
            die("the injected end of file did not reach the stream");
        return got;
    case FAULT_SHORT:
        return real_fread(ptr, size, n < fault->limit ? n : fault->limit, f);
    default:
        die("unexpected fault kind");
    }
    return 0;
}

size_t fread(void *restrict ptr, size_t size, size_t n, FILE *restrict f) {
    return faulty_fread(ptr, size, n, f);
}

/* A build with _FORTIFY_SOURCE calls this instead of fread. */
size_t __fread_chk(void *restrict ptr, size_t ptrlen, size_t size, size_t n, FILE *restrict f);
size_t __fread_chk(void *restrict ptr, size_t ptrlen, size_t size, size_t n, FILE *restrict f) {
    if (size != 0 && n > ptrlen / size) die("__fread_chk: buffer overflow");
    return faulty_fread(ptr, size, n, f);
}
