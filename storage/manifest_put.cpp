// Storing a manifest: validate the JSON members every manifest must carry,
// then keep the body byte for byte under the SHA-256 of those bytes with its
// media type, its referrer record (when it names a subject), its revision
// link and, for a tag reference, the tag's link. Image indexes share every
// step but the validation (manifest_index.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "sha256.h"
#include "storage_internal.h"

namespace {

constexpr const char DIGEST_PREFIX[] = "sha256:";
constexpr size_t DIGEST_PREFIX_LEN = sizeof(DIGEST_PREFIX) - 1;
constexpr size_t HEX_BUF = 2 * SHA256_DIGEST_SIZE + 1; // 64 digits + NUL
constexpr size_t LINK_BUF = 80;                         // "sha256:" + 64 digits + NUL, with room

int is_digest_reference(const char *reference)
{
    return strncmp(reference, DIGEST_PREFIX, DIGEST_PREFIX_LEN) == 0;
}

// Frees a referrer record on every way out of a store.
struct referrer_guard {
    referrer_record *rec;
    ~referrer_guard() { referrer_record_free(rec); }
};

} // namespace

const char *digest_member(yyjson_val *obj)
{
    if (!yyjson_is_obj(obj))
        return nullptr;
    yyjson_val *digest = yyjson_obj_get(obj, "digest");
    if (!yyjson_is_str(digest))
        return nullptr;
    return yyjson_get_str(digest);
}

size_t first_invalid_descriptor(yyjson_val *arr)
{
    size_t count = yyjson_arr_size(arr);
    for (size_t i = 0; i < count; ++i)
        if (!digest_valid(digest_member(yyjson_arr_get(arr, i))))
            return i;
    return NO_INVALID_DESCRIPTOR;
}

// Checks the members every stored manifest must carry. Only the first
// occurrence of a duplicated key counts (the lookup of yyjson_obj_get).
yyjson_doc *manifest_checked_doc(const void *body, uint64_t body_len)
{
    yyjson_doc *doc = yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0);
    if (!doc) {
        set_error("manifest JSON parse failed");
        return nullptr;
    }
    int rc = 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        set_error("manifest must be a JSON object");
        rc = -1;
    }
    if (rc == 0 && !digest_valid(digest_member(yyjson_obj_get(root, "config")))) {
        set_error("manifest missing valid config.digest");
        rc = -1;
    }
    if (rc == 0) {
        yyjson_val *layers = yyjson_obj_get(root, "layers");
        if (layers && !yyjson_is_arr(layers)) {
            set_error("manifest layers must be an array");
            rc = -1;
        } else if (layers) {
            size_t bad = first_invalid_descriptor(layers);
            if (bad != NO_INVALID_DESCRIPTOR) {
                set_error("manifest layer %zu missing valid digest", bad);
                rc = -1;
            }
        }
    }
    // A subject that names nothing usable would be stored but never listed
    // among its subject's referrers.
    if (rc == 0) {
        yyjson_val *subject = yyjson_obj_get(root, "subject");
        if (subject && !digest_valid(digest_member(subject))) {
            set_error("manifest subject missing valid digest");
            rc = -1;
        }
    }
    if (rc != 0) {
        yyjson_doc_free(doc);
        return nullptr;
    }
    return doc;
}

int manifest_validate(const void *body, uint64_t body_len)
{
    yyjson_doc *doc = manifest_checked_doc(body, body_len);
    if (!doc)
        return -1;
    yyjson_doc_free(doc);
    return 0;
}

int manifest_store(manifest_kind kind, const char *name, const char *reference, const void *body,
                   uint64_t body_len, const char *content_type, char *out_digest)
{
    if (!name || !reference || !body || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    if (require_ready() != 0)
        return -1;
    if (!repo_name_valid(name)) {
        set_error("invalid repository name: %s", name);
        return -1;
    }
    if (reference[0] == '\0') {
        set_error("empty reference");
        return -1;
    }
    const bool by_digest = is_digest_reference(reference);
    // A digest reference names the body, so it must at least be a digest;
    // whether it is this body's digest is known only after hashing.
    if (by_digest && !digest_valid(reference)) {
        set_error("invalid digest reference");
        return -1;
    }
    // A tag becomes one directory name below the repository's tags
    // directory: refuse anything that would lead out of it, and any tag whose
    // link path would be cut short (it would then name another file).
    char tag_link[REG_PATH_BUF];
    if (!by_digest) {
        if (!tag_confined(reference)) {
            set_error("invalid tag: %s", reference);
            return -1;
        }
        manifest_tag_path(name, reference, tag_link, sizeof tag_link);
        if (strlen(tag_link) >= sizeof tag_link - 1) {
            set_error("tag too long: %s", reference);
            return -1;
        }
    }
    // Larger bodies could not be handed back whole by a lookup.
    if (body_len > REG_MANIFEST_MAX) {
        set_error("manifest too large");
        return -1;
    }
    yyjson_doc *doc = kind == MANIFEST_INDEX ? index_checked_doc(body, body_len)
                                             : manifest_checked_doc(body, body_len);
    if (!doc)
        return -1;

    sha256_ctx ctx;
    uint8_t hash[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, body, body_len);
    sha256_final(&ctx, hash);
    char hex[HEX_BUF];
    bin_to_hex(hash, sizeof hash, hex);

    char link_text[LINK_BUF];
    snprintf(link_text, sizeof link_text, "sha256:%s", hex);
    if (by_digest && strcmp(reference, link_text) != 0) {
        yyjson_doc_free(doc);
        set_error("digest mismatch: expected %s, got %s", reference, link_text);
        return -1;
    }
    const char *media_type = (content_type && content_type[0] != '\0') ? content_type : DEFAULT_MANIFEST_TYPE;
    // The descriptor is made while the document is at hand, so that nothing
    // is written for a manifest whose referrer record cannot be made.
    referrer_record referrer;
    int made = referrer_record_make(doc, media_type, link_text, body_len, &referrer);
    yyjson_doc_free(doc);
    if (made != 0)
        return -1;
    referrer_guard guard{&referrer};

    char body_path[REG_PATH_BUF];
    char ct_path[REG_PATH_BUF];
    manifest_body_path(name, hex, body_path, sizeof body_path);
    manifest_ct_path(name, hex, ct_path, sizeof ct_path);

    char manifests_dir[REG_PATH_BUF];
    snprintf(manifests_dir, sizeof manifests_dir, "%s%srepositories%s%s%s_manifests", s_root, PATH_SEP_STR,
             PATH_SEP_STR, name, PATH_SEP_STR);
    if (mkdirs(manifests_dir) != 0) {
        set_error("mkdirs manifests dir failed");
        return -1;
    }
    if (write_file(body_path, body, body_len) != 0) {
        set_error("write manifest body failed");
        return -1;
    }
    if (write_file(ct_path, media_type, strlen(media_type)) != 0) {
        set_error("write manifest ct failed");
        return -1;
    }
    // Before the revision link: a manifest is listed as a referrer as soon
    // as its body can be fetched.
    if (referrer_record_write(name, hex, &referrer) != 0)
        return -1;

    char rev_path[REG_PATH_BUF];
    char rev_dir[REG_PATH_BUF];
    manifest_rev_path(name, hex, rev_path, sizeof rev_path);
    manifest_rev_dir(name, hex, rev_dir, sizeof rev_dir);
    if (mkdirs(rev_dir) != 0) {
        set_error("mkdirs revision dir failed");
        return -1;
    }
    const size_t link_len = strlen(link_text);
    if (write_file(rev_path, link_text, link_len) != 0) {
        set_error("write revision link failed");
        return -1;
    }

    if (!by_digest) {
        char tags_dir[REG_PATH_BUF];
        char tag_named[REG_PATH_BUF];
        char tag_dir[REG_PATH_BUF];
        manifest_tags_dir(name, tags_dir, sizeof tags_dir);
        path_join(tag_named, sizeof tag_named, tags_dir, reference);
        path_join(tag_dir, sizeof tag_dir, tag_named, "current");
        if (mkdirs(tag_dir) != 0) {
            set_error("mkdirs tag dir failed");
            return -1;
        }
        if (write_file(tag_link, link_text, link_len) != 0) {
            set_error("write tag link failed");
            return -1;
        }
    }

    snprintf(out_digest, REG_DIGEST_BUF, "%s", link_text);
    return 0;
}

int reg_manifest_put(const char *name, const char *reference, const void *body, uint64_t body_len,
                     const char *content_type, char *out_digest)
{
    return manifest_store(MANIFEST_IMAGE, name, reference, body, body_len, content_type, out_digest);
}
