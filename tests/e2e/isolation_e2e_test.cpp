// Repositories keep to themselves, behind lighttpd: a blob is served,
// mounted and deleted only where a repository holds it, an upload answers
// only to the repository that started it, names that collide with the
// store's own are refused, and a store written before holds existed keeps
// serving every pull across its upgrade.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_server.h"
#include "subprocess.h"

using namespace e2e;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

namespace {

constexpr const char kUploadUnknown[] = "blob upload unknown to registry";
constexpr const char kBlobUnknown[] = "blob unknown to registry";

class IsolationTest : public LighttpdTest {
protected:
    std::string push_blob(const std::string &name, const std::string &data)
    {
        std::string digest = sha256_digest(data);
        Response r = post(name, "?digest=" + digest, data);
        EXPECT_EQ(r.status, 201) << name << ": " << r.body;
        return digest;
    }

    std::string push_image(const std::string &name, const std::string &tag, const std::string &config,
                           const std::string &layer)
    {
        std::string body = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                           R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
                           push_blob(name, config) + R"(","size":)" + std::to_string(config.size()) +
                           R"(},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" +
                           push_blob(name, layer) + R"(","size":)" + std::to_string(layer.size()) + "}]}";
        Response r = http("PUT", "/v2/" + name + "/manifests/" + tag, body, {std::string("Content-Type: ") + kOciType});
        EXPECT_EQ(r.status, 201) << r.body;
        return body;
    }

    int blob_status(const std::string &method, const std::string &name, const std::string &digest)
    {
        return http(method, "/v2/" + name + "/blobs/" + digest).status;
    }

    bool stored(const std::string &digest) const
    {
        return fs::exists(root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7));
    }
};

TEST_F(IsolationTest, ABlobIsServedOnlyWhereARepositoryHoldsIt)
{
    const std::string data = blob_bytes(70000, 3);
    const std::string digest = push_blob("team/app", data);

    EXPECT_EQ(http("GET", "/v2/team/app/blobs/" + digest).body, data);
    for (const char *name : {"team/other", "team", "team/app/sub", "anything", "never/pushed/here"}) {
        SCOPED_TRACE(name);
        expect_error(http("GET", std::string("/v2/") + name + "/blobs/" + digest), 404, "BLOB_UNKNOWN", kBlobUnknown);
        EXPECT_EQ(blob_status("HEAD", name, digest), 404);
        // A range request learns nothing either.
        EXPECT_EQ(http("GET", std::string("/v2/") + name + "/blobs/" + digest, "", {"Range: bytes=0-0"}).status, 404);
    }

    // Bytes already stored, uploaded again by another repository: the
    // upload finishes as usual and the repository holds them from then on.
    EXPECT_EQ(push_blob("team/other", data), digest);
    EXPECT_EQ(http("GET", "/v2/team/other/blobs/" + digest).body, data);
}

TEST_F(IsolationTest, AnUploadAnswersOnlyToTheRepositoryThatStartedIt)
{
    Response started = post("owner/repo");
    ASSERT_EQ(started.status, 202);
    const std::string location = started.get("Location");
    const std::string uuid = location.substr(location.rfind('/') + 1);
    ASSERT_EQ(http("PATCH", location, "first").status, 202);

    const std::string foreign = "/v2/intruder/repo/blobs/uploads/" + uuid;
    const std::string digest = sha256_digest("first");
    struct Attempt {
        const char *method;
        std::string target;
        std::string body;
    };
    const Attempt kAttempts[] = {
        {"GET", foreign, ""},
        {"PATCH", foreign, "injected"},
        {"PUT", foreign + "?digest=" + digest, ""},
        {"PUT", foreign + "?digest=" + sha256_digest("firstinjected"), "injected"},
        {"DELETE", foreign, ""},
        {"GET", "/v2/owner/blobs/uploads/" + uuid, ""},
        {"GET", "/v2/owner/repo/x/blobs/uploads/" + uuid, ""},
    };
    for (const Attempt &a : kAttempts) {
        SCOPED_TRACE(std::string(a.method) + " " + a.target);
        expect_error(http(a.method, a.target, a.body), 404, "BLOB_UPLOAD_UNKNOWN", kUploadUnknown);
    }

    // Untouched: the owner resumes where it was and finishes.
    Response status = http("GET", location);
    EXPECT_EQ(status.status, 204);
    EXPECT_EQ(status.get("Range"), "0-4");
    Response put = http("PUT", with_query(location, "digest=" + digest));
    EXPECT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(http("GET", "/v2/owner/repo/blobs/" + digest).body, "first");
    EXPECT_EQ(blob_status("GET", "intruder/repo", digest), 404);
}

TEST_F(IsolationTest, AMountNeedsASourceThatHoldsTheBlob)
{
    const std::string digest = push_blob("src/repo", "mounted layer");
    const std::string elsewhere = push_blob("hidden/repo", "bytes only hidden holds");

    struct Case {
        std::string query;
        int status;
    };
    const Case kCases[] = {
        {"?mount=" + digest + "&from=src/repo", 201},
        // Stored, but not by the source named: no mount, and no hint that
        // the bytes are here.
        {"?mount=" + elsewhere + "&from=src/repo", 202},
        {"?mount=" + elsewhere + "&from=nobody", 202},
        {"?mount=" + elsewhere, 202},
        {"?mount=" + elsewhere + "&from=-bad-", 202},
        {"?mount=" + elsewhere + "&from=hidden/./repo", 202},
        {"?mount=" + sha256_digest("absent") + "&from=src/repo", 202},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.query);
        Response r = post("dst/repo", c.query);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.status == 202) {
            EXPECT_NE(r.get("Location").find("/v2/dst/repo/blobs/uploads/"), std::string::npos);
        }
    }
    EXPECT_EQ(http("GET", "/v2/dst/repo/blobs/" + digest).body, "mounted layer");
    EXPECT_EQ(blob_status("HEAD", "dst/repo", elsewhere), 404);
}

TEST_F(IsolationTest, BlobDeleteGivesUpOneHoldAndKeepsTheBytes)
{
    const std::string digest = push_blob("one", "held twice");
    ASSERT_EQ(post("two", "?mount=" + digest + "&from=one").status, 201);

    Response del = http("DELETE", "/v2/one/blobs/" + digest);
    EXPECT_EQ(del.status, 202) << del.body;
    EXPECT_EQ(del.get("Docker-Content-Digest"), digest);
    EXPECT_EQ(blob_status("GET", "one", digest), 404);
    EXPECT_EQ(http("GET", "/v2/two/blobs/" + digest).body, "held twice");
    EXPECT_TRUE(stored(digest)) << "the bytes wait for garbage collection";

    expect_error(http("DELETE", "/v2/one/blobs/" + digest), 404, "BLOB_UNKNOWN", kBlobUnknown);
    expect_error(http("DELETE", "/v2/three/blobs/" + digest), 404, "BLOB_UNKNOWN", kBlobUnknown);
    expect_error(http("DELETE", "/v2/two/blobs/sha256:abc"), 400, "DIGEST_INVALID", "invalid digest");
    EXPECT_EQ(blob_status("GET", "two", digest), 200);

    // Given up, then pushed again: held again.
    EXPECT_EQ(push_blob("one", "held twice"), digest);
    EXPECT_EQ(blob_status("GET", "one", digest), 200);
}

TEST_F(IsolationTest, NamesThatCollideWithTheStoreAreRefused)
{
    const std::string manifest = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                                 R"("config":{"digest":"sha256:)" +
                                 std::string(64, 'b') + R"("},"layers":[]})";
    const std::vector<std::string> ct = {std::string("Content-Type: ") + kOciType};
    // The name grammar has always refused these (404, as for any name that
    // cannot exist).
    for (const char *name : {"_x", ".x", "-x"}) {
        SCOPED_TRACE(name);
        expect_error(http("PUT", std::string("/v2/") + name + "/manifests/t", manifest, ct), 404, "NAME_UNKNOWN",
                     "repository name not known");
    }
    for (const char *name : {"x/_manifests/abc", "x/_layers", "a/.b", "a/.git/c", "a/_uploads"}) {
        SCOPED_TRACE(name);
        expect_error(http("PUT", std::string("/v2/") + name + "/manifests/t", manifest, ct), 400, "NAME_INVALID",
                     "invalid repository name");
        expect_error(post(name), 400, "NAME_INVALID", "invalid repository name");
        EXPECT_EQ(http("GET", std::string("/v2/") + name + "/manifests/t").status, 400);
    }
    // "." names the directory it stands in: a/./b would be a/b.
    ASSERT_EQ(http("PUT", "/v2/a/b/manifests/t", manifest, ct).status, 201);
    // Refused by the server or by the program, whichever sees it first.
    EXPECT_EQ(http("GET", "/v2/a/./b/manifests/t").status, 400);
    EXPECT_EQ(http("GET", "/v2/a/b/manifests/t").body, manifest);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/x")) << "a refused name leaves nothing behind";

    // A repository stored under such a name before the rule stays
    // readable and deletable, but takes nothing new.
    fs::create_directories(root_ + "/repositories/old");
    fs::rename(root_ + "/repositories/a/b", root_ + "/repositories/old/_legacy");
    EXPECT_EQ(http("GET", "/v2/old/_legacy/manifests/t").body, manifest);
    EXPECT_EQ(http("HEAD", "/v2/old/_legacy/manifests/t").status, 200);
    EXPECT_EQ(http("PUT", "/v2/old/_legacy/manifests/u", manifest, ct).status, 400);
    EXPECT_EQ(http("DELETE", "/v2/old/_legacy/manifests/t").status, 202);
}

// Every reply, success or error, from every program.
TEST_F(IsolationTest, EveryReplyForbidsSniffing)
{
    const std::string digest = push_blob("sniff", "<html><script>alert(1)</script></html>");
    const std::string kTargets[] = {
        "/v2/",
        "/v2/_catalog",
        "/v2/sniff/tags/list",
        "/v2/sniff/blobs/" + digest,
        "/v2/sniff/blobs/" + sha256_digest("absent"),
        "/v2/sniff/manifests/none",
        "/v2/sniff/referrers/" + digest,
        "/v2/sniff/blobs/uploads/00000000-0000-4000-8000-000000000000",
        "/v2/no/such/route",
    };
    for (const std::string &target : kTargets) {
        SCOPED_TRACE(target);
        Response r = http("GET", target);
        EXPECT_EQ(r.all("X-Content-Type-Options"), std::vector<std::string>{"nosniff"}) << r.status_line;
    }
    Response r = post("sniff");
    EXPECT_EQ(r.all("X-Content-Type-Options"), std::vector<std::string>{"nosniff"}) << r.status_line;
}

// A store written before holds existed: blobs, uploads and manifests, no
// holds and no mark. Every pull that worked keeps working before the
// upgrade and after it; after it, the isolation holds.
TEST_F(IsolationTest, AnOldStoreKeepsEveryPullAcrossItsUpgrade)
{
    const std::string app = push_image("lib/app", "v1", "config of app", "layer of app");
    const std::string web = push_image("lib/web", "v1", "config of web", "layer of web");
    const std::string loose = push_blob("lib/app", "uploaded, named by no manifest");
    // Make it the store the code before holds wrote.
    fs::remove(root_ + "/repository-holds");
    for (const char *repo : {"lib/app", "lib/web"})
        fs::remove_all(root_ + "/repositories/" + repo + "/_layers");

    auto pull_all = [&](const std::string &repo, const std::string &manifest) {
        for (const char *what : {"config of ", "layer of "}) {
            const std::string data = std::string(what) + repo.substr(4);
            Response r = http("GET", "/v2/" + repo + "/blobs/" + sha256_digest(data));
            EXPECT_EQ(r.body, data) << repo << " " << what;
        }
        EXPECT_EQ(http("GET", "/v2/" + repo + "/manifests/v1").body, manifest);
    };
    pull_all("lib/app", app);
    pull_all("lib/web", web);
    // As before the change, a stored blob answers under any name.
    EXPECT_EQ(blob_status("GET", "lib/web", sha256_digest("layer of app")), 200);

    cgitest::Outcome up =
        cgitest::run_command({REGISTRY_ADMIN_PATH, "--root", root_, "upgrade"}, {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(up.status, 0) << up.err;
    EXPECT_NE(up.out.find("2 repositories, 4 holds added"), std::string::npos) << up.out;

    pull_all("lib/app", app);
    pull_all("lib/web", web);
    EXPECT_EQ(blob_status("GET", "lib/web", sha256_digest("layer of app")), 404);
    EXPECT_EQ(blob_status("GET", "lib/app", loose), 404) << "nothing named it: the upgrade cannot know its holder";
    EXPECT_TRUE(fs::exists(root_ + "/repository-holds"));
}

} // namespace
