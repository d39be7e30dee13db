// API version check of the registry HTTP API v2, run as a CGI program:
// GET and HEAD /v2/ answer 200 with an empty JSON object and the API version
// line, which tells a client that it talks to a registry of version 2. The
// web server also routes here every /v2/ path that no other program serves,
// which gets the registry's own 404 document instead of the server's page.
// The process always exits with status 0.
#include <cstring>
#include <string_view>

#include "hv_cgi.h"
#include "oci_common.h"
#include "oci_request.h"

namespace {

// "/v2" or "/v2/", leading slashes as the other programs take them.
bool is_base_path(std::string_view path)
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return path == "v2" || path == "v2/";
}

} // namespace

static void handle_v2_base(const oci_request &req)
{
    const char *method = req.method;

    // No protocol code names an unknown route; NAME_UNKNOWN would blame a
    // repository that may well exist, so the route is reported unsupported.
    if (!is_base_path(cgi_path_info()))
        oci_send_error(404, "UNSUPPORTED", "unknown registry API route");

    bool head = strcmp(method, "HEAD") == 0;
    if (!head && strcmp(method, "GET") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for API version check");

    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_json();
    cgi_header_extra("Content-Length: 3");
    cgi_headers_end();
    if (!head)
        fputs("{}\n", stdout);
    fflush(stdout);
}

int main(int, char **)
{
    return oci_serve({nullptr, 0, nullptr, nullptr, handle_v2_base});
}
