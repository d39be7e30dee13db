// The digest interface of libcrypto (EVP) fetches its implementation from a
// provider at run time, which links OpenSSL's module loader, and with it
// dlopen, into every program; the CGI programs are static and must load
// nothing. The direct SHA-512 functions reach the same assembly code without
// the loader. OpenSSL 3 marks them deprecated, not removed.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sha512.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/sha.h>

namespace {

// Read size of sha512_fd: memory stays fixed whatever the file's size.
constexpr size_t FILE_CHUNK = 65536;

} // namespace

void sha512_buffer(const void *data, uint64_t len, uint8_t out[SHA512_DIGEST_SIZE])
{
    SHA512_CTX ctx;
    SHA512_Init(&ctx);
    // SHA512_Update takes a size_t; feed in pieces so a 64-bit length never
    // narrows on a 32-bit size_t.
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        size_t piece = len > FILE_CHUNK ? FILE_CHUNK : static_cast<size_t>(len);
        SHA512_Update(&ctx, p, piece);
        p += piece;
        len -= piece;
    }
    SHA512_Final(out, &ctx);
}

int sha512_fd(int fd, uint8_t out[SHA512_DIGEST_SIZE])
{
#ifdef POSIX_FADV_SEQUENTIAL
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    SHA512_CTX ctx;
    SHA512_Init(&ctx);
    alignas(64) uint8_t buf[FILE_CHUNK];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n > 0) {
            SHA512_Update(&ctx, buf, static_cast<size_t>(n));
            at += n;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        return -1;
    }
    SHA512_Final(out, &ctx);
    return 0;
}
