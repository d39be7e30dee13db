// A multi-platform image through a real client: skopeo copies an OCI layout
// holding an image index of two platform manifests into the registry behind
// lighttpd and back out again, every manifest and blob included (--all). The
// registry must keep each manifest byte for byte, so the index digest and
// each platform manifest's digest survive the round trip.
#include <algorithm>
#include <map>

#include "e2e_server.h"

using namespace e2e;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

namespace {

constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";

std::string find_skopeo()
{
    for (const char *p : {"/usr/bin/skopeo", "/usr/local/bin/skopeo", "/bin/skopeo"})
        if (access(p, X_OK) == 0)
            return p;
    return "";
}

// Every blob of a layout, by file name, with its bytes.
std::map<std::string, std::string> blobs_of(const std::string &layout)
{
    std::map<std::string, std::string> out;
    for (const auto &e : fs::directory_iterator(layout + "/blobs/sha256"))
        out[e.path().filename().string()] = slurp(e.path().string());
    return out;
}

class MultiarchE2eTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        skopeo_ = find_skopeo();
        ASSERT_NE(skopeo_, "") << "skopeo not found (scripts/setup.sh installs it)";
        put_file(path("policy.json"), "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
    }

    cgitest::Outcome run(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"/usr/bin/timeout", "300"};
        argv.insert(argv.end(), args.begin(), args.end());
        return cgitest::run_command(argv, {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=" + dir_, "TMPDIR=" + dir_});
    }

    cgitest::Outcome skopeo_copy(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {skopeo_, "--policy", path("policy.json"), "copy", "--all", "--quiet"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }

    std::string registry(const std::string &image)
    {
        return "docker://127.0.0.1:" + std::to_string(port_) + "/" + image;
    }

    // Builds the two-platform layout in layout_ and has skopeo push it, every
    // manifest and blob, to image.
    void push_layout(const std::string &image)
    {
        layout_ = path("layout");
        cgitest::Outcome made =
            run({"/bin/sh", std::string(TESTS_E2E_DIR) + "/make_oci_index_layout.sh", layout_, "multi"});
        ASSERT_EQ(made.status, 0) << made.err;
        top_ = digests_in(slurp(layout_ + "/index.json"));
        ASSERT_EQ(top_.size(), 1u);
        index_body_ = slurp(layout_ + "/blobs/sha256/" + top_[0].substr(7));
        ASSERT_EQ(sha256_digest(index_body_), top_[0]);
        platforms_ = digests_in(index_body_);
        ASSERT_EQ(platforms_.size(), 2u);
        cgitest::Outcome push = skopeo_copy({"--dest-tls-verify=false", "oci:" + layout_ + ":multi", registry(image)});
        ASSERT_EQ(push.status, 0) << push.out << push.err;
    }

    std::string skopeo_;
    std::string layout_;
    std::vector<std::string> top_;       // the layout's index.json digests: the index
    std::string index_body_;             // the index's bytes
    std::vector<std::string> platforms_; // the platform manifests it lists
};

TEST_F(MultiarchE2eTest, IndexAndPlatformManifestsSurviveARoundTrip)
{
    ASSERT_NO_FATAL_FAILURE(push_layout("library/multi:v1"));
    const std::string &index_digest = top_[0];

    // The registry holds the index under the tag, byte for byte.
    Response r = http("GET", "/v2/library/multi/manifests/v1");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.get("Docker-Content-Digest"), index_digest);
    EXPECT_EQ(r.get("Content-Type"), kIndexType);
    EXPECT_EQ(r.body, index_body_);
    for (const std::string &d : platforms_) {
        SCOPED_TRACE(d);
        Response m = http("GET", "/v2/library/multi/manifests/" + d);
        EXPECT_EQ(m.status, 200);
        EXPECT_EQ(m.get("Docker-Content-Digest"), d);
        EXPECT_EQ(sha256_digest(m.body), d);
    }

    const std::string out = path("out");
    cgitest::Outcome pull = skopeo_copy({"--src-tls-verify=false", registry("library/multi:v1"), "oci:" + out + ":v1"});
    ASSERT_EQ(pull.status, 0) << pull.out << pull.err;
    EXPECT_EQ(digests_in(slurp(out + "/index.json")), top_);
    // Index, both platform manifests, their configs and layers: the same
    // blobs with the same bytes.
    const auto before = blobs_of(layout_);
    const auto after = blobs_of(out);
    EXPECT_EQ(before.size(), 7u);
    EXPECT_TRUE(before == after) << "blob sets differ: " << before.size() << " vs " << after.size();
    for (const std::string &d : platforms_)
        EXPECT_EQ(after.count(d.substr(7)), 1u) << d;
}

// A platform manifest that was also tagged on its own stays while the index
// lists it: deleting that tag must not break the index. Once the index is
// deleted, the tag's deletion takes the manifest with it again.
TEST_F(MultiarchE2eTest, ListedPlatformManifestOutlivesItsOwnTag)
{
    ASSERT_NO_FATAL_FAILURE(push_layout("library/multi:latest"));
    const std::string arm = platforms_[1];
    Response m = http("GET", "/v2/library/multi/manifests/" + arm);
    ASSERT_EQ(m.status, 200);
    const std::vector<std::string> type = {"Content-Type: " + m.get("Content-Type")};
    ASSERT_EQ(http("PUT", "/v2/library/multi/manifests/arm", m.body, type).status, 201);

    Response del = http("DELETE", "/v2/library/multi/manifests/arm");
    EXPECT_EQ(del.status, 202) << del.body;
    EXPECT_EQ(http("GET", "/v2/library/multi/manifests/arm").status, 404);
    Response kept = http("GET", "/v2/library/multi/manifests/" + arm);
    EXPECT_EQ(kept.status, 200);
    EXPECT_EQ(kept.body, m.body);
    // The whole image still pulls, every platform included.
    const std::string out = path("out");
    cgitest::Outcome pull =
        skopeo_copy({"--src-tls-verify=false", registry("library/multi:latest"), "oci:" + out + ":latest"});
    ASSERT_EQ(pull.status, 0) << pull.out << pull.err;
    EXPECT_TRUE(blobs_of(layout_) == blobs_of(out));

    // The index goes by its tag; what it listed stays until its own last tag goes.
    EXPECT_EQ(http("DELETE", "/v2/library/multi/manifests/latest").status, 202);
    EXPECT_EQ(http("GET", "/v2/library/multi/manifests/" + top_[0]).status, 404);
    EXPECT_EQ(http("GET", "/v2/library/multi/manifests/" + arm).status, 200);
    ASSERT_EQ(http("PUT", "/v2/library/multi/manifests/arm", m.body, type).status, 201);
    EXPECT_EQ(http("DELETE", "/v2/library/multi/manifests/arm").status, 202);
    EXPECT_EQ(http("GET", "/v2/library/multi/manifests/" + arm).status, 404);
}

} // namespace
