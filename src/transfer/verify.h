// What a transfer checks once the server has called it complete: under
// Verify=1 the size (SIZE) and the server's hash of the file against a
// digest taken while the data moved; under UploadTempName=1 an upload's
// temporary name renamed to the real one (RNFR, RNTO), or removed (DELE)
// when the upload failed. The transfer executors call these at a few
// points; the state is q->Verify.
#ifndef QELTA_VERIFY_H
#define QELTA_VERIFY_H

#include <cstddef>

#include "session/session.h"

// What the steps after a transfer say: still under way (a line was sent
// and its reply is awaited), all done (the command may end well), or
// failed (ErrorText set).
enum { AFTER_WORKING, AFTER_DONE, AFTER_FAILED };

// FEAT is asked once per control connection under Verify=1, before its
// first data connection (PORT and PASV ask it, as they agree protection):
// the digest must be chosen before the first byte moves. AskFeatures
// sends it (1, or 0 with ErrorText); FeaturesReply reads its answer as
// AwaitReply does, a refusal meaning no features.
int FeaturesDue(const QELTA *q);
int AskFeatures(QELTA *q, const char *name);
int FeaturesAsking(const QELTA *q);
int FeaturesReply(QELTA *q);

// The temporary name of an upload under UploadTempName=1, in the same
// remote directory: "<remote>.qpart". 1 when it fits in size.
int RemoteTempName(const char *remote, char *out, size_t size);
// 1 when this STOR goes to a temporary name (not APPE or STOU).
int UploadUnderTempName(const QELTA *q);

// A transfer starts: the digest its blocks will go through is chosen and
// sent names the remote file as the transfer's line does.
void BeginTransferCheck(QELTA *q, int direction, const char *sent);
// Each block as it is written (a retrieval) or read (an upload).
inline void CheckBlock(QELTA *q, const char *data, size_t n) {
    if (q->Verify.Local.Kind != DIGEST_NONE) DigestUpdate(&q->Verify.Local, data, (size_t)n);
}
// The final reply and the drained close are in: the checks begin.
int BeginAfterTransfer(QELTA *q);
// A step is under way: control-connection events go to AfterTransferEvent.
int AfterTransferActive(const QELTA *q);
// The executor's outcome of a step's result: a lost connection is a
// failure that may pass, a mismatch or a refusal is not.
int AfterTransferOutcome(const QELTA *q, int after);
int AfterTransferEvent(QELTA *q, unsigned msg, unsigned ev);
// An upload failed with ErrorText set: its temporary file is removed
// first when one is due (AFTER_WORKING), else AFTER_FAILED.
int UploadFailed(QELTA *q);

#endif
