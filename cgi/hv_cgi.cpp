// CGI gateway (RFC 3875): request input from the environment and standard
// input, reply output to standard output, bounded string routines.
#include "hv_cgi.h"

#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

#include <fcgiapp.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const char s_empty[] = "";

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// POSIX streams never translate line ends, so there is nothing to switch;
// the calls stay where a translating host would need them.
void set_binary(FILE *) {}

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Opens POST_BODY_FILE and finds its size. Null when the variable is unset
// or empty or the file does not open; size -1 when it cannot be taken.
file_ptr open_body_file(int64_t *size)
{
    *size = -1;
    const char *path = cgi_env("POST_BODY_FILE", nullptr);
    if (path[0] == '\0')
        return nullptr;
    file_ptr f(fopen(path, "rb"));
    if (!f)
        return nullptr;
    if (fseeko(f.get(), 0, SEEK_END) == 0) {
        off_t end = ftello(f.get());
        if (end >= 0)
            *size = end;
    }
    return f;
}

// CONTENT_LENGTH read as strtol reads it, held in 32 bits.
int32_t content_length(void)
{
    const char *text = getenv("CONTENT_LENGTH");
    if (!text)
        return 0;
    long v = strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Reads up to len bytes into a fresh buffer of len + 1 bytes.
char *read_body(FILE *in, size_t len, size_t *out_len)
{
    char *buf = static_cast<char *>(malloc(len + 1));
    if (!buf)
        return nullptr;
    size_t got = fread(buf, 1, len, in);
    buf[got] = '\0';
    if (out_len)
        *out_len = got;
    return buf;
}

// The FastCGI side: one request object for the life of the process, and
// the process's own environment and standard streams, put back between
// requests.
bool s_started;
bool s_fastcgi;
FCGX_Request s_request;
char **s_process_environ;
FILE *s_process_stdin;
FILE *s_process_stdout;

// stdio over the request's FastCGI streams, so that every reader and writer
// of this gateway (and above it) works unchanged in both modes.
ssize_t fcgi_write(void *stream, const char *buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        size_t piece = len - done > INT_MAX ? static_cast<size_t>(INT_MAX) : len - done;
        int n = FCGX_PutStr(buf + done, static_cast<int>(piece), static_cast<FCGX_Stream *>(stream));
        if (n < 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t fcgi_read(void *stream, char *buf, size_t len)
{
    int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    return FCGX_GetStr(buf, want, static_cast<FCGX_Stream *>(stream));
}

// getenv over the process's own environment while a request's is current.
const char *process_env(const char *name)
{
    size_t len = strlen(name);
    for (char **e = s_process_environ; e && *e; ++e)
        if (strncmp(*e, name, len) == 0 && (*e)[len] == '=')
            return *e + len + 1;
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- requests

int cgi_accept(void)
{
    if (!s_started) {
        s_started = true;
        s_fastcgi = !FCGX_IsCGI();
        if (!s_fastcgi)
            return 1;
        // A server that supervises its programs (lighttpd) asks for this:
        // when it goes, its programs go with it instead of waiting for ever
        // on a socket nobody connects to. spawn-fcgi's programs outlive their
        // spawner by design, so it is not the default.
        if (getenv("REGISTRY_FASTCGI_EXIT_WITH_PARENT")) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() == 1)
                return 0;
        }
        if (FCGX_Init() != 0 || FCGX_InitRequest(&s_request, 0, 0) != 0)
            return 0;
        s_process_environ = environ;
        s_process_stdin = stdin;
        s_process_stdout = stdout;
    } else if (!s_fastcgi) {
        return 0;
    }
    if (FCGX_Accept_r(&s_request) < 0)
        return 0;
    FILE *out = fopencookie(s_request.out, "w", cookie_io_functions_t{nullptr, fcgi_write, nullptr, nullptr});
    FILE *in = fopencookie(s_request.in, "r", cookie_io_functions_t{fcgi_read, nullptr, nullptr, nullptr});
    if (!out || !in) {
        if (out)
            fclose(out);
        if (in)
            fclose(in);
        FCGX_Finish_r(&s_request);
        return 0;
    }
    environ = s_request.envp;
    stdout = out;
    stdin = in;
    return 1;
}

void cgi_finish(void)
{
    if (!s_fastcgi) {
        fflush(stdout);
        return;
    }
    fclose(stdout);
    fclose(stdin);
    stdout = s_process_stdout;
    stdin = s_process_stdin;
    environ = s_process_environ;
    FCGX_Finish_r(&s_request);
}

int cgi_is_fastcgi(void)
{
    return s_fastcgi ? 1 : 0;
}

// ---------------------------------------------------------------- input

const char *cgi_env(const char *name, const char *fallback)
{
    const char *v = name ? getenv(name) : nullptr;
    // Under FastCGI the process's own environment (what spawn-fcgi or the
    // server's bin-environment gave it) stands behind the request's
    // parameters, so that settings such as the storage root can live there.
    if ((!v || v[0] == '\0') && name && s_fastcgi)
        v = process_env(name);
    if (v && v[0] != '\0')
        return v;
    return fallback ? fallback : s_empty;
}

const char *cgi_method(void)
{
    return cgi_env("REQUEST_METHOD", "GET");
}

const char *cgi_path_info(void)
{
    return cgi_env("PATH_INFO", "/");
}

int cgi_is_post(void)
{
    const char *m = cgi_method();
    return m[0] == 'P' && m[1] == 'O';
}

int cgi_is_head(void)
{
    return strncmp(cgi_method(), "HEAD", 4) == 0;
}

namespace {

// Decodes the index-th value (from 0) of parameter name of a query string
// into out (CGI_QUERY_MAX + 1 bytes): true when there is one.
bool query_value(const char *qs, const char *name, size_t index, char *out)
{
    size_t name_len = strlen(name);
    const char *seg = qs;
    for (;;) {
        const char *amp = strchr(seg, '&');
        const char *seg_end = amp ? amp : seg + strlen(seg);
        const char *eq = static_cast<const char *>(memchr(seg, '=', static_cast<size_t>(seg_end - seg)));
        const char *key_end = eq ? eq : seg_end;
        if (static_cast<size_t>(key_end - seg) == name_len && memcmp(seg, name, name_len) == 0 && index-- == 0) {
            const char *in = eq ? eq + 1 : seg_end;
            size_t n = 0;
            while (in < seg_end && n < CGI_QUERY_MAX) {
                if (*in == '+') {
                    out[n++] = ' ';
                    in++;
                } else if (*in == '%' && seg_end - in > 2 && hexval(in[1]) >= 0 && hexval(in[2]) >= 0) {
                    out[n++] = static_cast<char>(hexval(in[1]) * 16 + hexval(in[2]));
                    in += 3;
                } else {
                    out[n++] = *in++;
                }
            }
            out[n] = '\0';
            return true;
        }
        if (!amp)
            return false;
        seg = amp + 1;
    }
}

// The next of the rotating slots values are decoded into.
char *query_slot(void)
{
    static char slots[8][CGI_QUERY_MAX + 1];
    static int slot;
    slot = (slot + 1) % 8;
    slots[slot][0] = '\0';
    return slots[slot];
}

} // namespace

const char *cgi_query(const char *name)
{
    if (!name || name[0] == '\0')
        return s_empty;
    char *out = query_slot();
    const char *qs = getenv("QUERY_STRING");
    if (!qs || qs[0] == '\0') {
        // Without a query string a parameter may come from a variable of the
        // same name, except a value that holds both ';' and ':'.
        const char *v = getenv(name);
        if (!v || v[0] == '\0')
            return s_empty;
        if (strchr(v, ';') && strchr(v, ':'))
            return s_empty;
        return v;
    }
    return query_value(qs, name, 0, out) ? out : s_empty;
}

const char *cgi_query_nth(const char *name, size_t index)
{
    const char *qs = getenv("QUERY_STRING");
    if (!name || name[0] == '\0' || !qs)
        return nullptr;
    char *out = query_slot();
    return query_value(qs, name, index, out) ? out : nullptr;
}

int64_t cgi_declared_body_length(void)
{
    int64_t size;
    file_ptr f = open_body_file(&size);
    if (f)
        return size < 0 ? 0 : size;
    return content_length();
}

char *cgi_read_post(size_t *out_len)
{
    if (out_len)
        *out_len = 0;
    int64_t size;
    file_ptr f = open_body_file(&size);
    if (f) {
        // A body file larger than a 32-bit length is refused outright rather
        // than read in part.
        if (size < 0 || size > INT32_MAX)
            return nullptr;
        rewind(f.get());
        return read_body(f.get(), static_cast<size_t>(size), out_len);
    }
    int32_t len = content_length();
    if (len <= 0)
        return nullptr;
    set_binary(stdin);
    return read_body(stdin, static_cast<size_t>(len), out_len);
}

// ---------------------------------------------------------------- output

void hv_stdout_bin(void)
{
    static int done;
    if (done)
        return;
    set_binary(stdout);
    done = 1;
}

void cgi_header_html(void)
{
    hv_stdout_bin();
    fputs("Content-Type: text/html; charset=utf-8\r\n", stdout);
}

void cgi_header_json(void)
{
    hv_stdout_bin();
    fputs("Content-Type: application/json; charset=utf-8\r\n", stdout);
}

void cgi_header_text(void)
{
    hv_stdout_bin();
    fputs("Content-Type: text/plain; charset=utf-8\r\n", stdout);
}

void cgi_header_status(int status, const char *reason)
{
    hv_stdout_bin();
    if (reason && reason[0] != '\0')
        fprintf(stdout, "Status: %d %s\r\n", status, reason);
    else
        fprintf(stdout, "Status: %d\r\n", status);
    // Bodies are JSON, blobs and manifests whose declared type a client
    // chose: a browser must never guess HTML or script from their bytes.
    fputs(CGI_NOSNIFF_LINE, stdout);
    fputs("\r\n", stdout);
}

void cgi_header_ct(const char *type)
{
    hv_stdout_bin();
    fprintf(stdout, "Content-Type: %s\r\n", type);
}

void cgi_header_extra(const char *line)
{
    hv_stdout_bin();
    fputs(line, stdout);
    fputs("\r\n", stdout);
}

void cgi_headers_end(void)
{
    fputs("\r\n", stdout);
    fflush(stdout);
    set_binary(stdout);
}

void cgi_die_text(int status, const char *message)
{
    cgi_header_status(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    if (message)
        fputs(message, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    exit(0);
}

void cgi_die_json(int status, const char *message)
{
    cgi_header_status(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    fputs("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"", stdout);
    json_escape_f(stdout, message ? message : "error");
    fputs("\"}]}\n", stdout);
    fflush(stdout);
    exit(0);
}

void json_escape_f(FILE *out, const char *text)
{
    if (!text)
        return;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        switch (*p) {
        case '"':
            fputs("\\\"", out);
            break;
        case '\\':
            fputs("\\\\", out);
            break;
        case '\b':
            fputs("\\b", out);
            break;
        case '\t':
            fputs("\\t", out);
            break;
        case '\n':
            fputs("\\n", out);
            break;
        case '\f':
            fputs("\\f", out);
            break;
        case '\r':
            fputs("\\r", out);
            break;
        default:
            if (*p < 0x20)
                fprintf(out, "\\u%04x", *p);
            else
                fputc(*p, out);
        }
    }
}

// ---------------------------------------------------------------- strings

void hv_strlcpy(char *dst, const char *src, size_t size)
{
    if (!dst || size == 0)
        return;
    size_t n = 0;
    if (src) {
        while (n + 1 < size && src[n] != '\0') {
            dst[n] = src[n];
            n++;
        }
    }
    dst[n] = '\0';
}

int hv_snprintf(char *buf, size_t size, const char *format, ...)
{
    if (!buf || size == 0)
        return 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size)
        return n;
    buf[size - 1] = '\0';
    return static_cast<int>(size - 1);
}

void hv_path_join(char *out, size_t size, const char *first, const char *second)
{
    if (!out || size == 0)
        return;
    out[0] = '\0';
    if (!first || first[0] == '\0') {
        if (second)
            hv_strlcpy(out, second, size);
        return;
    }
    if (!second || second[0] == '\0') {
        hv_strlcpy(out, first, size);
        return;
    }
    hv_strlcpy(out, first, size);
    size_t len = strlen(out);
    if (len > 0 && out[len - 1] != '/' && out[len - 1] != '\\' && len + 1 < size) {
        out[len++] = '/';
        out[len] = '\0';
    }
    while (*second == '/' || *second == '\\')
        second++;
    if (len < size)
        hv_strlcpy(out + len, second, size - len);
}
