// Request bodies: cgi_declared_body_length and cgi_read_post with the body
// in a POST_BODY_FILE or on standard input behind a CONTENT_LENGTH.
//
// Input: byte 0 picks the source (below); for the standard-input sources
// the text up to the first '\n' is CONTENT_LENGTH; the remaining bytes are
// the body as it arrives.
//   0  POST_BODY_FILE names a file holding the body
//   1  CONTENT_LENGTH and standard input, POST_BODY_FILE unset
//   2  POST_BODY_FILE names a missing file: standard input is used
//   3  POST_BODY_FILE names a directory
//   bit 2 set: no length out-pointer is passed
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_sandbox.h"
#include "hv_cgi.h"

namespace {

// A declared length beyond this is not read: the programs refuse such a
// body from cgi_declared_body_length before anything is allocated, and an
// allocation of gigabytes would only measure the machine.
constexpr int64_t kReadLimit = 16 << 20;

std::string s_body_path;
std::string s_missing_path;

[[noreturn]] void fail(const char *what, long long got, long long want)
{
    fprintf(stderr, "invariant broken: %s: got %lld want %lld\n", what, got, want);
    abort();
}

// CONTENT_LENGTH as strtol reads it, held in 32 bits.
int64_t declared(const std::string &text)
{
    long v = strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return v;
}

// Standard input becomes the body file, read from its start. freopen
// rather than dup2: it also drops what the stream buffered in earlier runs.
void body_on_stdin(void)
{
    if (!freopen(s_body_path.c_str(), "rb", stdin))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string dir = sandbox_dir();
    s_body_path = dir + "/body";
    s_missing_path = dir + "/missing";
    unsetenv("POST_BODY_FILE");
    unsetenv("CONTENT_LENGTH");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int source = data[0] & 3;
    bool no_out_len = (data[0] & 4) != 0;
    const char *rest = reinterpret_cast<const char *>(data + 1);
    size_t rest_len = size - 1;

    std::string length_text;
    if (source != 0) {
        const char *nl = static_cast<const char *>(memchr(rest, '\n', rest_len));
        size_t cut = nl ? static_cast<size_t>(nl - rest) : rest_len;
        length_text.assign(rest, strnlen(rest, cut));
        rest_len -= nl ? cut + 1 : cut;
        rest += nl ? cut + 1 : cut;
    }
    sandbox_write(s_body_path.c_str(), rest, rest_len);

    int64_t want_declared;
    int64_t available = static_cast<int64_t>(rest_len);
    if (source == 0) {
        setenv("POST_BODY_FILE", s_body_path.c_str(), 1);
        unsetenv("CONTENT_LENGTH");
        want_declared = available;
    } else {
        if (source == 1)
            unsetenv("POST_BODY_FILE");
        if (source == 2)
            setenv("POST_BODY_FILE", s_missing_path.c_str(), 1);
        if (source == 3)
            setenv("POST_BODY_FILE", sandbox_dir(), 1);
        setenv("CONTENT_LENGTH", length_text.c_str(), 1);
        want_declared = declared(length_text);
        body_on_stdin();
    }

    int64_t got_declared = cgi_declared_body_length();
    // A directory opens as a file on this platform; its "size" is whatever
    // the file system reports, so only the stdin sources are compared.
    if (source != 3 && got_declared != want_declared)
        fail("declared length", got_declared, want_declared);
    if (source == 3) {
        // Whatever it reports, nothing can be read from it.
        size_t len = 12345;
        char *body = cgi_read_post(&len);
        if (len != 0)
            fail("bytes read from a directory", static_cast<long long>(len), 0);
        free(body);
        return 0;
    }
    if (want_declared > kReadLimit)
        return 0;

    size_t len = 12345;
    char *body = cgi_read_post(no_out_len ? nullptr : &len);
    size_t want_len =
        want_declared <= 0 ? 0 : static_cast<size_t>(want_declared < available ? want_declared : available);
    if (source == 0)
        want_len = rest_len;
    bool want_null = source != 0 && want_declared <= 0;
    if (want_null != (body == nullptr))
        fail("body presence", body != nullptr, !want_null);
    if (!no_out_len) {
        if (len > rest_len)
            fail("length beyond the bytes available", static_cast<long long>(len), available);
        if (len != want_len)
            fail("body length", static_cast<long long>(len), static_cast<long long>(want_len));
    }
    if (body) {
        size_t n = no_out_len ? want_len : len;
        if (memcmp(body, rest, n) != 0)
            fail("body bytes differ", 0, 0);
        if (body[n] != '\0')
            fail("body not terminated", body[n], 0);
        free(body);
    }
    return 0;
}
