// Throughput of the MD5 engine against OpenSSL's MD5 on the same in-memory
// buffer. Both run in one process and one run, so the ratio is fair.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <cstdint>
#include <vector>

#include "md5/md5.h"

namespace {

const std::vector<std::uint8_t> &buffer(std::size_t n) {
    static std::vector<std::uint8_t> data;
    if (data.size() != n) {
        data.resize(n);
        std::uint64_t x = 0x9E3779B97F4A7C15ULL;
        for (auto &b : data) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<std::uint8_t>(x);
        }
    }
    return data;
}

void BM_kel_md5(benchmark::State &state) {
    const auto &data = buffer(static_cast<std::size_t>(state.range(0)));
    std::uint8_t digest[16];
    for (auto _ : state) {
        kel_md5(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_openssl_EVP_Digest(benchmark::State &state) {
    const auto &data = buffer(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void BM_openssl_MD5(benchmark::State &state) {
    const auto &data = buffer(static_cast<std::size_t>(state.range(0)));
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
#pragma GCC diagnostic pop

constexpr std::int64_t k256MiB = 256 << 20;

// Interleaved so that a disturbance of the machine hits both sides alike.
BENCHMARK(BM_kel_md5)->Arg(k256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_openssl_MD5)->Arg(k256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_openssl_EVP_Digest)->Arg(k256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_kel_md5)->Arg(4096)->MinTime(1.0);
BENCHMARK(BM_openssl_MD5)->Arg(4096)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
