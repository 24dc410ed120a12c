// What the fuzz targets share: a scratch folder made once per process, a
// blank session record, the failure report, and the switch for findings
// that are known and written down in crashes-found/.
#ifndef QELTA_FUZZ_COMMON_H
#define QELTA_FUZZ_COMMON_H

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "session/session.h"

// A failed check: libFuzzer keeps the input as a crash artifact.
#define FUZZ_CHECK(cond, ...)                                                    \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "\nFUZZ CHECK FAILED %s:%d: %s\n  ", __FILE__,      \
                    __LINE__, #cond);                                            \
            fprintf(stderr, __VA_ARGS__);                                        \
            fprintf(stderr, "\n");                                               \
            abort();                                                             \
        }                                                                        \
    } while (0)

inline std::string &FuzzDirName() {
    static std::string name;
    return name;
}

inline int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

// The scratch folder: on tmpfs when there is one, since the profile layer
// syncs every write. Made once, reused by every input and removed when
// the run ends; nothing is written to the working directory.
inline const std::string &FuzzDir() {
    std::string &dir = FuzzDirName();
    if (dir.empty()) {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/qelta-fuzz-XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        dir = tmpl;
        atexit([] { nftw(FuzzDirName().c_str(), RemoveEntry, 8, FTW_DEPTH | FTW_PHYS); });
    }
    return dir;
}

// Findings already reported (tests/fuzz/crashes-found/) are let through
// so that the short run of scripts/test stays useful for new ones;
// QELTA_FUZZ_STRICT=1 makes them fail again, to check a fix.
inline bool FuzzStrict() {
    static bool strict = [] {
        const char *v = getenv("QELTA_FUZZ_STRICT");
        return v != nullptr && v[0] == '1';
    }();
    return strict;
}

inline bool KnownFinding(bool matches) { return matches && !FuzzStrict(); }

// 1 when a NUL ends the text inside its buffer.
inline bool Terminated(const char *text, size_t size) { return memchr(text, 0, size) != nullptr; }

// A session record as a run starts with it (the program's own start).
inline void BlankSession(QELTA *q) {
    QELTA *fresh = NewSession();
    if (fresh == nullptr) abort();
    // The reader is reused: the copy would lose it.
    ReplyReader *reader = q->Control.Reader;
    *q = *fresh;
    q->Control.Reader = reader;
    DeleteSession(fresh);
}

// The whole content of a file, "" when it cannot be read.
inline std::string FileBytes(const std::string &path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    close(fd);
    return out;
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            perror("write");
            abort();
        }
        done += (size_t)n;
    }
    close(fd);
}

// Printable form of bytes for a failure message.
inline std::string Shown(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back((char)c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

#endif
