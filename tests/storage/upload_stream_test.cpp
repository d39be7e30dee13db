// Uploads fed from a descriptor and blobs sent to one: the upload's size,
// the all-or-nothing append (exact length, early end, read and write
// failures roll back), and ranges of a stored blob.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace {

// Larger than the 64 KiB piece and not a multiple of it, so copies take
// several pieces and end on a partial one.
constexpr size_t kBig = 3 * 65536 + 4321;

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return s;
}

class UploadStreamTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root_ = path("root");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    std::string start()
    {
        char id[REG_UUID_BUF] = {};
        EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        return id;
    }
    std::string upload_path(const std::string &id) const { return root_ + "/uploads/" + id + ".part"; }

    // A descriptor reading the given bytes from a fresh file.
    int source(const std::string &data)
    {
        std::string p = path("src" + std::to_string(sources_++));
        put_file(p, data);
        int fd = open(p.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        return fd;
    }

    std::string store_blob(const std::string &data)
    {
        std::string id = start();
        EXPECT_EQ(reg_blob_append_chunk(id.c_str(), data.data(), data.size()), 0);
        char digest[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest_of(data).c_str(), digest), 0) << reg_storage_last_error();
        return digest;
    }

    static std::string err() { return reg_storage_last_error(); }

    std::string root_;
    int sources_ = 0;
};

TEST_F(UploadStreamTest, UploadSizeFollowsTheUpload)
{
    std::string id = start();
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), 0);
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "abcde", 5), 0);
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), 5);

    ASSERT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), -1);
    EXPECT_EQ(err(), "upload not found: " + id);
}

TEST_F(UploadStreamTest, RefusedArgumentsAndIds)
{
    struct Case {
        const char *id;
        const char *message;
    };
    static const Case kCases[] = {
        {nullptr, "upload_uuid is NULL"},
        {"", "invalid upload uuid"},
        {"0123456789abcdef0123456789abcdef0123", "invalid upload uuid"},
        {"../../../etc/passwd-aaaa-aaaa-aaaaaaaaaaaa", "invalid upload uuid"},
        {"01234567-89ab-cdef-0123-456789abcdef", "upload not found: 01234567-89ab-cdef-0123-456789abcdef"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.id ? c.id : "(null)");
        set_error("sentinel");
        EXPECT_EQ(reg_blob_upload_size(c.id), -1);
        EXPECT_EQ(err(), c.message);

        int fd = source("xyz");
        uint64_t received = 99;
        set_error("sentinel");
        EXPECT_EQ(reg_blob_append_fd(c.id, fd, 3, -1, &received, nullptr), -1);
        EXPECT_EQ(err(), c.message);
        EXPECT_EQ(received, 0u);
        close(fd);
    }
    // An unknown ID never becomes an upload.
    EXPECT_FALSE(std::filesystem::exists(upload_path("01234567-89ab-cdef-0123-456789abcdef")));

    std::string id = start();
    EXPECT_EQ(reg_blob_append_fd(id.c_str(), -1, 3, -1, nullptr, nullptr), -1);
    EXPECT_EQ(err(), "invalid body descriptor");
}

TEST_F(UploadStreamTest, NothingWorksBeforeInit)
{
    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_upload_size("01234567-89ab-cdef-0123-456789abcdef"), -1);
    std::string before_init = err();
    EXPECT_NE(before_init, "");
    EXPECT_EQ(reg_blob_append_fd("01234567-89ab-cdef-0123-456789abcdef", 0, 0, -1, nullptr, nullptr), -1);
    EXPECT_EQ(err(), before_init);
    const std::string digest = "sha256:" + std::string(64, 'a');
    EXPECT_EQ(reg_blob_send_range(digest.c_str(), 0, 0, 1), -1);
    EXPECT_EQ(err(), before_init);
}

TEST_F(UploadStreamTest, AppendCopiesExactlyTheDeclaredLength)
{
    const std::string data = pattern(kBig);
    std::string id = start();
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "head", 4), 0);

    // More bytes are on offer than declared: the rest is not taken.
    int fd = source(data + "TRAILER");
    uint64_t received = 0;
    ASSERT_EQ(reg_blob_append_fd(id.c_str(), fd, data.size(), -1, &received, nullptr), 0) << err();
    EXPECT_EQ(received, data.size());
    char rest[16] = {};
    EXPECT_EQ(read(fd, rest, sizeof rest), 7);
    EXPECT_STREQ(rest, "TRAILER");
    close(fd);

    EXPECT_EQ(reg_blob_upload_size(id.c_str()), static_cast<int64_t>(4 + data.size()));
    EXPECT_EQ(slurp(upload_path(id)), "head" + data);

    // A zero-length append reads nothing and changes nothing.
    fd = source("unread");
    ASSERT_EQ(reg_blob_append_fd(id.c_str(), fd, 0, -1, &received, nullptr), 0);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), static_cast<int64_t>(4 + data.size()));

    char digest[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest_of("head" + data).c_str(), digest), 0) << err();
}

TEST_F(UploadStreamTest, AppendGathersBytesThatArriveInSmallPieces)
{
    const std::string data = pattern(kBig);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        // Odd-sized writes, so reads return short counts.
        for (size_t off = 0; off < data.size(); off += 1000) {
            size_t n = std::min<size_t>(1000, data.size() - off);
            if (write(fds[1], data.data() + off, n) != static_cast<ssize_t>(n)) {
                break;
            }
        }
        close(fds[1]);
    });
    std::string id = start();
    uint64_t received = 0;
    int rc = reg_blob_append_fd(id.c_str(), fds[0], data.size(), -1, &received, nullptr);
    writer.join();
    close(fds[0]);
    ASSERT_EQ(rc, 0) << err();
    EXPECT_EQ(received, data.size());
    EXPECT_EQ(slurp(upload_path(id)), data);
}

TEST_F(UploadStreamTest, ShortBodyLeavesTheUploadAsItWas)
{
    const std::string data = pattern(kBig);
    std::string id = start();
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "kept", 4), 0);

    // The body ends after several pieces were already written.
    int fd = source(data);
    uint64_t received = 0;
    set_error("sentinel");
    EXPECT_EQ(reg_blob_append_fd(id.c_str(), fd, data.size() + 10, -1, &received, nullptr), -1);
    close(fd);
    EXPECT_EQ(err(), "request body ended after " + std::to_string(data.size()) + " of " +
                         std::to_string(data.size() + 10) + " bytes");
    EXPECT_EQ(received, data.size());
    EXPECT_EQ(slurp(upload_path(id)), "kept");

    // The upload stays open and resumes from the same offset.
    fd = source("more");
    ASSERT_EQ(reg_blob_append_fd(id.c_str(), fd, 4, -1, &received, nullptr), 0) << err();
    close(fd);
    EXPECT_EQ(slurp(upload_path(id)), "keptmore");
}

TEST_F(UploadStreamTest, ReadErrorRollsBack)
{
    std::string id = start();
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "kept", 4), 0);
    // Reading a directory fails with EISDIR.
    int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reg_blob_append_fd(id.c_str(), fd, 10, -1, nullptr, nullptr), -1);
    close(fd);
    EXPECT_EQ(err(), "read error on request body");
    EXPECT_EQ(slurp(upload_path(id)), "kept");
}

TEST_F(UploadStreamTest, WriteErrorRollsBack)
{
    const std::string data = pattern(kBig);
    std::string id = start();
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "kept", 4), 0);
    int fd = source(data);

    // Files may not grow past 100 KiB: the second piece fails midway.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 100 * 1024;
    sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    uint64_t received = 0;
    int rc = reg_blob_append_fd(id.c_str(), fd, data.size(), -1, &received, nullptr);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);
    close(fd);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err(), "write error appending chunk");
    EXPECT_LT(received, data.size());
    EXPECT_GT(received, 0u);
    EXPECT_EQ(slurp(upload_path(id)), "kept");
}

TEST_F(UploadStreamTest, SendRangeWritesTheSelectedBytes)
{
    const std::string data = pattern(kBig);
    const std::string digest = store_blob(data);

    struct Case {
        uint64_t offset;
        uint64_t len;
    };
    static const Case kCases[] = {
        {0, kBig},       // whole blob, several pieces
        {0, 0},          // nothing
        {kBig, 0},       // nothing, at the very end
        {70000, 100000}, // starts inside the second piece
        {kBig - 1, 1},   // last byte
        {65535, 2},      // straddles a piece boundary
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.len));
        std::string out_path = path("out");
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(out, 0);
        EXPECT_EQ(reg_blob_send_range(digest.c_str(), c.offset, c.len, out), 0) << err();
        close(out);
        EXPECT_EQ(slurp(out_path), data.substr(c.offset, c.len));
    }
}

TEST_F(UploadStreamTest, SendRangeFailures)
{
    const std::string digest = store_blob("0123456789");
    const std::string absent = "sha256:" + std::string(64, 'e');
    int out = open(path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    int read_only = open(path("out").c_str(), O_RDONLY);
    ASSERT_GE(read_only, 0);

    struct Case {
        const char *label;
        const char *digest;
        uint64_t offset;
        uint64_t len;
        int fd;
        std::string message;
    };
    const Case cases[] = {
        {"null digest", nullptr, 0, 1, out, "digest is NULL"},
        {"malformed digest", "sha256:abc", 0, 1, out, "invalid digest"},
        {"absent blob", absent.c_str(), 0, 1, out, "blob not found: " + absent},
        {"bad descriptor", digest.c_str(), 0, 1, -1, "invalid output descriptor"},
        {"past the end", digest.c_str(), 5, 6, out, "range beyond blob end"},
        {"offset past the end", digest.c_str(), 11, 0, out, "range beyond blob end"},
        {"length wraps", digest.c_str(), 5, UINT64_MAX, out, "range beyond blob end"},
        {"unwritable output", digest.c_str(), 0, 10, read_only, "write error sending blob"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        set_error("sentinel");
        EXPECT_EQ(reg_blob_send_range(c.digest, c.offset, c.len, c.fd), -1);
        EXPECT_EQ(err(), c.message);
    }
    close(out);
    close(read_only);
    EXPECT_EQ(slurp(path("out")), "");
}

// Chunks placed by offset. The offset is checked while the upload is held,
// so of two requests that send the same range only the first is taken, even
// when the second arrives while the first is still receiving its body. The
// refusal reports where the upload ends, so the client can resume there.
TEST_F(UploadStreamTest, SameRangeFromTwoProcessesIsTakenOnce)
{
    const std::string chunk = pattern(200000);
    std::string id = start();
    int first_body[2];
    ASSERT_EQ(pipe(first_body), 0);

    // Exit codes: 0 taken, 3 refused by range, 4 anything else.
    auto append_in_child = [&](int fd) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int64_t size = -1;
            int rc = reg_blob_append_fd(id.c_str(), fd, chunk.size(), 0, nullptr, &size);
            if (rc == 0)
                _exit(0);
            bool range = reg_storage_last_error_kind() == REG_ERR_RANGE && size == (int64_t)chunk.size() &&
                         err() == "chunk starts at 0, the upload holds 200000 bytes";
            _exit(range ? 3 : 4);
        }
        return pid;
    };
    // The first holds the upload while it waits for its body; the second
    // comes in meanwhile with the whole chunk at hand.
    pid_t a = append_in_child(first_body[0]);
    usleep(100 * 1000);
    int second_fd = source(chunk);
    pid_t b = append_in_child(second_fd);
    close(second_fd);
    usleep(100 * 1000);
    ASSERT_EQ(write(first_body[1], chunk.data(), chunk.size()), (ssize_t)chunk.size());
    close(first_body[1]);
    close(first_body[0]);

    int sa = 0, sb = 0;
    ASSERT_EQ(waitpid(a, &sa, 0), a);
    ASSERT_EQ(waitpid(b, &sb, 0), b);
    EXPECT_EQ(WEXITSTATUS(sa), 0);
    EXPECT_EQ(WEXITSTATUS(sb), 3);
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), (int64_t)chunk.size());
    EXPECT_EQ(slurp(upload_path(id)), chunk);
}

// An append whose body fails midway takes back its own bytes only: what
// the upload held before it stays.
TEST_F(UploadStreamTest, RefusedRangeAndShortBodyLeaveTheUploadAsItWas)
{
    std::string id = start();
    const std::string head = pattern(1000);
    int fd = source(head);
    int64_t size = -1;
    ASSERT_EQ(reg_blob_append_fd(id.c_str(), fd, head.size(), 0, nullptr, &size), 0) << err();
    close(fd);
    EXPECT_EQ(size, 1000);

    fd = source("xyz");
    EXPECT_EQ(reg_blob_append_fd(id.c_str(), fd, 3, 999, nullptr, &size), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_RANGE);
    EXPECT_EQ(size, 1000);
    uint64_t received = 0;
    EXPECT_EQ(reg_blob_append_fd(id.c_str(), fd, 10, 1000, &received, &size), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_SHORT_BODY);
    EXPECT_EQ(received, 3u);
    close(fd);
    EXPECT_EQ(slurp(upload_path(id)), head);
}

} // namespace
