// Storage statistics: the document byte for byte on a fresh and on a
// populated storage, what is counted and what is not, 64-bit totals, and
// the failure and empty cases.
#include <cstring>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

const char kLink[] = "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string stats_doc(int repos, int tags, int blobs, long long blob_bytes, int uploads, long long upload_bytes)
{
    return "{\"version\":\"1.0.0\",\"repositories\":" + std::to_string(repos) + ",\"tags\":" + std::to_string(tags) +
           ",\"blobs\":" + std::to_string(blobs) + ",\"blob_bytes\":" + std::to_string(blob_bytes) +
           ",\"active_uploads\":" + std::to_string(uploads) + ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}";
}

std::string str(const char *doc)
{
    return doc ? doc : "<null>";
}

class StatsTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = dir_ + "/root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    void add_tag(const std::string &repo, const std::string &tag, const std::string &link = kLink) const
    {
        std::string current = root_ + "/repositories/" + repo + "/_manifests/tags/" + tag + "/current";
        fs::create_directories(current);
        put_file(current + "/link", link);
    }

    // A blob file placed straight into its fan-out directory.
    void add_blob(const std::string &fanout, const std::string &name, const std::string &content) const
    {
        fs::create_directories(root_ + "/blobs/sha256/" + fanout);
        put_file(root_ + "/blobs/sha256/" + fanout + "/" + name, content);
    }

    // A file of the given size without writing its bytes.
    static void sparse_file(const std::string &path, off_t size)
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(ftruncate(fd, size), 0);
        ASSERT_EQ(close(fd), 0);
    }

    std::string root_;
};

TEST_F(StatsTest, FreshStorageCountsNothing)
{
    EXPECT_EQ(str(reg_storage_get_stats_json()),
              "{\"version\":\"1.0.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,\"blob_bytes\":0,"
              "\"active_uploads\":0,\"upload_bytes\":0}");
}

TEST_F(StatsTest, PopulatedStorageCountsByTheTreeRules)
{
    // Blobs through the public operations: 10 and 20 bytes, and an empty one.
    const std::string contents[] = {"0123456789", "abcdefghijklmnopqrst", ""};
    for (const std::string &content : contents) {
        char id[REG_UUID_BUF];
        ASSERT_EQ(reg_blob_start_upload(id), 0);
        ASSERT_EQ(reg_blob_append_chunk(id, content.data(), content.size()), 0);
        char out[REG_DIGEST_BUF];
        ASSERT_EQ(reg_blob_finish_upload(id, digest_of(content).c_str(), out), 0) << reg_storage_last_error();
    }
    // Not blobs: a file directly in sha256, a directory inside a fan-out directory.
    put_file(root_ + "/blobs/sha256/stray", "stray bytes");
    fs::create_directories(root_ + "/blobs/sha256/zz/a-directory");

    // Uploads: any file counts, whatever its name; a directory does not.
    char id[REG_UUID_BUF];
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    ASSERT_EQ(reg_blob_append_chunk(id, "12345", 5), 0);
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    put_file(root_ + "/uploads/not-an-upload-name", "xyz");
    fs::create_directories(root_ + "/uploads/a-directory");

    // Repositories and tags: a tag counts when its link reads, even empty.
    add_tag("web", "latest");
    add_tag("web", "v1", "");
    fs::create_directories(root_ + "/repositories/web/_manifests/tags/no-link/current");
    put_file(root_ + "/repositories/web/_manifests/tags/a-file", kLink);
    add_tag("db", "latest");
    // Nested: one repository directory (library), its tags lie too deep.
    add_tag("library/app", "latest");
    add_tag("library/web", "latest");
    fs::create_directories(root_ + "/repositories/bare");
    put_file(root_ + "/repositories/a-file", "");

    EXPECT_EQ(str(reg_storage_get_stats_json()), stats_doc(4, 3, 3, 30, 3, 8));
}

TEST_F(StatsTest, TotalsBeyondThirtyTwoBitsArePrintedWhole)
{
    const off_t three_gib = 3LL << 30;
    add_blob("ab", "big", "");
    sparse_file(root_ + "/blobs/sha256/ab/big", three_gib);
    add_blob("cd", "also-big", "");
    sparse_file(root_ + "/blobs/sha256/cd/also-big", three_gib + 1);
    sparse_file(root_ + "/uploads/huge.part", 5LL << 30);
    EXPECT_EQ(str(reg_storage_get_stats_json()), stats_doc(0, 0, 2, 2 * three_gib + 1, 1, 5LL << 30));
}

TEST_F(StatsTest, MissingDirectoriesCountAsEmpty)
{
    add_tag("web", "latest");
    add_blob("ab", "blob", "1234");
    put_file(root_ + "/uploads/x.part", "12");
    for (const char *dir : {"repositories", "blobs/sha256", "uploads"}) {
        fs::remove_all(root_ + "/" + dir);
    }
    set_error("%s", "sentinel");
    EXPECT_EQ(str(reg_storage_get_stats_json()), stats_doc(0, 0, 0, 0, 0, 0));
    EXPECT_STREQ(reg_storage_last_error(), "sentinel");
}

TEST_F(StatsTest, NeedsAnOpenStorage)
{
    std::string before = str(reg_catalog_json(0, nullptr));
    reg_storage_cleanup();
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(std::string(s_result), before);
}

} // namespace
