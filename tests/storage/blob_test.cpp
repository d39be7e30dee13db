// Blob uploads and the blob store: the upload life cycle, the blob queries
// and deletion, and the failure paths. fsync, renameat2, remove, unlink and
// sha256_fd are wrapped at link time (-Wl,--wrap) so that a test can watch
// the order of the durable steps, inject a failure, stage a concurrent
// finish or pause a finish while another process races it.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

// ---- link-time wrappers ---------------------------------------------------

namespace {

enum class rename_mode {
    pass,         // the real rename
    peer_first,   // another finish publishes the blob first; then rename
    no_noreplace, // a file system that cannot rename without replacing
};

struct syscall_hooks {
    bool record = false;
    std::vector<std::string> events;
    int fail_fsync = 0;  // errno to fail fsync with, 0: pass
    int fail_remove = 0; // errno for remove and unlink
    bool fail_hash = false;
    // Called with the descriptor being hashed, before the hash.
    std::function<void(int)> before_hash;
    // Bytes getrandom hands out first (one entry a call), then real ones.
    std::vector<std::vector<uint8_t>> random;
    rename_mode rename = rename_mode::pass;
};
syscall_hooks g_hooks;

std::string fd_path(int fd)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) {
        return "?";
    }
    target[n] = '\0';
    return target;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

} // namespace

extern "C" {
int __real_fsync(int fd);
int __real_renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags);
int __real_remove(const char *path);
int __real_unlink(const char *path);
// int sha256_fd(int, uint8_t *), by its mangled name.
int __real__Z9sha256_fdiPh(int fd, uint8_t *out);
ssize_t __real_getrandom(void *buf, size_t len, unsigned flags);

ssize_t __wrap_getrandom(void *buf, size_t len, unsigned flags)
{
    if (g_hooks.random.empty()) {
        return __real_getrandom(buf, len, flags);
    }
    std::vector<uint8_t> next = g_hooks.random.front();
    g_hooks.random.erase(g_hooks.random.begin());
    size_t n = std::min(len, next.size());
    memcpy(buf, next.data(), n);
    return (ssize_t)n;
}

int __wrap_fsync(int fd)
{
    if (g_hooks.record) {
        g_hooks.events.push_back("fsync " + fd_path(fd));
    }
    if (g_hooks.fail_fsync) {
        errno = g_hooks.fail_fsync;
        return -1;
    }
    return __real_fsync(fd);
}

int __wrap_renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
    if (g_hooks.record) {
        g_hooks.events.push_back(std::string("rename ") + from + " -> " + to);
    }
    if (g_hooks.rename == rename_mode::peer_first) {
        write_all(to, read_all(from));
    } else if (g_hooks.rename == rename_mode::no_noreplace && (flags & RENAME_NOREPLACE)) {
        errno = EINVAL;
        return -1;
    }
    return __real_renameat2(from_dir, from, to_dir, to, flags);
}

int __wrap_remove(const char *path)
{
    if (g_hooks.fail_remove) {
        errno = g_hooks.fail_remove;
        return -1;
    }
    return __real_remove(path);
}

int __wrap_unlink(const char *path)
{
    if (g_hooks.fail_remove) {
        errno = g_hooks.fail_remove;
        return -1;
    }
    return __real_unlink(path);
}

int __wrap__Z9sha256_fdiPh(int fd, uint8_t *out)
{
    if (g_hooks.fail_hash) {
        return -1;
    }
    if (g_hooks.before_hash) {
        g_hooks.before_hash(fd);
    }
    return __real__Z9sha256_fdiPh(fd, out);
}
}

namespace {

// FIPS 180-4 test vectors.
const char kDigestAbc[] = "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kDigestEmpty[] = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kNotInit[] = "not initialized - call reg_storage_init first";
const char kSentinel[] = "sentinel";

std::string err()
{
    return reg_storage_last_error();
}

class BlobTest : public TempDirTest {
protected:
    void SetUp() override
    {
        g_hooks = syscall_hooks();
        TempDirTest::SetUp();
        base_ = dir_;
        open_root(base_ + "/root");
    }

    void TearDown() override
    {
        g_hooks = syscall_hooks();
        TempDirTest::TearDown();
    }

    void open_root(const std::string &root)
    {
        root_ = root;
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << err();
    }

    std::string upload_path(const std::string &id) const { return root_ + "/uploads/" + id + ".part"; }
    std::string blob_path(const std::string &digest) const
    {
        return root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
    }
    std::string fanout_dir(const std::string &digest) const { return root_ + "/blobs/sha256/" + digest.substr(7, 2); }

    // Starts an upload and appends data in one chunk.
    std::string upload(const std::string &data)
    {
        char id[REG_UUID_BUF];
        EXPECT_EQ(reg_blob_start_upload(id), 0) << err();
        EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0) << err();
        return id;
    }

    // Stores data as a blob through a whole upload; returns its digest.
    std::string store(const std::string &data)
    {
        std::string digest = digest_of(data);
        std::string id = upload(data);
        char out[REG_DIGEST_BUF];
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << err();
        return digest;
    }

    std::string base_;
    std::string root_;
};

// ---- the upload life cycle ------------------------------------------------

TEST_F(BlobTest, UploadInChunksBecomesBlobUnderItsDigest)
{
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>((i * 7919) >> 3);
    }
    struct Case {
        const char *what;
        std::vector<std::string> chunks;
    };
    const Case kCases[] = {
        {"abc in one chunk", {"abc"}},
        {"abc in two chunks", {"a", "bc"}},
        {"abc with empty chunks around", {"", "ab", "", "c", ""}},
        {"empty upload", {}},
        {"NUL bytes", {std::string("a\0b", 3), std::string("\0", 1)}},
        {"several chunks past the hashing buffer",
         {big.substr(0, 70000), big.substr(70000, 65536), big.substr(135536)}},
    };
    int n = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        // Each case in a storage of its own, so that none finds its blob stored.
        open_root(base_ + "/case" + std::to_string(n++));
        std::string content;
        char id[REG_UUID_BUF];
        ASSERT_EQ(reg_blob_start_upload(id), 0) << err();
        EXPECT_TRUE(uuid_valid(id));
        EXPECT_EQ(read_all(upload_path(id)), "");
        for (const std::string &chunk : c.chunks) {
            ASSERT_EQ(reg_blob_append_chunk(id, chunk.data(), chunk.size()), 0) << err();
            content += chunk;
            EXPECT_EQ(read_all(upload_path(id)), content);
        }
        std::string digest = digest_of(content);
        char out[REG_DIGEST_BUF];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(reg_blob_finish_upload(id, digest.c_str(), out), 0) << err();
        EXPECT_STREQ(out, digest.c_str());
        EXPECT_EQ(read_all(blob_path(digest)), content);
        EXPECT_FALSE(fs::exists(upload_path(id)));
        EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
        EXPECT_EQ(reg_blob_get_size(digest.c_str()), static_cast<int64_t>(content.size()));
    }
    // The known answers tie the stored names to FIPS 180-4, not to the helper above.
    EXPECT_TRUE(fs::exists(base_ + "/case0/blobs/sha256/ba/" + std::string(kDigestAbc + 7)));
    EXPECT_TRUE(fs::exists(base_ + "/case1/blobs/sha256/ba/" + std::string(kDigestAbc + 7)));
    EXPECT_TRUE(fs::exists(base_ + "/case3/blobs/sha256/e3/" + std::string(kDigestEmpty + 7)));
}

TEST_F(BlobTest, WrongDigestRemovesTheUpload)
{
    std::string id = upload("abc");
    std::string wrong = kDigestEmpty;
    char out[REG_DIGEST_BUF] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), wrong.c_str(), out), -1);
    EXPECT_EQ(err(), "digest mismatch: expected " + wrong + ", got " + kDigestAbc);
    EXPECT_STREQ(out, "untouched");
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_FALSE(fs::exists(blob_path(wrong)));
    EXPECT_FALSE(fs::exists(blob_path(kDigestAbc)));

    // The upload is gone: neither finish nor append find it; cancel agrees.
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), -1);
    EXPECT_EQ(err(), "upload not found: " + id);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "abc", 3), -1);
    EXPECT_EQ(err(), "upload not found: " + id);
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
}

TEST_F(BlobTest, MalformedExpectedDigestLeavesTheUploadOpen)
{
    std::string upper = kDigestAbc;
    for (size_t i = 7; i < upper.size(); ++i) {
        upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(upper[i])));
    }
    const char *const kRefused[] = {upper.c_str(), "sha256:abc",
                                    "SHA256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"};
    std::string id = upload("abc");
    char out[REG_DIGEST_BUF];
    for (const char *digest : kRefused) {
        SCOPED_TRACE(digest);
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest, out), -1);
        EXPECT_EQ(err(), "invalid expected digest");
        EXPECT_EQ(read_all(upload_path(id)), "abc");
    }
    // Still open: it takes more bytes and finishes.
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "d", 1), 0) << err();
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest_of("abcd").c_str(), out), 0) << err();
}

TEST_F(BlobTest, FinishingStoredContentKeepsTheStoredBlob)
{
    std::string digest = store("abc");
    struct stat before;
    ASSERT_EQ(stat(blob_path(digest).c_str(), &before), 0);

    std::string id = upload("abc");
    char out[REG_DIGEST_BUF] = "";
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << err();
    EXPECT_STREQ(out, kDigestAbc);
    EXPECT_FALSE(fs::exists(upload_path(id)));
    struct stat after;
    ASSERT_EQ(stat(blob_path(digest).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_all(blob_path(digest)), "abc");
}

TEST_F(BlobTest, CancelEndsAnUploadAndIsIdempotent)
{
    std::string id = upload("partial");
    ASSERT_EQ(reg_blob_cancel_upload(id.c_str()), 0) << err();
    EXPECT_FALSE(fs::exists(upload_path(id)));
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
    EXPECT_EQ(err(), "upload not found: " + id);
    // A well-formed ID that never started counts as cancelled too.
    EXPECT_EQ(reg_blob_cancel_upload("00000000-0000-0000-0000-000000000000"), 0);
}

TEST_F(BlobTest, AppendToUnknownUploadCreatesNothing)
{
    const char id[] = "0123abcd-0000-1111-2222-333344445555";
    EXPECT_EQ(reg_blob_append_chunk(id, "abc", 3), -1);
    EXPECT_EQ(err(), std::string("upload not found: ") + id);
    EXPECT_TRUE(fs::is_empty(root_ + "/uploads"));
}

TEST_F(BlobTest, UploadsGetDistinctIds)
{
    char a[REG_UUID_BUF];
    char b[REG_UUID_BUF];
    ASSERT_EQ(reg_blob_start_upload(a), 0);
    ASSERT_EQ(reg_blob_start_upload(b), 0);
    EXPECT_STRNE(a, b);
    EXPECT_TRUE(fs::exists(upload_path(a)));
    EXPECT_TRUE(fs::exists(upload_path(b)));
}

// ---- blob queries and deletion --------------------------------------------

TEST_F(BlobTest, QueriesOfMissingBlobRecordNothing)
{
    set_error("%s", kSentinel);
    EXPECT_EQ(reg_blob_exists(kDigestAbc), 0);
    EXPECT_EQ(reg_blob_get_size(kDigestAbc), -1);
    EXPECT_EQ(err(), kSentinel);
}

TEST_F(BlobTest, FilepathNeedsRoomForTheTerminator)
{
    std::string digest = store("abc");
    std::string expected = blob_path(digest);
    std::vector<char> out(expected.size() + 1, 'x');

    EXPECT_EQ(reg_blob_get_filepath(digest.c_str(), out.data(), expected.size()), -1);
    EXPECT_EQ(err(), "path buffer too small");
    EXPECT_EQ(out.back(), 'x');

    ASSERT_EQ(reg_blob_get_filepath(digest.c_str(), out.data(), expected.size() + 1), 0) << err();
    EXPECT_EQ(std::string(out.data()), expected);
    EXPECT_EQ(read_all(out.data()), "abc");
}

TEST_F(BlobTest, DeleteTakesTheFanoutDirectoryWithItsLastBlob)
{
    // Two contents whose digests share their first two digits.
    std::string first;
    std::string second;
    std::string seen[256];
    for (int i = 0; second.empty(); ++i) {
        std::string data = "blob " + std::to_string(i);
        int bucket = std::stoi(digest_of(data).substr(7, 2), nullptr, 16);
        if (seen[bucket].empty()) {
            seen[bucket] = data;
        } else {
            first = seen[bucket];
            second = data;
        }
    }
    std::string d1 = store(first);
    std::string d2 = store(second);
    std::string other;
    for (int i = 0; other.empty() || digest_of(other).substr(7, 2) == d1.substr(7, 2); ++i) {
        other = "other " + std::to_string(i);
    }
    std::string d3 = store(other);
    ASSERT_EQ(fanout_dir(d1), fanout_dir(d2));

    ASSERT_EQ(reg_blob_delete(d1.c_str()), 0) << err();
    EXPECT_FALSE(fs::exists(blob_path(d1)));
    EXPECT_EQ(reg_blob_exists(d1.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(fanout_dir(d1)));
    EXPECT_EQ(read_all(blob_path(d2)), second);

    ASSERT_EQ(reg_blob_delete(d2.c_str()), 0) << err();
    EXPECT_FALSE(fs::exists(fanout_dir(d2)));
    EXPECT_EQ(read_all(blob_path(d3)), other);

    EXPECT_EQ(reg_blob_delete(d2.c_str()), -1);
    EXPECT_EQ(err(), "blob not found: " + d2);
}

// ---- argument checks, readiness and their order ---------------------------

TEST_F(BlobTest, RefusedArgumentsNameTheirFault)
{
    const std::string open_id = upload("abc");
    const char *id = open_id.c_str();
    const char *unknown = "0123abcd-0000-1111-2222-333344445555";
    const char *bad_id = "0123ABCD-0000-1111-2222-333344445555";
    const char *bad_digest = "sha256:BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    char out[REG_PATH_BUF];
    struct Case {
        const char *what;
        std::function<int64_t()> call;
        std::string message;
    };
    const Case kCases[] = {
        {"start without buffer", [] { return reg_blob_start_upload(nullptr); }, "out_upload_uuid is NULL"},
        {"append without id", [] { return reg_blob_append_chunk(nullptr, "a", 1); }, "upload_uuid/data is NULL"},
        {"append without data", [&] { return reg_blob_append_chunk(id, nullptr, 0); }, "upload_uuid/data is NULL"},
        {"append to malformed id", [&] { return reg_blob_append_chunk(bad_id, "a", 1); }, "invalid upload uuid"},
        {"append to short id", [&] { return reg_blob_append_chunk("0123abcd", "a", 1); }, "invalid upload uuid"},
        {"finish without id", [&] { return reg_blob_finish_upload(nullptr, kDigestAbc, out); }, "NULL argument"},
        {"finish without digest", [&] { return reg_blob_finish_upload(id, nullptr, out); }, "NULL argument"},
        {"finish without output", [&] { return reg_blob_finish_upload(id, kDigestAbc, nullptr); }, "NULL argument"},
        {"finish: id tested before digest", [&] { return reg_blob_finish_upload(bad_id, bad_digest, out); },
         "invalid upload uuid"},
        {"finish unknown upload", [&] { return reg_blob_finish_upload(unknown, kDigestAbc, out); },
         std::string("upload not found: ") + unknown},
        {"cancel without id", [] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
        {"cancel malformed id", [&] { return reg_blob_cancel_upload(bad_id); }, "invalid upload uuid"},
        {"exists without digest", [] { return reg_blob_exists(nullptr); }, "digest is NULL"},
        {"exists malformed digest", [&] { return reg_blob_exists(bad_digest); }, "invalid digest"},
        {"size without digest", [] { return reg_blob_get_size(nullptr); }, "digest is NULL"},
        {"size malformed digest", [&] { return reg_blob_get_size("sha256:"); }, "invalid digest"},
        {"filepath without digest", [&] { return reg_blob_get_filepath(nullptr, out, sizeof out); }, "NULL argument"},
        {"filepath without output", [] { return reg_blob_get_filepath(kDigestAbc, nullptr, 10); }, "NULL argument"},
        {"filepath of size 0", [&] { return reg_blob_get_filepath(kDigestAbc, out, 0); }, "NULL argument"},
        {"filepath malformed digest", [&] { return reg_blob_get_filepath(bad_digest, out, sizeof out); },
         "invalid digest"},
        {"filepath missing blob", [&] { return reg_blob_get_filepath(kDigestAbc, out, sizeof out); },
         std::string("blob not found: ") + kDigestAbc},
        {"delete without digest", [] { return reg_blob_delete(nullptr); }, "digest is NULL"},
        {"delete malformed digest", [&] { return reg_blob_delete(bad_digest); }, "invalid digest"},
        {"delete missing blob", [] { return reg_blob_delete(kDigestAbc); },
         std::string("blob not found: ") + kDigestAbc},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        set_error("%s", kSentinel);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(err(), c.message);
    }
    // None of the refusals touched the open upload.
    EXPECT_EQ(read_all(upload_path(open_id)), "abc");
}

TEST_F(BlobTest, EveryOperationNeedsAnOpenStorage)
{
    std::string digest = store("abc");
    std::string id = upload("abc");
    reg_storage_cleanup();
    char out[REG_PATH_BUF];
    const std::function<int64_t()> kCalls[] = {
        [&] { return reg_blob_start_upload(out); },
        [&] { return reg_blob_append_chunk(id.c_str(), "a", 1); },
        [&] { return reg_blob_finish_upload(id.c_str(), kDigestAbc, out); },
        [&] { return reg_blob_cancel_upload(id.c_str()); },
        [&] { return reg_blob_exists(digest.c_str()); },
        [&] { return reg_blob_get_size(digest.c_str()); },
        [&] { return reg_blob_get_filepath(digest.c_str(), out, sizeof out); },
        [&] { return reg_blob_delete(digest.c_str()); },
    };
    int n = 0;
    for (const auto &call : kCalls) {
        SCOPED_TRACE(n++);
        set_error("%s", kSentinel);
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(err(), kNotInit);
    }
    // The pointer test comes before the readiness test.
    EXPECT_EQ(reg_blob_start_upload(nullptr), -1);
    EXPECT_EQ(err(), "out_upload_uuid is NULL");
    EXPECT_EQ(read_all(upload_path(id)), "abc");
    EXPECT_EQ(read_all(blob_path(digest)), "abc");
}

// ---- failures of the file system ------------------------------------------

TEST_F(BlobTest, StartFailsWhenUploadsIsNoDirectory)
{
    fs::remove_all(root_ + "/uploads");
    write_all(root_ + "/uploads", "");
    char id[REG_UUID_BUF] = "";
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_TRUE(uuid_valid(id));
    EXPECT_EQ(err(), "cannot create upload file: " + upload_path(id));
}

// A chunk small enough to wait in the stream's buffer is written only when
// the file is closed; a failure there must not pass for success.
TEST_F(BlobTest, AppendReportsAWriteThatFailsOnClose)
{
    std::string id = upload("0123456789");
    std::string chunk(100, 'x');

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 16;
    sighandler_t old = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int rc = reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err(), "write error appending chunk");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    // A failed append takes back what it wrote; the upload is still open.
    EXPECT_EQ(read_all(upload_path(id)), "0123456789");
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "y", 1), 0) << err();
}

TEST_F(BlobTest, FinishFailuresBeforeTheRenameKeepTheUpload)
{
    struct Case {
        const char *what;
        std::function<void()> arrange;
        std::string message;
    };
    const std::string abc_blob = "/blobs/sha256/ba/" + std::string(kDigestAbc + 7);
    const Case kCases[] = {
        {"hash fails", [] { g_hooks.fail_hash = true; }, "hashing upload failed"},
        {"blob store is no directory",
         [this] {
             fs::remove_all(root_ + "/blobs/sha256");
             write_all(root_ + "/blobs/sha256", "");
         },
         "mkdirs blob dir failed"},
        {"blob name taken by a directory", [this] { fs::create_directories(blob_path(kDigestAbc)); },
         "rename to CAS failed: " + base_ + "/case2" + abc_blob},
    };
    int n = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        open_root(base_ + "/case" + std::to_string(n++));
        std::string id = upload("abc");
        c.arrange();
        char out[REG_DIGEST_BUF] = "untouched";
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), -1);
        EXPECT_EQ(err(), c.message);
        EXPECT_STREQ(out, "untouched");
        EXPECT_EQ(read_all(upload_path(id)), "abc");
        EXPECT_EQ(reg_blob_exists(kDigestAbc), 0);
        g_hooks = syscall_hooks();
    }
}

TEST_F(BlobTest, RemovalFailuresAreReported)
{
    std::string digest = store("abc");
    std::string id = upload("abc");
    g_hooks.fail_remove = EIO;
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), -1);
    EXPECT_EQ(err(), "cancel failed");
    EXPECT_EQ(reg_blob_delete(digest.c_str()), -1);
    EXPECT_EQ(err(), "remove failed");
    g_hooks.fail_remove = 0;
    EXPECT_EQ(read_all(upload_path(id)), "abc");
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
}

// ---- durability and concurrent finishes -----------------------------------

// The bytes reach stable storage before the rename makes them a blob: a
// crash never leaves a visible blob whose content is lost.
TEST_F(BlobTest, UploadIsSyncedBeforeItIsPublished)
{
    std::string id = upload("abc");
    std::string up = fs::canonical(upload_path(id)).string();
    g_hooks.record = true;
    char out[REG_DIGEST_BUF];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), 0) << err();
    g_hooks.record = false;
    const std::string fanout = fs::path(blob_path(kDigestAbc)).parent_path().string();
    const std::vector<std::string> expected = {
        // The new fan-out directory is made durable in its parent.
        "fsync " + fs::canonical(root_ + "/blobs/sha256").string(),
        "fsync " + up,
        "rename " + upload_path(id) + " -> " + blob_path(kDigestAbc),
        // The new name is made durable before the finish reports success.
        "fsync " + fs::canonical(fanout).string(),
    };
    EXPECT_EQ(g_hooks.events, expected);
}

TEST_F(BlobTest, FailedSyncKeepsTheUploadUnpublished)
{
    std::string id = upload("abc");
    fs::create_directories(fs::path(blob_path(kDigestAbc)).parent_path());
    g_hooks.fail_fsync = EIO;
    char out[REG_DIGEST_BUF] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), -1);
    EXPECT_EQ(err(), "cannot sync upload file: " + upload_path(id));
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(read_all(upload_path(id)), "abc");
    EXPECT_EQ(reg_blob_exists(kDigestAbc), 0);

    g_hooks.fail_fsync = 0;
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), 0) << err();
    EXPECT_EQ(read_all(blob_path(kDigestAbc)), "abc");
}

// Another process finishes the same content between the existence test and
// the rename: the blob is stored either way, so the finish succeeds and the
// stored file is never replaced. A file system without a rename that refuses
// to replace gets a hard link instead, with the same outcome.
TEST_F(BlobTest, ConcurrentFinishOfSameContentSucceeds)
{
    struct Case {
        const char *what;
        rename_mode mode;
    };
    const Case kCases[] = {
        {"a peer publishes first", rename_mode::peer_first},
        {"no rename without replacing", rename_mode::no_noreplace},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        std::string id = upload("abc");
        g_hooks.rename = c.mode;
        char out[REG_DIGEST_BUF] = "";
        EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), 0) << err();
        g_hooks.rename = rename_mode::pass;
        EXPECT_STREQ(out, kDigestAbc);
        EXPECT_FALSE(fs::exists(upload_path(id)));
        EXPECT_EQ(read_all(blob_path(kDigestAbc)), "abc");
        EXPECT_EQ(fs::hard_link_count(blob_path(kDigestAbc)), 1u);
        ASSERT_EQ(reg_blob_delete(kDigestAbc), 0) << err();
    }
}

// ---- upload IDs and concurrent requests on one upload ----------------------

// Every ID is a version-4 UUID of the kernel's randomness: the version digit
// 4, the variant digit 8 to b, the rest unrelated from one ID to the next.
TEST_F(BlobTest, UploadIdsAreRandomVersion4Uuids)
{
    std::vector<std::string> ids;
    for (int i = 0; i < 200; ++i) {
        char id[REG_UUID_BUF] = "";
        ASSERT_EQ(reg_blob_start_upload(id), 0) << err();
        ASSERT_TRUE(uuid_valid(id)) << id;
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
        EXPECT_TRUE(fs::exists(upload_path(id)));
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());

    // Bytes all 0xff give exactly the fixed bits and nothing else.
    g_hooks.random = {std::vector<uint8_t>(16, 0xff)};
    char id[REG_UUID_BUF] = "";
    ASSERT_EQ(reg_blob_start_upload(id), 0) << err();
    EXPECT_STREQ(id, "ffffffff-ffff-4fff-bfff-ffffffffffff");
}

// An ID that is taken already (by chance or by a broken generator) never
// truncates the live upload: the file is created exclusively and another ID
// is drawn.
TEST_F(BlobTest, TakenUploadIdIsNeverReused)
{
    const std::vector<uint8_t> same(16, 0x11);
    g_hooks.random = {same};
    char first[REG_UUID_BUF] = "";
    ASSERT_EQ(reg_blob_start_upload(first), 0) << err();
    ASSERT_EQ(reg_blob_append_chunk(first, "live", 4), 0) << err();

    g_hooks.random = {same, same};
    char second[REG_UUID_BUF] = "";
    ASSERT_EQ(reg_blob_start_upload(second), 0) << err();
    EXPECT_STRNE(second, first);
    EXPECT_EQ(read_all(upload_path(first)), "live");
    EXPECT_EQ(read_all(upload_path(second)), "");

    // A generator stuck on one value gives up with the fault recorded.
    g_hooks.random = {same, same, same, same, same};
    char third[REG_UUID_BUF] = "";
    EXPECT_EQ(reg_blob_start_upload(third), -1);
    EXPECT_EQ(err(), "cannot create upload file: " + upload_path(first));
    EXPECT_EQ(read_all(upload_path(first)), "live");
}

// A process appending to an upload while its finish is hashing it. The
// append waits for the finish and then finds no upload; the blob holds
// exactly the bytes its digest names, whichever process ran first.
TEST_F(BlobTest, AppendDuringFinishNeverReachesTheBlob)
{
    std::string id = upload(std::string(300000, 'a') + "abc");
    const std::string digest = digest_of(std::string(300000, 'a') + "abc");
    pid_t child = -1;
    g_hooks.before_hash = [&](int) {
        g_hooks.before_hash = nullptr;
        fflush(nullptr);
        child = fork();
        if (child == 0) {
            int rc = reg_blob_append_chunk(id.c_str(), "poison", 6);
            _exit(rc == 0 ? 0 : reg_storage_last_error_kind() == REG_ERR_NOT_FOUND ? 3 : 4);
        }
        // Long enough for the child to reach the upload and wait on it.
        usleep(200 * 1000);
    };
    char out[REG_DIGEST_BUF] = "";
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << err();
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the append was taken (0) or failed otherwise (4)";
    EXPECT_EQ(digest_of(read_all(blob_path(digest))), digest);
    EXPECT_FALSE(fs::exists(upload_path(id)));
}

// A process killed while it holds an upload's lock (here: in the middle of
// a finish) leaves the upload usable: the kernel drops the lock, and the
// next request proceeds and finishes it.
TEST_F(BlobTest, KilledLockHolderDoesNotBlockTheUpload)
{
    std::string id = upload("abc");
    ASSERT_TRUE(kill_when_ready([&](int ready) {
        g_hooks.before_hash = [&](int) {
            (void)!write(ready, "x", 1);
            pause();
        };
        char out[REG_DIGEST_BUF];
        reg_blob_finish_upload(id.c_str(), kDigestAbc, out);
    }));
    EXPECT_EQ(reg_blob_upload_size(id.c_str()), 3) << err();
    char out[REG_DIGEST_BUF];
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kDigestAbc, out), 0) << err();
    EXPECT_EQ(read_all(blob_path(kDigestAbc)), "abc");
}

} // namespace
