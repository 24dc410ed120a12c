// The digests against their published test vectors, whole and fed in
// pieces that cross the 64-byte blocks, with SHA-256's processor rounds
// and its portable ones.
#include <gtest/gtest.h>

#include <string>

#include "base/digest.h"

namespace {

struct Vector {
    int kind;
    std::string message;
    const char *hex;
};

const std::string Long = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes
const std::string Million(1000000, 'a');

const Vector Vectors[] = {
    {DIGEST_SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {DIGEST_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {DIGEST_SHA256, Long, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {DIGEST_SHA256, Million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {DIGEST_SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {DIGEST_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {DIGEST_SHA1, Long, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {DIGEST_SHA1, Million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {DIGEST_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {DIGEST_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {DIGEST_MD5, Long, "8215ef0796a20bcaaae116d3876c664a"},
    {DIGEST_MD5, Million, "7707d6ae4e027c70eea2a935c2296f21"},
    {DIGEST_CRC32, "", "00000000"},
    {DIGEST_CRC32, "abc", "352441c2"},
    {DIGEST_CRC32, "123456789", "cbf43926"},
    {DIGEST_CRC32, Million, "dc25bfbc"},
};

std::string DigestOf(int kind, const std::string &m, size_t piece) {
    Digest d;
    DigestInit(&d, kind);
    for (size_t at = 0; at < m.size(); at += piece)
        DigestUpdate(&d, m.data() + at, m.size() - at < piece ? m.size() - at : piece);
    char hex[DIGEST_HEX_SIZE];
    DigestFinal(&d, hex, sizeof hex);
    return hex;
}

TEST(Digest, PublishedVectorsWholeAndInPieces) {
    const size_t pieces[] = {1000000, 1, 7, 63, 64, 65, 4096 + 3};
    for (int accelerated = 1; accelerated >= 0; accelerated--) {
        DigestAllowAcceleration(accelerated);
        for (const Vector &v : Vectors)
            for (size_t piece : pieces) {
                if (piece == 1 && v.message.size() > 100000) continue;  // slow, and shown by 7
                EXPECT_EQ(DigestOf(v.kind, v.message, piece), v.hex)
                    << DigestName(v.kind) << " of " << v.message.size() << " bytes in pieces of " << piece
                    << (accelerated ? "" : ", portable");
            }
    }
    DigestAllowAcceleration(1);
}

}  // namespace
