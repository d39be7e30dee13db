// CGI gateway shared by every registry CGI program: the request of the one
// process (environment, method, path, query parameters, body), the reply
// (status and header lines, fatal replies, JSON escaping to a stream) and
// the bounded string routines that fill fixed-size buffers.
//
// Strings handed out are read-only, never null and never freed by the
// caller; the one exception is the request body of cgi_read_post. Nothing
// here reports errors: a missing value is an empty string or the fallback.
//
// Reply order: cgi_header_status, other header lines, cgi_headers_end, the
// body, then fflush(stdout).
//
// One process may serve many requests: started by a FastCGI server (lighttpd's
// mod_fastcgi, spawn-fcgi) it takes them one after another through
// cgi_accept, and for the time of each request the environment, stdin and
// stdout are that request's, so everything above reads and writes the
// request at hand. Started as a plain CGI program it serves exactly one.
#ifndef CGI_HV_CGI_H
#define CGI_HV_CGI_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Largest decoded query parameter, terminator excluded.
constexpr size_t CGI_QUERY_MAX = 511;

// Requests. cgi_accept waits for the next request and makes it the current
// one: 1, or 0 when there is none (a CGI process after its one request, a
// FastCGI process whose server closed the connection). cgi_finish ends the
// current request, flushing its reply. cgi_is_fastcgi tells the modes apart.
int cgi_accept(void);
void cgi_finish(void);
int cgi_is_fastcgi(void);

// Request input.
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);    // REQUEST_METHOD, "GET" when unset or empty
const char *cgi_path_info(void); // PATH_INFO, "/" when unset or empty
int cgi_is_post(void);           // method begins with "PO"
int cgi_is_head(void);           // method begins with "HEAD"
// Decoded value of a query parameter; a value stays valid until eight
// further calls with a non-empty name.
const char *cgi_query(const char *name);
// The index-th (from 0) decoded value of a parameter the query string
// repeats (?tag=a&tag=b), in the slots cgi_query uses; null when the query
// string holds fewer.
const char *cgi_query_nth(const char *name, size_t index);
// The body length the request declares, found the way cgi_read_post finds
// it: the size of POST_BODY_FILE when that file opens (its full size, even
// beyond 32 bits), else CONTENT_LENGTH clamped to 32 bits; 0 when neither.
// Reads no body, so a caller can refuse an oversized body before anything
// is allocated.
int64_t cgi_declared_body_length(void);
// The request body as a NUL-terminated heap copy that the caller frees, its
// byte count stored through out_len (when non-null); null with the count 0
// when there is no body or it cannot be had.
char *cgi_read_post(size_t *out_len);

// Reply output, all to stdout.
void hv_stdout_bin(void);
void cgi_header_html(void);
void cgi_header_json(void);
void cgi_header_text(void);
// The status line, followed by the line every reply carries:
// "X-Content-Type-Options: nosniff" (CGI_NOSNIFF_LINE).
constexpr const char *CGI_NOSNIFF_LINE = "X-Content-Type-Options: nosniff";
void cgi_header_status(int status, const char *reason); // reason may be null
void cgi_header_ct(const char *type);
void cgi_header_extra(const char *line); // given without its CR LF
void cgi_headers_end(void);
[[noreturn]] void cgi_die_text(int status, const char *message);
[[noreturn]] void cgi_die_json(int status, const char *message);
// Writes text JSON-escaped, without surrounding quotes; null writes nothing.
void json_escape_f(FILE *out, const char *text);

// Bounded strings: every result is terminated in a buffer of non-zero size
// and nothing is written past size.
void hv_strlcpy(char *dst, const char *src, size_t size);
// Returns the number of characters stored (size - 1 when cut).
int hv_snprintf(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
void hv_path_join(char *out, size_t size, const char *first, const char *second);

#endif
