// What the crash suite and the scale-out driver share: starting a program
// and killing it with SIGKILL after a chosen delay, and the check of a store
// after such kills. No gtest assertion inside (the driver has no test
// runner); findings go to a callback.
//
// The check walks every file of the tree against its name, fetches every
// tag through whatever serves the store (the program itself, or a web
// server on another node), and the tag list and statistics must count
// exactly what is whole. The store holds one repository, kRepo.
#ifndef TESTS_ROBUST_CRASH_CHECK_H
#define TESTS_ROBUST_CRASH_CHECK_H

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "reg_storage.h"
#include "subprocess.h"

namespace crashcheck {

namespace fs = std::filesystem;
using cgitest::sha256_digest;

// One path level: the statistics count first-level repositories only.
inline constexpr const char kRepo[] = "crashapp";

// The blobs the killed finishes store: random bytes from seed, of sizes
// whose hashing takes long enough to be killed in, and a tiny one.
inline std::vector<std::string> blob_contents(unsigned seed)
{
    std::mt19937 bytes(seed);
    std::vector<std::string> contents;
    for (size_t size : {size_t(1) << 20, size_t(3) << 20, size_t(5) << 19, size_t(17), size_t(2) << 20}) {
        std::string c(size, '\0');
        for (char &ch : c)
            ch = static_cast<char>(bytes());
        contents.push_back(c);
    }
    return contents;
}

inline std::string read_all(const std::string &p)
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

inline bool is_hex64(const std::string &s)
{
    return s.size() == 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

inline bool is_temp_name(const std::string &base)
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
inline RunResult run_and_kill(const std::vector<std::string> &args, const std::vector<std::string> &env,
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

// The environment a web server gives a CGI request of the store at root.
inline std::vector<std::string> cgi_env(const std::string &root, const std::string &method,
                                        const std::string &path_info, size_t length, const std::string &query = "",
                                        const std::string &type = "")
{
    std::vector<std::string> env = {"REQUEST_METHOD=" + method, "PATH_INFO=" + path_info,
                                    "REGISTRY_STORAGE_ROOT=" + root, "QUERY_STRING=" + query,
                                    "CONTENT_LENGTH=" + std::to_string(length)};
    if (!type.empty())
        env.push_back("CONTENT_TYPE=" + type);
    return env;
}

// A manifest as served by tag: the status, the body, the digest header, and
// whether a 404 carried the registry's MANIFEST_UNKNOWN document.
struct ServedTag {
    int status = 0;
    std::string body;
    std::string digest_header;
    bool unknown_doc = false;
};
using TagFetch = std::function<ServedTag(const std::string &tag)>;
using Report = std::function<void(const std::string &)>;

struct StoreFacts {
    int temps = 0;        // left-over temporary files (never counted or served)
    size_t linkless = 0;  // tag directories without a link
    size_t good_tags = 0; // tags served whole
};

// Checks the store at root. known_types: the media type each manifest body
// (by hex) was stored with.
inline StoreFacts check_store(const std::string &root, const std::map<std::string, std::string> &known_types,
                              const TagFetch &fetch, const Report &anomaly)
{
    StoreFacts facts;
    const std::string manifests = root + "/repositories/" + kRepo + "/_manifests";
    const std::string holds = root + "/repositories/" + kRepo + "/_layers";
    std::set<std::string> bodies;
    std::set<std::string> good_tags;
    int blobs = 0, uploads = 0;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file())
            continue;
        const std::string p = it->path().string();
        const std::string rel = p.substr(root.size() + 1);
        const std::string base = it->path().filename().string();
        const std::string parent = it->path().parent_path().filename().string();
        const std::string dir = it->path().parent_path().string();
        if (is_temp_name(base)) {
            facts.temps++;
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
            // Owner records (uploads/owners/<id>) name an upload's
            // repository; they are not uploads.
            if (dir == root + "/uploads")
                uploads++;
            continue;
        }
        if (dir == manifests) {
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
        if (dir == holds) {
            // The repository holds a blob: the digest, whole.
            if (base == ".lock")
                continue;
            if (!is_hex64(base) || read_all(p) != "sha256:" + base)
                anomaly("hold not whole: " + rel + " = '" + read_all(p) + "'");
            continue;
        }
        if (rel.starts_with(std::string("repositories/") + kRepo + "/_manifests/revisions/sha256/") && base == "link") {
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
                facts.linkless++;
                ServedTag got = fetch(tag);
                if (got.status != 404 || !got.unknown_doc)
                    anomaly("tag without link not answered 404: " + tag + ": " + std::to_string(got.status));
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
            ServedTag got = fetch(tag);
            if (got.status != 200 || got.digest_header != sha256_digest(got.body) || sha256_digest(got.body) != link ||
                got.body != read_all(manifests + "/" + link.substr(7)))
                anomaly("tag not served whole: " + tag + ": " + std::to_string(got.status) + " " +
                        got.body.substr(0, 80));
        }
    }
    facts.good_tags = good_tags.size();

    // The views count what is whole and nothing else.
    if (reg_storage_init(root.c_str()) != 0) {
        anomaly(std::string("cannot open the store: ") + reg_storage_last_error());
        return facts;
    }
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
    return facts;
}

// Manifests of several sizes: the larger ones keep the program writing long
// enough for kills to land inside every step.
inline std::vector<std::string> make_manifests()
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

} // namespace crashcheck

#endif
