// sha256_file throughput, hardware and portable compression, on a file that
// is read once beforehand so the page cache holds it. Compare with
//   time openssl dgst -sha256 FILE
// on the same file.
//   usage: sha256_file_bench FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include <sys/stat.h>

#include "sha256.h"

static double best_seconds(const char *path, int runs, uint8_t digest[SHA256_DIGEST_SIZE])
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (sha256_file(path, digest) != 0)
            return -1;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (s < best)
            best = s;
    }
    return best;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    const char *path = argv[1];
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    struct stat st;
    if (stat(path, &st) != 0) {
        perror(path);
        return 1;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    if (sha256_file(path, digest) != 0) { // warms the page cache
        fprintf(stderr, "%s: cannot hash\n", path);
        return 1;
    }
    const double mib = (double)st.st_size / (1024.0 * 1024.0);
    for (int portable : {0, 1}) {
        if (!portable && !sha256_hw_available()) {
            printf("sha-extensions: not available\n");
            continue;
        }
        sha256_force_portable(portable);
        double s = best_seconds(path, runs, digest);
        printf("%-14s %8.1f MiB in %.3f s: %8.1f MiB/s  ", portable ? "portable" : "sha-extensions", mib, s, mib / s);
        for (uint8_t b : digest)
            printf("%02x", b);
        printf("\n");
    }
    return 0;
}
