// Shooter hash from a buffer, a file and caller-read blocks.
//
// Expected digests come from the reference layer, whose MD5 is the oracle
// (OpenSSL's, or the plain RFC 1321 MD5 where OpenSSL is missing); the
// boundary sizes list their offsets worked out by hand, so the expected
// values there do not share even the reference's offset arithmetic. What
// the file function shares with the other file functions (a null path, a
// missing file, a directory, a pipe, a file above 4 GiB) is in
// file_functions_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

using kt::Bytes;
using kref::kShooterBlock;

// The stable hashes of the fallback names "" and "abc".
constexpr const char *kEmptyNameHash = "371857150";
constexpr const char *kAbcHash = "1099313834";

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
// them: what it reads at each offset (4096 bytes for a full block, the
// bytes up to the end for a short one), or for a short block nothing at
// all, or a 4096-byte buffer of unrelated bytes.
std::string chunk_hash(const Bytes &image, const char *name = nullptr,
                       ShortBlock how = ShortBlock::exact) {
    const std::uint64_t s = image.size();
    static const Bytes junk = kref::random_bytes(kShooterBlock, 77);
    const void *p[4] = {};
    std::uint64_t n[4] = {};
    if (s > kref::kShooterThreshold) {
        const kref::ShooterOffsets off = kref::shooter_offsets(s);
        for (std::size_t i = 0; i < 4; ++i) {
            p[i] = image.data() + off[i];
            n[i] = kref::shooter_host_read(s, off[i]);
            if (kref::shooter_block_fits(s, off[i])) continue;
            if (how == ShortBlock::omitted) {
                p[i] = nullptr;
                n[i] = 0;
            } else if (how == ShortBlock::padded) {
                p[i] = junk.data();
                n[i] = kShooterBlock;
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

TEST(Shooter, ThresholdIsAboveNotAtEightKiB) {
    kt::TempDir dir;
    const Bytes at = kref::random_bytes(8192, 1);
    EXPECT_EQ(buffer_hash(at, "abc"), kAbcHash);
    EXPECT_EQ(file_hash(dir.write("at", at), "abc"), kAbcHash);
    EXPECT_EQ(chunk_hash(at, "abc"), kAbcHash);

    const Bytes above = kref::random_bytes(8193, 2);
    const std::string hashed = kref::shooter_hash(above);
    EXPECT_EQ(buffer_hash(above, "abc"), hashed);
    EXPECT_EQ(file_hash(dir.write("above", above), "abc"), hashed);
    EXPECT_EQ(chunk_hash(above, "abc"), hashed);
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
        const Bytes image = kref::random_bytes(static_cast<std::size_t>(c.size), c.size);
        kref::ShooterDigests d;
        for (std::size_t i = 0; i < 4; ++i) {
            // The reference's rule agrees with the hand-derived layout...
            EXPECT_EQ(kref::shooter_offsets(c.size)[i], c.off[i]) << "block " << i;
            EXPECT_EQ(kref::shooter_block_fits(c.size, c.off[i]), c.fit[i]) << "block " << i;
            // ...which alone gives the expected digests.
            d[i] = c.fit[i] ? kref::oracle_md5(image.data() + c.off[i], kShooterBlock)
                            : kref::shooter_zero_digest();
        }
        const std::string expected = kref::shooter_join(d);
        EXPECT_EQ(buffer_hash(image), expected);
        EXPECT_EQ(file_hash(dir.write("f", image)), expected);
        EXPECT_EQ(chunk_hash(image), expected);
    }
}

TEST(Shooter, AllZeroImageGivesFourZeroBlockDigests) {
    kt::TempDir dir;
    const Bytes zeros(20000, 0);
    const std::string z = kref::shooter_zero_digest();
    const std::string expected = z + ";" + z + ";" + z + ";" + z;
    EXPECT_EQ(buffer_hash(zeros), expected);
    EXPECT_EQ(file_hash(dir.write("zeros", zeros)), expected);
    EXPECT_EQ(chunk_hash(zeros), expected);
}

TEST(Shooter, VariantsAgreeWithReference) {
    kt::TempDir dir;
    std::vector<std::size_t> sizes = {8191, 8192, 8193, 8194};
    for (std::size_t n = 12283; n <= 12289; ++n) sizes.push_back(n);
    for (const std::size_t n : {100003u, (1u << 20) + 7u, 3000017u}) sizes.push_back(n);
    for (const std::size_t n : sizes) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes image = kref::random_bytes(n, 500 + n);
        const std::string expected = n > 8192 ? kref::shooter_hash(image) : kAbcHash;
        EXPECT_EQ(buffer_hash(image, "abc"), expected);
        EXPECT_EQ(file_hash(dir.write("f", image), "abc"), expected);
        EXPECT_EQ(chunk_hash(image, "abc"), expected);
        EXPECT_EQ(chunk_hash(image, "abc", ShortBlock::padded), expected);
    }
}

// Above the threshold the name takes no part, so a null one is fine.
TEST(Shooter, NameIsIgnoredAboveTheThreshold) {
    const Bytes image = kref::random_bytes(9000, 5);
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
        const Bytes image = kref::random_bytes(n, 900 + n);
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
    const Bytes small = kref::random_bytes(100, 6);
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
        const Bytes image = kref::random_bytes(n, 1300 + n);
        const kref::ShooterOffsets off = kref::shooter_offsets(n);
        const std::uint8_t *p[4];
        std::uint64_t len[4];
        for (std::size_t i = 0; i < 4; ++i) {
            p[i] = image.data() + off[i];
            len[i] = n - off[i];
        }
        ASSERT_EQ(kelhash_shooter_chunks(p[0], len[0], p[1], len[1], p[2], len[2], p[3], len[3],
                                         static_cast<int64_t>(n), nullptr, nullptr, 0),
                  KELHASH_OK)
            << kt::last_error();
        EXPECT_EQ(kt::result(), kref::shooter_hash(image));
    }
}

// Only block 1 can be short, and only then may the host leave it out.
TEST(ShooterChunks, BlockOneMayBeOmittedOnlyWhileShort) {
    for (const std::size_t n : {8193u, 9000u, 12283u, 12285u}) {
        SCOPED_TRACE("short at size " + std::to_string(n));
        const Bytes image = kref::random_bytes(n, 1700 + n);
        EXPECT_EQ(chunk_hash(image, nullptr, ShortBlock::omitted), kref::shooter_hash(image));
    }
    for (const std::size_t n : {12284u, 12286u, 12288u, 20000u}) {
        SCOPED_TRACE("full at size " + std::to_string(n));
        const Bytes image = kref::random_bytes(n, 1900 + n);
        const kref::ShooterOffsets off = kref::shooter_offsets(n);
        const std::uint8_t *d = image.data();
        EXPECT_EQ(kelhash_shooter_chunks(d + off[0], kShooterBlock, nullptr, 0, d + off[2],
                                         kShooterBlock, d + off[3], kShooterBlock,
                                         static_cast<int64_t>(n), nullptr, nullptr, 0),
                  KELHASH_ERR_INVALID_ARG);
        EXPECT_EQ(kt::last_error(), "shooter block needs 4096 bytes at its offset");
        EXPECT_EQ(kt::result(), "");
    }
    // Block 2 is full for every size above the threshold.
    const Bytes image = kref::random_bytes(9000, 8);
    const std::uint8_t *d = image.data();
    EXPECT_EQ(kelhash_shooter_chunks(d + 4096, kShooterBlock, nullptr, 0, nullptr, 0, d + 808,
                                     kShooterBlock, 9000, nullptr, nullptr, 0),
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
    for (int i = 0; i < 4; ++i) pool[i] = kref::random_bytes(8192, 2000 + static_cast<unsigned>(i));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const kref::ShooterOffsets off = kref::shooter_offsets(c.size);
        const std::uint8_t *p[4];
        std::uint64_t len[4];
        std::uint64_t left[4];
        for (std::size_t i = 0; i < 4; ++i) {
            left[i] = c.size - off[i];
            p[i] = pool[i].data();
            len[i] = kref::shooter_host_read(c.size, off[i]);
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
        kref::ShooterDigests d;
        for (std::size_t i = 0; i < 4; ++i)
            d[i] = kref::shooter_block_fits(c.size, off[i]) ? kref::oracle_md5(p[i], kShooterBlock)
                                                           : kref::shooter_zero_digest();
        EXPECT_EQ(kt::result(), kref::shooter_join(d));
        EXPECT_STREQ(out, kelhash_result());
        for (std::size_t i = 132; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;
        EXPECT_EQ(kt::last_error(), "");
    }
}

TEST(ShooterChunks, OutputBufferProtocol) {
    const Bytes image = kref::random_bytes(9000, 9);
    const std::string full = buffer_hash(image);
    const kref::ShooterOffsets off = kref::shooter_offsets(9000);
    const std::uint8_t *d = image.data();
    char out[200];
    auto call = [&](int64_t total, char *dst, uint64_t cap) {
        return kelhash_shooter_chunks(d + off[0], kShooterBlock, nullptr, 0, d + off[2],
                                      kShooterBlock, d + off[3], kShooterBlock, total, nullptr,
                                      dst, cap);
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

// Offsets above 4 GiB (and the one third offset above 2 GiB) need 64-bit
// arithmetic; the blocks come from anywhere, so no file is needed here.
// Four distinct blocks, so a block taken for another would show.
TEST(ShooterChunks, SizeAboveFourGiB) {
    const std::uint64_t size = (std::uint64_t{7} << 30) + 12345;
    const kref::ShooterOffsets off = kref::shooter_offsets(size);
    ASSERT_GT(off[1], std::uint64_t{1} << 32);
    ASSERT_GT(off[2], std::uint64_t{1} << 31);
    Bytes blocks[4];
    for (std::size_t i = 0; i < 4; ++i) blocks[i] = kref::random_bytes(kShooterBlock, 60 + i);
    const std::string expected = kref::shooter_hash(size, [&](std::uint64_t at) {
        for (std::size_t i = 0; i < 4; ++i)
            if (off[i] == at) return blocks[i];
        return Bytes();
    });
    char out[132];
    ASSERT_EQ(kelhash_shooter_chunks(blocks[0].data(), kShooterBlock, blocks[1].data(),
                                     kShooterBlock, blocks[2].data(), kShooterBlock,
                                     blocks[3].data(), kShooterBlock, static_cast<int64_t>(size),
                                     nullptr, out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_EQ(std::string(out), expected);
}

}  // namespace
