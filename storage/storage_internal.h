// Private header of the storage library: state shared by its files, the
// file-system primitives, the path builders and the identifier tests.
// Nothing outside storage/ (other than white-box tests) includes it.
#ifndef STORAGE_STORAGE_INTERNAL_H
#define STORAGE_STORAGE_INTERNAL_H

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reg_storage.h"

// Every path is built in buffers of this size.
constexpr size_t REG_PATH_BUF = 4096;
constexpr size_t REG_ROOT_BUF = 3500; // root: at most 3499 characters
constexpr size_t REG_ERROR_BUF = 1024;
constexpr size_t DIR_LISTING_CAP = 512;
constexpr size_t DIR_NAME_BUF = 512;
constexpr char PATH_SEP = '/';
constexpr const char *PATH_SEP_STR = "/";
constexpr const char *DEFAULT_MANIFEST_TYPE = "application/vnd.docker.distribution.manifest.v2+json";

// The algorithms content is addressed by. A digest string is the name, ':'
// and the digits; both names have six characters, so the digits always
// start at DIGEST_PREFIX_LEN and their count alone tells the algorithm of a
// file named by them. The name is also the directory that keeps the
// algorithm's blobs, revision links and records beside the other's.
struct digest_algo {
    const char *name;
    size_t hex_len;
};
enum { DIGEST_SHA256, DIGEST_SHA512 };
// inline: one table for the whole library, so that algorithms compare by address.
inline constexpr digest_algo DIGEST_ALGOS[] = {{"sha256", 64}, {"sha512", 128}};
constexpr size_t DIGEST_PREFIX_LEN = 7;
constexpr size_t DIGEST_HEX_MAX = 128;
constexpr size_t DIGEST_HEX_BUF = DIGEST_HEX_MAX + 1;
static_assert(REG_DIGEST_BUF == DIGEST_PREFIX_LEN + DIGEST_HEX_MAX + 1);
// Room to read a link file (tag, revision, hold, record, back-pointer): one
// digest string, and spare room that shows whether anything follows it.
constexpr size_t LINK_READ_BUF = REG_DIGEST_BUF + 64;
// The algorithm of a well-formed digest string of either algorithm, null
// for anything else.
const digest_algo *digest_algo_of(const char *digest);
// The algorithm whose digits a file name is: 64 or 128 lowercase
// hexadecimal digits and nothing else; null otherwise.
const digest_algo *hex_name_algo(const char *hex);
// The algorithm whose name and ':' begin s, whatever follows; null when
// none does.
const digest_algo *digest_prefix_algo(const char *s);
// A reference that begins with an algorithm's name and ':' asks for a
// manifest by digest (and must then be a valid digest string); any other
// reference is a tag.
int reference_is_digest(const char *reference);
// A well-formed "sha256:" digest string and nothing else.
int digest_valid(const char *s);
// A well-formed digest string of either algorithm: what every operation on
// blobs and manifests accepts.
int digest_any_valid(const char *s);
// The digest string (REG_DIGEST_BUF bytes) of bytes in memory, or of a
// whole open file (0, or -1 when it cannot be read), by algo.
void content_digest(const digest_algo *algo, const void *data, uint64_t len, char *out);
int content_digest_fd(const digest_algo *algo, int fd, char *out);
// The digest string (REG_DIGEST_BUF bytes) whose digits a file name is; the
// name must pass is_hex_name.
void digest_of_hex_name(const char *hex, char *out);

// Library state (state.cpp). Zeroed at process start.
extern char s_root[REG_ROOT_BUF];
extern int32_t s_ready;
extern char s_error[REG_ERROR_BUF];
extern reg_error_kind s_error_kind;
extern char s_result[REG_RESULT_SIZE];
extern uint32_t s_seed;

// Records a refusal of the caller's input (REG_ERR_INVALID).
void set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_error_kind(reg_error_kind kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Records a failure of the file system, its kind taken from errno: call it
// right after the failing call, before anything that may change errno.
void set_fault(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
reg_error_kind fault_kind(int err);
// Records a failed lookup: REG_ERR_NOT_FOUND when errno says the name is
// not there, else the fault errno names.
void set_missing(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int require_ready(void);

// File-system primitives (fs.cpp). They record no message.
struct dir_entry {
    char name[DIR_NAME_BUF];
    int32_t is_dir;
};
struct dir_listing {
    dir_entry entries[DIR_LISTING_CAP];
    int32_t count;
    int32_t truncated;
};

void path_join(char *out, size_t size, const char *first, const char *second);
char *xstrdup(const char *s);
int mkdirs(const char *path);
int file_exists(const char *path);
// file_exists for an answer a client is given: 1 when a file is there, 0
// when nothing (or a directory) is, -1 with errno when the lookup itself
// failed. A cluster file system that lost its servers fails lookups
// (ENOTCONN, EIO); that must not read as "absent".
int file_probe(const char *path);
int dir_exists(const char *path);
int64_t file_size(const char *path);
int read_file(const char *path, char *buf, size_t cap, uint64_t *out_len);
// Atomic, durable replacement: temporary file beside the target, fsync,
// rename, fsync of the directory.
int write_file(const char *path, const void *data, uint64_t len);
int remove_file(const char *path);
int list_dir(const char *path, dir_listing *out);
// fsync of a directory, or of the directory holding path: what makes a
// rename, a new name or a removal inside it survive a crash. 0 or -1.
int sync_dir(const char *dir);
int sync_parent_dir(const char *path);
// Writes all len bytes at offset, or where the descriptor stands when
// offset is negative, in pieces the kernel takes whole. 0, or -1 with errno.
int write_all_at(int fd, const void *data, uint64_t len, int64_t offset);

// Publishing several files with one flush: stage each (written to a hidden
// temporary file beside its target), sync them all at once, then rename
// them in the order readers must see them and sync their directories.
// Failures leave errno set. drop_staged removes a temporary file that was
// not published; it is safe to call on any staged file, published or not.
struct staged_file {
    int fd;
    int published;
    const char *target; // the caller's buffer, alive until published
    char temp[REG_PATH_BUF];
};
int stage_file(const char *path, const void *data, uint64_t len, staged_file *out);
int sync_staged(staged_file *files, size_t count);
int publish_staged(staged_file *file);
void drop_staged(staged_file *file);

// Owns an open directory listing.
struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Owns a descriptor inside one call; release() hands it on.
struct fd_guard {
    int fd = -1;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard();
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

// Locks. fcntl record locks over the whole file: the kernel drops them when
// the process dies, and network and cluster file systems (NFS, GlusterFS)
// carry them to every client, which flock does not promise. They belong to
// the process and go when it closes any descriptor of the file, so a
// locked file is never opened a second time while the lock is held.
int lock_fd(int fd, int exclusive); // waits; 0 or -1

// Serialises the changes of one repository's manifests and tags (stores
// and deletions); readers take no lock and rely on atomic renames.
constexpr const char *REPO_LOCK_NAME = ".lock";
struct repo_lock {
    int fd = -1;
    repo_lock() = default;
    repo_lock(const repo_lock &) = delete;
    repo_lock &operator=(const repo_lock &) = delete;
    ~repo_lock();
};
// Waits for the lock of the repository (its _manifests/.lock). A repository
// without a _manifests directory gives 1 and no lock: a deletion finds
// nothing in it, and a store makes the directory first. 0 when held, -1
// with errno on failure.
int repo_lock_take(const char *name, repo_lock *out);
// The lock of a repository's holds (_layers/.lock), taken after the
// repository's lock when both are needed: what garbage collection holds
// while it gives holds up, and what a manifest store holds while it checks
// that none of its blobs was given up. 1 and no lock when the repository
// has no holds directory.
int holds_lock_take(const char *name, repo_lock *out);

// Layout (layout.cpp): path builders, no argument checks.
void repos_dir(char *out, size_t size);
void manifests_dir(const char *name, char *out, size_t size);
void blob_path_for_digest(const char *digest, char *out, size_t size);
void blob_fanout_dir(const char *digest, char *out, size_t size);
// <root>/blobs/<algorithm>: where the fan-out directories of one algorithm lie.
void blob_algo_dir(const digest_algo *algo, char *out, size_t size);
void upload_path_for_uuid(const char *uuid, char *out, size_t size);
// The owner record of an upload: the name of the repository that started
// it, in a directory of its own so that no count of uploads takes it for one.
constexpr const char *UPLOAD_OWNERS_DIR_NAME = "owners";
void upload_owners_dir(char *out, size_t size);
void upload_owner_path(const char *uuid, char *out, size_t size);
// A repository's holds: one file per blob it holds, named by the digest's
// digits and holding the digest string (like a link file).
constexpr const char *REPO_HOLDS_DIR_NAME = "_layers";
void repo_holds_dir(const char *name, char *out, size_t size);
void repo_hold_path(const char *name, const char *digest, char *out, size_t size);
// The mark of a hold that garbage collection gave up: the hold's name with
// HOLD_RELEASED_SUFFIX.
void repo_hold_released_path(const char *name, const char *digest, char *out, size_t size);
// Present in a store whose holds are complete: made with the store, or by
// the upgrade of a store written before repositories held blobs. Without
// it every stored blob counts as held, so no pull that worked before an
// upgrade fails before the upgrade has run.
constexpr const char *HOLDS_MARKER_NAME = "repository-holds";
void holds_marker_path(char *out, size_t size);
// Records a repository's hold of a blob (holds.cpp): write_hold for a
// caller that already keeps the blob from being collected (it holds a lock
// on the blob file), link_hold for one that does not (it takes the blob's
// lock, shared, and fails with REG_ERR_NOT_FOUND when the bytes are gone).
// A hold that exists is made young again. 0, or -1 with the fault recorded.
int write_hold(const char *name, const char *digest);
int link_hold(const char *name, const char *digest);
// Calls visit for every repository the catalog lists, a page at a time
// (holds.cpp); stops at the first visit that fails. 0, or -1 when a page
// cannot be made or a visit failed (with its message recorded).
int each_repository(int (*visit)(const char *name, void *ctx), void *ctx);
// Writes the marker (holds.cpp); 0, or -1 with the fault recorded.
int mark_holds_complete(void);
// What a manifest body names, appended to *out (holds.cpp): the blobs of
// an image or artifact (config, layers, blobs), the manifests an index
// lists, and the subject ("" for none). Entries without a valid digest are
// passed over. 0, or -1 when the body is no JSON object.
struct manifest_links {
    std::vector<std::string> blobs;
    std::vector<std::string> manifests;
    std::string subject;
};
int manifest_links_read(const char *body, size_t len, manifest_links *out);
// 1 when s is the digits of a digest of either algorithm: the name of a
// manifest body, a blob or a hold.
int is_hex_name(const char *s);
// A hold given up by garbage collection leaves this suffix on its name for
// the grace period, so that a manifest naming the blob is refused until
// the client has pushed it again.
constexpr const char *HOLD_RELEASED_SUFFIX = ".released";
void manifest_body_path(const char *name, const char *hex, char *out, size_t size);
void manifest_ct_path(const char *name, const char *hex, char *out, size_t size);
void manifest_rev_dir(const char *name, const char *hex, char *out, size_t size);
void manifest_rev_path(const char *name, const char *hex, char *out, size_t size);
void manifest_tags_dir(const char *name, char *out, size_t size);
void manifest_tag_path(const char *name, const char *tag, char *out, size_t size);

// Uploads (upload_stream.cpp). Every request that reads or changes an upload
// holds its lock, taken on the upload file itself: exclusive to append,
// finish or cancel, shared to read the size. After the lock is granted the
// file must still be the one the upload's name leads to, with no other
// name: a finish or cancel that went first has taken it away, and a file
// that is also a blob must never be written again.
struct upload_handle {
    int fd = -1;
    int64_t size = 0; // bytes held when the lock was granted
    char path[REG_PATH_BUF];
    upload_handle() = default;
    upload_handle(const upload_handle &) = delete;
    upload_handle &operator=(const upload_handle &) = delete;
    ~upload_handle();
};
// 0 with the lock held; -1 with "upload not found: %s" (REG_ERR_NOT_FOUND)
// when the ID names no open upload, or with the fault recorded.
int upload_open(const char *upload_uuid, int exclusive, upload_handle *out);
// The checks every upload operation starts with: the argument, readiness
// and the ID's form. 0, or -1 with the message recorded.
int check_upload_id(const char *upload_uuid);

// Identifiers (ident.cpp).
void bin_to_hex(const uint8_t *bytes, uint64_t count, char *out);

void rng_next(uint32_t *state);
void uuid_make(char *out);
// A fresh version-4 UUID from the kernel's randomness: 0, or -1 with errno.
int uuid_make_random(char *out);
int uuid_valid(const char *s);
int repo_name_valid(const char *s);
// What every operation on a repository checks after its arguments: that
// the storage is ready and the name valid ("invalid repository name").
// 0, or -1 with the message recorded.
int check_repo_name(const char *name);
// The same, then the digest's form ("invalid digest reference").
int check_repo_digest(const char *name, const char *digest);

// 1 when a tag stays one component inside its repository's tags directory
// and is safe in header lines and JSON: not empty, not "." or "..", no '/',
// no '\\', no control byte and no byte outside printable ASCII.
int tag_confined(const char *tag);

// Manifest deletion (manifest_get.cpp), for callers that hold the
// repository's lock. 1 when the tag's link names the digest of hex; only
// the link's start counts, so a link with trailing bytes still protects its
// manifest from removal.
int tag_names_digest(const char *name, const char *tag, const char *hex);
// Removes the body, media type, revision link and referrer record of a
// manifest and syncs the directory. With strict, a body or revision link
// that stays is a failure (message recorded); otherwise outcomes are
// ignored, the deletion that led here having happened already.
int manifest_remove_files(const char *name, const char *hex, int strict);

// JSON listings (listing.cpp).
// Escapes src (null: empty) into dst of cap bytes, terminated when room is
// left; returns the bytes written. Stops before a byte once fewer than 9
// bytes of room remain, so no escape is ever cut.
uint64_t json_escape_append(char *dst, uint64_t cap, const char *src);
int str_cmp(const char *a, const char *b);
void sort_str(char **names, int count);
// Writes the tag-list document (repo_name not null) or the catalog document
// of names[0..count) into dst of cap bytes: 0, or -1 when the whole document
// would not fit, dst then untouched.
int listing_render(char *dst, uint64_t cap, const char *repo_name, char *const *names, int count);

// Image indexes and referrers (manifest_put.cpp, manifest_index.cpp,
// referrers.cpp).
struct yyjson_doc;
struct yyjson_val;

// The text of member "digest" of an object value, or null when the value is
// not an object or the member is missing or not a string.
const char *digest_member(yyjson_val *obj);
// The position of the first element of an array of descriptors that has no
// valid "digest" (image-manifest layers, index entries), or
// NO_INVALID_DESCRIPTOR when every element has one.
constexpr size_t NO_INVALID_DESCRIPTOR = SIZE_MAX;
size_t first_invalid_descriptor(yyjson_val *arr);

enum manifest_kind { MANIFEST_IMAGE, MANIFEST_INDEX };

// Parse a body and check the members every manifest of its kind must carry.
// The parsed document on success (the caller frees it with yyjson_doc_free),
// null with the message recorded. The int forms only validate; they touch
// no storage state and need no initialised storage.
yyjson_doc *manifest_checked_doc(const void *body, uint64_t body_len);
yyjson_doc *index_checked_doc(const void *body, uint64_t body_len);
int manifest_validate(const void *body, uint64_t body_len);
int index_validate(const void *body, uint64_t body_len);

// The storing steps shared by image manifests and indexes: argument and
// reference checks, size limit, validation by kind, hashing, the atomic
// writes of body, media type, referrer record, revision link and the links
// of the reference's tag and of tags (tag_count of them, may be 0).
int manifest_store(manifest_kind kind, const char *name, const char *reference, const char *const *tags,
                   size_t tag_count, const void *body, uint64_t body_len, const char *content_type, char *out_digest);

// What the referrers listing keeps for a manifest that names a subject.
struct referrer_record {
    char subject[REG_DIGEST_BUF]; // empty when the manifest names no subject
    char *descriptor;             // heap JSON text (free()), null without a subject
    size_t descriptor_len;
};
// Fills rec from a checked document; media_type is the type stored for the
// body. 0, or -1 with the message recorded (rec then holds nothing to free),
// also when the descriptor would pass REG_REFERRER_DESCRIPTOR_MAX.
int referrer_record_make(yyjson_doc *doc, const char *media_type, const char *digest, uint64_t size,
                         referrer_record *rec);
void referrer_record_free(referrer_record *rec);
// Where a manifest's referrer record lives: the back-pointer beside the
// body (written first, so that no listing entry is ever left that a
// deletion could not find) and the listing entry in the subject's directory.
struct referrer_paths {
    char back[REG_PATH_BUF];
    char dir[REG_PATH_BUF];
    char entry[REG_PATH_BUF];
};
// 1 with the paths filled when rec names a subject, 0 when it names none.
int referrer_record_paths(const char *name, const char *hex, const referrer_record *rec, referrer_paths *out);
// Removes the listing entry and the back-pointer of a manifest, if any;
// outcomes are ignored like those of the other files of a deletion.
void referrer_forget(const char *name, const char *hex);

// What the stored indexes of a repository list (index_children.cpp): one
// record per listed manifest and index, index-children/<algo>/<listed
// hex>/<index hex> inside _manifests, holding the index's digest string. A
// record counts only while its index's body is stored.
constexpr const char *INDEX_CHILDREN_DIR_NAME = "index-children";
void index_child_dir(const char *name, const char *child_hex, char *out, size_t size);
void index_child_record_path(const char *name, const char *child_hex, const char *index_hex, char *out, size_t size);
// The distinct manifests (their digits) links lists. 0, or -1 with errno.
int index_children_from(const manifest_links &links, std::vector<std::string> *out_hex);
// The same for a stored body, read before its files are removed. 0 (a body
// that is no JSON object lists nothing), or -1 with errno; records nothing.
int index_children_load(const char *name, const char *index_hex, std::vector<std::string> *out_hex);
// 1 when a stored index of the repository lists the manifest, 0 when none
// does, -1 when the records cannot be read. For callers that hold the
// repository's lock.
int index_lists_manifest(const char *name, const char *hex);
// Syncs the record directories of children, so that records published in
// them survive a crash. 0, or -1 with the fault recorded.
int index_children_sync_dirs(const char *name, const std::vector<std::string> &children);
// Removes an index's records of children and syncs their directories; the
// first failure is recorded and -1 returned after the rest were tried.
int index_children_forget(const char *name, const char *index_hex, const std::vector<std::string> &children);
// Writes the records missing for every stored index of one repository
// (stores written before indexes left records), under the repository's
// lock. 0 with the number of records written in *out_written (may be
// null), or -1 with the message recorded.
int index_children_rebuild(const char *name, int64_t *out_written);

#endif
