// Manifest and index validation and storage: reg_manifest_put or
// reg_manifest_put_index with a fuzzed repository name, reference, media
// type and body on a storage root inside the sandbox, then lookup, the
// subject and referrer views, the tag list and deletion. After every run
// the sandbox holds only the root and the fuzzer's working directory is
// unchanged; the armed sandbox guard aborts on any change outside it.
//
// Input: byte 0 holds flags (below); then the name, the reference and the
// media type, each ended by '\n' (a missing field is empty, a NUL cuts it),
// then the body: all remaining bytes.
//   bit 0  store as an image index (reg_manifest_put_index)
//   bit 1  no media type (null)
//   bit 2  delete by digest rather than by the reference
//   bit 3  keep the manifest (no deletion)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include <yyjson.h>

#include "fuzz_sandbox.h"
#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"

namespace {

// Runs between two resets of the root: enough to let state build up across
// runs (tags moved, bodies shared), few enough to keep directories small.
constexpr unsigned kRunsPerRoot = 2000;
constexpr const char *kSentinel = "untouched";

std::string s_root_path;
unsigned s_runs;
struct stat s_home;

[[noreturn]] void fail(const char *what, const std::string &name, const std::string &ref)
{
    sandbox_disarm();
    fprintf(stderr, "invariant broken: %s [name %s] [reference %s] [last error %s]\n", what, name.c_str(), ref.c_str(),
            reg_storage_last_error());
    abort();
}

void open_fresh_root(void)
{
    sandbox_remove_tree(s_root_path.c_str());
    if (reg_storage_init(s_root_path.c_str()) != 0) {
        fprintf(stderr, "harness: cannot open %s: %s\n", s_root_path.c_str(), reg_storage_last_error());
        abort();
    }
}

// Consumes one '\n'-ended field; the text stops at a NUL inside it.
std::string field(const uint8_t **p, size_t *left)
{
    const char *s = reinterpret_cast<const char *>(*p);
    const char *nl = static_cast<const char *>(memchr(s, '\n', *left));
    size_t len = nl ? static_cast<size_t>(nl - s) : *left;
    std::string out(s, strnlen(s, len));
    size_t used = nl ? len + 1 : len;
    *p += used;
    *left -= used;
    return out;
}

// Bytes above 0x7F pass through the library's escaping unchanged, so a tag
// or annotation that is not UTF-8 yields a document that is not UTF-8
// either (tags are stored as given); only the JSON structure is checked.
bool valid_json(const char *text)
{
    yyjson_doc *doc = yyjson_read(text, strlen(text), YYJSON_READ_ALLOW_INVALID_UNICODE);
    bool ok = doc && yyjson_is_obj(yyjson_doc_get_root(doc));
    yyjson_doc_free(doc);
    return ok;
}

std::string digest_of(const void *data, size_t len)
{
    sha256_ctx ctx;
    uint8_t hash[SHA256_DIGEST_SIZE];
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, hash);
    bin_to_hex(hash, sizeof hash, hex);
    return std::string("sha256:") + hex;
}

// 1 when some tag of the repository links the digest.
bool tagged(const std::string &name, const std::string &digest)
{
    char tags[REG_PATH_BUF];
    manifest_tags_dir(name.c_str(), tags, sizeof tags);
    static dir_listing listing;
    if (list_dir(tags, &listing) != 0)
        return false;
    for (int i = 0; i < listing.count; i++) {
        char link_path[REG_PATH_BUF];
        char link[128] = {};
        manifest_tag_path(name.c_str(), listing.entries[i].name, link_path, sizeof link_path);
        if (read_file(link_path, link, sizeof link, nullptr) == 0 && digest == std::string(link, 71))
            return true;
    }
    return false;
}

void check_stored(const std::string &name, const std::string &ref, const uint8_t *body, size_t body_len,
                  const char *content_type, const std::string &digest)
{
    if (!digest_valid(digest.c_str()) || digest != digest_of(body, body_len))
        fail("digest is not the body's SHA-256", name, ref);
    char ct[REG_CONTENT_TYPE_BUF];
    char got_digest[REG_DIGEST_BUF];
    const char *got = reg_manifest_get(name.c_str(), digest.c_str(), ct, got_digest);
    if (!got)
        fail("stored manifest not found by digest", name, ref);
    if (strlen(got) != body_len || memcmp(got, body, body_len) != 0)
        fail("body changed in store", name, ref);
    if (digest != got_digest)
        fail("lookup digest differs", name, ref);
    std::string want_ct = content_type && content_type[0] ? content_type : DEFAULT_MANIFEST_TYPE;
    if (want_ct.compare(0, strlen(ct), ct) != 0 || (want_ct.size() < 100 && want_ct != ct))
        fail("media type changed in store", name, ref);
    if (strncmp(ref.c_str(), "sha256:", 7) != 0) {
        got = reg_manifest_get(name.c_str(), ref.c_str(), ct, got_digest);
        if (!got || digest != got_digest)
            fail("tag does not name the stored manifest", name, ref);
    }
    char subject[REG_DIGEST_BUF];
    int has = reg_manifest_subject(name.c_str(), digest.c_str(), subject);
    if (has < 0 || (has == 1 && !digest_valid(subject)))
        fail("subject of a stored manifest", name, ref);
    if (has == 1) {
        const char *referrers = reg_referrers_page_json(name.c_str(), subject, "", -1, nullptr, nullptr, 0);
        if (!referrers || !valid_json(referrers))
            fail("referrers document is not a JSON object", name, ref);
    }
    const char *tags = reg_tags_list_json(name.c_str());
    if (!tags || !valid_json(tags))
        fail("tag list is not a JSON object", name, ref);
}

void check_deleted(const std::string &name, const std::string &ref, const std::string &digest, bool by_digest)
{
    const std::string &target = by_digest ? digest : ref;
    if (reg_manifest_delete(name.c_str(), target.c_str()) != 0)
        fail("delete of a stored manifest", name, target);
    char ct[REG_CONTENT_TYPE_BUF];
    char got_digest[REG_DIGEST_BUF];
    if (!by_digest && strncmp(ref.c_str(), "sha256:", 7) != 0 &&
        reg_manifest_get(name.c_str(), ref.c_str(), ct, got_digest))
        fail("deleted tag still found", name, ref);
    // A body stays only while a tag still names it.
    if (reg_manifest_get(name.c_str(), digest.c_str(), ct, got_digest) && !tagged(name, digest))
        fail("deleted manifest still found without a tag", name, digest);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    s_root_path = std::string(sandbox_dir()) + "/root";
    if (stat(".", &s_home) != 0)
        abort();
    open_fresh_root();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t flags = data[0];
    const uint8_t *p = data + 1;
    size_t left = size - 1;
    std::string name = field(&p, &left);
    std::string ref = field(&p, &left);
    std::string ct = field(&p, &left);
    const char *content_type = (flags & 2) ? nullptr : ct.c_str();

    if (++s_runs % kRunsPerRoot == 0)
        open_fresh_root();
    sandbox_arm();
    char digest[REG_DIGEST_BUF];
    snprintf(digest, sizeof digest, "%s", kSentinel);
    // A zero-length body still gets a valid pointer, as from a request.
    const void *body = left ? static_cast<const void *>(p) : "";
    int rc = (flags & 1) ? reg_manifest_put_index(name.c_str(), ref.c_str(), body, left, content_type, digest)
                         : reg_manifest_put(name.c_str(), ref.c_str(), body, left, content_type, digest);
    if (rc == 0) {
        check_stored(name, ref, p, left, content_type, digest);
        if (!(flags & 8))
            check_deleted(name, ref, digest, (flags & 4) != 0);
    } else {
        if (strcmp(digest, kSentinel) != 0)
            fail("digest written by a failed store", name, ref);
        if (reg_storage_last_error()[0] == '\0')
            fail("failure without a message", name, ref);
    }
    sandbox_disarm();

    static const char *const kOnlyRoot[] = {"root"};
    sandbox_expect_entries(sandbox_dir(), kOnlyRoot, 1);
    struct stat home;
    if (stat(".", &home) != 0 || home.st_mtim.tv_sec != s_home.st_mtim.tv_sec ||
        home.st_mtim.tv_nsec != s_home.st_mtim.tv_nsec) {
        fprintf(stderr, "invariant broken: the fuzzer's working directory changed\n");
        abort();
    }
    return 0;
}
