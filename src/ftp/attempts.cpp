// Connections made by trying addresses in turn, within TimeOut in all.
#include <cstring>

#include "base/text.h"
#include "ftp/ftp.h"
#include "log/log.h"

struct ErrorReason {
    int Error;
    const char *Reason;
};

static const ErrorReason Reasons[] = {
    {10013, "access denied"},          {10047, "address family not supported"},
    {10049, "address not available"},  {10050, "network down"},
    {10051, "network unreachable"},    {10054, "connection reset"},
    {10060, "timed out"},              {10061, "connection refused"},
    {10064, "host down"},              {10065, "host unreachable"},
};

const char *SocketErrorReason(int error) {
    for (const ErrorReason &r : Reasons)
        if (r.Error == error) return r.Reason;
    return "failed";
}

// The whole of TimeOut in milliseconds, bounded as the tick count allows.
static unsigned long TotalMs(const QELTA *q) {
    int seconds = q->TimeOut < 1 ? 1 : (q->TimeOut > 2000000 ? 2000000 : q->TimeOut);
    return (unsigned long)seconds * 1000UL;
}

void BeginAttempts(QELTA *q) {
    q->Connect.At = 0;
    q->Connect.Active = 1;
    q->Connect.Tried[0] = 0;
    q->Connect.Started = PlatMilliseconds();
    StartAttemptClock(q);
}

void StartAttemptClock(QELTA *q) { q->Connect.AttemptStarted = PlatMilliseconds(); }

void EndAttempts(QELTA *q) { q->Connect.Active = 0; }

int AttemptOverdue(const QELTA *q) {
    if (!q->Connect.Active) return 0;
    unsigned long now = PlatMilliseconds(), total = TotalMs(q);
    unsigned long used = q->Connect.AttemptStarted - q->Connect.Started;
    int left = q->Connect.Count - q->Connect.At;
    unsigned long share = used >= total || left < 1 ? 0 : (total - used) / (unsigned long)left;
    return now - q->Connect.AttemptStarted >= share;
}

int AttemptFailed(QELTA *q, int error) {
    char where[NET_ADDRESS_TEXT], line[160];
    NetFormatAddress(&q->Connect.Address[q->Connect.At], where, sizeof where, 1);
    FORMATCUT(line, "Connecting to %s failed: %s (%d)\r\n", where, SocketErrorReason(error), error);
    LogText(q, line);
    FORMATCUT(line, "%s%s (%s)", q->Connect.Tried[0] ? ", " : "", where, SocketErrorReason(error));
    AppendCut(q->Connect.Tried, sizeof q->Connect.Tried, line);
    q->LastSocketError = error;
    q->Connect.At++;
    int inTime = PlatMilliseconds() - q->Connect.Started < TotalMs(q);
    if (q->Connect.At < q->Connect.Count && inTime) return 1;
    EndAttempts(q);
    return 0;
}
