// Benchmark of garbage collection: fills a fresh store through the library
// with repositories of image manifests (a config and layers each, some
// layers shared between repositories), deletes the tags of a share of the
// images, then times a dry run and the real run (grace 0, untagged
// manifests removed). Prints key=value lines.
//
// Usage: gc_bench <new storage root> [manifests, default 1000] [layers per manifest, default 10]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "reg_storage.h"
#include "sha256.h"

namespace {

constexpr int REPOS = 10;
// One image in this many loses its tag and so becomes garbage.
constexpr int UNTAGGED_EVERY = 4;
constexpr size_t BLOB_BYTES = 2048;

std::string digest_of(const std::string &bytes)
{
    static constexpr char hex[] = "0123456789abcdef";
    uint8_t hash[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    sha256_final(&ctx, hash);
    std::string out = "sha256:";
    for (uint8_t b : hash) {
        out += hex[b >> 4];
        out += hex[b & 0x0F];
    }
    return out;
}

std::string blob_bytes(int id)
{
    std::string s(BLOB_BYTES, '\0');
    uint32_t x = 2654435761u * static_cast<uint32_t>(id + 1);
    for (char &c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

bool push_blob(const char *repo, const std::string &bytes, std::string *digest)
{
    char uuid[REG_UUID_BUF], stored[REG_DIGEST_BUF];
    *digest = digest_of(bytes);
    return reg_blob_start_repo_upload(repo, uuid) == 0 &&
           reg_blob_append_chunk(uuid, bytes.data(), bytes.size()) == 0 &&
           reg_blob_finish_upload(uuid, digest->c_str(), stored) == 0 && reg_repo_blob_link(repo, digest->c_str()) == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int fail(const char *what)
{
    fprintf(stderr, "gc_bench: %s: %s\n", what, reg_storage_last_error());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: gc_bench <new storage root> [manifests] [layers per manifest]\n");
        return 2;
    }
    const int manifests = argc > 2 ? atoi(argv[2]) : 1000;
    const int layers = argc > 3 ? atoi(argv[3]) : 10;
    if (reg_storage_init(argv[1]) != 0)
        return fail("init");

    auto start = std::chrono::steady_clock::now();
    int next_blob = 0;
    int64_t blobs = 0;
    for (int m = 0; m < manifests; ++m) {
        std::string repo = "bench/repo" + std::to_string(m % REPOS);
        std::string config, body;
        if (!push_blob(repo.c_str(), blob_bytes(next_blob++), &config))
            return fail("push config");
        body = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":)"
               R"("application/vnd.oci.image.config.v1+json","digest":")" +
               config + R"(","size":2048},"layers":[)";
        blobs++;
        for (int l = 0; l < layers; ++l) {
            // Every tenth layer is one of a few base layers every repository
            // shares.
            std::string digest;
            int id = l % 10 == 0 ? 1000000 + (m % 7) : next_blob++;
            if (!push_blob(repo.c_str(), blob_bytes(id), &digest))
                return fail("push layer");
            blobs += id < 1000000;
            body += std::string(l ? "," : "") +
                    R"({"mediaType":"application/vnd.oci.image.layer.v1.tar","size":2048,"digest":")" + digest + "\"}";
        }
        body += "]}";
        char digest[REG_DIGEST_BUF];
        std::string tag = "t" + std::to_string(m);
        if (reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(),
                             "application/vnd.oci.image.manifest.v1+json", digest) != 0)
            return fail("put manifest");
        if (m % UNTAGGED_EVERY == 0) {
            // The tag goes; by the deletion rule the manifest goes with it,
            // leaving its blobs held and unnamed. Store it again by digest
            // so that an untagged manifest remains for the collector too.
            if (reg_manifest_delete(repo.c_str(), tag.c_str()) != 0)
                return fail("delete tag");
            if (m % (2 * UNTAGGED_EVERY) == 0 &&
                reg_manifest_put(repo.c_str(), digest, body.data(), body.size(),
                                 "application/vnd.oci.image.manifest.v1+json", digest) != 0)
                return fail("put by digest");
        }
    }
    printf("fill_seconds=%.2f\nmanifests=%d\nblobs=%lld\n", seconds_since(start), manifests,
           static_cast<long long>(blobs + 7));

    reg_gc_options opt{};
    opt.grace_seconds = 0;
    opt.delete_untagged = 1;
    reg_gc_result r{};
    opt.dry_run = 1;
    start = std::chrono::steady_clock::now();
    if (reg_gc(&opt, &r) != 0)
        return fail("gc dry run");
    printf("gc_dry_run_seconds=%.3f\n", seconds_since(start));
    opt.dry_run = 0;
    start = std::chrono::steady_clock::now();
    if (reg_gc(&opt, &r) != 0)
        return fail("gc");
    printf("gc_seconds=%.3f\nremoved_blobs=%lld\nremoved_blob_bytes=%lld\nremoved_holds=%lld\nremoved_manifests=%lld\n",
           seconds_since(start), static_cast<long long>(r.blobs), static_cast<long long>(r.blob_bytes),
           static_cast<long long>(r.holds), static_cast<long long>(r.manifests));
    start = std::chrono::steady_clock::now();
    if (reg_gc(&opt, &r) != 0)
        return fail("gc again");
    printf("gc_again_seconds=%.3f\ngc_again_removed_blobs=%lld\n", seconds_since(start),
           static_cast<long long>(r.blobs));
    return 0;
}
