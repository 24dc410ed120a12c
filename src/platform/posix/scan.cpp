// The directory scan of MPUT and DELL, by the wildcard rules of Windows'
// file search, so that one script picks the same files on both builds.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

// ---- the wildcard rules --------------------------------------------------------

// Windows' file search hands its pattern to the file system in a DOS form:
// '?' may also match nothing where the name has a dot or ends; a '.'
// before a wildcard or at the end may also match the end of the name; a
// '*' before a '.' stops at the name's last dot. That is what makes "*.*"
// take names without a dot and "*." take only those.
enum { DOS_STAR = 1, DOS_QM = 2, DOS_DOT = 3, ANY_STAR = 4 };

static char Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

// The pattern's elements: a wildcard kind, or 0 with the literal character.
struct Element {
    int Kind;
    char Literal;
};

static std::vector<Element> DosPattern(const char *pattern) {
    std::vector<Element> out;
    for (const char *p = pattern; *p; p++) {
        char next = p[1];
        if (*p == '?')
            out.push_back({DOS_QM, 0});
        else if (*p == '*')
            out.push_back({next == '.' ? DOS_STAR : ANY_STAR, 0});
        else if (*p == '.' && (next == '?' || next == '*' || next == 0))
            out.push_back({DOS_DOT, 0});
        else
            out.push_back({0, Lower(*p)});
    }
    return out;
}

int PosixWildcardMatch(const char *pattern, const char *name) {
    std::vector<Element> pat = DosPattern(pattern);
    const size_t P = pat.size(), N = strlen(name);
    const char *lastDot = strrchr(name, '.');
    const size_t finalDot = lastDot ? (size_t)(lastDot - name) : (size_t)-1;
    // at[i * (N + 1) + j]: the pattern from element i matches the name
    // from character j. Filled from the ends backwards.
    std::vector<char> at((P + 1) * (N + 1), 0);
    auto m = [&](size_t i, size_t j) -> char & { return at[i * (N + 1) + j]; };
    m(P, N) = 1;
    for (size_t i = P; i-- > 0;) {
        for (size_t j = N + 1; j-- > 0;) {
            const Element &e = pat[i];
            const int end = j == N;
            const char c = end ? 0 : name[j];
            char r = 0;
            switch (e.Kind) {
            case ANY_STAR:
                r = m(i + 1, j) || (!end && m(i, j + 1));
                break;
            case DOS_STAR:
                r = m(i + 1, j) || (!end && j != finalDot && m(i, j + 1));
                break;
            case DOS_QM:
                r = (end || c == '.') ? m(i + 1, j) : m(i + 1, j + 1);
                break;
            case DOS_DOT:
                r = end ? m(i + 1, j) : (c == '.' && m(i + 1, j + 1));
                break;
            default:
                r = !end && Lower(c) == e.Literal && m(i + 1, j + 1);
            }
            m(i, j) = r;
        }
    }
    return m(0, 0);
}

// ---- the scan --------------------------------------------------------------------

struct Scan {
    std::vector<std::string> Names;
    size_t Next;
};

// Without regard to case first, as the names are matched; then by bytes,
// so that the order is total.
static bool NameOrder(const std::string &a, const std::string &b) {
    int c = strcasecmp(a.c_str(), b.c_str());
    return c != 0 ? c < 0 : a < b;
}

// An ordinary file: no folder, device, pipe or socket. A name beginning
// with a dot is hidden here, as the file search never lists hidden files.
static int Listed(int dirFd, const char *name, const char *pattern) {
    if (name[0] == '.' || strlen(name) >= PLAT_NAME_MAX) return 0;
    if (!PosixWildcardMatch(pattern, name)) return 0;
    struct stat st;
    return fstatat(dirFd, name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

static int SplitPattern(const char *pattern, std::string *folder, std::string *mask) {
    const char *cut = nullptr;
    for (const char *p = pattern; *p; p++)
        if (*p == '\\' || *p == '/') cut = p;
    if (cut == nullptr && pattern[0] && pattern[1] == ':') cut = pattern + 1;
    if (cut == nullptr) {
        *folder = ".";
        *mask = pattern;
        return 1;
    }
    *mask = cut + 1;
    std::string dos(pattern, (size_t)(cut - pattern) + 1);
    char mapped[PATH_MAX];
    if (!PosixMapPath(dos.c_str(), mapped, sizeof mapped) || mapped[0] == 0) return 0;
    *folder = mapped;
    return 1;
}

static void Give(Scan *s, char *name, size_t size) {
    CopyCut(name, size, s->Names[s->Next].c_str());
    s->Next++;
}

PlatScan PlatScanFirst(const char *pattern, char *name, size_t size) {
    std::string folder, mask;
    if (pattern == nullptr || !SplitPattern(pattern, &folder, &mask) || mask.empty()) return -1;
    DIR *d = opendir(folder.c_str());
    if (d == nullptr) return -1;
    Scan *s = new Scan();
    s->Next = 0;
    while (struct dirent *e = readdir(d))
        if (Listed(dirfd(d), e->d_name, mask.c_str())) s->Names.push_back(e->d_name);
    closedir(d);
    if (s->Names.empty()) {
        delete s;
        return -1;
    }
    std::sort(s->Names.begin(), s->Names.end(), NameOrder);
    Give(s, name, size);
    return (PlatScan) reinterpret_cast<intptr_t>(s);
}

int PlatScanNext(PlatScan scan, char *name, size_t size) {
    if (scan == -1) return 0;
    Scan *s = reinterpret_cast<Scan *>(scan);
    if (s->Next >= s->Names.size()) return 0;
    Give(s, name, size);
    return 1;
}

void PlatScanClose(PlatScan scan) {
    if (scan != -1) delete reinterpret_cast<Scan *>(scan);
}
