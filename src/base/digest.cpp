// SHA-256, SHA-1, MD5 and CRC-32, incremental. SHA-256 uses the
// processor's own SHA instructions where it has them (checked once at
// run time): the digest of a download runs while the data moves and must
// keep up with a loopback transfer.
#include "base/digest.h"

#include <cstring>

#include "base/text.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define QELTA_SHA_X86 1
#endif

namespace {

typedef void (*Compress)(uint32_t *state, const unsigned char *blocks, size_t count);

uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
uint32_t LoadBig(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
uint32_t LoadLittle(const unsigned char *p) {
    return (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

// ---- SHA-256 ------------------------------------------------------------------------

const uint32_t Sha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void Sha256Block(uint32_t *h, const unsigned char *p) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = LoadBig(p + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    memcpy(v, h, sizeof v);
    for (int i = 0; i < 64; i++) {
        uint32_t e = v[4], a = v[0];
        uint32_t t1 = v[7] + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & v[5]) ^ (~e & v[6])) +
                      Sha256K[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
        memmove(v + 1, v, 7 * sizeof v[0]);
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; i++) h[i] += v[i];
}

void Sha256Portable(uint32_t *state, const unsigned char *blocks, size_t count) {
    for (size_t i = 0; i < count; i++) Sha256Block(state, blocks + 64 * i);
}

#ifdef QELTA_SHA_X86
// Four rounds of the SHA instructions, and the message schedule that
// runs beside them: group i (rounds 4i to 4i+3) uses w[i % 4].
#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

SHA_TARGET inline __attribute__((always_inline)) void Sha256Group(int i, __m128i *w, __m128i *s0,
                                                                   __m128i *s1) {
    __m128i msg = _mm_add_epi32(w[i % 4], _mm_loadu_si128((const __m128i *)(Sha256K + 4 * i)));
    *s1 = _mm_sha256rnds2_epu32(*s1, *s0, msg);
    if (i >= 3 && i <= 14) {
        __m128i next = _mm_add_epi32(w[(i + 1) % 4], _mm_alignr_epi8(w[i % 4], w[(i + 3) % 4], 4));
        w[(i + 1) % 4] = _mm_sha256msg2_epu32(next, w[i % 4]);
    }
    *s0 = _mm_sha256rnds2_epu32(*s0, *s1, _mm_shuffle_epi32(msg, 0x0E));
    if (i >= 1 && i <= 12) w[(i + 3) % 4] = _mm_sha256msg1_epu32(w[(i + 3) % 4], w[i % 4]);
}

SHA_TARGET void Sha256Accelerated(uint32_t *state, const unsigned char *blocks, size_t count) {
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i t = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)state), 0xB1);
    __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)(state + 4)), 0x1B);
    __m128i s0 = _mm_alignr_epi8(t, s1, 8);  // ABEF
    s1 = _mm_blend_epi16(s1, t, 0xF0);       // CDGH
    for (size_t b = 0; b < count; b++) {
        __m128i save0 = s0, save1 = s1, w[4];
        for (int k = 0; k < 4; k++)
            w[k] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(blocks + 64 * b + 16 * k)), swap);
        // Unrolled, the schedule's tests and indexes vanish at compile time.
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) Sha256Group(i, w, &s0, &s1);
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }
    t = _mm_shuffle_epi32(s0, 0x1B);
    s1 = _mm_shuffle_epi32(s1, 0xB1);
    _mm_storeu_si128((__m128i *)state, _mm_blend_epi16(t, s1, 0xF0));
    _mm_storeu_si128((__m128i *)(state + 4), _mm_alignr_epi8(s1, t, 8));
}

int HasShaInstructions() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19)) || !(c & (1u << 9))) return 0;
    if (__get_cpuid_max(0, nullptr) < 7) return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return (b >> 29) & 1;
}
#endif

int AccelerationAllowed = 1;

void Sha256Compress(uint32_t *state, const unsigned char *blocks, size_t count) {
#ifdef QELTA_SHA_X86
    static const int has = HasShaInstructions();
    if (has && AccelerationAllowed) return Sha256Accelerated(state, blocks, count);
#endif
    Sha256Portable(state, blocks, count);
}

// ---- SHA-1 --------------------------------------------------------------------------

void Sha1Block(uint32_t *h, const unsigned char *p) {
    uint32_t w[80];
    for (int i = 0; i < 16; i++) w[i] = LoadBig(p + 4 * i);
    for (int i = 16; i < 80; i++) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) f = (b & c) | (~b & d), k = 0x5a827999;
        else if (i < 40) f = b ^ c ^ d, k = 0x6ed9eba1;
        else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8f1bbcdc;
        else f = b ^ c ^ d, k = 0xca62c1d6;
        uint32_t t = Rotl(a, 5) + f + e + k + w[i];
        e = d, d = c, c = Rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
}

void Sha1Compress(uint32_t *state, const unsigned char *blocks, size_t count) {
    for (size_t i = 0; i < count; i++) Sha1Block(state, blocks + 64 * i);
}

// ---- MD5 ----------------------------------------------------------------------------

const uint32_t Md5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
const int Md5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void Md5Block(uint32_t *h, const unsigned char *p) {
    uint32_t m[16];
    for (int i = 0; i < 16; i++) m[i] = LoadLittle(p + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g, round = i / 16;
        if (round == 0) f = (b & c) | (~b & d), g = i;
        else if (round == 1) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
        else if (round == 2) f = b ^ c ^ d, g = (3 * i + 5) % 16;
        else f = c ^ (b | ~d), g = (7 * i) % 16;
        uint32_t t = d;
        d = c, c = b;
        b = b + Rotl(a + f + Md5K[i] + m[g], Md5Shift[round][i % 4]);
        a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
}

void Md5Compress(uint32_t *state, const unsigned char *blocks, size_t count) {
    for (size_t i = 0; i < count; i++) Md5Block(state, blocks + 64 * i);
}

// ---- CRC-32 (the reflected 0xEDB88320 of zip and Ethernet), eight bytes a step ------

uint32_t CrcTable[8][256];

void BuildCrcTable() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        CrcTable[0][i] = c;
    }
    for (int t = 1; t < 8; t++)
        for (int i = 0; i < 256; i++)
            CrcTable[t][i] = (CrcTable[t - 1][i] >> 8) ^ CrcTable[0][CrcTable[t - 1][i] & 0xff];
}

uint32_t CrcUpdate(uint32_t crc, const unsigned char *p, size_t n) {
    static const int built = (BuildCrcTable(), 1);
    (void)built;
    const uint32_t(*T)[256] = CrcTable;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t one = LoadLittle(p) ^ crc, two = LoadLittle(p + 4);
        crc = T[7][one & 0xff] ^ T[6][(one >> 8) & 0xff] ^ T[5][(one >> 16) & 0xff] ^ T[4][one >> 24] ^
              T[3][two & 0xff] ^ T[2][(two >> 8) & 0xff] ^ T[1][(two >> 16) & 0xff] ^ T[0][two >> 24];
    }
    while (n--) crc = T[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return crc;
}

// ---- The kinds ----------------------------------------------------------------------

struct Kind {
    const char *Name;
    int Words;          // of State in the value
    int BigEndian;      // of the words and of the bit count
    Compress Blocks;    // 0: CRC-32
    uint32_t Start[8];
};

const Kind Kinds[DIGEST_COUNT] = {
    {"", 0, 0, nullptr, {0}},
    {"SHA-256", 8, 1, Sha256Compress,
     {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}},
    {"SHA-1", 5, 1, Sha1Compress, {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0}},
    {"MD5", 4, 0, Md5Compress, {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}},
    {"CRC-32", 1, 1, nullptr, {0xffffffffu}},
};

const Kind &KindOf(int kind) { return Kinds[kind > 0 && kind < DIGEST_COUNT ? kind : 0]; }

}  // namespace

void DigestAllowAcceleration(int allow) { AccelerationAllowed = allow; }

const char *DigestName(int kind) { return KindOf(kind).Name; }

size_t DigestHexLength(int kind) { return (size_t)KindOf(kind).Words * 8; }

void DigestInit(Digest *d, int kind) {
    memset(d, 0, sizeof *d);
    d->Kind = &KindOf(kind) == &Kinds[0] ? DIGEST_NONE : kind;
    memcpy(d->State, KindOf(kind).Start, sizeof d->State);
}

void DigestUpdate(Digest *d, const void *data, size_t n) {
    const Kind &k = KindOf(d->Kind);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    d->Length += n;
    if (d->Kind == DIGEST_NONE) return;
    if (k.Blocks == nullptr) {
        d->State[0] = CrcUpdate(d->State[0], p, n);
        return;
    }
    if (d->HeldLength > 0) {
        size_t take = 64 - d->HeldLength < n ? 64 - d->HeldLength : n;
        memcpy(d->Held + d->HeldLength, p, take);
        d->HeldLength += take, p += take, n -= take;
        if (d->HeldLength < 64) return;
        k.Blocks(d->State, d->Held, 1);
        d->HeldLength = 0;
    }
    k.Blocks(d->State, p, n / 64);
    memcpy(d->Held, p + n - n % 64, n % 64);
    d->HeldLength = n % 64;
}

// The closing block: a one bit, zeros, and the length in bits.
static void Pad(Digest *d, const Kind &k) {
    uint64_t bits = d->Length * 8;
    unsigned char tail[72] = {0x80};
    size_t zeros = (d->HeldLength < 56 ? 56 : 120) - d->HeldLength;
    for (int i = 0; i < 8; i++)
        tail[zeros + (size_t)i] = (unsigned char)(bits >> (k.BigEndian ? 56 - 8 * i : 8 * i));
    uint64_t length = d->Length;
    DigestUpdate(d, tail, zeros + 8);
    d->Length = length;
}

void DigestFinal(Digest *d, char *out, size_t size) {
    const Kind &k = KindOf(d->Kind);
    if (size > 0) out[0] = 0;
    if (d->Kind == DIGEST_NONE) return;
    if (k.Blocks) Pad(d, k);
    else d->State[0] ^= 0xffffffffu;
    char hex[DIGEST_HEX_SIZE] = "";
    for (int w = 0; w < k.Words; w++) {
        uint32_t v = d->State[w];
        if (!k.BigEndian) v = (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
        FormatCut(hex + 8 * w, sizeof hex - 8 * (size_t)w, "%08x", (unsigned)v);
    }
    CopyCut(out, size, hex);
    d->Kind = DIGEST_NONE;
}
