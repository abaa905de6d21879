// The exported MD5 digests of a buffer and of a file: uppercase text, the
// argument failures with what they leave behind, and files read as plain
// streams around the 64 KiB read size. What the file function shares with
// the other file functions (a null path, a missing file, a directory, a
// pipe) is in file_functions_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

using kt::Bytes;

const char kEmptyDigest[] = "D41D8CD98F00B204E9800998ECF8427E";

std::string buffer_md5(const void *data, std::size_t n) {
    EXPECT_EQ(kelhash_md5_buffer(data, n), KELHASH_OK) << kt::last_error();
    EXPECT_EQ(kt::last_error(), "");
    return kt::result();
}

std::string buffer_md5(const Bytes &b) { return buffer_md5(b.data(), b.size()); }

std::string file_md5(const std::string &path) {
    EXPECT_EQ(kelhash_md5_file(path.c_str()), KELHASH_OK) << kt::last_error();
    EXPECT_EQ(kt::last_error(), "");
    return kt::result();
}

bool is_upper_hex32(const std::string &s) {
    return s.size() == 32 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// RFC 1321's test suite through the exported function, in uppercase.
TEST(Md5Buffer, RfcDigestsInUppercase) {
    const struct {
        const char *message;
        const char *digest;
    } cases[] = {
        {"", kEmptyDigest},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        const std::string got = buffer_md5(c.message, std::strlen(c.message));
        EXPECT_EQ(got, c.digest);
        EXPECT_TRUE(is_upper_hex32(got)) << got;
    }
}

TEST(Md5Buffer, NullData) {
    // Null with nothing to read is the empty message.
    EXPECT_EQ(buffer_md5(nullptr, 0), kEmptyDigest);

    const std::string before = kt::set_result_marker();
    for (const std::uint64_t len : {std::uint64_t{1}, std::uint64_t{64}, ~std::uint64_t{0}}) {
        SCOPED_TRACE("len " + std::to_string(len));
        EXPECT_EQ(kelhash_md5_buffer(nullptr, len), KELHASH_ERR_INVALID_ARG);
        EXPECT_EQ(kt::last_error(), "null data with nonzero len");
        EXPECT_EQ(kt::result(), before);
    }

    // The next success clears the message.
    EXPECT_EQ(buffer_md5("abc", 3), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5Buffer, RandomBuffersAgreeWithOracle) {
    for (const std::size_t n : {1u, 55u, 56u, 64u, 1000u, 65536u, 1000003u}) {
        SCOPED_TRACE("length " + std::to_string(n));
        const Bytes b = kref::random_bytes(n, 77 + n);
        EXPECT_EQ(buffer_md5(b), kref::to_upper(kref::oracle_md5(b)));
    }
}

// Sizes around the 65536-byte read size: nothing, a single byte, one short
// of a full read, exactly one, one past, and several reads with a ragged end.
TEST(Md5File, SizesAroundTheReadSizeMatchBufferAndOracle) {
    kt::TempDir dir;
    for (const std::size_t n :
         {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
          std::size_t{65537}, std::size_t{3 * 65536 + 5}}) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes content = kref::random_bytes(n, 9000 + n);
        const std::string expected = kref::to_upper(kref::oracle_md5(content));
        EXPECT_EQ(file_md5(dir.write("f" + std::to_string(n), content)), expected);
        EXPECT_EQ(buffer_md5(content), expected);
    }
    EXPECT_EQ(file_md5(dir.write("empty", {})), kEmptyDigest);
}

}  // namespace
