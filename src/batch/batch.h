// Many files at once: the generated command file, the name list and its
// pattern, MGET and MGTC, the remote delete and MPUT.
//
// MGET, MGTC, a DELR with a wildcard and MPUT send nothing themselves: each
// writes the generated command file and the command reader takes the next
// commands from it. For the remote ones the file starts with an NLST line,
// whose executor appends a PORT and a RETR (or a DELR) per matching name of
// the server's name list and a closing KILL; MPUT writes its PORT and STOR
// lines from the local directory scan at once.
#ifndef QELTA_BATCH_H
#define QELTA_BATCH_H

#include <cstddef>

#include "session/session.h"

// ---- Many files at once ------------------------------------------------------
int ExecMGET(PlatWindow, QELTA *, int, unsigned, unsigned);  // MGET and MGTC
int ExecDELR(PlatWindow, QELTA *, int, unsigned, unsigned);
int ExecMPUT(PlatWindow, QELTA *, int, unsigned, unsigned);
// The name list of a generated run (MGET, MGTC, DELR).
int ExecNLST(PlatWindow, QELTA *, int, unsigned, unsigned);

// 1 when name matches pattern, without regard to case: '*' any run of
// characters, '?' exactly one; a run of literals after a '*' is matched at
// its first occurrence, without going back. A name that is empty or begins
// with '.' never matches, nor does anything match an empty pattern. With
// DebugEx the pair is traced.
int EvaluatePattern(const char *pattern, const char *name, QELTA *q);

// 1 when a remote name holds '*' or '?': a DELR of such a name deletes
// every name of the list that matches.
int IsWildcard(const char *s);

// ---- The generated command file --------------------------------------------------
// Creates it afresh (hidden) at GeneratedScriptPath into
// GeneratedScriptHandle. A path that names the script or a run file is
// refused: it would be emptied. 1, or 0 with ErrorText = failText.
int CreateGeneratedFile(QELTA *q, const char *failText);
// Appends text at the file's position; 1, or 0 with ErrorText set.
int AppendGenerated(QELTA *q, const char *text);
// The lines of one file, into out: 1, or 0 when they do not fit. dir ends
// in its separator or is empty; local is a folder without one.
int FormatRetrieveLines(char *out, size_t size, const char *dir, const char *name,
                        const char *local);
int FormatStoreLines(char *out, size_t size, const char *dir, const char *name, const char *local);
int FormatDeleteLine(char *out, size_t size, const char *dir, const char *name);
// The last line of a generated run: back to script line index.
int FormatKillLine(char *out, size_t size, int index);

// ---- The name list (the receiving executor's NLST row) --------------------------------
// Start: the NLST line for the generated run's argument; the pattern goes
// to NamePattern and RemoteName keeps the directory. 1, or 0 with
// ErrorText set.
int PrepareNameList(QELTA *q, const char *verb, char *line, size_t size);
// One block of the name list in DataBuffer: every complete line is
// matched and its lines generated; an incomplete last line is carried to
// the next block. 1, or 0 with ErrorText set.
int TakeNameListBlock(PlatWindow hDlg, QELTA *q, long count);
// The same for bytes from anywhere (tests).
int ParseNameList(PlatWindow hDlg, QELTA *q, const char *bytes, size_t n);
// The end of the name list (skipped: the server refused it with a
// tolerated 550): a last line without a line end is taken, then the KILL
// line, and the reader goes on with the first appended line.
int EndNameList(PlatWindow hDlg, QELTA *q, int skipped);

#endif
