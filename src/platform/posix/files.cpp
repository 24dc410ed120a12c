// Local files by handle, named by DOS-style paths through the drive map.
// Every descriptor is close-on-exec so programs started by EXEC never
// inherit the run files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/posix/posix_internal.h"

static PlatFile OpenMapped(const char *path, int flags) {
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped)) || mapped[0] == 0) return -1;
    int fd;
    do {
        fd = open(mapped, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

PlatFile PlatFileCreate(const char *path) { return OpenMapped(path, O_CREAT | O_TRUNC | O_RDWR); }

// Nothing hides a file here but a leading dot, which would change its name.
PlatFile PlatFileCreateHidden(const char *path) { return PlatFileCreate(path); }

// The lock is the mark of a living writer: the kernel drops it with the
// last descriptor, however the writer ended.
PlatFile PlatFileCreateNew(const char *path) {
    PlatFile f = OpenMapped(path, O_CREAT | O_EXCL | O_RDWR);
    if (f >= 0) flock((int)f, LOCK_EX | LOCK_NB);
    return f;
}

int PlatFileDeleteUnused(const char *path) {
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped)) || mapped[0] == 0) return 0;
    int fd = open(mapped, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    int unused = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
    int gone = unused && unlink(mapped) == 0;
    close(fd);
    return gone;
}

PlatFile PlatFileOpenUnused(const char *path) {
    PlatFile f = OpenMapped(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (f < 0) return -1;
    struct stat st;
    if (fstat((int)f, &st) != 0 || !S_ISREG(st.st_mode) || flock((int)f, LOCK_EX | LOCK_NB) != 0) {
        close((int)f);
        return -1;
    }
    fcntl((int)f, F_SETFL, fcntl((int)f, F_GETFL) & ~O_NONBLOCK);
    return f;
}

PlatFile PlatFileOpen(const char *path) { return OpenMapped(path, O_RDWR); }

PlatFile PlatFileOpenRead(const char *path) {
    // O_NONBLOCK keeps a FIFO from stalling the open; it is refused below.
    PlatFile f = OpenMapped(path, O_RDONLY | O_NONBLOCK);
    if (f < 0) return -1;
    struct stat st;
    if (fstat((int)f, &st) != 0 || !S_ISREG(st.st_mode)) {  // a folder or a device is no file to read
        close((int)f);
        return -1;
    }
    fcntl((int)f, F_SETFL, fcntl((int)f, F_GETFL) & ~O_NONBLOCK);
    return f;
}

int64_t PlatFileSeek(PlatFile f, int64_t offset, int whence) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    static_assert(sizeof(off_t) == 8, "large files need a 64-bit off_t");
    if (f < 0 || whence < 0 || whence > 2) return -1;
    off_t at = lseek((int)f, (off_t)offset, kWhence[whence]);
    return at < 0 ? -1 : (int64_t)at;
}

long PlatFileRead(PlatFile f, void *buf, size_t n) {
    if (f < 0) return -1;
    if (n > LONG_MAX) n = LONG_MAX;
    ssize_t got;
    do {
        got = read((int)f, buf, n);
    } while (got < 0 && errno == EINTR);
    return (long)got;
}

long PlatFileWrite(PlatFile f, const void *buf, size_t n) {
    if (f < 0) return -1;
    if (n > LONG_MAX) n = LONG_MAX;
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t put = write((int)f, p + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;  // a short write is a failure: the bytes were not all kept
        done += (size_t)put;
    }
    return (long)done;
}

void PlatFileClose(PlatFile f) {
    if (f >= 0) close((int)f);
}

int PlatFileDelete(const char *path) {
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped)) || mapped[0] == 0) return 0;
    struct stat st;
    if (lstat(mapped, &st) != 0) return 0;
    if (S_ISDIR(st.st_mode)) {  // DeleteFile leaves folders alone
        errno = EISDIR;
        return 0;
    }
    // Nor does it delete a read-only file: here, one that nobody may write.
    if (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0) {
        errno = EACCES;
        return 0;
    }
    return unlink(mapped) == 0;
}

void PlatFileErrorText(char *out, size_t size) {
    int e = errno;
    CopyCut(out, size, strerror(e));
}

int64_t PlatFileSize(const char *path) {
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped)) || mapped[0] == 0) return -1;
    struct stat st;
    if (stat(mapped, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return (int64_t)st.st_size;
}

int64_t PlatFileModified(const char *path) {
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped)) || mapped[0] == 0) return -1;
    struct stat st;
    if (stat(mapped, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return (int64_t)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

int PlatFileReplace(const char *from, const char *to) {
    char a[PATH_MAX], b[PATH_MAX];
    if (from == nullptr || to == nullptr || !PosixMapPath(from, a, sizeof a) ||
        !PosixMapPath(to, b, sizeof b) || a[0] == 0 || b[0] == 0)
        return 0;
    struct stat st;
    if (stat(b, &st) == 0 && S_ISDIR(st.st_mode)) return 0;  // a folder is never replaced
    return rename(a, b) == 0;
}
