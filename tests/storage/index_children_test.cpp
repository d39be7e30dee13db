// An index keeps the manifests it lists: deleting the last tag of a manifest
// that an index of the same repository lists removes only the tag. Covered
// here: the rule and where it does not apply, an index's deletion releasing
// what it listed, the records written and removed durably in the order a
// deletion relies on, their absence from every listing, and their rebuild
// for stores written before they existed.
//
// fsync, rename and remove are wrapped at link time (-Wl,--wrap) so that a
// test can see in which order the library renames, removes and syncs.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sha256.h"
#include "temp_root.h"

namespace fs = std::filesystem;

// ---- link-time wrappers ---------------------------------------------------

namespace {
// "fsync <path>", "rename <target>", "remove <path>" in call order while on.
bool s_logging;
std::vector<std::string> s_log;

void log_event(const std::string &event)
{
    if (s_logging)
        s_log.push_back(event);
}
} // namespace

extern "C" {
int __real_fsync(int fd);
int __real_rename(const char *from, const char *to);
int __real_remove(const char *path);

int __wrap_fsync(int fd)
{
    char link[64];
    char target[4096] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    log_event("fsync " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
    return __real_fsync(fd);
}

int __wrap_rename(const char *from, const char *to)
{
    log_event("rename " + std::string(to));
    return __real_rename(from, to);
}

int __wrap_remove(const char *path)
{
    log_event("remove " + std::string(path));
    return __real_remove(path);
}
}

namespace {

constexpr const char kRepo[] = "library/app";
constexpr const char kOtherRepo[] = "library/other";
constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr const char kListType[] = "application/vnd.docker.distribution.manifest.list.v2+json";

// A platform manifest; each c gives another body.
std::string image(char c)
{
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{"
           "\"digest\":\"sha256:" +
           std::string(64, c) + "\"},\"layers\":[]}";
}

std::string index_of(const std::vector<std::string> &bodies)
{
    std::string s = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
    for (size_t i = 0; i < bodies.size(); ++i)
        s += std::string(i ? "," : "") + "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" +
             "sha256:" + sha256_hex(bodies[i]) + "\",\"size\":" + std::to_string(bodies[i].size()) + "}";
    return s + "]}";
}

class IndexChildrenTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root_ = path("root");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    // A root of its own for case i of a table.
    void fresh_root(size_t i)
    {
        root_ = path("root-" + std::to_string(i));
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override
    {
        s_logging = false;
        s_log.clear();
        TempDirTest::TearDown();
    }

    // Stores body under ref (empty: its own digest); its 64 digits.
    std::string put(const std::string &body, const std::string &ref = "", const char *repo = kRepo)
    {
        const std::string hex = sha256_hex(body);
        const std::string reference = ref.empty() ? "sha256:" + hex : ref;
        const bool index = body.find("\"manifests\"") != std::string::npos;
        char digest[REG_DIGEST_BUF] = {};
        int rc = index ? reg_manifest_put_index(repo, reference.c_str(), body.data(), body.size(), kIndexType, digest)
                       : reg_manifest_put(repo, reference.c_str(), body.data(), body.size(), kOciType, digest);
        EXPECT_EQ(rc, 0) << reg_storage_last_error();
        return hex;
    }
    bool stored(const std::string &hex, const char *repo = kRepo) { return fs::exists(manifests(repo) + "/" + hex); }
    bool found(const std::string &ref, const char *repo = kRepo)
    {
        char type[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        return reg_manifest_get(repo, ref.c_str(), type, digest) != nullptr;
    }
    std::string manifests(const char *repo = kRepo) const { return root_ + "/repositories/" + repo + "/_manifests"; }
    std::string record(const std::string &child, const std::string &index) const
    {
        return manifests() + "/index-children/sha256/" + child + "/" + index;
    }
    // The records of the repository, as "<child>/<index>".
    std::set<std::string> records() const
    {
        std::set<std::string> out;
        const std::string base = manifests() + "/index-children/sha256";
        if (!fs::exists(base))
            return out;
        for (const std::string &entry : tree(base))
            if (entry.find('/') != std::string::npos)
                out.insert(entry);
        return out;
    }
    size_t position(const std::string &event) const
    {
        for (size_t i = 0; i < s_log.size(); ++i)
            if (s_log[i] == event)
                return i;
        return SIZE_MAX;
    }

    std::string root_;
};

TEST_F(IndexChildrenTest, LastTagOfAListedManifestTakesOnlyTheTag)
{
    struct Case {
        const char *label;
        std::vector<char> listed_here; // what an index of the repository lists
        bool nested;                   // that index only listed by the tagged one
        bool listed_there;             // the platform listed in another repository
        bool kept;
    };
    const Case kCases[] = {
        {"listed by an index here", {'1', '2'}, false, false, true},
        {"listed twice by one index", {'1', '1'}, false, false, true},
        {"listed by an index that an index lists", {'1'}, true, false, true},
        {"no index", {}, false, false, false},
        {"the index here lists others", {'2'}, false, false, false},
        {"listed only by another repository's index", {}, false, true, false},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        ASSERT_NO_FATAL_FAILURE(fresh_root(&c - kCases));
        // Pushed as clients push a multi-platform image: platforms by digest,
        // then the index under its tag.
        const std::string arm = put(image('1'));
        std::vector<std::string> bodies;
        for (char p : c.listed_here)
            bodies.push_back(image(p));
        std::string index_hex;
        if (!bodies.empty()) {
            std::string index = index_of(bodies);
            if (c.nested) {
                put(index);
                index = index_of({index});
            }
            index_hex = put(index, "latest");
        }
        if (c.listed_there) {
            put(image('1'), "", kOtherRepo);
            put(index_of({image('1')}), "latest", kOtherRepo);
        }
        put(image('1'), "arm");

        ASSERT_EQ(reg_manifest_delete(kRepo, "arm"), 0) << reg_storage_last_error();
        EXPECT_FALSE(found("arm")) << "the tag goes either way";
        EXPECT_EQ(stored(arm), c.kept);
        EXPECT_EQ(found("sha256:" + arm), c.kept);
        EXPECT_EQ(fs::exists(manifests() + "/revisions/sha256/" + arm + "/link"), c.kept);
        if (!index_hex.empty()) {
            EXPECT_TRUE(found("latest"));
        }
        const char *tags = reg_tags_list_json(kRepo);
        ASSERT_NE(tags, nullptr);
        EXPECT_STREQ(tags, index_hex.empty() ? "{\"name\":\"library/app\",\"tags\":[]}"
                                             : "{\"name\":\"library/app\",\"tags\":[\"latest\"]}");
    }
}

TEST_F(IndexChildrenTest, ExplicitRemovalIsNotHeldBack)
{
    const std::string arm = put(image('1'));
    put(index_of({image('1')}), "latest");
    put(image('1'), "arm");
    // The API's deletion by digest takes the manifest and its tags.
    ASSERT_EQ(reg_manifest_delete_digest(kRepo, ("sha256:" + arm).c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(stored(arm));
    EXPECT_FALSE(found("arm"));
    EXPECT_TRUE(found("latest"));

    // So does the library's deletion by digest of a manifest no tag names.
    const std::string amd = put(image('2'));
    put(index_of({image('2')}), "v2");
    ASSERT_EQ(reg_manifest_delete(kRepo, ("sha256:" + amd).c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(stored(amd));
}

TEST_F(IndexChildrenTest, RemovingAnIndexReleasesWhatItListed)
{
    struct Case {
        const char *label;
        bool by_digest; // the API's deletion by digest, else the index's last tag
        bool second_index;
    };
    const Case kCases[] = {
        {"index's last tag deleted", false, false},
        {"index deleted by digest", true, false},
        {"another index still lists it", false, true},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        ASSERT_NO_FATAL_FAILURE(fresh_root(&c - kCases));
        const std::string arm = put(image('1'));
        const std::string amd = put(image('2'));
        const std::string index = put(index_of({image('1'), image('2')}), "latest");
        std::string other;
        if (c.second_index)
            other = put(index_of({image('1')}), "arm-only");
        put(image('1'), "arm");
        EXPECT_TRUE(fs::exists(record(arm, index)));
        EXPECT_TRUE(fs::exists(record(amd, index)));

        ASSERT_EQ(c.by_digest ? reg_manifest_delete_digest(kRepo, ("sha256:" + index).c_str())
                              : reg_manifest_delete(kRepo, "latest"),
                  0)
            << reg_storage_last_error();
        EXPECT_FALSE(stored(index));
        EXPECT_FALSE(fs::exists(record(arm, index)));
        EXPECT_FALSE(fs::exists(record(amd, index)));
        // Only the index went: what it listed is still stored.
        EXPECT_TRUE(stored(arm));
        EXPECT_TRUE(stored(amd));

        ASSERT_EQ(reg_manifest_delete(kRepo, "arm"), 0) << reg_storage_last_error();
        EXPECT_EQ(stored(arm), c.second_index);
        if (c.second_index) {
            EXPECT_TRUE(fs::exists(record(arm, other)));
        }
    }
}

TEST_F(IndexChildrenTest, RecordsAreWrittenBeforeTheIndexAndRemovedAfterIt)
{
    const std::string arm = put(image('1'));
    const std::string amd = put(image('2'));
    const std::string body = index_of({image('1'), image('2')});
    const std::string index = sha256_hex(body);
    s_logging = true;
    put(body, "latest");
    s_logging = false;

    const std::string base = manifests() + "/index-children";
    EXPECT_EQ(records(), (std::set<std::string>{arm + "/" + index, amd + "/" + index}));
    for (const std::string &child : {arm, amd}) {
        SCOPED_TRACE(child);
        // Whole, and named in a directory that was synced: it survives a crash.
        EXPECT_EQ(slurp(record(child, index)), "sha256:" + index);
        const size_t renamed = position("rename " + record(child, index));
        ASSERT_NE(renamed, SIZE_MAX);
        EXPECT_LT(renamed, position("rename " + manifests() + "/" + index))
            << "an index is never stored without its records";
        const size_t synced = position("fsync " + base + "/sha256/" + child);
        EXPECT_NE(synced, SIZE_MAX);
        EXPECT_GT(synced, renamed);
        // Nothing left in the record's directory but the record.
        EXPECT_EQ(tree(base + "/sha256/" + child), (std::set<std::string>{index}));
    }
    // The directories the first records made are synced too.
    EXPECT_NE(position("fsync " + base + "/sha256"), SIZE_MAX);
    EXPECT_NE(position("fsync " + base), SIZE_MAX);

    s_log.clear();
    s_logging = true;
    ASSERT_EQ(reg_manifest_delete(kRepo, "latest"), 0) << reg_storage_last_error();
    s_logging = false;
    EXPECT_EQ(records(), std::set<std::string>{});
    for (const std::string &child : {arm, amd}) {
        SCOPED_TRACE(child);
        const size_t removed = position("remove " + record(child, index));
        ASSERT_NE(removed, SIZE_MAX);
        EXPECT_GT(removed, position("remove " + manifests() + "/" + index)) << "the index goes first";
        EXPECT_GT(removed, position("fsync " + manifests())) << "and its removal is on disk first";
        size_t synced = SIZE_MAX;
        for (size_t i = removed; i < s_log.size() && synced == SIZE_MAX; ++i)
            if (s_log[i] == "fsync " + base + "/sha256/" + child)
                synced = i;
        EXPECT_NE(synced, SIZE_MAX) << "the removal is synced";
    }
}

TEST_F(IndexChildrenTest, IndexListingMoreManifestsThanOpenFilesAllowed)
{
    // Each record is a file of its own; a store must not need a descriptor
    // per listed manifest at once.
    std::vector<std::string> bodies;
    for (int i = 0; i < 300; ++i)
        bodies.push_back("platform " + std::to_string(i));
    const std::string body = index_of(bodies);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 128;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    char digest[REG_DIGEST_BUF] = {};
    const int rc = reg_manifest_put_index(kRepo, "many", body.data(), body.size(), kIndexType, digest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(rc, 0) << reg_storage_last_error();

    const std::string index = sha256_hex(body);
    std::set<std::string> want;
    for (const std::string &b : bodies)
        want.insert(sha256_hex(b) + "/" + index);
    EXPECT_EQ(records(), want);
    EXPECT_EQ(slurp(record(sha256_hex(bodies.back()), index)), "sha256:" + index);
}

TEST_F(IndexChildrenTest, RecordWithoutItsIndexKeepsNothing)
{
    // What a store or removal cut short could leave: a record whose index
    // body is not stored.
    const std::string arm = put(image('1'), "arm");
    const std::string ghost(64, 'e');
    fs::create_directories(manifests() + "/index-children/sha256/" + arm);
    put_file(record(arm, ghost), "sha256:" + ghost);
    // And a temporary file of a record being written.
    put_file(manifests() + "/index-children/sha256/" + arm + "/.tmp-1-" + ghost, "sha256:" + ghost);
    ASSERT_EQ(reg_manifest_delete(kRepo, "arm"), 0) << reg_storage_last_error();
    EXPECT_FALSE(stored(arm));
}

TEST_F(IndexChildrenTest, RecordsStayOutOfListingsAndStatistics)
{
    // A repository at the top level, which every view counts, and a nested one.
    for (const char *repo : {"app", kRepo}) {
        put(image('1'), "", repo);
        put(image('2'), "amd", repo);
        put(index_of({image('1'), image('2')}), "latest", repo);
    }
    ASSERT_EQ(records().size(), 2u);
    ASSERT_TRUE(fs::exists(manifests("app") + "/index-children"));

    for (const char *repo : {"app", kRepo}) {
        SCOPED_TRACE(repo);
        const std::string want = "{\"name\":\"" + std::string(repo) + "\",\"tags\":[\"amd\",\"latest\"]}";
        const char *tags = reg_tags_list_json(repo);
        ASSERT_NE(tags, nullptr);
        EXPECT_EQ(tags, want);
        tags = reg_tags_page_json(repo, -1, nullptr, nullptr, 0);
        ASSERT_NE(tags, nullptr) << reg_storage_last_error();
        EXPECT_EQ(tags, want);
        for (const std::string &subject : {sha256_hex(image('1')), sha256_hex(index_of({image('1'), image('2')}))}) {
            const char *referrers =
                reg_referrers_page_json(repo, ("sha256:" + subject).c_str(), nullptr, -1, nullptr, nullptr, 0);
            ASSERT_NE(referrers, nullptr) << reg_storage_last_error();
            EXPECT_STREQ(referrers, "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                                    "\"manifests\":[]}");
        }
    }
    const char *catalog = reg_catalog_page_json(-1, nullptr, nullptr, 0);
    ASSERT_NE(catalog, nullptr) << reg_storage_last_error();
    EXPECT_STREQ(catalog, "{\"repositories\":[\"app\",\"library/app\"]}");
    catalog = reg_catalog_json(-1, nullptr);
    ASSERT_NE(catalog, nullptr);
    EXPECT_STREQ(catalog, "{\"repositories\":[\"app\",\"library\"]}");
    const char *stats = reg_storage_get_stats_json();
    ASSERT_NE(stats, nullptr);
    EXPECT_NE(std::string(stats).find("\"repositories\":2,\"tags\":2,"), std::string::npos) << stats;
}

TEST_F(IndexChildrenTest, RebuildWritesTheRecordsOfEveryStoredIndex)
{
    const std::string arm = put(image('1'));
    const std::string amd = put(image('2'));
    put(image('3'), "solo");
    const std::string oci = put(index_of({image('1'), image('2')}), "latest");
    // A Docker manifest list, and an index only an index lists.
    const std::string list_body = index_of({image('2')});
    char digest[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put_index(kRepo, "list", list_body.data(), list_body.size(), kListType, digest), 0);
    const std::string list = sha256_hex(list_body);
    const std::string nested = put(index_of({list_body}), "nested");
    const std::set<std::string> want = {arm + "/" + oci, amd + "/" + oci, amd + "/" + list, list + "/" + nested};
    ASSERT_EQ(records(), want);

    struct Case {
        const char *label;
        std::vector<std::string> removed; // records taken away first
        int64_t written;
    };
    const Case kCases[] = {
        {"store written before the records", {"*"}, 4},
        {"one record missing", {amd + "/" + list}, 1},
        {"nothing missing", {}, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        for (const std::string &r : c.removed) {
            if (r == "*")
                fs::remove_all(manifests() + "/index-children");
            else
                fs::remove(manifests() + "/index-children/sha256/" + r);
        }
        int64_t written = -1;
        ASSERT_EQ(index_children_rebuild(kRepo, &written), 0) << reg_storage_last_error();
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(records(), want);
        for (const std::string &r : want)
            EXPECT_EQ(slurp(manifests() + "/index-children/sha256/" + r), "sha256:" + r.substr(65));
    }
    // With the records back, the listed manifests keep their bodies.
    put(image('2'), "amd");
    ASSERT_EQ(reg_manifest_delete(kRepo, "amd"), 0);
    EXPECT_TRUE(stored(amd));
    ASSERT_EQ(reg_manifest_delete(kRepo, "solo"), 0);
    EXPECT_FALSE(stored(sha256_hex(image('3'))));
}

TEST_F(IndexChildrenTest, RebuildOfWhatHoldsNoIndex)
{
    int64_t written = -1;
    // A repository never stored into gets nothing, not even a directory.
    ASSERT_EQ(index_children_rebuild("never/stored", &written), 0) << reg_storage_last_error();
    EXPECT_EQ(written, 0);
    EXPECT_FALSE(fs::exists(root_ + "/repositories/never"));
    put(image('1'), "v1");
    ASSERT_EQ(index_children_rebuild(kRepo, nullptr), 0) << reg_storage_last_error();
    EXPECT_FALSE(fs::exists(manifests() + "/index-children"));

    snprintf(s_error, sizeof s_error, "sentinel");
    EXPECT_EQ(index_children_rebuild("../escape", &written), -1);
    EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
    EXPECT_EQ(index_children_rebuild(nullptr, &written), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

} // namespace
