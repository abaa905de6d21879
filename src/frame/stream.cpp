#include "frame/stream.h"

#include "frame/frame.h"
#include "kelhash.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
// Without 64-bit off_t a 32-bit build would misreport every file above
// 2 GiB; the build defines _FILE_OFFSET_BITS=64 to get it.
static_assert(sizeof(off_t) == 8, "64-bit file offsets required");
#endif

namespace {

int seek64(std::FILE *f, std::int64_t offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

std::int64_t tell64(std::FILE *f) {
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

}  // namespace

std::int32_t close_and_fail(std::FILE *f, Failure why) {
    std::fclose(f);
    return fail(why);
}

std::int32_t stream_open(const char *path, std::FILE **out) {
    if (path == nullptr) return fail(Failure::null_path);
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return fail(Failure::cannot_open);
    *out = f;
    return KELHASH_OK;
}

std::int32_t stream_size(std::FILE *f, std::int64_t *size) {
    if (seek64(f, 0, SEEK_END) != 0) return close_and_fail(f, Failure::seek_failed);
    const std::int64_t end = tell64(f);
    if (end < 0) return close_and_fail(f, Failure::ftell_failed);
    if (seek64(f, 0, SEEK_SET) != 0) return close_and_fail(f, Failure::seek_failed);
    *size = end;
    return KELHASH_OK;
}

std::int32_t stream_open_sized(const char *path, std::FILE **out, std::int64_t *size) {
    if (const std::int32_t st = stream_open(path, out); st != KELHASH_OK) return st;
    // The fingerprints read each range whole into a buffer of their own, so
    // a stream buffer would only add a copy, an allocation and a stat of
    // the file, and would split every read that is not block-aligned in
    // two. setvbuf may be refused; the stream then stays buffered and works
    // the same, only slower.
    (void)std::setvbuf(*out, nullptr, _IONBF, 0);
    return stream_size(*out, size);
}

// posix_fadvise is in glibc on every Linux and wherever POSIX's advisory
// information option is announced; Windows and macOS lack it.
#if !defined(_WIN32) && \
    (defined(__GLIBC__) || (defined(_POSIX_ADVISORY_INFO) && _POSIX_ADVISORY_INFO > 0))
#define KELHASH_HAVE_FADVISE 1
#endif

void stream_will_need(std::FILE *f, const std::uint64_t *offsets, std::size_t count,
                      std::uint64_t len) {
#if defined(KELHASH_HAVE_FADVISE)
    if (len == 0) return;  // a length of 0 would advise the whole rest of the file
    const int fd = fileno(f);
    if (fd < 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        // The result is not looked at: advice that is refused costs nothing
        // but the call.
        (void)posix_fadvise(fd, static_cast<off_t>(offsets[i]), static_cast<off_t>(len),
                            POSIX_FADV_WILLNEED);
    }
#else
    (void)f;
    (void)offsets;
    (void)count;
    (void)len;
#endif
}

bool stream_seek(std::FILE *f, std::int64_t offset) { return seek64(f, offset, SEEK_SET) == 0; }

ReadOutcome stream_read(std::FILE *f, std::uint8_t *buf, std::size_t want, std::size_t *got) {
    std::size_t have = 0;
    while (have < want) {
        const std::size_t n = std::fread(buf + have, 1, want - have, f);
        if (n == 0) break;
        have += n;
    }
    *got = have;
    if (have >= want) return ReadOutcome::complete;
    return std::ferror(f) ? ReadOutcome::failed : ReadOutcome::ended_early;
}
