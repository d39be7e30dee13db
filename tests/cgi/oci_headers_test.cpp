// Header value parsers of the blob and upload endpoints: accepted forms,
// refused forms (every prefix of a valid value included), numbers at and
// past the 64-bit limit, and the range outcomes against a size; the request
// target check, spelling by spelling.
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "oci_common.h"
#include "oci_headers.h"

namespace {

using namespace std::string_view_literals;

constexpr uint64_t kMax = UINT64_MAX;

TEST(OciContentLength, Values)
{
    struct Case {
        std::string_view text;
        int ok;
        uint64_t value;
    };
    static const Case kCases[] = {
        {"0", 1, 0},
        {"12", 1, 12},
        {" 12\t", 1, 12},
        {"007", 1, 7},
        {"4294967296", 1, 4294967296ull},  // past 32 bits
        {"18446744073709551615", 1, kMax}, // the largest
        {"18446744073709551616", 0, 0},    // one more
        {"99999999999999999999999999", 0, 0},
        {"", 0, 0},
        {"  ", 0, 0},
        {"-1", 0, 0},
        {"+1", 0, 0},
        {"12abc", 0, 0},
        {"1 2", 0, 0},
        {"0x10", 0, 0},
        {"12\0"sv, 0, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.text));
        uint64_t v = 12345;
        EXPECT_EQ(oci_parse_content_length(c.text, &v), c.ok);
        EXPECT_EQ(v, c.value);
    }
}

TEST(OciContentRange, AcceptedForms)
{
    struct Case {
        std::string_view text;
        uint64_t start;
        uint64_t end;
    };
    static const Case kCases[] = {
        {"0-0", 0, 0},
        {"0-9", 0, 9},
        {"10-19", 10, 19},
        {" 5-5 ", 5, 5},
        {"0-18446744073709551615", 0, kMax},
        {"18446744073709551615-18446744073709551615", kMax, kMax},
        {"bytes 0-9/10", 0, 9},
        {"bytes 10-19/*", 10, 19},
        {"Bytes 3-4/100", 3, 4},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.text));
        uint64_t s = 1, e = 1;
        EXPECT_EQ(oci_parse_content_range(c.text, &s, &e), 1);
        EXPECT_EQ(s, c.start);
        EXPECT_EQ(e, c.end);
    }
}

TEST(OciContentRange, RefusedForms)
{
    static const std::string_view kRefused[] = {
        "",
        "-",
        "5",
        "5-",
        "-5",
        "9-0", // missing part, end below start
        "a-b",
        "0-x",
        "0x1-2",
        "+1-2",
        "1-+2", // not plain decimal numbers
        "0 - 9",
        "0-9-10",
        "0--9",
        "bytes=0-9", // the Range syntax, not Content-Range
        "bytes 0-9",
        "bytes 0-9/",
        "bytes 0-9/9", // no total, total not past the end
        "bytes 0-9/x",
        "bytes */10",
        "0-18446744073709551616", // beyond 64 bits
        "18446744073709551616-18446744073709551617",
        "0-9\0"sv,
    };
    for (std::string_view text : kRefused) {
        SCOPED_TRACE(std::string(text));
        uint64_t s = 1, e = 1;
        EXPECT_EQ(oci_parse_content_range(text, &s, &e), 0);
        EXPECT_EQ(s, 0u);
        EXPECT_EQ(e, 0u);
    }
    // No proper prefix of a valid value is itself valid except where the
    // prefix is a complete range of its own ("10-1" of "10-19" is refused
    // because its end lies below its start).
    const std::string valid = "10-19";
    for (size_t n = 0; n < valid.size(); n++) {
        SCOPED_TRACE(valid.substr(0, n));
        uint64_t s, e;
        EXPECT_EQ(oci_parse_content_range(valid.substr(0, n), &s, &e), 0);
    }
}

TEST(OciRange, OutcomesAgainstASize)
{
    struct Case {
        std::string_view text;
        uint64_t size;
        int result;
        uint64_t first;
        uint64_t last;
    };
    static const Case kCases[] = {
        // first-last
        {"bytes=0-0", 10, OCI_RANGE_SATISFIABLE, 0, 0},
        {"bytes=2-4", 10, OCI_RANGE_SATISFIABLE, 2, 4},
        {"bytes=0-9", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=5-100", 10, OCI_RANGE_SATISFIABLE, 5, 9}, // last cut to the end
        {"bytes=9-9", 10, OCI_RANGE_SATISFIABLE, 9, 9},
        {"bytes=10-12", 10, OCI_RANGE_UNSATISFIABLE, 0, 0}, // first at the size
        {"bytes=0-0", 0, OCI_RANGE_UNSATISFIABLE, 0, 0},    // empty blob
        {"bytes=4-2", 10, OCI_RANGE_IGNORE, 0, 0},          // invalid: last < first
        // first-
        {"bytes=0-", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=7-", 10, OCI_RANGE_SATISFIABLE, 7, 9},
        {"bytes=10-", 10, OCI_RANGE_UNSATISFIABLE, 0, 0},
        {"bytes=0-", 0, OCI_RANGE_UNSATISFIABLE, 0, 0},
        // -suffix
        {"bytes=-3", 10, OCI_RANGE_SATISFIABLE, 7, 9},
        {"bytes=-10", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=-11", 10, OCI_RANGE_SATISFIABLE, 0, 9}, // longer than the blob
        {"bytes=-0", 10, OCI_RANGE_UNSATISFIABLE, 0, 0},
        {"bytes=-5", 0, OCI_RANGE_UNSATISFIABLE, 0, 0},
        // spelling
        {"BYTES=1-2", 10, OCI_RANGE_SATISFIABLE, 1, 2},
        {" bytes= 1-2 ", 10, OCI_RANGE_SATISFIABLE, 1, 2},
        // numbers at and past 64 bits saturate
        {"bytes=0-18446744073709551615", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=0-99999999999999999999999", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=99999999999999999999999-", 10, OCI_RANGE_UNSATISFIABLE, 0, 0},
        {"bytes=-99999999999999999999999", 10, OCI_RANGE_SATISFIABLE, 0, 9},
        {"bytes=18446744073709551614-18446744073709551614", kMax, OCI_RANGE_SATISFIABLE, kMax - 1, kMax - 1},
        {"bytes=18446744073709551615-", kMax, OCI_RANGE_UNSATISFIABLE, 0, 0},
        // malformed or not handled: the whole blob
        {"", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=-", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=a-b", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=1", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=1-2x", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=1 -2", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=--1", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=0-1,3-4", 10, OCI_RANGE_IGNORE, 0, 0}, // several ranges
        {"bytes=0-1,", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes 0-1", 10, OCI_RANGE_IGNORE, 0, 0},
        {"items=0-1", 10, OCI_RANGE_IGNORE, 0, 0},
        {"0-1", 10, OCI_RANGE_IGNORE, 0, 0},
        {"bytes=0-1\0"sv, 10, OCI_RANGE_IGNORE, 0, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " of " + std::to_string(c.size));
        uint64_t first = 1, last = 1;
        EXPECT_EQ(oci_parse_range(c.text, c.size, &first, &last), c.result);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);
    }
}

TEST(OciRange, EveryPrefixOfAValidRangeIsHandledCleanly)
{
    const std::string valid = "bytes=12-34";
    for (size_t n = 0; n < valid.size(); n++) {
        SCOPED_TRACE(valid.substr(0, n));
        uint64_t first = 1, last = 1;
        int r = oci_parse_range(valid.substr(0, n), 100, &first, &last);
        // "bytes=12-" and "bytes=12-3" are complete ranges of their own
        // (the second invalid); every shorter prefix is not a range.
        if (n == 9) {
            EXPECT_EQ(r, OCI_RANGE_SATISFIABLE);
            EXPECT_EQ(first, 12u);
            EXPECT_EQ(last, 99u);
        } else {
            EXPECT_EQ(r, OCI_RANGE_IGNORE);
        }
    }
}

} // namespace

namespace {

// Media types a manifest may be stored under: what a header line can carry
// back as it is, and nothing else.
TEST(OciMediaType, WellFormedTypesOnly)
{
    const std::string longest = "application/" + std::string(OCI_MEDIA_TYPE_MAX - 12, 'x');
    const std::string_view accepted[] = {
        "application/vnd.oci.image.manifest.v1+json",
        "application/vnd.docker.distribution.manifest.v2+json",
        "application/json; charset=utf-8",
        "application/json;charset=\"utf-8\"",
        "application/x;a=1 ; b=\"q \\\" q\"",
        "text/html",
        longest,
    };
    for (std::string_view t : accepted) {
        SCOPED_TRACE(std::string(t));
        EXPECT_EQ(oci_media_type_valid(t), 1);
    }
    const std::string too_long = longest + "x";
    const std::string_view refused[] = {
        "",
        "application",
        "application/",
        "/json",
        "application/json\r\nX-Injected: 1",
        "application/json\n",
        "application/js on",
        "application/json;",
        "application/json; charset",
        "application/json; charset=",
        "application/json; charset=\"open",
        "appli\xc3\xa9tion/json",
        "application/json\x7f",
        "application/json\0x"sv,
        too_long,
    };
    for (std::string_view t : refused) {
        SCOPED_TRACE(std::string(t));
        EXPECT_EQ(oci_media_type_valid(t), 0);
    }
}

} // namespace

namespace {

// The request target every program checks before it reads a name: the raw
// target as the client sent it (empty: none given, as a CGI host may) and
// the decoded path beside it.
TEST(OciRequestTarget, OnlyTheApiRootInItsOneSpelling)
{
    struct Case {
        const char *label;
        std::string_view request_uri;
        std::string_view path_info;
    };
    static const Case kAccepted[] = {
        {"API root", "/v2/", "/v2/"},
        {"API root without slash", "/v2", "/v2"},
        {"root with a query", "/v2?x=1", "/v2"},
        {"manifest", "/v2/library/app/manifests/latest", "/v2/library/app/manifests/latest"},
        {"no target given", "", "/v2/library/app/manifests/latest"},
        {"upload with its state", "/v2/a/blobs/uploads/u?_state=%2F..%2F//", "/v2/a/blobs/uploads/u"},
        {"encoded colon", "/v2/a/blobs/sha256%3Aabc", "/v2/a/blobs/sha256:abc"},
        {"dots inside names", "/v2/a..b/c.d/manifests/...x", "/v2/a..b/c.d/manifests/...x"},
        {"repository named v2", "/v2/v2/private/manifests/x", "/v2/v2/private/manifests/x"},
        {"percent not before a separator", "/v2/a%20b/manifests/%2", "/v2/a b/manifests/%2"},
    };
    for (const Case &c : kAccepted) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(oci_request_target_ok(c.request_uri, c.path_info), 1);
    }
    static const Case kRefused[] = {
        {"program called by its own name", "/cgi-bin/v2_blob/v2/private/blobs/x", "/v2/private/blobs/x"},
        {"encoded program prefix", "/%63gi-bin/v2_blob/v2/a/blobs/x", "/v2/a/blobs/x"},
        {"encoded API root", "/%76%32/private/manifests/x", "/v2/private/manifests/x"},
        {"path without the API root", "", "/private/manifests/x"},
        {"path unset", "", "/"},
        {"empty path", "", ""},
        {"API root twice slashed", "", "//v2/private/manifests/x"},
        {"no leading slash", "", "v2/private/manifests/x"},
        {"root run into a name", "/v2private/manifests/x", "/v2private/manifests/x"},
        {"root in capitals", "/V2/private/manifests/x", "/V2/private/manifests/x"},
        {"dot-dot segment", "/v2/a/../private/manifests/x", "/v2/private/manifests/x"},
        {"dot segment", "/v2/./private/manifests/x", "/v2/private/manifests/x"},
        {"trailing dot-dot", "/v2/private/manifests/x/..", "/v2/private/manifests"},
        {"trailing dot", "/v2/private/manifests/x/.", "/v2/private/manifests/x"},
        {"encoded dot-dot", "/v2/a/%2e%2e/private/manifests/x", "/v2/private/manifests/x"},
        {"encoded dot, capitals", "/v2/a/%2E/private/manifests/x", "/v2/a/private/manifests/x"},
        {"half-encoded dot-dot", "/v2/a/.%2e/private/manifests/x", "/v2/private/manifests/x"},
        {"doubled slash after the root", "/v2//private/manifests/x", "/v2/private/manifests/x"},
        {"doubled slash inside a name", "/v2/a//b/manifests/x", "/v2/a/b/manifests/x"},
        {"encoded slash", "/v2/private%2Fapp/manifests/x", "/v2/private/app/manifests/x"},
        {"encoded slash, lower case", "/v2/private%2fapp/manifests/x", "/v2/private/app/manifests/x"},
        {"encoded slash ending the path", "/v2/a/manifests/x%2F", "/v2/a/manifests/x/"},
        {"absolute form", "http://host/v2/a/manifests/x", "/v2/a/manifests/x"},
        {"query only", "?/v2/", "/v2/"},
        {"target right, path not", "/v2/a/manifests/x", "/a/manifests/x"},
    };
    for (const Case &c : kRefused) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(oci_request_target_ok(c.request_uri, c.path_info), 0);
    }
}

// With the prefix always there, the path parser's optional "v2/" is always
// that prefix: a further "v2/" stays part of the name.
TEST(OciRequestTarget, SecondApiPrefixStaysInTheName)
{
    const std::string_view path = "/v2/v2/private/manifests/x";
    ASSERT_EQ(oci_request_target_ok(path, path), 1);
    char name[OCI_NAME_BUF];
    char ref[OCI_REF_BUF];
    ASSERT_EQ(oci_parse_repo_marker(path.data(), "/manifests/", name, sizeof name, ref, sizeof ref), 1);
    EXPECT_STREQ(name, "v2/private");
    EXPECT_STREQ(ref, "x");
    // The spelling that would have named "private" is the one refused.
    EXPECT_EQ(oci_request_target_ok("", "/private/manifests/x"), 0);
}

} // namespace
