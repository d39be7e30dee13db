// Paging of the registry API's listings (tag list, catalog and referrers),
// shared by the programs v2_tags, v2_catalog and v2_referrers: the "n" query
// parameter, the Link header that names the next page, and the listing
// reply. Header-only, so each program stays one source file; everything
// here has internal linkage.
#ifndef ENDPOINT_V2_PAGING_H
#define ENDPOINT_V2_PAGING_H

#include <climits>
#include <cstdio>
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"
#include "reg_storage.h"

namespace {

// A kept query value (a filter) percent-encoded: each of its at most
// CGI_QUERY_MAX bytes into at most 3, and the NUL.
constexpr size_t PAGING_KEEP_BUF = CGI_QUERY_MAX * 3 + 1;
// A Link line: "Link: <" + path (at most "/v2/" + 255 + "/referrers/" + a
// digest) + "?n=" + 10 digits + "&last=" + a name of 255 bytes, each
// percent-encoded into at most 3 bytes, + "&" + a kept parameter's name and
// "=" + ">; rel=\"next\"". 2048 bytes hold all of it but the kept value.
constexpr size_t PAGING_LINK_BUF = 2048 + PAGING_KEEP_BUF;
constexpr size_t PAGING_ENCODED_BUF = REG_LIST_NAME_BUF * 3;
constexpr int PAGING_ALL = -1;

// The "n" parameter: absent or empty means every entry (PAGING_ALL); decimal
// digits give that many, a value past INT_MAX counting as INT_MAX (a page
// is cut by the result buffer long before). Anything else is refused:
// returns false.
bool paging_parse_n(const char *text, int *out)
{
    *out = PAGING_ALL;
    if (text[0] == '\0')
        return true;
    long long value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        if (value <= INT_MAX)
            value = value * 10 + (*p - '0');
    }
    *out = value > INT_MAX ? INT_MAX : static_cast<int>(value);
    return true;
}

// Percent-encodes a name for a query value: unreserved bytes (RFC 3986) and
// '/' (allowed in a query, and in every repository name) stay as they are.
void paging_encode(const char *in, char *out, size_t size)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    size_t pos = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(in); *p; ++p) {
        unsigned char c = *p;
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '/';
        size_t need = keep ? 1 : 3;
        if (pos + need >= size)
            break;
        if (keep) {
            out[pos++] = static_cast<char>(c);
        } else {
            out[pos++] = '%';
            out[pos++] = hex[c >> 4];
            out[pos++] = hex[c & 0x0F];
        }
    }
    if (size > 0)
        out[pos] = '\0';
}

// A query parameter that every page of a listing repeats, such as a
// filter; none when value is null or empty. name is written as it is.
struct paging_keep {
    const char *name = nullptr;
    const char *value = nullptr;
};

// Writes the Link line to the page after next_last, nothing when next_last
// is empty: path is the listing's own path, n is repeated when the client
// gave it (n >= 0), and so is keep.
void paging_link_header(const char *path, int n, const char *next_last, paging_keep keep = {})
{
    if (next_last[0] == '\0')
        return;
    char encoded[PAGING_ENCODED_BUF];
    paging_encode(next_last, encoded, sizeof encoded);
    char count[sizeof "n=2147483647&"] = "";
    if (n >= 0)
        hv_snprintf(count, sizeof count, "n=%d&", n);
    char line[PAGING_LINK_BUF];
    if (keep.value && keep.value[0] != '\0') {
        char kept[PAGING_KEEP_BUF];
        paging_encode(keep.value, kept, sizeof kept);
        hv_snprintf(line, sizeof line, "Link: <%s?%slast=%s&%s=%s>; rel=\"next\"", path, count, encoded, keep.name,
                    kept);
    } else {
        hv_snprintf(line, sizeof line, "Link: <%s?%slast=%s>; rel=\"next\"", path, count, encoded);
    }
    cgi_header_extra(line);
}

// Writes a listing reply: 200, the API version line, JSON content type and
// length, and the Link line of paging_link_header. The body is the document
// and a line feed, left out for HEAD. (The referrers listing, an image index
// with header lines of its own, writes its reply itself.)
[[maybe_unused]] void paging_send(const char *doc, const char *path, int n, const char *next_last, bool head)
{
    cgi_header_status(200, "OK");
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_json();
    char line[sizeof "Content-Length: 18446744073709551615"];
    size_t len = strlen(doc);
    hv_snprintf(line, sizeof line, "Content-Length: %zu", len + 1);
    cgi_header_extra(line);
    paging_link_header(path, n, next_last);
    cgi_headers_end();
    if (!head) {
        fwrite(doc, 1, len, stdout);
        fputc('\n', stdout);
    }
    fflush(stdout);
}

} // namespace

#endif
