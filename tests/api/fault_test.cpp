// The file functions under injected stdio faults: a failing seek, tell or
// read and an early end of file at a chosen call. Each scenario runs the
// fault driver in a child process with the fault-injection library
// preloaded (tests/fault/fault_inject.c describes KELHASH_FAULT) and checks
// the status, message and result that the driver prints.
//
// The call numbers follow the order in which the file functions touch the
// stream: seek to the end, tell, seek to the start, then for the Shooter
// hash one seek and at least one read per block, for the OpenSubtitles hash
// a read of the head, a seek to the tail and a read of the tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kelhash.h"
#include "reference.h"
#include "support.h"

#if !defined(_WIN32) && defined(KELHASH_FAULT_DRIVER) && defined(KELHASH_FAULT_LIB)

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using kt::Bytes;

struct Outcome {
    int exit_code = -1;
    int status = -1;
    std::string error;
    std::string result;
};

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Runs the driver on a file with the given faults and parses its three
// lines of output. A child that does not exit normally with status 0 (for
// instance because a planned fault never happened) shows in exit_code.
Outcome run_driver(const std::string &faults, const char *function, const std::string &path,
                   const char *name = nullptr) {
    std::vector<std::string> env;
    std::string asan_options;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string var = *e;
        if (starts_with(var, "ASAN_OPTIONS=")) {
            asan_options = var.substr(std::strlen("ASAN_OPTIONS="));
        } else if (!starts_with(var, "LD_PRELOAD=") && !starts_with(var, "KELHASH_FAULT=")) {
            env.push_back(var);
        }
    }
    env.push_back(std::string("LD_PRELOAD=") + KELHASH_FAULT_LIB);
    env.push_back("KELHASH_FAULT=" + faults);
    // A sanitized driver insists on its runtime coming first among the
    // loaded libraries, which a preloaded library defeats; the check is only
    // a guard against mixed-up interceptors and harmless to switch off. An
    // unsanitized driver ignores the variable.
    env.push_back("ASAN_OPTIONS=" + asan_options + (asan_options.empty() ? "" : ":") +
                  "verify_asan_link_order=0");

    std::vector<std::string> args;
#if defined(KELHASH_FAULT_EMULATOR)
    // A cross build runs the driver under the emulator that runs the tests.
    for (const char *word : {KELHASH_FAULT_EMULATOR}) args.emplace_back(word);
#endif
    args.insert(args.end(), {KELHASH_FAULT_DRIVER, function, path});
    if (name != nullptr) args.emplace_back(name);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &v : env) envp.push_back(v.data());
    envp.push_back(nullptr);

    Outcome out;
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return out;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string text;
    if (rc == 0) {
        char buf[512];
        for (;;) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fds[0]);
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn failed: " << std::strerror(rc);
        return out;
    }
    int wstatus = 0;
    if (::waitpid(pid, &wstatus, 0) != pid) {
        ADD_FAILURE() << "waitpid failed";
        return out;
    }
    out.exit_code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);

    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (lines.size() != 3 || start != text.size()) {
        ADD_FAILURE() << "unexpected driver output: \"" << text << "\"";
        return out;
    }
    out.status = std::stoi(lines[0]);
    out.error = lines[1];
    out.result = lines[2];
    return out;
}

std::string upper_md5_of(const std::uint8_t *data, std::size_t n) {
    return kref::to_upper(kref::oracle_md5(data, n));
}

// The result buffer's content before the driver's call: the driver sets
// the same marker as the test support does.
std::string marker() { return kt::set_result_marker(); }

// A fault and the message the call must fail with.
struct FailingCase {
    const char *fault;
    const char *message;
};

// Each fault makes the call fail with its message and leaves the result
// buffer as it was before the call.
void expect_failures_keep_the_result(const std::vector<FailingCase> &cases, const char *function,
                                     const std::string &path, const char *name = nullptr) {
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        const Outcome o = run_driver(c.fault, function, path, name);
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_EQ(o.status, KELHASH_ERR_IO);
        EXPECT_EQ(o.error, c.message);
        EXPECT_EQ(o.result, marker());
    }
}

// ---------------------------------------------------------------------------
// Shooter hash of a file whose four blocks all hold file data.

class ShooterFileFaults : public ::testing::Test {
protected:
    static constexpr std::size_t kSize = 100003;

    void SetUp() override {
        image_ = kref::random_bytes(kSize, 4242);
        path_ = dir_.write("video", image_);
        digests_ = kref::shooter_digests(image_);
    }

    // The hash with the given block taken as 4096 zero bytes (-1: none).
    std::string hash_with_zero_block(int zero) const {
        kref::ShooterDigests d = digests_;
        if (zero >= 0) d[static_cast<std::size_t>(zero)] = kref::shooter_zero_digest();
        return kref::shooter_join(d);
    }

    // What the result buffer holds once block k fails: the digests before
    // it, or for block 0 what it held before the call.
    std::string left_after_failing_block(int k) const {
        return k == 0 ? marker() : kref::shooter_join(digests_, static_cast<std::size_t>(k));
    }

    kt::TempDir dir_;
    Bytes image_;
    std::string path_;
    kref::ShooterDigests digests_;
};

TEST_F(ShooterFileFaults, PreloadedWithoutFaultsHashesNormally) {
    const Outcome o = run_driver("", "shooter", path_);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.status, KELHASH_OK);
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.result, hash_with_zero_block(-1));
}

TEST_F(ShooterFileFaults, SizingFailuresLeaveTheResultAlone) {
    expect_failures_keep_the_result({
        {"seek:1", "seek failed"},   // to the end
        {"tell:1", "ftell failed"},  // the size
        {"seek:2", "seek failed"},   // back to the start
    }, "shooter", path_, "abc");
}

// A failing seek to block k (the third to sixth seek) or read of it (the
// first to fourth read) is reported, and leaves the digests of the blocks
// before k in the result buffer.
TEST_F(ShooterFileFaults, FailureAtABlockLeavesTheDigestsBeforeIt) {
    const struct {
        const char *kind;
        int first_call;  // the call of that kind that reaches block 0
        const char *message;
    } cases[] = {{"seek", 3, "seek failed"}, {"read", 1, "read error"}};
    for (const auto &c : cases) {
        for (int k = 0; k < 4; ++k) {
            const std::string fault = std::string(c.kind) + ":" + std::to_string(c.first_call + k);
            SCOPED_TRACE(fault + ", block " + std::to_string(k));
            const Outcome o = run_driver(fault, "shooter", path_);
            EXPECT_EQ(o.exit_code, 0);
            EXPECT_EQ(o.status, KELHASH_ERR_IO);
            EXPECT_EQ(o.error, c.message);
            EXPECT_EQ(o.result, left_after_failing_block(k));
            if (k > 0) {
                EXPECT_EQ(o.result.size(), 33u * static_cast<unsigned>(k) - 1);
            }
        }
    }
}

// The end of the file coming early (a file that shrank after it was sized)
// makes that block hash as zeros, even when part of it was delivered.
TEST_F(ShooterFileFaults, EarlyEndOfFileHashesTheBlockAsZeros) {
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("block " + std::to_string(k));
        const std::string expected = hash_with_zero_block(k);
        ASSERT_NE(expected, hash_with_zero_block(-1));

        const Outcome none = run_driver("eof:" + std::to_string(1 + k), "shooter", path_);
        EXPECT_EQ(none.exit_code, 0);
        EXPECT_EQ(none.status, KELHASH_OK);
        EXPECT_EQ(none.error, "");
        EXPECT_EQ(none.result, expected);

        // 100 bytes arrive, then the end: the partial block is discarded,
        // not padded with zeros.
        const Outcome part = run_driver("short:" + std::to_string(1 + k) + ":100,eof:" +
                                            std::to_string(2 + k),
                                        "shooter", path_);
        EXPECT_EQ(part.exit_code, 0);
        EXPECT_EQ(part.status, KELHASH_OK);
        EXPECT_EQ(part.result, expected);
    }
}

// A short read that is not the end of the file is followed by another read.
TEST_F(ShooterFileFaults, ShortReadIsContinued) {
    const Outcome o = run_driver("short:2:100", "shooter", path_);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.status, KELHASH_OK);
    EXPECT_EQ(o.result, hash_with_zero_block(-1));
}

// ---------------------------------------------------------------------------
// OpenSubtitles hash of a file.

// The reference sum over a file of S bytes, with the head bytes from
// head_got on and the tail bytes from tail_got on taken as zeros.
std::string opensubtitles_with_missing(const Bytes &image, std::size_t head_got,
                                       std::size_t tail_got) {
    const auto m = static_cast<std::ptrdiff_t>(kref::opensubtitles_range(image.size()));
    Bytes head(image.begin(), image.begin() + m);
    Bytes tail(image.end() - m, image.end());
    if (head_got < head.size()) std::fill(head.begin() + static_cast<std::ptrdiff_t>(head_got), head.end(), 0);
    if (tail_got < tail.size()) std::fill(tail.begin() + static_cast<std::ptrdiff_t>(tail_got), tail.end(), 0);
    return kref::opensubtitles(image.size(), head, tail);
}

class OpenSubtitlesFileFaults : public ::testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        image_ = kref::random_bytes(GetParam(), 77 + GetParam());
        path_ = dir_.write("video", image_);
    }
    kt::TempDir dir_;
    Bytes image_;
    std::string path_;
};

TEST_P(OpenSubtitlesFileFaults, FailuresLeaveTheResultAlone) {
    expect_failures_keep_the_result({
        {"seek:1", "seek failed"},   // to the end
        {"tell:1", "ftell failed"},  // the size
        {"seek:2", "seek failed"},   // back to the start
        {"seek:3", "seek failed"},   // to the tail
        {"read:1", "read error"},    // the head
        {"read:2", "read error"},    // the tail
    }, "opensubtitles", path_);
}

// An early end of file ends a range without an error; the bytes that did
// not arrive count as zeros, and the other range is read as usual.
TEST_P(OpenSubtitlesFileFaults, EarlyEndOfFileCountsMissingBytesAsZeros) {
    const std::size_t all = image_.size();
    const struct {
        std::string fault;
        std::size_t head_got;
        std::size_t tail_got;
    } cases[] = {
        {"", all, all},
        {"eof:1", 0, all},
        {"short:1:1001,eof:2", 1001, all},  // the head's last word is short
        {"short:1:1001", all, all},         // read on after a short read
        {"eof:2", all, 0},                  // the head's bytes must not count twice
        {"short:2:7,eof:3", all, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        const Outcome o = run_driver(c.fault, "opensubtitles", path_);
        EXPECT_EQ(o.exit_code, 0);
        EXPECT_EQ(o.status, KELHASH_OK);
        EXPECT_EQ(o.error, "");
        EXPECT_EQ(o.result, opensubtitles_with_missing(image_, c.head_got, c.tail_got));
    }
}

// One file within a single range's length, one with disjoint ranges.
INSTANTIATE_TEST_SUITE_P(Sizes, OpenSubtitlesFileFaults,
                         ::testing::Values(std::size_t{5000}, std::size_t{200003}),
                         [](const ::testing::TestParamInfo<std::size_t> &param_info) {
                             return "bytes" + std::to_string(param_info.param);
                         });

// ---------------------------------------------------------------------------
// MD5 digest of a file: 200003 bytes come in four reads of up to 64 KiB.

TEST(Md5FileFaults, FailingReadIsAReadErrorAndEndOfFileIsTheEnd) {
    kt::TempDir dir;
    const Bytes image = kref::random_bytes(200003, 99);
    const std::string path = dir.write("data", image);

    expect_failures_keep_the_result({{"read:1", "read error"}, {"read:3", "read error"}}, "md5",
                                    path);

    const Outcome cut = run_driver("eof:2", "md5", path);
    EXPECT_EQ(cut.exit_code, 0);
    EXPECT_EQ(cut.status, KELHASH_OK);
    EXPECT_EQ(cut.result, upper_md5_of(image.data(), 65536));

    const Outcome slow = run_driver("short:1:1000", "md5", path);
    EXPECT_EQ(slow.exit_code, 0);
    EXPECT_EQ(slow.status, KELHASH_OK);
    EXPECT_EQ(slow.result, upper_md5_of(image.data(), image.size()));
}

// A planned fault that the call sequence never reaches fails the child, so
// a scenario whose call numbers went stale cannot pass unnoticed.
TEST(FaultInjection, FaultThatNeverHappensFailsTheRun) {
    kt::TempDir dir;
    const std::string path = dir.write("small", kref::random_bytes(100, 1));
    const Outcome o = run_driver("seek:7", "md5", path);
    EXPECT_EQ(o.exit_code, 97);
}

}  // namespace

#else

TEST(FaultInjection, Unavailable) {
    GTEST_SKIP() << "fault injection needs LD_PRELOAD and is built on Linux only";
}

#endif
