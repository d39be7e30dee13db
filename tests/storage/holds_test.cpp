// Repository holds of shared blobs, upload owners, and the upgrade of a
// store written before repositories held their blobs.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

class HoldsTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = path("store");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    // Stores bytes through an upload (of the repository, when one is
    // named), as the upload endpoint does; returns the digest.
    std::string store_blob(const std::string &bytes, const char *repo = nullptr)
    {
        char uuid[REG_UUID_BUF] = {};
        char stored[REG_DIGEST_BUF] = {};
        std::string digest = digest_of(bytes);
        int started = repo ? reg_blob_start_repo_upload(repo, uuid) : reg_blob_start_upload(uuid);
        EXPECT_EQ(started, 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, bytes.data(), bytes.size()), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_finish_upload(uuid, digest.c_str(), stored), 0) << reg_storage_last_error();
        return digest;
    }

    std::string push_blob(const char *repo, const std::string &bytes)
    {
        std::string digest = store_blob(bytes, repo);
        EXPECT_EQ(reg_repo_blob_link(repo, digest.c_str()), 0) << reg_storage_last_error();
        return digest;
    }

    void put_manifest(const char *repo, const char *tag, const std::string &body)
    {
        char digest[REG_DIGEST_BUF] = {};
        ASSERT_EQ(
            reg_manifest_put(repo, tag, body.data(), body.size(), "application/vnd.oci.image.manifest.v1+json", digest),
            0)
            << reg_storage_last_error();
    }

    static std::string image_manifest(const std::string &config, const std::vector<std::string> &layers)
    {
        std::string body = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                           R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
                           config + R"(","size":1},"layers":[)";
        for (size_t i = 0; i < layers.size(); ++i)
            body += std::string(i ? "," : "") + R"({"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" +
                    layers[i] + R"(","size":1})";
        return body + "]}";
    }

    std::string root_;
};

TEST_F(HoldsTest, ARepositorySeesOnlyTheBlobsItHolds)
{
    std::string d = push_blob("a/app", "layer bytes");
    EXPECT_EQ(reg_repo_blob_held("a/app", d.c_str()), 1);
    EXPECT_EQ(reg_repo_blob_held("b/app", d.c_str()), 0);
    EXPECT_EQ(reg_repo_blob_held("a", d.c_str()), 0) << "a parent holds nothing of its child";

    // A second holder, then the first gives its hold up: the other hold and
    // the bytes stay.
    ASSERT_EQ(reg_repo_blob_link("b/app", d.c_str()), 0);
    ASSERT_EQ(reg_repo_blob_link("b/app", d.c_str()), 0) << "linking twice is no failure";
    ASSERT_EQ(reg_repo_blob_unlink("a/app", d.c_str()), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_repo_blob_held("a/app", d.c_str()), 0);
    EXPECT_EQ(reg_repo_blob_held("b/app", d.c_str()), 1);
    EXPECT_EQ(reg_blob_exists(d.c_str()), 1);

    EXPECT_EQ(reg_repo_blob_unlink("a/app", d.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
}

// A lookup that fails is no answer: on a cluster file system that lost its
// servers, "not held" would send the client away with 404 for bytes that
// are stored. Each file the answer rests on is made unreadable in turn (a
// symbolic link to itself: stat fails with ELOOP, also for root).
TEST_F(HoldsTest, ALookupThatFailsIsAFaultNotAnAbsence)
{
    const std::string d = push_blob("a/app", "layer bytes");
    const std::string hex = d.substr(7);
    const std::string blob = root_ + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    char marker[REG_PATH_BUF];
    holds_marker_path(marker, sizeof marker);
    struct Case {
        const char *label;
        const char *repo;
        std::string path;
    };
    const Case kCases[] = {
        {"the hold", "a/app", root_ + "/repositories/a/app/_layers/" + hex},
        {"the holds marker", "b/app", marker},
        {"the blob", "a/app", blob},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        const std::string &path = c.path;
        const std::string aside = path + ".aside";
        ASSERT_EQ(rename(path.c_str(), aside.c_str()), 0) << path;
        ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0);
        EXPECT_EQ(reg_repo_blob_held(c.repo, d.c_str()), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO) << reg_storage_last_error();
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(rename(aside.c_str(), path.c_str()), 0);
    }
    EXPECT_EQ(reg_repo_blob_held("a/app", d.c_str()), 1);
    EXPECT_EQ(reg_repo_blob_held("b/app", d.c_str()), 0);
}

TEST_F(HoldsTest, OnlyStoredBlobsAreLinkedAndOnlyValidArgumentsTaken)
{
    const std::string absent = digest_of("never stored");
    EXPECT_EQ(reg_repo_blob_link("a", absent.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/a/_layers")) << "a refused link leaves nothing";

    const std::string d = store_blob("some bytes");
    struct Case {
        const char *name;
        const char *digest;
    };
    const Case kCases[] = {
        {"a/../b", d.c_str()}, {"", d.c_str()},   {nullptr, d.c_str()},
        {"a", "sha256:abc"},   {"a", "md5:0123"}, {"a", nullptr},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "(null)") + " " + (c.digest ? c.digest : "(null)"));
        EXPECT_EQ(reg_repo_blob_held(c.name, c.digest), -1);
        EXPECT_EQ(reg_repo_blob_link(c.name, c.digest), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_INVALID);
        EXPECT_EQ(reg_repo_blob_unlink(c.name, c.digest), -1);
    }
}

TEST_F(HoldsTest, AnUploadBelongsToTheRepositoryThatStartedItUntilItIsSpent)
{
    char uuid[REG_UUID_BUF] = {};
    ASSERT_EQ(reg_blob_start_repo_upload("team/app", uuid), 0) << reg_storage_last_error();
    EXPECT_EQ(reg_blob_upload_owned(uuid, "team/app"), 1);
    for (const char *other : {"team", "team/app2", "other/app", "team/app/x"})
        EXPECT_EQ(reg_blob_upload_owned(uuid, other), 0) << other;
    EXPECT_EQ(reg_blob_upload_owned("not-an-id", "team/app"), -1);

    // The owner record is no upload: the statistics count one.
    const char *stats = reg_storage_get_stats_json();
    ASSERT_NE(stats, nullptr);
    EXPECT_NE(strstr(stats, "\"active_uploads\":1,"), nullptr) << stats;

    ASSERT_EQ(reg_blob_cancel_upload(uuid), 0);
    EXPECT_EQ(reg_blob_upload_owned(uuid, "team/app"), 0) << "a cancelled upload belongs to nobody";

    char stored[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_blob_start_repo_upload("team/app", uuid), 0);
    ASSERT_EQ(reg_blob_append_chunk(uuid, "x", 1), 0);
    ASSERT_EQ(reg_blob_finish_upload(uuid, digest_of("x").c_str(), stored), 0);
    EXPECT_EQ(reg_blob_upload_owned(uuid, "team/app"), 0) << "a finished upload belongs to nobody";
    EXPECT_EQ(tree(root_ + "/uploads"), std::set<std::string>{"owners"}) << "nothing of a spent upload stays";

    // An upload without an owner (the library's plain interface) is no
    // repository's.
    ASSERT_EQ(reg_blob_start_upload(uuid), 0);
    EXPECT_EQ(reg_blob_upload_owned(uuid, "team/app"), 0);
    EXPECT_EQ(reg_blob_start_repo_upload("a/../b", uuid), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_INVALID);
}

TEST_F(HoldsTest, HoldsDirectoriesAreNoRepositories)
{
    std::string d = push_blob("a", "bytes of a");
    put_manifest("a", "t", image_manifest(d, {d}));
    put_manifest("a/b", "t", image_manifest(d, {d}));
    const char *json = reg_catalog_page_json(-1, nullptr, nullptr, 0);
    ASSERT_NE(json, nullptr) << reg_storage_last_error();
    EXPECT_STREQ(json, R"({"repositories":["a","a/b"]})");
}

// A store made by the code before holds: blobs and manifests, no holds and
// no marker. Every pull that worked must still work, before and after the
// upgrade, and after it the isolation holds.
TEST_F(HoldsTest, AnOldStoreServesAsBeforeUntilItsUpgradeLinksWhatManifestsName)
{
    const std::string config = store_blob("config of app");
    const std::string layer1 = store_blob("layer one");
    const std::string layer2 = store_blob("layer two");
    const std::string loose = store_blob("named by no manifest");
    const std::string missing = digest_of("named but never stored");
    put_manifest("lib/app", "v1", image_manifest(config, {layer1, layer2}));
    put_manifest("lib/app", "v2", image_manifest(config, {layer1, missing}));
    put_manifest("other", "v1", image_manifest(config, {}));
    // An index names manifests, which are no blobs to hold.
    const std::string index = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json",)"
                              R"("manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                              R"("digest":")" +
                              layer2 + R"(","size":1}]})";
    char index_digest[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put_index("other", "multi", index.data(), index.size(),
                                     "application/vnd.oci.image.index.v1+json", index_digest),
              0)
        << reg_storage_last_error();
    ASSERT_TRUE(fs::remove(root_ + "/repository-holds"));
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ + "/repository-holds")) << "opening an old store does not mark it";

    EXPECT_EQ(reg_storage_holds_complete(), 0);
    for (const std::string &d : {config, layer1, layer2, loose})
        EXPECT_EQ(reg_repo_blob_held("nobody/pushed/here", d.c_str()), 1) << "not upgraded: served as before";

    int64_t repos = -1, linked = -1;
    ASSERT_EQ(reg_storage_upgrade_holds(&repos, &linked), 0) << reg_storage_last_error();
    EXPECT_EQ(repos, 2);
    EXPECT_EQ(linked, 4); // lib/app: config, layer1, layer2; other: config
    EXPECT_EQ(reg_storage_holds_complete(), 1);

    struct Case {
        const char *repo;
        const std::string &digest;
        int held;
    };
    const Case kCases[] = {
        {"lib/app", config, 1}, {"lib/app", layer1, 1},  {"lib/app", layer2, 1},
        {"lib/app", loose, 0},  {"lib/app", missing, 0}, {"other", config, 1},
        {"other", layer1, 0},   {"other", layer2, 0},    {"nobody", config, 0},
    };
    for (const Case &c : kCases)
        EXPECT_EQ(reg_repo_blob_held(c.repo, c.digest.c_str()), c.held) << c.repo << " " << c.digest;

    ASSERT_EQ(reg_storage_upgrade_holds(&repos, &linked), 0);
    EXPECT_EQ(linked, 0) << "a second upgrade finds everything linked";
}

} // namespace
