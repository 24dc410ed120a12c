// Address text and the passive-address rule; see netaddr.h.
#include "base/netaddr.h"

#include <cstring>

#include "base/text.h"

int NetAddressLength(const NetAddress *a) {
    return a->Family == NET_IPV4 ? 4 : a->Family == NET_IPV6 ? 16 : 0;
}

int NetSameHost(const NetAddress *a, const NetAddress *b) {
    return a->Family == b->Family && memcmp(a->Bytes, b->Bytes, (size_t)NetAddressLength(a)) == 0;
}

int NetAddUnique(NetAddress *list, int n, const NetAddress *a) {
    for (int k = 0; k < n; k++)
        if (NetSameHost(&list[k], a)) return n;
    list[n] = *a;
    return n + 1;
}

void NetMakeAddress(NetAddress *a, int family, const unsigned char *bytes, unsigned short port) {
    memset(a, 0, sizeof *a);
    a->Family = family;
    a->Port = port;
    memcpy(a->Bytes, bytes, (size_t)NetAddressLength(a));
}

// ---- Reading ------------------------------------------------------------------

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

static int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal numbers 0 to 255 with dots between, ending at end.
static int ParseDotted(const char *p, const char *end, unsigned char out[4]) {
    for (int k = 0; k < 4; k++) {
        int v = 0, digits = 0;
        while (p < end && IsDigit(*p) && digits < 4) v = v * 10 + (*p++ - '0'), digits++;
        if (digits == 0 || digits > 3 || v > 255) return 0;
        out[k] = (unsigned char)v;
        if (k < 3 && (p >= end || *p++ != '.')) return 0;
    }
    return p == end;
}

// One group of up to four hex digits; the count of characters read, 0 if none.
static int HexGroup(const char *p, const char *end, unsigned *v) {
    int n = 0;
    *v = 0;
    while (p + n < end && n < 5 && HexValue(p[n]) >= 0) *v = *v * 16 + (unsigned)HexValue(p[n++]);
    return n <= 4 ? n : 0;
}

// The groups of one side of "::" (or of a whole address): at most max
// 16-bit groups into out, an IPv4 tail counting as two when allowTail.
// Returns the count of groups, -1 when malformed.
static int ParseGroups(const char *p, const char *end, unsigned char *out, int max, int allowTail) {
    int n = 0;
    while (p < end) {
        const char *colon = (const char *)memchr(p, ':', (size_t)(end - p));
        const char *stop = colon ? colon : end;
        if (!colon && allowTail && memchr(p, '.', (size_t)(end - p))) {
            if (n + 2 > max || !ParseDotted(p, end, out + 2 * n)) return -1;
            return n + 2;
        }
        unsigned v;
        if (n >= max || HexGroup(p, stop, &v) != stop - p || stop == p) return -1;
        out[2 * n] = (unsigned char)(v >> 8);
        out[2 * n + 1] = (unsigned char)v;
        n++;
        if (!colon) return n;
        p = colon + 1;
        if (p == end) return -1;  // a trailing single colon
    }
    return n;
}

static int ParseV6(const char *text, unsigned char out[16]) {
    const char *end = text + strlen(text);
    if (end - text > 45) return 0;
    unsigned char head[16], tail[16];
    const char *gap = strstr(text, "::");
    if (gap == nullptr) return ParseGroups(text, end, out, 8, 1) == 8;
    if (strstr(gap + 1, "::")) return 0;
    int h = gap == text ? 0 : ParseGroups(text, gap, head, 7, 0);
    int t = gap + 2 == end ? 0 : ParseGroups(gap + 2, end, tail, 7, 1);
    if (h < 0 || t < 0 || h + t > 7) return 0;
    memset(out, 0, 16);
    memcpy(out, head, (size_t)(2 * h));
    memcpy(out + 16 - 2 * t, tail, (size_t)(2 * t));
    return 1;
}

int NetParseAddress(const char *text, NetAddress *out) {
    unsigned char b[16] = {0};
    if (ParseDotted(text, text + strlen(text), b)) {
        NetMakeAddress(out, NET_IPV4, b, 0);
        return 1;
    }
    if (strchr(text, ':') && ParseV6(text, b)) {
        NetMakeAddress(out, NET_IPV6, b, 0);
        return 1;
    }
    return 0;
}

int SplitHostPort(const char *arg, char *host, size_t size, const char **port) {
    const char *start = arg, *end, *colon;
    *port = nullptr;
    if (*arg == '[') {
        start = arg + 1;
        end = strchr(start, ']');
        if (end == nullptr || (end[1] != 0 && end[1] != ':')) return HOSTPORT_MALFORMED;
        colon = end[1] == ':' ? end + 1 : nullptr;
    } else {
        colon = strchr(arg, ':');
        if (colon && strchr(colon + 1, ':')) colon = nullptr;  // a bare IPv6 address
        end = colon ? colon : arg + strlen(arg);
    }
    if ((size_t)(end - start) >= size) return HOSTPORT_LONG;
    memcpy(host, start, (size_t)(end - start));
    host[end - start] = 0;
    if (colon) *port = colon + 1;
    return HOSTPORT_OK;
}

// ---- Writing ------------------------------------------------------------------

// The longest run of two or more zero groups, the first of equal ones.
static void LongestZeroRun(const unsigned g[8], int *at, int *length) {
    *at = -1;
    *length = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0) j++;
        if (j - i > *length && j - i >= 2) *at = i, *length = j - i;
        i = j > i ? j : i + 1;
    }
}

static void FormatV6(const unsigned char *b, char *out, size_t size) {
    unsigned g[8];
    for (int i = 0; i < 8; i++) g[i] = (unsigned)b[2 * i] << 8 | b[2 * i + 1];
    int at, length;
    LongestZeroRun(g, &at, &length);
    out[0] = 0;
    for (int i = 0; i < 8; i++) {
        if (i == at) {
            AppendCut(out, size, "::");
            i += length - 1;
            continue;
        }
        char part[8];
        FORMATCUT(part, "%s%x", (i > 0 && i != at + length) ? ":" : "", g[i]);
        AppendCut(out, size, part);
    }
}

int NetFormatAddress(const NetAddress *a, char *out, size_t size, int withPort) {
    char host[48];
    const unsigned char *b = a->Bytes;
    if (a->Family == NET_IPV4)
        FORMATCUT(host, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    else if (a->Family == NET_IPV6)
        FormatV6(b, host, sizeof host);
    else
        COPYCUT(host, "(no address)");
    if (!withPort) return CopyCut(out, size, host);
    int v6 = a->Family == NET_IPV6;
    return FormatCut(out, size, "%s%s%s:%u", v6 ? "[" : "", host, v6 ? "]" : "", a->Port);
}

// ---- Scope and the passive rule -------------------------------------------------

struct ScopeRange {
    int Family;
    unsigned char Prefix[16];
    int Bits;
    int Scope;
};

// The first range that holds an address decides; public otherwise.
static const ScopeRange Ranges[] = {
    {NET_IPV4, {0}, 8, NET_SCOPE_UNUSABLE},
    {NET_IPV4, {10}, 8, NET_SCOPE_PRIVATE},
    {NET_IPV4, {100, 64}, 10, NET_SCOPE_PRIVATE},
    {NET_IPV4, {127}, 8, NET_SCOPE_LOOPBACK},
    {NET_IPV4, {169, 254}, 16, NET_SCOPE_LINKLOCAL},
    {NET_IPV4, {172, 16}, 12, NET_SCOPE_PRIVATE},
    {NET_IPV4, {192, 168}, 16, NET_SCOPE_PRIVATE},
    {NET_IPV4, {224}, 3, NET_SCOPE_UNUSABLE},  // multicast, reserved, broadcast
    {NET_IPV6, {0}, 128, NET_SCOPE_UNUSABLE},
    {NET_IPV6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, NET_SCOPE_LOOPBACK},
    {NET_IPV6, {0xfc}, 7, NET_SCOPE_PRIVATE},
    {NET_IPV6, {0xfe, 0x80}, 10, NET_SCOPE_LINKLOCAL},
    {NET_IPV6, {0xfe, 0xc0}, 10, NET_SCOPE_PRIVATE},  // the old site-local
    {NET_IPV6, {0xff}, 8, NET_SCOPE_UNUSABLE},
};

static int InRange(const unsigned char *b, const ScopeRange &r) {
    int whole = r.Bits / 8, rest = r.Bits % 8;
    if (memcmp(b, r.Prefix, (size_t)whole) != 0) return 0;
    if (rest == 0) return 1;
    unsigned char mask = (unsigned char)(0xFF << (8 - rest));
    return (b[whole] & mask) == (r.Prefix[whole] & mask);
}

int NetScopeOf(const NetAddress *a) {
    NetAddress v4;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    // An IPv4 address written as IPv6 lies where the IPv4 address lies.
    if (a->Family == NET_IPV6 && memcmp(a->Bytes, mapped, 12) == 0) {
        NetMakeAddress(&v4, NET_IPV4, a->Bytes + 12, a->Port);
        a = &v4;
    }
    if (a->Family == NET_NONE) return NET_SCOPE_UNUSABLE;
    for (const ScopeRange &r : Ranges)
        if (r.Family == a->Family && InRange(a->Bytes, r)) return r.Scope;
    return NET_SCOPE_PUBLIC;
}

static const char *const NotPublic[] = {
    "", "it is a private address and the control peer is not",
    "it is a loopback address and the control peer is not",
    "it is a link-local address and the control peer is not", "it cannot be connected to"};

int PassiveReplyAddressAllowed(const NetAddress *reply, const NetAddress *peer, const char **why) {
    const char *unused;
    if (why == nullptr) why = &unused;
    if (NetSameHost(reply, peer)) {
        *why = "it is the control peer";
        return 0;
    }
    int scope = NetScopeOf(reply);
    if (scope == NET_SCOPE_PUBLIC) return 1;
    if (scope != NET_SCOPE_UNUSABLE && scope == NetScopeOf(peer)) return 1;
    *why = NotPublic[scope];
    return 0;
}
