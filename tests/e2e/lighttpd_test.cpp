// End to end behind lighttpd: each test starts the server on a free loopback
// port from the same configuration generator that scripts/serve.sh uses,
// with a fresh storage root, and talks HTTP to it over a socket.
#include "e2e_server.h"
#include "reg_storage.h"

using namespace e2e;
using cgitest::error_doc;
using cgitest::manifest;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

namespace {

TEST_F(LighttpdTest, PushPullDelete)
{
    // Exact bytes: a body ending in a line feed, with UTF-8 inside.
    const std::string body = manifest('a', ",\"annotations\":{\"t\":\"caf\xc3\xa9\"}") + "\n";
    const std::string digest = sha256_digest(body);

    Response put = http("PUT", "/v2/library/app/manifests/v1", body, {std::string("Content-Type: ") + kOciType});
    EXPECT_EQ(put.status_line, "HTTP/1.0 201 Created");
    EXPECT_EQ(put.get("Location"), "/v2/library/app/manifests/v1");
    EXPECT_EQ(put.get("Docker-Content-Digest"), digest);
    EXPECT_EQ(put.get("Docker-Distribution-API-Version"), "registry/2.0");
    EXPECT_EQ(put.body, "");
    EXPECT_TRUE(fs::exists(root_ + "/repositories/library/app/_manifests/tags/v1/current/link"));

    for (const std::string &ref : {std::string("v1"), digest}) {
        SCOPED_TRACE(ref);
        Response get = http("GET", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(get.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(get.body, body);
        EXPECT_EQ(sha256_digest(get.body), get.get("Docker-Content-Digest"));
        EXPECT_EQ(get.all("Content-Length"), std::vector<std::string>{std::to_string(body.size())});
        EXPECT_EQ(get.get("Content-Type"), kOciType);
        EXPECT_EQ(get.get("Etag"), "\"" + digest + "\"");

        Response head = http("HEAD", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(head.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(head.body, "");
        EXPECT_EQ(head.get("Content-Length"), std::to_string(body.size()));
        EXPECT_EQ(head.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(head.get("Content-Type"), kOciType);
    }

    Response del = http("DELETE", "/v2/library/app/manifests/v1");
    EXPECT_EQ(del.status_line, "HTTP/1.0 202 Accepted");
    EXPECT_EQ(del.get("Docker-Distribution-API-Version"), "registry/2.0");
    expect_error(http("GET", "/v2/library/app/manifests/v1"), 404, "MANIFEST_UNKNOWN", "manifest unknown");
    expect_error(http("GET", "/v2/library/app/manifests/" + digest), 404, "MANIFEST_UNKNOWN", "manifest unknown");
}

TEST_F(LighttpdTest, ErrorDocuments)
{
    struct Case {
        const char *label;
        const char *method;
        std::string target;
        std::string body;
        int status;
        const char *code;
        std::string message;
    };
    const std::string wrong = "sha256:" + std::string(64, '0');
    const Case kCases[] = {
        {"unknown tag", "GET", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"unknown on HEAD", "HEAD", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN", ""},
        {"decoded name refused", "GET", "/v2/a%20b/manifests/x", "", 404, "NAME_UNKNOWN", "repository name not known"},
        {"no reference", "GET", "/v2/library/app/manifests/", "", 404, "NAME_UNKNOWN",
         "repository name or reference missing"},
        {"empty body", "PUT", "/v2/library/app/manifests/v1", "", 400, "MANIFEST_INVALID",
         "manifest body cannot be empty"},
        {"not JSON", "PUT", "/v2/library/app/manifests/v1", "nope", 400, "MANIFEST_INVALID",
         "manifest JSON parse failed"},
        {"decoded tag confined", "PUT", "/v2/library/app/manifests/x%5Cy", manifest(), 400, "MANIFEST_INVALID",
         "invalid tag: x\\\\y"},
        {"digest checked", "PUT", "/v2/library/app/manifests/" + wrong, manifest(), 400, "MANIFEST_INVALID",
         "digest mismatch: expected " + wrong + ", got " + sha256_digest(manifest())},
        {"too large", "PUT", "/v2/library/app/manifests/v1", std::string(REG_MANIFEST_MAX + 1, ' '), 413,
         "MANIFEST_INVALID", "manifest too large"},
        {"unknown delete", "DELETE", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"method", "PATCH", "/v2/library/app/manifests/v1", "", 405, "UNSUPPORTED",
         "Method not allowed for manifest endpoint"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        Response r = http(c.method, c.target, c.body);
        if (std::string(c.method) == "HEAD") {
            // The server drops the body of a HEAD reply but keeps its length.
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.get("Content-Type"), kJsonType);
            EXPECT_EQ(r.body, "");
            continue;
        }
        expect_error(r, c.status, c.code, c.message);
        EXPECT_TRUE(r.all("Allow").empty());
    }
    EXPECT_TRUE(fs::is_empty(root_ + "/repositories"));
}

TEST_F(LighttpdTest, PathIsDecodedAndQueryIgnored)
{
    const std::string body = manifest('b');
    Response put = http("PUT", "/v2/library/%61pp/manifests/v%31?x=1", body);
    EXPECT_EQ(put.status, 201);
    EXPECT_EQ(put.get("Location"), "/v2/library/app/manifests/v1");
    Response get = http("GET", "/v2/library/app/manifests/v1?n=5&last=a");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, body);
}

// The routing alone: a stand-in program reports what the server handed it.
// The stand-in is a shell script, so it runs as CGI only; under FastCGI
// every other suite goes through the same routes.
class LighttpdRoutingTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        if (server_mode() != "cgi")
            GTEST_SKIP() << "the stand-in program speaks CGI only";
        LighttpdTest::SetUp();
    }
    std::string cgi_dir() override
    {
        std::string dir = path("cgi-bin");
        fs::create_directory(dir);
        std::string prog = dir + "/v2_manifest";
        put_file(prog, "#!/bin/sh\n"
                       "printf 'Status: 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n'\n"
                       "printf '%s\\n' \"$REQUEST_METHOD\" \"$PATH_INFO\" \"$QUERY_STRING\" "
                       "\"$REGISTRY_STORAGE_ROOT\"\n");
        chmod(prog.c_str(), 0755);
        return dir;
    }
};

TEST_F(LighttpdRoutingTest, ProgramSeesDecodedPathQueryAndRoot)
{
    struct Case {
        const char *method;
        std::string target;
        std::string path_info;
        std::string query;
    };
    const Case kCases[] = {
        {"GET", "/v2/library/app/manifests/latest", "/v2/library/app/manifests/latest", ""},
        {"DELETE", "/v2/a/%62/manifests/sha256%3Aabc?", "/v2/a/b/manifests/sha256:abc", ""},
        {"GET", "/v2/a/manifests/x?n=1&last=b%26c", "/v2/a/manifests/x", "n=1&last=b%26c"},
        {"GET", "/v2/a/manifests/t%3Fq?real=1", "/v2/a/manifests/t?q", "real=1"},
        {"PUT", "/v2/a/manifests/latest/", "/v2/a/manifests/latest/", ""},
        {"GET", "/v2/a/b/manifests/", "/v2/a/b/manifests/", ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.target);
        Response r = http(c.method, c.target, c.method == std::string("PUT") ? "{}" : "");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, std::string(c.method) + "\n" + c.path_info + "\n" + c.query + "\n" + root_ + "\n");
    }
}

} // namespace
