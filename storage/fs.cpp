// File-system primitives of the storage library: path joining, directory
// chains, existence and size tests, whole-file reads, atomic whole-file
// writes, removal and bounded directory listings. They record no message;
// the calling operation words its own.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage_internal.h"

namespace {

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Distinguishes the temporary files of several writes within one process;
// the pid in the name separates processes.
unsigned s_temp_counter;

// One attempt of mkdirs: the directory is there afterwards, whoever made it.
// A name that exists but is no directory fails, so success always means a
// usable directory. A directory this call made is synced into its parent:
// files published inside it must not vanish with it after a crash.
bool make_one_dir(const char *path)
{
    if (mkdir(path, 0777) == 0)
        return sync_parent_dir(path) == 0;
    int saved = errno;
    if (dir_exists(path) == 1)
        return true;
    errno = saved == EEXIST ? ENOTDIR : saved;
    return false;
}

// "<dir>/.<name>.tmp.<pid>.<n>" beside the target. The leading dot keeps it
// out of anyone's way; no listing counts files where write_file writes.
// -1 when the name does not fit the path buffer.
int temp_name_for(const char *path, char *out, size_t size)
{
    const char *slash = strrchr(path, PATH_SEP);
    int dir_len = slash ? (int)(slash - path + 1) : 0;
    const char *base = slash ? slash + 1 : path;
    int n = snprintf(out, size, "%.*s.%s.tmp.%ld.%u", dir_len, path, base, (long)getpid(), ++s_temp_counter);
    return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

} // namespace

// Every request joins a dozen paths; a formatted print here cost more than
// the rest of a manifest lookup together. Same result as snprintf: cut to
// size - 1 bytes and terminated, nothing written when size is 0.
void path_join(char *out, size_t size, const char *first, const char *second)
{
    if (size == 0)
        return;
    size_t used = 0;
    for (const char *part : {first, PATH_SEP_STR, second}) {
        size_t room = size - 1 - used;
        size_t len = strnlen(part, room);
        memcpy(out + used, part, len);
        used += len;
    }
    out[used] = '\0';
}

char *xstrdup(const char *s)
{
    size_t len = strlen(s);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy != nullptr)
        memcpy(copy, s, len + 1);
    return copy;
}

// Both '/' and '\\' split components, as in the layout's names. The scan
// starts at the second character so that an absolute path never tries to
// create the empty name before its leading '/'.
fd_guard::~fd_guard()
{
    if (fd >= 0)
        close(fd);
}

int mkdirs(const char *path)
{
    size_t n = strnlen(path, REG_PATH_BUF);
    if (n == 0 || n >= REG_PATH_BUF)
        return -1;
    // Almost every call finds the whole chain in place (every request opens
    // the storage); one test then stands for a failed mkdir per component.
    if (dir_exists(path) == 1)
        return 0;
    char work[REG_PATH_BUF];
    memcpy(work, path, n + 1);

    for (size_t i = 1; i < n; ++i) {
        if (work[i] != '/' && work[i] != '\\')
            continue;
        char sep = work[i];
        work[i] = '\0';
        bool ok = make_one_dir(work);
        work[i] = sep;
        if (!ok)
            return -1;
    }
    return make_one_dir(work) ? 0 : -1;
}

int file_exists(const char *path)
{
    struct stat st;
    return (stat(path, &st) == 0 && !S_ISDIR(st.st_mode)) ? 1 : 0;
}

int file_probe(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : 1;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

int dir_exists(const char *path)
{
    struct stat st;
    return (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? 1 : 0;
}

int64_t file_size(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return (int64_t)st.st_size;
}

int read_file(const char *path, char *buf, size_t cap, uint64_t *out_len)
{
    if (cap == 0)
        return -1;
    file_ptr f(fopen(path, "rb"));
    if (!f)
        return -1;
    size_t got = fread(buf, 1, cap - 1, f.get());
    bool failed = ferror(f.get()) != 0;
    f.reset();
    if (failed)
        return -1;
    buf[got] = '\0';
    if (out_len != nullptr)
        *out_len = got;
    return 0;
}

int stage_file(const char *path, const void *data, uint64_t len, staged_file *out)
{
    out->fd = -1;
    out->published = 0;
    out->target = path;
    if (temp_name_for(path, out->temp, sizeof out->temp) != 0) {
        out->temp[0] = '\0';
        errno = ENAMETOOLONG;
        return -1;
    }
    fd_guard fd(open(out->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.fd < 0) {
        out->temp[0] = '\0';
        return -1;
    }
    if (write_all_at(fd.fd, data, len, -1) != 0) {
        int saved = errno;
        unlink(out->temp);
        out->temp[0] = '\0';
        errno = saved;
        return -1;
    }
    out->fd = fd.release();
    return 0;
}

// Every file's writeback is started before the first one is waited for, so
// the file system can commit them together: a set of small files costs
// about one flush instead of one each.
int sync_staged(staged_file *files, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (files[i].fd >= 0)
            (void)sync_file_range(files[i].fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    int rc = 0;
    int saved = 0;
    for (size_t i = 0; i < count; ++i) {
        if (files[i].fd < 0)
            continue;
        if (rc == 0 && fsync(files[i].fd) != 0) {
            rc = -1;
            saved = errno;
        }
        if (close(files[i].fd) != 0 && rc == 0) {
            rc = -1;
            saved = errno;
        }
        files[i].fd = -1;
    }
    errno = saved;
    return rc;
}

int publish_staged(staged_file *file)
{
    if (rename(file->temp, file->target) != 0)
        return -1;
    file->published = 1;
    return 0;
}

void drop_staged(staged_file *file)
{
    int saved = errno;
    if (file->fd >= 0) {
        close(file->fd);
        file->fd = -1;
    }
    if (!file->published && file->temp[0] != '\0')
        unlink(file->temp);
    file->temp[0] = '\0';
    errno = saved;
}

// The target is replaced whole or not at all: readers in other processes
// see either the previous content or the new one, never a truncated file,
// and a failure leaves the previous file as it was. The data is synced
// before the rename and the directory after it, so once this returns the
// new content survives a crash.
int write_file(const char *path, const void *data, uint64_t len)
{
    staged_file file;
    if (stage_file(path, data, len, &file) != 0)
        return -1;
    if (sync_staged(&file, 1) != 0 || publish_staged(&file) != 0) {
        drop_staged(&file);
        return -1;
    }
    return sync_parent_dir(path);
}

int sync_dir(const char *dir)
{
    fd_guard fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0)
        return -1;
    if (fsync(fd.fd) != 0)
        return -1;
    return 0;
}

int sync_parent_dir(const char *path)
{
    const char *slash = strrchr(path, PATH_SEP);
    if (slash == nullptr)
        return sync_dir(".");
    if (slash == path)
        return sync_dir("/");
    char dir[REG_PATH_BUF];
    size_t len = (size_t)(slash - path);
    if (len >= sizeof dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, len);
    dir[len] = '\0';
    return sync_dir(dir);
}

int write_all_at(int fd, const void *data, uint64_t len, int64_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        // Stay below the kernel's per-call limit and ssize_t's range.
        size_t chunk = len > (1u << 30) ? (size_t)(1u << 30) : (size_t)len;
        ssize_t n = offset < 0 ? write(fd, p, chunk) : pwrite(fd, p, chunk, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= (uint64_t)n;
        if (offset >= 0)
            offset += n;
    }
    return 0;
}

int lock_fd(int fd, int exclusive)
{
    struct flock fl = {};
    fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0; // the whole file, however it grows
    for (;;) {
        if (fcntl(fd, F_SETLKW, &fl) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int remove_file(const char *path)
{
    if (!file_exists(path))
        return 0;
    return remove(path) == 0 ? 0 : -1;
}

namespace {

// Waits for the lock file of a directory that must exist already.
int lock_in_dir(const char *dir, repo_lock *out)
{
    char path[REG_PATH_BUF];
    path_join(path, sizeof path, dir, REPO_LOCK_NAME);
    // The lock file is never removed, so the file locked is always the one
    // every other request opens.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? 1 : -1;
    if (lock_fd(fd, 1) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    out->fd = fd;
    return 0;
}

} // namespace

int repo_lock_take(const char *name, repo_lock *out)
{
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    return lock_in_dir(dir, out);
}

int holds_lock_take(const char *name, repo_lock *out)
{
    char dir[REG_PATH_BUF];
    repo_holds_dir(name, dir, sizeof dir);
    return lock_in_dir(dir, out);
}

repo_lock::~repo_lock()
{
    // Closing drops the lock.
    if (fd >= 0)
        close(fd);
}

int list_dir(const char *path, dir_listing *out)
{
    out->count = 0;
    out->truncated = 0;
    if (!dir_exists(path))
        return -1;
    dir_ptr d(opendir(path));
    if (!d)
        return -1;

    for (;;) {
        const dirent *e = readdir(d.get());
        if (e == nullptr)
            break;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        if ((size_t)out->count == DIR_LISTING_CAP) {
            out->truncated = 1;
            break;
        }
        dir_entry &entry = out->entries[out->count];
        snprintf(entry.name, sizeof entry.name, "%s", e->d_name);
        bool is_dir;
        if (e->d_type == DT_DIR) {
            is_dir = true;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            // Some file systems leave the type open; a link counts as what
            // it points to, as for dir_exists.
            struct stat st;
            is_dir = fstatat(dirfd(d.get()), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        } else {
            is_dir = false;
        }
        entry.is_dir = is_dir ? 1 : 0;
        ++out->count;
    }
    return 0;
}
