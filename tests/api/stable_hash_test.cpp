// The exported stable string hash: known values (including the three texts
// whose folded value is 0 or the maximum), agreement with the reference
// layer's model on random texts, the argument and UTF-8 failures, what each
// outcome leaves in the library's buffers, and a real allocation failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

using Units = std::vector<std::uint16_t>;

struct Known {
    const char *text;
    std::vector<std::uint32_t> code_points;
    std::int64_t h;  // before folding
    std::int32_t value;
};

std::vector<std::uint32_t> ascii(const char *s) {
    std::vector<std::uint32_t> cps;
    for (; *s; ++s) cps.push_back(static_cast<unsigned char>(*s));
    return cps;
}

const std::vector<Known> &known() {
    static const std::vector<Known> cases = {
        {"", {}, 371857150, 371857150},
        {"a", ascii("a"), 372029373, 372029373},
        {"abc", ascii("abc"), 1099313834, 1099313834},
        {"abcd", ascii("abcd"), -1664220650, 1664220650},
        {"\xC3\xA9", {0xE9}, 372029253, 372029253},
        {"\xE2\x82\xAC", {0x20AC}, 372020994, 372020994},
        {"\xF0\x9F\x98\x80", {0x1F600}, 1126268081, 1126268081},
        {"caf\xC3\xA9", {'c', 'a', 'f', 0xE9}, -1758328799, 1758328799},
        {"movie.avi", ascii("movie.avi"), -1654360774, 1654360774},
        {"paiafiam", ascii("paiafiam"), -2147483648LL, 0},  // no positive twin: 0
        {"lavhlklj", ascii("lavhlklj"), 0, 0},
        {"paiafifm", ascii("paiafifm"), -2147483647, 2147483647},
    };
    return cases;
}

// Each known text through the library; and the reference reproduces the
// same rows, down to the value before folding, before it is trusted with
// the random texts below.
TEST(StableHash, KnownValues) {
    for (const auto &c : known()) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        std::int32_t out = -7;
        EXPECT_EQ(kelhash_stable_utf8(c.text, &out), KELHASH_OK) << kt::last_error();
        EXPECT_EQ(out, c.value);
        EXPECT_EQ(kt::last_error(), "");

        EXPECT_EQ(kref::encode_utf8(c.code_points), c.text);
        const Units units = kref::utf16(c.code_points);
        EXPECT_EQ(kref::stable_hash_unfolded(units), c.h);
        EXPECT_EQ(kref::stable_hash(units), c.value);
    }
}

// Random well-formed texts of every length from 0 up, odd and even unit
// counts alike, and pairs landing in either lane.
TEST(StableHash, AgreesWithReferenceOnRandomTexts) {
    std::mt19937_64 rng(777);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = round < 64 ? static_cast<std::size_t>(round % 16)
                                              : static_cast<std::size_t>(rng() % 48);
        std::vector<std::uint32_t> cps(length);
        for (auto &cp : cps) cp = kref::random_code_point(rng);
        const std::string text = kref::encode_utf8(cps);
        std::int32_t out = -7;
        ASSERT_EQ(kelhash_stable_utf8(text.c_str(), &out), KELHASH_OK) << kt::last_error();
        ASSERT_EQ(out, kref::stable_hash(cps)) << "round " << round << ", " << cps.size()
                                             << " code points";
    }
}

TEST(StableHash, AgreesWithReferenceOnALongText) {
    std::mt19937_64 rng(31337);
    std::vector<std::uint32_t> cps(300000);
    for (auto &cp : cps) cp = kref::random_code_point(rng);
    std::int32_t out = -7;
    ASSERT_EQ(kelhash_stable_utf8(kref::encode_utf8(cps).c_str(), &out), KELHASH_OK);
    EXPECT_EQ(out, kref::stable_hash(cps));
}

// ---------------------------------------------------------------------------
// Failures, and what every outcome leaves in the two buffers.

TEST(StableHash, NullArguments) {
    const std::string before = kt::set_result_marker();
    std::int32_t out = 12345;
    const struct {
        const char *what;
        const char *text;
        std::int32_t *out;
    } cases[] = {
        {"null text", nullptr, &out},
        {"null out", "abc", nullptr},
        {"null out with an invalid text", "\x80", nullptr},
        {"both null", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kelhash_stable_utf8(c.text, c.out), KELHASH_ERR_INVALID_ARG);
        EXPECT_EQ(kt::last_error(), "null argument");
        EXPECT_EQ(out, 12345);
        EXPECT_EQ(kt::result(), before);
    }
}

TEST(StableHash, InvalidUtf8) {
    const struct {
        const char *what;
        const char *text;
    } cases[] = {
        {"lone continuation", "\x80"},
        {"continuation after a letter", "a\x80" "b"},
        {"overlong C0 80", "\xC0\x80"},
        {"overlong C0 AF", "\xC0\xAF"},
        {"overlong C1 80", "\xC1\x80"},
        {"overlong three bytes", "\xE0\x80\xAF"},
        {"overlong four bytes", "\xF0\x8F\xBF\xBF"},
        {"surrogate ED A0 80", "\xED\xA0\x80"},
        {"surrogate ED BF BF", "\xED\xBF\xBF"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},
        {"two-byte cut short", "\xC3"},
        {"three-byte cut short", "\xE2\x82"},
        {"four-byte cut short", "\xF0\x9F\x98"},
        {"cut short in the middle", "ab\xE2\x82" "c"},
        {"lead F5", "\xF5\x80\x80\x80"},
        {"lead F7", "\xF7\xBF\xBF\xBF"},
        {"lead F8", "\xF8\x88\x80\x80\x80"},
        {"lead FC", "\xFC\x84\x80\x80\x80\x80"},
        {"lead FE", "\xFE"},
        {"lead FF", "\xFF"},
        {"valid text, then a bad byte", "movie.avi\xFF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = kt::set_result_marker();
        std::int32_t out = 12345;
        EXPECT_EQ(kelhash_stable_utf8(c.text, &out), KELHASH_ERR_INVALID_UTF8);
        EXPECT_EQ(kt::last_error(), "invalid UTF-8");
        EXPECT_EQ(out, 12345);
        EXPECT_EQ(kt::result(), before);
    }
}

TEST(StableHash, SuccessLeavesTheResultAndClearsTheError) {
    const std::string before = kt::set_result_marker();
    std::int32_t out = 0;
    ASSERT_EQ(kelhash_stable_utf8("\xFF", &out), KELHASH_ERR_INVALID_UTF8);
    ASSERT_EQ(kt::last_error(), "invalid UTF-8");
    for (const char *text : {"abc", ""}) {
        EXPECT_EQ(kelhash_stable_utf8(text, &out), KELHASH_OK);
        EXPECT_EQ(kt::last_error(), "");
        EXPECT_EQ(kt::result(), before);
    }
    EXPECT_EQ(out, 371857150);
}

// ---------------------------------------------------------------------------
// A real allocation failure. A forked child builds a 64 MiB text of 'a',
// hashes it once to show that it works, then caps its own address space a
// little above what it already uses, so that the 128 MiB unit array cannot
// be mapped any more while small allocations still succeed.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KT_SANITIZER_OWNS_ADDRESS_SPACE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KT_SANITIZER_OWNS_ADDRESS_SPACE 1
#endif
#endif

#if !defined(_WIN32) && !defined(KT_SANITIZER_OWNS_ADDRESS_SPACE)

struct OomReport {
    int skip_reason;  // 0: ran
    std::int32_t unlimited_status;
    std::int32_t limited_status;
    std::int32_t limited_out;
    int result_kept;
    char message[64];
    std::int32_t small_status;
    std::int32_t small_out;
    char small_message[64];
    unsigned long long usage;
    unsigned long long limit;
};

enum { kRan = 0, kNoTextMemory = 1, kNoUsage = 2, kLimitRefused = 3, kNoMarker = 4,
       kLimitIgnored = 5 };

constexpr std::size_t kTextBytes = std::size_t{64} << 20;
constexpr std::size_t kHeadroom = std::size_t{24} << 20;  // far below the 128 MiB array
constexpr std::int32_t kUntouched = 0x5A5A5A5A;

void copy_message(char (&dst)[64]) {
    std::strncpy(dst, kelhash_last_error(), sizeof dst - 1);
    dst[sizeof dst - 1] = '\0';
}

[[noreturn]] void report_and_exit(int fd, OomReport &r, int reason) {
    r.skip_reason = reason;
    const char *p = reinterpret_cast<const char *>(&r);
    std::size_t left = sizeof r;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

// Runs in the child; reports through the pipe and never returns to the
// test framework.
[[noreturn]] void oom_child(int fd) {
    OomReport r{};
    auto finish = [&](int reason) { report_and_exit(fd, r, reason); };

    char *text = static_cast<char *>(std::malloc(kTextBytes + 1));
    if (text == nullptr) finish(kNoTextMemory);
    std::memset(text, 'a', kTextBytes);
    text[kTextBytes] = '\0';

    std::int32_t out = kUntouched;
    r.unlimited_status = kelhash_stable_utf8(text, &out);

    static const char kMarker[] = "marker";
    if (kelhash_md5_buffer(kMarker, 6) != KELHASH_OK) finish(kNoMarker);
    char marker[64];
    std::strncpy(marker, kelhash_result(), sizeof marker - 1);
    marker[sizeof marker - 1] = '\0';

    // Pages of address space in use now: the first field of statm.
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    unsigned long long pages = 0;
    const bool have_usage = statm != nullptr && std::fscanf(statm, "%llu", &pages) == 1;
    if (statm != nullptr) std::fclose(statm);
    if (!have_usage) finish(kNoUsage);
    r.usage = pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    r.limit = r.usage + kHeadroom;

    rlimit lim{};
    if (::getrlimit(RLIMIT_AS, &lim) != 0) finish(kLimitRefused);
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < r.limit) finish(kLimitRefused);
    lim.rlim_cur = static_cast<rlim_t>(r.limit);
    if (::setrlimit(RLIMIT_AS, &lim) != 0) finish(kLimitRefused);
    // A user-mode emulator (qemu-user) accepts the limit but does not apply
    // it to the emulated program: twice the headroom must not be had.
    // Called through a volatile pointer: a compiler may drop a malloc whose
    // block is only freed again (clang does at -O2), and then the limit
    // would look ignored.
    void *(*volatile allocate)(std::size_t) = std::malloc;
    void *probe = allocate(2 * kHeadroom);
    if (probe != nullptr) {
        std::free(probe);
        finish(kLimitIgnored);
    }

    out = kUntouched;
    r.limited_status = kelhash_stable_utf8(text, &out);
    r.limited_out = out;
    copy_message(r.message);
    r.result_kept = std::strcmp(kelhash_result(), marker) == 0;

    // Under the same limit a short text still hashes, and clears the message.
    out = kUntouched;
    r.small_status = kelhash_stable_utf8("abc", &out);
    r.small_out = out;
    copy_message(r.small_message);
    report_and_exit(fd, r, kRan);
}

#endif

#if !defined(_WIN32)

TEST(StableHash, AllocationFailureIsOom) {
    if (kt::under_valgrind()) {
        GTEST_SKIP() << "Valgrind replaces the allocator and manages the address space "
                        "itself, so RLIMIT_AS cannot make just the unit array fail";
    }
#if defined(KT_SANITIZER_OWNS_ADDRESS_SPACE)
    GTEST_SKIP() << "the sanitizer runtime reserves terabytes of shadow address space, so "
                    "RLIMIT_AS cannot make just the unit array fail";
#else
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        oom_child(fds[1]);
    }
    ::close(fds[1]);
    OomReport r{};
    char *p = reinterpret_cast<char *>(&r);
    std::size_t got = 0;
    while (got < sizeof r) {
        const ssize_t n = ::read(fds[0], p + got, sizeof r - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fds[0]);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "child died: " << wstatus;
    ASSERT_EQ(got, sizeof r) << "child sent no report";

    switch (r.skip_reason) {
        case kNoTextMemory: GTEST_SKIP() << "cannot allocate the 64 MiB text";
        case kNoUsage: GTEST_SKIP() << "no /proc/self/statm to measure the address space";
        case kLimitRefused: GTEST_SKIP() << "setrlimit(RLIMIT_AS) refused";
        case kLimitIgnored: GTEST_SKIP() << "RLIMIT_AS is not enforced here (an emulator?)";
        case kNoMarker: FAIL() << "md5 of the marker failed";
        default: break;
    }
    RecordProperty("address_space_in_use", std::to_string(r.usage));
    RecordProperty("rlimit_as", std::to_string(r.limit));

    // Without the limit the same text hashes.
    EXPECT_EQ(r.unlimited_status, KELHASH_OK);
    // With it the 128 MiB array cannot be had.
    EXPECT_EQ(r.limited_status, KELHASH_ERR_NO_MEMORY)
        << "usage " << r.usage << ", limit " << r.limit;
    EXPECT_STREQ(r.message, "oom");
    EXPECT_EQ(r.limited_out, kUntouched);
    EXPECT_TRUE(r.result_kept);
    // The limit left room for ordinary work.
    EXPECT_EQ(r.small_status, KELHASH_OK);
    EXPECT_EQ(r.small_out, 1099313834);
    EXPECT_STREQ(r.small_message, "");
#endif
}

#endif  // !_WIN32

}  // namespace
