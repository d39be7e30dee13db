// The two read-only listings of the registry, rendered as the registry API's
// JSON bodies into the shared result buffer: the tags of one repository and
// a paged catalog of repositories. Names are collected as heap copies, sorted
// in byte order and escaped; a document is written whole or not at all.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage_internal.h"

namespace {

// At most this many names are collected per call; a listing holds at most
// DIR_LISTING_CAP, so the array never fills in practice.
constexpr int NAME_SLOTS = 1024;
// json_escape_append handles a byte only while the longest escape (6 bytes)
// and a terminator still fit with margin: position + 8 below the capacity.
constexpr uint64_t ESCAPE_MARGIN = 8;

// The character after the backslash of a two-byte escape, or 0.
constexpr char short_escape(unsigned char c)
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 0x08:
        return 'b';
    case 0x09:
        return 't';
    case 0x0A:
        return 'n';
    case 0x0C:
        return 'f';
    case 0x0D:
        return 'r';
    default:
        return 0;
    }
}

constexpr uint64_t escape_width(unsigned char c)
{
    return short_escape(c) ? 2 : (c < 0x20 ? 6 : 1);
}

// What json_escape_append would write for src into cap bytes: true with the
// count in *out_len when it would take every byte, false when it would drop
// some. Mirrors its stopping rule exactly.
bool escape_fits(uint64_t cap, const char *src, uint64_t *out_len)
{
    uint64_t pos = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p; ++p) {
        if (pos + ESCAPE_MARGIN >= cap) {
            return false;
        }
        pos += escape_width(*p);
    }
    *out_len = pos;
    return true;
}

// A document under construction. With buf null it only measures, so that a
// document that would not fit is found before the destination is touched.
struct doc_out {
    char *buf;
    uint64_t cap;
    uint64_t pos;
    bool overflow;
};

// Every write keeps one byte free for the terminator.
void out_literal(doc_out *o, const char *text)
{
    size_t n = std::strlen(text);
    if (o->overflow || o->pos + n >= o->cap) {
        o->overflow = true;
        return;
    }
    if (o->buf) {
        std::memcpy(o->buf + o->pos, text, n);
    }
    o->pos += n;
}

void out_escaped(doc_out *o, const char *text)
{
    if (o->overflow) {
        return;
    }
    uint64_t room = o->cap - o->pos;
    uint64_t n = 0;
    if (!escape_fits(room, text, &n) || o->pos + n >= o->cap) {
        o->overflow = true;
        return;
    }
    if (o->buf && json_escape_append(o->buf + o->pos, room, text) != n) {
        o->overflow = true;
        return;
    }
    o->pos += n;
}

void render(doc_out *o, const char *repo_name, char *const *names, int count)
{
    if (repo_name) {
        out_literal(o, "{\"name\":\"");
        out_escaped(o, repo_name);
        out_literal(o, "\",\"tags\":[");
    } else {
        out_literal(o, "{\"repositories\":[");
    }
    for (int i = 0; i < count; ++i) {
        out_literal(o, i > 0 ? ",\"" : "\"");
        out_escaped(o, names[i]);
        out_literal(o, "\"");
    }
    out_literal(o, "]}");
}

// The name array of one call: zeroed slots, each filled slot a heap copy.
struct name_list {
    char **slots;
    int count;
};

void free_names(name_list *list)
{
    for (int i = 0; i < list->count; ++i) {
        std::free(list->slots[i]);
    }
    std::free(list->slots);
    list->slots = nullptr;
    list->count = 0;
}

// Adds a heap copy of name unless the array is full (then the name is
// skipped). 0, or -1 when the copy cannot be allocated.
int add_name(name_list *list, const char *name)
{
    if (list->count >= NAME_SLOTS) {
        return 0;
    }
    char *copy = xstrdup(name);
    if (!copy) {
        return -1;
    }
    list->slots[list->count++] = copy;
    return 0;
}

// Sorts, renders into the result buffer and frees the names; the address
// of the document, or null with "result too large" (buffer untouched).
const char *finish_document(name_list *list, const char *repo_name, int start, int end)
{
    int rc = listing_render(s_result, REG_RESULT_SIZE, repo_name, list->slots + start, end - start);
    free_names(list);
    if (rc != 0) {
        set_error_kind(REG_ERR_IO, "result too large");
        return nullptr;
    }
    return s_result;
}

} // namespace

uint64_t json_escape_append(char *dst, uint64_t cap, const char *src)
{
    static constexpr char hex[] = "0123456789abcdef";
    uint64_t pos = 0;
    if (src) {
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p; ++p) {
            if (pos + ESCAPE_MARGIN >= cap) {
                break;
            }
            unsigned char c = *p;
            char second = short_escape(c);
            if (second) {
                dst[pos++] = '\\';
                dst[pos++] = second;
            } else if (c < 0x20) {
                // "\u%04x": the high byte is always 00 here.
                dst[pos++] = '\\';
                dst[pos++] = 'u';
                dst[pos++] = '0';
                dst[pos++] = '0';
                dst[pos++] = hex[c >> 4];
                dst[pos++] = hex[c & 0x0F];
            } else {
                dst[pos++] = static_cast<char>(c);
            }
        }
    }
    if (pos < cap) {
        dst[pos] = '\0';
    }
    return pos;
}

int str_cmp(const char *a, const char *b)
{
    const unsigned char *pa = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *pb = reinterpret_cast<const unsigned char *>(b);
    while (*pa && *pa == *pb) {
        ++pa;
        ++pb;
    }
    return static_cast<int>(*pa) - static_cast<int>(*pb);
}

void sort_str(char **names, int count)
{
    for (int i = 1; i < count; ++i) {
        char *taken = names[i];
        int j = i;
        while (j > 0 && str_cmp(names[j - 1], taken) > 0) {
            names[j] = names[j - 1];
            --j;
        }
        names[j] = taken;
    }
}

int listing_render(char *dst, uint64_t cap, const char *repo_name, char *const *names, int count)
{
    doc_out measure = {nullptr, cap, 0, false};
    render(&measure, repo_name, names, count);
    if (measure.overflow) {
        return -1;
    }
    doc_out out = {dst, cap, 0, false};
    render(&out, repo_name, names, count);
    if (out.overflow) {
        return -1;
    }
    dst[out.pos] = '\0';
    return 0;
}

const char *reg_tags_list_json(const char *repo_name)
{
    if (!repo_name) {
        set_error("repo_name is NULL");
        return nullptr;
    }
    if (check_repo_name(repo_name) != 0)
        return nullptr;

    char tags_dir[REG_PATH_BUF];
    snprintf(tags_dir, sizeof tags_dir, "%s%srepositories%s%s%s_manifests%stags", s_root, PATH_SEP_STR, PATH_SEP_STR,
             repo_name, PATH_SEP_STR, PATH_SEP_STR);

    name_list list = {static_cast<char **>(std::calloc(NAME_SLOTS, sizeof(char *))), 0};
    if (!list.slots) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }

    // A missing tags directory is a repository without tags, not an error.
    dir_listing listing;
    if (list_dir(tags_dir, &listing) == 0) {
        for (int i = 0; i < listing.count; ++i) {
            const dir_entry &entry = listing.entries[i];
            if (!entry.is_dir) {
                continue;
            }
            // A tag is a directory whose link can be read; what the link
            // names is not examined here.
            char link_path[REG_PATH_BUF];
            manifest_tag_path(repo_name, entry.name, link_path, sizeof link_path);
            char link[LINK_READ_BUF];
            if (read_file(link_path, link, sizeof link, nullptr) != 0) {
                continue;
            }
            if (add_name(&list, entry.name) != 0) {
                free_names(&list);
                set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
                return nullptr;
            }
        }
    }
    if (list.count > 1) {
        sort_str(list.slots, list.count);
    }
    return finish_document(&list, repo_name, 0, list.count);
}

const char *reg_catalog_json(int n, const char *last)
{
    if (require_ready() != 0) {
        return nullptr;
    }

    char repos[REG_PATH_BUF];
    repos_dir(repos, sizeof repos);

    name_list list = {static_cast<char **>(std::calloc(NAME_SLOTS, sizeof(char *))), 0};
    if (!list.slots) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }

    // Only the first level is listed: a repository a/b shows as a.
    dir_listing listing;
    if (list_dir(repos, &listing) == 0) {
        for (int i = 0; i < listing.count; ++i) {
            if (!listing.entries[i].is_dir) {
                continue;
            }
            if (add_name(&list, listing.entries[i].name) != 0) {
                free_names(&list);
                set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
                return nullptr;
            }
        }
    }
    if (list.count > 1) {
        sort_str(list.slots, list.count);
    }

    // The page starts after last, whether or not last itself is listed.
    int start = 0;
    if (last && last[0]) {
        start = list.count;
        for (int i = 0; i < list.count; ++i) {
            int cmp = str_cmp(list.slots[i], last);
            if (cmp == 0) {
                start = i + 1;
                break;
            }
            if (cmp > 0) {
                start = i;
                break;
            }
        }
    }
    // Widened: start + n must not overflow for n near INT_MAX.
    int end = list.count;
    if (n > 0 && static_cast<int64_t>(start) + n < end) {
        end = start + n;
    }
    return finish_document(&list, nullptr, start, end);
}
