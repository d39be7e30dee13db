// The clients of scripts/scaleout_test.sh: two registry nodes (web servers)
// serve one storage root, each through its own mount of a shared file
// system, and each scenario sends the requests that race to different
// nodes and reads the outcome back through the other one. One scenario per
// run; it prints a figure line "scaleout <name>: rounds=R anomalies=A ..."
// and exits 1 when it found anomalies (2 on a usage error).
//
//   scaleout_driver SCENARIO --node1 URL --node2 URL --root1 DIR --root2 DIR
//                   [--rounds N] [--seconds S] [--size-mib M] [--log FILE]
//                   [--failing FILE] [--work DIR]
//
// URL is http://127.0.0.1:PORT; DIR the storage root as that node's mount
// shows it. Scenarios:
//   finish-vs-append  an upload appended through node 1 and finished
//                     through node 2 while node 1 keeps appending
//   duplicate-chunk   the same chunk PATCHed at once through both nodes
//   lost-tag          a tag deleted through node 1 while node 2 pushes the
//                     same manifest under another tag
//   concurrency       pushes, pulls and deletions through both nodes for
//                     --seconds: every answer whole or a clean 404
//   crash-manifest    manifest PUTs and DELETEs of both nodes killed with
//                     SIGKILL; the store checked through the other node
//   crash-blob        upload finishes of both nodes killed likewise
//   pushes            images pushed through both nodes for --seconds, each
//                     acknowledged push read back through both and written
//                     to --log ("<repo> <tag> <manifest digest>"); the
//                     script creates --failing while a brick is failing
//   verify-pushes     every push of --log pulls whole through both nodes
//   gc                registry-admin gc on node 1's root in a loop while
//                     clients push and delete through node 2
//   latency           manifest GET and PUT latency of node 1 and node 2
//                     (the script points node 2 at a local disk)
//   free-port         prints a free loopback port
// The kill scenarios run the node's programs themselves (as the web server
// would, with its storage root), so that a kill lands inside a request.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "concurrency_clients.h"
#include "crash_check.h"
#include "gc_client.h"
#include "race_scenarios.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string scenario;
    int port1 = -1, port2 = -1;
    std::string root1, root2;
    int rounds = -1; // -1: the scenario's own default
    double seconds = 30;
    size_t size_mib = 16;
    std::string log;
    std::string failing;
    std::string work = "/tmp";
    unsigned seed = 0;
};

[[noreturn]] void usage(const std::string &why)
{
    fprintf(stderr,
            "scaleout_driver: %s\n"
            "usage: scaleout_driver SCENARIO --node1 URL --node2 URL --root1 DIR --root2 DIR\n"
            "                       [--rounds N] [--seconds S] [--size-mib M] [--log FILE] [--failing FILE]\n"
            "                       [--work DIR]\n"
            "       scaleout_driver free-port\n",
            why.c_str());
    exit(2);
}

// http://127.0.0.1:PORT[/] -> PORT; the client speaks to the loopback
// interface only.
int port_of(const std::string &url)
{
    const std::string prefix = "http://127.0.0.1:";
    if (url.rfind(prefix, 0) != 0)
        usage("a node URL must be http://127.0.0.1:PORT: " + url);
    std::string rest = url.substr(prefix.size());
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos || rest.size() > 5)
        usage("bad port in " + url);
    const int port = atoi(rest.c_str());
    if (port < 1 || port > 65535)
        usage("bad port in " + url);
    return port;
}

Options parse(int argc, char **argv)
{
    Options o;
    if (argc < 2)
        usage("no scenario");
    o.scenario = argv[1];
    for (int i = 2; i < argc; i++) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            usage(a + " needs a value");
        const std::string v = argv[++i];
        if (a == "--node1")
            o.port1 = port_of(v);
        else if (a == "--node2")
            o.port2 = port_of(v);
        else if (a == "--root1")
            o.root1 = v;
        else if (a == "--root2")
            o.root2 = v;
        else if (a == "--rounds")
            o.rounds = atoi(v.c_str());
        else if (a == "--seconds")
            o.seconds = atof(v.c_str());
        else if (a == "--size-mib")
            o.size_mib = static_cast<size_t>(atoi(v.c_str()));
        else if (a == "--log")
            o.log = v;
        else if (a == "--failing")
            o.failing = v;
        else if (a == "--work")
            o.work = v;
        else
            usage("unknown option " + a);
    }
    if (o.scenario == "free-port")
        return o;
    if (o.port1 < 0 || o.port2 < 0)
        usage("--node1 and --node2 are needed");
    if (o.rounds == 0 || o.seconds <= 0 || o.size_mib == 0)
        usage("--rounds, --seconds and --size-mib must be positive");
    const char *seed = getenv("SCALEOUT_SEED");
    o.seed = seed ? static_cast<unsigned>(strtoul(seed, nullptr, 10))
                  : static_cast<unsigned>(Clock::now().time_since_epoch().count());
    return o;
}

void need_roots(const Options &o)
{
    if (o.root1.empty() || o.root2.empty())
        usage(o.scenario + " needs --root1 and --root2");
}

int rounds_or(const Options &o, int fallback)
{
    return o.rounds > 0 ? o.rounds : fallback;
}

// The figure line, the first findings, and the exit status.
int finish(const std::string &name, int rounds, Anomalies &bad, const std::string &figures)
{
    printf("scaleout %s: rounds=%d anomalies=%d%s\n", name.c_str(), rounds, bad.count.load(), figures.c_str());
    if (bad.count.load() > 0)
        fprintf(stderr, "scaleout %s: first findings:\n%s", name.c_str(), bad.text().c_str());
    fflush(stdout);
    return bad.count.load() == 0 ? 0 : 1;
}

std::string ms(double v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// ---------------------------------------------------------------- races

int run_race(const Options &o)
{
    Anomalies bad;
    races::Outcome out;
    if (o.scenario == "finish-vs-append")
        out = races::finish_versus_append(o.port1, o.port2, "scale/finish", o.size_mib << 20, rounds_or(o, 14), bad);
    else if (o.scenario == "duplicate-chunk")
        out = races::duplicate_chunk(o.port1, o.port2, "scale/chunks", size_t(1) << 20, rounds_or(o, 60), bad);
    else
        out = races::lost_tag(o.port1, o.port2, "scale/tags", 3, rounds_or(o, 60), bad);
    if (out.rounds == 0)
        bad.add("no round ran");
    return finish(o.scenario, out.rounds, bad, out.figures);
}

// ---------------------------------------------------------------- concurrency

int run_concurrency(const Options &o)
{
    ConcurrentClients clients;
    const auto deadline = Clock::now() + std::chrono::duration<double>(o.seconds);
    int batches = 0;
    // Batches of the loops until the time is up: each batch starts every
    // thread again, so the time bound holds to within one batch.
    do {
        clients.run_loops({o.port1, o.port2}, 30);
        batches++;
    } while (Clock::now() < deadline);

    // The end state agrees through both nodes, and what one stores the
    // other serves.
    const std::string base = std::string("/v2/") + ConcurrentClients::kRepo;
    for (int port : {o.port1, o.port2})
        clients.check_manifest_reply(http_at(port, "GET", base + "/manifests/moving"), false, "final GET moving");
    Response put = http_at(o.port1, "PUT", base + "/manifests/cross", clients.manifests[2],
                           {std::string("Content-Type: ") + kOciType});
    Response get = http_at(o.port2, "GET", base + "/manifests/cross");
    if (put.status != 201 || get.status != 200 || get.body != clients.manifests[2])
        clients.bad.add("PUT through node 1 " + brief(put) + ", GET through node 2 " + brief(get));
    Response tags = http_at(o.port2, "GET", base + "/tags/list");
    if (tags.status != 200 || tags.body.find(".tmp.") != std::string::npos)
        clients.bad.add("tags/list " + brief(tags));
    return finish("concurrency", batches, clients.bad, " seconds=" + ms(o.seconds) + " " + clients.figures());
}

// ---------------------------------------------------------------- crashes

constexpr const char kDockerType[] = "application/vnd.docker.distribution.manifest.v2+json";

struct Node {
    int port;
    std::string root;
};

// A tag as the web server of a node serves it.
crashcheck::ServedTag fetch_tag(int port, const std::string &tag)
{
    Response r = http_at(port, "GET", std::string("/v2/") + crashcheck::kRepo + "/manifests/" + tag);
    crashcheck::ServedTag out;
    out.status = r.status;
    out.body = r.body;
    out.digest_header = r.get("Docker-Content-Digest");
    out.unknown_doc = r.status == 404 && r.body.find("MANIFEST_UNKNOWN") != std::string::npos;
    return out;
}

class CrashRun {
public:
    explicit CrashRun(const Options &o) : o_(o), rng_(o.seed)
    {
        nodes_[0] = {o.port1, o.root1};
        nodes_[1] = {o.port2, o.root2};
        printf("scaleout %s: seed=%u (set SCALEOUT_SEED to repeat)\n", o.scenario.c_str(), o.seed);
        char tmpl[4096];
        snprintf(tmpl, sizeof tmpl, "%s/scaleout-crash.XXXXXX", o.work.c_str());
        if (mkdtemp(tmpl))
            work_ = tmpl;
    }
    ~CrashRun()
    {
        if (!work_.empty())
            fs::remove_all(work_);
    }

    // The store checked through node: its files on that node's mount, its
    // tags through that node's web server.
    void check_through(int node, const std::map<std::string, std::string> &known_types)
    {
        const Node &n = nodes_[node];
        crashcheck::StoreFacts facts = crashcheck::check_store(
            n.root, known_types, [&](const std::string &tag) { return fetch_tag(n.port, tag); },
            [&](const std::string &what) { bad_.add("read through node " + std::to_string(node + 1) + ": " + what); });
        temps_ = facts.temps;
        linkless_ = facts.linkless;
        checks_++;
    }

    long random_delay(double typical_s)
    {
        std::uniform_int_distribution<long> d(0, static_cast<long>(typical_s * 1.2e6) + 1);
        return d(rng_);
    }

    int manifests()
    {
        if (work_.empty()) {
            bad_.add("no work directory");
            return finish("crash-manifest", 0, bad_, "");
        }
        const std::vector<std::string> bodies = crashcheck::make_manifests();
        std::map<std::string, std::string> known_types;
        std::vector<std::string> files;
        for (size_t i = 0; i < bodies.size(); i++) {
            files.push_back(work_ + "/body" + std::to_string(i));
            std::ofstream(files.back(), std::ios::binary) << bodies[i];
            known_types[cgitest::sha256_digest(bodies[i]).substr(7)] = i % 2 ? kOciType : kDockerType;
        }
        const std::string prog = std::string(CGI_BIN_DIR) + "/v2_manifest";
        auto path_of = [](const std::string &ref) {
            return std::string("/v2/") + crashcheck::kRepo + "/manifests/" + ref;
        };
        auto put_env = [&](int node, size_t i, const std::string &ref) {
            return crashcheck::cgi_env(nodes_[node].root, "PUT", path_of(ref), bodies[i].size(), "",
                                       i % 2 ? kOciType : kDockerType);
        };

        // Typical run time of a PUT of the largest body on each node.
        double typical[2];
        for (int node = 0; node < 2; node++) {
            std::vector<double> times;
            for (int i = 0; i < 7; i++) {
                crashcheck::RunResult r =
                    crashcheck::run_and_kill({prog}, put_env(node, bodies.size() - 1, "warmup"), files.back(), -1);
                if (!r.exited || r.status != 0)
                    bad_.add("an unkilled PUT failed on node " + std::to_string(node + 1));
                times.push_back(r.seconds);
            }
            std::sort(times.begin(), times.end());
            typical[node] = times[times.size() / 2];
        }
        crashcheck::run_and_kill({prog}, crashcheck::cgi_env(nodes_[0].root, "DELETE", path_of("warmup"), 0), "", -1);

        const int rounds = rounds_or(o_, 160);
        int kills = 0, completed = 0, deletes = 0;
        std::vector<std::string> new_tags;
        std::uniform_int_distribution<size_t> pick(0, bodies.size() - 1);
        std::uniform_int_distribution<int> percent(0, 99);
        for (int round = 0; round < rounds; round++) {
            // Each request goes to either node; the check reads through the
            // other one.
            const int node = static_cast<int>(rng_() % 2);
            size_t i = pick(rng_);
            int p = percent(rng_);
            std::string ref;
            crashcheck::RunResult r;
            if (p < 10 && !new_tags.empty()) {
                ref = new_tags[std::uniform_int_distribution<size_t>(0, new_tags.size() - 1)(rng_)];
                r = crashcheck::run_and_kill({prog}, crashcheck::cgi_env(nodes_[node].root, "DELETE", path_of(ref), 0),
                                             "", random_delay(typical[node] / 4));
                deletes++;
            } else {
                if (p < 55)
                    ref = "moving";
                else if (p < 75)
                    ref = "t" + std::to_string(round);
                else if (p < 85)
                    ref = "fixed" + std::to_string(i);
                else
                    ref = cgitest::sha256_digest(bodies[i]);
                if (ref[0] == 't')
                    new_tags.push_back(ref);
                r = crashcheck::run_and_kill({prog}, put_env(node, i, ref), files[i], random_delay(typical[node]));
            }
            if (r.killed)
                kills++;
            else if (r.exited && r.status == 0)
                completed++;
            else
                bad_.add("program ended abnormally on node " + std::to_string(node + 1) + ": status " +
                         std::to_string(r.status));
            if (round % 40 == 39)
                check_through(1 - node, known_types);
        }
        check_through(0, known_types);
        check_through(1, known_types);

        // The store keeps working: a tag set through one node reads back
        // through the other.
        Response put =
            http_at(o_.port1, "PUT", path_of("moving"), bodies[0], {std::string("Content-Type: ") + kDockerType});
        Response get = http_at(o_.port2, "GET", path_of("moving"));
        if (put.status != 201 || get.status != 200 || get.body != bodies[0])
            bad_.add("after the kills: PUT through node 1 " + brief(put) + ", GET through node 2 " + brief(get));
        if (kills <= rounds / 5)
            bad_.add("too few kills landed inside a request: " + std::to_string(kills));
        return finish("crash-manifest", rounds, bad_,
                      " kills=" + std::to_string(kills) + " completed=" + std::to_string(completed) +
                          " deletes=" + std::to_string(deletes) + " checks=" + std::to_string(checks_) +
                          " put_ms_node1=" + ms(typical[0] * 1e3) + " put_ms_node2=" + ms(typical[1] * 1e3) +
                          " leftover_temp_files=" + std::to_string(temps_) +
                          " tags_without_link=" + std::to_string(linkless_));
    }

    // An upload of content through node's web server; its ID, or "".
    std::string prepare_upload(int node, const std::string &content)
    {
        const std::string repo = crashcheck::kRepo;
        Response start = http_at(nodes_[node].port, "POST", "/v2/" + repo + "/blobs/uploads/");
        std::string loc = start.get("Location");
        const std::string prefix = "/v2/" + repo + "/blobs/uploads/";
        if (start.status != 202 || loc.rfind(prefix, 0) != 0) {
            bad_.add("POST upload through node " + std::to_string(node + 1) + ": " + brief(start));
            return "";
        }
        Response patch = http_at(nodes_[node].port, "PATCH", loc, content);
        if (patch.status != 202) {
            bad_.add("PATCH through node " + std::to_string(node + 1) + ": " + brief(patch));
            return "";
        }
        std::string id = loc.substr(prefix.size());
        return id.substr(0, id.find('?'));
    }

    int blobs()
    {
        const std::vector<std::string> contents = crashcheck::blob_contents(o_.seed);
        const std::string repo = crashcheck::kRepo;
        const std::string prog = std::string(CGI_BIN_DIR) + "/v2_upload";
        auto finish_env = [&](int node, const std::string &id, const std::string &digest) {
            return crashcheck::cgi_env(nodes_[node].root, "PUT", "/v2/" + repo + "/blobs/uploads/" + id, 0,
                                       "digest=" + digest);
        };

        double typical[2];
        for (int node = 0; node < 2; node++) {
            std::vector<double> times;
            for (int i = 0; i < 5; i++) {
                const std::string id = prepare_upload(node, contents[1]);
                const std::string digest = cgitest::sha256_digest(contents[1]);
                crashcheck::RunResult r = crashcheck::run_and_kill({prog}, finish_env(node, id, digest), "", -1);
                if (id.empty() || !r.exited || r.status != 0)
                    bad_.add("an unkilled finish failed on node " + std::to_string(node + 1));
                times.push_back(r.seconds);
                if (reg_storage_init(nodes_[node].root.c_str()) == 0)
                    reg_blob_delete(digest.c_str());
            }
            std::sort(times.begin(), times.end());
            typical[node] = times[times.size() / 2];
        }

        const int rounds = rounds_or(o_, 80);
        int kills = 0, completed = 0, refinished = 0, second_names = 0;
        std::uniform_int_distribution<size_t> pick(0, contents.size() - 1);
        for (int round = 0; round < rounds; round++) {
            const std::string what = "round " + std::to_string(round);
            const int node = static_cast<int>(rng_() % 2);
            const int other = 1 - node;
            const std::string &content = contents[pick(rng_)];
            const std::string digest = cgitest::sha256_digest(content);
            // Half the time the bytes are gone, so the publishing path runs.
            if (reg_storage_init(nodes_[other].root.c_str()) != 0) {
                bad_.add(what + ": cannot open the store through node " + std::to_string(other + 1));
                continue;
            }
            if (rng_() % 2 && reg_blob_exists(digest.c_str()) == 1)
                reg_blob_delete(digest.c_str());
            const std::string id = prepare_upload(node, content);
            if (id.empty())
                continue;
            crashcheck::RunResult r =
                crashcheck::run_and_kill({prog}, finish_env(node, id, digest), "", random_delay(typical[node]));
            if (r.killed)
                kills++;
            else if (r.exited && r.status == 0)
                completed++;
            else
                bad_.add(what + ": finish ended abnormally on node " + std::to_string(node + 1));

            // Read through the other node: a whole upload, or the blob.
            const std::string upload = nodes_[other].root + "/uploads/" + id + ".part";
            if (fs::exists(upload)) {
                if (crashcheck::read_all(upload) != content)
                    bad_.add(what + ": upload changed by a killed finish: " + id);
                // A file system that cannot rename without replacing
                // (GlusterFS's FUSE client) has the blob published by a
                // link and an unlink; killed between the two, the upload
                // is a second name of the stored blob, and is refused from
                // then on (the client pushes again, below).
                char blob_file[4096];
                struct stat up {
                }, blob{};
                const bool second_name = reg_storage_init(nodes_[other].root.c_str()) == 0 &&
                                         reg_blob_get_filepath(digest.c_str(), blob_file, sizeof blob_file) == 0 &&
                                         stat(upload.c_str(), &up) == 0 && stat(blob_file, &blob) == 0 &&
                                         up.st_ino == blob.st_ino && up.st_dev == blob.st_dev && up.st_nlink == 2;
                Response again =
                    http_at(nodes_[other].port, "PUT", "/v2/" + repo + "/blobs/uploads/" + id + "?digest=" + digest);
                if (second_name) {
                    second_names++;
                    if (again.status != 404 || again.body.find("BLOB_UPLOAD_UNKNOWN") == std::string::npos)
                        bad_.add(what + ": an upload that is a second name of its blob answered " + brief(again));
                } else if (again.status != 201) {
                    bad_.add(what + ": a killed finish cannot be finished through the other node: " + brief(again));
                } else {
                    refinished++;
                }
            }
            if (reg_storage_init(nodes_[other].root.c_str()) != 0 || reg_blob_exists(digest.c_str()) != 1) {
                bad_.add(what + ": blob lost after a killed finish: " + digest);
                continue;
            }
            char p[4096];
            if (reg_blob_get_filepath(digest.c_str(), p, sizeof p) != 0 || crashcheck::read_all(p) != content)
                bad_.add(what + ": blob not whole: " + digest);
            // A client that saw no answer pushes again; the repository then
            // serves the blob whole through either node.
            Response push =
                http_at(nodes_[node].port, "POST", "/v2/" + repo + "/blobs/uploads/?digest=" + digest, content);
            Response get = http_at(nodes_[other].port, "GET", "/v2/" + repo + "/blobs/" + digest);
            if (push.status != 201 || get.status != 200 || get.body != content)
                bad_.add(what + ": pushed again " + brief(push) + ", GET through the other node " +
                         std::to_string(get.status) + " with " + std::to_string(get.body.size()) + " bytes");
        }
        check_through(0, {});
        check_through(1, {});
        if (kills <= rounds / 5)
            bad_.add("too few kills landed inside a finish: " + std::to_string(kills));
        return finish("crash-blob", rounds, bad_,
                      " kills=" + std::to_string(kills) + " completed=" + std::to_string(completed) +
                          " finished_again=" + std::to_string(refinished) +
                          " left_as_second_name=" + std::to_string(second_names) +
                          " finish_ms_node1=" + ms(typical[0] * 1e3) + " finish_ms_node2=" + ms(typical[1] * 1e3) +
                          " leftover_temp_files=" + std::to_string(temps_));
    }

private:
    const Options &o_;
    std::mt19937 rng_;
    Node nodes_[2];
    std::string work_;
    Anomalies bad_;
    int temps_ = 0;
    size_t linkless_ = 0;
    int checks_ = 0;
};

// ---------------------------------------------------------------- pushes during a brick failure

// The wall clock, to set findings beside the script's brick events.
std::string clock_now()
{
    const time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[16];
    strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

// What reading acknowledged pushes back found besides whole answers.
struct ReadBack {
    std::string failing; // a file that exists while a brick is failing ("": never)
    Anomalies *bad = nullptr;
    std::atomic<int> reads{0}, unavailable{0}, cut_off{0}, refused_while_failing{0};

    bool brick_failing() const { return !failing.empty() && access(failing.c_str(), F_OK) == 0; }

    // Reads an acknowledged image through port. Whatever is served whole
    // must be its bytes; an answer cut short of its Content-Length, a 5xx
    // or none at all is unavailability, which a failing brick may cause. A
    // 4xx is a lost push, unless a brick was failing meanwhile: a lookup
    // the file system failed (ENOTCONN) is then answered as "not there" by
    // the store (404) or by lighttpd's X-Sendfile (403). verify-pushes
    // shows afterwards that nothing was lost.
    void image(int port, const Image &img, const std::string &label)
    {
        const std::string what = clock_now() + " " + label + " (port " + std::to_string(port) + ")";
        auto judge = [&](const std::string &target, const std::string &item, const std::string &digest) {
            const bool failing_before = brick_failing();
            Response r = http_at(port, "GET", target);
            reads++;
            if (r.status == 200) {
                const std::string length = r.get("Content-Length");
                if (length != std::to_string(r.body.size())) {
                    cut_off++;
                    return false;
                }
                if (cgitest::sha256_digest(r.body) != digest)
                    bad->add(what + ": " + item + " served torn: " + length + " bytes hashing to " +
                             cgitest::sha256_digest(r.body));
                return true;
            }
            if (r.status == 0 || r.status >= 500) {
                unavailable++;
                return false;
            }
            if (r.status >= 400 && r.status < 500 && (failing_before || brick_failing())) {
                refused_while_failing++;
                return false;
            }
            bad->add(what + ": " + item + " of an acknowledged push: " + brief(r));
            return false;
        };
        if (!judge("/v2/" + img.repo + "/manifests/" + img.tag, "manifest " + img.tag, img.digest))
            return;
        for (const auto &[digest, data] : img.blobs)
            judge("/v2/" + img.repo + "/blobs/" + digest, "blob " + digest, digest);
    }
};

int run_pushes(const Options &o)
{
    if (o.log.empty())
        usage("pushes needs --log");
    FILE *log = fopen(o.log.c_str(), "w");
    if (!log)
        usage("cannot write " + o.log);
    Anomalies bad;
    std::mutex mu;
    std::vector<Image> acked;
    std::atomic<int> attempts{0}, failed{0};
    ReadBack back;
    back.failing = o.failing;
    back.bad = &bad;
    std::atomic<bool> done{false};
    const auto deadline = Clock::now() + std::chrono::duration<double>(o.seconds);
    const int ports[2] = {o.port1, o.port2};

    auto pusher = [&](int c) {
        std::mt19937 rng(o.seed + static_cast<unsigned>(c));
        for (int n = 0; Clock::now() < deadline; n++) {
            const int node = (n + c) % 2;
            const std::string repo = "ha/r" + std::to_string(rng() % 3);
            const std::string tag = "c" + std::to_string(c) + "-" + std::to_string(n);
            // A layer shared by every push and one of its own, of a size
            // that takes several writes.
            Image img = make_image(repo, tag, "{\"client\":" + std::to_string(c) + ",\"n\":" + std::to_string(n) + "}",
                                   {pool_blob(static_cast<int>(rng() % 4)),
                                    blob_bytes(20000 + rng() % 400000, o.seed + 100000u * (c + 1) + n)});
            attempts++;
            PushReply push = push_image(ports[node], img);
            if (push.reply.status != 201) {
                // Not acknowledged: the client would push again; nothing
                // is promised about it.
                failed++;
                // A volume that refuses writes answers at once; no need to
                // ask a thousand times a second.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(mu);
                fprintf(log, "%s %s %s\n", img.repo.c_str(), img.tag.c_str(), img.digest.c_str());
                fflush(log);
                acked.push_back(img);
            }
            for (int port : ports) {
                back.image(port, img, "pushed through node " + std::to_string(node + 1));
            }
        }
    };
    // Older pushes read again all along, through both nodes: a brick that
    // comes back stale must not serve them torn or lose them.
    std::thread reader([&] {
        std::mt19937 rng(o.seed + 99);
        while (!done) {
            Image img;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (!acked.empty())
                    img = acked[rng() % acked.size()];
            }
            if (img.repo.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            back.image(ports[rng() % 2], img, "read again");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // A line every five seconds, so that the answers can be set beside
    // the brick failures the script reports.
    std::thread progress([&] {
        auto next = Clock::now();
        while (!done) {
            next += std::chrono::seconds(5);
            while (!done && Clock::now() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            size_t n;
            {
                std::lock_guard<std::mutex> lock(mu);
                n = acked.size();
            }
            printf("scaleout pushes: %s%s acknowledged=%zu not_acknowledged=%d reads=%d unavailable=%d cut_off=%d "
                   "4xx_while_failing=%d anomalies=%d\n",
                   clock_now().c_str(), back.brick_failing() ? " (brick failing)" : "", n, failed.load(),
                   back.reads.load(), back.unavailable.load(), back.cut_off.load(), back.refused_while_failing.load(),
                   bad.count.load());
            fflush(stdout);
        }
    });
    std::vector<std::thread> pushers;
    for (int c = 0; c < 2; c++)
        pushers.emplace_back(pusher, c);
    for (std::thread &t : pushers)
        t.join();
    done = true;
    reader.join();
    progress.join();
    fclose(log);
    if (acked.empty())
        bad.add("no push was acknowledged");
    return finish("pushes", attempts, bad,
                  " acknowledged=" + std::to_string(acked.size()) + " not_acknowledged=" + std::to_string(failed) +
                      " reads=" + std::to_string(back.reads) + " unavailable=" + std::to_string(back.unavailable) +
                      " cut_off=" + std::to_string(back.cut_off) +
                      " 4xx_while_failing=" + std::to_string(back.refused_while_failing));
}

int run_verify_pushes(const Options &o)
{
    if (o.log.empty())
        usage("verify-pushes needs --log");
    std::ifstream in(o.log);
    if (!in)
        usage("cannot read " + o.log);
    Anomalies bad;
    int pushes = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string repo, tag, digest;
        if (!(fields >> repo >> tag >> digest)) {
            bad.add("malformed log line: " + line);
            continue;
        }
        pushes++;
        for (int port : {o.port1, o.port2}) {
            const std::string node = port == o.port1 ? "node 1" : "node 2";
            Response m = http_at(port, "GET", "/v2/" + repo + "/manifests/" + tag);
            if (m.status != 200 || cgitest::sha256_digest(m.body) != digest) {
                bad.add(repo + ":" + tag + " through " + node + ": " + brief(m) + " for " + digest);
                continue;
            }
            const std::string problem = pull_problem(port, repo, tag, m.body);
            if (!problem.empty())
                bad.add("through " + node + ": " + problem);
        }
    }
    if (pushes == 0)
        bad.add("the log names no push");
    return finish("verify-pushes", pushes, bad, " pushes=" + std::to_string(pushes));
}

// ---------------------------------------------------------------- gc

int run_gc(const Options &o)
{
    Anomalies bad;
    GcBesidePushesSetup setup;
    setup.client_port = o.port2;
    setup.gc_root = o.root1;
    setup.check_ports = {o.port1, o.port2};
    setup.check_root = o.root2;
    setup.rounds = rounds_or(o, 30);
    const GcBesidePushes run = gc_beside_pushes(setup, bad);
    if (run.pushed == 0)
        bad.add("no push was stored");
    if (run.gc_runs == 0)
        bad.add("gc never ran");
    return finish("gc", run.rounds, bad, " (per client) " + run.figures());
}

// ---------------------------------------------------------------- latency

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

int run_latency(const Options &o)
{
    Anomalies bad;
    const int n = rounds_or(o, 200);
    std::string figures;
    for (int node = 0; node < 2; node++) {
        const int port = node == 0 ? o.port1 : o.port2;
        const std::string base = "/v2/latency/app/manifests/";
        const std::string type = std::string("Content-Type: ") + kOciType;
        std::vector<double> get_ms, put_ms;
        // Each PUT a manifest not seen before, so every one really writes.
        for (int i = 0; i < n; i++) {
            const std::string body =
                cgitest::manifest('a', ",\"annotations\":{\"n\":\"" + std::to_string(node * n + i) + "\"}");
            const auto t0 = Clock::now();
            Response r = http_at(port, "PUT", base + "t" + std::to_string(i), body, {type});
            put_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (r.status != 201)
                bad.add("PUT " + brief(r));
        }
        for (int i = 0; i < n; i++) {
            const auto t0 = Clock::now();
            Response r = http_at(port, "GET", base + "t" + std::to_string(i % 10));
            get_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (r.status != 200)
                bad.add("GET " + brief(r));
        }
        const std::string label = node == 0 ? "node1" : "node2";
        figures += " " + label + "_get_p50_ms=" + ms(percentile(get_ms, 0.5)) + " " + label +
                   "_get_p99_ms=" + ms(percentile(get_ms, 0.99)) + " " + label +
                   "_put_p50_ms=" + ms(percentile(put_ms, 0.5)) + " " + label +
                   "_put_p99_ms=" + ms(percentile(put_ms, 0.99));
    }
    return finish("latency", n, bad, figures);
}

} // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    const Options o = parse(argc, argv);
    if (o.scenario == "free-port") {
        printf("%d\n", free_port());
        return 0;
    }
    if (o.scenario == "finish-vs-append" || o.scenario == "duplicate-chunk" || o.scenario == "lost-tag")
        return run_race(o);
    if (o.scenario == "concurrency")
        return run_concurrency(o);
    if (o.scenario == "crash-manifest" || o.scenario == "crash-blob") {
        need_roots(o);
        CrashRun run(o);
        return o.scenario == "crash-manifest" ? run.manifests() : run.blobs();
    }
    if (o.scenario == "pushes")
        return run_pushes(o);
    if (o.scenario == "verify-pushes")
        return run_verify_pushes(o);
    if (o.scenario == "gc") {
        need_roots(o);
        return run_gc(o);
    }
    if (o.scenario == "latency")
        return run_latency(o);
    usage("unknown scenario " + o.scenario);
}
