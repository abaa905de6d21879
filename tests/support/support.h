// The GoogleTest suites' own helpers: scratch directories, FIFOs, sparse
// files, reads with the platform's file calls, the reduced-run switches and
// the library's buffers as values. What the library is compared with lives
// in the reference layer (reference.h), which the fuzzers share.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kelhash.h"
#include "reference.h"

namespace kt {

using kref::Bytes;

// A scratch directory removed, with its contents, when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // Path of a file inside the directory (not created).
    std::string file(const std::string &name) const;
    // Writes bytes to a new file inside the directory and returns its path.
    std::string write(const std::string &name, const Bytes &bytes) const;

private:
    std::string path_;
};

#if !defined(_WIN32)
// A named pipe with a writer thread that opens it, writes the given bytes
// and closes it, so that a reader opening the path does not block forever.
// The destructor unblocks and joins the writer even if nobody read.
class FifoWithWriter {
public:
    FifoWithWriter(const TempDir &dir, const std::string &name, Bytes content);
    ~FifoWithWriter();
    FifoWithWriter(const FifoWithWriter &) = delete;
    FifoWithWriter &operator=(const FifoWithWriter &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
    struct State;
    State *state_;
};
#endif

// How many descriptors of this process are open for reading on the file at
// path, or -1 where that cannot be seen (no /proc/self/fd). A file function
// that failed after opening must have closed its stream again; the writer of
// a FifoWithWriter holds the write end only and is not counted.
int readers_open(const std::string &path);

// Expects that no stream on path is left open, where that can be seen.
#define KT_EXPECT_CLOSED(path)                                                 \
    do {                                                                       \
        const int kt_readers = ::kt::readers_open(path);                       \
        if (kt_readers >= 0) {                                                 \
            EXPECT_EQ(kt_readers, 0) << "a stream on " << (path) << " is still open"; \
        }                                                                      \
    } while (0)

// Creates a sparse file of the given size with the given bytes written at
// the given offsets; returns false when the file system refuses the size.
// POSIX ftruncate and pwrite; on Windows _chsize_s and _write.
bool make_sparse_file(const std::string &path, std::uint64_t size,
                      const std::vector<std::pair<std::uint64_t, std::uint8_t>> &bytes);

// Reads n bytes of a file at a 64-bit offset with the platform's own file
// calls (pread; _lseeki64 and _read on Windows), not the C streams that the
// library uses. Fails the calling test and returns fewer bytes on error.
Bytes read_range(const std::string &path, std::uint64_t offset, std::size_t n);

// Whether the suite runs reduced (KELHASH_TEST_REDUCED set, or under
// Valgrind): tests that sweep large spaces sample them instead.
bool reduced();
// Whether the suite runs under Valgrind (KELHASH_TEST_VALGRIND set), whose
// allocator and address space make some checks meaningless.
bool under_valgrind();

// The library's strings after a call, as values.
inline std::string result() { return kelhash_result(); }
inline std::string last_error() { return kelhash_last_error(); }

// Expects that a call that returned status gave want: the same status, and
// the same message and result string in the library's buffers.
void expect_outcome(std::int32_t status, const kref::Outcome &want);

// Puts a known marker string into the result buffer (a successful MD5 of
// "marker"), so a test can see whether a later call left the buffer alone.
std::string set_result_marker();

}  // namespace kt

// Skips the current test when OpenSSL is not linked in.
#define KT_REQUIRE_OPENSSL()                                                   \
    do {                                                                       \
        if (!::kref::have_openssl()) GTEST_SKIP() << "built without OpenSSL";  \
    } while (0)
