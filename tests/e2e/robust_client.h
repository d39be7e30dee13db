// Helpers of the robustness suites (concurrency, hostile requests, full
// disk): an HTTP exchange with any port of the loopback interface that is
// safe to call from several threads, a raw exchange that sends bytes as
// given, and a further lighttpd on its own port sharing a storage root.
#ifndef TESTS_E2E_ROBUST_CLIENT_H
#define TESTS_E2E_ROBUST_CLIENT_H

#include <poll.h>

#include <atomic>
#include <mutex>

#include "e2e_server.h"

namespace e2e {

// Sends request as given (optionally half-closing the connection after it)
// and reads the reply to EOF or until timeout_ms passes without data.
inline std::string raw_exchange(int port, const std::string &request, bool shut_write = false, int timeout_ms = 10000)
{
    int fd = connect_to(port);
    if (fd < 0)
        return "";
    cgitest::detail::write_all(fd, request);
    if (shut_write)
        shutdown(fd, SHUT_WR);
    std::string raw;
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return raw;
}

// Splits a raw HTTP reply; status 0 when no whole header block arrived.
inline Response parse_response(const std::string &raw)
{
    Response r;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.body = raw.substr(end + 4);
    size_t pos = raw.find("\r\n");
    r.status_line = raw.substr(0, pos);
    size_t sp = r.status_line.find(' ');
    r.status = sp == std::string::npos ? 0 : atoi(r.status_line.c_str() + sp + 1);
    while (pos < end) {
        size_t next = raw.find("\r\n", pos + 2);
        std::string line = raw.substr(pos + 2, next - pos - 2);
        size_t colon = line.find(':');
        std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers.emplace_back(line.substr(0, colon), value);
        pos = next;
    }
    return r;
}

// One HTTP/1.0 exchange with the server on port; no gtest assertion inside,
// so threads may call it.
inline Response http_at(int port, const std::string &method, const std::string &target, const std::string &body = "",
                        const std::vector<std::string> &headers = {})
{
    std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (!body.empty() || method == "PUT" || method == "POST")
        req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const std::string &h : headers)
        req += h + "\r\n";
    req += "\r\n" + body;
    return parse_response(raw_exchange(port, req));
}

// A reply in a line: its status and the start of its body.
inline std::string brief(const Response &r)
{
    std::string body = r.body.size() > 200 ? r.body.substr(0, 200) + "..." : r.body;
    while (!body.empty() && body.back() == '\n')
        body.pop_back();
    return std::to_string(r.status) + (body.empty() ? "" : " " + body);
}

// A further lighttpd serving the same programs from its own run directory.
struct ExtraServer {
    int port = -1;
    pid_t pid = -1;

    // Empty on success, else what went wrong.
    std::string start(const std::string &lighttpd, const std::string &run_dir, const std::string &root,
                      const std::string &cgi_dir)
    {
        fs::create_directories(run_dir);
        port = free_port();
        const std::string conf = run_dir + "/lighttpd.conf";
        cgitest::Outcome gen = cgitest::run_command(
            {"/bin/sh", LIGHTTPD_CONF_SCRIPT, conf, std::to_string(port), root, cgi_dir, server_mode()},
            {"PATH=/usr/bin:/bin"});
        if (gen.status != 0)
            return "configuration: " + gen.err;
        fflush(nullptr);
        pid = fork();
        if (pid < 0)
            return "fork failed";
        if (pid == 0) {
            int log = open((run_dir + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(log, 1);
            dup2(log, 2);
            execl(lighttpd.c_str(), "lighttpd", "-D", "-f", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000; i++) {
            int fd = connect_to(port);
            if (fd >= 0) {
                close(fd);
                return "";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "no connection on port " + std::to_string(port);
    }
    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    ~ExtraServer() { stop(); }
};

// Findings of threads: a count and the first few descriptions.
struct Anomalies {
    std::atomic<int> count{0};
    std::mutex mu;
    std::vector<std::string> first;

    void add(const std::string &what)
    {
        count++;
        std::lock_guard<std::mutex> lock(mu);
        if (first.size() < 20)
            first.push_back(what);
    }
    std::string text()
    {
        std::lock_guard<std::mutex> lock(mu);
        std::string s;
        for (const std::string &f : first)
            s += f + "\n";
        return s;
    }
};

inline bool program_exists(const std::string &name)
{
    return access((std::string(CGI_BIN_DIR) + "/" + name).c_str(), X_OK) == 0;
}

// Sanitized programs run several times slower: loops shrink by this factor.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kRobustScaleDiv = 3;
#else
inline constexpr int kRobustScaleDiv = 1;
#endif

} // namespace e2e

#endif
