// SHA-256 (FIPS 180-4). The compression function exists twice: on the x86
// SHA extensions, chosen once at run time when the processor has them, and
// in portable C++ for every other processor. Both produce the same state
// from the same blocks; the tests run the known answers through each.
#include "sha256.h"

#include "file_pieces.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define SHA256_HAVE_X86 1
#else
#define SHA256_HAVE_X86 0
#endif

namespace {

// FIPS 180-4, 4.2.2: first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// FIPS 180-4, 5.3.3.
constexpr uint32_t H0[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

inline uint32_t rotr(uint32_t x, unsigned n)
{
    return (x >> n) | (x << (32 - n));
}

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// FIPS 180-4, 6.2.2, over `blocks` consecutive 64-byte blocks.
void compress_portable(uint32_t state[8], const uint8_t *data, size_t blocks)
{
    uint32_t w[64];
    for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
        for (int t = 0; t < 16; ++t)
            w[t] = load_be32(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            uint32_t ch = (e & f) ^ (~e & g);
            uint32_t t1 = h + S1 + ch + K[t] + w[t];
            uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            uint32_t t2 = S0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if SHA256_HAVE_X86
// The same compression on the SHA extensions. The instructions keep the
// state as the register pair ABEF/CDGH; each sha256rnds2 does two rounds,
// sha256msg1/msg2 extend the schedule four words at a time.
__attribute__((target("sha,sse4.1"))) void compress_shani(uint32_t state[8], const uint8_t *data, size_t blocks)
{
    const __m128i byteswap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i tmp = _mm_loadu_si128((const __m128i *)&state[0]);    // ABCD
    __m128i state1 = _mm_loadu_si128((const __m128i *)&state[4]); // EFGH
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                           // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);                     // EFGH reversed
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);             // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);                  // CDGH

    for (; blocks > 0; --blocks, data += SHA256_BLOCK_SIZE) {
        const __m128i abef_save = state0;
        const __m128i cdgh_save = state1;
        __m128i m[4];

#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i &cur = m[g & 3];
            if (g < 4)
                cur = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(data + 16 * g)), byteswap);
            __m128i msg = _mm_add_epi32(cur, _mm_load_si128((const __m128i *)&K[4 * g]));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            if (g >= 3 && g <= 14) {
                // words of group g+1 from groups g-3..g
                __m128i &next = m[(g + 1) & 3];
                next = _mm_add_epi32(next, _mm_alignr_epi8(cur, m[(g - 1) & 3], 4));
                next = _mm_sha256msg2_epu32(next, cur);
            }
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
            if (g >= 1 && g <= 12) {
                __m128i &prev = m[(g - 1) & 3];
                prev = _mm_sha256msg1_epu32(prev, cur);
            }
        }

        state0 = _mm_add_epi32(state0, abef_save);
        state1 = _mm_add_epi32(state1, cdgh_save);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);       // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);    // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0); // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);    // ABEF
    _mm_storeu_si128((__m128i *)&state[0], state0);
    _mm_storeu_si128((__m128i *)&state[4], state1);
}

bool cpu_has_sha()
{
    // CPUID directly: not every compiler's __builtin_cpu_supports knows
    // "sha". Leaf 1 ECX bit 19 is SSE4.1, leaf 7 EBX bit 29 is SHA.
    static const bool has = [] {
        unsigned a, b, c, d;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19)))
            return false;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29)) != 0;
    }();
    return has;
}
#else
bool cpu_has_sha()
{
    return false;
}
#endif

bool s_force_portable = false;

// The compression of 64-byte blocks; the module-private transform.
void sha256_transform(sha256_ctx *ctx, const uint8_t *data, size_t blocks)
{
#if SHA256_HAVE_X86
    if (!s_force_portable && cpu_has_sha()) {
        compress_shani(ctx->state, data, blocks);
        return;
    }
#endif
    compress_portable(ctx->state, data, blocks);
}

} // namespace

int sha256_hw_available(void)
{
    return cpu_has_sha() ? 1 : 0;
}

void sha256_force_portable(int on)
{
    s_force_portable = on != 0;
}

void sha256_init(sha256_ctx *ctx)
{
    memcpy(ctx->state, H0, sizeof H0);
    ctx->bit_count = 0;
    ctx->block_fill = 0;
}

// Whole blocks are compressed straight from the caller's buffer; only a
// partial block goes through ctx->block. The digest does not depend on it.
void sha256_update(sha256_ctx *ctx, const void *data, uint64_t len)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    if (len == 0)
        return;
    ctx->bit_count += len << 3;

    if (ctx->block_fill > 0) {
        size_t room = SHA256_BLOCK_SIZE - ctx->block_fill;
        size_t n = len < room ? (size_t)len : room;
        memcpy(ctx->block + ctx->block_fill, p, n);
        ctx->block_fill += n;
        p += n;
        len -= n;
        if (ctx->block_fill < SHA256_BLOCK_SIZE)
            return;
        sha256_transform(ctx, ctx->block, 1);
        ctx->block_fill = 0;
    }
    if (len >= SHA256_BLOCK_SIZE) {
        uint64_t blocks = len / SHA256_BLOCK_SIZE;
        sha256_transform(ctx, p, (size_t)blocks);
        p += blocks * SHA256_BLOCK_SIZE;
        len -= blocks * SHA256_BLOCK_SIZE;
    }
    if (len > 0) {
        memcpy(ctx->block, p, (size_t)len);
        ctx->block_fill = (size_t)len;
    }
}

// FIPS 180-4, 5.1.1: 0x80, zeros up to 56 bytes into a block, then the
// message length in bits as a big-endian 64-bit number.
void sha256_final(sha256_ctx *ctx, uint8_t out[SHA256_DIGEST_SIZE])
{
    const uint64_t message_bits = ctx->bit_count;
    size_t fill = ctx->block_fill;
    uint64_t padded = 1;

    ctx->block[fill++] = 0x80;
    if (fill > 56) {
        memset(ctx->block + fill, 0, SHA256_BLOCK_SIZE - fill);
        padded += SHA256_BLOCK_SIZE - fill;
        sha256_transform(ctx, ctx->block, 1);
        fill = 0;
    }
    memset(ctx->block + fill, 0, 56 - fill);
    padded += 56 - fill;
    store_be32(ctx->block + 56, (uint32_t)(message_bits >> 32));
    store_be32(ctx->block + 60, (uint32_t)message_bits);
    sha256_transform(ctx, ctx->block, 1);

    // Leave the spent context as if the padding had been fed byte by byte.
    ctx->bit_count = message_bits + ((padded + 8) << 3);
    ctx->block_fill = 0;

    for (int i = 0; i < 8; ++i)
        store_be32(out + 4 * i, ctx->state[i]);
}

int sha256_fd(int fd, uint8_t out[SHA256_DIGEST_SIZE])
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    if (hash_file_pieces(fd, [&ctx](const uint8_t *data, size_t len) { sha256_update(&ctx, data, len); }) != 0)
        return -1;
    sha256_final(&ctx, out);
    return 0;
}

int sha256_file(const char *path, uint8_t out[SHA256_DIGEST_SIZE])
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = sha256_fd(fd, out);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}
