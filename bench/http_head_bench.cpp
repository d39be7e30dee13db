// HEAD requests on kept-alive loopback connections for a bounded time, with
// latency percentiles: what wrk measures for GET, for a method wrk cannot
// time (it waits for the body a HEAD reply announces but never sends).
//   usage: http_head_bench PORT PATH CONNECTIONS SECONDS [HEADER...]
// Connects to 127.0.0.1 only. Prints one line:
//   requests=N seconds=S rps=R p50_ms=A p99_ms=B non2xx=K errors=E
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

struct worker_result {
    std::vector<double> latencies_ms;
    long non2xx = 0;
    long errors = 0;
};

int connect_loopback(int port)
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
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads one reply head; its status, or -1 when the connection failed or
// closed first. A HEAD reply ends with its blank line.
int read_reply_head(int fd)
{
    char buf[8192];
    size_t have = 0;
    for (;;) {
        if (have == sizeof buf)
            return -1;
        ssize_t n = recv(fd, buf + have, sizeof buf - have, 0);
        if (n <= 0)
            return -1;
        have += static_cast<size_t>(n);
        std::string_view text(buf, have);
        if (text.find("\r\n\r\n") != std::string_view::npos) {
            int status = 0;
            if (sscanf(buf, "HTTP/%*d.%*d %d", &status) != 1)
                return -1;
            return status;
        }
    }
}

void run_worker(int port, const std::string &request, clock_type::time_point end, worker_result *out)
{
    int fd = -1;
    while (clock_type::now() < end) {
        if (fd < 0 && (fd = connect_loopback(port)) < 0) {
            ++out->errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        auto start = clock_type::now();
        int status = send_all(fd, request) ? read_reply_head(fd) : -1;
        if (status < 0) {
            ++out->errors;
            close(fd);
            fd = -1;
            continue;
        }
        out->latencies_ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
        if (status < 200 || status > 299)
            ++out->non2xx;
    }
    if (fd >= 0)
        close(fd);
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s PORT PATH CONNECTIONS SECONDS [HEADER...]\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    int conns = atoi(argv[3]);
    double seconds = atof(argv[4]);
    if (port < 1 || port > 65535 || conns < 1 || conns > 256 || seconds <= 0 || seconds > 600) {
        fprintf(stderr, "http_head_bench: port, connections (1-256) or seconds (up to 600) out of range\n");
        return 2;
    }
    std::string request = std::string("HEAD ") + argv[2] + " HTTP/1.1\r\nHost: 127.0.0.1:" + argv[1] + "\r\n";
    for (int i = 5; i < argc; ++i)
        request += std::string(argv[i]) + "\r\n";
    request += "\r\n";

    std::vector<worker_result> results(static_cast<size_t>(conns));
    std::vector<std::thread> threads;
    auto start = clock_type::now();
    auto end = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    for (auto &r : results)
        threads.emplace_back(run_worker, port, std::cref(request), end, &r);
    for (auto &t : threads)
        t.join();
    double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();

    std::vector<double> all;
    long non2xx = 0, errors = 0;
    for (const auto &r : results) {
        all.insert(all.end(), r.latencies_ms.begin(), r.latencies_ms.end());
        non2xx += r.non2xx;
        errors += r.errors;
    }
    std::sort(all.begin(), all.end());
    printf("requests=%zu seconds=%.2f rps=%.0f p50_ms=%.2f p99_ms=%.2f non2xx=%ld errors=%ld\n", all.size(), elapsed,
           static_cast<double>(all.size()) / elapsed, percentile(all, 0.50), percentile(all, 0.99), non2xx, errors);
    return all.empty() ? 1 : 0;
}
