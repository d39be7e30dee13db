// Opening a storage root: the tree and config.json it creates, what it
// leaves alone, the root's normalisation, and every failure's message and
// resulting state.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "temp_root.h"

namespace {

constexpr const char *kConfigText = "{\n"
                                    "  \"schemaVersion\": 2,\n"
                                    "  \"title\": \"halvane-registry-storage\",\n"
                                    "  \"version\": \"1.0.0\",\n"
                                    "  \"maxUploadSize\": -1\n"
                                    "}\n";

const std::set<std::string> kFreshTree = {"blobs",        "blobs/sha256",     "config.json",
                                          "repositories", "repository-holds", "uploads"};

using StorageInit = TempDirTest;

TEST_F(StorageInit, FreshRootGetsExactlyTheTree)
{
    set_error("sentinel");
    const std::string root = path("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(tree(root), kFreshTree);
    EXPECT_EQ(slurp(root + "/config.json"), kConfigText);
    EXPECT_STREQ(s_root, root.c_str());
    EXPECT_EQ(s_ready, 1);
    EXPECT_EQ(require_ready(), 0);
    EXPECT_STREQ(reg_storage_last_error(), "");
    EXPECT_NE(s_seed, 0u);
}

TEST_F(StorageInit, NestedRootIsCreatedWithParents)
{
    const std::string root = path("a/b/c");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(tree(root), kFreshTree);
}

TEST_F(StorageInit, ExistingStorageIsLeftAlone)
{
    const std::string root = path("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    put_file(root + "/config.json", "operator's own");
    reg_storage_cleanup();

    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(tree(root), kFreshTree);
    EXPECT_EQ(slurp(root + "/config.json"), "operator's own");
}

TEST_F(StorageInit, SecondRootSwitchesAndReseeds)
{
    const std::string first = path("one");
    const std::string second = path("two");
    ASSERT_EQ(reg_storage_init(first.c_str()), 0);
    s_seed = 1;
    ASSERT_EQ(reg_storage_init(second.c_str()), 0);
    EXPECT_STREQ(s_root, second.c_str());
    EXPECT_EQ(tree(second), kFreshTree);
    EXPECT_NE(s_seed, 1u);
    EXPECT_NE(s_seed, 0u);
}

// One trailing separator goes; a doubled one loses only its last character.
TEST_F(StorageInit, TrailingSeparator)
{
    struct Case {
        const char *given;
        const char *kept;
    };
    static const Case kCases[] = {
        {"store", "store"},
        {"store/", "store"},
        {"store//", "store/"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.given);
        ASSERT_EQ(reg_storage_init(path(c.given).c_str()), 0);
        EXPECT_EQ(std::string(s_root), path(c.kept));
    }
}

TEST_F(StorageInit, EmptyRootKeepsReadyStorage)
{
    const std::string root = path("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    for (const char *bad : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(bad ? "empty" : "null");
        EXPECT_EQ(reg_storage_init(bad), -1);
        EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
        EXPECT_EQ(s_ready, 1);
        EXPECT_STREQ(s_root, root.c_str());
    }
}

// A root of 3499 characters is opened (built from components the file
// system accepts); one more character is refused before anything happens.
TEST_F(StorageInit, RootLengthLimit)
{
    std::string root = dir_;
    while (root.size() < 3499) {
        size_t room = 3499 - root.size() - 1;
        root += "/" + std::string(room < 200 ? room : 200, 'd');
    }
    ASSERT_EQ(root.size(), 3499u);
    ASSERT_NE(root.back(), '/');
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    EXPECT_EQ(tree(root), kFreshTree);

    const std::string longer = root + "x";
    EXPECT_EQ(reg_storage_init(longer.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
    EXPECT_EQ(s_ready, 0);
    EXPECT_STREQ(s_root, "");
    EXPECT_FALSE(std::filesystem::exists(longer));
}

// Each step's failure names what failed, leaves the storage closed with the
// new root recorded, and keeps what earlier steps created.
TEST_F(StorageInit, FailuresRecordTheirMessage)
{
    struct Case {
        const char *obstacle; // below the root
        bool obstacle_is_dir;
        const char *root_rel; // root relative to the test directory
        const char *message;  // with <root> for the root
    };
    static const Case kCases[] = {
        {nullptr, false, "file/sub", "mkdirs failed: <root>"},
        {nullptr, false, "file", "mkdirs failed: <root>"},
        {"blobs", false, "store", "mkdirs failed: <root>/blobs/sha256"},
        {"repositories", false, "store", "mkdirs failed: <root>/repositories"},
        {"uploads", false, "store", "mkdirs failed: <root>/uploads"},
        {"config.json/x", true, "store", "write config.json failed"},
    };
    put_file(path("file"), "a regular file");
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.message);
        const std::string root = path(c.root_rel);
        if (c.obstacle) {
            std::filesystem::remove_all(root);
            std::filesystem::create_directories(root);
            if (c.obstacle_is_dir)
                std::filesystem::create_directories(root + "/" + c.obstacle);
            else
                put_file(root + "/" + c.obstacle, "in the way");
        }
        ASSERT_EQ(reg_storage_init(path("good").c_str()), 0);

        EXPECT_EQ(reg_storage_init(root.c_str()), -1);
        std::string expected = c.message;
        size_t at = expected.find("<root>");
        if (at != std::string::npos)
            expected.replace(at, 6, root);
        EXPECT_EQ(std::string(reg_storage_last_error()), expected);
        EXPECT_EQ(s_ready, 0);
        EXPECT_STREQ(s_root, root.c_str());
        EXPECT_EQ(require_ready(), -1);
    }
    // Directories made before the failing step stay.
    EXPECT_TRUE(std::filesystem::is_directory(path("store/blobs/sha256")));
    EXPECT_TRUE(std::filesystem::is_directory(path("store/repositories")));
}

TEST_F(StorageInit, CleanupClosesButLeavesDiskAndError)
{
    const std::string root = path("store");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    set_error("earlier failure");
    s_seed = 77;
    reg_storage_cleanup();
    EXPECT_EQ(s_ready, 0);
    EXPECT_STREQ(s_root, "");
    EXPECT_EQ(s_seed, 77u);
    EXPECT_STREQ(reg_storage_last_error(), "earlier failure");
    EXPECT_EQ(tree(root), kFreshTree);

    EXPECT_EQ(require_ready(), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

TEST(StorageErrors, LastErrorIsTheBufferAndNeverNull)
{
    EXPECT_EQ(reg_storage_last_error(), static_cast<const char *>(s_error));
}

TEST(StorageErrors, LongMessageIsCutTo1023)
{
    const std::string long_text(2000, 'm');
    set_error("%s!", long_text.c_str());
    EXPECT_EQ(std::string(reg_storage_last_error()), long_text.substr(0, 1023));
    set_error("short %d", 5);
    EXPECT_STREQ(reg_storage_last_error(), "short 5");
}

} // namespace
