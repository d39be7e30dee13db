// Blob uploads and the content-addressed blob store. An upload is the file
// uploads/<id>.part; finishing it hashes what arrived and, when the digest
// is the one the caller expects, renames it to blobs/sha256/<hh>/<hex>. The
// rename is the commit point: a blob exists under its name only when whole.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "sha256.h"
#include "storage_internal.h"

namespace {

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// "sha256:" + 64 digits + NUL, with room to spare.
constexpr size_t DIGEST_FORMAT_BUF = 80;
// Offset of the first hexadecimal digit in a digest string.
constexpr size_t DIGEST_HEX_OFFSET = 7;

void fanout_dir_for_digest(const char *digest, char *out, size_t size)
{
    snprintf(out, size, "%s/blobs/sha256/%c%c", s_root, digest[DIGEST_HEX_OFFSET],
             digest[DIGEST_HEX_OFFSET + 1]);
}

// Flushes the upload's bytes to stable storage, so that the rename never
// publishes a blob whose content a crash could still lose. 0 or -1.
int sync_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int rc = fsync(fd);
    if (close(fd) != 0) {
        rc = -1;
    }
    return rc == 0 ? 0 : -1;
}

} // namespace

int reg_blob_start_upload(char *out_upload_uuid)
{
    if (!out_upload_uuid) {
        set_error("out_upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    uuid_make(out_upload_uuid);

    char path[REG_PATH_BUF];
    upload_path_for_uuid(out_upload_uuid, path, sizeof path);
    FILE *f = std::fopen(path, "wb");
    if (!f) {
        set_error("cannot create upload file: %s", path);
        return -1;
    }
    std::fclose(f);
    return 0;
}

int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t len)
{
    if (!upload_uuid || !data) {
        set_error("upload_uuid/data is NULL");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (!uuid_valid(upload_uuid)) {
        set_error("invalid upload uuid");
        return -1;
    }

    char path[REG_PATH_BUF];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // Opening with "ab" would create a missing file: test first, so that an
    // unknown ID never turns into an upload.
    if (!file_exists(path)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    file_ptr f(std::fopen(path, "ab"));
    if (!f) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    size_t written = len > 0 ? std::fwrite(data, 1, len, f.get()) : 0;
    int failed = std::ferror(f.get());
    // A short chunk stays in the stream's buffer until the close flushes it;
    // a flush that fails there loses bytes, so it counts as a write error.
    if (std::fclose(f.release()) != 0) {
        failed = 1;
    }
    if (failed || written != len) {
        set_error("write error appending chunk");
        return -1;
    }
    return 0;
}

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest)
{
    if (!upload_uuid || !expected_digest || !out_digest) {
        set_error("NULL argument");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (!uuid_valid(upload_uuid)) {
        set_error("invalid upload uuid");
        return -1;
    }
    if (!digest_valid(expected_digest)) {
        set_error("invalid expected digest");
        return -1;
    }

    char upload_path[REG_PATH_BUF];
    upload_path_for_uuid(upload_uuid, upload_path, sizeof upload_path);
    if (!file_exists(upload_path)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }

    uint8_t hash[SHA256_DIGEST_SIZE];
    if (sha256_file(upload_path, hash) != 0) {
        set_error("hashing upload failed");
        return -1;
    }
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    bin_to_hex(hash, sizeof hash, hex);
    char actual[DIGEST_FORMAT_BUF];
    snprintf(actual, sizeof actual, "sha256:%s", hex);

    // A mismatching upload is spent: the client has to upload again.
    if (std::strcmp(actual, expected_digest) != 0) {
        set_error("digest mismatch: expected %s, got %s", expected_digest, actual);
        remove_file(upload_path);
        return -1;
    }

    char blob_path[REG_PATH_BUF];
    blob_path_for_digest(expected_digest, blob_path, sizeof blob_path);
    if (file_exists(blob_path)) {
        // Content-addressed: the same bytes are already stored.
        remove_file(upload_path);
    } else {
        char fanout[REG_PATH_BUF];
        fanout_dir_for_digest(expected_digest, fanout, sizeof fanout);
        if (mkdirs(fanout) != 0) {
            set_error("mkdirs blob dir failed");
            return -1;
        }
        if (sync_file(upload_path) != 0) {
            set_error("cannot sync upload file: %s", upload_path);
            return -1;
        }
        if (std::rename(upload_path, blob_path) != 0) {
            // A finish of the same content may have published the blob
            // between the test above and the rename; then it is stored.
            if (!file_exists(blob_path)) {
                set_error("rename to CAS failed: %s", blob_path);
                return -1;
            }
            remove_file(upload_path);
        }
    }

    snprintf(out_digest, REG_DIGEST_BUF, "%s", expected_digest);
    return 0;
}

int reg_blob_cancel_upload(const char *upload_uuid)
{
    if (!upload_uuid) {
        set_error("upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) {
        return -1;
    }
    if (!uuid_valid(upload_uuid)) {
        set_error("invalid upload uuid");
        return -1;
    }
    char path[REG_PATH_BUF];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    if (remove_file(path) != 0) {
        set_error("cancel failed");
        return -1;
    }
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
    if (!digest_valid(digest)) {
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
    if (!digest_valid(digest)) {
        set_error("invalid digest");
        return -1;
    }
    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error("blob not found: %s", digest);
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
        set_error("blob not found: %s", digest);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_error("remove failed");
        return -1;
    }
    // Fails, as intended, while the fan-out directory still holds blobs.
    char fanout[REG_PATH_BUF];
    fanout_dir_for_digest(digest, fanout, sizeof fanout);
    rmdir(fanout);
    return 0;
}
