// Process death at any point must leave a consistent store. The manifest
// program (and the blob finish) are started with a prepared CGI request and
// killed with SIGKILL after a random delay drawn from their measured run
// time; afterwards every file of the tree is checked against its name, every
// tag is fetched through the program, and the tag list and statistics must
// count exactly what is whole. Figures are printed ("crash: kills=...").
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crash_check.h"

namespace {

namespace fs = std::filesystem;
using cgitest::sha256_digest;
using namespace crashcheck;

// Sanitized programs run several times slower; fewer rounds keep the suite
// within its time while every kill point stays reachable.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kScaleDiv = 3;
#else
constexpr int kScaleDiv = 1;
#endif

constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kDockerType[] = "application/vnd.docker.distribution.manifest.v2+json";

void write_all_file(const std::string &p, const std::string &data)
{
    FILE *f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(fclose(f), 0);
}

class CrashTest : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root_ = path("storage");
        const char *seed_env = getenv("ROBUST_SEED");
        seed_ = seed_env ? static_cast<unsigned>(strtoul(seed_env, nullptr, 10))
                         : static_cast<unsigned>(Clock::now().time_since_epoch().count());
        rng_.seed(seed_);
        printf("crash: seed=%u (set ROBUST_SEED to repeat)\n", seed_);
    }

    std::vector<std::string> cgi_env(const std::string &method, const std::string &path_info, size_t length,
                                     const std::string &query = "", const std::string &type = "")
    {
        return crashcheck::cgi_env(root_, method, path_info, length, query, type);
    }

    // One manifest request through the program, run to its end.
    cgitest::Outcome manifest_request(const std::string &method, const std::string &ref, const std::string &body = "",
                                      const std::string &type = "")
    {
        return cgitest::run_program(
            std::string(CGI_BIN_DIR) + "/v2_manifest",
            cgi_env(method, std::string("/v2/") + kRepo + "/manifests/" + ref, body.size(), "", type), body);
    }

    long random_delay(double typical_s)
    {
        std::uniform_int_distribution<long> d(0, static_cast<long>(typical_s * 1.2e6) + 1);
        return d(rng_);
    }

    // Every file of the tree against its name; the program and the listing
    // views against the files (crash_check.h). Adds to anomalies_ with a
    // line per finding.
    void check_store(const std::map<std::string, std::string> &known_types)
    {
        auto fetch = [this](const std::string &tag) {
            cgitest::Outcome get = manifest_request("GET", tag);
            cgitest::Reply reply = cgitest::parse_reply(get.out);
            ServedTag out;
            out.status = get.out.find("Status: 200") == 0 ? 200 : get.out.find("Status: 404") == 0 ? 404 : 0;
            out.body = reply.body;
            for (const std::string &h : reply.headers)
                if (h.rfind("Docker-Content-Digest: ", 0) == 0)
                    out.digest_header = h.substr(23);
            out.unknown_doc = get.out.find("MANIFEST_UNKNOWN") != std::string::npos;
            return out;
        };
        StoreFacts facts =
            crashcheck::check_store(root_, known_types, fetch, [this](const std::string &what) { anomaly(what); });
        temps_ = facts.temps;
        linkless_ = facts.linkless;
    }

    void anomaly(const std::string &what)
    {
        anomalies_++;
        if (anomalies_ <= 20)
            ADD_FAILURE() << what;
    }

    std::string root_;
    unsigned seed_ = 0;
    std::mt19937 rng_;
    int anomalies_ = 0;
    int temps_ = 0;
    size_t linkless_ = 0;
};

TEST_F(CrashTest, ManifestPutsKilledAnywhereLeaveWholeManifests)
{
    const std::vector<std::string> bodies = make_manifests();
    std::map<std::string, std::string> known_types; // hex -> media type stored with it
    std::vector<std::string> files;
    for (size_t i = 0; i < bodies.size(); i++) {
        files.push_back(path("body" + std::to_string(i)));
        ASSERT_NO_FATAL_FAILURE(write_all_file(files.back(), bodies[i]));
        known_types[sha256_digest(bodies[i]).substr(7)] = i % 2 ? kOciType : kDockerType;
    }
    const std::string prog = std::string(CGI_BIN_DIR) + "/v2_manifest";
    auto put_env = [&](size_t i, const std::string &ref) {
        return cgi_env("PUT", std::string("/v2/") + kRepo + "/manifests/" + ref, bodies[i].size(), "",
                       i % 2 ? kOciType : kDockerType);
    };

    // Typical run time of a PUT of the largest body, unkilled.
    std::vector<double> times;
    for (int i = 0; i < 9; i++) {
        RunResult r = run_and_kill({prog}, put_env(bodies.size() - 1, "warmup"), files.back(), -1);
        ASSERT_TRUE(r.exited && r.status == 0);
        times.push_back(r.seconds);
    }
    std::sort(times.begin(), times.end());
    const double typical = times[times.size() / 2];
    printf("crash: v2_manifest PUT of %zu bytes takes %.2f ms\n", bodies.back().size(), typical * 1e3);
    ASSERT_EQ(manifest_request("DELETE", "warmup").out.find("Status: 202"), 0u);

    const int rounds = 400 / kScaleDiv;
    int kills = 0, completed = 0, deletes = 0;
    std::vector<std::string> new_tags;
    std::uniform_int_distribution<size_t> pick(0, bodies.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    for (int round = 0; round < rounds; round++) {
        size_t i = pick(rng_);
        int p = percent(rng_);
        std::string ref;
        RunResult r;
        if (p < 10 && !new_tags.empty()) {
            // A deletion killed midway: the tag or the manifest goes, or not.
            ref = new_tags[std::uniform_int_distribution<size_t>(0, new_tags.size() - 1)(rng_)];
            r = run_and_kill({prog}, cgi_env("DELETE", std::string("/v2/") + kRepo + "/manifests/" + ref, 0), "",
                             random_delay(typical / 4));
            deletes++;
        } else {
            if (p < 55)
                ref = "moving"; // one tag between manifests
            else if (p < 75)
                ref = "t" + std::to_string(round); // a new tag
            else if (p < 85)
                ref = "fixed" + std::to_string(i); // the same tag, same manifest
            else
                ref = sha256_digest(bodies[i]); // by digest
            if (ref[0] == 't')
                new_tags.push_back(ref);
            r = run_and_kill({prog}, put_env(i, ref), files[i], random_delay(typical));
        }
        if (r.killed)
            kills++;
        else if (r.exited && r.status == 0)
            completed++;
        else
            anomaly("program ended abnormally: status " + std::to_string(r.status));
        if (round % 150 == 149) {
            ASSERT_NO_FATAL_FAILURE(check_store(known_types));
        }
    }
    ASSERT_NO_FATAL_FAILURE(check_store(known_types));

    // The store keeps working: the moving tag can be set and read back.
    ASSERT_EQ(manifest_request("PUT", "moving", bodies[0], kDockerType).out.find("Status: 201"), 0u);
    cgitest::Outcome get = manifest_request("GET", "moving");
    EXPECT_EQ(cgitest::parse_reply(get.out).body, bodies[0]);

    printf("crash: manifest rounds=%d kills=%d completed=%d deletes=%d leftover_temp_files=%d "
           "tags_without_link=%zu\n",
           rounds, kills, completed, deletes, temps_, linkless_);
    printf("crash: kills=%d anomalies=%d\n", kills, anomalies_);
    EXPECT_GT(kills, rounds / 5); // the delays must actually interrupt most runs
    EXPECT_EQ(anomalies_, 0);
}

// A blob finish killed anywhere: the blob is published whole or not at all,
// and an upload that was not published stays whole, so finishing it again
// stores the blob. Through the upload program when it finishes uploads made
// by the library, else through a small finisher linked with the library.
TEST_F(CrashTest, BlobFinishKilledAnywhereLosesNothing)
{
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    const std::vector<std::string> contents = crashcheck::blob_contents(seed_);

    auto prepare = [&](const std::string &content, std::string *uuid) {
        char id[REG_UUID_BUF] = {};
        ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_append_chunk(id, content.data(), content.size()), 0) << reg_storage_last_error();
        *uuid = id;
    };
    const std::string upload_prog = std::string(CGI_BIN_DIR) + "/v2_upload";
    auto finisher = [&](bool via_program, const std::string &uuid, const std::string &digest) {
        if (via_program)
            return std::make_pair(
                std::vector<std::string>{upload_prog},
                cgi_env("PUT", std::string("/v2/") + kRepo + "/blobs/uploads/" + uuid, 0, "digest=" + digest));
        return std::make_pair(std::vector<std::string>{BLOB_FINISHER_PATH, root_, uuid, digest},
                              std::vector<std::string>{});
    };

    // Use the upload program only when it completes an upload the library
    // started (it shares the store's upload files).
    bool via_program = false;
    if (access(upload_prog.c_str(), X_OK) == 0) {
        std::string uuid;
        ASSERT_NO_FATAL_FAILURE(prepare(contents[3], &uuid));
        const std::string digest = sha256_digest(contents[3]);
        cgitest::Outcome o = cgitest::run_program(
            upload_prog, cgi_env("PUT", std::string("/v2/") + kRepo + "/blobs/uploads/" + uuid, 0, "digest=" + digest));
        via_program = o.out.find("Status: 201") == 0 && reg_blob_exists(digest.c_str()) == 1;
        if (reg_blob_exists(digest.c_str()) == 1)
            reg_blob_delete(digest.c_str());
        reg_blob_cancel_upload(uuid.c_str());
    }
    printf("crash: blob finishes through %s\n", via_program ? "v2_upload (PUT ?digest=)" : "the library finisher");

    std::vector<double> times;
    for (int i = 0; i < 7; i++) {
        std::string uuid;
        ASSERT_NO_FATAL_FAILURE(prepare(contents[1], &uuid));
        const std::string digest = sha256_digest(contents[1]);
        auto [args, env] = finisher(via_program, uuid, digest);
        RunResult r = run_and_kill(args, env, "", -1);
        ASSERT_TRUE(r.exited && r.status == 0) << r.status;
        times.push_back(r.seconds);
        ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
    }
    std::sort(times.begin(), times.end());
    const double typical = times[times.size() / 2];
    printf("crash: finishing a %zu-byte upload takes %.2f ms\n", contents[1].size(), typical * 1e3);

    const int rounds = 160 / kScaleDiv;
    int kills = 0, completed = 0, refinished = 0;
    std::uniform_int_distribution<size_t> pick(0, contents.size() - 1);
    for (int round = 0; round < rounds; round++) {
        const std::string &content = contents[pick(rng_)];
        const std::string digest = sha256_digest(content);
        // Half the time the blob is absent, so the rename path runs.
        if (rng_() % 2 && reg_blob_exists(digest.c_str()) == 1) {
            ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
        }
        std::string uuid;
        ASSERT_NO_FATAL_FAILURE(prepare(content, &uuid));
        auto [args, env] = finisher(via_program, uuid, digest);
        RunResult r = run_and_kill(args, env, "", random_delay(typical));
        if (r.killed)
            kills++;
        else if (r.exited && r.status == 0)
            completed++;
        else
            anomaly("finisher ended abnormally: status " + std::to_string(r.status));

        // Whatever the kill left: a whole upload, or the blob.
        const std::string upload = root_ + "/uploads/" + uuid + ".part";
        if (fs::exists(upload)) {
            if (read_all(upload) != content)
                anomaly("upload changed by a killed finish: " + uuid);
            auto [args2, env2] = finisher(via_program, uuid, digest);
            RunResult again = run_and_kill(args2, env2, "", -1);
            if (!again.exited || again.status != 0)
                anomaly("a killed finish cannot be finished again");
            refinished++;
        }
        if (reg_blob_exists(digest.c_str()) != 1) {
            anomaly("blob lost after a killed finish: " + digest);
        } else {
            char p[4096];
            ASSERT_EQ(reg_blob_get_filepath(digest.c_str(), p, sizeof p), 0);
            if (read_all(p) != content)
                anomaly("blob not whole: " + digest);
        }
    }
    ASSERT_NO_FATAL_FAILURE(check_store({}));

    printf("crash: blob rounds=%d kills=%d completed=%d finished_again=%d leftover_temp_files=%d\n", rounds, kills,
           completed, refinished, temps_);
    printf("crash: kills=%d anomalies=%d\n", kills, anomalies_);
    EXPECT_GT(kills, rounds / 5);
    EXPECT_EQ(anomalies_, 0);
}

} // namespace
