// Public interface of the registry storage library: the whole registry on
// disk below one storage root (blobs by SHA-256, uploads, manifests with
// tags, tag list, catalog, statistics).
//
// Conventions: every operation returns 0 (or a value) on success and -1 (a
// null pointer for text, -1 for 64-bit counts) on failure, after recording a
// message that reg_storage_last_error() returns. Text results live in the
// library's shared 1 MiB result buffer and stay valid until the next call
// of any operation that returns text.
#ifndef STORAGE_REG_STORAGE_H
#define STORAGE_REG_STORAGE_H

#include <cstddef>
#include <cstdint>

// Sizes callers allocate for the library's outputs.
constexpr size_t REG_DIGEST_BUF = 72;       // "sha256:" + 64 digits + NUL
constexpr size_t REG_UUID_BUF = 37;         // 8-4-4-4-12 + NUL
constexpr size_t REG_CONTENT_TYPE_BUF = 128;
constexpr size_t REG_RESULT_SIZE = 1048576; // shared result buffer
// The largest manifest: what the result buffer returns whole with its NUL.
constexpr size_t REG_MANIFEST_MAX = REG_RESULT_SIZE - 1;

// State, initialisation and errors.
int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
const char *reg_storage_last_error(void);

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
const char *reg_manifest_get(const char *name, const char *reference, char *out_content_type,
                             char *out_digest);
int reg_manifest_delete(const char *name, const char *reference);

// Read-only views rendered as JSON into the shared result buffer.
const char *reg_tags_list_json(const char *repo_name);
const char *reg_catalog_json(int n, const char *last);
const char *reg_storage_get_stats_json(void);

// ---- Registry API: uploads streamed from a request and blob serving ----

// ---- Registry API: complete, paged tag list and catalog ----

// ---- Image indexes and referrers ----

#endif
