// Profile files, local files, programs, atoms and the clock, with the
// Windows API. A PlatFile is the HANDLE value; INVALID_HANDLE_VALUE is -1.
#include <windows.h>

#include <climits>
#include <string>

#include "base/profiletext.h"
#include "base/text.h"
#include "platform/platform.h"

// ---- Profile files ---------------------------------------------------------
// Reads go through the profile functions. Writes do not: those functions
// truncate the file and write it again, so a run killed in between leaves
// the operator an empty script. A write changes only the line it concerns
// in a copy beside the script, which then replaces it in one step. Every
// call on a script holds a mutex named after the script's full path (two
// runs at once would otherwise lose each other's updates), and drops the
// functions' cache of the file before it lets go, so that the next call
// reads what other runs wrote; nothing is ever written through them, so
// that drop writes nothing.

static const DWORD ProfileLockLimit = 10000;  // ms

// "Local\QELTA-profile-" and a hash of the full, long, upper-cased path:
// the names one file goes by give one name, and a path may hold characters
// (the backslash) that a mutex name may not.
static void ProfileMutexName(const char *path, char *name, size_t size) {
    char full[MAX_PATH], longName[MAX_PATH];
    DWORD n = GetFullPathNameA(path, sizeof full, full, NULL);
    if (n == 0 || n >= sizeof full) CopyCut(full, sizeof full, path);
    n = GetLongPathNameA(full, longName, sizeof longName);
    if (n == 0 || n >= sizeof longName) CopyCut(longName, sizeof longName, full);
    CharUpperBuffA(longName, (DWORD)lstrlenA(longName));
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a
    for (const char *p = longName; *p; p++) hash = (hash ^ (unsigned char)*p) * 1099511628211ull;
    FormatCut(name, size, "Local\\QELTA-profile-%08lx%08lx", (unsigned long)(hash >> 32),
              (unsigned long)(hash & 0xffffffffu));
}

// The mutex of the script at path; the last one is kept open, as a run
// uses one script. NULL when it cannot be made.
static HANDLE ProfileMutex(const char *path) {
    static char lastName[64];
    static HANDLE last;
    char name[64];
    ProfileMutexName(path, name, sizeof name);
    if (last != NULL && lstrcmpA(lastName, name) == 0) return last;
    HANDLE m = CreateMutexA(NULL, FALSE, name);
    if (m == NULL) return NULL;
    if (last != NULL) CloseHandle(last);
    last = m;
    CopyCut(lastName, sizeof lastName, name);
    return m;
}

// 1 with *held set when the lock is held, or when there is no lock to take;
// 0 when another run held it past the limit. A run killed while holding it
// leaves it abandoned: ours then, with the file as that run left it.
static int LockProfile(const char *path, HANDLE *held) {
    *held = NULL;
    HANDLE m = path != NULL ? ProfileMutex(path) : NULL;
    if (m == NULL) return 1;
    DWORD r = WaitForSingleObject(m, ProfileLockLimit);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return 0;
    *held = m;
    return 1;
}

static void UnlockProfile(const char *path, HANDLE held) {
    if (held == NULL) return;
    WritePrivateProfileStringA(NULL, NULL, NULL, path);
    ReleaseMutex(held);
}

// Reads go on without the lock when it is not had in time: a read changes
// nothing. A write does not: it could undo the other run's update.
int PlatProfileRead(const char *section, const char *key, const char *def, char *out, size_t size,
                    const char *path) {
    if (size == 0) return 0;
    HANDLE held;
    LockProfile(path, &held);
    int n = (int)GetPrivateProfileStringA(section, key, def ? def : "", out, (DWORD)size, path);
    UnlockProfile(path, held);
    return n;
}

void PlatProfileReadKeys(const char *section, const char *const *keys, int count, char *values,
                         size_t each, int *found, const char *path) {
    // A default no script value can be: it tells a missing key from an
    // empty one.
    static const char Missing[] = "\x01";
    char probe[4];
    HANDLE held;
    LockProfile(path, &held);
    for (int i = 0; i < count; i++) {
        char *out = each >= sizeof probe ? values + (size_t)i * each : probe;
        DWORD size = each >= sizeof probe ? (DWORD)each : (DWORD)sizeof probe;
        GetPrivateProfileStringA(section, keys[i], Missing, out, size, path);
        found[i] = strcmp(out, Missing) != 0;
        if (!found[i]) out[0] = 0;
    }
    UnlockProfile(path, held);
}

int PlatProfileReadInt(const char *section, const char *key, int def, const char *path) {
    HANDLE held;
    LockProfile(path, &held);
    int v = (int)GetPrivateProfileIntA(section, key, def, path);
    UnlockProfile(path, held);
    return v;
}

// A write's copy: the script's name, ".qelta" and six letters or digits.
static const char TempSuffix[] = ".qelta";
static const size_t TempRandom = 6;

static int IsTempOf(const char *name, const char *base) {
    size_t n = strlen(base), s = sizeof TempSuffix - 1;
    if (strlen(name) != n + s + TempRandom || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name,
                                                              (int)n, base, (int)n) != CSTR_EQUAL)
        return 0;
    if (lstrcmpiA(std::string(name + n, s).c_str(), TempSuffix) != 0) return 0;
    for (const char *p = name + n + s; *p; p++)
        if (!IsCharAlphaNumericA(*p)) return 0;
    return 1;
}

// The copies that killed writes left beside the script, once a run. A
// living writer's copy is open without sharing, so it cannot be deleted;
// and every writer holds the mutex, which the caller holds now.
static void RemoveLeftovers(const char *target) {
    static std::string cleaned;
    if (cleaned == target) return;
    cleaned = target;
    const char *slash = strrchr(target, '\\');
    std::string dir = slash ? std::string(target, slash + 1) : "";
    WIN32_FIND_DATAA d;
    HANDLE find = FindFirstFileA((std::string(target) + TempSuffix + "*").c_str(), &d);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (IsTempOf(d.cFileName, slash ? slash + 1 : target)) DeleteFileA((dir + d.cFileName).c_str());
    } while (FindNextFileA(find, &d));
    FindClose(find);
}

// The whole file; 1 also when there is none, 0 when one is there but
// could not be read whole (a write must then leave it alone).
static int ReadWhole(const char *path, std::string *bytes) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    int ok = GetFileType(h) == FILE_TYPE_DISK;
    char chunk[8192];
    DWORD got = 0;
    while (ok && (ok = ReadFile(h, chunk, sizeof chunk, &got, NULL) != 0) && got > 0)
        bytes->append(chunk, got);
    CloseHandle(h);
    return ok;
}

static int WriteAllTo(HANDLE h, const std::string &bytes) {
    DWORD put = 0;
    for (size_t done = 0; done < bytes.size(); done += put) {
        DWORD want = (DWORD)(bytes.size() - done);
        if (!WriteFile(h, bytes.data() + done, want, &put, NULL) || put == 0) return 0;
    }
    return FlushFileBuffers(h) != 0;
}

// A new copy beside target, open for writing; its name in *temp.
static HANDLE CreateCopy(const char *target, DWORD attributes, std::string *temp) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int tries = 0; tries < 100; tries++) {
        *temp = std::string(target) + TempSuffix;
        for (size_t i = 0; i < TempRandom; i++) {
            seed = seed * 1103515245u + 12345u;
            *temp += letters[(seed >> 16) % (sizeof letters - 1)];
        }
        HANDLE h = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, attributes, NULL);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
    }
    return INVALID_HANDLE_VALUE;
}

// A script in a folder we may not write to, though the script itself is
// writable: its status must still be recorded, so it is rewritten where it
// stands, the one case where a kill could cut it.
static int RewriteInPlace(const char *target, const std::string &bytes) {
    HANDLE h =
        CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = WriteAllTo(h, bytes) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
}

// The new bytes to a copy beside target, which then takes target's place
// in one step, keeping its attributes.
static int ReplaceWhole(const char *target, const std::string &bytes) {
    DWORD attr = GetFileAttributesA(target);
    int exists = attr != INVALID_FILE_ATTRIBUTES;
    if (exists && (attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) return 0;
    DWORD keep = exists ? attr & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE) : 0;
    std::string temp;
    HANDLE h = CreateCopy(target, keep ? keep : FILE_ATTRIBUTE_NORMAL, &temp);
    if (h == INVALID_HANDLE_VALUE) return exists ? RewriteInPlace(target, bytes) : 0;
    int ok = WriteAllTo(h, bytes);
    CloseHandle(h);
    if (ok) ok = MoveFileExA(temp.c_str(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileA(temp.c_str());
    return ok;
}

static int WriteLocked(const char *section, const char *key, const char *value, const char *path) {
    RemoveLeftovers(path);
    ProfileText text;
    if (!ReadWhole(path, &text.bytes)) return 0;
    SplitProfileLines(&text);
    if (!EditProfileText(&text, section, key, value)) {
        // Nothing to change; still a failure where a change could not be made.
        DWORD attr = GetFileAttributesA(path);
        return attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_READONLY);
    }
    return ReplaceWhole(path, text.bytes);
}

int PlatProfileWrite(const char *section, const char *key, const char *value, const char *path) {
    if (section == NULL) return 1;  // a flush request: writes go straight to the file
    if (path == NULL) return 0;
    HANDLE held;
    if (!LockProfile(path, &held)) return 0;
    int ok = WriteLocked(section, key, value, path);
    UnlockProfile(path, held);
    return ok;
}

void PlatProfileFlush(const char *path) {
    HANDLE held;
    LockProfile(path, &held);
    WritePrivateProfileStringA(NULL, NULL, NULL, path);
    UnlockProfile(path, held);
}

// ---- Local files -------------------------------------------------------------

static PlatFile FromHandle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? -1 : (PlatFile)h; }
static HANDLE ToHandle(PlatFile f) { return (HANDLE)f; }

// Others may read the run files while the run writes them.
static PlatFile OpenWith(const char *path, DWORD access, DWORD disposition) {
    return FromHandle(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, disposition,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
}

PlatFile PlatFileCreate(const char *path) {
    return OpenWith(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

PlatFile PlatFileCreateHidden(const char *path) {
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, NULL));
}

PlatFile PlatFileCreateNew(const char *path) {
    return OpenWith(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
}

PlatFile PlatFileOpen(const char *path) {
    return OpenWith(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

// A folder is never a file to read: the check comes before the open, and
// again on the handle in case the name changed in between.
PlatFile PlatFileOpenRead(const char *path) {
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    PlatFile f = OpenWith(path, GENERIC_READ, OPEN_EXISTING);
    if (f == -1) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(ToHandle(f)) != FILE_TYPE_DISK || !GetFileInformationByHandle(ToHandle(f), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(ToHandle(f));
        return -1;
    }
    return f;
}

int64_t PlatFileSeek(PlatFile f, int64_t offset, int whence) {
    static const DWORD methods[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    if (f == -1 || whence < 0 || whence > 2) return -1;
    LARGE_INTEGER to, at;
    to.QuadPart = offset;
    if (!SetFilePointerEx(ToHandle(f), to, &at, methods[whence])) return -1;
    return (int64_t)at.QuadPart;
}

long PlatFileRead(PlatFile f, void *buf, size_t n) {
    DWORD got = 0;
    if (f == -1 || !ReadFile(ToHandle(f), buf, (DWORD)n, &got, NULL)) return -1;
    return (long)got;
}

long PlatFileWrite(PlatFile f, const void *buf, size_t n) {
    DWORD put = 0;
    if (f == -1 || !WriteFile(ToHandle(f), buf, (DWORD)n, &put, NULL)) return -1;
    return (long)put;
}

void PlatFileClose(PlatFile f) {
    if (f != -1) CloseHandle(ToHandle(f));
}

int PlatFileDelete(const char *path) { return DeleteFileA(path) != 0; }

// A file open here is open without FILE_SHARE_DELETE: only one that nobody
// has open can be deleted.
int PlatFileDeleteUnused(const char *path) { return DeleteFileA(path) != 0; }

// Our own open shares writing; one that refuses it fails while any
// writer still has the file open.
PlatFile PlatFileOpenUnused(const char *path) {
    DWORD attr = GetFileAttributesA(path);
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return FromHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
}

int64_t PlatFileModified(const char *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return ((int64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
}

int64_t PlatFileSize(const char *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return ((int64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

int PlatFileReplace(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

void PlatFileErrorText(char *out, size_t size) {
    DWORD code = GetLastError();
    if (size == 0) return;
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0,
                             text, sizeof text, NULL);
    // The system's texts end in a line break, which the log line adds itself.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) n--;
    text[n] = 0;
    if (n == 0) FormatCut(text, sizeof text, "error %lu", (unsigned long)code);
    CopyCut(out, size, text);
}

// ---- Directory scan ------------------------------------------------------------

// The search and its current entry.
struct Scan {
    HANDLE Find;
    WIN32_FIND_DATAA Data;
};

static int Listed(const WIN32_FIND_DATAA *d) {
    const DWORD skip = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (d->dwFileAttributes & skip) == 0;
}

// Moves to the next listed entry from the one held; 0 when none is left.
static int SkipUnlisted(Scan *s) {
    while (!Listed(&s->Data))
        if (!FindNextFileA(s->Find, &s->Data)) return 0;
    return 1;
}

PlatScan PlatScanFirst(const char *pattern, char *name, size_t size) {
    Scan *s = (Scan *)HeapAlloc(GetProcessHeap(), 0, sizeof(Scan));
    if (s == NULL) return -1;
    s->Find = FindFirstFileA(pattern, &s->Data);
    if (s->Find == INVALID_HANDLE_VALUE || !SkipUnlisted(s)) {
        if (s->Find != INVALID_HANDLE_VALUE) FindClose(s->Find);
        HeapFree(GetProcessHeap(), 0, s);
        return -1;
    }
    CopyCut(name, size, s->Data.cFileName);
    return (PlatScan)s;
}

int PlatScanNext(PlatScan scan, char *name, size_t size) {
    if (scan == -1) return 0;
    Scan *s = (Scan *)scan;
    if (!FindNextFileA(s->Find, &s->Data) || !SkipUnlisted(s)) return 0;
    CopyCut(name, size, s->Data.cFileName);
    return 1;
}

void PlatScanClose(PlatScan scan) {
    if (scan == -1) return;
    Scan *s = (Scan *)scan;
    FindClose(s->Find);
    HeapFree(GetProcessHeap(), 0, s);
}

// The identity of an existing file: its volume and its index there.
static int FileIdentity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

int PlatSameFile(const char *a, const char *b) {
    char fa[MAX_PATH], fb[MAX_PATH];
    DWORD na = GetFullPathNameA(a, sizeof fa, fa, NULL);
    DWORD nb = GetFullPathNameA(b, sizeof fb, fb, NULL);
    if (na == 0 || na >= sizeof fa || nb == 0 || nb >= sizeof fb) return 0;
    if (lstrcmpiA(fa, fb) == 0) return 1;
    // Different names may still be one file (short names, links).
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!FileIdentity(fa, &ia) || !FileIdentity(fb, &ib)) return 0;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

int PlatCurrentDirectory(char *out, size_t size) {
    if (size == 0) return 0;
    DWORD n = GetCurrentDirectoryA((DWORD)size, out);
    if (n == 0 || n >= size) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

// ---- Programs, atoms, clock --------------------------------------------------

int PlatStartProgram(const char *cmdline, int show) { return (int)WinExec(cmdline, (UINT)show); }

unsigned short PlatAddAtom(const char *name) { return GlobalAddAtomA(name); }

int PlatDeleteAtom(unsigned short atom) { return GlobalDeleteAtom(atom) == 0; }

static void TakeTime(const SYSTEMTIME &st, PlatLocalTime *t) {
    t->year = st.wYear;
    t->month = st.wMonth;
    t->day = st.wDay;
    t->weekday = st.wDayOfWeek;
    t->hour = st.wHour;
    t->minute = st.wMinute;
    t->second = st.wSecond;
}

void PlatNow(PlatLocalTime *t) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    TakeTime(st, t);
}

void PlatNowUtc(PlatLocalTime *t) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    TakeTime(st, t);
}

unsigned long PlatMilliseconds(void) { return GetTickCount(); }
