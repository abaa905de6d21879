// Shared helpers for the test suite: scratch files, reproducible random
// bytes and independent reference computations to compare the library with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelhash.h"

namespace kt {

using Bytes = std::vector<std::uint8_t>;

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

// Reproducible pseudo-random bytes.
Bytes random_bytes(std::size_t n, std::uint64_t seed);

// Reference OpenSubtitles hash written straight from its definition, byte
// by byte: size plus the little-endian words of the first and last
// min(S, 65536) bytes, each range cut from its own first byte.
std::string reference_opensubtitles(const Bytes &image);

// Whether OpenSSL's MD5 is linked in.
bool have_openssl();
// OpenSSL's MD5 of the bytes as 32 lowercase digits ("" without OpenSSL).
std::string openssl_md5_lower(const std::uint8_t *data, std::size_t n);
std::string openssl_md5_lower(const Bytes &bytes);
// The tests' own plain MD5 from RFC 1321 (reference_md5.cpp), independent
// of the library's engine and checked against OpenSSL where both exist.
std::string reference_md5_lower(const std::uint8_t *data, std::size_t n);
// The MD5 oracle of the tests: OpenSSL's where it is linked, else the
// reference above, so that builds without OpenSSL (the cross builds) still
// compare every digest with an implementation that is not the library's.
std::string oracle_md5_lower(const std::uint8_t *data, std::size_t n);
std::string oracle_md5_lower(const Bytes &bytes);
std::string to_upper(std::string s);
// Bytes as lowercase hexadecimal, two digits each, in order.
std::string lower_hex(const std::uint8_t *bytes, std::size_t n);

// The library's strings after a call, as values.
inline std::string result() { return kelhash_result(); }
inline std::string last_error() { return kelhash_last_error(); }

// Puts a known marker string into the result buffer (a successful MD5 of
// "marker"), so a test can see whether a later call left the buffer alone.
std::string set_result_marker();

}  // namespace kt

// Skips the current test when OpenSSL is not linked in.
#define KT_REQUIRE_OPENSSL()                                                   \
    do {                                                                       \
        if (!::kt::have_openssl()) GTEST_SKIP() << "built without OpenSSL";    \
    } while (0)
