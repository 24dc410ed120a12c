// The Linux profile layer: one write into an arbitrary file, then the
// key read back and the rest of the file compared with what it was.
//
// Input: [mode] section NUL key NUL value NUL body. Mode bit 0-1: 0 or 3
// write the value, 1 deletes the key, 2 deletes the section; bit 2: there
// is no file before the write.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

struct Paths {
    std::string posix, dos;
};

const Paths &File() {
    static Paths p = [] {
        unsetenv("QELTA_DRIVE_C");
        Paths r;
        r.posix = FuzzDir() + "/job.ini";
        char dos[4096];
        if (!PosixUnmapPath(r.posix.c_str(), dos, sizeof dos)) abort();
        r.dos = dos;
        return r;
    }();
    return p;
}

// Splits off the text up to the next NUL; 0 when there is none.
bool Field(const uint8_t *&p, const uint8_t *end, std::string *out) {
    const uint8_t *nul = (const uint8_t *)memchr(p, 0, (size_t)(end - p));
    if (nul == nullptr) return false;
    out->assign((const char *)p, (size_t)(nul - p));
    p = nul + 1;
    return true;
}

// ---- what the layer promises, in plain terms ---------------------------------

std::string OneLine(const std::string &s) { return s.substr(0, s.find_first_of("\r\n")); }

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && Blank(s[a])) a++;
    while (b > a && Blank(s[b - 1])) b--;
    return s.substr(a, b - a);
}

// A value as reading gives it back: blanks around it and one pair of
// surrounding quotes gone.
std::string AsRead(const std::string &v) {
    std::string t = Trim(v);
    if (t.size() >= 2 && (t[0] == '"' || t[0] == '\'') && t.back() == t[0])
        t = t.substr(1, t.size() - 2);
    return t;
}

// A section or key name that a file line can carry and give back: no
// blanks around it (lines are trimmed); a key also holds no '=' and does
// not read as a comment or a section header.
bool Representable(const std::string &section, const std::string &key) {
    if (Trim(section) != section || Trim(key) != key) return false;
    if (key.find('=') != std::string::npos) return false;
    return key.empty() || (key[0] != ';' && key[0] != '[');
}

// The file's lines as they stand, without their line feeds.
struct Lines {
    std::vector<std::string> text;
    bool open = false;  // the last line has no line feed

    // As the profile functions read a file: a lone CR or LF ends a line,
    // CR LF counts as one line end. Lines are kept without their ends.
    explicit Lines(const std::string &bytes) {
        size_t i = 0;
        while (i < bytes.size()) {
            size_t end = bytes.find_first_of("\r\n", i);
            if (end == std::string::npos) end = bytes.size();
            text.push_back(bytes.substr(i, end - i));
            open = end == bytes.size();
            i = end + 1;
            if (end < bytes.size() && bytes[end] == '\r' && i < bytes.size() && bytes[i] == '\n') i++;
        }
    }
};

// Old line k is still there as `line` (its line end may have changed: a
// last line without one gains one).
bool Kept(const Lines &old, size_t k, const std::string &line) { return line == old.text[k]; }

// 1 when the old lines, less at most `skips` of them (0 or 1), appear in
// the new lines in order.
bool Survive(const Lines &old, const std::vector<std::string> &now, int skips) {
    const size_t none = SIZE_MAX;
    size_t n = old.text.size();
    // ahead[k]: the new lines that the earliest match of old[0..k) uses up.
    std::vector<size_t> ahead(n + 1, none);
    ahead[0] = 0;
    for (size_t k = 0, j = 0; k < n; k++) {
        while (j < now.size() && !Kept(old, k, now[j])) j++;
        if (j == now.size()) break;
        ahead[k + 1] = ++j;
    }
    if (ahead[n] != none) return true;
    if (skips == 0) return false;
    // behind[k]: where the latest match of old[k..n) starts in the new lines.
    std::vector<size_t> behind(n + 1, none);
    behind[n] = now.size();
    for (size_t k = n, j = now.size(); k-- > 0;) {
        while (j > 0 && !Kept(old, k, now[j - 1])) j--;
        if (j == 0) break;
        behind[k] = --j;
    }
    for (size_t k = 0; k < n; k++)
        if (ahead[k] != none && behind[k + 1] != none && ahead[k] <= behind[k + 1]) return true;
    return false;
}

// A delete takes out one run of bytes and keeps the rest as it was; the
// run is returned in *gone.
bool CutOnce(const std::string &old, const std::string &now, std::string *gone) {
    if (now.size() > old.size()) return false;
    size_t a = 0;
    while (a < now.size() && now[a] == old[a]) a++;
    size_t r = old.size() - now.size();
    if (old.compare(a + r, std::string::npos, now, a, std::string::npos) != 0) return false;
    *gone = old.substr(a, r);
    return true;
}

std::string Read(const std::string &section, const std::string &key, const char *def) {
    char out[8192];
    PlatProfileRead(section.c_str(), key.c_str(), def, out, sizeof out, File().dos.c_str());
    FUZZ_CHECK(Terminated(out, sizeof out), "read unterminated");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *p = data + 1, *end = data + size;
    std::string section, key, value;
    if (!Field(p, end, &section) || !Field(p, end, &key) || !Field(p, end, &value)) return 0;
    std::string body((const char *)p, (size_t)(end - p));
    int mode = data[0] & 3;
    bool noFile = data[0] & 4;
    const Paths &f = File();
    unlink(f.posix.c_str());
    if (!noFile) WriteBytes(f.posix, body);
    else body.clear();

    // Reading gives back what the write was given, so the state before
    // is read with the names the write will use.
    std::string sec = OneLine(section), k = OneLine(key);
    // No value holds a line feed: the default stands for "missing".
    const char *none = "\n";
    bool existed = Read(sec, k, none) != none;
    PlatProfileReadInt(sec.c_str(), k.c_str(), -7, f.dos.c_str());

    const char *keyArg = mode == 2 ? nullptr : key.c_str();
    const char *valueArg = mode == 1 ? nullptr : value.c_str();
    int ok = PlatProfileWrite(section.c_str(), keyArg, valueArg, f.dos.c_str());
    FUZZ_CHECK(ok == 1, "write of [%s] %s=%s failed", Shown(section).c_str(), Shown(key).c_str(),
               Shown(value).c_str());
    std::string now = FileBytes(f.posix);

    if (mode == 1 || mode == 2) {
        std::string gone;
        FUZZ_CHECK(CutOnce(body, now, &gone), "a delete changed more than one run of bytes");
        if (mode == 1) {
            FUZZ_CHECK(gone.find('\n') == gone.rfind('\n'), "a key delete took out \"%s\"",
                       Shown(gone).c_str());
            FUZZ_CHECK(!existed || !gone.empty(), "the key [%s] %s stayed", Shown(sec).c_str(),
                       Shown(k).c_str());
        }
        return 0;
    }

    if (Representable(sec, k)) {
        std::string want = AsRead(OneLine(value));
        if (want.size() > 8191) want.resize(8191);
        std::string got = Read(sec, k, none);
        FUZZ_CHECK(got == want, "[%s] %s reads %s after writing \"%s\"; file now \"%s\"",
                   Shown(sec).c_str(), Shown(k).c_str(),
                   got == none ? "nothing" : ("\"" + Shown(got) + "\"").c_str(),
                   Shown(want).c_str(), Shown(now).c_str());
    }
    // Every other line is still there, byte for byte and in order; only
    // the line of a key that was there may change.
    FUZZ_CHECK(Survive(Lines(body), Lines(now).text, existed ? 1 : 0),
               "lines of the file were lost: before \"%s\", after \"%s\"", Shown(body).c_str(),
               Shown(now).c_str());
    return 0;
}
