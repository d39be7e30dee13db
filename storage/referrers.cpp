// Referrers: the manifests of a repository whose "subject" names another
// manifest (signatures, SBOMs, attestations). Each one is recorded when it is
// stored, so that answering needs no scan of every manifest:
//
//   _manifests/referrers/<algo>/<subject hex>/<referrer hex>
//       the descriptor the listing serves for the referrer, as JSON
//   _manifests/<referrer hex>.subject
//       back-pointer: the subject's digest string, so that a deletion finds
//       the entry without parsing the body again
//
// Both live inside _manifests, beside the tags and revisions, where no
// listing of tags or repositories looks. The listing is served in pages of
// whole descriptors in digest order, so a descriptor larger than a page is
// refused when its manifest is stored.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <dirent.h>
#include <yyjson.h>

#include "json_doc.h"
#include "storage_internal.h"

namespace {

constexpr size_t HEX_BUF = DIGEST_HEX_BUF;
constexpr const char INDEX_HEAD[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
constexpr const char INDEX_TAIL[] = "]}";
// The public bound on one descriptor is what a page leaves beside these.
static_assert(sizeof INDEX_HEAD - 1 + sizeof INDEX_TAIL - 1 == REG_REFERRERS_INDEX_OVERHEAD);
// read_file keeps one byte for its terminator, and one byte more than the
// largest descriptor shows a file that is larger.
constexpr size_t DESCRIPTOR_BUF = REG_REFERRER_DESCRIPTOR_MAX + 2;
// Entry names looked at per pass over a subject's directory. A page never
// holds more descriptors: each one carries a digest of 71 bytes or more.
constexpr size_t REFERRER_BATCH = REG_REFERRERS_PAGE_MAX / 64;

// The string member key of an object value, or null.
yyjson_val *str_member(yyjson_val *obj, const char *key)
{
    if (!yyjson_is_obj(obj))
        return nullptr;
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? v : nullptr;
}

void subject_dir(const char *name, const char *subject_hex, char *out, size_t size)
{
    char manifests[REG_PATH_BUF];
    char referrers[REG_PATH_BUF];
    char algo[REG_PATH_BUF];
    manifests_dir(name, manifests, sizeof manifests);
    path_join(referrers, sizeof referrers, manifests, "referrers");
    path_join(algo, sizeof algo, referrers, hex_name_algo(subject_hex)->name);
    path_join(out, size, algo, subject_hex);
}

// The body path with ".subject" appended, cut like the .ct path when the
// body path already fills the buffer (it cannot: names and root are bounded).
void back_pointer_path(const char *name, const char *hex, char *out, size_t size)
{
    static constexpr char SUFFIX[] = ".subject";
    manifest_body_path(name, hex, out, size);
    size_t used = strlen(out);
    size_t room = size - 1 - used;
    size_t n = sizeof SUFFIX - 1 < room ? sizeof SUFFIX - 1 : room;
    memcpy(out + used, SUFFIX, n);
    out[used + n] = '\0';
}

// The subject digest a stored manifest's back-pointer names: 0 with it in
// out (REG_DIGEST_BUF bytes), -1 when there is none or it is not a digest.
int read_back_pointer(const char *name, const char *hex, char *out)
{
    char path[REG_PATH_BUF];
    back_pointer_path(name, hex, path, sizeof path);
    char text[LINK_READ_BUF] = {};
    if (read_file(path, text, sizeof text, nullptr) != 0 || !digest_any_valid(text))
        return -1;
    snprintf(out, REG_DIGEST_BUF, "%s", text);
    return 0;
}

// Reads the descriptor stored for one referrer into buf (DESCRIPTOR_BUF
// bytes) and keeps it when it is sound, names that referrer, could fill a
// page alone and passes the filter: true with its length in *out_len.
bool load_referrer(const char *name, const char *subject_hex, const char *hex, const char *filter, char *buf,
                   size_t *out_len)
{
    // An entry whose manifest is gone (a deletion cut short) is not served.
    char body[REG_PATH_BUF];
    manifest_body_path(name, hex, body, sizeof body);
    if (!file_exists(body))
        return false;
    char dir[REG_PATH_BUF];
    char entry[REG_PATH_BUF];
    subject_dir(name, subject_hex, dir, sizeof dir);
    path_join(entry, sizeof entry, dir, hex);
    uint64_t len = 0;
    // A descriptor larger than any store writes (one left by an older
    // version) would fit no page, and would stop the paging at itself.
    if (read_file(entry, buf, DESCRIPTOR_BUF, &len) != 0 || len > REG_REFERRER_DESCRIPTOR_MAX)
        return false;
    // Parsed before it is served: whatever lies in the file, the listing
    // stays one valid document.
    json_doc_ptr doc(yyjson_read(buf, static_cast<size_t>(len), 0));
    if (!doc)
        return false;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *digest = str_member(root, "digest");
    char own[REG_DIGEST_BUF];
    digest_of_hex_name(hex, own);
    if (!digest || yyjson_get_len(digest) != strlen(own) || strcmp(yyjson_get_str(digest), own) != 0)
        return false;
    if (filter) {
        yyjson_val *type = str_member(root, "artifactType");
        if (!type || yyjson_get_len(type) != strlen(filter) || strcmp(yyjson_get_str(type), filter) != 0)
            return false;
    }
    *out_len = static_cast<size_t>(len);
    return true;
}

struct hex_name {
    char text[HEX_BUF];
};
bool operator<(const hex_name &a, const hex_name &b)
{
    return strcmp(a.text, b.text) < 0;
}

// The smallest REFERRER_BATCH entry names of a subject's directory that sort
// after `after` (empty: all), in order; *more tells whether names beyond
// them were left out. A max-heap keeps the memory at one batch however many
// referrers a subject has. batch has room reserved for REFERRER_BATCH names.
void collect_batch(const char *dir_path, const char *after, std::vector<hex_name> *batch, bool *more)
{
    batch->clear();
    *more = false;
    // No directory: a repository or subject without referrers.
    dir_ptr dir{opendir(dir_path)};
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir.get())) {
        // Temporary files of a write in progress and anything else that is
        // not a digest's digits are no entries.
        if (!is_hex_name(entry->d_name) || strcmp(entry->d_name, after) <= 0)
            continue;
        if (batch->size() == REFERRER_BATCH) {
            *more = true;
            if (strcmp(entry->d_name, batch->front().text) >= 0)
                continue;
            std::pop_heap(batch->begin(), batch->end());
            batch->pop_back();
        }
        batch->emplace_back();
        // is_hex_name has bounded the name; a directory entry may end right
        // after its terminator.
        memcpy(batch->back().text, entry->d_name, strlen(entry->d_name) + 1);
        std::push_heap(batch->begin(), batch->end());
    }
    std::sort_heap(batch->begin(), batch->end());
}

} // namespace

int referrer_record_make(yyjson_doc *doc, const char *media_type, const char *digest, uint64_t size,
                         referrer_record *rec)
{
    rec->subject[0] = '\0';
    rec->descriptor = nullptr;
    rec->descriptor_len = 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *subject = str_member(yyjson_obj_get(root, "subject"), "digest");
    if (!subject)
        return 0;
    if (!digest_any_valid(yyjson_get_str(subject))) {
        set_error("manifest subject missing valid digest");
        return -1;
    }

    json_mut_doc_ptr out(yyjson_mut_doc_new(nullptr));
    if (!out) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    yyjson_mut_doc *m = out.get();
    yyjson_mut_val *obj = yyjson_mut_obj(m);
    bool ok = obj != nullptr;
    if (ok)
        yyjson_mut_doc_set_root(m, obj);
    // The manifest's own media type is what a client asked for when it
    // pushed; the stored content type stands in when the body names none.
    yyjson_val *own_type = str_member(root, "mediaType");
    if (own_type)
        ok = ok && yyjson_mut_obj_add_strncpy(m, obj, "mediaType", yyjson_get_str(own_type), yyjson_get_len(own_type));
    else
        ok = ok && yyjson_mut_obj_add_strcpy(m, obj, "mediaType", media_type);
    ok = ok && yyjson_mut_obj_add_strcpy(m, obj, "digest", digest);
    ok = ok && yyjson_mut_obj_add_uint(m, obj, "size", size);
    // An artifact names its type; an image's type is its configuration's.
    yyjson_val *artifact = str_member(root, "artifactType");
    if (!artifact)
        artifact = str_member(yyjson_obj_get(root, "config"), "mediaType");
    if (artifact)
        ok = ok &&
             yyjson_mut_obj_add_strncpy(m, obj, "artifactType", yyjson_get_str(artifact), yyjson_get_len(artifact));
    yyjson_val *annotations = yyjson_obj_get(root, "annotations");
    if (yyjson_is_obj(annotations)) {
        yyjson_mut_val *copy = ok ? yyjson_val_mut_copy(m, annotations) : nullptr;
        ok = copy != nullptr && yyjson_mut_obj_add_val(m, obj, "annotations", copy);
    }
    size_t len = 0;
    // The writer refuses text that is not UTF-8 (a media type from a request
    // header may be anything), so the stored descriptor is always JSON.
    char *json = ok ? yyjson_mut_write(m, 0, &len) : nullptr;
    if (!json) {
        set_error("referrer descriptor cannot be made");
        return -1;
    }
    // A descriptor that would not fit a listing page alone could never be
    // served, and the paging could not pass it.
    if (len > REG_REFERRER_DESCRIPTOR_MAX) {
        free(json);
        set_error("referrer descriptor too large: %zu bytes, at most %zu", len, REG_REFERRER_DESCRIPTOR_MAX);
        return -1;
    }
    snprintf(rec->subject, sizeof rec->subject, "%s", yyjson_get_str(subject));
    rec->descriptor = json;
    rec->descriptor_len = len;
    return 0;
}

void referrer_record_free(referrer_record *rec)
{
    if (!rec)
        return;
    free(rec->descriptor);
    rec->descriptor = nullptr;
    rec->descriptor_len = 0;
}

int referrer_record_paths(const char *name, const char *hex, const referrer_record *rec, referrer_paths *out)
{
    if (rec->subject[0] == '\0' || !rec->descriptor)
        return 0;
    back_pointer_path(name, hex, out->back, sizeof out->back);
    subject_dir(name, rec->subject + DIGEST_PREFIX_LEN, out->dir, sizeof out->dir);
    path_join(out->entry, sizeof out->entry, out->dir, hex);
    return 1;
}

void referrer_forget(const char *name, const char *hex)
{
    char subject[REG_DIGEST_BUF];
    if (read_back_pointer(name, hex, subject) == 0) {
        char dir[REG_PATH_BUF];
        char entry[REG_PATH_BUF];
        subject_dir(name, subject + DIGEST_PREFIX_LEN, dir, sizeof dir);
        path_join(entry, sizeof entry, dir, hex);
        (void)remove_file(entry);
    }
    char back[REG_PATH_BUF];
    back_pointer_path(name, hex, back, sizeof back);
    (void)remove_file(back);
}

int reg_manifest_subject(const char *name, const char *digest, char *out_subject)
{
    if (!name || !digest || !out_subject) {
        set_error("NULL argument");
        return -1;
    }
    if (check_repo_digest(name, digest) != 0)
        return -1;
    const char *hex = digest + DIGEST_PREFIX_LEN;
    char body[REG_PATH_BUF];
    manifest_body_path(name, hex, body, sizeof body);
    if (!file_exists(body))
        return 0;
    return read_back_pointer(name, hex, out_subject) == 0 ? 1 : 0;
}

const char *reg_referrers_page_json(const char *name, const char *subject_digest, const char *artifact_type, int n,
                                    const char *last, char *out_next_last, size_t next_size)
{
    if (!name || !subject_digest) {
        set_error("NULL argument");
        return nullptr;
    }
    if (check_repo_name(name) != 0)
        return nullptr;
    if (!digest_any_valid(subject_digest)) {
        set_error("invalid subject digest");
        return nullptr;
    }
    const bool from_first = !last || last[0] == '\0';
    if (!from_first && !digest_any_valid(last)) {
        set_error("invalid last digest");
        return nullptr;
    }
    if (out_next_last && next_size < REG_DIGEST_BUF) {
        set_error("next-page buffer too small");
        return nullptr;
    }
    const char *filter = (artifact_type && artifact_type[0] != '\0') ? artifact_type : nullptr;
    const char *subject_hex = subject_digest + DIGEST_PREFIX_LEN;
    const size_t limit = n < 0 ? SIZE_MAX : static_cast<size_t>(n);

    std::vector<hex_name> batch;
    std::vector<char> scratch;
    try {
        batch.reserve(REFERRER_BATCH);
        scratch.resize(DESCRIPTOR_BUF);
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    char dir_path[REG_PATH_BUF];
    subject_dir(name, subject_hex, dir_path, sizeof dir_path);

    // Descriptors are written as they are found, in digest order; the one
    // that no longer fits (or comes after the n-th) is the proof that the
    // page is cut, and the last one written is where the next page starts.
    memcpy(s_result, INDEX_HEAD, sizeof INDEX_HEAD - 1);
    size_t pos = sizeof INDEX_HEAD - 1;
    size_t count = 0;
    char after[HEX_BUF] = {};
    if (!from_first)
        snprintf(after, sizeof after, "%s", last + DIGEST_PREFIX_LEN);
    char written[HEX_BUF] = {};
    bool cut = false;
    bool more = limit > 0;
    // One pass over the directory per batch: a filter may skip every entry
    // of a batch, and the walk then goes on after the last one looked at.
    while (more && !cut) {
        collect_batch(dir_path, after, &batch, &more);
        for (const hex_name &hex : batch) {
            size_t len = 0;
            if (!load_referrer(name, subject_hex, hex.text, filter, scratch.data(), &len))
                continue;
            const size_t sep = count > 0 ? 1 : 0;
            if (count == limit || pos + sep + len + (sizeof INDEX_TAIL - 1) > REG_REFERRERS_PAGE_MAX) {
                cut = true;
                break;
            }
            if (sep)
                s_result[pos++] = ',';
            memcpy(s_result + pos, scratch.data(), len);
            pos += len;
            ++count;
            memcpy(written, hex.text, HEX_BUF);
        }
        if (!batch.empty())
            memcpy(after, batch.back().text, HEX_BUF);
    }
    memcpy(s_result + pos, INDEX_TAIL, sizeof INDEX_TAIL);
    if (out_next_last) {
        out_next_last[0] = '\0';
        // A cut page holds at least one descriptor: any descriptor served
        // fills an empty page alone, and n == 0 looks at none.
        if (cut)
            digest_of_hex_name(written, out_next_last);
    }
    return s_result;
}
