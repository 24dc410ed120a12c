// Resume=1: a transfer cut part-way continues where it stopped, and only
// when what is kept is known to be a part of the same file. A retrieval's
// part stays beside the destination with a record of its source (host,
// user, remote name, the server's SIZE and MDTM); an upload's record lives
// beside the script. Before the transfer's own line, SIZE and MDTM are
// asked and compared with the record, and REST (always the line right
// before RETR or STOR) continues it; anything that does not match starts
// from zero and the log says why.
#ifndef QELTA_TRANSFER_RESUME_H
#define QELTA_TRANSFER_RESUME_H

#include <cstddef>
#include <cstdint>

#include "session/session.h"

// The exchange under way before the transfer's own line (q->Resume.Step).
enum {
    RESUME_STEP_NONE,
    RESUME_STEP_SIZE,         // retrieval: SIZE sent
    RESUME_STEP_MDTM,         // retrieval: MDTM sent
    RESUME_STEP_REST,         // retrieval: REST sent
    RESUME_STEP_UPLOAD_SIZE,  // upload: SIZE sent
    RESUME_STEP_UPLOAD_REST,  // upload: REST sent
};

// ---- Reading the server's lines and the records (outside bytes) -----------------

// The size of a "213 <digits>" line; -1 when it is not exactly that.
int64_t ReadSizeReply(const char *line, size_t n);
// The time of a "213 YYYYMMDDHHMMSS[.fff]" line, into out: 1, or 0 when
// it is not exactly that (out then "").
int ReadTimeReply(const char *line, size_t n, char *out, size_t size);

// What a record says: the transfer it belongs to and the state of its
// source when it began. Numbers not known are -1, texts "".
struct PartRecord {
    char Host[160];
    long Port;
    char User[160];
    char Remote[160];
    int64_t Size;    // the server's SIZE (retrieval)
    char Time[32];   // its MDTM (retrieval)
    char Local[160]; // the local file (upload)
    int64_t LocalSize, LocalTime, Sent;
};
// The record as text under [section], each text in quotes so that its
// blanks and quotes read back as they were; 0 when it does not fit, or a
// text holds a line end (it could not be read back the same).
int FormatPartRecord(const PartRecord *r, const char *section, char *out, size_t size);
// Reads it back: 1 when every key is there, well-formed and within its
// field; 0 otherwise (the record is then taken as none).
int ReadPartRecord(const char *text, size_t n, const char *section, PartRecord *r);

// ---- The executors' hooks -------------------------------------------------------

enum { RESUME_OFF = 0, RESUME_BEGUN = 1, RESUME_FAILED = -1 };
// The retrieval under way (its names split, line the RETR line) goes
// through the resume steps: RESUME_OFF when it does not (the file is then
// the executor's to open), RESUME_BEGUN when SIZE went out, RESUME_FAILED
// with ErrorText set.
int ResumeRetrievalWanted(const QELTA *q);
int StartRetrievalResume(QELTA *q, const char *line);
// The same for an upload (STOR, not STOU or APPE), its local file open:
// RESUME_OFF also when no record of this upload is there (one is then
// written and the STOR goes out as it is).
int StartUploadResume(QELTA *q, const char *line);
// A reply while q->Resume.Step is not NONE: AWAIT_PENDING while the steps
// go on, AWAIT_MATCHED when q->Resume.Line is due (the local file then
// open and placed), AWAIT_FAILED with ErrorText set.
int ResumeReply(PlatWindow hDlg, QELTA *q);

// The retrieval's file took its name: its record goes, and the parts that
// killed runs left of the same destination.
void RetrievalCommitted(QELTA *q, const char *part);
// The retrieval's file is given up: 1 when it is kept for the next try
// (closed, its record with it), 0 when the caller removes it.
int KeepRetrievalPart(QELTA *q);
// The record of the part at path, if any, goes with it.
void RemovePartRecord(const char *part);
// The upload was accepted whole: its record goes.
void UploadCommitted(QELTA *q);

// The transfer under way stops here and may be tried again (a retry
// closes the connection, or the run ends): a retrieval's recorded part is
// kept and closed, an upload's record notes how much was sent. Whatever is
// not for resuming goes as before. Safe to call when nothing is under way.
void SuspendTransfer(QELTA *q);

#endif
