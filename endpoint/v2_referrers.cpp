// The referrers endpoint of the registry HTTP API (OCI distribution 1.1), run
// as a CGI program: GET /v2/<name>/referrers/<digest>[?artifactType=<type>]
// answers an image index of the descriptors of every manifest in the
// repository whose subject is that digest. A subject or repository nobody
// refers to is an empty index, never 404: clients take 404 to mean that the
// registry has no referrers API and fall back to tag schemes.
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_request.h"
#include "reg_storage.h"

namespace {

constexpr const char *INDEX_MEDIA_TYPE = "application/vnd.oci.image.index.v1+json";
constexpr size_t HEADER_BUF = 128;

// "sha256:" and 64 lowercase hexadecimal digits: the only digests this
// registry stores, so the only subjects a manifest here can name.
bool digest_ok(const char *s)
{
    static constexpr char PREFIX[] = "sha256:";
    if (strncmp(s, PREFIX, sizeof PREFIX - 1) != 0)
        return false;
    const char *hex = s + sizeof PREFIX - 1;
    size_t i = 0;
    for (; hex[i] != '\0'; ++i) {
        bool digit = (hex[i] >= '0' && hex[i] <= '9') || (hex[i] >= 'a' && hex[i] <= 'f');
        if (i >= 64 || !digit)
            return false;
    }
    return i == 64;
}

void handle_v2_referrers(const oci_request &req)
{
    const char *method = req.method;
    const char *repo = req.name;
    const char *ref = req.reference;
    const bool head = strcmp(method, "HEAD") == 0;
    if (strcmp(method, "GET") != 0 && !head)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for referrers endpoint");
    if (!digest_ok(ref))
        oci_send_error(400, "DIGEST_INVALID", "invalid digest");

    const char *artifact_type = cgi_query("artifactType");
    const char *json = reg_referrers_json(repo, ref, artifact_type);
    // The digest was checked above, so a refusal can only be the name.
    if (!json)
        oci_send_storage_error({"NAME_INVALID", "DIGEST_INVALID", "NAME_UNKNOWN", nullptr, false});
    size_t len = strlen(json);

    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_ct(INDEX_MEDIA_TYPE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Content-Length: %zu", len);
    cgi_header_extra(line);
    // Tells the client it need not filter again itself.
    if (artifact_type[0] != '\0')
        cgi_header_extra("OCI-Filters-Applied: artifactType");
    cgi_headers_end();
    if (!head)
        fwrite(json, 1, len, stdout);
    fflush(stdout);
}

} // namespace

int main(int, char **)
{
    // A malformed request is 400 here, never 404 (see the top of the file).
    return oci_serve({"/referrers/", 400, "NAME_INVALID", "invalid repository name", handle_v2_referrers});
}
