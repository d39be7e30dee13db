// Which repository holds which blob, and which repository an upload belongs
// to. The bytes of a blob are stored once (blobs/<algo>/<hh>/<hex>) and
// shared; a repository sees only the blobs it holds: those it finished an
// upload of or mounted from a repository that held them. A hold is a file
// repositories/<name>/_layers/<hex> holding the digest string, written and
// removed atomically, so concurrent holders need no lock: linking twice
// leaves one hold, and of two removals one finds nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <yyjson.h>

#include "json_doc.h"
#include "storage_internal.h"

namespace {

// An owner record holds a repository name; the spare byte shows a longer one.
constexpr size_t OWNER_BUF = REG_LIST_NAME_BUF + 1;
// Repositories named per catalog page while every repository is visited.
constexpr int CATALOG_PAGE = 500;
constexpr const char HOLDS_MARKER_TEXT[] = "every repository records the blobs it holds in _layers\n";

// The checks every hold operation starts with, in this order.
int check_name_digest(const char *name, const char *digest)
{
    if (!name || !digest) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_digest(name, digest) != 0)
        return -1;
    return 0;
}

bool blob_stored(const char *digest)
{
    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    return file_exists(path) != 0;
}

} // namespace

int write_hold(const char *name, const char *digest)
{
    char path[REG_PATH_BUF];
    repo_hold_path(name, digest, path, sizeof path);
    if (file_exists(path)) {
        // Held again just now: young again, so that garbage collection
        // gives the push that needs it the grace period.
        (void)utimensat(AT_FDCWD, path, nullptr, 0);
        return 0;
    }
    char dir[REG_PATH_BUF];
    repo_holds_dir(name, dir, sizeof dir);
    if (mkdirs(dir) != 0) {
        set_fault("cannot create holds directory: %s", dir);
        return -1;
    }
    if (write_file(path, digest, strlen(digest)) != 0) {
        set_fault("cannot record hold: %s", path);
        return -1;
    }
    return 0;
}

// The blob's lock, shared, keeps garbage collection from removing the bytes
// while the hold is made; a blob it removed before (no name left) is not
// there to hold.
int link_hold(const char *name, const char *digest)
{
    char blob[REG_PATH_BUF];
    blob_path_for_digest(digest, blob, sizeof blob);
    fd_guard fd(open(blob, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || lock_fd(fd.fd, 0) != 0 || fstat(fd.fd, &st) != 0 || st.st_nlink == 0) {
        if (fd.fd >= 0 && errno == 0)
            errno = ENOENT;
        set_missing("blob not found: %s", digest);
        return -1;
    }
    return write_hold(name, digest);
}

int manifest_links_read(const char *body, size_t len, manifest_links *out)
{
    json_doc_ptr doc(yyjson_read(body, len, 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root))
        return -1;
    auto digest_of = [](yyjson_val *desc) -> const char * {
        yyjson_val *digest = yyjson_is_obj(desc) ? yyjson_obj_get(desc, "digest") : nullptr;
        const char *text = yyjson_is_str(digest) ? yyjson_get_str(digest) : nullptr;
        return text && digest_any_valid(text) ? text : nullptr;
    };
    auto take_list = [&](const char *key, std::vector<std::string> *into) {
        yyjson_val *list = yyjson_obj_get(root, key);
        for (size_t i = 0; yyjson_is_arr(list) && i < yyjson_arr_size(list); ++i)
            if (const char *d = digest_of(yyjson_arr_get(list, i)))
                into->emplace_back(d);
    };
    if (const char *d = digest_of(yyjson_obj_get(root, "config")))
        out->blobs.emplace_back(d);
    take_list("layers", &out->blobs);
    take_list("blobs", &out->blobs);
    take_list("manifests", &out->manifests);
    const char *subject = digest_of(yyjson_obj_get(root, "subject"));
    out->subject = subject ? subject : "";
    return 0;
}

int reg_storage_holds_complete(void)
{
    if (require_ready() != 0)
        return -1;
    char path[REG_PATH_BUF];
    holds_marker_path(path, sizeof path);
    return file_exists(path) ? 1 : 0;
}

int mark_holds_complete(void)
{
    char path[REG_PATH_BUF];
    holds_marker_path(path, sizeof path);
    if (write_file(path, HOLDS_MARKER_TEXT, sizeof HOLDS_MARKER_TEXT - 1) != 0) {
        set_fault("cannot write %s", path);
        return -1;
    }
    return 0;
}

int reg_repo_blob_held(const char *name, const char *digest)
{
    if (check_name_digest(name, digest) != 0)
        return -1;
    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    int found = file_probe(path);
    if (found == 1) {
        repo_hold_path(name, digest, path, sizeof path);
        found = file_probe(path);
        if (found == 0) {
            // Without the marker every stored blob counts as held.
            holds_marker_path(path, sizeof path);
            found = file_probe(path);
            if (found >= 0)
                return found == 1 ? 0 : 1;
        }
    }
    if (found < 0) {
        set_fault("cannot look up blob %s for %s", digest, name);
        return -1;
    }
    return found;
}

int reg_repo_blob_link(const char *name, const char *digest)
{
    if (check_name_digest(name, digest) != 0)
        return -1;
    return link_hold(name, digest);
}

int reg_repo_blob_unlink(const char *name, const char *digest)
{
    if (check_name_digest(name, digest) != 0)
        return -1;
    char path[REG_PATH_BUF];
    repo_hold_path(name, digest, path, sizeof path);
    if (unlink(path) != 0) {
        set_missing("blob not held by %s: %s", name, digest);
        return -1;
    }
    if (sync_parent_dir(path) != 0) {
        set_fault("cannot sync holds directory of %s", name);
        return -1;
    }
    return 0;
}

int reg_blob_upload_owned(const char *upload_uuid, const char *name)
{
    if (check_upload_id(upload_uuid) != 0)
        return -1;
    if (!name) {
        set_error("NULL argument");
        return -1;
    }
    char path[REG_PATH_BUF];
    upload_owner_path(upload_uuid, path, sizeof path);
    char owner[OWNER_BUF];
    if (read_file(path, owner, sizeof owner, nullptr) != 0) {
        if (errno == ENOENT)
            return 0;
        set_fault("cannot read upload owner: %s", path);
        return -1;
    }
    return strcmp(owner, name) == 0 ? 1 : 0;
}

int reg_repo_link_manifest_blobs(const char *name, int64_t *out_linked)
{
    if (out_linked)
        *out_linked = 0;
    if (!name) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_name(name) != 0)
        return -1;
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    dir_ptr d(opendir(dir));
    if (!d) {
        if (errno == ENOENT)
            return 0;
        set_fault("cannot read %s", dir);
        return -1;
    }
    std::unique_ptr<char[]> body(new (std::nothrow) char[REG_MANIFEST_MAX + 1]);
    if (!body) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    manifest_links links;
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        if (!is_hex_name(e->d_name))
            continue;
        char path[REG_PATH_BUF];
        path_join(path, sizeof path, dir, e->d_name);
        uint64_t len = 0;
        // A body removed meanwhile has nothing left to hold.
        if (read_file(path, body.get(), REG_MANIFEST_MAX + 1, &len) != 0)
            continue;
        manifest_links_read(body.get(), len, &links);
    }
    for (const std::string &digest : links.blobs) {
        char hold[REG_PATH_BUF];
        repo_hold_path(name, digest.c_str(), hold, sizeof hold);
        if (!blob_stored(digest.c_str()) || file_exists(hold))
            continue;
        if (link_hold(name, digest.c_str()) != 0)
            return -1;
        if (out_linked)
            ++*out_linked;
    }
    return 0;
}

int each_repository(int (*visit)(const char *name, void *ctx), void *ctx)
{
    char last[REG_LIST_NAME_BUF] = "";
    for (;;) {
        char next[REG_LIST_NAME_BUF] = "";
        const char *json = reg_catalog_page_json(CATALOG_PAGE, last, next, sizeof next);
        if (!json)
            return -1;
        // The page is copied out: a visit may reuse the result buffer.
        std::vector<std::string> names;
        {
            json_doc_ptr doc(yyjson_read(json, strlen(json), 0));
            yyjson_val *list = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "repositories") : nullptr;
            for (size_t i = 0; yyjson_is_arr(list) && i < yyjson_arr_size(list); ++i) {
                yyjson_val *v = yyjson_arr_get(list, i);
                if (yyjson_is_str(v))
                    names.emplace_back(yyjson_get_str(v));
            }
        }
        for (const std::string &name : names)
            if (visit(name.c_str(), ctx) != 0)
                return -1;
        if (next[0] == '\0')
            return 0;
        memcpy(last, next, sizeof last);
    }
}

namespace {

struct upgrade_counts {
    int64_t repos = 0;
    int64_t linked = 0;
};

int upgrade_repository(const char *name, void *ctx)
{
    upgrade_counts *counts = static_cast<upgrade_counts *>(ctx);
    // Indexes stored before their lists were recorded get them too, so
    // that a tag deletion keeps what they list.
    int64_t linked = 0;
    if (reg_repo_link_manifest_blobs(name, &linked) != 0 || index_children_rebuild(name, nullptr) != 0)
        return -1;
    counts->repos++;
    counts->linked += linked;
    return 0;
}

} // namespace

int reg_storage_upgrade_holds(int64_t *out_repos, int64_t *out_linked)
{
    if (out_repos)
        *out_repos = 0;
    if (out_linked)
        *out_linked = 0;
    if (require_ready() != 0)
        return -1;
    upgrade_counts counts;
    int rc = each_repository(upgrade_repository, &counts);
    if (out_repos)
        *out_repos = counts.repos;
    if (out_linked)
        *out_linked = counts.linked;
    return rc != 0 ? -1 : mark_holds_complete();
}
