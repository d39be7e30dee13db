// Known answers for SHA-512 from the examples of its standard (FIPS 180-2,
// appendix C, and the empty message), over memory and over files.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "hex.h"
#include "sha512.h"

namespace {

struct Known {
    const char *label;
    std::string message;
    const char *hex;
};

const Known kKnown[] = {
    {"empty", "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a"
     "538327af927da3e"},
    {"abc", "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e"
     "2a9ac94fa54ca49f"},
    // 896 bits: the padding spills into a second 1024-bit block.
    {"two blocks",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd2654"
     "5e96e55b874be909"},
    // Larger than the 64 KiB pieces files are read in.
    {"a million a", std::string(1000000, 'a'),
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e"
     "4eadb217ad8cc09b"},
};

TEST(Sha512, KnownAnswersFromMemory)
{
    for (const Known &k : kKnown) {
        SCOPED_TRACE(k.label);
        uint8_t out[SHA512_DIGEST_SIZE];
        sha512_buffer(k.message.data(), k.message.size(), out);
        EXPECT_EQ(to_hex(out, sizeof out), k.hex);
    }
}

// A file is hashed whole whatever its descriptor's offset, which stays.
TEST(Sha512, KnownAnswersFromFilesWholeAndOffsetKept)
{
    for (const Known &k : kKnown) {
        SCOPED_TRACE(k.label);
        char path[] = "/tmp/sha512_test.XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        unlink(path);
        ASSERT_EQ(write(fd, k.message.data(), k.message.size()), static_cast<ssize_t>(k.message.size()));
        const off_t at = static_cast<off_t>(k.message.size() / 2);
        ASSERT_EQ(lseek(fd, at, SEEK_SET), at);
        uint8_t out[SHA512_DIGEST_SIZE];
        ASSERT_EQ(sha512_fd(fd, out), 0);
        EXPECT_EQ(to_hex(out, sizeof out), k.hex);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), at);
        close(fd);
    }
}

TEST(Sha512, UnreadableDescriptorFailsAndLeavesTheOutputAlone)
{
    uint8_t out[SHA512_DIGEST_SIZE] = {7};
    EXPECT_EQ(sha512_fd(-1, out), -1);
    int dir = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    EXPECT_EQ(sha512_fd(dir, out), -1);
    close(dir);
    EXPECT_EQ(out[0], 7);
}

} // namespace
