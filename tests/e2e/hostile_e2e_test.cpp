// Hostile HTTP against the running server: path traversal in every encoding
// in names, references, digests and upload IDs of every route, over-long
// names, lying body lengths, bad ranges and unknown methods. Every answer is
// a registry error document with a 4xx status, or lighttpd's own refusal
// before any program ran (counted apart); nothing outside the storage root
// is created, read or removed; no 500, and the server answers afterwards.
// Figures are printed ("hostile: ...").
#include <map>

#include "robust_client.h"

using namespace e2e;
using cgitest::error_doc;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace {

constexpr const char kMarker[] = "SENTINEL-7f3a";

struct Entry {
    bool dir;
    std::string content_digest;
    bool operator==(const Entry &) const = default;
};
using Snapshot = std::map<std::string, Entry>;

class HostileTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // Things a traversal could reach: files beside the root, a tree
        // shaped like a repository beside it (with a valid manifest and tag),
        // and a file in the directory above the test directory.
        sentinel_manifest_ = manifest('e', std::string(",\"annotations\":{\"m\":\"") + kMarker + "\"}");
        const std::string hex = sha256_digest(sentinel_manifest_).substr(7);
        fs::create_directories(path("victim/_manifests/tags/t/current"));
        put_file(path("victim/_manifests/" + hex), sentinel_manifest_);
        put_file(path("victim/_manifests/tags/t/current/link"), "sha256:" + hex);
        put_file(path("SENTINEL.txt"), kMarker);
        put_file(path("link"), "sha256:" + hex);
        outer_sentinel_ = dir_ + ".sentinel";
        put_file(outer_sentinel_, kMarker);

        // Something legitimate that no hostile request may remove.
        keep_ = manifest('1');
        ASSERT_EQ(http("PUT", "/v2/keep/app/manifests/keep", keep_).status, 201);
        blob_ = std::string(5000, 'b') + "end";
        if (program_exists("v2_upload")) {
            Response up = http("POST", "/v2/keep/app/blobs/uploads/?digest=" + sha256_digest(blob_), blob_);
            ASSERT_EQ(up.status, 201) << up.body;
        }
        before_ = snapshot_outside();
    }

    void TearDown() override
    {
        unlink(outer_sentinel_.c_str());
        LighttpdTest::TearDown();
    }

    // Everything below the test directory except the root and the server's
    // run directory, and the sentinel above it.
    Snapshot snapshot_outside()
    {
        Snapshot s;
        for (auto it = fs::recursive_directory_iterator(dir_); it != fs::recursive_directory_iterator(); ++it) {
            const std::string p = it->path().string();
            if (p == root_ || p == path("run")) {
                it.disable_recursion_pending();
                continue;
            }
            s[p] = {it->is_directory(), it->is_directory() ? "" : sha256_digest(slurp(p))};
        }
        s[outer_sentinel_] = {false, sha256_digest(slurp(outer_sentinel_))};
        return s;
    }

    // Classifies one reply; an anomaly is recorded with the case's label.
    void judge(const std::string &label, const std::string &method, const Response &r, bool may_succeed)
    {
        tried_++;
        if (r.body.find(kMarker) != std::string::npos) {
            bad_.add(label + ": served a file from outside its place");
            return;
        }
        const bool registry = r.get("Docker-Distribution-API-Version") == "registry/2.0";
        if (r.status == 0) {
            // The server closed without a reply: only lighttpd does that.
            server_closed_++;
            return;
        }
        if (!registry) {
            // lighttpd's own refusals: a bad request, an unknown method (501)
            // or protocol version (505). A 500 would be a program that died.
            if ((r.status >= 400 && r.status < 500) || r.status == 501 || r.status == 505) {
                server_refused_++;
                return;
            }
            bad_.add(label + ": non-registry reply " + r.status_line);
            return;
        }
        if (r.status >= 500) {
            bad_.add(label + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
            return;
        }
        // Dot segments that climb back to /v2/ are folded by the server
        // into the version check, which answers {} (3 bytes).
        if (r.status == 200 && r.get("Content-Length") == "3" && (r.body == "{}\n" || method == "HEAD")) {
            base_answered_++;
            return;
        }
        if (r.status >= 200 && r.status < 300) {
            if (!may_succeed)
                bad_.add(label + ": accepted with " + r.status_line);
            else
                accepted_++;
            if (getenv("ROBUST_VERBOSE"))
                printf("hostile: answered %d: %s\n", r.status, label.c_str());
            return;
        }
        if (r.status < 400 || r.status >= 500) {
            bad_.add(label + ": status " + r.status_line);
            return;
        }
        if (r.get("Content-Type").rfind("application/json", 0) != 0)
            bad_.add(label + ": error without JSON type: " + r.get("Content-Type"));
        if (method != "HEAD" &&
            (r.body.rfind("{\"errors\":[{\"code\":\"", 0) != 0 || r.body.find("]}") == std::string::npos))
            bad_.add(label + ": error without the registry document: " + r.body.substr(0, 200));
        refused_++;
    }

    void check_unchanged(const std::string &label)
    {
        Snapshot now = snapshot_outside();
        if (now == before_)
            return;
        for (auto &[p, e] : now)
            if (!before_.count(p) || before_[p].content_digest != e.content_digest)
                bad_.add(label + ": changed outside the root: " + p);
        for (auto &[p, e] : before_)
            if (!now.count(p))
                bad_.add(label + ": removed outside the root: " + p);
        before_ = now;
    }

    void send(const std::string &label, const std::string &method, const std::string &target,
              const std::string &body = "", const std::vector<std::string> &headers = {}, bool may_succeed = false)
    {
        Response r = http_at(port_, method, target, body, headers);
        judge(label + " " + method + " " + target.substr(0, 120), method, r, may_succeed);
        check_unchanged(label + " " + method + " " + target.substr(0, 120));
    }

    std::string sentinel_manifest_, keep_, blob_, outer_sentinel_;
    Snapshot before_;
    Anomalies bad_;
    int tried_ = 0, base_answered_ = 0, refused_ = 0, server_refused_ = 0, server_closed_ = 0, accepted_ = 0;
};

// Path pieces that try to leave their place, in every spelling the server
// or a program might decode.
const std::vector<std::string> &hostile_pieces()
{
    static const std::vector<std::string> pieces = {
        "..",
        ".",
        "%2e%2e",
        "%2E%2E",
        "%2e",
        "..%2f..",
        "..%2F..%2F..%2Fvictim",
        "%2e%2e%2f%2e%2e%2f%2e%2e",
        "..%5c..%5cvictim",
        "..\\..\\victim",
        "a%5cb",
        "a%00b",
        "%00",
        "a//b",
        "%2f%2f",
        "%2F",
        "....//",
        "%252e%252e%252f",
        "%c0%ae%c0%ae",
        "..%2f..%2f..%2f..%2f..%2f..%2fvictim%2f_manifests%2ftags%2ft",
        "..%2f..%2f..%2f..%2fSENTINEL.txt",
        std::string(300, 'a'),
        std::string(5000, 'b'),
    };
    return pieces;
}

TEST_F(HostileTest, TraversalAndOverlongInEveryRoute)
{
    const std::string body = manifest('2');
    const std::string good_digest = sha256_digest(body);
    const std::string uuid = "0a1b2c3d-0000-4000-8000-00000000abcd";
    // Sanitized programs are slower: they get every third piece (the plain
    // build runs them all).
    size_t index = 0;
    for (const std::string &t : hostile_pieces()) {
        if (index++ % kRobustScaleDiv != 0)
            continue;
        SCOPED_TRACE(t.substr(0, 60));
        for (const std::string &name : {t, "ok/" + t + "/x", "ok/" + t}) {
            // The server folds "." and ".." segments before routing, so a
            // name may become a plain one and succeed; the snapshots then
            // show whether anything left the root.
            for (const char *m : {"GET", "HEAD", "PUT", "DELETE"})
                send("name", m, "/v2/" + name + "/manifests/latest", m == std::string("PUT") ? body : "", {}, true);
            for (const char *m : {"GET", "HEAD", "DELETE"})
                send("name", m, "/v2/" + name + "/blobs/" + good_digest, "", {}, true);
            send("name", "POST", "/v2/" + name + "/blobs/uploads/", "", {}, true);
            send("name", "POST", "/v2/" + name + "/blobs/uploads/?digest=" + good_digest, body, {}, true);
            send("name", "PUT", "/v2/" + name + "/blobs/uploads/" + uuid + "?digest=" + good_digest, body);
            send("name", "GET", "/v2/" + name + "/tags/list", "", {}, true);
            send("name", "GET", "/v2/" + name + "/referrers/" + good_digest, "", {}, true);
        }
        // As a reference: a tag or a digest of a manifest.
        for (const std::string &ref : {t, "sha256:" + t, "x/" + t}) {
            // Any byte but a separator may name a tag in this store: a PUT
            // may succeed, inside the root.
            for (const char *m : {"GET", "HEAD", "DELETE"})
                send("ref", m, "/v2/ok/app/manifests/" + ref, "", {}, true);
            send("ref", "PUT", "/v2/ok/app/manifests/" + ref, body, {}, true);
        }
        // As a digest of a blob or a referrers subject.
        for (const std::string &d : {t, "sha256:" + t, "sha256:" + std::string(62, 'a') + t}) {
            for (const char *m : {"GET", "HEAD", "DELETE"})
                send("digest", m, "/v2/keep/app/blobs/" + d);
            send("digest", "GET", "/v2/keep/app/referrers/" + d);
            send("digest", "POST", "/v2/keep/app/blobs/uploads/?digest=" + d, body);
            // A mount that cannot be done may start a plain upload instead.
            send("digest", "POST", "/v2/keep/app/blobs/uploads/?mount=" + d + "&from=keep/app", "", {}, true);
            send("digest", "POST", "/v2/keep/app/blobs/uploads/?mount=" + good_digest + "&from=" + d, "", {}, true);
        }
        // As an upload ID.
        for (const char *m : {"GET", "PATCH", "PUT", "DELETE"})
            send("upload", m,
                 "/v2/keep/app/blobs/uploads/" + t + (m == std::string("PUT") ? "?digest=" + good_digest : ""),
                 m == std::string("GET") || m == std::string("DELETE") ? "" : body);
        // As paging parameters: the listings may answer, but only from the root.
        send("query", "GET", "/v2/_catalog?n=5&last=" + t, "", {}, true);
        send("query", "GET", "/v2/keep/app/tags/list?n=5&last=" + t, "", {}, true);
    }
    // Numbers that are no numbers, or do not fit.
    for (const char *n : {"-1", "abc", "99999999999999999999", "1e9", "%00", "0x10", "-99999999999999999999"}) {
        send("n", "GET", std::string("/v2/_catalog?n=") + n, "", {}, true);
        send("n", "GET", std::string("/v2/keep/app/tags/list?n=") + n, "", {}, true);
    }

    // Over-long names and references are refused, never cut to another name.
    for (size_t len : {size_t(256), size_t(300), size_t(5000)}) {
        Response r = http_at(port_, "PUT", "/v2/keep/app/manifests/" + std::string(len, 't'), body);
        judge("long tag PUT", "PUT", r, false);
        // Up to the server's own limit on a request line, the program answers.
        const bool reaches_program = len < 4000;
        if (reaches_program) {
            EXPECT_EQ(r.body, error_doc("MANIFEST_INVALID", "reference too long")) << len;
        }
        r = http_at(port_, "GET", "/v2/keep/app/manifests/" + std::string(len, 't'));
        judge("long tag GET", "GET", r, false);
        if (reaches_program) {
            EXPECT_EQ(r.status, 404) << len;
        }
        r = http_at(port_, "PUT", "/v2/" + std::string(len, 'n') + "/manifests/latest", body);
        judge("long name PUT", "PUT", r, false);
        if (reaches_program) {
            EXPECT_EQ(r.body, error_doc("NAME_UNKNOWN", "repository name not known")) << len;
        }
    }
    EXPECT_FALSE(fs::exists(root_ + "/repositories/keep/app/_manifests/tags/" + std::string(255, 't')));

    check_unchanged("end");
    // The legitimate content is still there, byte for byte, and the server answers.
    Response keep = http("GET", "/v2/keep/app/manifests/keep");
    EXPECT_EQ(keep.status, 200);
    EXPECT_EQ(keep.body, keep_);
    if (program_exists("v2_blob")) {
        Response blob = http("GET", "/v2/keep/app/blobs/" + sha256_digest(blob_));
        EXPECT_EQ(blob.status, 200);
        EXPECT_EQ(blob.body, blob_);
    }
    EXPECT_EQ(slurp(path("SENTINEL.txt")), kMarker);
    EXPECT_EQ(slurp(outer_sentinel_), kMarker);
    printf("hostile: traversal requests=%d refused_by_registry=%d refused_by_server=%d closed_by_server=%d "
           "answered_inside_root=%d folded_to_base=%d anomalies=%d\n",
           tried_, refused_, server_refused_, server_closed_, accepted_, base_answered_, bad_.count.load());
    EXPECT_EQ(bad_.count.load(), 0) << bad_.text();
}

TEST_F(HostileTest, LyingLengthsRangesAndMethods)
{
    const std::string body = manifest('3');
    const std::string target = "/v2/keep/app/manifests/lie";
    const std::string head = "PUT " + target + " HTTP/1.0\r\nHost: x\r\nContent-Type: application/json\r\n";
    struct Raw {
        const char *label;
        std::string request;
        bool shut_write;
    };
    const Raw kRaw[] = {
        {"length larger than sent", head + "Content-Length: 100000\r\n\r\n" + body, true},
        {"length larger, first byte only", head + "Content-Length: 500\r\n\r\n{", true},
        {"length smaller than sent", head + "Content-Length: 10\r\n\r\n" + body, false},
        {"length zero with a body", head + "Content-Length: 0\r\n\r\n" + body, false},
        {"negative length", head + "Content-Length: -5\r\n\r\n" + body, false},
        {"huge length", head + "Content-Length: 99999999999999999999\r\n\r\n" + body, true},
        {"length beyond 32 bits", head + "Content-Length: 4294967297\r\n\r\n" + body, true},
        {"length not a number", head + "Content-Length: abc\r\n\r\n" + body, false},
        {"two lengths", head + "Content-Length: 5\r\nContent-Length: 7\r\n\r\n" + body, false},
        {"broken chunking",
         "PUT " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" +
             body + "\r\n0\r\n\r\n",
         false},
        {"chunk longer than sent",
         "PUT " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\nffff\r\n" +
             body,
         true},
        {"header without colon", "GET " + target + " HTTP/1.0\r\nHost x\r\n\r\n", false},
        {"header of 20000 bytes", "GET " + target + " HTTP/1.0\r\nX-A: " + std::string(20000, 'a') + "\r\n\r\n", false},
        {"request line only", "GET\r\n\r\n", false},
        {"unknown protocol version", "GET " + target + " HTTP/9.9\r\n\r\n", false},
        {"NUL in the target", std::string("GET /v2/keep/app/manifests/a\0b HTTP/1.0\r\n\r\n", 44), false},
        {"upload with lying length",
         "PATCH /v2/keep/app/blobs/uploads/0a1b2c3d-0000-4000-8000-00000000abcd HTTP/1.0\r\nContent-Length: "
         "9000\r\n\r\nxx",
         true},
    };
    for (const Raw &c : kRaw) {
        SCOPED_TRACE(c.label);
        Response r = parse_response(raw_exchange(port_, c.request, c.shut_write, 5000));
        judge(c.label, "PUT", r, false);
        check_unchanged(c.label);
    }
    EXPECT_FALSE(fs::exists(root_ + "/repositories/keep/app/_manifests/tags/lie"));

    // Methods the routes do not know.
    const char *routes[] = {"/v2/keep/app/manifests/keep", "/v2/keep/app/blobs/" /* digest added */,
                            "/v2/keep/app/tags/list", "/v2/_catalog", "/v2/keep/app/referrers/"};
    for (const char *route : routes) {
        std::string t = route;
        if (t.back() == '/')
            t += sha256_digest(blob_);
        for (const char *m : {"PATCH", "FOO", "OPTIONS", "TRACE", "CONNECT", "get", "PROPFIND", "M-SEARCH"})
            send("method", m, t, "", {}, false);
    }
    Response patch = http("PATCH", "/v2/keep/app/manifests/keep");
    EXPECT_EQ(patch.status, 405);
    EXPECT_EQ(patch.body, error_doc("UNSUPPORTED", "Method not allowed for manifest endpoint"));

    // Ranges on a stored blob: a 4xx document, the whole blob, or exactly
    // the slice the Content-Range line names.
    int ranges = 0;
    if (program_exists("v2_blob")) {
        const std::string blob_target = "/v2/keep/app/blobs/" + sha256_digest(blob_);
        for (const char *range : {"bytes=abc", "bytes=5-2", "bytes=999999999-", "bytes=-0", "bytes=0-1,2-3",
                                  "bytes=99999999999999999999999-1", "bytes=-99999999999999999999",
                                  "bytes=", "items=0-1", "bytes=0--1", "bytes= 0-1", "bytes=18446744073709551615-"}) {
            Response r = http_at(port_, "GET", blob_target, "", {std::string("Range: ") + range});
            ranges++;
            if (r.status == 206) {
                tried_++;
                unsigned long long first = 0, last = 0, total = 0;
                if (sscanf(r.get("Content-Range").c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) != 3 ||
                    total != blob_.size() || r.body != blob_.substr(first, last - first + 1))
                    bad_.add(std::string("range ") + range + ": 206 with " + r.get("Content-Range"));
                continue;
            }
            if (r.status == 200) {
                tried_++;
                if (r.body != blob_)
                    bad_.add(std::string("range ") + range + ": 200 not the whole blob");
                continue;
            }
            judge(std::string("blob-range ") + range, "GET", r, false);
        }
    }
    check_unchanged("end");

    Response keep = http("GET", "/v2/keep/app/manifests/keep");
    EXPECT_EQ(keep.status, 200);
    EXPECT_EQ(keep.body, keep_);
    printf("hostile: raw/method/range requests=%d (ranges=%d) refused_by_registry=%d refused_by_server=%d "
           "closed_by_server=%d anomalies=%d\n",
           tried_, ranges, refused_, server_refused_, server_closed_, bad_.count.load());
    EXPECT_EQ(bad_.count.load(), 0) << bad_.text();
}

} // namespace
