// End to end behind lighttpd: each test starts the server on a free loopback
// port from the same configuration generator that scripts/serve.sh uses,
// with a fresh storage root, and talks HTTP to it over a socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "subprocess.h"

using cgitest::error_doc;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace fs = std::filesystem;

namespace {

constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kJsonType[] = "application/json; charset=utf-8";

struct Response {
    std::string status_line;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The values of a header (names compared without regard to case).
    std::vector<std::string> all(const std::string &name) const {
        std::vector<std::string> out;
        for (auto &[k, v] : headers)
            if (strcasecmp(k.c_str(), name.c_str()) == 0) out.push_back(v);
        return out;
    }
    std::string get(const std::string &name) const {
        std::vector<std::string> v = all(name);
        return v.empty() ? "<absent>" : v.front();
    }
};

std::string find_lighttpd() {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(pos, end - pos) + "/lighttpd";
        if (end > pos && access(candidate.c_str(), X_OK) == 0) return candidate;
        pos = end + 1;
    }
    return "";
}

// A port nothing listens on right now: bound to port 0, read, released.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string slurp(const std::string &p) {
    std::string out;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f) return "";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

class LighttpdTest : public cgitest::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        lighttpd_ = find_lighttpd();
        ASSERT_NE(lighttpd_, "") << "lighttpd not found (scripts/setup.sh installs it)";
        fs::create_directory(path("run"));
        root_ = path("storage");
        ASSERT_NO_FATAL_FAILURE(start(cgi_dir()));
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
        }
        TempDirTest::TearDown();
    }

    // The directory of CGI programs the server routes to.
    virtual std::string cgi_dir() { return fs::path(V2_MANIFEST_PATH).parent_path().string(); }

    void start(const std::string &cgi) {
        port_ = free_port();
        ASSERT_GT(port_, 0);
        const std::string conf = path("run/lighttpd.conf");
        cgitest::Outcome gen = cgitest::run_command(
            {"/bin/sh", LIGHTTPD_CONF_SCRIPT, conf, std::to_string(port_), root_, cgi}, {"PATH=/usr/bin:/bin"});
        ASSERT_EQ(gen.status, 0) << gen.err;

        fflush(nullptr);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            int log = open(path("run/stderr.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, 1);
            dup2(log, 2);
            execl(lighttpd_.c_str(), "lighttpd", "-D", "-f", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        // Ready once it accepts a connection; give up if it exits instead.
        for (int i = 0; i < 1000; i++) {
            int fd = connect_to(port_);
            if (fd >= 0) {
                close(fd);
                return;
            }
            int st;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                FAIL() << "lighttpd exited: " << slurp(path("run/stderr.log")) << slurp(path("run/error.log"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "lighttpd does not accept connections on port " << port_;
    }

    // One HTTP/1.0 exchange; target is sent as given (already encoded).
    Response http(const std::string &method, const std::string &target, const std::string &body = "",
                  const std::vector<std::string> &headers = {}) {
        Response r;
        int fd = connect_to(port_);
        EXPECT_GE(fd, 0);
        if (fd < 0) return r;
        std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
        if (!body.empty() || method == "PUT") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        for (const std::string &h : headers) req += h + "\r\n";
        req += "\r\n" + body;
        cgitest::detail::write_all(fd, req);
        std::string raw;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) != 0) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            raw.append(buf, static_cast<size_t>(n));
        }
        close(fd);

        size_t end = raw.find("\r\n\r\n");
        EXPECT_NE(end, std::string::npos) << raw;
        if (end == std::string::npos) return r;
        r.body = raw.substr(end + 4);
        size_t pos = raw.find("\r\n");
        r.status_line = raw.substr(0, pos);
        r.status = atoi(r.status_line.c_str() + r.status_line.find(' ') + 1);
        while (pos < end) {
            size_t next = raw.find("\r\n", pos + 2);
            std::string line = raw.substr(pos + 2, next - pos - 2);
            size_t colon = line.find(':');
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            r.headers.emplace_back(line.substr(0, colon), value);
            pos = next;
        }
        return r;
    }

    void expect_error(const Response &r, int status, const std::string &code, const std::string &message) {
        EXPECT_EQ(r.status, status) << r.status_line;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Type"), kJsonType);
        EXPECT_EQ(r.body, error_doc(code, message));
        EXPECT_EQ(r.get("Content-Length"), std::to_string(r.body.size()));
    }

    std::string lighttpd_;
    std::string root_;
    int port_ = -1;
    pid_t pid_ = -1;
};

TEST_F(LighttpdTest, PushPullDelete) {
    // Exact bytes: a body ending in a line feed, with UTF-8 inside.
    const std::string body = manifest('a', ",\"annotations\":{\"t\":\"caf\xc3\xa9\"}") + "\n";
    const std::string digest = sha256_digest(body);

    Response put = http("PUT", "/v2/library/app/manifests/v1", body, {std::string("Content-Type: ") + kOciType});
    EXPECT_EQ(put.status_line, "HTTP/1.0 201 Created");
    EXPECT_EQ(put.get("Location"), "/v2/library/app/manifests/v1");
    EXPECT_EQ(put.get("Docker-Content-Digest"), digest);
    EXPECT_EQ(put.get("Docker-Distribution-API-Version"), "registry/2.0");
    EXPECT_EQ(put.body, "");
    EXPECT_TRUE(fs::exists(root_ + "/repositories/library/app/_manifests/tags/v1/current/link"));

    for (const std::string &ref : {std::string("v1"), digest}) {
        SCOPED_TRACE(ref);
        Response get = http("GET", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(get.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(get.body, body);
        EXPECT_EQ(sha256_digest(get.body), get.get("Docker-Content-Digest"));
        EXPECT_EQ(get.all("Content-Length"), std::vector<std::string>{std::to_string(body.size())});
        EXPECT_EQ(get.get("Content-Type"), kOciType);
        EXPECT_EQ(get.get("Etag"), "\"" + digest + "\"");

        Response head = http("HEAD", "/v2/library/app/manifests/" + ref);
        EXPECT_EQ(head.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(head.body, "");
        EXPECT_EQ(head.get("Content-Length"), std::to_string(body.size()));
        EXPECT_EQ(head.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(head.get("Content-Type"), kOciType);
    }

    Response del = http("DELETE", "/v2/library/app/manifests/v1");
    EXPECT_EQ(del.status_line, "HTTP/1.0 202 Accepted");
    EXPECT_EQ(del.get("Docker-Distribution-API-Version"), "registry/2.0");
    expect_error(http("GET", "/v2/library/app/manifests/v1"), 404, "MANIFEST_UNKNOWN", "manifest unknown");
    expect_error(http("GET", "/v2/library/app/manifests/" + digest), 404, "MANIFEST_UNKNOWN", "manifest unknown");
}

TEST_F(LighttpdTest, ErrorDocuments) {
    struct Case {
        const char *label;
        const char *method;
        std::string target;
        std::string body;
        int status;
        const char *code;
        std::string message;
    };
    const std::string wrong = "sha256:" + std::string(64, '0');
    const Case kCases[] = {
        {"unknown tag", "GET", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"unknown on HEAD", "HEAD", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN", ""},
        {"decoded name refused", "GET", "/v2/a%20b/manifests/x", "", 404, "NAME_UNKNOWN",
         "repository name not known"},
        {"no reference", "GET", "/v2/library/app/manifests/", "", 404, "NAME_UNKNOWN",
         "repository name or reference missing"},
        {"empty body", "PUT", "/v2/library/app/manifests/v1", "", 400, "MANIFEST_INVALID",
         "manifest body cannot be empty"},
        {"not JSON", "PUT", "/v2/library/app/manifests/v1", "nope", 400, "MANIFEST_INVALID",
         "manifest JSON parse failed"},
        {"decoded tag confined", "PUT", "/v2/library/app/manifests/x%2Fy", manifest(), 400, "MANIFEST_INVALID",
         "invalid tag: x/y"},
        {"digest checked", "PUT", "/v2/library/app/manifests/" + wrong, manifest(), 400, "MANIFEST_INVALID",
         "digest mismatch: expected " + wrong + ", got " + sha256_digest(manifest())},
        {"too large", "PUT", "/v2/library/app/manifests/v1", std::string(1048576, ' '), 413, "MANIFEST_INVALID",
         "manifest too large"},
        {"unknown delete", "DELETE", "/v2/library/app/manifests/nope", "", 404, "MANIFEST_UNKNOWN",
         "manifest unknown"},
        {"method", "PATCH", "/v2/library/app/manifests/v1", "", 405, "UNSUPPORTED",
         "Method not allowed for manifest endpoint"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        Response r = http(c.method, c.target, c.body);
        if (std::string(c.method) == "HEAD") {
            // The server drops the body of a HEAD reply but keeps its length.
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.get("Content-Type"), kJsonType);
            EXPECT_EQ(r.body, "");
            continue;
        }
        expect_error(r, c.status, c.code, c.message);
        EXPECT_TRUE(r.all("Allow").empty());
    }
    EXPECT_TRUE(fs::is_empty(root_ + "/repositories"));
}

TEST_F(LighttpdTest, PathIsDecodedAndQueryIgnored) {
    const std::string body = manifest('b');
    Response put = http("PUT", "/v2/library%2Fapp/manifests/v%31?x=1", body);
    EXPECT_EQ(put.status, 201);
    EXPECT_EQ(put.get("Location"), "/v2/library/app/manifests/v1");
    Response get = http("GET", "/v2/library/app/manifests/v1?n=5&last=a");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, body);
}

// The routing alone: a stand-in program reports what the server handed it.
class LighttpdRoutingTest : public LighttpdTest {
protected:
    std::string cgi_dir() override {
        std::string dir = path("cgi-bin");
        fs::create_directory(dir);
        std::string prog = dir + "/v2_manifest";
        put_file(prog, "#!/bin/sh\n"
                       "printf 'Status: 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n'\n"
                       "printf '%s\\n' \"$REQUEST_METHOD\" \"$PATH_INFO\" \"$QUERY_STRING\" "
                       "\"$REGISTRY_STORAGE_ROOT\"\n");
        chmod(prog.c_str(), 0755);
        return dir;
    }
};

TEST_F(LighttpdRoutingTest, ProgramSeesDecodedPathQueryAndRoot) {
    struct Case {
        const char *method;
        std::string target;
        std::string path_info;
        std::string query;
    };
    const Case kCases[] = {
        {"GET", "/v2/library/app/manifests/latest", "/v2/library/app/manifests/latest", ""},
        {"DELETE", "/v2/a%2Fb/manifests/sha256%3Aabc?", "/v2/a/b/manifests/sha256:abc", ""},
        {"GET", "/v2/a/manifests/x?n=1&last=b%26c", "/v2/a/manifests/x", "n=1&last=b%26c"},
        {"GET", "/v2/a/manifests/t%3Fq?real=1", "/v2/a/manifests/t?q", "real=1"},
        {"PUT", "/v2/a/manifests/latest/", "/v2/a/manifests/latest/", ""},
        {"GET", "/v2/a/b/manifests/", "/v2/a/b/manifests/", ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.target);
        Response r = http(c.method, c.target, c.method == std::string("PUT") ? "{}" : "");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, std::string(c.method) + "\n" + c.path_info + "\n" + c.query + "\n" + root_ + "\n");
    }
}

} // namespace
