// Registry protocol layer: error document and JSON replies of the registry
// HTTP API v2, repository paths, storage-root discovery.
#include "oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "hv_cgi.h"
#include "reg_storage.h"

namespace {

int s_storage_ready;

// Root paths are at most 1023 characters; the configuration is looked for
// in the first 2047 bytes of config.json.
constexpr size_t ROOT_BUF = 1024;
constexpr size_t CONFIG_BUF = 2048;
constexpr const char *DEFAULT_ROOT = "./registry_storage";

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Letters and digits of ASCII only, whatever locale the process runs in.
bool is_alnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void write_api_headers(int status)
{
    cgi_header_status(status, nullptr);
    cgi_header_extra(OCI_API_VERSION_LINE);
    cgi_header_json();
    cgi_headers_end();
}

// The storage root named in ./config.json, found by a plain text search for
// the quoted key and its colon rather than a JSON parse: the value is the
// text between the next two double quotes, escapes left as they are. -1 when
// the value is too long for the buffer: taking the default instead would
// put the registry in another directory without a word.
int root_from_config(char *root, size_t size)
{
    char text[CONFIG_BUF] = {};
    {
        file_ptr f(fopen("config.json", "rb"));
        if (!f)
            return 0;
        size_t got = fread(text, 1, sizeof text - 1, f.get());
        text[got] = '\0';
    }
    const char *key = strstr(text, "\"storage_root\":");
    if (!key)
        key = strstr(text, "\"registry_storage_root\":");
    if (!key)
        return 0;
    const char *colon = strchr(key, ':');
    const char *open = colon ? strchr(colon, '"') : nullptr;
    const char *close = open ? strchr(open + 1, '"') : nullptr;
    if (!close)
        return 0;
    size_t len = static_cast<size_t>(close - (open + 1));
    if (len >= size)
        return -1;
    memcpy(root, open + 1, len);
    root[len] = '\0';
    return 0;
}

// One row per kind. A null code is the endpoint's own (oci_error_codes).
struct kind_row {
    reg_error_kind kind;
    int status;
    const char *code;
};
constexpr kind_row KIND_TABLE[] = {
    {REG_ERR_INVALID, 400, nullptr},
    {REG_ERR_NOT_FOUND, 404, nullptr},
    {REG_ERR_DIGEST, 400, nullptr},
    {REG_ERR_RANGE, 416, nullptr},
    {REG_ERR_TOO_LARGE, 413, nullptr},
    {REG_ERR_SHORT_BODY, 400, "SIZE_INVALID"},
    {REG_ERR_BLOB_UNKNOWN, 400, "MANIFEST_BLOB_UNKNOWN"},
    {REG_ERR_NOT_READY, 500, "STORAGE_ERROR"},
    {REG_ERR_NO_SPACE, 507, "STORAGE_ERROR"},
    {REG_ERR_PERMISSION, 500, "STORAGE_ERROR"},
    {REG_ERR_NO_MEMORY, 500, "STORAGE_ERROR"},
    {REG_ERR_IO, 500, "STORAGE_ERROR"},
};

} // namespace

void oci_error_begin(int status)
{
    cgi_header_status(status, nullptr);
    cgi_header_extra(OCI_API_VERSION_LINE);
}

void oci_error_end(const char *code, const char *message)
{
    cgi_header_json();
    cgi_headers_end();
    fputs("{\"errors\":[{\"code\":\"", stdout);
    fputs(code ? code : "UNKNOWN", stdout);
    fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message ? message : "Unknown error");
    fputs("\"}]}\n", stdout);
    fflush(stdout);
    throw oci_request_done{};
}

void oci_send_error(int status, const char *code, const char *message)
{
    oci_error_begin(status);
    oci_error_end(code, message);
}

oci_error_reply oci_error_for_kind(reg_error_kind kind, const oci_error_codes &codes)
{
    if (codes.invalid_is_unknown && kind == REG_ERR_INVALID)
        kind = REG_ERR_NOT_FOUND;
    for (const kind_row &row : KIND_TABLE) {
        if (row.kind != kind)
            continue;
        switch (kind) {
        case REG_ERR_NOT_FOUND:
            return {row.status, codes.unknown, codes.unknown_message};
        case REG_ERR_DIGEST:
            return {row.status, codes.digest, nullptr};
        default:
            return {row.status, row.code ? row.code : codes.invalid, nullptr};
        }
    }
    // No kind recorded: nothing says the client is to blame.
    return {500, "STORAGE_ERROR", nullptr};
}

void oci_send_storage_error(const oci_error_codes &codes)
{
    oci_error_reply reply = oci_error_for_kind(reg_storage_last_error_kind(), codes);
    oci_send_error(reply.status, reply.code, reply.message ? reply.message : reg_storage_last_error());
}

void oci_send_json(int status, const char *json)
{
    write_api_headers(status);
    if (json && json[0] != '\0') {
        fputs(json, stdout);
        fputc('\n', stdout);
    } else {
        fputs("{}\n", stdout);
    }
    fflush(stdout);
}

int oci_valid_repo_name(const char *name)
{
    if (!name)
        return 0;
    size_t len = strlen(name);
    if (len == 0 || len >= OCI_NAME_BUF)
        return 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (is_alnum(c))
            continue;
        if (c != '-' && c != '_' && c != '.' && c != '/')
            return 0;
        if (i == 0 || i == len - 1)
            return 0;
        if (c == '/' && name[i - 1] == '/')
            return 0;
    }
    return 1;
}

oci_name_shape oci_repo_name_shape(const char *name)
{
    oci_name_shape shape = OCI_NAME_PLAIN;
    std::string_view rest(name ? name : "");
    for (;;) {
        size_t cut = rest.find('/');
        std::string_view part = rest.substr(0, cut);
        if (part == "." || part == "..")
            return OCI_NAME_ALIAS;
        if (part.empty() || part.front() == '_' || part.front() == '.')
            shape = OCI_NAME_RESERVED;
        if (cut == std::string_view::npos)
            return shape;
        rest.remove_prefix(cut + 1);
    }
}

int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size, char *ref,
                          size_t ref_size)
{
    if (!path || !marker || !name || name_size == 0)
        return 0;
    name[0] = '\0';
    bool want_ref = ref && ref_size > 0;
    if (want_ref)
        ref[0] = '\0';

    std::string_view rest(path);
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    // The API version prefix is optional so that a server may hand over the
    // path with or without it.
    if (rest.starts_with("v2/"))
        rest.remove_prefix(3);
    else if (rest == "v2")
        rest = {};

    size_t at = rest.find(marker);
    if (at == std::string_view::npos)
        return 0;
    if (at == 0 || at >= name_size)
        return 0;
    memcpy(name, rest.data(), at);
    name[at] = '\0';
    if (!oci_valid_repo_name(name))
        return 0;
    if (!want_ref)
        return 1;

    rest.remove_prefix(at + strlen(marker));
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    hv_strlcpy(ref, rest.data(), ref_size);
    size_t len = strlen(ref);
    if (len > 0 && ref[len - 1] == '/')
        ref[len - 1] = '\0';
    return 1;
}

int oci_init_storage(void)
{
    if (s_storage_ready)
        return 0;
    char root[ROOT_BUF] = {};
    const char *env = cgi_env("REGISTRY_STORAGE_ROOT", nullptr);
    if (env[0] != '\0') {
        if (strlen(env) >= sizeof root)
            return -1;
        hv_strlcpy(root, env, sizeof root);
    } else if (root_from_config(root, sizeof root) != 0) {
        return -1;
    }
    if (root[0] == '\0')
        hv_strlcpy(root, DEFAULT_ROOT, sizeof root);
    int rc = reg_storage_init(root);
    if (rc == 0)
        s_storage_ready = 1;
    return rc;
}

void oci_storage_forget(void)
{
    reg_storage_cleanup();
    s_storage_ready = 0;
}
