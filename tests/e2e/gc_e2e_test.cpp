// Garbage collection (registry-admin gc) against a store that lighttpd
// serves while it runs:
//   - skopeo fills three repositories (images sharing layers, a
//     multi-platform index), some images and blobs are deleted, and gc
//     --grace 0 removes exactly what nothing names: the bytes it reports are
//     what blobs/ lost, and every image kept still copies out byte for byte;
//   - gc runs in a loop while two clients push and delete: every tag pushed
//     and not deleted pulls whole, and a push whose blob gc took meanwhile
//     is refused (400 MANIFEST_BLOB_UNKNOWN), never stored with the blob
//     gone;
//   - gc killed at random points: nothing referenced is lost, nothing
//     half-removed is served, and a later run finishes the work;
//   - what is younger than the grace period stays, bytes stay while any
//     repository holds them, and gc refuses options it does not take and a
//     store that has no record of holds.
// Each of the three long tests prints its figures on a line starting "gc:".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "gc_client.h"
#include "skopeo_client.h"

using namespace e2e;

namespace {

// Rounds of the loops below: base scaled by GC_E2E_SCALE (a factor, 1 when
// unset) and shrunk for sanitized builds as the other robustness suites do.
int scaled_rounds(int base)
{
    const char *env = getenv("GC_E2E_SCALE");
    const double factor = env && atof(env) > 0 ? atof(env) : 1.0;
    return std::max(1, static_cast<int>(base * factor) / kRobustScaleDiv);
}

// ---------------------------------------------------------------- fixtures

class GcStoreTest : public LighttpdTest {
protected:
    GcRun gc(const std::vector<std::string> &options) { return gc_run(root_, options); }
};

class GcSkopeoTest : public SkopeoTest {
protected:
    GcRun gc(const std::vector<std::string> &options) { return gc_run(root_, options); }

    // The images of make_oci_shared_layout.sh: manifest digest by tag.
    std::map<std::string, std::string> make_shared_layout(const std::string &dir, const std::vector<std::string> &tags)
    {
        std::vector<std::string> argv = {"/bin/bash", std::string(TESTS_E2E_DIR) + "/make_oci_shared_layout.sh", dir};
        argv.insert(argv.end(), tags.begin(), tags.end());
        cgitest::Outcome made = run(argv);
        EXPECT_EQ(made.status, 0) << made.err;
        std::map<std::string, std::string> out;
        size_t pos = 0;
        while (pos < made.out.size()) {
            size_t eol = made.out.find('\n', pos);
            const std::string line = made.out.substr(pos, eol - pos);
            pos = eol == std::string::npos ? made.out.size() : eol + 1;
            size_t sp = line.find(' ');
            if (sp != std::string::npos)
                out[line.substr(0, sp)] = line.substr(sp + 1);
        }
        return out;
    }
};

// ---------------------------------------------------------------- with skopeo

TEST_F(GcSkopeoTest, ReclaimsWhatNothingNamesAndKeepsEveryImage)
{
    const std::string shared = path("shared");
    const std::map<std::string, std::string> image = make_shared_layout(shared, {"a", "b", "c", "d"});
    ASSERT_EQ(image.size(), 4u);
    const std::string multi = path("multi");
    const std::string multi_digest = make_index_layout(multi, "multi");
    // Config, base layer and own layer of each image, as its manifest names them.
    std::map<std::string, std::vector<std::string>> blobs_of;
    for (const auto &[tag, digest] : image) {
        blobs_of[tag] = digests_in(blob(shared, digest));
        ASSERT_EQ(blobs_of[tag].size(), 3u) << tag;
    }
    auto config_of = [&](const std::string &tag) { return blobs_of[tag][0]; };
    auto own_layer_of = [&](const std::string &tag) { return blobs_of[tag][2]; };

    struct Push {
        const char *tag;
        const char *dest;
    };
    static const Push kPushes[] = {{"a", "library/app:a"}, {"b", "library/app:b"}, {"c", "library/app:c"},
                                   {"a", "team/tool:a"},   {"c", "team/tool:c"},   {"d", "team/tool:d"}};
    for (const Push &p : kPushes)
        ASSERT_NO_FATAL_FAILURE(push(shared, p.tag, p.dest));
    ASSERT_NO_FATAL_FAILURE(push(multi, "multi", "library/multi:v1", true));

    // A blob whose hold was given up, a blob no manifest names, an upload
    // left unfinished.
    const std::string given_up = blob_bytes(7000, 1);
    const std::string unnamed = blob_bytes(9000, 2);
    ASSERT_EQ(push_blob(port_, "team/tool", given_up).status, 201);
    ASSERT_EQ(http("DELETE", "/v2/team/tool/blobs/" + sha256_digest(given_up)).status, 202);
    ASSERT_EQ(push_blob(port_, "library/app", unnamed).status, 201);
    Response started = http_at(port_, "POST", "/v2/library/app/blobs/uploads/");
    ASSERT_EQ(started.status, 202);
    const std::string location = started.get("Location");
    const std::string upload_id = location.substr(location.rfind('/') + 1, 36);
    ASSERT_EQ(http("PATCH", location, blob_bytes(5000, 3)).status, 202);

    // A referrer of a, untagged: kept with its blobs. A referrer of d, whose
    // tag is then moved to a's manifest: gone with d under --delete-untagged.
    const std::string empty_config = "{}";
    auto referrer = [&](const std::string &repo, const std::string &subject, const std::string &content) {
        EXPECT_EQ(push_blob(port_, repo, empty_config).status, 201);
        EXPECT_EQ(push_blob(port_, repo, content).status, 201);
        const std::string body =
            "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) +
            "\",\"artifactType\":\"application/vnd.example.sbom\",\"config\":{\"mediaType\":\"application/"
            "vnd.oci.empty.v1+json\",\"digest\":\"" +
            sha256_digest(empty_config) + "\",\"size\":2},\"layers\":[{\"mediaType\":\"text/plain\",\"digest\":\"" +
            sha256_digest(content) + "\",\"size\":" + std::to_string(content.size()) +
            "}],\"subject\":{\"mediaType\":\"" + kOciType + "\",\"digest\":\"" + subject + "\",\"size\":560}}";
        EXPECT_EQ(put_manifest(port_, repo, sha256_digest(body), body).status, 201);
        return std::make_pair(sha256_digest(body), body);
    };
    const std::string sbom_a = blob_bytes(4000, 4);
    const std::string sbom_d = blob_bytes(4100, 5);
    const auto [kept_referrer, kept_referrer_body] = referrer("library/app", image.at("a"), sbom_a);
    const auto [lost_referrer, lost_referrer_body] = referrer("team/tool", image.at("d"), sbom_d);
    ASSERT_EQ(put_manifest(port_, "team/tool", "d", blob(shared, image.at("a"))).status, 201);

    for (const char *gone : {"library/app:b", "team/tool:c"}) {
        cgitest::Outcome del = skopeo("delete", {"--tls-verify=false", registry() + gone});
        ASSERT_EQ(del.status, 0) << gone << ": " << del.out << del.err;
    }
    // Every file of the store, and what its blobs take.
    const std::map<std::string, long long> before = tree_listing(root_);
    const long long blobs_before = tree_bytes(root_ + "/blobs");
    const long long uploads_before = tree_bytes(root_ + "/uploads");

    // A dry run names what a run then removes, and removes nothing.
    GcRun dry = gc({"--dry-run", "--grace", "0"});
    ASSERT_EQ(run_problem(dry), "") << dry.outcome.err;
    const std::map<std::string, long long> after_dry = tree_listing(root_);
    for (const auto &[file, size] : before) {
        ASSERT_TRUE(after_dry.count(file)) << "the dry run removed " << file;
        EXPECT_EQ(after_dry.at(file), size) << file;
    }

    GcRun first = gc({"--grace", "0"});
    ASSERT_EQ(run_problem(first), "") << first.outcome.err;
    EXPECT_EQ(std::multiset<Removal>(first.removed.begin(), first.removed.end()),
              std::multiset<Removal>(dry.removed.begin(), dry.removed.end()))
        << "dry run:\n"
        << dry.outcome.out << "run:\n"
        << first.outcome.out;

    // b's own blobs go; c's stay for library/app, but team/tool no longer
    // holds them; the base layer stays for a, c and d.
    const std::set<std::string> want_blobs = {config_of("b"), own_layer_of("b"), sha256_digest(given_up),
                                              sha256_digest(unnamed)};
    const std::set<std::string> want_holds = {"library/app@" + config_of("b"), "library/app@" + own_layer_of("b"),
                                              "library/app@" + sha256_digest(unnamed), "team/tool@" + config_of("c"),
                                              "team/tool@" + own_layer_of("c")};
    EXPECT_EQ(whats(first.removed, "blob"), want_blobs) << first.outcome.out;
    EXPECT_EQ(whats(first.removed, "hold"), want_holds) << first.outcome.out;
    EXPECT_EQ(whats(first.removed, "upload"), std::set<std::string>{upload_id}) << first.outcome.out;
    EXPECT_EQ(whats(first.removed, "manifest"), std::set<std::string>{}) << first.outcome.out;
    const long long blobs_mid = tree_bytes(root_ + "/blobs");
    EXPECT_EQ(bytes_of(first.removed, "blob"), blobs_before - blobs_mid);
    EXPECT_EQ(first.summary.blob_bytes, blobs_before - blobs_mid);
    // An upload's line counts the bytes it received.
    EXPECT_EQ(bytes_of(first.removed, "upload"), 5000);
    EXPECT_GE(uploads_before - tree_bytes(root_ + "/uploads"), 5000);
    EXPECT_EQ(uploads_left(root_), 0);
    // Each blob's line says its size.
    const std::map<std::string, size_t> sizes = {{config_of("b"), blob(shared, config_of("b")).size()},
                                                 {own_layer_of("b"), blob(shared, own_layer_of("b")).size()},
                                                 {sha256_digest(given_up), given_up.size()},
                                                 {sha256_digest(unnamed), unnamed.size()}};
    for (const Removal &r : first.removed)
        if (r.kind == "blob" && sizes.count(r.what)) {
            EXPECT_EQ(r.bytes, static_cast<long long>(sizes.at(r.what))) << r.what;
        }

    // Nothing is left for a second run.
    GcRun again = gc({"--grace", "0"});
    ASSERT_EQ(run_problem(again), "");
    EXPECT_TRUE(again.removed.empty()) << again.outcome.out;

    // Untagged: d (its tag moved) and its referrer, then what they alone named.
    std::string problem;
    const std::vector<Removal> untagged = gc_until_clean(root_, {"--grace", "0", "--delete-untagged"}, &problem);
    ASSERT_EQ(problem, "");
    const long long blobs_after = tree_bytes(root_ + "/blobs");
    EXPECT_EQ(whats(untagged, "manifest"),
              (std::set<std::string>{"team/tool@" + image.at("d"), "team/tool@" + lost_referrer}));
    EXPECT_EQ(whats(untagged, "blob"),
              (std::set<std::string>{config_of("d"), own_layer_of("d"), sha256_digest(sbom_d)}));
    EXPECT_EQ(
        whats(untagged, "hold"),
        (std::set<std::string>{"team/tool@" + config_of("d"), "team/tool@" + own_layer_of("d"),
                               "team/tool@" + sha256_digest(sbom_d), "team/tool@" + sha256_digest(empty_config)}));
    EXPECT_EQ(bytes_of(untagged, "blob"), blobs_mid - blobs_after);

    printf("gc: blobs/ %lld bytes before, %lld after gc --grace 0 (%lld reclaimed, %lld reported), %lld after "
           "--delete-untagged (%lld reclaimed, %lld reported); uploads %lld bytes reclaimed\n",
           blobs_before, blobs_mid, blobs_before - blobs_mid, bytes_of(first.removed, "blob"), blobs_after,
           blobs_mid - blobs_after, bytes_of(untagged, "blob"), first.summary.upload_bytes);
    fflush(stdout);

    // The store now holds exactly the blobs of what is kept.
    std::set<std::string> live = {config_of("a"),       own_layer_of("a"), config_of("c"),
                                  own_layer_of("c"),    blobs_of["a"][1],  sha256_digest(empty_config),
                                  sha256_digest(sbom_a)};
    for (const std::string &platform : digests_in(blob(multi, multi_digest)))
        for (const std::string &d : digests_in(blob(multi, platform)))
            live.insert(d);
    std::set<std::string> stored;
    for (const auto &[digest, bytes] : stored_blobs(root_))
        stored.insert(digest);
    EXPECT_EQ(stored, live);
    EXPECT_EQ(damaged_blobs(root_), std::vector<std::string>{});

    // Every image kept copies out byte for byte.
    struct Kept {
        std::string src, layout, digest;
    };
    const Kept kKept[] = {{"library/app:a", shared, image.at("a")},
                          {"library/app:c", shared, image.at("c")},
                          {"team/tool:a", shared, image.at("a")},
                          {"team/tool:d", shared, image.at("a")},
                          {"library/multi:v1", multi, multi_digest}};
    int n = 0;
    for (const Kept &k : kKept) {
        SCOPED_TRACE(k.src);
        const std::string out = path("out" + std::to_string(n++));
        cgitest::Outcome pulled = pull(k.src, out, "v");
        ASSERT_EQ(pulled.status, 0) << pulled.out << pulled.err;
        EXPECT_EQ(index_digest(out), k.digest);
        std::set<std::string> want = {k.digest.substr(7)};
        if (k.layout == multi) {
            want = blob_files(multi);
        } else {
            for (const std::string &d : digests_in(blob(shared, k.digest)))
                want.insert(d.substr(7));
        }
        EXPECT_EQ(blob_files(out), want);
        for (const std::string &f : blob_files(out))
            EXPECT_EQ(slurp(out + "/blobs/sha256/" + f), slurp(k.layout + "/blobs/sha256/" + f)) << f;
    }
    // The referrer kept is still served, listed, and its blobs whole.
    Response kept_body = http("GET", "/v2/library/app/manifests/" + kept_referrer);
    EXPECT_EQ(kept_body.status, 200);
    EXPECT_EQ(kept_body.body, kept_referrer_body);
    for (const std::string &content : {empty_config, sbom_a})
        EXPECT_EQ(blob_problem(port_, "library/app", sha256_digest(content)), "");
    EXPECT_NE(http("GET", "/v2/library/app/referrers/" + image.at("a")).body.find(kept_referrer), std::string::npos);
    // What was removed is no longer served.
    EXPECT_EQ(http("GET", "/v2/library/app/blobs/" + own_layer_of("b")).status, 404);
    EXPECT_EQ(http("GET", "/v2/team/tool/blobs/" + own_layer_of("c")).status, 404);
    EXPECT_EQ(http("GET", "/v2/team/tool/manifests/" + image.at("d")).status, 404);
    EXPECT_EQ(http("GET", "/v2/team/tool/manifests/" + lost_referrer).status, 404);
}

// ---------------------------------------------------------------- grace and refusals

// Holds, bytes and uploads younger than the grace period stay: bytes
// stored long ago stay as long as a repository holds them since.
TEST_F(GcStoreTest, GraceKeepsWhatIsYoungerAndBytesAnotherRepositoryHolds)
{
    const std::string shared = blob_bytes(6000, 11);
    const std::string alone = blob_bytes(7000, 12);
    ASSERT_EQ(push_blob(port_, "grace/old", shared).status, 201);
    ASSERT_EQ(push_blob(port_, "grace/old", alone).status, 201);
    Response old_upload = http_at(port_, "POST", "/v2/grace/old/blobs/uploads/");
    ASSERT_EQ(old_upload.status, 202);
    ASSERT_EQ(http("PATCH", old_upload.get("Location"), blob_bytes(2000, 13)).status, 202);
    const std::string old_id = old_upload.get("Location").substr(old_upload.get("Location").rfind('/') + 1, 36);

    // Older than a grace of three seconds from here on, whole seconds
    // counted; what follows stays younger while the run starts within two.
    std::this_thread::sleep_for(std::chrono::milliseconds(4100));
    ASSERT_EQ(push_blob(port_, "grace/young", shared).status, 201);
    const std::string young = blob_bytes(8000, 14);
    ASSERT_EQ(push_blob(port_, "grace/young", young).status, 201);
    Response young_upload = http_at(port_, "POST", "/v2/grace/young/blobs/uploads/");
    ASSERT_EQ(young_upload.status, 202);
    ASSERT_EQ(http("PATCH", young_upload.get("Location"), blob_bytes(2000, 15)).status, 202);

    GcRun run = gc({"--grace", "3"});
    ASSERT_EQ(run_problem(run), "") << run.outcome.err;
    EXPECT_EQ(whats(run.removed, "hold"),
              (std::set<std::string>{"grace/old@" + sha256_digest(shared), "grace/old@" + sha256_digest(alone)}))
        << run.outcome.out;
    EXPECT_EQ(whats(run.removed, "blob"), std::set<std::string>{sha256_digest(alone)}) << run.outcome.out;
    EXPECT_EQ(whats(run.removed, "upload"), std::set<std::string>{old_id}) << run.outcome.out;
    for (const std::string &content : {shared, young})
        EXPECT_EQ(blob_problem(port_, "grace/young", sha256_digest(content)), "");
    EXPECT_EQ(http("GET", "/v2/grace/old/blobs/" + sha256_digest(shared)).status, 404);
    EXPECT_EQ(http_at(port_, "GET", young_upload.get("Location")).status, 204);
    EXPECT_EQ(http_at(port_, "GET", old_upload.get("Location")).status, 404);
}

// Refused with status 2 and nothing removed: options gc does not take, and
// a store that has no record of which repository holds what (written before
// holds existed), where every blob would look free.
TEST_F(GcStoreTest, RefusesBadOptionsAndAStoreWithoutHolds)
{
    Image img = make_image("refuse/app", "v1", "{\"refuse\":1}", {blob_bytes(3000, 21)});
    ASSERT_EQ(push_image(port_, img).reply.status, 201);
    ASSERT_EQ(push_blob(port_, "refuse/app", blob_bytes(3000, 22)).status, 201);
    const std::map<std::string, long long> before = tree_listing(root_);

    static const std::vector<std::string> kRefused[] = {
        {"--grace"}, {"--grace", "-1"}, {"--grace", "soon"}, {"--grace", "1h"}, {"--sweep"}, {"--dry-run", "now"},
    };
    for (const std::vector<std::string> &options : kRefused) {
        SCOPED_TRACE(options.back());
        GcRun run = gc(options);
        EXPECT_TRUE(run.outcome.exited);
        EXPECT_EQ(run.outcome.status, 2);
        EXPECT_EQ(run.outcome.out, "");
        EXPECT_NE(run.outcome.err, "");
    }
    EXPECT_TRUE(tree_listing(root_) == before) << "refused options changed the store";

    ASSERT_TRUE(fs::remove(root_ + "/repository-holds"));
    const std::map<std::string, long long> legacy_store = tree_listing(root_);
    GcRun legacy = gc({"--grace", "0"});
    EXPECT_EQ(legacy.outcome.status, 2) << legacy.outcome.out;
    EXPECT_TRUE(legacy.removed.empty()) << legacy.outcome.out;
    EXPECT_NE(legacy.outcome.err, "");
    EXPECT_TRUE(tree_listing(root_) == legacy_store) << "gc changed a store without holds";
    EXPECT_EQ(pull_problem(port_, img.repo, img.tag, img.body), "");
}

// ---------------------------------------------------------------- gc beside pushes

TEST_F(GcStoreTest, PushesAndDeletesBesideALoopOfGcKeepEveryTaggedImage)
{
    Anomalies bad;
    GcBesidePushesSetup setup;
    setup.client_port = port_;
    setup.gc_root = root_;
    setup.check_ports = {port_};
    setup.check_root = root_;
    setup.rounds = scaled_rounds(40);
    const GcBesidePushes run = gc_beside_pushes(setup, bad);
    printf("gc: concurrent rounds=%d per client, %s, anomalies=%d\n", run.rounds, run.figures().c_str(),
           bad.count.load());
    fflush(stdout);
    EXPECT_EQ(bad.count.load(), 0) << bad.text();
    EXPECT_GT(run.pushed, 0);
}

// ---------------------------------------------------------------- gc killed

// Starts gc and kills it after delay; true when it was still running then.
// *status gets its exit status when it had ended (-1 when it had not).
bool gc_killed_after(const std::string &root, bool delete_untagged, std::chrono::microseconds delay, int *status)
{
    std::vector<std::string> args = {kAdmin, "--root", root, "gc", "--grace", "0"};
    if (delete_untagged)
        args.push_back("--delete-untagged");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(kAdmin, argv.data());
        _exit(127);
    }
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
}

TEST_F(GcStoreTest, KilledAtAnyPointLeavesAStoreALaterRunFinishes)
{
    static const char *const kRepos[] = {"kill/one", "kill/two", "kill/three", "kill/four"};
    const int rounds = scaled_rounds(24);
    std::mt19937 rng(777);

    // Images that stay tagged throughout: the content nothing may lose.
    std::vector<Image> kept;
    for (int i = 0; i < 8; i++) {
        Image img = make_image(kRepos[i % 4], "keep-" + std::to_string(i), "{\"keep\":" + std::to_string(i) + "}",
                               {pool_blob(i % 4), blob_bytes(8000 + 512 * static_cast<size_t>(i), 300u + i)});
        ASSERT_EQ(push_image(port_, img).reply.status, 201);
        kept.push_back(img);
    }
    // Per round, garbage of every kind: blobs no manifest names, an image
    // whose tag is deleted, a tag moved off its manifest, an upload left.
    std::map<std::string, Image> moving; // the image each repository's tag "moving" names
    auto add_garbage = [&](int r) {
        for (int i = 0; i < 4; i++)
            ASSERT_EQ(
                push_blob(port_, kRepos[rng() % 4], blob_bytes(3000 + rng() % 4000, 100000u + 10u * r + i)).status,
                201);
        const std::string repo = kRepos[r % 4];
        Image dropped = make_image(repo, "drop", "{\"drop\":" + std::to_string(r) + "}",
                                   {pool_blob(r % 4), blob_bytes(5000, 200000u + r)});
        ASSERT_EQ(push_image(port_, dropped).reply.status, 201);
        ASSERT_EQ(http("DELETE", "/v2/" + repo + "/manifests/drop").status, 202);
        Image moved =
            make_image(repo, "moving", "{\"moving\":" + std::to_string(r) + "}", {blob_bytes(6000, 300000u + r)});
        ASSERT_EQ(push_image(port_, moved).reply.status, 201);
        moving[repo] = moved;
        Response started = http_at(port_, "POST", "/v2/" + repo + "/blobs/uploads/");
        ASSERT_EQ(started.status, 202);
        ASSERT_EQ(http("PATCH", started.get("Location"), blob_bytes(3000, 400000u + r)).status, 202);
    };
    auto tagged = [&] {
        std::vector<Image> all = kept;
        for (const auto &[repo, img] : moving)
            all.push_back(img);
        return all;
    };

    // How long one round's gc takes when left alone, to aim the kills.
    ASSERT_NO_FATAL_FAILURE(add_garbage(0));
    const auto t0 = std::chrono::steady_clock::now();
    GcRun whole = gc({"--grace", "0", "--delete-untagged"});
    const auto whole_us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(run_problem(whole), "");
    ASSERT_FALSE(whole.removed.empty());
    const long long max_delay_us = std::min<long long>(50000, std::max<long long>(1000, whole_us + whole_us / 4));

    Anomalies bad;
    int killed = 0, finished = 0;
    for (int r = 1; r <= rounds; r++) {
        ASSERT_NO_FATAL_FAILURE(add_garbage(r));
        const std::chrono::microseconds delay(static_cast<long long>(rng() % static_cast<unsigned>(max_delay_us + 1)));
        int status = -1;
        if (gc_killed_after(root_, r % 2 == 0, delay, &status)) {
            killed++;
        } else {
            finished++;
            if (status != 0)
                bad.add("round " + std::to_string(r) + ": gc exited " + std::to_string(status));
        }
        const std::string round =
            "round " + std::to_string(r) + " (kill after " + std::to_string(delay.count()) + " us): ";
        for (const Image &img : tagged()) {
            const std::string p = pull_problem(port_, img.repo, img.tag, img.body);
            if (!p.empty())
                bad.add(round + p);
        }
        for (const std::string &d : served_damage(port_, root_))
            bad.add(round + "served " + d);
        for (const std::string &d : damaged_blobs(root_))
            bad.add(round + "stored " + d);
    }

    // A run left alone finishes what the killed ones began.
    std::string problem;
    gc_until_clean(root_, {"--grace", "0", "--delete-untagged"}, &problem);
    if (!problem.empty())
        bad.add("final gc: " + problem);
    GcRun last = gc({"--grace", "0", "--delete-untagged"});
    if (run_problem(last) != "" || !last.removed.empty())
        bad.add("last gc: " + run_problem(last) + last.outcome.out);
    std::set<std::string> live_blobs;
    for (const Image &img : tagged()) {
        const std::string p = pull_problem(port_, img.repo, img.tag, img.body);
        if (!p.empty())
            bad.add("at the end: " + p);
        for (const auto &[digest, data] : img.blobs)
            live_blobs.insert(digest);
    }
    std::set<std::string> stored;
    for (const auto &[digest, bytes] : stored_blobs(root_))
        stored.insert(digest);
    if (stored != live_blobs)
        bad.add("at the end the store holds " + std::to_string(stored.size()) + " blobs, the tagged images name " +
                std::to_string(live_blobs.size()));
    if (uploads_left(root_) != 0)
        bad.add("at the end " + std::to_string(uploads_left(root_)) + " upload files are left");

    printf("gc: kill rounds=%d killed=%d finished first=%d, a whole run %lld us (kills within %lld us), tagged "
           "images=%zu, anomalies=%d\n",
           rounds, killed, finished, static_cast<long long>(whole_us), max_delay_us, tagged().size(), bad.count.load());
    fflush(stdout);
    EXPECT_EQ(bad.count.load(), 0) << bad.text();
}

} // namespace
