// Verification of a whole store: every blob and manifest body is hashed
// again and must hash to its name, and every link (tag, revision, hold)
// must hold exactly the digest of something stored. Meant for an
// administration command run beside a serving registry: it reads through
// descriptors opened one directory at a time with O_NOFOLLOW, so a symbolic
// link planted anywhere in the tree is reported, never followed out of the
// store, and the only changes it makes are the moves of a quarantine.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "storage_internal.h"

namespace {

// What a finding says about the content: a digest and a few words.
constexpr size_t DETAIL_BUF = 256;
constexpr size_t ALGO_COUNT = sizeof DIGEST_ALGOS / sizeof DIGEST_ALGOS[0];
// Names tried in the quarantine ("<name>", "<name>.1", ...) before giving
// up: a file moved aside that often means something else is wrong.
constexpr int QUARANTINE_NAMES = 100;
// The areas of the store the walk visits or the programs write; the
// quarantine may not lie in them.
constexpr const char *STORE_AREAS[] = {"blobs", "repositories", "uploads"};

// One word per kind, in the order of reg_verify_kind.
constexpr const char *KIND_LABELS[] = {
    "blob-corrupt",  "blob-misplaced", "manifest-corrupt", "tag-dangling", "revision-dangling",
    "hold-dangling", "link-malformed", "symlink",          "unreadable",
};
static_assert(sizeof KIND_LABELS / sizeof KIND_LABELS[0] == REG_VERIFY_UNREADABLE + 1);

struct verify_walk {
    const reg_verify_options *options;
    reg_verify_result *result;
    // blobs/<algo> per algorithm, -1 when the store has none
    fd_guard blobs[ALGO_COUNT] = {fd_guard{-1}, fd_guard{-1}};
    char quarantine[PATH_MAX] = "";
};

void report(verify_walk *w, reg_verify_kind kind, const char *path, const char *detail, const char *moved_to = nullptr)
{
    ++w->result->findings;
    if (!w->options->report)
        return;
    reg_verify_finding finding = {kind, KIND_LABELS[kind], path, detail ? detail : "", moved_to};
    w->options->report(w->options->ctx, &finding);
}

bool is_dot_entry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// "<dir>/<name>" relative to the root; the walk's paths are far below the
// path buffer's size, which also bounds every name the store accepts.
void rel_join(char *out, const char *dir, const char *name)
{
    path_join(out, REG_PATH_BUF, dir, name);
}

enum entry_type { ENTRY_GONE, ENTRY_FILE, ENTRY_DIR, ENTRY_SYMLINK, ENTRY_OTHER };

entry_type type_of(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return ENTRY_FILE;
    if (S_ISDIR(st.st_mode))
        return ENTRY_DIR;
    return S_ISLNK(st.st_mode) ? ENTRY_SYMLINK : ENTRY_OTHER;
}

// What a directory entry is, without following it.
entry_type entry_type_at(DIR *d, const dirent *e)
{
    switch (e->d_type) {
    case DT_REG:
        return ENTRY_FILE;
    case DT_DIR:
        return ENTRY_DIR;
    case DT_LNK:
        return ENTRY_SYMLINK;
    case DT_UNKNOWN:
        break;
    default:
        return ENTRY_OTHER;
    }
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return ENTRY_GONE;
    return type_of(st);
}

// Opens the directory name below at for listing, never through a symbolic
// link. Null when there is nothing to walk: not there (or not a directory,
// which no walk needs to descend into), or a symbolic link or a directory
// that cannot be read, both reported.
dir_ptr open_listing(verify_walk *w, int at, const char *name, const char *rel)
{
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link refused by O_NOFOLLOW shows as ELOOP, or as ENOTDIR when
        // O_DIRECTORY is tested first: only the entry itself tells.
        int err = errno;
        struct stat st;
        if (err != ENOENT && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            report(w, REG_VERIFY_SYMLINK, rel, "not followed");
        else if (err != ENOENT && err != ENOTDIR)
            report(w, REG_VERIFY_UNREADABLE, rel, strerror(err));
        return nullptr;
    }
    dir_ptr d(fdopendir(fd));
    if (!d) {
        report(w, REG_VERIFY_UNREADABLE, rel, strerror(errno));
        close(fd);
    }
    return d;
}

// The next entry other than "." and ".."; null at the end, and a listing
// cut short by an error is reported.
const dirent *next_entry(verify_walk *w, DIR *d, const char *rel)
{
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e) {
            if (errno != 0)
                report(w, REG_VERIFY_UNREADABLE, rel, strerror(errno));
            return nullptr;
        }
        if (!is_dot_entry(e->d_name))
            return e;
    }
}

enum read_outcome { READ_OK, READ_GONE, READ_SYMLINK, READ_FAILED };

read_outcome open_regular(int dir_fd, const char *name, fd_guard *out, struct stat *st)
{
    // O_NONBLOCK: a FIFO put in a file's place must not stall the walk.
    out->fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (out->fd < 0)
        return errno == ENOENT ? READ_GONE : errno == ELOOP ? READ_SYMLINK : READ_FAILED;
    if (fstat(out->fd, st) != 0)
        return READ_FAILED;
    if (!S_ISREG(st->st_mode)) {
        errno = EINVAL;
        return READ_FAILED;
    }
    return READ_OK;
}

// The digest of a file by the algorithm its name is the digits of,
// streamed, into out_digest (REG_DIGEST_BUF bytes); *st describes the file
// hashed.
read_outcome hash_file(int dir_fd, const char *name, char *out_digest, struct stat *st)
{
    fd_guard fd(-1);
    read_outcome r = open_regular(dir_fd, name, &fd, st);
    if (r != READ_OK)
        return r;
    if (content_digest_fd(hex_name_algo(name), fd.fd, out_digest) != 0)
        return READ_FAILED;
    return READ_OK;
}

// A link's content, terminated, at most LINK_READ_BUF - 1 bytes of it.
read_outcome read_link(int dir_fd, const char *name, char *buf, size_t *len)
{
    fd_guard fd(-1);
    struct stat st;
    read_outcome r = open_regular(dir_fd, name, &fd, &st);
    if (r != READ_OK)
        return r;
    size_t got = 0;
    while (got < LINK_READ_BUF - 1) {
        ssize_t n = read(fd.fd, buf + got, LINK_READ_BUF - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return READ_FAILED;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    buf[got] = '\0';
    *len = got;
    return READ_OK;
}

// Empty when content is exactly one digest string (with own_hex, that
// digest); otherwise what is wrong with it.
void link_problem(const char *content, size_t len, const char *own_hex, char *out, size_t size)
{
    out[0] = '\0';
    // The algorithm's name at the start tells how long the digest must be.
    const digest_algo *algo = digest_prefix_algo(content);
    const size_t digest_len = algo ? DIGEST_PREFIX_LEN + algo->hex_len : 0;
    bool digest_first = digest_len > 0 && len >= digest_len && strnlen(content, digest_len) == digest_len;
    char head[REG_DIGEST_BUF] = "";
    if (digest_first)
        snprintf(head, sizeof head, "%.*s", static_cast<int>(digest_len), content);
    if (!digest_first || !digest_any_valid(head)) {
        snprintf(out, size, "holds %zu%s bytes, not a digest", len, len >= LINK_READ_BUF - 1 ? " or more" : "");
        return;
    }
    if (len > digest_len) {
        snprintf(out, size, "%s followed by %zu%s more bytes", head, len - digest_len,
                 len >= LINK_READ_BUF - 1 ? " or" : "");
        return;
    }
    if (own_hex && strcmp(head + DIGEST_PREFIX_LEN, own_hex) != 0)
        snprintf(out, size, "names %s, not its own digest", head);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether name below dir_fd is still the file that was examined.
bool still_there(int dir_fd, const char *name, const struct stat &seen)
{
    struct stat now;
    return fstatat(dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, seen);
}

// Moves name below dir_fd (rel below the root) to the same relative path in
// the quarantine, never over a file already there; out_dest (REG_PATH_BUF
// bytes) gets where it went. 0 when moved, 1 when it was gone already, -1
// with the message recorded.
int quarantine_move(verify_walk *w, int dir_fd, const char *name, const char *rel, char *out_dest)
{
    char dest[REG_PATH_BUF];
    int n = snprintf(dest, sizeof dest, "%s/%s", w->quarantine, rel);
    // Room for the longest suffix tried.
    if (n < 0 || static_cast<size_t>(n) + sizeof ".99" > sizeof dest) {
        set_error_kind(REG_ERR_INVALID, "quarantine path too long for %s", rel);
        return -1;
    }
    char dest_dir[REG_PATH_BUF];
    memcpy(dest_dir, dest, static_cast<size_t>(n) + 1);
    *strrchr(dest_dir, '/') = '\0';
    if (mkdirs(dest_dir) != 0) {
        set_fault("cannot create %s: %s", dest_dir, strerror(errno));
        return -1;
    }
    for (int attempt = 0; attempt < QUARANTINE_NAMES; ++attempt) {
        if (attempt > 0)
            snprintf(dest + n, sizeof dest - static_cast<size_t>(n), ".%d", attempt);
        int rc = renameat2(dir_fd, name, AT_FDCWD, dest, RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
            // A file system that cannot refuse to replace: look first. Only
            // another quarantine running at the same moment could slip in.
            struct stat st;
            if (lstat(dest, &st) == 0)
                errno = EEXIST;
            else
                rc = renameat(dir_fd, name, AT_FDCWD, dest);
        }
        if (rc == 0) {
            if (fsync(dir_fd) != 0 || sync_dir(dest_dir) != 0) {
                set_fault("cannot sync the move of %s to %s: %s", rel, dest, strerror(errno));
                return -1;
            }
            snprintf(out_dest, REG_PATH_BUF, "%s", dest);
            ++w->result->moved;
            return 0;
        }
        if (errno == ENOENT)
            return 1;
        if (errno != EEXIST) {
            set_fault("cannot move %s to %s: %s", rel, dest, strerror(errno));
            return -1;
        }
    }
    set_error_kind(REG_ERR_IO, "cannot move %s: %s and %d more names are taken", rel, dest, QUARANTINE_NAMES - 1);
    return -1;
}

// A blob moves under its lock, held exclusively as garbage collection holds
// it to remove the bytes: no hold is being made of it meanwhile, and the
// name cannot have passed to newly stored bytes (a blob is only ever
// stored where no file is). 0, 1 when it is gone or no longer the file
// examined, -1 with the message recorded.
int quarantine_blob(verify_walk *w, int fan_fd, const char *name, const char *rel, const struct stat &seen,
                    char *out_dest)
{
    fd_guard fd(openat(fan_fd, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd >= 0) {
        struct stat held;
        if (lock_fd(fd.fd, 1) != 0 || fstat(fd.fd, &held) != 0) {
            set_fault("cannot lock %s: %s", rel, strerror(errno));
            return -1;
        }
        if (!same_file(held, seen) || held.st_nlink == 0)
            return 1;
    } else if (errno == ENOENT) {
        return 1;
    }
    // Without a descriptor for writing (a symbolic link, a read-only file)
    // there is no lock to take; the name is checked all the same.
    if (!still_there(fan_fd, name, seen))
        return 1;
    return quarantine_move(w, fan_fd, name, rel, out_dest);
}

// A manifest moves with its media type and revision link, under the
// repository's lock like a deletion, and leaves the referrers listing.
int quarantine_manifest(verify_walk *w, const char *repo, int manifests_fd, const char *rel_manifests, const char *hex,
                        const struct stat &seen, char *out_dest)
{
    repo_lock lock;
    if (repo_lock_take(repo, &lock) < 0) {
        set_fault("cannot lock repository %s: %s", repo, strerror(errno));
        return -1;
    }
    if (!still_there(manifests_fd, hex, seen))
        return 1;
    char rel[REG_PATH_BUF];
    rel_join(rel, rel_manifests, hex);
    int rc = quarantine_move(w, manifests_fd, hex, rel, out_dest);
    if (rc != 0)
        return rc;
    char other[REG_PATH_BUF];
    char ct_name[DIR_NAME_BUF + sizeof ".ct"];
    snprintf(ct_name, sizeof ct_name, "%s.ct", hex);
    rel_join(rel, rel_manifests, ct_name);
    if (quarantine_move(w, manifests_fd, ct_name, rel, other) < 0)
        return -1;
    const char *algo = hex_name_algo(hex)->name;
    char revisions[REG_PATH_BUF];
    char rev_dir[REG_PATH_BUF];
    rel_join(revisions, "revisions", algo);
    rel_join(rev_dir, revisions, hex);
    char rev_rel[REG_PATH_BUF];
    rel_join(rev_rel, rel_manifests, rev_dir);
    rel_join(rel, rev_rel, "link");
    int rev_fd = -1;
    for (const char *part : {"revisions", algo, hex}) {
        int next = openat(rev_fd < 0 ? manifests_fd : rev_fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (rev_fd >= 0)
            close(rev_fd);
        rev_fd = next;
        if (rev_fd < 0)
            break;
    }
    if (rev_fd >= 0) {
        fd_guard rev(rev_fd);
        if (quarantine_move(w, rev.fd, "link", rel, other) < 0)
            return -1;
    }
    referrer_forget(repo, hex);
    return 0;
}

// ---- Blobs ----

void verify_fanout(verify_walk *w, const digest_algo *algo, DIR *fan, const char *fan_name, const char *rel_fan,
                   int *failed)
{
    for (const dirent *e; !*failed && (e = next_entry(w, fan, rel_fan)) != nullptr;) {
        // Digits of the other algorithm name no blob of this directory.
        if (hex_name_algo(e->d_name) != algo)
            continue;
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_fan, e->d_name);
        char dest[REG_PATH_BUF];
        entry_type type = entry_type_at(fan, e);
        if (type == ENTRY_SYMLINK) {
            struct stat seen;
            if (fstatat(dirfd(fan), e->d_name, &seen, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            int moved = w->quarantine[0] ? quarantine_blob(w, dirfd(fan), e->d_name, rel, seen, dest) : 1;
            if (moved < 0)
                *failed = 1;
            else
                report(w, REG_VERIFY_SYMLINK, rel, "not followed", moved == 0 ? dest : nullptr);
            continue;
        }
        if (type != ENTRY_FILE)
            continue;
        char digest[REG_DIGEST_BUF];
        struct stat st;
        read_outcome r = hash_file(dirfd(fan), e->d_name, digest, &st);
        if (r == READ_GONE)
            continue;
        if (r != READ_OK) {
            report(w, REG_VERIFY_UNREADABLE, rel, strerror(errno));
            continue;
        }
        ++w->result->blobs;
        w->result->blob_bytes += st.st_size;
        char detail[DETAIL_BUF];
        reg_verify_kind kind;
        if (strcmp(digest + DIGEST_PREFIX_LEN, e->d_name) != 0) {
            kind = REG_VERIFY_BLOB_CORRUPT;
            snprintf(detail, sizeof detail, "bytes hash to %s", digest);
        } else if (strncmp(fan_name, e->d_name, 2) != 0 || strlen(fan_name) != 2) {
            kind = REG_VERIFY_BLOB_MISPLACED;
            snprintf(detail, sizeof detail, "belongs in blobs/%s/%.2s", algo->name, e->d_name);
        } else {
            continue;
        }
        int moved = w->quarantine[0] ? quarantine_blob(w, dirfd(fan), e->d_name, rel, st, dest) : 1;
        if (moved < 0)
            *failed = 1;
        else
            report(w, kind, rel, detail, moved == 0 ? dest : nullptr);
    }
}

int verify_algo_blobs(verify_walk *w, DIR *blobs, size_t a)
{
    const digest_algo *algo = &DIGEST_ALGOS[a];
    char rel_store[REG_PATH_BUF];
    rel_join(rel_store, "blobs", algo->name);
    dir_ptr store = open_listing(w, dirfd(blobs), algo->name, rel_store);
    if (!store)
        return 0;
    w->blobs[a].fd = dup(dirfd(store.get()));
    if (w->blobs[a].fd < 0) {
        set_fault("cannot open %s: %s", rel_store, strerror(errno));
        return -1;
    }
    int failed = 0;
    for (const dirent *e; !failed && (e = next_entry(w, store.get(), rel_store)) != nullptr;) {
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_store, e->d_name);
        entry_type type = entry_type_at(store.get(), e);
        if (type == ENTRY_SYMLINK) {
            report(w, REG_VERIFY_SYMLINK, rel, "not followed");
            continue;
        }
        // Files lying directly in blobs/<algo> are no blobs of the layout.
        if (type != ENTRY_DIR)
            continue;
        dir_ptr fan = open_listing(w, dirfd(store.get()), e->d_name, rel);
        if (fan)
            verify_fanout(w, algo, fan.get(), e->d_name, rel, &failed);
    }
    return failed ? -1 : 0;
}

int verify_blobs(verify_walk *w, int root_fd)
{
    dir_ptr blobs = open_listing(w, root_fd, "blobs", "blobs");
    if (!blobs)
        return 0;
    for (size_t a = 0; a < ALGO_COUNT; ++a)
        if (verify_algo_blobs(w, blobs.get(), a) != 0)
            return -1;
    return 0;
}

// Whether the bytes of the blob with these digits are stored. A symbolic
// link in their place counts: it is reported on its own.
bool blob_present(verify_walk *w, const char *hex)
{
    const digest_algo *algo = hex_name_algo(hex);
    const int blobs_fd = algo ? w->blobs[algo - DIGEST_ALGOS].fd : -1;
    if (blobs_fd < 0)
        return false;
    const char fan[3] = {hex[0], hex[1], '\0'};
    struct stat st;
    if (fstatat(blobs_fd, fan, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return false;
    char rel[REG_PATH_BUF];
    rel_join(rel, fan, hex);
    return fstatat(blobs_fd, rel, &st, AT_SYMLINK_NOFOLLOW) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

// ---- Repositories ----

// Opens a repository's directory one component at a time, never through a
// symbolic link (the catalog did not follow any either). -1 when it cannot.
int open_repo_dir(int repos_fd, const char *name)
{
    char part[REG_LIST_NAME_BUF];
    int fd = -1;
    const char *p = name;
    for (;;) {
        const char *slash = strchr(p, '/');
        size_t len = slash ? static_cast<size_t>(slash - p) : strlen(p);
        if (len == 0 || len >= sizeof part) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        memcpy(part, p, len);
        part[len] = '\0';
        int next = openat(fd < 0 ? repos_fd : fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        fd = next;
        if (fd < 0 || !slash)
            return fd;
        p = slash + 1;
    }
}

// Whether the repository stores the manifest body with these digits; a
// symbolic link in its place counts, as it is reported on its own.
bool body_present(int manifests_fd, const char *hex)
{
    struct stat st;
    return fstatat(manifests_fd, hex, &st, AT_SYMLINK_NOFOLLOW) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

int verify_bodies(verify_walk *w, const char *repo, DIR *manifests, const char *rel_manifests)
{
    for (const dirent *e; (e = next_entry(w, manifests, rel_manifests)) != nullptr;) {
        if (!is_hex_name(e->d_name))
            continue;
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_manifests, e->d_name);
        char dest[REG_PATH_BUF];
        entry_type type = entry_type_at(manifests, e);
        struct stat st;
        reg_verify_kind kind;
        char detail[DETAIL_BUF];
        if (type == ENTRY_SYMLINK) {
            if (fstatat(dirfd(manifests), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            kind = REG_VERIFY_SYMLINK;
            snprintf(detail, sizeof detail, "not followed");
        } else if (type == ENTRY_FILE) {
            char digest[REG_DIGEST_BUF];
            read_outcome r = hash_file(dirfd(manifests), e->d_name, digest, &st);
            if (r == READ_GONE)
                continue;
            if (r != READ_OK) {
                report(w, REG_VERIFY_UNREADABLE, rel, strerror(errno));
                continue;
            }
            ++w->result->manifests;
            if (strcmp(digest + DIGEST_PREFIX_LEN, e->d_name) == 0)
                continue;
            kind = REG_VERIFY_MANIFEST_CORRUPT;
            snprintf(detail, sizeof detail, "bytes hash to %s", digest);
        } else {
            continue;
        }
        int moved = 1;
        if (w->quarantine[0]) {
            moved = quarantine_manifest(w, repo, dirfd(manifests), rel_manifests, e->d_name, st, dest);
            if (moved < 0)
                return -1;
        }
        report(w, kind, rel, detail, moved == 0 ? dest : nullptr);
    }
    return 0;
}

// Reads the link file `name` below dir_fd and reports what is wrong with
// it; true with the digest it names in out_digest when it is well formed.
bool check_link(verify_walk *w, int dir_fd, const char *name, const char *rel, const char *own_hex, char *out_digest)
{
    char content[LINK_READ_BUF];
    size_t len = 0;
    switch (read_link(dir_fd, name, content, &len)) {
    case READ_OK:
        break;
    case READ_GONE:
        return false;
    case READ_SYMLINK:
        report(w, REG_VERIFY_SYMLINK, rel, "not followed");
        return false;
    case READ_FAILED:
        report(w, REG_VERIFY_UNREADABLE, rel, strerror(errno));
        return false;
    }
    ++w->result->links;
    char problem[DETAIL_BUF];
    link_problem(content, len, own_hex, problem, sizeof problem);
    if (problem[0]) {
        report(w, REG_VERIFY_LINK_MALFORMED, rel, problem);
        return false;
    }
    snprintf(out_digest, REG_DIGEST_BUF, "%.*s", static_cast<int>(REG_DIGEST_BUF - 1), content);
    return true;
}

void verify_algo_revisions(verify_walk *w, int manifests_fd, int revs_fd, const char *rel_revs, const digest_algo *a)
{
    char rel_algo[REG_PATH_BUF];
    rel_join(rel_algo, rel_revs, a->name);
    dir_ptr algo = open_listing(w, revs_fd, a->name, rel_algo);
    if (!algo)
        return;
    for (const dirent *e; (e = next_entry(w, algo.get(), rel_algo)) != nullptr;) {
        char rel_dir[REG_PATH_BUF];
        rel_join(rel_dir, rel_algo, e->d_name);
        entry_type type = entry_type_at(algo.get(), e);
        if (type == ENTRY_SYMLINK)
            report(w, REG_VERIFY_SYMLINK, rel_dir, "not followed");
        if (type != ENTRY_DIR)
            continue;
        // A deletion removes the link and leaves its directory: no link is
        // no finding.
        dir_ptr rev = open_listing(w, dirfd(algo.get()), e->d_name, rel_dir);
        if (!rev)
            continue;
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_dir, "link");
        char digest[REG_DIGEST_BUF];
        if (!check_link(w, dirfd(rev.get()), "link", rel, e->d_name, digest))
            continue;
        if (!body_present(manifests_fd, digest + DIGEST_PREFIX_LEN))
            report(w, REG_VERIFY_REVISION_DANGLING, rel, "manifest body not stored");
    }
}

void verify_revisions(verify_walk *w, int manifests_fd, const char *rel_manifests)
{
    char rel_revs[REG_PATH_BUF];
    rel_join(rel_revs, rel_manifests, "revisions");
    dir_ptr revs = open_listing(w, manifests_fd, "revisions", rel_revs);
    if (!revs)
        return;
    for (const digest_algo &a : DIGEST_ALGOS)
        verify_algo_revisions(w, manifests_fd, dirfd(revs.get()), rel_revs, &a);
}

void verify_tags(verify_walk *w, int manifests_fd, const char *rel_manifests)
{
    char rel_tags[REG_PATH_BUF];
    rel_join(rel_tags, rel_manifests, "tags");
    dir_ptr tags = open_listing(w, manifests_fd, "tags", rel_tags);
    if (!tags)
        return;
    for (const dirent *e; (e = next_entry(w, tags.get(), rel_tags)) != nullptr;) {
        char rel_tag[REG_PATH_BUF];
        rel_join(rel_tag, rel_tags, e->d_name);
        entry_type type = entry_type_at(tags.get(), e);
        // The tag list follows a linked tag directory; the walk does not.
        if (type == ENTRY_SYMLINK)
            report(w, REG_VERIFY_SYMLINK, rel_tag, "not followed");
        if (type != ENTRY_DIR)
            continue;
        dir_ptr tag = open_listing(w, dirfd(tags.get()), e->d_name, rel_tag);
        char rel_current[REG_PATH_BUF];
        rel_join(rel_current, rel_tag, "current");
        dir_ptr current = tag ? open_listing(w, dirfd(tag.get()), "current", rel_current) : nullptr;
        if (!current)
            continue;
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_current, "link");
        char digest[REG_DIGEST_BUF];
        if (!check_link(w, dirfd(current.get()), "link", rel, nullptr, digest))
            continue;
        if (!body_present(manifests_fd, digest + DIGEST_PREFIX_LEN)) {
            char detail[DETAIL_BUF];
            snprintf(detail, sizeof detail, "names %s, not stored", digest);
            report(w, REG_VERIFY_TAG_DANGLING, rel, detail);
        }
    }
}

void verify_holds(verify_walk *w, int repo_fd, const char *rel_repo)
{
    char rel_holds[REG_PATH_BUF];
    rel_join(rel_holds, rel_repo, REPO_HOLDS_DIR_NAME);
    dir_ptr holds = open_listing(w, repo_fd, REPO_HOLDS_DIR_NAME, rel_holds);
    if (!holds)
        return;
    // Holds given up by garbage collection (HOLD_RELEASED_SUFFIX) and
    // temporary files have other names and are passed over.
    for (const dirent *e; (e = next_entry(w, holds.get(), rel_holds)) != nullptr;) {
        if (!is_hex_name(e->d_name))
            continue;
        char rel[REG_PATH_BUF];
        rel_join(rel, rel_holds, e->d_name);
        char digest[REG_DIGEST_BUF];
        if (!check_link(w, dirfd(holds.get()), e->d_name, rel, e->d_name, digest))
            continue;
        if (!blob_present(w, e->d_name))
            report(w, REG_VERIFY_HOLD_DANGLING, rel, "blob bytes not stored");
    }
}

int verify_repository(verify_walk *w, int repos_fd, const char *name)
{
    fd_guard repo(open_repo_dir(repos_fd, name));
    if (repo.fd < 0)
        return 0; // removed since the catalog listed it
    ++w->result->repositories;
    char rel_repo[REG_PATH_BUF];
    rel_join(rel_repo, "repositories", name);
    char rel_manifests[REG_PATH_BUF];
    rel_join(rel_manifests, rel_repo, "_manifests");
    dir_ptr manifests = open_listing(w, repo.fd, "_manifests", rel_manifests);
    if (manifests) {
        // Bodies first, so that the links are checked against what is left.
        if (verify_bodies(w, name, manifests.get(), rel_manifests) != 0)
            return -1;
        verify_revisions(w, dirfd(manifests.get()), rel_manifests);
        verify_tags(w, dirfd(manifests.get()), rel_manifests);
    }
    verify_holds(w, repo.fd, rel_repo);
    return 0;
}

struct repositories_visit {
    verify_walk *walk;
    int repos_fd;
};

int visit_repository(const char *name, void *ctx)
{
    repositories_visit *v = static_cast<repositories_visit *>(ctx);
    return verify_repository(v->walk, v->repos_fd, name);
}

int verify_repositories(verify_walk *w, int root_fd)
{
    dir_ptr repos = open_listing(w, root_fd, "repositories", "repositories");
    if (!repos)
        return 0;
    repositories_visit visit{w, dirfd(repos.get())};
    return each_repository(visit_repository, &visit);
}

// Where dir will be once made: the real path of its deepest existing
// ancestor followed by the components still to be made, which may not be
// "." or "..". *out_st describes that ancestor. -1 with errno.
int planned_path(const char *dir, char *out, struct stat *out_st)
{
    char probe[PATH_MAX];
    if (snprintf(probe, sizeof probe, "%s", dir) >= static_cast<int>(sizeof probe)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // probe is cut back one component at a time; rest is what follows it.
    const char *rest = "";
    for (;;) {
        if (realpath(probe[0] ? probe : ".", out) && stat(out, out_st) == 0)
            break;
        if (errno != ENOENT || probe[0] == '\0')
            return -1;
        char *slash = strrchr(probe, '/');
        size_t at = slash ? static_cast<size_t>(slash - probe) : 0;
        rest = dir + (slash ? at + 1 : 0);
        // "name" goes on from ".", "/name" from "/".
        probe[slash == probe ? 1 : at] = '\0';
    }
    size_t len = strlen(out);
    if (len == 1)
        len = 0; // "/": the components follow its slash
    for (const char *p = rest; *p;) {
        const char *end = strchrnul(p, '/');
        size_t n = static_cast<size_t>(end - p);
        if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) {
            errno = EINVAL;
            return -1;
        }
        if (n > 0) {
            if (len + 1 + n >= PATH_MAX) {
                errno = ENAMETOOLONG;
                return -1;
            }
            out[len++] = '/';
            memcpy(out + len, p, n);
            len += n;
            out[len] = '\0';
        }
        p = *end ? end + 1 : end;
    }
    return 0;
}

// Checks that moving into dir is a rename within the store's file system
// that lands outside the walk, then makes the directory. Nothing is made
// for a directory that is refused.
int quarantine_open(verify_walk *w, const char *dir)
{
    char root[PATH_MAX];
    struct stat root_st, dir_st;
    if (!realpath(s_root, root) || stat(root, &root_st) != 0) {
        set_fault("cannot resolve storage root %s: %s", s_root, strerror(errno));
        return -1;
    }
    if (planned_path(dir, w->quarantine, &dir_st) != 0) {
        set_fault("cannot resolve quarantine directory %s: %s", dir, strerror(errno));
        w->quarantine[0] = '\0';
        return -1;
    }
    if (root_st.st_dev != dir_st.st_dev) {
        set_error("quarantine directory %s is not on the file system of the store", dir);
        w->quarantine[0] = '\0';
        return -1;
    }
    size_t root_len = strlen(root);
    bool inside = strcmp(w->quarantine, root) == 0;
    for (const char *area : STORE_AREAS) {
        char base[PATH_MAX];
        snprintf(base, sizeof base, "%s/%s", root, area);
        size_t len = strnlen(base, sizeof base);
        if (len > root_len && strncmp(w->quarantine, base, len) == 0 &&
            (w->quarantine[len] == '\0' || w->quarantine[len] == '/'))
            inside = true;
    }
    if (inside) {
        set_error("quarantine directory %s lies where the store keeps its content", dir);
        w->quarantine[0] = '\0';
        return -1;
    }
    if (mkdirs(w->quarantine) != 0) {
        set_fault("cannot create quarantine directory %s: %s", dir, strerror(errno));
        w->quarantine[0] = '\0';
        return -1;
    }
    return 0;
}

} // namespace

int reg_verify(const reg_verify_options *options, reg_verify_result *out)
{
    if (!out) {
        set_error("NULL argument");
        return -1;
    }
    *out = reg_verify_result{};
    if (require_ready() != 0)
        return -1;
    static const reg_verify_options no_options = {};
    verify_walk w;
    w.options = options ? options : &no_options;
    w.result = out;
    if (w.options->quarantine_dir && w.options->quarantine_dir[0] &&
        quarantine_open(&w, w.options->quarantine_dir) != 0)
        return -1;
    fd_guard root(open(s_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0) {
        set_fault("cannot open storage root %s: %s", s_root, strerror(errno));
        return -1;
    }
    try {
        if (verify_blobs(&w, root.fd) != 0)
            return -1;
        return verify_repositories(&w, root.fd);
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
}
