// Private header of the storage library: state shared by its files, the
// file-system primitives, the path builders and the identifier tests.
// Nothing outside storage/ (other than white-box tests) includes it.
#ifndef STORAGE_STORAGE_INTERNAL_H
#define STORAGE_STORAGE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "reg_storage.h"

// Every path is built in buffers of this size.
constexpr size_t REG_PATH_BUF = 4096;
constexpr size_t REG_ROOT_BUF = 3500;   // root: at most 3499 characters
constexpr size_t REG_ERROR_BUF = 1024;
constexpr size_t DIR_LISTING_CAP = 512;
constexpr size_t DIR_NAME_BUF = 512;
constexpr char PATH_SEP = '/';
constexpr const char *PATH_SEP_STR = "/";
constexpr const char *DEFAULT_MANIFEST_TYPE = "application/vnd.docker.distribution.manifest.v2+json";

// Library state (state.cpp). Zeroed at process start.
extern char s_root[REG_ROOT_BUF];
extern int32_t s_ready;
extern char s_error[REG_ERROR_BUF];
extern char s_result[REG_RESULT_SIZE];
extern uint32_t s_seed;

void set_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
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
int dir_exists(const char *path);
int64_t file_size(const char *path);
int read_file(const char *path, char *buf, size_t cap, uint64_t *out_len);
// Atomic replacement: temporary file beside the target, fsync, rename.
int write_file(const char *path, const void *data, uint64_t len);
int remove_file(const char *path);
int list_dir(const char *path, dir_listing *out);

// Layout (layout.cpp): path builders, no argument checks.
void repos_dir(char *out, size_t size);
void blob_path_for_digest(const char *digest, char *out, size_t size);
void upload_path_for_uuid(const char *uuid, char *out, size_t size);
void manifest_body_path(const char *name, const char *hex, char *out, size_t size);
void manifest_ct_path(const char *name, const char *hex, char *out, size_t size);
void manifest_rev_dir(const char *name, const char *hex, char *out, size_t size);
void manifest_rev_path(const char *name, const char *hex, char *out, size_t size);
void manifest_tags_dir(const char *name, char *out, size_t size);
void manifest_tag_path(const char *name, const char *tag, char *out, size_t size);

// Identifiers (ident.cpp).
void bin_to_hex(const uint8_t *bytes, uint64_t count, char *out);
int digest_valid(const char *s);
void rng_next(uint32_t *state);
void uuid_make(char *out);
int uuid_valid(const char *s);
int repo_name_valid(const char *s);

// 1 when a tag stays one component inside its repository's tags directory
// and is safe in header lines and JSON: not empty, not "." or "..", no '/',
// no '\\', no control byte and no byte outside printable ASCII.
int tag_confined(const char *tag);

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
// writes of body, media type, referrer record, revision link and tag link.
int manifest_store(manifest_kind kind, const char *name, const char *reference, const void *body,
                   uint64_t body_len, const char *content_type, char *out_digest);

// What the referrers listing keeps for a manifest that names a subject.
struct referrer_record {
    char subject[REG_DIGEST_BUF]; // empty when the manifest names no subject
    char *descriptor;             // heap JSON text (free()), null without a subject
    size_t descriptor_len;
};
// Fills rec from a checked document; media_type is the type stored for the
// body. 0, or -1 with the message recorded (rec then holds nothing to free).
int referrer_record_make(yyjson_doc *doc, const char *media_type, const char *digest, uint64_t size,
                         referrer_record *rec);
void referrer_record_free(referrer_record *rec);
// Writes the listing entry below the subject and the back-pointer beside
// the body; nothing when rec names no subject. 0, or -1 with the message.
int referrer_record_write(const char *name, const char *hex, const referrer_record *rec);
// Removes the listing entry and the back-pointer of a manifest, if any;
// outcomes are ignored like those of the other files of a deletion.
void referrer_forget(const char *name, const char *hex);

#endif
