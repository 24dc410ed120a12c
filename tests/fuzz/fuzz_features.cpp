// The readers of FEAT lines and of the 213 replies of SIZE, HASH and the
// X hash commands, fed the input as one line in a buffer of exactly its
// size (ASan sees a read past it). A value read is exactly as long as
// asked and lower-case hex; a size is what the line's digits say; the
// bits named are only those the client knows.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "ftp/features.h"

namespace {

const int KnownBits = (FEAT_HASH_CRC32 << 1) - 1;

void CheckHex(const char *out, size_t length) {
    FUZZ_CHECK(strlen(out) == length, "value of %zu digits, %zu asked", strlen(out), length);
    for (size_t i = 0; i < length; i++)
        FUZZ_CHECK((out[i] >= '0' && out[i] <= '9') || (out[i] >= 'a' && out[i] <= 'f'), "digit %c", out[i]);
}

// The model of a size reply: "213 ", blanks, 1 to 18 digits, then a blank
// or the line's end.
int ModelSize(const std::string &s, uint64_t *v) {
    if (s.compare(0, 4, "213 ") != 0) return 0;
    size_t i = 4;
    while (i < s.size() && i < FEATURE_LINE_MAX && s[i] == ' ') i++;
    size_t start = i;
    while (i < s.size() && i < FEATURE_LINE_MAX && s[i] >= '0' && s[i] <= '9') i++;
    size_t end = i;
    while (i < s.size() && i < FEATURE_LINE_MAX && s[i] != ' ' && s[i] != '\r' && s[i] != '\n' && s[i] != 0) i++;
    if (end == start || i != end || end - start > 18) return 0;
    *v = std::stoull(s.substr(start, end - start));
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 2 * FEATURE_LINE_MAX) return 0;
    std::vector<char> line(data, data + size);
    const char *p = line.data();
    int bits = FeatureLineBits(p, size);
    FUZZ_CHECK((bits & ~KnownBits) == 0, "bits %x", bits);
    uint64_t got = 0, want = 0;
    int read = ReadSizeReply(p, size, &got);
    int model = ModelSize(std::string(p, size), &want);
    FUZZ_CHECK(read == model && (!read || got == want), "size %d %llu, model %d %llu", read,
               (unsigned long long)got, model, (unsigned long long)want);
    const char *algorithms[] = {"SHA-256", "SHA-1", "MD5", "CRC32"};
    const size_t lengths[] = {64, 40, 32, 8};
    for (int form = HASH_FORM_HASH; form <= HASH_FORM_X; form++)
        for (int k = 0; k < 4; k++) {
            char out[65];
            if (ReadHashReply(p, size, form, algorithms[k], lengths[k], out, sizeof out))
                CheckHex(out, lengths[k]);
            char small[9];  // cut, never overrun
            if (ReadHashReply(p, size, form, algorithms[k], lengths[k], small, sizeof small))
                FUZZ_CHECK(strlen(small) == (lengths[k] < 8 ? lengths[k] : 8), "cut to %zu", strlen(small));
        }
    return 0;
}
