// Concurrent requests through the web server: threads, each with its own
// connections, move one tag between manifests, read it by tag and digest,
// delete tags and digests and upload the same blob content, against one
// server or two servers sharing one storage root. Every answer must be a
// whole manifest matching its digest header or a clean registry 404; no
// corrupt link, no 500. Figures are printed ("concurrency: ...").
#include "concurrency_clients.h"

using namespace e2e;

namespace {

constexpr const char *kRepo = ConcurrentClients::kRepo;

class ConcurrencyTest : public LighttpdTest {
protected:
    void run_loops(const std::vector<int> &ports, int rounds) { clients_.run_loops(ports, rounds); }

    // After the loops: the tag's final state is readable, and the store
    // takes a further push.
    void check_after(int port)
    {
        const std::string base = std::string("/v2/") + kRepo;
        Response r = http_at(port, "GET", base + "/manifests/moving");
        clients_.check_manifest_reply(r, false, "final GET moving");
        dangling_ =
            r.status == 404 && fs::exists(root_ + "/repositories/" + kRepo + "/_manifests/tags/moving/current/link");
        Response put = http_at(port, "PUT", base + "/manifests/moving", clients_.manifests[1]);
        EXPECT_EQ(put.status, 201);
        Response get = http_at(port, "GET", base + "/manifests/moving");
        EXPECT_EQ(get.status, 200);
        EXPECT_EQ(get.body, clients_.manifests[1]);
        // No temporary name is ever listed as a tag.
        if (program_exists("v2_tags")) {
            Response tags = http_at(port, "GET", base + "/tags/list");
            EXPECT_EQ(tags.status, 200);
            EXPECT_EQ(tags.body.find(".tmp."), std::string::npos) << tags.body;
        }
    }

    void report(const char *label, size_t servers)
    {
        printf("concurrency: %s servers=%zu %s anomalies=%d final_tag_dangling=%s\n", label, servers,
               clients_.figures().c_str(), clients_.bad.count.load(), dangling_ ? "yes" : "no");
        EXPECT_EQ(clients_.bad.count.load(), 0) << clients_.bad.text();
    }

    ConcurrentClients clients_;
    bool dangling_ = false;
};

TEST_F(ConcurrencyTest, OneServer)
{
    run_loops({port_}, 150 / kRobustScaleDiv);
    check_after(port_);
    report("one-server", 1);
}

// Two servers on different ports, one storage root: the same loops spread
// over both, as behind a load balancer.
TEST_F(ConcurrencyTest, TwoServersShareOneStorage)
{
    ExtraServer second;
    std::string err = second.start(lighttpd_, path("run2"), root_, cgi_dir());
    ASSERT_EQ(err, "") << slurp(path("run2/stderr.log")) << slurp(path("run2/error.log"));
    ASSERT_NE(second.port, port_);
    run_loops({port_, second.port}, 150 / kRobustScaleDiv);
    // What one server stored, the other serves.
    Response put = http_at(port_, "PUT", std::string("/v2/") + kRepo + "/manifests/cross", clients_.manifests[2]);
    EXPECT_EQ(put.status, 201);
    Response get = http_at(second.port, "GET", std::string("/v2/") + kRepo + "/manifests/cross");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, clients_.manifests[2]);
    check_after(second.port);
    report("two-servers", 2);
}

} // namespace
