// Request paths and identifiers: the split of a path into repository name
// and reference at each route's marker, the protocol's name rule and the
// storage library's name, tag, digest and upload-ID tests.
//
// Input: byte 0 picks the output buffer sizes, the rest is the path (cut at
// its first NUL). Each string sits in a heap block of exactly its size and
// each output buffer in one of exactly the size passed, so AddressSanitizer
// sees any read or write past either.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "oci_common.h"
#include "storage_internal.h"

namespace {

constexpr const char *kMarkers[] = {"/manifests/", "/blobs/", "/blobs/uploads/", "/tags/list", "/referrers/"};
constexpr size_t kNameSizes[] = {OCI_NAME_BUF, 1, 2, 8, 64};
constexpr size_t kRefSizes[] = {OCI_REF_BUF, 0, 1, 2, 16};

[[noreturn]] void fail(const char *what, const char *text)
{
    fprintf(stderr, "invariant broken: %s [%s]\n", what, text);
    abort();
}

bool alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The protocol's name rule restated: what it accepts has these properties.
void check_protocol_name(const char *name)
{
    if (!oci_valid_repo_name(name))
        return;
    size_t len = strlen(name);
    if (len == 0 || len > 255)
        fail("oci_valid_repo_name length", name);
    if (!alnum(name[0]) || !alnum(name[len - 1]))
        fail("oci_valid_repo_name ends", name);
    for (size_t i = 0; i < len; i++) {
        char c = name[i];
        if (!alnum(c) && c != '-' && c != '_' && c != '.' && c != '/')
            fail("oci_valid_repo_name byte", name);
    }
    if (strstr(name, "//"))
        fail("oci_valid_repo_name //", name);
}

// What the storage tests accept stays a path below its directory.
void check_storage_idents(const char *s)
{
    if (repo_name_valid(s)) {
        size_t len = strlen(s);
        if (len == 0 || len > 255 || strstr(s, ".."))
            fail("repo_name_valid", s);
    }
    if (tag_confined(s)) {
        if (s[0] == '\0' || strchr(s, '/') || strchr(s, '\\') || !strcmp(s, ".") || !strcmp(s, ".."))
            fail("tag_confined", s);
    }
    if (digest_valid(s)) {
        if (strlen(s) != 71 || strncmp(s, "sha256:", 7) != 0 || strspn(s + 7, "0123456789abcdef") != 64)
            fail("digest_valid", s);
    }
    if (uuid_valid(s)) {
        if (strlen(s) != 36)
            fail("uuid_valid length", s);
        for (size_t i = 0; i < 36; i++) {
            bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            bool ok = dash ? s[i] == '-' : strchr("0123456789abcdef", s[i]) != nullptr && s[i] != '\0';
            if (!ok)
                fail("uuid_valid shape", s);
        }
    }
}

void check_split(const char *path, const char *marker, size_t name_size, size_t ref_size)
{
    char *name = static_cast<char *>(malloc(name_size));
    char *ref = ref_size ? static_cast<char *>(malloc(ref_size)) : nullptr;
    int ok = oci_parse_repo_marker(path, marker, name, name_size, ref, ref_size);
    if (ok) {
        if (strnlen(name, name_size) >= name_size)
            fail("name not terminated", path);
        if (!oci_valid_repo_name(name))
            fail("accepted name fails the name rule", name);
        // The name is what stands right before the first marker once the
        // leading slashes and an optional "v2/" are gone.
        std::string_view p(path);
        while (!p.empty() && p.front() == '/')
            p.remove_prefix(1);
        if (p.starts_with("v2/"))
            p.remove_prefix(3);
        std::string_view n(name);
        size_t at = p.find(marker);
        if (at == std::string_view::npos || at < n.size() || p.substr(at - n.size(), n.size()) != n)
            fail("name is not what precedes the marker", path);
        if (ref) {
            size_t len = strnlen(ref, ref_size);
            if (len >= ref_size)
                fail("reference not terminated", path);
            if (len > 0 && ref[0] == '/')
                fail("reference keeps a leading slash", path);
            // The reference is a piece of the path.
            if (len > 0 && !strstr(path, ref))
                fail("reference not from the path", path);
        }
    }
    free(name);
    free(ref);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t sizes = data[0];
    const char *raw = reinterpret_cast<const char *>(data + 1);
    size_t len = strnlen(raw, size - 1);
    char *text = static_cast<char *>(malloc(len + 1));
    memcpy(text, raw, len);
    text[len] = '\0';

    size_t name_size = kNameSizes[sizes % 5];
    size_t ref_size = kRefSizes[(sizes / 5) % 5];
    for (const char *marker : kMarkers)
        check_split(text, marker, name_size, ref_size);
    if (name_size != OCI_NAME_BUF || ref_size != OCI_REF_BUF)
        for (const char *marker : kMarkers)
            check_split(text, marker, OCI_NAME_BUF, OCI_REF_BUF);

    check_protocol_name(text);
    check_storage_idents(text);
    free(text);
    return 0;
}
