/* A library with only two of the archiver's entry points, and not Unlha. */
#include <windows.h>

__declspec(dllexport) int WINAPI UnlhaGetVersion(void) { return 123; }
__declspec(dllexport) int WINAPI UnlhaCheckArchive(const char* name, int mode) {
    (void)name;
    return mode + 1;
}
