// Public interface of the registry storage library: the whole registry on
// disk below one storage root (blobs by digest, uploads, manifests with
// tags, tag list, catalog, statistics).
//
// A digest string is "sha256:" and 64, or "sha512:" and 128, lowercase
// hexadecimal digits of the content's hash; every operation that takes a
// digest or a manifest reference accepts either. A reference that begins
// with "sha256:" or "sha512:" names a manifest by digest, any other one is
// a tag. A manifest stored under a tag is named by its SHA-256.
//
// Conventions: every operation returns 0 (or a value) on success and -1 (a
// null pointer for text, -1 for 64-bit counts) on failure, after recording a
// message that reg_storage_last_error() returns and a kind that
// reg_storage_last_error_kind() returns. Text results live in the
// library's shared 1 MiB result buffer and stay valid until the next call
// of any operation that returns text.
#ifndef STORAGE_REG_STORAGE_H
#define STORAGE_REG_STORAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 1 when a reference names a manifest by digest (it begins with "sha256:"
// or "sha512:"), 0 when it is a tag.
int reg_reference_is_digest(const char *reference);
// 1 when digest is a well-formed digest string of either algorithm and
// nothing else (what every blob and manifest operation accepts), 0 when it
// is not or is null. Checks the text only: nothing is looked up.
int reg_digest_valid(const char *digest);

// Sizes callers allocate for the library's outputs.
// The longest digest string: "sha512:" + 128 digits + NUL.
constexpr size_t REG_DIGEST_BUF = 136;
constexpr size_t REG_UUID_BUF = 37; // 8-4-4-4-12 + NUL
constexpr size_t REG_CONTENT_TYPE_BUF = 128;
constexpr size_t REG_RESULT_SIZE = 1048576; // shared result buffer
// The largest manifest stored (4 MiB, what registries are asked to take).
// reg_manifest_get returns bodies that fit the result buffer with their NUL;
// reg_manifest_open serves any stored one.
constexpr size_t REG_MANIFEST_MAX = 4194304;

// What kind of failure the last message records, so that a caller can tell
// a mistake of its own (answered 4xx) from a fault of the server (5xx)
// without reading the text. The first group is about the caller's input,
// the second about the machine.
enum reg_error_kind {
    REG_ERR_NONE,         // nothing has failed since the storage was opened
    REG_ERR_INVALID,      // a name, reference, digest, ID or document refused
    REG_ERR_NOT_FOUND,    // the upload, blob, tag or manifest named is not there
    REG_ERR_DIGEST,       // the content does not hash to the digest given
    REG_ERR_RANGE,        // a chunk not at the upload's end; a range past a blob
    REG_ERR_TOO_LARGE,    // content over a size limit
    REG_ERR_SHORT_BODY,   // the request body ended before its declared length
    REG_ERR_BLOB_UNKNOWN, // a manifest names a blob the repository gave up
    REG_ERR_NOT_READY,    // the storage is not open (root missing or unusable)
    REG_ERR_NO_SPACE,     // the file system is full or over quota
    REG_ERR_PERMISSION,   // the file system refused access
    REG_ERR_NO_MEMORY,
    REG_ERR_IO, // any other failure of the file system
};

// State, initialisation and errors.
int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
const char *reg_storage_last_error(void);
reg_error_kind reg_storage_last_error_kind(void);
// Forgets what one request left behind (the error record, the text in the
// result buffer), for a process that serves many; the storage stays open.
void reg_storage_end_request(void);

// Blob uploads and the blob store.
int reg_blob_start_upload(char *out_upload_uuid);
int reg_blob_append_chunk(const char *upload_uuid, const void *data, uint64_t len);
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest);
int reg_blob_cancel_upload(const char *upload_uuid);
int reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int reg_blob_get_filepath(const char *digest, char *out, uint64_t out_size);
int reg_blob_delete(const char *digest);

// Manifests.
int reg_manifest_put(const char *name, const char *reference, const void *body, uint64_t body_len,
                     const char *content_type, char *out_digest);
const char *reg_manifest_get(const char *name, const char *reference, char *out_content_type, char *out_digest);
int reg_manifest_delete(const char *name, const char *reference);
// A stored manifest of any size, for serving without a copy into the result
// buffer (which reg_manifest_get needs, and so refuses bodies of 1 MiB and
// more): resolves the reference as reg_manifest_get does and returns the
// open body (the caller closes it) with its size, media type and digest;
// -1 with the message recorded.
int reg_manifest_open(const char *name, const char *reference, char *out_content_type, char *out_digest,
                      uint64_t *out_size);
// Writes the first size bytes of a body reg_manifest_open gave to out, in
// fixed-size pieces. -1 when reading ("read error on manifest") or writing
// ("write error sending manifest") fails.
int reg_manifest_send_file(int manifest_fd, uint64_t size, FILE *out);
// Deletes a stored manifest by its digest string together with every tag of
// the repository that names it (what a registry-API DELETE by digest means).
// Fails with "manifest body not found: %s@%s" when it is not stored.
int reg_manifest_delete_digest(const char *name, const char *digest);

// Read-only views rendered as JSON into the shared result buffer.
const char *reg_tags_list_json(const char *repo_name);
const char *reg_catalog_json(int n, const char *last);
const char *reg_storage_get_stats_json(void);

// ---- Registry API: uploads streamed from a request and blob serving ----

// Size in bytes of an open upload so far; -1 with "upload not found: %s"
// when the ID names no upload.
int64_t reg_blob_upload_size(const char *upload_uuid);
// Appends exactly len bytes read from fd (a request body) to an open upload,
// in fixed-size pieces, so a body of any size needs constant memory. With
// at >= 0 the chunk must start at that offset: checked under the upload's
// lock, so of two requests sending the same range only one is taken (the
// other fails with REG_ERR_RANGE, "chunk starts at %lld, the upload holds
// %lld bytes"). All or nothing: when fd ends early (REG_ERR_SHORT_BODY,
// "request body ended after %llu of %llu bytes"), fails to read, or the
// write fails, the bytes of this call are taken back and -1 is returned.
// *out_received (may be null) gets the number of bytes taken from fd, also
// on failure; *out_size (may be null) the upload's size afterwards, also
// when the range is refused (-1 when the upload is not there).
int reg_blob_append_fd(const char *upload_uuid, int fd, uint64_t len, int64_t at, uint64_t *out_received,
                       int64_t *out_size);
// The same from a stdio stream (a request body that is no descriptor of
// this process, as under FastCGI).
int reg_blob_append_file(const char *upload_uuid, FILE *in, uint64_t len, int64_t at, uint64_t *out_received,
                         int64_t *out_size);
// Writes len bytes of a stored blob, from byte offset on, to out_fd in
// fixed-size pieces. -1 when the blob is missing ("blob not found: %s"),
// the range passes its end ("range beyond blob end"), or reading or writing
// fails ("read error on blob", "write error sending blob"); bytes already
// written stay written.
int reg_blob_send_range(const char *digest, uint64_t offset, uint64_t len, int out_fd);
// The same to a stdio stream (a reply that is no descriptor of this process).
int reg_blob_send_range_file(const char *digest, uint64_t offset, uint64_t len, FILE *out);

// ---- Repositories' blobs: one copy of the bytes, a hold per repository ----
//
// A blob's bytes are stored once for the whole store; each repository holds
// the blobs it finished an upload of or mounted, and sees only those. A
// hold is given up by reg_repo_blob_unlink; the bytes stay until nothing
// holds them and garbage collection removes them. A store written before
// holds existed counts every stored blob as held by every repository until
// reg_storage_upgrade_holds has run on it.

// 1 when the repository holds the blob and its bytes are stored, 0 when
// not; -1 for an invalid name or digest ("invalid repository name",
// "invalid digest").
int reg_repo_blob_held(const char *name, const char *digest);
// Records the repository's hold of a stored blob; holding it already is no
// failure. -1 with REG_ERR_NOT_FOUND ("blob not found: %s") when the bytes
// are not stored.
int reg_repo_blob_link(const char *name, const char *digest);
// Gives up the repository's hold, durably; -1 with REG_ERR_NOT_FOUND when
// it holds none. Other repositories' holds and the bytes stay.
int reg_repo_blob_unlink(const char *name, const char *digest);
// Starts an upload that belongs to a repository, as reg_blob_start_upload
// does; only that repository may go on with it.
int reg_blob_start_repo_upload(const char *name, char *out_upload_uuid);
// Finishes an upload as reg_blob_finish_upload does and records the
// repository's hold of the blob in the same step, so that garbage
// collection never finds the bytes unheld in between.
int reg_blob_finish_repo_upload(const char *name, const char *upload_uuid, const char *expected_digest,
                                char *out_digest);
// 1 when the upload was started by the repository (and is not spent yet),
// 0 when it was not or there is no such upload; -1 for an invalid ID.
int reg_blob_upload_owned(const char *upload_uuid, const char *name);
// Links into the repository every stored blob its stored manifests name
// (config, layers, an artifact's blobs). *out_linked (may be null) counts
// the new holds.
int reg_repo_link_manifest_blobs(const char *name, int64_t *out_linked);
// Upgrades a store written before holds existed: links the blobs of every
// repository's manifests (and records what its indexes list), then marks
// the store so that holds are enforced.
// Walks the whole store; meant for an administration command, not a request.
int reg_storage_upgrade_holds(int64_t *out_repos, int64_t *out_linked);
// 1 when holds are enforced (a store made or upgraded since), 0 when not.
int reg_storage_holds_complete(void);

// ---- Garbage collection ----
//
// Marks every blob a stored manifest of a repository names (config, layers,
// an artifact's blobs; an index keeps the manifests it lists, a referrer its
// own blobs), then sweeps what nothing needs any more and what is older
// than the grace period: a repository's holds of blobs none of its
// manifests names, blob bytes no repository holds, uploads not written to
// for that long, and with delete_untagged the manifests no tag, no index
// and no subject keeps. It runs beside a serving registry: every removal is
// decided again under the lock the writers of that thing take, and a
// manifest stored later that names a blob whose hold was swept is refused
// (MANIFEST_BLOB_UNKNOWN) instead of stored with the blob gone. Killed at
// any point it leaves a store that a second run finishes.
struct reg_gc_options {
    int dry_run;           // report what would go, remove nothing
    int delete_untagged;   // also remove manifests nothing keeps
    int64_t grace_seconds; // nothing younger is swept (REG_GC_GRACE_DEFAULT)
    // Called for each thing removed (or, in a dry run, that would be):
    // kind is "blob", "hold", "upload" or "manifest", what names it
    // (a digest, "<repository>@<digest>" or the upload's ID), bytes
    // is what it frees on disk (0 for a hold). May be null.
    void (*report)(void *ctx, const char *kind, const char *what, int64_t bytes);
    void *ctx;
};
constexpr int64_t REG_GC_GRACE_DEFAULT = 3600;
struct reg_gc_result {
    int64_t blobs, blob_bytes;         // blob bytes removed
    int64_t holds;                     // repositories' holds given up
    int64_t uploads, upload_bytes;     // abandoned uploads removed
    int64_t manifests, manifest_bytes; // untagged manifests removed
};
// 0 with *out filled (also for a dry run), -1 with the message recorded.
int reg_gc(const reg_gc_options *options, reg_gc_result *out);

// ---- Registry API: complete, paged tag list and catalog ----

// Room for one listed name (a tag, or a full repository name such as
// library/app, at most 255 bytes) and its NUL: the least out_next_last takes.
constexpr size_t REG_LIST_NAME_BUF = 256;
// 1 when the repository's _manifests directory exists, 0 when it does not;
// -1 when the storage is not ready or the name is refused ("invalid
// repository name").
int reg_repo_exists(const char *name);
// One page of every tag of a repository (a tag directory whose link file
// reads), in byte order, starting after last (exclusive; null or empty: from
// the first) and holding at most n tags (n < 0: no limit, n == 0: none), as
// {"name":...,"tags":[...]} in the result buffer. A missing repository gives
// an empty list. When tags follow the page, because of n or because the
// result buffer would not hold them, out_next_last (REG_LIST_NAME_BUF bytes
// or more; may be null) receives the last tag written, which is the `last`
// of the next page; otherwise it receives "". The document is always whole.
const char *reg_tags_page_json(const char *name, int n, const char *last, char *out_next_last, size_t next_size);
// The same for the catalog: full names of every repository (a directory
// below repositories/ that holds _manifests, at any depth, symbolic links
// not followed, names the storage accepts), as {"repositories":[...]}.
const char *reg_catalog_page_json(int n, const char *last, char *out_next_last, size_t next_size);
// Decides whether a name may be listed: non-zero keeps it. ctx is the
// caller's own, handed back untouched.
using reg_name_filter = int (*)(const char *name, void *ctx);
// The catalog keeping only the repositories filter keeps (null: every one),
// such as those a user may see. Paging counts kept names alone: a page holds
// up to n of them, and out_next_last is set only when kept names follow it.
// The filter is asked about each candidate name at most once per call and
// must not call the library.
const char *reg_catalog_page_filtered_json(int n, const char *last, reg_name_filter filter, void *ctx,
                                           char *out_next_last, size_t next_size);

// ---- Image indexes and referrers ----

// Stores an image index or manifest list exactly as reg_manifest_put stores
// an image manifest (same arguments, layout, tags and deletion); the body
// must be a JSON object whose "manifests" array names each entry by digest.
int reg_manifest_put_index(const char *name, const char *reference, const void *body, uint64_t body_len,
                           const char *content_type, char *out_digest);
// Stores a manifest by its digest (an image index when is_index, as
// reg_manifest_put_index does; else as reg_manifest_put does) and points
// each of tag_count tags at it in the same store: what a push by digest
// with tag parameters asks. Each tag is checked as a tag reference is, and
// one refused stores nothing ("invalid tag: %s").
int reg_manifest_put_tags(int is_index, const char *name, const char *digest, const char *const *tags, size_t tag_count,
                          const void *body, uint64_t body_len, const char *content_type, char *out_digest);
// The subject a stored manifest names: 1 with its digest in out_subject
// (REG_DIGEST_BUF bytes), 0 when it names none or is not stored, -1 on
// failure with the message recorded.
int reg_manifest_subject(const char *name, const char *digest, char *out_subject);

// The referrers listing is served in pages, each one whole image index of
// at most REG_REFERRERS_PAGE_MAX bytes of JSON. A quarter of the result
// buffer: clients read an index whole into memory (common ones cap it at a
// few MiB), and a quarter MiB holds a thousand or more descriptors of the
// usual size, so most subjects take one page.
constexpr size_t REG_REFERRERS_PAGE_MAX = 256 * 1024;
// What the index takes of a page besides its descriptors: its opening
// {"schemaVersion":2,"mediaType":"...index.v1+json","manifests":[ and ]}.
constexpr size_t REG_REFERRERS_INDEX_OVERHEAD = 88;
// The largest descriptor of one referrer (the JSON of its mediaType, digest,
// size, artifactType and annotations): one that fills a page alone. A
// manifest that names a subject and whose descriptor would be larger is
// refused when it is stored (REG_ERR_INVALID, "referrer descriptor too
// large: ..."), so that no referrer can keep the others off the listing.
constexpr size_t REG_REFERRER_DESCRIPTOR_MAX = REG_REFERRERS_PAGE_MAX - REG_REFERRERS_INDEX_OVERHEAD;
// One page of the referrers of a subject digest in one repository, as an
// image index in the result buffer: the descriptors of the stored manifests
// whose "subject" names that digest, in digest order, starting after last
// (a digest, exclusive; null or empty: from the first), keeping only those
// whose artifactType equals artifact_type when it is non-empty, and holding
// whole descriptors only: at most n of them (n < 0: no limit, n == 0: none)
// in at most REG_REFERRERS_PAGE_MAX bytes. An unknown repository or subject
// gives an empty "manifests" array. When descriptors follow the page,
// out_next_last (REG_DIGEST_BUF bytes or more; may be null) receives the
// digest of the last one written, which is the `last` of the next page;
// otherwise it receives "". Refused: a name, subject or last that is not
// valid ("invalid last digest"), a next-page buffer too small.
const char *reg_referrers_page_json(const char *name, const char *subject_digest, const char *artifact_type, int n,
                                    const char *last, char *out_next_last, size_t next_size);

// ---- Verification: re-hashing the store, finding dangling links ----
//
// reg_verify walks the whole store, as an administration command does
// beside a serving registry, and reports what does not hold together:
// every blob (blobs/<algo>/<hh>/<hex>) and every repository's manifest
// body (_manifests/<hex>) is hashed again by its algorithm, streamed, and
// must hash to its name, a blob in the fan-out directory of its first two
// digits; every tag link and revision link must hold exactly the digest of
// a body the repository stores (a revision link its own), and every hold
// (_layers/<hex>) exactly its digest, of a blob whose bytes are stored.
// Symbolic links are never followed: one found where the store keeps its
// own files or directories is reported instead.
//
// With a quarantine directory, each blob or manifest body whose bytes are
// wrong (or that is a symbolic link) is moved aside into it by a rename,
// under the same relative path it had below the root (".1", ".2", ... when
// that name is taken), so that clients get 404 instead of wrong bytes and
// a fresh push of the same content is stored again. A manifest goes with
// its media type and revision link and leaves the referrers listing, as a
// deletion would take it; links that name what was moved, and every other
// dangling link, are only reported. The directory is made if missing and
// must lie on the store's file system, outside blobs, repositories and
// uploads.
//
// Repositories are those the catalog lists: one that holds blobs but has
// no _manifests directory yet is not visited. Beside a serving registry a
// link may be found dangling while a push or deletion is half done; a
// second run tells a lasting fault from that.
enum reg_verify_kind {
    REG_VERIFY_BLOB_CORRUPT,      // the bytes do not hash to the blob's name
    REG_VERIFY_BLOB_MISPLACED,    // a blob in another fan-out directory than its own
    REG_VERIFY_MANIFEST_CORRUPT,  // a manifest body that does not hash to its name
    REG_VERIFY_TAG_DANGLING,      // a tag naming a manifest the repository does not store
    REG_VERIFY_REVISION_DANGLING, // a revision link whose manifest body is not stored
    REG_VERIFY_HOLD_DANGLING,     // a hold of a blob whose bytes are not stored
    REG_VERIFY_LINK_MALFORMED,    // a tag link, revision link or hold that is not exactly its digest
    REG_VERIFY_SYMLINK,           // a symbolic link in the store's own tree, not followed
    REG_VERIFY_UNREADABLE,        // a blob, body or link that could not be read
};
// One finding, valid during the report call only. Paths are relative to
// the storage root.
struct reg_verify_finding {
    reg_verify_kind kind;
    const char *label;    // the kind as one word: "blob-corrupt", "tag-dangling", ...
    const char *path;     // the file or directory found wrong
    const char *detail;   // what was found: the digest the bytes hash to, what a link names ("" when nothing)
    const char *moved_to; // where the quarantine moved it (absolute), or null
};
struct reg_verify_options {
    const char *quarantine_dir; // null or "": report only
    // Called once per finding, in the order found; may be null.
    void (*report)(void *ctx, const reg_verify_finding *finding);
    void *ctx;
};
struct reg_verify_result {
    int64_t blobs, blob_bytes; // blob files hashed
    int64_t repositories;
    int64_t manifests; // manifest bodies hashed
    int64_t links;     // tag links, revision links and holds read
    int64_t findings;
    int64_t moved; // files moved into the quarantine directory
};
// 0 with *out filled, findings or not; -1 with the message recorded when
// the store cannot be walked or a move fails (*out then counts what was
// done before).
int reg_verify(const reg_verify_options *options, reg_verify_result *out);

#endif
