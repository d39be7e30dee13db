// Storing a manifest: validate the JSON members every manifest must carry,
// then keep the body byte for byte under the digest of those bytes (SHA-256,
// or the algorithm of the digest reference it is stored by) with its media
// type, its referrer record (when it names a subject), its revision link and
// the links of its tags. Image indexes share every
// step but the validation (manifest_index.cpp).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <yyjson.h>

#include "storage_internal.h"

namespace {

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
    referrer_paths referrer;
};

// A tag link to write: <tags>/<tag>/current/link, and its directory.
struct tag_target {
    std::string link;
    std::string dir;
};

// Checks each tag and builds its link path; duplicates count once. A tag
// must stay one directory name below the repository's tags directory, and
// its link path must not be cut short (it would then name another file).
int tag_targets_make(const char *name, const char *const *tags, size_t count, std::vector<tag_target> *out)
{
    try {
        for (size_t i = 0; i < count; ++i) {
            const char *tag = tags[i];
            if (!tag_confined(tag) || reference_is_digest(tag)) {
                set_error("invalid tag: %s", tag ? tag : "");
                return -1;
            }
            char link[REG_PATH_BUF];
            manifest_tag_path(name, tag, link, sizeof link);
            if (strlen(link) >= sizeof link - 1) {
                set_error("tag too long: %s", tag);
                return -1;
            }
            bool seen = false;
            for (const tag_target &t : *out)
                seen = seen || t.link == link;
            if (seen)
                continue;
            std::string dir(link);
            dir.resize(dir.rfind(PATH_SEP));
            out->push_back({link, dir});
        }
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    return 0;
}

// The files of one store in publishing order. Whatever is not published
// when the set goes out of scope is removed, so a failed store leaves no
// temporary file behind. A staged file keeps its descriptor until it is
// synced, so files are synced in batches: an index may list thousands of
// manifests, each with its own record.
class staged_set {
public:
    staged_set() = default;
    staged_set(const staged_set &) = delete;
    staged_set &operator=(const staged_set &) = delete;
    ~staged_set()
    {
        for (staged_file &file : files_)
            drop_staged(&file);
    }
    int add(const char *path, const void *data, uint64_t len, const char *failure)
    {
        if (files_.size() == files_.capacity()) {
            try {
                const size_t room = files_.empty() ? FIRST_ROOM : 2 * files_.size();
                files_.reserve(room);
                failures_.reserve(room);
            } catch (const std::bad_alloc &) {
                set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
                return -1;
            }
        }
        files_.emplace_back();
        failures_.push_back(failure);
        if (stage_file(path, data, len, &files_.back()) != 0) {
            set_fault("%s", failure);
            return -1;
        }
        return files_.size() - synced_ == SYNC_BATCH ? sync() : 0;
    }
    int sync()
    {
        if (sync_staged(files_.data() + synced_, files_.size() - synced_) != 0) {
            set_fault("%s", failures_[synced_]);
            return -1;
        }
        synced_ = files_.size();
        return 0;
    }
    int publish()
    {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (publish_staged(&files_[i]) != 0) {
                set_fault("%s", failures_[i]);
                return -1;
            }
        }
        return 0;
    }

private:
    static constexpr size_t FIRST_ROOM = 6; // body, type, two referrer files, revision, a tag
    static constexpr size_t SYNC_BATCH = 64;
    std::vector<staged_file> files_;
    std::vector<const char *> failures_;
    size_t synced_ = 0;
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
        if (!digest_any_valid(digest_member(yyjson_arr_get(arr, i))))
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
    if (rc == 0 && !digest_any_valid(digest_member(yyjson_obj_get(root, "config")))) {
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
        if (subject && !digest_any_valid(digest_member(subject))) {
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

namespace {

// -1 with REG_ERR_BLOB_UNKNOWN when the manifest names a blob that the
// repository held until garbage collection gave the hold up (its released
// mark is there and no new hold): the client must push the blob again.
int names_released_blob(const char *name, const manifest_links &links)
{
    for (const std::string &digest : links.blobs) {
        char hold[REG_PATH_BUF];
        repo_hold_path(name, digest.c_str(), hold, sizeof hold);
        if (file_exists(hold))
            continue;
        char released[REG_PATH_BUF];
        repo_hold_released_path(name, digest.c_str(), released, sizeof released);
        if (file_exists(released)) {
            set_error_kind(REG_ERR_BLOB_UNKNOWN, "blob unknown to repository: %s", digest.c_str());
            return -1;
        }
    }
    return 0;
}

} // namespace

int manifest_store(manifest_kind kind, const char *name, const char *reference, const char *const *tags,
                   size_t tag_count, const void *body, uint64_t body_len, const char *content_type, char *out_digest)
{
    if (!name || !reference || !body || !out_digest || (tag_count > 0 && !tags)) {
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
    const bool by_digest = reference_is_digest(reference);
    // A digest reference names the body, so it must at least be a digest;
    // whether it is this body's digest is known only after hashing. Its
    // algorithm is the one the body is named by; a tag's body is named by
    // its SHA-256.
    const digest_algo *algo = by_digest ? digest_algo_of(reference) : &DIGEST_ALGOS[DIGEST_SHA256];
    if (!algo) {
        set_error("invalid digest reference");
        return -1;
    }
    std::vector<tag_target> tag_links;
    if (!by_digest && tag_targets_make(name, &reference, 1, &tag_links) != 0)
        return -1;
    if (tag_targets_make(name, tags, tag_count, &tag_links) != 0)
        return -1;
    // Larger bodies are refused whatever they hold.
    if (body_len > REG_MANIFEST_MAX) {
        set_error_kind(REG_ERR_TOO_LARGE, "manifest too large");
        return -1;
    }
    yyjson_doc *doc = kind == MANIFEST_INDEX ? index_checked_doc(body, body_len) : manifest_checked_doc(body, body_len);
    if (!doc)
        return -1;

    char link_text[REG_DIGEST_BUF];
    content_digest(algo, body, body_len, link_text);
    const char *hex = link_text + DIGEST_PREFIX_LEN;
    if (by_digest && strcmp(reference, link_text) != 0) {
        yyjson_doc_free(doc);
        set_error_kind(REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", reference, link_text);
        return -1;
    }
    const char *media_type = (content_type && content_type[0] != '\0') ? content_type : DEFAULT_MANIFEST_TYPE;
    // The descriptor is made while the document is at hand, so that nothing
    // is written for a manifest whose referrer record cannot be made.
    referrer_record referrer;
    manifest_links links;
    manifest_links_read(static_cast<const char *>(body), body_len, &links);
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
    for (const tag_target &t : tag_links) {
        if (mkdirs(t.dir.c_str()) != 0) {
            set_fault("mkdirs tag dir failed");
            return -1;
        }
    }
    // One record per manifest an index lists, so that a deletion can tell
    // that the manifest is listed (index_children.cpp).
    std::vector<std::string> children;
    std::vector<std::string> records;
    if (index_children_from(links, &children) != 0) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    try {
        records.reserve(children.size());
        for (const std::string &child : children) {
            char path[REG_PATH_BUF];
            index_child_record_path(name, child.c_str(), hex, path, sizeof path);
            records.emplace_back(path);
        }
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    for (const std::string &child : children) {
        char dir[REG_PATH_BUF];
        index_child_dir(name, child.c_str(), dir, sizeof dir);
        if (mkdirs(dir) != 0) {
            set_fault("mkdirs index record dir failed");
            return -1;
        }
    }

    // Everything is written and flushed before anything is renamed into
    // place, and renamed in the order readers depend on: an index's records
    // before its body (a record counts once the body is there), the body
    // before its media type, a referrer's back-pointer before its listing
    // entry (a manifest is listed as a referrer as soon as its body can be
    // fetched), the revision link, the tag last.
    const size_t link_len = strlen(link_text);
    staged_set staged;
    for (const std::string &record : records)
        if (staged.add(record.c_str(), link_text, link_len, "write index record failed") != 0)
            return -1;
    if (staged.add(files.body, body, body_len, "write manifest body failed") != 0 ||
        staged.add(files.ct, media_type, strlen(media_type), "write manifest ct failed") != 0 ||
        (has_referrer && (staged.add(files.referrer.back, referrer.subject, strlen(referrer.subject),
                                     "write referrer back-pointer failed") != 0 ||
                          staged.add(files.referrer.entry, referrer.descriptor, referrer.descriptor_len,
                                     "write referrer failed") != 0)) ||
        staged.add(files.rev, link_text, link_len, "write revision link failed") != 0)
        return -1;
    for (const tag_target &t : tag_links)
        if (staged.add(t.link.c_str(), link_text, link_len, "write tag link failed") != 0)
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
    // Under the locks garbage collection takes too: a blob whose hold it
    // gave up since the client last saw it is not the client's any more.
    repo_lock holds;
    if (holds_lock_take(name, &holds) < 0) {
        set_fault("cannot lock the holds of repository: %s", name);
        return -1;
    }
    if (names_released_blob(name, links) != 0)
        return -1;
    if (staged.publish() != 0)
        return -1;
    if (!children.empty() && index_children_sync_dirs(name, children) != 0)
        return -1;
    const char *dirs[] = {files.manifests, has_referrer ? files.referrer.dir : nullptr, files.rev_dir};
    for (const char *dir : dirs) {
        if (dir && sync_dir(dir) != 0) {
            set_fault("cannot sync directory: %s", dir);
            return -1;
        }
    }
    for (const tag_target &t : tag_links) {
        if (sync_dir(t.dir.c_str()) != 0) {
            set_fault("cannot sync directory: %s", t.dir.c_str());
            return -1;
        }
    }

    snprintf(out_digest, REG_DIGEST_BUF, "%s", link_text);
    return 0;
}

int reg_manifest_put(const char *name, const char *reference, const void *body, uint64_t body_len,
                     const char *content_type, char *out_digest)
{
    return manifest_store(MANIFEST_IMAGE, name, reference, nullptr, 0, body, body_len, content_type, out_digest);
}

int reg_manifest_put_tags(int is_index, const char *name, const char *digest, const char *const *tags, size_t tag_count,
                          const void *body, uint64_t body_len, const char *content_type, char *out_digest)
{
    return manifest_store(is_index ? MANIFEST_INDEX : MANIFEST_IMAGE, name, digest, tags, tag_count, body, body_len,
                          content_type, out_digest);
}
