// The manifest endpoint program run as a web server would run it: each test
// starts it with an explicit CGI environment, standard input and working
// directory, and checks the exact reply, the exit status (always 0) and
// that nothing reaches standard error. Covers what a server would hide:
// unset variables, lower-case methods, POST_BODY_FILE, config.json.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "subprocess.h"

using cgitest::error_doc;
using cgitest::manifest;
using cgitest::Outcome;
using cgitest::Reply;
using cgitest::sha256_digest;

namespace fs = std::filesystem;

namespace {

constexpr const char kApi[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr const char kNosniff[] = "X-Content-Type-Options: nosniff";
constexpr const char kJsonType[] = "Content-Type: application/json; charset=utf-8";
constexpr const char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr size_t kManifestMax = REG_MANIFEST_MAX;

class ManifestProgram : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = path("root");
    }

    // Runs the program with exactly env; every run must end with status 0
    // and leave standard error empty.
    Reply run(const std::vector<std::string> &env, const std::string &stdin_data = "", std::string cwd = "")
    {
        if (cwd.empty())
            cwd = dir_;
        Outcome r = cgitest::run_program(V2_MANIFEST_PATH, env, stdin_data, cwd);
        EXPECT_TRUE(r.exited) << "killed by signal " << r.status;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        Reply reply = cgitest::parse_reply(r.out);
        EXPECT_TRUE(reply.complete) << r.out;
        return reply;
    }

    // A request with the usual variables; a body sets CONTENT_LENGTH.
    Reply request(const std::string &method, const std::string &path_info, const std::string &body = "",
                  std::vector<std::string> extra = {})
    {
        std::vector<std::string> env = {"REQUEST_METHOD=" + method, "PATH_INFO=" + path_info,
                                        "REGISTRY_STORAGE_ROOT=" + root_};
        if (!body.empty())
            env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
        env.insert(env.end(), extra.begin(), extra.end());
        return run(env, body);
    }

    static void expect_error(const Reply &r, int status, const std::string &code, const std::string &message)
    {
        EXPECT_EQ(r.headers,
                  (std::vector<std::string>{"Status: " + std::to_string(status), kNosniff, kApi, kJsonType}));
        EXPECT_EQ(r.body, error_doc(code, message));
    }

    // PUT that must succeed; returns the digest it reported.
    std::string put(const std::string &name, const std::string &ref, const std::string &body,
                    std::vector<std::string> extra = {})
    {
        Reply r = request("PUT", "/v2/" + name + "/manifests/" + ref, body, extra);
        EXPECT_EQ(r.headers, (std::vector<std::string>{"Status: 201 Created", kNosniff, kApi,
                                                       "Location: /v2/" + name + "/manifests/" + ref,
                                                       "Docker-Content-Digest: " + sha256_digest(body)}));
        EXPECT_EQ(r.body, "");
        return sha256_digest(body);
    }

    static std::vector<std::string> fetch_headers(const std::string &body, const std::string &type)
    {
        std::string digest = sha256_digest(body);
        return {"Status: 200 OK",
                kNosniff,
                kApi,
                "Docker-Content-Digest: " + digest,
                "Etag: \"" + digest + "\"",
                "Content-Length: " + std::to_string(body.size()),
                "Content-Type: " + type,
                "Content-Security-Policy: sandbox; default-src 'none'"};
    }

    bool repositories_empty() const
    {
        return !fs::exists(root_ + "/repositories") || fs::is_empty(root_ + "/repositories");
    }

    std::string root_;
};

TEST_F(ManifestProgram, FailureTable)
{
    struct Case {
        const char *label;
        std::string method; // empty: REQUEST_METHOD unset
        std::optional<std::string> path_info;
        std::string body;
        int status;
        const char *code;
        std::string message;
    };
    const std::string known = "/v2/library/app/manifests/latest";
    const Case kCases[] = {
        {"path unset", "GET", std::nullopt, "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"path /", "GET", "/", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"no name", "GET", "/v2/manifests/latest", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"name starts with /", "GET", "/v2//app/manifests/latest", "", 404, "NAME_UNKNOWN",
         "repository name not known"},
        {"invalid name", "GET", "/v2/a b/manifests/latest", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"name of 256", "GET", "/v2/" + std::string(256, 'n') + "/manifests/x", "", 404, "NAME_UNKNOWN",
         "repository name not known"},
        {"other endpoint", "GET", "/v2/library/app/tags/list", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"empty reference", "GET", "/v2/library/app/manifests/", "", 404, "NAME_UNKNOWN",
         "repository name or reference missing"},
        {"slashes only", "PUT", "/v2/library/app/manifests///", "", 404, "NAME_UNKNOWN",
         "repository name or reference missing"},
        {"path before method", "PATCH", "/v2/manifests/x", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"PATCH", "PATCH", known, "", 405, "UNSUPPORTED", "Method not allowed for manifest endpoint"},
        {"lower case get", "get", known, "", 405, "UNSUPPORTED", "Method not allowed for manifest endpoint"},
        {"POST", "POST", known, manifest(), 405, "UNSUPPORTED", "Method not allowed for manifest endpoint"},
        {"GET unknown tag", "GET", known, "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"HEAD unknown tag", "HEAD", known, "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"GET short digest", "GET", "/v2/a/manifests/sha256:abc", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"GET unknown digest", "GET", "/v2/a/manifests/sha256:" + std::string(64, '0'), "", 404, "MANIFEST_UNKNOWN",
         "manifest unknown"},
        {"GET tag leaving its directory", "GET", "/v2/a/manifests/..", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"method unset, unknown", "", known, "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"DELETE unknown tag", "DELETE", known, "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"DELETE bad digest", "DELETE", "/v2/a/manifests/sha256:XYZ", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"PUT empty", "PUT", known, "", 400, "MANIFEST_INVALID", "manifest body cannot be empty"},
        {"PUT not JSON", "PUT", known, "{not json", 400, "MANIFEST_INVALID", "manifest JSON parse failed"},
        {"PUT no config", "PUT", known, "{}", 400, "MANIFEST_INVALID", "manifest missing valid config.digest"},
        // What is stored holds no NUL byte, so a fetch may take its length
        // from the text.
        {"PUT with a NUL byte", "PUT", known, manifest() + std::string(1, '\0'), 400, "MANIFEST_INVALID",
         "manifest JSON parse failed"},
        {"PUT tag ..", "PUT", "/v2/a/manifests/..", manifest(), 400, "MANIFEST_INVALID", "invalid tag: .."},
        {"PUT tag with /", "PUT", "/v2/a/manifests/x/y", manifest(), 400, "MANIFEST_INVALID", "invalid tag: x/y"},
        {"PUT wrong digest", "PUT", "/v2/a/manifests/sha256:" + std::string(64, '0'), manifest(), 400,
         "MANIFEST_INVALID",
         "digest mismatch: expected sha256:" + std::string(64, '0') + ", got " + sha256_digest(manifest())},
        {"PUT name with ..", "PUT", "/v2/a/../b/manifests/x", manifest(), 400, "NAME_INVALID",
         "invalid repository name"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> env = {"REGISTRY_STORAGE_ROOT=" + root_};
        if (!c.method.empty())
            env.push_back("REQUEST_METHOD=" + c.method);
        if (c.path_info)
            env.push_back("PATH_INFO=" + *c.path_info);
        if (!c.body.empty())
            env.push_back("CONTENT_LENGTH=" + std::to_string(c.body.size()));
        expect_error(run(env, c.body), c.status, c.code, c.message);
    }
    EXPECT_TRUE(repositories_empty());
}

TEST_F(ManifestProgram, StorageIsOpenedBeforeAnythingElse)
{
    put_file(path("file"), "x");
    root_ = path("file/sub"); // cannot be created below a file
    for (const char *method : {"GET", "PUT", "PATCH"}) {
        for (const char *p : {"/v2/library/app/manifests/latest", "/nowhere"}) {
            SCOPED_TRACE(std::string(method) + " " + p);
            expect_error(request(method, p, "{}"), 500, "STORAGE_ERROR", "Failed to initialize registry storage");
        }
    }
}

TEST_F(ManifestProgram, PutGetHeadDeleteRoundTrip)
{
    const std::string body = manifest('b', ",\"annotations\":{\"k\":\"v\\n\"}") + "\n";
    const std::string digest = put("library/app", "v1", body, {"CONTENT_TYPE=" + std::string(kOciType)});

    for (const std::string &ref : {std::string("v1"), digest, std::string("v1/")}) {
        SCOPED_TRACE(ref);
        Reply get = request("GET", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(get.headers, fetch_headers(body, kOciType));
        EXPECT_EQ(get.body, body); // the stored bytes exactly, nothing added
        Reply head = request("HEAD", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(head.headers, get.headers);
        EXPECT_EQ(head.body, "");
    }

    Reply del = request("DELETE", "/v2/library/app/manifests/v1");
    EXPECT_EQ(del.headers, (std::vector<std::string>{"Status: 202 Accepted", kNosniff, kApi}));
    EXPECT_EQ(del.body, "");
    expect_error(request("GET", "/v2/library/app/manifests/v1"), 404, "MANIFEST_UNKNOWN", "manifest unknown");
    expect_error(request("GET", "/v2/library/app/manifests/" + digest), 404, "MANIFEST_UNKNOWN", "manifest unknown");
}

TEST_F(ManifestProgram, PutByDigestAndDeleteByDigest)
{
    const std::string body = manifest('c');
    const std::string digest = put("a", sha256_digest(body), body);
    EXPECT_EQ(request("GET", "/v2/a/manifests/" + digest).body, body);
    EXPECT_EQ(request("DELETE", "/v2/a/manifests/" + digest).headers,
              (std::vector<std::string>{"Status: 202 Accepted", kNosniff, kApi}));
    expect_error(request("GET", "/v2/a/manifests/" + digest), 404, "MANIFEST_UNKNOWN", "manifest unknown");
}

TEST_F(ManifestProgram, MethodUnsetOrEmptyIsGet)
{
    const std::string body = manifest('d');
    put("a", "t", body);
    Reply unset = run({"PATH_INFO=/v2/a/manifests/t", "REGISTRY_STORAGE_ROOT=" + root_});
    EXPECT_EQ(unset.headers, fetch_headers(body, kDefaultType));
    EXPECT_EQ(unset.body, body);
    Reply empty = run({"REQUEST_METHOD=", "PATH_INFO=/v2/a/manifests/t", "REGISTRY_STORAGE_ROOT=" + root_});
    EXPECT_EQ(empty.body, body);
}

TEST_F(ManifestProgram, ContentTypeChoice)
{
    struct Case {
        const char *label;
        std::vector<std::string> env;
        std::string want;
    };
    const Case kCases[] = {
        {"CONTENT_TYPE",
         {"CONTENT_TYPE=application/x-one", "HTTP_CONTENT_TYPE=application/x-two"},
         "application/x-one"},
        {"HTTP_CONTENT_TYPE", {"HTTP_CONTENT_TYPE=application/x-two"}, "application/x-two"},
        {"empty CONTENT_TYPE", {"CONTENT_TYPE=", "HTTP_CONTENT_TYPE=application/x-two"}, "application/x-two"},
        {"neither", {}, kDefaultType},
    };
    char config = 'a';
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        const std::string body = manifest(config++);
        put("a", "t", body, c.env);
        EXPECT_EQ(request("HEAD", "/v2/a/manifests/t").headers, fetch_headers(body, c.want));
    }
}

// A declared type that is not a well-formed media type (it would be sent
// back in a header line of every GET) is refused and nothing is stored; a
// well-formed one with parameters is kept byte for byte.
TEST_F(ManifestProgram, MalformedMediaTypeIsRefused)
{
    const std::string body = manifest('d');
    for (const std::string &type : {std::string("application/json\r\nX-Injected: 1"), std::string("text"),
                                    "application/" + std::string(200, 'x')}) {
        SCOPED_TRACE(type);
        Reply r = request("PUT", "/v2/a/manifests/t", body, {"CONTENT_TYPE=" + type});
        expect_error(r, 400, "MANIFEST_INVALID", "invalid manifest media type");
        EXPECT_EQ(request("GET", "/v2/a/manifests/t").headers.front(), "Status: 404");
    }
    const std::string typed = "application/vnd.oci.image.manifest.v1+json; charset=utf-8";
    put("a", "t", body, {"CONTENT_TYPE=" + typed});
    Reply got = request("GET", "/v2/a/manifests/t");
    EXPECT_NE(std::find(got.headers.begin(), got.headers.end(), "Content-Type: " + typed), got.headers.end());
}

// A type stored before types were checked (or by hand) is never sent back
// as it is: the reply keeps its own header lines and says the default type.
TEST_F(ManifestProgram, StoredMalformedMediaTypeIsNotSentBack)
{
    const std::string body = manifest('f');
    const std::string digest = put("a", "t", body);
    for (const std::string &stored : {std::string("text/html\r\nSet-Cookie: session=stolen"), std::string("")}) {
        SCOPED_TRACE(stored);
        put_file(root_ + "/repositories/a/_manifests/" + digest.substr(7) + ".ct", stored);
        Reply got = request("GET", "/v2/a/manifests/t");
        EXPECT_EQ(got.headers, fetch_headers(body, kDefaultType));
        EXPECT_EQ(got.body, body);
    }
}

TEST_F(ManifestProgram, BodyFromPostBodyFile)
{
    const std::string body = manifest('e');
    put_file(path("body"), body);
    Reply r = run({"REQUEST_METHOD=PUT", "PATH_INFO=/v2/a/manifests/f", "REGISTRY_STORAGE_ROOT=" + root_,
                   "POST_BODY_FILE=" + path("body")},
                  "ignored standard input");
    EXPECT_EQ(r.headers, (std::vector<std::string>{"Status: 201 Created", kNosniff, kApi, "Location: /v2/a/manifests/f",
                                                   "Docker-Content-Digest: " + sha256_digest(body)}));
    EXPECT_EQ(request("GET", "/v2/a/manifests/f").body, body);
}

// The longest name and reference give a Location of 540 bytes, sent whole.
TEST_F(ManifestProgram, LocationLineIsWhole)
{
    std::string name;
    while (name.size() < 255)
        name += "abc/";
    name.resize(255);
    ASSERT_NE(name.back(), '/');
    const std::string tag(255, 't');
    const std::string body = manifest('f');
    Reply r = request("PUT", "/v2/" + name + "/manifests/" + tag, body);
    const std::string location = "Location: /v2/" + name + "/manifests/" + tag;
    EXPECT_EQ(r.headers, (std::vector<std::string>{"Status: 201 Created", kNosniff, kApi, location,
                                                   "Docker-Content-Digest: " + sha256_digest(body)}));
}

TEST_F(ManifestProgram, RootFromConfigInTheWorkingDirectory)
{
    put_file(path("config.json"), "{\"storage_root\": \"from_config\"}");
    const std::string body = manifest('1');
    Reply put = run(
        {"REQUEST_METHOD=PUT", "PATH_INFO=/v2/a/manifests/t", "CONTENT_LENGTH=" + std::to_string(body.size())}, body);
    ASSERT_EQ(put.headers.at(0), "Status: 201 Created");
    EXPECT_TRUE(fs::exists(path("from_config/repositories/a/_manifests/tags/t/current/link")));

    fs::remove(path("config.json"));
    put = run({"REQUEST_METHOD=PUT", "PATH_INFO=/v2/b/manifests/t", "CONTENT_LENGTH=" + std::to_string(body.size())},
              body);
    ASSERT_EQ(put.headers.at(0), "Status: 201 Created");
    EXPECT_TRUE(fs::exists(path("registry_storage/repositories/b/_manifests/tags/t/current/link")));
}

// Bodies over the store's limit are refused from the declared length alone.
TEST_F(ManifestProgram, OversizedBodyIsRefusedBeforeReading)
{
    sparse_file(path("huge"), static_cast<off_t>(3) << 30);
    put_file(path("big"), std::string(kManifestMax + 1, ' '));
    struct Case {
        const char *label;
        std::vector<std::string> env;
        std::string stdin_data;
    };
    const Case kCases[] = {
        {"one byte over", {"CONTENT_LENGTH=" + std::to_string(kManifestMax + 1)}, std::string(kManifestMax + 1, ' ')},
        // Declared but never sent: reading would wait or allocate 2 GB.
        {"2 GB declared", {"CONTENT_LENGTH=2147483648"}, ""},
        {"beyond 32 bits declared", {"CONTENT_LENGTH=99999999999"}, ""},
        {"body file over", {"POST_BODY_FILE=" + path("big")}, ""},
        {"body file of 3 GB", {"POST_BODY_FILE=" + path("huge"), "CONTENT_LENGTH=10"}, "0123456789"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> env = {"REQUEST_METHOD=PUT", "PATH_INFO=/v2/a/manifests/t",
                                        "REGISTRY_STORAGE_ROOT=" + root_};
        env.insert(env.end(), c.env.begin(), c.env.end());
        expect_error(run(env, c.stdin_data), 413, "MANIFEST_INVALID", "manifest too large");
    }
    EXPECT_TRUE(repositories_empty());
}

TEST_F(ManifestProgram, LargestManifestIsStoredAndServedWhole)
{
    std::string body = manifest('2');
    body.append(kManifestMax - body.size(), ' ');
    ASSERT_EQ(body.size(), kManifestMax);
    put("a", "big", body);
    Reply get = request("GET", "/v2/a/manifests/big");
    EXPECT_EQ(get.headers, fetch_headers(body, kDefaultType));
    EXPECT_EQ(get.body.size(), body.size());
    EXPECT_TRUE(get.body == body);
}

} // namespace
