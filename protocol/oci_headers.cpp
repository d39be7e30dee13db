// Header value parsers of the blob and upload endpoints, and the request
// target check. Each works on a view it trims and consumes from the front;
// none of them reads past the view or keeps anything between calls.
#include "oci_headers.h"

namespace {

bool is_ows(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_ows(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_ows(s.back()))
        s.remove_suffix(1);
    return s;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Takes the run of digits at the front of s. Returns false when there is
// none. The value saturates at UINT64_MAX; *overflow tells when it did.
bool take_number(std::string_view *s, uint64_t *out, bool *overflow)
{
    uint64_t v = 0;
    bool over = false;
    size_t i = 0;
    for (; i < s->size() && is_digit((*s)[i]); i++) {
        uint64_t d = static_cast<uint64_t>((*s)[i] - '0');
        if (v > (UINT64_MAX - d) / 10) {
            over = true;
            v = UINT64_MAX;
        } else if (!over) {
            v = v * 10 + d;
        }
    }
    if (i == 0)
        return false;
    s->remove_prefix(i);
    *out = v;
    *overflow = over;
    return true;
}

// A whole view that is exactly one number that fits 64 bits.
bool exact_number(std::string_view s, uint64_t *out)
{
    bool over = false;
    return take_number(&s, out, &over) && !over && s.empty();
}

bool starts_with_nocase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// RFC 9110 tchar.
bool is_tchar(char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Takes a token off the front of s; false when there is none.
bool take_token(std::string_view &s)
{
    size_t n = 0;
    while (n < s.size() && is_tchar(s[n]))
        ++n;
    s.remove_prefix(n);
    return n > 0;
}

void skip_blanks(std::string_view &s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
}

// A quoted string: printable characters (the tab too) and backslash
// escapes of them, between double quotes.
bool take_quoted(std::string_view &s)
{
    if (s.empty() || s.front() != '"')
        return false;
    s.remove_prefix(1);
    while (!s.empty()) {
        char c = s.front();
        s.remove_prefix(1);
        if (c == '"')
            return true;
        if (c == '\\') {
            if (s.empty())
                return false;
            s.remove_prefix(1);
        }
    }
    return false;
}

// "/v2" alone or followed by a '/': the API root and what lies below it.
bool below_api_root(std::string_view path)
{
    return path == "/v2" || path.starts_with("/v2/");
}

// An encoded '/' or '.': "%2F" or "%2E", the hex digit in either case.
bool holds_encoded_separator(std::string_view path)
{
    for (size_t at = path.find("%2"); at != std::string_view::npos; at = path.find("%2", at + 1)) {
        if (at + 2 < path.size()) {
            char c = path[at + 2];
            if (c == 'f' || c == 'F' || c == 'e' || c == 'E')
                return true;
        }
    }
    return false;
}

// A "." or ".." segment anywhere, the last one included.
bool holds_dot_segment(std::string_view path)
{
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view segment = path.substr(0, slash);
        if (segment == "." || segment == "..")
            return true;
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return false;
}

} // namespace

int oci_request_target_ok(std::string_view request_uri, std::string_view path_info)
{
    if (!below_api_root(path_info))
        return 0;
    if (request_uri.empty())
        return 1;
    std::string_view path = request_uri.substr(0, request_uri.find('?'));
    if (!below_api_root(path) || path.find("//") != std::string_view::npos || holds_dot_segment(path) ||
        holds_encoded_separator(path))
        return 0;
    return 1;
}

int oci_media_type_valid(std::string_view text)
{
    if (text.empty() || text.size() > OCI_MEDIA_TYPE_MAX)
        return 0;
    for (char c : text)
        if (c != '\t' && (c < 0x20 || c > 0x7e))
            return 0;
    std::string_view s = text;
    if (!take_token(s) || s.empty() || s.front() != '/')
        return 0;
    s.remove_prefix(1);
    if (!take_token(s))
        return 0;
    for (;;) {
        skip_blanks(s);
        if (s.empty())
            return 1;
        if (s.front() != ';')
            return 0;
        s.remove_prefix(1);
        skip_blanks(s);
        if (!take_token(s) || s.empty() || s.front() != '=')
            return 0;
        s.remove_prefix(1);
        if (!take_token(s) && !take_quoted(s))
            return 0;
    }
}

int oci_parse_content_length(std::string_view text, uint64_t *out)
{
    *out = 0;
    uint64_t v = 0;
    if (!exact_number(trim(text), &v))
        return 0;
    *out = v;
    return 1;
}

int oci_parse_content_range(std::string_view text, uint64_t *start, uint64_t *end)
{
    *start = 0;
    *end = 0;
    std::string_view s = trim(text);
    bool http_form = starts_with_nocase(s, "bytes ");
    if (http_form)
        s = trim(s.substr(6));

    std::string_view total;
    if (http_form) {
        size_t slash = s.find('/');
        if (slash == std::string_view::npos)
            return 0;
        total = s.substr(slash + 1);
        s = s.substr(0, slash);
    }
    size_t dash = s.find('-');
    if (dash == std::string_view::npos)
        return 0;
    uint64_t a = 0, b = 0;
    if (!exact_number(s.substr(0, dash), &a) || !exact_number(s.substr(dash + 1), &b) || b < a)
        return 0;
    if (http_form && total != "*") {
        uint64_t t = 0;
        if (!exact_number(total, &t) || t <= b)
            return 0;
    }
    *start = a;
    *end = b;
    return 1;
}

int oci_parse_range(std::string_view text, uint64_t size, uint64_t *first, uint64_t *last)
{
    *first = 0;
    *last = 0;
    std::string_view s = trim(text);
    if (!starts_with_nocase(s, "bytes="))
        return OCI_RANGE_IGNORE;
    s = trim(s.substr(6));
    // Several ranges would need a multipart reply; ignoring the header and
    // sending the whole blob is what HTTP allows instead.
    if (s.find(',') != std::string_view::npos)
        return OCI_RANGE_IGNORE;

    bool over = false;
    if (!s.empty() && s.front() == '-') {
        s.remove_prefix(1);
        uint64_t n = 0;
        if (!take_number(&s, &n, &over) || !s.empty())
            return OCI_RANGE_IGNORE;
        if (n == 0 || size == 0)
            return OCI_RANGE_UNSATISFIABLE;
        *first = n >= size ? 0 : size - n;
        *last = size - 1;
        return OCI_RANGE_SATISFIABLE;
    }

    uint64_t a = 0;
    if (!take_number(&s, &a, &over) || s.empty() || s.front() != '-')
        return OCI_RANGE_IGNORE;
    s.remove_prefix(1);
    uint64_t b = UINT64_MAX;
    if (!s.empty() && !take_number(&s, &b, &over))
        return OCI_RANGE_IGNORE;
    if (!s.empty() || b < a)
        return OCI_RANGE_IGNORE;
    if (a >= size)
        return OCI_RANGE_UNSATISFIABLE;
    *first = a;
    *last = b >= size ? size - 1 : b;
    return OCI_RANGE_SATISFIABLE;
}
