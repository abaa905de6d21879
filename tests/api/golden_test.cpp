// The golden files (tests/golden), whose expected values were computed from
// the hashes' definitions by the Python reference module, through every
// variant of every function: path, buffer and caller-read ranges.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelhash.h"
#include "support.h"

namespace {

struct GoldenFile {
    std::string name;
    std::uint64_t size;
    std::string opensubtitles, shooter, md5;
};

std::vector<std::vector<std::string>> read_table(const std::string &name) {
    std::ifstream in(std::string(KELHASH_GOLDEN_DIR) + "/" + name, std::ios::binary);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cols;
        std::string col;
        std::istringstream fields(line);
        while (std::getline(fields, col, '\t')) cols.push_back(col);
        if (!line.empty() && line.back() == '\t') cols.push_back("");
        rows.push_back(cols);
    }
    return rows;
}

std::vector<GoldenFile> golden_files() {
    std::vector<GoldenFile> files;
    for (const auto &r : read_table("files.tsv")) {
        if (r.size() != 5) continue;
        files.push_back({r[0], std::stoull(r[1]), r[2], r[3], r[4]});
    }
    return files;
}

std::string path_of(const GoldenFile &g) {
    return std::string(KELHASH_GOLDEN_DIR) + "/files/" + g.name;
}

TEST(Golden, FilesThroughEveryVariant) {
    const auto files = golden_files();
    ASSERT_GE(files.size(), 10u) << "cannot read " << KELHASH_GOLDEN_DIR << "/files.tsv";
    for (const GoldenFile &g : files) {
        SCOPED_TRACE(g.name);
        const std::string path = path_of(g);
        const kt::Bytes data = kt::read_range(path, 0, static_cast<std::size_t>(g.size));
        ASSERT_EQ(data.size(), g.size);
        const auto *p = data.data();
        const auto n = static_cast<std::uint64_t>(data.size());
        const auto s = static_cast<std::int64_t>(n);

        ASSERT_EQ(kelhash_md5_file(path.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.md5);
        ASSERT_EQ(kelhash_md5_buffer(p, n), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.md5);

        ASSERT_EQ(kelhash_opensubtitles_file(path.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.opensubtitles);
        ASSERT_EQ(kelhash_opensubtitles_buffer(p, n), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.opensubtitles);
        const std::uint64_t m = n < 65536 ? n : 65536;
        char out[256];
        ASSERT_EQ(kelhash_opensubtitles_chunks(p, m, p + (n - m), m, s, out, sizeof out),
                  KELHASH_OK);
        EXPECT_EQ(std::string(out), g.opensubtitles);

        ASSERT_EQ(kelhash_shooter_file(path.c_str(), "movie.avi"), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.shooter);
        ASSERT_EQ(kelhash_shooter_buffer(p, n, "movie.avi"), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.shooter);
        // The four blocks as a host reads them: what lies at each offset,
        // up to 4096 bytes.
        const std::uint64_t offs[4] = {4096, (n / 3) * 2, n / 3, n - 8192};
        const std::uint8_t *blocks[4] = {};
        std::uint64_t lens[4] = {};
        if (n > 8192) {
            for (int i = 0; i < 4; ++i) {
                blocks[i] = p + offs[i];
                lens[i] = n - offs[i] < 4096 ? n - offs[i] : 4096;
            }
        }
        ASSERT_EQ(kelhash_shooter_chunks(blocks[0], lens[0], blocks[1], lens[1], blocks[2],
                                         lens[2], blocks[3], lens[3], s, "movie.avi", out,
                                         sizeof out),
                  KELHASH_OK)
            << kt::last_error();
        EXPECT_EQ(std::string(out), g.shooter);
    }
}

TEST(Golden, StableHashes) {
    const auto rows = read_table("stable.tsv");
    ASSERT_GE(rows.size(), 5u) << "cannot read " << KELHASH_GOLDEN_DIR << "/stable.tsv";
    for (const auto &r : rows) {
        ASSERT_EQ(r.size(), 2u);
        std::string text;
        for (std::size_t i = 0; i + 1 < r[0].size(); i += 2)
            text.push_back(static_cast<char>(std::stoi(r[0].substr(i, 2), nullptr, 16)));
        SCOPED_TRACE(r[0]);
        std::int32_t value = -1;
        ASSERT_EQ(kelhash_stable_utf8(text.c_str(), &value), KELHASH_OK);
        EXPECT_EQ(std::to_string(value), r[1]);
    }
}

}  // namespace
