// Content discovery of the registry API: whether a repository exists, and
// the complete tag list and catalog, sorted in byte order and paged by
// "n" and "last". Unlike the fixed listings of listing.cpp, every directory
// entry is seen (readdir is streamed, not capped), and the catalog names
// nested repositories in full.
//
// Memory stays bounded however many names a directory holds: a page is
// collected in a max-heap that never keeps more than fits the result buffer
// (or n names), so a directory of a million tags costs about one page of
// memory, not a million names.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "storage_internal.h"

namespace {

// Longest name listed: what REG_LIST_NAME_BUF holds with its NUL. Repository
// names of the storage rule are no longer, and no directory entry is.
constexpr size_t LIST_NAME_MAX = REG_LIST_NAME_BUF - 1;
// Room kept free at the end of the result buffer, so that json_escape_append
// (which stops once fewer than 9 bytes remain) never cuts the last name.
constexpr uint64_t ESCAPE_SLACK = 16;

// Bytes that json_escape_append writes for s.
uint64_t escaped_len(const char *s)
{
    uint64_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\' || c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D)
            n += 2;
        else if (c < 0x20)
            n += 6;
        else
            n += 1;
    }
    return n;
}

// Width of one name in the array: quotes, escaped text and a comma (the
// first name needs no comma; counting it anyway errs on the safe side).
uint64_t entry_width(const std::string &name)
{
    return escaped_len(name.c_str()) + 3;
}

// One page under collection. `held` is a max-heap (std::string compares
// bytes as unsigned, the listing's byte order) holding the smallest names
// after `last` seen so far that fit `limit` and `budget` together.
//
// Once a name had to be dropped, no name at or above it can belong to the
// page: the names before it only grow in number and size as the walk goes
// on, so it still would not fit. `ceiling` keeps the smallest dropped name
// so that such names are refused at once and a later, shorter name cannot
// slip in after a gap.
struct page {
    std::vector<std::string> held;
    uint64_t bytes = 0;
    uint64_t limit = 0;
    uint64_t budget = 0;
    const char *last = nullptr;
    std::string ceiling;
    bool cut = false;
    // Names the filter refuses never enter, so they neither fill the page
    // nor mark it cut: n and the next-page name count kept names only.
    reg_name_filter filter = nullptr;
    void *filter_ctx = nullptr;
};

void page_init(page *p, int n, const char *last, uint64_t budget)
{
    p->limit = n < 0 ? UINT64_MAX : static_cast<uint64_t>(n);
    p->budget = budget;
    p->last = (last && last[0]) ? last : nullptr;
}

// Whether name may still enter the page; a name refused for lying at or
// above the ceiling marks the page as cut, since it follows the page.
bool page_wants(page *p, const char *name)
{
    if (p->last && str_cmp(name, p->last) <= 0)
        return false;
    if (p->cut && str_cmp(name, p->ceiling.c_str()) >= 0)
        return false;
    return true;
}

// Adds a name that page_wants accepted, then drops the greatest names until
// the page fits again. May throw std::bad_alloc.
void page_add(page *p, const char *name)
{
    p->held.emplace_back(name);
    p->bytes += entry_width(p->held.back());
    std::push_heap(p->held.begin(), p->held.end());
    while (!p->held.empty() && (p->held.size() > p->limit || p->bytes > p->budget)) {
        std::pop_heap(p->held.begin(), p->held.end());
        p->bytes -= entry_width(p->held.back());
        p->ceiling = std::move(p->held.back());
        p->held.pop_back();
        p->cut = true;
    }
}

// Writes the collected page into the result buffer after `head` (already
// written, head_len bytes), closes the document and hands out the next-page
// name. The budget guarantees the room, checked again here all the same.
const char *page_render(page *p, uint64_t head_len, char *out_next_last, size_t next_size)
{
    std::sort_heap(p->held.begin(), p->held.end());
    uint64_t pos = head_len;
    for (size_t i = 0; i < p->held.size(); ++i) {
        if (pos + entry_width(p->held[i]) + ESCAPE_SLACK >= REG_RESULT_SIZE) {
            set_error_kind(REG_ERR_IO, "result too large");
            return nullptr;
        }
        if (i > 0)
            s_result[pos++] = ',';
        s_result[pos++] = '"';
        pos += json_escape_append(s_result + pos, REG_RESULT_SIZE - pos, p->held[i].c_str());
        s_result[pos++] = '"';
    }
    s_result[pos++] = ']';
    s_result[pos++] = '}';
    s_result[pos] = '\0';
    if (out_next_last) {
        out_next_last[0] = '\0';
        // With nothing written there is no name to continue after; that
        // happens only for an empty page.
        if (p->cut && !p->held.empty())
            snprintf(out_next_last, next_size, "%s", p->held.back().c_str());
    }
    return s_result;
}

// Common argument checks of the two page operations.
bool next_buffer_ok(char *out_next_last, size_t next_size)
{
    if (out_next_last && next_size < REG_LIST_NAME_BUF) {
        set_error("next-page buffer too small");
        return false;
    }
    return true;
}

// Whether entry `name` of the open directory d is a directory; with
// follow_links a symbolic link counts as what it points to.
bool entry_is_dir(DIR *d, const dirent *e, bool follow_links)
{
    if (e->d_type == DT_DIR)
        return true;
    if (e->d_type == DT_UNKNOWN || (follow_links && e->d_type == DT_LNK)) {
        struct stat st;
        int flags = follow_links ? 0 : AT_SYMLINK_NOFOLLOW;
        return fstatat(dirfd(d), e->d_name, &st, flags) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

bool is_dot_entry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Tags: every directory below the tags directory whose link file reads, as
// the fixed tag list decides (a link counts as what it points to there too).
void collect_tags(page *p, const char *name)
{
    char tags_dir[REG_PATH_BUF];
    manifest_tags_dir(name, tags_dir, sizeof tags_dir);
    dir_ptr d(opendir(tags_dir));
    if (!d)
        return; // no tags directory: a repository without tags
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        if (is_dot_entry(e->d_name) || strlen(e->d_name) > LIST_NAME_MAX)
            continue;
        // The cheap tests first: a name that cannot enter the page costs no
        // file read.
        if (!page_wants(p, e->d_name) || !entry_is_dir(d.get(), e, true))
            continue;
        char link_path[REG_PATH_BUF];
        char link[LINK_READ_BUF];
        manifest_tag_path(name, e->d_name, link_path, sizeof link_path);
        if (read_file(link_path, link, sizeof link, nullptr) != 0)
            continue;
        page_add(p, e->d_name);
    }
}

// Catalog walk. `path` holds "<root>/repositories" followed by the relative
// name being visited, which starts at rel_start (after the separator); the
// name is extended in place and cut back after each child, so the walk needs
// one path buffer however deep it goes. Symbolic links are never followed,
// so the walk stays inside the repositories directory; `_manifests` and
// `_layers` trees are not entered. A relative name may not pass LIST_NAME_MAX, which also
// bounds the depth (every level adds at least two bytes).
void walk_repos(page *p, char *path, size_t path_len, size_t rel_start)
{
    dir_ptr d(opendir(path));
    if (!d)
        return;
    for (const dirent *e; (e = readdir(d.get())) != nullptr;) {
        if (is_dot_entry(e->d_name) || strcmp(e->d_name, "_manifests") == 0 ||
            strcmp(e->d_name, REPO_HOLDS_DIR_NAME) == 0)
            continue;
        size_t name_len = strlen(e->d_name);
        size_t rel_len = path_len > rel_start ? path_len - rel_start + 1 + name_len : name_len;
        if (rel_len > LIST_NAME_MAX || path_len + 1 + name_len + sizeof "/_manifests" > REG_PATH_BUF)
            continue;
        if (!entry_is_dir(d.get(), e, false))
            continue;

        size_t child_len = path_len;
        path[child_len++] = PATH_SEP;
        memcpy(path + child_len, e->d_name, name_len + 1);
        child_len += name_len;
        const char *rel = path + rel_start;

        if (p->cut && str_cmp(rel, p->ceiling.c_str()) >= 0) {
            // Every name below this one sorts after it, so after the
            // ceiling too: nothing under it can join the page.
            path[path_len] = '\0';
            continue;
        }
        // The filter, pure computation, goes before the stat of _manifests.
        if (page_wants(p, rel) && repo_name_valid(rel) && (!p->filter || p->filter(rel, p->filter_ctx) != 0)) {
            memcpy(path + child_len, "/_manifests", sizeof "/_manifests");
            bool is_repo = dir_exists(path) != 0;
            path[child_len] = '\0';
            if (is_repo)
                page_add(p, rel);
        }
        walk_repos(p, path, child_len, rel_start);
        path[path_len] = '\0';
    }
}

} // namespace

int reg_repo_exists(const char *name)
{
    if (check_repo_name(name) != 0)
        return -1;
    char tags[REG_PATH_BUF];
    char manifests[REG_PATH_BUF];
    manifest_tags_dir(name, tags, sizeof tags);
    // The tags directory's parent is the repository's _manifests directory.
    snprintf(manifests, sizeof manifests, "%s", tags);
    char *sep = strrchr(manifests, PATH_SEP);
    if (sep)
        *sep = '\0';
    return dir_exists(manifests) ? 1 : 0;
}

const char *reg_tags_page_json(const char *name, int n, const char *last, char *out_next_last, size_t next_size)
{
    if (!name) {
        set_error("repo_name is NULL");
        return nullptr;
    }
    if (check_repo_name(name) != 0)
        return nullptr;
    if (!next_buffer_ok(out_next_last, next_size))
        return nullptr;

    // The head is written only once the page is collected (the step that
    // can fail), so a failure leaves the result buffer as it was; its size
    // is known beforehand and taken off the budget.
    static constexpr char head_open[] = "{\"name\":\"";
    static constexpr char head_close[] = "\",\"tags\":[";
    uint64_t head_len = (sizeof head_open - 1) + escaped_len(name) + (sizeof head_close - 1);
    try {
        page p;
        page_init(&p, n, last, REG_RESULT_SIZE - head_len - sizeof "]}" - ESCAPE_SLACK);
        if (n != 0)
            collect_tags(&p, name);
        uint64_t pos = 0;
        memcpy(s_result, head_open, sizeof head_open - 1);
        pos += sizeof head_open - 1;
        pos += json_escape_append(s_result + pos, REG_RESULT_SIZE - pos, name);
        memcpy(s_result + pos, head_close, sizeof head_close - 1);
        pos += sizeof head_close - 1;
        return page_render(&p, pos, out_next_last, next_size);
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
}

const char *reg_catalog_page_json(int n, const char *last, char *out_next_last, size_t next_size)
{
    return reg_catalog_page_filtered_json(n, last, nullptr, nullptr, out_next_last, next_size);
}

const char *reg_catalog_page_filtered_json(int n, const char *last, reg_name_filter filter, void *ctx,
                                           char *out_next_last, size_t next_size)
{
    if (require_ready() != 0)
        return nullptr;
    if (!next_buffer_ok(out_next_last, next_size))
        return nullptr;

    static constexpr char head[] = "{\"repositories\":[";
    try {
        page p;
        page_init(&p, n, last, REG_RESULT_SIZE - (sizeof head - 1) - sizeof "]}" - ESCAPE_SLACK);
        p.filter = filter;
        p.filter_ctx = ctx;
        if (n != 0) {
            char path[REG_PATH_BUF];
            repos_dir(path, sizeof path);
            size_t len = strlen(path);
            // The root is at most REG_ROOT_BUF - 1 bytes, so this leaves room
            // for a full relative name below it.
            walk_repos(&p, path, len, len + 1);
        }
        memcpy(s_result, head, sizeof head - 1);
        return page_render(&p, sizeof head - 1, out_next_last, next_size);
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
}
