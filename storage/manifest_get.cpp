// Reading and removing stored manifests: a reference (tag or digest) is
// resolved to the digest that names the body; a body goes once no tag of its
// repository names it any more and no index of the repository lists it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "storage_internal.h"

namespace {

// The .ct text goes into the caller's 128-byte buffer with one byte spare.
constexpr size_t CT_READ_CAP = REG_CONTENT_TYPE_BUF - 1;

// Builds the link path of a tag that has been checked to stay inside the
// tags directory; -1 when the path would not fit and so name another file.
int tag_link_path(const char *name, const char *tag, char *out, size_t size)
{
    manifest_tag_path(name, tag, out, size);
    return strlen(out) >= size - 1 ? -1 : 0;
}

// Reference to the digits of the digest it names (DIGEST_HEX_BUF bytes). A
// tag is read through its link, which must hold exactly one digest string.
int manifest_resolve(const char *name, const char *reference, char *out_hex)
{
    if (reference_is_digest(reference)) {
        if (!digest_any_valid(reference)) {
            set_error("invalid digest reference");
            return -1;
        }
        snprintf(out_hex, DIGEST_HEX_BUF, "%s", reference + DIGEST_PREFIX_LEN);
        return 0;
    }
    // A tag must not lead out of its repository's tags directory.
    if (!tag_confined(reference)) {
        set_error("invalid tag: %s", reference);
        return -1;
    }
    char link_path[REG_PATH_BUF];
    if (tag_link_path(name, reference, link_path, sizeof link_path) != 0) {
        set_error("tag too long: %s", reference);
        return -1;
    }
    char link[LINK_READ_BUF] = {};
    if (read_file(link_path, link, sizeof link, nullptr) != 0) {
        set_missing("tag not found: %s:%s", name, reference);
        return -1;
    }
    if (!digest_any_valid(link)) {
        set_error_kind(REG_ERR_NOT_FOUND, "corrupt tag link: %s:%s", name, reference);
        return -1;
    }
    snprintf(out_hex, DIGEST_HEX_BUF, "%.*s", static_cast<int>(DIGEST_HEX_MAX), link + DIGEST_PREFIX_LEN);
    return 0;
}

int entry_is_dir(const char *tags_dir, const dirent *entry)
{
    if (entry->d_type == DT_DIR)
        return 1;
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK)
        return 0;
    char path[REG_PATH_BUF];
    path_join(path, sizeof path, tags_dir, entry->d_name);
    return dir_exists(path);
}

} // namespace

int tag_names_digest(const char *name, const char *tag, const char *hex)
{
    char link_path[REG_PATH_BUF];
    if (tag_link_path(name, tag, link_path, sizeof link_path) != 0)
        return 0;
    char link[LINK_READ_BUF] = {};
    if (read_file(link_path, link, sizeof link, nullptr) != 0)
        return 0;
    if (!is_hex_name(hex))
        return 0;
    char digest[REG_DIGEST_BUF];
    digest_of_hex_name(hex, digest);
    return strncmp(link, digest, strlen(digest)) == 0;
}

namespace {

// 1 when some tag of the repository names the digest. Every entry of the
// tags directory is examined: a repository may hold any number of tags, and
// missing one would let a deletion remove a manifest that is still tagged.
int manifest_has_tag_for(const char *name, const char *hex)
{
    char tags_dir[REG_PATH_BUF];
    manifest_tags_dir(name, tags_dir, sizeof tags_dir);
    dir_ptr dir(opendir(tags_dir));
    if (!dir)
        return 0;
    while (const dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (entry_is_dir(tags_dir, entry) && tag_names_digest(name, entry->d_name, hex))
            return 1;
    }
    return 0;
}

// Resolves a reference and opens the body it leads to, with its media type
// and digest: what reg_manifest_get and reg_manifest_open share. The
// descriptor, or -1 with the message recorded.
int manifest_open(const char *name, const char *reference, char *out_content_type, char *out_digest, uint64_t *out_size)
{
    if (!name || !reference || !out_content_type || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_name(name) != 0)
        return -1;
    char hex[DIGEST_HEX_BUF];
    if (manifest_resolve(name, reference, hex) != 0)
        return -1;

    char body_path[REG_PATH_BUF];
    char ct_path[REG_PATH_BUF];
    manifest_body_path(name, hex, body_path, sizeof body_path);
    manifest_ct_path(name, hex, ct_path, sizeof ct_path);
    fd_guard body(open(body_path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (body.fd < 0 || fstat(body.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_missing("manifest body not found: %s@%s", name, reference);
        return -1;
    }
    if (read_file(ct_path, out_content_type, CT_READ_CAP, nullptr) != 0 || out_content_type[0] == '\0')
        snprintf(out_content_type, REG_CONTENT_TYPE_BUF, "%s", DEFAULT_MANIFEST_TYPE);
    digest_of_hex_name(hex, out_digest);
    *out_size = static_cast<uint64_t>(st.st_size);
    return body.release();
}

} // namespace

const char *reg_manifest_get(const char *name, const char *reference, char *out_content_type, char *out_digest)
{
    if (!out_content_type || !out_digest) {
        set_error("NULL argument");
        return nullptr;
    }
    // The caller's buffers are written only for a body that is returned.
    char content_type[REG_CONTENT_TYPE_BUF] = {};
    char digest[REG_DIGEST_BUF] = {};
    uint64_t size = 0;
    fd_guard body(manifest_open(name, reference, content_type, digest, &size));
    if (body.fd < 0)
        return nullptr;
    // A body that does not fit the result buffer with its NUL is refused
    // rather than handed back cut short.
    if (size > REG_RESULT_SIZE - 1) {
        set_error_kind(REG_ERR_TOO_LARGE, "manifest body too large: %s@%s", name, reference);
        return nullptr;
    }
    uint64_t got = 0;
    while (got < size) {
        ssize_t n = pread(body.fd, s_result + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            set_fault("cannot read manifest body: %s@%s", name, reference);
            return nullptr;
        }
        got += static_cast<uint64_t>(n);
    }
    s_result[got] = '\0';
    memcpy(out_content_type, content_type, REG_CONTENT_TYPE_BUF);
    memcpy(out_digest, digest, REG_DIGEST_BUF);
    return s_result;
}

int reg_manifest_open(const char *name, const char *reference, char *out_content_type, char *out_digest,
                      uint64_t *out_size)
{
    if (!out_size) {
        set_error("NULL argument");
        return -1;
    }
    return manifest_open(name, reference, out_content_type, out_digest, out_size);
}

int manifest_remove_files(const char *name, const char *hex, int strict)
{
    char body_path[REG_PATH_BUF];
    char ct_path[REG_PATH_BUF];
    char rev_path[REG_PATH_BUF];
    char dir[REG_PATH_BUF];
    manifest_body_path(name, hex, body_path, sizeof body_path);
    manifest_ct_path(name, hex, ct_path, sizeof ct_path);
    manifest_rev_path(name, hex, rev_path, sizeof rev_path);
    manifests_dir(name, dir, sizeof dir);
    // What an index lists is found through its body, so the body is read
    // before it goes. Records that stay (the body unreadable, a removal cut
    // short) keep nothing once the body is gone.
    std::vector<std::string> children;
    (void)index_children_load(name, hex, &children);
    // The body first: once it is gone the manifest is no longer served, by
    // tag or by digest. The referrer record goes while its back-pointer
    // still says where the listing entry is.
    if (remove_file(body_path) != 0 && strict) {
        set_fault("cannot remove manifest body: %s", body_path);
        return -1;
    }
    referrer_forget(name, hex);
    (void)remove_file(ct_path);
    if (remove_file(rev_path) != 0 && strict) {
        set_fault("cannot remove revision link: %s", rev_path);
        return -1;
    }
    if (sync_dir(dir) != 0 && strict) {
        set_fault("cannot sync directory: %s", dir);
        return -1;
    }
    // Only once the body's removal is on disk: after a crash, an index must
    // not be found stored without its records.
    if (index_children_forget(name, hex, children) != 0 && strict)
        return -1;
    return 0;
}

int reg_manifest_delete(const char *name, const char *reference)
{
    if (!name || !reference) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_name(name) != 0)
        return -1;
    // A repository without a manifests directory has nothing to delete, and
    // must not get one (and so a place in the catalog) from a deletion.
    repo_lock lock;
    if (repo_lock_take(name, &lock) < 0) {
        set_fault("cannot lock repository: %s", name);
        return -1;
    }
    char hex[DIGEST_HEX_BUF];
    if (manifest_resolve(name, reference, hex) != 0)
        return -1;

    char rev_path[REG_PATH_BUF];
    manifest_rev_path(name, hex, rev_path, sizeof rev_path);
    if (reference_is_digest(reference)) {
        // A revision link that is already gone is no failure.
        (void)remove_file(rev_path);
    } else {
        // manifest_resolve has checked that this path is whole and confined.
        char link_path[REG_PATH_BUF];
        manifest_tag_path(name, reference, link_path, sizeof link_path);
        if (remove_file(link_path) != 0) {
            set_fault("delete tag failed");
            return -1;
        }
        if (sync_parent_dir(link_path) != 0) {
            set_fault("delete tag failed");
            return -1;
        }
    }
    if (manifest_has_tag_for(name, hex))
        return 0;
    // A manifest that an index of the repository lists (a platform manifest
    // tagged on the side) loses only its tag: removing it would leave the
    // index naming a manifest that is gone. Records that cannot be read
    // count as listing it. Decided under the lock that stores take, so an
    // index stored meanwhile is seen. A deletion by digest asks for the
    // manifest itself and is not held back.
    if (!reference_is_digest(reference) && index_lists_manifest(name, hex) != 0)
        return 0;
    // What cannot be removed stays; the deletion itself has happened.
    return manifest_remove_files(name, hex, 0);
}
