// Verification of a whole store: a prepared store, pushed through the
// library, is damaged one way at a time and each damage must be found where
// it is, and nowhere else; the quarantine moves exactly the bad files.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

std::string hex_of(const std::string &digest)
{
    return digest.substr(7);
}

struct Finding {
    reg_verify_kind kind;
    std::string label, path, detail, moved_to;
};

void collect(void *ctx, const reg_verify_finding *f)
{
    static_cast<std::vector<Finding> *>(ctx)->push_back(
        {f->kind, f->label, f->path, f->detail, f->moved_to ? f->moved_to : ""});
}

std::string describe(const std::vector<Finding> &found)
{
    std::string s;
    for (const Finding &f : found)
        s += "\n  " + f.label + " " + f.path + ": " + f.detail + (f.moved_to.empty() ? "" : " -> " + f.moved_to);
    return s;
}

// Files (not directories) below base, relative to it.
std::set<std::string> files_below(const std::string &base)
{
    std::set<std::string> out;
    if (!fs::exists(base))
        return out;
    for (const auto &e : fs::recursive_directory_iterator(base))
        if (!e.is_directory() || e.is_symlink())
            out.insert(e.path().lexically_relative(base).string());
    return out;
}

class VerifyTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        open_store("store");
        prepare();
    }

    void open_store(const std::string &rel)
    {
        reg_storage_cleanup();
        root_ = path(rel);
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    std::string store_blob(const std::string &bytes, const char *repo = nullptr)
    {
        char uuid[REG_UUID_BUF] = {};
        char stored[REG_DIGEST_BUF] = {};
        std::string digest = digest_of(bytes);
        EXPECT_EQ(repo ? reg_blob_start_repo_upload(repo, uuid) : reg_blob_start_upload(uuid), 0);
        EXPECT_EQ(reg_blob_append_chunk(uuid, bytes.data(), bytes.size()), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_finish_upload(uuid, digest.c_str(), stored), 0) << reg_storage_last_error();
        if (repo) {
            EXPECT_EQ(reg_repo_blob_link(repo, digest.c_str()), 0) << reg_storage_last_error();
        }
        return digest;
    }

    std::string put_manifest(const char *repo, const char *reference, const std::string &body)
    {
        char digest[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_put(repo, reference, body.data(), body.size(),
                                   "application/vnd.oci.image.manifest.v1+json", digest),
                  0)
            << reg_storage_last_error();
        return digest;
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

    // Two repositories, one nested in the other's directory; a layer larger
    // than one read of the hash; a tagged and an untagged manifest; a blob
    // nobody holds.
    void prepare()
    {
        config_ = store_blob(R"({"architecture":"amd64"})", "library/app");
        std::string big(200 * 1024 + 7, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 31 + 7);
        layer_ = store_blob(big, "library/app");
        tagged_ = put_manifest("library/app", "v1", image_manifest(config_, {layer_}));
        const std::string untagged_body = image_manifest(config_, {});
        untagged_ = put_manifest("library/app", digest_of(untagged_body).c_str(), untagged_body);
        base_layer_ = store_blob("base layer bytes", "library");
        base_ = put_manifest("library", "latest", image_manifest(base_layer_, {}));
        loose_ = store_blob("held by no repository");
    }

    std::vector<Finding> verify(const char *quarantine = nullptr, reg_verify_result *out = nullptr)
    {
        std::vector<Finding> found;
        reg_verify_options options{};
        options.quarantine_dir = quarantine;
        options.report = collect;
        options.ctx = &found;
        reg_verify_result r{};
        EXPECT_EQ(reg_verify(&options, &r), 0) << reg_storage_last_error();
        EXPECT_EQ(r.findings, static_cast<int64_t>(found.size()));
        if (out)
            *out = r;
        return found;
    }

    static std::string blob_rel(const std::string &digest)
    {
        return "blobs/sha256/" + hex_of(digest).substr(0, 2) + "/" + hex_of(digest);
    }
    static std::string manifests_rel(const std::string &repo) { return "repositories/" + repo + "/_manifests"; }
    std::string at(const std::string &rel) const { return root_ + "/" + rel; }

    // Another fan-out directory than the digest's own.
    static std::string other_fanout(const std::string &digest) { return hex_of(digest)[0] == '0' ? "11" : "00"; }

    std::string root_;
    std::string config_, layer_, tagged_, untagged_, base_layer_, base_, loose_;
};

TEST_F(VerifyTest, AnIntactStoreHasNoFindingsAndEverythingIsChecked)
{
    reg_verify_result r{};
    std::vector<Finding> found = verify(nullptr, &r);
    EXPECT_TRUE(found.empty()) << describe(found);
    EXPECT_EQ(r.repositories, 2);
    EXPECT_EQ(r.blobs, 4);
    uintmax_t bytes = 0;
    for (const std::string &d : {config_, layer_, base_layer_, loose_})
        bytes += fs::file_size(at(blob_rel(d)));
    EXPECT_EQ(r.blob_bytes, static_cast<int64_t>(bytes));
    EXPECT_EQ(r.manifests, 3);
    // Tags v1 and latest, three revision links, three holds.
    EXPECT_EQ(r.links, 8);
    EXPECT_EQ(r.moved, 0);
}

TEST_F(VerifyTest, EachDamageIsFoundWhereItIsAndNowhereElse)
{
    struct Case {
        const char *name;
        // Damages the prepared store; returns the path of the finding.
        std::function<std::string()> damage;
        reg_verify_kind kind;
        std::string detail; // a part of the finding's detail
        int64_t blobs = 4;  // files hashed: nothing outside the store
        int64_t manifests = 3;
    };
    const std::string stranger = digest_of("never stored anywhere");
    const std::string outside = path("outside");
    const Case kCases[] = {
        {"blob bytes changed",
         [&] {
             std::string bytes = slurp(at(blob_rel(layer_)));
             bytes[bytes.size() / 2] ^= 1;
             put_file(at(blob_rel(layer_)), bytes);
             return blob_rel(layer_);
         },
         REG_VERIFY_BLOB_CORRUPT, "bytes hash to sha256:"},
        {"blob in another fan-out directory",
         [&] {
             std::string rel = "blobs/sha256/" + other_fanout(loose_) + "/" + hex_of(loose_);
             fs::create_directories(fs::path(at(rel)).parent_path());
             fs::copy_file(at(blob_rel(loose_)), at(rel));
             return rel;
         },
         REG_VERIFY_BLOB_MISPLACED, "belongs in blobs/sha256/" + hex_of(loose_).substr(0, 2), 5},
        {"manifest body changed",
         [&] {
             std::string rel = manifests_rel("library/app") + "/" + hex_of(tagged_);
             put_file(at(rel), slurp(at(rel)) + " ");
             return rel;
         },
         REG_VERIFY_MANIFEST_CORRUPT, "bytes hash to sha256:"},
        {"tag naming a manifest not stored",
         [&] {
             std::string rel = manifests_rel("library") + "/tags/ghost/current/link";
             fs::create_directories(fs::path(at(rel)).parent_path());
             put_file(at(rel), stranger);
             return rel;
         },
         REG_VERIFY_TAG_DANGLING, "names " + stranger + ", not stored"},
        {"revision link whose body is gone",
         [&] {
             fs::remove(at(manifests_rel("library/app") + "/" + hex_of(untagged_)));
             return manifests_rel("library/app") + "/revisions/sha256/" + hex_of(untagged_) + "/link";
         },
         REG_VERIFY_REVISION_DANGLING, "not stored", 4, 2},
        {"hold whose bytes are gone",
         [&] {
             fs::remove(at(blob_rel(base_layer_)));
             return "repositories/library/_layers/" + hex_of(base_layer_);
         },
         REG_VERIFY_HOLD_DANGLING, "not stored", 3},
        {"tag link with a line end",
         [&] {
             std::string rel = manifests_rel("library/app") + "/tags/v1/current/link";
             put_file(at(rel), tagged_ + "\n");
             return rel;
         },
         REG_VERIFY_LINK_MALFORMED, tagged_ + " followed by 1 more bytes"},
        {"revision link naming another manifest",
         [&] {
             std::string rel = manifests_rel("library/app") + "/revisions/sha256/" + hex_of(untagged_) + "/link";
             put_file(at(rel), tagged_);
             return rel;
         },
         REG_VERIFY_LINK_MALFORMED, "names " + tagged_ + ", not its own digest"},
        {"hold cut short",
         [&] {
             std::string rel = "repositories/library/app/_layers/" + hex_of(layer_);
             put_file(at(rel), layer_.substr(0, 70));
             return rel;
         },
         REG_VERIFY_LINK_MALFORMED, "holds 70 bytes, not a digest"},
        {"hold naming another blob",
         [&] {
             std::string rel = "repositories/library/app/_layers/" + hex_of(layer_);
             put_file(at(rel), config_);
             return rel;
         },
         REG_VERIFY_LINK_MALFORMED, "names " + config_ + ", not its own digest"},
        {"manifest body replaced by a link to a copy outside",
         [&] {
             std::string rel = manifests_rel("library") + "/" + hex_of(base_);
             fs::copy_file(at(rel), outside);
             fs::remove(at(rel));
             fs::create_symlink(outside, at(rel));
             return rel;
         },
         REG_VERIFY_SYMLINK, "not followed", 4, 2},
        {"fan-out directory linked out of the store",
         [&] {
             // What lies there would even hash to its name if followed.
             fs::create_directories(outside);
             fs::copy_file(at(blob_rel(loose_)), outside + "/" + hex_of(loose_));
             fs::create_directory_symlink(outside, at("blobs/sha256/zz"));
             return std::string("blobs/sha256/zz");
         },
         REG_VERIFY_SYMLINK, "not followed"},
        {"manifests directory linked out of the store",
         [&] {
             std::string rel = manifests_rel("library");
             fs::rename(at(rel), outside);
             fs::create_directory_symlink(outside, at(rel));
             return rel;
         },
         REG_VERIFY_SYMLINK, "not followed", 4, 2},
        {"current directory of a tag linked",
         [&] {
             std::string rel = manifests_rel("library/app") + "/tags/v1/current";
             fs::rename(at(rel), outside);
             fs::create_directory_symlink(outside, at(rel));
             return rel;
         },
         REG_VERIFY_SYMLINK, "not followed"},
        {"tag directory linked to another repository's tag",
         [&] {
             std::string rel = manifests_rel("library/app") + "/tags/evil";
             fs::create_directory_symlink(at(manifests_rel("library") + "/tags/latest"), at(rel));
             return rel;
         },
         REG_VERIFY_SYMLINK, "not followed"},
    };
    int n = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        open_store("store-" + std::to_string(++n));
        prepare();
        fs::remove_all(outside);
        const std::string where = c.damage();
        reg_verify_result r{};
        std::vector<Finding> found = verify(nullptr, &r);
        EXPECT_EQ(found.size(), 1u) << describe(found);
        if (found.size() != 1)
            continue; // the other cases still run
        EXPECT_EQ(found[0].kind, c.kind) << describe(found);
        EXPECT_EQ(found[0].path, where);
        EXPECT_NE(found[0].detail.find(c.detail), std::string::npos) << found[0].detail;
        EXPECT_TRUE(found[0].moved_to.empty());
        EXPECT_EQ(r.moved, 0);
        EXPECT_EQ(r.blobs, c.blobs);
        EXPECT_EQ(r.manifests, c.manifests);
    }
}

TEST_F(VerifyTest, TheQuarantineMovesExactlyTheBadFilesAndLeavesAStoreThatVerifies)
{
    // Damage that nothing links to: a blob nobody holds, a stray copy in the
    // wrong place, an untagged manifest.
    put_file(at(blob_rel(loose_)), "held by no repository, but changed");
    const std::string stray = "blobs/sha256/" + other_fanout(layer_) + "/" + hex_of(layer_);
    fs::create_directories(fs::path(at(stray)).parent_path());
    fs::copy_file(at(blob_rel(layer_)), at(stray));
    const std::string body = manifests_rel("library/app") + "/" + hex_of(untagged_);
    put_file(at(body), "{}");
    // A blob that is a link to bytes elsewhere, right as they may be: the
    // link goes, what it points to stays.
    const std::string linked = digest_of("bytes kept outside");
    put_file(path("outside"), "bytes kept outside");
    fs::create_directories(fs::path(at(blob_rel(linked))).parent_path());
    fs::create_symlink(path("outside"), at(blob_rel(linked)));

    const std::set<std::string> bad = {
        blob_rel(loose_), stray,
        blob_rel(linked), body,
        body + ".ct",     manifests_rel("library/app") + "/revisions/sha256/" + hex_of(untagged_) + "/link",
    };
    const std::set<std::string> before = files_below(root_);
    std::map<std::string, std::string> content;
    for (const std::string &rel : bad)
        content[rel] = fs::is_symlink(at(rel)) ? fs::read_symlink(at(rel)).string() : slurp(at(rel));

    const std::string quarantine = path("quarantine");
    reg_verify_result r{};
    std::vector<Finding> found = verify(quarantine.c_str(), &r);
    ASSERT_EQ(found.size(), 4u) << describe(found);
    EXPECT_EQ(r.moved, 6);
    for (const Finding &f : found) {
        EXPECT_EQ(f.moved_to, quarantine + "/" + f.path) << describe(found);
        EXPECT_TRUE(bad.count(f.path)) << f.path;
    }

    std::set<std::string> expected_left;
    for (const std::string &rel : before)
        if (!bad.count(rel))
            expected_left.insert(rel);
    EXPECT_EQ(files_below(root_), expected_left);
    EXPECT_EQ(files_below(quarantine), bad);
    for (const std::string &rel : bad) {
        const std::string moved = quarantine + "/" + rel;
        EXPECT_EQ(fs::is_symlink(moved) ? fs::read_symlink(moved).string() : slurp(moved), content[rel]) << rel;
    }
    EXPECT_EQ(slurp(path("outside")), "bytes kept outside");

    // Clients get 404 instead of the wrong bytes.
    EXPECT_EQ(reg_blob_exists(loose_.c_str()), 0);
    char type[REG_CONTENT_TYPE_BUF], digest[REG_DIGEST_BUF];
    EXPECT_EQ(reg_manifest_get("library/app", untagged_.c_str(), type, digest), nullptr);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);

    found = verify();
    EXPECT_TRUE(found.empty()) << describe(found);

    // The right bytes can be stored again where the wrong ones were.
    store_blob("held by no repository");
    EXPECT_EQ(reg_blob_exists(loose_.c_str()), 1);
    found = verify(quarantine.c_str());
    EXPECT_TRUE(found.empty()) << describe(found);
}

TEST_F(VerifyTest, LinksToWhatTheQuarantineMovedAreReportedNotMoved)
{
    // A held blob and a tagged manifest go bad: they are moved, and the hold
    // and the tag that name them stay, reported from then on.
    put_file(at(blob_rel(base_layer_)), "other base layer");
    const std::string tag = manifests_rel("library/app") + "/tags/v1/current/link";
    const std::string hold = "repositories/library/_layers/" + hex_of(base_layer_);
    put_file(at(manifests_rel("library/app") + "/" + hex_of(tagged_)), "{}");

    std::vector<Finding> found = verify(path("q").c_str());
    std::set<std::pair<reg_verify_kind, std::string>> got;
    for (const Finding &f : found)
        got.insert({f.kind, f.path});
    const std::set<std::pair<reg_verify_kind, std::string>> first = {
        {REG_VERIFY_BLOB_CORRUPT, blob_rel(base_layer_)},
        {REG_VERIFY_MANIFEST_CORRUPT, manifests_rel("library/app") + "/" + hex_of(tagged_)},
        {REG_VERIFY_TAG_DANGLING, tag},
        {REG_VERIFY_HOLD_DANGLING, hold},
    };
    EXPECT_EQ(got, first) << describe(found);
    EXPECT_TRUE(fs::exists(at(tag)));
    EXPECT_TRUE(fs::exists(at(hold)));

    found = verify(path("q").c_str());
    got.clear();
    for (const Finding &f : found)
        got.insert({f.kind, f.path});
    const std::set<std::pair<reg_verify_kind, std::string>> second = {
        {REG_VERIFY_TAG_DANGLING, tag},
        {REG_VERIFY_HOLD_DANGLING, hold},
    };
    EXPECT_EQ(got, second) << describe(found);
}

TEST_F(VerifyTest, AQuarantinedNameThatIsTakenGetsANumber)
{
    const std::string quarantine = path("quarantine");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0)
            store_blob("held by no repository");
        put_file(at(blob_rel(loose_)), "changed " + std::to_string(round));
        std::vector<Finding> found = verify(quarantine.c_str());
        ASSERT_EQ(found.size(), 1u) << describe(found);
        EXPECT_EQ(found[0].moved_to,
                  quarantine + "/" + blob_rel(loose_) + (round ? "." + std::to_string(round) : std::string()));
        EXPECT_EQ(slurp(found[0].moved_to), "changed " + std::to_string(round));
    }
}

TEST_F(VerifyTest, AQuarantineWhereTheStoreKeepsItsContentIsRefusedAndNothingMade)
{
    put_file(at(blob_rel(loose_)), "changed");
    const std::string kRefused[] = {
        at("blobs/q"), at("blobs/sha256"), at("repositories/q/r"), at("uploads/q"), root_, at("q/../blobs/q"),
    };
    for (const std::string &dir : kRefused) {
        SCOPED_TRACE(dir);
        strcpy(s_error, "sentinel");
        reg_verify_options options{};
        options.quarantine_dir = dir.c_str();
        reg_verify_result r{};
        EXPECT_EQ(reg_verify(&options, &r), -1);
        EXPECT_STRNE(reg_storage_last_error(), "sentinel");
        EXPECT_EQ(r.findings, 0);
    }
    EXPECT_FALSE(fs::exists(at("blobs/q")));
    EXPECT_FALSE(fs::exists(at("repositories/q")));
    EXPECT_FALSE(fs::exists(at("uploads/q")));
    EXPECT_FALSE(fs::exists(at("q")));
    EXPECT_EQ(slurp(at(blob_rel(loose_))), "changed");

    // Elsewhere on the same file system, missing directories are made.
    std::vector<Finding> found = verify(path("a/b/c").c_str());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].moved_to, path("a/b/c") + "/" + blob_rel(loose_));
}

TEST_F(VerifyTest, AQuarantineOnAnotherFileSystemIsRefused)
{
    struct stat here, shm;
    if (stat(dir_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    char tmpl[] = "/dev/shm/verify_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    put_file(at(blob_rel(loose_)), "changed");
    reg_verify_options options{};
    options.quarantine_dir = tmpl;
    reg_verify_result r{};
    EXPECT_EQ(reg_verify(&options, &r), -1);
    EXPECT_NE(strstr(reg_storage_last_error(), "not on the file system of the store"), nullptr)
        << reg_storage_last_error();
    EXPECT_TRUE(fs::is_empty(tmpl));
    EXPECT_EQ(slurp(at(blob_rel(loose_))), "changed");
    fs::remove_all(tmpl);
}

TEST_F(VerifyTest, ArgumentsAndAStorageNotOpenAreRefused)
{
    strcpy(s_error, "sentinel");
    EXPECT_EQ(reg_verify(nullptr, nullptr), -1);
    EXPECT_STRNE(reg_storage_last_error(), "sentinel");

    reg_verify_result r{};
    EXPECT_EQ(reg_verify(nullptr, &r), 0) << "no options: report nothing, count all the same";
    EXPECT_EQ(r.blobs, 4);

    reg_storage_cleanup();
    strcpy(s_error, "sentinel");
    EXPECT_EQ(reg_verify(nullptr, &r), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
}

} // namespace
