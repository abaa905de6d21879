// Streaming MD5 for the WebAssembly module. A file's bytes reach the module
// piece by piece from JavaScript, which reads them itself (the module does no
// I/O), so the MD5 of a whole file runs the engine's init / update / final
// directly instead of going through kelhash_md5_file. Internal to the wasm
// build: the native library does not contain this file and exports none of
// it.
//
// The context lives in memory that the caller owns (one per digest in
// progress), so several digests can advance in turns between their reads
// without sharing any state but the result buffer, which only the final
// call writes.
#include <cstdint>

#include "frame/frame.h"
#include "md5/md5.h"

extern "C" {

// The context's size in bytes, for the caller to allocate.
std::uint32_t kelhash_wasm_md5_ctx_size(void) { return sizeof(kel_md5_ctx); }

void kelhash_wasm_md5_init(kel_md5_ctx *ctx) { kel_md5_init(ctx); }

// A piece of at most 4 GiB - 1 bytes: JavaScript passes 32-bit lengths as
// plain numbers, without a BigInt per call.
void kelhash_wasm_md5_update(kel_md5_ctx *ctx, const std::uint8_t *data, std::uint32_t len) {
    kel_md5_update(ctx, data, len);
}

// Finishes the digest and leaves its 32 uppercase digits in g_result, as
// kelhash_md5_buffer does, so the host reads it through kelhash_result.
void kelhash_wasm_md5_final(kel_md5_ctx *ctx) {
    std::uint8_t digest[16];
    kel_md5_final(ctx, digest);
    hex_upper(digest);
}

}  // extern "C"
