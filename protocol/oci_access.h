// Authorization by repository name. The web server authenticates (it checks
// passwords and hands the user name over as REMOTE_USER); the registry
// decides what that user may do with each repository, by a rules file the
// operator names in REGISTRY_ACCESS_FILE:
//
//   # group NAME USER...
//   group admins alice bob
//   # allow WHO REPOSITORY-PATTERN ACTIONS
//   allow @admins    *          pull,push,delete
//   allow carol      team/*     pull,push
//   allow *          public/*   pull
//   allow anonymous  public/*   pull
//
// WHO is a user name, @group, * (any authenticated user) or anonymous (a
// request without credentials). A pattern is literal except that * matches
// any run of characters, '/' included (no fnmatch: '?' and '[' have no
// meaning, and no repository name holds them). ACTIONS is a comma-separated
// list of pull, push and delete. Rules only grant: a request is allowed when
// some rule grants the action, else denied. Without the variable (or with it
// empty) there are no rules and everything the web server lets through is
// allowed. A file that cannot be read or parsed grants nothing: every
// request is answered 500 until it is fixed.
#ifndef PROTOCOL_OCI_ACCESS_H
#define PROTOCOL_OCI_ACCESS_H

#include <cstddef>
#include <string_view>

// What a request does to a repository: GET and HEAD pull, PUT, POST and PATCH
// push, DELETE deletes. A method outside these needs all three rights.
enum oci_action : unsigned {
    OCI_ACTION_PULL = 1u,
    OCI_ACTION_PUSH = 2u,
    OCI_ACTION_DELETE = 4u,
};
constexpr unsigned OCI_ACTION_ALL = OCI_ACTION_PULL | OCI_ACTION_PUSH | OCI_ACTION_DELETE;

// Bounds of a rules file; a file beyond any of them is refused, never cut.
constexpr size_t OCI_ACCESS_FILE_MAX = 65536; // bytes in the whole file
constexpr size_t OCI_ACCESS_LINE_MAX = 1024;  // bytes in one line, line feed excluded
constexpr int OCI_ACCESS_RULES_MAX = 512;     // allow lines
constexpr int OCI_ACCESS_GROUPS_MAX = 256;    // group lines
// "access rules: line <n>: " and the longest reason, with room to spare.
constexpr size_t OCI_ACCESS_ERROR_BUF = 160;

struct oci_access_rule {
    std::string_view who; // user, "*", "anonymous", or a group's name without '@'
    bool group;
    std::string_view pattern;
    unsigned actions; // oci_action bits
    int line;
};
struct oci_access_group {
    std::string_view name;
    std::string_view members; // the members as written, separated by blanks
};
// A parsed rules file. Every view points into text, so the record is filled
// in place and never copied.
struct oci_access_rules {
    char text[OCI_ACCESS_FILE_MAX];
    size_t text_len;
    oci_access_rule rules[OCI_ACCESS_RULES_MAX];
    int rule_count;
    oci_access_group groups[OCI_ACCESS_GROUPS_MAX];
    int group_count;
    char error[OCI_ACCESS_ERROR_BUF]; // why the text was refused; "" when it was not
};

// Parses len bytes of rules text into r (text may be r->text itself).
// Lines end with LF (a CR before it is a blank); blanks are spaces and tabs;
// a word beginning with '#' starts a comment that runs to the end of the
// line. Returns 0, or -1 with r->error naming the line and the fault and no
// rule or group kept, so that a refused text grants nothing.
int oci_access_parse(oci_access_rules *r, const char *text, size_t len);
// 1 when the rules grant user (empty: a request without credentials) every
// action in actions (oci_action bits) on the repository name, else 0. An
// empty name is never granted.
int oci_access_permits(const oci_access_rules *r, const char *user, const char *name, unsigned actions);

// The current request, under the rules of REGISTRY_ACCESS_FILE as the
// request layer loaded them for it (they are read again whenever the file
// changes: its inode, size or times): 1 when the request's user may do
// action on the repository name. With no rules file every action is allowed;
// with a broken one none is. For checks beyond the one the request layer
// makes, such as the source repository of a cross-repository blob mount,
// which must be pullable by the user who mounts from it.
int oci_access_allowed(const char *name, oci_action action);

// The request layer's check, made for every request once its path is split:
// loads the rules if the file changed, answers 500 UNKNOWN while they are
// broken, and for a request that names a repository (name non-empty) and
// lacks the right the method needs, answers 403 DENIED to an authenticated
// user and 401 UNAUTHORIZED with a Basic challenge (realm from
// REGISTRY_AUTH_REALM, default "registry") to a request without
// credentials, so that the client asks for them and retries. Each answer
// ends the request like oci_send_error; otherwise it returns.
void oci_access_check(const char *method, const char *name);

#endif
