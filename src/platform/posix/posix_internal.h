// What the files of the POSIX layer share with one another; nothing here
// is seen by the core.
#ifndef QELTA_POSIX_INTERNAL_H
#define QELTA_POSIX_INTERNAL_H

#include <cstddef>

#include "platform/platform.h"

// ---- event loop (loop.cpp) ----
// Calls cb from the loop whenever poll() reports one of events on fd.
// Watching an fd again replaces its events and callback.
typedef void (*FdCallback)(int fd, short revents, void *ctx);
void LoopWatchFd(int fd, short events, FdCallback cb, void *ctx);
void LoopUnwatchFd(int fd);
// Posts from another thread (the resolver) wake the loop at once;
// PlatPostEvent is safe to call from any thread.

// ---- paths (paths.cpp) ----
// Maps a DOS-style path (C:\x\y, relative x\y, \x\y) to a POSIX path
// through the drive map (C: = / or QELTA_DRIVE_C; L: = QELTA_DRIVE_L).
// 0 when the drive is not mapped or the result does not fit.
int PosixMapPath(const char *dos, char *out, size_t size);
// The reverse: an absolute POSIX path as C:\... through the drive whose
// root is the longest prefix. 0 when no drive holds it or it is cut.
int PosixUnmapPath(const char *posix, char *out, size_t size);

// ---- terminal (prompt.cpp) ----
// Opens /dev/tty for a prompt; -1 when there is no terminal.
int PosixOpenTty(void);

#endif
