// What the three file functions (kelhash_md5_file,
// kelhash_opensubtitles_file, kelhash_shooter_file) share: a null path, a
// file that does not exist, a directory, a pipe and a sparse file above
// 4 GiB. One table row per function says what that function does where they
// differ: what a file's bytes give (the reference layer), whether it can
// read a pipe, which step fails on a directory, and how it reads a large
// file. Every failure here leaves the result buffer as it was before the
// call, for all three: a marker is set before each call and must still be
// there.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

using kt::Bytes;
using Marks = std::vector<std::pair<std::uint64_t, std::uint8_t>>;

// The Shooter fallback name; every Shooter call here passes it.
constexpr const char *kName = "abc";

// What the stdio steps of the file functions give on a directory here: a
// stream that only reads from its start (the MD5), and one that is sized
// first, then read at its start or at the first Shooter block. Each field
// is meaningful only when the one before it succeeded.
struct DirectoryProbe {
    bool opens = false;
    bool first_read_fails = false;
    bool end_ok = false;
    std::int64_t size = -1;
    bool start_ok = false;
    bool read_at_start_fails = false;
    bool block0_seek_ok = false;
    bool read_at_block0_fails = false;
};

bool seek_to(std::FILE *f, std::int64_t offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(f, offset, whence) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), whence) == 0;
#endif
}

std::int64_t tell(std::FILE *f) {
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

bool read_fails(std::FILE *f) {
    char byte;
    return std::fread(&byte, 1, 1, f) == 0 && std::ferror(f) != 0;
}

DirectoryProbe probe_directory(const std::string &path) {
    DirectoryProbe p;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return p;
    p.opens = true;
    p.first_read_fails = read_fails(f);
    std::fclose(f);

    f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return p;
    p.end_ok = seek_to(f, 0, SEEK_END);
    if (p.end_ok) p.size = tell(f);
    p.start_ok = p.size >= 0 && seek_to(f, 0, SEEK_SET);
    if (p.start_ok) p.read_at_start_fails = read_fails(f);
    std::clearerr(f);
    p.block0_seek_ok = p.start_ok && seek_to(f, 4096, SEEK_SET);
    if (p.block0_seek_ok) p.read_at_block0_fails = read_fails(f);
    std::fclose(f);
    return p;
}

// An outcome that the probe cannot predict: the test is skipped.
constexpr std::int32_t kUnforeseen = -1;

kref::Outcome io_failure(const char *message, const std::string &before) {
    return {KELHASH_ERR_IO, message, before};
}

// The sizing steps of the two fingerprints: to the end, the position, back
// to the start. Status 0 when they all succeed.
kref::Outcome sizing(const DirectoryProbe &p, const std::string &before) {
    if (!p.opens) return io_failure("cannot open file", before);
    if (!p.end_ok) return io_failure("seek failed", before);
    if (p.size < 0) return io_failure("ftell failed", before);
    if (!p.start_ok) return io_failure("seek failed", before);
    return {KELHASH_OK, "", ""};
}

std::string md5_upper(const Bytes &bytes) { return kref::to_upper(kref::oracle_md5(bytes)); }

struct FileFunction {
    const char *name;
    std::int32_t (*call)(const char *path);
    // What a file of these bytes gives.
    kref::Outcome (*on_image)(const Bytes &image);
    // What a pipe whose writer sends content gives.
    kref::Outcome (*on_fifo)(const Bytes &content, const std::string &before);
    // What a directory gives, from the probe's steps.
    kref::Outcome (*on_directory)(const DirectoryProbe &probe, const std::string &before);
    // A sparse file above 4 GiB with bytes set at marks, and its expected
    // hash from its own bytes read with the platform's calls (null: none).
    std::uint64_t sparse_size;
    Marks (*sparse_marks)(std::uint64_t size);
    std::string (*on_sparse)(const std::string &path, std::uint64_t size);
};

const FileFunction kMd5File = {
    "md5",
    [](const char *path) { return kelhash_md5_file(path); },
    [](const Bytes &image) { return kref::Outcome{KELHASH_OK, "", md5_upper(image)}; },
    // It only streams, so it hashes whatever the writer sends.
    [](const Bytes &content, const std::string &) {
        return kref::Outcome{KELHASH_OK, "", md5_upper(content)};
    },
    // No sizing: the first read decides. A directory that reads as empty
    // must not fail, and one that fails must not hash as empty.
    [](const DirectoryProbe &p, const std::string &before) {
        if (!p.opens) return io_failure("cannot open file", before);
        if (p.first_read_fails) return io_failure("read error", before);
        return kref::Outcome{KELHASH_OK, "", md5_upper({})};
    },
    // None: it reads from the start to the end without a seek or a size,
    // so no offset is involved, and 4 GiB would take some twenty seconds.
    0, nullptr, nullptr,
};

const FileFunction kOpenSubtitlesFile = {
    "opensubtitles",
    [](const char *path) { return kelhash_opensubtitles_file(path); },
    [](const Bytes &image) { return kref::Outcome{KELHASH_OK, "", kref::opensubtitles(image)}; },
    [](const Bytes &, const std::string &before) { return io_failure("seek failed", before); },
    [](const DirectoryProbe &p, const std::string &before) {
        const kref::Outcome sized = sizing(p, before);
        if (sized.status != KELHASH_OK) return sized;
        if (p.size == 0) return kref::Outcome{KELHASH_OK, "", kref::opensubtitles(Bytes{})};
        if (p.read_at_start_fails) return io_failure("read error", before);
        return kref::Outcome{kUnforeseen, "", ""};
    },
    // The size term, the tail's position and its seek need 64 bits. Not a
    // multiple of 8, so the tail's words are not the file's words; bytes
    // set at the head's start and the tail's ends.
    (std::uint64_t{1} << 32) + 12345,
    [](std::uint64_t size) {
        return Marks{{0, 0x01}, {1, 0x7F}, {size - 65536, 0x03}, {size - 1, 0x02}};
    },
    [](const std::string &path, std::uint64_t size) {
        const auto m = static_cast<std::size_t>(kref::opensubtitles_range(size));
        return kref::opensubtitles(size, kt::read_range(path, 0, m),
                                   kt::read_range(path, size - m, m));
    },
};

const FileFunction kShooterFile = {
    "shooter",
    [](const char *path) { return kelhash_shooter_file(path, kName); },
    [](const Bytes &image) { return kref::shooter(image, kName); },
    [](const Bytes &, const std::string &before) { return io_failure("seek failed", before); },
    // A failure at block 0 leaves the result as it was (at block k, the
    // digests before k: see the fault-injection tests).
    [](const DirectoryProbe &p, const std::string &before) {
        const kref::Outcome sized = sizing(p, before);
        if (sized.status != KELHASH_OK) return sized;
        if (static_cast<std::uint64_t>(p.size) <= kref::kShooterThreshold)
            return kref::shooter_fallback(kName);
        if (!p.block0_seek_ok) return io_failure("seek failed", before);
        if (p.read_at_block0_fails) return io_failure("read error", before);
        return kref::Outcome{kUnforeseen, "", ""};
    },
    // Offsets above 4 GiB, and the one at a third above 2 GiB. Each block
    // holds two bytes of its own at its ends, so a block read from a
    // truncated offset would hash as zeros or as another block.
    (std::uint64_t{7} << 30) + 12345,
    [](std::uint64_t size) {
        Marks marks;
        const kref::ShooterOffsets off = kref::shooter_offsets(size);
        for (std::size_t i = 0; i < 4; ++i) {
            marks.push_back({off[i], static_cast<std::uint8_t>(0x11 * (i + 1))});
            marks.push_back({off[i] + kref::kShooterBlock - 1, static_cast<std::uint8_t>(0xA0 + i)});
        }
        return marks;
    },
    [](const std::string &path, std::uint64_t size) {
        return kref::shooter_hash(size, [&path](std::uint64_t offset) {
            return kt::read_range(path, offset, static_cast<std::size_t>(kref::kShooterBlock));
        });
    },
};

// A row shows as its function's name, in test names and in messages.
std::string row_name(const ::testing::TestParamInfo<FileFunction> &info) { return info.param.name; }
void PrintTo(const FileFunction &f, std::ostream *os) { *os << f.name; }

class FileFunctions : public ::testing::TestWithParam<FileFunction> {
protected:
    const FileFunction &fn() const { return GetParam(); }
    kt::TempDir dir_;
};

TEST_P(FileFunctions, NullPathKeepsTheResult) {
    const std::string before = kt::set_result_marker();
    kt::expect_outcome(fn().call(nullptr), {KELHASH_ERR_INVALID_ARG, "null path", before});
}

// And the next success writes its own result and clears the message.
TEST_P(FileFunctions, MissingFileKeepsTheResult) {
    const std::string before = kt::set_result_marker();
    kt::expect_outcome(fn().call(dir_.file("missing").c_str()),
                       {KELHASH_ERR_IO, "cannot open file", before});

    const Bytes image = kref::random_bytes(9000, 3);
    kt::expect_outcome(fn().call(dir_.write("present", image).c_str()), fn().on_image(image));
}

// A directory opens as a stream on Linux, and what follows depends on the
// file system: the seek to its end may fail (tmpfs), or it reports a size
// (ext4 reports the largest offset) and every read fails. Windows does not
// open it at all. The expected outcome follows from the same steps done on
// the directory here; either way it is not hashed as if it were a file.
TEST_P(FileFunctions, DirectoryIsNotHashedAsAFile) {
    const DirectoryProbe probe = probe_directory(dir_.path());
    const std::string before = kt::set_result_marker();
    const kref::Outcome want = fn().on_directory(probe, before);
    if (want.status == kUnforeseen)
        GTEST_SKIP() << "this platform reads a directory like a file of " << probe.size << " bytes";
    kt::expect_outcome(fn().call(dir_.path().c_str()), want);
    KT_EXPECT_CLOSED(dir_.path());
}

#if !defined(_WIN32)
// A pipe can neither seek nor tell its size. 200 KiB is more than a pipe
// holds, so a reader sees the data arrive in pieces.
TEST_P(FileFunctions, Fifo) {
    const Bytes content = kref::random_bytes(200 * 1024, 31);
    kt::FifoWithWriter fifo(dir_, "pipe", content);
    const std::string before = kt::set_result_marker();
    kt::expect_outcome(fn().call(fifo.path().c_str()), fn().on_fifo(content, before));
    KT_EXPECT_CLOSED(fifo.path());
}
#endif

INSTANTIATE_TEST_SUITE_P(Table, FileFunctions,
                         ::testing::Values(kMd5File, kOpenSubtitlesFile, kShooterFile),
                         row_name);

class LargeFiles : public FileFunctions {};

TEST_P(LargeFiles, SparseFileAboveFourGiB) {
    const std::uint64_t size = fn().sparse_size;
    const std::string path = dir_.file("sparse");
    if (!kt::make_sparse_file(path, size, fn().sparse_marks(size)))
        GTEST_SKIP() << "the file system refuses a sparse file of " << size << " bytes";
    const std::string expected = fn().on_sparse(path, size);
    kt::expect_outcome(fn().call(path.c_str()), {KELHASH_OK, "", expected});
}

INSTANTIATE_TEST_SUITE_P(Table, LargeFiles, ::testing::Values(kOpenSubtitlesFile, kShooterFile),
                         row_name);

}  // namespace
