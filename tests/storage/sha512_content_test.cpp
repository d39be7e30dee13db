// Content addressed by SHA-512 beside SHA-256: blobs, manifests stored by a
// sha512 digest reference, tags pointed at them, referrers of a sha512
// subject, and what gc, verify and the statistics make of such content. The
// store lays it out under its own algorithm directories and leaves the
// sha256 layout as it was.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temp_root.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kRepo = "library/app";
constexpr const char *kOciType = "application/vnd.oci.image.manifest.v1+json";

// SHA-512 of "abc" (FIPS 180-2, appendix C).
const std::string kAbc512 = "sha512:ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836"
                            "ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";

std::string sha512_of(const std::string &bytes)
{
    char out[REG_DIGEST_BUF];
    content_digest(&DIGEST_ALGOS[DIGEST_SHA512], bytes.data(), bytes.size(), out);
    return out;
}

std::string image_manifest(const std::string &config, const std::vector<std::string> &layers,
                           const std::string &subject = "")
{
    std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) +
                       "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
                       config + "\",\"size\":3},\"layers\":[";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + std::string("{\"mediaType\":\"application/octet-stream\",\"digest\":\"") + layers[i] +
                "\",\"size\":3}";
    body += "]";
    if (!subject.empty())
        body += ",\"subject\":{\"mediaType\":\"" + std::string(kOciType) + "\",\"digest\":\"" + subject +
                "\",\"size\":1}";
    return body + "}";
}

class Sha512ContentTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = dir_ + "/root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }

    // Uploads bytes into the repository and finishes with expected.
    int push_blob(const std::string &bytes, const std::string &expected, const char *repo = kRepo)
    {
        char id[REG_UUID_BUF];
        char out[REG_DIGEST_BUF] = {};
        if (reg_blob_start_repo_upload(repo, id) != 0 || reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0)
            return -1;
        int rc = reg_blob_finish_repo_upload(repo, id, expected.c_str(), out);
        if (rc == 0) {
            EXPECT_EQ(out, expected);
        }
        return rc;
    }

    std::string blob_file(const std::string &digest) const
    {
        return root_ + "/blobs/" + digest.substr(0, 6) + "/" + digest.substr(7, 2) + "/" + digest.substr(7);
    }
    std::string mdir() const { return root_ + "/repositories/" + kRepo + "/_manifests"; }

    std::string served(const std::string &ref, std::string *digest_out = nullptr)
    {
        char ct[REG_CONTENT_TYPE_BUF] = {};
        char digest[REG_DIGEST_BUF] = {};
        const char *body = reg_manifest_get(kRepo, ref.c_str(), ct, digest);
        if (digest_out)
            *digest_out = digest;
        return body ? body : "<none>";
    }

    std::string root_;
};

TEST_F(Sha512ContentTest, BlobsLiveUnderTheirAlgorithmBesideSha256)
{
    ASSERT_EQ(push_blob("abc", kAbc512), 0) << reg_storage_last_error();
    const std::string abc256 = digest_of("abc");
    ASSERT_EQ(push_blob("abc", abc256), 0) << reg_storage_last_error();

    // The same bytes under each algorithm: two blobs, each where its
    // digest says, neither moved by the other.
    EXPECT_EQ(slurp(blob_file(kAbc512)), "abc");
    EXPECT_EQ(blob_file(kAbc512), root_ + "/blobs/sha512/dd/" + kAbc512.substr(7));
    EXPECT_EQ(slurp(blob_file(abc256)), "abc");
    EXPECT_EQ(reg_blob_exists(kAbc512.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(kAbc512.c_str()), 3);
    EXPECT_EQ(reg_repo_blob_held(kRepo, kAbc512.c_str()), 1);
    EXPECT_EQ(slurp(root_ + "/repositories/" + kRepo + "/_layers/" + kAbc512.substr(7)), kAbc512);

    char path[REG_PATH_BUF];
    ASSERT_EQ(reg_blob_get_filepath(kAbc512.c_str(), path, sizeof path), 0);
    EXPECT_EQ(path, blob_file(kAbc512));
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(reg_blob_send_range_file(kAbc512.c_str(), 1, 2, out), 0) << reg_storage_last_error();
    rewind(out);
    char got[3] = {};
    EXPECT_EQ(fread(got, 1, 2, out), 2u);
    fclose(out);
    EXPECT_STREQ(got, "bc");

    // Mounting into another repository and giving the hold up again.
    EXPECT_EQ(reg_repo_blob_link("library/other", kAbc512.c_str()), 0);
    EXPECT_EQ(reg_repo_blob_held("library/other", kAbc512.c_str()), 1);
    EXPECT_EQ(reg_repo_blob_unlink("library/other", kAbc512.c_str()), 0);
    EXPECT_EQ(reg_repo_blob_held("library/other", kAbc512.c_str()), 0);

    EXPECT_EQ(reg_blob_delete(kAbc512.c_str()), 0);
    EXPECT_EQ(reg_blob_exists(kAbc512.c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ + "/blobs/sha512/dd")) << "the fan-out directory goes with its last blob";
    EXPECT_EQ(reg_blob_exists(abc256.c_str()), 1);
}

TEST_F(Sha512ContentTest, AnUploadIsHashedByTheAlgorithmOfTheDigestExpected)
{
    // The SHA-256 digits of the bytes under the sha512 name, and the
    // SHA-512 of other bytes: both refused, the upload spent, nothing stored.
    const std::string wrong[] = {"sha512:" + sha256_hex("abc") + sha256_hex("abc"), sha512_of("abd")};
    for (const std::string &expected : wrong) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(push_blob("abc", expected), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_DIGEST);
        EXPECT_EQ(std::string(reg_storage_last_error()),
                  "digest mismatch: expected " + expected + ", got " + kAbc512);
    }
    const std::string malformed[] = {"sha512:" + std::string(127, 'a'), "sha512:" + sha256_hex("abc"),
                                     "sha384:" + std::string(96, 'a')};
    for (const std::string &expected : malformed) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(push_blob("abc", expected), -1);
        EXPECT_STREQ(reg_storage_last_error(), "invalid expected digest");
        EXPECT_EQ(reg_blob_exists(expected.c_str()), -1);
    }
    EXPECT_FALSE(fs::exists(root_ + "/blobs/sha512"));
    EXPECT_EQ(slurp(root_ + "/repositories/" + kRepo + "/_layers/" + kAbc512.substr(7)), "<missing>");
}

TEST_F(Sha512ContentTest, AManifestStoredBySha512IsNamedByItAndTaggedByIt)
{
    ASSERT_EQ(push_blob("cfg", sha512_of("cfg")), 0);
    ASSERT_EQ(push_blob("abc", kAbc512), 0);
    const std::string body = image_manifest(sha512_of("cfg"), {kAbc512});
    const std::string digest = sha512_of(body);
    const std::string hex = digest.substr(7);
    const char *tags[] = {"v1", "stable", "v1"};
    char out[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put_tags(0, kRepo, digest.c_str(), tags, 3, body.data(), body.size(), kOciType, out), 0)
        << reg_storage_last_error();
    EXPECT_EQ(out, digest);

    // Body under its 128 digits, revision link under revisions/sha512,
    // each tag's link the whole sha512 digest string.
    EXPECT_EQ(slurp(mdir() + "/" + hex), body);
    EXPECT_EQ(slurp(mdir() + "/revisions/sha512/" + hex + "/link"), digest);
    EXPECT_FALSE(fs::exists(mdir() + "/revisions/sha256"));
    for (const char *tag : {"v1", "stable"})
        EXPECT_EQ(slurp(mdir() + "/tags/" + tag + "/current/link"), digest) << tag;

    for (const std::string &ref : {digest, std::string("v1"), std::string("stable")}) {
        SCOPED_TRACE(ref);
        std::string got_digest;
        EXPECT_EQ(served(ref, &got_digest), body);
        EXPECT_EQ(got_digest, digest);
    }
    const char *listed = reg_tags_list_json(kRepo);
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(listed, "{\"name\":\"library/app\",\"tags\":[\"stable\",\"v1\"]}");

    // The same body pushed by tag is named by its SHA-256, beside it.
    ASSERT_EQ(reg_manifest_put(kRepo, "latest", body.data(), body.size(), kOciType, out), 0);
    EXPECT_EQ(out, digest_of(body));
    std::string latest_digest;
    EXPECT_EQ(served("latest", &latest_digest), body);
    EXPECT_EQ(latest_digest, digest_of(body));

    // Deleting by the sha512 digest takes its tags, not the sha256 copy.
    ASSERT_EQ(reg_manifest_delete_digest(kRepo, digest.c_str()), 0) << reg_storage_last_error();
    for (const std::string &ref : {digest, std::string("v1"), std::string("stable")})
        EXPECT_EQ(served(ref), "<none>") << ref;
    EXPECT_EQ(served("latest"), body);
}

TEST_F(Sha512ContentTest, RefusedDigestsAndTagsStoreNothing)
{
    const std::string body = image_manifest(sha512_of("cfg"), {});
    const std::string digest = sha512_of(body);
    struct Case {
        const char *label;
        std::string reference;
        std::vector<const char *> tags;
        const char *message_start;
    };
    const Case kCases[] = {
        {"other bytes' digest", sha512_of("other"), {}, "digest mismatch: expected sha512:"},
        {"sha256 digits under sha512", "sha512:" + sha256_hex(body), {}, "invalid digest reference"},
        {"tag leading out", digest, {"v1", ".."}, "invalid tag: .."},
        {"tag with a separator", digest, {"a/b"}, "invalid tag: a/b"},
        {"tag shaped as a digest", digest, {"sha256:abc"}, "invalid tag: sha256:abc"},
        {"empty tag", digest, {""}, "invalid tag: "},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        char out[REG_DIGEST_BUF] = {};
        EXPECT_EQ(reg_manifest_put_tags(0, kRepo, c.reference.c_str(), c.tags.data(), c.tags.size(), body.data(),
                                        body.size(), kOciType, out),
                  -1);
        EXPECT_EQ(std::string(reg_storage_last_error()).rfind(c.message_start, 0), 0u) << reg_storage_last_error();
        EXPECT_STREQ(out, "");
        EXPECT_FALSE(fs::exists(root_ + "/repositories/library")) << "nothing is written";
    }
}

TEST_F(Sha512ContentTest, ReferrersOfASha512SubjectArePagedByDigest)
{
    const std::string subject_body = image_manifest(sha512_of("cfg"), {});
    const std::string subject = sha512_of(subject_body);
    char out[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put(kRepo, subject.c_str(), subject_body.data(), subject_body.size(), kOciType, out), 0)
        << reg_storage_last_error();
    // One referrer named by its SHA-512, one by its SHA-256 (pushed by tag).
    const std::string by512 = image_manifest(sha512_of("sig"), {}, subject);
    const std::string by256 = image_manifest(sha512_of("sbom"), {}, subject);
    ASSERT_EQ(reg_manifest_put(kRepo, sha512_of(by512).c_str(), by512.data(), by512.size(), kOciType, out), 0)
        << reg_storage_last_error();
    char subject_out[REG_DIGEST_BUF] = {};
    EXPECT_EQ(reg_manifest_subject(kRepo, out, subject_out), 1);
    EXPECT_EQ(subject_out, subject);
    ASSERT_EQ(reg_manifest_put(kRepo, "sbom", by256.data(), by256.size(), kOciType, out), 0);
    EXPECT_TRUE(fs::exists(mdir() + "/referrers/sha512/" + subject.substr(7)));

    // One per page: the first page ends at the smaller digits, and the
    // next starts after that digest whatever its algorithm.
    std::vector<std::string> listed;
    std::string last;
    for (int page = 0; page < 3; ++page) {
        char next[REG_DIGEST_BUF] = {};
        const char *json = reg_referrers_page_json(kRepo, subject.c_str(), nullptr, 1, last.c_str(), next, sizeof next);
        ASSERT_NE(json, nullptr) << reg_storage_last_error();
        const std::string doc = json;
        for (const std::string &d : {sha512_of(by512), digest_of(by256)})
            if (doc.find("\"digest\":\"" + d + "\"") != std::string::npos)
                listed.push_back(d);
        last = next;
        if (last.empty())
            break;
    }
    const std::string first = sha512_of(by512).substr(7) < sha256_hex(by256) ? sha512_of(by512) : digest_of(by256);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], first);
    EXPECT_NE(listed[0], listed[1]);

    EXPECT_EQ(reg_referrers_page_json(kRepo, ("sha512:" + std::string(127, 'a')).c_str(), nullptr, -1, nullptr,
                                      nullptr, 0),
              nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "invalid subject digest");
}

TEST_F(Sha512ContentTest, GcVerifyAndStatisticsCoverBothAlgorithms)
{
    ASSERT_EQ(push_blob("cfg", sha512_of("cfg")), 0);
    ASSERT_EQ(push_blob("abc", kAbc512), 0);
    ASSERT_EQ(push_blob("loose", sha512_of("loose")), 0);
    ASSERT_EQ(push_blob("old", digest_of("old")), 0);
    const std::string body = image_manifest(sha512_of("cfg"), {kAbc512});
    char out[REG_DIGEST_BUF] = {};
    ASSERT_EQ(reg_manifest_put(kRepo, sha512_of(body).c_str(), body.data(), body.size(), kOciType, out), 0);
    const char *tag = "v1";
    ASSERT_EQ(reg_manifest_put_tags(0, kRepo, out, &tag, 1, body.data(), body.size(), kOciType, out), 0);

    const char *stats = reg_storage_get_stats_json();
    ASSERT_NE(stats, nullptr);
    EXPECT_NE(std::string(stats).find("\"blobs\":4,"), std::string::npos) << stats;

    reg_verify_options vopt = {};
    reg_verify_result vres = {};
    ASSERT_EQ(reg_verify(&vopt, &vres), 0) << reg_storage_last_error();
    EXPECT_EQ(vres.findings, 0);
    EXPECT_EQ(vres.blobs, 4);
    EXPECT_EQ(vres.manifests, 1);

    // What the tagged sha512 manifest names stays; the rest goes.
    reg_gc_options gopt = {};
    reg_gc_result gres = {};
    gopt.grace_seconds = 0;
    ASSERT_EQ(reg_gc(&gopt, &gres), 0) << reg_storage_last_error();
    EXPECT_EQ(gres.blobs, 2);
    EXPECT_EQ(reg_blob_exists(sha512_of("loose").c_str()), 0);
    EXPECT_EQ(reg_blob_exists(digest_of("old").c_str()), 0);
    EXPECT_EQ(reg_blob_exists(sha512_of("cfg").c_str()), 1);
    EXPECT_EQ(reg_blob_exists(kAbc512.c_str()), 1);
    EXPECT_EQ(served("v1"), body);

    // A sha512 blob whose bytes changed is found, with what they hash to.
    put_file(blob_file(kAbc512), "abd");
    struct Seen {
        std::vector<std::string> lines;
    } seen;
    vopt.report = [](void *ctx, const reg_verify_finding *f) {
        static_cast<Seen *>(ctx)->lines.push_back(std::string(f->label) + " " + f->path + " " + f->detail);
    };
    vopt.ctx = &seen;
    ASSERT_EQ(reg_verify(&vopt, &vres), 0);
    ASSERT_EQ(seen.lines.size(), 1u);
    EXPECT_EQ(seen.lines[0], "blob-corrupt blobs/sha512/dd/" + kAbc512.substr(7) + " bytes hash to " + sha512_of("abd"));
}

} // namespace
