// CGI gateway: bounded strings, request input (environment, method, query
// parameters, body) and reply output (header lines, fatal replies, JSON
// escaping). Functions that write to standard output, read standard input
// or end the process run in a forked child.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "hv_cgi.h"
#include "subprocess.h"

using cgitest::kReturned;
using cgitest::Outcome;
using cgitest::run_in_child;

namespace {

// Sets (or, with nullopt, unsets) variables for one test and restores them.
class EnvGuard {
public:
    EnvGuard(std::initializer_list<std::pair<const std::string, std::optional<std::string>>> vars)
    {
        for (auto &[name, value] : vars) {
            const char *old = getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            apply(name, value);
        }
    }
    ~EnvGuard()
    {
        for (auto &[name, value] : saved_)
            apply(name, value);
    }
    static void apply(const std::string &name, const std::optional<std::string> &value)
    {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// ------------------------------------------------------------- strings

TEST(HvStrings, StrlcpyCutsAndTerminates)
{
    struct Case {
        const char *src;
        size_t size;
        const char *want;
    };
    static const Case kCases[] = {
        {"hello", 4, "hel"}, {"hello", 6, "hello"}, {"hello", 100, "hello"},
        {"hello", 1, ""},    {nullptr, 8, ""},      {"", 8, ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.src ? c.src : "(null)") + " size " + std::to_string(c.size));
        char buf[16];
        memset(buf, 'x', sizeof buf);
        hv_strlcpy(buf, c.src, c.size);
        EXPECT_STREQ(buf, c.want);
        for (size_t i = c.size; i < sizeof buf; i++)
            EXPECT_EQ(buf[i], 'x') << "written past size at " << i;
    }
}

TEST(HvStrings, StrlcpyWithNoRoomWritesNothing)
{
    char buf[4] = {'x', 'x', 'x', 'x'};
    hv_strlcpy(buf, "abc", 0);
    EXPECT_EQ(buf[0], 'x');
    hv_strlcpy(nullptr, "abc", 4); // must not crash
}

TEST(HvStrings, SnprintfReportsWhatItStored)
{
    char buf[8];
    EXPECT_EQ(hv_snprintf(buf, sizeof buf, "%s", "0123456789"), 7);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(hv_snprintf(buf, sizeof buf, "%d", 42), 2);
    EXPECT_STREQ(buf, "42");
    EXPECT_EQ(hv_snprintf(buf, sizeof buf, "%s", "1234567"), 7);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(hv_snprintf(buf, 1, "%s", "abc"), 0);
    EXPECT_STREQ(buf, "");
    buf[0] = 'x';
    EXPECT_EQ(hv_snprintf(buf, 0, "%s", "abc"), 0);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(hv_snprintf(nullptr, 8, "%s", "abc"), 0);
}

TEST(HvStrings, PathJoinTouchesOnlyTheJoinPoint)
{
    struct Case {
        const char *first;
        const char *second;
        size_t size;
        const char *want;
    };
    static const Case kCases[] = {
        {"data", "blobs", 64, "data/blobs"},
        {"data/", "blobs", 64, "data/blobs"},
        {"data\\", "blobs", 64, "data\\blobs"},
        {"data", "//blobs", 64, "data/blobs"},
        {"data", "\\/blobs", 64, "data/blobs"},
        {"data", "blobs/sha256/", 64, "data/blobs/sha256/"},
        {"a/b", "c//d", 64, "a/b/c//d"},
        {"", "blobs", 64, "blobs"},
        {nullptr, "blobs", 64, "blobs"},
        {"data", "", 64, "data"},
        {"data", nullptr, 64, "data"},
        {nullptr, nullptr, 64, ""},
        {"data", "blobs", 8, "data/bl"},
        // The first part fills the buffer: no separator, nothing of second.
        {"1234567", "blobs", 8, "1234567"},
        // Room for the separator but for nothing of the second part.
        {"123456", "blobs", 8, "123456/"},
        {"data", "blobs", 5, "data"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.first ? c.first : "(null)") + " + " + (c.second ? c.second : "(null)") + " size " +
                     std::to_string(c.size));
        char buf[64];
        memset(buf, 'x', sizeof buf);
        hv_path_join(buf, c.size, c.first, c.second);
        EXPECT_STREQ(buf, c.want);
        for (size_t i = c.size; i < sizeof buf; i++)
            EXPECT_EQ(buf[i], 'x') << "written past size at " << i;
    }
}

// ------------------------------------------------------------- request

TEST(CgiRequest, EnvironmentLookupNeverYieldsNull)
{
    EnvGuard env{{"HV_TEST_SET", "value"}, {"HV_TEST_EMPTY", ""}, {"HV_TEST_UNSET", std::nullopt}};
    EXPECT_STREQ(cgi_env("HV_TEST_SET", "fb"), "value");
    EXPECT_STREQ(cgi_env("HV_TEST_EMPTY", "fb"), "fb");
    EXPECT_STREQ(cgi_env("HV_TEST_UNSET", "fb"), "fb");
    ASSERT_NE(cgi_env("HV_TEST_UNSET", nullptr), nullptr);
    EXPECT_STREQ(cgi_env("HV_TEST_UNSET", nullptr), "");
    EXPECT_STREQ(cgi_env("HV_TEST_EMPTY", nullptr), "");
    EXPECT_STREQ(cgi_env(nullptr, "fb"), "fb");
}

TEST(CgiRequest, MethodAndPathFallBack)
{
    {
        EnvGuard env{{"REQUEST_METHOD", std::nullopt}, {"PATH_INFO", std::nullopt}};
        EXPECT_STREQ(cgi_method(), "GET");
        EXPECT_STREQ(cgi_path_info(), "/");
    }
    {
        EnvGuard env{{"REQUEST_METHOD", ""}, {"PATH_INFO", ""}};
        EXPECT_STREQ(cgi_method(), "GET");
        EXPECT_STREQ(cgi_path_info(), "/");
    }
    {
        EnvGuard env{{"REQUEST_METHOD", "DELETE"}, {"PATH_INFO", "/v2/a/manifests/b"}};
        EXPECT_STREQ(cgi_method(), "DELETE");
        EXPECT_STREQ(cgi_path_info(), "/v2/a/manifests/b");
    }
}

TEST(CgiRequest, PostAndHeadArePrefixTests)
{
    struct Case {
        const char *method;
        int post;
        int head;
    };
    static const Case kCases[] = {
        {"POST", 1, 0}, {"POSTX", 1, 0},  {"PO", 1, 0},  {"PUT", 0, 0},  {"post", 0, 0}, {"P", 0, 0},
        {"HEAD", 0, 1}, {"HEADER", 0, 1}, {"HEA", 0, 0}, {"head", 0, 0}, {"GET", 0, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.method);
        EnvGuard env{{"REQUEST_METHOD", c.method}};
        EXPECT_EQ(cgi_is_post(), c.post);
        EXPECT_EQ(cgi_is_head(), c.head);
    }
    EnvGuard env{{"REQUEST_METHOD", std::nullopt}}; // served as GET
    EXPECT_EQ(cgi_is_post(), 0);
    EXPECT_EQ(cgi_is_head(), 0);
}

TEST(CgiQuery, FindsAndDecodesParameters)
{
    struct Case {
        const char *query;
        const char *name;
        std::string want;
    };
    static const Case kCases[] = {
        {"a=1&b=x+y%41&c", "b", "x yA"},
        {"a=1&b=x+y%41&c", "c", ""},
        {"a=1&b=x+y%41&c", "B", ""},
        {"a=1&b=x+y%41&c", "a", "1"},
        {"a=1&b=x+y%41&c", "d", ""},
        {"a=%4", "a", "%4"},
        {"a=%zz1", "a", "%zz1"},
        {"a=%4g", "a", "%4g"},
        {"a=%", "a", "%"},
        {"a=%4&b=1", "a", "%4"}, // the value ends at '&': no digits beyond it
        {"a=%2b%2F%c3%A9", "a", "+/\xc3\xa9"},
        {"a=1&a=2", "a", "1"},
        {"a=b=c", "a", "b=c"},
        {"a=", "a", ""},
        {"&&a=1&", "a", "1"},
        {"ab=1&a=2", "a", "2"},
        {"%61=1", "a", ""}, // keys are not decoded
        {"a=x%00y", "a", "x"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.query) + " [" + c.name + "]");
        EnvGuard env{{"QUERY_STRING", c.query}};
        EXPECT_EQ(std::string(cgi_query(c.name)), c.want);
    }
}

// Repeated parameters (?tag=a&tag=b) in their order, decoded like one;
// none from the environment, which holds one value a name.
TEST(CgiQuery, NthValueOfARepeatedParameter)
{
    EnvGuard env{{"QUERY_STRING", "tag=a&x=1&tag=b%2Bc&tags=no&tag=&tag"}, {"tag", "env"}};
    const char *want[] = {"a", "b+c", "", ""};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const char *got = cgi_query_nth("tag", i);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, want[i]);
    }
    EXPECT_EQ(cgi_query_nth("tag", 4), nullptr);
    EXPECT_EQ(cgi_query_nth("none", 0), nullptr);
    EXPECT_EQ(cgi_query_nth("", 0), nullptr);
    EXPECT_STREQ(cgi_query("tag"), "a");
    EnvGuard unset{{"QUERY_STRING", std::nullopt}};
    EXPECT_EQ(cgi_query_nth("tag", 0), nullptr);
}

TEST(CgiQuery, EmptyNameGivesEmptyString)
{
    EnvGuard env{{"QUERY_STRING", "=1&a=2"}};
    ASSERT_NE(cgi_query(""), nullptr);
    EXPECT_STREQ(cgi_query(""), "");
    EXPECT_STREQ(cgi_query(nullptr), "");
}

TEST(CgiQuery, LongValueIsCut)
{
    std::string query = "v=" + std::string(600, 'q') + "&w=" + std::string(300, 'r') + "%41";
    EnvGuard env{{"QUERY_STRING", query}};
    EXPECT_EQ(std::string(cgi_query("v")), std::string(CGI_QUERY_MAX, 'q'));
    EXPECT_EQ(std::string(cgi_query("w")), std::string(300, 'r') + "A");
    // 600 bytes that decode to 200: not cut.
    std::string enc;
    for (int i = 0; i < 200; i++)
        enc += "%41";
    EnvGuard env2{{"QUERY_STRING", "e=" + enc}};
    EXPECT_EQ(std::string(cgi_query("e")), std::string(200, 'A'));
}

TEST(CgiQuery, WithoutQueryStringReadsTheEnvironment)
{
    EnvGuard env{{"QUERY_STRING", ""}, {"tag", "abc"},   {"both", "C:\\x;D:\\y"},
                 {"semi", "a;b"},      {"colon", "a:b"}, {"none", std::nullopt}};
    EXPECT_STREQ(cgi_query("tag"), "abc");
    EXPECT_EQ(cgi_query("tag"), getenv("tag")); // the environment's own value
    EXPECT_STREQ(cgi_query("both"), "");
    EXPECT_STREQ(cgi_query("semi"), "a;b");
    EXPECT_STREQ(cgi_query("colon"), "a:b");
    EXPECT_STREQ(cgi_query("none"), "");
    EnvGuard unset{{"QUERY_STRING", std::nullopt}};
    EXPECT_STREQ(cgi_query("tag"), "abc");
}

TEST(CgiQuery, ValueLastsUntilTheEighthLaterCall)
{
    EnvGuard env{{"QUERY_STRING", "a=first"}};
    const char *held = cgi_query("a");
    ASSERT_STREQ(held, "first");
    EnvGuard env2{{"QUERY_STRING", "a=second"}};
    for (int i = 0; i < 7; i++) {
        EXPECT_STREQ(cgi_query("a"), "second");
        EXPECT_STREQ(cgi_query(""), ""); // calls with an empty name use no slot
        EXPECT_STREQ(held, "first") << "overwritten after " << i + 1 << " calls";
    }
    EXPECT_STREQ(cgi_query("a"), "second");
    EXPECT_STREQ(held, "second");
}

// The body as cgi_read_post returns it, printed by the child as
// "<null|len>:<bytes>" followed by what remained on standard input.
struct BodyResult {
    std::string head; // "null" or the count
    std::string body;
    std::string rest_of_stdin;
};

BodyResult read_post_in_child(const std::map<std::string, std::string> &env, const std::string &stdin_data,
                              bool with_len = true)
{
    Outcome r = run_in_child(
        [&] {
            for (auto &[k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            size_t len = 12345;
            char *body = cgi_read_post(with_len ? &len : nullptr);
            if (!body) {
                printf("null %zu|", len);
            } else {
                if (!with_len)
                    len = strlen(body);
                printf("%zu%s|", len, body[len] == '\0' ? "" : " unterminated");
                fwrite(body, 1, len, stdout);
                free(body);
            }
            printf("|");
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
                fwrite(buf, 1, n, stdout);
        },
        stdin_data);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, kReturned);
    EXPECT_EQ(r.err, "");
    BodyResult b;
    size_t bar = r.out.find('|');
    if (bar == std::string::npos)
        return b;
    b.head = r.out.substr(0, bar);
    if (b.head.rfind("null", 0) == 0) {
        b.rest_of_stdin = r.out.substr(bar + 2);
        return b;
    }
    size_t len = std::stoul(b.head);
    b.body = r.out.substr(bar + 1, len);
    b.rest_of_stdin = r.out.substr(bar + 1 + len + 1);
    return b;
}

TEST(CgiReadPost, ContentLengthRules)
{
    struct Case {
        const char *length; // nullptr: unset
        std::string head;
        std::string body;
        std::string rest;
    };
    const std::string input = "0123456789abcdefghij";
    const Case kCases[] = {
        {"12", "12", "0123456789ab", "cdefghij"},
        {"12abc", "12", "0123456789ab", "cdefghij"},
        {"  +5", "5", "01234", "56789abcdefghij"},
        {"40", "20", input, ""}, // shorter than declared: what arrived
        {"abc", "null 0", "", input},
        {"0", "null 0", "", input},
        {"-5", "null 0", "", input},
        {"", "null 0", "", input},
        {nullptr, "null 0", "", input},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.length ? c.length : "(unset)");
        std::map<std::string, std::string> env;
        if (c.length)
            env["CONTENT_LENGTH"] = c.length;
        BodyResult b = read_post_in_child(env, input);
        EXPECT_EQ(b.head, c.head);
        EXPECT_EQ(b.body, c.body);
        EXPECT_EQ(b.rest_of_stdin, c.rest);
    }
}

TEST(CgiReadPost, BodyMayHoldNulBytes)
{
    const std::string input("a\0b\0\0c", 6);
    BodyResult b = read_post_in_child({{"CONTENT_LENGTH", "6"}}, input);
    EXPECT_EQ(b.head, "6");
    EXPECT_EQ(b.body, input);
}

TEST(CgiReadPost, NullCountPointerIsAllowed)
{
    BodyResult b = read_post_in_child({{"CONTENT_LENGTH", "3"}}, "xyz!", false);
    EXPECT_EQ(b.head, "3");
    EXPECT_EQ(b.body, "xyz");
}

class CgiBodyFile : public cgitest::TempDirTest {};

TEST_F(CgiBodyFile, FileTakesPrecedenceOverStandardInput)
{
    put_file(path("body"), std::string("file\0body", 9));
    BodyResult b = read_post_in_child({{"POST_BODY_FILE", path("body")}, {"CONTENT_LENGTH", "3"}}, "stdin");
    EXPECT_EQ(b.head, "9");
    EXPECT_EQ(b.body, std::string("file\0body", 9));
    EXPECT_EQ(b.rest_of_stdin, "stdin");
}

TEST_F(CgiBodyFile, EmptyFileGivesEmptyBody)
{
    put_file(path("empty"), "");
    BodyResult b = read_post_in_child({{"POST_BODY_FILE", path("empty")}, {"CONTENT_LENGTH", "3"}}, "stdin");
    EXPECT_EQ(b.head, "0");
    EXPECT_EQ(b.rest_of_stdin, "stdin");
}

TEST_F(CgiBodyFile, MissingOrEmptyNameFallsBackToStandardInput)
{
    for (const std::string &name : {path("missing"), std::string()}) {
        SCOPED_TRACE(name);
        BodyResult b = read_post_in_child({{"POST_BODY_FILE", name}, {"CONTENT_LENGTH", "3"}}, "stdin");
        EXPECT_EQ(b.head, "3");
        EXPECT_EQ(b.body, "std");
    }
}

TEST_F(CgiBodyFile, FileBeyond32BitsIsRefused)
{
    for (off_t size : {static_cast<off_t>(INT32_MAX) + 1, static_cast<off_t>(5) << 30}) {
        SCOPED_TRACE(size);
        sparse_file(path("huge"), size);
        BodyResult b = read_post_in_child({{"POST_BODY_FILE", path("huge")}}, "stdin");
        EXPECT_EQ(b.head, "null 0");
        EXPECT_EQ(b.rest_of_stdin, "stdin");
    }
}

TEST_F(CgiBodyFile, DeclaredLengthIsFoundLikeTheBody)
{
    put_file(path("small"), "12345");
    sparse_file(path("huge"), static_cast<off_t>(5) << 30);
    struct Case {
        std::optional<std::string> file;
        std::optional<std::string> length;
        int64_t want;
    };
    const Case kCases[] = {
        {std::nullopt, std::nullopt, 0},
        {std::nullopt, "12abc", 12},
        {std::nullopt, "-5", -5},
        {std::nullopt, "abc", 0},
        {std::nullopt, "2147483648", INT32_MAX},
        {std::nullopt, "99999999999999999999", INT32_MAX},
        {path("small"), "100", 5},
        {path("missing"), "100", 100},
        {"", "7", 7},
        {path("huge"), "1", static_cast<int64_t>(5) << 30},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE((c.file ? *c.file : "(no file)") + " / " + (c.length ? *c.length : "(unset)"));
        EnvGuard env{{"POST_BODY_FILE", c.file}, {"CONTENT_LENGTH", c.length}};
        EXPECT_EQ(cgi_declared_body_length(), c.want);
    }
}

// ------------------------------------------------------------- reply

struct OutputCase {
    const char *label;
    void (*write)();
    const char *want;
};

TEST(CgiReply, HeaderLinesAreExact)
{
    static const OutputCase kCases[] = {
        {"html", [] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n"},
        {"json", [] { cgi_header_json(); }, "Content-Type: application/json; charset=utf-8\r\n"},
        {"text", [] { cgi_header_text(); }, "Content-Type: text/plain; charset=utf-8\r\n"},
        {"status with reason", [] { cgi_header_status(200, "OK"); },
         "Status: 200 OK\r\nX-Content-Type-Options: nosniff\r\n"},
        {"status null reason", [] { cgi_header_status(404, nullptr); },
         "Status: 404\r\nX-Content-Type-Options: nosniff\r\n"},
        {"status empty reason", [] { cgi_header_status(404, ""); },
         "Status: 404\r\nX-Content-Type-Options: nosniff\r\n"},
        {"status negative", [] { cgi_header_status(-1, "x y"); },
         "Status: -1 x y\r\nX-Content-Type-Options: nosniff\r\n"},
        {"content type", [] { cgi_header_ct("application/x; a=b"); }, "Content-Type: application/x; a=b\r\n"},
        {"extra", [] { cgi_header_extra("Location: /v2/a %d"); }, "Location: /v2/a %d\r\n"},
        {"end", [] { cgi_headers_end(); }, "\r\n"},
        {"stdout_bin",
         [] {
             hv_stdout_bin();
             hv_stdout_bin();
         },
         ""},
    };
    for (const OutputCase &c : kCases) {
        SCOPED_TRACE(c.label);
        Outcome r = run_in_child(c.write);
        EXPECT_EQ(r.status, kReturned);
        EXPECT_EQ(r.out, c.want);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CgiReply, HeaderBlockIsFlushedBeforeTheBody)
{
    // The body goes straight to the descriptor: it must land after the
    // header block, which cgi_headers_end has already flushed.
    Outcome r = run_in_child([] {
        cgi_header_status(201, "Created");
        cgi_header_extra("X: y");
        cgi_headers_end();
        cgitest::detail::write_all(1, "raw");
    });
    EXPECT_EQ(r.out, "Status: 201 Created\r\nX-Content-Type-Options: nosniff\r\nX: y\r\n\r\nraw");
}

TEST(CgiReply, FatalRepliesEndTheProcessWithZero)
{
    static const OutputCase kCases[] = {
        {"text", [] { cgi_die_text(404, "not here"); },
         "Status: 404\r\nX-Content-Type-Options: nosniff\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nnot here\n"},
        {"text null", [] { cgi_die_text(500, nullptr); },
         "Status: 500\r\nX-Content-Type-Options: nosniff\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\n"},
        {"json", [] { cgi_die_json(400, "bad \"x\"\n"); },
         "Status: 400\r\nX-Content-Type-Options: nosniff\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"bad \\\"x\\\"\\n\"}]}\n"},
        {"json null", [] { cgi_die_json(500, nullptr); },
         "Status: 500\r\nX-Content-Type-Options: nosniff\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
         "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n"},
    };
    for (const OutputCase &c : kCases) {
        SCOPED_TRACE(c.label);
        Outcome r = run_in_child(c.write);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0) << "the process must end inside the call, with status 0";
        EXPECT_EQ(r.out, c.want);
        EXPECT_EQ(r.err, "");
    }
}

std::string escaped(const char *text)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    json_escape_f(f, text);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

TEST(JsonEscape, EscapesByTheTable)
{
    struct Case {
        const char *in;
        const char *want;
    };
    static const Case kCases[] = {
        {"plain text", "plain text"},
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"\x01", "\\u0001"},
        {"\x1b", "\\u001b"},
        {"\x1f", "\\u001f"},
        {"\x0b", "\\u000b"},
        {"\x7f", "\x7f"},
        {"/", "/"},
        {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
        {"", ""},
        {"a\"b\\c\td", "a\\\"b\\\\c\\td"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(escaped(c.in), c.want);
    }
    EXPECT_EQ(escaped(nullptr), "");
}

} // namespace
