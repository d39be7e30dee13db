// Shared fixture of the end-to-end tests: a lighttpd started on a free
// loopback port from the same configuration generator that scripts/serve.sh
// uses, a fresh storage root per test, and a small HTTP/1.0 client.
#ifndef TESTS_E2E_E2E_SERVER_H
#define TESTS_E2E_E2E_SERVER_H
#include <fcntl.h>
#include <strings.h>
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

namespace e2e {

using cgitest::error_doc;
using cgitest::manifest;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

inline constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
inline constexpr const char kJsonType[] = "application/json; charset=utf-8";

struct Response {
    std::string status_line;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The values of a header (names compared without regard to case).
    std::vector<std::string> all(const std::string &name) const
    {
        std::vector<std::string> out;
        for (auto &[k, v] : headers)
            if (strcasecmp(k.c_str(), name.c_str()) == 0)
                out.push_back(v);
        return out;
    }
    std::string get(const std::string &name) const
    {
        std::vector<std::string> v = all(name);
        return v.empty() ? "<absent>" : v.front();
    }
};

// How the programs run behind the server: "cgi" or "fastcgi", from
// REG_E2E_MODE (ctest runs every suite once in each mode).
inline std::string server_mode()
{
    const char *mode = getenv("REG_E2E_MODE");
    return mode && std::string(mode) == "fastcgi" ? "fastcgi" : "cgi";
}

// Bytes of every value, NUL included; each seed gives other content (its
// own blob), and any size takes several of the programs' 64 KiB pieces.
inline std::string blob_bytes(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// An upload location with one more query parameter.
inline std::string with_query(const std::string &location, const std::string &query)
{
    return location + (location.find('?') == std::string::npos ? "?" : "&") + query;
}

// The uploads in progress below a storage root (their part files).
inline size_t upload_count(const std::string &root)
{
    size_t n = 0;
    for (const auto &e : fs::directory_iterator(root + "/uploads"))
        n += e.path().extension() == ".part";
    return n;
}

// The "digest" values of a JSON text, in order of appearance.
inline std::vector<std::string> digests_in(const std::string &json)
{
    static const std::string kKey = "\"digest\":\"";
    std::vector<std::string> out;
    for (size_t at = json.find(kKey); at != std::string::npos; at = json.find(kKey, at + 1)) {
        size_t start = at + kKey.size();
        size_t end = json.find('"', start);
        if (end != std::string::npos)
            out.push_back(json.substr(start, end - start));
    }
    return out;
}

// The tag list document of a repository holding these tags, in this order.
inline std::string tags_body(const std::string &repo, const std::vector<std::string> &tags)
{
    std::string s = "{\"name\":\"" + repo + "\",\"tags\":[";
    for (size_t i = 0; i < tags.size(); i++)
        s += (i ? ",\"" : "\"") + tags[i] + "\"";
    return s + "]}\n";
}

inline std::string find_lighttpd()
{
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(pos, end - pos) + "/lighttpd";
        if (end > pos && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        pos = end + 1;
    }
    return "";
}

// A port nothing listens on right now: bound to port 0, read, released.
inline int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
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

inline int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
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

inline std::string slurp(const std::string &p)
{
    std::string out;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f)
        return "";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

class LighttpdTest : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        lighttpd_ = find_lighttpd();
        ASSERT_NE(lighttpd_, "") << "lighttpd not found (scripts/setup.sh installs it)";
        fs::create_directory(path("run"));
        root_ = path("storage");
        ASSERT_NO_FATAL_FAILURE(start(cgi_dir()));
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
        }
        TempDirTest::TearDown();
    }

    // The directory of CGI programs the server routes to.
    virtual std::string cgi_dir() { return CGI_BIN_DIR; }
    // Whether the server sends blob files itself (X-Sendfile).
    virtual bool x_sendfile() { return true; }
    // Resident processes per program under FastCGI.
    virtual int fastcgi_procs() { return 2; }
    // Basic authentication by the server against an htpasswd file ("": none),
    // and whether GET and HEAD pass without credentials.
    virtual std::string htpasswd_file() { return ""; }
    virtual bool anonymous_pull() { return false; }
    // The rules file of who may do what, handed to the programs ("": none).
    virtual std::string access_file() { return ""; }
    // HTTPS only, with this PEM certificate and key ("": plain HTTP).
    virtual std::string tls_cert() { return ""; }
    virtual std::string tls_key() { return ""; }

    void start(const std::string &cgi)
    {
        port_ = free_port();
        ASSERT_GT(port_, 0);
        const std::string conf = path("run/lighttpd.conf");
        cgitest::Outcome gen = cgitest::run_command(
            {"/bin/sh", LIGHTTPD_CONF_SCRIPT, conf, std::to_string(port_), root_, cgi, server_mode()},
            {"PATH=/usr/bin:/bin", std::string("X_SENDFILE=") + (x_sendfile() ? "on" : "off"),
             "FASTCGI_PROCS=" + std::to_string(fastcgi_procs()), "HTPASSWD_FILE=" + htpasswd_file(),
             std::string("ANONYMOUS_PULL=") + (anonymous_pull() ? "1" : "0"), "ACCESS_FILE=" + access_file(),
             "TLS_CERT=" + tls_cert(), "TLS_KEY=" + tls_key()});
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
                  const std::vector<std::string> &headers = {})
    {
        Response r;
        int fd = connect_to(port_);
        EXPECT_GE(fd, 0);
        if (fd < 0)
            return r;
        std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
        if (!body.empty() || method == "PUT")
            req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        for (const std::string &h : headers)
            req += h + "\r\n";
        req += "\r\n" + body;
        cgitest::detail::write_all(fd, req);
        std::string raw;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            raw.append(buf, static_cast<size_t>(n));
        }
        close(fd);

        size_t end = raw.find("\r\n\r\n");
        EXPECT_NE(end, std::string::npos) << raw;
        if (end == std::string::npos)
            return r;
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

    // A blob upload's POST; lighttpd wants a length on every POST, also an
    // empty one.
    Response post(const std::string &name, const std::string &query = "", const std::string &body = "")
    {
        std::vector<std::string> headers;
        if (body.empty())
            headers.push_back("Content-Length: 0");
        return http("POST", "/v2/" + name + "/blobs/uploads/" + query, body, headers);
    }

    // The 201 of a finished upload or mount.
    void expect_blob_created(const Response &r, const std::string &name, const std::string &digest)
    {
        EXPECT_EQ(r.status, 201) << r.status_line << r.body;
        EXPECT_EQ(r.get("Location"), "/v2/" + name + "/blobs/" + digest);
        EXPECT_EQ(r.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.body, "");
    }

    void expect_error(const Response &r, int status, const std::string &code, const std::string &message)
    {
        EXPECT_EQ(r.status, status) << r.status_line;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.get("Content-Type"), kJsonType);
        EXPECT_EQ(r.get("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(r.body, error_doc(code, message));
        EXPECT_EQ(r.get("Content-Length"), std::to_string(r.body.size()));
    }

    std::string lighttpd_;
    std::string root_;
    int port_ = -1;
    pid_t pid_ = -1;
};

} // namespace e2e

#endif
