// What a server says of its features and of a file: the lines of a FEAT
// reply, and the 213 replies of SIZE, HASH and the X hash commands. Each
// reader takes one reply line as it came (code and line end included),
// looks at most at its first FEATURE_LINE_MAX bytes, and knows no socket.
#ifndef QELTA_FEATURES_H
#define QELTA_FEATURES_H

#include <cstddef>
#include <cstdint>

enum { FEATURE_LINE_MAX = 512 };

// The features the client can use.
enum FeatureBit {
    FEAT_SIZE = 1 << 0,
    FEAT_HASH = 1 << 1,
    FEAT_XSHA256 = 1 << 2,
    FEAT_XSHA1 = 1 << 3,
    FEAT_XMD5 = 1 << 4,
    FEAT_XCRC = 1 << 5,
    // The algorithms the HASH line lists.
    FEAT_HASH_SHA256 = 1 << 6,
    FEAT_HASH_SHA1 = 1 << 7,
    FEAT_HASH_MD5 = 1 << 8,
    FEAT_HASH_CRC32 = 1 << 9,
};

// The bits one line of a FEAT reply names: a feature line starts with a
// blank ("␠HASH SHA-256*;MD5"); any other line names none.
int FeatureLineBits(const char *line, size_t n);
// "213 <size>": 1 with the size (at most 18 digits), 0 for anything else.
int ReadSizeReply(const char *line, size_t n, uint64_t *size);
// The forms a server's hash of a file comes in: HASH's "213 <algorithm>
// <from>-<to> <hex> <name>", and the X commands' "213 <hex>" (a name may
// stand before or after the value).
enum { HASH_FORM_HASH, HASH_FORM_X };
// The value of a 213 reply of that form for hex digits of hexLength (and,
// for HASH, the algorithm named algorithm): 1 with it in lower case in
// out (cut at size), 0 when the line holds none.
int ReadHashReply(const char *line, size_t n, int form, const char *algorithm, size_t hexLength,
                  char *out, size_t size);

#endif
