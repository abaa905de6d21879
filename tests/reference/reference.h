// The reference layer: every hash and rule the tests check the library
// against, written once, straight from its definition and never from the
// library's code; and the data the suites share (reproducible bytes, the
// golden files, hexadecimal text).
//
// The GoogleTest suites, the fuzzers (also as plain corpus replays) and the
// benchmarks link it, so it depends on neither GoogleTest nor the library:
// nothing here calls into kelhash. OpenSSL's MD5 is linked in where it is
// found, as the independent MD5 oracle; the plain RFC 1321 MD5 here stands
// in for it elsewhere (the cross builds).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kref {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Text and data.

// Bytes as hexadecimal, two digits each, high nibble first, in order.
std::string hex_lower(const std::uint8_t *bytes, std::size_t n);
std::string hex_upper(const std::uint8_t *bytes, std::size_t n);
// A 64-bit value as 16 lowercase hexadecimal digits ("%016llx").
std::string hex16(std::uint64_t v);
std::string to_upper(std::string s);

// Reproducible pseudo-random bytes: the same n and seed give the same bytes
// on every platform.
Bytes random_bytes(std::size_t n, std::uint64_t seed);

// ---------------------------------------------------------------------------
// MD5.

// The plain MD5 of RFC 1321, as 32 lowercase digits: the message padded
// into a copy, the sine table computed from its definition. Independent of
// the library's engine; checked against OpenSSL where both exist.
std::string plain_md5(const std::uint8_t *data, std::size_t n);
// Whether OpenSSL's MD5 is linked in, and its digest ("" without it).
bool have_openssl();
std::string openssl_md5(const std::uint8_t *data, std::size_t n);
// The MD5 oracle: OpenSSL's where it is linked, else plain_md5, so that
// builds without OpenSSL still compare every digest with an implementation
// that is not the library's. Lowercase.
std::string oracle_md5(const std::uint8_t *data, std::size_t n);
std::string oracle_md5(const Bytes &bytes);
// Which implementation oracle_md5 is, for messages.
const char *oracle_md5_name();

// What a call of a hash function gives: status, message and result string.
struct Outcome {
    std::int32_t status = 0;
    std::string error;
    std::string result;
    bool operator==(const Outcome &o) const {
        return status == o.status && error == o.error && result == o.result;
    }
    bool operator!=(const Outcome &o) const { return !(*this == o); }
};

// ---------------------------------------------------------------------------
// OpenSubtitles: the size plus the little-endian 64-bit words of the first
// and of the last min(S, 65536) bytes, each range cut into words from its
// own first byte (a short last word zero-filled), modulo 2^64.

constexpr std::uint64_t kOpenSubtitlesRange = 65536;

// The length of each range, min(size, 65536).
std::uint64_t opensubtitles_range(std::uint64_t size);
// The sum over a file of size bytes whose first and last ranges hold head
// and tail; each must have exactly opensubtitles_range(size) bytes.
std::uint64_t opensubtitles_sum(std::uint64_t size, const Bytes &head, const Bytes &tail);
// The hash as 16 lowercase digits, of those ranges or of a whole image.
std::string opensubtitles(std::uint64_t size, const Bytes &head, const Bytes &tail);
std::string opensubtitles(const Bytes &image);

// ---------------------------------------------------------------------------
// Shooter: for a size S above 8192, the MD5 digests (lowercase) of the
// 4096-byte blocks at 4096, (S / 3) * 2, S / 3 and S - 8192, in that order,
// joined by ";"; a block with fewer than 4096 bytes from its offset to the
// end counts as 4096 zero bytes. At 8192 bytes or less, the fallback: the
// stable hash of the name, in decimal.

constexpr std::uint64_t kShooterBlock = 4096;
constexpr std::uint64_t kShooterThreshold = 8192;
constexpr std::size_t kShooterBlocks = 4;

using ShooterOffsets = std::array<std::uint64_t, kShooterBlocks>;
using ShooterDigests = std::array<std::string, kShooterBlocks>;

ShooterOffsets shooter_offsets(std::uint64_t size);
// Whether the block at offset is hashed from the file (4096 bytes from
// there to the end) rather than as zeros.
bool shooter_block_fits(std::uint64_t size, std::uint64_t offset);
// What a host that reads the file itself gets at offset: 4096 bytes, or
// the bytes up to the end when fewer are left (0 at or past the end).
std::uint64_t shooter_host_read(std::uint64_t size, std::uint64_t offset);
// The digest of 4096 zero bytes: every block that does not fit.
const std::string &shooter_zero_digest();

// The 4096 bytes of the file at offset; asked for the blocks that fit only.
using BlockReader = std::function<Bytes(std::uint64_t offset)>;

// The four digests of a file of size bytes (above 8192).
ShooterDigests shooter_digests(std::uint64_t size, const BlockReader &read);
ShooterDigests shooter_digests(const Bytes &image);
// The first count digests joined by ";": the whole hash for 4, and what a
// failure at block count leaves behind.
std::string shooter_join(const ShooterDigests &digests, std::size_t count = kShooterBlocks);
// The hash of a file above 8192 bytes.
std::string shooter_hash(std::uint64_t size, const BlockReader &read);
std::string shooter_hash(const Bytes &image);
// What any Shooter function gives for a size of 8192 or less: the name's
// stable hash, or the failure for a null or ill-formed name.
Outcome shooter_fallback(const char *name);
// The whole outcome for a file of any size (the name used at 8192 or less).
Outcome shooter(std::uint64_t size, const BlockReader &read, const char *name);
Outcome shooter(const Bytes &image, const char *name);

// ---------------------------------------------------------------------------
// UTF-8, UTF-16 and the stable hash.

// One row of "Table 3-7. Well-Formed UTF-8 Byte Sequences" of the Unicode
// Standard (chapter 3, section 3.9): the code points the row encodes and,
// for each of its bytes, the range that byte must lie in.
struct Utf8Row {
    std::uint32_t first_code_point, last_code_point;
    int length;  // bytes in the sequence, 1 to 4
    std::uint8_t lo[4], hi[4];
};

extern const std::array<Utf8Row, 9> kWellFormedUtf8;

// The length of the well-formed sequence that starts at p, looking at no
// more than left bytes and at each byte only after the one before it
// matched its row, with its code point in *cp; 0 when no row matches.
int well_formed_sequence(const std::uint8_t *p, std::size_t left, std::uint32_t *cp);

// A text decoded row by row: the code points before its end or before its
// first ill-formed sequence, and whether it was well-formed throughout.
struct Utf8Text {
    bool well_formed = false;
    std::vector<std::uint32_t> code_points;
};
Utf8Text decode_utf8(const std::uint8_t *s, std::size_t n);

// A random Unicode scalar value (no surrogate), from every encoded length
// alike, one time in five one at the edge of a length or of a range.
std::uint32_t random_code_point(std::mt19937_64 &rng);

// RFC 3629, section 3: the bytes of a code point.
void append_utf8(std::uint32_t cp, Bytes &out);
Bytes encode_utf8(std::uint32_t cp);
std::string encode_utf8(const std::vector<std::uint32_t> &cps);

// RFC 2781, section 2.1: the UTF-16 units of a code point (1 or 2 of them).
int utf16_of(std::uint32_t cp, std::uint16_t out[2]);
void append_utf16(std::uint32_t cp, std::vector<std::uint16_t> &out);
std::vector<std::uint16_t> utf16(const std::vector<std::uint32_t> &cps);

// The stable hash over UTF-16 units: two multiply-by-33-then-XOR lanes from
// 5381, over the even and over the odd positions, combined as lane 0 +
// lane 1 * 1566083941 modulo 2^32 and read as a signed 32-bit value...
std::int64_t stable_hash_unfolded(const std::vector<std::uint16_t> &units);
// ...then folded to its absolute value, with -2^31 (which has none) as 0.
std::int32_t stable_hash(const std::vector<std::uint16_t> &units);
std::int32_t stable_hash(const std::vector<std::uint32_t> &code_points);

// ---------------------------------------------------------------------------
// The golden files (tests/golden), whose expected values come from the
// Python reference module.

// The directory that holds them, in the source tree.
std::string golden_dir();

struct GoldenFile {
    std::string name, path;
    std::uint64_t size;
    std::string opensubtitles, shooter, md5;
};
// files.tsv, and the fallback name its Shooter column was computed with
// (named in the table's header line). Throws when the table cannot be read.
std::vector<GoldenFile> golden_files();
std::string golden_fallback_name();

struct GoldenText {
    std::string hex;   // the UTF-8 bytes as the table gives them
    std::string text;  // those bytes
    std::int32_t stable_hash;
};
// stable.tsv. Throws when the table cannot be read.
std::vector<GoldenText> golden_texts();

}  // namespace kref
