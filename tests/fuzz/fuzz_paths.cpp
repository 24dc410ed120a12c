// The drive map of the Linux layer: arbitrary DOS and POSIX paths under
// arbitrary drive roots. Outputs must end inside their buffers, agree with
// an uncut mapping, stay under their drive's root, and a path taken to
// Linux and back must come out where it went in (less the trailing blanks
// and dots of its last part, as Windows takes names).
//
// Input: [drives] [size] root1 NUL root2 NUL root3 NUL dos NUL posix.
// Drive bits 0-2 say which of the three roots are set: the first for C:,
// the second for D:, the third for the letter in bits 3-7.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

typedef int (*Mapper)(const char *, char *, size_t);

struct Mapped {
    bool ok;
    std::string text;
};

// The mapping into a buffer of exactly `size` bytes (so that ASan sees any
// byte written past it), checked against the same mapping uncut.
Mapped MapInto(Mapper map, const char *in, size_t size, const char *name) {
    std::vector<char> big(16384);
    int bigOk = map(in, big.data(), big.size());
    FUZZ_CHECK(Terminated(big.data(), big.size()), "%s: output unterminated", name);
    char *small = (char *)malloc(size);
    int ok = map(in, small, size);
    if (size > 0) {
        FUZZ_CHECK(Terminated(small, size), "%s: output unterminated in %zu bytes", name, size);
        bool fits = bigOk && strlen(big.data()) < size;
        FUZZ_CHECK(ok == (fits ? 1 : 0), "%s(\"%s\") gave %d in %zu bytes, uncut \"%s\" (%d)", name,
                   Shown(in).c_str(), ok, size, Shown(big.data()).c_str(), bigOk);
        if (ok) FUZZ_CHECK(strcmp(small, big.data()) == 0, "%s: cut and uncut differ", name);
    } else {
        FUZZ_CHECK(ok == 0, "%s: success in a buffer of no size", name);
    }
    free(small);
    return {bigOk == 1, big.data()};
}

Mapped Map(const std::string &dos) { return MapInto(PosixMapPath, dos.c_str(), 16384, "map"); }
Mapped Unmap(const std::string &posix) {
    return MapInto(PosixUnmapPath, posix.c_str(), 16384, "unmap");
}

// A POSIX path with ".", ".." and repeated or trailing slashes resolved by
// text: "/" for the root.
std::string Normal(const std::string &path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string &part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

bool Under(const std::string &path, const std::string &root) {
    if (root == "/") return true;
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

struct Drives {
    std::string root[26];  // "" = not set
    bool backslash = false;  // a root holds one: no round trip is promised

    // The directory a letter stands for, as the layer documents it.
    bool RootOf(char letter, std::string *out) const {
        const std::string &r = root[letter - 'A'];
        if (r.empty() && letter != 'C') return false;
        std::string v = r.empty() ? "/" : r;
        if (v[0] != '/') return false;
        *out = v;
        return true;
    }
};

void SetDrives(Drives *d, uint8_t bits, const std::string roots[3]) {
    char third = (char)('A' + (bits >> 3) % 26);
    const char letters[3] = {'C', 'D', third};
    for (char l = 'A'; l <= 'Z'; l++) {
        char name[] = "QELTA_DRIVE_X";
        name[sizeof name - 2] = l;
        unsetenv(name);
    }
    for (int k = 0; k < 3; k++) {
        if (!(bits & (1 << k))) continue;
        char name[] = "QELTA_DRIVE_X";
        name[sizeof name - 2] = letters[k];
        setenv(name, roots[k].c_str(), 1);
        d->root[letters[k] - 'A'] = roots[k];
        d->backslash = d->backslash || roots[k].find('\\') != std::string::npos;
    }
}

// What a DOS name reaches: Windows, and the layer after it, drop the
// trailing blanks and dots of the last part.
std::string WindowsNamed(const std::string &posix) {
    std::string n = Normal(posix);
    size_t slash = n.rfind('/');
    while (n.size() > slash + 1 && (n.back() == ' ' || n.back() == '.')) n.pop_back();
    return Normal(n);
}

// Linux, then DOS, then Linux again: the same place, but for a last part
// that ends in blanks or dots, which no DOS name reaches.
void RoundTrip(const Drives &d, const std::string &posix) {
    if (posix.empty() || posix[0] != '/' || posix.find('\\') != std::string::npos || d.backslash)
        return;
    Mapped dos = Unmap(posix);
    if (!dos.ok) return;
    Mapped back = Map(dos.text);
    FUZZ_CHECK(back.ok, "\"%s\" unmaps to \"%s\", which does not map", Shown(posix).c_str(),
               Shown(dos.text).c_str());
    // A DOS path that ends at its drive's root has no last part of its own.
    bool atRoot = dos.text.empty() || dos.text.back() == '\\';
    std::string expected = atRoot ? Normal(posix) : WindowsNamed(posix);
    FUZZ_CHECK(Normal(back.text) == expected, "\"%s\" -> \"%s\" -> \"%s\"",
               Shown(posix).c_str(), Shown(dos.text).c_str(), Shown(back.text).c_str());
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A path on a drive never leaves the drive's directory.
void StaysOnDrive(const Drives &d, const std::string &dos, const Mapped &m) {
    char letter = 0;
    if (dos.size() >= 2 && IsLetter(dos[0]) && dos[1] == ':') letter = (char)(dos[0] & ~0x20);
    else if (!dos.empty() && (dos[0] == '\\' || dos[0] == '/')) letter = 'C';
    if (letter == 0) return;
    std::string root;
    bool mapped = d.RootOf(letter, &root);
    FUZZ_CHECK(m.ok == mapped, "\"%s\": drive %c mapped %d, mapping gave %d", Shown(dos).c_str(),
               letter, mapped, m.ok);
    if (!m.ok) return;
    FUZZ_CHECK(Under(Normal(m.text), Normal(root)), "\"%s\" maps to \"%s\", outside \"%s\"",
               Shown(dos).c_str(), Shown(m.text).c_str(), Shown(root).c_str());
}

bool Field(const uint8_t *&p, const uint8_t *end, std::string *out) {
    const uint8_t *nul = (const uint8_t *)memchr(p, 0, (size_t)(end - p));
    const uint8_t *stop = nul ? nul : end;
    out->assign((const char *)p, (size_t)(stop - p));
    p = nul ? nul + 1 : end;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Relative paths resolve against the working directory, which is only
    // read (by PlatCurrentDirectory and PlatSameFile), never written.
    if (size < 2) return 0;
    const uint8_t *p = data + 2, *end = data + size;
    std::string roots[3], dos, posix;
    for (std::string &r : roots) Field(p, end, &r);
    Field(p, end, &dos);
    Field(p, end, &posix);
    Drives d;
    SetDrives(&d, data[0], roots);
    size_t outSize = data[1];

    Mapped m = MapInto(PosixMapPath, dos.c_str(), outSize, "map");
    StaysOnDrive(d, dos, m);
    MapInto(PosixUnmapPath, posix.c_str(), outSize, "unmap");
    MapInto([](const char *, char *out, size_t n) { return PlatCurrentDirectory(out, n); }, "",
            outSize, "cwd");

    RoundTrip(d, posix);
    if (m.ok) RoundTrip(d, m.text);
    if (m.ok) FUZZ_CHECK(PlatSameFile(dos.c_str(), dos.c_str()) == 1, "\"%s\" is not itself",
                         Shown(dos).c_str());
    return 0;
}
