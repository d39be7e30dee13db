// Deleting a manifest by digest as the registry API means it: the manifest
// and every tag naming it go; other manifests and their tags stay.
#include <gtest/gtest.h>

#include <string>

#include "reg_storage.h"
#include "temp_root.h"

namespace {

std::string manifest_body(char layer_digit)
{
    const std::string d(64, layer_digit);
    return "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'c') +
           "\"},\"layers\":[{\"digest\":\"sha256:" + d + "\"}]}";
}

class PurgeTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(reg_storage_init(path("root").c_str()), 0) << reg_storage_last_error();
    }
    std::string put(const std::string &ref, const std::string &body)
    {
        char digest[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_put("library/app", ref.c_str(), body.data(), body.size(), nullptr, digest), 0)
            << reg_storage_last_error();
        return digest;
    }
    bool found(const std::string &ref)
    {
        char ct[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        return reg_manifest_get("library/app", ref.c_str(), ct, digest) != nullptr;
    }
};

TEST_F(PurgeTest, RemovesTheManifestAndEveryTagNamingIt)
{
    const std::string a = put("v1", manifest_body('1'));
    EXPECT_EQ(put("latest", manifest_body('1')), a);
    const std::string b = put("v2", manifest_body('2'));

    ASSERT_EQ(reg_manifest_delete_digest("library/app", a.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(found("v1"));
    EXPECT_FALSE(found("latest"));
    EXPECT_FALSE(found(a));
    const std::string hex = a.substr(7);
    const std::string dir = path("root/repositories/library/app/_manifests/");
    EXPECT_EQ(slurp(dir + hex), "<missing>");
    EXPECT_EQ(slurp(dir + hex + ".ct"), "<missing>");
    EXPECT_EQ(slurp(dir + "revisions/sha256/" + hex + "/link"), "<missing>");
    // The other manifest and its tag are untouched.
    EXPECT_TRUE(found("v2"));
    EXPECT_TRUE(found(b));
    EXPECT_STREQ(reg_tags_list_json("library/app"), "{\"name\":\"library/app\",\"tags\":[\"v2\"]}");
}

TEST_F(PurgeTest, ManifestStoredByDigestOnlyIsRemoved)
{
    const std::string body = manifest_body('3');
    const std::string d = put("keep", body);
    ASSERT_EQ(reg_manifest_delete("library/app", "keep"), 0);
    // Deleting the last tag already removed it: a second deletion is unknown.
    EXPECT_EQ(reg_manifest_delete_digest("library/app", d.c_str()), -1);
    // Stored by digest alone, without any tag.
    EXPECT_EQ(put(d, body), d);
    EXPECT_TRUE(found(d));
    ASSERT_EQ(reg_manifest_delete_digest("library/app", d.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(found(d));
}

TEST_F(PurgeTest, RefusesWhatIsNotStoredOrMalformed)
{
    const std::string stored = put("v1", manifest_body('4'));
    const std::string absent = "sha256:" + std::string(64, 'e');
    static const struct {
        const char *name;
        std::string digest;
        std::string message;
    } kCases[] = {
        {"library/app", absent, "manifest body not found: library/app@" + absent},
        {"library/app", "sha256:ABC", "invalid digest reference"},
        {"library/app", "latest", "invalid digest reference"},
        {"../escape", stored, "invalid repository name"},
        {"other/repo", stored, "manifest body not found: other/repo@" + stored},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name + std::string(" ") + c.digest);
        EXPECT_EQ(reg_manifest_delete_digest(c.name, c.digest.c_str()), -1);
        EXPECT_EQ(reg_storage_last_error(), c.message);
    }
    EXPECT_TRUE(found("v1"));
    EXPECT_EQ(reg_manifest_delete_digest(nullptr, stored.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

} // namespace
