// Authorization as the registry programs apply it, each program run as a web
// server runs it with REMOTE_USER and REGISTRY_ACCESS_FILE set: 403 for an
// authenticated user without the right, 401 with a Basic challenge for a
// request without credentials, every action, the catalog filtered and paged
// by what the user may pull, broken rules answered 500 by every program,
// and a resident FastCGI process following edits of the rules file.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "subprocess.h"

using cgitest::error_doc;
using cgitest::manifest;
using cgitest::Reply;

namespace {

const std::string kDenied = error_doc("DENIED", "requested access to the resource is denied");
const std::string kUnauthorized = error_doc("UNAUTHORIZED", "authentication required");
constexpr const char kChallenge[] = "WWW-Authenticate: Basic realm=\"registry\"";

const std::string kRules = "group admins alice\n"
                           "allow @admins    *         pull,push,delete\n"
                           "allow carol      team/*    pull,push\n"
                           "allow *          public/*  pull\n"
                           "allow anonymous  public/*  pull\n";

std::string program(const char *name)
{
    return std::string(CGI_BIN_DIR) + "/" + name;
}

bool has_header(const Reply &r, const std::string &line)
{
    return std::find(r.headers.begin(), r.headers.end(), line) != r.headers.end();
}

// The challenge line, whatever its realm.
bool has_challenge(const Reply &r)
{
    return std::any_of(r.headers.begin(), r.headers.end(),
                       [](const std::string &h) { return h.rfind("WWW-Authenticate:", 0) == 0; });
}

std::string status_of(const Reply &r)
{
    return r.headers.empty() ? "" : r.headers[0];
}

class AccessProgram : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        root_ = path("root");
        rules_ = path("rules");
    }

    // One request to a program. user null: no credentials; rules_file
    // null: no REGISTRY_ACCESS_FILE at all.
    Reply run(const char *prog, const std::string &method, const std::string &path_info, const char *user,
              const std::string &body = "", std::vector<std::string> extra = {})
    {
        std::vector<std::string> env = {"REQUEST_METHOD=" + method, "PATH_INFO=" + path_info,
                                        "REGISTRY_STORAGE_ROOT=" + root_};
        if (rules_file_)
            env.push_back(std::string("REGISTRY_ACCESS_FILE=") + rules_file_);
        if (user)
            env.push_back(std::string("REMOTE_USER=") + user);
        if (!body.empty())
            env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
        env.insert(env.end(), extra.begin(), extra.end());
        cgitest::Outcome out = cgitest::run_program(program(prog), env, body, dir_);
        EXPECT_TRUE(out.exited && out.status == 0) << prog << " ended with " << out.status;
        EXPECT_EQ(out.err, "");
        Reply reply = cgitest::parse_reply(out.out);
        EXPECT_TRUE(reply.complete) << out.out;
        return reply;
    }

    void use_rules(const std::string &text)
    {
        put_file(rules_, text);
        rules_file_ = rules_.c_str();
    }

    // A repository as the catalog finds it, without going through a program.
    void make_repo(const std::string &name) const
    {
        std::filesystem::create_directories(root_ + "/repositories/" + name + "/_manifests");
    }

    std::string root_;
    std::string rules_;
    const char *rules_file_ = nullptr;
};

// ------------------------------------------------------------- answers by right

TEST_F(AccessProgram, EachActionAnsweredByTheRules)
{
    use_rules(kRules);
    const std::string body = manifest();
    for (const char *repo : {"team/app", "public/app", "secret/app"}) {
        Reply r = run("v2_manifest", "PUT", std::string("/v2/") + repo + "/manifests/latest", "alice", body);
        EXPECT_EQ(status_of(r), "Status: 201 Created") << repo;
    }

    enum Expect { OK, DENIED, UNAUTHORIZED };
    struct Case {
        const char *prog;
        const char *method;
        std::string path;
        const char *user;
        std::string status; // the status line of an allowed request
        Expect expect;
    };
    const std::string team = "/v2/team/app/manifests/latest";
    const std::string pub = "/v2/public/app/manifests/latest";
    const std::string secret = "/v2/secret/app/manifests/latest";
    const Case kCases[] = {
        // pull, push and delete of a user's own rule: pull,push and no delete.
        {"v2_manifest", "GET", team, "carol", "Status: 200 OK", OK},
        {"v2_manifest", "HEAD", team, "carol", "Status: 200 OK", OK},
        {"v2_manifest", "PUT", "/v2/team/app/manifests/v2", "carol", "Status: 201 Created", OK},
        {"v2_manifest", "DELETE", "/v2/team/app/manifests/v2", "carol", "", DENIED},
        {"v2_tags", "GET", "/v2/team/app/tags/list", "carol", "Status: 200 OK", OK},
        {"v2_upload", "POST", "/v2/team/app/blobs/uploads/", "carol", "Status: 202 Accepted", OK},
        {"v2_upload", "PATCH", "/v2/team/app/blobs/uploads/00000000-0000-0000-0000-000000000000", "carol",
         "Status: 404", OK},
        // Elsewhere nothing, and whether the repository exists does not show.
        {"v2_manifest", "GET", secret, "carol", "", DENIED},
        {"v2_manifest", "GET", "/v2/secret/none/manifests/latest", "carol", "", DENIED},
        {"v2_tags", "GET", "/v2/secret/app/tags/list", "carol", "", DENIED},
        // Any authenticated user: pull of public/* only.
        {"v2_manifest", "GET", pub, "dave", "Status: 200 OK", OK},
        {"v2_manifest", "PUT", "/v2/public/app/manifests/x", "dave", "", DENIED},
        {"v2_upload", "POST", "/v2/public/app/blobs/uploads/", "dave", "", DENIED},
        {"v2_manifest", "GET", team, "dave", "", DENIED},
        {"v2_manifest", "DELETE", pub, "dave", "", DENIED},
        // No credentials: pull of public/*, else a challenge.
        {"v2_manifest", "GET", pub, nullptr, "Status: 200 OK", OK},
        {"v2_manifest", "HEAD", pub, nullptr, "Status: 200 OK", OK},
        {"v2_manifest", "PUT", "/v2/public/app/manifests/x", nullptr, "", UNAUTHORIZED},
        {"v2_manifest", "GET", team, nullptr, "", UNAUTHORIZED},
        {"v2_manifest", "DELETE", team, nullptr, "", UNAUTHORIZED},
        {"v2_upload", "POST", "/v2/public/app/blobs/uploads/", nullptr, "", UNAUTHORIZED},
        {"v2_tags", "GET", "/v2/team/app/tags/list", nullptr, "", UNAUTHORIZED},
        // An empty REMOTE_USER is no user.
        {"v2_manifest", "GET", team, "", "", UNAUTHORIZED},
        // A method outside the table needs every right: the program's own
        // answer only for whoever has them all.
        {"v2_manifest", "OPTIONS", team, "carol", "", DENIED},
        {"v2_manifest", "OPTIONS", team, "alice", "Status: 405", OK},
        // The base route names no repository: never refused by the rules.
        {"v2_base", "GET", "/v2/", nullptr, "Status: 200 OK", OK},
        {"v2_base", "GET", "/v2/", "dave", "Status: 200 OK", OK},
        // Delete, last, by the one who may.
        {"v2_manifest", "DELETE", pub, "alice", "Status: 202 Accepted", OK},
        {"v2_manifest", "GET", pub, "alice", "Status: 404", OK},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.prog) + " " + c.method + " " + c.path + " as " + (c.user ? c.user : "(none)"));
        std::string body_in = strcmp(c.method, "PUT") == 0 ? body : "";
        Reply r = run(c.prog, c.method, c.path, c.user, body_in);
        switch (c.expect) {
        case OK:
            EXPECT_EQ(status_of(r), c.status) << r.body;
            EXPECT_FALSE(has_challenge(r));
            break;
        case DENIED:
            EXPECT_EQ(status_of(r), "Status: 403");
            EXPECT_EQ(r.body, kDenied);
            EXPECT_FALSE(has_challenge(r));
            break;
        case UNAUTHORIZED:
            EXPECT_EQ(status_of(r), "Status: 401");
            EXPECT_EQ(r.body, kUnauthorized);
            EXPECT_TRUE(has_header(r, kChallenge));
            break;
        }
    }
}

// The rules apply to the name the program parsed, so another spelling of a
// forbidden repository's path gets no further than the forbidden one.
TEST_F(AccessProgram, NoPathSpellingGetsRoundTheRules)
{
    use_rules(kRules);
    Reply put = run("v2_manifest", "PUT", "/v2/secret/app/manifests/latest", "alice", manifest());
    ASSERT_EQ(status_of(put), "Status: 201 Created");
    for (const char *path : {"/v2/team/../secret/app/manifests/latest", "v2/secret/app/manifests/latest",
                             "//v2//secret/app/manifests/latest", "/secret/app/manifests/latest",
                             "/v2/team/./../secret/app/manifests/latest"}) {
        SCOPED_TRACE(path);
        Reply r = run("v2_manifest", "GET", path, "carol");
        EXPECT_NE(status_of(r), "Status: 200 OK");
        EXPECT_EQ(r.body.find("schemaVersion"), std::string::npos);
    }
}

TEST_F(AccessProgram, ChallengeNamesTheConfiguredRealm)
{
    use_rules(kRules);
    struct Case {
        std::string realm; // empty: REGISTRY_AUTH_REALM unset
        std::string line;
    };
    const Case kCases[] = {
        {"", kChallenge},
        {"Halvane Registry", "WWW-Authenticate: Basic realm=\"Halvane Registry\""},
        // A quoted string: quotes and backslashes escaped, no control byte
        // may end the header line.
        {"a\"b\\c\rX-Evil: 1", "WWW-Authenticate: Basic realm=\"a\\\"b\\\\cX-Evil: 1\""},
        {std::string(300, 'r'), "WWW-Authenticate: Basic realm=\"" + std::string(128, 'r') + "\""},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.realm);
        std::vector<std::string> extra;
        if (!c.realm.empty())
            extra.push_back("REGISTRY_AUTH_REALM=" + c.realm);
        Reply r = run("v2_manifest", "GET", "/v2/team/app/manifests/latest", nullptr, "", extra);
        EXPECT_EQ(status_of(r), "Status: 401");
        EXPECT_TRUE(has_header(r, c.line));
        EXPECT_FALSE(has_header(r, "X-Evil: 1"));
    }
}

// Without a rules file, everything the web server lets through is allowed.
TEST_F(AccessProgram, NoRulesFileAllowsEverything)
{
    for (const char *setting : {"(unset)", ""}) {
        SCOPED_TRACE(setting);
        rules_file_ = strcmp(setting, "") == 0 ? "" : nullptr;
        std::vector<std::pair<std::string, std::string>> steps = {
            {"PUT", "Status: 201 Created"}, {"GET", "Status: 200 OK"}, {"DELETE", "Status: 202 Accepted"}};
        for (const auto &[method, status] : steps) {
            Reply r =
                run("v2_manifest", method, "/v2/any/repo/manifests/latest", nullptr, method == "PUT" ? manifest() : "");
            EXPECT_EQ(status_of(r), status) << method;
        }
    }
}

// A rules file that cannot be used grants nothing to anyone, on every
// route, the base route and the catalog included.
TEST_F(AccessProgram, BrokenRulesAnswer500Everywhere)
{
    put_file(path("bad"), "group admins alice\nallow @admins * pull,push,delete\nallow carol team/* pul\n");
    put_file(path("huge"), "allow alice * pull\n" + std::string(65536, '\n'));
    std::filesystem::create_directories(path("dir"));
    const std::string bad = path("bad");
    const std::string missing = path("missing");
    const std::string dir = path("dir");
    const std::string huge = path("huge");
    struct Case {
        std::string file;
        std::string message;
    };
    const Case kCases[] = {
        {bad, "access rules: line 3: unknown action"},
        {missing, "access rules: file cannot be read"},
        {dir, "access rules: file cannot be read"},
        {huge, "access rules: file larger than 65536 bytes"},
        {"rules", "access rules: REGISTRY_ACCESS_FILE must be an absolute path"},
    };
    struct Request {
        const char *prog;
        const char *method;
        const char *path;
    };
    const Request kRequests[] = {
        {"v2_base", "GET", "/v2/"},
        {"v2_catalog", "GET", "/v2/_catalog"},
        {"v2_manifest", "GET", "/v2/team/app/manifests/latest"},
        {"v2_tags", "GET", "/v2/team/app/tags/list"},
        {"v2_upload", "POST", "/v2/team/app/blobs/uploads/"},
    };
    for (const Case &c : kCases) {
        rules_file_ = c.file.c_str();
        for (const Request &q : kRequests) {
            for (const char *user : {"alice", static_cast<const char *>(nullptr)}) {
                SCOPED_TRACE(c.file + " " + q.prog + " as " + (user ? user : "(none)"));
                Reply r = run(q.prog, q.method, q.path, user);
                EXPECT_EQ(status_of(r), "Status: 500");
                EXPECT_EQ(r.body, error_doc("UNKNOWN", c.message));
                EXPECT_FALSE(has_challenge(r));
            }
        }
    }
}

// ------------------------------------------------------------- catalog

// The names of a catalog body {"repositories":["a","b"]}.
std::vector<std::string> catalog_names(const std::string &body)
{
    std::vector<std::string> names;
    size_t open = body.find('[');
    size_t close = body.find(']');
    if (open == std::string::npos || close == std::string::npos)
        return {"<no array: " + body + ">"};
    std::string list = body.substr(open + 1, close - open - 1);
    for (size_t pos = 0; pos < list.size();) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos)
            end = list.size();
        names.push_back(list.substr(pos + 1, end - pos - 2)); // without quotes
        pos = end + 1;
    }
    return names;
}

// The `last` of a Link line's next page; nullopt without a Link line.
std::optional<std::string> link_last(const Reply &r)
{
    for (const std::string &h : r.headers) {
        if (h.rfind("Link: <", 0) != 0)
            continue;
        size_t at = h.find("last=");
        size_t end = h.find('>');
        if (at == std::string::npos || end == std::string::npos)
            return "<malformed: " + h + ">";
        return h.substr(at + 5, end - at - 5);
    }
    return std::nullopt;
}

class AccessCatalog : public AccessProgram {
protected:
    void SetUp() override
    {
        AccessProgram::SetUp();
        for (const char *name : {"a/1", "b/1", "c/1", "d/1", "e/1", "f/1", "team", "team/app", "public/x"})
            make_repo(name);
        use_rules("allow carol a/*      pull\n"
                  "allow carol c/*      pull\n"
                  "allow carol f/*      pull\n"
                  "allow carol team/*   pull\n"
                  "allow carol b/1      push,delete   # rights that do not show it\n"
                  "allow *     public/* pull\n"
                  "allow anonymous public/* pull\n");
    }

    Reply catalog(const char *user, const std::string &query)
    {
        return run("v2_catalog", "GET", "/v2/_catalog", user, "", {"QUERY_STRING=" + query});
    }
};

TEST_F(AccessCatalog, ListsOnlyWhatTheUserMayPull)
{
    struct Case {
        const char *user;
        std::vector<std::string> names;
    };
    const Case kCases[] = {
        {"carol", {"a/1", "c/1", "f/1", "public/x", "team/app"}},
        {"dave", {"public/x"}},
        {nullptr, {"public/x"}},
        {"", {"public/x"}},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.user ? c.user : "(none)");
        Reply r = catalog(c.user, "");
        EXPECT_EQ(status_of(r), "Status: 200 OK");
        EXPECT_EQ(catalog_names(r.body), c.names);
        EXPECT_EQ(link_last(r), std::nullopt);
    }
    // Without rules the same store lists every repository.
    rules_file_ = nullptr;
    EXPECT_EQ(catalog_names(catalog("carol", "").body),
              (std::vector<std::string>{"a/1", "b/1", "c/1", "d/1", "e/1", "f/1", "public/x", "team", "team/app"}));
}

// Every page size walks the visible names page by page, following the
// Link line: full pages while names follow, a Link exactly then, naming
// the page's last name, and nothing skipped or repeated.
TEST_F(AccessCatalog, PagingCountsVisibleNamesOnly)
{
    const std::vector<std::string> visible = {"a/1", "c/1", "f/1", "public/x", "team/app"};
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE("n=" + std::to_string(n));
        std::vector<std::string> seen;
        std::string query = "n=" + std::to_string(n);
        for (int page = 0; page < 10; ++page) {
            Reply r = catalog("carol", query);
            ASSERT_EQ(status_of(r), "Status: 200 OK");
            std::vector<std::string> names = catalog_names(r.body);
            size_t left = visible.size() - seen.size();
            EXPECT_EQ(names.size(), std::min<size_t>(static_cast<size_t>(n), left));
            seen.insert(seen.end(), names.begin(), names.end());
            std::optional<std::string> next = link_last(r);
            if (seen.size() < visible.size()) {
                ASSERT_TRUE(next.has_value());
                ASSERT_FALSE(names.empty());
                EXPECT_EQ(*next, names.back());
                query = "n=" + std::to_string(n) + "&last=" + *next;
            } else {
                EXPECT_EQ(next, std::nullopt);
                break;
            }
        }
        EXPECT_EQ(seen, visible);
    }
    // A page may start after a name the user cannot see.
    Reply r = catalog("carol", "n=1&last=b/1");
    EXPECT_EQ(catalog_names(r.body), (std::vector<std::string>{"c/1"}));
    EXPECT_EQ(link_last(r), "c/1");
    r = catalog("carol", "n=2&last=team");
    EXPECT_EQ(catalog_names(r.body), (std::vector<std::string>{"team/app"}));
    EXPECT_EQ(link_last(r), std::nullopt);
}

// ------------------------------------------------------------- FastCGI

// A minimal FastCGI client (responder role, one request per connection),
// enough to drive a registry program that listens on a socket of its own as
// spawn-fcgi or lighttpd would start it.
class FastcgiProgram {
public:
    FastcgiProgram(const std::string &prog, const std::string &socket_path, const std::vector<std::string> &env)
        : socket_path_(socket_path)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = address();
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << socket_path;
            if (fd >= 0)
                close(fd);
            return;
        }
        std::vector<char *> envp;
        for (const std::string &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        std::string path = program(prog.c_str());
        char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            // The listening socket is standard input: how a FastCGI program
            // knows it is one.
            dup2(fd, 0);
            close(fd);
            execve(argv[0], argv, envp.data());
            _exit(127);
        }
        close(fd);
        EXPECT_GT(pid_, 0);
    }
    ~FastcgiProgram()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
    }
    FastcgiProgram(const FastcgiProgram &) = delete;
    FastcgiProgram &operator=(const FastcgiProgram &) = delete;

    bool alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    // One request with these parameters and an empty body; the reply's
    // standard output.
    Reply request(const std::vector<std::pair<std::string, std::string>> &params)
    {
        std::string out;
        static constexpr char kBegin[] = {0, 1, 0, 0, 0, 0, 0, 0}; // responder, close after
        add_record(&out, kBeginRequest, std::string(kBegin, sizeof kBegin));
        std::string pairs;
        for (const auto &[name, value] : params) {
            add_length(&pairs, name.size());
            add_length(&pairs, value.size());
            pairs += name + value;
        }
        add_record(&out, kParams, pairs);
        add_record(&out, kParams, "");
        add_record(&out, kStdin, "");

        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = address();
        Reply failed;
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ADD_FAILURE() << "cannot connect to " << socket_path_;
            if (fd >= 0)
                close(fd);
            return failed;
        }
        // A safety net, not a limit on the program: a process that never
        // answers fails the test instead of hanging it.
        timeval wait = {60, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        cgitest::detail::write_all(fd, out);
        std::string reply;
        for (;;) {
            unsigned char head[8];
            if (!read_exact(fd, head, sizeof head))
                break;
            size_t len = (static_cast<size_t>(head[4]) << 8) | head[5];
            std::string content(len + head[6], '\0');
            if (!read_exact(fd, content.data(), content.size()))
                break;
            if (head[1] == kStdout)
                reply += content.substr(0, len);
            if (head[1] == kEndRequest)
                break;
        }
        close(fd);
        return cgitest::parse_reply(reply);
    }

private:
    static constexpr uint8_t kBeginRequest = 1;
    static constexpr uint8_t kEndRequest = 3;
    static constexpr uint8_t kParams = 4;
    static constexpr uint8_t kStdin = 5;
    static constexpr uint8_t kStdout = 6;

    sockaddr_un address() const
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path_.c_str());
        return addr;
    }
    // Request ID 1, no padding; every record here is short.
    static void add_record(std::string *out, uint8_t type, const std::string &content)
    {
        const char head[8] = {1,
                              static_cast<char>(type),
                              0,
                              1,
                              static_cast<char>(content.size() >> 8),
                              static_cast<char>(content.size() & 0xFF),
                              0,
                              0};
        out->append(head, sizeof head);
        *out += content;
    }
    static void add_length(std::string *out, size_t n)
    {
        if (n < 128) {
            *out += static_cast<char>(n);
            return;
        }
        *out += static_cast<char>(((n >> 24) & 0x7F) | 0x80);
        *out += static_cast<char>((n >> 16) & 0xFF);
        *out += static_cast<char>((n >> 8) & 0xFF);
        *out += static_cast<char>(n & 0xFF);
    }
    static bool read_exact(int fd, void *buf, size_t len)
    {
        char *p = static_cast<char *>(buf);
        while (len > 0) {
            ssize_t n = read(fd, p, len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            p += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

    std::string socket_path_;
    pid_t pid_ = -1;
};

// One resident process, many requests: each edit of the rules file counts
// from the next request on, and a broken edit fails closed until repaired.
// The process's environment names the file and the storage (as a server's
// bin-environment would) and also holds a REMOTE_USER, which must never
// stand in for a request's missing credentials.
TEST_F(AccessProgram, FastcgiProcessFollowsEditsOfTheRules)
{
    use_rules("allow carol team/* pull\n");
    FastcgiProgram fcgi("v2_manifest", path("sock"),
                        {"REGISTRY_STORAGE_ROOT=" + root_, "REGISTRY_ACCESS_FILE=" + rules_, "REMOTE_USER=alice",
                         "REGISTRY_FASTCGI_EXIT_WITH_PARENT=1"});
    auto get = [&](const char *repo, const char *user) {
        std::vector<std::pair<std::string, std::string>> params = {
            {"REQUEST_METHOD", "GET"}, {"PATH_INFO", std::string("/v2/") + repo + "/manifests/latest"}};
        if (user)
            params.emplace_back("REMOTE_USER", user);
        return fcgi.request(params);
    };
    // Allowed requests reach the handler, which finds nothing stored.
    const std::string allowed = "Status: 404";

    EXPECT_EQ(status_of(get("team/app", "carol")), allowed);
    EXPECT_EQ(get("other/app", "carol").body, kDenied);

    // Replaced by rename.
    std::string fresh = path("rules.new");
    put_file(fresh, "allow carol other/* pull\n");
    ASSERT_EQ(rename(fresh.c_str(), rules_.c_str()), 0);
    EXPECT_EQ(get("team/app", "carol").body, kDenied);
    EXPECT_EQ(status_of(get("other/app", "carol")), allowed);

    // Rewritten in place, broken: every request fails closed.
    put_file(rules_, "allow carol other/* pull,bogus\n");
    Reply broken = get("other/app", "carol");
    EXPECT_EQ(status_of(broken), "Status: 500");
    EXPECT_EQ(broken.body, error_doc("UNKNOWN", "access rules: line 1: unknown action"));

    // Repaired: alice may pull, and a request without credentials is not
    // alice, whatever the process's environment says.
    put_file(rules_, "allow alice * pull\n");
    EXPECT_EQ(status_of(get("other/app", "alice")), allowed);
    Reply anonymous = get("other/app", nullptr);
    EXPECT_EQ(status_of(anonymous), "Status: 401");
    EXPECT_TRUE(has_header(anonymous, kChallenge));
    EXPECT_EQ(get("other/app", "carol").body, kDenied);

    EXPECT_TRUE(fcgi.alive());
}

} // namespace
