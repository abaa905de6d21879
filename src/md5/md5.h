/* Streaming MD5 (RFC 1321) engine. Internal: nothing here fails or touches
 * the result buffers, and nothing here is exported from the shared library.
 *
 * The header is plain C99 as well as C++, with C linkage, so that the
 * kelhash command (a C program) can stream a file's MD5 through the same
 * engine, linked from the internal archive. */
#ifndef KELHASH_MD5_H
#define KELHASH_MD5_H

#include <stdint.h>
#ifdef __cplusplus
#  include <cstdint>
extern "C" {
#endif

typedef struct kel_md5_ctx {
    uint32_t state[4];  /* chaining values A, B, C, D */
    uint64_t total_len; /* bytes fed through kel_md5_update, mod 2^64 */
    uint8_t block[64];  /* the block being filled */
    uint64_t block_len; /* bytes now held in block, 0 to 63 between calls */
} kel_md5_ctx;

void kel_md5_init(kel_md5_ctx *ctx);
void kel_md5_update(kel_md5_ctx *ctx, const uint8_t *data, uint64_t len);
void kel_md5_final(kel_md5_ctx *ctx, uint8_t digest[16]);
void kel_md5(const uint8_t *data, uint64_t len, uint8_t digest[16]);

/* Compresses one 64-byte block into the four chaining values. */
void md5_block(uint32_t state[4], const uint8_t block[64]);

#ifdef __cplusplus
}
#endif

#endif /* KELHASH_MD5_H */
