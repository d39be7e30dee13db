// Content discovery: repository existence, the complete paged tag list and
// the catalog of full repository names. Every test builds its tree by hand
// below a fresh storage root, so what is listed (and what is not) is exactly
// what the test laid out.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reg_storage.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

const char kNotInit[] = "not initialized - call reg_storage_init first";
const char kSentinel[] = "sentinel";
const char kLink[] = "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A page as the caller sees it: the document and the next-page name.
struct Page {
    bool ok = false;
    std::string doc;
    std::string next;
};

std::string tags_doc(const std::string &name, const std::vector<std::string> &tags)
{
    std::string s = "{\"name\":\"" + name + "\",\"tags\":[";
    for (size_t i = 0; i < tags.size(); ++i)
        s += (i ? ",\"" : "\"") + tags[i] + "\"";
    return s + "]}";
}

std::string catalog_doc(const std::vector<std::string> &names)
{
    std::string s = "{\"repositories\":[";
    for (size_t i = 0; i < names.size(); ++i)
        s += (i ? ",\"" : "\"") + names[i] + "\"";
    return s + "]}";
}

// The names of a document written by tags_doc or catalog_doc, for names
// that need no escaping.
std::vector<std::string> names_of(const std::string &doc)
{
    std::vector<std::string> out;
    size_t open = doc.find('[');
    size_t close = doc.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return {"<malformed>"};
    std::string body = doc.substr(open + 1, close - open - 1);
    size_t pos = 0;
    while (pos < body.size()) {
        if (body[pos] != '"')
            return {"<malformed>"};
        size_t end = body.find('"', pos + 1);
        if (end == std::string::npos)
            return {"<malformed>"};
        out.push_back(body.substr(pos + 1, end - pos - 1));
        pos = end + 1;
        if (pos < body.size() && body[pos] == ',')
            ++pos;
    }
    return out;
}

class DiscoveryTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(reg_storage_init(dir_.c_str()), 0) << reg_storage_last_error();
    }

    std::string repo_dir(const std::string &name) const { return path("repositories/" + name); }

    void make_repo(const std::string &name) const { fs::create_directories(repo_dir(name) + "/_manifests"); }

    // A tag as the manifest store leaves it: tags/<tag>/current/link.
    void make_tag(const std::string &repo, const std::string &tag, const std::string &link = kLink) const
    {
        std::string dir = repo_dir(repo) + "/_manifests/tags/" + tag + "/current";
        fs::create_directories(dir);
        put_file(dir + "/link", link);
    }

    static Page tags(const char *name, int n, const char *last)
    {
        Page p;
        char next[REG_LIST_NAME_BUF];
        memset(next, 'x', sizeof next);
        const char *doc = reg_tags_page_json(name, n, last, next, sizeof next);
        if (doc) {
            p.ok = true;
            p.doc = doc;
            p.next = next;
        }
        return p;
    }

    static Page catalog(int n, const char *last)
    {
        Page p;
        char next[REG_LIST_NAME_BUF];
        memset(next, 'x', sizeof next);
        const char *doc = reg_catalog_page_json(n, last, next, sizeof next);
        if (doc) {
            p.ok = true;
            p.doc = doc;
            p.next = next;
        }
        return p;
    }
};

TEST_F(DiscoveryTest, RepoExistsLooksForManifestsDirectory)
{
    make_repo("library/app");
    fs::create_directories(repo_dir("empty")); // no _manifests
    fs::create_directories(repo_dir("file"));
    put_file(repo_dir("file") + "/_manifests", "not a dir"); // _manifests is a file

    struct Case {
        const char *name;
        int want;
    };
    static const Case kCases[] = {
        {"library/app", 1}, {"library", 0}, {"library/app/x", 0}, {"empty", 0}, {"file", 0}, {"nope", 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reg_repo_exists(c.name), c.want);
    }

    for (const char *bad : {"", "a/../b", "..", "a b", "a:b"}) {
        SCOPED_TRACE(bad);
        set_error("%s", kSentinel);
        EXPECT_EQ(reg_repo_exists(bad), -1);
        EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
    }
    EXPECT_EQ(reg_repo_exists(nullptr), -1);

    reg_storage_cleanup();
    EXPECT_EQ(reg_repo_exists("library/app"), -1);
    EXPECT_STREQ(reg_storage_last_error(), kNotInit);
}

TEST_F(DiscoveryTest, TagsAreThoseWithReadableLinksInByteOrder)
{
    for (const char *t : {"v1.9", "a", "app-1", "B", "v1.10", "app"})
        make_tag("r", t);
    make_tag("r", "empty-link", ""); // listed: the content is not examined
    fs::create_directories(repo_dir("r") + "/_manifests/tags/no-link/current");
    put_file(repo_dir("r") + "/_manifests/tags/plain-file", "x"); // not a directory

    Page p = tags("r", -1, nullptr);
    ASSERT_TRUE(p.ok) << reg_storage_last_error();
    EXPECT_EQ(p.doc, tags_doc("r", {"B", "a", "app", "app-1", "empty-link", "v1.10", "v1.9"}));
    EXPECT_EQ(p.next, "");
}

TEST_F(DiscoveryTest, Paging)
{
    for (const char *t : {"d", "a", "b"})
        make_tag("r", t);
    struct Case {
        int n;
        const char *last;
        std::vector<std::string> want;
        const char *next;
    };
    static const Case kCases[] = {
        {-1, nullptr, {"a", "b", "d"}, ""},
        {INT_MIN, "", {"a", "b", "d"}, ""},
        {3, nullptr, {"a", "b", "d"}, ""}, // exactly all: nothing follows
        {2, nullptr, {"a", "b"}, "b"},
        {2, "b", {"d"}, ""},
        {-1, "a", {"b", "d"}, ""},
        {1, "0", {"a"}, "a"},
        {1, "c", {"d"}, ""}, // last need not be listed
        {2, "a", {"b", "d"}, ""},
        {5, "d", {}, ""},
        {5, "e", {}, ""},
        {0, nullptr, {}, ""}, // n=0: an empty list, no next page
        {0, "a", {}, ""},
        {INT_MAX, nullptr, {"a", "b", "d"}, ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        Page p = tags("r", c.n, c.last);
        ASSERT_TRUE(p.ok) << reg_storage_last_error();
        EXPECT_EQ(p.doc, tags_doc("r", c.want));
        EXPECT_EQ(p.next, c.next);

        make_repo("a");
        make_repo("b");
        make_repo("d");
        Page cat = catalog(c.n, c.last);
        ASSERT_TRUE(cat.ok) << reg_storage_last_error();
        // The repository r holds the tags and sorts after all three.
        std::vector<std::string> want = c.want;
        if (c.n != 0 && (c.last == nullptr || strcmp(c.last, "r") < 0) &&
            (c.n < 0 || static_cast<size_t>(c.n) > want.size()))
            want.push_back("r");
        EXPECT_EQ(cat.doc, catalog_doc(want));
    }
}

// More tags than any fixed listing holds: every one is listed, and walking
// the pages by their next-page names gives the same complete list.
TEST_F(DiscoveryTest, EveryTagOfALargeDirectory)
{
    std::vector<std::string> all;
    for (int i = 0; i < 1100; ++i) {
        all.push_back("t" + std::to_string(i));
        make_tag("big", all.back());
    }
    std::sort(all.begin(), all.end());

    Page whole = tags("big", -1, nullptr);
    ASSERT_TRUE(whole.ok) << reg_storage_last_error();
    EXPECT_EQ(whole.doc, tags_doc("big", all));
    EXPECT_EQ(whole.next, "");

    std::vector<std::string> walked;
    std::string last;
    for (int pages = 0; pages < 100; ++pages) {
        Page p = tags("big", 97, last.c_str());
        ASSERT_TRUE(p.ok) << reg_storage_last_error();
        std::vector<std::string> got = names_of(p.doc);
        EXPECT_LE(got.size(), 97u);
        walked.insert(walked.end(), got.begin(), got.end());
        if (p.next.empty())
            break;
        EXPECT_EQ(p.next, got.back());
        last = p.next;
    }
    EXPECT_EQ(walked, all);
}

// Names that escape to six bytes a byte, laid out so that the result
// buffer holds the a-names and has a few hundred bytes to spare, the long
// b-name does not fit after them, and the short c-names after it would. The
// page must stop before b, without a gap, whatever order the directory
// yields them in; the next page goes on where it stopped.
//
// The order that shows a gap is a-names first, then b, then c-names. tmpfs
// lists a directory newest first, so on /dev/shm the names are created in
// the reverse of that order; elsewhere the order is the file system's.
TEST_F(DiscoveryTest, PageCutAtTheResultBuffer)
{
    std::string shm_root;
    char tmpl[] = "/dev/shm/reg_discovery_test.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
        shm_root = tmpl;
        reg_storage_cleanup();
        ASSERT_EQ(reg_storage_init(shm_root.c_str()), 0) << reg_storage_last_error();
    }
    const std::string root = shm_root.empty() ? dir_ : shm_root;
    auto tag = [&](const std::string &name) {
        std::string d = root + "/repositories/gap/_manifests/tags/" + name + "/current";
        fs::create_directories(d);
        put_file(d + "/link", kLink);
    };

    const std::string fill(250, '\x01');
    std::string fill_escaped;
    for (size_t k = 0; k < fill.size(); ++k)
        fill_escaped += "\\u0001";
    std::vector<std::string> first_page; // as written in the document
    std::vector<std::string> second_page = {"b" + fill_escaped};
    for (int i = 199; i >= 0; --i) {
        char name[16];
        snprintf(name, sizeof name, "c%03d", i);
        tag(name);
        second_page.insert(second_page.begin() + 1, name);
    }
    tag("b" + fill);
    for (int i = 694; i >= 0; --i) { // 695 entries of 1508 bytes: 1,048,060
        char name[16];
        snprintf(name, sizeof name, "a%04d", i);
        tag(name + fill);
        first_page.insert(first_page.begin(), name + fill_escaped);
    }

    Page first = tags("gap", -1, nullptr);
    Page rest = tags("gap", -1, first.next.c_str());
    if (!shm_root.empty()) {
        std::error_code ec;
        fs::remove_all(shm_root, ec);
    }
    ASSERT_TRUE(first.ok);
    EXPECT_LT(first.doc.size(), REG_RESULT_SIZE);
    EXPECT_EQ(first.doc, tags_doc("gap", first_page));
    // The next-page name is the tag as its directory spells it.
    EXPECT_EQ(first.next, "a0694" + fill);
    ASSERT_TRUE(rest.ok);
    EXPECT_EQ(rest.doc, tags_doc("gap", second_page));
    EXPECT_EQ(rest.next, "");
}

TEST_F(DiscoveryTest, NamesAreEscaped)
{
    make_tag("r", "q\"b\\c\x01\xc3\xa9");
    Page p = tags("r", -1, nullptr);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.doc, "{\"name\":\"r\",\"tags\":[\"q\\\"b\\\\c\\u0001\xc3\xa9\"]}");
}

TEST_F(DiscoveryTest, MissingRepositoryGivesEmptyList)
{
    Page p = tags("library/none", -1, nullptr);
    ASSERT_TRUE(p.ok) << reg_storage_last_error();
    EXPECT_EQ(p.doc, tags_doc("library/none", {}));

    fs::remove_all(path("repositories"));
    Page c = catalog(-1, nullptr);
    ASSERT_TRUE(c.ok) << reg_storage_last_error();
    EXPECT_EQ(c.doc, catalog_doc({}));
}

TEST_F(DiscoveryTest, CatalogListsNestedRepositoriesByFullName)
{
    for (const char *r : {"library/app", "library/app/sub", "library-x", "a", "b/c/d"})
        make_repo(r);
    fs::create_directories(repo_dir("library/empty"));                  // no _manifests
    fs::create_directories(repo_dir("x..y/_manifests"));                // refused by the name rule
    fs::create_directories(repo_dir("library/app/_manifests/tags/v1")); // never entered
    fs::create_directories(repo_dir("library/app/_manifests/z/_manifests"));
    fs::create_directories(repo_dir("plain"));
    put_file(repo_dir("plain") + "/_manifests", "file");
    // A link to a repository elsewhere is not followed.
    fs::create_directories(path("outside/evil/_manifests"));
    fs::create_directory_symlink(path("outside"), repo_dir("link"));
    fs::create_directory_symlink(path("outside/evil"), repo_dir("library/evil"));

    Page p = catalog(-1, nullptr);
    ASSERT_TRUE(p.ok) << reg_storage_last_error();
    // '-' (0x2D) sorts before '/' (0x2F).
    EXPECT_EQ(p.doc, catalog_doc({"a", "b/c/d", "library-x", "library/app", "library/app/sub"}));
    EXPECT_EQ(p.next, "");

    struct Case {
        int n;
        const char *last;
        std::vector<std::string> want;
        const char *next;
    };
    static const Case kCases[] = {
        {2, nullptr, {"a", "b/c/d"}, "b/c/d"},
        {2, "b/c/d", {"library-x", "library/app"}, "library/app"},
        {2, "library/app", {"library/app/sub"}, ""},
        {-1, "library", {"library-x", "library/app", "library/app/sub"}, ""},
        {1, "b", {"b/c/d"}, "b/c/d"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        Page q = catalog(c.n, c.last);
        ASSERT_TRUE(q.ok) << reg_storage_last_error();
        EXPECT_EQ(q.doc, catalog_doc(c.want));
        EXPECT_EQ(q.next, c.next);
    }
}

// Names of at most 255 bytes are listed, however deep; longer ones are not.
TEST_F(DiscoveryTest, CatalogNameLengthBound)
{
    std::string seg(50, 's');
    std::string name255 = seg + "/" + seg + "/" + seg + "/" + seg + "/" + std::string(51, 't');
    ASSERT_EQ(name255.size(), 255u);
    ASSERT_NE(name255.back(), '/');
    make_repo(name255);
    make_repo(name255 + "e");     // 256 bytes
    make_repo(name255 + "/deep"); // 260 bytes

    Page p = catalog(-1, nullptr);
    ASSERT_TRUE(p.ok) << reg_storage_last_error();
    EXPECT_EQ(p.doc, catalog_doc({name255}));
}

TEST_F(DiscoveryTest, Failures)
{
    make_tag("r", "a");
    Page before = tags("r", -1, nullptr);
    ASSERT_TRUE(before.ok);

    char next[REG_LIST_NAME_BUF];
    struct Case {
        const char *label;
        const char *name;
        size_t next_size;
        const char *message;
    };
    static const Case kCases[] = {
        {"null name", nullptr, sizeof next, "repo_name is NULL"},
        {"invalid name", "a/../b", sizeof next, "invalid repository name"},
        {"small next buffer", "r", REG_LIST_NAME_BUF - 1, "next-page buffer too small"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        set_error("%s", kSentinel);
        EXPECT_EQ(reg_tags_page_json(c.name, -1, nullptr, next, c.next_size), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
    }
    set_error("%s", kSentinel);
    EXPECT_EQ(reg_catalog_page_json(-1, nullptr, next, 10), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "next-page buffer too small");
    // The result buffer still holds the last document.
    EXPECT_EQ(std::string(s_result), before.doc);

    // A caller that does not want the next-page name passes none.
    EXPECT_NE(reg_tags_page_json("r", 0, nullptr, nullptr, 0), nullptr);
    EXPECT_NE(reg_catalog_page_json(1, nullptr, nullptr, 0), nullptr);

    reg_storage_cleanup();
    EXPECT_EQ(reg_tags_page_json("r", -1, nullptr, next, sizeof next), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotInit);
    EXPECT_EQ(reg_catalog_page_json(-1, nullptr, next, sizeof next), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotInit);
}

} // namespace
