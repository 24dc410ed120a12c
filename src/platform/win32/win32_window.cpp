// Windows, dialogs, timers and the message loop, with the Windows API.
// The core's procedures see every message but a TLS handshake's socket
// events, which the TLS layer takes first; these wrappers only add what
// Windows itself expects back (default processing, the dialog result).
#include <winsock2.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

static HWND Hwnd(PlatWindow w) { return (HWND)w; }

// MainWndProc returns 1 for a message it handled; everything else gets
// Windows' default processing.
static LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (TlsTakeEvent(hwnd, msg, wp, lp)) return 0;
    if (MainWndProc(hwnd, msg, wp, lp)) return 0;
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Dialog1 handles every message itself and never asks for the dialog
// manager's own handling, so the procedure always answers FALSE.
static INT_PTR CALLBACK TransferDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (!TlsTakeEvent(dlg, msg, wp, lp)) Dialog1(dlg, msg, wp, lp);
    return FALSE;
}

int PlatRegisterMainClass(void *instance) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.style = 0;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = (HINSTANCE)instance;
    wc.hIcon = LoadIconA((HINSTANCE)instance, "AICON_1");
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = "QELTA";
    wc.lpszClassName = "QELTA";
    return RegisterClassA(&wc) != 0;
}

PlatWindow PlatCreateMainWindow(void *instance) {
    return CreateWindowA("QELTA", "", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, 0,
                         0, 0, NULL, NULL, (HINSTANCE)instance, NULL);
}

PlatWindow PlatCreateTransferDialog(void *instance, PlatWindow main) {
    return CreateDialogA((HINSTANCE)instance, "XFERDLG", Hwnd(main), TransferDialogProc);
}

void PlatShowWindow(PlatWindow w, int show) { ShowWindow(Hwnd(w), show); }

int PlatMessageLoop(PlatWindow *dialogHandle) {
    MSG m;
    ZeroMemory(&m, sizeof m);
    // GetMessage answers -1 on an invalid call; treat it as the end, not
    // as a message.
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        HWND dlg = Hwnd(*dialogHandle);
        if (dlg && IsDialogMessageA(dlg, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return m.message == WM_QUIT ? (int)m.wParam : 0;
}

void PlatPostQuit(int code) { PostQuitMessage(code); }
void PlatDestroyWindow(PlatWindow w) { DestroyWindow(Hwnd(w)); }
PlatWindow PlatOwner(PlatWindow w) { return GetParent(Hwnd(w)); }

int PlatPostEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    return PostMessageA(Hwnd(w), msg, (WPARAM)wp, (LPARAM)lp) != 0;
}

int PlatSendEvent(PlatWindow w, unsigned msg, uintptr_t wp, intptr_t lp) {
    return (int)SendMessageA(Hwnd(w), msg, (WPARAM)wp, (LPARAM)lp);
}

int PlatStartTimer(PlatWindow w, unsigned id, unsigned ms) {
    return SetTimer(Hwnd(w), id, ms, NULL) != 0;
}

void PlatStopTimer(PlatWindow w, unsigned id) { KillTimer(Hwnd(w), id); }

// ---- Dialog fields and window look ----------------------------------------

void PlatSetField(PlatWindow dlg, int id, const char *text) { SetDlgItemTextA(Hwnd(dlg), id, text); }
void PlatSetCaption(PlatWindow w, const char *text) { SetWindowTextA(Hwnd(w), text); }

void PlatFitOwnerToDialog(PlatWindow dlg) {
    RECT r;
    if (!GetWindowRect(Hwnd(dlg), &r)) return;
    HWND owner = GetParent(Hwnd(dlg));
    if (!owner) return;
    SetWindowPos(owner, NULL, 0, 0, r.right - r.left,
                 r.bottom - r.top + GetSystemMetrics(SM_CYMENU), SWP_NOMOVE | SWP_NOZORDER);
}

void PlatDesktopSize(int *width, int *height) {
    RECT r;
    ZeroMemory(&r, sizeof r);
    GetWindowRect(GetDesktopWindow(), &r);
    *width = r.right;
    *height = r.bottom;
}

void PlatMoveWindow(PlatWindow w, int x, int y) {
    SetWindowPos(Hwnd(w), NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void PlatRaiseWindow(PlatWindow w) {
    SetWindowPos(Hwnd(w), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void PlatSetFocus(PlatWindow w) { SetFocus(Hwnd(w)); }
int PlatIsIconic(PlatWindow w) { return IsIconic(Hwnd(w)) != 0; }

// A static control with SS_ICON takes its window text as the name of an
// icon resource of the instance and sizes itself to the icon.
PlatWindow PlatCreateIconWindow(PlatWindow dlg, void *instance, const char *iconName, int x, int y) {
    return CreateWindowA("static", iconName, SS_ICON | WS_CHILD | WS_VISIBLE, x, y, 0, 0, Hwnd(dlg),
                         NULL, (HINSTANCE)instance, NULL);
}
