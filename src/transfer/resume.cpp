// Resume=1: the exchanges before a transfer's own line, and the part that
// a failed retrieval keeps. Nothing is continued that cannot be shown to
// be a part of the same file: a part continues only when its record names
// the same server, user and remote file with the same SIZE and MDTM as
// now; an upload only when this program began it (its record, beside the
// script: one run of a script at a time, so the record has one writer, and
// it never lands in a folder that an MPUT sends) from the same unchanged
// local file, and the server holds no more than was sent.
#include "transfer/resume.h"

#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"
#include "session/command.h"
#include "session/settings.h"
#include "transfer/dataio.h"
#include "transfer/executors.h"

static const char PartSection[] = "Part";
static const char UploadSection[] = "Upload";

static void Say(QELTA *q, const char *text) {
    char line[400];
    FORMATCUT(line, "Resume: %s\r\n", text);
    LogText(q, line);
}

// The server's last line without its line end, for the log.
static const char *ReplyText(const QELTA *q, char *out, size_t size) {
    CopyCut(out, size, q->LastReplyLine);
    out[strcspn(out, "\r\n")] = 0;
    return out;
}

static int SendStep(QELTA *q, int step, const char *verb, const char *arg) {
    char line[200], sendError[80];
    FORMATCUT(sendError, "Winsock Error %%d On send() of %s\r\n", verb);
    if (!FORMATCUT(line, "%s %s\r\n", verb, arg)) {
        FORMATCUT(q->ErrorText, "Remote name too long for one line in %s\r\n", verb);
        return 0;
    }
    q->Resume.Step = step;
    return SendControlLine(q, line, nullptr, "User Selected No to Debug Message\r\n", sendError);
}

// The code of the step's reply into code: 1, 0 while it is not complete,
// -1 with ErrorText set. A 421 is the server going away, not an answer.
static int StepReply(QELTA *q, char code[5]) {
    if (!FillControlBuffer(q)) return -1;
    if (q->ReplyBuffer[0] == 0) return 0;
    memcpy(code, q->ReplyBuffer, 4);
    code[4] = 0;
    q->ReplyBuffer[0] = 0;
    ReplyDecided(q);
    if (strncmp(code, "421", 3) != 0) return 1;
    COPYCUT(q->ErrorText, q->LastReplyLine);
    return -1;
}

// The line and the remote name it names (what follows the verb): under
// UploadTempName that is the temporary name, the one to continue.
static int TakeLine(QELTA *q, const char *line) {
    const char *name = strchr(line, ' ');
    if (name == nullptr || !COPYCUT(q->Resume.Line, line) || !COPYCUT(q->Resume.Target, name + 1))
        return 0;
    q->Resume.Target[strcspn(q->Resume.Target, "\r\n")] = 0;
    return 1;
}

// ---- Records on disk ------------------------------------------------------------------

static int LoadRecord(const char *path, const char *section, PartRecord *r) {
    PlatFile f = PlatFileOpenRead(path);
    if (f == -1) return 0;
    char text[2048];
    long n = PlatFileRead(f, text, sizeof text);
    PlatFileClose(f);
    return n > 0 && ReadPartRecord(text, (size_t)n, section, r);
}

// Written whole in one write: a kill part-way leaves a record that does
// not read back, which matches nothing.
static int SaveRecord(const char *path, const char *section, const PartRecord *r) {
    char text[2048];
    if (!FormatPartRecord(r, section, text, sizeof text)) return 0;
    PlatFile f = PlatFileCreate(path);
    if (f == -1) return 0;
    size_t n = strlen(text);
    int ok = PlatFileWrite(f, text, n) == (long)n;
    PlatFileClose(f);
    return ok;
}

// "dest.N.qpart" has its record in "dest.N.qrec".
static int RecordPathOf(const char *part, char *out, size_t size) {
    size_t n = strlen(part);
    if (n < 6 || strcmp(part + n - 6, ".qpart") != 0) return 0;
    return FormatCut(out, size, "%.*s.qrec", (int)(n - 6), part);
}

void RemovePartRecord(const char *part) {
    char record[sizeof(((QELTA *)0)->Receive.TempPath)];
    if (RecordPathOf(part, record, sizeof record)) PlatFileDelete(record);
}

static void Identify(const QELTA *q, PartRecord *r) {
    memset(r, 0, sizeof *r);
    COPYCUT(r->Host, q->HostName);
    r->Port = q->ServerPort;
    COPYCUT(r->User, q->Login.User);
    COPYCUT(r->Remote, q->Resume.Target);
    r->Size = r->LocalSize = r->LocalTime = r->Sent = -1;
}

static int SameTransfer(const PartRecord *a, const PartRecord *b) {
    return strcmp(a->Host, b->Host) == 0 && a->Port == b->Port && strcmp(a->User, b->User) == 0 &&
           strcmp(a->Remote, b->Remote) == 0 && strcmp(a->Local, b->Local) == 0;
}

// ---- Retrieval ----------------------------------------------------------------------

int ResumeRetrievalWanted(const QELTA *q) {
    return SettingOn(q, SET_RESUME) && q->TransferType == 'I' && q->Receive.Current != nullptr &&
           q->Receive.Current->Retrieval;
}

int StartRetrievalResume(QELTA *q, const char *line) {
    q->Resume.Step = RESUME_STEP_NONE;
    q->Resume.Offset = 0;
    if (!ResumeRetrievalWanted(q) || !TakeLine(q, line)) return RESUME_OFF;
    // A try again in this run: the part of the last one is closed (kept
    // when recorded), so that it can be found and taken again.
    AbandonReceiveFile(q);
    q->Resume.KeepPart = 0;
    q->Resume.RemoteSize = -1;
    q->Resume.RemoteTime[0] = 0;
    return SendStep(q, RESUME_STEP_SIZE, "SIZE", q->Resume.Target) == OUTCOME_WORKING ? RESUME_BEGUN : RESUME_FAILED;
}

static void WantedPart(const QELTA *q, PartRecord *r) {
    Identify(q, r);
    r->Size = q->Resume.RemoteSize;
    COPYCUT(r->Time, q->Resume.RemoteTime);
}

// A new part from byte zero; recorded when the source is known, so that a
// kill part-way leaves a part the next run can continue.
static int OpenFreshPart(QELTA *q) {
    q->Resume.Offset = 0;
    q->Resume.KeepPart = 0;
    if (!OpenReceiveFile(q)) return AWAIT_FAILED;
    PartRecord want;
    WantedPart(q, &want);
    char record[sizeof q->Receive.TempPath];
    if (want.Size >= 0 && RecordPathOf(q->Receive.TempPath, record, sizeof record) &&
        SaveRecord(record, PartSection, &want))
        q->Resume.KeepPart = 1;
    return AWAIT_MATCHED;
}

static void DropPart(QELTA *q) {
    if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    PlatFileDelete(q->Receive.TempPath);
    RemovePartRecord(q->Receive.TempPath);
    q->Receive.TempPath[0] = 0;
    q->Resume.KeepPart = 0;
}

// The first part in the destination's row whose record names this
// transfer and that no living run writes: opened as the retrieval's file.
static int FindKeptPart(QELTA *q, const PartRecord *want, PartRecord *had) {
    char part[sizeof q->Receive.TempPath], record[sizeof part];
    for (int n = 1; n < 1000; n++) {
        if (!FormatPartPath(part, sizeof part, q->LocalName, n) || PlatFileSize(part) < 0) return 0;
        if (!RecordPathOf(part, record, sizeof record) || !LoadRecord(record, PartSection, had) ||
            !SameTransfer(want, had))
            continue;
        PlatFile f = PlatFileOpenUnused(part);
        if (f == -1) continue;
        q->LocalFileHandle = f;
        COPYCUT(q->Receive.TempPath, part);
        return 1;
    }
    return 0;
}

// Why the kept part cannot be continued, into why; 0 when it can.
static int PartMismatch(const PartRecord *want, const PartRecord *had, int64_t kept, char *why,
                        size_t size) {
    if (had->Size != want->Size) {
        FormatCut(why, size, "%s changed on the server (size %lld, was %lld)", want->Remote,
                  (long long)want->Size, (long long)had->Size);
    } else if (strcmp(had->Time, want->Time) != 0) {
        FormatCut(why, size, "%s changed on the server (time %s, was %s)", want->Remote,
                  want->Time[0] ? want->Time : "unknown", had->Time[0] ? had->Time : "unknown");
    } else if (kept < 0 || kept > want->Size) {
        FormatCut(why, size, "the part of %s holds %lld bytes of %lld", want->Remote, (long long)kept,
                  (long long)want->Size);
    } else {
        return 0;
    }
    return 1;
}

static int DecidePart(QELTA *q) {
    PartRecord want, had;
    WantedPart(q, &want);
    q->ExpectedSize = (uint64_t)want.Size;
    if (!FindKeptPart(q, &want, &had)) return OpenFreshPart(q);
    int64_t kept = PlatFileSeek(q->LocalFileHandle, 0, QSEEK_END);
    char why[300], text[360];
    if (PartMismatch(&want, &had, kept, why, sizeof why)) {
        FORMATCUT(text, "%s; from byte zero", why);
        Say(q, text);
        DropPart(q);
        return OpenFreshPart(q);
    }
    if (kept == 0) {
        DropPart(q);
        return OpenFreshPart(q);
    }
    q->Resume.Offset = (uint64_t)kept;
    q->Resume.KeepPart = 1;
    char arg[24];
    FORMATCUT(arg, "%lld", (long long)kept);
    return OutcomeAwait(SendStep(q, RESUME_STEP_REST, "REST", arg));
}

static int SizeAnswered(QELTA *q, const char *code) {
    const char *line = q->LastReplyLine;
    q->Resume.RemoteSize = strcmp(code, "213 ") == 0 ? ReadSizeReply(line, strlen(line)) : -1;
    if (q->Resume.RemoteSize >= 0)
        return OutcomeAwait(SendStep(q, RESUME_STEP_MDTM, "MDTM", q->Resume.Target));
    char reply[128], text[300];
    FORMATCUT(text, "no SIZE of %s (%s): nothing kept can be checked, from byte zero", q->Resume.Target,
              ReplyText(q, reply, sizeof reply));
    Say(q, text);
    return OpenFreshPart(q);
}

// A server without MDTM leaves the time unknown: the size alone decides.
static int TimeAnswered(QELTA *q, const char *code) {
    const char *line = q->LastReplyLine;
    if (strcmp(code, "213 ") != 0 ||
        !ReadTimeReply(line, strlen(line), q->Resume.RemoteTime, sizeof q->Resume.RemoteTime))
        q->Resume.RemoteTime[0] = 0;
    return DecidePart(q);
}

static int RestAnswered(QELTA *q, const char *code) {
    char reply[128], text[300];
    if (strcmp(code, "350 ") == 0) {
        q->Receive.BytesReceived = q->Resume.Offset;
        FORMATCUT(text, "%s continues at byte %llu of %lld", q->Resume.Target,
                  (unsigned long long)q->Resume.Offset, (long long)q->Resume.RemoteSize);
        Say(q, text);
        return AWAIT_MATCHED;
    }
    FORMATCUT(text, "REST refused (%s); %s from byte zero", ReplyText(q, reply, sizeof reply),
              q->Resume.Target);
    Say(q, text);
    DropPart(q);
    return OpenFreshPart(q);
}

void RetrievalCommitted(QELTA *q, const char *part) {
    RemovePartRecord(part);
    q->Resume.KeepPart = 0;
    if (!SettingOn(q, SET_RESUME)) return;
    // The parts of killed runs of the same destination: one the taken
    // part's number skips over is not the row's end.
    char other[sizeof q->Receive.TempPath];
    for (int n = 1; n < 1000; n++) {
        if (!FormatPartPath(other, sizeof other, q->LocalName, n)) return;
        if (strcmp(other, part) == 0) continue;
        if (PlatFileSize(other) < 0) return;
        if (PlatFileDeleteUnused(other)) RemovePartRecord(other);
    }
}

int KeepRetrievalPart(QELTA *q) {
    if (!q->Resume.KeepPart || q->Receive.TempPath[0] == 0) return 0;
    q->Resume.KeepPart = 0;
    if (q->LocalFileHandle != -1) PlatFileClose(q->LocalFileHandle);
    q->LocalFileHandle = -1;
    q->Receive.TempPath[0] = 0;
    return 1;
}

// ---- Upload --------------------------------------------------------------------------

static int UploadRecordPath(const QELTA *q, char *out, size_t size) {
    return q->ScriptPath[0] != 0 && FormatCut(out, size, "%s.qup", q->ScriptPath);
}

static void WantedUpload(const QELTA *q, PartRecord *r) {
    Identify(q, r);
    COPYCUT(r->Local, q->LocalName);
    r->LocalSize = PlatFileSize(q->LocalName);
    r->LocalTime = PlatFileModified(q->LocalName);
}

// Begun afresh: recorded, so that a cut or a kill from here on can be
// continued. A continued one is recorded again with what it may now send.
static void RecordUpload(QELTA *q, const char *path, const PartRecord *want) {
    q->Resume.UploadRecorded = SaveRecord(path, UploadSection, want);
}

int StartUploadResume(QELTA *q, const char *line) {
    q->Resume.Step = RESUME_STEP_NONE;
    q->Resume.UploadRecorded = 0;
    q->Resume.Offset = 0;
    char path[sizeof q->ScriptPath + 8];
    if (!SettingOn(q, SET_RESUME) || q->TransferType != 'I' || q->StouMode == 1 || q->AppeMode == 1 ||
        !UploadRecordPath(q, path, sizeof path) || !TakeLine(q, line))
        return RESUME_OFF;
    PartRecord want, had;
    WantedUpload(q, &want);
    int recorded = LoadRecord(path, UploadSection, &had) && SameTransfer(&want, &had);
    if (recorded && had.LocalSize == want.LocalSize && had.LocalTime == want.LocalTime) {
        // What the server may hold of it: what was sent, or the whole file.
        q->Resume.RemoteSize = had.Sent >= 0 ? had.Sent : want.LocalSize;
        RecordUpload(q, path, &want);
        return SendStep(q, RESUME_STEP_UPLOAD_SIZE, "SIZE", q->Resume.Target) == OUTCOME_WORKING ? RESUME_BEGUN : RESUME_FAILED;
    }
    if (recorded) {
        char text[300];
        FORMATCUT(text, "%s changed since its upload began; sending it from byte zero", q->LocalName);
        Say(q, text);
    }
    RecordUpload(q, path, &want);
    return RESUME_OFF;
}

static int UploadSizeAnswered(QELTA *q, const char *code) {
    const char *line = q->LastReplyLine;
    int64_t has = strcmp(code, "213 ") == 0 ? ReadSizeReply(line, strlen(line)) : -1;
    char reply[128], text[300];
    if (has < 0) {
        FORMATCUT(text, "no SIZE of %s on the server (%s); sending it from byte zero", q->Resume.Target,
                  ReplyText(q, reply, sizeof reply));
    } else if (has > q->Resume.RemoteSize) {
        FORMATCUT(text, "the server has %lld bytes of %s, more than were sent (%lld); sending it from byte zero",
                  (long long)has, q->Resume.Target, (long long)q->Resume.RemoteSize);
    } else if (has == 0) {
        return AWAIT_MATCHED;
    } else {
        q->Resume.Offset = (uint64_t)has;
        char arg[24];
        FORMATCUT(arg, "%lld", (long long)has);
        return OutcomeAwait(SendStep(q, RESUME_STEP_UPLOAD_REST, "REST", arg));
    }
    Say(q, text);
    return AWAIT_MATCHED;
}

// REST refused: APPE adds to what SIZE said the server has, the one case
// an APPE may follow a cut (the next try asks SIZE again first).
static int UploadRestAnswered(QELTA *q, const char *code) {
    char reply[128], text[300];
    int rest = strcmp(code, "350 ") == 0;
    if (!rest && !FORMATCUT(q->Resume.Line, "APPE %s\r\n", q->Resume.Target)) return AWAIT_FAILED;
    if (PlatFileSeek(q->LocalFileHandle, (int64_t)q->Resume.Offset, QSEEK_SET) != (int64_t)q->Resume.Offset) {
        FORMATCUT(q->ErrorText, "_llseek() failed with Filename=%s\r\n", q->LocalName);
        return AWAIT_FAILED;
    }
    q->Send.BytesSent = q->Resume.Offset;
    if (rest)
        FORMATCUT(text, "%s continues at byte %llu", q->Resume.Target, (unsigned long long)q->Resume.Offset);
    else
        FORMATCUT(text, "REST refused (%s); APPE of %s from byte %llu", ReplyText(q, reply, sizeof reply),
                  q->Resume.Target, (unsigned long long)q->Resume.Offset);
    Say(q, text);
    return AWAIT_MATCHED;
}

void UploadCommitted(QELTA *q) {
    char path[sizeof q->ScriptPath + 8];
    if (q->Resume.UploadRecorded && UploadRecordPath(q, path, sizeof path)) PlatFileDelete(path);
    q->Resume.UploadRecorded = 0;
}

// ---- Both -------------------------------------------------------------------------------

int ResumeReply(PlatWindow hDlg, QELTA *q) {
    (void)hDlg;
    typedef int (*Answered)(QELTA *, const char *);
    static const Answered Steps[] = {nullptr, SizeAnswered, TimeAnswered, RestAnswered,
                                     UploadSizeAnswered, UploadRestAnswered};
    char code[5];
    int got = StepReply(q, code);
    if (got == 0) return AWAIT_PENDING;
    if (got < 0) return ControlConnectionLost(q) || ReplyCodeTransient(q->ErrorText) ? AWAIT_TRANSIENT : AWAIT_FAILED;
    int step = q->Resume.Step;
    q->Resume.Step = RESUME_STEP_NONE;
    if (step <= RESUME_STEP_NONE || step > RESUME_STEP_UPLOAD_REST) return AWAIT_MATCHED;
    return Steps[step](q, code);
}

static void NoteSent(QELTA *q) {
    char path[sizeof q->ScriptPath + 8];
    PartRecord had;
    if (!UploadRecordPath(q, path, sizeof path) || !LoadRecord(path, UploadSection, &had)) return;
    had.Sent = (int64_t)q->Send.BytesSent;
    SaveRecord(path, UploadSection, &had);
}

void SuspendTransfer(QELTA *q) {
    q->Resume.Step = RESUME_STEP_NONE;
    if (q->Resume.UploadRecorded) NoteSent(q);
    q->Resume.UploadRecorded = 0;
    AbandonReceiveFile(q);
}
