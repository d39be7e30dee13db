// The manifest endpoint of the registry HTTP API v2, run as a CGI or FastCGI
// program: GET and HEAD fetch, PUT stores and DELETE removes the manifest
// named by /v2/<name>/manifests/<reference>. Every failure is answered with
// the registry error document; the process always exits with status 0.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <strings.h>
#include <unistd.h>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_headers.h"
#include "oci_request.h"
#include "reg_storage.h"

namespace {

constexpr const char *DEFAULT_MEDIA_TYPE = "application/vnd.docker.distribution.manifest.v2+json";
// One header line at a time: the longest is the Location of a store, a
// whole name and reference. The digest, Etag, subject and tag lines need
// fewer than 160 bytes (a sha512 digest is 135 characters, a tag 255), so
// their tighter bound never cuts one.
constexpr size_t HEADER_BUF = sizeof "Location: /v2/" + OCI_NAME_BUF + sizeof "/manifests/" + OCI_REF_BUF;
constexpr size_t DIGEST_LINE_MAX = sizeof "Docker-Content-Digest: " + REG_DIGEST_BUF;
static_assert(DIGEST_LINE_MAX <= HEADER_BUF);
// Tags one push by digest may point at the manifest (?tag=...): more than
// any client sends, few enough that a request cannot make the store write
// without end.
constexpr size_t TAG_PARAMS_MAX = 100;

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// What a failure is called: a lookup or deletion answers a reference that
// cannot name anything like one that names nothing.
constexpr oci_error_codes STORE_CODES = {"MANIFEST_INVALID", "MANIFEST_INVALID", "MANIFEST_UNKNOWN", "manifest unknown",
                                         false};
constexpr oci_error_codes LOOKUP_CODES = {"MANIFEST_INVALID", "MANIFEST_INVALID", "MANIFEST_UNKNOWN",
                                          "manifest unknown", true};

// The media types under which a client pushes an index of per-platform
// manifests (OCI image index, Docker manifest list).
constexpr const char *INDEX_MEDIA_TYPES[] = {
    "application/vnd.oci.image.index.v1+json",
    "application/vnd.docker.distribution.manifest.list.v2+json",
};

// 1 when the declared content type names an index. Parameters such as
// "; charset=utf-8" and blanks around the type do not count, and media types
// compare without regard to case (RFC 9110).
bool is_index_type(const char *content_type)
{
    const char *start = content_type;
    while (*start == ' ' || *start == '\t')
        ++start;
    size_t len = strcspn(start, ";");
    while (len > 0 && (start[len - 1] == ' ' || start[len - 1] == '\t'))
        --len;
    for (const char *type : INDEX_MEDIA_TYPES) {
        if (strlen(type) == len && strncasecmp(start, type, len) == 0)
            return true;
    }
    return false;
}

void send_digest_lines(const char *digest, bool with_etag)
{
    if (digest[0] == '\0')
        return;
    char line[HEADER_BUF];
    hv_snprintf(line, DIGEST_LINE_MAX, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(line);
    if (with_etag) {
        hv_snprintf(line, DIGEST_LINE_MAX, "Etag: \"%s\"", digest);
        cgi_header_extra(line);
    }
}

// The body is streamed from its file: a manifest may be larger than the
// storage's result buffer, and is served byte for byte as stored.
int fetch_manifest(const char *name, const char *reference, bool head)
{
    char content_type[REG_CONTENT_TYPE_BUF] = {};
    char digest[REG_DIGEST_BUF] = {};
    uint64_t len = 0;
    fd_closer body{reg_manifest_open(name, reference, content_type, digest, &len)};
    if (body.fd < 0)
        oci_send_storage_error(LOOKUP_CODES);

    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    send_digest_lines(digest, true);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Content-Length: %llu", static_cast<unsigned long long>(len));
    cgi_header_extra(line);
    // The media type is the pushing client's word: one stored before types
    // were checked (or written by hand) must not become header lines of its
    // own, and a browser must not run what a type makes of the body.
    cgi_header_ct(oci_media_type_valid(content_type) ? content_type : DEFAULT_MEDIA_TYPE);
    cgi_header_extra(OCI_SANDBOX_LINE);
    cgi_headers_end();
    // Once the header lines are out nothing else can be said: a read that
    // fails now leaves the reply short of its Content-Length, which the
    // client sees as a broken transfer.
    if (!head)
        (void)reg_manifest_send_file(body.fd, len, stdout);
    fflush(stdout);
    return 0;
}

// The ?tag= parameters of a push by digest, each checked by the storage as
// a tag reference is.
std::vector<const char *> tag_params(std::vector<std::string> *keep)
{
    for (size_t i = 0;; ++i) {
        const char *tag = cgi_query_nth("tag", i);
        if (!tag)
            break;
        if (i == TAG_PARAMS_MAX)
            oci_send_error(400, "MANIFEST_INVALID", "too many tag parameters");
        keep->emplace_back(tag);
    }
    std::vector<const char *> tags;
    for (const std::string &t : *keep)
        tags.push_back(t.c_str());
    return tags;
}

int store_manifest(const char *name, const char *reference)
{
    // Refused before anything is allocated or read: no manifest over the
    // store's limit could be stored anyway.
    oci_body input;
    if (input.length() > REG_MANIFEST_MAX)
        oci_send_error(413, "MANIFEST_INVALID", "manifest too large");
    if (input.length() == 0)
        oci_send_error(400, "MANIFEST_INVALID", "manifest body cannot be empty");
    std::unique_ptr<char[]> body(new char[input.length()]);
    size_t len = fread(body.get(), 1, input.length(), input.stream());
    if (len != input.length())
        oci_send_error(400, "SIZE_INVALID", "request body ended early");
    const char *content_type = cgi_env("CONTENT_TYPE", cgi_env("HTTP_CONTENT_TYPE", DEFAULT_MEDIA_TYPE));
    // The type is served back on every GET: a malformed one could carry a
    // line end into the reply's header lines or pass for a type a browser
    // renders, so nothing is stored under it.
    if (!oci_media_type_valid(content_type))
        oci_send_error(400, "MANIFEST_INVALID", "invalid manifest media type");
    char digest[REG_DIGEST_BUF] = {};
    std::vector<std::string> kept_tags;
    const std::vector<const char *> tags = tag_params(&kept_tags);
    // The declared type picks the rule the body is checked by; an index sent
    // as an image manifest is refused by the image manifest's rule.
    const bool index = is_index_type(content_type);
    int rc = !tags.empty() ? reg_manifest_put_tags(index, name, reference, tags.data(), tags.size(), body.get(), len,
                                                   content_type, digest)
             : index       ? reg_manifest_put_index(name, reference, body.get(), len, content_type, digest)
                           : reg_manifest_put(name, reference, body.get(), len, content_type, digest);
    body.reset();
    if (rc != 0)
        oci_send_storage_error(STORE_CODES);
    // A client learns from OCI-Subject that this registry indexes referrers,
    // whether or not the subject itself is stored.
    char subject[REG_DIGEST_BUF] = {};
    bool has_subject = reg_manifest_subject(name, digest, subject) == 1;

    cgi_header_status(201, "Created");
    cgi_header_extra(OCI_API_VERSION_LINE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Location: /v2/%s/manifests/%s", name, reference);
    cgi_header_extra(line);
    send_digest_lines(digest, false);
    if (has_subject) {
        hv_snprintf(line, DIGEST_LINE_MAX, "OCI-Subject: %s", subject);
        cgi_header_extra(line);
    }
    // One line per tag the push pointed at the manifest, as asked.
    for (const char *tag : tags) {
        hv_snprintf(line, sizeof line, "OCI-Tag: %s", tag);
        cgi_header_extra(line);
    }
    cgi_headers_end();
    fflush(stdout);
    return 0;
}

// A DELETE by digest removes the manifest with every tag naming it, so that a
// 202 means it is gone (clients such as skopeo delete a tag by its digest);
// a DELETE by tag removes that tag, and the manifest with its last tag.
int delete_manifest(const char *name, const char *reference)
{
    const bool by_digest = reg_reference_is_digest(reference);
    const int rc = by_digest ? reg_manifest_delete_digest(name, reference) : reg_manifest_delete(name, reference);
    if (rc != 0)
        oci_send_storage_error(LOOKUP_CODES);
    cgi_header_status(202, "Accepted");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_headers_end();
    fflush(stdout);
    return 0;
}

void handle_v2_manifest(const oci_request &req)
{
    const char *method = req.method;
    if (req.reference[0] == '\0')
        oci_send_error(404, "NAME_UNKNOWN", "repository name or reference missing");
    // No manifest is stored under a reference this long: a lookup finds
    // nothing, and a store is refused rather than filed under the cut name.
    if (strlen(req.reference) >= OCI_REF_BUF) {
        if (strcmp(method, "PUT") == 0)
            oci_send_error(400, "MANIFEST_INVALID", "reference too long");
        if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0 || strcmp(method, "DELETE") == 0)
            oci_send_error(404, "MANIFEST_UNKNOWN", "manifest unknown");
    }

    if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0)
        fetch_manifest(req.name, req.reference, strcmp(method, "HEAD") == 0);
    else if (strcmp(method, "PUT") == 0)
        store_manifest(req.name, req.reference);
    else if (strcmp(method, "DELETE") == 0)
        delete_manifest(req.name, req.reference);
    else
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for manifest endpoint");
}

} // namespace

int main(int, char **)
{
    return oci_serve({"/manifests/", 404, "NAME_UNKNOWN", "repository name not known", handle_v2_manifest});
}
