// Image indexes and referrers: index validation, an index stored, fetched,
// tagged and deleted like a manifest, the referrer records written for a
// manifest that names a subject and removed with it, and the referrers
// listing with its filter, its pages and the bound on one descriptor.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sha256.h"
#include "temp_root.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kRepo[] = "library/app";
constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr const char kListType[] = "application/vnd.docker.distribution.manifest.list.v2+json";
constexpr const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr const char kEmptyIndexHead[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";

std::string digest_of(char c)
{
    return "sha256:" + std::string(64, c);
}

std::string index_of(const std::vector<std::string> &digests, const std::string &extra = "")
{
    std::string s = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
    for (size_t i = 0; i < digests.size(); ++i) {
        s += (i ? "," : "");
        s += "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digests[i] +
             "\",\"size\":10,\"platform\":{\"architecture\":\"amd64\",\"os\":\"linux\"}}";
    }
    return s + "]" + extra + "}";
}

std::string subject_member(const std::string &digest)
{
    return ",\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digest +
           "\",\"size\":123}";
}

class IndexTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root_ = path("root");
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
        manifests_ = root_ + "/repositories/" + kRepo + "/_manifests";
    }

    // Stores body and returns its digest; fails the test when refused.
    std::string put(const std::string &body, const char *type, const std::string &ref = "", bool index = false)
    {
        char digest[REG_DIGEST_BUF] = {};
        const std::string reference = ref.empty() ? "sha256:" + sha256_hex(body) : ref;
        int rc = index ? reg_manifest_put_index(kRepo, reference.c_str(), body.data(), body.size(), type, digest)
                       : reg_manifest_put(kRepo, reference.c_str(), body.data(), body.size(), type, digest);
        EXPECT_EQ(rc, 0) << reg_storage_last_error();
        return digest;
    }

    // One page of the listing; its next-page cursor in *next.
    std::string referrers_page(const std::string &subject, const char *filter, int n, const char *last,
                               std::string *next, const char *repo = kRepo)
    {
        char next_last[REG_DIGEST_BUF];
        snprintf(next_last, sizeof next_last, "sentinel");
        const char *doc = reg_referrers_page_json(repo, subject.c_str(), filter, n, last, next_last, sizeof next_last);
        EXPECT_NE(doc, nullptr) << reg_storage_last_error();
        *next = doc ? next_last : "<null>";
        return doc ? doc : "<null>";
    }

    // The whole listing, which the tests expect on one page.
    std::string referrers(const std::string &subject, const char *filter = nullptr, const char *repo = kRepo)
    {
        std::string next;
        std::string doc = referrers_page(subject, filter, -1, nullptr, &next, repo);
        EXPECT_EQ(next, "");
        return doc;
    }

    std::string entry_path(const std::string &subject, const std::string &referrer) const
    {
        return manifests_ + "/referrers/sha256/" + subject.substr(7) + "/" + referrer.substr(7);
    }

    std::string root_;
    std::string manifests_;
};

std::string index_doc(const std::vector<std::string> &descriptors)
{
    std::string s = kEmptyIndexHead;
    for (size_t i = 0; i < descriptors.size(); ++i)
        s += (i ? "," : "") + descriptors[i];
    return s + "]}";
}

TEST_F(IndexTest, ValidationTable)
{
    const std::string d = digest_of('a');
    struct Case {
        const char *label;
        std::string body;
        const char *message; // null: stored
    };
    const Case kCases[] = {
        {"empty body", "", "index JSON parse failed"},
        {"not JSON", "{\"manifests\":[]", "index JSON parse failed"},
        {"trailing text", "{\"manifests\":[]} x", "index JSON parse failed"},
        {"trailing comma", "{\"manifests\":[],}", "index JSON parse failed"},
        {"array root", "[]", "index must be a JSON object"},
        {"string root", "\"manifests\"", "index must be a JSON object"},
        {"no manifests", "{}", "index missing manifests array"},
        {"image manifest", "{\"config\":{\"digest\":\"" + d + "\"},\"layers\":[]}", "index missing manifests array"},
        {"manifests null", "{\"manifests\":null}", "index missing manifests array"},
        {"manifests object", "{\"manifests\":{\"digest\":\"" + d + "\"}}", "index missing manifests array"},
        {"entry a number", "{\"manifests\":[1]}", "index manifest 0 missing valid digest"},
        {"entry without digest", "{\"manifests\":[{\"digest\":\"" + d + "\"},{}]}",
         "index manifest 1 missing valid digest"},
        {"digest a number", "{\"manifests\":[{\"digest\":7}]}", "index manifest 0 missing valid digest"},
        {"upper-case digest", index_of({d, "sha256:" + std::string(64, 'A')}), "index manifest 1 missing valid digest"},
        {"short digest", index_of({"sha256:" + std::string(63, 'a')}), "index manifest 0 missing valid digest"},
        {"sha512 digest cut short", index_of({"sha512:" + std::string(127, 'a')}),
         "index manifest 0 missing valid digest"},
        {"sha256 digits under sha512", index_of({"sha512:" + std::string(64, 'a')}),
         "index manifest 0 missing valid digest"},
        {"other algorithm", index_of({"sha384:" + std::string(96, 'a')}), "index manifest 0 missing valid digest"},
        {"subject a string", index_of({d}, ",\"subject\":\"" + d + "\""), "index subject missing valid digest"},
        {"subject bad digest", index_of({d}, subject_member("sha256:xyz")), "index subject missing valid digest"},
        {"subject null", index_of({d}, ",\"subject\":null"), "index subject missing valid digest"},
        {"empty manifests", "{\"manifests\":[]}", nullptr},
        {"two platforms", index_of({d, digest_of('b')}), nullptr},
        {"with subject", index_of({d}, subject_member(digest_of('c'))), nullptr},
        {"duplicate key, first counts", "{\"manifests\":[],\"manifests\":7}", nullptr},
        {"sha512 entry and subject",
         index_of({"sha512:" + std::string(128, 'a')}, subject_member("sha512:" + std::string(128, 'b'))), nullptr},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        snprintf(s_error, sizeof s_error, "sentinel");
        char digest[REG_DIGEST_BUF] = {};
        int rc = reg_manifest_put_index(kRepo, "v1", c.body.data(), c.body.size(), kIndexType, digest);
        if (c.message) {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(reg_storage_last_error(), c.message);
            EXPECT_STREQ(digest, "");
            EXPECT_FALSE(fs::exists(manifests_)) << "nothing is written for a refused index";
            // The same verdict without any storage: the check stands alone.
            EXPECT_EQ(index_validate(c.body.data(), c.body.size()), -1);
        } else {
            EXPECT_EQ(rc, 0) << reg_storage_last_error();
            EXPECT_EQ(digest, "sha256:" + sha256_hex(c.body));
            EXPECT_EQ(index_validate(c.body.data(), c.body.size()), 0);
        }
    }
}

TEST_F(IndexTest, EachRuleKeepsToItsOwnKind)
{
    const std::string index = index_of({digest_of('a')});
    char digest[REG_DIGEST_BUF] = {};
    // An index sent as an image manifest is refused by the manifest's rule.
    EXPECT_EQ(reg_manifest_put(kRepo, "v1", index.data(), index.size(), kIndexType, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "manifest missing valid config.digest");
    // And a manifest with an unusable subject is refused by it too.
    const std::string image =
        "{\"config\":{\"digest\":\"" + digest_of('a') + "\"},\"layers\":[],\"subject\":{\"digest\":\"sha256:1\"}}";
    EXPECT_EQ(reg_manifest_put(kRepo, "v1", image.data(), image.size(), kOciType, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "manifest subject missing valid digest");
    EXPECT_EQ(manifest_validate(image.data(), image.size()), -1);
    EXPECT_FALSE(fs::exists(manifests_));
}

TEST_F(IndexTest, IndexStoredFetchedTaggedAndDeletedLikeAManifest)
{
    const std::string body = index_of({digest_of('a'), digest_of('b')});
    const std::string hex = sha256_hex(body);
    EXPECT_EQ(put(body, kListType, "multi", true), "sha256:" + hex);
    EXPECT_EQ(put(body, kListType, "other", true), "sha256:" + hex);
    EXPECT_EQ(slurp(manifests_ + "/" + hex), body);
    EXPECT_EQ(slurp(manifests_ + "/" + hex + ".ct"), kListType);
    EXPECT_EQ(slurp(manifests_ + "/revisions/sha256/" + hex + "/link"), "sha256:" + hex);
    EXPECT_FALSE(fs::exists(manifests_ + "/" + hex + ".subject"));
    EXPECT_FALSE(fs::exists(manifests_ + "/referrers"));

    for (const std::string &ref : {std::string("multi"), "sha256:" + hex}) {
        SCOPED_TRACE(ref);
        char type[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        const char *got = reg_manifest_get(kRepo, ref.c_str(), type, digest);
        ASSERT_NE(got, nullptr) << reg_storage_last_error();
        EXPECT_EQ(std::string(got), body);
        EXPECT_STREQ(type, kListType);
        EXPECT_EQ(digest, "sha256:" + hex);
    }
    const char *tags = reg_tags_list_json(kRepo);
    ASSERT_NE(tags, nullptr);
    EXPECT_STREQ(tags, "{\"name\":\"library/app\",\"tags\":[\"multi\",\"other\"]}");

    // A digest reference must name the body's own digest.
    char digest[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_put_index(kRepo, digest_of('f').c_str(), body.data(), body.size(), kIndexType, digest), -1);
    EXPECT_EQ(std::string(reg_storage_last_error()).rfind("digest mismatch", 0), 0u) << reg_storage_last_error();
    EXPECT_EQ(reg_manifest_put_index(kRepo, "../x", body.data(), body.size(), kIndexType, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "invalid tag: ../x");

    ASSERT_EQ(reg_manifest_delete(kRepo, "multi"), 0);
    EXPECT_TRUE(fs::exists(manifests_ + "/" + hex)) << "still tagged other";
    ASSERT_EQ(reg_manifest_delete(kRepo, "other"), 0);
    EXPECT_FALSE(fs::exists(manifests_ + "/" + hex));
    EXPECT_FALSE(fs::exists(manifests_ + "/" + hex + ".ct"));
    char type[REG_CONTENT_TYPE_BUF] = {};
    EXPECT_EQ(reg_manifest_get(kRepo, ("sha256:" + hex).c_str(), type, digest), nullptr);
}

// Three referrers of one subject that is not stored, one of another subject.
class ReferrersTest : public IndexTest {
protected:
    void SetUp() override
    {
        IndexTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        subject_ = digest_of('5');
        sig_ = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
               "\"artifactType\":\"application/vnd.example.sig\","
               "\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" +
               digest_of('e') + "\",\"size\":2},\"layers\":[]" + subject_member(subject_) +
               ",\"annotations\":{\"org.example.q\":\"say \\\"caf\xc3\xa9\\\"\",\"n\":\"1\"}}";
        // No mediaType member and no artifactType: the stored type and the
        // configuration's type stand in.
        sbom_ = "{\"schemaVersion\":2,\"config\":{\"mediaType\":\"application/vnd.example.sbom\",\"digest\":\"" +
                digest_of('f') + "\"},\"layers\":[]" + subject_member(subject_) + "}";
        idx_ = index_of({digest_of('a')}, subject_member(subject_));
        other_ = index_of({}, subject_member(digest_of('6')));
        sig_digest_ = put(sig_, kOciType);
        sbom_digest_ = put(sbom_, kOciType, "sbom");
        idx_digest_ = put(idx_, kIndexType, "", true);
        other_digest_ = put(other_, kIndexType, "", true);
    }

    std::string sig_descriptor() const
    {
        return "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + sig_digest_ +
               "\",\"size\":" + std::to_string(sig_.size()) +
               ",\"artifactType\":\"application/vnd.example.sig\","
               "\"annotations\":{\"org.example.q\":\"say \\\"caf\xc3\xa9\\\"\",\"n\":\"1\"}}";
    }
    std::string sbom_descriptor() const
    {
        return "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + sbom_digest_ +
               "\",\"size\":" + std::to_string(sbom_.size()) + ",\"artifactType\":\"application/vnd.example.sbom\"}";
    }
    std::string idx_descriptor() const
    {
        return "{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"digest\":\"" + idx_digest_ +
               "\",\"size\":" + std::to_string(idx_.size()) + "}";
    }
    // The three descriptors in digest order, as the listing serves them.
    std::vector<std::string> all_sorted() const
    {
        std::vector<std::pair<std::string, std::string>> v = {
            {sig_digest_, sig_descriptor()}, {sbom_digest_, sbom_descriptor()}, {idx_digest_, idx_descriptor()}};
        std::sort(v.begin(), v.end());
        std::vector<std::string> out;
        for (auto &p : v)
            out.push_back(p.second);
        return out;
    }

    std::string subject_, sig_, sbom_, idx_, other_;
    std::string sig_digest_, sbom_digest_, idx_digest_, other_digest_;
};

TEST_F(ReferrersTest, RecordsLieApartFromTagsAndRepositories)
{
    for (const std::string &d : {sig_digest_, sbom_digest_, idx_digest_}) {
        SCOPED_TRACE(d);
        EXPECT_TRUE(fs::is_regular_file(entry_path(subject_, d)));
        EXPECT_EQ(slurp(manifests_ + "/" + d.substr(7) + ".subject"), subject_);
        char subject[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_subject(kRepo, d.c_str(), subject), 1);
        EXPECT_EQ(subject, subject_);
    }
    EXPECT_EQ(slurp(entry_path(subject_, sig_digest_)), sig_descriptor());
    char subject[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_subject(kRepo, digest_of('9').c_str(), subject), 0) << "not stored";
    EXPECT_EQ(reg_manifest_subject(kRepo, "sha256:12", subject), -1);

    // The listings answer the same with and without the records.
    // Each view is copied before the next call reuses the result buffer.
    auto views = [] {
        auto text = [](const char *v) { return std::string(v ? v : "<null>") + "\n"; };
        std::string out = text(reg_tags_list_json(kRepo));
        out += text(reg_catalog_json(0, ""));
        out += text(reg_storage_get_stats_json());
        return out;
    };
    const std::string with = views();
    EXPECT_NE(with.find("{\"name\":\"library/app\",\"tags\":[\"sbom\"]}"), std::string::npos) << with;
    fs::remove_all(manifests_ + "/referrers");
    for (const std::string &d : {sig_digest_, sbom_digest_, idx_digest_, other_digest_})
        fs::remove(manifests_ + "/" + d.substr(7) + ".subject");
    EXPECT_EQ(views(), with);
}

TEST_F(ReferrersTest, ListingFilterAndEmptyAnswers)
{
    EXPECT_EQ(referrers(subject_), index_doc(all_sorted()));
    EXPECT_EQ(referrers(subject_, ""), index_doc(all_sorted())) << "an empty filter is no filter";
    EXPECT_EQ(referrers(subject_, "application/vnd.example.sig"), index_doc({sig_descriptor()}));
    EXPECT_EQ(referrers(subject_, "application/vnd.example.sbom"), index_doc({sbom_descriptor()}));
    EXPECT_EQ(referrers(subject_, "application/vnd.example"), index_doc({})) << "whole types only";
    EXPECT_EQ(referrers(digest_of('6')),
              index_doc({"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                         "\"digest\":\"" +
                         other_digest_ + "\",\"size\":" + std::to_string(other_.size()) + "}"}));
    EXPECT_EQ(referrers(digest_of('7')), index_doc({})) << "unknown subject";
    EXPECT_EQ(referrers(subject_, nullptr, "library/other"), index_doc({})) << "unknown repository";
    // The subject itself being stored changes nothing.
    put(index_of({}), kIndexType, "", true);

    struct Bad {
        const char *name;
        const char *subject;
        const char *message;
    };
    const Bad kRefused[] = {
        {kRepo, "sha256:1234", "invalid subject digest"},
        {kRepo, "sha512:1234", "invalid subject digest"},
        {kRepo, "", "invalid subject digest"},
        {"../etc",
         "sha256:"
         "5555555555555555555555555555555555555555555555555555555555555555",
         "invalid repository name"},
        {nullptr, "x", "NULL argument"},
        {kRepo, nullptr, "NULL argument"},
    };
    for (const Bad &b : kRefused) {
        SCOPED_TRACE(b.message);
        snprintf(s_error, sizeof s_error, "sentinel");
        EXPECT_EQ(reg_referrers_page_json(b.name, b.subject, nullptr, -1, nullptr, nullptr, 0), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), b.message);
    }
}

TEST_F(ReferrersTest, CursorAndCountTable)
{
    const std::vector<std::string> all = all_sorted();
    std::vector<std::string> digests = {sig_digest_, sbom_digest_, idx_digest_};
    std::sort(digests.begin(), digests.end());
    struct Case {
        const char *label;
        const char *filter;
        int n;
        std::string last;
        std::vector<std::string> want;
        std::string next;
    };
    const Case kCases[] = {
        {"empty last: from the first", nullptr, -1, "", all, ""},
        {"after the first", nullptr, -1, digests[0], {all[1], all[2]}, ""},
        {"after the last", nullptr, -1, digests[2], {}, ""},
        {"last not a referrer, before all", nullptr, -1, digest_of('0'), all, ""},
        {"last not a referrer, after all", nullptr, -1, digest_of('f'), {}, ""},
        {"n cuts the page", nullptr, 2, "", {all[0], all[1]}, digests[1]},
        {"n after last", nullptr, 1, digests[0], {all[1]}, digests[1]},
        {"n reaching the end exactly", nullptr, 1, digests[1], {all[2]}, ""},
        {"n = 0 lists none", nullptr, 0, "", {}, ""},
        {"n past the listing", nullptr, 1000, "", all, ""},
        {"filter after its only match", "application/vnd.example.sig", -1, sig_digest_, {}, ""},
        {"filter with n = 1", "application/vnd.example.sbom", 1, "", {sbom_descriptor()}, ""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::string next;
        EXPECT_EQ(referrers_page(subject_, c.filter, c.n, c.last.c_str(), &next), index_doc(c.want));
        EXPECT_EQ(next, c.next);
    }

    struct Bad {
        const char *last;
        size_t next_size;
        const char *message;
    };
    const Bad kRefused[] = {
        {"sha256:12", REG_DIGEST_BUF, "invalid last digest"},
        {"sha512:5555", REG_DIGEST_BUF, "invalid last digest"},
        {"5555555555555555555555555555555555555555555555555555555555555555", REG_DIGEST_BUF, "invalid last digest"},
        {"", REG_DIGEST_BUF - 1, "next-page buffer too small"},
    };
    for (const Bad &b : kRefused) {
        SCOPED_TRACE(b.message);
        snprintf(s_error, sizeof s_error, "sentinel");
        char next[REG_DIGEST_BUF];
        EXPECT_EQ(reg_referrers_page_json(kRepo, subject_.c_str(), nullptr, -1, b.last, next, b.next_size), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), b.message);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_INVALID);
    }
}

TEST_F(ReferrersTest, DeletionRemovesTheRecordWithTheManifest)
{
    // Untagged: deleting its digest removes it and its record.
    ASSERT_EQ(reg_manifest_delete(kRepo, sig_digest_.c_str()), 0);
    EXPECT_FALSE(fs::exists(entry_path(subject_, sig_digest_)));
    EXPECT_FALSE(fs::exists(manifests_ + "/" + sig_digest_.substr(7) + ".subject"));

    // Tagged: deleting the digest keeps the manifest, so it stays listed.
    ASSERT_EQ(reg_manifest_delete(kRepo, sbom_digest_.c_str()), 0);
    std::vector<std::string> rest = {sbom_descriptor(), idx_descriptor()};
    if (idx_digest_ < sbom_digest_)
        std::swap(rest[0], rest[1]);
    EXPECT_EQ(referrers(subject_), index_doc(rest));
    ASSERT_EQ(reg_manifest_delete(kRepo, "sbom"), 0);
    EXPECT_FALSE(fs::exists(entry_path(subject_, sbom_digest_)));
    EXPECT_EQ(referrers(subject_), index_doc({idx_descriptor()}));

    // Stored again, it is listed again.
    put(sig_, kOciType);
    EXPECT_EQ(referrers(subject_, "application/vnd.example.sig"), index_doc({sig_descriptor()}));
}

TEST_F(ReferrersTest, OnlySoundEntriesAreServed)
{
    const std::string dir = manifests_ + "/referrers/sha256/" + subject_.substr(7);
    // A temporary file of a write in progress, a stray name, an entry whose
    // manifest is gone, an entry that is not JSON, and one whose descriptor
    // names another manifest.
    put_file(dir + "/." + sig_digest_.substr(7) + ".tmp.1.1", "{");
    put_file(dir + "/notes", "{}");
    put_file(dir + "/" + std::string(64, '0'), "{\"digest\":\"" + digest_of('0') + "\"}");
    put_file(dir + "/" + idx_digest_.substr(7), "{\"digest\":");
    std::string moved = slurp(entry_path(subject_, sig_digest_));
    put_file(entry_path(subject_, sbom_digest_), moved);
    EXPECT_EQ(referrers(subject_), index_doc({sig_descriptor()}));
}

TEST_F(ReferrersTest, UnusableMediaTypeStoresNothing)
{
    // The stored type stands in for a body without mediaType; text that is
    // not UTF-8 cannot go into a JSON descriptor.
    const std::string body = "{\"config\":{\"digest\":\"" + digest_of('1') + "\"}" + subject_member(subject_) + "}";
    char digest[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_put(kRepo, "bad", body.data(), body.size(), "application/\xff", digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "referrer descriptor cannot be made");
    EXPECT_FALSE(fs::exists(manifests_ + "/" + sha256_hex(body)));
    EXPECT_EQ(referrers(subject_), index_doc(all_sorted()));
}

// A referrer of subject whose annotation pads its descriptor: the body and
// the descriptor the listing serves for it.
struct Padded {
    std::string body;
    std::string digest;
    std::string descriptor;
};
Padded padded_referrer(const std::string &subject, const std::string &type, const std::string &tag, size_t pad,
                       bool index = false)
{
    const std::string annotations = "{\"tag\":\"" + tag + "\",\"pad\":\"" + std::string(pad, 'x') + "\"}";
    Padded p;
    p.body = index ? index_of({}, ",\"artifactType\":\"" + type + "\"" + subject_member(subject) +
                                      ",\"annotations\":" + annotations)
                   : "{\"mediaType\":\"m\",\"artifactType\":\"" + type + "\",\"config\":{\"digest\":\"" +
                         digest_of('a') + "\"}" + subject_member(subject) + ",\"annotations\":" + annotations + "}";
    p.digest = "sha256:" + sha256_hex(p.body);
    const std::string media_type = index ? kIndexType : "m";
    p.descriptor = "{\"mediaType\":\"" + media_type + "\",\"digest\":\"" + p.digest +
                   "\",\"size\":" + std::to_string(p.body.size()) + ",\"artifactType\":\"" + type +
                   "\",\"annotations\":" + annotations + "}";
    return p;
}

// Walks the listing page by page from the first, following each page's
// cursor, and checks every page against want (the whole listing's
// descriptors by digest, in order): each is a whole index within the page
// bound holding the next descriptors of want, cut only where the n-th was
// reached or the next would not fit, its cursor naming its last entry.
// Returns the number of pages.
size_t walk_pages(const std::string &subject, const char *filter, int n,
                  const std::vector<std::pair<std::string, std::string>> &want)
{
    const std::string head = kEmptyIndexHead;
    size_t at = 0;
    size_t pages = 0;
    std::string last;
    for (; pages < 1000; ++pages) {
        SCOPED_TRACE("page " + std::to_string(pages));
        char next[REG_DIGEST_BUF];
        const char *got = reg_referrers_page_json(kRepo, subject.c_str(), filter, n, last.c_str(), next, sizeof next);
        EXPECT_NE(got, nullptr) << reg_storage_last_error();
        if (!got)
            break;
        const std::string doc = got;
        EXPECT_LE(doc.size(), REG_REFERRERS_PAGE_MAX);
        size_t count = 0;
        std::string expect = head;
        while (at + count < want.size() && doc.compare(0, expect.size(), expect) == 0 &&
               doc.compare(expect.size(), want[at + count].second.size(), want[at + count].second) == 0) {
            expect += want[at + count].second;
            ++count;
            if (doc.compare(expect.size(), 1, ",") != 0)
                break;
            expect += ",";
        }
        EXPECT_EQ(doc, expect + "]}") << "not the next descriptors of the listing, whole";
        if (doc != expect + "]}")
            break;
        at += count;
        if (next[0] == '\0')
            break;
        EXPECT_GT(count, 0u);
        EXPECT_EQ(next, want[at - 1].first);
        EXPECT_LT(at, want.size()) << "a cursor although nothing follows";
        if (count == 0 || at >= want.size())
            break;
        const bool full =
            static_cast<int>(count) == n || doc.size() + 1 + want[at].second.size() > REG_REFERRERS_PAGE_MAX;
        EXPECT_TRUE(full) << "cut although the next descriptor fits";
        last = next;
    }
    EXPECT_EQ(at, want.size()) << "the pages together hold every referrer";
    return pages + 1;
}

TEST_F(IndexTest, PagesFollowTheCursorWithAndWithoutFilter)
{
    // 24 referrers of two types, every fourth with a 100 KB annotation: more
    // than one page holds, and a filter skips entries of either size.
    const std::string subject = digest_of('5');
    const char *types[] = {"application/vnd.example.sig", "application/vnd.example.sbom"};
    std::vector<std::pair<std::string, std::string>> all, sigs, sboms;
    for (int i = 0; i < 24; ++i) {
        const int t = i % 3 == 0 ? 0 : 1;
        Padded p = padded_referrer(subject, types[t], std::to_string(i), i % 4 == 0 ? 100000 : 10 + i, i % 5 == 0);
        EXPECT_EQ(put(p.body, kOciType, "", i % 5 == 0), p.digest);
        all.emplace_back(p.digest, p.descriptor);
        (t == 0 ? sigs : sboms).emplace_back(p.digest, p.descriptor);
    }
    // Another subject's referrer is no entry of these pages.
    put(padded_referrer(digest_of('6'), types[0], "x", 200000).body, kOciType);
    for (auto *v : {&all, &sigs, &sboms})
        std::sort(v->begin(), v->end());

    struct Case {
        const char *label;
        const char *filter;
        int n;
        const std::vector<std::pair<std::string, std::string>> &want;
        size_t pages;
    };
    const std::vector<std::pair<std::string, std::string>> none;
    const Case kCases[] = {
        {"all, cut by size", nullptr, -1, all, 3},
        {"all, n = 5", nullptr, 5, all, 5},
        {"all, n = 1", nullptr, 1, all, 24},
        {"one type, cut by size", types[0], -1, sigs, 1},
        {"one type, n = 3", types[0], 3, sigs, 3},
        {"other type, cut by size", types[1], -1, sboms, 2},
        {"other type, n = 7", types[1], 7, sboms, 3},
        {"a type nobody has", "application/vnd.example.none", -1, none, 1},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(walk_pages(subject, c.filter, c.n, c.want), c.pages);
    }
}

TEST_F(IndexTest, ManyReferrersAreAllListed)
{
    // More referrers than one pass over the directory looks at (a page's
    // worth), laid out as the store leaves them. Every 500th in digest order
    // has a rare type, the last one among them, so that the filtered
    // listing has to pass over the directory again for one page.
    const std::string subject = digest_of('5');
    const std::string dir = manifests_ + "/referrers/sha256/" + subject.substr(7);
    fs::create_directories(dir);
    std::vector<std::string> hexes;
    for (int i = 0; i < 5000; ++i)
        hexes.push_back(sha256_hex(std::to_string(i)));
    std::sort(hexes.begin(), hexes.end());
    std::vector<std::pair<std::string, std::string>> all, rare;
    for (size_t i = 0; i < hexes.size(); ++i) {
        const std::string digest = "sha256:" + hexes[i];
        const bool is_rare = i % 500 == 499;
        const std::string descriptor = "{\"mediaType\":\"m\",\"digest\":\"" + digest +
                                       "\",\"size\":1,\"artifactType\":\"" + (is_rare ? "rare" : "common") + "\"}";
        put_file(manifests_ + "/" + hexes[i], "{}");
        put_file(dir + "/" + hexes[i], descriptor);
        all.emplace_back(digest, descriptor);
        if (is_rare)
            rare.emplace_back(digest, descriptor);
    }
    EXPECT_GT(walk_pages(subject, nullptr, -1, all), 1u);
    EXPECT_EQ(walk_pages(subject, "rare", -1, rare), 1u);
    EXPECT_EQ(walk_pages(subject, "rare", 4, rare), 3u);
}

TEST_F(IndexTest, DescriptorLargerThanAPageIsRefused)
{
    // The size member has as many digits at both lengths, so the padding
    // that gives a descriptor of the limit follows from one probe.
    const std::string subject = digest_of('5');
    const std::string type = "application/vnd.example.sig";
    for (bool index : {false, true}) {
        SCOPED_TRACE(index ? "index" : "image manifest");
        const size_t probe = 200000;
        const size_t fixed = padded_referrer(subject, type, "big", probe, index).descriptor.size() - probe;
        const size_t fits = REG_REFERRER_DESCRIPTOR_MAX - fixed;

        Padded over = padded_referrer(subject, type, "big", fits + 1, index);
        ASSERT_EQ(over.descriptor.size(), REG_REFERRER_DESCRIPTOR_MAX + 1);
        const std::set<std::string> before = fs::exists(manifests_) ? tree(manifests_) : std::set<std::string>{};
        snprintf(s_error, sizeof s_error, "sentinel");
        char digest[REG_DIGEST_BUF] = {};
        int rc = index ? reg_manifest_put_index(kRepo, "big", over.body.data(), over.body.size(), kIndexType, digest)
                       : reg_manifest_put(kRepo, "big", over.body.data(), over.body.size(), kOciType, digest);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_INVALID);
        EXPECT_EQ(std::string(reg_storage_last_error()),
                  "referrer descriptor too large: " + std::to_string(REG_REFERRER_DESCRIPTOR_MAX + 1) +
                      " bytes, at most " + std::to_string(REG_REFERRER_DESCRIPTOR_MAX));
        EXPECT_STREQ(digest, "");
        EXPECT_EQ(fs::exists(manifests_) ? tree(manifests_) : std::set<std::string>{}, before) << "nothing stored";

        // One byte less fills a page alone, beside a small referrer that
        // then takes the next page.
        Padded at = padded_referrer(subject, type, "big", fits, index);
        ASSERT_EQ(at.descriptor.size(), REG_REFERRER_DESCRIPTOR_MAX);
        EXPECT_EQ(put(at.body, index ? kIndexType : kOciType, "", index), at.digest);
        Padded small = padded_referrer(subject, type, "small", 1, index);
        put(small.body, kOciType, "", index);
        std::vector<std::pair<std::string, std::string>> want = {{at.digest, at.descriptor},
                                                                 {small.digest, small.descriptor}};
        std::sort(want.begin(), want.end());
        EXPECT_EQ(walk_pages(subject, nullptr, -1, want), 2u);
        std::string next;
        EXPECT_EQ(referrers_page(subject, nullptr, -1, nullptr, &next).size() +
                      referrers_page(subject, nullptr, -1, next.c_str(), &next).size(),
                  REG_REFERRERS_PAGE_MAX + index_doc({small.descriptor}).size());
        ASSERT_EQ(reg_manifest_delete_digest(kRepo, at.digest.c_str()), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_manifest_delete_digest(kRepo, small.digest.c_str()), 0) << reg_storage_last_error();
    }
}

} // namespace
