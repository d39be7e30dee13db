// Blob uploads and the content-addressed blob store. An upload is the file
// uploads/<id>.part; finishing it hashes what arrived and, when the digest
// is the one the caller expects, renames it to blobs/<algo>/<hh>/<hex>. The
// rename is the commit point: a blob exists under its name only when whole,
// and only ever with the bytes its name was computed from.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "storage_internal.h"

namespace {

// Attempts at a fresh upload ID before giving up: with 122 random bits a
// second attempt already means the generator is broken.
constexpr int UPLOAD_ID_ATTEMPTS = 4;

// Moves a verified upload to its blob name without ever replacing a blob
// that is there: 0 when this call published it, 1 when the blob was
// already stored (the upload is then left for the caller to remove), -1
// with errno. A file system that cannot rename without replacing gets a
// hard link and an unlink instead; if that is cut short the upload file
// keeps a second name, which upload_open refuses from then on.
int publish_blob(const char *upload_path, const char *blob_path)
{
    if (renameat2(AT_FDCWD, upload_path, AT_FDCWD, blob_path, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    // Only a blob file counts as stored; anything else in its place is a
    // fault of the store.
    if (errno == EEXIST) {
        return file_exists(blob_path) ? 1 : -1;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return -1;
    }
    if (link(upload_path, blob_path) != 0) {
        return errno == EEXIST && file_exists(blob_path) ? 1 : -1;
    }
    return unlink(upload_path) == 0 || errno == ENOENT ? 0 : -1;
}

} // namespace

namespace {

// Draws a fresh ID and creates its empty upload file; with an owner, records
// the repository the upload belongs to before anyone can learn the ID.
int start_upload(const char *owner, char *out_upload_uuid)
{
    if (!out_upload_uuid) {
        set_error("out_upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (owner && !repo_name_valid(owner)) {
        set_error("invalid repository name");
        return -1;
    }
    char path[REG_PATH_BUF];
    for (int attempt = 0; attempt < UPLOAD_ID_ATTEMPTS; ++attempt) {
        if (uuid_make_random(out_upload_uuid) != 0) {
            set_fault("cannot make upload id");
            return -1;
        }
        upload_path_for_uuid(out_upload_uuid, path, sizeof path);
        // O_EXCL: an ID that is already taken never truncates a live upload.
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            break;
        }
        if (errno != EEXIST || attempt + 1 == UPLOAD_ID_ATTEMPTS) {
            set_fault("cannot create upload file: %s", path);
            return -1;
        }
    }
    if (owner) {
        char owner_path[REG_PATH_BUF];
        char owners[REG_PATH_BUF];
        upload_owner_path(out_upload_uuid, owner_path, sizeof owner_path);
        upload_owners_dir(owners, sizeof owners);
        if (mkdirs(owners) != 0 || write_file(owner_path, owner, strlen(owner)) != 0) {
            set_fault("cannot record upload owner: %s", owner_path);
            (void)unlink(path);
            return -1;
        }
    }
    return 0;
}

// A spent upload's owner record goes with it; one left behind by a crash
// names an upload that no longer exists, which answers like no record.
void forget_owner(const char *upload_uuid)
{
    char path[REG_PATH_BUF];
    upload_owner_path(upload_uuid, path, sizeof path);
    (void)unlink(path);
}

} // namespace

int reg_blob_start_upload(char *out_upload_uuid)
{
    return start_upload(nullptr, out_upload_uuid);
}

int reg_blob_start_repo_upload(const char *name, char *out_upload_uuid)
{
    if (!name) {
        set_error("NULL argument");
        return -1;
    }
    return start_upload(name, out_upload_uuid);
}

int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t len)
{
    if (!upload_uuid || !data) {
        set_error("upload_uuid/data is NULL");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    upload_handle upload;
    if (upload_open(upload_uuid, 1, &upload) != 0) {
        return -1;
    }
    // A failed append takes back what it wrote, and only that: the lock
    // keeps every other append out meanwhile.
    if (write_all_at(upload.fd, data, len, upload.size) != 0) {
        int saved = errno;
        (void)ftruncate(upload.fd, upload.size);
        errno = saved;
        set_fault("write error appending chunk");
        return -1;
    }
    return 0;
}

namespace {

// Finishes an upload; with a repository, records its hold before the bytes
// can be collected: a blob this call published is still locked through the
// upload's descriptor, and bytes that were there already are held under
// their own lock (or, gone meanwhile, published from this upload after all).
int finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest, const char *holder)
{
    if (!upload_uuid || !expected_digest || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    // The expected digest names the algorithm the upload is hashed with.
    const digest_algo *algo = digest_algo_of(expected_digest);
    if (!algo) {
        set_error("invalid expected digest");
        return -1;
    }
    if (holder && !repo_name_valid(holder)) {
        set_error("invalid repository name");
        return -1;
    }

    // Held to the end: no append can slip in between the hash and the
    // publishing, so the bytes hashed are the bytes published.
    upload_handle upload;
    if (upload_open(upload_uuid, 1, &upload) != 0) {
        return -1;
    }
    char actual[REG_DIGEST_BUF];
    if (content_digest_fd(algo, upload.fd, actual) != 0) {
        set_fault("hashing upload failed");
        return -1;
    }

    // A mismatching upload is spent: the client has to upload again.
    if (std::strcmp(actual, expected_digest) != 0) {
        set_error_kind(REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", expected_digest, actual);
        (void)unlink(upload.path);
        forget_owner(upload_uuid);
        return -1;
    }

    char blob_path[REG_PATH_BUF];
    char fanout[REG_PATH_BUF];
    blob_path_for_digest(expected_digest, blob_path, sizeof blob_path);
    blob_fanout_dir(expected_digest, fanout, sizeof fanout);
    int published = 1;
    // Twice at most: stored bytes that garbage collection removes before
    // they are held are replaced by this upload's.
    for (int attempt = 0; attempt < 2; ++attempt) {
        published = 1;
        if (!file_exists(blob_path)) {
            if (mkdirs(fanout) != 0) {
                set_fault("mkdirs blob dir failed");
                return -1;
            }
            // The content is on disk before its name is.
            if (fsync(upload.fd) != 0) {
                set_fault("cannot sync upload file: %s", upload.path);
                return -1;
            }
            published = publish_blob(upload.path, blob_path);
            if (published < 0) {
                set_fault("rename to CAS failed: %s", blob_path);
                return -1;
            }
        }
        if (!holder)
            break;
        if (published == 0) {
            if (write_hold(holder, expected_digest) != 0)
                return -1;
            break;
        }
        if (link_hold(holder, expected_digest) == 0)
            break;
        if (reg_storage_last_error_kind() != REG_ERR_NOT_FOUND || attempt == 1)
            return -1;
    }
    // Content-addressed: when the same bytes are already stored, they stay
    // as they are and this upload is spent.
    if (published == 1) {
        (void)unlink(upload.path);
    } else if (sync_dir(fanout) != 0) {
        set_fault("cannot sync blob dir: %s", fanout);
        return -1;
    }

    forget_owner(upload_uuid);
    snprintf(out_digest, REG_DIGEST_BUF, "%s", expected_digest);
    return 0;
}

} // namespace

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest)
{
    return finish_upload(upload_uuid, expected_digest, out_digest, nullptr);
}

int reg_blob_finish_repo_upload(const char *name, const char *upload_uuid, const char *expected_digest,
                                char *out_digest)
{
    if (!name) {
        set_error("NULL argument");
        return -1;
    }
    return finish_upload(upload_uuid, expected_digest, out_digest, name);
}

int reg_blob_cancel_upload(const char *upload_uuid)
{
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    upload_handle upload;
    if (upload_open(upload_uuid, 1, &upload) != 0) {
        // Nothing to cancel is no failure.
        return reg_storage_last_error_kind() == REG_ERR_NOT_FOUND ? 0 : -1;
    }
    if (unlink(upload.path) != 0) {
        set_fault("cancel failed");
        return -1;
    }
    forget_owner(upload_uuid);
    return 0;
}

// The checks shared by the operations that take a blob digest, in their
// order: the argument, readiness, the digest's form; then the blob's path.
static int blob_query_path(const char *digest, char *path, size_t size)
{
    if (!digest) {
        set_error("digest is NULL");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (!digest_any_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    blob_path_for_digest(digest, path, size);
    return 0;
}

int reg_blob_exists(const char *digest)
{
    char path[REG_PATH_BUF];
    if (blob_query_path(digest, path, sizeof path) != 0) {
        return -1;
    }
    return file_exists(path) ? 1 : 0;
}

int64_t reg_blob_get_size(const char *digest)
{
    char path[REG_PATH_BUF];
    if (blob_query_path(digest, path, sizeof path) != 0) {
        return -1;
    }
    return file_size(path);
}

int reg_blob_get_filepath(const char *digest, char *out, uint64_t out_size)
{
    if (!digest || !out || out_size == 0) {
        set_error("NULL argument");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (!digest_any_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error_kind(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    size_t len = std::strlen(path);
    if (len >= out_size) {
        set_error("path buffer too small");
        return -1;
    }
    std::memcpy(out, path, len + 1);
    return 0;
}

int reg_blob_delete(const char *digest)
{
    char path[REG_PATH_BUF];
    if (blob_query_path(digest, path, sizeof path) != 0) {
        return -1;
    }
    if (!file_exists(path)) {
        set_error_kind(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_fault("remove failed");
        return -1;
    }
    // Fails, as intended, while the fan-out directory still holds blobs.
    char fanout[REG_PATH_BUF];
    blob_fanout_dir(digest, fanout, sizeof fanout);
    rmdir(fanout);
    return 0;
}
