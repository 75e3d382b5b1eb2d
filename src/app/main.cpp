// KarUpdt: the automatic update program of カレドナ.
#include "lhactrls/lhactrls.h"
#include "nx/nxcore.h"
#include "program.h"
#include "ui/application.h"

#include <windows.h>

#include <exception>

namespace {

// The program runs with administrator rights from wherever it was saved. Every DLL it loads from
// here on by name (the delay-loaded system DLLs at their first call, and what those load) comes
// from the System folder only: never from the program's own folder, the current folder or PATH.
// Windows 7 without its loader update lacks SetDefaultDllDirectories; there the current folder at
// least leaves the search.
void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything that could load a DLL.
    RestrictDllSearchToSystemFolder();
    Application::Initialize(instance, "KarUpdt");
    // The HTTP engine is made ready and the archiver library bound before the window exists; both
    // are released after the program body ends.
    NetXferEngines engines;
    SetNetXferMessageDispatch(&Application::Dispatch);
    LhaLibraryScope archiver;
    try {
        return RunUpdater();
    } catch (const std::exception& error) {
        Application::ShowFatalError(error.what());
    } catch (...) {
        Application::ShowFatalError("Unknown error");
    }
    return 1;
}
