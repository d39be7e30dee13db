// registry-admin verify and stats, run as the built program: help, usage
// and storage errors, the lines printed and the exit status, on stores
// prepared through the storage library's public interface.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "subprocess.h"

namespace fs = std::filesystem;

namespace {

using cgitest::Outcome;
using cgitest::sha256_digest;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) {
            out.push_back(text.substr(pos) + "<no line end>");
            break;
        }
        out.push_back(text.substr(pos, eol - pos));
        pos = eol + 1;
    }
    return out;
}

class VerifyStatsCommandTest : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        cgitest::TempDirTest::SetUp();
        root_ = path("store");
    }
    void TearDown() override
    {
        reg_storage_cleanup();
        cgitest::TempDirTest::TearDown();
    }

    Outcome admin(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {REGISTRY_ADMIN_PATH, "--root", root_});
        return cgitest::run_command(args, {});
    }

    std::string store_blob(const std::string &bytes, const char *repo)
    {
        char uuid[REG_UUID_BUF] = {};
        char stored[REG_DIGEST_BUF] = {};
        const std::string digest = sha256_digest(bytes);
        EXPECT_EQ(repo ? reg_blob_start_repo_upload(repo, uuid) : reg_blob_start_upload(uuid), 0);
        EXPECT_EQ(reg_blob_append_chunk(uuid, bytes.data(), bytes.size()), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_finish_upload(uuid, digest.c_str(), stored), 0) << reg_storage_last_error();
        if (repo) {
            EXPECT_EQ(reg_repo_blob_link(repo, digest.c_str()), 0) << reg_storage_last_error();
        }
        return digest;
    }

    // One repository with an image tagged v1, and a blob nobody holds. The
    // library is closed again: the program is what opens the store.
    void prepare()
    {
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
        config_ = store_blob(R"({"architecture":"arm64"})", "app");
        layer_ = store_blob("layer bytes", "app");
        loose_ = store_blob("nobody holds this", nullptr);
        const std::string body = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
                                 R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
                                 config_ +
                                 R"(","size":1},"layers":[{"mediaType":"application/vnd.oci.image.layer.)"
                                 R"(v1.tar","digest":")" +
                                 layer_ + R"(","size":1}]})";
        char digest[REG_DIGEST_BUF] = {};
        ASSERT_EQ(reg_manifest_put("app", "v1", body.data(), body.size(), "application/vnd.oci.image.manifest.v1+json",
                                   digest),
                  0)
            << reg_storage_last_error();
        reg_storage_cleanup();
    }

    static std::string blob_rel(const std::string &digest)
    {
        return "blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
    }
    std::string at(const std::string &rel) const { return root_ + "/" + rel; }

    std::string root_;
    std::string config_, layer_, loose_;
};

TEST_F(VerifyStatsCommandTest, HelpNeedsNoStoreAndUsageErrorsExitTwo)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out_start; // standard output begins with this
        const char *err_start; // standard error begins with this
    };
    const Case kCases[] = {
        {{"verify", "--help"}, 0, "usage: registry-admin [--root DIR] verify [--quarantine DIR]\n", ""},
        {{"verify", "--quarantine", "q", "-h"}, 0, "usage: registry-admin [--root DIR] verify", ""},
        {{"stats", "--help"}, 0, "usage: registry-admin [--root DIR] stats [--delete-untagged]\n", ""},
        {{"verify", "--frobnicate"}, 2, "", "registry-admin: unknown verify option\nusage: "},
        {{"verify", "--quarantine"}, 2, "", "registry-admin: --quarantine needs a directory\nusage: "},
        {{"verify", "--quarantine", ""}, 2, "", "registry-admin: --quarantine needs a directory\nusage: "},
        {{"verify", "--quarantine", "a", "--quarantine", "b"}, 2, "", "registry-admin: unknown verify option\n"},
        {{"stats", "--dry-run"}, 2, "", "registry-admin: unknown stats option\nusage: "},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Outcome o = admin(c.args);
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out.rfind(c.out_start, 0), 0u) << o.out;
        EXPECT_EQ(o.err.rfind(c.err_start, 0), 0u) << o.err;
        if (c.status == 0)
            EXPECT_EQ(o.err, "");
        else
            EXPECT_EQ(o.out, "");
    }
    EXPECT_FALSE(fs::exists(root_)) << "neither help nor a usage error opens the store";
}

TEST_F(VerifyStatsCommandTest, StorageErrorsExitTwoWithOneLineOnStandardError)
{
    prepare();
    put_file(path("not-a-dir"), "x");
    struct Case {
        const char *name;
        std::string root;
        std::vector<std::string> args;
        const char *err_start;
    };
    const Case kCases[] = {
        {"verify on a root that is a file", path("not-a-dir"), {"verify"}, "registry-admin: cannot open the store: "},
        {"stats on a root that is a file", path("not-a-dir"), {"stats"}, "registry-admin: cannot open the store: "},
        {"a quarantine inside the blob store",
         root_,
         {"verify", "--quarantine", root_ + "/blobs/q"},
         "registry-admin: verify failed: quarantine directory "},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {REGISTRY_ADMIN_PATH, "--root", c.root};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome o = cgitest::run_command(args, {});
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err.rfind(c.err_start, 0), 0u) << o.err;
        EXPECT_EQ(lines_of(o.err).size(), 1u) << o.err;
    }
    EXPECT_FALSE(fs::exists(root_ + "/blobs/q"));
}

TEST_F(VerifyStatsCommandTest, VerifyPrintsOneLinePerFindingAndExitsByWhatItFound)
{
    prepare();
    const auto blob_bytes = [&] {
        uintmax_t n = 0;
        for (const std::string &d : {config_, layer_, loose_})
            n += fs::file_size(at(blob_rel(d)));
        return std::to_string(n);
    };
    const std::string clean_summary = "registry-admin verify: 1 repositories, 3 blobs (" + blob_bytes() +
                                      " bytes), 1 manifests, 4 links checked; 0 findings";
    Outcome o = admin({"verify"});
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, clean_summary + "\n");
    EXPECT_EQ(o.err, "");

    // A blob whose bytes changed (nobody holds it) and a tag naming a
    // manifest that is not stored.
    put_file(at(blob_rel(loose_)), "nobody holds THIS");
    const std::string ghost = sha256_digest("never pushed");
    const std::string tag = "repositories/app/_manifests/tags/ghost/current/link";
    fs::create_directories(fs::path(at(tag)).parent_path());
    put_file(at(tag), ghost);
    const std::string blob_line =
        "blob-corrupt " + blob_rel(loose_) + ": bytes hash to " + sha256_digest("nobody holds THIS");
    const std::string tag_line = "tag-dangling " + tag + ": names " + ghost + ", not stored";
    const std::string summary = "registry-admin verify: 1 repositories, 3 blobs (" + blob_bytes() +
                                " bytes), 1 manifests, 5 links checked; 2 findings";
    o = admin({"verify"});
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(lines_of(o.out), (std::vector<std::string>{blob_line, tag_line, summary}));
    EXPECT_EQ(o.err, "");

    // The quarantine takes the blob; the tag is only reported.
    const std::string q = path("quarantine");
    o = admin({"verify", "--quarantine", q});
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(lines_of(o.out), (std::vector<std::string>{blob_line + " (moved to " + q + "/" + blob_rel(loose_) + ")",
                                                         tag_line, summary + ", 1 files moved to " + q}));
    EXPECT_TRUE(fs::exists(q + "/" + blob_rel(loose_)));
    EXPECT_FALSE(fs::exists(at(blob_rel(loose_))));

    o = admin({"verify"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines_of(o.out).size(), 2u) << o.out;
    EXPECT_EQ(lines_of(o.out)[0], tag_line);

    fs::remove(at(tag));
    o = admin({"verify"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(lines_of(o.out).size(), 1u) << o.out;
}

TEST_F(VerifyStatsCommandTest, StatsPrintsTheStatisticsAndWhatGcWouldReclaimWithoutRemovingIt)
{
    prepare();
    // An upload abandoned two hours ago and one in progress.
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    char old_id[REG_UUID_BUF] = {}, new_id[REG_UUID_BUF] = {};
    ASSERT_EQ(reg_blob_start_upload(old_id), 0);
    ASSERT_EQ(reg_blob_append_chunk(old_id, "12345", 5), 0);
    ASSERT_EQ(reg_blob_start_upload(new_id), 0);
    ASSERT_EQ(reg_blob_append_chunk(new_id, "123", 3), 0);
    const std::string old_upload = at(std::string("uploads/") + old_id + ".part");
    const timespec two_hours_ago[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, old_upload.c_str(), two_hours_ago, 0), 0);
    const char *json = reg_storage_get_stats_json();
    ASSERT_NE(json, nullptr);
    const std::string stats = json;
    reg_storage_cleanup();

    struct Case {
        std::vector<std::string> args;
        std::string reclaim;
    };
    const std::string reclaim = "gc would reclaim (grace 3600 s): 0 blobs (0 bytes), 0 holds, 1 uploads (5 bytes)";
    const Case kCases[] = {
        {{"stats"}, reclaim},
        {{"stats", "--delete-untagged"}, reclaim + ", 0 manifests (0 bytes)"},
    };
    const auto tree = [&] {
        std::set<std::string> out;
        for (const auto &e : fs::recursive_directory_iterator(root_))
            out.insert(e.path().string());
        return out;
    };
    const std::set<std::string> before = tree();
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.args.size());
        Outcome o = admin(c.args);
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(lines_of(o.out), (std::vector<std::string>{stats, c.reclaim}));
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(tree(), before) << "a dry run changes nothing";
    }
}

} // namespace
