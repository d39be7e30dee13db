// Test helpers for the storage library: a fresh directory per test, removed
// afterwards, and small file utilities. Header-only so every test binary in
// this folder can include it.
#ifndef TESTS_STORAGE_TEMP_ROOT_H
#define TESTS_STORAGE_TEMP_ROOT_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sha256.h"
#include "storage_internal.h"

// The 64 hexadecimal digits of the SHA-256 of bytes, and the digest string
// the store names them by.
inline std::string sha256_hex(std::string_view bytes)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t hash[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, hash);
    char hex[2 * SHA256_DIGEST_SIZE + 1];
    bin_to_hex(hash, sizeof hash, hex);
    return hex;
}

inline std::string digest_of(const std::string &bytes)
{
    return "sha256:" + sha256_hex(bytes);
}

// A fresh mkdtemp directory in dir_; the library is closed before and after
// each test so no test sees another's root.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reg_storage_cleanup();
        char tmpl[] = "/tmp/reg_storage_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        reg_storage_cleanup();
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

    static std::string slurp(const std::string &p)
    {
        std::string out;
        FILE *f = fopen(p.c_str(), "rb");
        if (!f)
            return "<missing>";
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        fclose(f);
        return out;
    }

    // Every path below base, relative to it, directories and files alike.
    static std::set<std::string> tree(const std::string &base)
    {
        std::set<std::string> out;
        for (const auto &e : std::filesystem::recursive_directory_iterator(base))
            out.insert(std::filesystem::relative(e.path(), base).string());
        return out;
    }

    std::string dir_;
};

// Runs body in a child process and kills it with SIGKILL once the child
// has written a byte to the descriptor body is given, while it holds
// whatever it took. True when the child got that far and died by the kill.
inline bool kill_when_ready(const std::function<void(int ready_fd)> &body)
{
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        body(ready[1]);
        _exit(0);
    }
    close(ready[1]);
    char c;
    bool reached = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    bool reaped = waitpid(child, &status, 0) == child;
    return reached && reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

#endif
