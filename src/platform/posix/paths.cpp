// DOS-style paths over a POSIX file system. Scripts name files as
// C:\jobs\in.zip; each drive letter stands for a directory (C: for / unless
// QELTA_DRIVE_C says otherwise, any other letter only through its
// QELTA_DRIVE_<L> variable), so the same scripts run on both builds.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

static char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

static int IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The directory a drive letter stands for, without a trailing slash ("" for
// the root). 0 when the letter is not mapped.
static int DriveRoot(char letter, std::string *root) {
    char name[] = "QELTA_DRIVE_X";
    name[sizeof(name) - 2] = UpperLetter(letter);
    const char *value = getenv(name);
    if (value == nullptr || value[0] == 0) {
        if (UpperLetter(letter) != 'C') return 0;
        value = "/";
    }
    if (value[0] != '/') return 0;  // a relative root would move with the cwd
    *root = value;
    while (!root->empty() && root->back() == '/') root->pop_back();
    return 1;
}

// Appends the rest of a DOS path with / separators, collapsing runs of
// separators so "C:\\x" and "C:\x" name the same file.
static void AppendWithSlashes(std::string *out, const char *rest) {
    for (const char *p = rest; *p; p++) {
        if (IsSeparator(*p)) {
            if (out->empty() || out->back() != '/') out->push_back('/');
        } else {
            out->push_back(*p);
        }
    }
}

// The components of a path, "." and ".." resolved by text as Windows
// resolves them: ".." at the top stays there. *trailing says whether the
// path ended in a separator.
static std::vector<std::string> Components(const char *rest, int *trailing) {
    std::vector<std::string> parts;
    std::string part;
    *trailing = 0;
    for (const char *p = rest;; p++) {
        if (*p && !IsSeparator(*p)) {
            part.push_back(*p);
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        *trailing = part.empty() && p != rest;
        part.clear();
        if (!*p) break;
    }
    return parts;
}

// A mapped drive is all a script may reach through its letter: the rest
// of the path is resolved under the drive's directory, never above it.
static void AppendUnderRoot(std::string *out, const char *rest) {
    int trailing = 0;
    std::vector<std::string> parts = Components(rest, &trailing);
    for (const std::string &part : parts) *out += "/" + part;
    if (parts.empty() || trailing) out->push_back('/');
}

static int HasDotDot(const char *path) {
    std::string plain;
    AppendWithSlashes(&plain, path);
    return ("/" + plain + "/").find("/../") != std::string::npos;
}

static int MapToString(const char *dos, std::string *out);

// A relative path that climbs with ".." is taken from the current
// directory's drive form, so that it stops at that drive's top as well.
static int MapClimbing(const char *dos, std::string *out) {
    char cwd[PATH_MAX + 1];
    if (!PlatCurrentDirectory(cwd, sizeof cwd)) return 0;
    std::string full = std::string(cwd) + "\\" + dos;
    return MapToString(full.c_str(), out);
}

std::string PosixWindowsName(const char *dos) {
    std::string name = dos;
    size_t start = name.find_last_of("\\/");
    start = start == std::string::npos ? 0 : start + 1;
    std::string last = name.substr(start);
    if (last == "." || last == "..") return name;
    while (name.size() > start && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    return name;
}

static int MapToString(const char *given, std::string *out) {
    out->clear();
    // Windows drops them, and the lines MGET and MPUT generate end each
    // local name in a blank: without this MGET would make "a.txt ".
    std::string trimmed = PosixWindowsName(given);
    const char *dos = trimmed.c_str();
    if (IsLetter(dos[0]) && dos[1] == ':') {
        if (!DriveRoot(dos[0], out)) return 0;
        AppendUnderRoot(out, dos + 2);
        return 1;
    }
    if (IsSeparator(dos[0])) {  // rooted on C:
        if (!DriveRoot('C', out)) return 0;
        AppendUnderRoot(out, dos);
        return 1;
    }
    if (HasDotDot(dos) && MapClimbing(dos, out)) return 1;
    out->clear();
    AppendWithSlashes(out, dos);  // relative stays relative
    return 1;
}

int PosixMapPath(const char *dos, char *out, size_t size) {
    std::string mapped;
    if (dos == nullptr || !MapToString(dos, &mapped)) {
        if (size) out[0] = 0;
        return 0;
    }
    return CopyCut(out, size, mapped.c_str());
}

// 1 when path lies inside root (root "" is the whole file system); *rest
// then points at what follows root ("" or "/...").
static int UnderRoot(const char *path, const std::string &root, const char **rest) {
    size_t n = root.size();
    if (strncmp(path, root.c_str(), n) != 0) return 0;
    if (path[n] != 0 && path[n] != '/') return 0;
    *rest = path + n;
    return 1;
}

int PosixUnmapPath(const char *posix, char *out, size_t size) {
    if (size) out[0] = 0;
    if (posix == nullptr || posix[0] != '/') return 0;
    // "/srv/c/../etc" lies outside /srv/c whatever its spelling begins with.
    int trailing = 0;
    std::string clean;
    for (const std::string &part : Components(posix, &trailing)) clean += "/" + part;
    if (clean.empty()) clean = "/";
    posix = clean.c_str();
    char best = 0;
    size_t bestLength = 0;
    const char *bestRest = nullptr;
    for (char letter = 'A'; letter <= 'Z'; letter++) {
        std::string root;
        const char *rest = nullptr;
        if (!DriveRoot(letter, &root) || !UnderRoot(posix, root, &rest)) continue;
        if (best == 0 || root.size() > bestLength) {
            best = letter;
            bestLength = root.size();
            bestRest = rest;
        }
    }
    if (best == 0) return 0;
    std::string dos(1, best);
    dos += ":\\";
    for (const char *p = bestRest; *p; p++) {
        if (*p == '/') {
            if (dos.back() != '\\') dos.push_back('\\');
        } else {
            dos.push_back(*p);
        }
    }
    return CopyCut(out, size, dos.c_str());
}

int PlatCurrentDirectory(char *out, size_t size) {
    std::vector<char> cwd(PATH_MAX + 1);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (size) out[0] = 0;
        return 0;
    }
    return PosixUnmapPath(cwd.data(), out, size);
}

// An absolute path with ".", ".." and repeated slashes resolved by text
// alone, for files that do not exist yet.
static std::string NormalisedAbsolute(const std::string &path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        std::vector<char> cwd(PATH_MAX + 1);
        if (getcwd(cwd.data(), cwd.size()) != nullptr) full = std::string(cwd.data()) + "/" + full;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string result;
    for (const std::string &part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

// The directory part resolved through the file system when it exists, so
// two spellings of one folder (a symbolic link, "x/../x") still compare
// equal for a file not yet created.
static std::string ComparablePath(const std::string &mapped) {
    std::string full = NormalisedAbsolute(mapped);
    size_t slash = full.rfind('/');
    std::string dir = slash == 0 ? "/" : full.substr(0, slash);
    char *real = realpath(dir.c_str(), nullptr);
    if (real == nullptr) return full;
    std::string result = real;
    free(real);
    if (result != "/") result += "/";
    return result + full.substr(slash + 1);
}

int PlatSameFile(const char *a, const char *b) {
    std::string pa, pb;
    if (a == nullptr || b == nullptr || !MapToString(a, &pa) || !MapToString(b, &pb)) return 0;
    struct stat sa, sb;
    int haveA = stat(pa.c_str(), &sa) == 0;
    int haveB = stat(pb.c_str(), &sb) == 0;
    if (haveA && haveB) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (haveA != haveB) return 0;
    return ComparablePath(pa) == ComparablePath(pb);
}
