// Parsers for the request header values of the registry's blob and upload
// endpoints: Content-Length, the Content-Range of an upload chunk and the
// Range of a blob fetch; and the check every program makes of the request
// target before it reads a name from the path. Plain functions over std::string_view: no
// allocation, no exceptions, no global state, every number checked for
// overflow, so any byte string is a valid input (fuzz harnesses feed them
// arbitrary data). A view may hold NUL bytes; they are ordinary bytes that
// make the text malformed.
#ifndef PROTOCOL_OCI_HEADERS_H
#define PROTOCOL_OCI_HEADERS_H

#include <cstdint>
#include <string_view>

// Content-Length (RFC 9110, 8.6): one or more decimal digits, nothing else;
// white space around the digits is tolerated. Returns 1 with the value in
// *out, or 0 (and *out 0) when the text is empty, holds any other byte or
// does not fit 64 bits. out must not be null.
int oci_parse_content_length(std::string_view text, uint64_t *out);

// Content-Range of an upload chunk (PATCH or the final PUT). The registry
// API form is "<start>-<end>": decimal byte offsets, both inclusive, no unit.
// The HTTP form "bytes <start>-<end>/<total>" (total a number or "*") is
// accepted as well; a total must then be greater than end. White space
// around the value is tolerated. Returns 1 with *start <= *end, else 0
// (both outputs 0): empty text, a missing part, a non-digit, end below
// start, a number beyond 64 bits. start and end must not be null.
int oci_parse_content_range(std::string_view text, uint64_t *start, uint64_t *end);

// The longest media type a manifest is stored with: what the store keeps and
// hands back whole (its buffer of 128 bytes, one spare, and the NUL).
constexpr size_t OCI_MEDIA_TYPE_MAX = 126;

// A media type as a Content-Type names it (RFC 9110, 8.3.1): type "/"
// subtype, both tokens, then any number of parameters ";" name "=" value,
// the value a token or a quoted string, with optional blanks around the
// semicolons. Printable ASCII only, at most OCI_MEDIA_TYPE_MAX bytes. A type
// that passes can be stored and sent back in a header line as it is: it
// holds no line end and no byte a browser could read as anything else.
// Returns 1 when well formed, else 0.
int oci_media_type_valid(std::string_view text);

// Outcome of a Range request header against a representation of a size.
enum oci_range_result {
    // No range to honour: the header is empty, malformed, names another unit
    // or asks for several ranges. The whole representation is sent (200).
    OCI_RANGE_IGNORE = 0,
    // One satisfiable byte range [*first, *last], both inclusive, clamped to
    // the size (206 with "Content-Range: bytes first-last/size").
    OCI_RANGE_SATISFIABLE = 1,
    // A well-formed single range that selects no byte of this size (416 with
    // "Content-Range: bytes */size").
    OCI_RANGE_UNSATISFIABLE = 2,
};

// Range request header (RFC 9110, 14.1.2 and 14.2) for a single byte range:
// "bytes=a-b", "bytes=a-" or "bytes=-n"; the unit is matched without regard
// to case, white space around the value and around the range is tolerated.
//   a-b with b < a                      ignored (an invalid range)
//   a >= size, or a suffix -0, or any
//   range of an empty representation   unsatisfiable
//   b >= size                           cut to size - 1
//   -n with n >= size                   the whole representation
// A number beyond 64 bits saturates: it is larger than any size, so the
// outcome is what an immense number gives. Returns an oci_range_result; the
// outputs are set (else 0) only for OCI_RANGE_SATISFIABLE. first and last
// must not be null.
int oci_parse_range(std::string_view text, uint64_t size, uint64_t *first, uint64_t *last);

// Whether a request may be served under the name its path spells: the web
// server routes only /v2/ paths to the programs, and rules an operator puts
// on a path prefix (say /v2/private/) hold only if no other spelling of the
// same repository reaches a program. request_uri is the raw target the
// client sent (REQUEST_URI; empty when the server gives none), path_info the
// decoded path the program parses (PATH_INFO). Refused (0):
//   - a path_info that is not "/v2" or "/v2/..." (a program called under its
//     own name, whose path would then be read without the API prefix; and
//     with the prefix always there, the parser's optional "v2/" is always
//     that prefix, so "/v2/v2/x" names the repository "v2/x", never "x");
//   - a request_uri whose path (the part before '?') is not "/v2" or
//     "/v2/...", or holds "//", a "." or ".." segment, or an encoded '/' or
//     '.' ("%2F", "%2E", either case): spellings a server may fold onto
//     another path after its own rules have looked at them.
// The query is not looked at: its values are the programs' to decode.
// Returns 1 when neither is refused.
int oci_request_target_ok(std::string_view request_uri, std::string_view path_info);

#endif
