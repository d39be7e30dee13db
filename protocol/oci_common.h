// Registry protocol layer shared by the registry CGI programs: the registry
// error document and JSON replies, the protocol's repository-name rule, the
// split of a request path into repository name and reference, and the
// discovery of the storage root.
#ifndef PROTOCOL_OCI_COMMON_H
#define PROTOCOL_OCI_COMMON_H

#include <cstddef>

#include "reg_storage.h"

// Buffers for a repository name and a reference: 255 characters and the NUL.
constexpr size_t OCI_NAME_BUF = 256;
constexpr size_t OCI_REF_BUF = 256;
// The header line every registry reply carries.
constexpr const char *OCI_API_VERSION_LINE = "Docker-Distribution-API-Version: registry/2.0";
// What a reply whose content type a client chose carries (a manifest): a
// browser that opens it runs nothing and loads nothing from this origin.
constexpr const char *OCI_SANDBOX_LINE = "Content-Security-Policy: sandbox; default-src 'none'";

// Thrown once a request's reply is written in full, to end the request from
// wherever it was written; the request loop (oci_serve) catches it.
struct oci_request_done {};

// Writes the error reply (status without reason phrase, API version line,
// JSON content type, {"errors":[{"code":...,"message":...}]}) and ends the
// request (throws oci_request_done). A null code is "UNKNOWN", a null
// message "Unknown error"; the code is written unescaped, so pass fixed
// codes only.
[[noreturn]] void oci_send_error(int status, const char *code, const char *message);
// An error reply that carries header lines of its own is written in two
// steps around them: oci_error_begin (status and API version line), the
// caller's lines, then oci_error_end (content type and document; ends the
// request). oci_send_error is the two steps with no line between.
void oci_error_begin(int status);
[[noreturn]] void oci_error_end(const char *code, const char *message);
// The protocol's codes for what a request is about, so that the caller's
// mistakes are named in its terms (a manifest, an upload, a blob).
struct oci_error_codes {
    const char *invalid;         // input refused (400; 413 too large; 416 range)
    const char *digest;          // content not matching its digest (400)
    const char *unknown;         // the thing named is not there (404)
    const char *unknown_message; // the 404's message; null: the library's
    bool invalid_is_unknown;     // a lookup: a name that cannot exist is not there
};
// Status and code for the storage library's failure of the given kind: the
// one table every endpoint answers by. Mistakes of the client keep their
// 4xx; faults of the server answer 5xx (507 when the disk is full), so that
// clients retry instead of giving up.
struct oci_error_reply {
    int status;
    const char *code;
    const char *message; // null: the library's own message
};
oci_error_reply oci_error_for_kind(reg_error_kind kind, const oci_error_codes &codes);
// Answers the library's last failure by that table, with its message unless
// the codes name a fixed one; ends the request like oci_send_error.
[[noreturn]] void oci_send_storage_error(const oci_error_codes &codes);
// Writes a JSON reply with the same header lines; json null or empty sends {}.
void oci_send_json(int status, const char *json);
// 1 when the name is 1 to 255 bytes of letters, digits and '-', '_', '.',
// '/', no separator first or last and no "//"; else 0.
int oci_valid_repo_name(const char *name);
// What the components of a valid name say about it. The store uses names
// beginning with '_' or '.' for its own files, and "." names the directory
// it stands in, so only plain names may create a repository; a reserved
// one may still reach a repository stored under it before the rule.
enum oci_name_shape {
    OCI_NAME_PLAIN,    // every component starts with a letter or digit
    OCI_NAME_RESERVED, // a component starts with '_' or '.'
    OCI_NAME_ALIAS,    // a component is "." or "..": another name's path
};
oci_name_shape oci_repo_name_shape(const char *name);
// Splits a path such as "/v2/<name><marker><reference>" (the "v2/" prefix is
// optional) at the first marker. Returns 1 with a valid name (and, when
// ref is non-null with a non-zero size, the reference: leading slashes
// dropped, one trailing slash dropped, cut to ref_size - 1), else 0.
int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size, char *ref,
                          size_t ref_size);
// Opens the storage once per process: REGISTRY_STORAGE_ROOT, else the
// "storage_root" (or "registry_storage_root") of ./config.json, else
// ./registry_storage. Returns 0, or reg_storage_init's failure result; -1
// also when the configured root is too long to keep whole (it is never cut
// to another directory's name).
int oci_init_storage(void);
// Test hook, never called by the programs: closes the storage and forgets
// the opening, so that the next oci_init_storage discovers the root anew.
void oci_storage_forget(void);

#endif
