// Benchmark of reg_blob_finish_upload: builds an upload of the given size
// through the library (1 MiB chunks of pseudo-random bytes), then times the
// hash of the upload file alone (sha256_file) and the whole finish (hash,
// fsync, rename into the blob store). Prints key=value lines; the blob's
// path lets a script hash the same bytes with other tools.
//
// Usage: blob_finish_bench <storage root> [size in MiB, default 256]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "reg_storage.h"
#include "sha256.h"

namespace {

constexpr size_t CHUNK = 1 << 20;

void to_digest(const uint8_t hash[SHA256_DIGEST_SIZE], char out[REG_DIGEST_BUF])
{
    static constexpr char hex[] = "0123456789abcdef";
    snprintf(out, REG_DIGEST_BUF, "sha256:");
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        out[7 + 2 * i] = hex[hash[i] >> 4];
        out[8 + 2 * i] = hex[hash[i] & 0x0F];
    }
    out[7 + 2 * SHA256_DIGEST_SIZE] = '\0';
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char *what, uint64_t bytes, double secs)
{
    printf("%s_seconds=%.3f\n%s_mb_per_s=%.1f\n", what, secs, what, bytes / secs / 1e6);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <storage root> [size in MiB]\n", argv[0]);
        return 2;
    }
    long mib = argc > 2 ? strtol(argv[2], nullptr, 10) : 256;
    if (mib <= 0) {
        fprintf(stderr, "size must be a positive number of MiB\n");
        return 2;
    }
    if (reg_storage_init(argv[1]) != 0) {
        fprintf(stderr, "init: %s\n", reg_storage_last_error());
        return 1;
    }

    char id[REG_UUID_BUF];
    if (reg_blob_start_upload(id) != 0) {
        fprintf(stderr, "start: %s\n", reg_storage_last_error());
        return 1;
    }
    std::vector<uint8_t> chunk(CHUNK);
    uint32_t state = 0x12345678;
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (long i = 0; i < mib; ++i) {
        for (uint8_t &b : chunk) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            b = static_cast<uint8_t>(state);
        }
        sha256_update(&ctx, chunk.data(), chunk.size());
        if (reg_blob_append_chunk(id, chunk.data(), chunk.size()) != 0) {
            fprintf(stderr, "append: %s\n", reg_storage_last_error());
            return 1;
        }
    }
    uint8_t hash[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, hash);
    char expected[REG_DIGEST_BUF];
    to_digest(hash, expected);
    uint64_t bytes = static_cast<uint64_t>(mib) * CHUNK;

    char upload_path[4096];
    snprintf(upload_path, sizeof upload_path, "%s/uploads/%s.part", argv[1], id);
    auto start = std::chrono::steady_clock::now();
    if (sha256_file(upload_path, hash) != 0) {
        fprintf(stderr, "sha256_file failed on %s\n", upload_path);
        return 1;
    }
    report("hash_only", bytes, seconds_since(start));

    char digest[REG_DIGEST_BUF];
    start = std::chrono::steady_clock::now();
    if (reg_blob_finish_upload(id, expected, digest) != 0) {
        fprintf(stderr, "finish: %s\n", reg_storage_last_error());
        return 1;
    }
    report("finish", bytes, seconds_since(start));

    char blob_path[4096];
    if (reg_blob_get_filepath(digest, blob_path, sizeof blob_path) != 0) {
        fprintf(stderr, "filepath: %s\n", reg_storage_last_error());
        return 1;
    }
    printf("bytes=%llu\ndigest=%s\nblob_path=%s\n", static_cast<unsigned long long>(bytes), digest, blob_path);
    reg_storage_cleanup();
    return 0;
}
