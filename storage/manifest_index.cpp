// Image indexes and manifest lists: the documents that name one manifest per
// platform. They are checked by their own rule (a "manifests" array of
// descriptors) and then stored exactly like image manifests, in the same
// layout, so that lookup, tags and deletion need nothing of their own.
#include <cstring>

#include <yyjson.h>

#include "storage_internal.h"

// Only the members the registry relies on are checked: every entry of
// "manifests" must name a manifest by a digest this registry can address,
// and a subject, when present, must be one too. Platforms, sizes and media
// types of the entries are the client's business.
yyjson_doc *index_checked_doc(const void *body, uint64_t body_len)
{
    yyjson_doc *doc = yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0);
    if (!doc) {
        set_error("index JSON parse failed");
        return nullptr;
    }
    int rc = 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        set_error("index must be a JSON object");
        rc = -1;
    }
    if (rc == 0) {
        yyjson_val *manifests = yyjson_obj_get(root, "manifests");
        if (!yyjson_is_arr(manifests)) {
            set_error("index missing manifests array");
            rc = -1;
        } else {
            size_t bad = first_invalid_descriptor(manifests);
            if (bad != NO_INVALID_DESCRIPTOR) {
                set_error("index manifest %zu missing valid digest", bad);
                rc = -1;
            }
        }
    }
    if (rc == 0) {
        yyjson_val *subject = yyjson_obj_get(root, "subject");
        if (subject && !digest_any_valid(digest_member(subject))) {
            set_error("index subject missing valid digest");
            rc = -1;
        }
    }
    if (rc != 0) {
        yyjson_doc_free(doc);
        return nullptr;
    }
    return doc;
}

int index_validate(const void *body, uint64_t body_len)
{
    yyjson_doc *doc = index_checked_doc(body, body_len);
    if (!doc)
        return -1;
    yyjson_doc_free(doc);
    return 0;
}

int reg_manifest_put_index(const char *name, const char *reference, const void *body, uint64_t body_len,
                           const char *content_type, char *out_digest)
{
    return manifest_store(MANIFEST_INDEX, name, reference, nullptr, 0, body, body_len, content_type, out_digest);
}
