// Tag list and catalog: what is listed, byte order, escapes, paging, and
// that a document is written whole or not at all. xstrdup and calloc are
// wrapped at link time (-Wl,--wrap) so that a test can make one allocation
// fail; everything else runs against a real storage root.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "reg_storage.h"
#include "storage_internal.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

// Calls to let through before one fails; -1: never fail.
int g_xstrdup_fail_after = -1;
bool g_fail_name_array = false;

} // namespace

extern "C" {
// char *xstrdup(const char *), by its mangled name.
char *__real__Z7xstrdupPKc(const char *s);
void *__real_calloc(size_t count, size_t size);

char *__wrap__Z7xstrdupPKc(const char *s)
{
    if (g_xstrdup_fail_after >= 0 && g_xstrdup_fail_after-- == 0) {
        return nullptr;
    }
    return __real__Z7xstrdupPKc(s);
}

void *__wrap_calloc(size_t count, size_t size)
{
    // Only the name array has this shape.
    if (g_fail_name_array && count == 1024 && size == sizeof(char *)) {
        return nullptr;
    }
    return __real_calloc(count, size);
}
}

namespace {

const char kNotInit[] = "not initialized - call reg_storage_init first";
const char kSentinel[] = "sentinel";
const char kLink[] = "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class ListingTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = dir_ + "/root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    void TearDown() override
    {
        g_xstrdup_fail_after = -1;
        g_fail_name_array = false;
        TempDirTest::TearDown();
    }

    std::string tags_dir(const std::string &repo) const { return root_ + "/repositories/" + repo + "/_manifests/tags"; }

    // A tag as the manifest store leaves it: tags/<tag>/current/link.
    void add_tag(const std::string &repo, const std::string &tag, const std::string &link = kLink) const
    {
        std::string current = tags_dir(repo) + "/" + tag + "/current";
        fs::create_directories(current);
        put_file(current + "/link", link);
    }

    void add_repo_dir(const std::string &name) const { fs::create_directories(root_ + "/repositories/" + name); }

    // Fills the result buffer with a known document, to see that a failing
    // call leaves it alone.
    static std::string fill_result()
    {
        const char *doc = reg_catalog_json(0, nullptr);
        EXPECT_NE(doc, nullptr);
        return doc ? doc : "";
    }

    std::string root_;
};

std::string str(const char *doc)
{
    return doc ? doc : "<null>";
}

// ---- json_escape_append, str_cmp, sort_str --------------------------------

TEST(JsonEscapeAppend, EscapesEveryByteClass)
{
    struct Case {
        const char *what;
        std::string src;
        std::string expected;
    };
    const Case kCases[] = {
        {"plain", "library/app-1.0_x", "library/app-1.0_x"},
        {"short escapes", "\"\\\b\t\n\f\r", "\\\"\\\\\\b\\t\\n\\f\\r"},
        {"other control bytes", "\x01\x1f\x0b\x7f", "\\u0001\\u001f\\u000b\x7f"},
        {"bytes from 0x80 pass", "caf\xc3\xa9\xff", "caf\xc3\xa9\xff"},
        {"empty", "", ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        char buf[128];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(json_escape_append(buf, sizeof buf, c.src.c_str()), c.expected.size());
        EXPECT_EQ(std::string(buf), c.expected);
    }
}

TEST(JsonEscapeAppend, StopsBeforeAByteThatMightNotFit)
{
    struct Case {
        uint64_t cap;
        const char *src;
        uint64_t written;
        const char *text; // null: nothing at all written
    };
    const Case kCases[] = {
        {0, "abc", 0, nullptr},        {1, "abc", 0, ""},           {8, "\x01", 0, ""},
        {9, "\x01\x02", 6, "\\u0001"}, {9, "ab", 1, "a"},           {10, "ab", 2, "ab"},
        {10, "\"\"", 2, "\\\""},       {11, "\"\"", 4, "\\\"\\\""}, {64, nullptr, 0, ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(testing::Message() << "cap " << c.cap << " src " << (c.src ? c.src : "(null)"));
        char buf[64];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(json_escape_append(buf, c.cap, c.src), c.written);
        if (c.text) {
            EXPECT_STREQ(buf, c.text);
        } else {
            EXPECT_EQ(buf[0], 'Z');
        }
        // Never a byte beyond the capacity.
        for (uint64_t i = c.cap; i < sizeof buf; ++i) {
            ASSERT_EQ(buf[i], 'Z') << i;
        }
    }
}

TEST(SortStr, OrdersByUnsignedBytesAndKeepsEqualNamesInOrder)
{
    struct Case {
        const char *a;
        const char *b;
        int sign;
    };
    const Case kCases[] = {
        {"B", "a", -1},      {"v1.10", "v1.9", -1}, {"app", "app-1", -1}, {"z", "\x80", -1},
        {"same", "same", 0}, {"", "", 0},           {"b", "a", 1},        {"ab", "a", 1},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        int r = str_cmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign);
    }

    char first_x[] = "x";
    char second_x[] = "x";
    std::vector<std::string> input = {"v1.9", "\x80", "app-1", "a", "B", "v1.10", "app"};
    std::vector<char *> names;
    for (std::string &s : input) {
        names.push_back(s.data());
    }
    names.insert(names.begin() + 2, first_x);
    names.push_back(second_x);
    sort_str(names.data(), static_cast<int>(names.size()));
    std::vector<std::string> sorted(names.begin(), names.end());
    const std::vector<std::string> expected = {"B", "a", "app", "app-1", "v1.10", "v1.9", "x", "x", "\x80"};
    EXPECT_EQ(sorted, expected);
    EXPECT_EQ(names[6], first_x);
    EXPECT_EQ(names[7], second_x);
}

// ---- whole documents or none -----------------------------------------------

// No directory of a real storage holds enough names to outgrow the result
// buffer (at most 512 names of at most 255 bytes on Linux file systems, each
// byte escaping to 6: about 785 KB of 1 MiB), so the bound is shown on the
// renderer with small capacities: every capacity yields the whole document
// or a failure that leaves the destination untouched, never a cut.
TEST(ListingRender, WritesTheWholeDocumentOrNothing)
{
    char n1[] = "a\"b";
    char n2[] = "\x01z";
    char n3[] = "plain";
    char *names[] = {n1, n2, n3};
    struct Case {
        const char *what;
        const char *repo;
        std::string expected;
    };
    const Case kCases[] = {
        {"tag list", "lib\\app", "{\"name\":\"lib\\\\app\",\"tags\":[\"a\\\"b\",\"\\u0001z\",\"plain\"]}"},
        {"catalog", nullptr, "{\"repositories\":[\"a\\\"b\",\"\\u0001z\",\"plain\"]}"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        bool fitted = false;
        for (uint64_t cap = 0; cap <= c.expected.size() + 16; ++cap) {
            SCOPED_TRACE(cap);
            char buf[256];
            memset(buf, 'Z', sizeof buf);
            int rc = listing_render(buf, cap, c.repo, names, 3);
            if (rc == 0) {
                EXPECT_EQ(std::string(buf), c.expected);
                fitted = true;
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_FALSE(fitted) << "a larger capacity failed after a smaller one fitted";
                for (char ch : buf) {
                    ASSERT_EQ(ch, 'Z');
                }
            }
        }
        EXPECT_TRUE(fitted);
        // The escape keeps 8 bytes of margin per name, so the document needs a
        // little more than its length, but never less.
        char buf[256];
        EXPECT_EQ(listing_render(buf, c.expected.size(), c.repo, names, 3), -1);
        EXPECT_EQ(listing_render(buf, c.expected.size() + 9, c.repo, names, 3), 0);
    }
}

// The largest tag list a Linux storage can hold: 512 tags whose 255-byte
// names are all control bytes. It comes out whole and parses back to the
// same names.
TEST_F(ListingTest, LargestTagListIsWholeAndValid)
{
    std::vector<std::string> tags;
    for (int i = 0; i < 512; ++i) {
        std::string tag(255, static_cast<char>(1 + i % 31));
        snprintf(tag.data(), 4, "%03d", i);
        tag[3] = static_cast<char>(1 + (i / 31) % 31); // the terminator snprintf left
        add_tag("big", tag);
        tags.push_back(tag);
    }
    const char *doc = reg_tags_list_json("big");
    ASSERT_NE(doc, nullptr) << reg_storage_last_error();
    size_t len = strlen(doc);
    EXPECT_GT(len, 512u * 3 * 255);

    yyjson_doc *parsed = yyjson_read(doc, len, 0);
    ASSERT_NE(parsed, nullptr);
    yyjson_val *arr = yyjson_obj_get(yyjson_doc_get_root(parsed), "tags");
    ASSERT_EQ(yyjson_arr_size(arr), 512u);
    for (size_t i = 0; i < 512; ++i) {
        yyjson_val *v = yyjson_arr_get(arr, i);
        EXPECT_EQ(std::string(yyjson_get_str(v), yyjson_get_len(v)), tags[i]) << i;
    }
    yyjson_doc_free(parsed);
}

// ---- tag list --------------------------------------------------------------

TEST_F(ListingTest, TagListHoldsLinkedTagsInByteOrder)
{
    for (const char *tag : {"v1.9", "v1.10", "B", "a", "app-1", "app"}) {
        add_tag("library/app", tag);
    }
    add_tag("library/app", "empty-link", "");
    // Not tags: a file, a directory without a link, one whose link is a directory.
    put_file(tags_dir("library/app") + "/a-file", kLink);
    fs::create_directories(tags_dir("library/app") + "/no-link/current");
    fs::create_directories(tags_dir("library/app") + "/link-is-dir/current/link");
    // Tags of another repository stay out.
    add_tag("library/web", "other");

    EXPECT_EQ(str(reg_tags_list_json("library/app")),
              "{\"name\":\"library/app\",\"tags\":[\"B\",\"a\",\"app\",\"app-1\",\"empty-link\",\"v1.10\",\"v1.9\"]}");
    // The name member carries the name as given, not the directory's spelling.
    EXPECT_EQ(str(reg_tags_list_json("library//web")), "{\"name\":\"library//web\",\"tags\":[\"other\"]}");
}

TEST_F(ListingTest, TagListEscapesNames)
{
    for (const char *tag : {"q\"uote", "back\\slash", "ctl\x01", "tab\t", "del\x7f", "utf\xc3\xa9"}) {
        add_tag("a\\b", tag);
    }
    EXPECT_EQ(str(reg_tags_list_json("a\\b")), "{\"name\":\"a\\\\b\",\"tags\":[\"back\\\\slash\",\"ctl\\u0001\","
                                               "\"del\x7f\",\"q\\\"uote\",\"tab\\t\",\"utf\xc3\xa9\"]}");
}

TEST_F(ListingTest, MissingDirectoriesGiveAnEmptyTagList)
{
    add_repo_dir("no-manifests");
    fs::create_directories(root_ + "/repositories/no-tags/_manifests");
    fs::create_directories(root_ + "/repositories/tags-is-file/_manifests");
    put_file(root_ + "/repositories/tags-is-file/_manifests/tags", "");
    for (const char *repo : {"never-pushed", "no-manifests", "no-tags", "tags-is-file"}) {
        SCOPED_TRACE(repo);
        set_error("%s", kSentinel);
        EXPECT_EQ(str(reg_tags_list_json(repo)), std::string("{\"name\":\"") + repo + "\",\"tags\":[]}");
        EXPECT_STREQ(reg_storage_last_error(), kSentinel);
    }
}

TEST_F(ListingTest, TagListRefusals)
{
    struct Case {
        const char *what;
        const char *repo;
        bool ready;
        const char *message;
    };
    const std::string too_long(256, 'a');
    const Case kCases[] = {
        {"null name", nullptr, true, "repo_name is NULL"},
        {"null name comes before readiness", nullptr, false, "repo_name is NULL"},
        {"not ready", "library/app", false, kNotInit},
        {"empty name", "", true, "invalid repository name"},
        {"two dots", "a..b", true, "invalid repository name"},
        {"space", "a b", true, "invalid repository name"},
        {"256 characters", too_long.c_str(), true, "invalid repository name"},
    };
    add_tag("library/app", "latest");
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
        std::string before = fill_result();
        if (!c.ready) {
            reg_storage_cleanup();
        }
        EXPECT_EQ(reg_tags_list_json(c.repo), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
        EXPECT_EQ(std::string(s_result), before);
    }
}

// ---- catalog ---------------------------------------------------------------

TEST_F(ListingTest, CatalogPages)
{
    for (const char *repo : {"d", "a", "b"}) {
        add_repo_dir(repo);
    }
    struct Case {
        int n;
        const char *last;
        const char *page;
    };
    const Case kCases[] = {
        {0, nullptr, "\"a\",\"b\",\"d\""},
        {0, "", "\"a\",\"b\",\"d\""},
        {2, nullptr, "\"a\",\"b\""},
        {2, "", "\"a\",\"b\""},
        {2, "b", "\"d\""},
        {-1, "a", "\"b\",\"d\""},
        {0, "c", "\"d\""},
        {5, "d", ""},
        {5, "e", ""},
        {1, "0", "\"a\""},
        {INT_MAX, "a", "\"b\",\"d\""},
        {INT_MIN, nullptr, "\"a\",\"b\",\"d\""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(testing::Message() << "n " << c.n << " last " << (c.last ? c.last : "(null)"));
        EXPECT_EQ(str(reg_catalog_json(c.n, c.last)), std::string("{\"repositories\":[") + c.page + "]}");
    }
}

TEST_F(ListingTest, CatalogListsFirstLevelDirectoriesOnly)
{
    add_tag("library/app", "latest");
    add_tag("library/web", "latest");
    add_repo_dir("Zeta");
    add_repo_dir("q\"x");
    add_repo_dir("empty-dir");
    put_file(root_ + "/repositories/a-file", "");
    EXPECT_EQ(str(reg_catalog_json(0, nullptr)), "{\"repositories\":[\"Zeta\",\"empty-dir\",\"library\",\"q\\\"x\"]}");
}

TEST_F(ListingTest, CatalogOfMissingRepositoriesIsEmpty)
{
    fs::remove_all(root_ + "/repositories");
    set_error("%s", kSentinel);
    EXPECT_EQ(str(reg_catalog_json(0, nullptr)), "{\"repositories\":[]}");
    EXPECT_STREQ(reg_storage_last_error(), kSentinel);
}

TEST_F(ListingTest, CatalogNeedsAnOpenStorage)
{
    std::string before = fill_result();
    reg_storage_cleanup();
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), kNotInit);
    EXPECT_EQ(std::string(s_result), before);
}

// ---- allocation failures ---------------------------------------------------

// A failed copy of one name fails the call like a failed name array; the
// copies already made are freed (the sanitizer build reports a leak else).
TEST_F(ListingTest, FailedAllocationsFailTheCall)
{
    for (const char *tag : {"t1", "t2", "t3"}) {
        add_tag("repo", tag);
    }
    for (const char *repo : {"r1", "r2"}) {
        add_repo_dir(repo);
    }
    struct Case {
        const char *what;
        int xstrdup_fail_after;
        bool fail_array;
        bool tags;
    };
    const Case kCases[] = {
        {"tag list, third copy", 2, false, true}, {"tag list, first copy", 0, false, true},
        {"tag list, name array", -1, true, true}, {"catalog, second copy", 1, false, false},
        {"catalog, name array", -1, true, false},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        std::string before = fill_result();
        g_xstrdup_fail_after = c.xstrdup_fail_after;
        g_fail_name_array = c.fail_array;
        const char *doc = c.tags ? reg_tags_list_json("repo") : reg_catalog_json(0, nullptr);
        g_xstrdup_fail_after = -1;
        g_fail_name_array = false;
        EXPECT_EQ(doc, nullptr);
        EXPECT_STREQ(reg_storage_last_error(), "out of memory");
        EXPECT_EQ(std::string(s_result), before);
    }
    EXPECT_EQ(str(reg_tags_list_json("repo")), "{\"name\":\"repo\",\"tags\":[\"t1\",\"t2\",\"t3\"]}");
}

} // namespace
