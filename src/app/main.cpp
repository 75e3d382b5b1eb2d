// KarUpdt: the automatic update program of カレドナ.
#include "lhactrls/lhactrls.h"
#include "program.h"
#include "ui/application.h"

#include <windows.h>

#include <exception>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    Application::Initialize(instance);
    // The archiver library is bound before the window exists and released after the program ends.
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
