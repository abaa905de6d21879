// Internal helpers of the frame and the OpenSubtitles word reader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fingerprint/opensubtitles.h"
#include "frame/frame.h"
#include "kelhash.h"

namespace {

TEST(Hex, UpperDigestFillsExactly33Bytes) {
    std::uint8_t digest[16];
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<std::uint8_t>(i);
    std::memset(g_result, '#', sizeof g_result);
    hex_upper(digest);
    EXPECT_STREQ(g_result, "000102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(g_result[33], '#');  // the rest of the buffer is not touched

    std::memset(digest, 0xF0, sizeof digest);
    hex_upper(digest);
    EXPECT_STREQ(g_result, "F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0F0");
}

TEST(Hex, LowerSixtyFourBitValues) {
    char out[17];
    const struct {
        std::uint64_t v;
        const char *text;
    } cases[] = {
        {0, "0000000000000000"},
        {255, "00000000000000ff"},
        {0x0123456789abcdefULL, "0123456789abcdef"},
        {~std::uint64_t{0}, "ffffffffffffffff"},
    };
    for (const auto &c : cases) {
        hex_lower_u64(out, c.v);
        EXPECT_STREQ(out, c.text);
    }
    const std::uint8_t bytes[] = {0x00, 0x9a, 0xff};
    char buf[8] = "xxxxxxx";
    EXPECT_EQ(hex_lower_bytes(buf, bytes, 3), buf + 6);
    EXPECT_EQ(std::string(buf, 7), "009affx");
}

TEST(Messages, EveryFailureHasItsStatusAndFitsTheBuffer) {
    for (int i = 0; i <= static_cast<int>(Failure::output_too_small); ++i) {
        const auto f = static_cast<Failure>(i);
        const std::string text = failure_message(f);
        EXPECT_FALSE(text.empty());
        EXPECT_LT(text.size(), sizeof g_error);  // with its NUL
        EXPECT_NE(text.back(), '.');
        const std::int32_t status = failure_status(f);
        EXPECT_GE(status, 1);
        EXPECT_LE(status, 6);
        EXPECT_EQ(fail(f), status);
        EXPECT_EQ(std::string(g_error), text);
    }
    EXPECT_EQ(failure_status(Failure::read_error), KELHASH_ERR_IO);
    EXPECT_EQ(failure_status(Failure::out_of_memory), KELHASH_ERR_NO_MEMORY);
    EXPECT_EQ(failure_status(Failure::invalid_utf8), KELHASH_ERR_INVALID_UTF8);
    EXPECT_EQ(failure_status(Failure::too_small_no_name), KELHASH_ERR_TOO_SMALL);
    EXPECT_EQ(failure_status(Failure::output_too_small), KELHASH_ERR_BUFFER_TOO_SMALL);
}

// The word reader must never look past min(n, 8) bytes: each case sits at
// the very end of an array so that AddressSanitizer sees any over-read.
TEST(ReadLeU64Pad, ReadsOnlyTheBytesAvailable) {
    const std::uint8_t bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    const std::uint64_t expected[9] = {0,
                                       0x01,
                                       0x0201,
                                       0x030201,
                                       0x04030201,
                                       0x0504030201,
                                       0x060504030201,
                                       0x07060504030201,
                                       0x0807060504030201};
    for (std::uint64_t n = 1; n <= 8; ++n) {
        // The last n bytes of the array: 9-n, ..., 8 from low to high.
        std::uint64_t tail_value = 0;
        for (std::uint64_t i = 0; i < n; ++i) tail_value |= std::uint64_t{9 - n + i} << (8 * i);
        EXPECT_EQ(read_le_u64_pad(bytes + 8 - n, n), tail_value) << n;
        EXPECT_EQ(read_le_u64_pad(bytes, n), expected[n]) << n;
    }
    // More than eight available: only eight are read.
    const std::uint8_t more[12] = {0xff, 0, 0, 0, 0, 0, 0, 0x80, 0xaa, 0xbb, 0xcc, 0xdd};
    EXPECT_EQ(read_le_u64_pad(more, 12), 0x80000000000000ffULL);
}

}  // namespace
