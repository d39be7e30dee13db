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

#include "reg_storage.h"
#include "subprocess.h"

namespace {

namespace fs = std::filesystem;
using cgitest::sha256_digest;

// Sanitized programs run several times slower; fewer rounds keep the suite
// within its time while every kill point stays reachable.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kScaleDiv = 3;
#else
constexpr int kScaleDiv = 1;
#endif

// One path level: the statistics count first-level repositories only.
constexpr const char kRepo[] = "crashapp";
constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kDockerType[] = "application/vnd.docker.distribution.manifest.v2+json";

std::string read_all(const std::string &p)
{
    std::string out;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void write_all_file(const std::string &p, const std::string &data)
{
    FILE *f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    ASSERT_EQ(fclose(f), 0);
}

bool is_hex64(const std::string &s)
{
    return s.size() == 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool is_temp_name(const std::string &base)
{
    return !base.empty() && base[0] == '.' && base.find(".tmp.") != std::string::npos;
}

using Clock = std::chrono::steady_clock;

struct RunResult {
    bool killed = false; // died by SIGKILL
    bool exited = false;
    int status = -1;
    double seconds = 0;
};

// Starts argv with env, stdin from stdin_path (or /dev/null), output to
// /dev/null, and kills it after delay_us unless it ends first. A negative
// delay lets it run to its end.
RunResult run_and_kill(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       const std::string &stdin_path, long delay_us)
{
    std::vector<char *> argv, envp;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    RunResult r;
    Clock::time_point start = Clock::now();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        if (in < 0 || out < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int st = 0;
    if (delay_us >= 0) {
        Clock::time_point deadline = start + std::chrono::microseconds(delay_us);
        // Short naps until the deadline so a quick exit is seen early.
        for (;;) {
            pid_t w = waitpid(pid, &st, WNOHANG);
            if (w == pid)
                goto reaped;
            if (Clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        kill(pid, SIGKILL);
    }
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
reaped:
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.killed = WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    r.exited = WIFEXITED(st);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
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
        std::vector<std::string> env = {"REQUEST_METHOD=" + method, "PATH_INFO=" + path_info,
                                        "REGISTRY_STORAGE_ROOT=" + root_, "QUERY_STRING=" + query,
                                        "CONTENT_LENGTH=" + std::to_string(length)};
        if (!type.empty())
            env.push_back("CONTENT_TYPE=" + type);
        return env;
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
    // views against the files. Adds to anomalies_ with a line per finding.
    void check_store(const std::map<std::string, std::string> &known_types)
    {
        const std::string manifests = root_ + "/repositories/" + kRepo + "/_manifests";
        std::set<std::string> bodies;
        std::set<std::string> good_tags, linkless_tags;
        int blobs = 0, uploads = 0;
        temps_ = 0;
        for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
            if (!it->is_regular_file())
                continue;
            const std::string p = it->path().string();
            const std::string rel = p.substr(root_.size() + 1);
            const std::string base = it->path().filename().string();
            const std::string parent = it->path().parent_path().filename().string();
            if (is_temp_name(base)) {
                temps_++;
                continue;
            }
            if (rel == "config.json" || rel == "repository-holds")
                continue;
            if (rel.rfind("blobs/sha256/", 0) == 0) {
                blobs++;
                if (!is_hex64(base) || base.substr(0, 2) != parent || sha256_digest(read_all(p)) != "sha256:" + base)
                    anomaly("blob does not hash to its name: " + rel);
                continue;
            }
            if (rel.rfind("uploads/", 0) == 0) {
                uploads++;
                continue;
            }
            if (it->path().parent_path().string() == manifests) {
                if (base == ".lock")
                    continue; // the repository's lock, never removed
                std::string hex = base.size() == 67 && base.ends_with(".ct") ? base.substr(0, 64) : base;
                if (!is_hex64(hex)) {
                    anomaly("unexpected file: " + rel);
                } else if (hex == base) {
                    bodies.insert(hex);
                    if (sha256_digest(read_all(p)) != "sha256:" + hex)
                        anomaly("manifest body does not hash to its name: " + rel);
                } else {
                    auto k = known_types.find(hex);
                    if (k == known_types.end() || read_all(p) != k->second)
                        anomaly("media type file not whole: " + rel + " = '" + read_all(p) + "'");
                }
                continue;
            }
            if (rel.starts_with(std::string("repositories/") + kRepo + "/_manifests/revisions/sha256/") &&
                base == "link") {
                if (read_all(p) != "sha256:" + parent)
                    anomaly("revision link not whole: " + rel);
                continue;
            }
            if (rel.starts_with(std::string("repositories/") + kRepo + "/_manifests/tags/") && base == "link" &&
                parent == "current")
                continue; // checked below, tag by tag
            anomaly("unexpected file: " + rel);
        }

        // Tags: a link is a whole digest naming a whole body, served as such.
        if (fs::is_directory(manifests + "/tags")) {
            for (const auto &e : fs::directory_iterator(manifests + "/tags")) {
                const std::string tag = e.path().filename().string();
                const std::string link_path = e.path().string() + "/current/link";
                if (!fs::exists(link_path)) {
                    linkless_tags.insert(tag);
                    cgitest::Outcome get = manifest_request("GET", tag);
                    if (get.out.find("Status: 404") != 0 || get.out.find("MANIFEST_UNKNOWN") == std::string::npos)
                        anomaly("tag without link not answered 404: " + tag + ": " + get.out.substr(0, 80));
                    continue;
                }
                const std::string link = read_all(link_path);
                if (link.size() != 71 || link.rfind("sha256:", 0) != 0 || !is_hex64(link.substr(7))) {
                    anomaly("tag link not whole: " + tag + " = '" + link + "'");
                    continue;
                }
                if (!bodies.count(link.substr(7))) {
                    anomaly("tag names a missing body: " + tag);
                    continue;
                }
                good_tags.insert(tag);
                cgitest::Outcome get = manifest_request("GET", tag);
                cgitest::Reply reply = cgitest::parse_reply(get.out);
                bool digest_ok =
                    std::find(reply.headers.begin(), reply.headers.end(),
                              "Docker-Content-Digest: " + sha256_digest(reply.body)) != reply.headers.end();
                if (get.out.find("Status: 200") != 0 || !digest_ok || sha256_digest(reply.body) != link ||
                    reply.body != read_all(manifests + "/" + link.substr(7)))
                    anomaly("tag not served whole: " + tag + ": " + get.out.substr(0, 80));
            }
        }

        // The views count what is whole and nothing else.
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
        std::string expect_tags = std::string("{\"name\":\"") + kRepo + "\",\"tags\":[";
        bool first = true;
        for (const std::string &t : good_tags) { // std::set: byte order, as the list sorts
            expect_tags += (first ? "\"" : ",\"") + t + "\"";
            first = false;
        }
        expect_tags += "]}";
        const char *tags = fs::is_directory(manifests) ? reg_tags_list_json(kRepo) : expect_tags.c_str();
        if (!tags || expect_tags != tags)
            anomaly("tag list differs: " + std::string(tags ? tags : reg_storage_last_error()) + " vs " + expect_tags);
        const char *stats = reg_storage_get_stats_json();
        std::string s = stats ? stats : "";
        for (const std::string &want :
             {"\"tags\":" + std::to_string(good_tags.size()) + ",", "\"blobs\":" + std::to_string(blobs) + ",",
              "\"active_uploads\":" + std::to_string(uploads) + ","}) {
            if (s.find(want) == std::string::npos)
                anomaly("statistics miscount (" + want + "): " + s);
        }
        linkless_ = linkless_tags.size();
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

// Manifests of several sizes: the larger ones keep the program writing long
// enough for kills to land inside every step.
std::vector<std::string> make_manifests()
{
    std::vector<std::string> out;
    const size_t sizes[] = {0, 2000, 60000, 300000, 900000};
    char c = 'a';
    for (size_t pad : sizes) {
        out.push_back(cgitest::manifest(c, ",\"annotations\":{\"pad\":\"" + std::string(pad, 'x') + "\"}"));
        c++;
    }
    return out;
}

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
    std::mt19937 bytes(seed_);
    std::vector<std::string> contents;
    for (size_t size : {size_t(1) << 20, size_t(3) << 20, size_t(5) << 19, size_t(17), size_t(2) << 20}) {
        std::string c(size, '\0');
        for (char &ch : c)
            ch = static_cast<char>(bytes());
        contents.push_back(c);
    }

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
