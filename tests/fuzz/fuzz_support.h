// Helpers shared by the libFuzzer targets: a check macro that aborts with a
// readable message, exactly-sized heap copies (so AddressSanitizer reports
// any access past the bytes the library was given), a scratch file per
// process, a small input reader, and reference models written from the
// definitions of the hashes rather than from the library's code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "kelhash.h"
#include "md5/md5.h"

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

using Bytes = std::vector<std::uint8_t>;

// A heap block of exactly n bytes (n may be 0: malloc(0) gives a block that
// AddressSanitizer treats as having no accessible byte at all).
class HeapBlock {
public:
    explicit HeapBlock(std::size_t n) : n_(n), p_(static_cast<std::uint8_t *>(std::malloc(n ? n : 1))) {
        if (n == 0) {
            std::free(p_);
            p_ = static_cast<std::uint8_t *>(std::malloc(0));
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

// One scratch file per process, rewritten for every input and removed at exit.
inline const char *scratch_path() {
    static std::string path;
    if (path.empty()) {
        // Memory-backed by default: rewriting a file on a disk file system
        // for every input (ext4 flushes a truncated-and-rewritten file on
        // close) would cost more than the hashing.
        const char *dir = std::getenv("TMPDIR");
        if (dir == nullptr || *dir == '\0') dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(dir) + "/kelhash-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const int fd = mkstemp(buf.data());
        FUZZ_CHECK(fd >= 0);
        close(fd);
        path = buf.data();
        std::atexit([] { std::remove(path.c_str()); });
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
    std::uint8_t u8() { return n_ ? (--n_, *p_++) : 0; }
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
    return static_cast<std::uint8_t>(pattern[off % pattern.size()] ^ (rep * 0xA7u) ^ (rep >> 8));
}

inline Bytes virtual_range(const Bytes &pattern, std::uint64_t off, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = virtual_byte(pattern, off + i);
    return out;
}

// ---------------------------------------------------------------------------
// OpenSubtitles, from its definition: S, plus each range of min(S, 65536)
// bytes at 0 and at S - m cut into 8-byte little-endian words from the
// range's own first byte (a short last word zero-filled), modulo 2^64.
template <class ByteAt>
std::uint64_t ref_opensubtitles_sum(std::uint64_t size, ByteAt byte_at) {
    const std::uint64_t m = size < 65536 ? size : 65536;
    std::uint64_t sum = size;
    const std::uint64_t starts[2] = {0, size - m};
    for (std::uint64_t start : starts) {
        for (std::uint64_t k = 0; k < m; k += 8) {
            std::uint64_t word = 0;
            for (std::uint64_t i = 0; i < 8 && k + i < m; ++i)
                word += static_cast<std::uint64_t>(byte_at(start + k + i)) << (8 * i);
            sum += word;
        }
    }
    return sum;
}

// A 16-byte digest as 32 hexadecimal digits, byte 0 first.
inline std::string hex_digest(const std::uint8_t d[16], bool upper = false) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 0x0F];
    }
    return out;
}

inline std::string hex16(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// ---------------------------------------------------------------------------
// UTF-8 acceptance from the table of accepted sequences: each row gives the
// lead byte range, the second byte range and the number of further bytes
// (each 80 to BF).
struct Utf8Row {
    std::uint8_t lead_lo, lead_hi, second_lo, second_hi;
    int further;
};

constexpr Utf8Row kUtf8Rows[] = {
    {0x01, 0x7F, 0, 0, -1},  // one byte, no second byte
    {0xC2, 0xDF, 0x80, 0xBF, 0},
    {0xE0, 0xE0, 0xA0, 0xBF, 1},
    {0xE1, 0xEC, 0x80, 0xBF, 1},
    {0xED, 0xED, 0x80, 0x9F, 1},
    {0xEE, 0xEF, 0x80, 0xBF, 1},
    {0xF0, 0xF0, 0x90, 0xBF, 2},
    {0xF1, 0xF3, 0x80, 0xBF, 2},
    {0xF4, 0xF4, 0x80, 0x8F, 2},
};

struct Utf8Model {
    bool ok = false;
    // The UTF-16 units of the well-formed characters before the end or the
    // first malformed one.
    std::vector<std::uint16_t> units;
    // For each of those characters, the unit count after it.
    std::vector<std::size_t> ends;
};

// s is the text up to (not including) its first 0x00.
inline Utf8Model ref_utf8(const std::uint8_t *s, std::size_t n) {
    Utf8Model m;
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t a = s[i];
        const Utf8Row *row = nullptr;
        for (const Utf8Row &r : kUtf8Rows)
            if (a >= r.lead_lo && a <= r.lead_hi) row = &r;
        if (row == nullptr) return m;
        std::size_t len = 1;
        if (row->further >= 0) {
            if (i + 1 >= n || s[i + 1] < row->second_lo || s[i + 1] > row->second_hi) return m;
            len = 2 + static_cast<std::size_t>(row->further);
            for (std::size_t j = 2; j < len; ++j)
                if (i + j >= n || s[i + j] < 0x80 || s[i + j] > 0xBF) return m;
        }
        // The code point: the lead's payload bits, then six bits per
        // following byte.
        static const std::uint8_t lead_mask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        std::uint32_t cp = a & lead_mask[len];
        for (std::size_t j = 1; j < len; ++j) cp = (cp << 6) | (s[i + j] & 0x3Fu);
        if (cp < 0x10000) {
            m.units.push_back(static_cast<std::uint16_t>(cp));
        } else {
            m.units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            m.units.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
        m.ends.push_back(m.units.size());
        i += len;
    }
    m.ok = true;
    return m;
}

// The stable hash of a unit sequence: two multiply-by-33-then-XOR lanes
// (even and odd positions) from 5381, combined with 1566083941, folded.
inline std::int32_t ref_stable_hash(const std::vector<std::uint16_t> &units) {
    std::uint32_t lane[2] = {5381, 5381};
    for (std::size_t i = 0; i < units.size(); ++i) lane[i % 2] = (lane[i % 2] * 33u) ^ units[i];
    const std::uint32_t h = lane[0] + lane[1] * 1566083941u;
    if (h == 0x80000000u) return 0;
    const std::int64_t v = static_cast<std::int32_t>(h);
    return static_cast<std::int32_t>(v < 0 ? -v : v);
}

// Outcome of hashing a fallback name: status, message, result string.
struct Outcome {
    std::int32_t status;
    std::string error;
    std::string result;
};

inline Outcome ref_fallback(const char *name) {
    if (name == nullptr)
        return {KELHASH_ERR_TOO_SMALL, "file too small for shooter hash and no fallback name", ""};
    const Utf8Model m = ref_utf8(reinterpret_cast<const std::uint8_t *>(name), std::strlen(name));
    if (!m.ok) return {KELHASH_ERR_INVALID_UTF8, "invalid UTF-8", ""};
    return {KELHASH_OK, "", std::to_string(ref_stable_hash(m.units))};
}

// ---------------------------------------------------------------------------
// Shooter, from its definition: the MD5 digests (the engine, which fuzz_md5
// holds against OpenSSL) of the 4096-byte blocks at 4096, (S / 3) * 2, S / 3
// and S - 8192, a block without 4096 bytes before the end taken as zeros,
// joined by ";"; for S <= 8192 the fallback.
constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kThreshold = 8192;

inline void offsets_of(std::uint64_t s, std::uint64_t off[4]) {
    off[0] = 4096;
    off[1] = (s / 3) * 2;
    off[2] = s / 3;
    off[3] = s - 8192;
}

inline std::uint64_t bytes_left(std::uint64_t s, std::uint64_t off) { return off < s ? s - off : 0; }

template <class ByteAt>
std::string ref_shooter_hash(std::uint64_t s, ByteAt byte_at) {
    std::uint64_t off[4];
    offsets_of(s, off);
    std::string out;
    for (int i = 0; i < 4; ++i) {
        std::uint8_t block[kBlock] = {};
        if (bytes_left(s, off[i]) >= kBlock)
            for (std::uint64_t j = 0; j < kBlock; ++j) block[j] = byte_at(off[i] + j);
        std::uint8_t digest[16];
        kel_md5(block, kBlock, digest);
        if (i) out += ';';
        out += hex_digest(digest);
    }
    return out;
}

template <class ByteAt>
Outcome ref_shooter(std::uint64_t s, ByteAt byte_at, const char *name) {
    if (s <= kThreshold) return ref_fallback(name);
    return {KELHASH_OK, "", ref_shooter_hash(s, byte_at)};
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
    if (got.status != want.status || got.error != want.error || got.result != want.result) {
        std::fprintf(stderr,
                     "%s differs:\n  got  status %d error \"%s\" result \"%s\"\n"
                     "  want status %d error \"%s\" result \"%s\"\n",
                     what, got.status, got.error.c_str(), got.result.c_str(), want.status,
                     want.error.c_str(), want.result.c_str());
        std::abort();
    }
}

}  // namespace kf
