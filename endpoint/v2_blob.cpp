// The blob endpoint of the registry HTTP API v2, run as a CGI or FastCGI
// program: GET and HEAD of /v2/<name>/blobs/<digest>, with single byte
// ranges, and DELETE. A blob's bytes are stored once and shared, but a
// repository serves only the blobs it holds (finished an upload of, or
// mounted); DELETE gives up this repository's hold and leaves every other
// holder's alone. The bytes stay until garbage collection finds no holder.
//
// The body goes out in fixed-size pieces. When the web server runs with
// X-Sendfile (REGISTRY_X_SENDFILE=1 in the CGI environment, see
// scripts/lighttpd.conf.in), a GET answers with the blob's path instead and
// the server sends the file itself. Every failure is answered with the
// registry error document; the process always exits with status 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_headers.h"
#include "oci_request.h"
#include "reg_storage.h"

namespace {

// Header lines: "X-Sendfile: " and a storage path of at most 4095 bytes fit.
constexpr size_t HEADER_BUF = 4200;
constexpr size_t PATH_BUF = 4096;

// What every reply about a blob carries after the API version line.
void send_blob_headers(const char *digest)
{
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(line);
    hv_snprintf(line, sizeof line, "Etag: \"%s\"", digest);
    cgi_header_extra(line);
    cgi_header_extra("Accept-Ranges: bytes");
}

void send_common_headers(const char *digest)
{
    cgi_header_extra(OCI_API_VERSION_LINE);
    send_blob_headers(digest);
}

bool x_sendfile_enabled()
{
    return strcmp(cgi_env("REGISTRY_X_SENDFILE", ""), "1") == 0;
}

// 416: the range selects no byte. The error document rides along, so its
// header lines are written here with the Content-Range the client needs.
[[noreturn]] void send_unsatisfiable(const char *digest, uint64_t size)
{
    oci_error_begin(416);
    send_blob_headers(digest);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Content-Range: bytes */%llu", static_cast<unsigned long long>(size));
    cgi_header_extra(line);
    oci_error_end("SIZE_INVALID", "requested range not satisfiable");
}

constexpr oci_error_codes BLOB_CODES = {"NAME_INVALID", "DIGEST_INVALID", "BLOB_UNKNOWN", "blob unknown to registry",
                                        false};

// A digest the store cannot hold is the client's mistake (400) before the
// repository is asked about it; the name has passed the request layer.
void check_digest(const char *digest)
{
    if (!reg_digest_valid(digest))
        oci_send_error(400, "DIGEST_INVALID", "invalid digest");
}

int fetch_blob(const char *name, const char *digest, bool head)
{
    check_digest(digest);
    int held = reg_repo_blob_held(name, digest);
    if (held < 0)
        oci_send_storage_error(BLOB_CODES);
    int64_t size = held ? reg_blob_get_size(digest) : -1;
    if (size < 0)
        oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");

    const uint64_t total = static_cast<uint64_t>(size);
    uint64_t first = 0, last = 0;
    int range = oci_parse_range(cgi_env("HTTP_RANGE", ""), total, &first, &last);
    if (range == OCI_RANGE_UNSATISFIABLE)
        send_unsatisfiable(digest, total);
    const bool partial = range == OCI_RANGE_SATISFIABLE;
    if (!partial) {
        first = 0;
        last = total > 0 ? total - 1 : 0;
    }
    const uint64_t len = total > 0 ? last - first + 1 : 0;

    // Only a GET without any Range header is handed to the server. lighttpd
    // would apply a Range to an X-Sendfile reply by its own rules: a 416
    // without Content-Range or error document, multipart replies for several
    // ranges, its own reading of odd forms. Answering every Range here keeps
    // one behaviour whether X-Sendfile is on or off.
    char path[PATH_BUF] = {};
    const bool sendfile = !head && cgi_env("HTTP_RANGE", "")[0] == '\0' && x_sendfile_enabled() &&
                          reg_blob_get_filepath(digest, path, sizeof path) == 0;

    if (partial)
        cgi_header_status(206, "Partial Content");
    else
        cgi_header_status(200, "OK");
    send_common_headers(digest);
    char line[HEADER_BUF];
    if (partial) {
        hv_snprintf(line, sizeof line, "Content-Range: bytes %llu-%llu/%llu", static_cast<unsigned long long>(first),
                    static_cast<unsigned long long>(last), static_cast<unsigned long long>(total));
        cgi_header_extra(line);
    }
    hv_snprintf(line, sizeof line, "Content-Length: %llu", static_cast<unsigned long long>(len));
    cgi_header_extra(line);
    cgi_header_ct("application/octet-stream");
    if (sendfile) {
        hv_snprintf(line, sizeof line, "X-Sendfile: %s", path);
        cgi_header_extra(line);
    }
    cgi_headers_end();
    fflush(stdout);
    // A failure midway cannot be reported any more (the status is out); the
    // server sees a body shorter than Content-Length and drops the
    // connection, which is all a client can be told.
    if (!head && !sendfile && len > 0)
        reg_blob_send_range_file(digest, first, len, stdout);
    fflush(stdout);
    return 0;
}

// 202 as the protocol has it: the repository no longer serves the blob,
// while the bytes wait for garbage collection.
void delete_blob(const char *name, const char *digest)
{
    check_digest(digest);
    if (reg_repo_blob_unlink(name, digest) != 0)
        oci_send_storage_error(BLOB_CODES);
    cgi_header_status(202, "Accepted");
    cgi_header_extra(OCI_API_VERSION_LINE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(line);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
}

void handle_v2_blob(const oci_request &req)
{
    if (req.reference[0] == '\0')
        oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
    if (strcmp(req.method, "GET") == 0 || strcmp(req.method, "HEAD") == 0) {
        fetch_blob(req.name, req.reference, strcmp(req.method, "HEAD") == 0);
        return;
    }
    if (strcmp(req.method, "DELETE") == 0) {
        delete_blob(req.name, req.reference);
        return;
    }
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for blob endpoint");
}

} // namespace

int main(int, char **)
{
    return oci_serve({"/blobs/", 404, "NAME_UNKNOWN", "repository name not known", handle_v2_blob});
}
