// Drives the demo update when nobody can: starts KarUpdt.exe, takes screenshots of the window
// before, during and after the download, presses the start button, answers the dialogs with
// their first button, and prints what it saw. Used by scripts/run.sh on a display without a user.
//
//   karupdt_demo_driver.exe SCREENSHOT_FOLDER
#include "robot.h"
#include "screenshot.h"
#include "version_resource.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Shot(HWND window, const std::wstring& folder, const wchar_t* name, DWORD settleMs = 1500) {
    const std::wstring path = folder + name;
    std::string error;
    if (SaveWindowScreenshot(window, path, &error, settleMs))
        Say("screenshot: " + robot::ToUtf8(path));
    else
        Say("screenshot failed: " + error);
}

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r') c = '/';
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        Say("usage: karupdt_demo_driver.exe SCREENSHOT_FOLDER [PROGRAM NAME OR PATH]");
        return 2;
    }
    std::wstring shots = argv[1];
    if (shots.back() != L'\\') shots += L'\\';
    const std::wstring program = argc > 2 ? argv[2] : L"KarUpdt.exe";

    // A bare name is a program of this build, beside the driver; a path is taken as it is.
    const bool path = program.find_first_of(L"\\:") != std::wstring::npos;
    robot::Process updater = robot::Process::Start(path ? program : BesideTestProgram(program), L"", L"C:\\");
    if (!updater.Started()) {
        Say(robot::ToUtf8(program) + " did not start: " + updater.Error());
        return 1;
    }
    robot::Window window(robot::WaitForWindowOfClass(updater.Id(), L"TMainForm"));
    if (!window.Exists()) {
        for (auto dialog = robot::FindDialog(updater.Id()); dialog; dialog = robot::FindDialog(updater.Id())) {
            Say("dialog before the window: " + robot::Describe(*dialog));
            dialog->Press(dialog->Buttons().front());
            robot::WaitForWindowGone(dialog->Handle());
        }
        Say("the update window did not appear");
        return 1;
    }
    Sleep(500);
    Shot(window.Handle(), shots, L"1-ready.bmp");
    auto oldVersion = window.ControlById(104);
    Say("window: " + window.Caption() + " / " + (oldVersion ? oldVersion->text : std::string()));
    if (!window.Click("アップデート開始")) {
        Say("the start button could not be pressed");
        return 1;
    }
    Say("pressed アップデート開始");
    bool duringShot = false;
    const DWORD start = GetTickCount();
    while (updater.Running() && GetTickCount() - start < 300000) {
        if (auto dialog = robot::FindDialog(updater.Id())) {
            Shot(dialog->Handle(), shots, L"3-dialog.bmp");
            Say("dialog: " + dialog->Title() + ": " + OneLine(dialog->Text()));
            dialog->Press(dialog->Buttons().front());
            robot::WaitForWindowGone(dialog->Handle());
            continue;
        }
        if (!duringShot) {
            auto progress = window.ControlById(103);
            if (progress && progress->text.find("Bytes") != std::string::npos) {
                Shot(window.Handle(), shots, L"2-downloading.bmp", 0);
                duringShot = true;
            }
        }
        Sleep(10);
    }
    const auto code = updater.WaitForExit(robot::Duration(5000));
    Say(robot::ToUtf8(program) + " ended with exit code " +
        (code ? std::to_string(*code) : std::string("(still running)")));
    return code && *code == 0 ? 0 : 1;
}
