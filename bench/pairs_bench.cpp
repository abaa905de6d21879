// The exported functions against floors, side by side in one process and
// one run. A floor is the fastest plain code for the same work, written here
// from system calls and OpenSSL without any of the library's own loops:
//
//   opensubtitles_file   open, fstat, pread of the head and of the tail, a
//                        sum of memcpy-loaded words, close, 16 hex digits
//   shooter_file         open, fstat, four preads of 4096 bytes, each block
//                        hashed with OpenSSL's MD5 before the next is read,
//                        close, 131 characters of digests
//   shooter_buffer       four OpenSSL MD5s of 4096 bytes of a 64 MiB image
//   opensubtitles_buffer the word sum of the two ends of a 1 MiB image
//   md5_buffer           OpenSSL's MD5 of a 64 MiB image, 32 hex digits
//
// The file pairs run on a 64 MiB file in two modes. Cached: the file is in
// the page cache. Cold: before every call, of either side, the whole file
// is dropped from the page cache (POSIX_FADV_DONTNEED), and mincore checks
// that no page of it is left; only the call itself is timed. The cold
// OpenSubtitles and Shooter floors read their ranges one after another; the
// extra floor_overlapped rows first advise all ranges (POSIX_FADV_WILLNEED)
// and show how close the library comes to the best that overlapped reads
// can do.
//
// Before anything is timed every floor's result is checked against the
// library's, so that a floor cannot be fast by doing less.
//
// The file lives in $KELHASH_BENCH_DIR, else $TMPDIR, else /var/tmp; it must
// be on a file system with a page cache in front of a device (not tmpfs) for
// the cold rows. bench/ratios.sh runs this with repetitions and prints the
// ratio table.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/md5.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelhash.h"
#include "reference.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kFileSize = 64 * kMiB;
constexpr std::size_t kSmallImage = 1 * kMiB;
constexpr std::size_t kRange = 65536;  // OpenSubtitles range length
constexpr std::size_t kBlock = 4096;   // Shooter block size
constexpr int kBlocks = 4;
constexpr std::size_t kDigest = 16;
constexpr std::size_t kShooterText = kBlocks * (2 * kDigest + 1);  // 131 digits and ";", NUL
constexpr std::size_t kWord = 8;

// ---------------------------------------------------------------------------
// Test data: a file and in-memory images of the same pseudo-random bytes.

std::vector<std::uint8_t> make_image(std::size_t n) {
    std::vector<std::uint8_t> data(n);
    std::uint64_t x = 0x2545F4914F6CDD1DULL;
    for (auto &b : data) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "kelhash bench: %s\n", what);
    std::exit(2);
}

const std::vector<std::uint8_t> &image() {
    static const std::vector<std::uint8_t> data = make_image(kFileSize);
    return data;
}

struct BenchFile {
    std::string path;
    int fd = -1;                     // kept open to evict the file and ask mincore
    void *map = nullptr;             // never touched, only asked about by mincore
    std::vector<unsigned char> vec;  // one byte per page for mincore
};

BenchFile &bench_file() {
    static BenchFile file;
    if (!file.path.empty()) return file;
    const char *dir = std::getenv("KELHASH_BENCH_DIR");
    if (dir == nullptr) dir = std::getenv("TMPDIR");
    if (dir == nullptr) dir = "/var/tmp";
    file.path = std::string(dir) + "/kelhash-bench-" + std::to_string(::getpid()) + ".bin";
    const int out = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) die("cannot create the bench file");
    const auto &data = image();
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(out, data.data() + done, data.size() - done);
        if (n <= 0) die("cannot write the bench file");
        done += static_cast<std::size_t>(n);
    }
    // Dirty pages cannot be dropped: write them out first, or the cold
    // rows would read from memory.
    if (::fsync(out) != 0 || ::close(out) != 0) die("cannot flush the bench file");
    std::atexit([] { std::remove(bench_file().path.c_str()); });

    file.fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) die("cannot reopen the bench file");
    file.map = ::mmap(nullptr, kFileSize, PROT_READ, MAP_SHARED, file.fd, 0);
    if (file.map == MAP_FAILED) die("cannot map the bench file for mincore");
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    file.vec.resize((kFileSize + page - 1) / page);
    return file;
}

std::size_t resident_pages(BenchFile &file) {
    if (::mincore(file.map, kFileSize, file.vec.data()) != 0) die("mincore failed");
    std::size_t n = 0;
    for (const unsigned char v : file.vec) n += v & 1u;
    return n;
}

// Drops the whole file from the page cache and waits until mincore shows
// none of it: pages still under read-ahead from the previous call are
// locked and survive one drop. Returns false if pages stay resident.
bool evict(BenchFile &file) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
        if (resident_pages(file) == 0) return true;
        const struct timespec pause = {0, 100000};
        ::nanosleep(&pause, nullptr);
    }
    return false;
}

void warm(BenchFile &file) {
    std::vector<std::uint8_t> buf(kMiB);
    for (std::size_t off = 0; off < kFileSize; off += buf.size())
        if (::pread(file.fd, buf.data(), buf.size(), static_cast<off_t>(off)) !=
            static_cast<ssize_t>(buf.size()))
            die("cannot read the bench file");
}

// ---------------------------------------------------------------------------
// The floors' own helpers.

void hex_into(char *dst, const unsigned char *bytes, std::size_t n, const char *digits) {
    for (std::size_t i = 0; i < n; ++i) {
        *dst++ = digits[bytes[i] >> 4];
        *dst++ = digits[bytes[i] & 15];
    }
    *dst = '\0';
}

void hex16_lower(char out[17], std::uint64_t v) {
    unsigned char be[8];
    for (int i = 0; i < 8; ++i) be[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
    hex_into(out, be, sizeof be, "0123456789abcdef");
}

// Whole little-endian words loaded with memcpy (this benchmark runs on
// little-endian hosts only; see main), n a multiple of 32 here. Four
// running sums: with one, every add waits for the one before, and the loop
// runs a third slower.
std::uint64_t word_sum(std::uint64_t sum, const std::uint8_t *p, std::size_t n) {
    if (n % (4 * kWord) != 0) die("word_sum: the floors only take whole 32-byte steps");
    std::uint64_t a = 0, b = 0, c = 0, d = 0;
    auto word = [](const std::uint8_t *q) {
        std::uint64_t v;
        std::memcpy(&v, q, sizeof v);
        return v;
    };
    for (const std::uint8_t *end = p + n; p != end; p += 4 * kWord) {
        a += word(p);
        b += word(p + kWord);
        c += word(p + 2 * kWord);
        d += word(p + 3 * kWord);
    }
    return sum + a + b + c + d;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// OpenSSL's one-shot MD5 goes straight to its assembly; EVP_Digest costs a
// method lookup per call, which shows on 4096-byte blocks.
void openssl_md5(const std::uint8_t *p, std::size_t n, unsigned char digest[kDigest]) {
    MD5(p, n, digest);
}
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Floors. Each writes the same text the library writes into out.

void floor_opensubtitles_file(const char *path, bool overlapped, char out[17]) {
    alignas(64) static std::uint8_t buf[kRange];
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) die("floor: open failed");
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::size_t m = size < kRange ? static_cast<std::size_t>(size) : kRange;
    const off_t starts[2] = {0, static_cast<off_t>(size - m)};
    if (overlapped)
        for (const off_t at : starts)
            ::posix_fadvise(fd, at, static_cast<off_t>(m), POSIX_FADV_WILLNEED);
    std::uint64_t sum = size;
    for (const off_t at : starts) {
        if (::pread(fd, buf, m, at) != static_cast<ssize_t>(m)) die("floor: short read");
        sum = word_sum(sum, buf, m);
    }
    ::close(fd);
    hex16_lower(out, sum);
}

void floor_shooter_file(const char *path, bool overlapped, char out[kShooterText]) {
    alignas(64) std::uint8_t block[kBlock];
    unsigned char digest[kDigest];
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) die("floor: open failed");
    const kref::ShooterOffsets off = kref::shooter_offsets(static_cast<std::uint64_t>(st.st_size));
    if (overlapped)
        for (const std::uint64_t at : off)
            ::posix_fadvise(fd, static_cast<off_t>(at), kBlock, POSIX_FADV_WILLNEED);
    for (int i = 0; i < kBlocks; ++i) {
        if (::pread(fd, block, kBlock, static_cast<off_t>(off[i])) != static_cast<ssize_t>(kBlock))
            die("floor: short read");
        openssl_md5(block, kBlock, digest);
        char *p = out + static_cast<std::size_t>(i) * (2 * kDigest + 1);
        if (i > 0) p[-1] = ';';
        hex_into(p, digest, kDigest, "0123456789abcdef");
    }
    ::close(fd);
}

void floor_shooter_buffer(const std::uint8_t *data, std::uint64_t len, char out[kShooterText]) {
    unsigned char digest[kDigest];
    const kref::ShooterOffsets off = kref::shooter_offsets(len);
    for (int i = 0; i < kBlocks; ++i) {
        openssl_md5(data + off[i], kBlock, digest);
        char *p = out + static_cast<std::size_t>(i) * (2 * kDigest + 1);
        if (i > 0) p[-1] = ';';
        hex_into(p, digest, kDigest, "0123456789abcdef");
    }
}

void floor_opensubtitles_buffer(const std::uint8_t *data, std::size_t len, char out[17]) {
    const std::size_t m = len < kRange ? len : kRange;
    std::uint64_t sum = len;
    sum = word_sum(sum, data, m);
    sum = word_sum(sum, data + (len - m), m);
    hex16_lower(out, sum);
}

void floor_md5_buffer(const std::uint8_t *data, std::size_t len, char out[33]) {
    unsigned char digest[kDigest];
    openssl_md5(data, len, digest);
    hex_into(out, digest, kDigest, "0123456789ABCDEF");
}

// ---------------------------------------------------------------------------
// The calls under test, each producing its text for the check in main.

enum class Work {
    opensubtitles_file,
    shooter_file,
    shooter_buffer,
    opensubtitles_buffer,
    md5_buffer,
};
enum class Side { kelhash, floor, floor_overlapped };

struct Text {
    char s[kShooterText + 1];
};

// Runs one call of the given side; out receives the result text.
void run_once(Work work, Side side, Text &out) {
    BenchFile &file = bench_file();
    const auto &img = image();
    const bool overlapped = side == Side::floor_overlapped;
    auto check = [](std::int32_t st) {
        if (st != KELHASH_OK) die(kelhash_last_error());
    };
    switch (work) {
    case Work::opensubtitles_file:
        if (side == Side::kelhash) {
            check(kelhash_opensubtitles_file(file.path.c_str()));
            std::strcpy(out.s, kelhash_result());
        } else {
            floor_opensubtitles_file(file.path.c_str(), overlapped, out.s);
        }
        break;
    case Work::shooter_file:
        if (side == Side::kelhash) {
            check(kelhash_shooter_file(file.path.c_str(), nullptr));
            std::strcpy(out.s, kelhash_result());
        } else {
            floor_shooter_file(file.path.c_str(), overlapped, out.s);
        }
        break;
    case Work::shooter_buffer:
        if (side == Side::kelhash) {
            check(kelhash_shooter_buffer(img.data(), img.size(), nullptr));
            std::strcpy(out.s, kelhash_result());
        } else {
            floor_shooter_buffer(img.data(), img.size(), out.s);
        }
        break;
    case Work::opensubtitles_buffer:
        if (side == Side::kelhash) {
            check(kelhash_opensubtitles_buffer(img.data(), kSmallImage));
            std::strcpy(out.s, kelhash_result());
        } else {
            floor_opensubtitles_buffer(img.data(), kSmallImage, out.s);
        }
        break;
    case Work::md5_buffer:
        if (side == Side::kelhash) {
            check(kelhash_md5_buffer(img.data(), img.size()));
            std::strcpy(out.s, kelhash_result());
        } else {
            floor_md5_buffer(img.data(), img.size(), out.s);
        }
        break;
    }
}

// Both sides end with the result text in out: the library's side copies it
// out of the result buffer, as a host does before its next call.
void bench_cached(benchmark::State &state, Work work, Side side) {
    BenchFile &file = bench_file();
    warm(file);
    Text out;
    for (auto _ : state) {
        run_once(work, side, out);
        benchmark::DoNotOptimize(out.s[0]);
    }
}

void bench_cold(benchmark::State &state, Work work, Side side) {
    BenchFile &file = bench_file();
    Text out;
    std::size_t failed_evictions = 0;
    for (auto _ : state) {
        if (!evict(file)) ++failed_evictions;
        const auto t0 = std::chrono::steady_clock::now();
        run_once(work, side, out);
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(out.s[0]);
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (failed_evictions != 0) state.SkipWithError("the file stayed in the page cache (tmpfs?)");
}

const char *side_name(Side side) {
    switch (side) {
    case Side::kelhash: return "kelhash";
    case Side::floor: return "floor";
    case Side::floor_overlapped: return "floor_overlapped";
    }
    return "";
}

void check_floors() {
    const struct {
        Work work;
        Side side;
    } checks[] = {
        {Work::opensubtitles_file, Side::floor},
        {Work::opensubtitles_file, Side::floor_overlapped},
        {Work::shooter_file, Side::floor},
        {Work::shooter_file, Side::floor_overlapped},
        {Work::shooter_buffer, Side::floor},
        {Work::opensubtitles_buffer, Side::floor},
        {Work::md5_buffer, Side::floor},
    };
    for (const auto &c : checks) {
        Text lib, ref;
        run_once(c.work, Side::kelhash, lib);
        run_once(c.work, c.side, ref);
        if (std::strcmp(lib.s, ref.s) != 0) {
            std::fprintf(stderr, "kelhash bench: floor %s differs: %s against %s\n",
                         side_name(c.side), ref.s, lib.s);
            std::exit(2);
        }
    }
    // The cold rows mean nothing unless the file really leaves the cache.
    BenchFile &file = bench_file();
    warm(file);
    if (resident_pages(file) == 0 || !evict(file))
        die("the bench file cannot be dropped from the page cache; "
            "set KELHASH_BENCH_DIR to a directory on a disk (not tmpfs)");
}

void add(const std::string &pair, Side side, Work work, bool cold, double min_time) {
    const std::string name = pair + "/" + side_name(side);
    benchmark::internal::Benchmark *b =
        cold ? benchmark::RegisterBenchmark(name.c_str(), bench_cold, work, side)->UseManualTime()
             : benchmark::RegisterBenchmark(name.c_str(), bench_cached, work, side)->UseRealTime();
    b->MinTime(min_time)->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char **argv) {
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    die("the floors load words natively: run the benchmark on a little-endian host");
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    check_floors();

    constexpr double kShort = 0.2, kLong = 0.5;
    for (const bool cold : {false, true}) {
        const std::string mode = cold ? "cold" : "cached";
        const double t = cold ? kLong : kShort;
        for (const Side side : {Side::kelhash, Side::floor, Side::floor_overlapped}) {
            add("opensubtitles_file_" + mode, side, Work::opensubtitles_file, cold, t);
            add("shooter_file_" + mode, side, Work::shooter_file, cold, t);
        }
    }
    for (const Side side : {Side::kelhash, Side::floor}) {
        add("shooter_buffer", side, Work::shooter_buffer, false, kShort);
        add("opensubtitles_buffer", side, Work::opensubtitles_buffer, false, kShort);
        add("md5_buffer", side, Work::md5_buffer, false, kLong);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
