// Real clients against a registry that asks for passwords, speaks HTTPS or
// both, through lighttpd's own modules (mod_auth with an htpasswd file of
// bcrypt lines, mod_openssl): skopeo pushes and pulls with and without
// credentials and with reads open to anyone, podman logs in and then pushes
// and pulls, both trust the server's certificate only through a
// certificate directory of their own, and a user whom a rules file limits
// pushes where it may and is refused elsewhere.
//
// The clients run with a private HOME, TMPDIR, authentication file and
// (podman) storage, configuration and policy, so that nothing of the user
// running the tests takes part and nothing outside the test's directory
// changes. A client that is missing fails the test when scripts/setup.sh
// installs it for testing, and skips it only when it does not.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "robust_client.h"

using namespace e2e;

namespace {

struct Tool {
    const char *path;
    const char *package; // the Debian package scripts/setup.sh would install
};
constexpr Tool kSkopeo{"/usr/bin/skopeo", "skopeo"};
constexpr Tool kPodman{"/usr/bin/podman", "podman"};
constexpr Tool kHtpasswd{"/usr/bin/htpasswd", "apache2-utils"};
constexpr Tool kOpenssl{"/usr/bin/openssl", "openssl"};

// Whether the test role of scripts/setup.sh installs a package.
bool setup_installs_for_tests(const std::string &package)
{
    std::ifstream in(std::string(TESTS_E2E_DIR) + "/../../scripts/setup.sh");
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("test_pkgs=\""))
            continue;
        std::istringstream words(line.substr(11, line.rfind('"') - 11));
        for (std::string w; words >> w;)
            if (w == package)
                return true;
    }
    return false;
}

// Empty when the tool is there; else why the test cannot run, and whether
// that is a failure (the setup installs it) or a reason to skip.
std::string missing_tool(const Tool &tool, bool *fail)
{
    *fail = false;
    if (access(tool.path, X_OK) == 0)
        return "";
    *fail = setup_installs_for_tests(tool.package);
    return std::string(tool.path) + " is missing" +
           (*fail ? " (scripts/setup.sh test installs " + std::string(tool.package) + ")" : "");
}

#define REQUIRE_TOOL(tool)                                                                                             \
    do {                                                                                                               \
        bool fail_ = false;                                                                                            \
        std::string why_ = missing_tool(tool, &fail_);                                                                 \
        if (fail_)                                                                                                     \
            FAIL() << why_;                                                                                            \
        if (!why_.empty())                                                                                             \
            GTEST_SKIP() << why_;                                                                                      \
    } while (0)

struct User {
    const char *name;
    const char *password;
};
// A password with a blank and a colon: only the first colon of the
// credentials separates the user.
constexpr User kAlice{"alice", "open sesame: 1"};
constexpr User kCarol{"carol", "carol-pw"};
constexpr User kAliceWrong{"alice", "open sesame: 2"};
constexpr User kNobody{"mallory", "open sesame: 1"};
constexpr User kEmpty{"", ""};

std::string creds(const User &u)
{
    return std::string(u.name) + ":" + u.password;
}

std::string base64(const std::string &in)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
        if (i + 1 < in.size())
            n |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
        if (i + 2 < in.size())
            n |= static_cast<unsigned char>(in[i + 2]);
        out += kDigits[(n >> 18) & 63];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

std::string basic(const User &u)
{
    return "Authorization: Basic " + base64(creds(u));
}

// A rules file: alice may do anything, carol push and pull below team/,
// and anyone without credentials pull below public/.
constexpr const char kRules[] = "# who may do what\n"
                                "group admins alice\n"
                                "allow @admins * pull,push,delete\n"
                                "allow carol team/* pull,push\n"
                                "allow anonymous public/* pull\n";

// The server's credentials and certificates, made once for the test
// program: a bcrypt htpasswd file, a certificate authority with the
// server's certificate, and the rules file.
class SecuredTest : public LighttpdTest {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/reg_auth.XXXXXX";
        if (!mkdtemp(tmpl)) {
            s_error = "mkdtemp failed";
            return;
        }
        s_dir = tmpl;
        s_error.clear();
        bool fail = false;
        for (const Tool &t : {kHtpasswd, kOpenssl})
            if (std::string why = missing_tool(t, &fail); !why.empty()) {
                s_error = why;
                s_error_is_skip = !fail;
                return;
            }
        const std::string htpasswd = s_dir + "/htpasswd";
        bool first = true;
        for (const User &u : {kAlice, kCarol}) {
            // -B: bcrypt ($2y$), the hash lighttpd is to check here.
            std::vector<std::string> argv = {kHtpasswd.path, "-B", "-b"};
            if (first)
                argv.push_back("-c");
            argv.insert(argv.end(), {htpasswd, u.name, u.password});
            first = false;
            cgitest::Outcome o = cgitest::run_command(argv, {"PATH=/usr/bin:/bin"});
            if (o.status != 0) {
                s_error = "htpasswd: " + o.err;
                return;
            }
        }
        if (slurp(htpasswd).find(":$2y$") == std::string::npos) {
            s_error = "htpasswd wrote no bcrypt hash: " + slurp(htpasswd);
            return;
        }
        cgitest::Outcome cert = cgitest::run_command(
            {"/bin/sh", std::string(TESTS_E2E_DIR) + "/make_test_cert.sh", s_dir + "/certs"}, {"PATH=/usr/bin:/bin"});
        if (cert.status != 0) {
            s_error = "make_test_cert.sh: " + cert.err;
            return;
        }
        // What a client trusts: a directory holding the authority as *.crt.
        fs::create_directory(s_dir + "/trust");
        fs::copy_file(s_dir + "/certs/ca.crt", s_dir + "/trust/ca.crt");
        std::ofstream(s_dir + "/rules") << kRules;
    }

    static void TearDownTestSuite()
    {
        std::error_code ec;
        if (!s_dir.empty())
            fs::remove_all(s_dir, ec);
    }

    void SetUp() override
    {
        if (!s_error.empty()) {
            if (s_error_is_skip)
                GTEST_SKIP() << s_error;
            FAIL() << s_error;
        }
        LighttpdTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        fs::create_directory(path("home"));
        // No credentials yet (podman wants the file it is named to exist).
        put_file(path("auth.json"), "{\"auths\":{}}");
        policy_ = path("policy.json");
        put_file(policy_, "{\"default\":[{\"type\":\"insecureAcceptAnything\"}]}");
    }

    static std::string htpasswd() { return s_dir + "/htpasswd"; }
    static std::string trust_dir() { return s_dir + "/trust"; }
    static std::string ca_file() { return s_dir + "/certs/ca.crt"; }
    static std::string server_cert() { return s_dir + "/certs/server.crt"; }
    static std::string server_key() { return s_dir + "/certs/server.key"; }
    static std::string rules_file() { return s_dir + "/rules"; }

    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string registry() const { return "docker://" + host() + "/"; }

    // A client run with a private HOME, TMPDIR and authentication file
    // (containers' tools read REGISTRY_AUTH_FILE), bounded in time so that
    // a client that hangs fails the test instead.
    cgitest::Outcome run(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"/usr/bin/timeout", "300"};
        argv.insert(argv.end(), args.begin(), args.end());
        return cgitest::run_command(argv, {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=" + path("home"),
                                           "TMPDIR=" + dir_, "REGISTRY_AUTH_FILE=" + path("auth.json")});
    }

    cgitest::Outcome skopeo(const std::string &command, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {kSkopeo.path, "--policy", policy_, command};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }

    // A layout of one image tagged tag; the digest of its manifest.
    std::string make_layout(const std::string &dir, const std::string &tag)
    {
        cgitest::Outcome made = run({"/bin/bash", std::string(TESTS_E2E_DIR) + "/make_oci_layout.sh", dir, tag, "2"});
        EXPECT_EQ(made.status, 0) << made.err;
        std::string digest = made.out.substr(0, made.out.find('\n'));
        EXPECT_EQ(digest.size(), 71u) << made.out;
        return digest;
    }

    static std::string layout_blob(const std::string &layout, const std::string &digest)
    {
        return slurp(layout + "/blobs/sha256/" + digest.substr(7));
    }

    // The digest of the manifest a layout's index.json names first.
    static std::string index_digest(const std::string &layout)
    {
        std::string index = slurp(layout + "/index.json");
        size_t at = index.find("sha256:", index.find("\"digest\""));
        return at == std::string::npos ? "<none in " + index + ">" : index.substr(at, 71);
    }

    // skopeo copy between a layout and the registry; flags for the
    // registry's side (credentials, TLS) come first.
    cgitest::Outcome push(const std::string &layout, const std::string &tag, const std::string &dest,
                          const std::vector<std::string> &flags)
    {
        std::vector<std::string> args = flags;
        args.insert(args.end(), {"--preserve-digests", "oci:" + layout + ":" + tag, registry() + dest});
        return skopeo("copy", args);
    }
    cgitest::Outcome pull(const std::string &src, const std::string &layout, const std::vector<std::string> &flags)
    {
        std::vector<std::string> args = flags;
        args.insert(args.end(), {"--preserve-digests", registry() + src, "oci:" + layout + ":pulled"});
        return skopeo("copy", args);
    }

    std::string server_log() { return "\nserver: " + slurp(path("run/error.log")); }

    static std::string s_dir;
    static std::string s_error;
    static bool s_error_is_skip;
    std::string policy_;
};

std::string SecuredTest::s_dir;
std::string SecuredTest::s_error;
bool SecuredTest::s_error_is_skip = false;

// The challenge lighttpd's mod_auth sends: clients answer it with the
// credentials they have, or prompt for them.
void expect_challenge(const Response &r)
{
    EXPECT_EQ(r.status, 401) << r.status_line;
    EXPECT_TRUE(r.get("WWW-Authenticate").starts_with("Basic realm=\"registry\"")) << r.get("WWW-Authenticate");
    EXPECT_EQ(r.all("X-Content-Type-Options"), std::vector<std::string>{"nosniff"});
}

// ---- The configuration refuses settings it cannot honour ----

class ConfigurationTest : public cgitest::TempDirTest {};

TEST_F(ConfigurationTest, UnusableSettingsAreNamed)
{
    put_file(path("htpasswd"), "alice:$2y$05$abcdefghijklmnopqrstuuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01\n");
    put_file(path("cert.pem"), "");
    fs::create_directory(path("dir"));
    struct Case {
        std::vector<std::string> env;
        const char *message; // part of the error; null: accepted
    };
    const Case kCases[] = {
        {{"HTPASSWD_FILE=" + path("htpasswd")}, nullptr},
        {{"HTPASSWD_FILE=" + path("htpasswd"), "ANONYMOUS_PULL=1", "AUTH_REALM=our registry"}, nullptr},
        {{"HTPASSWD_FILE=htpasswd"}, "HTPASSWD_FILE must be an absolute path"},
        {{"HTPASSWD_FILE=" + path("none")}, "HTPASSWD_FILE is not a file"},
        {{"HTPASSWD_FILE=" + path("dir")}, "HTPASSWD_FILE is not a file"},
        {{"ANONYMOUS_PULL=1"}, "ANONYMOUS_PULL=1 needs HTPASSWD_FILE"},
        {{"HTPASSWD_FILE=" + path("htpasswd"), "ANONYMOUS_PULL=yes"}, "ANONYMOUS_PULL must be 0 or 1"},
        {{"AUTH_REALM=a\"b"}, "AUTH_REALM must be printable ASCII"},
        {{"AUTH_REALM=caf\xc3\xa9"}, "AUTH_REALM must be printable ASCII"},
        {{"ACCESS_FILE=" + path("none")}, "ACCESS_FILE is not a file"},
        {{"TLS_CERT=" + path("cert.pem")}, "TLS_CERT and TLS_KEY go together"},
        {{"TLS_CERT=" + path("cert.pem"), "TLS_KEY=" + path("none")}, "TLS_KEY is not a file"},
    };
    for (const Case &c : kCases) {
        std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
        env.insert(env.end(), c.env.begin(), c.env.end());
        SCOPED_TRACE(env.back());
        cgitest::Outcome o = cgitest::run_command(
            {"/bin/sh", LIGHTTPD_CONF_SCRIPT, path("lighttpd.conf"), "5000", path("root"), CGI_BIN_DIR, server_mode()},
            env);
        if (!c.message) {
            EXPECT_EQ(o.status, 0) << o.err;
            // And lighttpd takes what was written, modules and all.
            cgitest::Outcome t = cgitest::run_command({find_lighttpd(), "-tt", "-f", path("lighttpd.conf")}, {});
            EXPECT_EQ(t.status, 0) << t.out << t.err;
            continue;
        }
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    }
}

// ---- Passwords for everything ----

class BasicAuthTest : public SecuredTest {
protected:
    std::string htpasswd_file() override { return htpasswd(); }
};

TEST_F(BasicAuthTest, EveryRequestNeedsValidCredentials)
{
    const std::string body = manifest('a');
    struct Case {
        const char *label;
        const char *method;
        std::string target;
        const User *user; // null: no credentials
        int status;       // 401: the server's challenge
    };
    const Case kCases[] = {
        {"ping, none", "GET", "/v2/", nullptr, 401},
        {"ping, wrong password", "GET", "/v2/", &kAliceWrong, 401},
        {"ping, unknown user", "GET", "/v2/", &kNobody, 401},
        {"ping", "GET", "/v2/", &kAlice, 200},
        {"ping, second user", "GET", "/v2/", &kCarol, 200},
        {"push, none", "PUT", "/v2/library/app/manifests/v1", nullptr, 401},
        {"push, wrong password", "PUT", "/v2/library/app/manifests/v1", &kAliceWrong, 401},
        {"push", "PUT", "/v2/library/app/manifests/v1", &kAlice, 201},
        {"pull, none", "GET", "/v2/library/app/manifests/v1", nullptr, 401},
        {"head, none", "HEAD", "/v2/library/app/manifests/v1", nullptr, 401},
        {"pull", "GET", "/v2/library/app/manifests/v1", &kAlice, 200},
        {"catalog, none", "GET", "/v2/_catalog", nullptr, 401},
        {"delete, wrong password", "DELETE", "/v2/library/app/manifests/v1", &kAliceWrong, 401},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> headers = {std::string("Content-Type: ") + kOciType};
        if (std::string(c.method) == "POST")
            headers.push_back("Content-Length: 0");
        if (c.user)
            headers.push_back(basic(*c.user));
        Response r = http(c.method, c.target, std::string(c.method) == "PUT" ? body : "", headers);
        if (c.status == 401) {
            expect_challenge(r);
            EXPECT_EQ(r.get("Docker-Distribution-API-Version"), "<absent>"); // no program ran
        } else {
            EXPECT_EQ(r.status, c.status) << r.body;
        }
    }
    EXPECT_EQ(http("GET", "/v2/library/app/manifests/v1", "", {basic(kAlice)}).body, body);
}

TEST_F(BasicAuthTest, SkopeoPushesAndPullsWithCredentialsOnly)
{
    REQUIRE_TOOL(kSkopeo);
    const std::string src = path("src");
    const std::string digest = make_layout(src, "v1");
    const std::vector<std::string> http_dest = {"--dest-tls-verify=false"};
    const std::vector<std::string> http_src = {"--src-tls-verify=false"};
    auto with = [](std::vector<std::string> flags, const std::string &flag, const User &u) {
        flags.push_back(flag + "=" + creds(u));
        return flags;
    };

    cgitest::Outcome r = push(src, "v1", "library/app:v1", http_dest);
    EXPECT_NE(r.status, 0) << "pushed without credentials";
    r = push(src, "v1", "library/app:v1", with(http_dest, "--dest-creds", kAliceWrong));
    EXPECT_NE(r.status, 0) << "pushed with a wrong password";
    EXPECT_EQ(http("GET", "/v2/_catalog", "", {basic(kAlice)}).body, "{\"repositories\":[]}\n");

    r = push(src, "v1", "library/app:v1", with(http_dest, "--dest-creds", kAlice));
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    Response stored = http("GET", "/v2/library/app/manifests/v1", "", {basic(kAlice)});
    EXPECT_EQ(stored.get("Docker-Content-Digest"), digest);

    r = pull("library/app:v1", path("none"), http_src);
    EXPECT_NE(r.status, 0) << "pulled without credentials";
    r = pull("library/app:v1", path("wrong"), with(http_src, "--src-creds", kAliceWrong));
    EXPECT_NE(r.status, 0) << "pulled with a wrong password";
    r = pull("library/app:v1", path("back"), with(http_src, "--src-creds", kCarol));
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_EQ(index_digest(path("back")), digest);
}

// ---- Reads open to anyone ----

class AnonymousPullTest : public SecuredTest {
protected:
    std::string htpasswd_file() override { return htpasswd(); }
    bool anonymous_pull() override { return true; }
};

TEST_F(AnonymousPullTest, ReadsPassWritesNeedCredentials)
{
    const std::string body = manifest('b');
    struct Case {
        const char *label;
        const char *method;
        std::string target;
        const User *user;
        int status;
    };
    const Case kCases[] = {
        // The API root tells clients that credentials are taken; skopeo and
        // podman then send an empty user and password when they have none.
        {"ping", "GET", "/v2/", nullptr, 401},
        {"ping, root spelt short", "GET", "/v2", nullptr, 401},
        {"ping, empty credentials", "GET", "/v2/", &kEmpty, 401},
        {"push, none", "PUT", "/v2/library/app/manifests/v1", nullptr, 401},
        {"push, empty credentials", "PUT", "/v2/library/app/manifests/v1", &kEmpty, 401},
        {"push, wrong password", "PUT", "/v2/library/app/manifests/v1", &kAliceWrong, 401},
        {"upload, none", "POST", "/v2/library/app/blobs/uploads/", nullptr, 401},
        {"push", "PUT", "/v2/library/app/manifests/v1", &kAlice, 201},
        {"pull", "GET", "/v2/library/app/manifests/v1", nullptr, 200},
        {"pull, empty credentials", "GET", "/v2/library/app/manifests/v1", &kEmpty, 200},
        {"head", "HEAD", "/v2/library/app/manifests/v1", nullptr, 200},
        {"tags", "GET", "/v2/library/app/tags/list", nullptr, 200},
        {"catalog", "GET", "/v2/_catalog", nullptr, 200},
        // Credentials sent with a read are checked all the same: a wrong
        // password never passes for anonymous (nor does a login succeed).
        {"pull, wrong password", "GET", "/v2/library/app/manifests/v1", &kAliceWrong, 401},
        {"ping, wrong password", "GET", "/v2/", &kAliceWrong, 401},
        {"ping, right password", "GET", "/v2/", &kAlice, 200},
        {"delete, none", "DELETE", "/v2/library/app/manifests/v1", nullptr, 401},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> headers = {std::string("Content-Type: ") + kOciType};
        if (std::string(c.method) == "POST")
            headers.push_back("Content-Length: 0");
        if (c.user)
            headers.push_back(basic(*c.user));
        Response r = http(c.method, c.target, std::string(c.method) == "PUT" ? body : "", headers);
        if (c.status == 401)
            expect_challenge(r);
        else
            EXPECT_EQ(r.status, c.status) << r.body;
    }
    EXPECT_EQ(http("GET", "/v2/library/app/manifests/v1").body, body);
}

TEST_F(AnonymousPullTest, SkopeoPullsWithoutCredentialsButPushesWithThem)
{
    REQUIRE_TOOL(kSkopeo);
    const std::string src = path("src");
    const std::string digest = make_layout(src, "v1");
    const std::vector<std::string> http_dest = {"--dest-tls-verify=false"};
    const std::vector<std::string> http_src = {"--src-tls-verify=false"};

    cgitest::Outcome r = push(src, "v1", "library/app:v1", http_dest);
    EXPECT_NE(r.status, 0) << "pushed without credentials";
    EXPECT_EQ(http("GET", "/v2/_catalog").body, "{\"repositories\":[]}\n");
    r = push(src, "v1", "library/app:v1", {"--dest-tls-verify=false", "--dest-creds=" + creds(kAlice)});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();

    r = pull("library/app:v1", path("back"), http_src);
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_EQ(index_digest(path("back")), digest);
    r = pull("library/app:v1", path("wrong"), {"--src-tls-verify=false", "--src-creds=" + creds(kAliceWrong)});
    EXPECT_NE(r.status, 0) << "pulled with a wrong password";
}

// ---- HTTPS ----

// One exchange over TLS by openssl's client, which checks the server's
// certificate against ca (and its name against 127.0.0.1); status 0 when
// no whole reply arrived, as when the check fails.
Response https_at(int port, const std::string &ca, const std::string &method, const std::string &target,
                  const std::vector<std::string> &headers = {})
{
    std::string req = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const std::string &h : headers)
        req += h + "\r\n";
    req += "\r\n";
    cgitest::Outcome o = cgitest::run_command({"/usr/bin/timeout", "60", kOpenssl.path, "s_client", "-quiet",
                                               "-connect", "127.0.0.1:" + std::to_string(port), "-CAfile", ca,
                                               "-verify_return_error", "-verify_ip", "127.0.0.1"},
                                              {"PATH=/usr/bin:/bin"}, req);
    return parse_response(o.out);
}

class TlsTest : public SecuredTest {
protected:
    std::string tls_cert() override { return server_cert(); }
    std::string tls_key() override { return server_key(); }
};

TEST_F(TlsTest, HttpsOnlyAndVerified)
{
    Response r = https_at(port_, ca_file(), "GET", "/v2/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{}\n");
    // The same port speaks no plain HTTP.
    EXPECT_EQ(http_at(port_, "GET", "/v2/").status, 0);
    // A client trusting another authority gets nothing.
    const std::string other = path("other");
    ASSERT_EQ(cgitest::run_command({"/bin/sh", std::string(TESTS_E2E_DIR) + "/make_test_cert.sh", other},
                                   {"PATH=/usr/bin:/bin"})
                  .status,
              0);
    EXPECT_EQ(https_at(port_, other + "/ca.crt", "GET", "/v2/").status, 0);
}

TEST_F(TlsTest, SkopeoTrustsTheCertificateDirectoryOnly)
{
    REQUIRE_TOOL(kSkopeo);
    const std::string src = path("src");
    const std::string digest = make_layout(src, "v1");

    // Without the authority in its certificate directory the client
    // refuses the server (and falls back to nothing).
    cgitest::Outcome r = push(src, "v1", "library/app:v1", {});
    EXPECT_NE(r.status, 0) << "pushed to a server it cannot verify";
    EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;
    EXPECT_EQ(https_at(port_, ca_file(), "GET", "/v2/_catalog").body, "{\"repositories\":[]}\n");

    r = push(src, "v1", "library/app:v1", {"--dest-cert-dir", trust_dir()});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_EQ(https_at(port_, ca_file(), "GET", "/v2/library/app/manifests/v1").body, layout_blob(src, digest));

    r = pull("library/app:v1", path("untrusted"), {});
    EXPECT_NE(r.status, 0) << "pulled from a server it cannot verify";
    r = pull("library/app:v1", path("back"), {"--src-cert-dir", trust_dir()});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_EQ(index_digest(path("back")), digest);
}

// ---- podman: login, then push and pull, over HTTPS ----

class PodmanLoginTest : public SecuredTest {
protected:
    std::string htpasswd_file() override { return htpasswd(); }
    std::string tls_cert() override { return server_cert(); }
    std::string tls_key() override { return server_key(); }

    // podman as root on a storage of its own below the test's directory
    // (the vfs driver: plain directories, no mounts), with empty
    // configuration files instead of the machine's, no event log and no
    // systemd.
    cgitest::Outcome podman(const std::string &store, const std::vector<std::string> &args,
                            const std::string &input = "")
    {
        if (!fs::exists(path("containers.conf"))) {
            put_file(path("containers.conf"), "");
            put_file(path("registries.conf"), "");
        }
        std::vector<std::string> argv = {"/usr/bin/timeout",
                                         "300",
                                         kPodman.path,
                                         "--root",
                                         path(store + "/root"),
                                         "--runroot",
                                         path(store + "/run"),
                                         "--tmpdir",
                                         path(store + "/tmp"),
                                         "--storage-driver",
                                         "vfs",
                                         "--events-backend",
                                         "none",
                                         "--cgroup-manager",
                                         "cgroupfs"};
        argv.insert(argv.end(), args.begin(), args.end());
        return cgitest::run_command(argv,
                                    {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "HOME=" + path("home"), "TMPDIR=" + dir_,
                                     "CONTAINERS_CONF=" + path("containers.conf"),
                                     "CONTAINERS_REGISTRIES_CONF=" + path("registries.conf"),
                                     "REGISTRY_AUTH_FILE=" + path("auth.json")},
                                    input);
    }

    cgitest::Outcome login(const User &u, const std::vector<std::string> &tls)
    {
        std::vector<std::string> args = {"login",      "--authfile", path("auth.json"),
                                         "--username", u.name,       "--password-stdin"};
        args.insert(args.end(), tls.begin(), tls.end());
        args.push_back(host());
        return podman("client", args, std::string(u.password) + "\n");
    }
};

TEST_F(PodmanLoginTest, LoginThenPushAndPull)
{
    REQUIRE_TOOL(kPodman);
    const std::string src = path("src");
    const std::string digest = make_layout(src, "v1");
    // The image ID podman gives an image is the digest of its config, the
    // first digest the manifest names.
    const std::string manifest_body = layout_blob(src, digest);
    const std::string config_digest = manifest_body.substr(manifest_body.find("sha256:"), 71);
    const std::vector<std::string> trust = {"--cert-dir", trust_dir()};

    // Into the client's store from the layout, packed as an OCI archive.
    cgitest::Outcome r = run({"/bin/tar", "-C", src, "-cf", path("src.tar"), "."});
    ASSERT_EQ(r.status, 0) << r.err;
    r = podman("client", {"load", "--input", path("src.tar")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string image = config_digest.substr(7);

    // A wrong password, an untrusted server: no login, no credentials kept.
    r = login(kAliceWrong, trust);
    EXPECT_NE(r.status, 0) << "logged in with a wrong password";
    r = login(kAlice, {});
    EXPECT_NE(r.status, 0) << "logged in to a server it cannot verify";
    EXPECT_EQ(slurp(path("auth.json")).find(host()), std::string::npos) << slurp(path("auth.json"));

    // Without credentials the push is refused.
    r = podman("client", {"push", "--signature-policy", policy_, "--authfile", path("auth.json"), "--cert-dir",
                          trust_dir(), image, registry() + "team/app:v1"});
    EXPECT_NE(r.status, 0) << "pushed without logging in";

    r = login(kAlice, trust);
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_NE(slurp(path("auth.json")).find(host()), std::string::npos);

    r = podman("client", {"push", "--signature-policy", policy_, "--authfile", path("auth.json"), "--cert-dir",
                          trust_dir(), image, registry() + "team/app:v1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    Response stored = https_at(port_, ca_file(), "GET", "/v2/team/app/manifests/v1", {basic(kAlice)});
    EXPECT_EQ(stored.status, 200);
    EXPECT_NE(stored.body.find(config_digest), std::string::npos) << stored.body;

    // A second store pulls it back with the login: the same image.
    r = podman("puller", {"pull", "--signature-policy", policy_, "--authfile", path("auth.json"), "--cert-dir",
                          trust_dir(), registry() + "team/app:v1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    r = podman("puller", {"image", "inspect", "--format", "{{.Id}}", host() + "/team/app:v1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, image + "\n");

    // Nor does a client that does not trust the server pull.
    r = podman("stranger",
               {"pull", "--signature-policy", policy_, "--authfile", path("auth.json"), registry() + "team/app:v1"});
    EXPECT_NE(r.status, 0) << "pulled from a server it cannot verify";
}

// ---- A user limited by the rules file ----

class AccessRulesTest : public SecuredTest {
protected:
    std::string htpasswd_file() override { return htpasswd(); }
    bool anonymous_pull() override { return true; }
    std::string access_file() override { return rules_file(); }
};

// carol may push and pull below team/ only; alice anything; anonymous pull
// below public/ only. A right that is missing is 403 DENIED for a user,
// and a challenge for anonymous, so that a client can still log in.
TEST_F(AccessRulesTest, UserPushesWhereAllowedOnly)
{
    REQUIRE_TOOL(kSkopeo);
    const std::string src = path("src");
    const std::string digest = make_layout(src, "v1");
    const std::vector<std::string> as_carol = {"--dest-tls-verify=false", "--dest-creds=" + creds(kCarol)};

    cgitest::Outcome r = push(src, "v1", "team/app:v1", as_carol);
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    r = push(src, "v1", "other/app:v1", as_carol);
    EXPECT_NE(r.status, 0) << "carol pushed outside team/";
    r = push(src, "v1", "public/app:v1", {"--dest-tls-verify=false", "--dest-creds=" + creds(kAlice)});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();

    const std::string body = manifest('c');
    struct Case {
        const char *label;
        const char *method;
        std::string target;
        const User *user;
        int status;
        const char *code; // of the registry's error document; null: none
    };
    const Case kCases[] = {
        {"carol pulls team", "GET", "/v2/team/app/manifests/v1", &kCarol, 200, nullptr},
        {"carol pushes team", "PUT", "/v2/team/app/manifests/v2", &kCarol, 201, nullptr},
        {"carol deletes team", "DELETE", "/v2/team/app/manifests/v2", &kCarol, 403, "DENIED"},
        {"carol pushes other", "PUT", "/v2/other/app/manifests/v1", &kCarol, 403, "DENIED"},
        {"carol uploads to other", "POST", "/v2/other/app/blobs/uploads/", &kCarol, 403, "DENIED"},
        {"carol pulls public", "GET", "/v2/public/app/manifests/v1", &kCarol, 403, "DENIED"},
        {"alice pulls team", "GET", "/v2/team/app/manifests/v1", &kAlice, 200, nullptr},
        {"anonymous pulls public", "GET", "/v2/public/app/manifests/v1", nullptr, 200, nullptr},
        {"anonymous pulls team", "GET", "/v2/team/app/manifests/v1", nullptr, 401, "UNAUTHORIZED"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> headers = {std::string("Content-Type: ") + kOciType};
        if (std::string(c.method) == "POST")
            headers.push_back("Content-Length: 0");
        if (c.user)
            headers.push_back(basic(*c.user));
        Response r = http(c.method, c.target, std::string(c.method) == "PUT" ? body : "", headers);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.code) {
            EXPECT_NE(r.body.find(std::string("\"code\":\"") + c.code + "\""), std::string::npos) << r.body;
        }
        if (c.status == 401) {
            EXPECT_TRUE(r.get("WWW-Authenticate").starts_with("Basic realm=\"registry\"")) << r.get("WWW-Authenticate");
        }
    }
    EXPECT_EQ(http("GET", "/v2/other/app/tags/list", "", {basic(kAlice)}).status, 404);

    // skopeo pulls team/ as carol, and not without credentials.
    r = pull("team/app:v1", path("back"), {"--src-tls-verify=false", "--src-creds=" + creds(kCarol)});
    ASSERT_EQ(r.status, 0) << r.out << r.err << server_log();
    EXPECT_EQ(index_digest(path("back")), digest);
    r = pull("team/app:v1", path("anonymous"), {"--src-tls-verify=false"});
    EXPECT_NE(r.status, 0) << "pulled team/ without credentials";
}

} // namespace
