// Garbage collection on small prepared stores: what is marked, what is
// swept, what the grace period keeps, and the mark a given-up hold leaves
// for a manifest pushed afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kImage[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kIndex[] = "application/vnd.oci.image.index.v1+json";

class GcTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = path("store");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    // An upload of the repository, finished with its hold, as the endpoint does.
    std::string push_blob(const char *repo, const std::string &bytes)
    {
        char uuid[REG_UUID_BUF] = {};
        char stored[REG_DIGEST_BUF] = {};
        std::string digest = digest_of(bytes);
        EXPECT_EQ(reg_blob_start_repo_upload(repo, uuid), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, bytes.data(), bytes.size()), 0);
        EXPECT_EQ(reg_blob_finish_repo_upload(repo, uuid, digest.c_str(), stored), 0) << reg_storage_last_error();
        return digest;
    }

    static std::string image(const std::string &config, const std::vector<std::string> &layers,
                             const std::string &subject = "")
    {
        std::string body = std::string(R"({"schemaVersion":2,"mediaType":")") + kImage +
                           R"(","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" + config +
                           R"(","size":1},"layers":[)";
        for (size_t i = 0; i < layers.size(); ++i)
            body += std::string(i ? "," : "") + R"({"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" +
                    layers[i] + R"(","size":1})";
        body += "]";
        if (!subject.empty())
            body += R"(,"subject":{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" + subject +
                    R"(","size":1})";
        return body + "}";
    }

    static std::string index(const std::vector<std::string> &children)
    {
        std::string body = std::string(R"({"schemaVersion":2,"mediaType":")") + kIndex + R"(","manifests":[)";
        for (size_t i = 0; i < children.size(); ++i)
            body += std::string(i ? "," : "") + R"({"mediaType":")" + kImage + R"(","digest":")" + children[i] +
                    R"(","size":1})";
        return body + "]}";
    }

    std::string put(const char *repo, const std::string &ref, const std::string &body, const char *type = kImage)
    {
        char digest[REG_DIGEST_BUF] = {};
        int rc = strcmp(type, kIndex) == 0
                     ? reg_manifest_put_index(repo, ref.c_str(), body.data(), body.size(), type, digest)
                     : reg_manifest_put(repo, ref.c_str(), body.data(), body.size(), type, digest);
        EXPECT_EQ(rc, 0) << reg_storage_last_error();
        return digest;
    }

    struct run_log {
        std::map<std::string, int64_t> removed; // "<kind> <what>" -> bytes
    };
    static void collect(void *ctx, const char *kind, const char *what, int64_t bytes)
    {
        static_cast<run_log *>(ctx)->removed[std::string(kind) + " " + what] = bytes;
    }

    run_log gc(int64_t grace, bool untagged = false, bool dry = false, reg_gc_result *result = nullptr)
    {
        run_log log;
        reg_gc_options opt{};
        opt.grace_seconds = grace;
        opt.delete_untagged = untagged;
        opt.dry_run = dry;
        opt.report = collect;
        opt.ctx = &log;
        reg_gc_result r{};
        EXPECT_EQ(reg_gc(&opt, &r), 0) << reg_storage_last_error();
        if (result)
            *result = r;
        return log;
    }

    bool stored(const std::string &digest) const
    {
        return fs::exists(root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7));
    }

    std::string root_;
};

// Two repositories share a layer; each holds blobs no manifest names.
TEST_F(GcTest, SweepsWhatNoManifestNamesAndKeepsEverythingNamed)
{
    const std::string shared = push_blob("a", "shared layer");
    ASSERT_EQ(reg_repo_blob_link("b", shared.c_str()), 0);
    const std::string ca = push_blob("a", "config a"), la = push_blob("a", "layer a");
    const std::string cb = push_blob("b", "config b");
    const std::string loose_a = push_blob("a", "pushed, never used"); // held by a only
    const std::string named_by_b = push_blob("a", "held by a, named by b");
    put("a", "v1", image(ca, {shared, la}));
    put("b", "v1", image(cb, {shared, named_by_b}));
    // b names a blob it never held: the bytes stay (named), a's hold goes.

    const run_log dry = gc(0, false, true);
    reg_gc_result r{};
    const run_log log = gc(0, false, false, &r);
    EXPECT_EQ(dry.removed, log.removed) << "a dry run lists exactly what the real run removes";

    const std::map<std::string, int64_t> want = {
        {"hold a@" + loose_a, 0},
        {"hold a@" + named_by_b, 0},
        {"blob " + loose_a, 18},
    };
    EXPECT_EQ(log.removed, want);
    EXPECT_EQ(r.blobs, 1);
    EXPECT_EQ(r.blob_bytes, 18);
    EXPECT_EQ(r.holds, 2);
    for (const std::string &d : {shared, ca, la, cb, named_by_b})
        EXPECT_TRUE(stored(d)) << d;
    EXPECT_FALSE(stored(loose_a));
    EXPECT_EQ(reg_repo_blob_held("a", shared.c_str()), 1);
    EXPECT_EQ(reg_repo_blob_held("b", shared.c_str()), 1);
    EXPECT_EQ(reg_repo_blob_held("a", named_by_b.c_str()), 0);

    EXPECT_TRUE(gc(0).removed.empty()) << "a second run finds nothing";
}

// A repository that only holds blobs (a push that never stored its
// manifest), bytes nobody holds, and uploads by their last write.
TEST_F(GcTest, GracePeriodKeepsPushesInProgress)
{
    const std::string half = push_blob("pushing/now", "blob of a push in progress");
    char young[REG_UUID_BUF] = {}, old[REG_UUID_BUF] = {};
    ASSERT_EQ(reg_blob_start_repo_upload("pushing/now", young), 0);
    ASSERT_EQ(reg_blob_append_chunk(young, "abc", 3), 0);
    ASSERT_EQ(reg_blob_start_repo_upload("pushing/now", old), 0);
    ASSERT_EQ(reg_blob_append_chunk(old, "abcdefg", 7), 0);
    char part[REG_PATH_BUF];
    upload_path_for_uuid(old, part, sizeof part);
    const struct timespec an_hour_ago[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, part, an_hour_ago, 0), 0);

    EXPECT_TRUE(gc(REG_GC_GRACE_DEFAULT).removed == (std::map<std::string, int64_t>{{std::string("upload ") + old, 7}}))
        << "within the grace period only the upload untouched for two hours goes";
    EXPECT_TRUE(stored(half));
    EXPECT_EQ(reg_repo_blob_held("pushing/now", half.c_str()), 1);
    EXPECT_EQ(reg_blob_upload_size(old), -1);
    EXPECT_EQ(reg_blob_upload_size(young), 3);

    const run_log log = gc(0);
    EXPECT_EQ(log.removed.count("hold pushing/now@" + half), 1u);
    EXPECT_EQ(log.removed.count("blob " + half), 1u);
    EXPECT_EQ(log.removed.count(std::string("upload ") + young), 1u);
    EXPECT_FALSE(stored(half));
    EXPECT_EQ(tree(root_ + "/uploads"), std::set<std::string>{"owners"}) << "owner records go with their uploads";
}

TEST_F(GcTest, UntaggedManifestsGoUnlessAnIndexOrASubjectKeepsThem)
{
    const std::string c = push_blob("r", "config"), l1 = push_blob("r", "l1"), l2 = push_blob("r", "l2");
    const std::string l3 = push_blob("r", "l3"), l4 = push_blob("r", "l4");
    const std::string tagged = put("r", "v1", image(c, {l1}));
    const std::string amd = image(c, {l2});
    const std::string child = put("r", digest_of(amd), amd);
    put("r", "multi", index({child}), kIndex);
    const std::string referrer = image(c, {l3}, tagged);
    const std::string kept_referrer = put("r", digest_of(referrer), referrer);
    const std::string orphan_body = image(c, {l4});
    const std::string orphan = put("r", digest_of(orphan_body), orphan_body);
    const std::string orphan_ref_body = image(c, {}, orphan);
    const std::string orphan_referrer = put("r", digest_of(orphan_ref_body), orphan_ref_body);

    EXPECT_EQ(gc(0).removed.size(), 0u) << "without --delete-untagged every manifest stays";
    const run_log log = gc(0, true);
    const std::map<std::string, int64_t> want = {
        {"manifest r@" + orphan, static_cast<int64_t>(orphan_body.size())},
        {"manifest r@" + orphan_referrer, static_cast<int64_t>(orphan_ref_body.size())},
        {"hold r@" + l4, 0},
        {"blob " + l4, 2},
    };
    EXPECT_EQ(log.removed, want);
    char type[REG_CONTENT_TYPE_BUF], digest[REG_DIGEST_BUF];
    for (const std::string &d : {tagged, child, kept_referrer})
        EXPECT_NE(reg_manifest_get("r", d.c_str(), type, digest), nullptr) << d;
    EXPECT_EQ(reg_manifest_get("r", orphan.c_str(), type, digest), nullptr);
    for (const std::string &d : {c, l1, l2, l3})
        EXPECT_TRUE(stored(d)) << d;
}

// A hold given up leaves a mark: a manifest naming the blob is refused
// until the blob is pushed again, never stored with the blob gone.
TEST_F(GcTest, AManifestNamingAGivenUpBlobIsRefusedUntilPushedAgain)
{
    const std::string c = push_blob("r", "config"), l = push_blob("r", "layer");
    ASSERT_EQ(gc(0).removed.count("blob " + l), 1u);

    char digest[REG_DIGEST_BUF];
    const std::string body = image(c, {l});
    EXPECT_EQ(reg_manifest_put("r", "v1", body.data(), body.size(), kImage, digest), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_BLOB_UNKNOWN);
    char type[REG_CONTENT_TYPE_BUF];
    EXPECT_EQ(reg_manifest_get("r", "v1", type, digest), nullptr) << "nothing stored";

    // Another repository never held it: nothing to refuse there (its pulls
    // answer 404 for the blob, as for any blob it does not hold).
    EXPECT_EQ(reg_manifest_put("other", "v1", body.data(), body.size(), kImage, digest), 0);

    push_blob("r", "config");
    push_blob("r", "layer");
    EXPECT_EQ(reg_manifest_put("r", "v1", body.data(), body.size(), kImage, digest), 0) << reg_storage_last_error();
    EXPECT_TRUE(gc(0).removed.empty());
}

// Bytes removed are bytes no hold can be made for any more.
TEST_F(GcTest, NoHoldIsMadeForBytesAlreadySwept)
{
    const std::string l = push_blob("r", "layer");
    ASSERT_EQ(gc(0).removed.count("blob " + l), 1u);
    EXPECT_EQ(reg_repo_blob_link("s", l.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/s"));
}

// A collector looping beside uploads (grace 0: nothing is protected by
// age) never finds bytes between their publishing and their hold: every
// finish succeeds and leaves the blob held or its hold given up with a
// mark, never bytes gone from under a repository told it holds them.
TEST_F(GcTest, UploadsFinishWhileACollectorLoops)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        reg_gc_options opt{};
        reg_gc_result r{};
        for (int i = 0; i < 300; ++i)
            if (reg_gc(&opt, &r) != 0)
                _exit(1);
        _exit(0);
    }
    int failures = 0;
    for (int i = 0; i < 300; ++i) {
        // New bytes every other round, the same bytes again in between.
        const std::string bytes = "layer " + std::to_string(i / 2);
        const std::string digest = digest_of(bytes);
        char uuid[REG_UUID_BUF] = {};
        char stored[REG_DIGEST_BUF] = {};
        // With no grace an upload may be collected before it finishes:
        // that is no failure of the finish.
        ASSERT_EQ(reg_blob_start_repo_upload("r", uuid), 0);
        if (reg_blob_append_chunk(uuid, bytes.data(), bytes.size()) != 0)
            continue;
        if (reg_blob_finish_repo_upload("r", uuid, digest.c_str(), stored) != 0 &&
            strncmp(reg_storage_last_error(), "upload not found", 16) != 0) {
            ADD_FAILURE() << "finish failed: " << reg_storage_last_error();
            if (++failures > 5)
                break;
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(GcTest, RefusesAStoreWithoutHoldsAndBadOptions)
{
    reg_gc_options opt{};
    reg_gc_result r{};
    opt.grace_seconds = -1;
    EXPECT_EQ(reg_gc(&opt, &r), -1);
    EXPECT_EQ(reg_gc(nullptr, &r), -1);
    ASSERT_TRUE(fs::remove(root_ + "/repository-holds"));
    opt.grace_seconds = 0;
    EXPECT_EQ(reg_gc(&opt, &r), -1);
    EXPECT_NE(strstr(reg_storage_last_error(), "upgrade"), nullptr) << reg_storage_last_error();
}

} // namespace
