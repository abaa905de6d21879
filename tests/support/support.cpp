#include "support.h"

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

#include <atomic>
#include <chrono>
#include <thread>
#else
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
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
    std::atomic<bool> done{false};
};

FifoWithWriter::FifoWithWriter(const TempDir &dir, const std::string &name, Bytes content)
    : path_(dir.file(name)), state_(new State) {
    // A reader that gives up early must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    if (mkfifo(path_.c_str(), 0600) != 0) {
        delete state_;
        throw std::runtime_error("mkfifo failed");
    }
    state_->writer = std::thread([p = path_, data = std::move(content), st = state_] {
        const int fd = ::open(p.c_str(), O_WRONLY);
        if (fd >= 0) {
            std::size_t written = 0;
            while (written < data.size()) {
                const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
                if (n <= 0) break;
                written += static_cast<std::size_t>(n);
            }
            ::close(fd);
        }
        st->done = true;
    });
}

FifoWithWriter::~FifoWithWriter() {
    // If no reader ever opened the pipe, the writer is still blocked in
    // open(); opening the read end (non-blocking) releases it. A writer
    // blocked on a full pipe is released by draining it: the read end held
    // open here keeps its writes from failing.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    char sink[4096];
    while (fd >= 0 && !state_->done) {
        if (::read(fd, sink, sizeof sink) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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

void expect_outcome(std::int32_t status, const kref::Outcome &want) {
    EXPECT_EQ(status, want.status) << "message \"" << kelhash_last_error() << "\"";
    EXPECT_EQ(last_error(), want.error);
    EXPECT_EQ(result(), want.result);
}

std::string set_result_marker() {
    static const char kMarker[] = "marker";
    if (kelhash_md5_buffer(kMarker, 6) != KELHASH_OK) throw std::runtime_error("marker md5 failed");
    return kelhash_result();
}

bool reduced() { return std::getenv("KELHASH_TEST_REDUCED") != nullptr || under_valgrind(); }

bool under_valgrind() { return std::getenv("KELHASH_TEST_VALGRIND") != nullptr; }

}  // namespace kt
