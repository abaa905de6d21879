// The golden files (tests/golden), whose expected values were computed from
// the hashes' definitions by the Python reference module, through every
// variant of every function: path, buffer and caller-read ranges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelhash.h"
#include "reference.h"
#include "support.h"

namespace {

TEST(Golden, FilesThroughEveryVariant) {
    const std::vector<kref::GoldenFile> files = kref::golden_files();
    const std::string name = kref::golden_fallback_name();
    for (const kref::GoldenFile &g : files) {
        SCOPED_TRACE(g.name);
        const kt::Bytes data = kt::read_range(g.path, 0, static_cast<std::size_t>(g.size));
        ASSERT_EQ(data.size(), g.size);
        const auto *p = data.data();
        const auto n = static_cast<std::uint64_t>(data.size());
        const auto s = static_cast<std::int64_t>(n);

        ASSERT_EQ(kelhash_md5_file(g.path.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.md5);
        ASSERT_EQ(kelhash_md5_buffer(p, n), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.md5);

        ASSERT_EQ(kelhash_opensubtitles_file(g.path.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.opensubtitles);
        ASSERT_EQ(kelhash_opensubtitles_buffer(p, n), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.opensubtitles);
        const std::uint64_t m = kref::opensubtitles_range(n);
        char out[256];
        ASSERT_EQ(kelhash_opensubtitles_chunks(p, m, p + (n - m), m, s, out, sizeof out),
                  KELHASH_OK);
        EXPECT_EQ(std::string(out), g.opensubtitles);

        ASSERT_EQ(kelhash_shooter_file(g.path.c_str(), name.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.shooter);
        ASSERT_EQ(kelhash_shooter_buffer(p, n, name.c_str()), KELHASH_OK);
        EXPECT_EQ(kt::result(), g.shooter);
        // The four blocks as a host reads them: what lies at each offset,
        // up to 4096 bytes (nothing at all for a file that takes the
        // fallback).
        const std::uint8_t *blocks[4] = {};
        std::uint64_t lens[4] = {};
        if (n > kref::kShooterThreshold) {
            const kref::ShooterOffsets offs = kref::shooter_offsets(n);
            for (std::size_t i = 0; i < 4; ++i) {
                blocks[i] = p + offs[i];
                lens[i] = kref::shooter_host_read(n, offs[i]);
            }
        }
        ASSERT_EQ(kelhash_shooter_chunks(blocks[0], lens[0], blocks[1], lens[1], blocks[2],
                                         lens[2], blocks[3], lens[3], s, name.c_str(), out,
                                         sizeof out),
                  KELHASH_OK)
            << kt::last_error();
        EXPECT_EQ(std::string(out), g.shooter);
    }
}

TEST(Golden, StableHashes) {
    for (const kref::GoldenText &t : kref::golden_texts()) {
        SCOPED_TRACE(t.hex);
        std::int32_t value = -1;
        ASSERT_EQ(kelhash_stable_utf8(t.text.c_str(), &value), KELHASH_OK);
        EXPECT_EQ(value, t.stable_hash);
    }
}

}  // namespace
