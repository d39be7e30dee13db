// Query-string decoding: cgi_query against a plain restatement of the
// decoding rules, with QUERY_STRING taken from the input, and the fallback
// to an environment variable of the parameter's name when there is no query
// string.
//
// Input: byte 0 even: the rest (cut at its first NUL) is QUERY_STRING;
// byte 0 odd: QUERY_STRING is unset and the rest is the value of the
// variable "digest".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "hv_cgi.h"

namespace {

constexpr const char *kNames[] = {"digest", "n", "last", "mount", "from", "artifactType", "a", "b"};

[[noreturn]] void fail(const char *what, const char *name, const char *got, const std::string &want)
{
    fprintf(stderr, "invariant broken: %s for %s: got [%s] want [%s]\n", what, name, got, want.c_str());
    abort();
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The first segment whose key is the name, its value decoded and cut at 511
// bytes and then at its first NUL (as a C string reads it); empty when none.
std::string expected(std::string_view qs, std::string_view name)
{
    while (true) {
        size_t amp = qs.find('&');
        std::string_view seg = qs.substr(0, amp);
        size_t eq = seg.find('=');
        if (seg.substr(0, eq) == name) {
            std::string_view v = eq == std::string_view::npos ? std::string_view() : seg.substr(eq + 1);
            std::string out;
            size_t i = 0;
            while (i < v.size() && out.size() < CGI_QUERY_MAX) {
                if (v[i] == '+') {
                    out += ' ';
                    i++;
                } else if (v[i] == '%' && i + 2 < v.size() && hex(v[i + 1]) >= 0 && hex(v[i + 2]) >= 0) {
                    out += static_cast<char>(hex(v[i + 1]) * 16 + hex(v[i + 2]));
                    i += 3;
                } else {
                    out += v[i++];
                }
            }
            return out.substr(0, strnlen(out.c_str(), out.size()));
        }
        if (amp == std::string_view::npos)
            return std::string();
        qs.remove_prefix(amp + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    for (const char *name : kNames)
        unsetenv(name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *raw = reinterpret_cast<const char *>(data + 1);
    std::string text(raw, strnlen(raw, size - 1));

    if (data[0] % 2 == 1) {
        unsetenv("QUERY_STRING");
        setenv("digest", text.c_str(), 1);
        const char *got = cgi_query("digest");
        bool refused = text.find(';') != std::string::npos && text.find(':') != std::string::npos;
        std::string want = refused ? std::string() : text;
        if (want != got)
            fail("environment fallback", "digest", got, want);
        unsetenv("digest");
        return 0;
    }

    setenv("QUERY_STRING", text.c_str(), 1);
    if (cgi_query("")[0] != '\0')
        fail("empty name", "", cgi_query(""), "");
    const char *held[8];
    for (size_t i = 0; i < 8; i++) {
        const char *name = kNames[i];
        const char *got = cgi_query(name);
        held[i] = got;
        if (strlen(got) > CGI_QUERY_MAX)
            fail("511-byte bound", name, got, "");
        std::string want = text.empty() ? std::string() : expected(text, name);
        if (want != got)
            fail("decoded value", name, got, want);
    }
    // Eight values are held at once: none overwrote another.
    for (size_t i = 0; i < 8; i++) {
        std::string want = text.empty() ? std::string() : expected(text, kNames[i]);
        if (want != held[i])
            fail("value overwritten within eight calls", kNames[i], held[i], want);
    }
    // A key taken from the input itself (the first segment's, if any).
    std::string key = text.substr(0, text.find_first_of("=&"));
    if (!key.empty()) {
        const char *got = cgi_query(key.c_str());
        std::string want = expected(text, key);
        if (strlen(got) > CGI_QUERY_MAX || want != got)
            fail("decoded value", key.c_str(), got, want);
    }
    return 0;
}
