#include "support.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#else
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#endif

#if defined(KELHASH_TEST_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

namespace fs = std::filesystem;

namespace kt {

TempDir::TempDir() {
    static unsigned counter = 0;
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path p = fs::temp_directory_path() /
                           ("kelhash-test-" + std::to_string(rd()) + "-" +
                            std::to_string(++counter));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name) const { return (fs::path(path_) / name).string(); }

std::string TempDir::write(const std::string &name, const Bytes &bytes) const {
    const std::string p = file(name);
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + p);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::fclose(f);
        throw std::runtime_error("cannot write " + p);
    }
    if (std::fclose(f) != 0) throw std::runtime_error("cannot close " + p);
    return p;
}

#if !defined(_WIN32)
struct FifoWithWriter::State {
    std::thread writer;
};

FifoWithWriter::FifoWithWriter(const TempDir &dir, const std::string &name, Bytes content)
    : path_(dir.file(name)), state_(new State) {
    // A reader that gives up early must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (mkfifo(path_.c_str(), 0600) != 0) {
        delete state_;
        throw std::runtime_error("mkfifo failed");
    }
    state_->writer = std::thread([p = path_, data = std::move(content)] {
        const int fd = ::open(p.c_str(), O_WRONLY);
        if (fd < 0) return;
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
}

FifoWithWriter::~FifoWithWriter() {
    // If no reader ever opened the pipe, the writer is still blocked in
    // open(); opening the read end (non-blocking) releases it.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (state_->writer.joinable()) state_->writer.join();
    if (fd >= 0) ::close(fd);
    ::unlink(path_.c_str());
    delete state_;
}

int readers_open(const std::string &path) {
#if defined(__linux__)
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    if (ec) return -1;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    if (ec) return -1;
    int count = 0;
    for (const auto &entry : it) {
        const std::filesystem::path link = std::filesystem::read_symlink(entry.path(), ec);
        if (ec || link != target) continue;
        const int fd = std::atoi(entry.path().filename().c_str());
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_WRONLY) ++count;
    }
    return count;
#else
    (void)path;
    return -1;
#endif
}

bool make_sparse_file(const std::string &path, std::uint64_t size,
                      const std::vector<std::pair<std::uint64_t, std::uint8_t>> &bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto &[offset, value] : bytes) {
        if (!ok) break;
        ok = ::pwrite(fd, &value, 1, static_cast<off_t>(offset)) == 1;
    }
    ok = (::close(fd) == 0) && ok;
    return ok;
}

Bytes read_range(const std::string &path, std::uint64_t offset, std::size_t n) {
    Bytes out(n);
    std::size_t got = 0;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    while (got < n) {
        const ssize_t r = ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    if (got < n) ADD_FAILURE() << "read " << got << " of " << n << " bytes at " << offset;
    out.resize(got);
    return out;
}
#else
int readers_open(const std::string &) { return -1; }

bool make_sparse_file(const std::string &path, std::uint64_t size,
                      const std::vector<std::pair<std::uint64_t, std::uint8_t>> &bytes) {
    int fd = -1;
    if (::_sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO,
                   _S_IREAD | _S_IWRITE) != 0)
        return false;
    bool ok = ::_chsize_s(fd, static_cast<__int64>(size)) == 0;
    for (const auto &[offset, value] : bytes) {
        if (!ok) break;
        ok = ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) ==
                 static_cast<__int64>(offset) &&
             ::_write(fd, &value, 1) == 1;
    }
    ok = (::_close(fd) == 0) && ok;
    return ok;
}

Bytes read_range(const std::string &path, std::uint64_t offset, std::size_t n) {
    Bytes out(n);
    std::size_t got = 0;
    int fd = -1;
    if (::_sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    if (::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) != static_cast<__int64>(offset)) {
        ADD_FAILURE() << "cannot seek to " << offset;
        n = 0;
    }
    while (got < n) {
        const std::size_t want = n - got < (1u << 20) ? n - got : (1u << 20);
        const int r = ::_read(fd, out.data() + got, static_cast<unsigned>(want));
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::_close(fd);
    if (got < out.size()) ADD_FAILURE() << "read " << got << " of " << out.size() << " bytes";
    out.resize(got);
    return out;
}
#endif

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (auto &b : out) b = static_cast<std::uint8_t>(rng() >> 56);
    return out;
}

std::string reference_opensubtitles(const Bytes &image) {
    const std::uint64_t size = image.size();
    const std::uint64_t m = size < 65536 ? size : 65536;
    std::uint64_t sum = size;
    for (const std::uint64_t start : {std::uint64_t{0}, size - m}) {
        for (std::uint64_t k = 0; k < m; ++k) {
            // Byte k of the range is byte k % 8 of word k / 8.
            const std::uint8_t byte = image[static_cast<std::size_t>(start + k)];
            sum += static_cast<std::uint64_t>(byte) << (8 * (k % 8));
        }
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(sum));
    return text;
}

bool have_openssl() {
#if defined(KELHASH_TEST_HAVE_OPENSSL)
    return true;
#else
    return false;
#endif
}

std::string openssl_md5_lower(const std::uint8_t *data, std::size_t n) {
#if defined(KELHASH_TEST_HAVE_OPENSSL)
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    static const std::uint8_t kNothing[1] = {0};
    if (EVP_Digest(data != nullptr ? data : kNothing, n, digest, &len, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("EVP_Digest failed");
    return lower_hex(digest, len);
#else
    (void)data;
    (void)n;
    return "";
#endif
}

std::string openssl_md5_lower(const Bytes &bytes) { return openssl_md5_lower(bytes.data(), bytes.size()); }

std::string oracle_md5_lower(const std::uint8_t *data, std::size_t n) {
    return have_openssl() ? openssl_md5_lower(data, n) : reference_md5_lower(data, n);
}

std::string oracle_md5_lower(const Bytes &bytes) { return oracle_md5_lower(bytes.data(), bytes.size()); }

std::string lower_hex(const std::uint8_t *bytes, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < n; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

std::string to_upper(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string set_result_marker() {
    static const char kMarker[] = "marker";
    if (kelhash_md5_buffer(kMarker, 6) != KELHASH_OK) throw std::runtime_error("marker md5 failed");
    return kelhash_result();
}

bool reduced() { return std::getenv("KELHASH_TEST_REDUCED") != nullptr || under_valgrind(); }

bool under_valgrind() { return std::getenv("KELHASH_TEST_VALGRIND") != nullptr; }

}  // namespace kt
