// SHA-256 (FIPS 180-4) over memory, streamed, and over whole files.
// Produces the raw 32-byte digest; callers make the textual form.
#ifndef HASH_SHA256_H
#define HASH_SHA256_H

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_DIGEST_SIZE = 32;
constexpr size_t SHA256_BLOCK_SIZE = 64;

struct sha256_ctx {
    uint32_t state[8];  // intermediate hash value H0..H7
    uint64_t bit_count; // bits fed through sha256_update, modulo 2^64
    uint8_t block[SHA256_BLOCK_SIZE];
    size_t block_fill; // bytes of block in use, 0..63 between calls
};

void sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, uint64_t len);
void sha256_final(sha256_ctx *ctx, uint8_t out[SHA256_DIGEST_SIZE]);
// 0 with the digest of the whole file in out; -1 (out untouched) when the
// file cannot be opened or read.
int sha256_file(const char *path, uint8_t out[SHA256_DIGEST_SIZE]);
// The same over an open file, from its first byte to its end whatever the
// descriptor's offset (which stays as it was), so a caller can hash a file
// it holds locked without opening it again.
int sha256_fd(int fd, uint8_t out[SHA256_DIGEST_SIZE]);

// Test and benchmark hooks. The compression runs on the x86 SHA extensions
// when the processor has them and on portable code otherwise; both give the
// same digests. sha256_hw_available() is 1 when the hardware path exists;
// sha256_force_portable(1) makes every later hash use the portable code,
// (0) restores the automatic choice. Not meant for production callers.
int sha256_hw_available(void);
void sha256_force_portable(int on);

#endif
