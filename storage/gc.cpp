// Garbage collection (see reg_storage.h for the contract). One pass per
// repository under its locks decides which manifests stay and gives up the
// holds none of them needs; then blob bytes that no repository holds and no
// manifest names go, each under the blob's own lock after the holds were
// looked at again; last, abandoned uploads.
//
// Why it is safe beside a serving registry:
// - A manifest store takes the repository's lock and then the holds' lock
//   to publish, and refuses a manifest naming a blob whose hold was given up
//   (the hold is renamed to <hex>.released, not removed). Giving a hold up
//   happens under both locks, after the repository's manifests were read
//   under them, so a manifest is either seen here or sees the mark.
// - A new hold is made under the blob's lock, shared, and only while the
//   blob still has a name; bytes are removed under that lock, exclusive,
//   after every repository's holds were read again.
// - Nothing younger than the grace period goes, so a push whose blobs are
//   uploaded but whose manifest is not stored yet keeps them.
// - Every removal is one unlink or rename: killed anywhere, the store is
//   whole and the next run goes on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "storage_internal.h"

namespace {

// Blobs whose locks are held at once while their holders are looked up:
// one walk of every repository's holds serves a whole batch.
constexpr size_t BLOB_BATCH = 256;
constexpr const char *KIND_BLOB = "blob";
constexpr const char *KIND_HOLD = "hold";
constexpr const char *KIND_UPLOAD = "upload";
constexpr const char *KIND_MANIFEST = "manifest";

using digest_set = std::unordered_set<std::string>;

struct gc_state {
    const reg_gc_options *opt;
    reg_gc_result *res;
    time_t now;
    std::vector<std::string> repos; // every repository with manifests or holds
    digest_set referenced;          // blobs some kept manifest names
    digest_set released;            // "<repository>@<digest>" of holds given up
    std::string body;               // room for one manifest body
};

bool old_enough(const gc_state &g, const struct stat &st)
{
    // ctime: set when a file gets its name by rename, which is how every
    // hold, blob and manifest is published; a later touch keeps it young.
    time_t t = st.st_ctime > st.st_mtime ? st.st_ctime : st.st_mtime;
    return g.now - t >= g.opt->grace_seconds;
}

void report(const gc_state &g, const char *kind, const std::string &what, int64_t bytes)
{
    if (g.opt->report)
        g.opt->report(g.opt->ctx, kind, what.c_str(), bytes);
}

// Repositories: every directory below repositories/ that holds _manifests
// or _layers, at any depth, symbolic links not followed. Names the storage
// refuses are left alone.
void walk_repos(std::vector<std::string> *out, const std::string &dir, const std::string &rel)
{
    dir_ptr d(opendir(dir.c_str()));
    if (!d)
        return;
    bool is_repo = false;
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        const char *n = e->d_name;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0)
            continue;
        const std::string child = dir + PATH_SEP + n;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        if (strcmp(n, "_manifests") == 0 || strcmp(n, REPO_HOLDS_DIR_NAME) == 0) {
            is_repo = true;
            continue;
        }
        const std::string name = rel.empty() ? n : rel + PATH_SEP + n;
        if (name.size() < REG_LIST_NAME_BUF)
            walk_repos(out, child, name);
    }
    if (is_repo && !rel.empty() && repo_name_valid(rel.c_str()))
        out->push_back(rel);
}

// The digest digits that name files of a directory with the suffix.
std::vector<std::string> hex_entries(const char *dir, const char *suffix = "")
{
    std::vector<std::string> out;
    dir_ptr d(opendir(dir));
    if (!d)
        return out;
    const size_t suffix_len = strlen(suffix);
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        size_t len = strlen(e->d_name);
        if (len <= suffix_len || strcmp(e->d_name + len - suffix_len, suffix) != 0)
            continue;
        std::string hex(e->d_name, len - suffix_len);
        if (is_hex_name(hex.c_str()))
            out.push_back(hex);
    }
    return out;
}

std::string digest_of(const std::string &hex)
{
    char digest[REG_DIGEST_BUF];
    digest_of_hex_name(hex.c_str(), digest);
    return digest;
}

struct manifest_info {
    manifest_links links;
    bool tagged = false;
    bool young = false;
    int64_t bytes = 0;
};

// Reads every manifest of a repository with what it names.
int read_manifests(gc_state &g, const char *name, std::unordered_map<std::string, manifest_info> *out)
{
    char dir[REG_PATH_BUF];
    manifests_dir(name, dir, sizeof dir);
    for (const std::string &hex : hex_entries(dir)) {
        char path[REG_PATH_BUF];
        manifest_body_path(name, hex.c_str(), path, sizeof path);
        struct stat st;
        uint64_t len = 0;
        if (stat(path, &st) != 0 || read_file(path, g.body.data(), g.body.size(), &len) != 0)
            continue; // removed meanwhile: it names nothing any more
        manifest_info &m = (*out)[hex];
        manifest_links_read(g.body.data(), len, &m.links);
        m.young = !old_enough(g, st);
        m.bytes = static_cast<int64_t>(st.st_size);
    }
    char tags[REG_PATH_BUF];
    manifest_tags_dir(name, tags, sizeof tags);
    dir_ptr d(opendir(tags));
    for (const dirent *e; d && (e = readdir(d.get())) != nullptr;) {
        if (!tag_confined(e->d_name))
            continue;
        char link_path[REG_PATH_BUF];
        char link[REG_DIGEST_BUF + 8] = {};
        manifest_tag_path(name, e->d_name, link_path, sizeof link_path);
        if (read_file(link_path, link, sizeof link, nullptr) != 0 || !digest_any_valid(link))
            continue;
        auto it = out->find(link + DIGEST_PREFIX_LEN);
        if (it != out->end())
            it->second.tagged = true;
    }
    return 0;
}

// Which manifests stay: all of them, or with delete_untagged those a tag
// names, those too young to judge, what a kept index lists and the
// referrers of what is kept.
digest_set kept_manifests(const gc_state &g, const std::unordered_map<std::string, manifest_info> &all)
{
    digest_set kept;
    for (const auto &[hex, m] : all)
        if (!g.opt->delete_untagged || m.tagged || m.young)
            kept.insert(hex);
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto &[hex, m] : all) {
            if (kept.count(hex)) {
                for (const std::string &child : m.links.manifests)
                    grew |= all.count(child.substr(DIGEST_PREFIX_LEN)) &&
                            kept.insert(child.substr(DIGEST_PREFIX_LEN)).second;
            } else if (!m.links.subject.empty() && kept.count(m.links.subject.substr(DIGEST_PREFIX_LEN))) {
                grew |= kept.insert(hex).second;
            }
        }
    }
    return kept;
}

// Gives up a hold by renaming it to its released mark (the hold's time
// travels with it, the mark's ctime says when).
int release_hold(gc_state &g, const char *name, const std::string &hex)
{
    const std::string digest = digest_of(hex);
    const std::string what = std::string(name) + "@" + digest;
    report(g, KIND_HOLD, what, 0);
    g.res->holds++;
    g.released.insert(what);
    if (g.opt->dry_run)
        return 0;
    char hold[REG_PATH_BUF];
    char mark[REG_PATH_BUF];
    repo_hold_path(name, digest.c_str(), hold, sizeof hold);
    repo_hold_released_path(name, digest.c_str(), mark, sizeof mark);
    if (rename(hold, mark) != 0 && errno != ENOENT) {
        set_fault("cannot give up hold: %s", hold);
        return -1;
    }
    return 0;
}

// One repository, under its lock and its holds' lock.
int gc_repo(gc_state &g, const char *name)
{
    std::unique_ptr<repo_lock> repo;
    std::unique_ptr<repo_lock> holds;
    for (;;) {
        repo = std::make_unique<repo_lock>();
        int r = repo_lock_take(name, repo.get());
        if (r < 0) {
            set_fault("cannot lock repository: %s", name);
            return -1;
        }
        holds = std::make_unique<repo_lock>();
        if (holds_lock_take(name, holds.get()) < 0) {
            set_fault("cannot lock the holds of repository: %s", name);
            return -1;
        }
        // A first manifest may have made the repository's directory since:
        // take its lock first, in the order stores take them.
        char dir[REG_PATH_BUF];
        manifests_dir(name, dir, sizeof dir);
        if (r == 0 || !dir_exists(dir))
            break;
        holds.reset();
        repo.reset();
    }

    std::unordered_map<std::string, manifest_info> all;
    if (read_manifests(g, name, &all) != 0)
        return -1;
    const digest_set kept = kept_manifests(g, all);
    digest_set named;
    for (const auto &[hex, m] : all) {
        if (!kept.count(hex)) {
            report(g, KIND_MANIFEST, std::string(name) + "@" + digest_of(hex), m.bytes);
            g.res->manifests++;
            g.res->manifest_bytes += m.bytes;
            if (!g.opt->dry_run && manifest_remove_files(name, hex.c_str(), 1) != 0)
                return -1;
            continue;
        }
        for (const std::string &blob : m.links.blobs)
            named.insert(blob);
    }
    for (const std::string &blob : named)
        g.referenced.insert(blob);

    char holds_dir[REG_PATH_BUF];
    repo_holds_dir(name, holds_dir, sizeof holds_dir);
    for (const std::string &hex : hex_entries(holds_dir)) {
        char hold[REG_PATH_BUF];
        repo_hold_path(name, digest_of(hex).c_str(), hold, sizeof hold);
        struct stat st;
        if (named.count(digest_of(hex)) || stat(hold, &st) != 0 || !old_enough(g, st))
            continue;
        if (release_hold(g, name, hex) != 0)
            return -1;
    }
    // A released mark has done its work once the blob is held again, or
    // when no push can still be between its blob check and its manifest:
    // after the grace period, and never sooner than the default one, so
    // that a collector run with a short grace in a loop does not take the
    // marks of its own previous runs.
    const int64_t mark_life = g.opt->grace_seconds > REG_GC_GRACE_DEFAULT ? g.opt->grace_seconds : REG_GC_GRACE_DEFAULT;
    for (const std::string &hex : hex_entries(holds_dir, HOLD_RELEASED_SUFFIX)) {
        char mark[REG_PATH_BUF];
        char hold[REG_PATH_BUF];
        repo_hold_released_path(name, digest_of(hex).c_str(), mark, sizeof mark);
        repo_hold_path(name, digest_of(hex).c_str(), hold, sizeof hold);
        struct stat st;
        if (!g.opt->dry_run && stat(mark, &st) == 0 && (file_exists(hold) || g.now - st.st_ctime >= mark_life))
            (void)unlink(mark);
    }
    if (!g.opt->dry_run && sync_dir(holds_dir) != 0 && errno != ENOENT) {
        set_fault("cannot sync %s", holds_dir);
        return -1;
    }
    return 0;
}

// Whether some repository holds the blob now (a dry run counts the holds
// it would have given up as gone).
bool held_anywhere(const gc_state &g, const std::string &digest)
{
    for (const std::string &name : g.repos) {
        char hold[REG_PATH_BUF];
        repo_hold_path(name.c_str(), digest.c_str(), hold, sizeof hold);
        if (file_exists(hold) && !(g.opt->dry_run && g.released.count(name + "@" + digest)))
            return true;
    }
    return false;
}

struct locked_blob {
    std::string digest;
    int64_t bytes;
    fd_guard fd;
    locked_blob(std::string d, int64_t b, int f) : digest(std::move(d)), bytes(b), fd(f) {}
};

// Removes the bytes of a batch of blobs that nothing held when it was
// looked at; every blob is locked first, then the holds are read again.
int sweep_batch(gc_state &g, std::vector<std::unique_ptr<locked_blob>> &batch)
{
    if (!g.opt->dry_run) {
        // Every repository made meanwhile counts too.
        std::vector<std::string> now;
        char repos[REG_PATH_BUF];
        repos_dir(repos, sizeof repos);
        walk_repos(&now, repos, "");
        g.repos.swap(now);
    }
    for (auto &b : batch) {
        if (held_anywhere(g, b->digest))
            continue;
        report(g, KIND_BLOB, b->digest, b->bytes);
        g.res->blobs++;
        g.res->blob_bytes += b->bytes;
        if (g.opt->dry_run)
            continue;
        char path[REG_PATH_BUF];
        blob_path_for_digest(b->digest.c_str(), path, sizeof path);
        if (unlink(path) != 0 && errno != ENOENT) {
            set_fault("cannot remove blob: %s", path);
            return -1;
        }
    }
    batch.clear();
    return 0;
}

// The blobs of one algorithm's directory; batch carries over to the next.
int sweep_algo_blobs(gc_state &g, const digest_algo *a, std::vector<std::unique_ptr<locked_blob>> &batch)
{
    char algo[REG_PATH_BUF];
    blob_algo_dir(a, algo, sizeof algo);
    dir_ptr d(opendir(algo));
    if (!d)
        return 0;
    std::vector<std::string> fanouts;
    for (const dirent *e; (e = readdir(d.get())) != nullptr;)
        if (strlen(e->d_name) == 2 && e->d_name[0] != '.')
            fanouts.emplace_back(e->d_name);
    for (const std::string &fan : fanouts) {
        char fan_dir[REG_PATH_BUF];
        path_join(fan_dir, sizeof fan_dir, algo, fan.c_str());
        for (const std::string &hex : hex_entries(fan_dir)) {
            // Only what blob_path_for_digest leads back to here.
            if (hex_name_algo(hex.c_str()) != a || hex.compare(0, 2, fan) != 0)
                continue;
            const std::string digest = digest_of(hex);
            if (g.referenced.count(digest))
                continue;
            char path[REG_PATH_BUF];
            blob_path_for_digest(digest.c_str(), path, sizeof path);
            // An exclusive record lock needs a descriptor open for writing.
            fd_guard fd(open(path, (g.opt->dry_run ? O_RDONLY : O_RDWR) | O_CLOEXEC));
            struct stat st;
            if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !old_enough(g, st))
                continue;
            if (!g.opt->dry_run && (lock_fd(fd.fd, 1) != 0 || fstat(fd.fd, &st) != 0 || st.st_nlink == 0))
                continue;
            batch.push_back(std::make_unique<locked_blob>(digest, static_cast<int64_t>(st.st_size), fd.release()));
            if (batch.size() >= BLOB_BATCH && sweep_batch(g, batch) != 0)
                return -1;
        }
    }
    return 0;
}

int sweep_blobs(gc_state &g)
{
    std::vector<std::unique_ptr<locked_blob>> batch;
    for (const digest_algo &a : DIGEST_ALGOS)
        if (sweep_algo_blobs(g, &a, batch) != 0)
            return -1;
    return batch.empty() ? 0 : sweep_batch(g, batch);
}

// Uploads not written to for the grace period, each removed under its own
// lock so that no append is cut; owner records whose upload is gone.
int sweep_uploads(gc_state &g)
{
    char uploads[REG_PATH_BUF];
    path_join(uploads, sizeof uploads, s_root, "uploads");
    std::vector<std::string> ids;
    {
        dir_ptr d(opendir(uploads));
        for (const dirent *e; d && (e = readdir(d.get())) != nullptr;) {
            size_t len = strlen(e->d_name);
            if (len == REG_UUID_BUF - 1 + 5 && strcmp(e->d_name + len - 5, ".part") == 0)
                ids.emplace_back(e->d_name, len - 5);
        }
    }
    for (const std::string &id : ids) {
        if (!uuid_valid(id.c_str()))
            continue;
        upload_handle upload;
        if (upload_open(id.c_str(), 1, &upload) != 0)
            continue; // finished or cancelled meanwhile
        struct stat st;
        // Written to recently: mtime alone, a name change is no activity.
        if (fstat(upload.fd, &st) != 0 || g.now - st.st_mtime < g.opt->grace_seconds)
            continue;
        report(g, KIND_UPLOAD, id, static_cast<int64_t>(st.st_size));
        g.res->uploads++;
        g.res->upload_bytes += static_cast<int64_t>(st.st_size);
        if (g.opt->dry_run)
            continue;
        if (unlink(upload.path) != 0 && errno != ENOENT) {
            set_fault("cannot remove upload: %s", upload.path);
            return -1;
        }
    }
    char owners[REG_PATH_BUF];
    upload_owners_dir(owners, sizeof owners);
    dir_ptr d(opendir(owners));
    for (const dirent *e; d && (e = readdir(d.get())) != nullptr;) {
        if (!uuid_valid(e->d_name))
            continue;
        char part[REG_PATH_BUF];
        char owner[REG_PATH_BUF];
        upload_path_for_uuid(e->d_name, part, sizeof part);
        upload_owner_path(e->d_name, owner, sizeof owner);
        struct stat st;
        if (!g.opt->dry_run && !file_exists(part) && stat(owner, &st) == 0 && old_enough(g, st))
            (void)unlink(owner);
    }
    return 0;
}

} // namespace

int reg_gc(const reg_gc_options *options, reg_gc_result *out)
{
    if (!options || !out) {
        set_error("NULL argument");
        return -1;
    }
    *out = {};
    if (require_ready() != 0)
        return -1;
    if (options->grace_seconds < 0) {
        set_error("grace period must not be negative");
        return -1;
    }
    // Before its upgrade a store does not know who holds what: every blob
    // would look free.
    if (reg_storage_holds_complete() != 1) {
        set_error("the store has no record of repository holds yet: run the upgrade first");
        return -1;
    }
    gc_state g{options, out, time(nullptr), {}, {}, {}, {}};
    try {
        g.body.resize(REG_MANIFEST_MAX + 1);
        char repos[REG_PATH_BUF];
        repos_dir(repos, sizeof repos);
        walk_repos(&g.repos, repos, "");
        for (const std::string &name : g.repos)
            if (gc_repo(g, name.c_str()) != 0)
                return -1;
        if (sweep_blobs(g) != 0 || sweep_uploads(g) != 0)
            return -1;
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    return 0;
}
