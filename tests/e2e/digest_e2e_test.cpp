// Digests of either algorithm, end to end behind lighttpd: every way of
// uploading a blob under a sha512 digest, its pulls, ranges, mounts and
// deletion; manifests, an image index and referrers addressed by sha512;
// manifests pushed by digest with tag parameters under either algorithm;
// manifests up to 4 MiB and the refusal above; and Docker-Content-Digest on
// every reply that carries content or finishes storing it.
//
// The suite takes SHA-512 from libcrypto's one-shot function, which OpenSSL
// 3 marks deprecated but keeps; it needs no provider loaded at run time.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <string_view>

#include "e2e_server.h"
#include "reg_storage.h"

using namespace e2e;
using cgitest::manifest;
using cgitest::sha256_digest;

namespace {

constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
constexpr const char kSigType[] = "application/vnd.example.sig";
constexpr const char kSbomType[] = "application/spdx+json";
constexpr const char kBlobUnknown[] = "blob unknown to registry";
// Manifests up to 4 MiB are stored; one byte more is refused.
constexpr size_t kManifestLimit = REG_MANIFEST_MAX;
static_assert(kManifestLimit == 4194304);

std::string sha512_digest(std::string_view data)
{
    unsigned char out[SHA512_DIGEST_LENGTH];
    SHA512(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s = "sha512:";
    for (unsigned char b : out) {
        s += kHex[b >> 4];
        s += kHex[b & 0xf];
    }
    return s;
}

// The algorithms a client may name, for what holds for both.
struct Algorithm {
    const char *name;
    std::string (*digest)(std::string_view);
};
const Algorithm kAlgorithms[] = {{"sha256", sha256_digest}, {"sha512", sha512_digest}};

// Ways to get a sha512 digest wrong, made from a real one so that a server
// that repaired them (cut, padded, lowered) would find the content: a digit
// short, a digit over, upper case, a letter past hex, and sha256's length.
std::vector<std::string> malformed_sha512(const std::string &good)
{
    std::string upper = good;
    std::transform(upper.begin() + 7, upper.end(), upper.begin() + 7,
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    std::string not_hex = good;
    not_hex.back() = 'g';
    return {good.substr(0, good.size() - 1), good + "0", upper, not_hex, good.substr(0, 7 + 64)};
}

// A manifest body padded by an annotation to exactly size bytes: an image
// manifest or an index, by the media type. The padding is letters and
// digits in no short cycle, so a piece served twice or out of place shows.
std::string padded_manifest(size_t size, const std::string &type, unsigned seed)
{
    const std::string head =
        "{\"schemaVersion\":2,\"mediaType\":\"" + type + "\"," +
        (type == kIndexType ? "\"manifests\":[{\"mediaType\":\"" + std::string(kOciType) +
                                  "\",\"digest\":\"sha256:" + std::string(64, 'b') + "\",\"size\":100}]"
                            : "\"config\":{\"mediaType\":\"" + std::string(kConfigType) +
                                  "\",\"digest\":\"sha256:" + std::string(64, 'a') + "\",\"size\":2},\"layers\":[]") +
        ",\"annotations\":{\"pad\":\"";
    const std::string tail = "\"}}";
    static constexpr char kAlnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string pad = blob_bytes(size - head.size() - tail.size(), seed);
    for (char &c : pad)
        c = kAlnum[static_cast<unsigned char>(c) % 62];
    return head + pad + tail;
}

class DigestE2eTest : public LighttpdTest {
protected:
    // Stores data in name under its sha512 digest, monolithically.
    std::string push_sha512(const std::string &name, const std::string &data)
    {
        const std::string digest = sha512_digest(data);
        Response r = post(name, "?digest=" + digest, data);
        EXPECT_EQ(r.status, 201) << name << " " << digest << ": " << r.body;
        return digest;
    }

    std::string start_upload(const std::string &name)
    {
        Response r = post(name);
        EXPECT_EQ(r.status, 202) << r.body;
        return r.get("Location");
    }

    // One chunk at offset at of an upload, with a Content-Range or without
    // (streamed); the location the 202 names for the next request.
    std::string patch(const std::string &location, const std::string &chunk, size_t at, bool ranged)
    {
        std::vector<std::string> headers;
        if (ranged)
            headers.push_back("Content-Range: " + std::to_string(at) + "-" + std::to_string(at + chunk.size() - 1));
        Response r = http("PATCH", location, chunk, headers);
        EXPECT_EQ(r.status, 202) << r.body;
        EXPECT_EQ(r.get("Range"), "0-" + std::to_string(at + chunk.size() - 1));
        return r.get("Location");
    }

    Response finish(const std::string &location, const std::string &digest, const std::string &last = "",
                    const std::vector<std::string> &headers = {})
    {
        return http("PUT", with_query(location, "digest=" + digest), last, headers);
    }

    Response put_manifest(const std::string &name, const std::string &ref, const std::string &body,
                          const std::string &type = kOciType)
    {
        return http("PUT", "/v2/" + name + "/manifests/" + ref, body, {"Content-Type: " + type});
    }
    Response get_manifest(const std::string &name, const std::string &ref, const std::string &method = "GET")
    {
        return http(method, "/v2/" + name + "/manifests/" + ref);
    }

    // A manifest served whole: its bytes (none on HEAD), length, pushed type
    // and the digest it is known by. Bodies compare without printing them,
    // some are megabytes.
    void expect_manifest(const Response &r, const std::string &body, const std::string &type, const std::string &digest,
                         bool head = false)
    {
        EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK") << r.body.substr(0, 200);
        EXPECT_EQ(r.all("Content-Length"), std::vector<std::string>{std::to_string(body.size())});
        EXPECT_EQ(r.get("Content-Type"), type);
        EXPECT_EQ(r.all("Docker-Content-Digest"), std::vector<std::string>{digest});
        EXPECT_EQ(r.get("Etag"), "\"" + digest + "\"");
        if (head) {
            EXPECT_EQ(r.body, "");
        } else {
            EXPECT_TRUE(r.body == body) << r.body.size() << " bytes served of " << body.size();
        }
    }

    // A blob served whole, as expect_manifest.
    void expect_blob(const Response &r, const std::string &data, const std::string &digest, bool head = false)
    {
        EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK") << r.body.substr(0, 200);
        EXPECT_EQ(r.all("Content-Length"), std::vector<std::string>{std::to_string(data.size())});
        EXPECT_EQ(r.all("Docker-Content-Digest"), std::vector<std::string>{digest});
        if (head) {
            EXPECT_EQ(r.body, "");
        } else {
            EXPECT_TRUE(r.body == data) << r.body.size() << " bytes served of " << data.size();
        }
    }

    // A refusal whose message this suite leaves to the server: the status
    // and an error document, with this code unless code is empty.
    void expect_refused(const Response &r, int status, const std::string &code)
    {
        EXPECT_EQ(r.status, status) << r.status_line << r.body;
        EXPECT_EQ(r.get("Content-Type"), kJsonType);
        const std::string start = "{\"errors\":[{\"code\":\"" + (code.empty() ? "" : code + "\",\"message\":\"");
        const std::string end = "\"}]}\n";
        EXPECT_TRUE(r.body.size() > start.size() + end.size() && r.body.compare(0, start.size(), start) == 0 &&
                    r.body.compare(r.body.size() - end.size(), end.size(), end) == 0)
            << r.body;
    }

    void expect_no_blob(const std::string &name, const std::string &digest)
    {
        expect_error(http("GET", "/v2/" + name + "/blobs/" + digest), 404, "BLOB_UNKNOWN", kBlobUnknown);
        EXPECT_EQ(http("HEAD", "/v2/" + name + "/blobs/" + digest).status, 404);
    }
    void expect_no_manifest(const std::string &name, const std::string &ref)
    {
        expect_error(get_manifest(name, ref), 404, "MANIFEST_UNKNOWN", "manifest unknown");
        EXPECT_EQ(get_manifest(name, ref, "HEAD").status, 404);
    }

    // Pulls of a sha512 blob: whole, HEAD, ranges within and across the
    // programs' 64 KiB pieces, and one past its end.
    void check_sha512_pulls();
    // Docker-Content-Digest, exactly once, on every reply that carries
    // content or finishes storing it, under either algorithm.
    void check_digest_headers();
};

// The same server with X-Sendfile switched off: the blob program sends
// every body itself instead of naming the file to lighttpd.
class DigestNoSendfileTest : public DigestE2eTest {
protected:
    bool x_sendfile() override { return false; }
};

// ---------------------------------------------------------------- blobs

TEST_F(DigestE2eTest, EveryUploadStyleStoresUnderSha512)
{
    const std::string name = "library/app";
    using Send = std::function<Response(const std::string &data, const std::string &digest)>;
    struct Style {
        const char *label;
        size_t size;
        Send send;
    };
    const Style kStyles[] = {
        {"monolithic POST", 200001,
         [&](const std::string &data, const std::string &digest) { return post(name, "?digest=" + digest, data); }},
        {"monolithic POST of the empty blob", 0,
         [&](const std::string &data, const std::string &digest) { return post(name, "?digest=" + digest, data); }},
        {"POST, then PUT with the whole body", 150000,
         [&](const std::string &data, const std::string &digest) { return finish(start_upload(name), digest, data); }},
        {"one streamed PATCH, empty PUT", 250000,
         [&](const std::string &data, const std::string &digest) {
             return finish(patch(start_upload(name), data, 0, false), digest);
         }},
        {"ranged PATCH chunks, empty PUT", 200001,
         [&](const std::string &data, const std::string &digest) {
             std::string location = patch(start_upload(name), data.substr(0, 100000), 0, true);
             location = patch(location, data.substr(100000), 100000, true);
             return finish(location, digest);
         }},
        {"ranged PATCH chunks, last chunk in the PUT", 200001,
         [&](const std::string &data, const std::string &digest) {
             std::string location = patch(start_upload(name), data.substr(0, 100000), 0, true);
             location = patch(location, data.substr(100000, 100000), 100000, true);
             return finish(location, digest, data.substr(200000), {"Content-Range: 200000-200000"});
         }},
        {"streamed PATCH chunks, last chunk in the PUT", 180000,
         [&](const std::string &data, const std::string &digest) {
             std::string location = patch(start_upload(name), data.substr(0, 70000), 0, false);
             location = patch(location, data.substr(70000, 70000), 70000, false);
             return finish(location, digest, data.substr(140000));
         }},
    };
    unsigned seed = 100;
    for (const Style &s : kStyles) {
        SCOPED_TRACE(s.label);
        const std::string data = blob_bytes(s.size, ++seed);
        const std::string digest = sha512_digest(data);
        expect_blob_created(s.send(data, digest), name, digest);
        expect_blob(http("GET", "/v2/" + name + "/blobs/" + digest), data, digest);
    }
    EXPECT_EQ(upload_count(root_), 0u);
}

TEST_F(DigestE2eTest, Sha512UploadsAreChecked)
{
    const std::string name = "a/b";
    const std::string data = blob_bytes(100000, 21);
    const std::string digest = sha512_digest(data);
    const std::string wrong = sha512_digest("other bytes");

    // Bytes that are not what the digest names: refused, whether sent whole
    // or finished after a PATCH, and stored under neither digest. The
    // finished upload is spent, as under sha256.
    expect_refused(post(name, "?digest=" + wrong, data), 400, "DIGEST_INVALID");
    const std::string spent = patch(start_upload(name), data, 0, false);
    expect_refused(finish(spent, wrong), 400, "DIGEST_INVALID");
    expect_error(http("GET", spent), 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    expect_no_blob(name, digest);
    expect_no_blob(name, wrong);

    // Malformed sha512 digests: refused on every path that takes one, and an
    // upload refused at its PUT keeps its content.
    const std::string location = patch(start_upload(name), data, 0, false);
    for (const std::string &bad : malformed_sha512(digest)) {
        SCOPED_TRACE(bad);
        expect_refused(post(name, "?digest=" + bad, data), 400, "DIGEST_INVALID");
        expect_refused(finish(location, bad), 400, "DIGEST_INVALID");
        expect_refused(http("GET", "/v2/" + name + "/blobs/" + bad), 400, "DIGEST_INVALID");
        EXPECT_EQ(http("HEAD", "/v2/" + name + "/blobs/" + bad).status, 400);
    }
    expect_no_blob(name, digest);
    Response status = http("GET", location);
    EXPECT_EQ(status.status, 204) << status.body;
    EXPECT_EQ(status.get("Range"), "0-99999");

    // The right digest completes it; nothing is left behind.
    expect_blob_created(finish(location, digest), name, digest);
    expect_blob(http("GET", "/v2/" + name + "/blobs/" + digest), data, digest);
    EXPECT_EQ(upload_count(root_), 0u);
}

void DigestE2eTest::check_sha512_pulls()
{
    const std::string data = blob_bytes(200000, 7);
    const std::string digest = push_sha512("r", data);
    const std::string target = "/v2/r/blobs/" + digest;
    expect_blob(http("HEAD", target), data, digest, true);
    expect_blob(http("GET", target), data, digest);

    struct RangeCase {
        const char *range;
        const char *content_range;
        size_t first;
        size_t len;
    };
    const RangeCase kRanges[] = {
        {"bytes=0-0", "bytes 0-0/200000", 0, 1},
        {"bytes=100-199", "bytes 100-199/200000", 100, 100},
        {"bytes=65530-131080", "bytes 65530-131080/200000", 65530, 65551},
        {"bytes=199990-", "bytes 199990-199999/200000", 199990, 10},
        {"bytes=-5", "bytes 199995-199999/200000", 199995, 5},
    };
    for (const RangeCase &c : kRanges) {
        SCOPED_TRACE(c.range);
        Response r = http("GET", target, "", {std::string("Range: ") + c.range});
        EXPECT_EQ(r.status_line, "HTTP/1.0 206 Partial Content");
        EXPECT_EQ(r.get("Content-Range"), c.content_range);
        EXPECT_EQ(r.get("Content-Length"), std::to_string(c.len));
        EXPECT_EQ(r.all("Docker-Content-Digest"), std::vector<std::string>{digest});
        EXPECT_TRUE(r.body == data.substr(c.first, c.len)) << r.body.size() << " bytes";
    }
    Response past = http("GET", target, "", {"Range: bytes=200000-"});
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.get("Content-Range"), "bytes */200000");

    // A well-formed digest of nothing stored.
    expect_no_blob("r", sha512_digest("never pushed"));
}

TEST_F(DigestE2eTest, Sha512BlobPullsWithSendfile)
{
    check_sha512_pulls();
}

TEST_F(DigestNoSendfileTest, Sha512BlobPullsWithoutSendfile)
{
    check_sha512_pulls();
}

TEST_F(DigestE2eTest, Sha512MountAndDelete)
{
    const std::string data = "layer shared between repositories, by sha512";
    const std::string digest = push_sha512("source/repo", data);

    expect_blob_created(post("target/repo", "?mount=" + digest + "&from=source/repo"), "target/repo", digest);
    expect_blob(http("GET", "/v2/target/repo/blobs/" + digest), data, digest);

    // A sha512 blob the source does not hold: a new upload instead.
    Response fresh = post("target/repo", "?mount=" + sha512_digest("absent") + "&from=source/repo");
    EXPECT_EQ(fresh.status, 202) << fresh.body;
    EXPECT_EQ(fresh.get("Location").rfind("/v2/target/repo/blobs/uploads/", 0), 0u) << fresh.get("Location");
    EXPECT_EQ(fresh.get("Range"), "0-0");

    // Deleted where it was pushed: gone there, still held by the mount.
    Response del = http("DELETE", "/v2/source/repo/blobs/" + digest);
    EXPECT_EQ(del.status_line, "HTTP/1.0 202 Accepted") << del.body;
    EXPECT_EQ(del.get("Docker-Content-Digest"), digest);
    expect_no_blob("source/repo", digest);
    expect_blob(http("GET", "/v2/target/repo/blobs/" + digest), data, digest);

    EXPECT_EQ(http("DELETE", "/v2/target/repo/blobs/" + digest).status, 202);
    expect_no_blob("target/repo", digest);
    expect_error(http("DELETE", "/v2/target/repo/blobs/" + digest), 404, "BLOB_UNKNOWN", kBlobUnknown);
}

// ---------------------------------------------------------------- manifests

TEST_F(DigestE2eTest, ManifestAddressedBySha512)
{
    const std::string name = "library/app";
    const std::string body = manifest('a', ",\"annotations\":{\"by\":\"sha512\"}");
    const std::string digest = sha512_digest(body);

    Response put = put_manifest(name, digest, body);
    EXPECT_EQ(put.status_line, "HTTP/1.0 201 Created") << put.body;
    EXPECT_EQ(put.get("Location"), "/v2/" + name + "/manifests/" + digest);
    EXPECT_EQ(put.all("Docker-Content-Digest"), std::vector<std::string>{digest});
    EXPECT_EQ(put.body, "");
    expect_manifest(get_manifest(name, digest), body, kOciType, digest);
    expect_manifest(get_manifest(name, digest, "HEAD"), body, kOciType, digest, true);

    // The same bytes pushed by tag: a tag push keeps sha256 as the
    // manifest's digest, and the sha512 name still answers with its own.
    put = put_manifest(name, "v1", body);
    EXPECT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(put.get("Docker-Content-Digest"), sha256_digest(body));
    expect_manifest(get_manifest(name, "v1"), body, kOciType, sha256_digest(body));
    expect_manifest(get_manifest(name, sha256_digest(body)), body, kOciType, sha256_digest(body));
    expect_manifest(get_manifest(name, digest), body, kOciType, digest);

    // A body that is not what the sha512 reference names, and references
    // that are no sha512 digest: refused, and stored under no name.
    const std::string other = manifest('b');
    const std::string claimed = sha512_digest(manifest('c'));
    // Refused as a sha256 mismatch is, naming both digests.
    expect_error(put_manifest(name, claimed, other), 400, "MANIFEST_INVALID",
                 "digest mismatch: expected " + claimed + ", got " + sha512_digest(other));
    for (const std::string &bad : malformed_sha512(sha512_digest(other))) {
        SCOPED_TRACE(bad);
        expect_refused(put_manifest(name, bad, other), 400, "");
    }
    for (const std::string &ref : {claimed, sha512_digest(other), sha256_digest(other)}) {
        SCOPED_TRACE(ref);
        expect_no_manifest(name, ref);
    }

    // Pushed by sha512 only, deleted by it: gone.
    const std::string lone = manifest('d', ",\"annotations\":{\"by\":\"sha512 only\"}");
    const std::string lone_digest = sha512_digest(lone);
    ASSERT_EQ(put_manifest(name, lone_digest, lone).status, 201);
    Response del = http("DELETE", "/v2/" + name + "/manifests/" + lone_digest);
    EXPECT_EQ(del.status_line, "HTTP/1.0 202 Accepted") << del.body;
    expect_no_manifest(name, lone_digest);
    expect_error(http("DELETE", "/v2/" + name + "/manifests/" + lone_digest), 404, "MANIFEST_UNKNOWN",
                 "manifest unknown");
    // The others stay.
    expect_manifest(get_manifest(name, digest), body, kOciType, digest);
}

TEST_F(DigestE2eTest, IndexAddressedBySha512AtEveryLevel)
{
    const std::string name = "library/multi";
    // Everything pushed, by the digest it is pushed under.
    std::map<std::string, std::string> pushed;
    std::string entries;
    unsigned seed = 40;
    for (const char *arch : {"amd64", "arm64"}) {
        const std::string config = std::string("{\"architecture\":\"") + arch + "\",\"os\":\"linux\",\"rootfs\":{}}";
        const std::string layer = blob_bytes(90000, ++seed);
        const std::string config_digest = push_sha512(name, config);
        const std::string layer_digest = push_sha512(name, layer);
        pushed[config_digest] = config;
        pushed[layer_digest] = layer;

        const std::string image = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) +
                                  "\",\"config\":{\"mediaType\":\"" + kConfigType + "\",\"digest\":\"" + config_digest +
                                  "\",\"size\":" + std::to_string(config.size()) +
                                  "},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\","
                                  "\"digest\":\"" +
                                  layer_digest + "\",\"size\":" + std::to_string(layer.size()) + "}]}";
        const std::string image_digest = sha512_digest(image);
        Response r = put_manifest(name, image_digest, image);
        EXPECT_EQ(r.status, 201) << arch << ": " << r.body;
        EXPECT_EQ(r.get("Docker-Content-Digest"), image_digest);
        pushed[image_digest] = image;
        entries += (entries.empty() ? "" : ",") + std::string("{\"mediaType\":\"") + kOciType + "\",\"digest\":\"" +
                   image_digest + "\",\"size\":" + std::to_string(image.size()) + ",\"platform\":{\"architecture\":\"" +
                   arch + "\",\"os\":\"linux\"}}";
    }
    const std::string index =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" + entries + "]}";

    // By tag (its digest then sha256) and by its sha512 digest.
    Response r = put_manifest(name, "multi", index, kIndexType);
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(r.get("Docker-Content-Digest"), sha256_digest(index));
    r = put_manifest(name, sha512_digest(index), index, kIndexType);
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(r.get("Docker-Content-Digest"), sha512_digest(index));

    // Pulled back as a client walks it: every piece is what was pushed
    // under the digest it was reached by, and hashes to that digest.
    struct Top {
        std::string ref;
        std::string digest;
    };
    for (const Top &top : {Top{"multi", sha256_digest(index)}, Top{sha512_digest(index), sha512_digest(index)}}) {
        SCOPED_TRACE(top.ref);
        Response got = get_manifest(name, top.ref);
        expect_manifest(got, index, kIndexType, top.digest);
        const std::vector<std::string> images = digests_in(got.body);
        ASSERT_EQ(images.size(), 2u);
        for (const std::string &image_digest : images) {
            SCOPED_TRACE(image_digest);
            Response image = get_manifest(name, image_digest);
            expect_manifest(image, pushed[image_digest], kOciType, image_digest);
            EXPECT_EQ(sha512_digest(image.body), image_digest);
            const std::vector<std::string> blobs = digests_in(image.body);
            ASSERT_EQ(blobs.size(), 2u);
            for (const std::string &blob_digest : blobs) {
                SCOPED_TRACE(blob_digest);
                Response blob = http("GET", "/v2/" + name + "/blobs/" + blob_digest);
                expect_blob(blob, pushed[blob_digest], blob_digest);
                EXPECT_EQ(sha512_digest(blob.body), blob_digest);
            }
        }
    }
}

TEST_F(DigestE2eTest, ReferrersOfASha512Subject)
{
    const std::string name = "library/app";
    const std::string subject = manifest('a');
    const std::string subject_digest = sha512_digest(subject);
    ASSERT_EQ(put_manifest(name, subject_digest, subject).status, 201);

    // An artifact of a type, naming the subject, and the descriptor the
    // listing serves for it under the digest it was pushed by.
    auto artifact = [&](const std::string &type, const std::string &who) {
        return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciType) + "\",\"artifactType\":\"" + type +
               "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"sha256:" +
               std::string(64, 'e') + "\",\"size\":2},\"layers\":[],\"subject\":{\"mediaType\":\"" + kOciType +
               "\",\"digest\":\"" + subject_digest + "\",\"size\":" + std::to_string(subject.size()) +
               "},\"annotations\":{\"org.example.by\":\"" + who + "\"}}";
    };
    auto descriptor = [&](const std::string &body, const std::string &digest, const std::string &type,
                          const std::string &who) {
        return "{\"mediaType\":\"" + std::string(kOciType) + "\",\"digest\":\"" + digest +
               "\",\"size\":" + std::to_string(body.size()) + ",\"artifactType\":\"" + type +
               "\",\"annotations\":{\"org.example.by\":\"" + who + "\"}}";
    };

    // One referrer pushed by its own sha512 digest, one by tag (so known by
    // sha256); both replies name the sha512 subject.
    const std::string sig = artifact(kSigType, "signer");
    const std::string sig_digest = sha512_digest(sig);
    Response r = put_manifest(name, sig_digest, sig);
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(r.get("OCI-Subject"), subject_digest);
    EXPECT_EQ(r.get("Docker-Content-Digest"), sig_digest);
    const std::string sbom = artifact(kSbomType, "scanner");
    r = put_manifest(name, "sbom", sbom);
    EXPECT_EQ(r.status, 201) << r.body;
    EXPECT_EQ(r.get("OCI-Subject"), subject_digest);
    EXPECT_EQ(r.get("Docker-Content-Digest"), sha256_digest(sbom));
    const std::string sig_desc = descriptor(sig, sig_digest, kSigType, "signer");
    const std::string sbom_desc = descriptor(sbom, sha256_digest(sbom), kSbomType, "scanner");

    const std::string head = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[";
    const std::string referrers = "/v2/" + name + "/referrers/" + subject_digest;
    auto expect_listing = [&](const Response &l, const std::vector<std::string> &accepted, const char *filters) {
        EXPECT_EQ(l.status_line, "HTTP/1.0 200 OK") << l.body;
        EXPECT_EQ(l.get("Content-Type"), kIndexType);
        EXPECT_EQ(l.get("Content-Length"), std::to_string(l.body.size()));
        EXPECT_EQ(l.get("OCI-Filters-Applied"), filters);
        EXPECT_NE(std::find(accepted.begin(), accepted.end(), l.body), accepted.end()) << l.body;
    };
    // No order between digests of different algorithms is asked for.
    expect_listing(http("GET", referrers),
                   {head + sig_desc + "," + sbom_desc + "]}", head + sbom_desc + "," + sig_desc + "]}"}, "<absent>");
    expect_listing(http("GET", referrers + "?artifactType=application%2Fvnd.example.sig"), {head + sig_desc + "]}"},
                   "artifactType");
    expect_listing(http("GET", referrers + "?artifactType=application%2Fspdx%2Bjson"), {head + sbom_desc + "]}"},
                   "artifactType");

    // The listing is by the digest as the referrers name it: the subject's
    // sha256 name has none, and a malformed sha512 is refused.
    expect_listing(http("GET", "/v2/" + name + "/referrers/" + sha256_digest(subject)), {head + "]}"}, "<absent>");
    for (const std::string &bad : malformed_sha512(subject_digest)) {
        SCOPED_TRACE(bad);
        expect_error(http("GET", "/v2/" + name + "/referrers/" + bad), 400, "DIGEST_INVALID", "invalid digest");
    }

    // A referrer deleted by its sha512 digest leaves the listing.
    EXPECT_EQ(http("DELETE", "/v2/" + name + "/manifests/" + sig_digest).status, 202);
    expect_listing(http("GET", referrers), {head + sbom_desc + "]}"}, "<absent>");
}

// ---------------------------------------------------------------- tag parameters

// The OCI-Tag values of a reply, sorted: no order among them is asked for.
std::vector<std::string> oci_tags(const Response &r)
{
    std::vector<std::string> tags = r.all("OCI-Tag");
    std::sort(tags.begin(), tags.end());
    return tags;
}

TEST_F(DigestE2eTest, TagParametersTagAPushByDigest)
{
    for (const Algorithm &algo : kAlgorithms) {
        SCOPED_TRACE(algo.name);
        const std::string name = std::string("tagged/") + algo.name;
        const std::string annotation = std::string(",\"annotations\":{\"algorithm\":\"") + algo.name + "\"}";
        const std::string first = manifest('a', annotation);
        const std::string first_digest = algo.digest(first);

        Response r = put_manifest(name, first_digest + "?tag=t1&tag=t2", first);
        EXPECT_EQ(r.status_line, "HTTP/1.0 201 Created") << r.body;
        EXPECT_EQ(r.get("Location"), "/v2/" + name + "/manifests/" + first_digest);
        EXPECT_EQ(r.all("Docker-Content-Digest"), std::vector<std::string>{first_digest});
        EXPECT_EQ(oci_tags(r), (std::vector<std::string>{"t1", "t2"}));
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {"t1", "t2"}));
        for (const char *tag : {"t1", "t2"}) {
            SCOPED_TRACE(tag);
            expect_manifest(get_manifest(name, tag), first, kOciType, first_digest);
        }
        expect_manifest(get_manifest(name, first_digest), first, kOciType, first_digest);

        // Without tag parameters a push by digest tags nothing.
        const std::string second = manifest('b', annotation);
        const std::string second_digest = algo.digest(second);
        r = put_manifest(name, second_digest, second);
        EXPECT_EQ(r.status, 201) << r.body;
        EXPECT_EQ(r.all("OCI-Tag"), std::vector<std::string>{});
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {"t1", "t2"}));

        // A tag given again moves to the manifest now pushed; the longest
        // tag there may be is one of them.
        const std::string longest = "L" + std::string(127, 'x');
        r = put_manifest(name, second_digest + "?tag=t2&tag=" + longest, second);
        EXPECT_EQ(r.status, 201) << r.body;
        EXPECT_EQ(oci_tags(r), (std::vector<std::string>{longest, "t2"}));
        expect_manifest(get_manifest(name, "t1"), first, kOciType, first_digest);
        expect_manifest(get_manifest(name, "t2"), second, kOciType, second_digest);
        expect_manifest(get_manifest(name, longest), second, kOciType, second_digest);
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {longest, "t1", "t2"}));

        // A delete by digest takes the tags that name that manifest along.
        EXPECT_EQ(http("DELETE", "/v2/" + name + "/manifests/" + second_digest).status, 202);
        expect_no_manifest(name, "t2");
        expect_no_manifest(name, longest);
        expect_manifest(get_manifest(name, "t1"), first, kOciType, first_digest);
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {"t1"}));
    }
}

TEST_F(DigestE2eTest, InvalidTagParameterStoresNothing)
{
    struct Case {
        std::string query;
        const char *why;
    };
    const Case kCases[] = {
        // A tag parameter is held to the rule of a tag in the path: refused
        // when it would leave the tags directory or break a header line or
        // a JSON document. (lighttpd itself refuses a control byte in a
        // query.)
        {"?tag=..", "a parent directory"},
        {"?tag=.", "the directory itself"},
        {"?tag=a/b", "a separator"},
        {"?tag=a%5Cb", "a backslash"},
        {"?tag=caf%C3%A9", "outside ASCII"},
        // One good tag beside a bad one: the good one is not applied either.
        {"?tag=good&tag=..", "a bad tag after a good one"},
        {"?tag=..&tag=good", "a bad tag before a good one"},
        // A tag shaped as a digest would be read back as one.
        {"?tag=sha256%3Aabc", "a digest's shape"},
    };
    for (const Algorithm &algo : kAlgorithms) {
        SCOPED_TRACE(algo.name);
        const std::string name = std::string("refused/") + algo.name;
        // The repository holds something already, so its tag list shows
        // what a refused push would have added.
        ASSERT_EQ(put_manifest(name, "keep", manifest('f')).status, 201);
        int n = 0;
        for (const Case &c : kCases) {
            SCOPED_TRACE(c.why);
            const std::string body = manifest('c', ",\"annotations\":{\"case\":\"" + std::to_string(++n) + "\"}");
            const std::string digest = algo.digest(body);
            Response r = put_manifest(name, digest + c.query, body);
            expect_refused(r, 400, "");
            EXPECT_EQ(r.all("OCI-Tag"), std::vector<std::string>{});
            expect_no_manifest(name, digest);
            expect_no_manifest(name, "good");
        }
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {"keep"}));
    }
}

// ---------------------------------------------------------------- large manifests

TEST_F(DigestE2eTest, LargeManifestsRoundTrip)
{
    enum class By { tag, sha256, sha512 };
    struct Case {
        const char *label;
        size_t size;
        const char *type;
        By by;
    };
    const Case kCases[] = {
        {"4 MiB image manifest by tag", kManifestLimit, kOciType, By::tag},
        {"4 MiB image manifest by its sha512 digest", kManifestLimit, kOciType, By::sha512},
        {"1.5 MB image manifest by its sha256 digest", 1572864, kOciType, By::sha256},
        {"3 MB image index by tag", 3000000, kIndexType, By::tag},
    };
    unsigned seed = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        const std::string name = "large/m" + std::to_string(++seed);
        const std::string body = padded_manifest(c.size, c.type, seed);
        ASSERT_EQ(body.size(), c.size);
        const std::string digest = c.by == By::sha512 ? sha512_digest(body) : sha256_digest(body);
        const std::string ref = c.by == By::tag ? "big" : digest;

        Response put = put_manifest(name, ref, body, c.type);
        EXPECT_EQ(put.status_line, "HTTP/1.0 201 Created") << put.body;
        EXPECT_EQ(put.get("Location"), "/v2/" + name + "/manifests/" + ref);
        EXPECT_EQ(put.get("Docker-Content-Digest"), digest);
        std::vector<std::string> names = {digest};
        if (ref != digest)
            names.push_back(ref);
        for (const std::string &by : names) {
            SCOPED_TRACE(by);
            expect_manifest(get_manifest(name, by), body, c.type, digest);
            expect_manifest(get_manifest(name, by, "HEAD"), body, c.type, digest, true);
        }
        EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body,
                  tags_body(name, c.by == By::tag ? std::vector<std::string>{"big"} : std::vector<std::string>{}));

        EXPECT_EQ(http("DELETE", "/v2/" + name + "/manifests/" + ref).status, 202);
        expect_no_manifest(name, ref);
    }
}

TEST_F(DigestE2eTest, ManifestOverTheLimitIsRefused)
{
    const std::string name = "large/over";
    // What a tag names before an oversized push names it too: kept.
    const std::string kept = padded_manifest(kManifestLimit, kOciType, 1);
    ASSERT_EQ(put_manifest(name, "big", kept).status, 201);

    struct Case {
        const char *label;
        std::string body;
        const char *type;
        std::string ref;
    };
    const std::string over = padded_manifest(kManifestLimit + 1, kOciType, 2);
    const std::string over_index = padded_manifest(kManifestLimit + 1, kIndexType, 3);
    ASSERT_EQ(over.size(), kManifestLimit + 1);
    const Case kCases[] = {
        {"by a tag in use", over, kOciType, "big"},
        {"by a new tag", over, kOciType, "other"},
        {"by its sha256 digest", over, kOciType, sha256_digest(over)},
        {"by its sha512 digest", over, kOciType, sha512_digest(over)},
        {"an index by tag", over_index, kIndexType, "index"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        expect_error(put_manifest(name, c.ref, c.body, c.type), 413, "MANIFEST_INVALID", "manifest too large");
        expect_no_manifest(name, sha256_digest(c.body));
        expect_no_manifest(name, sha512_digest(c.body));
    }
    expect_no_manifest(name, "other");
    expect_no_manifest(name, "index");
    expect_manifest(get_manifest(name, "big"), kept, kOciType, sha256_digest(kept));
    EXPECT_EQ(http("GET", "/v2/" + name + "/tags/list").body, tags_body(name, {"big"}));

    // Nor does a refused push create its repository.
    expect_error(put_manifest("large/never", "v1", over), 413, "MANIFEST_INVALID", "manifest too large");
    expect_error(http("GET", "/v2/large/never/tags/list"), 404, "NAME_UNKNOWN", "repository name not known");
}

// ---------------------------------------------------------------- the digest header

void DigestE2eTest::check_digest_headers()
{
    for (const Algorithm &algo : kAlgorithms) {
        SCOPED_TRACE(algo.name);
        const std::string name = std::string("headers/") + algo.name;
        const std::string mounted = name + "-mount";
        struct Reply {
            const char *label;
            Response r;
            int status;
            std::string digest;
        };
        std::vector<Reply> replies;

        const std::string data = blob_bytes(100000, 31);
        const std::string digest = algo.digest(data);
        const std::string blob = "/v2/" + name + "/blobs/" + digest;
        replies.push_back({"monolithic POST", post(name, "?digest=" + digest, data), 201, digest});
        const std::string whole = blob_bytes(5000, 32);
        replies.push_back(
            {"PUT of a whole body", finish(start_upload(name), algo.digest(whole), whole), 201, algo.digest(whole)});
        const std::string chunked = blob_bytes(90000, 33);
        const std::string location = patch(start_upload(name), chunked.substr(0, 70000), 0, true);
        replies.push_back(
            {"PUT of a last chunk",
             finish(location, algo.digest(chunked), chunked.substr(70000), {"Content-Range: 70000-89999"}), 201,
             algo.digest(chunked)});
        replies.push_back({"mount", post(mounted, "?mount=" + digest + "&from=" + name), 201, digest});
        replies.push_back({"blob HEAD", http("HEAD", blob), 200, digest});
        replies.push_back({"blob GET", http("GET", blob), 200, digest});
        replies.push_back({"blob GET of a range", http("GET", blob, "", {"Range: bytes=10-19"}), 206, digest});
        replies.push_back({"blob GET where mounted", http("GET", "/v2/" + mounted + "/blobs/" + digest), 200, digest});

        const std::string annotation = std::string(",\"annotations\":{\"algorithm\":\"") + algo.name + "\"}";
        const std::string by_digest = manifest('a', annotation);
        const std::string md = algo.digest(by_digest);
        replies.push_back({"manifest PUT by digest", put_manifest(name, md, by_digest), 201, md});
        replies.push_back({"manifest GET by digest", get_manifest(name, md), 200, md});
        replies.push_back({"manifest HEAD by digest", get_manifest(name, md, "HEAD"), 200, md});
        const std::string with_tags = manifest('b', annotation);
        const std::string wd = algo.digest(with_tags);
        replies.push_back({"manifest PUT by digest with a tag", put_manifest(name, wd + "?tag=t", with_tags), 201, wd});
        replies.push_back({"manifest GET by that tag", get_manifest(name, "t"), 200, wd});
        replies.push_back({"manifest HEAD by that tag", get_manifest(name, "t", "HEAD"), 200, wd});
        // A push by tag names the manifest by sha256, whatever else it is.
        const std::string by_tag = manifest('c', annotation);
        replies.push_back({"manifest PUT by tag", put_manifest(name, "v1", by_tag), 201, sha256_digest(by_tag)});
        replies.push_back({"manifest GET by tag", get_manifest(name, "v1"), 200, sha256_digest(by_tag)});

        for (const Reply &reply : replies) {
            SCOPED_TRACE(reply.label);
            EXPECT_EQ(reply.r.status, reply.status) << reply.r.body.substr(0, 200);
            EXPECT_EQ(reply.r.all("Docker-Content-Digest"), std::vector<std::string>{reply.digest});
        }
    }
}

TEST_F(DigestE2eTest, DigestHeaderOnEveryContentReplyWithSendfile)
{
    check_digest_headers();
}

TEST_F(DigestNoSendfileTest, DigestHeaderOnEveryContentReplyWithoutSendfile)
{
    check_digest_headers();
}

} // namespace
