// Routes behind lighttpd: a repository is reached by one spelling of its
// path only, so that rules put on a path prefix (the server's own, an
// operator's on /v2/private/) cannot be got round. The programs' directory
// is no public path, the server refuses dot segments, doubled slashes and
// encoded slashes, and the programs themselves refuse what the server lets
// through in another spelling than the one they are asked for.
#include "e2e_server.h"

using namespace e2e;

namespace {

constexpr const char kPrivate[] = "/v2/private/app/manifests/x";

// Who answers a spelling, and how.
enum class Answer {
    Server404,      // the server's own 404: no program ran
    Server400,      // refused by the server while parsing the target
    Refused,        // a program ran and refused the target
    OtherRepository // a program served it, as another repository
};

class RoutesTest : public LighttpdTest {
protected:
    // No program ran: a program's reply always carries the API version line.
    static void expect_server_reply(const Response &r, int status)
    {
        EXPECT_EQ(r.status, status) << r.status_line << "\n" << r.body;
        EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "<absent>");
        EXPECT_EQ(r.get("Content-Type"), "text/html");
    }

    void expect_answer(const Response &r, Answer answer)
    {
        switch (answer) {
        case Answer::Server404:
            expect_server_reply(r, 404);
            break;
        case Answer::Server400:
            expect_server_reply(r, 400);
            break;
        case Answer::Refused:
            expect_error(r, 404, "NAME_UNKNOWN", "repository name not known");
            break;
        case Answer::OtherRepository:
            EXPECT_EQ(r.status, 404) << r.status_line;
            EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "registry/2.0");
            break;
        }
    }
};

TEST_F(RoutesTest, OtherSpellingsReachNoProgram)
{
    const std::string body = manifest('a');
    ASSERT_EQ(http("PUT", kPrivate, body, {std::string("Content-Type: ") + kOciType}).status, 201);
    for (const char *root : {"/v2", "/v2/"}) {
        Response r = http("GET", root);
        EXPECT_EQ(r.status, 200) << root;
        EXPECT_EQ(r.body, "{}\n");
    }
    ASSERT_EQ(http("GET", kPrivate).body, body);

    struct Case {
        std::string target;
        Answer answer;
    };
    const Case kCases[] = {
        // The programs' directory, however it is spelt.
        {"/cgi-bin/v2_manifest/v2/private/app/manifests/x", Answer::Server404},
        {"/cgi-bin/v2_manifest/private/app/manifests/x", Answer::Server404},
        {"/%63gi-bin/v2_manifest/v2/private/app/manifests/x", Answer::Server404},
        {"/cgi-bin/v2_base", Answer::Server404},
        {"/cgi-bin/", Answer::Server404},
        {"http://127.0.0.1:" + std::to_string(port_) + "/cgi-bin/v2_manifest/v2/private/app/manifests/x",
         Answer::Server404},
        {"/cgi-bin%2Fv2_manifest/v2/private/app/manifests/x", Answer::Server400},
        {"/v2/../cgi-bin/v2_manifest/v2/private/app/manifests/x", Answer::Server400},
        // Paths outside the API root.
        {"/", Answer::Server404},
        {"/private/app/manifests/x", Answer::Server404},
        {"/v2private/app/manifests/x", Answer::Server404},
        {"/V2/private/app/manifests/x", Answer::Server404},
        // Dot segments, plain and encoded.
        {"/v2/other/../private/app/manifests/x", Answer::Server400},
        {"/v2/./private/app/manifests/x", Answer::Server400},
        {"/v2/private/app/./manifests/x", Answer::Server400},
        {"/v2/other/%2e%2e/private/app/manifests/x", Answer::Server400},
        {"/v2/other/%2E./private/app/manifests/x", Answer::Server400},
        {"/v2/private/app/manifests/x/y/..", Answer::Server400},
        // Doubled slashes.
        {"/v2//private/app/manifests/x", Answer::Server400},
        {"/v2/private//app/manifests/x", Answer::Server400},
        // Encoded slashes in the name.
        {"/v2/private%2Fapp/manifests/x", Answer::Server400},
        {"/v2/private%2fapp/manifests/x", Answer::Server400},
        {"/v2%2Fprivate/app/manifests/x", Answer::Server400},
        // Encoded letters the server decodes before it routes: the program
        // sees the target as sent.
        {"/%76%32/private/app/manifests/x", Answer::Refused},
        {"/v%32/private/app/manifests/x", Answer::Refused},
        // A second API prefix is part of the name.
        {"/v2/v2/private/app/manifests/x", Answer::OtherRepository},
    };
    const std::string other_body = manifest('b');
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.target);
        expect_answer(http("GET", c.target), c.answer);
        if (c.answer == Answer::OtherRepository)
            continue;
        expect_answer(http("PUT", c.target, other_body, {std::string("Content-Type: ") + kOciType}), c.answer);
        expect_answer(http("DELETE", c.target), c.answer);
    }

    // Nothing reached the repository by another name.
    Response kept = http("GET", kPrivate);
    EXPECT_EQ(kept.status, 200);
    EXPECT_EQ(kept.body, body);
    EXPECT_EQ(http("GET", "/v2/private/app/tags/list").body, "{\"name\":\"private/app\",\"tags\":[\"x\"]}\n");
}

// One nosniff line on every reply: the server's own and the programs',
// whose line the server's replaces rather than repeats.
TEST_F(RoutesTest, EveryReplySaysNosniffOnce)
{
    const std::string body = manifest('c');
    const std::string blob = blob_bytes(1000);
    ASSERT_EQ(http("PUT", "/v2/a/manifests/t", body, {std::string("Content-Type: ") + kOciType}).status, 201);
    Response pushed = http("POST", "/v2/a/blobs/uploads/?digest=" + sha256_digest(blob), blob);
    ASSERT_EQ(pushed.status, 201) << pushed.body;

    struct Case {
        const char *method;
        std::string target;
        int status;
    };
    const Case kCases[] = {
        {"GET", "/v2/", 200},
        {"GET", "/v2/a/manifests/t", 200},
        {"HEAD", "/v2/a/manifests/t", 200},
        {"GET", "/v2/a/blobs/" + sha256_digest(blob), 200}, // sent by the server (X-Sendfile)
        {"GET", "/v2/a/manifests/none", 404},
        {"GET", "/v2/nowhere", 404},
        {"PATCH", "/v2/a/manifests/t", 405},
        {"GET", "/", 404},
        {"GET", "/cgi-bin/v2_base/v2/", 404},
        {"GET", "/%76%32/a/manifests/t", 404},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        Response r = http(c.method, c.target);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.all("X-Content-Type-Options"), std::vector<std::string>{"nosniff"});
    }
}

// A program started under its own name, as a server without these routes
// would start it: without the API root in its path it serves nothing, and
// the raw target must be the path it is asked for.
TEST_F(RoutesTest, ProgramsRefuseTargetsOutsideTheApiRoot)
{
    const std::string body = manifest('d');
    ASSERT_EQ(http("PUT", kPrivate, body, {std::string("Content-Type: ") + kOciType}).status, 201);
    struct Case {
        const char *program;
        const char *path_info;
        const char *request_uri; // null: none given
        const char *status;
    };
    static const Case kCases[] = {
        {"v2_manifest", "/v2/private/app/manifests/x", "/v2/private/app/manifests/x", "Status: 200 OK"},
        {"v2_manifest", "/v2/private/app/manifests/x", nullptr, "Status: 200 OK"},
        {"v2_manifest", "/private/app/manifests/x", nullptr, "Status: 404"},
        {"v2_manifest", "/v2/private/app/manifests/x", "/cgi-bin/v2_manifest/v2/private/app/manifests/x",
         "Status: 404"},
        {"v2_manifest", "/v2/private/app/manifests/x", "/v2/private%2Fapp/manifests/x", "Status: 404"},
        {"v2_manifest", "/v2/private/app/manifests/x", "/v2/a/../private/app/manifests/x", "Status: 404"},
        {"v2_manifest", "/v2/private/app/manifests/x", "/v2//private/app/manifests/x", "Status: 404"},
        {"v2_tags", "/private/app/tags/list", nullptr, "Status: 404"},
        {"v2_blob", "/private/app/blobs/sha256:0", nullptr, "Status: 404"},
        {"v2_upload", "/private/app/blobs/uploads/", nullptr, "Status: 404"},
        {"v2_referrers", "/private/app/referrers/sha256:0", nullptr, "Status: 404"},
        {"v2_catalog", "/_catalog", nullptr, "Status: 404"},
        {"v2_base", "/", nullptr, "Status: 404"},
        {"v2_base", "/v2/", "/cgi-bin/v2_base/v2/", "Status: 404"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.path_info + " " + (c.request_uri ? c.request_uri : "-"));
        std::vector<std::string> env = {"REGISTRY_STORAGE_ROOT=" + root_, "REQUEST_METHOD=GET",
                                        std::string("PATH_INFO=") + c.path_info};
        if (c.request_uri)
            env.push_back(std::string("REQUEST_URI=") + c.request_uri);
        cgitest::Outcome o = cgitest::run_program(std::string(CGI_BIN_DIR) + "/" + c.program, env);
        EXPECT_EQ(o.status, 0);
        cgitest::Reply r = cgitest::parse_reply(o.out);
        ASSERT_FALSE(r.headers.empty()) << o.out;
        EXPECT_EQ(r.headers[0], c.status);
        if (std::string(c.status) == "Status: 200 OK")
            EXPECT_EQ(r.body, body);
        else
            EXPECT_EQ(r.body, error_doc("NAME_UNKNOWN", "repository name not known"));
    }
}

} // namespace
