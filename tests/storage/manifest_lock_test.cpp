// Changes of one repository under its lock: deletions that report what
// they could not remove, a lock holder killed mid-change, and deletions in
// a repository that does not exist. remove is wrapped at link time so that
// a test can make the file system refuse one removal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {
// A path ending in this text fails to be removed with EIO; empty: none.
std::string g_fail_remove_suffix;
} // namespace

extern "C" {
int __real_remove(const char *path);
int __wrap_remove(const char *path)
{
    std::string p(path);
    if (!g_fail_remove_suffix.empty() && p.size() >= g_fail_remove_suffix.size() &&
        p.compare(p.size() - g_fail_remove_suffix.size(), std::string::npos, g_fail_remove_suffix) == 0) {
        errno = EIO;
        return -1;
    }
    return __real_remove(path);
}
}

namespace {

constexpr const char kRepo[] = "library/app";

std::string manifest_body(char layer_digit)
{
    return "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'c') +
           "\"},\"layers\":[{\"digest\":\"sha256:" + std::string(64, layer_digit) + "\"}]}";
}

class ManifestLockTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        g_fail_remove_suffix.clear();
        root_ = path("root");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override
    {
        g_fail_remove_suffix.clear();
        TempDirTest::TearDown();
    }
    std::string put(const std::string &ref, const std::string &body)
    {
        char digest[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_put(kRepo, ref.c_str(), body.data(), body.size(), nullptr, digest), 0)
            << reg_storage_last_error();
        return digest;
    }
    bool found(const std::string &ref)
    {
        char ct[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        return reg_manifest_get(kRepo, ref.c_str(), ct, digest) != nullptr;
    }
    std::string root_;
};

// A deletion by digest that cannot remove the body fails with a fault of
// the server, and the manifest stays served as a whole: by digest and by
// every tag, as if the deletion had not been asked for.
TEST_F(ManifestLockTest, DeleteByDigestReportsABodyItCouldNotRemove)
{
    const std::string digest = put("v1", manifest_body('1'));
    g_fail_remove_suffix = digest.substr(7);
    EXPECT_EQ(reg_manifest_delete_digest(kRepo, digest.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_EQ(std::string(reg_storage_last_error()).rfind("cannot remove manifest body: ", 0), 0u)
        << reg_storage_last_error();
    EXPECT_TRUE(found("v1"));
    EXPECT_TRUE(found(digest));

    g_fail_remove_suffix.clear();
    ASSERT_EQ(reg_manifest_delete_digest(kRepo, digest.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(found("v1"));
    EXPECT_FALSE(found(digest));
}

// A tag that cannot be removed is a fault too, and nothing is reported gone.
TEST_F(ManifestLockTest, DeleteByTagReportsALinkItCouldNotRemove)
{
    put("v1", manifest_body('1'));
    g_fail_remove_suffix = "/v1/current/link";
    EXPECT_EQ(reg_manifest_delete(kRepo, "v1"), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_STREQ(reg_storage_last_error(), "delete tag failed");
    EXPECT_TRUE(found("v1"));
}

// Deleting in a repository that was never pushed finds nothing and creates
// nothing: no manifests directory, so no entry in the catalog.
TEST_F(ManifestLockTest, DeletionInAnUnknownRepositoryCreatesNothing)
{
    const std::string digest = "sha256:" + std::string(64, 'a');
    EXPECT_EQ(reg_manifest_delete("ghost/app", "latest"), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_EQ(reg_manifest_delete_digest("ghost/app", digest.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/ghost"));
    EXPECT_STREQ(reg_catalog_json(-1, nullptr), "{\"repositories\":[]}");
}

// A process killed while it holds the repository's lock does not block the
// repository: the kernel drops the lock with the process.
TEST_F(ManifestLockTest, KilledLockHolderDoesNotBlockTheRepository)
{
    put("v1", manifest_body('1'));
    ASSERT_TRUE(kill_when_ready([](int ready) {
        repo_lock lock;
        if (repo_lock_take(kRepo, &lock) != 0)
            return;
        (void)!write(ready, "x", 1);
        pause();
    }));

    const std::string b = put("v2", manifest_body('2'));
    ASSERT_EQ(reg_manifest_delete(kRepo, "v1"), 0) << reg_storage_last_error();
    EXPECT_TRUE(found("v2"));
    EXPECT_TRUE(found(b));
    EXPECT_FALSE(found("v1"));
}

} // namespace
