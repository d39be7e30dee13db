// Identifiers: hex encoding, digest strings, upload IDs and their
// generator, repository names, and the tag confinement test.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "temp_root.h"

namespace {

const std::string kHex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(BinToHex, LowercaseHighHalfFirst)
{
    const uint8_t bytes[] = {0x00, 0xFF, 0x1A};
    char out[7];
    memset(out, 'X', sizeof out);
    bin_to_hex(bytes, 3, out);
    EXPECT_STREQ(out, "00ff1a");

    char empty[1] = {'X'};
    bin_to_hex(bytes, 0, empty);
    EXPECT_STREQ(empty, "");
}

TEST(DigestValid, AcceptsOnlyTheCanonicalForm)
{
    const std::string good = "sha256:" + kHex64;
    EXPECT_EQ(digest_valid(good.c_str()), 1);
    EXPECT_EQ(digest_valid(("sha256:" + std::string(64, 'f')).c_str()), 1);

    std::string upper = good;
    upper[20] = 'A';
    std::string non_ascii = good;
    non_ascii[70] = (char)0xE9;
    const std::string kRefused[] = {
        upper,
        non_ascii,
        "sha256:" + kHex64.substr(0, 63),
        good + "0",
        "SHA256:" + kHex64,
        "sha512:" + kHex64,
        "sha256" + kHex64 + "0",
        good + "\n",
        "sha256:" + kHex64.substr(0, 63) + "g",
        "sha256:",
        "",
    };
    for (const std::string &s : kRefused) {
        SCOPED_TRACE(s);
        EXPECT_EQ(digest_valid(s.c_str()), 0);
    }
    EXPECT_EQ(digest_valid(nullptr), 0);
}

// Beside the sha256-only digest_valid: either algorithm, each with its own
// number of digits, and the reference rule that tells a digest from a tag.
TEST(DigestAnyValid, EachAlgorithmWithItsOwnLength)
{
    const std::string hex128 = kHex64 + kHex64;
    struct Case {
        std::string text;
        int valid;
        int is_digest_reference;
    };
    const Case kCases[] = {
        {"sha256:" + kHex64, 1, 1},
        {"sha512:" + hex128, 1, 1},
        {"sha512:" + kHex64, 0, 1},
        {"sha256:" + hex128, 0, 1},
        {"sha512:" + hex128.substr(0, 127), 0, 1},
        {"sha512:" + hex128 + "0", 0, 1},
        {"sha512:" + hex128.substr(0, 127) + "A", 0, 1},
        {"SHA512:" + hex128, 0, 0},
        {"sha384:" + std::string(96, 'a'), 0, 0},
        {"sha512" + hex128, 0, 0},
        {"latest", 0, 0},
        {"", 0, 0},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(digest_any_valid(c.text.c_str()), c.valid);
        EXPECT_EQ(reference_is_digest(c.text.c_str()), c.is_digest_reference);
        EXPECT_EQ(reg_reference_is_digest(c.text.c_str()), c.is_digest_reference);
        EXPECT_EQ(digest_valid(c.text.c_str()), c.valid && c.text.compare(0, 7, "sha256:") == 0 ? 1 : 0);
    }
    EXPECT_EQ(digest_any_valid(nullptr), 0);
    EXPECT_EQ(reg_reference_is_digest(nullptr), 0);
    // The digits alone tell the algorithm of a file named by them.
    EXPECT_EQ(hex_name_algo(kHex64.c_str()), &DIGEST_ALGOS[DIGEST_SHA256]);
    EXPECT_EQ(hex_name_algo(hex128.c_str()), &DIGEST_ALGOS[DIGEST_SHA512]);
    EXPECT_EQ(hex_name_algo(kHex64.substr(1).c_str()), nullptr);
    EXPECT_EQ(hex_name_algo((hex128 + "0").c_str()), nullptr);
    EXPECT_EQ(hex_name_algo((kHex64 + ".released").c_str()), nullptr);
}

TEST(ContentDigest, KnownAnswersOfBothAlgorithms)
{
    char out[REG_DIGEST_BUF];
    content_digest(&DIGEST_ALGOS[DIGEST_SHA256], "abc", 3, out);
    EXPECT_STREQ(out, "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    content_digest(&DIGEST_ALGOS[DIGEST_SHA512], "abc", 3, out);
    EXPECT_STREQ(out, "sha512:ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3"
                      "feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(strlen(out), REG_DIGEST_BUF - 1);
    digest_of_hex_name(out + DIGEST_PREFIX_LEN, out);
    EXPECT_EQ(std::string(out, 7), "sha512:");
}

TEST(RngNext, XorshiftStep)
{
    uint32_t state = 1;
    rng_next(&state);
    EXPECT_EQ(state, 0x42021u); // 1 ^ 1<<13 = 0x2001; >>17 adds nothing; ^ 0x2001<<5
}

// The worked example: from state 1 the first two IDs are fixed, and the
// generator continues where the first ID left it.
TEST(UuidMake, WorkedExampleFromStateOne)
{
    s_seed = 1;
    char id[REG_UUID_BUF];
    uuid_make(id);
    EXPECT_STREQ(id, "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
    uuid_make(id);
    EXPECT_STREQ(id, "80801991-339b-bef4-2f92-5a4ebde37541");

    uint32_t state = 1;
    for (int i = 0; i < 32; ++i)
        rng_next(&state);
    EXPECT_EQ(s_seed, state);
}

TEST(UuidValid, AcceptsEveryGeneratedId)
{
    std::set<std::string> seen;
    for (uint32_t seed : {1u, 2u, 0x9e3779b9u, 0xffffffffu, 0x80000000u}) {
        s_seed = seed;
        for (int i = 0; i < 50; ++i) {
            char id[REG_UUID_BUF];
            uuid_make(id);
            SCOPED_TRACE(id);
            EXPECT_EQ(strlen(id), 36u);
            EXPECT_EQ(uuid_valid(id), 1);
            seen.insert(id);
        }
    }
    EXPECT_EQ(seen.size(), 250u);
}

TEST(UuidValid, RefusesMalformedIds)
{
    const std::string good = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
    ASSERT_EQ(uuid_valid(good.c_str()), 1);
    const std::string kRefused[] = {
        "12105CF4-1d0d-a12b-5247-bc73a8ea5f1b",  // uppercase
        "12105cf-41d0d-a12b-5247-bc73a8ea5f1b",  // dash moved left
        "12105cf41-d0d-a12b-5247-bc73a8ea5f1b",  // dash moved right
        "12105cf4-1d0d-a12b-5247-bc73a8ea5f1",   // 35
        "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b0", // 37
        "12105cf4-1d0d-a12b-5247-bc73a8ea5f1g",  // not hex
        "12105cf4x1d0d-a12b-5247-bc73a8ea5f1b",  // not a dash
        "12105cf4-1d0d-a12b-5247-bc73a8e/../b",  // path characters
        "",
    };
    for (const std::string &s : kRefused) {
        SCOPED_TRACE(s);
        EXPECT_EQ(uuid_valid(s.c_str()), 0);
    }
    EXPECT_EQ(uuid_valid(nullptr), 0);
}

TEST(RepoNameValid, Table)
{
    const std::string kAccepted[] = {
        "library/app", "a", std::string(255, 'n'), "/app", "app/", "a\\b", "A-Z_0.9", "a//b", "a.b/c",
    };
    for (const std::string &s : kAccepted) {
        SCOPED_TRACE(s);
        EXPECT_EQ(repo_name_valid(s.c_str()), 1);
    }
    const std::string kRefused[] = {
        "", std::string(256, 'n'), "a b", "a:b", "caf\xc3\xa9", "a..b", "..", "../etc", "a/..", "a\tb", "a@b", "a\nb",
    };
    for (const std::string &s : kRefused) {
        SCOPED_TRACE(s);
        EXPECT_EQ(repo_name_valid(s.c_str()), 0);
    }
    EXPECT_EQ(repo_name_valid(nullptr), 0);
}

TEST(TagConfined, StaysOneComponent)
{
    static const char *kConfined[] = {"latest", "v1.0", "...", ".x", "a..b", "-"};
    for (const char *s : kConfined) {
        SCOPED_TRACE(s);
        EXPECT_EQ(tag_confined(s), 1);
    }
    static const char *kEscaping[] = {
        "", ".", "..", "a/b", "../x", "a\\b", "/", "x/", "a\r\nX-Injected: 1", "tab\there", "lat\xe9st", "del\x7f"};
    for (const char *s : kEscaping) {
        SCOPED_TRACE(s);
        EXPECT_EQ(tag_confined(s), 0);
    }
    EXPECT_EQ(tag_confined(nullptr), 0);
}

// After a real initialisation the generator is seeded and yields valid,
// distinct IDs.
using UuidAfterInit = TempDirTest;

TEST_F(UuidAfterInit, SeededGeneratorGivesValidIds)
{
    ASSERT_EQ(reg_storage_init(path("store").c_str()), 0);
    ASSERT_NE(s_seed, 0u);
    char a[REG_UUID_BUF];
    char b[REG_UUID_BUF];
    uuid_make(a);
    uuid_make(b);
    EXPECT_EQ(uuid_valid(a), 1);
    EXPECT_EQ(uuid_valid(b), 1);
    EXPECT_STRNE(a, b);
}

} // namespace
