// Catalog of the registry HTTP API v2, run as a CGI program: GET (and HEAD)
// /v2/_catalog[?n=<int>&last=<name>] lists the full name of every
// repository (library/app, not library) that the request's user may pull,
// in byte order, a page at a time, paged like the tag list: "last"
// exclusive, "n" the page size, a Link header naming the next page when
// names were left out. One process serves one request; the process always
// exits with status 0.
#include <cstring>
#include <string_view>

#include "hv_cgi.h"
#include "oci_access.h"
#include "oci_common.h"
#include "oci_request.h"
#include "reg_storage.h"
#include "v2_paging.h"

namespace {

// The path with or without its "/v2" prefix and one trailing slash, as the
// other programs take theirs.
bool is_catalog_path(std::string_view path)
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    if (path.starts_with("v2/"))
        path.remove_prefix(3);
    return path == "_catalog" || path == "_catalog/";
}

// A repository the user may not pull is not listed at all: the storage
// skips it while it pages, so that n counts and the Link names visible
// repositories only.
int visible_to_user(const char *name, void *)
{
    return oci_access_allowed(name, OCI_ACTION_PULL);
}

} // namespace

static void handle_v2_catalog(const oci_request &req)
{
    const char *method = req.method;

    if (!is_catalog_path(cgi_path_info()))
        oci_send_error(404, "UNSUPPORTED", "unknown registry API route");

    bool head = strcmp(method, "HEAD") == 0;
    if (!head && strcmp(method, "GET") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for catalog endpoint");

    int n = PAGING_ALL;
    if (!paging_parse_n(cgi_query("n"), &n))
        oci_send_error(400, "UNSUPPORTED", "invalid number of results requested");

    char next_last[REG_LIST_NAME_BUF] = {};
    const char *doc =
        reg_catalog_page_filtered_json(n, cgi_query("last"), visible_to_user, nullptr, next_last, sizeof next_last);
    if (!doc)
        oci_send_error(500, "STORAGE_ERROR", reg_storage_last_error());
    paging_send(doc, "/v2/_catalog", cgi_query("n")[0] != '\0' ? n : PAGING_ALL, next_last, head);
}

int main(int, char **)
{
    return oci_serve({nullptr, 0, nullptr, nullptr, handle_v2_catalog});
}
