// Message boxes, the file-open and password dialogs, the editor, the
// string table and the optional 3-D control library.
#include <windows.h>
#include <commdlg.h>

#include <cstring>

#include "base/resource.h"
#include "base/text.h"
#include "platform/platform.h"

// ---- Message boxes -----------------------------------------------------------

int PlatMessageBox(const char *text, const char *title, int buttons) {
    UINT type = buttons == QMB_YESNO ? MB_YESNO : MB_OK;
    int answer = MessageBoxA(NULL, text, title, type);
    if (answer == IDYES) return QID_YES;
    if (answer == IDNO) return QID_NO;
    // A box that could not be shown never counts as a Yes: nothing is
    // deleted or sent on a guess.
    if (type == MB_YESNO) return QID_NO;
    return QID_OK;
}

// ---- File-open dialog ------------------------------------------------------------

// The filter comes either as the string-table text whose last character
// separates the entries, or already as a list of zero-ended entries closed
// by an empty one. Either way the dialog gets the zero-separated list.
static void BuildFilter(const char *filter, char *out, size_t size) {
    ZeroMemory(out, size);
    size_t len = strlen(filter);
    if (len > 0 && strchr(filter, '|')) {
        char bar = filter[len - 1];
        CopyCut(out, size - 1, filter);
        for (size_t i = 0; out[i]; i++)
            if (out[i] == bar) out[i] = 0;
        return;
    }
    size_t n = 0;
    while (n + 2 < size && (filter[n] || filter[n + 1])) {
        out[n] = filter[n];
        n++;
    }
}

int PlatAskScriptPath(const char *title, const char *filter, char *out, size_t size) {
    char list[512];
    BuildFilter(filter, list, sizeof list);
    char dir[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir) dir[0] = 0;
    char file[256];
    char fileTitle[256];
    file[0] = 0;
    fileTitle[0] = 0;

    OPENFILENAMEA ofn;
    ZeroMemory(&ofn, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = NULL;
    ofn.lpstrFilter = list;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrFileTitle = fileTitle;
    ofn.nMaxFileTitle = sizeof fileTitle;
    ofn.lpstrInitialDir = dir[0] ? dir : NULL;
    ofn.lpstrTitle = title;
    ofn.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameA(&ofn)) return 0;
    CopyCut(out, size, file);
    return 1;
}

// ---- Password dialog ---------------------------------------------------------

struct PasswordRequest {
    const char *host;
    char *out;
    size_t size;
};

static INT_PTR CALLBACK PasswordProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrA(dlg, DWLP_USER, lp);
        PasswordRequest *req = (PasswordRequest *)lp;
        SetDlgItemTextA(dlg, IDC_PASS_HOST, req->host);
        SetFocus(GetDlgItem(dlg, IDC_PASS_EDIT));
        return FALSE;  // the focus is set already
    }
    if (msg != WM_COMMAND) return FALSE;
    PasswordRequest *req = (PasswordRequest *)GetWindowLongPtrA(dlg, DWLP_USER);
    switch (LOWORD(wp)) {
    case IDOK:
        // GetDlgItemText cuts at the buffer's size and always ends the text.
        GetDlgItemTextA(dlg, IDC_PASS_EDIT, req->out, (int)req->size);
        EndDialog(dlg, 1);
        return TRUE;
    case IDCANCEL:
        EndDialog(dlg, 0);
        return TRUE;
    }
    return FALSE;
}

int PlatAskPassword(PlatWindow owner, const char *host, char *out, size_t size) {
    if (size == 0) return 0;
    out[0] = 0;
    PasswordRequest req = {host ? host : "", out, size};
    INT_PTR r = DialogBoxParamA(GetModuleHandleA(NULL), "PASSDLG", (HWND)owner, PasswordProc,
                                (LPARAM)&req);
    if (r == 1) return 1;
    out[0] = 0;
    return 0;
}

// ---- Editor and string table ---------------------------------------------------

int PlatEditFile(const char *path) {
    char cmd[MAX_PATH + 16];
    if (!FORMATCUT(cmd, "notepad.exe %s", path)) return 0;
    return WinExec(cmd, SW_SHOWNORMAL) > 31;
}

int PlatLoadString(void *instance, int id, char *out, size_t size) {
    if (size == 0) return 0;
    out[0] = 0;
    return LoadStringA((HINSTANCE)instance, (UINT)id, out, (int)size);
}

// ---- 3-D controls --------------------------------------------------------------

typedef BOOL(WINAPI *Ctl3dCall)(HINSTANCE);
static HMODULE Ctl3dLibrary;
static Ctl3dCall Ctl3dUnregisterCall;

// The library is an optional part of the system: it is looked for in the
// system directory only, and used only when all three entry points exist.
int Plat3DStart(void *instance) {
    char path[MAX_PATH + 16];
    UINT n = GetSystemDirectoryA(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 0;
    if (!AppendCut(path, sizeof path, "\\ctl3d32.dll")) return 0;
    HANDLE probe = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(probe);
    HMODULE lib = LoadLibraryA(path);
    if (!lib) return 0;
    Ctl3dCall reg = (Ctl3dCall)(void *)GetProcAddress(lib, "Ctl3dRegister");
    Ctl3dCall unreg = (Ctl3dCall)(void *)GetProcAddress(lib, "Ctl3dUnregister");
    Ctl3dCall autoSub = (Ctl3dCall)(void *)GetProcAddress(lib, "Ctl3dAutoSubclass");
    if (!reg || !unreg || !autoSub) {
        FreeLibrary(lib);
        return 0;
    }
    reg((HINSTANCE)instance);
    autoSub((HINSTANCE)instance);
    Ctl3dLibrary = lib;
    Ctl3dUnregisterCall = unreg;
    return 1;
}

void Plat3DStop(void *instance) {
    if (!Ctl3dLibrary) return;
    Ctl3dUnregisterCall((HINSTANCE)instance);
    FreeLibrary(Ctl3dLibrary);
    Ctl3dLibrary = NULL;
    Ctl3dUnregisterCall = NULL;
}
