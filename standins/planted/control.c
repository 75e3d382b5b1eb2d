/* The control of the planted-DLL test: a program that imports version.dll directly, as KarUpdt.exe
   once did. Started beside a planted version.dll, it shows whether the loader of the system under
   test would load such a DLL at all; the test relies on no marker from KarUpdt.exe only when this
   program leaves one. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command, int show) {
    DWORD handle = 0;
    (void)instance;
    (void)previous;
    (void)command;
    (void)show;
    return (int)GetFileVersionInfoSizeW(L"kernel32.dll", &handle) > 0 ? 0 : 1;
}
