// Path builders of the on-disk tree. They read s_root only, so the root is
// set directly and nothing touches the disk.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage_internal.h"

namespace {

constexpr const char *kHex = "ab34567890abcdef1234567890abcdef1234567890abcdef1234567890abcdef";

class Layout : public ::testing::Test {
protected:
    void SetUp() override { snprintf(s_root, sizeof s_root, "%s", "/srv/reg"); }
    void TearDown() override { s_root[0] = '\0'; }
};

TEST_F(Layout, Paths)
{
    const std::string digest = std::string("sha256:") + kHex;
    const std::string uuid = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
    const std::string hex = kHex;
    char out[REG_PATH_BUF];

    struct Case {
        const char *what;
        std::string got;
        std::string expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char *what, const std::string &expected) { cases.push_back({what, out, expected}); };

    repos_dir(out, sizeof out);
    add("repos_dir", "/srv/reg/repositories");
    blob_path_for_digest(digest.c_str(), out, sizeof out);
    add("blob", "/srv/reg/blobs/sha256/ab/" + hex);
    upload_path_for_uuid(uuid.c_str(), out, sizeof out);
    add("upload", "/srv/reg/uploads/" + uuid + ".part");
    manifest_body_path("library/app", kHex, out, sizeof out);
    add("body", "/srv/reg/repositories/library/app/_manifests/" + hex);
    manifest_ct_path("library/app", kHex, out, sizeof out);
    add("ct", "/srv/reg/repositories/library/app/_manifests/" + hex + ".ct");
    manifest_rev_dir("library/app", kHex, out, sizeof out);
    add("rev dir", "/srv/reg/repositories/library/app/_manifests/revisions/sha256/" + hex);
    manifest_rev_path("library/app", kHex, out, sizeof out);
    add("rev link", "/srv/reg/repositories/library/app/_manifests/revisions/sha256/" + hex + "/link");
    manifest_tags_dir("library/app", out, sizeof out);
    add("tags dir", "/srv/reg/repositories/library/app/_manifests/tags");
    manifest_tag_path("library/app", "latest", out, sizeof out);
    add("tag link", "/srv/reg/repositories/library/app/_manifests/tags/latest/current/link");

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.got, c.expected);
    }
}

// Outputs are cut at the caller's size and terminated; the ".ct" suffix is
// cut or dropped when the body path fills the buffer.
TEST_F(Layout, OutputIsCutAtCallersSize)
{
    char body[REG_PATH_BUF];
    manifest_body_path("app", kHex, body, sizeof body);
    const size_t body_len = strlen(body);

    struct Case {
        size_t size;
        std::string expected;
    };
    const Case kCases[] = {
        {body_len + 4, std::string(body) + ".ct"},
        {body_len + 3, std::string(body) + ".c"},
        {body_len + 1, std::string(body)},
        {body_len, std::string(body, body_len - 1)},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.size);
        char out[REG_PATH_BUF];
        memset(out, 'X', sizeof out);
        manifest_ct_path("app", kHex, out, c.size);
        EXPECT_EQ(std::string(out), c.expected);
        EXPECT_EQ(out[c.size], 'X') << "wrote past the given size";
    }

    char small[12];
    memset(small, 'X', sizeof small);
    manifest_tag_path("library/app", "latest", small, 10);
    EXPECT_STREQ(small, "/srv/reg/");
    EXPECT_EQ(small[10], 'X');
}

} // namespace
