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

#include "robust_client.h"
#include "skopeo_client.h"

using namespace e2e;
using cgitest::sha256_digest;

namespace {

constexpr const char kAdmin[] = REGISTRY_ADMIN_PATH;
constexpr const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
constexpr const char kLayerType[] = "application/vnd.oci.image.layer.v1.tar";
constexpr const char kBlobRefused[] = "MANIFEST_BLOB_UNKNOWN";

// Rounds of the loops below: base scaled by GC_E2E_SCALE (a factor, 1 when
// unset) and shrunk for sanitized builds as the other robustness suites do.
int scaled_rounds(int base)
{
    const char *env = getenv("GC_E2E_SCALE");
    const double factor = env && atof(env) > 0 ? atof(env) : 1.0;
    return std::max(1, static_cast<int>(base * factor) / kRobustScaleDiv);
}

// ---------------------------------------------------------------- gc runs

struct Removal {
    std::string kind; // blob, hold, upload, manifest
    std::string what;
    long long bytes = 0;
    auto operator<=>(const Removal &) const = default;
};

struct GcSummary {
    long long blobs = 0, blob_bytes = 0, holds = 0, uploads = 0, upload_bytes = 0, manifests = 0, manifest_bytes = 0;
};

struct GcRun {
    cgitest::Outcome outcome;
    std::vector<Removal> removed;
    GcSummary summary;
    int summaries = 0;
    std::vector<std::string> malformed; // lines of neither form
};

// Splits gc's standard output into its removal lines and its summary
// line; a dry run says "would remove" where a run says "removed".
void parse_gc_output(const std::string &out, bool dry_run, GcRun *run)
{
    const std::string verb = dry_run ? "would remove " : "removed ";
    const std::string summary_prefix = "registry-admin gc: " + verb;
    static const std::set<std::string> kKinds = {"blob", "hold", "upload", "manifest"};
    size_t pos = 0;
    while (pos < out.size()) {
        size_t eol = out.find('\n', pos);
        if (eol == std::string::npos)
            eol = out.size();
        const std::string line = out.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.rfind(summary_prefix, 0) == 0) {
            GcSummary &s = run->summary;
            int used = -1;
            sscanf(line.c_str() + summary_prefix.size(),
                   "%lld blobs (%lld bytes), %lld holds, %lld uploads (%lld bytes), %lld manifests (%lld bytes)%n",
                   &s.blobs, &s.blob_bytes, &s.holds, &s.uploads, &s.upload_bytes, &s.manifests, &s.manifest_bytes,
                   &used);
            if (used < 0 || static_cast<size_t>(used) != line.size() - summary_prefix.size())
                run->malformed.push_back(line);
            run->summaries++;
            continue;
        }
        std::string_view rest(line);
        const size_t kind_end = rest.find(' ', verb.size());
        const size_t open = rest.rfind(" (");
        Removal r;
        int used = -1;
        if (rest.substr(0, verb.size()) == verb && kind_end != std::string_view::npos && open != std::string::npos &&
            open > kind_end + 1) {
            r.kind = line.substr(verb.size(), kind_end - verb.size());
            r.what = line.substr(kind_end + 1, open - kind_end - 1);
            sscanf(line.c_str() + open, " (%lld bytes)%n", &r.bytes, &used);
        }
        if (!kKinds.count(r.kind) || used < 0 || static_cast<size_t>(used) != line.size() - open || run->summaries > 0)
            run->malformed.push_back(line);
        else
            run->removed.push_back(r);
    }
}

GcRun gc_run(const std::string &root, const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {kAdmin, "--root", root, "gc"};
    argv.insert(argv.end(), options.begin(), options.end());
    GcRun run;
    run.outcome = cgitest::run_command(argv, {"PATH=/usr/bin:/bin"});
    parse_gc_output(run.outcome.out, std::find(options.begin(), options.end(), "--dry-run") != options.end(), &run);
    return run;
}

// Empty when a run ended well and its summary adds up its lines; else what
// is wrong. No gtest assertion, so that threads may call it.
std::string run_problem(const GcRun &run)
{
    if (!run.outcome.exited || run.outcome.status != 0)
        return "gc " + std::string(run.outcome.exited ? "exited " : "killed by signal ") +
               std::to_string(run.outcome.status) + ": " + run.outcome.err;
    if (!run.malformed.empty())
        return "gc wrote a malformed line: " + run.malformed.front();
    if (run.summaries != 1)
        return "gc wrote " + std::to_string(run.summaries) + " summary lines:\n" + run.outcome.out;
    GcSummary sum;
    for (const Removal &r : run.removed) {
        if (r.kind == "blob") {
            sum.blobs++;
            sum.blob_bytes += r.bytes;
        } else if (r.kind == "hold") {
            sum.holds++;
        } else if (r.kind == "upload") {
            sum.uploads++;
            sum.upload_bytes += r.bytes;
        } else {
            sum.manifests++;
            sum.manifest_bytes += r.bytes;
        }
    }
    const GcSummary &s = run.summary;
    if (std::tie(s.blobs, s.blob_bytes, s.holds, s.uploads, s.upload_bytes, s.manifests, s.manifest_bytes) !=
        std::tie(sum.blobs, sum.blob_bytes, sum.holds, sum.uploads, sum.upload_bytes, sum.manifests,
                 sum.manifest_bytes))
        return "gc's summary does not add up its lines:\n" + run.outcome.out;
    return "";
}

// Runs gc with options until a run removes nothing (at most four runs:
// what one run frees, such as the blobs of a manifest it removed, the next
// may take); every removal of the runs that did.
std::vector<Removal> gc_until_clean(const std::string &root, const std::vector<std::string> &options,
                                    std::string *problem)
{
    std::vector<Removal> all;
    for (int i = 0; i < 4; i++) {
        GcRun run = gc_run(root, options);
        *problem = run_problem(run);
        if (!problem->empty() || run.removed.empty())
            return all;
        all.insert(all.end(), run.removed.begin(), run.removed.end());
    }
    *problem = "gc still removes something after four runs";
    return all;
}

std::set<std::string> whats(const std::vector<Removal> &removed, const std::string &kind)
{
    std::set<std::string> out;
    for (const Removal &r : removed)
        if (r.kind == kind)
            out.insert(r.what);
    return out;
}

long long bytes_of(const std::vector<Removal> &removed, const std::string &kind)
{
    long long n = 0;
    for (const Removal &r : removed)
        if (r.kind == kind)
            n += r.bytes;
    return n;
}

// ---------------------------------------------------------------- the store on disk

bool is_hex64(const std::string &s)
{
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Bytes of the regular files below dir: what du --apparent-size counts,
// without the directories.
long long tree_bytes(const std::string &dir)
{
    long long n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec))
            n += static_cast<long long>(it->file_size(ec));
    return n;
}

// Every path below dir with its size (-1 for a directory).
std::map<std::string, long long> tree_listing(const std::string &dir)
{
    std::map<std::string, long long> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out[it->path().string()] = it->is_regular_file(ec) ? static_cast<long long>(it->file_size(ec)) : -1;
    return out;
}

// The blobs stored (blobs/sha256/<hh>/<hex>), by digest, with their bytes.
std::map<std::string, std::string> stored_blobs(const std::string &root)
{
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto fan = fs::directory_iterator(root + "/blobs/sha256", ec); !ec && fan != fs::directory_iterator();
         fan.increment(ec)) {
        std::error_code inner;
        for (auto it = fs::directory_iterator(fan->path(), inner); !inner && it != fs::directory_iterator();
             it.increment(inner))
            if (is_hex64(it->path().filename().string()) && it->is_regular_file(inner))
                out["sha256:" + it->path().filename().string()] = slurp(it->path().string());
    }
    return out;
}

// Stored blobs whose bytes are not those their name promises.
std::vector<std::string> damaged_blobs(const std::string &root)
{
    std::vector<std::string> out;
    for (const auto &[digest, bytes] : stored_blobs(root))
        if (sha256_digest(bytes) != digest)
            out.push_back(digest + " holds " + std::to_string(bytes.size()) + " bytes hashing to " +
                          sha256_digest(bytes));
    return out;
}

// What the repositories hold on disk, as (name, digest): with dir_name
// "_layers" their holds (repositories/<name>/_layers/<hex>), with
// "_manifests" their stored manifests (the revision links,
// _manifests/revisions/sha256/<hex>).
std::vector<std::pair<std::string, std::string>> repo_entries(const std::string &root, const std::string &dir_name)
{
    std::vector<std::pair<std::string, std::string>> out;
    const fs::path repos = root + "/repositories";
    const std::string below = dir_name == "_manifests" ? "/revisions/sha256" : "";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(repos, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().filename() != dir_name || !it->is_directory(ec))
            continue;
        it.disable_recursion_pending();
        const std::string name = it->path().parent_path().lexically_relative(repos).string();
        std::error_code inner;
        for (auto e = fs::directory_iterator(it->path().string() + below, inner);
             !inner && e != fs::directory_iterator(); e.increment(inner))
            if (is_hex64(e->path().filename().string()))
                out.emplace_back(name, "sha256:" + e->path().filename().string());
    }
    return out;
}

// Upload files left below uploads/ (the owner records aside).
int uploads_left(const std::string &root)
{
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(root + "/uploads", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec))
            n++;
    return n;
}

// ---------------------------------------------------------------- the registry API

// The "digest" values of a JSON text, in order.
std::vector<std::string> digest_values(const std::string &json)
{
    static const std::string kKey = "\"digest\":\"";
    std::vector<std::string> out;
    for (size_t at = json.find(kKey); at != std::string::npos; at = json.find(kKey, at + 1))
        out.push_back(json.substr(at + kKey.size(), 71));
    return out;
}

std::string brief(const Response &r)
{
    std::string body = r.body.size() > 200 ? r.body.substr(0, 200) + "..." : r.body;
    while (!body.empty() && body.back() == '\n')
        body.pop_back();
    return std::to_string(r.status) + (body.empty() ? "" : " " + body);
}

bool refused_for_blob(const Response &r)
{
    return r.status == 400 && r.body.find(kBlobRefused) != std::string::npos;
}

// Stores data as a blob of repo in one request.
Response push_blob(int port, const std::string &repo, const std::string &data)
{
    return http_at(port, "POST", "/v2/" + repo + "/blobs/uploads/?digest=" + sha256_digest(data), data);
}

Response put_manifest(int port, const std::string &repo, const std::string &reference, const std::string &body)
{
    return http_at(port, "PUT", "/v2/" + repo + "/manifests/" + reference, body,
                   {std::string("Content-Type: ") + kOciType});
}

// Empty when blob digest of repo is served whole; else what is wrong.
std::string blob_problem(int port, const std::string &repo, const std::string &digest)
{
    Response b = http_at(port, "GET", "/v2/" + repo + "/blobs/" + digest);
    if (b.status != 200)
        return repo + " blob " + digest + ": " + brief(b);
    if (sha256_digest(b.body) != digest)
        return repo + " blob " + digest + ": served " + std::to_string(b.body.size()) + " bytes hashing to " +
               sha256_digest(b.body);
    return "";
}

// Empty when the image reference names in repo pulls whole: the manifest
// (body equal to want when given), and every blob it names, recursing into
// the manifests an index lists. Else what is wrong.
std::string pull_problem(int port, const std::string &repo, const std::string &reference, const std::string &want = "")
{
    Response m = http_at(port, "GET", "/v2/" + repo + "/manifests/" + reference);
    if (m.status != 200)
        return repo + ":" + reference + ": manifest " + brief(m);
    if (!want.empty() && m.body != want)
        return repo + ":" + reference + ": another manifest is served: " + brief(m);
    if (m.get("Docker-Content-Digest") != sha256_digest(m.body))
        return repo + ":" + reference + ": manifest digest " + m.get("Docker-Content-Digest") +
               " of a body hashing to " + sha256_digest(m.body);
    const bool index = m.get("Content-Type").find("index") != std::string::npos ||
                       m.get("Content-Type").find("manifest.list") != std::string::npos;
    for (const std::string &d : digest_values(m.body)) {
        std::string p = index ? pull_problem(port, repo, d) : blob_problem(port, repo, d);
        if (!p.empty())
            return repo + ":" + reference + ": " + p;
    }
    return "";
}

// Blobs and manifests served with bytes that are not theirs, or answered
// with anything but themselves or 404, for every hold and every stored
// manifest on disk: what a removal left half done would show.
std::vector<std::string> served_damage(int port, const std::string &root)
{
    std::vector<std::string> out;
    for (const char *dir : {"_layers", "_manifests"}) {
        const std::string route = dir == std::string("_layers") ? "/blobs/" : "/manifests/";
        for (const auto &[name, digest] : repo_entries(root, dir)) {
            Response r = http_at(port, "GET", "/v2/" + name + route + digest);
            if (r.status == 404 || (r.status == 200 && sha256_digest(r.body) == digest))
                continue;
            out.push_back(name + route + digest + ": " + std::to_string(r.status) + " with " +
                          std::to_string(r.body.size()) + " bytes hashing to " + sha256_digest(r.body));
        }
    }
    return out;
}

// An image built over the registry API: its blobs by digest and its manifest.
struct Image {
    std::string repo, tag;
    std::map<std::string, std::string> blobs;
    std::string body, digest;
};

// A manifest over a config and layers; each call with another config is
// another manifest.
Image make_image(const std::string &repo, const std::string &tag, const std::string &config,
                 const std::vector<std::string> &layers)
{
    Image img{repo, tag, {}, "", ""};
    auto descriptor = [&](const char *type, const std::string &data) {
        const std::string d = sha256_digest(data);
        img.blobs[d] = data;
        return "{\"mediaType\":\"" + std::string(type) + "\",\"digest\":\"" + d +
               "\",\"size\":" + std::to_string(data.size()) + "}";
    };
    img.body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) +
               "\",\"config\":" + descriptor(kConfigType, config) + ",\"layers\":[";
    for (size_t i = 0; i < layers.size(); i++)
        img.body += (i ? "," : "") + descriptor(kLayerType, layers[i]);
    img.body += "]}";
    img.digest = sha256_digest(img.body);
    return img;
}

// The reply that ended a push: a blob's that was not stored (failed_blob
// names it), else the manifest PUT's.
struct PushReply {
    std::string failed_blob;
    Response reply;
};

// Pushes the image's blobs, each in one request, then its manifest by tag.
PushReply push_image(int port, const Image &img)
{
    for (const auto &[digest, data] : img.blobs) {
        Response b = push_blob(port, img.repo, data);
        if (b.status != 201)
            return {digest, b};
    }
    return {"", put_manifest(port, img.repo, img.tag, img.body)};
}

// A one-request blob push whose upload gc took before its bytes were in:
// with --grace 0 an upload just opened is old enough to go (a grace of any
// length keeps it), and the client pushes again.
bool upload_swept(const Response &r)
{
    return r.status == 404 && r.body.find("BLOB_UPLOAD_UNKNOWN") != std::string::npos;
}

// Blobs several repositories and rounds share, so that one repository's
// pushes meet another's removals of the same bytes.
std::string pool_blob(int i)
{
    return blob_bytes(3000 + 1000 * static_cast<size_t>(i), 700 + static_cast<unsigned>(i));
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
    static const char *const kRepos[] = {"gc/one", "gc/two", "gc/three"};
    constexpr int kClients = 2;
    constexpr int kAttempts = 12;
    const int rounds = scaled_rounds(40);

    Anomalies bad;
    std::atomic<bool> clients_done{false};
    std::atomic<int> gc_runs{0}, gc_removed{0}, pushed{0}, refused{0}, uploads_swept{0}, starved{0}, tags_deleted{0},
        blobs_deleted{0};
    std::mutex live_mu;
    std::map<std::string, Image> live; // by "<repo>:<tag>"
    std::set<std::string> pool;
    for (int i = 0; i < 4; i++)
        pool.insert(sha256_digest(pool_blob(i)));

    // gc back to back, with a short random pause so that a run can start
    // anywhere in a push, not only right after the previous run.
    std::thread collector([&] {
        std::mt19937 pause_rng(99);
        for (int i = 0; !clients_done.load(); i++) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause_rng() % 50000));
            std::vector<std::string> options = {"--grace", "0"};
            if (i % 3 == 2)
                options.push_back("--delete-untagged");
            GcRun run = gc(options);
            const std::string problem = run_problem(run);
            if (!problem.empty())
                bad.add("gc run " + std::to_string(i) + ": " + problem);
            gc_runs++;
            gc_removed += static_cast<int>(run.removed.size());
        }
    });

    auto client = [&](int c) {
        std::mt19937 rng(4242u + static_cast<unsigned>(c));
        std::map<std::string, Image> mine;
        for (int r = 0; r < rounds; r++) {
            const std::string repo = kRepos[rng() % std::size(kRepos)];
            // Each client has tags of its own, so that which push a tag
            // names last is known; a tag pushed again leaves its former
            // manifest untagged.
            const std::string tag = "c" + std::to_string(c) + "-" + std::to_string(rng() % 4);
            const std::string round = "client " + std::to_string(c) + " round " + std::to_string(r);
            Image img = make_image(
                repo, tag, "{\"client\":" + std::to_string(c) + ",\"round\":" + std::to_string(r) + "}",
                {pool_blob(static_cast<int>(rng() % 4)),
                 blob_bytes(2000 + rng() % 6000, 10000u * static_cast<unsigned>(c + 1) + static_cast<unsigned>(r))});
            bool stored = false;
            for (int attempt = 0; attempt < kAttempts && !stored; attempt++) {
                const PushReply push = push_image(port_, img);
                if (!push.failed_blob.empty() && upload_swept(push.reply)) {
                    uploads_swept++;
                } else if (!push.failed_blob.empty()) {
                    bad.add(round + ": push blob " + push.failed_blob + " to " + repo + ": " + brief(push.reply));
                    break;
                } else if (push.reply.status == 201) {
                    stored = true;
                } else if (refused_for_blob(push.reply)) {
                    refused++; // a blob gc took before the manifest came: pushed again
                } else {
                    bad.add(round + ": push " + repo + ":" + tag + ": " + brief(push.reply));
                    break;
                }
            }
            if (!stored) {
                starved++;
                continue;
            }
            pushed++;
            mine[repo + ":" + tag] = img;
            const std::string problem = pull_problem(port_, repo, tag, img.body);
            if (!problem.empty())
                bad.add(round + ": stored (201), then " + problem);

            const unsigned action = rng() % 4;
            if (action == 0) {
                // Delete a tag of this client (its manifest goes with it),
                // then the holds of the blobs no other image names.
                auto it = mine.begin();
                std::advance(it, rng() % mine.size());
                const Image gone = it->second;
                mine.erase(it);
                Response del = http_at(port_, "DELETE", "/v2/" + gone.repo + "/manifests/" + gone.tag);
                if (del.status != 202)
                    bad.add(round + ": DELETE " + gone.repo + ":" + gone.tag + ": " + brief(del));
                tags_deleted++;
                for (const auto &[digest, data] : gone.blobs) {
                    if (pool.count(digest))
                        continue;
                    Response b = http_at(port_, "DELETE", "/v2/" + gone.repo + "/blobs/" + digest);
                    if (b.status != 202 && b.status != 404)
                        bad.add(round + ": DELETE blob " + digest + ": " + brief(b));
                    blobs_deleted++;
                }
            } else if (action == 1) {
                // A blob pushed and given up again at once.
                const std::string decoy = blob_bytes(1500 + rng() % 500, 50000u + 1000u * static_cast<unsigned>(c) +
                                                                             static_cast<unsigned>(r));
                Response b = push_blob(port_, repo, decoy);
                if (upload_swept(b))
                    uploads_swept++;
                else if (b.status != 201)
                    bad.add(round + ": decoy blob: " + brief(b));
                Response d = http_at(port_, "DELETE", "/v2/" + repo + "/blobs/" + sha256_digest(decoy));
                if (d.status != 202 && d.status != 404)
                    bad.add(round + ": DELETE decoy blob: " + brief(d));
                blobs_deleted++;
            }
        }
        std::lock_guard<std::mutex> lock(live_mu);
        live.insert(mine.begin(), mine.end());
    };
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back(client, c);
    for (std::thread &t : clients)
        t.join();
    clients_done = true;
    collector.join();

    // Quiet now: gc to the end, then every tag still pulls whole and the
    // store holds exactly the blobs of the tagged images.
    std::string problem;
    gc_until_clean(root_, {"--grace", "0", "--delete-untagged"}, &problem);
    if (!problem.empty())
        bad.add("final gc: " + problem);
    std::set<std::string> live_blobs;
    for (const auto &[key, img] : live) {
        const std::string p = pull_problem(port_, img.repo, img.tag, img.body);
        if (!p.empty())
            bad.add("after the rounds: " + p);
        for (const auto &[digest, data] : img.blobs)
            live_blobs.insert(digest);
    }
    for (const std::string &d : served_damage(port_, root_))
        bad.add("served: " + d);
    for (const std::string &d : damaged_blobs(root_))
        bad.add("stored: " + d);
    std::set<std::string> stored;
    for (const auto &[digest, bytes] : stored_blobs(root_))
        stored.insert(digest);
    std::vector<std::string> extra, missing;
    std::set_difference(stored.begin(), stored.end(), live_blobs.begin(), live_blobs.end(), std::back_inserter(extra));
    std::set_difference(live_blobs.begin(), live_blobs.end(), stored.begin(), stored.end(),
                        std::back_inserter(missing));
    for (const std::string &d : extra)
        bad.add("left after gc, named by no tagged image: " + d);
    for (const std::string &d : missing)
        bad.add("lost, named by a tagged image: " + d);

    printf("gc: concurrent rounds=%d per client, gc runs=%d removed=%d, pushes=%d refused (%s)=%d, blob uploads "
           "swept in flight=%d, pushes given up=%d, tags deleted=%d blobs deleted=%d, tags live=%zu blobs live=%zu, "
           "anomalies=%d\n",
           rounds, gc_runs.load(), gc_removed.load(), pushed.load(), kBlobRefused, refused.load(), uploads_swept.load(),
           starved.load(), tags_deleted.load(), blobs_deleted.load(), live.size(), live_blobs.size(), bad.count.load());
    fflush(stdout);
    EXPECT_EQ(bad.count.load(), 0) << bad.text();
    EXPECT_GT(pushed.load(), 0);
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
