// The referrers endpoint of the registry HTTP API (OCI distribution 1.1), run
// as a CGI program: GET /v2/<name>/referrers/<digest>[?artifactType=<type>]
// answers an image index of the descriptors of every manifest in the
// repository whose subject is that digest. A subject or repository nobody
// refers to is an empty index, never 404: clients take 404 to mean that the
// registry has no referrers API and fall back to tag schemes.
#include <csignal>
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "reg_storage.h"

namespace {

constexpr const char *INDEX_MEDIA_TYPE = "application/vnd.oci.image.index.v1+json";
constexpr size_t HEADER_BUF = 128;

// "sha256:" and 64 lowercase hexadecimal digits: the only digests this
// registry stores, so the only subjects a manifest here can name.
bool digest_ok(const char *s) {
    static constexpr char PREFIX[] = "sha256:";
    if (strncmp(s, PREFIX, sizeof PREFIX - 1) != 0) return false;
    const char *hex = s + sizeof PREFIX - 1;
    size_t i = 0;
    for (; hex[i] != '\0'; ++i) {
        bool digit = (hex[i] >= '0' && hex[i] <= '9') || (hex[i] >= 'a' && hex[i] <= 'f');
        if (i >= 64 || !digit) return false;
    }
    return i == 64;
}

} // namespace

// Serves one request; returns 0 after a reply, an error reply ends the
// process instead.
int handle_v2_referrers(void) {
    const char *method = cgi_method();
    if (oci_init_storage() != 0) oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

    char repo[OCI_NAME_BUF] = {};
    char ref[OCI_REF_BUF] = {};
    // A malformed request is 400 here, never 404 (see the top of the file).
    if (!oci_parse_repo_marker(cgi_path_info(), "/referrers/", repo, sizeof repo, ref, sizeof ref))
        oci_send_error(400, "NAME_INVALID", "invalid repository name");
    const bool head = strcmp(method, "HEAD") == 0;
    if (strcmp(method, "GET") != 0 && !head)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for referrers endpoint");
    if (!digest_ok(ref)) oci_send_error(400, "DIGEST_INVALID", "invalid digest");

    const char *artifact_type = cgi_query("artifactType");
    const char *json = reg_referrers_json(repo, ref, artifact_type);
    // The digest was checked above, so a refusal can only be the name.
    if (!json) oci_send_storage_error({"NAME_INVALID", "DIGEST_INVALID", "NAME_UNKNOWN", nullptr, false});
    size_t len = strlen(json);

    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_ct(INDEX_MEDIA_TYPE);
    char line[HEADER_BUF];
    hv_snprintf(line, sizeof line, "Content-Length: %zu", len);
    cgi_header_extra(line);
    // Tells the client it need not filter again itself.
    if (artifact_type[0] != '\0') cgi_header_extra("OCI-Filters-Applied: artifactType");
    cgi_headers_end();
    if (!head) fwrite(json, 1, len, stdout);
    fflush(stdout);
    return 0;
}

int main(int, char **) {
    // A client that hangs up early must not turn into a death by signal.
    signal(SIGPIPE, SIG_IGN);
    return handle_v2_referrers();
}
