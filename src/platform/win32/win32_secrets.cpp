// Passwords kept outside the script: the environment, the netrc file and
// the Credential Manager.
#include <windows.h>
#include <wincred.h>

#include <string>

#include "base/text.h"
#include "platform/platform.h"

int PlatEnvironment(const char *name, char *out, size_t size) {
    if (size == 0) return 0;
    char value[1024];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return 0;
    if (n >= sizeof value) value[0] = 0;  // longer than any password kept
    CopyCut(out, size, n >= sizeof value ? "" : value);
    SecureZeroMemory(value, sizeof value);
    return 1;
}

// ---- netrc ---------------------------------------------------------------------------

static std::string NetrcPath() {
    char buf[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("NETRC", buf, sizeof buf);
    if (n > 0 && n < sizeof buf) return buf;
    n = GetEnvironmentVariableA("USERPROFILE", buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return "_netrc";
    return std::string(buf) + "\\_netrc";
}

int PlatReadNetrc(char *path, size_t pathSize, char *out, size_t size, char *why, size_t whySize) {
    std::string name = NetrcPath();
    CopyCut(path, pathSize, name.c_str());
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           NULL);
    if (h == INVALID_HANDLE_VALUE) {
        FormatCut(why, whySize, "netrc %s cannot be read (error %lu)", name.c_str(), (unsigned long)GetLastError());
        return 0;
    }
    DWORD got = 0;
    LARGE_INTEGER length;
    int ok = size > 0 && GetFileSizeEx(h, &length) && length.QuadPart < (LONGLONG)size &&
             ReadFile(h, out, (DWORD)(size - 1), &got, NULL);
    CloseHandle(h);
    if (!ok) {
        SecureZeroMemory(out, size);
        FormatCut(why, whySize, "netrc %s is too long or cannot be read", name.c_str());
        return 0;
    }
    out[got] = 0;
    return 1;
}

// ---- the Credential Manager --------------------------------------------------------------

// A credential's secret as text: cmdkey and the control panel store it as
// UTF-16, other writers as the bytes they were given.
static int BlobText(const CREDENTIALA *c, char *out, size_t size) {
    const BYTE *b = c->CredentialBlob;
    DWORD n = c->CredentialBlobSize;
    int wide = n >= 2 && n % 2 == 0;
    for (DWORD i = 1; wide && i < n; i += 2) wide = b[i] == 0;
    if (!wide) {
        if (n + 1 > size) return 0;
        memcpy(out, b, n);
        out[n] = 0;
        return 1;
    }
    int len = WideCharToMultiByte(CP_ACP, 0, (const wchar_t *)b, (int)(n / 2), out, (int)size - 1, NULL, NULL);
    if (len <= 0 && n > 0) return 0;
    out[len] = 0;
    return 1;
}

static int FromCredentials(const char *host, const char *user, char *out, size_t size, char *why,
                           size_t whySize) {
    char target[300];
    FormatCut(target, sizeof target, "QELTA:%s", host);
    PCREDENTIALA c = NULL;
    if (!CredReadA(target, CRED_TYPE_GENERIC, 0, &c)) {
        FormatCut(why, whySize, "the Credential Manager has no generic credential %s (error %lu)", target,
                  (unsigned long)GetLastError());
        return 0;
    }
    int ok = 0;
    if (c->UserName != NULL && c->UserName[0] != 0 && user[0] != 0 && lstrcmpiA(c->UserName, user) != 0)
        FormatCut(why, whySize, "the credential %s is for user %s, not %s", target, c->UserName, user);
    else if (!(ok = BlobText(c, out, size)))
        FormatCut(why, whySize, "the password of the credential %s is too long", target);
    SecureZeroMemory(c->CredentialBlob, c->CredentialBlobSize);
    CredFree(c);
    return ok;
}

int PlatStoredPassword(int store, const char *host, const char *user, char *out, size_t size, char *why,
                       size_t whySize) {
    if (store == QSTORE_CREDENTIALS) return FromCredentials(host, user, out, size, why, whySize);
    FormatCut(why, whySize, "the Secret Service is Linux's (on Windows, PasswordSource=CredentialManager)");
    return 0;
}
