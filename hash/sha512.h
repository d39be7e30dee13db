// SHA-512 (FIPS 180-4) over memory and over whole files, computed by
// OpenSSL's libcrypto. Produces the raw 64-byte digest; callers make the
// textual form.
#ifndef HASH_SHA512_H
#define HASH_SHA512_H

#include <cstddef>
#include <cstdint>

constexpr size_t SHA512_DIGEST_SIZE = 64;

void sha512_buffer(const void *data, uint64_t len, uint8_t out[SHA512_DIGEST_SIZE]);
// 0 with the digest of the whole open file, from its first byte to its end
// whatever the descriptor's offset (which stays as it was); -1 (out
// untouched) when it cannot be read.
int sha512_fd(int fd, uint8_t out[SHA512_DIGEST_SIZE]);

#endif
