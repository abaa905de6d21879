// A main for a fuzz target built without libFuzzer: it runs the target once
// on every file it is given, and on every file of every directory it is
// given (in name order, not recursing), as libFuzzer would run a corpus. Each
// input is handed over in a heap block of exactly its size, so a read past
// the input is a heap overflow for AddressSanitizer and Valgrind. A target's
// failed property aborts the program; a run that finds no input at all fails
// too, so a corpus that went missing is not a pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace fs = std::filesystem;

namespace {

bool run_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // new[] gives a distinct block even for an empty input, one that has no
    // accessible byte at all.
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
    std::printf("replay: %s (%llu bytes)\n", path.string().c_str(),
                static_cast<unsigned long long>(bytes.size()));
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(block.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::size_t inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            ok = run_file(arg) && ok;
            ++inputs;
            continue;
        }
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(arg, ec))
            if (entry.is_regular_file(ec)) files.push_back(entry.path());
        if (ec) {
            std::fprintf(stderr, "replay: cannot list %s\n", argv[i]);
            ok = false;
        }
        std::sort(files.begin(), files.end());
        for (const auto &f : files) {
            ok = run_file(f) && ok;
            ++inputs;
        }
    }
    if (inputs == 0) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    std::printf("replay: %llu inputs, %s\n", static_cast<unsigned long long>(inputs),
                ok ? "all passed" : "some unreadable");
    return ok ? 0 : 1;
}
