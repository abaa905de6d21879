// Soak: millions of mixed calls through all eleven functions, valid and
// invalid, on buffers and on real files (good, missing, a directory), with
// the process's open descriptors and resident memory read before and after.
// A stream left open on some failure path, or a temporary array that a path
// forgets to free, shows up here as growth long before a host notices it.
//
// Every call's status, message and result must also be the same in every
// round as in the first, and the first round's results agree across the
// buffer, file and chunk variants.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#include <unistd.h>
#endif

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

// AddressSanitizer keeps freed blocks in quarantine, so the resident set
// grows there without a leak; its leak checker covers that build instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerHoldsFreedMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerHoldsFreedMemory = true;
#else
constexpr bool kSanitizerHoldsFreedMemory = false;
#endif
#else
constexpr bool kSanitizerHoldsFreedMemory = false;
#endif

// The rounds to run: KELHASH_SOAK_ROUNDS overrides, and reduced runs (under
// Valgrind) take a hundredth.
int rounds() {
    if (const char *s = std::getenv("KELHASH_SOAK_ROUNDS")) return std::atoi(s);
    return kt::reduced() ? 30 : 3000;
}

#if defined(__linux__)
// Open descriptors of this process.
long open_descriptors() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    long n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

// Resident set size in bytes.
long resident_bytes() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    long size = 0;
    long resident = -1;
    if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
    std::fclose(f);
    return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}
#else
long open_descriptors() { return -1; }
long resident_bytes() { return -1; }
#endif

// One call's observable outcome.
struct Outcome {
    std::int32_t status;
    std::string error;
    std::string result;
    bool operator==(const Outcome &o) const {
        return status == o.status && error == o.error && result == o.result;
    }
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        big_ = kref::random_bytes(100000, 1);
        small_ = kref::random_bytes(5000, 2);
        big_path_ = dir_.write("big.bin", big_);
        small_path_ = dir_.write("small.bin", small_);
        missing_path_ = dir_.file("missing.bin");
    }

    // One round: every function, on good and bad input, in a fixed order.
    // Returns the outcomes in that order.
    std::vector<Outcome> round() {
        std::vector<Outcome> out;
        auto record = [&out](std::int32_t st) {
            out.push_back({st, kelhash_last_error(), kelhash_result()});
        };
        const std::uint8_t *big = big_.data();
        const auto big_len = static_cast<std::uint64_t>(big_.size());
        const auto small_len = static_cast<std::uint64_t>(small_.size());
        const std::uint64_t m = 65536;
        const std::uint64_t s = big_len;
        char hex[256];
        static const char *const names[4] = {"a.mkv", "Der Film (2019).mkv", "\xC3\xA9t\xC3\xA9.avi",
                                             "no\xFFpe"};

        // The buffer functions, many times per round: they are the cheap ones.
        for (std::uint64_t len = 0; len < 600; len += 3) {
            record(kelhash_md5_buffer(big + len, len));
            record(kelhash_opensubtitles_buffer(big + len, len));
            record(kelhash_shooter_buffer(big, len, "movie.avi"));
            std::int32_t v = -1;
            const std::int32_t st = kelhash_stable_utf8(names[len % 4], &v);
            out.push_back({st, kelhash_last_error(), std::to_string(v)});
        }
        record(kelhash_shooter_buffer(big, 8193, nullptr));
        record(kelhash_md5_buffer(nullptr, 1));
        record(kelhash_opensubtitles_buffer(nullptr, 3));
        record(kelhash_shooter_buffer(nullptr, 9000, "x"));
        record(kelhash_shooter_buffer(small_.data(), small_len, nullptr));
        record(kelhash_shooter_buffer(small_.data(), small_len, "bad\xC0\x80"));
        record(kelhash_md5_buffer(big, big_len));
        record(kelhash_opensubtitles_buffer(big, big_len));
        record(kelhash_shooter_buffer(big, big_len, nullptr));

        // The chunk functions, valid and each kind of invalid.
        record(kelhash_opensubtitles_chunks(big, m, big + (s - m), m,
                                            static_cast<std::int64_t>(s), hex, sizeof hex));
        record(kelhash_opensubtitles_chunks(big, m, big + (s - m), m, -1, hex, sizeof hex));
        record(kelhash_opensubtitles_chunks(big, 10, big, 10, static_cast<std::int64_t>(s),
                                            hex, sizeof hex));
        record(kelhash_opensubtitles_chunks(nullptr, m, nullptr, m,
                                            static_cast<std::int64_t>(s), hex, sizeof hex));
        record(kelhash_opensubtitles_chunks(big, m, big + (s - m), m,
                                            static_cast<std::int64_t>(s), hex, 16));
        record(kelhash_opensubtitles_chunks(big, m, big, m, 10, nullptr, 5));
        const kref::ShooterOffsets offs = kref::shooter_offsets(s);
        record(kelhash_shooter_chunks(big + offs[0], 4096, big + offs[1], 4096, big + offs[2],
                                      4096, big + offs[3], 4096, static_cast<std::int64_t>(s),
                                      nullptr, hex, sizeof hex));
        record(kelhash_shooter_chunks(big + offs[0], 4096, big + offs[1], 4096, big + offs[2],
                                      4096, big + offs[3], 4096, static_cast<std::int64_t>(s),
                                      nullptr, hex, 131));
        record(kelhash_shooter_chunks(big, 10, big, 4096, big, 4096, big, 4096,
                                      static_cast<std::int64_t>(s), nullptr, hex, sizeof hex));
        record(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 100,
                                      "name", hex, sizeof hex));
        record(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 100,
                                      "\xFF", hex, sizeof hex));
        record(kelhash_shooter_chunks(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 100,
                                      nullptr, hex, sizeof hex));

        // The stable hash, which allocates, on good, bad and null text.
        for (const char *text : {"", "movie.avi", "\xE2\x82\xAC\xF0\x9F\x8E\xAC long name",
                                 "\xED\xA0\x80", "abc\xFF", static_cast<const char *>(nullptr)}) {
            std::int32_t v = -1;
            const std::int32_t st = kelhash_stable_utf8(text, &v);
            out.push_back({st, kelhash_last_error(), std::to_string(v)});
        }

        // The file functions on a good file, a small one, a missing one, a
        // directory and a null path.
        const std::string *const paths[] = {&big_path_, &small_path_, &missing_path_, &dir_.path()};
        for (const std::string *p : paths) {
            record(kelhash_md5_file(p->c_str()));
            record(kelhash_opensubtitles_file(p->c_str()));
            record(kelhash_shooter_file(p->c_str(), "movie.avi"));
            record(kelhash_shooter_file(p->c_str(), nullptr));
        }
        record(kelhash_md5_file(nullptr));
        record(kelhash_opensubtitles_file(nullptr));
        record(kelhash_shooter_file(nullptr, "x"));

        // The accessors return their fixed addresses.
        out.push_back({kelhash_result() == result_addr_ && kelhash_last_error() == error_addr_,
                       "", ""});
        return out;
    }

    kt::TempDir dir_;
    kt::Bytes big_, small_;
    std::string big_path_, small_path_, missing_path_;
    const char *result_addr_ = kelhash_result();
    const char *error_addr_ = kelhash_last_error();
};

TEST_F(Soak, MixedCallsLeaveDescriptorsAndMemoryFlat) {
    const std::vector<Outcome> first = round();

    // The first round's variants agree with each other and with the oracle.
    ASSERT_EQ(kelhash_md5_file(big_path_.c_str()), KELHASH_OK);
    EXPECT_EQ(kt::result(), kref::to_upper(kref::oracle_md5(big_)));
    ASSERT_EQ(kelhash_opensubtitles_file(big_path_.c_str()), KELHASH_OK);
    EXPECT_EQ(kt::result(), kref::opensubtitles(big_));
    const std::string shooter_file = (kelhash_shooter_file(big_path_.c_str(), nullptr), kt::result());
    ASSERT_EQ(kelhash_shooter_buffer(big_.data(), big_.size(), nullptr), KELHASH_OK);
    EXPECT_EQ(kt::result(), shooter_file);
    // Failing files fail as they should.
    ASSERT_EQ(kelhash_md5_file(missing_path_.c_str()), KELHASH_ERR_IO);
    EXPECT_EQ(kt::last_error(), "cannot open file");
    ASSERT_EQ(kelhash_md5_file(dir_.path().c_str()), KELHASH_ERR_IO);

    // A few more rounds settle the allocator and stdio before measuring.
    for (int i = 0; i < 3; ++i) round();
    const long fds_before = open_descriptors();
    const long rss_before = resident_bytes();

    const int n = rounds();
    std::uint64_t calls = 0;
    for (int i = 0; i < n; ++i) {
        const std::vector<Outcome> again = round();
        calls += again.size();
        ASSERT_EQ(again.size(), first.size());
        for (std::size_t k = 0; k < first.size(); ++k) {
            ASSERT_TRUE(again[k] == first[k])
                << "call " << k << " of round " << i << " differs: status " << again[k].status
                << " \"" << again[k].error << "\" \"" << again[k].result << "\", first round: "
                << first[k].status << " \"" << first[k].error << "\" \"" << first[k].result
                << "\"";
        }
    }

    const long fds_after = open_descriptors();
    const long rss_after = resident_bytes();
    std::printf("soak: %d rounds, %llu calls; descriptors %ld -> %ld; resident %ld -> %ld KiB\n",
                n, static_cast<unsigned long long>(calls), fds_before, fds_after,
                rss_before / 1024, rss_after / 1024);
    if (fds_before >= 0) {
        EXPECT_EQ(fds_after, fds_before) << "descriptors leaked";
    }
    // A leak of one small block per call would be tens of MiB by now; what
    // the allocator and stdio keep for themselves stays far below this.
    // Under Valgrind the resident set is mostly Valgrind's own; its leak
    // checker takes the place of this check there.
    if (rss_before >= 0 && !kt::under_valgrind() && !kSanitizerHoldsFreedMemory) {
        EXPECT_LT(rss_after - rss_before, 1L << 20) << "resident memory grew";
    }
}

}  // namespace
