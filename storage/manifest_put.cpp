// Storing a manifest: validate the JSON members every manifest must carry,
// then keep the body byte for byte under the SHA-256 of those bytes with its
// media type, its referrer record (when it names a subject), its revision
// link and, for a tag reference, the tag's link. Image indexes share every
// step but the validation (manifest_index.cpp).
#include <cerrno>
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
constexpr size_t LINK_BUF = 80;                        // "sha256:" + 64 digits + NUL, with room

int is_digest_reference(const char *reference)
{
    return strncmp(reference, DIGEST_PREFIX, DIGEST_PREFIX_LEN) == 0;
}

// Frees a referrer record on every way out of a store.
struct referrer_guard {
    referrer_record *rec;
    ~referrer_guard() { referrer_record_free(rec); }
};

// The paths one store writes, and the directories it syncs.
struct manifest_files {
    char manifests[REG_PATH_BUF];
    char body[REG_PATH_BUF];
    char ct[REG_PATH_BUF];
    char rev_dir[REG_PATH_BUF];
    char rev[REG_PATH_BUF];
    char tag_dir[REG_PATH_BUF] = {};
    referrer_paths referrer;
};

// The files of one store in publishing order. Whatever is not published
// when the set goes out of scope is removed, so a failed store leaves no
// temporary file behind.
class staged_set {
public:
    staged_set() = default;
    staged_set(const staged_set &) = delete;
    staged_set &operator=(const staged_set &) = delete;
    ~staged_set()
    {
        for (size_t i = 0; i < count_; ++i)
            drop_staged(&files_[i]);
    }
    int add(const char *path, const void *data, uint64_t len, const char *failure)
    {
        if (stage_file(path, data, len, &files_[count_]) != 0) {
            set_fault("%s", failure);
            return -1;
        }
        failures_[count_++] = failure;
        return 0;
    }
    int sync()
    {
        if (sync_staged(files_, count_) != 0) {
            set_fault("%s", failures_[0]);
            return -1;
        }
        return 0;
    }
    int publish()
    {
        for (size_t i = 0; i < count_; ++i) {
            if (publish_staged(&files_[i]) != 0) {
                set_fault("%s", failures_[i]);
                return -1;
            }
        }
        return 0;
    }

private:
    static constexpr size_t MAX_FILES = 6; // body, type, two referrer files, revision, tag
    staged_file files_[MAX_FILES];
    const char *failures_[MAX_FILES] = {};
    size_t count_ = 0;
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

int manifest_store(manifest_kind kind, const char *name, const char *reference, const void *body, uint64_t body_len,
                   const char *content_type, char *out_digest)
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
        set_error_kind(REG_ERR_TOO_LARGE, "manifest too large");
        return -1;
    }
    yyjson_doc *doc = kind == MANIFEST_INDEX ? index_checked_doc(body, body_len) : manifest_checked_doc(body, body_len);
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
        set_error_kind(REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", reference, link_text);
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

    manifest_files files;
    manifest_body_path(name, hex, files.body, sizeof files.body);
    manifest_ct_path(name, hex, files.ct, sizeof files.ct);
    manifest_rev_dir(name, hex, files.rev_dir, sizeof files.rev_dir);
    manifest_rev_path(name, hex, files.rev, sizeof files.rev);
    manifests_dir(name, files.manifests, sizeof files.manifests);
    const bool has_referrer = referrer_record_paths(name, hex, &referrer, &files.referrer) == 1;
    if (!by_digest) {
        // The tag link's own directory: <tags>/<tag>/current.
        snprintf(files.tag_dir, sizeof files.tag_dir, "%s", tag_link);
        *strrchr(files.tag_dir, PATH_SEP) = '\0';
    }

    if (mkdirs(files.manifests) != 0) {
        set_fault("mkdirs manifests dir failed");
        return -1;
    }
    if (has_referrer && mkdirs(files.referrer.dir) != 0) {
        set_fault("mkdirs referrers dir failed");
        return -1;
    }
    if (mkdirs(files.rev_dir) != 0) {
        set_fault("mkdirs revision dir failed");
        return -1;
    }
    if (!by_digest && mkdirs(files.tag_dir) != 0) {
        set_fault("mkdirs tag dir failed");
        return -1;
    }

    // Everything is written and flushed before anything is renamed into
    // place, and renamed in the order readers depend on: the body before
    // its media type, a referrer's back-pointer before its listing entry
    // (a manifest is listed as a referrer as soon as its body can be
    // fetched), the revision link, the tag last.
    const size_t link_len = strlen(link_text);
    staged_set staged;
    if (staged.add(files.body, body, body_len, "write manifest body failed") != 0 ||
        staged.add(files.ct, media_type, strlen(media_type), "write manifest ct failed") != 0 ||
        (has_referrer && (staged.add(files.referrer.back, referrer.subject, strlen(referrer.subject),
                                     "write referrer back-pointer failed") != 0 ||
                          staged.add(files.referrer.entry, referrer.descriptor, referrer.descriptor_len,
                                     "write referrer failed") != 0)) ||
        staged.add(files.rev, link_text, link_len, "write revision link failed") != 0 ||
        (!by_digest && staged.add(tag_link, link_text, link_len, "write tag link failed") != 0))
        return -1;
    if (staged.sync() != 0)
        return -1;

    // A deletion in the same repository decides whether a manifest is still
    // tagged by reading the tags; it must not do so between our checks and
    // our tag link, or it would remove the body the new tag names.
    repo_lock lock;
    int locked = repo_lock_take(name, &lock);
    if (locked != 0) {
        // The manifests directory was made above and nothing removes it.
        if (locked == 1)
            errno = ENOENT;
        set_fault("cannot lock repository: %s", name);
        return -1;
    }
    if (staged.publish() != 0)
        return -1;
    const char *dirs[] = {files.manifests, has_referrer ? files.referrer.dir : nullptr, files.rev_dir,
                          by_digest ? nullptr : files.tag_dir};
    for (const char *dir : dirs) {
        if (dir && sync_dir(dir) != 0) {
            set_fault("cannot sync directory: %s", dir);
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
