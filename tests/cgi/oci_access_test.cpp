// Authorization rules: the parser (what it takes, what it refuses and that a
// refused file grants nothing), the matcher (users, groups, "*", anonymous,
// patterns, actions), and the process's rules following their file.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "oci_access.h"
#include "oci_common.h"
#include "subprocess.h"

namespace {

constexpr unsigned kPull = OCI_ACTION_PULL;
constexpr unsigned kPush = OCI_ACTION_PUSH;
constexpr unsigned kDelete = OCI_ACTION_DELETE;

// The record is large and never copied: one per test on the heap.
std::unique_ptr<oci_access_rules> parse(const std::string &text, int *rc)
{
    auto r = std::make_unique<oci_access_rules>();
    std::strcpy(r->error, "sentinel");
    *rc = oci_access_parse(r.get(), text.data(), text.size());
    return r;
}

std::unique_ptr<oci_access_rules> parse_ok(const std::string &text)
{
    int rc = -2;
    auto r = parse(text, &rc);
    EXPECT_EQ(rc, 0) << r->error;
    EXPECT_STREQ(r->error, "");
    return r;
}

// The operator's example: groups, a user, any user, anonymous.
const std::string kExample = "# group NAME USER...\n"
                             "group admins alice bob\n"
                             "\n"
                             "  # allow WHO REPOSITORY-PATTERN ACTIONS\n"
                             "allow @admins  *          pull,push,delete\n"
                             "allow carol    team/*     pull,push   # no delete\n"
                             "allow *        public/*   pull\n"
                             "allow anonymous public/*  pull\r\n"
                             "group ops\tdave  # defined after its use below\n"
                             "allow @ops ops/app delete\n";

TEST(OciAccessMatch, ExampleGrantsWhatItSays)
{
    auto r = parse_ok(kExample);
    EXPECT_EQ(r->rule_count, 5);
    EXPECT_EQ(r->group_count, 2);
    struct Case {
        const char *user;
        const char *name;
        unsigned actions;
        int allowed;
    };
    const Case kCases[] = {
        // Group members get everything everywhere; one who is not, nothing.
        {"alice", "secret/app", kPull | kPush | kDelete, 1},
        {"bob", "a", kDelete, 1},
        {"mallory", "secret/app", kPull, 0},
        // A user's own rule, with the actions it lists and no more.
        {"carol", "team/app", kPull, 1},
        {"carol", "team/app", kPush, 1},
        {"carol", "team/app", kDelete, 0},
        {"carol", "team/app", kPull | kDelete, 0},
        {"carol", "team/a/b/c", kPush, 1},
        {"carol", "team", kPull, 0}, // "team/*" needs the slash
        {"carol", "teamx/app", kPull, 0},
        {"carol", "secret/app", kPull, 0},
        // "*" is any authenticated user, anonymous only the unauthenticated.
        {"mallory", "public/app", kPull, 1},
        {"mallory", "public/app", kPush, 0},
        {"", "public/app", kPull, 1},
        {"", "public/app", kPush, 0},
        {"", "team/app", kPull, 0},
        // Rights add up over rules: carol's pull,push and everyone's pull.
        {"carol", "public/x", kPull, 1},
        {"carol", "public/x", kPush, 0},
        // A group defined after its use; a trailing comment is no member.
        {"dave", "ops/app", kDelete, 1},
        {"dave", "ops/app", kPull, 0},
        {"#", "ops/app", kDelete, 0},
        {"defined", "ops/app", kDelete, 0},
        // The keywords are not user names.
        {"anonymous", "public/app", kPull, 1}, // through "*"
        {"anonymous", "team/app", kPull, 0},
        // Names are compared exactly.
        {"Alice", "x", kPull, 0},
        {"alic", "x", kPull, 0},
        {"carol", "Team/app", kPull, 0},
        // Another name's path or no name at all is never granted.
        {"alice", "team/../secret", kPull, 0},
        {"alice", "./secret", kPull, 0},
        {"alice", "", kPull, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.user) + " " + c.name + " " + std::to_string(c.actions));
        EXPECT_EQ(oci_access_permits(r.get(), c.user, c.name, c.actions), c.allowed);
    }
    EXPECT_EQ(oci_access_permits(r.get(), nullptr, "public/app", kPull), 1); // no user: anonymous
    EXPECT_EQ(oci_access_permits(r.get(), "alice", nullptr, kPull), 0);
}

TEST(OciAccessMatch, PatternsHaveOnlyTheStar)
{
    struct Case {
        const char *pattern;
        const char *name;
        int matches;
    };
    const Case kCases[] = {
        {"*", "a", 1},
        {"*", "a/b/c", 1},
        {"library/app", "library/app", 1},
        {"library/app", "library/app2", 0},
        {"library/app", "library", 0},
        {"library/*", "library/app/x", 1},
        {"*/app", "a/b/app", 1},
        {"*/app", "app", 0},
        {"a*b*c", "aXbYc", 1},
        {"a*b*c", "abc", 1},
        {"a*b*c", "aXbY", 0},
        {"a*b", "abab", 1},
        {"a*b", "abba", 0}, // the end is anchored
        {"*-dev", "team/app-dev", 1},
        {"*-dev", "team/app-dev/x", 0},
        {"team/**", "team/a", 1},
        {"a.b", "axb", 0}, // '.' is literal
        {"x*", "x", 1},    // '*' takes an empty run
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.name);
        auto r = parse_ok(std::string("allow u ") + c.pattern + " pull\n");
        EXPECT_EQ(oci_access_permits(r.get(), "u", c.name, kPull), c.matches);
    }
}

TEST(OciAccessParse, EmptyFileDeniesEverything)
{
    for (const char *text : {"", "\n\n", "# only a comment\n", "   \t\r\n"}) {
        SCOPED_TRACE(text);
        auto r = parse_ok(text);
        EXPECT_EQ(oci_access_permits(r.get(), "alice", "a", kPull), 0);
        EXPECT_EQ(oci_access_permits(r.get(), "", "a", kPull), 0);
    }
}

// Refused files: each is preceded by a line that would grant everything to
// everyone, which must not survive the refusal.
TEST(OciAccessParse, MalformedFilesFailClosed)
{
    struct Case {
        const char *label;
        std::string line; // the second line of the file
        std::string error;
    };
    const Case kCases[] = {
        {"unknown keyword", "deny * * pull", "line 3: unknown keyword"},
        {"keyword case", "Allow * * pull", "line 3: unknown keyword"},
        {"unknown action", "allow * * pull,pus", "line 3: unknown action"},
        {"action case", "allow * * Pull", "line 3: unknown action"},
        {"empty action", "allow * * pull,,push", "line 3: unknown action"},
        {"trailing comma", "allow * * pull,", "line 3: unknown action"},
        {"missing actions", "allow * *", "line 3: allow needs WHO, REPOSITORY-PATTERN and ACTIONS"},
        {"missing all", "allow", "line 3: allow needs WHO, REPOSITORY-PATTERN and ACTIONS"},
        {"comment eats actions", "allow * * #pull", "line 3: allow needs WHO, REPOSITORY-PATTERN and ACTIONS"},
        {"extra field", "allow * * pull push", "line 3: allow takes three fields"},
        {"bare @", "allow @ * pull", "line 3: empty group name"},
        {"undefined group", "allow @nobody * pull", "line 3: unknown group"},
        {"pattern character", "allow * team/? pull", "line 3: pattern holds a character no repository name has"},
        {"pattern bracket", "allow * [ab]* pull", "line 3: pattern holds a character no repository name has"},
        {"group without members", "group admins", "line 3: group needs NAME and USER..."},
        {"group without anything", "group  # x", "line 3: group needs NAME and USER..."},
        {"group named with @", "group @admins alice", "line 3: group name is written without '@'"},
        {"nested group", "group a @b", "line 3: groups do not nest"},
        {"control byte", "allow * * pull\x01", "line 3: control character"},
        {"NUL byte", std::string("allow * * pull\0", 15), "line 3: control character"},
        {"long line", "allow * * pull #" + std::string(1024, 'x'), "line 3: line longer than 1024 bytes"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        int rc = 0;
        auto r = parse("group all alice\nallow * * pull,push,delete\n" + c.line + "\nallow anonymous * pull\n", &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(std::string(r->error), "access rules: " + c.error);
        EXPECT_EQ(r->rule_count, 0);
        EXPECT_EQ(r->group_count, 0);
        EXPECT_EQ(oci_access_permits(r.get(), "alice", "a", kPull), 0);
        EXPECT_EQ(oci_access_permits(r.get(), "", "a", kPull), 0);
    }
}

// Each bound is reached and passed by one: what reaches it is taken, what
// passes it refused.
TEST(OciAccessParse, BoundsAreRefusedNotCut)
{
    auto lines = [](int count, const std::string &line) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += line;
        return text;
    };
    const std::string rule = "allow u x pull\n";
    const std::string group = "group g u\n";
    std::string line_max = "allow u x pull #" + std::string(OCI_ACCESS_LINE_MAX - 16, 'x');
    ASSERT_EQ(line_max.size(), OCI_ACCESS_LINE_MAX);
    // A whole file of comment lines, plus one rule at the very end.
    std::string comment_line = "#" + std::string(1022, 'c') + "\n";
    std::string file_max = lines(63, comment_line);
    file_max += std::string(OCI_ACCESS_FILE_MAX - file_max.size() - rule.size(), '\n') + rule;
    ASSERT_EQ(file_max.size(), OCI_ACCESS_FILE_MAX);

    struct Case {
        const char *label;
        std::string fits;
        std::string passes;
        const char *error;
    };
    const Case kCases[] = {
        {"rules", lines(OCI_ACCESS_RULES_MAX, rule), lines(OCI_ACCESS_RULES_MAX + 1, rule),
         "access rules: line 513: too many allow lines"},
        {"groups", lines(OCI_ACCESS_GROUPS_MAX, group) + rule, lines(OCI_ACCESS_GROUPS_MAX + 1, group) + rule,
         "access rules: line 257: too many group lines"},
        {"line", line_max + "\n", "x" + line_max + "\n", "access rules: line 1: line longer than 1024 bytes"},
        {"line without a line feed", line_max, line_max + " ", "access rules: line 1: line longer than 1024 bytes"},
        {"file", file_max, file_max + "\n", "access rules: file larger than 65536 bytes"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.label);
        auto r = parse_ok(c.fits);
        EXPECT_EQ(oci_access_permits(r.get(), "u", "x", kPull), 1);
        int rc = 0;
        auto refused = parse(c.passes, &rc);
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(refused->error, c.error);
        EXPECT_EQ(oci_access_permits(refused.get(), "u", "x", kPull), 0);
    }
}

// A record that refused one text takes the next as if new, and the other
// way round: nothing of an earlier parse survives.
TEST(OciAccessParse, ReparseStartsAfresh)
{
    auto r = std::make_unique<oci_access_rules>();
    const std::string good = "allow u x pull\n";
    const std::string bad = "allow u y push\nbogus\n";
    ASSERT_EQ(oci_access_parse(r.get(), good.data(), good.size()), 0);
    ASSERT_EQ(oci_access_parse(r.get(), bad.data(), bad.size()), -1);
    EXPECT_EQ(oci_access_permits(r.get(), "u", "x", kPull), 0);
    EXPECT_EQ(oci_access_permits(r.get(), "u", "y", kPush), 0);
    // Parsing the record's own text in place, as the loader does.
    std::memcpy(r->text, good.data(), good.size());
    ASSERT_EQ(oci_access_parse(r.get(), r->text, good.size()), 0);
    EXPECT_STREQ(r->error, "");
    EXPECT_EQ(oci_access_permits(r.get(), "u", "x", kPull), 1);
}

// The process's rules follow REGISTRY_ACCESS_FILE from one request to the
// next (oci_access_check with no repository only brings them up to date).
class OciAccessFile : public cgitest::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        file_ = path("rules");
        setenv("REMOTE_USER", "carol", 1);
    }
    void TearDown() override
    {
        unsetenv("REGISTRY_ACCESS_FILE");
        unsetenv("REMOTE_USER");
        oci_access_check("GET", "");
        TempDirTest::TearDown();
    }
    // Writes the file in place (same inode) with the given modification time.
    void write_in_place(const std::string &text, time_t mtime)
    {
        FILE *f = fopen(file_.c_str(), "r+b");
        if (!f)
            f = fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
        ASSERT_EQ(fflush(f), 0);
        ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(text.size())), 0);
        ASSERT_EQ(fclose(f), 0);
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
    }
    static void next_request() { oci_access_check("GET", ""); }

    std::string file_;
};

TEST_F(OciAccessFile, NoVariableAllowsEverything)
{
    unsetenv("REGISTRY_ACCESS_FILE");
    next_request();
    EXPECT_EQ(oci_access_allowed("any/thing", OCI_ACTION_DELETE), 1);
    setenv("REGISTRY_ACCESS_FILE", "", 1);
    next_request();
    EXPECT_EQ(oci_access_allowed("any/thing", OCI_ACTION_PUSH), 1);
}

TEST_F(OciAccessFile, ChangesTakeEffectAtTheNextRequest)
{
    setenv("REGISTRY_ACCESS_FILE", file_.c_str(), 1);
    write_in_place("allow carol team/* pull\n", 1000000);
    next_request();
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PULL), 1);
    EXPECT_EQ(oci_access_allowed("tame/app", OCI_ACTION_PULL), 0);
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PUSH), 0);

    // Same inode, same size: only the file's times tell.
    write_in_place("allow carol tame/* pull\n", 2000000);
    next_request();
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PULL), 0);
    EXPECT_EQ(oci_access_allowed("tame/app", OCI_ACTION_PULL), 1);

    // Replaced by rename, as an editor or a deployment does it.
    std::string fresh = path("rules.new");
    put_file(fresh, "allow carol team/* pull,push\n");
    ASSERT_EQ(rename(fresh.c_str(), file_.c_str()), 0);
    next_request();
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PUSH), 1);
    EXPECT_EQ(oci_access_allowed("tame/app", OCI_ACTION_PULL), 0);

    // The user is the request's: another request, another user.
    setenv("REMOTE_USER", "dave", 1);
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PULL), 0);
    unsetenv("REMOTE_USER");
    EXPECT_EQ(oci_access_allowed("team/app", OCI_ACTION_PULL), 0);

    // A file that goes away leaves no rules behind that grant anything.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    setenv("REMOTE_USER", "carol", 1);
    cgitest::Outcome out = cgitest::run_in_child([&] {
        setenv("REGISTRY_ACCESS_FILE", file_.c_str(), 1);
        setenv("REMOTE_USER", "carol", 1);
        try {
            next_request();
        } catch (const oci_request_done &) {
        }
        std::fprintf(stderr, "%d", oci_access_allowed("team/app", OCI_ACTION_PULL));
    });
    EXPECT_EQ(out.err, "0");
    cgitest::Reply reply = cgitest::parse_reply(out.out);
    ASSERT_FALSE(reply.headers.empty());
    EXPECT_EQ(reply.headers[0], "Status: 500");
    EXPECT_EQ(reply.body, cgitest::error_doc("UNKNOWN", "access rules: file cannot be read"));
}

} // namespace
