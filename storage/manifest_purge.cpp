// Deletion of a manifest by its digest as the registry API means it: the
// manifest goes, together with every tag of the repository that names it.
// reg_manifest_delete keeps its narrower rule (by digest it only drops the
// revision link while a tag still names the manifest); a client that
// deletes by digest and is told 202 expects the manifest to be gone.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "storage_internal.h"

namespace {

// Removes every tag link of the repository that names hex, durably. 0, or
// -1 with the message when an existing link cannot be removed.
int untag_all(const char *name, const char *hex)
{
    char tags_dir[REG_PATH_BUF];
    manifest_tags_dir(name, tags_dir, sizeof tags_dir);
    dir_ptr dir(opendir(tags_dir));
    if (!dir)
        return 0;
    while (const dirent *entry = readdir(dir.get())) {
        if (!tag_confined(entry->d_name))
            continue; // ".", ".." and names no tag reference could reach
        if (!tag_names_digest(name, entry->d_name, hex))
            continue;
        char link_path[REG_PATH_BUF];
        manifest_tag_path(name, entry->d_name, link_path, sizeof link_path);
        if (remove_file(link_path) != 0 || sync_parent_dir(link_path) != 0) {
            set_fault("delete tag failed");
            return -1;
        }
    }
    return 0;
}

} // namespace

int reg_manifest_delete_digest(const char *name, const char *digest)
{
    if (!name || !digest) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_digest(name, digest) != 0)
        return -1;
    const char *hex = digest + DIGEST_PREFIX_LEN;
    repo_lock lock;
    int locked = repo_lock_take(name, &lock);
    if (locked < 0) {
        set_fault("cannot lock repository: %s", name);
        return -1;
    }
    char body_path[REG_PATH_BUF];
    manifest_body_path(name, hex, body_path, sizeof body_path);
    if (locked == 1 || !file_exists(body_path)) {
        set_error_kind(REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", name, digest);
        return -1;
    }
    // The body goes first, so that a failure further on never leaves a
    // manifest served that was reported deleted; tags left naming it then
    // answer "not found" like any tag of a removed manifest.
    if (manifest_remove_files(name, hex, 1) != 0)
        return -1;
    return untag_all(name, hex);
}
