// The request layer every registry program is built on: it takes requests
// one after another (one under CGI, many under FastCGI), opens the storage,
// splits the path into repository name and reference, hands the request to
// the program's handler and makes sure that nothing of one request reaches
// the next. Handlers reply through hv_cgi's header writers and the registry
// replies of oci_common; an error reply ends the request from wherever it is
// sent (oci_send_error throws oci_request_done), never the process.
#ifndef PROTOCOL_OCI_REQUEST_H
#define PROTOCOL_OCI_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "oci_common.h"

// What the layer hands a handler.
struct oci_request {
    const char *method;
    // The repository name ("" for routes without one) and what follows the
    // route's marker. The reference buffer holds one byte more than any
    // reference may have, so that an over-long one shows instead of being
    // cut to another, shorter name.
    char name[OCI_NAME_BUF];
    char reference[OCI_REF_BUF + 1];
};

// A program's route: the marker that splits its path ("/manifests/"; null
// for the routes without a repository, whose handler reads the path
// itself), the reply to a path that does not split into a valid name, and
// the handler.
struct oci_route {
    const char *marker;
    int bad_path_status;
    const char *bad_path_code;
    const char *bad_path_message;
    void (*handle)(const oci_request &req);
};

// Serves every request this process is given and returns the exit status,
// always 0. A handler that runs out of memory ends the process after its
// reply, so that the FastCGI server starts a fresh one.
int oci_serve(const oci_route &route);

// The request body: POST_BODY_FILE when the server stored the body in a
// file, else standard input, and the length it declares. One length rule
// for every program: the file's size, else CONTENT_LENGTH as a plain
// decimal number of up to 64 bits (absent: 0). A length that is not a
// plain number is answered 400 SIZE_INVALID. The body file is closed when
// the object goes.
class oci_body {
public:
    oci_body();
    ~oci_body();
    oci_body(const oci_body &) = delete;
    oci_body &operator=(const oci_body &) = delete;
    FILE *stream() const { return file_ ? file_ : stdin; }
    uint64_t length() const { return length_; }

private:
    FILE *file_ = nullptr;
    uint64_t length_ = 0;
};

#endif
