// Profile (INI) files with the semantics scripts rely on: sections and keys
// found without regard to case, blanks around keys and values ignored, a
// pair of surrounding quotes removed on reading. A write changes only the
// line it concerns and keeps every other byte of the file; the new file
// replaces the old one by rename, so a script is never left half written.
// Lines end in CR LF, LF or a lone CR, as the Windows functions read them.
// Every read and write holds the script's lock (profile_lock.cpp), so two
// runs of one script lose none of each other's updates.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/profiletext.h"
#include "base/text.h"
#include "platform/posix/posix_internal.h"

namespace {


using Profile = ProfileText;

// Reads the whole file into pr. 1 when that worked or there is no file;
// 0 when a file is there but could not be read whole: a write must then
// leave it alone, or the bytes not read would be lost.
int ReadWhole(const char *mapped, std::string *bytes) {
    // O_NONBLOCK: a FIFO in the script's place must not stall the run.
    int fd = open(mapped, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT;
    struct stat st;
    int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char chunk[8192];
    while (ok) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = 0;
        if (n <= 0) break;
        bytes->append(chunk, (size_t)n);
    }
    close(fd);
    return ok;
}

int LoadProfile(const char *path, Profile *pr) {
    pr->bytes.clear();
    char mapped[PATH_MAX];
    int ok = path != nullptr && PosixMapPath(path, mapped, sizeof(mapped)) && ReadWhole(mapped, &pr->bytes);
    if (!ok) pr->bytes.clear();
    SplitProfileLines(pr);
    return ok;
}

long FindSection(const Profile &pr, const char *section) { return FindProfileSection(pr, section); }
long FindKey(const Profile &pr, long header, const char *key) { return FindProfileKey(pr, header, key); }

// The file a write really replaces: through a symbolic link to its target,
// so the link itself survives the rename.
std::string WriteTarget(const char *mapped) {
    char *real = realpath(mapped, nullptr);
    if (real == nullptr) return mapped;
    std::string target = real;
    free(real);
    return target;
}

// Reads the file under its lock; a read goes on without the lock when the
// wait for it runs out, as the file is only ever replaced whole.
void LoadLocked(const char *path, Profile *pr) {
    char mapped[PATH_MAX];
    int lock = PROFILE_UNLOCKED;
    if (path != nullptr && PosixMapPath(path, mapped, sizeof(mapped)))
        lock = PosixLockProfile(WriteTarget(mapped).c_str());
    LoadProfile(path, pr);
    PosixUnlockProfile(lock);
}

// 1 with the value when the key exists.
int LookUp(const char *section, const char *key, const char *path, std::string *value) {
    if (section == nullptr || key == nullptr) return 0;
    Profile pr;
    LoadLocked(path, &pr);
    long header = FindSection(pr, section);
    if (header < 0) return 0;
    long at = FindKey(pr, header, key);
    if (at < 0) return 0;
    *value = ProfileValue(pr, pr.lines[(size_t)at]);
    return 1;
}

int WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += (size_t)n;
    }
    return 1;
}

mode_t NewFileMode(void) {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A script in a folder we may not write to, though the script itself is
// writable: its status must still be recorded, so it is rewritten where it
// stands (as Windows would), the one case where a crash could cut it.
int RewriteInPlace(const std::string &target, const std::string &bytes) {
    int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    int ok = WriteAll(fd, bytes) && ftruncate(fd, (off_t)bytes.size()) == 0 && fsync(fd) == 0;
    if (close(fd) != 0) ok = 0;
    return ok;
}

// Writes bytes to a temporary file beside target and renames it over
// target, keeping the old file's permissions. The temporary file is locked
// for as long as it exists: the mark of a living writer.
int ReplaceFile(const std::string &target, const std::string &bytes) {
    struct stat st;
    int exists = stat(target.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || access(target.c_str(), W_OK) != 0)) return 0;
    std::string temp = PosixProfileTempTemplate(target.c_str());
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return exists ? RewriteInPlace(target, bytes) : 0;
    flock(fd, LOCK_EX | LOCK_NB);  // a new file nobody else has opened
    int ok = WriteAll(fd, bytes);
    if (ok && exists) {
        ok = fchmod(fd, st.st_mode & 07777) == 0;
        if (ok && fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only root may give a file away; the file is then ours, as a
            // rewrite by its owner would leave it.
        }
    } else if (ok) {
        ok = fchmod(fd, NewFileMode()) == 0;
    }
    if (ok) ok = fsync(fd) == 0;
    if (close(fd) != 0) ok = 0;
    if (ok) ok = rename(name.data(), target.c_str()) == 0;
    if (!ok) unlink(name.data());
    return ok;
}

// One read-modify-write, under the script's lock.
int WriteLocked(const char *section, const char *key, const char *value, const char *path,
                const std::string &target) {
    PosixRemoveProfileLeftovers(target.c_str());
    Profile pr;
    if (!LoadProfile(path, &pr)) return 0;
    if (!EditProfileText(&pr, section, key, value)) {
        // Nothing to change; still a failure where a change could not be made.
        return access(target.c_str(), F_OK) != 0 || access(target.c_str(), W_OK) == 0;
    }
    return ReplaceFile(target, pr.bytes);
}

}  // namespace

int PlatProfileRead(const char *section, const char *key, const char *def, char *out, size_t size,
                    const char *path) {
    if (size == 0) return 0;
    std::string value;
    if (!LookUp(section, key, path, &value)) value = def ? def : "";
    CopyCut(out, size, value.c_str());
    return (int)strlen(out);
}

void PlatProfileReadKeys(const char *section, const char *const *keys, int count, char *values,
                         size_t each, int *found, const char *path) {
    Profile pr;
    LoadLocked(path, &pr);
    long header = section != nullptr ? FindSection(pr, section) : -1;
    for (int i = 0; i < count; i++) {
        char *out = values + (size_t)i * each;
        long at = header >= 0 && keys[i] != nullptr ? FindKey(pr, header, keys[i]) : -1;
        found[i] = at >= 0;
        if (each == 0) continue;
        out[0] = 0;
        if (at >= 0) CopyCut(out, each, ProfileValue(pr, pr.lines[(size_t)at]).c_str());
    }
}

int PlatProfileReadInt(const char *section, const char *key, int def, const char *path) {
    std::string value;
    // An empty value counts as missing, as the Windows call has it.
    if (!LookUp(section, key, path, &value) || value.empty()) return def;
    long v = ReadDecimal(value.c_str());
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

int PlatProfileWrite(const char *section, const char *key, const char *value, const char *path) {
    if (section == nullptr) return 1;  // a flush request: writes go straight to the file
    char mapped[PATH_MAX];
    if (path == nullptr || !PosixMapPath(path, mapped, sizeof(mapped))) return 0;
    std::string target = WriteTarget(mapped);
    int lock = PosixLockProfile(target.c_str());
    // Another run has held the script too long: a write now could undo its
    // update, so this one is given up instead.
    if (lock == PROFILE_LOCK_TIMEOUT) return 0;
    int ok = WriteLocked(section, key, value, path, target);
    PosixUnlockProfile(lock);
    return ok;
}

void PlatProfileFlush(const char *path) {}
