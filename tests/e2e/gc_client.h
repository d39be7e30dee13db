// What the garbage collection suites and the scale-out driver share: running
// registry-admin gc and reading what it printed, looking at a store on disk,
// pushing and pulling images over the registry API, and gc run in a loop
// beside clients that push and delete. No gtest assertion inside; findings
// are returned as text or go to an Anomalies.
#ifndef TESTS_E2E_GC_CLIENT_H
#define TESTS_E2E_GC_CLIENT_H

#include <algorithm>
#include <atomic>
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

namespace e2e {

using cgitest::sha256_digest;

inline constexpr const char kAdmin[] = REGISTRY_ADMIN_PATH;
inline constexpr const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
inline constexpr const char kLayerType[] = "application/vnd.oci.image.layer.v1.tar";
inline constexpr const char kBlobRefused[] = "MANIFEST_BLOB_UNKNOWN";

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
inline void parse_gc_output(const std::string &out, bool dry_run, GcRun *run)
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

inline GcRun gc_run(const std::string &root, const std::vector<std::string> &options)
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
inline std::string run_problem(const GcRun &run)
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
inline std::vector<Removal> gc_until_clean(const std::string &root, const std::vector<std::string> &options,
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

inline std::set<std::string> whats(const std::vector<Removal> &removed, const std::string &kind)
{
    std::set<std::string> out;
    for (const Removal &r : removed)
        if (r.kind == kind)
            out.insert(r.what);
    return out;
}

inline long long bytes_of(const std::vector<Removal> &removed, const std::string &kind)
{
    long long n = 0;
    for (const Removal &r : removed)
        if (r.kind == kind)
            n += r.bytes;
    return n;
}

// ---------------------------------------------------------------- the store on disk

inline bool is_hex64(const std::string &s)
{
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Bytes of the regular files below dir: what du --apparent-size counts,
// without the directories.
inline long long tree_bytes(const std::string &dir)
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
inline std::map<std::string, long long> tree_listing(const std::string &dir)
{
    std::map<std::string, long long> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out[it->path().string()] = it->is_regular_file(ec) ? static_cast<long long>(it->file_size(ec)) : -1;
    return out;
}

// The blobs stored (blobs/sha256/<hh>/<hex>), by digest, with their bytes.
inline std::map<std::string, std::string> stored_blobs(const std::string &root)
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
inline std::vector<std::string> damaged_blobs(const std::string &root)
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
inline std::vector<std::pair<std::string, std::string>> repo_entries(const std::string &root,
                                                                     const std::string &dir_name)
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
inline int uploads_left(const std::string &root)
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
inline std::vector<std::string> digest_values(const std::string &json)
{
    static const std::string kKey = "\"digest\":\"";
    std::vector<std::string> out;
    for (size_t at = json.find(kKey); at != std::string::npos; at = json.find(kKey, at + 1))
        out.push_back(json.substr(at + kKey.size(), 71));
    return out;
}

inline bool refused_for_blob(const Response &r)
{
    return r.status == 400 && r.body.find(kBlobRefused) != std::string::npos;
}

// Stores data as a blob of repo in one request.
inline Response push_blob(int port, const std::string &repo, const std::string &data)
{
    return http_at(port, "POST", "/v2/" + repo + "/blobs/uploads/?digest=" + sha256_digest(data), data);
}

inline Response put_manifest(int port, const std::string &repo, const std::string &reference, const std::string &body)
{
    return http_at(port, "PUT", "/v2/" + repo + "/manifests/" + reference, body,
                   {std::string("Content-Type: ") + kOciType});
}

// Empty when blob digest of repo is served whole; else what is wrong.
inline std::string blob_problem(int port, const std::string &repo, const std::string &digest)
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
inline std::string pull_problem(int port, const std::string &repo, const std::string &reference,
                                const std::string &want = "")
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
inline std::vector<std::string> served_damage(int port, const std::string &root)
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
inline Image make_image(const std::string &repo, const std::string &tag, const std::string &config,
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
inline PushReply push_image(int port, const Image &img)
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
inline bool upload_swept(const Response &r)
{
    return r.status == 404 && r.body.find("BLOB_UPLOAD_UNKNOWN") != std::string::npos;
}

// Blobs several repositories and rounds share, so that one repository's
// pushes meet another's removals of the same bytes.
inline std::string pool_blob(int i)
{
    return blob_bytes(3000 + 1000 * static_cast<size_t>(i), 700 + static_cast<unsigned>(i));
}

// ---------------------------------------------------------------- gc beside pushes

// Where the clients push, where gc runs and where the outcome is read: a
// suite with one server passes its port and root everywhere; the scale-out
// driver has the clients push through one node while gc runs on another
// node's mount of the same storage.
struct GcBesidePushesSetup {
    int client_port = -1;
    std::string gc_root;
    std::vector<int> check_ports; // every tag pushed is pulled through each
    std::string check_root;       // the store as a node sees it on disk
    int rounds = 40;              // per client
};

struct GcBesidePushes {
    int rounds = 0, gc_runs = 0, gc_removed = 0, pushed = 0, refused = 0, uploads_swept = 0, starved = 0,
        tags_deleted = 0, blobs_deleted = 0;
    size_t tags_live = 0, blobs_live = 0;

    // "gc runs=... blobs live=N", the counts after the rounds.
    std::string figures() const
    {
        char line[512];
        snprintf(line, sizeof line,
                 "gc runs=%d removed=%d, pushes=%d refused (%s)=%d, blob uploads swept in flight=%d, pushes given "
                 "up=%d, tags deleted=%d blobs deleted=%d, tags live=%zu blobs live=%zu",
                 gc_runs, gc_removed, pushed, kBlobRefused, refused, uploads_swept, starved, tags_deleted,
                 blobs_deleted, tags_live, blobs_live);
        return line;
    }
};

// gc --grace 0 back to back while two clients push images (blobs shared
// between repositories and rounds, and blobs of their own), delete tags and
// blobs, and push blobs they give up at once. Every push answered 201 pulls
// whole at once; afterwards, with gc run to the end, every tag still pulls
// whole, nothing is served damaged, and the store holds exactly the blobs of
// the tagged images.
inline GcBesidePushes gc_beside_pushes(const GcBesidePushesSetup &setup, Anomalies &bad)
{
    static const char *const kRepos[] = {"gc/one", "gc/two", "gc/three"};
    constexpr int kClients = 2;
    constexpr int kAttempts = 12;
    const int rounds = setup.rounds;

    GcBesidePushes out;
    out.rounds = rounds;
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
            GcRun run = gc_run(setup.gc_root, options);
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
                const PushReply push = push_image(setup.client_port, img);
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
            for (int port : setup.check_ports) {
                const std::string problem = pull_problem(port, repo, tag, img.body);
                if (!problem.empty())
                    bad.add(round + ": stored (201), then " + problem);
            }

            const unsigned action = rng() % 4;
            if (action == 0) {
                // Delete a tag of this client (its manifest goes with it),
                // then the holds of the blobs no other image names.
                auto it = mine.begin();
                std::advance(it, rng() % mine.size());
                const Image gone = it->second;
                mine.erase(it);
                Response del = http_at(setup.client_port, "DELETE", "/v2/" + gone.repo + "/manifests/" + gone.tag);
                if (del.status != 202)
                    bad.add(round + ": DELETE " + gone.repo + ":" + gone.tag + ": " + brief(del));
                tags_deleted++;
                for (const auto &[digest, data] : gone.blobs) {
                    if (pool.count(digest))
                        continue;
                    Response b = http_at(setup.client_port, "DELETE", "/v2/" + gone.repo + "/blobs/" + digest);
                    if (b.status != 202 && b.status != 404)
                        bad.add(round + ": DELETE blob " + digest + ": " + brief(b));
                    blobs_deleted++;
                }
            } else if (action == 1) {
                // A blob pushed and given up again at once.
                const std::string decoy = blob_bytes(1500 + rng() % 500, 50000u + 1000u * static_cast<unsigned>(c) +
                                                                             static_cast<unsigned>(r));
                Response b = push_blob(setup.client_port, repo, decoy);
                if (upload_swept(b))
                    uploads_swept++;
                else if (b.status != 201)
                    bad.add(round + ": decoy blob: " + brief(b));
                Response d = http_at(setup.client_port, "DELETE", "/v2/" + repo + "/blobs/" + sha256_digest(decoy));
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
    gc_until_clean(setup.gc_root, {"--grace", "0", "--delete-untagged"}, &problem);
    if (!problem.empty())
        bad.add("final gc: " + problem);
    std::set<std::string> live_blobs;
    for (const auto &[key, img] : live) {
        for (int port : setup.check_ports) {
            const std::string p = pull_problem(port, img.repo, img.tag, img.body);
            if (!p.empty())
                bad.add("after the rounds: " + p);
        }
        for (const auto &[digest, data] : img.blobs)
            live_blobs.insert(digest);
    }
    for (int port : setup.check_ports)
        for (const std::string &d : served_damage(port, setup.check_root))
            bad.add("served: " + d);
    for (const std::string &d : damaged_blobs(setup.check_root))
        bad.add("stored: " + d);
    std::set<std::string> stored;
    for (const auto &[digest, bytes] : stored_blobs(setup.check_root))
        stored.insert(digest);
    std::vector<std::string> extra, missing;
    std::set_difference(stored.begin(), stored.end(), live_blobs.begin(), live_blobs.end(), std::back_inserter(extra));
    std::set_difference(live_blobs.begin(), live_blobs.end(), stored.begin(), stored.end(),
                        std::back_inserter(missing));
    for (const std::string &d : extra)
        bad.add("left after gc, named by no tagged image: " + d);
    for (const std::string &d : missing)
        bad.add("lost, named by a tagged image: " + d);

    out.gc_runs = gc_runs;
    out.gc_removed = gc_removed;
    out.pushed = pushed;
    out.refused = refused;
    out.uploads_swept = uploads_swept;
    out.starved = starved;
    out.tags_deleted = tags_deleted;
    out.blobs_deleted = blobs_deleted;
    out.tags_live = live.size();
    out.blobs_live = live_blobs.size();
    return out;
}

} // namespace e2e

#endif
