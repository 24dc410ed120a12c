// The readers of FEAT lines and of the 213 replies that tell a file's size
// and hash. Outside bytes: every reader counts its words and bounds each
// one, and a line it cannot read whole tells nothing.
#include "ftp/features.h"

#include <cstring>

#include "base/text.h"

namespace {

// One word of a line: [At, At + Length).
struct Word {
    size_t At, Length;
};
enum { WORDS_MAX = 8 };

int EndsLine(char c) { return c == '\r' || c == '\n' || c == 0; }

// The blank-separated words of line[from, n), up to the line end; at most
// WORDS_MAX are kept. The count kept.
int SplitWords(const char *line, size_t n, size_t from, Word *words) {
    if (n > FEATURE_LINE_MAX) n = FEATURE_LINE_MAX;
    int count = 0;
    size_t i = from;
    while (count < WORDS_MAX) {
        while (i < n && line[i] == ' ') i++;
        if (i >= n || EndsLine(line[i])) break;
        size_t start = i;
        while (i < n && line[i] != ' ' && !EndsLine(line[i])) i++;
        words[count++] = {start, i - start};
    }
    return count;
}

int Is(const char *line, const Word &w, const char *name) {
    return w.Length == strlen(name) && EqualNoCase(line + w.At, name, w.Length);
}

int IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int AllHex(const char *line, const Word &w, size_t length) {
    if (w.Length != length || length == 0) return 0;
    for (size_t i = 0; i < length; i++)
        if (!IsHex(line[w.At + i])) return 0;
    return 1;
}

// A reply's final line with code 213.
int Is213(const char *line, size_t n) { return n >= 4 && memcmp(line, "213 ", 4) == 0; }

void LowerHex(const char *line, const Word &w, char *out, size_t size) {
    size_t k = 0;
    for (; k < w.Length && k + 1 < size; k++) {
        char c = line[w.At + k];
        out[k] = (c >= 'A' && c <= 'F') ? (char)(c - 'A' + 'a') : c;
    }
    if (size > 0) out[k] = 0;
}

struct Named {
    const char *Name;
    int Bit;
};
const Named Features[] = {{"SIZE", FEAT_SIZE},     {"HASH", FEAT_HASH}, {"XSHA256", FEAT_XSHA256},
                          {"XSHA1", FEAT_XSHA1},   {"XMD5", FEAT_XMD5}, {"XCRC", FEAT_XCRC}};
const Named Algorithms[] = {{"SHA-256", FEAT_HASH_SHA256},
                            {"SHA-1", FEAT_HASH_SHA1},
                            {"MD5", FEAT_HASH_MD5},
                            {"CRC32", FEAT_HASH_CRC32}};

// "SHA-256*;SHA-1;MD5": the algorithms HASH lists, the current one
// marked with a star.
int AlgorithmBits(const char *line, const Word &w) {
    int bits = 0;
    size_t at = w.At, end = w.At + w.Length;
    while (at < end) {
        size_t stop = at;
        while (stop < end && line[stop] != ';') stop++;
        Word one = {at, stop - at};
        if (one.Length > 0 && line[at + one.Length - 1] == '*') one.Length--;
        for (const Named &a : Algorithms)
            if (Is(line, one, a.Name)) bits |= a.Bit;
        at = stop + 1;
    }
    return bits;
}

}  // namespace

int FeatureLineBits(const char *line, size_t n) {
    if (n == 0 || line[0] != ' ') return 0;
    Word w[WORDS_MAX];
    int count = SplitWords(line, n, 0, w);
    if (count == 0) return 0;
    for (const Named &f : Features) {
        if (!Is(line, w[0], f.Name)) continue;
        if (f.Bit == FEAT_HASH && count > 1) return f.Bit | AlgorithmBits(line, w[1]);
        return f.Bit;
    }
    return 0;
}

int ReadSizeReply(const char *line, size_t n, uint64_t *size) {
    if (!Is213(line, n)) return 0;
    Word w[WORDS_MAX];
    if (SplitWords(line, n, 4, w) < 1 || w[0].Length > 18) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < w[0].Length; i++) {
        char c = line[w[0].At + i];
        if (c < '0' || c > '9') return 0;
        v = v * 10 + (uint64_t)(c - '0');
    }
    *size = v;
    return 1;
}

int ReadHashReply(const char *line, size_t n, int form, const char *algorithm, size_t hexLength,
                  char *out, size_t size) {
    if (!Is213(line, n)) return 0;
    Word w[WORDS_MAX];
    int count = SplitWords(line, n, 4, w);
    if (form == HASH_FORM_HASH) {
        // The algorithm, the range it covers, and the value.
        if (count < 3 || !Is(line, w[0], algorithm) || !AllHex(line, w[2], hexLength)) return 0;
        LowerHex(line, w[2], out, size);
        return 1;
    }
    for (int i = 0; i < count; i++) {
        if (!AllHex(line, w[i], hexLength)) continue;
        LowerHex(line, w[i], out, size);
        return 1;
    }
    return 0;
}
