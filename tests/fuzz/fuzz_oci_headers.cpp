// Header values of the blob and upload endpoints: Content-Length, the
// Content-Range of an upload chunk and the Range of a blob fetch, checked
// for what they promise and for a round trip through their canonical form;
// and a manifest's media type, which must be safe in a header line.
//
// Input: byte 0 is one of the representation sizes a Range is measured
// against (the others are fixed); the rest is the header value, NUL bytes
// included.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "oci_headers.h"

namespace {

[[noreturn]] void fail(const char *what, std::string_view text)
{
    fprintf(stderr, "invariant broken: %s [", what);
    fwrite(text.data(), 1, text.size(), stderr);
    fprintf(stderr, "]\n");
    abort();
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::string decimal(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof buf, "%" PRIu64, v);
    return buf;
}

// Content-Length is fully determined: digits only, and a value that fits.
void check_content_length(std::string_view text)
{
    uint64_t v = 12345;
    int ok = oci_parse_content_length(text, &v);
    std::string_view t = trim(text);
    bool digits = !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
    std::string_view sig = t.substr(std::min(t.find_first_not_of('0'), t.size()));
    bool fits = sig.size() < 20 || (sig.size() == 20 && sig <= "18446744073709551615");
    if (ok != (digits && fits))
        fail("Content-Length acceptance", text);
    if (!ok && v != 0)
        fail("Content-Length output after a refusal", text);
    if (ok && decimal(v) != (sig.empty() ? std::string("0") : std::string(sig)))
        fail("Content-Length value", text);
}

void check_content_range(std::string_view text)
{
    uint64_t a = 1, b = 1;
    int ok = oci_parse_content_range(text, &a, &b);
    if (!ok) {
        if (a != 0 || b != 0)
            fail("Content-Range outputs after a refusal", text);
        return;
    }
    if (ok != 1 || a > b)
        fail("Content-Range start beyond end", text);
    uint64_t a2, b2;
    std::string canonical = decimal(a) + "-" + decimal(b);
    if (oci_parse_content_range(canonical, &a2, &b2) != 1 || a2 != a || b2 != b)
        fail("Content-Range canonical form", text);
    // Both numbers stand in the text as written (leading zeros aside).
    std::string_view t = trim(text);
    if (t.find(decimal(b)) == std::string_view::npos)
        fail("Content-Range end not from the text", text);
}

void check_range(std::string_view text, uint64_t size)
{
    uint64_t first = 7, last = 7;
    int r = oci_parse_range(text, size, &first, &last);
    if (r != OCI_RANGE_SATISFIABLE) {
        if (r != OCI_RANGE_IGNORE && r != OCI_RANGE_UNSATISFIABLE)
            fail("Range result", text);
        if (first != 0 || last != 0)
            fail("Range outputs without a range", text);
        if (r == OCI_RANGE_UNSATISFIABLE && trim(text).size() < 6)
            fail("Range unsatisfiable without a unit", text);
        return;
    }
    if (size == 0 || first > last || last >= size)
        fail("Range outside the representation", text);
    uint64_t f2, l2;
    std::string canonical = "bytes=" + decimal(first) + "-" + decimal(last);
    if (oci_parse_range(canonical, size, &f2, &l2) != OCI_RANGE_SATISFIABLE || f2 != first || l2 != last)
        fail("Range canonical form", text);
}

} // namespace

// A media type that passes can go into a header line as it is.
void check_media_type(std::string_view text)
{
    if (!oci_media_type_valid(text))
        return;
    if (text.size() > OCI_MEDIA_TYPE_MAX || text.find('/') == std::string_view::npos)
        fail("media type accepted past its bound or without a subtype", text);
    for (char c : text)
        if (c != '\t' && (c < 0x20 || c > 0x7e))
            fail("media type accepted with a byte a header line cannot carry", text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    check_content_length(text);
    check_content_range(text);
    check_media_type(text);
    const uint64_t sizes[] = {0, 1, data[0], 1000, UINT64_C(1) << 32, UINT64_MAX - 1, UINT64_MAX};
    for (uint64_t s : sizes)
        check_range(text, s);
    return 0;
}
