// One resident FastCGI process serving many requests: requests that fail
// half-way (refused input, a storage fault, a client that goes away in the
// middle of its body) are followed by good ones on the same process, and
// the good ones get exactly the replies a fresh process would give. The
// process keeps its descriptors and memory flat. Runs in FastCGI mode only.
#include <dirent.h>

#include <fstream>
#include <set>

#include "robust_client.h"

using namespace e2e;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace {

class FastcgiTest : public LighttpdTest {
protected:
    void SetUp() override
    {
        if (server_mode() != "fastcgi")
            GTEST_SKIP() << "about resident FastCGI processes";
        LighttpdTest::SetUp();
    }
    // One process per program, so that every request below meets the same.
    int fastcgi_procs() override { return 1; }

    // The processes of this test's server running a program of the build
    // (other suites may run the same programs at the same time).
    std::set<pid_t> pids_of(const std::string &program) const
    {
        std::set<pid_t> out;
        const std::string want = std::string(CGI_BIN_DIR) + "/" + program;
        DIR *proc = opendir("/proc");
        while (const dirent *e = proc ? readdir(proc) : nullptr) {
            char exe[4096];
            std::string link = std::string("/proc/") + e->d_name + "/exe";
            ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
            if (n <= 0)
                continue;
            exe[n] = '\0';
            if (want == exe && status_field(atoi(e->d_name), "PPid:") == pid_)
                out.insert(atoi(e->d_name));
        }
        if (proc)
            closedir(proc);
        return out;
    }
    // A number of /proc/<pid>/status ("PPid:", "VmRSS:"); -1 when absent.
    static long status_field(pid_t pid, const std::string &field)
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind(field, 0) == 0)
                return atol(line.c_str() + field.size());
        return -1;
    }
    static int fd_count_now(pid_t pid)
    {
        int n = 0;
        DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
        while (const dirent *e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.')
                n++;
        if (d)
            closedir(d);
        return n;
    }
    // The descriptors of a process between requests: the connection of the
    // request just answered may still be open for a moment after the reply
    // arrived, so the count is taken once it settles (at most a second).
    static int fd_count(pid_t pid)
    {
        int n = fd_count_now(pid);
        for (int i = 0; i < 100; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            int again = fd_count_now(pid);
            if (again == n)
                return n;
            n = again;
        }
        return n;
    }
    // A request whose body stops after `sent` of its declared bytes, then
    // the client goes away.
    void abandon(const std::string &method, const std::string &target, size_t declared, size_t sent)
    {
        std::string req = method + " " + target +
                          " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(declared) +
                          "\r\nContent-Type: " + kOciType + "\r\n\r\n" + std::string(sent, '{');
        raw_exchange(port_, req, true, 500);
    }
};

TEST_F(FastcgiTest, FailedRequestsLeaveNothingForTheNextOne)
{
    const std::string good = manifest('a');
    const std::string digest = sha256_digest(good);
    Response put = http("PUT", "/v2/lib/app/manifests/v1", good, {std::string("Content-Type: ") + kOciType});
    ASSERT_EQ(put.status, 201) << put.body;
    // A file where a repository's directory should be: every store there is
    // a fault of the storage.
    put_file(root_ + "/repositories/broken", "not a directory");

    auto expect_good_reply = [&](const std::string &after) {
        SCOPED_TRACE("after " + after);
        Response r = http("GET", "/v2/lib/app/manifests/v1");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, good);
        EXPECT_EQ(r.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(r.get("Content-Length"), std::to_string(good.size()));
        EXPECT_EQ(r.all("Docker-Content-Digest").size(), 1u);
        Response t = http("GET", "/v2/lib/app/tags/list");
        EXPECT_EQ(t.body, "{\"name\":\"lib/app\",\"tags\":[\"v1\"]}\n");
    };
    expect_good_reply("the first store");
    const std::set<pid_t> manifest_pids = pids_of("v2_manifest");
    ASSERT_EQ(manifest_pids.size(), 1u);
    const pid_t pid = *manifest_pids.begin();
    const int fds = fd_count(pid);

    struct Step {
        const char *what;
        std::function<void()> run;
    };
    const Step kSteps[] = {
        {"refused JSON", [&] { EXPECT_EQ(http("PUT", "/v2/lib/app/manifests/v2", "{not json").status, 400); }},
        {"a storage fault",
         [&] {
             Response r = http("PUT", "/v2/broken/x/manifests/v1", good);
             EXPECT_EQ(r.status, 500) << r.body;
             EXPECT_NE(r.body.find("STORAGE_ERROR"), std::string::npos);
         }},
        {"an unknown tag", [&] { EXPECT_EQ(http("DELETE", "/v2/lib/app/manifests/nope").status, 404); }},
        {"a body over the limit", [&] { abandon("PUT", "/v2/lib/app/manifests/big", 5000000, 0); }},
        {"a client gone mid-body", [&] { abandon("PUT", "/v2/lib/app/manifests/v3", 100000, 5000); }},
        {"a malformed digest", [&] { EXPECT_EQ(http("GET", "/v2/lib/app/manifests/sha256:zz").status, 404); }},
    };
    for (int round = 0; round < 50; round++) {
        for (const Step &s : kSteps) {
            SCOPED_TRACE(s.what);
            s.run();
            expect_good_reply(s.what);
        }
    }
    // Nothing the failures began was stored.
    EXPECT_EQ(http("GET", "/v2/lib/app/manifests/v3").status, 404);
    EXPECT_EQ(http("GET", "/v2/lib/app/manifests/v2").status, 404);

    EXPECT_EQ(pids_of("v2_manifest"), manifest_pids) << "the process must survive every failure";
    EXPECT_LE(fd_count(pid), fds) << "descriptors leaked";
    // The resident size is a figure for the benchmark (sanitizers multiply
    // it); it is printed here to show it staying flat.
    printf("fastcgi: v2_manifest pid %d after %zu requests: %d descriptors, RSS %ld KiB\n", pid,
           50 * std::size(kSteps) * 3, fd_count(pid), status_field(pid, "VmRSS:"));
}

// The same for uploads: a chunk cut short by its client leaves the upload
// as it was, and the next request on the same process appends normally.
TEST_F(FastcgiTest, UploadsSurviveAbandonedChunks)
{
    Response start = http("POST", "/v2/lib/app/blobs/uploads/", "", {"Content-Length: 0"});
    ASSERT_EQ(start.status, 202);
    const std::string loc = start.get("Location");
    const std::string data(300000, 'q');
    for (int i = 0; i < 20; i++) {
        abandon("PATCH", loc, 200000, 1000 * (i + 1));
        Response status = http("GET", loc);
        EXPECT_EQ(status.status, 204);
        EXPECT_EQ(status.get("Range"), "0-0");
        EXPECT_EQ(http("PATCH", "/v2/lib/app/blobs/uploads/not-an-upload", "x").status, 404);
    }
    Response patch = http("PATCH", loc, data);
    EXPECT_EQ(patch.status, 202);
    Response done = http("PUT", loc + "?digest=" + sha256_digest(data));
    EXPECT_EQ(done.status, 201) << done.body;
    Response blob = http("GET", "/v2/lib/app/blobs/" + sha256_digest(data), "", {"Range: bytes=0-"});
    EXPECT_EQ(blob.status, 206);
    EXPECT_TRUE(blob.body == data);
    EXPECT_EQ(pids_of("v2_upload").size(), 1u);
}

} // namespace
