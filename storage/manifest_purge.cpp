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

constexpr const char DIGEST_PREFIX[] = "sha256:";
constexpr size_t DIGEST_PREFIX_LEN = sizeof DIGEST_PREFIX - 1;
constexpr size_t HEX_LEN = 64;
constexpr size_t TAG_LINK_BUF = 128; // a link is 71 bytes; more is never read

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

// Removes every tag link of the repository that names hex. 0, or -1 when an
// existing link cannot be removed.
int untag_all(const char *name, const char *hex)
{
    char tags_dir[REG_PATH_BUF];
    manifest_tags_dir(name, tags_dir, sizeof tags_dir);
    std::unique_ptr<DIR, dir_closer> dir(opendir(tags_dir));
    if (!dir)
        return 0;
    while (const dirent *entry = readdir(dir.get())) {
        if (!tag_confined(entry->d_name))
            continue; // ".", ".." and names no tag reference could reach
        char link_path[REG_PATH_BUF];
        manifest_tag_path(name, entry->d_name, link_path, sizeof link_path);
        char link[TAG_LINK_BUF] = {};
        if (read_file(link_path, link, sizeof link, nullptr) != 0)
            continue;
        // The same rule as the tag scan of a deletion: the start counts.
        if (strncmp(link, DIGEST_PREFIX, DIGEST_PREFIX_LEN) != 0 ||
            strncmp(link + DIGEST_PREFIX_LEN, hex, HEX_LEN) != 0)
            continue;
        if (remove_file(link_path) != 0)
            return -1;
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
    if (require_ready() != 0)
        return -1;
    if (!repo_name_valid(name)) {
        set_error("invalid repository name");
        return -1;
    }
    if (!digest_valid(digest)) {
        set_error("invalid digest reference");
        return -1;
    }
    const char *hex = digest + DIGEST_PREFIX_LEN;
    char body_path[REG_PATH_BUF];
    manifest_body_path(name, hex, body_path, sizeof body_path);
    if (!file_exists(body_path)) {
        set_error("manifest body not found: %s@%s", name, digest);
        return -1;
    }
    if (untag_all(name, hex) != 0) {
        set_error("delete tag failed");
        return -1;
    }
    // No tag names the digest any more, so this removes the revision link,
    // the body, its media type and any referrer record.
    return reg_manifest_delete(name, digest);
}
