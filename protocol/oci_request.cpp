// The request loop shared by the registry programs (see oci_request.h).
#include "oci_request.h"

#include <csignal>
#include <cstring>
#include <new>

#include <sys/stat.h>

#include "hv_cgi.h"
#include "oci_access.h"
#include "oci_headers.h"
#include "reg_storage.h"

namespace {

// A name with a reserved component creates nothing, but a repository stored
// under it before the rule stays readable and deletable. A name that is
// another name's path (a "." component) is refused outright, so that no
// rule on a repository can be got round by spelling its name differently.
bool name_usable(const oci_request &req)
{
    switch (oci_repo_name_shape(req.name)) {
    case OCI_NAME_PLAIN:
        return true;
    case OCI_NAME_ALIAS:
        return false;
    case OCI_NAME_RESERVED:
        break;
    }
    const bool keeps =
        strcmp(req.method, "GET") == 0 || strcmp(req.method, "HEAD") == 0 || strcmp(req.method, "DELETE") == 0;
    return keeps && reg_repo_exists(req.name) == 1;
}

// The prologue every route shares, in the order every program answers it:
// storage first (a broken storage answers every request alike), then the
// path, then the user's right to the repository it names.
void serve_one(const oci_route &route)
{
    oci_request req{};
    req.method = cgi_method();
    if (oci_init_storage() != 0)
        oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");
    // Another spelling of a path reaches no route: answered as the server
    // answers a path outside /v2/, naming nothing.
    if (!oci_request_target_ok(cgi_env("REQUEST_URI", nullptr), cgi_path_info()))
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    if (route.marker && !oci_parse_repo_marker(cgi_path_info(), route.marker, req.name, sizeof req.name, req.reference,
                                               sizeof req.reference))
        oci_send_error(route.bad_path_status, route.bad_path_code, route.bad_path_message);
    // Rights first: whether a reserved name is stored must not show to a
    // client that may not see the repository.
    oci_access_check(req.method, req.name);
    if (route.marker && !name_usable(req))
        oci_send_error(400, "NAME_INVALID", "invalid repository name");
    route.handle(req);
}

} // namespace

int oci_serve(const oci_route &route)
{
    // A client that hangs up must not turn into a death by signal: the
    // write fails quietly and the process goes on (or exits with 0).
    signal(SIGPIPE, SIG_IGN);
    while (cgi_accept()) {
        bool out_of_memory = false;
        try {
            serve_one(route);
        } catch (const oci_request_done &) {
        } catch (const std::bad_alloc &) {
            out_of_memory = true;
        }
        out_of_memory = out_of_memory || reg_storage_last_error_kind() == REG_ERR_NO_MEMORY;
        cgi_finish();
        // Nothing of this request may reach the next: the library's error
        // record and result text are the request's own.
        reg_storage_end_request();
        if (out_of_memory)
            break;
    }
    return 0;
}

oci_body::oci_body()
{
    const char *path = cgi_env("POST_BODY_FILE", nullptr);
    if (path[0] != '\0') {
        file_ = fopen(path, "rb");
        struct stat st;
        if (file_ && fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
            length_ = static_cast<uint64_t>(st.st_size);
            return;
        }
        if (file_)
            fclose(file_);
        file_ = nullptr;
    }
    const char *text = cgi_env("CONTENT_LENGTH", nullptr);
    if (text[0] != '\0' && !oci_parse_content_length(text, &length_))
        oci_send_error(400, "SIZE_INVALID", "invalid Content-Length");
}

oci_body::~oci_body()
{
    if (file_)
        fclose(file_);
}
