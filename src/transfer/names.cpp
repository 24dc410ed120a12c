// The two file names of a transfer argument, and how the dialog shows them.
#include <cstring>

#include "base/text.h"
#include "session/commandids.h"
#include "transfer/transfer.h"

static const size_t ErrorLineMax = sizeof(((QELTA *)0)->ErrorText) - 1;

// prefix, then subject, then suffix, cut inside the subject (ending it in
// "...") so that the whole line, with its line end, fits ErrorText.
void FormatNameFailure(QELTA *q, const char *prefix, const char *subject, const char *suffix) {
    size_t room = ErrorLineMax - strlen(prefix) - strlen(suffix);
    char cut[sizeof q->ErrorText];
    if (strlen(subject) <= room) {
        COPYCUT(cut, subject);
    } else {
        CopyCut(cut, room - 3 + 1, subject);
        AppendCut(cut, sizeof cut, "...");
    }
    FORMATCUT(q->ErrorText, "%s%s%s", prefix, cut, suffix);
}

static int Refuse(QELTA *q, const char *why) {
    char suffix[96];
    FORMATCUT(suffix, "\": %s\r\n", why);
    FormatNameFailure(q, "Can not split the file names in \"", q->Argument, suffix);
    return 0;
}

static int IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The drive colon: the second colon of the argument when there is one,
// else the first; -1 when there is none.
static int DriveColon(const char *a) {
    const char *c1 = strchr(a, ':');
    if (!c1) return -1;
    const char *c2 = strchr(c1 + 1, ':');
    return (int)((c2 ? c2 : c1) - a);
}

// One character (normally the blank) stands between the two names.
static int RemoteLength(int colon) { return colon - 2 > 0 ? colon - 2 : 0; }

const char *FileNamesProblem(const char *a, int commandId) {
    int colon = DriveColon(a);
    if (colon < 1 || !IsLetter(a[colon - 1])) return "no local path with a drive letter";
    // MPUT alone may be given only the local pattern: the files then go to
    // the current remote directory.
    if (RemoteLength(colon) == 0 && commandId != CMD_MPUT)
        return "no remote name before the local path";
    if (RemoteLength(colon) >= (int)sizeof(((QELTA *)0)->RemoteName))
        return "the remote name is too long";
    if (strlen(a + colon - 1) >= sizeof(((QELTA *)0)->LocalName))
        return "the local name is too long";
    return 0;
}

int SplitFileNames(QELTA *q) {
    q->RemoteName[0] = 0;
    q->LocalName[0] = 0;
    const char *a = q->Argument;
    const char *why = FileNamesProblem(a, q->CommandId);
    if (why) return Refuse(q, why);
    int colon = DriveColon(a);
    int remoteLength = RemoteLength(colon);
    memcpy(q->RemoteName, a, (size_t)remoteLength);
    q->RemoteName[remoteLength] = 0;
    COPYCUT(q->LocalName, a + colon - 1);
    if (q->CommandId != CMD_STOR) return 1;
    q->LocalFileHandle = PlatFileOpenRead(q->LocalName);
    if (q->LocalFileHandle != -1) return 1;
    FormatNameFailure(q, "_open()=HFILE_ERROR with Filename=", q->LocalName, "\r\n");
    return 0;
}

// name whole when it has at most keep + 4 characters, else ".." and its
// last keep characters.
static void ShowShortened(PlatWindow hDlg, const QELTA *q, int place, const char *name,
                          size_t keep) {
    size_t n = strlen(name);
    if (n <= keep + 4) {
        ViewShow(q, hDlg, place, name);
        return;
    }
    char text[64];
    FORMATCUT(text, "..%s", name + n - keep);
    ViewShow(q, hDlg, place, text);
}

enum { RemoteKept = 31, LocalKept = 25 };

void ShowFileNames(PlatWindow hDlg, const QELTA *q, const char *source, const char *destination,
                   int remoteIsSource) {
    ShowShortened(hDlg, q, VIEW_SOURCE, source, remoteIsSource ? RemoteKept : LocalKept);
    ShowShortened(hDlg, q, VIEW_DESTINATION, destination, remoteIsSource ? LocalKept : RemoteKept);
}

// ---- Local scans (MPUT, DELL) ------------------------------------------------------

int CutToFolder(char *pattern) {
    char *last = nullptr;
    for (char *p = pattern; *p; p++)
        if (*p == '\\' || *p == '/') last = p;
    if (last == nullptr) return 0;
    *last = 0;
    return 1;
}

// A file listed but not readable now (in use elsewhere) is passed over.
int ReadableNow(const char *path) {
    PlatFile f = PlatFileOpenRead(path);
    if (f == -1) return 0;
    PlatFileClose(f);
    return 1;
}
