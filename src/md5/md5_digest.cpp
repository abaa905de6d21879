// The exported MD5 digest functions.
#include <cstdio>

#include "frame/frame.h"
#include "frame/stream.h"
#include "kelhash.h"
#include "md5/md5.h"

extern "C" {

KELHASH_API int32_t kelhash_md5_buffer(const void *data, uint64_t len) {
    clear_error();
    if (data == nullptr && len != 0) return fail(Failure::null_data);
    static const std::uint8_t kEmpty[1] = {0};
    const auto *bytes = data != nullptr ? static_cast<const std::uint8_t *>(data) : kEmpty;
    std::uint8_t digest[16];
    kel_md5(bytes, len, digest);
    hex_upper(digest);
    return KELHASH_OK;
}

KELHASH_API int32_t kelhash_md5_file(const char *path) {
    clear_error();
    std::FILE *f = nullptr;
    if (const std::int32_t st = stream_open(path, &f); st != KELHASH_OK) return st;

    kel_md5_ctx ctx;
    kel_md5_init(&ctx);
    std::uint8_t buf[65536];
    // Streams from the first byte to the end, without seeking, so pipes and
    // other unseekable streams hash like files.
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        if (n == 0) break;
        kel_md5_update(&ctx, buf, n);
    }
    if (std::ferror(f)) {
        std::fclose(f);
        return fail(Failure::read_error);
    }
    std::fclose(f);
    std::uint8_t digest[16];
    kel_md5_final(&ctx, digest);
    hex_upper(digest);
    return KELHASH_OK;
}

}  // extern "C"
