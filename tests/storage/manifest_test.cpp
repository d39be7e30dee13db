// Manifest store: validation and files written by reg_manifest_put, lookup
// and deletion by tag and digest, the tag scan that protects tagged
// manifests, and confinement of names and tags to the storage root.
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kRepo[] = "library/app";
constexpr const char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kNotReady[] = "not initialized - call reg_storage_init first";

std::string digest_of(char c)
{
    return "sha256:" + std::string(64, c);
}

// A minimal valid manifest; `extra` is spliced into the root object.
std::string manifest(char config = 'a', const std::string &extra = "")
{
    return R"({"config":{"digest":")" + digest_of(config) + "\"}" + extra + "}";
}

std::string sha256_hex(std::string_view data)
{
    sha256_ctx ctx;
    uint8_t out[SHA256_DIGEST_SIZE];
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, out);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : out) {
        hex += kHex[b >> 4];
        hex += kHex[b & 0xf];
    }
    return hex;
}

std::string slurp(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const fs::path &p, std::string_view data)
{
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Every file and directory below `top` except the subtree `skip`, with the
// content of each file, so that any creation, change or removal shows.
std::map<std::string, std::string> snapshot(const fs::path &top, const fs::path &skip)
{
    std::map<std::string, std::string> seen;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        seen[it->path().string()] = it->is_regular_file() ? slurp(it->path()) : std::string("<dir>");
    }
    return seen;
}

// Entry names of a directory in the order readdir yields them.
std::vector<std::string> readdir_order(const fs::path &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "reg-manifest-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        parent_ = tmpl;
        root_ = parent_ / "root";
        spit(parent_ / "sentinel", "keep me");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    void TearDown() override
    {
        reg_storage_cleanup();
        std::error_code ec;
        fs::remove_all(parent_, ec);
    }

    fs::path mdir(const char *name = kRepo) const { return root_ / "repositories" / name / "_manifests"; }
    fs::path body_file(const std::string &hex, const char *name = kRepo) const { return mdir(name) / hex; }
    fs::path ct_file(const std::string &hex, const char *name = kRepo) const { return mdir(name) / (hex + ".ct"); }
    fs::path rev_link(const std::string &hex, const char *name = kRepo) const
    {
        return mdir(name) / "revisions" / "sha256" / hex / "link";
    }
    fs::path tag_link(const std::string &tag, const char *name = kRepo) const
    {
        return mdir(name) / "tags" / tag / "current" / "link";
    }
    // What a server sends for the reference: the body reg_manifest_open
    // gives, written out by reg_manifest_send_file ("<refused>" when not).
    static std::string served_whole(const std::string &ref)
    {
        char ct[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        uint64_t size = 0;
        int fd = reg_manifest_open(kRepo, ref.c_str(), ct, digest, &size);
        if (fd < 0)
            return "<refused>";
        FILE *out = tmpfile();
        int rc = out ? reg_manifest_send_file(fd, size, out) : -1;
        close(fd);
        std::string got;
        if (rc == 0) {
            got.resize(size);
            rewind(out);
            got.resize(fread(got.data(), 1, size, out));
        }
        if (out)
            fclose(out);
        return rc == 0 ? got : "<send failed>";
    }

    // Stores `body` and returns the 64 digits of the digest handed back.
    std::string put(const std::string &body, const char *reference, const char *type = nullptr,
                    const char *name = kRepo)
    {
        char digest[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_put(name, reference, body.data(), body.size(), type, digest), 0)
            << reg_storage_last_error();
        return std::string(digest).substr(std::min<size_t>(7, strlen(digest)));
    }

    // Records a known message so that a later check sees a fresh one.
    static void prime_error(std::string_view unless)
    {
        char digest[REG_DIGEST_BUF];
        if (unless == "NULL argument")
            reg_manifest_put(kRepo, "", "{}", 2, nullptr, digest);
        else
            reg_manifest_put(nullptr, "x", "{}", 2, nullptr, digest);
    }

    bool repositories_empty() const { return fs::is_empty(root_ / "repositories"); }

    fs::path parent_;
    fs::path root_;
};

// ---- Storing -------------------------------------------------------------

struct PutFailure {
    const char *label;
    const char *name;
    const char *reference;
    std::string body;
    const char *message;
};

TEST_F(ManifestTest, PutRefusesInvalidInputAndWritesNothing)
{
    const std::string valid = manifest();
    const std::string d = digest_of('b');
    const PutFailure kCases[] = {
        {"empty body", kRepo, "latest", "", "manifest JSON parse failed"},
        {"not JSON", kRepo, "latest", "hello", "manifest JSON parse failed"},
        {"text after the value", kRepo, "latest", valid + " x", "manifest JSON parse failed"},
        {"two values", kRepo, "latest", valid + valid, "manifest JSON parse failed"},
        {"trailing comma", kRepo, "latest", R"({"config":{"digest":")" + d + R"("},})", "manifest JSON parse failed"},
        {"comment", kRepo, "latest", "/* c */" + valid, "manifest JSON parse failed"},
        {"invalid UTF-8", kRepo, "latest", manifest('a', ",\"x\":\"\xff\""), "manifest JSON parse failed"},
        {"NaN literal", kRepo, "latest", manifest('a', R"(,"x":NaN)"), "manifest JSON parse failed"},
        {"array root", kRepo, "latest", "[" + valid + "]", "manifest must be a JSON object"},
        {"string root", kRepo, "latest", R"("text")", "manifest must be a JSON object"},
        {"empty object", kRepo, "latest", "{}", "manifest missing valid config.digest"},
        {"image index", kRepo, "latest", R"({"manifests":[{"digest":")" + d + R"("}]})",
         "manifest missing valid config.digest"},
        {"config is a digest string", kRepo, "latest", R"({"config":")" + d + R"("})",
         "manifest missing valid config.digest"},
        {"config digest is a number", kRepo, "latest", R"({"config":{"digest":5}})",
         "manifest missing valid config.digest"},
        {"config without digest", kRepo, "latest", R"({"config":{"size":5}})", "manifest missing valid config.digest"},
        {"upper-case digits", kRepo, "latest", R"({"config":{"digest":"sha256:)" + std::string(64, 'A') + R"("}})",
         "manifest missing valid config.digest"},
        {"63 digits", kRepo, "latest", R"({"config":{"digest":"sha256:)" + std::string(63, 'a') + R"("}})",
         "manifest missing valid config.digest"},
        {"other algorithm", kRepo, "latest", R"({"config":{"digest":"sha512:)" + std::string(64, 'a') + R"("}})",
         "manifest missing valid config.digest"},
        {"blank around digest", kRepo, "latest", R"({"config":{"digest":" )" + d + R"("}})",
         "manifest missing valid config.digest"},
        {"first config key wins", kRepo, "latest", R"({"config":{"digest":"bad"},"config":{"digest":")" + d + R"("}})",
         "manifest missing valid config.digest"},
        {"layers null", kRepo, "latest", manifest('a', R"(,"layers":null)"), "manifest layers must be an array"},
        {"layers object", kRepo, "latest", manifest('a', R"(,"layers":{})"), "manifest layers must be an array"},
        {"layers string", kRepo, "latest", manifest('a', R"(,"layers":"x")"), "manifest layers must be an array"},
        {"bad first layer", kRepo, "latest", manifest('a', R"(,"layers":[{"digest":"x"}])"),
         "manifest layer 0 missing valid digest"},
        {"layer 1 string", kRepo, "latest", manifest('a', R"(,"layers":[{"digest":")" + d + R"("},"x"])"),
         "manifest layer 1 missing valid digest"},
        {"layer 1 number", kRepo, "latest", manifest('a', R"(,"layers":[{"digest":")" + d + R"("},7])"),
         "manifest layer 1 missing valid digest"},
        {"layer 1 without digest", kRepo, "latest", manifest('a', R"(,"layers":[{"digest":")" + d + R"("},{}])"),
         "manifest layer 1 missing valid digest"},
        {"layer 2 upper-case", kRepo, "latest",
         manifest('a', R"(,"layers":[{"digest":")" + d + R"("},{"digest":")" + d + R"("},{"digest":"sha256:)" +
                           std::string(64, 'F') + R"("}])"),
         "manifest layer 2 missing valid digest"},
        {"first layer key wins", kRepo, "latest",
         manifest('a', R"(,"layers":[{"digest":"x","digest":")" + d + R"("}])"),
         "manifest layer 0 missing valid digest"},
        {"null name", nullptr, "latest", valid, "NULL argument"},
        {"null reference", kRepo, nullptr, valid, "NULL argument"},
        {"invalid name before body", "a..b", "latest", "not json", "invalid repository name: a..b"},
        {"name with a space", "my app", "latest", valid, "invalid repository name: my app"},
        {"empty reference", kRepo, "", valid, "empty reference"},
    };
    for (const PutFailure &c : kCases) {
        SCOPED_TRACE(c.label);
        prime_error(c.message);
        char digest[REG_DIGEST_BUF] = "untouched";
        EXPECT_EQ(reg_manifest_put(c.name, c.reference, c.body.data(), c.body.size(), nullptr, digest), -1);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
        EXPECT_STREQ(digest, "untouched");
        EXPECT_TRUE(repositories_empty());
    }
}

TEST_F(ManifestTest, PutRefusesNullBodyOrDigestBufferAndUninitialisedStorage)
{
    const std::string body = manifest();
    char digest[REG_DIGEST_BUF] = {};
    prime_error("NULL argument");
    EXPECT_EQ(reg_manifest_put(kRepo, "latest", nullptr, 0, nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    prime_error("NULL argument");
    EXPECT_EQ(reg_manifest_put(kRepo, "latest", body.data(), body.size(), nullptr, nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");

    reg_storage_cleanup();
    EXPECT_EQ(reg_manifest_put(kRepo, "latest", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
    char ct[REG_CONTENT_TYPE_BUF];
    EXPECT_EQ(reg_manifest_get(kRepo, "latest", ct, digest), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
    EXPECT_EQ(reg_manifest_delete(kRepo, "latest"), -1);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
    EXPECT_TRUE(repositories_empty());
}

TEST_F(ManifestTest, PutAcceptsOptionalAndIgnoredMembers)
{
    const std::string d = digest_of('c');
    const struct {
        const char *label;
        std::string body;
    } kCases[] = {
        {"no layers", manifest()},
        {"empty layers", manifest('a', R"(,"layers":[])")},
        {"layers with extra members", manifest('a', R"(,"layers":[{"digest":")" + d + R"(","size":3,"x":null}])")},
        {"first config key wins", R"({"config":{"digest":")" + d + R"("},"config":{}})"},
        {"unknown members and schema",
         R"({"schemaVersion":99,"config":{"digest":")" + d + R"(","mediaType":7},"annotations":{"a":"b"}})"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.label);
        std::string hex = put(c.body, "latest");
        EXPECT_EQ(hex, sha256_hex(c.body));
        EXPECT_EQ(slurp(body_file(hex)), c.body);
    }
}

TEST_F(ManifestTest, PutWritesBodyNamedByItsOwnDigestAndLinks)
{
    // White space, member order and escapes are kept: the file holds the
    // bytes received and is named by their SHA-256.
    const std::string body =
        "{ \"layers\" : [ ],\n\t\"config\":{\"digest\":\"" + digest_of('a') + "\", \"n\":\"\\u00e9\\/\"} }\r\n";
    char digest[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put(kRepo, "latest", body.data(), body.size(), nullptr, digest), 0)
        << reg_storage_last_error();
    const std::string hex = sha256_hex(body);
    EXPECT_EQ(std::string(digest), "sha256:" + hex);
    EXPECT_EQ(slurp(body_file(hex)), body);
    EXPECT_EQ(slurp(ct_file(hex)), kDefaultType);
    EXPECT_EQ(slurp(rev_link(hex)), "sha256:" + hex);
    EXPECT_EQ(slurp(tag_link("latest")), "sha256:" + hex);
    EXPECT_EQ(fs::file_size(rev_link(hex)), 71u);
    EXPECT_EQ(fs::file_size(tag_link("latest")), 71u);
    // The manifests directory holds the body, its .ct file, the two trees
    // and the repository's lock file; no temporary file is left.
    std::vector<std::string> names = readdir_order(mdir());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".lock", hex, hex + ".ct", "revisions", "tags"}));

    // Storing again rewrites the .ct file with the new type, byte for byte.
    const std::string long_type = std::string(kOciType) + "; x=" + std::string(300, 'y');
    EXPECT_EQ(put(body, "latest", long_type.c_str()), hex);
    EXPECT_EQ(slurp(ct_file(hex)), long_type);
    EXPECT_EQ(put(body, "latest", ""), hex);
    EXPECT_EQ(slurp(ct_file(hex)), kDefaultType);
}

TEST_F(ManifestTest, DigestMatchesKnownAnswer)
{
    const std::string body = manifest('a');
    EXPECT_EQ(put(body, "v1"), "1a825edfbd412eb7a57c8b94819097c83f9e9eb1164cf5127e34f1809e80a132");
}

TEST_F(ManifestTest, SecondTagSharesBodyAndStoringElsewhereMovesTag)
{
    const std::string a = manifest('a');
    const std::string b = manifest('b');
    const std::string ha = put(a, "latest");
    EXPECT_EQ(put(a, "stable"), ha);
    EXPECT_EQ(slurp(tag_link("stable")), "sha256:" + ha);
    size_t files = 0;
    for (const auto &e : fs::directory_iterator(mdir()))
        files += e.is_regular_file() && e.path().filename() != ".lock";
    EXPECT_EQ(files, 2u); // one body, one .ct

    const std::string hb = put(b, "latest");
    ASSERT_NE(ha, hb);
    EXPECT_EQ(slurp(tag_link("latest")), "sha256:" + hb);
    EXPECT_EQ(slurp(tag_link("stable")), "sha256:" + ha);
    EXPECT_EQ(slurp(body_file(ha)), a);
    EXPECT_TRUE(fs::exists(ct_file(ha)));
    EXPECT_TRUE(fs::exists(rev_link(ha)));
}

TEST_F(ManifestTest, PutByOwnDigestWritesNoTag)
{
    const std::string body = manifest('d');
    const std::string ref = "sha256:" + sha256_hex(body);
    EXPECT_EQ(put(body, ref.c_str()), sha256_hex(body));
    EXPECT_TRUE(fs::exists(body_file(sha256_hex(body))));
    EXPECT_TRUE(fs::exists(rev_link(sha256_hex(body))));
    EXPECT_FALSE(fs::exists(mdir() / "tags"));
}

// ---- Lookup ---------------------------------------------------------------

TEST_F(ManifestTest, GetByTagAndByDigestReturnsBodyTypeAndDigest)
{
    const std::string body = manifest('e', R"(,"layers":[])");
    const std::string hex = put(body, "v1", kOciType);
    const std::string digest = "sha256:" + hex;
    for (const char *ref : {"v1", digest.c_str()}) {
        SCOPED_TRACE(ref);
        char ct[REG_CONTENT_TYPE_BUF] = {};
        char out[REG_DIGEST_BUF] = {};
        const char *got = reg_manifest_get(kRepo, ref, ct, out);
        ASSERT_NE(got, nullptr) << reg_storage_last_error();
        EXPECT_EQ(std::string(got), body);
        EXPECT_STREQ(ct, kOciType);
        EXPECT_EQ(std::string(out), digest);
    }
    // A fetch by digest does not need the revision link.
    fs::remove(rev_link(hex));
    char ct[REG_CONTENT_TYPE_BUF];
    char out[REG_DIGEST_BUF];
    ASSERT_NE(reg_manifest_get(kRepo, digest.c_str(), ct, out), nullptr) << reg_storage_last_error();
}

TEST_F(ManifestTest, GetFailures)
{
    const std::string hex = put(manifest(), "v1");
    const std::string unknown = digest_of('9');
    const std::string unknown_msg = "manifest body not found: library/app@" + unknown;
    const std::string bad63 = "sha256:" + std::string(63, 'a');
    const std::string bad65 = "sha256:" + std::string(65, 'a');
    const std::string upper = "sha256:" + std::string(64, 'A');
    const struct {
        const char *name;
        const char *reference;
        const char *message;
    } kCases[] = {
        {kRepo, "nope", "tag not found: library/app:nope"},
        {"other/repo", "v1", "tag not found: other/repo:v1"},
        {kRepo, "sha256:", "invalid digest reference"},
        {kRepo, bad63.c_str(), "invalid digest reference"},
        {kRepo, bad65.c_str(), "invalid digest reference"},
        {kRepo, upper.c_str(), "invalid digest reference"},
        {kRepo, unknown.c_str(), unknown_msg.c_str()},
        {"a..b", "v1", "invalid repository name"},
        {"", "v1", "invalid repository name"},
        {nullptr, "v1", "NULL argument"},
        {kRepo, nullptr, "NULL argument"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.reference ? c.reference : "(null)");
        prime_error(c.message);
        char ct[REG_CONTENT_TYPE_BUF] = "ct";
        char out[REG_DIGEST_BUF] = "dg";
        EXPECT_EQ(reg_manifest_get(c.name, c.reference, ct, out), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
        EXPECT_STREQ(ct, "ct");
        EXPECT_STREQ(out, "dg");
    }
    char out[REG_DIGEST_BUF];
    prime_error("NULL argument");
    EXPECT_EQ(reg_manifest_get(kRepo, "v1", nullptr, out), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    // A body file that has gone is reported with the reference as given.
    fs::remove(body_file(hex));
    char ct[REG_CONTENT_TYPE_BUF];
    EXPECT_EQ(reg_manifest_get(kRepo, "v1", ct, out), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "manifest body not found: library/app@v1");
}

TEST_F(ManifestTest, GetMediaTypeFromCtFile)
{
    const std::string hex = put(manifest(), "v1", kOciType);
    const std::string long_ct(200, 't');
    const struct {
        const char *label;
        bool present;
        std::string content;
        std::string expected;
    } kCases[] = {
        {"missing", false, "", kDefaultType},
        {"empty", true, "", kDefaultType},
        {"200 bytes cut to 126", true, long_ct, long_ct.substr(0, 126)},
        {"line end kept", true, "text/plain\n", "text/plain\n"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.label);
        fs::remove(ct_file(hex));
        if (c.present)
            spit(ct_file(hex), c.content);
        // Guard bytes after the caller's 128 bytes must stay untouched.
        char buf[REG_CONTENT_TYPE_BUF + 16];
        memset(buf, 'G', sizeof buf);
        char out[REG_DIGEST_BUF];
        ASSERT_NE(reg_manifest_get(kRepo, "v1", buf, out), nullptr) << reg_storage_last_error();
        EXPECT_EQ(std::string(buf), c.expected);
        EXPECT_EQ(std::string(buf + REG_CONTENT_TYPE_BUF, 16), std::string(16, 'G'));
    }
}

TEST_F(ManifestTest, CorruptTagLinkIsRefusedYetProtectsItsManifest)
{
    const std::string hex = put(manifest(), "good");
    put(manifest(), "bad");
    spit(tag_link("bad"), "sha256:" + hex + "\n");
    char ct[REG_CONTENT_TYPE_BUF];
    char out[REG_DIGEST_BUF];
    EXPECT_EQ(reg_manifest_get(kRepo, "bad", ct, out), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: library/app:bad");
    EXPECT_EQ(reg_manifest_delete(kRepo, "bad"), -1);
    EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: library/app:bad");
    EXPECT_TRUE(fs::exists(tag_link("bad")));

    // "bad" still names the digest for the deletion scan.
    ASSERT_EQ(reg_manifest_delete(kRepo, "good"), 0) << reg_storage_last_error();
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_TRUE(fs::exists(ct_file(hex)));
    EXPECT_TRUE(fs::exists(rev_link(hex)));

    spit(tag_link("bad"), "hello");
    EXPECT_EQ(reg_manifest_get(kRepo, "bad", ct, out), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: library/app:bad");
}

// ---- Deletion -------------------------------------------------------------

TEST_F(ManifestTest, DeletingTagsRemovesFilesWithTheLastTag)
{
    const std::string hex = put(manifest(), "one");
    put(manifest(), "two");
    const std::string digest = "sha256:" + hex;
    char ct[REG_CONTENT_TYPE_BUF];
    char out[REG_DIGEST_BUF];

    ASSERT_EQ(reg_manifest_delete(kRepo, "one"), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(tag_link("one")));
    EXPECT_TRUE(fs::is_directory(tag_link("one").parent_path()));
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_NE(reg_manifest_get(kRepo, "two", ct, out), nullptr);
    EXPECT_NE(reg_manifest_get(kRepo, digest.c_str(), ct, out), nullptr);
    EXPECT_EQ(reg_manifest_get(kRepo, "one", ct, out), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "tag not found: library/app:one");

    ASSERT_EQ(reg_manifest_delete(kRepo, "two"), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(body_file(hex)));
    EXPECT_FALSE(fs::exists(ct_file(hex)));
    EXPECT_FALSE(fs::exists(rev_link(hex)));
    EXPECT_TRUE(fs::is_directory(rev_link(hex).parent_path()));
    EXPECT_EQ(reg_manifest_get(kRepo, digest.c_str(), ct, out), nullptr);
    EXPECT_EQ(std::string(reg_storage_last_error()), "manifest body not found: library/app@" + digest);
}

TEST_F(ManifestTest, DeletingByDigestWhileTaggedRemovesOnlyRevisionLink)
{
    const std::string hex = put(manifest(), "v1");
    const std::string digest = "sha256:" + hex;
    ASSERT_EQ(reg_manifest_delete(kRepo, digest.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(rev_link(hex)));
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_TRUE(fs::exists(ct_file(hex)));
    char ct[REG_CONTENT_TYPE_BUF];
    char out[REG_DIGEST_BUF];
    EXPECT_NE(reg_manifest_get(kRepo, "v1", ct, out), nullptr);
    EXPECT_NE(reg_manifest_get(kRepo, digest.c_str(), ct, out), nullptr);
    // Deleting by digest again is no failure either.
    EXPECT_EQ(reg_manifest_delete(kRepo, digest.c_str()), 0);
    EXPECT_TRUE(fs::exists(body_file(hex)));
}

TEST_F(ManifestTest, DeletingUntaggedOrLastTaggedManifestRemovesFiles)
{
    // Stored by digest only: deleting the digest removes everything.
    const std::string a = manifest('a');
    const std::string ha = sha256_hex(a);
    put(a, ("sha256:" + ha).c_str());
    ASSERT_EQ(reg_manifest_delete(kRepo, ("sha256:" + ha).c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(body_file(ha)));
    EXPECT_FALSE(fs::exists(ct_file(ha)));
    EXPECT_FALSE(fs::exists(rev_link(ha)));

    // Stored by digest and under a tag: the last tag takes the files along.
    const std::string b = manifest('b');
    const std::string hb = sha256_hex(b);
    put(b, ("sha256:" + hb).c_str());
    put(b, "v2");
    // A plain file and a tag directory without a link name nothing.
    spit(mdir() / "tags" / "stray", "sha256:" + hb);
    fs::create_directories(mdir() / "tags" / "empty" / "current");
    ASSERT_EQ(reg_manifest_delete(kRepo, "v2"), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(body_file(hb)));
    EXPECT_FALSE(fs::exists(ct_file(hb)));
    EXPECT_FALSE(fs::exists(rev_link(hb)));
}

TEST_F(ManifestTest, DeletionFailuresRemoveNothing)
{
    const std::string hex = put(manifest(), "v1");
    const std::string unknown = digest_of('7');
    EXPECT_EQ(reg_manifest_delete(kRepo, unknown.c_str()), 0);
    const std::string malformed = "sha256:" + std::string(64, 'G');
    const struct {
        const char *name;
        const char *reference;
        const char *message;
    } kCases[] = {
        {kRepo, malformed.c_str(), "invalid digest reference"},
        {kRepo, "never", "tag not found: library/app:never"},
        {"bad name!", "v1", "invalid repository name"},
        {nullptr, "v1", "NULL argument"},
        {kRepo, nullptr, "NULL argument"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.message);
        prime_error(c.message);
        EXPECT_EQ(reg_manifest_delete(c.name, c.reference), -1);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
    }
    EXPECT_TRUE(fs::exists(tag_link("v1")));
    EXPECT_TRUE(fs::exists(body_file(hex)));
    EXPECT_TRUE(fs::exists(ct_file(hex)));
    EXPECT_TRUE(fs::exists(rev_link(hex)));
}

TEST_F(ManifestTest, RepositoriesAreIndependent)
{
    const std::string body = manifest();
    const std::string hex = put(body, "v1", nullptr, "one");
    put(body, "v1", nullptr, "two");
    ASSERT_EQ(reg_manifest_delete("one", "v1"), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(body_file(hex, "one")));
    EXPECT_TRUE(fs::exists(body_file(hex, "two")));
    EXPECT_TRUE(fs::exists(tag_link("v1", "two")));
}

// ---- Tags confined to their repository ------------------------------------

TEST_F(ManifestTest, TagsThatLeaveTheTagsDirectoryAreRefused)
{
    const std::string body = manifest();
    const char *kTags[] = {".", "..", "a/b", "a\\b", "../x", "x/", "/abs"};
    for (const char *tag : kTags) {
        SCOPED_TRACE(tag);
        const std::string message = std::string("invalid tag: ") + tag;
        char digest[REG_DIGEST_BUF] = {};
        prime_error(message);
        EXPECT_EQ(reg_manifest_put(kRepo, tag, body.data(), body.size(), nullptr, digest), -1);
        EXPECT_EQ(std::string(reg_storage_last_error()), message);
        EXPECT_TRUE(repositories_empty());
        char ct[REG_CONTENT_TYPE_BUF];
        prime_error(message);
        EXPECT_EQ(reg_manifest_get(kRepo, tag, ct, digest), nullptr);
        EXPECT_EQ(std::string(reg_storage_last_error()), message);
        prime_error(message);
        EXPECT_EQ(reg_manifest_delete(kRepo, tag), -1);
        EXPECT_EQ(std::string(reg_storage_last_error()), message);
    }
}

TEST_F(ManifestTest, TagWhoseLinkPathWouldBeCutIsRefused)
{
    const std::string body = manifest();
    const std::string hex = put(body, "short");
    // Long enough that root, name and tag exceed a 4096-byte path.
    const std::string tag(4096, 't');
    const std::string message = "tag too long: " + tag.substr(0, 1023 - strlen("tag too long: "));
    char digest[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_put(kRepo, tag.c_str(), body.data(), body.size(), nullptr, digest), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), message);
    char ct[REG_CONTENT_TYPE_BUF];
    EXPECT_EQ(reg_manifest_get(kRepo, tag.c_str(), ct, digest), nullptr);
    EXPECT_EQ(std::string(reg_storage_last_error()), message);
    EXPECT_EQ(reg_manifest_delete(kRepo, tag.c_str()), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), message);
    EXPECT_EQ(readdir_order(mdir() / "tags"), std::vector<std::string>{"short"});
    EXPECT_TRUE(fs::exists(body_file(hex)));
}

// ---- Digest references name the body ----------------------------------------

TEST_F(ManifestTest, DigestReferenceMustBeTheBodysDigest)
{
    const std::string body = manifest();
    const std::string own = "sha256:" + sha256_hex(body);
    const std::string other = digest_of('0');
    const std::string mismatch = "digest mismatch: expected " + other + ", got " + own;
    const std::string upper = "sha256:" + sha256_hex(body).substr(0, 63) + "A";
    const std::string trailing = own + "\n";
    const struct {
        const char *reference;
        const char *message;
    } kCases[] = {
        {"sha256:", "invalid digest reference"},     {"sha256:abc", "invalid digest reference"},
        {upper.c_str(), "invalid digest reference"}, {trailing.c_str(), "invalid digest reference"},
        {other.c_str(), mismatch.c_str()},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.reference);
        prime_error(c.message);
        char digest[REG_DIGEST_BUF] = "untouched";
        EXPECT_EQ(reg_manifest_put(kRepo, c.reference, body.data(), body.size(), nullptr, digest), -1);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
        EXPECT_STREQ(digest, "untouched");
        EXPECT_TRUE(repositories_empty());
    }
    // Validation still comes first for a body under a wrong digest.
    prime_error("manifest JSON parse failed");
    char digest[REG_DIGEST_BUF];
    EXPECT_EQ(reg_manifest_put(kRepo, other.c_str(), "{", 1, nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "manifest JSON parse failed");
}

// ---- Size limit -------------------------------------------------------------

// A valid manifest padded with white space to exactly `size` bytes.
std::string padded_manifest(size_t size)
{
    std::string body = manifest();
    body.resize(size, ' ');
    return body;
}

TEST_F(ManifestTest, PutRefusesBodyLongerThanTheLimit)
{
    const std::string too_big = padded_manifest(REG_MANIFEST_MAX + 1);
    char digest[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_put(kRepo, "big", too_big.data(), too_big.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "manifest too large");
    EXPECT_TRUE(repositories_empty());

    // Refused before parsing: even text that is no JSON gets this message.
    const std::string junk(REG_MANIFEST_MAX + 1, '{');
    EXPECT_EQ(reg_manifest_put(kRepo, "big", junk.data(), junk.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "manifest too large");

    // The largest is stored and served whole through an open body.
    const std::string largest = padded_manifest(REG_MANIFEST_MAX);
    const std::string hex = put(largest, "big");
    EXPECT_EQ(served_whole("big"), largest);
    EXPECT_EQ(served_whole("sha256:" + hex), largest);
}

TEST_F(ManifestTest, GetReturnsOnlyBodiesTheResultBufferHolds)
{
    const std::string hex = put(manifest(), "v1");
    char ct[REG_CONTENT_TYPE_BUF] = "ct";
    char digest[REG_DIGEST_BUF] = "dg";
    // With its NUL a body of REG_RESULT_SIZE bytes does not fit: refused,
    // not cut, and the caller's buffers are left as they were.
    for (const std::string &ref : {std::string("v1"), "sha256:" + hex}) {
        SCOPED_TRACE(ref);
        spit(body_file(hex), std::string(REG_RESULT_SIZE, 'x'));
        EXPECT_EQ(reg_manifest_get(kRepo, ref.c_str(), ct, digest), nullptr);
        EXPECT_EQ(std::string(reg_storage_last_error()), "manifest body too large: library/app@" + ref);
        EXPECT_STREQ(ct, "ct");
        EXPECT_STREQ(digest, "dg");
    }
    spit(body_file(hex), std::string(REG_RESULT_SIZE - 1, 'x'));
    const char *got = reg_manifest_get(kRepo, "v1", ct, digest);
    ASSERT_NE(got, nullptr) << reg_storage_last_error();
    EXPECT_EQ(strlen(got), REG_RESULT_SIZE - 1);
    EXPECT_EQ(digest, "sha256:" + hex);

    // What the result buffer cannot hold is served from the open body.
    const std::string big(3 * 1024 * 1024, 'y');
    spit(body_file(hex), big);
    EXPECT_EQ(served_whole("v1"), big);
}

// ---- Many tags --------------------------------------------------------------

// A manifest named by one tag besides the deleted one must survive wherever
// that tag falls in the directory order, including beyond the first 512.
TEST_F(ManifestTest, TagScanSeesEveryTagOfALargeRepository)
{
    constexpr int kTags = 600;
    const std::string other = manifest('0');
    const std::string kept = manifest('1');
    const std::string h_other = put(other, "t000");
    const std::string h_kept = sha256_hex(kept);
    for (int i = 1; i < kTags; ++i) {
        char tag[8];
        snprintf(tag, sizeof tag, "t%03d", i);
        spit(tag_link(tag), "sha256:" + h_other);
    }
    const std::vector<std::string> order = readdir_order(mdir() / "tags");
    ASSERT_EQ(order.size(), static_cast<size_t>(kTags));

    for (size_t pos : {size_t{0}, size_t{511}, size_t{512}, order.size() - 1}) {
        const std::string &keeper = order[pos];
        const std::string &victim = order[pos == 0 ? order.size() - 1 : 0];
        SCOPED_TRACE("keeper at " + std::to_string(pos) + ": " + keeper);
        put(kept, keeper.c_str());
        put(kept, victim.c_str());
        ASSERT_EQ(reg_manifest_delete(kRepo, victim.c_str()), 0) << reg_storage_last_error();
        EXPECT_TRUE(fs::exists(body_file(h_kept)));
        EXPECT_TRUE(fs::exists(ct_file(h_kept)));
        EXPECT_TRUE(fs::exists(rev_link(h_kept)));
        char ct[REG_CONTENT_TYPE_BUF];
        char digest[REG_DIGEST_BUF];
        EXPECT_NE(reg_manifest_get(kRepo, keeper.c_str(), ct, digest), nullptr) << reg_storage_last_error();
        put(other, victim.c_str());
        put(other, keeper.c_str());
    }
    // The directory order the positions refer to has not changed.
    ASSERT_EQ(readdir_order(mdir() / "tags"), order);

    // Once its last tag goes, the manifest goes, also from the far end.
    const std::string &last = order.back();
    put(kept, last.c_str());
    ASSERT_EQ(reg_manifest_delete(kRepo, last.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(body_file(h_kept)));
    EXPECT_TRUE(fs::exists(body_file(h_other)));
}

// ---- Nothing outside the root -----------------------------------------------

TEST_F(ManifestTest, TraversalFormsStayInsideTheRoot)
{
    const std::string body = manifest();
    const std::string hex = sha256_hex(body);
    // Bait beside the root where "../" tags from repository "r" would lead:
    // tags/.. is _manifests, then r, repositories, root, and the parent.
    spit(parent_ / "outside" / "current" / "link", "sha256:" + hex);
    spit(parent_ / hex, body);
    put(body, "v1", nullptr, "r");
    const auto before = snapshot(parent_, root_);

    const std::string long_tag(5000, 'L');
    const char *kNames[] = {"../x", "a/../../b", "..", "/..", "r/..", "/abs/olute", "x\\y", "r"};
    const char *kRefs[] = {
        "..", ".", "x/y", "x\\y", "/abs", "../../../../../outside", "../../../../../../", "..\\..\\x", long_tag.c_str(),
        "v1"};
    for (const char *name : kNames) {
        for (const char *ref : kRefs) {
            SCOPED_TRACE(std::string(name) + " @ " + std::string(ref).substr(0, 40));
            char digest[REG_DIGEST_BUF];
            char ct[REG_CONTENT_TYPE_BUF];
            reg_manifest_put(name, ref, body.data(), body.size(), nullptr, digest);
            const char *got = reg_manifest_get(name, ref, ct, digest);
            // Only the one real tag of "r" (or one just stored inside the
            // root) may be found; the bait must never be.
            if (got) {
                EXPECT_STREQ(ref, "v1");
            }
            reg_manifest_delete(name, ref);
        }
        // The same through digest references.
        const std::string digest_ref = "sha256:" + hex;
        char digest[REG_DIGEST_BUF];
        reg_manifest_put(name, digest_ref.c_str(), body.data(), body.size(), nullptr, digest);
        reg_manifest_delete(name, digest_ref.c_str());
    }
    EXPECT_EQ(snapshot(parent_, root_), before);
    EXPECT_EQ(slurp(parent_ / "sentinel"), "keep me");
    // Names that the storage rule admits stay below repositories.
    EXPECT_TRUE(fs::is_directory(root_ / "repositories" / "abs" / "olute" / "_manifests"));
    EXPECT_TRUE(fs::is_directory(root_ / "repositories" / "x\\y" / "_manifests"));
}

} // namespace
