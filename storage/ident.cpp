// The three identifiers the storage names things by (digest strings,
// upload IDs, repository names), the tests every operation applies before
// a path is built from one, hex encoding of hashes, and the upload-ID
// generator.
#include <cstdio>
#include <cstring>

#include <cerrno>

#include <sys/random.h>

#include "sha256.h"
#include "sha512.h"
#include "storage_internal.h"

namespace {

constexpr char HEX[] = "0123456789abcdef";
constexpr size_t UUID_LEN = 36;
constexpr size_t REPO_NAME_MAX = 255;

// Only lowercase: digests and upload IDs have one spelling each, so that
// one identifier never maps to two files.
bool is_lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool is_uuid_dash_pos(size_t i)
{
    return i == 8 || i == 13 || i == 18 || i == 23;
}

bool is_repo_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '/' || c == '\\';
}

} // namespace

void bin_to_hex(const uint8_t *bytes, uint64_t count, char *out)
{
    for (uint64_t i = 0; i < count; ++i) {
        out[2 * i] = HEX[bytes[i] >> 4];
        out[2 * i + 1] = HEX[bytes[i] & 0x0f];
    }
    out[2 * count] = '\0';
}

const digest_algo *hex_name_algo(const char *hex)
{
    if (hex == nullptr)
        return nullptr;
    size_t len = strnlen(hex, DIGEST_HEX_MAX + 1);
    for (size_t i = 0; i < len; ++i)
        if (!is_lower_hex(hex[i]))
            return nullptr;
    for (const digest_algo &a : DIGEST_ALGOS)
        if (a.hex_len == len)
            return &a;
    return nullptr;
}

const digest_algo *digest_prefix_algo(const char *s)
{
    // The name and its ':' are compared as one prefix, case-sensitively.
    for (const digest_algo &a : DIGEST_ALGOS) {
        size_t name_len = strlen(a.name);
        if (strncmp(s, a.name, name_len) == 0 && s[name_len] == ':')
            return &a;
    }
    return nullptr;
}

const digest_algo *digest_algo_of(const char *s)
{
    if (s == nullptr)
        return nullptr;
    const digest_algo *algo = digest_prefix_algo(s);
    return algo && hex_name_algo(s + DIGEST_PREFIX_LEN) == algo ? algo : nullptr;
}

int reference_is_digest(const char *reference)
{
    return digest_prefix_algo(reference) != nullptr ? 1 : 0;
}

int reg_reference_is_digest(const char *reference)
{
    return reference && reference_is_digest(reference) ? 1 : 0;
}

int digest_valid(const char *s)
{
    return digest_algo_of(s) == &DIGEST_ALGOS[DIGEST_SHA256] ? 1 : 0;
}

int digest_any_valid(const char *s)
{
    return digest_algo_of(s) != nullptr ? 1 : 0;
}

int reg_digest_valid(const char *digest)
{
    return digest && digest_any_valid(digest) ? 1 : 0;
}

static void digest_format(const digest_algo *algo, const uint8_t *raw, char *out)
{
    char hex[DIGEST_HEX_BUF];
    bin_to_hex(raw, algo->hex_len / 2, hex);
    snprintf(out, REG_DIGEST_BUF, "%s:%s", algo->name, hex);
}

void content_digest(const digest_algo *algo, const void *data, uint64_t len, char *out)
{
    if (algo == &DIGEST_ALGOS[DIGEST_SHA512]) {
        uint8_t raw[SHA512_DIGEST_SIZE];
        sha512_buffer(data, len, raw);
        digest_format(algo, raw, out);
        return;
    }
    uint8_t raw[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, raw);
    digest_format(algo, raw, out);
}

void digest_of_hex_name(const char *hex, char *out)
{
    snprintf(out, REG_DIGEST_BUF, "%s:%s", hex_name_algo(hex)->name, hex);
}

int content_digest_fd(const digest_algo *algo, int fd, char *out)
{
    uint8_t raw[SHA512_DIGEST_SIZE];
    int rc = algo == &DIGEST_ALGOS[DIGEST_SHA512] ? sha512_fd(fd, raw) : sha256_fd(fd, raw);
    if (rc != 0)
        return -1;
    digest_format(algo, raw, out);
    return 0;
}

// xorshift32 (Marsaglia): shifts 13, 17, 5.
void rng_next(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
}

// 8-4-4-4-12 digits of sixteen bytes, each byte's two digits in the order
// given.
static void format_uuid(const uint8_t bytes[16], bool low_half_first, char *out)
{
    size_t k = 0;
    for (size_t i = 0; i < UUID_LEN; ++i) {
        if (is_uuid_dash_pos(i)) {
            out[i] = '-';
            continue;
        }
        bool low = (k % 2 == 0) == low_half_first;
        out[i] = HEX[(bytes[k / 2] >> (low ? 0 : 4)) & 0x0f];
        ++k;
    }
    out[UUID_LEN] = '\0';
}

// Sixteen generator steps give sixteen bytes; each byte yields two digits,
// low half first. No version or variant bits: all 32 digits are random.
void uuid_make(char *out)
{
    uint8_t bytes[16];
    uint32_t state = s_seed;
    for (uint8_t &b : bytes) {
        rng_next(&state);
        b = (uint8_t)(state & 0xff);
    }
    s_seed = state;
    format_uuid(bytes, true, out);
}

// A version-4 UUID: 122 bits from the kernel for every ID, so that no ID
// tells anything about another (an upload's URL is all that guards it).
// High half first: the usual textual form, with the version digit at
// position 14.
int uuid_make_random(char *out)
{
    uint8_t bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        got += (size_t)n;
    }
    bytes[6] = (uint8_t)((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = (uint8_t)((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    format_uuid(bytes, false, out);
    return 0;
}

int uuid_valid(const char *s)
{
    if (s == nullptr || strnlen(s, UUID_LEN + 1) != UUID_LEN)
        return 0;
    for (size_t i = 0; i < UUID_LEN; ++i) {
        bool ok = is_uuid_dash_pos(i) ? s[i] == '-' : is_lower_hex(s[i]);
        if (!ok)
            return 0;
    }
    return 1;
}

// The name becomes a relative path below repositories/, so ".." anywhere
// is refused outright rather than per component.
int repo_name_valid(const char *s)
{
    if (s == nullptr)
        return 0;
    size_t len = strnlen(s, REPO_NAME_MAX + 1);
    if (len == 0 || len > REPO_NAME_MAX)
        return 0;
    for (size_t i = 0; i < len; ++i)
        if (!is_repo_char(s[i]))
            return 0;
    return strstr(s, "..") == nullptr ? 1 : 0;
}

int is_hex_name(const char *s)
{
    return hex_name_algo(s) != nullptr ? 1 : 0;
}

int check_repo_name(const char *name)
{
    if (require_ready() != 0)
        return -1;
    if (!repo_name_valid(name)) {
        set_error("invalid repository name");
        return -1;
    }
    return 0;
}

int check_repo_digest(const char *name, const char *digest)
{
    if (check_repo_name(name) != 0)
        return -1;
    if (!digest_any_valid(digest)) {
        set_error("invalid digest reference");
        return -1;
    }
    return 0;
}

int tag_confined(const char *tag)
{
    if (tag == nullptr || tag[0] == '\0' || strcmp(tag, ".") == 0 || strcmp(tag, "..") == 0)
        return 0;
    // Tags end up in header lines (Location) and JSON documents (tag list),
    // so control bytes and bytes outside ASCII are refused with the
    // separators: none of them can appear in a protocol tag anyway.
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(tag); *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || *p < 0x20 || *p >= 0x7f)
            return 0;
    return 1;
}
