// Blob pulls and pushes behind lighttpd, along the workflows of the OCI
// conformance suite: blob HEAD and GET with ranges (X-Sendfile on and off),
// monolithic, streamed and chunked uploads, upload status, cancel, mount and
// digest checks. A few cases a web server would hide (a body shorter than
// its declared length, a broken storage) run the programs directly.
#include "e2e_server.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

using namespace e2e;
using cgitest::error_doc;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

namespace {

// "<prefix>" followed by an upload ID: 8-4-4-4-12 lowercase hex digits.
bool is_upload_url(const std::string &url, const std::string &prefix)
{
    if (url.size() != prefix.size() + 36 || url.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = 0; i < 36; i++) {
        char c = url[prefix.size() + i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::string blob_file(const std::string &root, const std::string &digest)
{
    return root + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
}

class BlobApiTest : public LighttpdTest {
protected:
    // Starts an upload and returns its Location.
    std::string start_upload(const std::string &name)
    {
        Response r = post(name);
        EXPECT_EQ(r.status, 202) << r.body;
        return r.get("Location");
    }

    std::string push(const std::string &name, const std::string &data)
    {
        std::string digest = sha256_digest(data);
        Response r = post(name, "?digest=" + digest, data);
        EXPECT_EQ(r.status, 201) << r.body;
        return digest;
    }

    void expect_upload_reply(const Response &r, int status, const std::string &location, const std::string &range)
    {
        EXPECT_EQ(r.status, status) << r.status_line << r.body;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Location"), location);
        EXPECT_EQ(r.get("Range"), range);
        EXPECT_EQ(r.get("Docker-Upload-UUID"), location.substr(location.rfind('/') + 1));
        EXPECT_EQ(r.body, "");
    }

    void expect_stored(const std::string &name, const std::string &data)
    {
        Response get = http("GET", "/v2/" + name + "/blobs/" + sha256_digest(data));
        EXPECT_EQ(get.status, 200);
        EXPECT_TRUE(get.body == data) << "blob differs, " << get.body.size() << " bytes";
    }
};

// The same server with X-Sendfile switched off: the blob program sends
// every body itself.
class BlobApiNoSendfileTest : public BlobApiTest {
protected:
    bool x_sendfile() override { return false; }
};

// ---------------------------------------------------------------- pull

TEST_F(BlobApiTest, HeadAndGetOfAStoredBlob)
{
    const std::string data = blob_bytes(300000);
    const std::string digest = push("library/app", data);

    {
        const std::string name = "library/app";
        Response head = http("HEAD", "/v2/" + name + "/blobs/" + digest);
        EXPECT_EQ(head.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(head.get("Content-Length"), std::to_string(data.size()));
        EXPECT_EQ(head.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(head.get("Content-Type"), "application/octet-stream");
        EXPECT_EQ(head.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(head.body, "");

        Response get = http("GET", "/v2/" + name + "/blobs/" + digest);
        EXPECT_EQ(get.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(get.all("Content-Length"), std::vector<std::string>{std::to_string(data.size())});
        EXPECT_EQ(get.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(get.get("Content-Type"), "application/octet-stream");
        EXPECT_EQ(get.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_TRUE(get.body == data) << get.body.size() << " bytes";
    }
    // The empty blob.
    const std::string empty = push("library/app", "");
    Response get = http("GET", "/v2/library/app/blobs/" + empty);
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.get("Content-Length"), "0");
    EXPECT_EQ(get.body, "");
}

TEST_F(BlobApiTest, PullErrors)
{
    const std::string digest = push("library/app", "stored");
    // Well-formed digests of either algorithm that name nothing stored.
    for (const std::string &absent : {sha256_digest("never pushed"), "sha512:" + std::string(128, 'a')}) {
        SCOPED_TRACE(absent);
        expect_error(http("GET", "/v2/library/app/blobs/" + absent), 404, "BLOB_UNKNOWN", "blob unknown to registry");
        EXPECT_EQ(http("HEAD", "/v2/library/app/blobs/" + absent).status, 404);
    }
    for (const std::string &bad : {std::string("sha256:abc"), "sha256:" + std::string(64, 'A'), std::string("latest"),
                                   "sha512:" + std::string(127, 'a'), "sha384:" + std::string(96, 'a')}) {
        SCOPED_TRACE(bad);
        expect_error(http("GET", "/v2/library/app/blobs/" + bad), 400, "DIGEST_INVALID", "invalid digest");
        EXPECT_EQ(http("HEAD", "/v2/library/app/blobs/" + bad).status, 400);
    }
    expect_error(http("GET", "/v2/-bad/blobs/" + digest), 404, "NAME_UNKNOWN", "repository name not known");

    expect_error(http("PUT", "/v2/library/app/blobs/" + digest, "x"), 405, "UNSUPPORTED",
                 "Method not allowed for blob endpoint");
    EXPECT_EQ(http("GET", "/v2/library/app/blobs/" + digest).body, "stored");
}

struct RangeCase {
    const char *range;
    int status;
    const char *content_range; // nullptr: none expected
    size_t first;
    size_t len;
};

// A 200000-byte blob (several pieces).
const RangeCase kRangeCases[] = {
    {"bytes=0-0", 206, "bytes 0-0/200000", 0, 1},
    {"bytes=100-199", 206, "bytes 100-199/200000", 100, 100},
    {"bytes=65530-131080", 206, "bytes 65530-131080/200000", 65530, 65551},
    {"bytes=199990-", 206, "bytes 199990-199999/200000", 199990, 10},
    {"bytes=-5", 206, "bytes 199995-199999/200000", 199995, 5},
    {"bytes=150000-999999", 206, "bytes 150000-199999/200000", 150000, 50000},
    {"bytes=-999999", 206, "bytes 0-199999/200000", 0, 200000},
    {"bytes=200000-", 416, "bytes */200000", 0, 0},
    {"bytes=300000-300001", 416, "bytes */200000", 0, 0},
    {"bytes=-0", 416, "bytes */200000", 0, 0},
    {"bytes=5-4", 200, nullptr, 0, 200000},     // invalid: ignored
    {"bytes=abc", 200, nullptr, 0, 200000},     // malformed: ignored
    {"bytes=0-1,5-6", 200, nullptr, 0, 200000}, // several ranges: ignored
    {"pages=1-2", 200, nullptr, 0, 200000},
};

void check_ranges(const std::function<Response(const std::string &)> &get_with)
{
    const std::string data = blob_bytes(200000, 7);
    for (const RangeCase &c : kRangeCases) {
        SCOPED_TRACE(c.range);
        Response r = get_with(c.range);
        EXPECT_EQ(r.status, c.status) << r.status_line;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Range"), c.content_range ? c.content_range : "<absent>");
        if (c.status == 416) {
            EXPECT_EQ(r.body, error_doc("SIZE_INVALID", "requested range not satisfiable"));
            continue;
        }
        EXPECT_EQ(r.get("Content-Length"), std::to_string(c.len));
        EXPECT_TRUE(r.body == data.substr(c.first, c.len)) << r.body.size() << " bytes";
    }
}

TEST_F(BlobApiTest, RangeRequestsWithSendfile)
{
    const std::string digest = push("r", blob_bytes(200000, 7));
    check_ranges(
        [&](const std::string &range) { return http("GET", "/v2/r/blobs/" + digest, "", {"Range: " + range}); });
}

TEST_F(BlobApiNoSendfileTest, RangeRequestsWithoutSendfile)
{
    const std::string digest = push("r", blob_bytes(200000, 7));
    check_ranges(
        [&](const std::string &range) { return http("GET", "/v2/r/blobs/" + digest, "", {"Range: " + range}); });
}

TEST_F(BlobApiTest, RangeOfAnEmptyBlobIsUnsatisfiable)
{
    const std::string digest = push("r", "");
    Response r = http("GET", "/v2/r/blobs/" + digest, "", {"Range: bytes=0-"});
    EXPECT_EQ(r.status, 416);
    EXPECT_EQ(r.get("Content-Range"), "bytes */0");
}

// The server sends the file itself only with X-Sendfile: lighttpd then adds
// the file's Last-Modified, which the program never writes.
TEST_F(BlobApiTest, WholeGetGoesThroughSendfile)
{
    const std::string data = blob_bytes(100000, 3);
    const std::string digest = push("s", data);
    Response r = http("GET", "/v2/s/blobs/" + digest);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.get("Last-Modified"), "<absent>");
    EXPECT_EQ(r.get("X-Sendfile"), "<absent>");
    EXPECT_EQ(r.get("Docker-Content-Digest"), digest);
    EXPECT_TRUE(r.body == data);
}

TEST_F(BlobApiNoSendfileTest, WholeGetIsStreamedWithoutSendfile)
{
    const std::string data = blob_bytes(100000, 3);
    const std::string digest = push("s", data);
    Response r = http("GET", "/v2/s/blobs/" + digest);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.get("Last-Modified"), "<absent>");
    EXPECT_EQ(r.get("Content-Length"), std::to_string(data.size()));
    EXPECT_TRUE(r.body == data);
}

// ---------------------------------------------------------------- push

TEST_F(BlobApiTest, PostThenPutMonolithic)
{
    const std::string data = blob_bytes(150000, 2);
    const std::string digest = sha256_digest(data);
    Response started = post("library/app");
    EXPECT_EQ(started.status_line, "HTTP/1.0 202 Accepted");
    const std::string location = started.get("Location");
    EXPECT_TRUE(is_upload_url(location, "/v2/library/app/blobs/uploads/")) << location;
    expect_upload_reply(started, 202, location, "0-0");
    EXPECT_EQ(started.get("Content-Length"), "0");

    expect_blob_created(http("PUT", location + "?digest=" + digest, data), "library/app", digest);
    expect_stored("library/app", data);
    EXPECT_EQ(upload_count(root_), 0u);
    // The upload is spent.
    expect_error(http("GET", location), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
}

TEST_F(BlobApiTest, PostWithDigestIsMonolithic)
{
    const std::string data = blob_bytes(70000, 4);
    const std::string digest = sha256_digest(data);
    expect_blob_created(post("library/app", "?digest=" + digest, data), "library/app", digest);
    expect_stored("library/app", data);

    // The wrong digest stores nothing and leaves no upload behind.
    const std::string wrong = sha256_digest("something else");
    Response r = post("library/app", "?digest=" + wrong, "other bytes");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("\"code\":\"DIGEST_INVALID\""), std::string::npos) << r.body;
    EXPECT_FALSE(fs::exists(blob_file(root_, wrong)));
    EXPECT_FALSE(fs::exists(blob_file(root_, sha256_digest("other bytes"))));
    expect_error(post("library/app", "?digest=sha256:123", "x"), 400, "DIGEST_INVALID", "invalid digest");
    EXPECT_EQ(upload_count(root_), 0u);
}

TEST_F(BlobApiTest, StreamedPatchThenPut)
{
    const std::string data = blob_bytes(250000, 5);
    const std::string digest = sha256_digest(data);
    const std::string location = start_upload("a/b");

    Response patched = http("PATCH", location, data, {"Content-Type: application/octet-stream"});
    expect_upload_reply(patched, 202, location, "0-" + std::to_string(data.size() - 1));

    Response status = http("GET", location);
    expect_upload_reply(status, 204, location, "0-" + std::to_string(data.size() - 1));

    expect_blob_created(http("PUT", location + "?digest=" + digest), "a/b", digest);
    expect_stored("a/b", data);
}

TEST_F(BlobApiTest, ChunkedPatchInOrderAndOutOfOrder)
{
    const std::string data = blob_bytes(200001, 6);
    const std::string digest = sha256_digest(data);
    const std::string location = start_upload("a/b");
    const std::string a = data.substr(0, 100000), b = data.substr(100000, 100000), c = data.substr(200000);

    expect_upload_reply(http("PATCH", location, a, {"Content-Range: 0-99999"}), 202, location, "0-99999");

    // A chunk that does not start where the upload ends: 416, the upload
    // unchanged and its progress in the reply.
    for (const char *range : {"0-99999", "100001-200000", "99999-199998"}) {
        SCOPED_TRACE(range);
        Response r = http("PATCH", location, b, {std::string("Content-Range: ") + range});
        EXPECT_EQ(r.status, 416) << r.body;
        EXPECT_EQ(r.get("Range"), "0-99999");
        EXPECT_EQ(r.get("Location"), location);
        EXPECT_NE(r.body.find("\"code\":\"BLOB_UPLOAD_INVALID\""), std::string::npos) << r.body;
    }
    // A range that does not match the body's length, or that is malformed.
    for (const char *range : {"100000-100009", "garbage", "100000-"}) {
        SCOPED_TRACE(range);
        Response r = http("PATCH", location, b, {std::string("Content-Range: ") + range});
        EXPECT_EQ(r.status, 416) << r.body;
        EXPECT_EQ(r.get("Range"), "0-99999");
    }
    expect_upload_reply(http("GET", location), 204, location, "0-99999");

    expect_upload_reply(http("PATCH", location, b, {"Content-Range: 100000-199999"}), 202, location, "0-199999");
    // The final PUT carries the last chunk.
    expect_blob_created(http("PUT", location + "?digest=" + digest, c, {"Content-Range: 200000-200000"}), "a/b",
                        digest);
    expect_stored("a/b", data);
}

TEST_F(BlobApiTest, CancelUpload)
{
    const std::string location = start_upload("a/b");
    ASSERT_EQ(http("PATCH", location, "partial").status, 202);
    EXPECT_EQ(upload_count(root_), 1u);

    Response del = http("DELETE", location);
    EXPECT_EQ(del.status_line, "HTTP/1.0 204 No Content");
    EXPECT_EQ(del.get("Docker-Distribution-API-Version"), "registry/2.0");
    EXPECT_EQ(upload_count(root_), 0u);
    expect_error(http("GET", location), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    expect_error(http("DELETE", location), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
}

TEST_F(BlobApiTest, MountFromAnotherRepository)
{
    const std::string data = "layer shared between repositories";
    const std::string digest = push("source/repo", data);
    expect_blob_created(post("target/repo", "?mount=" + digest + "&from=source/repo"), "target/repo", digest);
    expect_stored("target/repo", data);
    EXPECT_EQ(upload_count(root_), 0u);

    // A blob that is not stored (or a malformed one): a new upload instead.
    for (const std::string &mount : {sha256_digest("absent"), std::string("sha256:zz")}) {
        SCOPED_TRACE(mount);
        Response r = post("target/repo", "?mount=" + mount + "&from=source/repo");
        EXPECT_EQ(r.status, 202) << r.body;
        EXPECT_TRUE(is_upload_url(r.get("Location"), "/v2/target/repo/blobs/uploads/")) << r.get("Location");
        EXPECT_EQ(r.get("Range"), "0-0");
    }
    EXPECT_EQ(upload_count(root_), 2u);
}

TEST_F(BlobApiTest, PutDigestChecks)
{
    const std::string location = start_upload("a/b");
    ASSERT_EQ(http("PATCH", location, "content").status, 202);

    // A missing or malformed digest keeps the upload.
    expect_error(http("PUT", location), 400, "DIGEST_INVALID", "digest missing");
    expect_error(http("PUT", location + "?digest=sha256:short"), 400, "DIGEST_INVALID", "invalid digest");
    expect_upload_reply(http("GET", location), 204, location, "0-6");

    // A wrong digest spends it.
    const std::string wrong = sha256_digest("not the content");
    Response r = http("PUT", location + "?digest=" + wrong);
    expect_error(r, 400, "DIGEST_INVALID", "digest mismatch: expected " + wrong + ", got " + sha256_digest("content"));
    expect_error(http("GET", location), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    EXPECT_FALSE(fs::exists(blob_file(root_, wrong)));
    EXPECT_FALSE(fs::exists(blob_file(root_, sha256_digest("content"))));
}

TEST_F(BlobApiTest, UnknownAndMalformedUploads)
{
    const std::string unknown = "/v2/a/b/blobs/uploads/01234567-89ab-cdef-0123-456789abcdef";
    for (const std::string &target : {unknown, std::string("/v2/a/b/blobs/uploads/not-a-uuid")}) {
        SCOPED_TRACE(target);
        for (const char *method : {"GET", "PATCH", "PUT", "DELETE"}) {
            SCOPED_TRACE(method);
            std::string query = std::string(method) == "PUT" ? "?digest=" + sha256_digest("x") : "";
            expect_error(http(method, target + query, std::string(method) == "GET" ? "" : "x"), 404,
                         "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
        }
    }
    EXPECT_EQ(upload_count(root_), 0u);
    expect_error(http("GET", "/v2/a/b/blobs/uploads/"), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    expect_error(post("-bad-/x"), 404, "NAME_UNKNOWN", "repository name not known");
    const std::string location = start_upload("a/b");
    expect_error(http("POST", location, "x"), 405, "UNSUPPORTED", "Method not allowed for blob upload endpoint");
    expect_error(http("OPTIONS", location), 405, "UNSUPPORTED", "Method not allowed for blob upload endpoint");
}

// ---------------------------------------------------------------- direct

// The programs run as a CGI host runs them, for what a web server would
// not let through.
class BlobCgiTest : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root_ = path("storage");
    }

    cgitest::Outcome run(const std::string &prog, std::vector<std::string> env, const std::string &body = "")
    {
        env.push_back("REGISTRY_STORAGE_ROOT=" + root_);
        cgitest::Outcome o = cgitest::run_program(std::string(CGI_BIN_DIR) + "/" + prog, env, body);
        EXPECT_TRUE(o.exited);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.err, "");
        return o;
    }

    static bool has_line(const cgitest::Reply &r, const std::string &line)
    {
        return std::find(r.headers.begin(), r.headers.end(), line) != r.headers.end();
    }

    std::string start_upload()
    {
        cgitest::Reply r =
            cgitest::parse_reply(run("v2_upload", {"REQUEST_METHOD=POST", "PATH_INFO=/v2/a/blobs/uploads/"}).out);
        for (const std::string &h : r.headers)
            if (h.rfind("Docker-Upload-UUID: ", 0) == 0)
                return h.substr(20);
        ADD_FAILURE() << "no upload started";
        return "";
    }

    std::string root_;
};

TEST_F(BlobCgiTest, BodyShorterThanDeclaredIsRefused)
{
    const std::string uuid = start_upload();
    const std::string path_info = "PATH_INFO=/v2/a/blobs/uploads/" + uuid;
    ASSERT_EQ(
        cgitest::parse_reply(run("v2_upload", {"REQUEST_METHOD=PATCH", path_info, "CONTENT_LENGTH=4"}, "abcd").out)
            .headers[0],
        "Status: 202 Accepted");

    struct Case {
        const char *label;
        std::string content_length;
        const char *message;
    };
    const Case cases[] = {
        {"a few bytes short", "10", "request body ended after 5 of 10 bytes"},
        // Past 32 bits: read in full, never clamped or wrapped.
        {"past 4 GiB", "4294967301", "request body ended after 5 of 4294967301 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        cgitest::Outcome o =
            run("v2_upload", {"REQUEST_METHOD=PATCH", path_info, "CONTENT_LENGTH=" + c.content_length}, "efghi");
        cgitest::Reply r = cgitest::parse_reply(o.out);
        ASSERT_TRUE(r.complete) << o.out;
        EXPECT_EQ(r.headers[0], "Status: 400");
        EXPECT_TRUE(has_line(r, "Range: 0-3"));
        EXPECT_EQ(r.body, error_doc("SIZE_INVALID", c.message));
    }
    // The same on the final PUT: nothing is committed.
    const std::string digest = sha256_digest("abcdefghi");
    cgitest::Outcome o = run(
        "v2_upload", {"REQUEST_METHOD=PUT", path_info, "QUERY_STRING=digest=" + digest, "CONTENT_LENGTH=9"}, "efghi");
    EXPECT_EQ(cgitest::parse_reply(o.out).body, error_doc("SIZE_INVALID", "request body ended after 5 of 9 bytes"));
    EXPECT_FALSE(fs::exists(blob_file(root_, digest)));

    // A monolithic POST with a short body leaves neither blob nor upload.
    o = run(
        "v2_upload",
        {"REQUEST_METHOD=POST", "PATH_INFO=/v2/a/blobs/uploads/", "QUERY_STRING=digest=" + digest, "CONTENT_LENGTH=9"},
        "abcd");
    EXPECT_EQ(cgitest::parse_reply(o.out).body, error_doc("SIZE_INVALID", "request body ended after 4 of 9 bytes"));
    EXPECT_FALSE(fs::exists(blob_file(root_, digest)));
    EXPECT_EQ(upload_count(root_), 1u);

    // The upload is as it was: the rest of the content completes it.
    o = run("v2_upload", {"REQUEST_METHOD=PUT", path_info, "QUERY_STRING=digest=" + digest, "CONTENT_LENGTH=5"},
            "efghi");
    EXPECT_EQ(cgitest::parse_reply(o.out).headers[0], "Status: 201 Created");
    EXPECT_EQ(slurp(blob_file(root_, digest)), "abcdefghi");
}

TEST_F(BlobCgiTest, MalformedContentLength)
{
    const std::string uuid = start_upload();
    for (const char *cl : {"abc", "-5", "12abc", "99999999999999999999999"}) {
        SCOPED_TRACE(cl);
        cgitest::Outcome o =
            run("v2_upload",
                {"REQUEST_METHOD=PATCH", "PATH_INFO=/v2/a/blobs/uploads/" + uuid, std::string("CONTENT_LENGTH=") + cl},
                "abc");
        EXPECT_EQ(cgitest::parse_reply(o.out).body, error_doc("SIZE_INVALID", "invalid Content-Length"));
    }
}

TEST_F(BlobCgiTest, BodyFromPostBodyFile)
{
    const std::string uuid = start_upload();
    const std::string data = blob_bytes(140000, 9);
    put_file(path("body"), data);
    cgitest::Outcome o = run("v2_upload",
                             {"REQUEST_METHOD=PATCH", "PATH_INFO=/v2/a/blobs/uploads/" + uuid,
                              "POST_BODY_FILE=" + path("body"), "CONTENT_LENGTH=3"},
                             "xyz");
    cgitest::Reply r = cgitest::parse_reply(o.out);
    EXPECT_EQ(r.headers[0], "Status: 202 Accepted");
    EXPECT_TRUE(has_line(r, "Range: 0-" + std::to_string(data.size() - 1)));
    EXPECT_EQ(slurp(root_ + "/uploads/" + uuid + ".part"), data);
}

TEST_F(BlobCgiTest, SendfileHeaderOnlyWhenEnabledAndWithoutRange)
{
    const std::string data = "0123456789";
    const std::string digest = sha256_digest(data);
    cgitest::Outcome o = run(
        "v2_upload",
        {"REQUEST_METHOD=POST", "PATH_INFO=/v2/a/blobs/uploads/", "QUERY_STRING=digest=" + digest, "CONTENT_LENGTH=10"},
        data);
    ASSERT_EQ(cgitest::parse_reply(o.out).headers[0], "Status: 201 Created") << o.out;
    const std::string pi = "PATH_INFO=/v2/a/blobs/" + digest;

    cgitest::Reply r = cgitest::parse_reply(run("v2_blob", {"REQUEST_METHOD=GET", pi, "REGISTRY_X_SENDFILE=1"}).out);
    EXPECT_TRUE(has_line(r, "X-Sendfile: " + blob_file(root_, digest)));
    EXPECT_TRUE(has_line(r, "Content-Length: 10"));
    EXPECT_EQ(r.body, "");

    r = cgitest::parse_reply(run("v2_blob", {"REQUEST_METHOD=GET", pi}).out);
    EXPECT_EQ(r.body, data);
    r = cgitest::parse_reply(
        run("v2_blob", {"REQUEST_METHOD=GET", pi, "REGISTRY_X_SENDFILE=1", "HTTP_RANGE=bytes=2-3"}).out);
    EXPECT_EQ(r.headers[0], "Status: 206 Partial Content");
    EXPECT_EQ(r.body, "23");
    r = cgitest::parse_reply(run("v2_blob", {"REQUEST_METHOD=HEAD", pi, "REGISTRY_X_SENDFILE=1"}).out);
    EXPECT_FALSE(has_line(r, "X-Sendfile: " + blob_file(root_, digest)));
    EXPECT_EQ(r.body, "");
}

TEST_F(BlobCgiTest, StorageThenPathThenMethod)
{
    put_file(path("not-a-dir"), "x");
    struct Case {
        const char *prog;
        std::string root;
        const char *method;
        const char *path_info;
        const char *status;
        const char *code;
    };
    const std::string broken = path("not-a-dir") + "/sub";
    const Case cases[] = {
        {"v2_blob", broken, "BREW", "/nonsense", "Status: 500", "STORAGE_ERROR"},
        {"v2_upload", broken, "BREW", "/nonsense", "Status: 500", "STORAGE_ERROR"},
        {"v2_blob", root_, "BREW", "/v2//blobs/x", "Status: 404", "NAME_UNKNOWN"},
        {"v2_upload", root_, "BREW", "/v2/a/blobs/x", "Status: 404", "NAME_UNKNOWN"},
        {"v2_blob", root_, "BREW", "/v2/a/blobs/x", "Status: 405", "UNSUPPORTED"},
        {"v2_upload", root_, "BREW", "/v2/a/blobs/uploads/x", "Status: 405", "UNSUPPORTED"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.prog) + " " + c.path_info);
        cgitest::Outcome o =
            cgitest::run_program(std::string(CGI_BIN_DIR) + "/" + c.prog,
                                 {"REGISTRY_STORAGE_ROOT=" + c.root, std::string("REQUEST_METHOD=") + c.method,
                                  std::string("PATH_INFO=") + c.path_info});
        EXPECT_TRUE(o.exited);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.err, "");
        cgitest::Reply r = cgitest::parse_reply(o.out);
        ASSERT_FALSE(r.headers.empty()) << o.out;
        EXPECT_EQ(r.headers[0], c.status);
        EXPECT_NE(r.body.find(std::string("\"code\":\"") + c.code + "\""), std::string::npos) << r.body;
    }
}

} // namespace
