// The four-lane MD5 engine against the scalar engine (which fuzz_md5 holds
// against OpenSSL), with arbitrary contents in every lane.
//
// Input layout:
//   byte 0      control: bits 0-1 choose the length (below), bit 2 makes
//               every lane a copy of lane 0, bit 3 runs one compression
//               from chaining values taken from the input as well
//   bytes 1-2   raw length (little-endian), used by length modes 1 and 3
//   bytes 3-66  with bit 3: four chaining values per lane (16 x u32)
//   rest        the lanes' material, cut into four equal slices
// Length modes: 0, each lane is its slice verbatim (the length is the slice
// length); 1, any length up to 8255 (raw % 8256); 2, exactly 4096, the
// Shooter block; 3, within 8 bytes of a padding boundary (55, 56, 64, 119,
// 120, 4096), chosen by the raw length. In modes 1 to 3 a lane's bytes are
// its slice repeated and perturbed per repetition (fuzz_support.h), so long
// lanes come from short inputs and still differ between lanes.
// Properties: every lane's digest equals kel_md5 over that lane's bytes,
// whatever the other lanes hold; lanes with equal bytes give equal
// digests; one compression from arbitrary chaining values equals
// md5_block on each lane. Each lane sits in its own exactly-sized heap
// block, so AddressSanitizer reports a read past any lane.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "md5/md5.h"
#include "md5/md5_lanes.h"

namespace {

constexpr std::size_t kBoundaries[] = {55, 56, 64, 119, 120, 4096};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    kf::Reader in(data, size);
    const std::uint8_t control = in.u8();
    const std::uint16_t raw_len = in.u16();
    const bool same_lanes = (control & 4) != 0;
    const bool with_state = (control & 8) != 0;
    std::uint32_t state[kMd5Lanes][4];
    if (with_state)
        for (auto &lane : state)
            for (auto &w : lane) w = in.u32();

    const kf::Bytes material = in.rest();
    const std::size_t slice = material.size() / kMd5Lanes;
    std::size_t len = 0;
    switch (control & 3) {
        case 0: len = slice; break;
        case 1: len = raw_len % 8256u; break;
        case 2: len = 4096; break;
        default: {
            const std::size_t base = kBoundaries[raw_len % (sizeof kBoundaries / sizeof kBoundaries[0])];
            len = base + (raw_len >> 8) % 17 - 8;
            break;
        }
    }

    std::unique_ptr<kf::HeapBlock> lanes[kMd5Lanes];
    const std::uint8_t *p[kMd5Lanes];
    for (int l = 0; l < kMd5Lanes; ++l) {
        const int from = same_lanes ? 0 : l;
        const auto first = material.begin() + static_cast<std::ptrdiff_t>(slice * static_cast<std::size_t>(from));
        const kf::Bytes pattern(first, first + static_cast<std::ptrdiff_t>(slice));
        const kf::Bytes bytes = (control & 3) == 0 ? pattern : kf::virtual_range(pattern, 0, len);
        lanes[l].reset(new kf::HeapBlock(bytes.data(), len));
        p[l] = lanes[l]->data();
    }

    std::uint8_t digests[kMd5Lanes][16];
    md5_x4(p, len, digests);
    for (int l = 0; l < kMd5Lanes; ++l) {
        std::uint8_t want[16];
        kel_md5(p[l], len, want);
        FUZZ_CHECK_STR(kref::hex_lower(digests[l], 16), kref::hex_lower(want, 16));
        if (same_lanes) FUZZ_CHECK(std::memcmp(digests[l], digests[0], 16) == 0);
    }

    // One compression of each lane's first block, from the input's chaining
    // values, when every lane has a whole block.
    if (with_state && len >= 64) {
        std::uint32_t want[kMd5Lanes][4];
        std::memcpy(want, state, sizeof want);
        for (int l = 0; l < kMd5Lanes; ++l) md5_block(want[l], p[l]);
        md5_block_x4(state, p);
        for (int l = 0; l < kMd5Lanes; ++l)
            for (int w = 0; w < 4; ++w) FUZZ_CHECK(state[l][w] == want[l][w]);
    }
    return 0;
}
