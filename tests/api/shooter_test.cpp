// Shooter hash from a buffer, a file and caller-read blocks.
//
// Expected digests come from the MD5 oracle (OpenSSL's, or the tests' own
// reference MD5 where OpenSSL is missing) over the blocks at the offsets
// 4096, (S / 3) * 2, S / 3 and S - 8192; the boundary sizes list their
// offsets worked out by hand, so the reference does not share the library's
// offset arithmetic there.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "kelhash.h"
#include "support.h"

namespace {

using kt::Bytes;

constexpr std::uint64_t kBlock = 4096;
// The stable hashes of the fallback names "" and "abc".
constexpr const char *kEmptyNameHash = "371857150";
constexpr const char *kAbcHash = "1099313834";

std::string zeros_digest() {
    static const Bytes zeros(kBlock, 0);
    return kt::oracle_md5_lower(zeros);
}

std::string join(const std::string d[4]) { return d[0] + ";" + d[1] + ";" + d[2] + ";" + d[3]; }

void offsets_of(std::uint64_t s, std::uint64_t off[4]) {
    off[0] = 4096;
    off[1] = (s / 3) * 2;
    off[2] = s / 3;
    off[3] = s - 8192;
}

bool fits(std::uint64_t s, std::uint64_t off) { return off < s && s - off >= kBlock; }

// Digests of the four blocks of an image larger than 8192 bytes, from the oracle.
void reference_digests(const Bytes &image, std::string d[4]) {
    const std::uint64_t s = image.size();
    std::uint64_t off[4];
    offsets_of(s, off);
    for (int i = 0; i < 4; ++i)
        d[i] = fits(s, off[i]) ? kt::oracle_md5_lower(image.data() + off[i], kBlock) : zeros_digest();
}

std::string reference_shooter(const Bytes &image) {
    std::string d[4];
    reference_digests(image, d);
    return join(d);
}

// The three variants over the same bytes. Each returns g_result after a
// successful call and records a failure otherwise.
std::string buffer_hash(const Bytes &image, const char *name = nullptr) {
    EXPECT_EQ(kelhash_shooter_buffer(image.data(), image.size(), name), KELHASH_OK)
        << kt::last_error();
    EXPECT_EQ(kt::last_error(), "");
    return kt::result();
}

std::string file_hash(const std::string &path, const char *name = nullptr) {
    EXPECT_EQ(kelhash_shooter_file(path.c_str(), name), KELHASH_OK) << kt::last_error();
    EXPECT_EQ(kt::last_error(), "");
    return kt::result();
}

// How the host hands over a block that does not have 4096 bytes left.
enum class ShortBlock { exact, omitted, padded };

// Blocks cut from the image as a host that read the file itself passes
// them: 4096 bytes for a full block, and for a short one the bytes that
// exist, nothing at all, or a 4096-byte buffer of unrelated bytes.
std::string chunk_hash(const Bytes &image, const char *name = nullptr,
                       ShortBlock how = ShortBlock::exact) {
    const std::uint64_t s = image.size();
    std::uint64_t off[4] = {0, 0, 0, 0};
    if (s > 8192) offsets_of(s, off);
    static const Bytes junk = kt::random_bytes(kBlock, 77);
    const void *p[4];
    std::uint64_t n[4];
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t left = off[i] < s ? s - off[i] : 0;
        p[i] = image.data() + (off[i] < s ? off[i] : 0);
        n[i] = left >= kBlock ? kBlock : left;
        if (s > 8192 && left < kBlock) {
            if (how == ShortBlock::omitted) {
                p[i] = nullptr;
                n[i] = 0;
            } else if (how == ShortBlock::padded) {
                p[i] = junk.data();
                n[i] = kBlock;
            }
        }
    }
    char out[132];
    EXPECT_EQ(kelhash_shooter_chunks(p[0], n[0], p[1], n[1], p[2], n[2], p[3], n[3],
                                     static_cast<int64_t>(s), name, out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_STREQ(out, kelhash_result());
    return kt::result();
}

bool is_shooter_shape(const std::string &h) {
    if (h.size() != 131) return false;
    for (std::size_t i = 0; i < h.size(); ++i) {
        const bool sep = i == 32 || i == 65 || i == 98;
        const char c = h[i];
        if (sep != (c == ';')) return false;
        if (!sep && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

TEST(Shooter, ThresholdIsAboveNotAtEightKiB) {
    kt::TempDir dir;
    const Bytes at = kt::random_bytes(8192, 1);
    EXPECT_EQ(buffer_hash(at, "abc"), kAbcHash);
    EXPECT_EQ(file_hash(dir.write("at", at), "abc"), kAbcHash);
    EXPECT_EQ(chunk_hash(at, "abc"), kAbcHash);

    const Bytes above = kt::random_bytes(8193, 2);
    EXPECT_TRUE(is_shooter_shape(buffer_hash(above, "abc"))) << kt::result();
    EXPECT_TRUE(is_shooter_shape(file_hash(dir.write("above", above), "abc"))) << kt::result();
    EXPECT_TRUE(is_shooter_shape(chunk_hash(above, "abc"))) << kt::result();
}

// Sizes at which block 1 changes between file data and zeros, with the
// offsets and the fit of every block derived by hand from the definition.
TEST(Shooter, BoundarySizesHashTheBlocksDerivedByHand) {
    struct Case {
        std::uint64_t size;
        std::uint64_t off[4];
        bool fit[4];
    };
    const Case cases[] = {
        // 8193 / 3 = 2731; block 1 at 5462 has 2731 bytes; block 3 at 1.
        {8193, {4096, 5462, 2731, 1}, {true, false, true, true}},
        // 12283 / 3 = 4094; block 1 at 8188 has 4095 bytes.
        {12283, {4096, 8188, 4094, 4091}, {true, false, true, true}},
        // 12284 / 3 = 4094; block 1 at 8188 has exactly 4096 bytes.
        {12284, {4096, 8188, 4094, 4092}, {true, true, true, true}},
        // 12285 / 3 = 4095; block 1 at 8190 has 4095 bytes.
        {12285, {4096, 8190, 4095, 4093}, {true, false, true, true}},
        // 12286 / 3 = 4095; block 1 at 8190 has 4096 bytes.
        {12286, {4096, 8190, 4095, 4094}, {true, true, true, true}},
        // 12287 / 3 = 4095 (2 left over); blocks 2 and 3 both start at 4095.
        {12287, {4096, 8190, 4095, 4095}, {true, true, true, true}},
        // 12288 / 3 = 4096; blocks 0, 2, 3 at 4096, block 1 the last 4096 bytes.
        {12288, {4096, 8192, 4096, 4096}, {true, true, true, true}},
    };
    kt::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        const Bytes image = kt::random_bytes(static_cast<std::size_t>(c.size), c.size);
        std::string d[4];
        for (int i = 0; i < 4; ++i)
            d[i] = c.fit[i] ? kt::oracle_md5_lower(image.data() + c.off[i], kBlock) : zeros_digest();
        const std::string expected = join(d);
        EXPECT_EQ(buffer_hash(image), expected);
        EXPECT_EQ(file_hash(dir.write("f", image)), expected);
        EXPECT_EQ(chunk_hash(image), expected);
    }
}

TEST(Shooter, EqualOffsetsGiveEqualDigests) {
    const Bytes s12287 = kt::random_bytes(12287, 3);
    const std::string h = buffer_hash(s12287);
    EXPECT_EQ(h.substr(66, 32), h.substr(99, 32));  // blocks 2 and 3 at 4095
    EXPECT_NE(h.substr(0, 32), h.substr(66, 32));

    const Bytes s12288 = kt::random_bytes(12288, 4);
    const std::string g = buffer_hash(s12288);
    EXPECT_EQ(g.substr(0, 32), g.substr(66, 32));  // blocks 0, 2, 3 at 4096
    EXPECT_EQ(g.substr(0, 32), g.substr(99, 32));
    EXPECT_NE(g.substr(0, 32), g.substr(33, 32));
}

TEST(Shooter, AllZeroImageGivesFourZeroBlockDigests) {
    kt::TempDir dir;
    const Bytes zeros(20000, 0);
    const std::string z = zeros_digest();
    const std::string expected = z + ";" + z + ";" + z + ";" + z;
    EXPECT_EQ(buffer_hash(zeros), expected);
    EXPECT_EQ(file_hash(dir.write("zeros", zeros)), expected);
    EXPECT_EQ(chunk_hash(zeros), expected);
}

TEST(Shooter, HashStringShape) {
    for (const std::size_t n : {8193u, 12287u, 100003u}) {
        const std::string h = buffer_hash(kt::random_bytes(n, n));
        EXPECT_TRUE(is_shooter_shape(h)) << h;
        EXPECT_EQ(std::strlen(kelhash_result()), 131u);
    }
}

TEST(Shooter, VariantsAgreeWithReference) {
    kt::TempDir dir;
    std::vector<std::size_t> sizes = {8191, 8192, 8193, 8194};
    for (std::size_t n = 12283; n <= 12289; ++n) sizes.push_back(n);
    for (const std::size_t n : {100003u, (1u << 20) + 7u, 3000017u}) sizes.push_back(n);
    for (const std::size_t n : sizes) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes image = kt::random_bytes(n, 500 + n);
        const std::string expected = n > 8192 ? reference_shooter(image) : kAbcHash;
        EXPECT_EQ(buffer_hash(image, "abc"), expected);
        EXPECT_EQ(file_hash(dir.write("f", image), "abc"), expected);
        EXPECT_EQ(chunk_hash(image, "abc"), expected);
        EXPECT_EQ(chunk_hash(image, "abc", ShortBlock::padded), expected);
    }
}

// Above the threshold the name takes no part, so a null one is fine.
TEST(Shooter, NameIsIgnoredAboveTheThreshold) {
    const Bytes image = kt::random_bytes(9000, 5);
    const std::string with_name = buffer_hash(image, "abc");
    EXPECT_EQ(buffer_hash(image, nullptr), with_name);
    EXPECT_EQ(buffer_hash(image, "\xff"), with_name);  // not even validated
    EXPECT_EQ(chunk_hash(image, nullptr), with_name);
}

// ---------------------------------------------------------------------------
// The small-file fallback.

TEST(ShooterFallback, DependsOnTheNameAloneInEveryVariant) {
    kt::TempDir dir;
    const struct {
        const char *name;
        const char *expected;
    } names[] = {{"", kEmptyNameHash}, {"abc", kAbcHash}};
    for (const std::size_t n : {0u, 1u, 8192u}) {
        const Bytes image = kt::random_bytes(n, 900 + n);
        const std::string path = dir.write("small", image);
        for (const auto &nm : names) {
            SCOPED_TRACE("size " + std::to_string(n) + " name \"" + nm.name + "\"");
            EXPECT_EQ(buffer_hash(image, nm.name), nm.expected);
            EXPECT_EQ(file_hash(path, nm.name), nm.expected);
            EXPECT_EQ(chunk_hash(image, nm.name), nm.expected);
        }
    }
    // A null image of length 0 is the empty image.
    EXPECT_EQ(kelhash_shooter_buffer(nullptr, 0, ""), KELHASH_OK);
    EXPECT_EQ(kt::result(), kEmptyNameHash);
}

// The chunk function looks at no block for a small total size.
TEST(ShooterFallback, ChunkBlocksAreNotLookedAt) {
    char out[11];
    const std::uint8_t byte = 1;
    ASSERT_EQ(kelhash_shooter_chunks(nullptr, 7, &byte, 99, nullptr, 4096, &byte, 1, 8192, "abc",
                                     out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_STREQ(out, kAbcHash);
}

TEST(ShooterFallback, NameFailuresEmptyTheResult) {
    kt::TempDir dir;
    const Bytes small = kt::random_bytes(100, 6);
    const std::string path = dir.write("small", small);
    const struct {
        const char *what;
        const char *name;
        int32_t status;
        const char *message;
    } cases[] = {
        {"null name", nullptr, KELHASH_ERR_TOO_SMALL,
         "file too small for shooter hash and no fallback name"},
        {"stray continuation byte", "\x80", KELHASH_ERR_INVALID_UTF8, "invalid UTF-8"},
        {"overlong NUL", "a\xc0\x80", KELHASH_ERR_INVALID_UTF8, "invalid UTF-8"},
        {"surrogate", "\xed\xa0\x80", KELHASH_ERR_INVALID_UTF8, "invalid UTF-8"},
        {"truncated sequence", "\xe2\x82", KELHASH_ERR_INVALID_UTF8, "invalid UTF-8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kt::set_result_marker();
        EXPECT_EQ(kelhash_shooter_buffer(small.data(), small.size(), c.name), c.status);
        EXPECT_EQ(kt::last_error(), c.message);
        EXPECT_EQ(kt::result(), "");

        kt::set_result_marker();
        EXPECT_EQ(kelhash_shooter_file(path.c_str(), c.name), c.status);
        EXPECT_EQ(kt::last_error(), c.message);
        EXPECT_EQ(kt::result(), "");

        kt::set_result_marker();
        char out[16];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 100,
                                         c.name, out, sizeof out),
                  c.status);
        EXPECT_EQ(kt::last_error(), c.message);
        EXPECT_EQ(kt::result(), "");
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(out[1], 'x');
    }
}

TEST(ShooterBuffer, NullDataWithLengthKeepsTheEarlierResult) {
    const std::string before = kt::set_result_marker();
    EXPECT_EQ(kelhash_shooter_buffer(nullptr, 1, "abc"), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "null data with nonzero len");
    EXPECT_EQ(kt::result(), before);
}

// ---------------------------------------------------------------------------
// Caller-read blocks.

// Every full block counts with its first 4096 bytes only, however much the
// host passes; here each block runs to the end of the file.
TEST(ShooterChunks, LongBlocksCountTheirFirst4096Bytes) {
    for (const std::size_t n : {8193u, 12288u, 100003u}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes image = kt::random_bytes(n, 1300 + n);
        std::uint64_t off[4];
        offsets_of(n, off);
        const std::uint8_t *p[4];
        std::uint64_t len[4];
        for (int i = 0; i < 4; ++i) {
            p[i] = image.data() + off[i];
            len[i] = n - off[i];
        }
        ASSERT_EQ(kelhash_shooter_chunks(p[0], len[0], p[1], len[1], p[2], len[2], p[3], len[3],
                                         static_cast<int64_t>(n), nullptr, nullptr, 0),
                  KELHASH_OK)
            << kt::last_error();
        EXPECT_EQ(kt::result(), reference_shooter(image));
    }
}

// Only block 1 can be short, and only then may the host leave it out.
TEST(ShooterChunks, BlockOneMayBeOmittedOnlyWhileShort) {
    for (const std::size_t n : {8193u, 9000u, 12283u, 12285u}) {
        SCOPED_TRACE("short at size " + std::to_string(n));
        const Bytes image = kt::random_bytes(n, 1700 + n);
        EXPECT_EQ(chunk_hash(image, nullptr, ShortBlock::omitted), reference_shooter(image));
    }
    for (const std::size_t n : {12284u, 12286u, 12288u, 20000u}) {
        SCOPED_TRACE("full at size " + std::to_string(n));
        const Bytes image = kt::random_bytes(n, 1900 + n);
        std::uint64_t off[4];
        offsets_of(n, off);
        const std::uint8_t *d = image.data();
        EXPECT_EQ(kelhash_shooter_chunks(d + off[0], kBlock, nullptr, 0, d + off[2], kBlock,
                                         d + off[3], kBlock, static_cast<int64_t>(n), nullptr,
                                         nullptr, 0),
                  KELHASH_ERR_INVALID_ARG);
        EXPECT_EQ(kt::last_error(), "shooter block needs 4096 bytes at its offset");
        EXPECT_EQ(kt::result(), "");
    }
    // Block 2 is full for every size above the threshold.
    const Bytes image = kt::random_bytes(9000, 8);
    const std::uint8_t *d = image.data();
    EXPECT_EQ(kelhash_shooter_chunks(d + 4096, kBlock, nullptr, 0, nullptr, 0, d + 808, kBlock,
                                     9000, nullptr, nullptr, 0),
              KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "shooter block needs 4096 bytes at its offset");
}

// Each case starts from four valid blocks and changes one or two of them.
// Block data comes from four distinct random buffers, so an accepted case
// also shows which block ended up where.
TEST(ShooterChunks, BlockValidation) {
    constexpr std::uint64_t kL = ~std::uint64_t{0};  // the block's bytes left
    const char *const kNeeds = "shooter block needs 4096 bytes at its offset";
    const char *const kWrong = "short shooter block has the wrong length";
    const char *const kNull = "null shooter block with nonzero length";
    struct Change {
        int block;
        bool null;
        std::uint64_t len;
    };
    struct Case {
        const char *what;
        std::uint64_t size;
        std::vector<Change> changes;
        const char *message;  // nullptr: accepted
    };
    const std::vector<Case> cases = {
        {"all valid, short block exact", 8193, {}, nullptr},
        // Block 1 of 8193 bytes has L = 2731.
        {"short: length 0 with null", 8193, {{1, true, 0}}, nullptr},
        {"short: length 0 with data", 8193, {{1, false, 0}}, nullptr},
        {"short: L with null", 8193, {{1, true, kL}}, kNull},
        {"short: L - 1", 8193, {{1, false, 2730}}, kWrong},
        {"short: L + 1", 8193, {{1, false, 2732}}, kWrong},
        {"short: 1", 8193, {{1, false, 1}}, kWrong},
        {"short: 4095", 8193, {{1, false, 4095}}, kWrong},
        {"short: wrong length beats null pointer", 8193, {{1, true, 2730}}, kWrong},
        {"short: 4096 with data", 8193, {{1, false, 4096}}, nullptr},
        {"short: 4096 with null", 8193, {{1, true, 4096}}, kNull},
        {"short: 5000 with data", 8193, {{1, false, 5000}}, nullptr},
        {"short: 5000 with null", 8193, {{1, true, 5000}}, kNull},
        // Block 1 of 12285 bytes has L = 4095, one below a full block.
        {"L 4095: exact", 12285, {}, nullptr},
        {"L 4095: 4094", 12285, {{1, false, 4094}}, kWrong},
        {"L 4095: 4096", 12285, {{1, false, 4096}}, nullptr},
        {"L 4095: null 4095", 12285, {{1, true, kL}}, kNull},
        // Block 1 of 12284 bytes has L = 4096 and is full.
        {"L 4096: 4095", 12284, {{1, false, 4095}}, kNeeds},
        {"L 4096: 0", 12284, {{1, true, 0}}, kNeeds},
        {"full: block 0 length 4095", 8193, {{0, false, 4095}}, kNeeds},
        {"full: block 0 null 4096", 8193, {{0, true, 4096}}, kNeeds},
        {"full: block 0 null 0", 8193, {{0, true, 0}}, kNeeds},
        {"full: block 0 length 5000", 8193, {{0, false, 5000}}, nullptr},
        {"full: block 2 length 0", 8193, {{2, false, 0}}, kNeeds},
        {"full: block 3 null 4096", 8193, {{3, true, 4096}}, kNeeds},
        {"full: block 3 length 4095", 20000, {{3, false, 4095}}, kNeeds},
        // The first invalid block in parameter order decides the message.
        {"block 0 before block 3", 8193, {{0, false, 4095}, {3, true, 4096}}, kNeeds},
        {"block 0 before block 1", 8193, {{0, true, 4096}, {1, false, 2730}}, kNeeds},
        {"block 1 before block 3", 8193, {{1, false, 2730}, {3, true, 0}}, kWrong},
        {"block 1 before block 2", 8193, {{1, true, kL}, {2, false, 4095}}, kNull},
        // Only block 3 is invalid: nothing may be hashed before validation ends.
        {"last block only", 8193, {{3, false, 1}}, kNeeds},
    };

    Bytes pool[4];
    for (int i = 0; i < 4; ++i) pool[i] = kt::random_bytes(8192, 2000 + static_cast<unsigned>(i));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::uint64_t off[4];
        offsets_of(c.size, off);
        const std::uint8_t *p[4];
        std::uint64_t len[4];
        std::uint64_t left[4];
        for (int i = 0; i < 4; ++i) {
            left[i] = c.size - off[i];
            p[i] = pool[i].data();
            len[i] = left[i] >= kBlock ? kBlock : left[i];
        }
        for (const auto &ch : c.changes) {
            p[ch.block] = ch.null ? nullptr : pool[ch.block].data();
            len[ch.block] = ch.len == kL ? left[ch.block] : ch.len;
        }
        char out[140];
        std::memset(out, 'x', sizeof out);
        const int32_t st = kelhash_shooter_chunks(p[0], len[0], p[1], len[1], p[2], len[2], p[3],
                                                  len[3], static_cast<int64_t>(c.size), nullptr,
                                                  out, sizeof out);
        if (c.message != nullptr) {
            EXPECT_EQ(st, KELHASH_ERR_INVALID_ARG);
            EXPECT_EQ(kt::last_error(), c.message);
            EXPECT_EQ(kt::result(), "");
            EXPECT_EQ(out[0], '\0');
            EXPECT_EQ(out[1], 'x');
            continue;
        }
        ASSERT_EQ(st, KELHASH_OK) << kt::last_error();
        // A full block is its pointer's first 4096 bytes; a short block is
        // zeros whatever the host passed.
        std::string d[4];
        for (int i = 0; i < 4; ++i)
            d[i] = left[i] >= kBlock ? kt::oracle_md5_lower(p[i], kBlock) : zeros_digest();
        EXPECT_EQ(kt::result(), join(d));
        EXPECT_STREQ(out, kelhash_result());
        for (std::size_t i = 132; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;
        EXPECT_EQ(kt::last_error(), "");
    }
}

TEST(ShooterChunks, OutputBufferProtocol) {
    const Bytes image = kt::random_bytes(9000, 9);
    const std::string full = buffer_hash(image);
    std::uint64_t off[4];
    offsets_of(9000, off);
    const std::uint8_t *d = image.data();
    char out[200];
    auto call = [&](int64_t total, char *dst, uint64_t cap) {
        return kelhash_shooter_chunks(d + off[0], kBlock, nullptr, 0, d + off[2], kBlock,
                                      d + off[3], kBlock, total, nullptr, dst, cap);
    };

    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(call(9000, out, 131), KELHASH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(kt::last_error(), "output buffer too small");
    EXPECT_EQ(kt::result(), full);  // the complete hash stays readable
    EXPECT_EQ(out[0], '\0');
    for (std::size_t i = 1; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;

    // Exactly the string and its NUL are copied, however large the buffer.
    for (const uint64_t cap : {uint64_t{132}, uint64_t{sizeof out}}) {
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(call(9000, out, cap), KELHASH_OK);
        EXPECT_EQ(std::string(out), full);
        for (std::size_t i = 132; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;
    }

    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(call(9000, out, 0), KELHASH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(kt::result(), full);
    for (std::size_t i = 0; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;

    EXPECT_EQ(call(9000, nullptr, 0), KELHASH_OK);
    EXPECT_EQ(kt::result(), full);

    EXPECT_EQ(call(9000, nullptr, 132), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "null out_hex with nonzero out_cap");
    EXPECT_EQ(kt::result(), "");

    // The sign test comes before the out_hex test.
    EXPECT_EQ(call(-1, nullptr, 10), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "total_size is negative");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(call(INT64_MIN, out, 5), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "total_size is negative");
    EXPECT_EQ(kt::result(), "");
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
}

// A fallback needs room for its digits and the NUL, no more.
TEST(ShooterChunks, FallbackFitsItsOwnLength) {
    const struct {
        const char *name;
        const char *expected;
    } cases[] = {{"", kEmptyNameHash}, {"abc", kAbcHash}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t need = std::strlen(c.expected) + 1;
        char out[16];
        std::memset(out, 'x', sizeof out);
        ASSERT_EQ(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 8192,
                                         c.name, out, need),
                  KELHASH_OK);
        EXPECT_STREQ(out, c.expected);
        for (std::size_t i = need; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;

        std::memset(out, 'x', sizeof out);
        ASSERT_EQ(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 0,
                                         c.name, out, need - 1),
                  KELHASH_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(kt::last_error(), "output buffer too small");
        EXPECT_EQ(kt::result(), c.expected);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(out[1], 'x');
    }
}

// ---------------------------------------------------------------------------
// Files that cannot be hashed.

TEST(ShooterFile, OpenFailuresKeepTheEarlierResult) {
    kt::TempDir dir;
    const std::string before = kt::set_result_marker();
    EXPECT_EQ(kelhash_shooter_file(nullptr, "abc"), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "null path");
    EXPECT_EQ(kt::result(), before);

    EXPECT_EQ(kelhash_shooter_file(dir.file("missing").c_str(), "abc"), KELHASH_ERR_IO);
    EXPECT_EQ(kt::last_error(), "cannot open file");
    EXPECT_EQ(kt::result(), before);
}

#if !defined(_WIN32)

TEST(ShooterFile, FifoCannotSeek) {
    kt::TempDir dir;
    const std::string before = kt::set_result_marker();
    kt::FifoWithWriter fifo(dir, "pipe", kt::random_bytes(20000, 10));
    EXPECT_EQ(kelhash_shooter_file(fifo.path().c_str(), "abc"), KELHASH_ERR_IO);
    EXPECT_EQ(kt::last_error(), "seek failed");
    EXPECT_EQ(kt::result(), before);
    KT_EXPECT_CLOSED(fifo.path());
}

// A directory opens as a stream on Linux. What follows depends on the file
// system: the seek to its end may fail, or it reports a size (ext4 reports
// the largest offset) and then every read fails. The expected outcome is
// worked out by doing the same steps on the directory here.
TEST(ShooterFile, DirectoryIsAnError) {
    kt::TempDir dir;
    std::FILE *probe = std::fopen(dir.path().c_str(), "rb");
    if (probe == nullptr) GTEST_SKIP() << "this platform does not open directories as streams";
    const bool end_ok = fseeko(probe, 0, SEEK_END) == 0;
    const off_t size = end_ok ? ftello(probe) : -1;
    const bool block0_seek_ok = size > 8192 && fseeko(probe, 4096, SEEK_SET) == 0;
    std::fclose(probe);
    if (end_ok && size >= 0 && size <= 8192)
        GTEST_SKIP() << "the directory reports " << size << " bytes and takes the fallback";

    const std::string before = kt::set_result_marker();
    EXPECT_EQ(kelhash_shooter_file(dir.path().c_str(), "abc"), KELHASH_ERR_IO);
    const char *expected = !end_ok ? "seek failed"
                           : size < 0 ? "ftell failed"
                           : !block0_seek_ok ? "seek failed"
                                             : "read error";
    EXPECT_EQ(kt::last_error(), expected);
    EXPECT_EQ(kt::result(), before);  // block 0 failed: nothing was written
    KT_EXPECT_CLOSED(dir.path());
}

#endif

// Offsets above 4 GiB (and the one third offset above 2 GiB) need 64-bit
// arithmetic and seeks throughout. Each block holds two marker bytes at its
// ends, so a block read from a truncated offset would hash as zeros.
TEST(ShooterFile, SparseFileAboveFourGiB) {
    // MD5 of the four marked blocks, as OpenSSL gives them; the oracle
    // confirms them in every build.
    static const char *const kMarkedDigests[4] = {
        "75a7c71a7d9c4d0920eaba86892cd639", "83276db307a551c1251c7865a999e557",
        "80963b8548c875963dd368773cb4ff2d", "1a61c79b928b7cc716bacc69cc67b1d2"};
    kt::TempDir dir;
    const std::uint64_t size = (std::uint64_t{7} << 30) + 12345;
    std::uint64_t off[4];
    offsets_of(size, off);
    ASSERT_GT(off[1], std::uint64_t{1} << 32);
    ASSERT_GT(off[2], std::uint64_t{1} << 31);
    std::vector<std::pair<std::uint64_t, std::uint8_t>> marks;
    std::string d[4];
    for (int i = 0; i < 4; ++i) {
        const auto first = static_cast<std::uint8_t>(0x11 * (i + 1));
        const auto last = static_cast<std::uint8_t>(0xA0 + i);
        marks.push_back({off[i], first});
        marks.push_back({off[i] + kBlock - 1, last});
        Bytes block(kBlock, 0);
        block.front() = first;
        block.back() = last;
        d[i] = kMarkedDigests[i];
        EXPECT_EQ(kt::oracle_md5_lower(block), d[i]) << "block " << i;
    }
    const std::string path = dir.file("sparse");
    if (!kt::make_sparse_file(path, size, marks))
        GTEST_SKIP() << "the file system refuses a sparse file of " << size << " bytes";
    const std::string expected = join(d);
    EXPECT_EQ(file_hash(path), expected);

    // The same through blocks that the host read itself.
    Bytes blocks[4];
    for (int i = 0; i < 4; ++i) {
        blocks[i] = kt::read_range(path, off[i], static_cast<std::size_t>(kBlock));
        ASSERT_EQ(blocks[i].size(), kBlock);
    }
    char out[132];
    ASSERT_EQ(kelhash_shooter_chunks(blocks[0].data(), kBlock, blocks[1].data(), kBlock,
                                     blocks[2].data(), kBlock, blocks[3].data(), kBlock,
                                     static_cast<int64_t>(size), nullptr, out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_EQ(std::string(out), expected);
}

}  // namespace
