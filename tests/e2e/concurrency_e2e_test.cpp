// Concurrent requests through the web server: threads, each with its own
// connections, move one tag between manifests, read it by tag and digest,
// delete tags and digests and upload the same blob content, against one
// server or two servers sharing one storage root. Every answer must be a
// whole manifest matching its digest header or a clean registry 404; no
// corrupt link, no 500. Figures are printed ("concurrency: ...").
#include <set>
#include <thread>

#include "robust_client.h"

using namespace e2e;
using cgitest::error_doc;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace {

constexpr const char kRepo[] = "conc/app";

class ConcurrencyTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        const size_t pads[] = {0, 3000, 40000, 200000};
        char c = 'a';
        for (size_t pad : pads) {
            manifests_.push_back(manifest(c++, ",\"annotations\":{\"p\":\"" + std::string(pad, 'y') + "\"}"));
            digests_.insert(sha256_digest(manifests_.back()));
        }
        for (size_t size : {size_t(70000), size_t(1) << 20}) {
            std::string b(size, '\0');
            for (size_t i = 0; i < size; i++)
                b[i] = static_cast<char>((i * 7919 + size) & 0xff);
            blobs_.push_back(b);
        }
    }

    // A manifest answer: whole and matching its digest header, or the 404
    // document. Returns false (and records why) otherwise.
    void check_manifest_reply(const Response &r, bool head, const std::string &what)
    {
        if (r.status == 200) {
            const std::string digest = r.get("Docker-Content-Digest");
            if (!digests_.count(digest)) {
                bad_.add(what + ": unknown digest header " + digest);
                return;
            }
            if (head) {
                size_t size = 0;
                for (const std::string &m : manifests_)
                    if (sha256_digest(m) == digest)
                        size = m.size();
                if (r.get("Content-Length") != std::to_string(size) || !r.body.empty())
                    bad_.add(what + ": HEAD length " + r.get("Content-Length") + " for " + digest);
                return;
            }
            if (sha256_digest(r.body) != digest || r.get("Content-Length") != std::to_string(r.body.size()))
                bad_.add(what + ": body does not match its digest header " + digest);
            return;
        }
        if (r.status == 404) {
            if (!head && r.body != error_doc("MANIFEST_UNKNOWN", "manifest unknown"))
                bad_.add(what + ": 404 without the registry document: " + r.body);
            if (head && r.get("Docker-Distribution-API-Version") != "registry/2.0")
                bad_.add(what + ": 404 not from the registry");
            return;
        }
        bad_.add(what + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
    }

    // The loops of every thread against the given ports; each thread runs
    // rounds operations, each on a port chosen in turn.
    void run_loops(const std::vector<int> &ports, int rounds)
    {
        const bool uploads = program_exists("v2_upload");
        const bool blob_reads = program_exists("v2_blob");
        const std::string base = std::string("/v2/") + kRepo;
        std::vector<std::thread> threads;
        auto port_for = [&](int t, int i) { return ports[static_cast<size_t>(t + i) % ports.size()]; };

        for (int t = 0; t < 2; t++) // writers: the moving tag, and by digest
            threads.emplace_back([&, t] {
                for (int i = 0; i < rounds; i++) {
                    const std::string &m = manifests_[static_cast<size_t>(i * 3 + t) % manifests_.size()];
                    std::string ref = (i % 5 == 4) ? sha256_digest(m) : (i % 7 == 3 ? "other" : "moving");
                    Response r = http_at(port_for(t, i), "PUT", base + "/manifests/" + ref, m,
                                         {std::string("Content-Type: ") + kOciType});
                    puts_++;
                    if (r.status != 201 || r.get("Docker-Content-Digest") != sha256_digest(m))
                        bad_.add("PUT " + ref + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
                }
            });
        for (int t = 0; t < 2; t++) // readers: GET and HEAD by tag and digest
            threads.emplace_back([&, t] {
                for (int i = 0; i < rounds; i++) {
                    bool head = i % 3 == 2;
                    std::string ref =
                        i % 4 == 1 ? sha256_digest(manifests_[static_cast<size_t>(i) % manifests_.size()]) : "moving";
                    Response r = http_at(port_for(t, i), head ? "HEAD" : "GET", base + "/manifests/" + ref);
                    (head ? heads_ : gets_)++;
                    check_manifest_reply(r, head, std::string(head ? "HEAD " : "GET ") + ref);
                }
            });
        threads.emplace_back([&] { // deleter: tags and digests
            for (int i = 0; i < rounds / 2; i++) {
                std::string ref = i % 3 == 0   ? "moving"
                                  : i % 3 == 1 ? "other"
                                               : sha256_digest(manifests_[static_cast<size_t>(i) % manifests_.size()]);
                Response r = http_at(port_for(0, i), "DELETE", base + "/manifests/" + ref);
                deletes_++;
                if (r.status != 202 &&
                    !(r.status == 404 && r.body == error_doc("MANIFEST_UNKNOWN", "manifest unknown")))
                    bad_.add("DELETE " + ref + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
            }
        });
        if (uploads)
            for (int t = 0; t < 2; t++) // uploaders: the same contents at once
                threads.emplace_back([&, t] {
                    for (int i = 0; i < rounds / 3; i++) {
                        const std::string &b = blobs_[static_cast<size_t>(i) % blobs_.size()];
                        const std::string digest = sha256_digest(b);
                        int port = port_for(t, i);
                        Response r;
                        if (i % 2 == 0) {
                            r = http_at(port, "POST", base + "/blobs/uploads/?digest=" + digest, b);
                        } else {
                            Response start = http_at(port, "POST", base + "/blobs/uploads/");
                            std::string loc = start.get("Location");
                            if (start.status != 202 || loc.rfind("/v2/", 0) != 0) {
                                bad_.add("POST upload: status " + std::to_string(start.status));
                                continue;
                            }
                            r = http_at(port, "PUT", with_query(loc, "digest=" + digest), b);
                        }
                        uploads_++;
                        if (r.status != 201 || r.get("Docker-Content-Digest") != digest) {
                            bad_.add("upload: status " + std::to_string(r.status) + " " + r.body.substr(0, 200));
                            continue;
                        }
                        if (!blob_reads)
                            continue;
                        Response get = http_at(port, "GET", base + "/blobs/" + digest);
                        blob_gets_++;
                        if (get.status != 200 || get.body != b)
                            bad_.add("blob GET after upload: status " + std::to_string(get.status) + ", " +
                                     std::to_string(get.body.size()) + " bytes");
                    }
                });
        for (std::thread &t : threads)
            t.join();
    }

    // After the loops: the tag's final state is readable, and the store
    // takes a further push.
    void check_after(int port)
    {
        const std::string base = std::string("/v2/") + kRepo;
        Response r = http_at(port, "GET", base + "/manifests/moving");
        check_manifest_reply(r, false, "final GET moving");
        dangling_ =
            r.status == 404 && fs::exists(root_ + "/repositories/" + kRepo + "/_manifests/tags/moving/current/link");
        Response put = http_at(port, "PUT", base + "/manifests/moving", manifests_[1]);
        EXPECT_EQ(put.status, 201);
        Response get = http_at(port, "GET", base + "/manifests/moving");
        EXPECT_EQ(get.status, 200);
        EXPECT_EQ(get.body, manifests_[1]);
        // No temporary name is ever listed as a tag.
        if (program_exists("v2_tags")) {
            Response tags = http_at(port, "GET", base + "/tags/list");
            EXPECT_EQ(tags.status, 200);
            EXPECT_EQ(tags.body.find(".tmp."), std::string::npos) << tags.body;
        }
    }

    void report(const char *label, size_t servers)
    {
        int total = puts_ + gets_ + heads_ + deletes_ + uploads_ + blob_gets_;
        printf("concurrency: %s servers=%zu operations=%d (PUT=%d GET=%d HEAD=%d DELETE=%d uploads=%d blob_GET=%d) "
               "anomalies=%d final_tag_dangling=%s\n",
               label, servers, total, puts_.load(), gets_.load(), heads_.load(), deletes_.load(), uploads_.load(),
               blob_gets_.load(), bad_.count.load(), dangling_ ? "yes" : "no");
        EXPECT_EQ(bad_.count.load(), 0) << bad_.text();
    }

    std::vector<std::string> manifests_;
    std::set<std::string> digests_;
    std::vector<std::string> blobs_;
    Anomalies bad_;
    std::atomic<int> puts_{0}, gets_{0}, heads_{0}, deletes_{0}, uploads_{0}, blob_gets_{0};
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
    Response put = http_at(port_, "PUT", std::string("/v2/") + kRepo + "/manifests/cross", manifests_[2]);
    EXPECT_EQ(put.status, 201);
    Response get = http_at(second.port, "GET", std::string("/v2/") + kRepo + "/manifests/cross");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, manifests_[2]);
    check_after(second.port);
    report("two-servers", 2);
}

} // namespace
