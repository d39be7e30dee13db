// Registry protocol layer: the error document and JSON replies, the
// repository-name rule, the split of a request path, and the discovery of
// the storage root (run in a forked child, since its flag lives for the
// process).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "hv_cgi.h"
#include "oci_common.h"
#include "subprocess.h"

using cgitest::error_doc;
using cgitest::kReturned;
using cgitest::Outcome;
using cgitest::run_in_child;

namespace fs = std::filesystem;

namespace {

const std::string kJsonHeaders = "Docker-Distribution-API-Version: registry/2.0\r\n"
                                 "Content-Type: application/json; charset=utf-8\r\n\r\n";

// ------------------------------------------------------------- replies

// One table turns the storage's failure kinds into replies. The client's
// mistakes keep 4xx and the endpoint's own codes; faults of the server are
// 5xx whatever the endpoint, so that no client gives up on a full disk.
TEST(OciReply, FailureKindsMapThroughOneTable)
{
    constexpr oci_error_codes kUpload = {"BLOB_UPLOAD_INVALID", "DIGEST_INVALID", "BLOB_UPLOAD_UNKNOWN",
                                         "blob upload unknown to registry", false};
    constexpr oci_error_codes kLookup = {"MANIFEST_INVALID", "MANIFEST_INVALID", "MANIFEST_UNKNOWN", "manifest unknown",
                                         true};
    struct Case {
        reg_error_kind kind;
        const oci_error_codes *codes;
        int status;
        const char *code;
        const char *message; // null: the library's
    };
    const Case kCases[] = {
        {REG_ERR_INVALID, &kUpload, 400, "BLOB_UPLOAD_INVALID", nullptr},
        {REG_ERR_INVALID, &kLookup, 404, "MANIFEST_UNKNOWN", "manifest unknown"},
        {REG_ERR_NOT_FOUND, &kUpload, 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry"},
        {REG_ERR_DIGEST, &kUpload, 400, "DIGEST_INVALID", nullptr},
        {REG_ERR_DIGEST, &kLookup, 400, "MANIFEST_INVALID", nullptr},
        {REG_ERR_RANGE, &kUpload, 416, "BLOB_UPLOAD_INVALID", nullptr},
        {REG_ERR_TOO_LARGE, &kLookup, 413, "MANIFEST_INVALID", nullptr},
        {REG_ERR_SHORT_BODY, &kUpload, 400, "SIZE_INVALID", nullptr},
        {REG_ERR_NOT_READY, &kLookup, 500, "STORAGE_ERROR", nullptr},
        {REG_ERR_NO_SPACE, &kUpload, 507, "STORAGE_ERROR", nullptr},
        {REG_ERR_NO_SPACE, &kLookup, 507, "STORAGE_ERROR", nullptr},
        {REG_ERR_PERMISSION, &kUpload, 500, "STORAGE_ERROR", nullptr},
        {REG_ERR_NO_MEMORY, &kUpload, 500, "STORAGE_ERROR", nullptr},
        {REG_ERR_IO, &kLookup, 500, "STORAGE_ERROR", nullptr},
        {REG_ERR_NONE, &kUpload, 500, "STORAGE_ERROR", nullptr},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + c.codes->unknown);
        oci_error_reply r = oci_error_for_kind(c.kind, *c.codes);
        EXPECT_EQ(r.status, c.status);
        EXPECT_STREQ(r.code, c.code);
        if (c.message)
            EXPECT_STREQ(r.message, c.message);
        else
            EXPECT_EQ(r.message, nullptr);
    }
}

// An error reply ends the request, not the process: the code after the call
// never runs, and the request loop takes the next request.
TEST(OciReply, ErrorDocumentIsExactAndEndsTheRequest)
{
    struct Case {
        const char *label;
        void (*send)();
        std::string want;
    };
    const Case kCases[] = {
        {"plain", [] { oci_send_error(404, "NAME_UNKNOWN", "repository name not known"); },
         "Status: 404\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders +
             error_doc("NAME_UNKNOWN", "repository name not known")},
        {"nulls", [] { oci_send_error(500, nullptr, nullptr); },
         "Status: 500\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders + error_doc("UNKNOWN", "Unknown error")},
        {"escaped message", [] { oci_send_error(400, "MANIFEST_INVALID", "a \"q\" \\ \x01\n caf\xc3\xa9"); },
         "Status: 400\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders +
             error_doc("MANIFEST_INVALID", "a \\\"q\\\" \\\\ \\u0001\\n caf\xc3\xa9")},
        {"empty message", [] { oci_send_error(405, "UNSUPPORTED", ""); },
         "Status: 405\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders + error_doc("UNSUPPORTED", "")},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        Outcome r = run_in_child([&] {
            try {
                c.send();
                fputs("after the call", stdout);
            } catch (const oci_request_done &) {
                fputs("<ended>", stdout);
            }
        });
        EXPECT_EQ(r.status, kReturned);
        EXPECT_EQ(r.out, c.want + "<ended>");
        EXPECT_EQ(r.err, "");
    }
}

TEST(OciReply, JsonReplyReturns)
{
    struct Case {
        const char *label;
        void (*send)();
        std::string want;
    };
    const Case kCases[] = {
        {"text", [] { oci_send_json(200, "{\"tags\":[]}"); },
         "Status: 200\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders + "{\"tags\":[]}\n"},
        {"null", [] { oci_send_json(200, nullptr); },
         "Status: 200\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders + "{}\n"},
        {"empty", [] { oci_send_json(201, ""); },
         "Status: 201\r\nX-Content-Type-Options: nosniff\r\n" + kJsonHeaders + "{}\n"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        Outcome r = run_in_child([&] {
            c.send();
            fputs("after", stdout);
        });
        EXPECT_EQ(r.status, kReturned);
        EXPECT_EQ(r.out, c.want + "after");
    }
}

// ------------------------------------------------------------- names

TEST(OciRepoName, AcceptsByTheProtocolRule)
{
    const std::string longest(255, 'a');
    for (const std::string &name :
         {std::string("library/app"), std::string("a"), std::string("A1"), std::string("a.b-c_d/e"),
          std::string("a..b"), std::string("a/./b"), std::string("a/../b"), std::string("a-/-b"), longest}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(oci_valid_repo_name(name.c_str()), 1);
    }
}

TEST(OciRepoName, RefusesByTheProtocolRule)
{
    for (const std::string &name :
         {std::string(""), std::string("/a"), std::string("a/"), std::string("a//b"), std::string("-a"),
          std::string("a-"), std::string(".a"), std::string("a."), std::string("_a"), std::string("a b"),
          std::string("a:b"), std::string("a@b"), std::string("a\\b"), std::string("caf\xc3\xa9"), std::string("a\nb"),
          std::string(256, 'a'), std::string("/")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(oci_valid_repo_name(name.c_str()), 0);
    }
    EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

// ------------------------------------------------------------- path split

// Which names may create a repository, and which only reach one stored
// before the component rule.
TEST(OciRepoName, ComponentsThatCollideWithTheStoreOrAlias)
{
    struct Case {
        const char *name;
        oci_name_shape shape;
    };
    static const Case kCases[] = {
        {"library/app", OCI_NAME_PLAIN},  {"a", OCI_NAME_PLAIN},
        {"a.b/c_d-e", OCI_NAME_PLAIN},    {"a/_manifests/abc", OCI_NAME_RESERVED},
        {"x/_layers", OCI_NAME_RESERVED}, {"a/.git", OCI_NAME_RESERVED},
        {"_a", OCI_NAME_RESERVED},        {"a//b", OCI_NAME_RESERVED},
        {"a/./b", OCI_NAME_ALIAS},        {"a/..", OCI_NAME_ALIAS},
        {"./a", OCI_NAME_ALIAS},          {"a/_/.", OCI_NAME_ALIAS},
    };
    for (const Case &c : kCases)
        EXPECT_EQ(oci_repo_name_shape(c.name), c.shape) << c.name;
}

TEST(OciParsePath, SplitsAtTheFirstMarker)
{
    struct Case {
        std::string path;
        std::string name;
        std::string ref;
    };
    const Case kCases[] = {
        {"/v2/library/app/manifests/latest", "library/app", "latest"},
        {"library/app/manifests/latest", "library/app", "latest"},
        {"//v2/library/app/manifests/latest", "library/app", "latest"},
        {"/v2/library/app/manifests//latest/", "library/app", "latest"},
        {"/v2/library/app/manifests/latest//", "library/app", "latest/"},
        {"/v2/a/manifests/b/manifests/c", "a", "b/manifests/c"},
        {"/v2/library/app/manifests/", "library/app", ""},
        {"/v2/library/app/manifests///", "library/app", ""},
        {"/v2/v2/a/manifests/b", "v2/a", "b"},
        {"/v2x/manifests/b", "v2x", "b"},
        {"/v2/a/manifests/sha256:" + std::string(64, 'f'), "a", "sha256:" + std::string(64, 'f')},
        {"/v2/" + std::string(255, 'n') + "/manifests/r", std::string(255, 'n'), "r"},
        {"/v2/a/manifests/" + std::string(300, 'r'), "a", std::string(255, 'r')},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.path);
        char name[256], ref[256];
        memset(name, 'x', sizeof name);
        memset(ref, 'x', sizeof ref);
        ASSERT_EQ(oci_parse_repo_marker(c.path.c_str(), "/manifests/", name, sizeof name, ref, sizeof ref), 1);
        EXPECT_EQ(std::string(name), c.name);
        EXPECT_EQ(std::string(ref), c.ref);
    }
}

TEST(OciParsePath, RefusesPathsWithoutAValidName)
{
    const std::string paths[] = {
        "/",
        "",
        "/v2",
        "/v2/",
        "/v2/manifests/latest",
        "/v2//app/manifests/latest",
        "/v2/a b/manifests/latest",
        "/v2/-a/manifests/latest",
        "/v2/a/tags/list",
        "/v2/" + std::string(256, 'n') + "/manifests/r",
        "/v2/a/MANIFESTS/b",
    };
    for (const std::string &p : paths) {
        SCOPED_TRACE(p);
        char name[256], ref[256] = "untouched";
        EXPECT_EQ(oci_parse_repo_marker(p.c_str(), "/manifests/", name, sizeof name, ref, sizeof ref), 0);
        EXPECT_STREQ(ref, "");
    }
}

TEST(OciParsePath, ArgumentsAndBuffers)
{
    char name[256] = "untouched", ref[256] = "untouched";
    EXPECT_EQ(oci_parse_repo_marker(nullptr, "/manifests/", name, sizeof name, ref, sizeof ref), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/b", nullptr, name, sizeof name, ref, sizeof ref), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/b", "/manifests/", nullptr, 256, ref, sizeof ref), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/b", "/manifests/", name, 0, ref, sizeof ref), 0);
    EXPECT_STREQ(name, "untouched");
    EXPECT_STREQ(ref, "untouched");

    // Name only: no reference buffer, or one of size 0.
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/b/tags/list", "/tags/", name, sizeof name, nullptr, 0), 1);
    EXPECT_STREQ(name, "a/b");
    EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/b", "/manifests/", name, sizeof name, ref, 0), 1);
    EXPECT_STREQ(name, "a");
    EXPECT_STREQ(ref, "untouched");

    // The name must fit the caller's buffer whole.
    char small[4];
    EXPECT_EQ(oci_parse_repo_marker("/v2/abc/manifests/b", "/manifests/", small, sizeof small, ref, sizeof ref), 1);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(oci_parse_repo_marker("/v2/abcd/manifests/b", "/manifests/", small, sizeof small, ref, sizeof ref), 0);

    // A refused name stays in the buffer; the reference is left empty.
    EXPECT_EQ(oci_parse_repo_marker("/v2/a:b/manifests/c", "/manifests/", name, sizeof name, ref, sizeof ref), 0);
    EXPECT_STREQ(name, "a:b");
    EXPECT_STREQ(ref, "");
}

// ------------------------------------------------------------- storage root

class OciStorageRoot : public cgitest::TempDirTest {
protected:
    // Calls oci_init_storage in a child working in dir_, with
    // REGISTRY_STORAGE_ROOT set to env (unset when nullopt). Returns what
    // the calls returned, space separated.
    std::string init_in_child(std::optional<std::string> env, int calls = 1)
    {
        Outcome r = run_in_child([&] {
            if (env)
                setenv("REGISTRY_STORAGE_ROOT", env->c_str(), 1);
            if (chdir(dir_.c_str()) != 0)
                _exit(3);
            for (int i = 0; i < calls; i++)
                printf("%s%d", i ? " " : "", oci_init_storage());
        });
        EXPECT_EQ(r.status, kReturned);
        EXPECT_EQ(r.err, "");
        return r.out;
    }
    // A storage root was opened at rel (below dir_, or absolute).
    bool opened(const std::string &root) const
    {
        std::string p = root[0] == '/' ? root : path(root);
        return fs::is_regular_file(p + "/config.json") && fs::is_directory(p + "/blobs/sha256");
    }
    // The entries of dir_ itself.
    std::set<std::string> top() const
    {
        std::set<std::string> out;
        for (const auto &e : fs::directory_iterator(dir_))
            out.insert(e.path().filename().string());
        return out;
    }
};

TEST_F(OciStorageRoot, ConfigFileRules)
{
    struct Case {
        const char *label;
        std::string config;
        std::string root; // the directory expected below dir_
    };
    const std::string pad(2100, ' ');
    const Case kCases[] = {
        {"storage_root", "{\"storage_root\": \"cfg_root\"}", "cfg_root"},
        {"storage_root, no space", "{\"storage_root\":\"cfg_root\"}", "cfg_root"},
        {"registry_storage_root", "{\"registry_storage_root\": \"reg_root\"}", "reg_root"},
        {"both keys", "{\"registry_storage_root\":\"reg_root\",\"storage_root\":\"cfg_root\"}", "cfg_root"},
        {"space before colon", "{\"storage_root\" : \"cfg_root\"}", "registry_storage"},
        {"other spelling", "{\"Storage_Root\":\"cfg_root\"}", "registry_storage"},
        {"escapes kept", "{\"storage_root\":\"D:\\\\reg\"}", "D:\\\\reg"},
        {"not a string", "{\"storage_root\":5,\"x\":\"y\"}", "x"},
        {"empty value", "{\"storage_root\":\"\"}", "registry_storage"},
        {"storage_root wins even when empty", "{\"storage_root\":\"\",\"registry_storage_root\":\"reg_root\"}",
         "registry_storage"},
        {"no closing quote", "{\"storage_root\":\"cfg_root", "registry_storage"},
        {"key beyond 2047 bytes", "{" + pad + "\"storage_root\":\"cfg_root\"}", "registry_storage"},
        {"NUL before the key", std::string("{\0\"storage_root\":\"cfg_root\"}", 28), "registry_storage"},
        {"no key", "{}", "registry_storage"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        put_file(path("config.json"), c.config);
        EXPECT_EQ(init_in_child(std::nullopt), "0");
        EXPECT_TRUE(opened(c.root));
        // The storage also creates each backslash-ended prefix of a root as a
        // directory of its own; only roots without one are compared whole.
        if (c.root.find('\\') == std::string::npos) {
            EXPECT_EQ(top(), (std::set<std::string>{"config.json", c.root}));
        }
    }
}

TEST_F(OciStorageRoot, AbsoluteRootFromConfig)
{
    put_file(path("config.json"), "{\"storage_root\": \"" + path("abs/reg") + "\"}");
    EXPECT_EQ(init_in_child(std::nullopt), "0");
    EXPECT_TRUE(opened(path("abs/reg")));
}

TEST_F(OciStorageRoot, WithoutConfigTheDefaultIsUsed)
{
    EXPECT_EQ(init_in_child(std::nullopt), "0");
    EXPECT_TRUE(opened("registry_storage"));
    EXPECT_EQ(top(), (std::set<std::string>{"registry_storage"}));
}

TEST_F(OciStorageRoot, EnvironmentWinsOverConfig)
{
    put_file(path("config.json"), "{\"storage_root\":\"cfg_root\"}");
    EXPECT_EQ(init_in_child(path("env_root")), "0");
    EXPECT_TRUE(opened(path("env_root")));
    EXPECT_EQ(top(), (std::set<std::string>{"config.json", "env_root"}));
}

TEST_F(OciStorageRoot, EmptyEnvironmentCountsAsUnset)
{
    put_file(path("config.json"), "{\"storage_root\":\"cfg_root\"}");
    EXPECT_EQ(init_in_child(std::string()), "0");
    EXPECT_TRUE(opened("cfg_root"));
}

// A root too long to keep whole is refused, never cut to the name of some
// other directory (nor replaced by the default) where the registry would
// then be created. 1023 characters still fit.
TEST_F(OciStorageRoot, RootTooLongIsRefusedNotCut)
{
    std::string root = path("r/");
    while (root.size() < 1100)
        root += "abcdefghi/";
    std::string fits = root.substr(0, 1023);
    while (fits.back() == '/')
        fits.pop_back();

    EXPECT_NE(init_in_child(root), "0");
    EXPECT_FALSE(fs::exists(path("r")));

    put_file(path("config.json"), "{\"storage_root\":\"" + std::string(1024, 'v') + "\"}");
    EXPECT_NE(init_in_child(std::nullopt), "0");
    EXPECT_EQ(top(), (std::set<std::string>{"config.json"}));

    EXPECT_EQ(init_in_child(fits), "0");
    EXPECT_TRUE(opened(fits));
}

TEST_F(OciStorageRoot, SecondCallIsFreeOnceOpen)
{
    Outcome r = run_in_child([&] {
        setenv("REGISTRY_STORAGE_ROOT", path("first").c_str(), 1);
        printf("%d", oci_init_storage());
        setenv("REGISTRY_STORAGE_ROOT", path("second").c_str(), 1);
        printf(" %d", oci_init_storage());
    });
    EXPECT_EQ(r.out, "0 0");
    EXPECT_TRUE(opened("first"));
    EXPECT_FALSE(fs::exists(path("second")));
}

TEST_F(OciStorageRoot, FailureIsReturnedAndRetried)
{
    put_file(path("file"), "x");
    Outcome r = run_in_child([&] {
        setenv("REGISTRY_STORAGE_ROOT", path("file/sub").c_str(), 1);
        printf("%d", oci_init_storage());
        setenv("REGISTRY_STORAGE_ROOT", path("good").c_str(), 1);
        printf(" %d", oci_init_storage());
    });
    EXPECT_EQ(r.out, "-1 0");
    EXPECT_TRUE(opened("good"));
}

} // namespace
