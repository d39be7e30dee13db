// The digest interface of libcrypto (EVP) fetches its implementation from a
// provider at run time, which links OpenSSL's module loader, and with it
// dlopen, into every program; the CGI programs are static and must load
// nothing. The direct SHA-512 functions reach the same assembly code without
// the loader. OpenSSL 3 marks them deprecated, not removed.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sha512.h"

#include <openssl/sha.h>

#include "file_pieces.h"

namespace {

// Pieces fed to SHA512_Update, which takes a size_t.
constexpr uint64_t BUFFER_PIECE = 65536;

} // namespace

void sha512_buffer(const void *data, uint64_t len, uint8_t out[SHA512_DIGEST_SIZE])
{
    SHA512_CTX ctx;
    SHA512_Init(&ctx);
    // SHA512_Update takes a size_t; feed in pieces so a 64-bit length never
    // narrows on a 32-bit size_t.
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        size_t piece = static_cast<size_t>(len > BUFFER_PIECE ? BUFFER_PIECE : len);
        SHA512_Update(&ctx, p, piece);
        p += piece;
        len -= piece;
    }
    SHA512_Final(out, &ctx);
}

int sha512_fd(int fd, uint8_t out[SHA512_DIGEST_SIZE])
{
    SHA512_CTX ctx;
    SHA512_Init(&ctx);
    if (hash_file_pieces(fd, [&ctx](const uint8_t *data, size_t len) { SHA512_Update(&ctx, data, len); }) != 0)
        return -1;
    SHA512_Final(out, &ctx);
    return 0;
}
