// File-system primitives: joining, directory chains, existence and size,
// whole-file reads and atomic writes, removal and bounded listings.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "temp_root.h"

namespace {

namespace fs = std::filesystem;

TEST(PathJoin, JoinsWithOneSlashAndCuts)
{
    struct Case {
        const char *first;
        const char *second;
        size_t size;
        const char *expected;
    };
    static const Case kCases[] = {
        {"a", "b", REG_PATH_BUF, "a/b"}, {"", "b", REG_PATH_BUF, "/b"}, {"a/", "b", REG_PATH_BUF, "a//b"},
        {"a", "", REG_PATH_BUF, "a/"},   {"abc", "def", 8, "abc/def"},  {"abc", "def", 7, "abc/de"},
        {"abc", "def", 3, "ab"},         {"abc", "def", 1, ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.first) + " + " + c.second + " in " + std::to_string(c.size));
        char out[REG_PATH_BUF + 1];
        memset(out, 'X', sizeof out);
        path_join(out, c.size, c.first, c.second);
        EXPECT_STREQ(out, c.expected);
        EXPECT_EQ(out[c.size], 'X') << "wrote past the given size";
    }
}

TEST(Xstrdup, CopiesToOwnBlock)
{
    const char text[] = "repo/name";
    char *copy = xstrdup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    free(copy);
}

using Mkdirs = TempDirTest;

TEST_F(Mkdirs, CreatesChainsAndAcceptsWhatExists)
{
    static const char *kPaths[] = {"a/b/c", "a/b/c", "a/b/c/", "d//e", "f///", "a"};
    for (const char *rel : kPaths) {
        SCOPED_TRACE(rel);
        EXPECT_EQ(mkdirs(path(rel).c_str()), 0);
        EXPECT_TRUE(fs::is_directory(path(rel)));
    }
    EXPECT_TRUE(fs::is_directory(path("d/e")));
}

// Both separators split, so a backslash also opens a level.
TEST_F(Mkdirs, BackslashAlsoSplits)
{
    ASSERT_EQ(mkdirs(path("a\\b/c").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(path("a")));
    EXPECT_TRUE(fs::is_directory(path("a\\b")));
    EXPECT_TRUE(fs::is_directory(path("a\\b/c")));
}

TEST_F(Mkdirs, RefusesEmptyAndOverlongPaths)
{
    EXPECT_EQ(mkdirs(""), -1);

    std::string overlong = path("first/") + std::string(REG_PATH_BUF, 'x');
    overlong.resize(REG_PATH_BUF);
    EXPECT_EQ(mkdirs(overlong.c_str()), -1);
    EXPECT_FALSE(fs::exists(path("first"))) << "touched the file system";
}

// 4095 characters is the longest path attempted, and it works.
TEST_F(Mkdirs, LongestPathIsAttempted)
{
    std::string p = dir_;
    while (p.size() < REG_PATH_BUF - 1) {
        size_t room = REG_PATH_BUF - 1 - p.size() - 1;
        p += "/" + std::string(room < 200 ? room : 200, 'p');
    }
    ASSERT_EQ(p.size(), REG_PATH_BUF - 1);
    ASSERT_NE(p.back(), '/');
    EXPECT_EQ(mkdirs(p.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(p));
}

// Success means a usable directory: a regular file in the way fails,
// whether it is the last component or a parent.
TEST_F(Mkdirs, FileInTheWayFails)
{
    put_file(path("plain"), "x");
    EXPECT_EQ(mkdirs(path("plain").c_str()), -1);
    EXPECT_EQ(mkdirs(path("plain/sub").c_str()), -1);
    EXPECT_TRUE(fs::is_regular_file(path("plain")));
}

using Attributes = TempDirTest;

TEST_F(Attributes, ExistsAndSizeByKind)
{
    put_file(path("empty"), "");
    put_file(path("five"), "12345");
    fs::create_directory(path("dir"));
    fs::create_symlink(path("five"), path("link-to-file"));
    fs::create_directory_symlink(path("dir"), path("link-to-dir"));
    fs::create_symlink(path("nowhere"), path("dangling"));

    struct Case {
        const char *rel;
        int is_file;
        int is_dir;
        int64_t size; // -2: whatever the file system reports for a directory
    };
    static const Case kCases[] = {
        {"empty", 1, 0, 0},        {"five", 1, 0, 5},         {"dir", 0, 1, -2},      {"missing", 0, 0, -1},
        {"link-to-file", 1, 0, 5}, {"link-to-dir", 0, 1, -2}, {"dangling", 0, 0, -1}, {"five/sub", 0, 0, -1},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        const std::string p = path(c.rel);
        EXPECT_EQ(file_exists(p.c_str()), c.is_file);
        EXPECT_EQ(dir_exists(p.c_str()), c.is_dir);
        if (c.size == -2) {
            EXPECT_GE(file_size(p.c_str()), 0);
        } else {
            EXPECT_EQ(file_size(p.c_str()), c.size);
        }
    }
}

using ReadFile = TempDirTest;

TEST_F(ReadFile, TruncatesSilentlyToCapacity)
{
    std::string content(200, 'r');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)('a' + i % 26);
    put_file(path("f"), content);

    char buf[128];
    memset(buf, 'X', sizeof buf);
    uint64_t len = 999;
    ASSERT_EQ(read_file(path("f").c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 127u);
    EXPECT_EQ(buf[127], '\0');
    EXPECT_EQ(std::string(buf), content.substr(0, 127));
}

TEST_F(ReadFile, KeepsZeroBytesAndCountsThem)
{
    const std::string content("ab\0cd\0", 6);
    put_file(path("f"), content);
    char buf[64];
    uint64_t len = 0;
    ASSERT_EQ(read_file(path("f").c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(std::string(buf, 7), content + std::string(1, '\0'));
    // The length pointer is optional.
    EXPECT_EQ(read_file(path("f").c_str(), buf, sizeof buf, nullptr), 0);
}

TEST_F(ReadFile, EmptyFileAndFailures)
{
    put_file(path("empty"), "");
    char buf[16];
    memset(buf, 'X', sizeof buf);
    uint64_t len = 999;
    ASSERT_EQ(read_file(path("empty").c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(buf, "");

    fs::create_directory(path("dir"));
    for (const char *rel : {"missing", "dir"}) {
        SCOPED_TRACE(rel);
        len = 999;
        EXPECT_EQ(read_file(path(rel).c_str(), buf, sizeof buf, &len), -1);
        EXPECT_EQ(len, 999u);
    }
}

class WriteFile : public TempDirTest {
protected:
    // The directory must hold exactly these names afterwards: no temporary
    // file may survive, on success or failure.
    void expect_entries(const std::set<std::string> &names)
    {
        std::set<std::string> found;
        for (const auto &e : fs::directory_iterator(dir_))
            found.insert(e.path().filename().string());
        EXPECT_EQ(found, names);
    }
};

TEST_F(WriteFile, CreatesAndReplacesWholeContent)
{
    const std::string p = path("target");
    ASSERT_EQ(write_file(p.c_str(), "a longer first content", 22), 0);
    EXPECT_EQ(slurp(p), "a longer first content");
    ASSERT_EQ(write_file(p.c_str(), "b\0c", 3), 0);
    EXPECT_EQ(slurp(p), std::string("b\0c", 3));
    ASSERT_EQ(write_file(p.c_str(), nullptr, 0), 0);
    EXPECT_EQ(slurp(p), "");
    expect_entries({"target"});
}

TEST_F(WriteFile, MissingDirectoryFails)
{
    EXPECT_EQ(write_file(path("nodir/target").c_str(), "x", 1), -1);
    expect_entries({});
}

// A directory cannot be replaced by a file: the write fails, the directory
// and its content stay, and the temporary file is gone.
TEST_F(WriteFile, DirectoryTargetFailsCleanly)
{
    fs::create_directories(path("target/inner"));
    EXPECT_EQ(write_file(path("target").c_str(), "data", 4), -1);
    EXPECT_TRUE(fs::is_directory(path("target/inner")));
    expect_entries({"target"});
}

// A write that fails half way (here: the file-size limit, which binds root
// too) leaves the previous content whole and no temporary file behind.
TEST_F(WriteFile, FailedWriteKeepsPreviousFile)
{
    const std::string p = path("target");
    put_file(p, "previous content");

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    const std::string big(4096, 'n');
    int rc = write_file(p.c_str(), big.data(), big.size());

    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(slurp(p), "previous content");
    expect_entries({"target"});
}

// A temporary name that would not fit the path buffer is refused rather
// than cut (a cut name could be some other file).
TEST_F(WriteFile, PathWithoutRoomForTemporaryNameFails)
{
    const size_t len = REG_PATH_BUF - 6;
    std::string p = dir_;
    while (p.size() < len)
        p += "/" + std::string(200, 'w');
    p.resize(len);
    ASSERT_NE(p.back(), '/');
    const std::string parent = p.substr(0, p.rfind('/'));
    ASSERT_EQ(mkdirs(parent.c_str()), 0);
    EXPECT_EQ(write_file(p.c_str(), "x", 1), -1);
    EXPECT_FALSE(fs::exists(p));
    EXPECT_TRUE(fs::is_empty(parent));
}

using RemoveFile = TempDirTest;

TEST_F(RemoveFile, RemovesFilesOnly)
{
    put_file(path("f"), "x");
    fs::create_directory(path("d"));
    EXPECT_EQ(remove_file(path("f").c_str()), 0);
    EXPECT_FALSE(fs::exists(path("f")));
    EXPECT_EQ(remove_file(path("f").c_str()), 0) << "already gone";
    EXPECT_EQ(remove_file(path("d").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(path("d")));
}

// /proc entries are files that not even root may unlink.
TEST(RemoveFileFailure, UndeletableFileFails)
{
    ASSERT_EQ(file_exists("/proc/self/status"), 1);
    EXPECT_EQ(remove_file("/proc/self/status"), -1);
}

class ListDir : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        listing_ = std::make_unique<dir_listing>();
        listing_->count = 77;
        listing_->truncated = 77;
    }

    void make_files(int n)
    {
        for (int i = 0; i < n; ++i)
            put_file(path("f" + std::to_string(i)), "");
    }

    std::set<std::string> names() const
    {
        std::set<std::string> out;
        for (int i = 0; i < listing_->count; ++i)
            out.insert(listing_->entries[i].name);
        return out;
    }

    std::unique_ptr<dir_listing> listing_;
};

TEST_F(ListDir, MissingOrFileFailsWithEmptyListing)
{
    put_file(path("file"), "x");
    for (const char *rel : {"missing", "file"}) {
        SCOPED_TRACE(rel);
        listing_->count = 77;
        listing_->truncated = 77;
        EXPECT_EQ(list_dir(path(rel).c_str(), listing_.get()), -1);
        EXPECT_EQ(listing_->count, 0);
        EXPECT_EQ(listing_->truncated, 0);
    }
}

TEST_F(ListDir, EmptyDirectory)
{
    EXPECT_EQ(list_dir(dir_.c_str(), listing_.get()), 0);
    EXPECT_EQ(listing_->count, 0);
    EXPECT_EQ(listing_->truncated, 0);
}

// Links count as what they point to; hidden entries are listed; "." and
// ".." never are.
TEST_F(ListDir, KindsOfEntries)
{
    put_file(path("file"), "x");
    put_file(path(".hidden"), "x");
    fs::create_directory(path("dir"));
    fs::create_directory_symlink(path("dir"), path("link-to-dir"));
    fs::create_symlink(path("file"), path("link-to-file"));
    fs::create_symlink(path("nowhere"), path("dangling"));

    ASSERT_EQ(list_dir(dir_.c_str(), listing_.get()), 0);
    std::map<std::string, int> got;
    for (int i = 0; i < listing_->count; ++i)
        got[listing_->entries[i].name] = listing_->entries[i].is_dir;
    const std::map<std::string, int> expected = {
        {"file", 0}, {".hidden", 0}, {"dir", 1}, {"link-to-dir", 1}, {"link-to-file", 0}, {"dangling", 0},
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(listing_->truncated, 0);
}

TEST_F(ListDir, FullListingIsNotTruncated)
{
    make_files(512);
    ASSERT_EQ(list_dir(dir_.c_str(), listing_.get()), 0);
    EXPECT_EQ(listing_->count, 512);
    EXPECT_EQ(listing_->truncated, 0);
    EXPECT_EQ(names().size(), 512u);
}

TEST_F(ListDir, OneMoreEntryIsCut)
{
    make_files(513);
    ASSERT_EQ(list_dir(dir_.c_str(), listing_.get()), 0);
    EXPECT_EQ(listing_->count, 512);
    EXPECT_EQ(listing_->truncated, 1);
    const std::set<std::string> got = names();
    EXPECT_EQ(got.size(), 512u) << "duplicates in the listing";
    for (const std::string &n : got)
        EXPECT_TRUE(fs::is_regular_file(path(n))) << n;
}

} // namespace
