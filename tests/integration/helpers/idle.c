/* Does nothing until its standard input ends. The tests keep one running
   per Wine prefix, so that the prefix's wineserver and its services stay
   up between runs instead of starting anew for each; it shows no window
   and so holds no desktop, which each run makes on its own X server. */
#include <windows.h>

int main(void) {
    char buf[64];
    DWORD got;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(in, buf, sizeof buf, &got, NULL) && got > 0) {
    }
    return 0;
}
