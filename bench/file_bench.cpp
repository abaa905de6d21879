// The path functions against minimal raw versions doing the same work
// with system calls directly, on a 64 MiB file in the page cache. Each pair
// runs side by side in one process and one run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelhash.h"
#include "md5/md5.h"

namespace {

constexpr std::size_t kFileSize = 64u << 20;

const std::string &bench_file() {
    static std::string path;
    if (path.empty()) {
        const char *dir = std::getenv("TMPDIR");
        path = std::string(dir != nullptr ? dir : "/tmp") + "/kelhash-bench-64m.bin";
        std::vector<std::uint8_t> data(kFileSize);
        std::uint64_t x = 0x2545F4914F6CDD1DULL;
        for (auto &b : data) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<std::uint8_t>(x);
        }
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
        std::fclose(f);
        std::atexit([] { std::remove(path.c_str()); });
    }
    return path;
}

std::uint64_t sum_words(std::uint64_t sum, const std::uint8_t *p, std::size_t n) {
    for (std::size_t k = 0; k < n; k += 8) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | p[k + static_cast<std::size_t>(i)];
        sum += v;
    }
    return sum;
}

void BM_opensubtitles_file(benchmark::State &state) {
    const std::string &path = bench_file();
    for (auto _ : state) {
        if (kelhash_opensubtitles_file(path.c_str()) != KELHASH_OK) state.SkipWithError("failed");
        benchmark::DoNotOptimize(kelhash_result()[0]);
    }
}

// open, fstat, two 64 KiB preads, the sum, close.
void BM_opensubtitles_raw(benchmark::State &state) {
    const std::string &path = bench_file();
    static std::uint8_t buf[65536];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        struct stat st;
        ::fstat(fd, &st);
        const auto size = static_cast<std::uint64_t>(st.st_size);
        std::uint64_t sum = size;
        if (::pread(fd, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) std::abort();
        sum = sum_words(sum, buf, sizeof buf);
        if (::pread(fd, buf, sizeof buf, static_cast<off_t>(size - sizeof buf)) !=
            static_cast<ssize_t>(sizeof buf))
            std::abort();
        sum = sum_words(sum, buf, sizeof buf);
        ::close(fd);
        benchmark::DoNotOptimize(sum);
    }
}

void BM_shooter_file(benchmark::State &state) {
    const std::string &path = bench_file();
    for (auto _ : state) {
        if (kelhash_shooter_file(path.c_str(), nullptr) != KELHASH_OK) state.SkipWithError("failed");
        benchmark::DoNotOptimize(kelhash_result()[0]);
    }
}

// open, fstat, four 4096-byte preads, four MD5s with the library's engine, close.
void BM_shooter_raw(benchmark::State &state) {
    const std::string &path = bench_file();
    std::uint8_t block[4096];
    std::uint8_t digest[4][16];
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        struct stat st;
        ::fstat(fd, &st);
        const auto s = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t offsets[4] = {4096, (s / 3) * 2, s / 3, s - 8192};
        for (int i = 0; i < 4; ++i) {
            if (::pread(fd, block, sizeof block, static_cast<off_t>(offsets[i])) != 4096) std::abort();
            kel_md5(block, sizeof block, digest[i]);
        }
        ::close(fd);
        benchmark::DoNotOptimize(digest);
    }
}

BENCHMARK(BM_opensubtitles_file)->MinTime(1.0);
BENCHMARK(BM_opensubtitles_raw)->MinTime(1.0);
BENCHMARK(BM_shooter_file)->MinTime(1.0);
BENCHMARK(BM_shooter_raw)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
