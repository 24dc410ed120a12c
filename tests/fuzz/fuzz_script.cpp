// The command reader over an arbitrary script, or an arbitrary generated
// command file, read command by command to its end.
//
// Input: [flags] body. Flags bit 0: long key form (FTPCommandN); bit 1:
// the body is a generated command file; bit 2: passive mode is on;
// bit 3: TYPE I is to be restored after a name list; bit 4: the command
// before was a name list; bits 5-7: the connection state for CheckPreReq.
#include <strings.h>

#include <cstdint>
#include <set>
#include <vector>

#include "base/text.h"
#include "fuzz_common.h"
#include "platform/posix/posix_internal.h"
#include "script/script.h"

namespace {

struct Files {
    std::string script, generated;        // POSIX paths
    std::string scriptDos, generatedDos;  // as the core names them
};

const Files &Paths() {
    static Files f = [] {
        unsetenv("QELTA_DRIVE_C");
        Files r;
        r.script = FuzzDir() + "/job.ftp";
        r.generated = FuzzDir() + "/job.tm2";
        char dos[4096];
        if (!PosixUnmapPath(r.script.c_str(), dos, sizeof dos)) abort();
        r.scriptDos = dos;
        if (!PosixUnmapPath(r.generated.c_str(), dos, sizeof dos)) abort();
        r.generatedDos = dos;
        return r;
    }();
    return f;
}

bool InBody(const std::string &body, const char *text) {
    return text[0] == 0 || memmem(body.data(), body.size(), text, strlen(text)) != nullptr;
}

// What every read leaves, whatever the line was.
void CheckCommand(QELTA *q, int id, int maxId, const std::string &body) {
    FUZZ_CHECK(id == q->CommandId, "ReadCommand returned %d, CommandId %d", id, q->CommandId);
    FUZZ_CHECK(id >= 0 && id <= maxId, "command id %d", id);
    FUZZ_CHECK(Terminated(q->Argument, sizeof q->Argument), "Argument unterminated");
    FUZZ_CHECK(q->IconKind >= 1 && q->IconKind <= 4, "icon kind %d", q->IconKind);
    // The argument is a piece of a line of the file, cut or not; the one
    // exception is the TYPE I put back after a name list.
    bool restored = id == CMD_TYPE && strcmp(q->Argument, "I") == 0;
    FUZZ_CHECK(restored || InBody(body, q->Argument), "argument \"%s\" is not in the file",
               Shown(q->Argument).c_str());
    q->ErrorText[0] = 0;
    CheckPreReq(id, q);
    FUZZ_CHECK(Terminated(q->ErrorText, sizeof q->ErrorText), "ErrorText unterminated");
}

// The command numbers to read: the first few, and every number a line of
// the body names as its key in either form.
std::vector<int> Numbers(const std::string &body) {
    std::set<int> found;
    for (int n = 0; n <= 12; n++) found.insert(n);
    size_t i = 0;
    while (i < body.size() && found.size() < 64) {
        size_t end = body.find('\n', i);
        if (end == std::string::npos) end = body.size();
        size_t p = i;
        while (p < end && (body[p] == ' ' || body[p] == '\t')) p++;
        if (end - p >= 10 && strncasecmp(body.c_str() + p, "FTPCommand", 10) == 0) p += 10;
        long n = 0;
        size_t digits = p;
        while (p < end && body[p] >= '0' && body[p] <= '9' && n < 100000) n = n * 10 + (body[p++] - '0');
        if (p > digits) found.insert((int)n);
        i = end + 1;
    }
    return std::vector<int>(found.begin(), found.end());
}

void ReadScript(QELTA *q, const std::string &body) {
    WriteBytes(Paths().script, body);
    CopyCut(q->ScriptPath, sizeof q->ScriptPath, Paths().scriptDos.c_str());
    for (int n : Numbers(body)) {
        q->CommandIndex = n;
        int id = ReadCommand(q);
        CheckCommand(q, id, CMD_ID_COUNT - 1, body);
        FUZZ_CHECK(q->CommandIndex == n, "a script line moved the index to %d", q->CommandIndex);
    }
}

void ReadGenerated(QELTA *q, const std::string &body) {
    const Files &f = Paths();
    WriteBytes(f.generated, body);
    CopyCut(q->GeneratedScriptPath, sizeof q->GeneratedScriptPath, f.generatedDos.c_str());
    q->GeneratedScriptHandle = PlatFileOpen(q->GeneratedScriptPath);
    FUZZ_CHECK(q->GeneratedScriptHandle != -1, "cannot open the generated file");
    q->GeneratedActive = 1;
    q->GeneratedReadOffset = 0;
    q->CommandIndex = 5;
    // Each line moves the reader on by at least one byte; a name list on
    // the last line waits for the lines it will append.
    for (size_t round = 0;; round++) {
        FUZZ_CHECK(round <= body.size() + 2, "the reader does not move on (offset %d)",
                   q->GeneratedReadOffset);
        q->CommandIndex++;
        int id = ReadCommand(q);
        CheckCommand(q, id, CMD_BAD_GENERATED_LINE, body);
        FUZZ_CHECK(q->CommandIndex == 5, "a generated line moved the index to %d", q->CommandIndex);
        if (!q->GeneratedActive) {
            FUZZ_CHECK(q->GeneratedScriptHandle == -1, "the finished file is still open");
            FUZZ_CHECK(access(f.generated.c_str(), F_OK) != 0, "the finished file is still there");
            return;
        }
        int64_t at = PlatFileSeek(q->GeneratedScriptHandle, 0, QSEEK_CUR);
        FUZZ_CHECK(at == q->GeneratedReadOffset, "offset %d, file position %ld",
                   q->GeneratedReadOffset, at);
        FUZZ_CHECK(at >= 0 && (size_t)at <= body.size(), "position %ld of %zu", at, body.size());
        if (id == CMD_NLST && (size_t)at == body.size() && !q->RestoreTypeI) break;
    }
    PlatFileClose(q->GeneratedScriptHandle);
    q->GeneratedScriptHandle = -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static QELTA *q = new QELTA();
    BlankSession(q);
    uint8_t flags = data[0];
    q->LongKeyForm = flags & 1;
    q->PASVMode = (flags >> 2) & 1;
    q->RestoreTypeI = (flags >> 3) & 1;
    q->CommandId = (flags & 16) ? CMD_NLST : 0;
    q->Connected = (flags >> 5) & 1;
    q->UserAccepted = (flags >> 6) & 1;
    q->LoggedIn = (flags >> 7) & 1;
    std::string body((const char *)data + 1, size - 1);
    if (flags & 2)
        ReadGenerated(q, body);
    else
        ReadScript(q, body);
    return 0;
}
