// End to end behind lighttpd: image indexes pushed and pulled through the
// manifest endpoint, manifests that name a subject, the referrers listing
// with its filter and its pages, the refusal of a referrer too large for a
// page, deletion of a referrer, and the status of every reply to a
// malformed digest or query value.
#include <algorithm>
#include <map>

#include "e2e_server.h"
#include "reg_storage.h"

using namespace e2e;
using cgitest::sha256_digest;
namespace fs = std::filesystem;

namespace {

constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr const char kListType[] = "application/vnd.docker.distribution.manifest.list.v2+json";
constexpr const char kSigType[] = "application/vnd.example.sig";

std::string digest_of(char c)
{
    return "sha256:" + std::string(64, c);
}

std::string platform_manifest(char config)
{
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{"
           "\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
           digest_of(config) + "\",\"size\":2},\"layers\":[]}";
}

std::string index_of(const std::vector<std::string> &digests, const std::string &extra = "")
{
    std::string s = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[";
    const char *arch[] = {"amd64", "arm64"};
    for (size_t i = 0; i < digests.size(); ++i) {
        s += (i ? "," : "");
        s += "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digests[i] +
             "\",\"size\":100,\"platform\":{\"architecture\":\"" + arch[i % 2] + "\",\"os\":\"linux\"}}";
    }
    return s + "]" + extra + "}";
}

std::string subject_member(const std::string &digest)
{
    return ",\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digest +
           "\",\"size\":7}";
}

// An artifact that signs subject: artifactType and annotations carried over
// into its descriptor.
std::string signature_of(const std::string &subject)
{
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"artifactType\":\"" +
           std::string(kSigType) + "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" +
           digest_of('e') + "\",\"size\":2},\"layers\":[]" + subject_member(subject) +
           ",\"annotations\":{\"org.example.signer\":\"ci\"}}";
}

std::string empty_index()
{
    return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[]}";
}

// An artifact of the given type that refers to subject, its annotation
// padded by pad bytes, and the descriptor the listing serves for it.
struct Artifact {
    std::string body;
    std::string digest;
    std::string descriptor;
};
Artifact artifact_of(const std::string &subject, const std::string &type, const std::string &tag, size_t pad)
{
    const std::string annotations = "{\"tag\":\"" + tag + "\",\"pad\":\"" + std::string(pad, 'x') + "\"}";
    Artifact a;
    a.body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) + "\",\"artifactType\":\"" + type +
             "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + digest_of('e') +
             "\",\"size\":2},\"layers\":[]" + subject_member(subject) + ",\"annotations\":" + annotations + "}";
    a.digest = sha256_digest(a.body);
    a.descriptor = "{\"mediaType\":\"" + std::string(kOciType) + "\",\"digest\":\"" + a.digest +
                   "\",\"size\":" + std::to_string(a.body.size()) + ",\"artifactType\":\"" + type +
                   "\",\"annotations\":" + annotations + "}";
    return a;
}

// The padding that gives an artifact's descriptor exactly size bytes, for
// artifacts whose size member has as many digits as the probe's (100 KB to
// 1 MB bodies).
size_t pad_for(const std::string &subject, const std::string &type, const std::string &tag, size_t size)
{
    const size_t probe = 200000;
    return size - (artifact_of(subject, type, tag, probe).descriptor.size() - probe);
}

class ReferrersE2eTest : public LighttpdTest {
protected:
    Response put(const std::string &ref, const std::string &body, const std::string &type)
    {
        return http("PUT", "/v2/library/app/manifests/" + ref, body, {"Content-Type: " + type});
    }
    void expect_index_reply(const Response &r, const std::string &body)
    {
        EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
        EXPECT_EQ(r.get("Content-Type"), kIndexType);
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
        EXPECT_EQ(r.body, body);
        EXPECT_EQ(r.get("Content-Length"), std::to_string(r.body.size()));
    }
};

TEST_F(ReferrersE2eTest, IndexPushedAndPulledByTagAndDigest)
{
    const std::string amd = platform_manifest('a');
    const std::string arm = platform_manifest('b');
    ASSERT_EQ(put(sha256_digest(amd), amd, kOciType).status, 201);
    ASSERT_EQ(put(sha256_digest(arm), arm, kOciType).status, 201);

    struct Case {
        const char *label;
        std::string declared; // as sent
        std::string index;
    };
    const Case kCases[] = {
        {"OCI index", kIndexType, index_of({sha256_digest(amd), sha256_digest(arm)})},
        {"with a parameter", std::string(kIndexType) + "; charset=utf-8", index_of({sha256_digest(arm)})},
        {"other case", "Application/VND.OCI.Image.Index.v1+json", index_of({sha256_digest(amd)})},
        {"Docker manifest list", kListType, index_of({sha256_digest(arm), sha256_digest(amd)})},
        {"empty index", kIndexType, index_of({})},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        const std::string digest = sha256_digest(c.index);
        Response r = put("multi", c.index, c.declared);
        EXPECT_EQ(r.status_line, "HTTP/1.0 201 Created");
        EXPECT_EQ(r.get("Location"), "/v2/library/app/manifests/multi");
        EXPECT_EQ(r.get("Docker-Content-Digest"), digest);
        EXPECT_EQ(r.get("OCI-Subject"), "<absent>");
        for (const std::string &ref : {std::string("multi"), digest}) {
            Response get = http("GET", "/v2/library/app/manifests/" + ref);
            EXPECT_EQ(get.status_line, "HTTP/1.0 200 OK") << ref;
            EXPECT_EQ(get.body, c.index);
            EXPECT_EQ(get.get("Content-Type"), c.declared);
            EXPECT_EQ(get.get("Docker-Content-Digest"), digest);
            Response head = http("HEAD", "/v2/library/app/manifests/" + ref);
            EXPECT_EQ(head.status, 200);
            EXPECT_EQ(head.get("Content-Length"), std::to_string(c.index.size()));
            EXPECT_EQ(head.body, "");
        }
    }

    // The declared type decides the rule: an index sent as an image manifest
    // and an image manifest sent as an index are both refused.
    const std::string index = index_of({sha256_digest(amd)});
    expect_error(put("wrong", index, kOciType), 400, "MANIFEST_INVALID", "manifest missing valid config.digest");
    expect_error(put("wrong", amd, kIndexType), 400, "MANIFEST_INVALID", "index missing manifests array");
    expect_error(put("wrong", index_of({"sha256:abc"}), kListType), 400, "MANIFEST_INVALID",
                 "index manifest 0 missing valid digest");
    expect_error(http("GET", "/v2/library/app/manifests/wrong"), 404, "MANIFEST_UNKNOWN", "manifest unknown");

    // Deleted like a manifest; the platform manifests stay.
    const std::string last = sha256_digest(index_of({}));
    EXPECT_EQ(http("DELETE", "/v2/library/app/manifests/multi").status, 202);
    expect_error(http("GET", "/v2/library/app/manifests/" + last), 404, "MANIFEST_UNKNOWN", "manifest unknown");
    EXPECT_EQ(http("GET", "/v2/library/app/manifests/" + sha256_digest(amd)).body, amd);
}

TEST_F(ReferrersE2eTest, SubjectsAndTheReferrersListing)
{
    const std::string image = platform_manifest('a');
    const std::string image_digest = sha256_digest(image);
    const std::string sig = signature_of(image_digest);
    const std::string sig_digest = sha256_digest(sig);
    const std::string sig_desc = "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" +
                                 sig_digest + "\",\"size\":" + std::to_string(sig.size()) +
                                 ",\"artifactType\":\"application/vnd.example.sig\","
                                 "\"annotations\":{\"org.example.signer\":\"ci\"}}";

    // Before its subject exists: accepted, and the reply names the subject.
    Response r = put(sig_digest, sig, kOciType);
    EXPECT_EQ(r.status_line, "HTTP/1.0 201 Created");
    EXPECT_EQ(r.get("OCI-Subject"), image_digest);
    const std::string referrers = "/v2/library/app/referrers/" + image_digest;
    Response list = http("GET", referrers);
    expect_index_reply(list, "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" +
                                 sig_desc + "]}");
    EXPECT_EQ(list.get("OCI-Filters-Applied"), "<absent>");

    // The subject arrives, then an index that refers to it too.
    r = put("v1", image, kOciType);
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.get("OCI-Subject"), "<absent>");
    const std::string attached = index_of({digest_of('c')}, subject_member(image_digest));
    const std::string attached_digest = sha256_digest(attached);
    r = put("attached", attached, kIndexType);
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.get("OCI-Subject"), image_digest);
    const std::string attached_desc = "{\"mediaType\":\"" + std::string(kIndexType) + "\",\"digest\":\"" +
                                      attached_digest + "\",\"size\":" + std::to_string(attached.size()) + "}";
    std::vector<std::string> both = {sig_desc, attached_desc};
    if (attached_digest < sig_digest)
        std::swap(both[0], both[1]);
    const std::string head = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[";
    expect_index_reply(http("GET", referrers), head + both[0] + "," + both[1] + "]}");

    // The filter, encoded or not, and a type nobody has.
    for (const std::string &query : {std::string("?artifactType=application%2Fvnd.example.sig"),
                                     std::string("?artifactType=application/vnd.example.sig")}) {
        SCOPED_TRACE(query);
        Response f = http("GET", referrers + query);
        expect_index_reply(f, head + sig_desc + "]}");
        EXPECT_EQ(f.get("OCI-Filters-Applied"), "artifactType");
    }
    Response none = http("GET", referrers + "?artifactType=application%2Fvnd.example.none");
    expect_index_reply(none, empty_index());
    EXPECT_EQ(none.get("OCI-Filters-Applied"), "artifactType");

    // Nobody refers to it, or the repository does not exist: empty, never 404.
    expect_index_reply(http("GET", "/v2/library/app/referrers/" + digest_of('d')), empty_index());
    expect_index_reply(http("GET", "/v2/nothing/here/referrers/" + image_digest), empty_index());
    Response h = http("HEAD", referrers);
    EXPECT_EQ(h.status, 200);
    EXPECT_EQ(h.body, "");

    // A deleted referrer leaves the listing; deleting the subject does not
    // touch its referrers.
    EXPECT_EQ(http("DELETE", "/v2/library/app/manifests/" + sig_digest).status, 202);
    expect_index_reply(http("GET", referrers), head + attached_desc + "]}");
    EXPECT_EQ(http("DELETE", "/v2/library/app/manifests/v1").status, 202);
    expect_index_reply(http("GET", referrers), head + attached_desc + "]}");
    EXPECT_EQ(http("DELETE", "/v2/library/app/manifests/attached").status, 202);
    expect_index_reply(http("GET", referrers), empty_index());
}

TEST_F(ReferrersE2eTest, MalformedDigestsNeverFailTheServer)
{
    const std::string good = platform_manifest('a');
    const std::string other = digest_of('f');
    struct Case {
        const char *method;
        std::string target;
        std::string body;
        int status;
        const char *code;
        std::string message;
    };
    const Case kCases[] = {
        {"GET", "/v2/library/app/manifests/sha256:zz", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"GET", "/v2/library/app/manifests/sha256:" + std::string(64, 'A'), "", 404, "MANIFEST_UNKNOWN",
         "manifest unknown"},
        {"DELETE", "/v2/library/app/manifests/sha256:zz", "", 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {"DELETE", "/v2/library/app/manifests/sha512:" + std::string(128, 'a'), "", 404, "MANIFEST_UNKNOWN",
         "manifest unknown"},
        {"PUT", "/v2/library/app/manifests/sha256:totallywrong", good, 400, "MANIFEST_INVALID",
         "invalid digest reference"},
        {"PUT", "/v2/library/app/manifests/" + other, good, 400, "MANIFEST_INVALID",
         "digest mismatch: expected " + other + ", got " + sha256_digest(good)},
        {"GET", "/v2/library/app/referrers/sha256:1234", "", 400, "DIGEST_INVALID", "invalid digest"},
        {"GET", "/v2/library/app/referrers/12345", "", 400, "DIGEST_INVALID", "invalid digest"},
        {"GET", "/v2/library/app/referrers/", "", 400, "DIGEST_INVALID", "invalid digest"},
        {"GET", "/v2/library/app/referrers/sha256:" + std::string(64, 'A'), "", 400, "DIGEST_INVALID",
         "invalid digest"},
        {"GET", "/v2/library/app/referrers/" + other + "x", "", 400, "DIGEST_INVALID", "invalid digest"},
        {"GET", "/v2/a..b/referrers/" + other, "", 400, "NAME_INVALID", "invalid repository name"},
        {"GET", "/v2/-app/referrers/" + other, "", 400, "NAME_INVALID", "invalid repository name"},
        {"DELETE", "/v2/library/app/referrers/" + other, "", 405, "UNSUPPORTED",
         "Method not allowed for referrers endpoint"},
        {"GET", "/v2/library/app/referrers/" + other + "?last=sha256:1234", "", 400, "DIGEST_INVALID",
         "invalid last digest"},
        {"GET", "/v2/library/app/referrers/" + other + "?last=" + std::string(64, 'f'), "", 400, "DIGEST_INVALID",
         "invalid last digest"},
        {"GET", "/v2/library/app/referrers/" + other + "?n=-1", "", 400, "UNSUPPORTED",
         "invalid number of results requested"},
        {"GET", "/v2/library/app/referrers/sha256:1234?last=" + other, "", 400, "DIGEST_INVALID", "invalid digest"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        expect_error(http(c.method, c.target, c.body, {std::string("Content-Type: ") + kOciType}), c.status, c.code,
                     c.message);
    }
    Response head = http("HEAD", "/v2/library/app/manifests/sha256:zz");
    EXPECT_EQ(head.status, 404);
    EXPECT_EQ(head.body, "");
}

// One walk over the referrers listing: the query of its first page, and what
// each Link must repeat of it (n, the filter as the Link encodes it).
struct Query {
    std::string first; // "" or "?..."
    std::string n;     // "" or "n=<count>&"
    std::string kept;  // "" or "&artifactType=<encoded type>"
};
struct Walk {
    std::vector<std::string> digests; // of every page, in order
    size_t pages = 0;
};

class ReferrersPagingTest : public ReferrersE2eTest {
protected:
    // Follows the Link headers from the first page on, checking every page:
    // a whole index within the page bound, the filter reported when one is
    // applied, and a Link to the page after its last descriptor that keeps
    // n and the filter.
    Walk walk(const std::string &path, const Query &q)
    {
        static const std::string head =
            "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[";
        static const std::string digest_key = "\"digest\":\"";
        Walk w;
        for (std::string target = path + q.first; !target.empty() && w.pages < 100;) {
            SCOPED_TRACE(target);
            ++w.pages;
            Response r = http("GET", target);
            EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK") << r.body;
            EXPECT_EQ(r.get("Content-Type"), kIndexType);
            EXPECT_EQ(r.get("Content-Length"), std::to_string(r.body.size()));
            EXPECT_EQ(r.get("OCI-Filters-Applied"), q.kept.empty() ? "<absent>" : "artifactType");
            EXPECT_LE(r.body.size(), REG_REFERRERS_PAGE_MAX);
            EXPECT_EQ(r.body.compare(0, head.size(), head), 0);
            EXPECT_EQ(r.body.substr(r.body.size() - 2), "]}");
            // Annotations here hold no digest member, so every "digest" key
            // is a descriptor's.
            std::vector<std::string> page;
            for (size_t at = r.body.find(digest_key); at != std::string::npos; at = r.body.find(digest_key, at + 1))
                page.push_back(r.body.substr(at + digest_key.size(), 71));
            w.digests.insert(w.digests.end(), page.begin(), page.end());

            std::vector<std::string> links = r.all("Link");
            EXPECT_LE(links.size(), 1u);
            target.clear();
            if (links.empty() || page.empty()) {
                EXPECT_TRUE(links.empty()) << "a Link after an empty page";
                break;
            }
            target = path + "?" + q.n + "last=sha256%3A" + page.back().substr(7) + q.kept;
            EXPECT_EQ(links.front(), "<" + target + ">; rel=\"next\"");
        }
        return w;
    }
};

TEST_F(ReferrersPagingTest, HugeReferrerNoLongerHidesTheOthers)
{
    // Eight signatures and four SBOMs of one subject. Three signatures and
    // one SBOM have descriptors as large as a page allows, another SBOM's
    // fills over half a page: together more than the 1 MiB result buffer.
    const std::string subject = sha256_digest(platform_manifest('a'));
    const std::string sbom = "application/spdx+json";
    std::map<std::string, std::vector<std::string>> by_type;
    for (int i = 0; i < 12; ++i) {
        const std::string type = i < 8 ? kSigType : sbom;
        const std::string tag = "t" + std::to_string(i);
        const bool huge = i == 1 || i == 3 || i == 5 || i == 9;
        size_t pad = i == 10 ? 150000 : 10 + i;
        if (huge)
            pad = pad_for(subject, type, tag, REG_REFERRER_DESCRIPTOR_MAX);
        Artifact a = artifact_of(subject, type, tag, pad);
        if (huge) {
            ASSERT_EQ(a.descriptor.size(), REG_REFERRER_DESCRIPTOR_MAX);
        }
        Response r = put(a.digest, a.body, kOciType);
        ASSERT_EQ(r.status, 201) << r.body;
        EXPECT_EQ(r.get("OCI-Subject"), subject);
        by_type[type].push_back(a.digest);
        by_type[""].push_back(a.digest);
    }
    for (auto &[type, digests] : by_type)
        std::sort(digests.begin(), digests.end());

    const std::string path = "/v2/library/app/referrers/" + subject;
    // The Link encodes what the query encoding would change ('+' and ':'),
    // and nothing else.
    const std::string sig_kept = "&artifactType=application/vnd.example.sig";
    const std::string sbom_kept = "&artifactType=application/spdx%2Bjson";
    struct Case {
        const char *label;
        Query query;
        std::string type;
        size_t min_pages;
    };
    const Case kCases[] = {
        {"no filter", {"", "", ""}, "", 5},
        {"signatures", {"?artifactType=application%2Fvnd.example.sig", "", sig_kept}, kSigType, 3},
        {"SBOMs", {"?artifactType=application%2Fspdx%2Bjson", "", sbom_kept}, sbom, 2},
        {"no filter, n=2", {"?n=2", "n=2&", ""}, "", 7},
        {"signatures, n=3", {"?n=3&artifactType=application/vnd.example.sig", "n=3&", sig_kept}, kSigType, 4},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        Walk w = walk(path, c.query);
        // Every referrer once, in digest order, over several pages.
        EXPECT_EQ(w.digests, by_type[c.type]);
        EXPECT_GE(w.pages, c.min_pages);
    }
}

TEST_F(ReferrersPagingTest, ReferrerTooLargeForAPageIsRefused)
{
    const std::string subject = sha256_digest(platform_manifest('a'));
    Artifact small = artifact_of(subject, kSigType, "small", 1);
    ASSERT_EQ(put(small.digest, small.body, kOciType).status, 201);
    const size_t pad = pad_for(subject, kSigType, "big", REG_REFERRER_DESCRIPTOR_MAX + 1);
    Artifact big = artifact_of(subject, kSigType, "big", pad);
    ASSERT_EQ(big.descriptor.size(), REG_REFERRER_DESCRIPTOR_MAX + 1);
    for (const std::string &ref : {std::string("big"), big.digest}) {
        SCOPED_TRACE(ref);
        expect_error(put(ref, big.body, kOciType), 400, "MANIFEST_INVALID",
                     "referrer descriptor too large: " + std::to_string(REG_REFERRER_DESCRIPTOR_MAX + 1) +
                         " bytes, at most " + std::to_string(REG_REFERRER_DESCRIPTOR_MAX));
        expect_error(http("GET", "/v2/library/app/manifests/" + ref), 404, "MANIFEST_UNKNOWN", "manifest unknown");
    }
    EXPECT_FALSE(fs::exists(root_ + "/repositories/library/app/_manifests/" + big.digest.substr(7)));
    Response list = http("GET", "/v2/library/app/referrers/" + subject);
    expect_index_reply(list, "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" +
                                 small.descriptor + "]}");
    EXPECT_EQ(list.get("Link"), "<absent>");
}

} // namespace
