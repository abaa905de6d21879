// Streaming MD5 (RFC 1321) engine. Internal: nothing here fails or touches
// the result buffers.
#pragma once

#include <cstdint>

struct kel_md5_ctx {
    std::uint32_t state[4];   // chaining values A, B, C, D
    std::uint64_t total_len;  // bytes fed through kel_md5_update, mod 2^64
    std::uint8_t block[64];   // the block being filled
    std::uint64_t block_len;  // bytes now held in block, 0 to 63 between calls
};

void kel_md5_init(kel_md5_ctx *ctx);
void kel_md5_update(kel_md5_ctx *ctx, const std::uint8_t *data, std::uint64_t len);
void kel_md5_final(kel_md5_ctx *ctx, std::uint8_t digest[16]);
void kel_md5(const std::uint8_t *data, std::uint64_t len, std::uint8_t digest[16]);

// Compresses one 64-byte block into the four chaining values.
void md5_block(std::uint32_t state[4], const std::uint8_t block[64]);
