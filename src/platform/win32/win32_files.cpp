// Profile files, local files, programs, atoms and the clock, with the
// Windows API. A PlatFile is the HANDLE value; INVALID_HANDLE_VALUE is -1.
#include <windows.h>

#include <climits>

#include "base/text.h"
#include "platform/platform.h"

// ---- Profile files ---------------------------------------------------------

int PlatProfileRead(const char *section, const char *key, const char *def, char *out, size_t size,
                    const char *path) {
    if (size == 0) return 0;
    return (int)GetPrivateProfileStringA(section, key, def ? def : "", out, (DWORD)size, path);
}

int PlatProfileReadInt(const char *section, const char *key, int def, const char *path) {
    return (int)GetPrivateProfileIntA(section, key, def, path);
}

int PlatProfileWrite(const char *section, const char *key, const char *value, const char *path) {
    return WritePrivateProfileStringA(section, key, value, path) != 0;
}

void PlatProfileFlush(const char *path) { WritePrivateProfileStringA(NULL, NULL, NULL, path); }

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

int64_t PlatFileSize(const char *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return ((int64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

int PlatFileReplace(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
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

void PlatNow(PlatLocalTime *t) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    t->year = st.wYear;
    t->month = st.wMonth;
    t->day = st.wDay;
    t->weekday = st.wDayOfWeek;
    t->hour = st.wHour;
    t->minute = st.wMinute;
    t->second = st.wSecond;
}

unsigned long PlatMilliseconds(void) { return GetTickCount(); }
