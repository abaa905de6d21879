// What the fuzz targets share beyond the reference layer (reference.h,
// which holds every model they compare the library with): a check macro
// that aborts with a readable message, exactly-sized heap copies (so
// AddressSanitizer reports any access past the bytes the library was
// given), a scratch file per process, a reader of the fuzzer's bytes, and
// virtual files of any size grown from a short pattern.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "kelhash.h"
#include "reference.h"

#define FUZZ_CHECK(cond)                                                                    \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

#define FUZZ_CHECK_STR(a, b)                                                                \
    do {                                                                                    \
        const std::string fuzz_a_(a), fuzz_b_(b);                                           \
        if (fuzz_a_ != fuzz_b_) {                                                           \
            std::fprintf(stderr, "%s:%d: property violated: %s == %s\n  \"%s\"\n  \"%s\"\n", \
                         __FILE__, __LINE__, #a, #b, fuzz_a_.c_str(), fuzz_b_.c_str());      \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace kf {

using kref::Bytes;
using kref::Outcome;

// A heap block of exactly n bytes (n may be 0: malloc(0) gives a block that
// AddressSanitizer treats as having no accessible byte at all).
class HeapBlock {
public:
    explicit HeapBlock(std::size_t n) : n_(n), p_(static_cast<std::uint8_t *>(std::malloc(n ? n : 1))) {
        if (n == 0) {
            std::free(p_);
            p_ = static_cast<std::uint8_t *>(std::malloc(0));
            if (p_ == nullptr) p_ = static_cast<std::uint8_t *>(std::malloc(1));
        }
        FUZZ_CHECK(p_ != nullptr);
    }
    HeapBlock(const std::uint8_t *src, std::size_t n) : HeapBlock(n) {
        if (n) std::memcpy(p_, src, n);
    }
    ~HeapBlock() { std::free(p_); }
    HeapBlock(const HeapBlock &) = delete;
    HeapBlock &operator=(const HeapBlock &) = delete;
    std::uint8_t *data() { return p_; }
    const std::uint8_t *data() const { return p_; }
    std::size_t size() const { return n_; }

private:
    std::size_t n_;
    std::uint8_t *p_;
};

// One scratch file per process, in a directory of its own (made
// atomically, so two fuzzers never share it), rewritten for every input and
// removed at exit.
inline const char *scratch_path() {
    namespace fs = std::filesystem;
    static std::string path;
    if (path.empty()) {
        // Memory-backed where there is such a place: rewriting a file on a
        // disk file system for every input (ext4 flushes a truncated and
        // rewritten file on close) would cost more than the hashing.
        std::error_code ec;
        std::vector<fs::path> bases;
        if (const char *dir = std::getenv("TMPDIR"); dir != nullptr && *dir != '\0') bases.emplace_back(dir);
        if (fs::is_directory("/dev/shm", ec)) bases.emplace_back("/dev/shm");
        bases.push_back(fs::temp_directory_path(ec));
        std::mt19937_64 rng(std::random_device{}() ^
                            static_cast<std::uint64_t>(
                                std::chrono::steady_clock::now().time_since_epoch().count()));
        for (const fs::path &base : bases) {
            for (int attempt = 0; attempt < 20 && path.empty(); ++attempt) {
                const fs::path dir = base / ("kelhash-fuzz-" + std::to_string(rng()));
                if (fs::create_directory(dir, ec)) path = (dir / "input").string();
            }
            if (!path.empty()) break;
        }
        FUZZ_CHECK(!path.empty());
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(fs::path(path).parent_path(), ignored);
        });
    }
    return path.c_str();
}

inline const char *write_scratch(const std::uint8_t *data, std::size_t n) {
    const char *path = scratch_path();
    std::FILE *f = std::fopen(path, "wb");
    FUZZ_CHECK(f != nullptr);
    if (n) FUZZ_CHECK(std::fwrite(data, 1, n, f) == n);
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
}

// Reads the fuzzer's bytes front to back; past the end everything is 0.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t n) : p_(data), n_(n) {}
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() { return static_cast<std::uint64_t>(u32()) | (static_cast<std::uint64_t>(u32()) << 32); }
    bool flag() { return (u8() & 1) != 0; }
    // Up to max bytes, as many as are left.
    Bytes take(std::size_t max) {
        const std::size_t k = max < n_ ? max : n_;
        Bytes out(p_, p_ + k);
        p_ += k;
        n_ -= k;
        return out;
    }
    Bytes rest() { return take(n_); }
    std::size_t left() const { return n_; }

private:
    const std::uint8_t *p_;
    std::size_t n_;
};

// Content of a virtual file at any offset, driven by a pattern from the
// input: the pattern repeats, each repetition perturbed so that equal
// pattern bytes at different offsets differ.
inline std::uint8_t virtual_byte(const Bytes &pattern, std::uint64_t off) {
    if (pattern.empty()) return static_cast<std::uint8_t>((off * 0x9Du) ^ (off >> 11));
    const std::uint64_t rep = off / pattern.size();
    // The remainder is below pattern.size(), so it fits a size_t.
    const auto at = static_cast<std::size_t>(off % pattern.size());
    return static_cast<std::uint8_t>(pattern[at] ^ (rep * 0xA7u) ^ (rep >> 8));
}

inline Bytes virtual_range(const Bytes &pattern, std::uint64_t off, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = virtual_byte(pattern, off + i);
    return out;
}

// The virtual file's Shooter blocks, for the reference layer's model.
inline kref::BlockReader virtual_blocks(const Bytes &pattern) {
    return [&pattern](std::uint64_t off) {
        return virtual_range(pattern, off, static_cast<std::size_t>(kref::kShooterBlock));
    };
}

// A NUL-terminated copy of the bytes up to their first 0x00 (all of them
// if there is none) in an exactly-sized heap block, so that the block ends
// at the terminator the library stops at.
inline std::unique_ptr<HeapBlock> make_text(const std::uint8_t *raw, std::size_t size) {
    std::size_t n = 0;
    while (n < size && raw[n] != 0) ++n;
    std::unique_ptr<HeapBlock> b(new HeapBlock(n + 1));
    if (n) std::memcpy(b->data(), raw, n);
    b->data()[n] = 0;
    return b;
}

inline std::unique_ptr<HeapBlock> make_text(const Bytes &raw) { return make_text(raw.data(), raw.size()); }

// A total_size for a chunk function, chosen by the low two bits of kind:
// negative, below small, from near to near + span - 1, or any non-negative
// value.
inline std::int64_t pick_total(std::uint8_t kind, std::uint64_t raw, std::uint64_t small,
                               std::uint64_t near, std::uint64_t span) {
    switch (kind & 3) {
        case 0: return static_cast<std::int64_t>(raw | 0x8000000000000000ULL);
        case 1: return static_cast<std::int64_t>(raw % small);
        case 2: return static_cast<std::int64_t>(near + raw % span);
        default: return static_cast<std::int64_t>(raw & 0x7FFFFFFFFFFFFFFFULL);
    }
}

inline Outcome observe(std::int32_t status) {
    return {status, kelhash_last_error(), kelhash_result()};
}

inline void check_same(const Outcome &got, const Outcome &want, const char *what) {
    if (got != want) {
        std::fprintf(stderr,
                     "%s differs:\n  got  status %d error \"%s\" result \"%s\"\n"
                     "  want status %d error \"%s\" result \"%s\"\n",
                     what, got.status, got.error.c_str(), got.result.c_str(), want.status,
                     want.error.c_str(), want.result.c_str());
        std::abort();
    }
}

}  // namespace kf
