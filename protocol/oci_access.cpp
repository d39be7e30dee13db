// Authorization by repository name (see oci_access.h): the rules file's
// parser and matcher, and the per-request check of the request layer with
// the reload of a file that changed since the last request of this process.
#include "oci_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hv_cgi.h"
#include "oci_common.h"

namespace {

constexpr size_t npos = std::string_view::npos;
// The bounds as the refusals name them.
static_assert(OCI_ACCESS_FILE_MAX == 65536 && OCI_ACCESS_LINE_MAX == 1024);

// ---------------------------------------------------------------- parsing

struct action_name {
    std::string_view name;
    oci_action action;
};
constexpr action_name ACTION_NAMES[] = {
    {"pull", OCI_ACTION_PULL},
    {"push", OCI_ACTION_PUSH},
    {"delete", OCI_ACTION_DELETE},
};

// The two WHO words with a meaning of their own. A user who happens to be
// called so is reached by "*" only.
constexpr std::string_view WHO_ANY_USER = "*";
constexpr std::string_view WHO_ANONYMOUS = "anonymous";

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The next word of *rest, which loses it and the blanks before it; empty at
// the end of the line or at a comment, which ends the line.
std::string_view next_word(std::string_view *rest)
{
    size_t start = 0;
    while (start < rest->size() && is_blank((*rest)[start]))
        ++start;
    if (start == rest->size() || (*rest)[start] == '#') {
        *rest = {};
        return {};
    }
    size_t end = start;
    while (end < rest->size() && !is_blank((*rest)[end]))
        ++end;
    std::string_view word = rest->substr(start, end - start);
    rest->remove_prefix(end);
    return word;
}

// The characters of a repository name, and '*'.
bool pattern_char_ok(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '/' || c == '*';
}

// "pull,push" into action bits; 0 for an unknown or empty item.
unsigned parse_actions(std::string_view list)
{
    unsigned bits = 0;
    for (;;) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        unsigned found = 0;
        for (const action_name &a : ACTION_NAMES)
            if (item == a.name)
                found = a.action;
        if (found == 0)
            return 0;
        bits |= found;
        if (comma == npos)
            return bits;
        list.remove_prefix(comma + 1);
    }
}

// One line without its line feed; null, or the reason it is refused.
const char *parse_line(oci_access_rules *r, std::string_view line, int line_no)
{
    for (char c : line)
        if (static_cast<unsigned char>(c) < 0x20 && !is_blank(c))
            return "control character";
    std::string_view rest = line;
    std::string_view keyword = next_word(&rest);
    if (keyword.empty())
        return nullptr; // blank or comment
    if (keyword == "allow") {
        std::string_view who = next_word(&rest);
        std::string_view pattern = next_word(&rest);
        std::string_view actions = next_word(&rest);
        if (actions.empty())
            return "allow needs WHO, REPOSITORY-PATTERN and ACTIONS";
        if (!next_word(&rest).empty())
            return "allow takes three fields";
        if (r->rule_count == OCI_ACCESS_RULES_MAX)
            return "too many allow lines";
        oci_access_rule &rule = r->rules[r->rule_count];
        rule.group = who.front() == '@';
        if (rule.group)
            who.remove_prefix(1);
        if (who.empty())
            return "empty group name";
        for (char c : pattern)
            if (!pattern_char_ok(c))
                return "pattern holds a character no repository name has";
        rule.actions = parse_actions(actions);
        if (rule.actions == 0)
            return "unknown action";
        rule.who = who;
        rule.pattern = pattern;
        rule.line = line_no;
        ++r->rule_count;
        return nullptr;
    }
    if (keyword == "group") {
        std::string_view name = next_word(&rest);
        if (name.empty())
            return "group needs NAME and USER...";
        if (name.front() == '@')
            return "group name is written without '@'";
        // The members run up to the end of the last word before any
        // comment, so that a trailing comment is not taken for users.
        std::string_view scan = rest;
        size_t end = 0;
        for (std::string_view word; !(word = next_word(&scan)).empty();) {
            if (word.front() == '@')
                return "groups do not nest";
            end = static_cast<size_t>(word.data() + word.size() - rest.data());
        }
        if (end == 0)
            return "group needs NAME and USER...";
        if (r->group_count == OCI_ACCESS_GROUPS_MAX)
            return "too many group lines";
        r->groups[r->group_count++] = {name, rest.substr(0, end)};
        return nullptr;
    }
    return "unknown keyword";
}

bool group_defined(const oci_access_rules *r, std::string_view name)
{
    for (int i = 0; i < r->group_count; ++i)
        if (r->groups[i].name == name)
            return true;
    return false;
}

int refuse(oci_access_rules *r, int line_no, const char *reason)
{
    r->rule_count = 0;
    r->group_count = 0;
    if (line_no > 0)
        hv_snprintf(r->error, sizeof r->error, "access rules: line %d: %s", line_no, reason);
    else
        hv_snprintf(r->error, sizeof r->error, "access rules: %s", reason);
    return -1;
}

// ---------------------------------------------------------------- matching

bool who_matches(std::string_view who, std::string_view user)
{
    if (who == WHO_ANONYMOUS)
        return user.empty();
    if (who == WHO_ANY_USER)
        return !user.empty();
    return !user.empty() && who == user;
}

bool in_group(const oci_access_rules *r, std::string_view group, std::string_view user)
{
    for (int i = 0; i < r->group_count; ++i) {
        if (r->groups[i].name != group)
            continue;
        std::string_view members = r->groups[i].members;
        for (std::string_view m; !(m = next_word(&members)).empty();)
            if (who_matches(m, user))
                return true;
    }
    return false;
}

// '*' matches any run of characters, every other character itself. On a
// mismatch the last '*' seen takes one character more: with '*' the only
// wildcard, retrying from the last one alone finds every match.
bool pattern_matches(std::string_view pattern, std::string_view name)
{
    size_t p = 0;
    size_t n = 0;
    size_t star = npos;
    size_t star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_n = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != npos) {
            p = star + 1;
            n = ++star_n;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// ---------------------------------------------------------------- the process's rules

// What the file last read (or the absence of one) gives.
enum access_state { ACCESS_UNLOADED, ACCESS_OFF, ACCESS_READY, ACCESS_BROKEN };

// What tells one version of the file from another. An in-place edit
// changes the size or the times; a replacement by rename, the inode.
struct file_identity {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
};

// The file's name as the variable gives it, with its NUL.
constexpr size_t ACCESS_PATH_BUF = 4096;
// "WWW-Authenticate: Basic realm=\"" + realm + "\"": a realm of up to 128
// bytes, each escaped into at most 2.
constexpr size_t REALM_MAX = 128;
constexpr size_t CHALLENGE_BUF = 64 + 2 * REALM_MAX;

access_state s_state = ACCESS_UNLOADED;
char s_path[ACCESS_PATH_BUF];
file_identity s_identity;
oci_access_rules s_rules;

file_identity identity_of(const struct stat &st)
{
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_identity(const file_identity &a, const file_identity &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

void set_broken(const char *reason)
{
    refuse(&s_rules, 0, reason);
    s_state = ACCESS_BROKEN;
}

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reads and parses the file at s_path. The identity is taken before the
// bytes are read, so that a write racing the read changes it and the next
// request reads the file again.
void load_rules()
{
    // Until the file is read, no version of it counts as loaded: a read
    // that fails is tried again by the next request.
    s_identity = {};
    fd_closer file{open(s_path, O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        set_broken("file cannot be read");
        return;
    }
    s_identity = identity_of(st);
    size_t len = 0;
    for (;;) {
        // One byte more than the bound may hold, so that a longer file shows.
        char extra;
        char *dst = len < sizeof s_rules.text ? s_rules.text + len : &extra;
        size_t room = len < sizeof s_rules.text ? sizeof s_rules.text - len : 1;
        ssize_t n = read(file.fd, dst, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            s_identity = {};
            set_broken("file cannot be read");
            return;
        }
        if (n == 0)
            break;
        len += static_cast<size_t>(n);
        if (len > sizeof s_rules.text) {
            set_broken("file larger than 65536 bytes");
            return;
        }
    }
    s_state = oci_access_parse(&s_rules, s_rules.text, len) == 0 ? ACCESS_READY : ACCESS_BROKEN;
}

// Brings the rules up to date with REGISTRY_ACCESS_FILE: one stat while the
// file is unchanged.
void refresh_rules()
{
    const char *path = cgi_env("REGISTRY_ACCESS_FILE", "");
    if (path[0] == '\0') {
        s_state = ACCESS_OFF;
        s_path[0] = '\0';
        return;
    }
    size_t path_len = strlen(path);
    // A relative name would depend on the working directory of whichever
    // server started the process.
    if (path[0] != '/' || path_len >= sizeof s_path) {
        s_path[0] = '\0';
        set_broken("REGISTRY_ACCESS_FILE must be an absolute path");
        return;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        s_path[0] = '\0';
        set_broken("file cannot be read");
        return;
    }
    if ((s_state == ACCESS_READY || s_state == ACCESS_BROKEN) && strcmp(path, s_path) == 0 &&
        same_identity(identity_of(st), s_identity))
        return;
    memcpy(s_path, path, path_len + 1);
    load_rules();
}

// The user the web server authenticated; "" for a request without
// credentials. Read from the request alone: under FastCGI cgi_env would
// fall back to the process's own environment, and a REMOTE_USER left there
// must never stand in for missing credentials.
const char *request_user()
{
    const char *user = getenv("REMOTE_USER");
    return user ? user : "";
}

struct method_action {
    const char *method;
    unsigned actions;
};
// The handlers compare methods exactly, so the table does too.
constexpr method_action METHOD_ACTIONS[] = {
    {"GET", OCI_ACTION_PULL},  {"HEAD", OCI_ACTION_PULL},  {"PUT", OCI_ACTION_PUSH},
    {"POST", OCI_ACTION_PUSH}, {"PATCH", OCI_ACTION_PUSH}, {"DELETE", OCI_ACTION_DELETE},
};

unsigned actions_for_method(const char *method)
{
    for (const method_action &m : METHOD_ACTIONS)
        if (strcmp(method, m.method) == 0)
            return m.actions;
    return OCI_ACTION_ALL;
}

// The challenge line of a 401. The realm is a quoted string (RFC 9110):
// '"' and '\' are escaped, control bytes dropped (nothing may end the
// header line early), and it is cut at REALM_MAX bytes.
void challenge_line(char *out, size_t size)
{
    const char *realm = cgi_env("REGISTRY_AUTH_REALM", "registry");
    char quoted[2 * REALM_MAX + 1];
    size_t pos = 0;
    for (size_t i = 0; realm[i] != '\0' && i < REALM_MAX; ++i) {
        unsigned char c = static_cast<unsigned char>(realm[i]);
        if (c < 0x20 || c == 0x7F)
            continue;
        if (c == '"' || c == '\\')
            quoted[pos++] = '\\';
        quoted[pos++] = static_cast<char>(c);
    }
    quoted[pos] = '\0';
    hv_snprintf(out, size, "WWW-Authenticate: Basic realm=\"%s\"", quoted);
}

} // namespace

int oci_access_parse(oci_access_rules *r, const char *text, size_t len)
{
    r->rule_count = 0;
    r->group_count = 0;
    r->error[0] = '\0';
    if (len > sizeof r->text) {
        r->text_len = 0;
        return refuse(r, 0, "file larger than 65536 bytes");
    }
    if (text != r->text)
        memcpy(r->text, text, len);
    r->text_len = len;

    std::string_view rest(r->text, len);
    int line_no = 0;
    while (!rest.empty()) {
        ++line_no;
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol == npos ? rest.size() : eol + 1);
        if (line.size() > OCI_ACCESS_LINE_MAX)
            return refuse(r, line_no, "line longer than 1024 bytes");
        if (const char *reason = parse_line(r, line, line_no))
            return refuse(r, line_no, reason);
    }
    // Checked once every line is read, so that groups may follow their use;
    // a group never defined is most likely a misspelt one.
    for (int i = 0; i < r->rule_count; ++i)
        if (r->rules[i].group && !group_defined(r, r->rules[i].who))
            return refuse(r, r->rules[i].line, "unknown group");
    return 0;
}

int oci_access_permits(const oci_access_rules *r, const char *user, const char *name, unsigned actions)
{
    // A name with a "." or ".." component is another name's path: no
    // pattern written for the one may open the other.
    if (!name || name[0] == '\0' || oci_repo_name_shape(name) == OCI_NAME_ALIAS)
        return 0;
    std::string_view who = user ? user : "";
    unsigned granted = 0;
    for (int i = 0; i < r->rule_count && (granted & actions) != actions; ++i) {
        const oci_access_rule &rule = r->rules[i];
        if ((rule.actions & actions & ~granted) == 0 || !pattern_matches(rule.pattern, name))
            continue;
        if (rule.group ? in_group(r, rule.who, who) : who_matches(rule.who, who))
            granted |= rule.actions;
    }
    return (granted & actions) == actions ? 1 : 0;
}

int oci_access_allowed(const char *name, oci_action action)
{
    if (s_state == ACCESS_UNLOADED)
        refresh_rules();
    if (s_state == ACCESS_OFF)
        return 1;
    if (s_state != ACCESS_READY)
        return 0;
    return oci_access_permits(&s_rules, request_user(), name, action);
}

void oci_access_check(const char *method, const char *name)
{
    refresh_rules();
    // No error code of the protocol names a server's broken configuration;
    // UNKNOWN is its code for a failure of the server itself.
    if (s_state == ACCESS_BROKEN)
        oci_send_error(500, "UNKNOWN", s_rules.error);
    if (s_state != ACCESS_READY || name[0] == '\0')
        return;
    const char *user = request_user();
    if (oci_access_permits(&s_rules, user, name, actions_for_method(method)))
        return;
    if (user[0] != '\0')
        oci_send_error(403, "DENIED", "requested access to the resource is denied");
    // Without credentials the answer is a challenge: the client asks its
    // user for a password and sends the request again.
    char line[CHALLENGE_BUF];
    challenge_line(line, sizeof line);
    oci_error_begin(401);
    cgi_header_extra(line);
    oci_error_end("UNAUTHORIZED", "authentication required");
}
