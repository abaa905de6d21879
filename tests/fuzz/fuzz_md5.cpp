// The MD5 engine against the MD5 oracle: OpenSSL's, which every libFuzzer
// build links; a corpus replay in a build without OpenSSL (the cross builds)
// has the plain RFC 1321 MD5 of the reference layer instead. The input is
// the message; its first byte
// also seeds the cut of the message into pieces (zero-length pieces
// included) that are fed through kel_md5_update one after another.
// Properties: the streamed digest, the one-shot kel_md5 and the oracle
// agree; kelhash_md5_buffer and kelhash_md5_file give the same digest in
// uppercase; the finished context holds block_len 0 and total_len = message
// length plus the padding bytes (1 to 64, so that the total is 56 modulo 64).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "md5/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string want = kref::oracle_md5(data, size);

    std::uint8_t one_shot[16];
    kel_md5(data, size, one_shot);
    FUZZ_CHECK_STR(kref::hex_lower(one_shot, 16), want);

    // Piece lengths from a small generator seeded by the first byte: short
    // pieces around the 64-byte block, zero-length ones, and now and then a
    // long one.
    std::uint32_t x = 0x9E3779B9u ^ (size ? data[0] * 0x01000193u : 0u);
    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    std::size_t pos = 0;
    while (pos < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        std::size_t piece;
        switch (x & 7) {
            case 0: piece = 0; break;
            case 1: piece = 1; break;
            case 2: piece = 63 + (x >> 8) % 3; break;
            case 3: piece = (x >> 8) % 1024; break;
            default: piece = (x >> 8) % 130; break;
        }
        if (piece > size - pos) piece = size - pos;
        kel_md5_update(&ctx, data + pos, piece);
        FUZZ_CHECK(ctx.block_len < 64);
        pos += piece;
    }
    FUZZ_CHECK(ctx.total_len == size);
    FUZZ_CHECK(ctx.block_len == size % 64);
    std::uint8_t streamed[16];
    kel_md5_final(&ctx, streamed);
    FUZZ_CHECK_STR(kref::hex_lower(streamed, 16), want);
    FUZZ_CHECK(ctx.block_len == 0);
    const std::uint64_t padding = ctx.total_len - size;
    FUZZ_CHECK(padding >= 1 && padding <= 64);
    FUZZ_CHECK(ctx.total_len % 64 == 56);

    // The exported function, uppercase; a null pointer for the empty message.
    const std::int32_t st = kelhash_md5_buffer(size ? data : nullptr, size);
    FUZZ_CHECK(st == KELHASH_OK);
    FUZZ_CHECK_STR(kelhash_last_error(), "");
    FUZZ_CHECK_STR(kelhash_result(), kref::to_upper(want));

    // And the file function over the same bytes.
    const char *path = kf::write_scratch(data, size);
    FUZZ_CHECK(kelhash_md5_file(path) == KELHASH_OK);
    FUZZ_CHECK_STR(kelhash_last_error(), "");
    FUZZ_CHECK_STR(kelhash_result(), kref::to_upper(want));
    return 0;
}
