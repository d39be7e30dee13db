// Test helpers for CGI code: run a function in a forked child or a program
// with an explicit environment, feed its standard input, capture its
// standard output and error, and split a CGI reply into header lines and
// body. Header-only so the gateway, protocol, endpoint and end-to-end tests
// can all include it.
#ifndef TESTS_CGI_SUBPROCESS_H
#define TESTS_CGI_SUBPROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sha256.h"

namespace cgitest {

// Exit status a forked function reports when it returned normally, so that
// a function that ends the process itself (with 0) can be told apart.
constexpr int kReturned = 77;

struct Outcome {
    bool exited = false; // false: killed by a signal (or never waited for)
    int status = -1;     // exit status when exited, else the signal number
    std::string out;
    std::string err;
};

namespace detail {

inline void write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

// A file holding the child's standard input: a file rather than a pipe, so
// a child that reads nothing never blocks the parent.
inline int stdin_file(const std::string &data)
{
    char tmpl[] = "/tmp/cgi_stdin.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return -1;
    unlink(tmpl);
    write_all(fd, data);
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Reads both pipes to their end, then reaps the child.
inline Outcome collect(pid_t pid, int out_fd, int err_fd)
{
    Outcome r;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) {
        r.exited = true;
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.status = WTERMSIG(st);
    }
    return r;
}

} // namespace detail

// Forks a child whose standard input is stdin_data and whose standard output
// and error are captured; the child runs child_body, which ends it.
inline Outcome spawn(const std::function<void()> &child_body, const std::string &stdin_data)
{
    Outcome failed;
    int in_fd = detail::stdin_file(stdin_data);
    int out_pipe[2], err_pipe[2];
    if (in_fd < 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return failed;
    fflush(nullptr); // nothing buffered may be written twice
    pid_t pid = fork();
    if (pid < 0)
        return failed;
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(in_fd);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        child_body();
        _exit(127);
    }
    close(in_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    return detail::collect(pid, out_pipe[0], err_pipe[0]);
}

// Runs fn in a forked child with the given standard input; the child's
// environment is emptied first, so fn sets exactly what it needs. The child
// ends with kReturned when fn returns.
inline Outcome run_in_child(const std::function<void()> &fn, const std::string &stdin_data = "")
{
    return spawn(
        [&] {
            clearenv();
            fn();
            fflush(stdout);
            _exit(kReturned);
        },
        stdin_data);
}

// Runs argv[0] with its arguments and exactly the environment given
// ("NAME=value" strings), in the working directory cwd, with stdin_data on
// its standard input.
inline Outcome run_command(const std::vector<std::string> &args, const std::vector<std::string> &env,
                           const std::string &stdin_data = "", const std::string &cwd = "")
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    return spawn(
        [&] {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            execve(argv[0], argv.data(), envp.data());
        },
        stdin_data);
}

inline Outcome run_program(const std::string &path, const std::vector<std::string> &env,
                           const std::string &stdin_data = "", const std::string &cwd = "")
{
    return run_command({path}, env, stdin_data, cwd);
}

// A CGI reply split at its blank line: header lines without their CR LF.
struct Reply {
    bool complete = false; // the header block ended with a blank line
    std::vector<std::string> headers;
    std::string body;
};

inline Reply parse_reply(const std::string &out)
{
    Reply r;
    size_t pos = 0;
    for (;;) {
        size_t eol = out.find("\r\n", pos);
        if (eol == std::string::npos)
            break;
        if (eol == pos) {
            r.complete = true;
            r.body = out.substr(eol + 2);
            break;
        }
        r.headers.push_back(out.substr(pos, eol - pos));
        pos = eol + 2;
    }
    return r;
}

// The registry error document for a code and message.
inline std::string error_doc(const std::string &code, const std::string &message)
{
    return "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
}

inline std::string sha256_digest(std::string_view data)
{
    sha256_ctx ctx;
    uint8_t out[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, out);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s = "sha256:";
    for (uint8_t b : out) {
        s += kHex[b >> 4];
        s += kHex[b & 0xf];
    }
    return s;
}

// A valid manifest whose config digest is 64 copies of c.
inline std::string manifest(char c = 'a', const std::string &extra = "")
{
    return "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, c) + "\"},\"layers\":[]" + extra +
           "}";
}

// A fresh mkdtemp directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/cgi_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

    static void put_file(const std::string &p, const std::string &content)
    {
        FILE *f = fopen(p.c_str(), "wb");
        ASSERT_NE(f, nullptr) << p;
        if (!content.empty()) {
            ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
        }
        ASSERT_EQ(fclose(f), 0);
    }
    // A file of the given size that takes no disk space.
    static void sparse_file(const std::string &p, off_t size)
    {
        int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        ASSERT_GE(fd, 0) << p;
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }

    std::string dir_;
};

} // namespace cgitest

#endif
