// Known-answer tests for SHA-256, run once on the portable compression and
// once on the SHA extensions (skipped where the processor lacks them).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "hex.h"
#include "sha256.h"

namespace {

std::string hash_of(const void *data, size_t len)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    uint8_t out[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, out);
    return to_hex(out, sizeof out);
}

std::string hash_of(const std::string &s)
{
    return hash_of(s.data(), s.size());
}

// 300 bytes, every fifth one NUL, so no string routine may touch the data.
std::vector<uint8_t> binary_message()
{
    std::vector<uint8_t> v(300);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = (i % 5) ? (uint8_t)((i * 31 + 7) & 0xff) : 0;
    return v;
}
constexpr const char *BINARY_MESSAGE_SHA256 = "a19c2c1e92ca6cfb821e8021dc07a24a7155863f7799e95e642fa3e499ade5ed";
constexpr const char *EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

class Sha256 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        const bool portable = GetParam();
        if (!portable && !sha256_hw_available())
            GTEST_SKIP() << "no SHA extensions on this processor";
        sha256_force_portable(portable ? 1 : 0);
    }
    void TearDown() override { sha256_force_portable(0); }
};

TEST_P(Sha256, Fips180Vectors)
{
    struct Case {
        const char *message;
        const char *digest;
    };
    static const Case kCases[] = {
        {"", EMPTY_SHA256},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
         "rsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(hash_of(std::string(c.message)), c.digest);
    }
    EXPECT_EQ(hash_of(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_P(Sha256, EmptyMessageWithZeroLengthUpdates)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "x", 0);
    sha256_update(&ctx, nullptr, 0);
    uint8_t out[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out, sizeof out), EMPTY_SHA256);
}

// Lengths around the 56-byte point where the length field no longer fits
// the block that holds the 0x80 byte.
TEST_P(Sha256, PaddingBoundaries)
{
    struct Case {
        size_t len;
        const char *digest;
    };
    static const Case kCases[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.len);
        EXPECT_EQ(hash_of(std::string(c.len, 'a')), c.digest);
    }
}

// Whole blocks may be compressed from the caller's buffer or from the
// context's; every way of cutting the input must give the same digest.
TEST_P(Sha256, AnySplitOfBinaryInput)
{
    const std::vector<uint8_t> msg = binary_message();
    static const std::vector<size_t> kSplits[] = {
        {300}, {63, 237}, {64, 64, 172}, {1, 127, 172}, {65, 0, 130, 105}, {3, 61, 64, 1, 171},
    };
    for (const auto &split : kSplits) {
        SCOPED_TRACE(::testing::PrintToString(split));
        sha256_ctx ctx;
        sha256_init(&ctx);
        size_t pos = 0;
        for (size_t n : split) {
            sha256_update(&ctx, msg.data() + pos, n);
            pos += n;
            EXPECT_EQ(ctx.bit_count, 8u * pos);
            EXPECT_EQ(ctx.block_fill, pos % SHA256_BLOCK_SIZE);
        }
        ASSERT_EQ(pos, msg.size());
        uint8_t out[SHA256_DIGEST_SIZE];
        sha256_final(&ctx, out);
        EXPECT_EQ(to_hex(out, sizeof out), BINARY_MESSAGE_SHA256);
    }

    sha256_ctx ctx;
    sha256_init(&ctx);
    for (uint8_t b : msg)
        sha256_update(&ctx, &b, 1);
    uint8_t out[SHA256_DIGEST_SIZE];
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out, sizeof out), BINARY_MESSAGE_SHA256) << "byte by byte";
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha256, ::testing::Values(true, false), [](const ::testing::TestParamInfo<bool> &info) {
    return info.param ? "Portable" : "ShaExtensions";
});

// The two compressions agree on every length through several blocks and
// on unaligned input.
TEST(Sha256Paths, HardwareMatchesPortable)
{
    if (!sha256_hw_available())
        GTEST_SKIP() << "no SHA extensions on this processor";
    std::vector<uint8_t> data(1100);
    uint32_t x = 12345;
    for (uint8_t &b : data) {
        x = x * 1103515245u + 12345u;
        b = (uint8_t)(x >> 16);
    }
    for (size_t len = 0; len < 1024; ++len) {
        SCOPED_TRACE(len);
        sha256_force_portable(1);
        std::string portable = hash_of(data.data() + 1, len);
        sha256_force_portable(0);
        std::string hw = hash_of(data.data() + 1, len);
        ASSERT_EQ(hw, portable);
    }
}

class Sha256File : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/sha256_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const char *name, const void *data, size_t len)
    {
        std::string path = dir_ + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            if (len) {
                EXPECT_EQ(fwrite(data, 1, len, f), len);
            }
            fclose(f);
        }
        return path;
    }

    std::string dir_;
};

TEST_F(Sha256File, EmptyFileGivesEmptyDigest)
{
    std::string path = write("empty", nullptr, 0);
    uint8_t out[SHA256_DIGEST_SIZE];
    ASSERT_EQ(sha256_file(path.c_str(), out), 0);
    EXPECT_EQ(to_hex(out, sizeof out), EMPTY_SHA256);
}

// Longer than one read buffer and not a multiple of the block size.
TEST_F(Sha256File, LargeFileMatchesMemoryHash)
{
    std::vector<uint8_t> data(3 * 65536 + 4321);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)((i * 131) ^ (i >> 9));
    std::string path = write("large", data.data(), data.size());
    for (int portable : {1, 0}) {
        SCOPED_TRACE(portable);
        sha256_force_portable(portable);
        uint8_t out[SHA256_DIGEST_SIZE];
        ASSERT_EQ(sha256_file(path.c_str(), out), 0);
        EXPECT_EQ(to_hex(out, sizeof out), hash_of(data.data(), data.size()));
    }
    sha256_force_portable(0);
}

TEST_F(Sha256File, BinaryFileKnownAnswer)
{
    std::vector<uint8_t> msg = binary_message();
    std::string path = write("binary", msg.data(), msg.size());
    uint8_t out[SHA256_DIGEST_SIZE];
    ASSERT_EQ(sha256_file(path.c_str(), out), 0);
    EXPECT_EQ(to_hex(out, sizeof out), BINARY_MESSAGE_SHA256);
}

TEST_F(Sha256File, UnreadablePathFailsAndLeavesOutputAlone)
{
    const std::string kPaths[] = {dir_ + "/missing", dir_};
    for (const std::string &path : kPaths) {
        SCOPED_TRACE(path);
        uint8_t out[SHA256_DIGEST_SIZE];
        memset(out, 0xA5, sizeof out);
        EXPECT_EQ(sha256_file(path.c_str(), out), -1);
        for (uint8_t b : out)
            ASSERT_EQ(b, 0xA5);
    }
}

} // namespace
