// What FEAT lines and 213 replies are read as: the forms servers send,
// and the near misses that must read as nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ftp/features.h"

namespace {

const std::string Hex64 = "d87ea539330e571920108159065cc3b332210097f030a26a8d96fd2c9ceb013d";

TEST(Features, FeatureLinesNameWhatTheyOffer) {
    const struct {
        const char *line;
        int bits;
    } cases[] = {
        {" SIZE\r\n", FEAT_SIZE},
        {" xsha256\r\n", FEAT_XSHA256},
        {" HASH SHA-1*;SHA-256;MD5\r\n", FEAT_HASH | FEAT_HASH_SHA1 | FEAT_HASH_SHA256 | FEAT_HASH_MD5},
        {" HASH CRC32;SHA-512\r\n", FEAT_HASH | FEAT_HASH_CRC32},
        {" HASH\r\n", FEAT_HASH},
        {"211-Features: SIZE\r\n", 0},  // not a feature line
        {" SIZEX\r\n", 0},
        {" REST STREAM\r\n", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(FeatureLineBits(c.line, strlen(c.line)), c.bits) << c.line;
}

TEST(Features, HashRepliesInEveryFormAndTheirNearMisses) {
    const std::string upper = "D87EA539330E571920108159065CC3B332210097F030A26A8D96FD2C9CEB013D";
    const struct {
        std::string line;
        int form;
        const char *value;  // 0: no value
    } cases[] = {
        {"213 " + upper + "\r\n", HASH_FORM_X, Hex64.c_str()},
        {"213 /pub/u.bin " + Hex64 + "\r\n", HASH_FORM_X, Hex64.c_str()},
        {"213 " + Hex64 + " /pub/u.bin\r\n", HASH_FORM_X, Hex64.c_str()},
        {"213 SHA-256 0-716813 " + Hex64 + " u bin\r\n", HASH_FORM_HASH, Hex64.c_str()},
        {"213 SHA-1 0-716813 " + Hex64 + " u.bin\r\n", HASH_FORM_HASH, nullptr},  // another algorithm
        {"213 " + Hex64.substr(1) + "\r\n", HASH_FORM_X, nullptr},                  // one digit short
        {"213 " + Hex64 + "0\r\n", HASH_FORM_X, nullptr},                            // one too many
        {"250 " + Hex64 + "\r\n", HASH_FORM_X, nullptr},
        {"213-" + Hex64 + "\r\n", HASH_FORM_X, nullptr},
    };
    for (const auto &c : cases) {
        char out[65] = "";
        int got = ReadHashReply(c.line.data(), c.line.size(), c.form, "SHA-256", 64, out, sizeof out);
        EXPECT_EQ(got, c.value != nullptr) << c.line;
        if (c.value) EXPECT_STREQ(out, c.value) << c.line;
    }
}

TEST(Features, SizeRepliesReadOnlyWhole) {
    uint64_t size = 0;
    const char *good = "213 536870912\r\n";
    ASSERT_TRUE(ReadSizeReply(good, strlen(good), &size));
    EXPECT_EQ(size, 536870912u);
    for (const char *bad : {"213 12a\r\n", "213 \r\n", "550 12\r\n", "213 1234567890123456789\r\n", "213"})
        EXPECT_FALSE(ReadSizeReply(bad, strlen(bad), &size)) << bad;
}

}  // namespace
