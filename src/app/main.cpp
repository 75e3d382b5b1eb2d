// KarUpdt: the automatic update program of カレドナ.
#include "lhactrls/lhactrls.h"
#include "nx/nxcore.h"
#include "program.h"
#include "ui/application.h"

#include <windows.h>

#include <exception>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
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
