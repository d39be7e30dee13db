// The manifest endpoint of the registry HTTP API v2, run as a CGI program:
// GET and HEAD fetch, PUT stores and DELETE removes the manifest named by
// /v2/<name>/manifests/<reference>. One process serves one request; every
// failure is answered with the registry error document, and the process
// always exits with status 0.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "reg_storage.h"

namespace {

constexpr const char *DEFAULT_MEDIA_TYPE = "application/vnd.docker.distribution.manifest.v2+json";
// One header line at a time; the digest and Etag lines need 80 bytes at
// most, so their tighter bound never cuts a digest.
constexpr size_t HEADER_BUF = 512;
constexpr size_t DIGEST_LINE_MAX = 128;

void send_digest_lines(const char *digest, bool with_etag) {
    if (digest[0] == '\0') return;
    char line[HEADER_BUF];
    hv_snprintf(line, DIGEST_LINE_MAX, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(line);
    if (with_etag) {
        hv_snprintf(line, DIGEST_LINE_MAX, "Etag: \"%s\"", digest);
        cgi_header_extra(line);
    }
}

int fetch_manifest(const char *name, const char *reference, bool head) {
    char content_type[REG_CONTENT_TYPE_BUF] = {};
    char digest[REG_DIGEST_BUF] = {};
    const char *body = reg_manifest_get(name, reference, content_type, digest);
    if (!body) oci_send_error(404, "MANIFEST_UNKNOWN", "manifest unknown");
    // A stored manifest passed the JSON check, so it holds no NUL byte and
    // its length is that of the text: the bytes the digest was taken over.
    size_t len = strlen(body);

    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    send_digest_lines(digest, true);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Content-Length: %zu", len);
    cgi_header_extra(line);
    cgi_header_ct(content_type[0] != '\0' ? content_type : DEFAULT_MEDIA_TYPE);
    cgi_headers_end();
    if (!head) fwrite(body, 1, len, stdout);
    fflush(stdout);
    return 0;
}

int store_manifest(const char *name, const char *reference) {
    // Refused before anything is allocated or read: no manifest over the
    // store's limit could be stored anyway.
    if (cgi_declared_body_length() > static_cast<int64_t>(REG_MANIFEST_MAX))
        oci_send_error(413, "MANIFEST_INVALID", "manifest too large");

    size_t len = 0;
    char *body = cgi_read_post(&len);
    if (!body || len == 0) {
        free(body);
        oci_send_error(400, "MANIFEST_INVALID", "manifest body cannot be empty");
    }
    const char *content_type = cgi_env("CONTENT_TYPE", cgi_env("HTTP_CONTENT_TYPE", DEFAULT_MEDIA_TYPE));
    char digest[REG_DIGEST_BUF] = {};
    int rc = reg_manifest_put(name, reference, body, len, content_type, digest);
    free(body);
    if (rc != 0) oci_send_error(400, "MANIFEST_INVALID", reg_storage_last_error());

    cgi_header_status(201, "Created");
    cgi_header_extra(OCI_API_VERSION_LINE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Location: /v2/%s/manifests/%s", name, reference);
    cgi_header_extra(line);
    send_digest_lines(digest, false);
    cgi_headers_end();
    fflush(stdout);
    return 0;
}

int delete_manifest(const char *name, const char *reference) {
    if (reg_manifest_delete(name, reference) != 0) oci_send_error(404, "MANIFEST_UNKNOWN", "manifest unknown");
    cgi_header_status(202, "Accepted");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_headers_end();
    fflush(stdout);
    return 0;
}

} // namespace

// Serves one request. A non-empty name and reference given by the caller are
// used as they stand; otherwise both come from PATH_INFO. Returns 0 after a
// reply; an error reply ends the process instead.
int handle_v2_manifest(const char *name, const char *reference) {
    const char *method = cgi_method();
    // Storage first, then the path, then the method: a server whose storage
    // is broken answers every request alike.
    if (oci_init_storage() != 0) oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

    char repo[OCI_NAME_BUF] = {};
    char ref[OCI_REF_BUF] = {};
    if (name && name[0] != '\0' && reference && reference[0] != '\0') {
        hv_strlcpy(repo, name, sizeof repo);
        hv_strlcpy(ref, reference, sizeof ref);
    } else if (!oci_parse_repo_marker(cgi_path_info(), "/manifests/", repo, sizeof repo, ref, sizeof ref)) {
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    }
    if (repo[0] == '\0' || ref[0] == '\0')
        oci_send_error(404, "NAME_UNKNOWN", "repository name or reference missing");

    if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0)
        return fetch_manifest(repo, ref, strcmp(method, "HEAD") == 0);
    if (strcmp(method, "PUT") == 0) return store_manifest(repo, ref);
    if (strcmp(method, "DELETE") == 0) return delete_manifest(repo, ref);
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for manifest endpoint");
}

int main(int, char **) {
    // A server that drops the connection early must not turn into a death by
    // signal: the write fails quietly and the process still exits with 0.
    signal(SIGPIPE, SIG_IGN);
    return handle_v2_manifest(nullptr, nullptr);
}
