// Storage state shared by every file of the library, the opening of a
// storage root (creating its tree on first use), and the last-error record
// through which every operation reports its failure.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/random.h>

#include "storage_internal.h"

char s_root[REG_ROOT_BUF];
int32_t s_ready;
char s_error[REG_ERROR_BUF];
reg_error_kind s_error_kind;
char s_result[REG_RESULT_SIZE];
uint32_t s_seed;

namespace {

// Written into a root that has none; never read back and never rewritten.
constexpr char STORAGE_DESCRIPTION[] = "{\n"
                                       "  \"schemaVersion\": 2,\n"
                                       "  \"title\": \"halvane-registry-storage\",\n"
                                       "  \"version\": \"1.0.0\",\n"
                                       "  \"maxUploadSize\": -1\n"
                                       "}\n";

// xorshift32 is stuck at 0, so 0 is never a seed.
constexpr uint32_t SEED_IF_ZERO = 0x9e3779b9u;

// Upload IDs end up in URLs, so the generator starts from kernel randomness.
// Only when that is unavailable does it fall back to the clock mixed with
// the (randomised) load address of the state itself.
uint32_t fresh_seed()
{
    uint32_t seed = 0;
    ssize_t got;
    do {
        got = getrandom(&seed, sizeof seed, GRND_NONBLOCK);
    } while (got < 0 && errno == EINTR);
    if (got != (ssize_t)sizeof seed)
        seed = (uint32_t)time(nullptr) ^ (uint32_t)(uintptr_t)&s_seed;
    return seed != 0 ? seed : SEED_IF_ZERO;
}

// Creates one directory of the tree below the root, or records why not.
int make_tree_dir(const char *path)
{
    if (mkdirs(path) != 0) {
        set_fault("mkdirs failed: %s", path);
        return -1;
    }
    return 0;
}

} // namespace

namespace {

void record_error(reg_error_kind kind, const char *fmt, va_list ap)
{
    vsnprintf(s_error, sizeof s_error, fmt, ap);
    s_error_kind = kind;
}

} // namespace

void set_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_error(REG_ERR_INVALID, fmt, ap);
    va_end(ap);
}

void set_error_kind(reg_error_kind kind, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_error(kind, fmt, ap);
    va_end(ap);
}

void set_fault(const char *fmt, ...)
{
    // Taken before the formatting, which may itself change errno.
    reg_error_kind kind = fault_kind(errno);
    va_list ap;
    va_start(ap, fmt);
    record_error(kind, fmt, ap);
    va_end(ap);
}

void set_missing(const char *fmt, ...)
{
    reg_error_kind kind = (errno == ENOENT || errno == ENOTDIR) ? REG_ERR_NOT_FOUND : fault_kind(errno);
    va_list ap;
    va_start(ap, fmt);
    record_error(kind, fmt, ap);
    va_end(ap);
}

reg_error_kind fault_kind(int err)
{
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return REG_ERR_NO_SPACE;
    case EACCES:
    case EPERM:
    case EROFS:
        return REG_ERR_PERMISSION;
    case ENOMEM:
        return REG_ERR_NO_MEMORY;
    default:
        return REG_ERR_IO;
    }
}

int require_ready(void)
{
    if (s_ready)
        return 0;
    set_error_kind(REG_ERR_NOT_READY, "not initialized - call reg_storage_init first");
    return -1;
}

int reg_storage_init(const char *root)
{
    if (root == nullptr || root[0] == '\0') {
        set_error_kind(REG_ERR_NOT_READY, "storage root dir is empty");
        return -1;
    }
    // From here on any failure leaves the storage closed, never half-open
    // on an old root.
    reg_storage_cleanup();

    size_t len = strnlen(root, REG_ROOT_BUF);
    if (len >= REG_ROOT_BUF) {
        set_error_kind(REG_ERR_NOT_READY, "storage root dir too long (max 3499 chars)");
        return -1;
    }
    memcpy(s_root, root, len + 1);
    // One trailing separator goes so that joined paths have no doubled one;
    // the root directory itself keeps its only character.
    if (len > 1 && s_root[len - 1] == PATH_SEP)
        s_root[len - 1] = '\0';

    if (make_tree_dir(s_root) != 0)
        return -1;

    char path[REG_PATH_BUF];
    char blobs[REG_PATH_BUF];
    path_join(blobs, sizeof blobs, s_root, "blobs");
    path_join(path, sizeof path, blobs, "sha256");
    if (make_tree_dir(path) != 0)
        return -1;
    path_join(path, sizeof path, s_root, "repositories");
    if (make_tree_dir(path) != 0)
        return -1;
    path_join(path, sizeof path, s_root, "uploads");
    if (make_tree_dir(path) != 0)
        return -1;

    path_join(path, sizeof path, s_root, "config.json");
    if (!file_exists(path)) {
        // A new store: its repositories record their holds from the start.
        // The marker goes first, so that a store with a description always
        // has it, unless it was written before holds existed.
        if (mark_holds_complete() != 0)
            return -1;
        if (write_file(path, STORAGE_DESCRIPTION, sizeof STORAGE_DESCRIPTION - 1) != 0) {
            set_fault("write config.json failed");
            return -1;
        }
    }

    s_seed = fresh_seed();
    s_ready = 1;
    s_error[0] = '\0';
    s_error_kind = REG_ERR_NONE;
    return 0;
}

void reg_storage_cleanup(void)
{
    s_ready = 0;
    s_root[0] = '\0';
}

const char *reg_storage_last_error(void)
{
    return s_error;
}

reg_error_kind reg_storage_last_error_kind(void)
{
    return s_error_kind;
}

void reg_storage_end_request(void)
{
    s_error[0] = '\0';
    s_error_kind = REG_ERR_NONE;
    s_result[0] = '\0';
}
