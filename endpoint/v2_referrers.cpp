// The referrers endpoint of the registry HTTP API (OCI distribution 1.1), run
// as a CGI program: GET /v2/<name>/referrers/<digest>[?artifactType=<type>]
// answers an image index of the descriptors of every manifest in the
// repository whose subject is that digest. A subject or repository nobody
// refers to is an empty index, never 404: clients take 404 to mean that the
// registry has no referrers API and fall back to tag schemes.
//
// The listing is paged like the tag list: each page is a whole index of at
// most REG_REFERRERS_PAGE_MAX bytes, "last" (a digest, exclusive) and "n"
// choose where it starts and how many it holds, and a page that leaves
// referrers out carries a Link header to the next one, the filter kept.
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_request.h"
#include "reg_storage.h"
#include "v2_paging.h"

namespace {

constexpr const char *INDEX_MEDIA_TYPE = "application/vnd.oci.image.index.v1+json";
constexpr size_t HEADER_BUF = 128;
// "/v2/" + name + "/referrers/" + digest and the NUL.
constexpr size_t REFERRERS_PATH_BUF = OCI_NAME_BUF + sizeof "/v2//referrers/" + REG_DIGEST_BUF;

void handle_v2_referrers(const oci_request &req)
{
    const char *method = req.method;
    const char *repo = req.name;
    const char *ref = req.reference;
    const bool head = strcmp(method, "HEAD") == 0;
    if (strcmp(method, "GET") != 0 && !head)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for referrers endpoint");
    // The storage library judges a digest's form, as for the blob routes.
    if (!reg_digest_valid(ref))
        oci_send_error(400, "DIGEST_INVALID", "invalid digest");

    const char *artifact_type = cgi_query("artifactType");
    const char *n_text = cgi_query("n");
    const char *last = cgi_query("last");
    // A bad page size is refused as the tag list refuses it.
    int n = PAGING_ALL;
    if (!paging_parse_n(n_text, &n))
        oci_send_error(400, "UNSUPPORTED", "invalid number of results requested");
    if (last[0] != '\0' && !reg_digest_valid(last))
        oci_send_error(400, "DIGEST_INVALID", "invalid last digest");

    char next_last[REG_DIGEST_BUF] = {};
    const char *json = reg_referrers_page_json(repo, ref, artifact_type, n, last, next_last, sizeof next_last);
    // The digests were checked above, so a refusal can only be the name.
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
    char path[REFERRERS_PATH_BUF];
    hv_snprintf(path, sizeof path, "/v2/%s/referrers/%s", repo, ref);
    paging_link_header(path, n_text[0] != '\0' ? n : PAGING_ALL, next_last, {"artifactType", artifact_type});
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
