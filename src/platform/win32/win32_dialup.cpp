// The dial-up service on Windows: the Remote Access Service, loaded at run
// time from RASAPI32.DLL so that the program starts and runs every other
// command on machines without it.
#include <windows.h>

#include <cstddef>
#include <cstdlib>

#include "base/text.h"
#include "platform/platform.h"

// The 8-bit structures in their first published forms, whose sizes every
// version of the service accepts.
typedef HANDLE HRASCONN;
struct RASCONNA {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[256 + 1];
    CHAR szDeviceType[16 + 1];
    CHAR szDeviceName[128 + 1];
};
struct RASDIALPARAMSA {
    DWORD dwSize;
    CHAR szEntryName[256 + 1];
    CHAR szPhoneNumber[128 + 1];
    CHAR szCallbackNumber[128 + 1];
    CHAR szUserName[256 + 1];
    CHAR szPassword[256 + 1];
    CHAR szDomain[15 + 1];
};
// The service tells the forms apart by dwSize, so each width must build
// exactly the layout its own headers give: the handle is pointer-sized and
// aligned, which makes RASCONNA 412 bytes on 32-bit Windows and 424 on
// 64-bit; RASDIALPARAMSA holds no pointer and is 1052 on both.
#ifdef _WIN64
static_assert(offsetof(RASCONNA, hrasconn) == 8 && offsetof(RASCONNA, szEntryName) == 16,
              "RASCONNA's handle must be 8-byte aligned on 64-bit Windows");
static_assert(sizeof(RASCONNA) == 424, "RASCONNA must have its 424-byte 64-bit form");
#else
static_assert(offsetof(RASCONNA, hrasconn) == 4 && offsetof(RASCONNA, szEntryName) == 8,
              "RASCONNA's handle follows dwSize on 32-bit Windows");
static_assert(sizeof(RASCONNA) == 412, "RASCONNA must have its 412-byte form");
#endif
static_assert(sizeof(RASDIALPARAMSA) == 1052, "RASDIALPARAMSA must have its 1052-byte form");

typedef DWORD(WINAPI *RasDialFn)(void *, LPCSTR, RASDIALPARAMSA *, DWORD, void *, HRASCONN *);
typedef DWORD(WINAPI *RasHangUpFn)(HRASCONN);
typedef DWORD(WINAPI *RasEnumConnectionsFn)(RASCONNA *, DWORD *, DWORD *);
typedef DWORD(WINAPI *RasGetErrorStringFn)(UINT, LPSTR, DWORD);

static HMODULE RasLibrary;
static RasDialFn pRasDialA;
static RasHangUpFn pRasHangUpA;
static RasEnumConnectionsFn pRasEnumConnectionsA;
static RasGetErrorStringFn pRasGetErrorStringA;

// More records than this are no real machine's, and their byte size must
// fit the service's DWORD.
static const int MostConnections = 4096;

int PlatDialLoad(void) {
    if (RasLibrary == NULL) RasLibrary = LoadLibraryA("RASAPI32.DLL");
    return RasLibrary != NULL;
}

// GetProcAddress's type says nothing of the function; the cast through a
// plain function pointer states that we know what it is.
template <typename F>
static F Lookup(const char *name) {
    if (RasLibrary == NULL) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(GetProcAddress(RasLibrary, name)));
}

int PlatDialBind(void) {
    pRasDialA = Lookup<RasDialFn>("RasDialA");
    pRasHangUpA = Lookup<RasHangUpFn>("RasHangUpA");
    pRasEnumConnectionsA = Lookup<RasEnumConnectionsFn>("RasEnumConnectionsA");
    pRasGetErrorStringA = Lookup<RasGetErrorStringFn>("RasGetErrorStringA");
    return pRasDialA && pRasHangUpA && pRasEnumConnectionsA && pRasGetErrorStringA;
}

void PlatDialUnload(void) {
    if (RasLibrary != NULL) FreeLibrary(RasLibrary);
    RasLibrary = NULL;
    pRasDialA = nullptr;
    pRasHangUpA = nullptr;
    pRasEnumConnectionsA = nullptr;
    pRasGetErrorStringA = nullptr;
}

int PlatDialListActive(PlatDialConnection *list, int capacity, int *count) {
    *count = 0;
    if (pRasEnumConnectionsA == nullptr) return ERROR_INVALID_FUNCTION;
    if (capacity < 1 || capacity > MostConnections) return ERROR_INVALID_PARAMETER;
    RASCONNA *records = static_cast<RASCONNA *>(calloc((size_t)capacity, sizeof(RASCONNA)));
    if (records == nullptr) return QDIAL_NOT_ENOUGH_MEMORY;
    records[0].dwSize = sizeof(RASCONNA);
    DWORD bytes = (DWORD)capacity * sizeof(RASCONNA), n = 0;
    DWORD rc = pRasEnumConnectionsA(records, &bytes, &n);
    if (rc == QDIAL_BUFFER_TOO_SMALL) {
        DWORD needed = (bytes + sizeof(RASCONNA) - 1) / sizeof(RASCONNA);
        if (needed <= (DWORD)capacity) needed = (DWORD)capacity + 1;  // more, whatever it says
        if (needed > (DWORD)MostConnections) needed = (DWORD)MostConnections + 1;
        *count = (int)needed;
    } else if (rc == 0) {
        if (n > (DWORD)capacity) n = (DWORD)capacity;
        for (DWORD i = 0; i < n; i++) {
            list[i].Handle = (PlatDialHandle)records[i].hrasconn;
            CopyCut(list[i].EntryName, sizeof list[i].EntryName, records[i].szEntryName);
        }
        *count = (int)n;
    }
    free(records);
    return (int)rc;
}

int PlatDialConnect(const char *entry, const char *user, const char *password,
                    PlatDialHandle *handle) {
    *handle = 0;
    if (pRasDialA == nullptr) return ERROR_INVALID_FUNCTION;
    RASDIALPARAMSA params;
    ZeroMemory(&params, sizeof params);
    params.dwSize = sizeof params;
    CopyCut(params.szEntryName, sizeof params.szEntryName, entry);
    CopyCut(params.szUserName, sizeof params.szUserName, user);
    CopyCut(params.szPassword, sizeof params.szPassword, password);
    // "*": the domain stored in the phonebook entry. The empty numbers make
    // the service use the entry's own.
    CopyCut(params.szDomain, sizeof params.szDomain, "*");
    HRASCONN connection = NULL;
    // No notifier: the call returns when the attempt has ended.
    DWORD rc = pRasDialA(NULL, NULL, &params, 0, NULL, &connection);
    SecureZeroMemory(&params, sizeof params);
    *handle = (PlatDialHandle)connection;
    return (int)rc;
}

int PlatDialHangUp(PlatDialHandle handle) {
    if (pRasHangUpA == nullptr) return ERROR_INVALID_FUNCTION;
    return (int)pRasHangUpA((HRASCONN)handle);
}

int PlatDialErrorText(int code, char *out, size_t size) {
    if (pRasGetErrorStringA == nullptr || size == 0) return 0;
    char text[256];
    if (pRasGetErrorStringA((UINT)code, text, sizeof text) != 0) return 0;
    text[sizeof text - 1] = 0;
    CopyCut(out, size, text);
    return 1;
}

void PlatSleep(unsigned ms) { Sleep(ms); }
