// Digests of bytes as they pass: SHA-256, SHA-1, MD5 and CRC-32, taken a
// block at a time and written as lower-case hex. Written here once for
// both builds, with no library under them, so that a file can be checked
// against what a server says of it without reading it a second time.
#ifndef QELTA_DIGEST_H
#define QELTA_DIGEST_H

#include <cstddef>
#include <cstdint>

enum DigestKind { DIGEST_NONE, DIGEST_SHA256, DIGEST_SHA1, DIGEST_MD5, DIGEST_CRC32, DIGEST_COUNT };
// The longest hex text (SHA-256) with its end.
enum { DIGEST_HEX_SIZE = 65 };

struct Digest {
    int Kind;              // DIGEST_; DIGEST_NONE takes bytes and gives ""
    uint64_t Length;       // bytes taken
    uint32_t State[8];
    unsigned char Held[64];  // the block not yet complete
    size_t HeldLength;
};

void DigestInit(Digest *d, int kind);
void DigestUpdate(Digest *d, const void *data, size_t n);
// The digest as hex into out (cut at size; DIGEST_HEX_SIZE holds every
// kind); the digest is then spent until the next DigestInit.
void DigestFinal(Digest *d, char *out, size_t size);
// "SHA-256", "SHA-1", "MD5", "CRC-32"; "" for DIGEST_NONE.
const char *DigestName(int kind);
// Hex digits of the kind's value: 64, 40, 32, 8 (0 for none).
size_t DigestHexLength(int kind);
// 0 makes SHA-256 use its portable rounds even where the processor has
// instructions of its own for them (tests compare the two); 1 restores it.
void DigestAllowAcceleration(int allow);

#endif
