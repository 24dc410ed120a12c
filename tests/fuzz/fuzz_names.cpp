// The name list of MGET and the remote delete, and the two wildcard
// matchers: the server's pattern (EvaluatePattern) and the local scan's
// Windows rules (PosixWildcardMatch).
//
// Input: [mode] pattern NUL list. Mode bit 0: a remote delete (else
// MGET); bits 1-4: the size of the pieces the list is cut into (1 to 16);
// bit 5: instead, check the local matcher on pattern and list (as a name).
//
// The name list must come out the same whole and in pieces; every line it
// generates must be whole, end in CR LF and name a file the pattern
// matches; a failure must leave a text. The local matcher must agree with
// a plain recursive reading of the same rules.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "base/text.h"
#include "fuzz_common.h"
#include "batch/batch.h"
#include "platform/posix/posix_internal.h"
#include "script/script.h"

namespace {

// ---- the local rules, read plainly ------------------------------------------------

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

struct Plain {
    std::string pat, name;
    size_t finalDot;
    std::map<std::pair<size_t, size_t>, bool> memo;

    bool At(size_t i, size_t j) {
        auto key = std::make_pair(i, j);
        auto it = memo.find(key);
        if (it != memo.end()) return it->second;
        bool r = Step(i, j);
        memo[key] = r;
        return r;
    }
    bool Step(size_t i, size_t j) {
        if (i == pat.size()) return j == name.size();
        char p = pat[i], next = i + 1 < pat.size() ? pat[i + 1] : 0;
        bool end = j == name.size();
        char c = end ? 0 : name[j];
        if (p == '?') {  // one character, or nothing at a dot or the end
            if (end || c == '.') return At(i + 1, j);
            return At(i + 1, j + 1);
        }
        if (p == '*') {
            if (At(i + 1, j)) return true;
            if (end) return false;
            if (next == '.' && j == finalDot) return false;  // stops at the last dot
            return At(i, j + 1);
        }
        if (p == '.' && (next == '?' || next == '*' || next == 0)) {  // a dot, or the end
            if (end) return At(i + 1, j);
            return c == '.' && At(i + 1, j + 1);
        }
        return !end && Lower(c) == Lower(p) && At(i + 1, j + 1);
    }
};

void CheckLocal(const std::string &pattern, const std::string &name) {
    if (pattern.size() > 64 || name.size() > 64) return;
    Plain plain{pattern, name, name.rfind('.'), {}};
    bool expected = plain.At(0, 0);
    bool got = PosixWildcardMatch(pattern.c_str(), name.c_str()) == 1;
    FUZZ_CHECK(got == expected, "\"%s\" against \"%s\": %d, read plainly %d",
               Shown(pattern).c_str(), Shown(name).c_str(), got, expected);
}

// ---- the name list ---------------------------------------------------------------------

struct ListOutcome {
    int ok;
    std::string generated, error;
};

const std::string &GeneratedPath() {
    static std::string path = FuzzDir() + "/names.tm2";
    return path;
}

PlatWindow Window() {
    static PlatWindow w = LoopCreateWindow(nullptr);
    return w;
}

// Every line whole, and each RETR or DELR of a name the pattern matches.
void CheckLines(QELTA *q, const std::string &text, int remoteDelete) {
    FUZZ_CHECK(text.size() >= 8 && text.compare(text.size() - 8, 8, "KILL 4\r\n") == 0,
               "no KILL at the end: %s", Shown(text).c_str());
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        FUZZ_CHECK(end != std::string::npos, "a line without its end");
        std::string line = text.substr(at, end - at);
        at = end + 2;
        FUZZ_CHECK(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                   "a line holds a line end or a zero: %s", Shown(line).c_str());
        if (line == "PORT" || line == "KILL 4") continue;
        std::string name;
        if (remoteDelete) {
            FUZZ_CHECK(line.compare(0, 5, "DELR ") == 0, "not a delete: %s", Shown(line).c_str());
            name = line.substr(5 + strlen(q->RemoteName));
            FUZZ_CHECK(line.size() - 5 <= 120, "a DELE line would not fit: %s", Shown(line).c_str());
        } else {
            FUZZ_CHECK(line.compare(0, 5, "RETR ") == 0, "not a retrieval: %s", Shown(line).c_str());
            size_t local = line.find(" C:\\in\\");
            FUZZ_CHECK(local != std::string::npos && line.back() == ' ', "bad RETR: %s", Shown(line).c_str());
            name = line.substr(5 + strlen(q->RemoteName), local - 5 - strlen(q->RemoteName));
            FUZZ_CHECK(line.substr(local + 7) == name + " ", "names differ: %s", Shown(line).c_str());
            FUZZ_CHECK(name.find_first_of("<>:\"|?*") == std::string::npos, "no local name: %s",
                       Shown(name).c_str());
        }
        FUZZ_CHECK(EvaluatePattern(q->NamePattern, name.c_str(), nullptr) == 1,
                   "\"%s\" does not match \"%s\"", Shown(name).c_str(), q->NamePattern);
    }
}

ListOutcome RunList(int remoteDelete, const std::string &pattern, const std::string &list, size_t piece) {
    static QELTA *q = new QELTA;
    static char buffer[512];
    BlankSession(q);
    q->DataBuffer = buffer;
    q->BlockSize = sizeof buffer;
    q->GeneratingCommand = remoteDelete ? CMD_DELR : CMD_MGET;
    q->CommandId = CMD_NLST;
    q->GeneratedActive = 1;
    q->ReturnIndex = 4;
    std::string argument = "d/" + pattern + (remoteDelete ? "" : " C:\\in");
    CopyCut(q->Argument, sizeof q->Argument, argument.c_str());
    q->GeneratedScriptHandle = open(GeneratedPath().c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(q->GeneratedScriptHandle >= 0, "cannot make the generated file");
    ListOutcome out{0, "", ""};
    char line[160];
    if (PrepareNameList(q, "NLST", line, sizeof line)) {
        out.ok = 1;
        for (size_t at = 0; out.ok && at < list.size(); at += piece)
            out.ok = ParseNameList(Window(), q, list.data() + at, std::min(piece, list.size() - at));
        if (out.ok) out.ok = EndNameList(Window(), q, 0);
    }
    FUZZ_CHECK(Terminated(q->ErrorText, sizeof q->ErrorText), "ErrorText unterminated");
    FUZZ_CHECK(out.ok || q->ErrorText[0] != 0, "a failure without a text");
    out.error = q->ErrorText;
    close((int)q->GeneratedScriptHandle);
    out.generated = FileBytes(GeneratedPath());
    if (out.ok) CheckLines(q, out.generated, remoteDelete);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int mode = data[0];
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t nul = rest.find('\0');
    if (nul == std::string::npos) return 0;
    std::string pattern = rest.substr(0, nul), list = rest.substr(nul + 1);
    if (mode & 32) {
        if (list.find('\0') == std::string::npos) CheckLocal(pattern, list);
        return 0;
    }
    // The pattern is the last part of a transfer argument: no separator,
    // blank or drive colon of its own.
    std::string plain;
    for (char c : pattern)
        if (!strchr("/\\ :", c)) plain.push_back(c);
    pattern = plain;
    size_t piece = (size_t)((mode >> 1) & 15) + 1;
    ListOutcome whole = RunList(mode & 1, pattern, list, list.size() + 1);
    ListOutcome pieces = RunList(mode & 1, pattern, list, piece);
    FUZZ_CHECK(whole.ok == pieces.ok && whole.generated == pieces.generated &&
                   whole.error == pieces.error,
               "whole and in pieces of %zu differ:\n  %d %s %s\n  %d %s %s", piece, whole.ok,
               Shown(whole.generated).c_str(), whole.error.c_str(), pieces.ok,
               Shown(pieces.generated).c_str(), pieces.error.c_str());
    return 0;
}
