// Tag listing of the registry HTTP API v2, run as a CGI program: GET (and
// HEAD) /v2/<name>/tags/list[?n=<int>&last=<tag>] answers every tag of an
// existing repository in byte order, a page at a time. "last" is exclusive,
// "n" limits the page (n=0: an empty list), and a page that leaves tags out
// carries a Link header naming the next one. One process serves one
// request; the process always exits with status 0.
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_request.h"
#include "reg_storage.h"
#include "v2_paging.h"

namespace {

// "/v2/" + name + "/tags/list" and the NUL.
constexpr size_t TAGS_PATH_BUF = OCI_NAME_BUF + 16;

} // namespace

static void handle_v2_tags(const oci_request &req)
{
    const char *method = req.method;

    const char *repo = req.name;
    if (req.reference[0] != '\0')
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");

    bool head = strcmp(method, "HEAD") == 0;
    if (!head && strcmp(method, "GET") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for tag list endpoint");

    // No code of the protocol names a bad page size; UNSUPPORTED (a request
    // the registry cannot serve) with 400 tells the client its query is at
    // fault.
    int n = PAGING_ALL;
    if (!paging_parse_n(cgi_query("n"), &n))
        oci_send_error(400, "UNSUPPORTED", "invalid number of results requested");

    if (reg_repo_exists(repo) != 1)
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");

    char next_last[REG_LIST_NAME_BUF] = {};
    const char *doc = reg_tags_page_json(repo, n, cgi_query("last"), next_last, sizeof next_last);
    if (!doc)
        oci_send_error(500, "STORAGE_ERROR", reg_storage_last_error());

    char path[TAGS_PATH_BUF];
    hv_snprintf(path, sizeof path, "/v2/%s/tags/list", repo);
    paging_send(doc, path, cgi_query("n")[0] != '\0' ? n : PAGING_ALL, next_last, head);
}

int main(int, char **)
{
    return oci_serve({"/tags/list", 404, "NAME_UNKNOWN", "repository name not known", handle_v2_tags});
}
