// What the stored indexes of a repository list. Deleting the last tag of a
// manifest removes it, unless an index of the same repository lists it: a
// platform manifest pushed by digest and tagged on the side must not vanish
// from under the index that serves it. To answer "is this manifest listed
// here?" with one directory read, each index leaves one record per manifest
// it lists:
//
//   _manifests/index-children/<algo>/<listed hex>/<index hex>
//       the index's digest string (like a link), algo the listed one's
//
// The records are written with the index (manifest_put.cpp) and removed with
// its files (manifest_remove_files). A record counts only while the body of
// its index is stored, so one left behind by a store or removal that was cut
// short keeps nothing. They live inside _manifests, where no tag list,
// catalog, statistic or referrers listing looks.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "storage_internal.h"

// <root>/repositories/<name>/_manifests/index-children/<algo>/<child hex>
void index_child_dir(const char *name, const char *child_hex, char *out, size_t size)
{
    char manifests[REG_PATH_BUF];
    char base[REG_PATH_BUF];
    char algo[REG_PATH_BUF];
    manifests_dir(name, manifests, sizeof manifests);
    path_join(base, sizeof base, manifests, INDEX_CHILDREN_DIR_NAME);
    path_join(algo, sizeof algo, base, hex_name_algo(child_hex)->name);
    path_join(out, size, algo, child_hex);
}

void index_child_record_path(const char *name, const char *child_hex, const char *index_hex, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    index_child_dir(name, child_hex, dir, sizeof dir);
    path_join(out, size, dir, index_hex);
}

int index_children_from(const manifest_links &links, std::vector<std::string> *out_hex)
{
    out_hex->clear();
    try {
        for (const std::string &digest : links.manifests)
            out_hex->push_back(digest.substr(DIGEST_PREFIX_LEN));
        // An index may list one manifest for several platforms.
        std::sort(out_hex->begin(), out_hex->end());
        out_hex->erase(std::unique(out_hex->begin(), out_hex->end()), out_hex->end());
    } catch (const std::bad_alloc &) {
        out_hex->clear();
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int index_children_load(const char *name, const char *index_hex, std::vector<std::string> *out_hex)
{
    out_hex->clear();
    char path[REG_PATH_BUF];
    manifest_body_path(name, index_hex, path, sizeof path);
    int64_t size = file_size(path);
    if (size < 0)
        return -1;
    // No store writes a larger body; what a larger file lists is not known.
    if (size > static_cast<int64_t>(REG_MANIFEST_MAX))
        return 0;
    std::unique_ptr<char[]> body(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
    if (!body) {
        errno = ENOMEM;
        return -1;
    }
    uint64_t len = 0;
    if (read_file(path, body.get(), static_cast<size_t>(size) + 1, &len) != 0)
        return -1;
    manifest_links links;
    try {
        // A body that is no JSON object lists nothing.
        if (manifest_links_read(body.get(), static_cast<size_t>(len), &links) != 0)
            return 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    return index_children_from(links, out_hex);
}

int index_lists_manifest(const char *name, const char *hex)
{
    char dir[REG_PATH_BUF];
    index_child_dir(name, hex, dir, sizeof dir);
    dir_ptr d(opendir(dir));
    if (!d)
        return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    errno = 0;
    while (const dirent *e = readdir(d.get())) {
        // Temporary files of a record being written are no records.
        if (!is_hex_name(e->d_name))
            continue;
        char body[REG_PATH_BUF];
        manifest_body_path(name, e->d_name, body, sizeof body);
        if (file_exists(body))
            return 1;
        errno = 0;
    }
    return errno == 0 ? 0 : -1;
}

int index_children_sync_dirs(const char *name, const std::vector<std::string> &children)
{
    // The directories themselves were synced into their parents by mkdirs
    // when it made them; what is left is the records' names.
    for (const std::string &child : children) {
        char dir[REG_PATH_BUF];
        index_child_dir(name, child.c_str(), dir, sizeof dir);
        if (sync_dir(dir) != 0) {
            set_fault("cannot sync directory: %s", dir);
            return -1;
        }
    }
    return 0;
}

int index_children_forget(const char *name, const char *index_hex, const std::vector<std::string> &children)
{
    int rc = 0;
    for (const std::string &child : children) {
        char record[REG_PATH_BUF];
        index_child_record_path(name, child.c_str(), index_hex, record, sizeof record);
        if (remove_file(record) != 0 && rc == 0) {
            set_fault("cannot remove index record: %s", record);
            rc = -1;
        }
        char dir[REG_PATH_BUF];
        index_child_dir(name, child.c_str(), dir, sizeof dir);
        // A directory that never got its record has no removal to keep.
        if (sync_dir(dir) != 0 && errno != ENOENT && rc == 0) {
            set_fault("cannot sync directory: %s", dir);
            rc = -1;
        }
    }
    return rc;
}

int index_children_rebuild(const char *name, int64_t *out_written)
{
    if (out_written)
        *out_written = 0;
    if (!name) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_name(name) != 0)
        return -1;
    // Under the lock of stores and deletions: no tag of a listed manifest
    // can be deleted before its record is there, and no index removed
    // between reading its body and writing its records.
    repo_lock lock;
    int locked = repo_lock_take(name, &lock);
    if (locked == 1)
        return 0; // no manifests, nothing listed
    if (locked != 0) {
        set_fault("cannot lock repository: %s", name);
        return -1;
    }
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    dir_ptr d(opendir(dir));
    if (!d) {
        set_fault("cannot read %s", dir);
        return -1;
    }
    int64_t written = 0;
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        if (!is_hex_name(e->d_name))
            continue;
        std::vector<std::string> children;
        if (index_children_load(name, e->d_name, &children) != 0) {
            set_fault("cannot read manifest %s@%s", name, e->d_name);
            return -1;
        }
        char link[REG_DIGEST_BUF];
        digest_of_hex_name(e->d_name, link);
        for (const std::string &child : children) {
            char record[REG_PATH_BUF];
            char child_dir[REG_PATH_BUF];
            index_child_record_path(name, child.c_str(), e->d_name, record, sizeof record);
            if (file_exists(record))
                continue;
            index_child_dir(name, child.c_str(), child_dir, sizeof child_dir);
            if (mkdirs(child_dir) != 0) {
                set_fault("mkdirs index record dir failed: %s", child_dir);
                return -1;
            }
            // mkdirs syncs each directory it makes into its parent, and
            // write_file the record and the directory that names it.
            if (write_file(record, link, strlen(link)) != 0) {
                set_fault("write index record failed: %s", record);
                return -1;
            }
            ++written;
        }
    }
    if (out_written)
        *out_written = written;
    return 0;
}
