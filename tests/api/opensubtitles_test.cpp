// OpenSubtitles hash from a buffer, a file and caller-read head and tail.
// What the file function shares with the other file functions (a null
// path, a missing file, a directory, a pipe, a file above 4 GiB) is in
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

std::string buffer_hash(const Bytes &b) {
    EXPECT_EQ(kelhash_opensubtitles_buffer(b.data(), b.size()), KELHASH_OK);
    return kt::result();
}

std::string file_hash(const std::string &path) {
    EXPECT_EQ(kelhash_opensubtitles_file(path.c_str()), KELHASH_OK) << kt::last_error();
    return kt::result();
}

// Head and tail handed over as exactly-sized copies of the image's ends.
std::string chunk_hash(const Bytes &b) {
    const auto m = static_cast<std::size_t>(kref::opensubtitles_range(b.size()));
    const Bytes head(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(m));
    const Bytes tail(b.end() - static_cast<std::ptrdiff_t>(m), b.end());
    char out[17];
    EXPECT_EQ(kelhash_opensubtitles_chunks(head.data(), head.size(), tail.data(), tail.size(),
                                           static_cast<int64_t>(b.size()), out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_STREQ(out, kelhash_result());
    return out;
}

Bytes text(const char *s) { return Bytes(s, s + std::strlen(s)); }

struct KnownCase {
    const char *what;
    Bytes image;
    const char *expected;
};

std::vector<KnownCase> known_cases() {
    Bytes first_one(65537, 0);
    first_one.front() = 1;
    Bytes last_one(65537, 0);
    last_one.back() = 1;
    return {
        {"empty", {}, "0000000000000000"},
        {"a", text("a"), "00000000000000c3"},
        {"abcdefgh", text("abcdefgh"), "d0cecccac8c6c4ca"},
        {"abcdefghi", text("abcdefghi"), "d0cecccac8c6c59d"},
        {"eight 0xff wrap", Bytes(8, 0xFF), "0000000000000006"},
        {"65536 zeros", Bytes(65536, 0), "0000000000010000"},
        {"65537 first byte one", first_one, "0000000000010002"},
        {"65537 last byte one", last_one, "0100000000010001"},
    };
}

TEST(OpenSubtitles, KnownResultsForBufferFileAndChunks) {
    kt::TempDir dir;
    for (const auto &c : known_cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(buffer_hash(c.image), c.expected);
        EXPECT_EQ(file_hash(dir.write("f", c.image)), c.expected);
        EXPECT_EQ(chunk_hash(c.image), c.expected);
        EXPECT_EQ(kt::last_error(), "");
    }
}

TEST(OpenSubtitles, VariantsAgreeWithReferenceAroundEveryBoundary) {
    kt::TempDir dir;
    std::vector<std::size_t> sizes = {0,     1,      7,      8,      9,      15,    16,
                                      17,    65535,  65536,  65537,  65543,  131071,
                                      131072, 131073, 131079, 1000003};
    std::uint64_t seed = 1;
    for (std::size_t s = 0; s < 6; ++s) sizes.push_back(kref::random_bytes(4, seed++)[0] * 1031u + 3);
    for (const std::size_t n : sizes) {
        SCOPED_TRACE("size " + std::to_string(n));
        const Bytes image = kref::random_bytes(n, 1000 + n);
        const std::string expected = kref::opensubtitles(image);
        EXPECT_EQ(buffer_hash(image), expected);
        EXPECT_EQ(file_hash(dir.write("f", image)), expected);
        EXPECT_EQ(chunk_hash(image), expected);
    }
}

TEST(OpenSubtitles, BufferEdgeArguments) {
    EXPECT_EQ(kelhash_opensubtitles_buffer(nullptr, 0), KELHASH_OK);
    EXPECT_EQ(kt::result(), "0000000000000000");

    const std::string before = kt::set_result_marker();
    EXPECT_EQ(kelhash_opensubtitles_buffer(nullptr, 1), KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(kt::last_error(), "null data with nonzero len");
    EXPECT_EQ(kt::result(), before);

    // The next success clears the message.
    const std::uint8_t a = 'a';
    EXPECT_EQ(kelhash_opensubtitles_buffer(&a, 1), KELHASH_OK);
    EXPECT_EQ(kt::last_error(), "");
}

// A size above 4 GiB needs 64 bits in the size term and in the tail's
// position; the ranges come from anywhere, so no file is needed here.
TEST(OpenSubtitlesChunks, SizeAboveFourGiB) {
    const std::uint64_t size = (std::uint64_t{1} << 32) + 12345;  // not a multiple of 8
    const Bytes head = kref::random_bytes(65536, 41);
    const Bytes tail = kref::random_bytes(65536, 42);
    char out[17];
    ASSERT_EQ(kelhash_opensubtitles_chunks(head.data(), head.size(), tail.data(), tail.size(),
                                           static_cast<int64_t>(size), out, sizeof out),
              KELHASH_OK)
        << kt::last_error();
    EXPECT_STREQ(out, kref::opensubtitles(size, head, tail).c_str());
}

TEST(OpenSubtitlesChunks, ValidationTable) {
    const std::uint8_t byte = 'a';
    const Bytes nine = text("abcdefghi");
    struct Case {
        const char *what;
        const void *head;
        uint64_t head_len;
        const void *tail;
        uint64_t tail_len;
        int64_t total;
        bool out_null;
        uint64_t cap;
        int32_t status;
        const char *message;
    };
    const Case cases[] = {
        {"negative size beats out_hex", &byte, 1, &byte, 1, -1, true, 5, 3, "total_size is negative"},
        {"top bit set", &byte, 1, &byte, 1, INT64_MIN, false, 5, 3, "total_size is negative"},
        {"null out_hex nonzero cap", nine.data(), 9, nine.data(), 9, 9, true, 5, 3,
         "null out_hex with nonzero out_cap"},
        {"head too short", &byte, 0, &byte, 1, 1, false, 17, 3,
         "head and tail must each hold min(total_size, 65536) bytes"},
        {"length test before null test", nullptr, 0, &byte, 1, 1, false, 17, 3,
         "head and tail must each hold min(total_size, 65536) bytes"},
        {"tail too short", nine.data(), 9, nine.data(), 8, 9, false, 17, 3,
         "head and tail must each hold min(total_size, 65536) bytes"},
        {"null head", nullptr, 1, &byte, 1, 1, false, 17, 3, "null chunk"},
        {"null tail", &byte, 1, nullptr, 1, 1, false, 17, 3, "null chunk"},
        {"empty with nulls", nullptr, 0, nullptr, 0, 0, false, 17, 0, ""},
        {"empty with nulls and lengths", nullptr, 7, nullptr, 9, 0, false, 17, 0, ""},
        {"cap 16", nine.data(), 9, nine.data(), 9, 9, false, 16, 6, "output buffer too small"},
        {"cap 17", nine.data(), 9, nine.data(), 9, 9, false, 17, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        char out[32];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(kelhash_opensubtitles_chunks(c.head, c.head_len, c.tail, c.tail_len, c.total,
                                               c.out_null ? nullptr : out, c.cap),
                  c.status);
        EXPECT_EQ(kt::last_error(), c.message);
        if (c.status == KELHASH_ERR_INVALID_ARG) {
            EXPECT_EQ(kt::result(), "");
        }
        if (!c.out_null && c.status != KELHASH_OK) {
            EXPECT_EQ(out[0], '\0');
        }
        if (c.status == KELHASH_OK) {
            EXPECT_STREQ(out, kelhash_result());
        }
        // Nothing beyond the copy (or the cleared first byte) is written.
        const std::size_t written = c.status == KELHASH_OK ? std::strlen(out) + 1 : 1;
        for (std::size_t i = written; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x') << i;
    }
}

TEST(OpenSubtitlesChunks, OutputBufferProtocol) {
    const Bytes nine = text("abcdefghi");
    Bytes tail = text("xyz");
    tail.insert(tail.end(), nine.begin(), nine.end());  // three other bytes, then the file
    char out[40];

    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(kelhash_opensubtitles_chunks(nine.data(), 9, tail.data(), tail.size(), 9, out, 17),
              KELHASH_OK);
    EXPECT_STREQ(out, "d0cecccac8c6c59d");
    EXPECT_EQ(kt::result(), "d0cecccac8c6c59d");
    for (std::size_t i = 17; i < sizeof out; ++i) ASSERT_EQ(out[i], 'x');

    // Too small: the complete hash stays readable, the buffer holds "".
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(kelhash_opensubtitles_chunks(nine.data(), 9, tail.data(), tail.size(), 9, out, 16),
              KELHASH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(kt::result(), "d0cecccac8c6c59d");

    // A buffer of capacity 0 is not written at all.
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(kelhash_opensubtitles_chunks(nine.data(), 9, tail.data(), tail.size(), 9, out, 0),
              KELHASH_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(kt::result(), "d0cecccac8c6c59d");

    // No buffer: the result is in the library's buffer only.
    ASSERT_EQ(kelhash_opensubtitles_chunks(nine.data(), 9, nine.data(), 9, 9, nullptr, 0),
              KELHASH_OK);
    EXPECT_EQ(kt::result(), "d0cecccac8c6c59d");

    // A negative size with a valid buffer leaves "" in it.
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(kelhash_opensubtitles_chunks(nine.data(), 9, nine.data(), 9, -5, out, 5),
              KELHASH_ERR_INVALID_ARG);
    EXPECT_EQ(out[0], '\0');
}

TEST(OpenSubtitlesChunks, BuffersAreTakenOnTrust) {
    const Bytes az = text("az"), za = text("za"), a = text("a"), b = text("b");
    ASSERT_EQ(kelhash_opensubtitles_chunks(az.data(), 2, za.data(), 2, 1, nullptr, 0), KELHASH_OK);
    EXPECT_EQ(kt::result(), "00000000000000c3");  // same as the one-byte file "a"
    ASSERT_EQ(kelhash_opensubtitles_chunks(a.data(), 1, b.data(), 1, 1, nullptr, 0), KELHASH_OK);
    EXPECT_EQ(kt::result(), "00000000000000c4");  // head and tail are not compared

    // A tail buffer holding the whole 65537-byte file gives the same hash.
    Bytes image(65537, 0);
    image.back() = 1;
    ASSERT_EQ(kelhash_opensubtitles_chunks(image.data(), image.size(), image.data(), image.size(),
                                           65537, nullptr, 0),
              KELHASH_OK);
    EXPECT_EQ(kt::result(), "0100000000010001");
}

}  // namespace
