/*
 * kelhash: subtitle-service fingerprints (OpenSubtitles, Shooter), MD5 and a
 * stable string hash for media players and other hosts.
 *
 * Every function except the two accessors returns a status code. Results and
 * failure messages live in two process-wide 256-byte buffers owned by the
 * library; read them through kelhash_result() and kelhash_last_error() before
 * the next call. The library is not safe for concurrent calls: a host that
 * calls it from several threads serialises the calls itself.
 *
 * This header is plain C99 and also compiles as C++.
 */
#ifndef KELHASH_H
#define KELHASH_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(KELHASH_BUILDING)
#    define KELHASH_API __declspec(dllexport)
#  elif defined(KELHASH_STATIC)
#    define KELHASH_API
#  else
#    define KELHASH_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define KELHASH_API __attribute__((visibility("default")))
#else
#  define KELHASH_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define KELHASH_OK 0                   /* success */
#define KELHASH_ERR_IO 1               /* opening, positioning, sizing or reading a file failed */
#define KELHASH_ERR_TOO_SMALL 2        /* Shooter hash of <= 8192 bytes without a fallback name */
#define KELHASH_ERR_INVALID_ARG 3      /* null pointer, negative size, ranges that do not fit */
#define KELHASH_ERR_INVALID_UTF8 4     /* a string is not well-formed UTF-8 */
#define KELHASH_ERR_NO_MEMORY 5        /* a heap allocation failed */
#define KELHASH_ERR_BUFFER_TOO_SMALL 6 /* the result does not fit into out_hex */

/* The result string (NUL-terminated, at most 131 characters). The address
 * is fixed; the contents change with the next call into the library.
 *
 * After status 0 it holds the result of that call (kelhash_stable_utf8
 * excepted: it delivers through *out and never touches this string). After
 * a failure it holds what the failed call left there, which is not a result:
 *   - the MD5 and the OpenSubtitles buffer and file functions leave it as
 *     it was before the call;
 *   - the two chunk functions empty it, except that after status 6 it holds
 *     the complete result that did not fit into out_hex;
 *   - the Shooter functions leave it empty after status 2, 4 or 5;
 *     kelhash_shooter_buffer leaves it as it was for a null data pointer;
 *     kelhash_shooter_file leaves it as it was when the file cannot be
 *     opened or sized, and when reaching or reading block k (1 to 3) fails
 *     it holds the digests of the blocks before k, joined by ";".
 * Read it after status 0 only. */
KELHASH_API const char *kelhash_result(void);

/* The message of the failure that ended the last call, or "". */
KELHASH_API const char *kelhash_last_error(void);

/* MD5 (RFC 1321) as 32 uppercase hexadecimal digits. data may be null when
 * len is 0. */
KELHASH_API int32_t kelhash_md5_buffer(const void *data, uint64_t len);
KELHASH_API int32_t kelhash_md5_file(const char *path);

/* OpenSubtitles hash as 16 lowercase hexadecimal digits. */
KELHASH_API int32_t kelhash_opensubtitles_buffer(const void *data, uint64_t len);
KELHASH_API int32_t kelhash_opensubtitles_file(const char *path);

/* OpenSubtitles hash from bytes the host read itself: head holds the file's
 * first min(total_size, 65536) bytes or more, tail ends at the file's last
 * byte and holds at least as many. The result is also copied into out_hex
 * (capacity out_cap, 17 bytes suffice) when out_hex is not null. */
KELHASH_API int32_t kelhash_opensubtitles_chunks(const void *head, uint64_t head_len,
                                                 const void *tail, uint64_t tail_len,
                                                 int64_t total_size, char *out_hex,
                                                 uint64_t out_cap);

/* Shooter hash: four MD5 digests of 4096-byte blocks joined by ";" (131
 * chars), or, for a file of 8192 bytes or less, the stable hash of
 * fallback_name in decimal. fallback_name may be null. */
KELHASH_API int32_t kelhash_shooter_buffer(const void *data, uint64_t len,
                                           const char *fallback_name);
KELHASH_API int32_t kelhash_shooter_file(const char *path, const char *fallback_name);

/* Shooter hash from the four blocks the host read itself at the offsets
 * 4096, (S / 3) * 2, S / 3 and S - 8192, in that order. out_hex of 132 bytes
 * always suffices. */
KELHASH_API int32_t kelhash_shooter_chunks(const void *block0, uint64_t block0_len,
                                           const void *block1, uint64_t block1_len,
                                           const void *block2, uint64_t block2_len,
                                           const void *block3, uint64_t block3_len,
                                           int64_t total_size, const char *fallback_name,
                                           char *out_hex, uint64_t out_cap);

/* Stable non-negative 32-bit hash (0 to 2147483647) of a UTF-8 string over
 * its UTF-16 code units. Written to *out on success only; never touches the
 * result buffer. */
KELHASH_API int32_t kelhash_stable_utf8(const char *text, int32_t *out);

#ifdef __cplusplus
}
#endif

#endif /* KELHASH_H */
