// Referrers: the manifests of a repository whose "subject" names another
// manifest (signatures, SBOMs, attestations). Each one is recorded when it is
// stored, so that answering needs no scan of every manifest:
//
//   _manifests/referrers/sha256/<subject hex>/<referrer hex>
//       the descriptor the listing serves for the referrer, as JSON
//   _manifests/<referrer hex>.subject
//       back-pointer: the subject's digest string, so that a deletion finds
//       the entry without parsing the body again
//
// Both live inside _manifests, beside the tags and revisions, where no
// listing of tags or repositories looks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <yyjson.h>

#include "storage_internal.h"

namespace {

constexpr const char DIGEST_PREFIX[] = "sha256:";
constexpr size_t DIGEST_PREFIX_LEN = sizeof(DIGEST_PREFIX) - 1;
constexpr size_t HEX_LEN = 64;
constexpr size_t HEX_BUF = HEX_LEN + 1;
// A back-pointer holds 71 bytes; the extra room shows whether anything follows.
constexpr size_t BACK_POINTER_BUF = 128;
// At most this many referrers of one subject are looked at per listing. A
// descriptor takes well over 128 bytes, so more could not fit the result
// buffer anyway.
constexpr size_t REFERRER_SLOTS = REG_RESULT_SIZE / 128;
constexpr const char INDEX_HEAD[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
constexpr const char INDEX_TAIL[] = "]}";

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
struct doc_deleter {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct mut_doc_deleter {
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

// The string member key of an object value, or null.
yyjson_val *str_member(yyjson_val *obj, const char *key)
{
    if (!yyjson_is_obj(obj))
        return nullptr;
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? v : nullptr;
}

int is_hex_name(const char *s)
{
    size_t i = 0;
    for (; s[i] != '\0'; ++i) {
        if (i >= HEX_LEN || !((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f')))
            return 0;
    }
    return i == HEX_LEN;
}

void subject_dir(const char *name, const char *subject_hex, char *out, size_t size)
{
    char manifests[REG_PATH_BUF];
    char referrers[REG_PATH_BUF];
    char algo[REG_PATH_BUF];
    manifests_dir(name, manifests, sizeof manifests);
    path_join(referrers, sizeof referrers, manifests, "referrers");
    path_join(algo, sizeof algo, referrers, "sha256");
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
    char text[BACK_POINTER_BUF] = {};
    if (read_file(path, text, sizeof text, nullptr) != 0 || !digest_valid(text))
        return -1;
    // digest_valid has checked the length: 71 characters and the NUL.
    memcpy(out, text, REG_DIGEST_BUF);
    return 0;
}

int cmp_hex(const void *a, const void *b)
{
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

// Appends text of len bytes at *pos in s_result, keeping room for the
// closing of the document and its terminator. 0, or -1 when it would not fit
// (nothing written).
int append(size_t *pos, const char *text, size_t len)
{
    if (len > REG_RESULT_SIZE || *pos + len + sizeof INDEX_TAIL > REG_RESULT_SIZE)
        return -1;
    memcpy(s_result + *pos, text, len);
    *pos += len;
    return 0;
}

// Appends the descriptor stored for one referrer when it is sound, names
// that referrer and passes the filter. buf is the caller's scratch buffer of
// REG_RESULT_SIZE bytes.
void append_referrer(const char *name, const char *subject_hex, const char *hex, const char *filter, char *buf,
                     size_t *pos, bool *first)
{
    // An entry whose manifest is gone (a deletion cut short) is not served.
    char body[REG_PATH_BUF];
    manifest_body_path(name, hex, body, sizeof body);
    if (!file_exists(body))
        return;
    char dir[REG_PATH_BUF];
    char entry[REG_PATH_BUF];
    subject_dir(name, subject_hex, dir, sizeof dir);
    path_join(entry, sizeof entry, dir, hex);
    uint64_t len = 0;
    if (read_file(entry, buf, REG_RESULT_SIZE, &len) != 0)
        return;
    // Parsed before it is served: whatever lies in the file, the listing
    // stays one valid document.
    std::unique_ptr<yyjson_doc, doc_deleter> doc(yyjson_read(buf, static_cast<size_t>(len), 0));
    if (!doc)
        return;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *digest = str_member(root, "digest");
    if (!digest || yyjson_get_len(digest) != DIGEST_PREFIX_LEN + HEX_LEN ||
        strncmp(yyjson_get_str(digest), DIGEST_PREFIX, DIGEST_PREFIX_LEN) != 0 ||
        strcmp(yyjson_get_str(digest) + DIGEST_PREFIX_LEN, hex) != 0)
        return;
    if (filter) {
        yyjson_val *type = str_member(root, "artifactType");
        if (!type || yyjson_get_len(type) != strlen(filter) || strcmp(yyjson_get_str(type), filter) != 0)
            return;
    }
    size_t mark = *pos;
    if (!*first && append(pos, ",", 1) != 0)
        return;
    if (append(pos, buf, static_cast<size_t>(len)) != 0) {
        *pos = mark;
        return;
    }
    *first = false;
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
    if (!digest_valid(yyjson_get_str(subject))) {
        set_error("manifest subject missing valid digest");
        return -1;
    }

    std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> out(yyjson_mut_doc_new(nullptr));
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
    memcpy(rec->subject, yyjson_get_str(subject), REG_DIGEST_BUF); // 71 characters and the NUL
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
    if (require_ready() != 0)
        return -1;
    if (!repo_name_valid(name)) {
        set_error("invalid repository name");
        return -1;
    }
    if (!digest_valid(digest)) {
        set_error("invalid digest reference");
        return -1;
    }
    const char *hex = digest + DIGEST_PREFIX_LEN;
    char body[REG_PATH_BUF];
    manifest_body_path(name, hex, body, sizeof body);
    if (!file_exists(body))
        return 0;
    return read_back_pointer(name, hex, out_subject) == 0 ? 1 : 0;
}

const char *reg_referrers_json(const char *name, const char *subject_digest, const char *artifact_type)
{
    if (!name || !subject_digest) {
        set_error("NULL argument");
        return nullptr;
    }
    if (require_ready() != 0)
        return nullptr;
    if (!repo_name_valid(name)) {
        set_error("invalid repository name");
        return nullptr;
    }
    if (!digest_valid(subject_digest)) {
        set_error("invalid subject digest");
        return nullptr;
    }
    const char *filter = (artifact_type && artifact_type[0] != '\0') ? artifact_type : nullptr;
    const char *subject_hex = subject_digest + DIGEST_PREFIX_LEN;

    // Names first, then sorted: the order of a directory is the platform's,
    // and clients may compare listings.
    std::unique_ptr<char[][HEX_BUF], free_deleter> names(
        static_cast<char(*)[HEX_BUF]>(calloc(REFERRER_SLOTS, HEX_BUF)));
    std::unique_ptr<char, free_deleter> scratch(static_cast<char *>(malloc(REG_RESULT_SIZE)));
    if (!names || !scratch) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    size_t count = 0;
    char dir_path[REG_PATH_BUF];
    subject_dir(name, subject_hex, dir_path, sizeof dir_path);
    // No directory: a repository or subject without referrers.
    if (std::unique_ptr<DIR, dir_closer> dir{opendir(dir_path)}) {
        while (const dirent *entry = readdir(dir.get())) {
            // Temporary files of a write in progress and anything else that
            // is not a digest's 64 digits are no entries.
            if (!is_hex_name(entry->d_name))
                continue;
            if (count >= REFERRER_SLOTS)
                break;
            memcpy(names.get()[count++], entry->d_name, HEX_BUF);
        }
    }
    qsort(names.get(), count, HEX_BUF, cmp_hex);

    size_t pos = 0;
    (void)append(&pos, INDEX_HEAD, sizeof INDEX_HEAD - 1);
    bool first = true;
    for (size_t i = 0; i < count; ++i)
        append_referrer(name, subject_hex, names.get()[i], filter, scratch.get(), &pos, &first);
    // append keeps room for the tail, so the document always closes.
    memcpy(s_result + pos, INDEX_TAIL, sizeof INDEX_TAIL);
    return s_result;
}
