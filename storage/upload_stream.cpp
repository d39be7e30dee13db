// Uploads fed from a request body and blobs sent to a reply, both through
// file descriptors in fixed-size pieces: the registry's CGI programs move
// layers of gigabytes, and neither direction may need the whole blob in
// memory. An append is all or nothing, so a request whose body ends early
// leaves the upload exactly as it was and the client can send the chunk
// again from the same offset.
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage_internal.h"

namespace {

// Bytes moved per read and write: large enough that the system calls cost
// little next to the copying, small enough for the stack.
constexpr size_t STREAM_PIECE = 64 * 1024;

// Reads up to want bytes; 0 at end of input, -1 on error.
ssize_t read_some(int fd, char *buf, size_t want)
{
    for (;;) {
        ssize_t n = ::read(fd, buf, want);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

ssize_t pread_some(int fd, char *buf, size_t want, off_t offset)
{
    for (;;) {
        ssize_t n = ::pread(fd, buf, want, offset);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

// Either side of a transfer: a descriptor, or a stdio stream where the
// request's body and reply are no descriptors of this process (FastCGI).
struct byte_stream {
    int fd;
    FILE *file;
};

ssize_t stream_read(const byte_stream &in, char *buf, size_t want)
{
    if (!in.file) {
        return read_some(in.fd, buf, want);
    }
    size_t n = fread(buf, 1, want, in.file);
    if (n == 0 && ferror(in.file)) {
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int stream_write_all(const byte_stream &out, const char *buf, size_t len)
{
    if (!out.file) {
        return write_all_at(out.fd, buf, len, -1);
    }
    return fwrite(buf, 1, len, out.file) == len ? 0 : -1;
}

int append_from(const char *upload_uuid, const byte_stream &src, uint64_t len, int64_t at, uint64_t *out_received,
                int64_t *out_size)
{
    if (out_received) {
        *out_received = 0;
    }
    if (out_size) {
        *out_size = -1;
    }
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    if (!src.file && src.fd < 0) {
        set_error("invalid body descriptor");
        return -1;
    }
    upload_handle upload;
    if (upload_open(upload_uuid, 1, &upload) != 0) {
        return -1;
    }
    // Nobody else appends while the lock is held, so this is where the
    // chunk goes, and all that a failure has to take back.
    const int64_t before = upload.size;
    if (out_size) {
        *out_size = before;
    }
    if (at >= 0 && at != before) {
        set_error_kind(REG_ERR_RANGE, "chunk starts at %lld, the upload holds %lld bytes", static_cast<long long>(at),
                       static_cast<long long>(before));
        return -1;
    }

    char buf[STREAM_PIECE];
    uint64_t received = 0;
    enum { APPENDED, BODY_ENDED, BODY_UNREADABLE, WRITE_FAILED } outcome = APPENDED;
    int saved_errno = 0;
    while (received < len) {
        size_t want = len - received < sizeof buf ? static_cast<size_t>(len - received) : sizeof buf;
        ssize_t n = stream_read(src, buf, want);
        if (n == 0) {
            outcome = BODY_ENDED;
            break;
        }
        if (n < 0) {
            outcome = BODY_UNREADABLE;
            break;
        }
        if (write_all_at(upload.fd, buf, static_cast<uint64_t>(n), before + static_cast<int64_t>(received)) != 0) {
            outcome = WRITE_FAILED;
            saved_errno = errno;
            received += static_cast<uint64_t>(n);
            break;
        }
        received += static_cast<uint64_t>(n);
    }
    if (out_received) {
        *out_received = received;
    }
    if (outcome == APPENDED) {
        if (out_size) {
            *out_size = before + static_cast<int64_t>(len);
        }
        return 0;
    }

    // All or nothing: what this call added goes again, so the upload's size
    // stays the offset the client must resume from.
    (void)ftruncate(upload.fd, before);
    switch (outcome) {
    case BODY_ENDED:
        set_error_kind(REG_ERR_SHORT_BODY, "request body ended after %llu of %llu bytes",
                       static_cast<unsigned long long>(received), static_cast<unsigned long long>(len));
        break;
    case BODY_UNREADABLE:
        // The client's connection failed, not the storage.
        set_error_kind(REG_ERR_SHORT_BODY, "read error on request body");
        break;
    default:
        errno = saved_errno;
        set_fault("write error appending chunk");
        break;
    }
    return -1;
}

// Writes len bytes of an open file from offset on to out, in fixed-size
// pieces; what names the content in the messages ("blob", "manifest").
int copy_out(int in_fd, uint64_t offset, uint64_t len, const byte_stream &out, const char *what)
{
    (void)posix_fadvise(in_fd, static_cast<off_t>(offset), static_cast<off_t>(len), POSIX_FADV_SEQUENTIAL);
    char buf[STREAM_PIECE];
    uint64_t sent = 0;
    while (sent < len) {
        size_t want = len - sent < sizeof buf ? static_cast<size_t>(len - sent) : sizeof buf;
        ssize_t n = pread_some(in_fd, buf, want, static_cast<off_t>(offset + sent));
        if (n <= 0) {
            if (n == 0)
                errno = EIO; // the file is shorter than it was
            set_fault("read error on %s", what);
            return -1;
        }
        if (stream_write_all(out, buf, static_cast<size_t>(n)) != 0) {
            set_error("write error sending %s", what);
            return -1;
        }
        sent += static_cast<uint64_t>(n);
    }
    return 0;
}

int send_range_to(const char *digest, uint64_t offset, uint64_t len, const byte_stream &out)
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
    if (!out.file && out.fd < 0) {
        set_error("invalid output descriptor");
        return -1;
    }

    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    fd_guard in(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_missing("blob not found: %s", digest);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (offset > size || len > size - offset) {
        set_error_kind(REG_ERR_RANGE, "range beyond blob end");
        return -1;
    }
    return copy_out(in.fd, offset, len, out, "blob");
}

} // namespace

int check_upload_id(const char *upload_uuid)
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
    return 0;
}

upload_handle::~upload_handle()
{
    // Closing drops the lock.
    if (fd >= 0) {
        ::close(fd);
    }
}

int upload_open(const char *upload_uuid, int exclusive, upload_handle *out)
{
    upload_path_for_uuid(upload_uuid, out->path, sizeof out->path);
    // No O_CREAT: an unknown ID must never turn into an upload.
    fd_guard file(::open(out->path, (exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (file.fd < 0) {
        set_missing("upload not found: %s", upload_uuid);
        return -1;
    }
    if (lock_fd(file.fd, exclusive) != 0) {
        set_fault("cannot lock upload file: %s", out->path);
        return -1;
    }
    struct stat held;
    struct stat named;
    if (fstat(file.fd, &held) != 0) {
        set_fault("cannot read upload file: %s", out->path);
        return -1;
    }
    if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || ::stat(out->path, &named) != 0 || named.st_ino != held.st_ino ||
        named.st_dev != held.st_dev) {
        set_error_kind(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    out->fd = file.fd;
    out->size = static_cast<int64_t>(held.st_size);
    file.fd = -1;
    return 0;
}

int64_t reg_blob_upload_size(const char *upload_uuid)
{
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    upload_handle upload;
    if (upload_open(upload_uuid, 0, &upload) != 0) {
        return -1;
    }
    return upload.size;
}

int reg_blob_append_fd(const char *upload_uuid, int fd, uint64_t len, int64_t at, uint64_t *out_received,
                       int64_t *out_size)
{
    return append_from(upload_uuid, byte_stream{fd, nullptr}, len, at, out_received, out_size);
}

int reg_blob_append_file(const char *upload_uuid, FILE *in, uint64_t len, int64_t at, uint64_t *out_received,
                         int64_t *out_size)
{
    return append_from(upload_uuid, byte_stream{-1, in}, len, at, out_received, out_size);
}

int reg_blob_send_range(const char *digest, uint64_t offset, uint64_t len, int out_fd)
{
    return send_range_to(digest, offset, len, byte_stream{out_fd, nullptr});
}

int reg_blob_send_range_file(const char *digest, uint64_t offset, uint64_t len, FILE *out)
{
    return send_range_to(digest, offset, len, byte_stream{-1, out});
}

int reg_manifest_send_file(int manifest_fd, uint64_t size, FILE *out)
{
    if (manifest_fd < 0 || !out) {
        set_error("NULL argument");
        return -1;
    }
    return copy_out(manifest_fd, 0, size, byte_stream{-1, out}, "manifest");
}
