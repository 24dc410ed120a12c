// The entry point of the Windows program: the whole life of the program is
// the core's start-up routine.
#include <windows.h>

#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE hPrev, LPSTR lpCmdLine, int nShow) {
    return QeltaMain(hInst, hPrev != NULL, lpCmdLine, nShow);
}
