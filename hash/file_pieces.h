// Reading a whole open file in fixed-size pieces for a hash, from its first
// byte to its end whatever the descriptor's offset (which stays as it was):
// what sha256_fd and sha512_fd share.
#ifndef HASH_FILE_PIECES_H
#define HASH_FILE_PIECES_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Memory stays fixed whatever the file's size. Reads from the page cache
// cost little next to hashing; a larger buffer measured no faster.
constexpr size_t HASH_FILE_PIECE = 65536;

// Calls take(data, len) for each piece in order: 0 at the end of the file,
// -1 when a read fails.
template <typename Take> int hash_file_pieces(int fd, Take &&take)
{
#ifdef POSIX_FADV_SEQUENTIAL
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    alignas(64) uint8_t buf[HASH_FILE_PIECE];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n > 0) {
            take(buf, static_cast<size_t>(n));
            at += n;
            continue;
        }
        if (n == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

#endif
