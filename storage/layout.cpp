// Path builders for the on-disk tree below the storage root:
//   blobs/<algo>/<hh>/<hex>        blob files, fanned out by two digits
//                                  (algo: sha256 or sha512)
//   uploads/<id>.part              uploads in progress
//   uploads/owners/<id>            the repository an upload belongs to
//   repositories/<name>/_manifests manifest bodies, media types, links
//   repositories/<name>/_layers    the blobs the repository holds
//   repository-holds               marks a store whose holds are complete
// Arguments are not checked here; callers validate digests, upload IDs and
// repository names first. Every intermediate path is cut at the path
// buffer's size like the final one.
#include <cstdio>
#include <cstring>

#include "storage_internal.h"

void repos_dir(char *out, size_t size)
{
    path_join(out, size, s_root, "repositories");
}

// <root>/repositories/<name>/_manifests
void manifests_dir(const char *name, char *out, size_t size)
{
    char repos[REG_PATH_BUF];
    char repo[REG_PATH_BUF];
    repos_dir(repos, sizeof repos);
    path_join(repo, sizeof repo, repos, name);
    path_join(out, size, repo, "_manifests");
}

void blob_path_for_digest(const char *digest, char *out, size_t size)
{
    // The fan-out name is the first two digits.
    char fan[REG_PATH_BUF];
    blob_fanout_dir(digest, fan, sizeof fan);
    path_join(out, size, fan, digest + DIGEST_PREFIX_LEN);
}

void blob_algo_dir(const digest_algo *algo, char *out, size_t size)
{
    char blobs[REG_PATH_BUF];
    path_join(blobs, sizeof blobs, s_root, "blobs");
    path_join(out, size, blobs, algo->name);
}

void blob_fanout_dir(const char *digest, char *out, size_t size)
{
    const char pair[3] = {digest[DIGEST_PREFIX_LEN], digest[DIGEST_PREFIX_LEN + 1], '\0'};
    char algo[REG_PATH_BUF];
    blob_algo_dir(digest_algo_of(digest), algo, sizeof algo);
    path_join(out, size, algo, pair);
}

void upload_path_for_uuid(const char *uuid, char *out, size_t size)
{
    char file[128];
    char uploads[REG_PATH_BUF];
    snprintf(file, sizeof file, "%s.part", uuid);
    path_join(uploads, sizeof uploads, s_root, "uploads");
    path_join(out, size, uploads, file);
}

void upload_owners_dir(char *out, size_t size)
{
    char uploads[REG_PATH_BUF];
    path_join(uploads, sizeof uploads, s_root, "uploads");
    path_join(out, size, uploads, UPLOAD_OWNERS_DIR_NAME);
}

void upload_owner_path(const char *uuid, char *out, size_t size)
{
    char owners[REG_PATH_BUF];
    upload_owners_dir(owners, sizeof owners);
    path_join(out, size, owners, uuid);
}

// <root>/repositories/<name>/_layers
void repo_holds_dir(const char *name, char *out, size_t size)
{
    char repos[REG_PATH_BUF];
    char repo[REG_PATH_BUF];
    repos_dir(repos, sizeof repos);
    path_join(repo, sizeof repo, repos, name);
    path_join(out, size, repo, REPO_HOLDS_DIR_NAME);
}

void repo_hold_path(const char *name, const char *digest, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    repo_holds_dir(name, dir, sizeof dir);
    path_join(out, size, dir, digest + DIGEST_PREFIX_LEN);
}

void repo_hold_released_path(const char *name, const char *digest, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    char file[DIGEST_HEX_BUF + 16];
    repo_holds_dir(name, dir, sizeof dir);
    snprintf(file, sizeof file, "%s%s", digest + DIGEST_PREFIX_LEN, HOLD_RELEASED_SUFFIX);
    path_join(out, size, dir, file);
}

void holds_marker_path(char *out, size_t size)
{
    path_join(out, size, s_root, HOLDS_MARKER_NAME);
}

void manifest_body_path(const char *name, const char *hex, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    path_join(out, size, dir, hex);
}

void manifest_ct_path(const char *name, const char *hex, char *out, size_t size)
{
    if (size == 0)
        return;
    manifest_body_path(name, hex, out, size);
    size_t used = strlen(out);
    snprintf(out + used, size - used, "%s", ".ct");
}

void manifest_rev_dir(const char *name, const char *hex, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    char revisions[REG_PATH_BUF];
    char algo[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    path_join(revisions, sizeof revisions, dir, "revisions");
    path_join(algo, sizeof algo, revisions, hex_name_algo(hex)->name);
    path_join(out, size, algo, hex);
}

void manifest_rev_path(const char *name, const char *hex, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    manifest_rev_dir(name, hex, dir, sizeof dir);
    path_join(out, size, dir, "link");
}

void manifest_tags_dir(const char *name, char *out, size_t size)
{
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    path_join(out, size, dir, "tags");
}

void manifest_tag_path(const char *name, const char *tag, char *out, size_t size)
{
    char tags[REG_PATH_BUF];
    char tag_dir[REG_PATH_BUF];
    char current[REG_PATH_BUF];
    manifest_tags_dir(name, tags, sizeof tags);
    path_join(tag_dir, sizeof tag_dir, tags, tag);
    path_join(current, sizeof current, tag_dir, "current");
    path_join(out, size, current, "link");
}
