// The blob upload endpoint of the registry HTTP API v2, run as a CGI
// program, for /v2/<name>/blobs/uploads/[<uuid>]:
//   POST                     start an upload (202), or with ?digest= store a
//                            blob in one request (201), or with
//                            ?mount=&from= link a blob that repository
//                            "from" holds (201; 202 and a new upload when
//                            it holds none, or the client may not pull it)
//   PATCH <uuid>             append a chunk (202); with Content-Range the
//                            chunk must start where the upload ends (416)
//   PUT <uuid>?digest=       append an optional last chunk and commit (201)
//   GET <uuid>               the upload's progress (204)
//   DELETE <uuid>            cancel (204)
// Request bodies are copied from standard input (or POST_BODY_FILE) in
// fixed-size pieces, so a layer of any size needs constant memory, and a
// body shorter than its declared length is never taken as a chunk. An
// upload belongs to the repository that started it: through any other name
// it is unknown (404) and stays untouched. A finished blob is linked into
// the repository, which then serves it. Every
// failure is answered with the registry error document; the process always
// exits with status 0.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hv_cgi.h"
#include "oci_access.h"
#include "oci_common.h"
#include "oci_headers.h"
#include "oci_request.h"
#include "reg_storage.h"

namespace {

// A Location line holds a name (255) and a uuid or digest (71).
constexpr size_t HEADER_BUF = 512;
constexpr size_t ERROR_BUF = 1024;

void range_line(char *line, size_t size, int64_t upload_size)
{
    // The registry API's progress header: the inclusive range of bytes held,
    // "0-0" for an upload that holds none yet.
    unsigned long long last = upload_size > 0 ? static_cast<unsigned long long>(upload_size - 1) : 0;
    hv_snprintf(line, size, "Range: 0-%llu", last);
}

void send_upload_headers(const char *name, const char *uuid, int64_t upload_size)
{
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Location: /v2/%s/blobs/uploads/%s", name, uuid);
    cgi_header_extra(line);
    range_line(line, sizeof line, upload_size);
    cgi_header_extra(line);
    hv_snprintf(line, sizeof line, "Docker-Upload-UUID: %s", uuid);
    cgi_header_extra(line);
}

// An error about an open upload carries the upload's URL and progress, so
// the client can resume from the right offset (a 416 needs them most).
[[noreturn]] void send_upload_error(int status, const char *code, const char *message, const char *name,
                                    const char *uuid, int64_t upload_size)
{
    oci_error_begin(status);
    send_upload_headers(name, uuid, upload_size);
    oci_error_end(code, message);
}

void send_upload_progress(int status, const char *reason, const char *name, const char *uuid, int64_t upload_size)
{
    cgi_header_status(status, reason);
    cgi_header_extra(OCI_API_VERSION_LINE);
    send_upload_headers(name, uuid, upload_size);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
}

void send_blob_created(const char *name, const char *digest)
{
    cgi_header_status(201, "Created");
    cgi_header_extra(OCI_API_VERSION_LINE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Location: /v2/%s/blobs/%s", name, digest);
    cgi_header_extra(line);
    hv_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(line);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
}

// The codes of this endpoint's failures (the table of oci_error_for_kind
// picks the status).
constexpr oci_error_codes UPLOAD_CODES = {"BLOB_UPLOAD_INVALID", "DIGEST_INVALID", "BLOB_UPLOAD_UNKNOWN",
                                          "blob upload unknown to registry", true};

// Answers the library's last failure about an open upload: a refusal that
// the client can recover from (a range elsewhere than the upload's end, a
// body cut short) carries the upload's URL and size, so it can resume.
[[noreturn]] void send_append_failure(const char *name, const char *uuid, int64_t upload_size)
{
    oci_error_reply reply = oci_error_for_kind(reg_storage_last_error_kind(), UPLOAD_CODES);
    if (upload_size >= 0 && (reply.status == 416 || reply.status == 400))
        send_upload_error(reply.status, reply.code, reg_storage_last_error(), name, uuid, upload_size);
    oci_send_storage_error(UPLOAD_CODES);
}

// A Content-Range that names no usable chunk: 416 with the upload's
// progress, so the client can resume (404 when there is no upload).
[[noreturn]] void refuse_range(const char *name, const char *uuid, const char *message)
{
    int64_t size = reg_blob_upload_size(uuid);
    if (size < 0)
        oci_send_storage_error(UPLOAD_CODES);
    send_upload_error(416, "BLOB_UPLOAD_INVALID", message, name, uuid, size);
}

// Where a chunk must start: the first byte its Content-Range names, or -1
// (wherever the upload ends) when the request has none. The range must
// name exactly the body's bytes; whether it starts at the upload's end is
// for the append to check under the upload's lock.
int64_t chunk_start(const char *name, const char *uuid, uint64_t body_len)
{
    const char *text = cgi_env("HTTP_CONTENT_RANGE", "");
    if (text[0] == '\0')
        return -1;
    uint64_t start = 0, end = 0;
    if (!oci_parse_content_range(text, &start, &end) || start > static_cast<uint64_t>(INT64_MAX))
        refuse_range(name, uuid, "invalid Content-Range");
    if (end - start + 1 != body_len)
        refuse_range(name, uuid, "Content-Range does not match the body length");
    return static_cast<int64_t>(start);
}

// Appends the whole body or nothing and returns the upload's new size. A
// body shorter than declared (a client that lied or hung up) is a 400 and
// leaves the upload as it was.
int64_t append_body(const char *name, const char *uuid, const oci_body &body)
{
    const int64_t at = chunk_start(name, uuid, body.length());
    int64_t size = -1;
    if (reg_blob_append_file(uuid, body.stream(), body.length(), at, nullptr, &size) != 0)
        send_append_failure(name, uuid, size);
    return size;
}

// Copies a query parameter out of the gateway's rotating slots.
void query_copy(const char *key, char *out, size_t size)
{
    hv_strlcpy(out, cgi_query(key), size);
}

// A mounted blob becomes the repository's. A failure leaves it unheld: the
// client is told and uploads instead.
void hold_blob(const char *name, const char *digest)
{
    if (reg_repo_blob_link(name, digest) != 0)
        oci_send_storage_error(UPLOAD_CODES);
}

// Every request about an open upload starts here: through another
// repository's name the upload does not exist.
void require_owner(const char *name, const char *uuid)
{
    int owned = reg_blob_upload_owned(uuid, name);
    if (owned < 0)
        oci_send_storage_error(UPLOAD_CODES);
    if (owned == 0)
        oci_send_error(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
}

int start_upload(const char *name)
{
    char uuid[REG_UUID_BUF] = {};
    if (reg_blob_start_repo_upload(name, uuid) != 0)
        oci_send_storage_error(UPLOAD_CODES);
    send_upload_progress(202, "Accepted", name, uuid, 0);
    return 0;
}

// POST ?digest=: the whole blob in one request, through a private upload
// that never outlives the request.
int monolithic_upload(const char *name, const char *digest)
{
    if (!reg_digest_valid(digest))
        oci_send_error(400, "DIGEST_INVALID", "invalid digest");
    oci_body body;
    char uuid[REG_UUID_BUF] = {};
    if (reg_blob_start_repo_upload(name, uuid) != 0)
        oci_send_storage_error(UPLOAD_CODES);

    char stored[REG_DIGEST_BUF] = {};
    if (reg_blob_append_file(uuid, body.stream(), body.length(), -1, nullptr, nullptr) != 0 ||
        reg_blob_finish_repo_upload(name, uuid, digest, stored) != 0) {
        // The cancel must not replace the failure being answered.
        reg_error_kind kind = reg_storage_last_error_kind();
        char msg[ERROR_BUF];
        hv_strlcpy(msg, reg_storage_last_error(), sizeof msg);
        reg_blob_cancel_upload(uuid);
        oci_error_reply reply = oci_error_for_kind(kind, UPLOAD_CODES);
        oci_send_error(reply.status, reply.code, reply.message ? reply.message : msg);
    }
    send_blob_created(name, stored);
    return 0;
}

// A mount links a blob that "from" holds. Whether the bytes are stored
// somewhere else must not show: a "from" that holds nothing, that names no
// valid repository, or that the client may not pull is no mount, and the
// client uploads instead, as the protocol allows.
bool mount_blob(const char *name, const char *mount, const char *from)
{
    if (mount[0] == '\0')
        return false;
    bool held = reg_repo_blob_held(name, mount) == 1;
    if (!held && oci_valid_repo_name(from) && oci_repo_name_shape(from) != OCI_NAME_ALIAS &&
        oci_access_allowed(from, OCI_ACTION_PULL))
        held = reg_repo_blob_held(from, mount) == 1;
    if (!held)
        return false;
    hold_blob(name, mount);
    send_blob_created(name, mount);
    return true;
}

int post_upload(const char *name)
{
    char mount[OCI_REF_BUF], from[OCI_NAME_BUF], digest[OCI_REF_BUF];
    query_copy("mount", mount, sizeof mount);
    query_copy("from", from, sizeof from);
    query_copy("digest", digest, sizeof digest);
    if (mount_blob(name, mount, from))
        return 0;
    if (digest[0] != '\0')
        return monolithic_upload(name, digest);
    return start_upload(name);
}

int patch_upload(const char *name, const char *uuid)
{
    oci_body body;
    int64_t now = append_body(name, uuid, body);
    send_upload_progress(202, "Accepted", name, uuid, now);
    return 0;
}

int put_upload(const char *name, const char *uuid)
{
    char digest[OCI_REF_BUF];
    query_copy("digest", digest, sizeof digest);
    if (digest[0] == '\0')
        oci_send_error(400, "DIGEST_INVALID", "digest missing");
    if (!reg_digest_valid(digest))
        oci_send_error(400, "DIGEST_INVALID", "invalid digest");

    oci_body body;
    if (body.length() > 0)
        append_body(name, uuid, body);
    char stored[REG_DIGEST_BUF] = {};
    // A mismatch spends the upload (the library removes it); the client has
    // to upload again.
    if (reg_blob_finish_repo_upload(name, uuid, digest, stored) != 0)
        oci_send_storage_error(UPLOAD_CODES);
    send_blob_created(name, stored);
    return 0;
}

int upload_status(const char *name, const char *uuid)
{
    int64_t size = reg_blob_upload_size(uuid);
    if (size < 0)
        oci_send_storage_error(UPLOAD_CODES);
    send_upload_progress(204, "No Content", name, uuid, size);
    return 0;
}

int cancel_upload(const char *uuid)
{
    // Cancelling nothing is no failure for the library, but it is for the
    // client that named an upload.
    if (reg_blob_upload_size(uuid) < 0 || reg_blob_cancel_upload(uuid) != 0)
        oci_send_storage_error(UPLOAD_CODES);
    cgi_header_status(204, "No Content");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
    return 0;
}

void handle_v2_upload(const oci_request &req)
{
    const char *method = req.method;
    const char *repo = req.name;
    const char *ref = req.reference;
    const bool post = strcmp(method, "POST") == 0;
    const bool patch = strcmp(method, "PATCH") == 0;
    const bool put = strcmp(method, "PUT") == 0;
    const bool get = strcmp(method, "GET") == 0;
    const bool del = strcmp(method, "DELETE") == 0;
    if (post && ref[0] == '\0') {
        post_upload(repo);
        return;
    }
    if (post || !(patch || put || get || del))
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for blob upload endpoint");

    if (ref[0] == '\0')
        oci_send_error(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    require_owner(repo, ref);
    if (patch)
        patch_upload(repo, ref);
    else if (put)
        put_upload(repo, ref);
    else if (get)
        upload_status(repo, ref);
    else
        cancel_upload(ref);
}

} // namespace

int main(int, char **)
{
    return oci_serve({"/blobs/uploads/", 404, "NAME_UNKNOWN", "repository name not known", handle_v2_upload});
}
