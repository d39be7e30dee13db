// Uploads fed from a request body and blobs sent to a reply, both through
// file descriptors in fixed-size pieces: the registry's CGI programs move
// layers of gigabytes, and neither direction may need the whole blob in
// memory. An append is all or nothing, so a request whose body ends early
// leaves the upload exactly as it was and the client can send the chunk
// again from the same offset.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage_internal.h"

namespace {

// Bytes moved per read and write: large enough that the system calls cost
// little next to the copying, small enough for the stack.
constexpr size_t STREAM_PIECE = 64 * 1024;

// Owns a descriptor inside one call; close() reports the result itself
// where it matters (after writing).
struct fd_guard {
    int fd = -1;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int close()
    {
        int rc = ::close(fd);
        fd = -1;
        return rc;
    }
};

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

// Writes all len bytes; 0 or -1.
int write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

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

} // namespace

int64_t reg_blob_upload_size(const char *upload_uuid)
{
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    char path[REG_PATH_BUF];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    int64_t size = file_exists(path) ? file_size(path) : -1;
    if (size < 0) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    return size;
}

int reg_blob_append_fd(const char *upload_uuid, int fd, uint64_t len, uint64_t *out_received)
{
    if (out_received) {
        *out_received = 0;
    }
    if (check_upload_id(upload_uuid) != 0) {
        return -1;
    }
    if (fd < 0) {
        set_error("invalid body descriptor");
        return -1;
    }

    char path[REG_PATH_BUF];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // No O_CREAT: an unknown ID must never turn into an upload.
    fd_guard out(::open(path, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (out.fd < 0) {
        int saved = errno;
        if (saved == ENOENT || saved == ENOTDIR) {
            set_error("upload not found: %s", upload_uuid);
        } else {
            set_error("cannot open upload file: %s", path);
        }
        return -1;
    }
    struct stat st;
    if (fstat(out.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_error("upload not found: %s", upload_uuid);
        return -1;
    }
    const off_t before = st.st_size;

    char buf[STREAM_PIECE];
    uint64_t received = 0;
    const char *failure = nullptr;
    bool short_body = false;
    while (received < len) {
        size_t want = len - received < sizeof buf ? static_cast<size_t>(len - received) : sizeof buf;
        ssize_t n = read_some(fd, buf, want);
        if (n == 0) {
            short_body = true;
            failure = "request body ended early";
            break;
        }
        if (n < 0) {
            failure = "read error on request body";
            break;
        }
        received += static_cast<uint64_t>(n);
        if (write_all(out.fd, buf, static_cast<size_t>(n)) != 0) {
            failure = "write error appending chunk";
            break;
        }
    }
    if (out_received) {
        *out_received = received;
    }
    if (!failure && out.close() != 0) {
        failure = "write error appending chunk";
    }
    if (!failure) {
        return 0;
    }

    // All or nothing: what this call added goes again, so the upload's size
    // stays the offset the client must resume from.
    if (out.fd >= 0) {
        (void)ftruncate(out.fd, before);
    } else {
        (void)truncate(path, before);
    }
    if (short_body) {
        set_error("request body ended after %llu of %llu bytes", static_cast<unsigned long long>(received),
                  static_cast<unsigned long long>(len));
    } else {
        set_error("%s", failure);
    }
    return -1;
}

int reg_blob_send_range(const char *digest, uint64_t offset, uint64_t len, int out_fd)
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
    if (out_fd < 0) {
        set_error("invalid output descriptor");
        return -1;
    }

    char path[REG_PATH_BUF];
    blob_path_for_digest(digest, path, sizeof path);
    fd_guard in(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_error("blob not found: %s", digest);
        return -1;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (offset > size || len > size - offset) {
        set_error("range beyond blob end");
        return -1;
    }
    (void)posix_fadvise(in.fd, static_cast<off_t>(offset), static_cast<off_t>(len), POSIX_FADV_SEQUENTIAL);

    char buf[STREAM_PIECE];
    uint64_t sent = 0;
    while (sent < len) {
        size_t want = len - sent < sizeof buf ? static_cast<size_t>(len - sent) : sizeof buf;
        ssize_t n = pread_some(in.fd, buf, want, static_cast<off_t>(offset + sent));
        if (n <= 0) {
            set_error("read error on blob");
            return -1;
        }
        if (write_all(out_fd, buf, static_cast<size_t>(n)) != 0) {
            set_error("write error sending blob");
            return -1;
        }
        sent += static_cast<uint64_t>(n);
    }
    return 0;
}
