// Times a whole update by KarUpdt.exe: from the press of the start button to the completion
// dialog, split where the message line changes (download, expansion, installation). Not a test:
// tests/e2e/bench-update.sh runs it beside curl fetching the same files.
//
//   karupdt_bench_update.exe         prints "download_ms=… expansion_ms=… installation_ms=… total_ms=…"
#include "robot.h"
#include "version_resource.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// The label's text as the system keeps it: never waits for the program's busy UI thread.
std::wstring KeptText(HWND window) {
    wchar_t text[256] = {};
    InternalGetWindowText(window, text, 256);
    return text;
}

long long Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

int wmain() {
    robot::Process updater = robot::Process::Start(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST), L"", L"C:\\");
    robot::Window window(robot::WaitForWindowOfClass(updater.Id(), L"TMainForm"));
    if (!window.Exists()) {
        std::puts("the update window did not appear");
        return 1;
    }
    const HWND message = GetDlgItem(window.Handle(), 101);
    while (KeptText(message).find(L"クリック") == std::wstring::npos) Sleep(5);

    // From the press itself: finding the button, among the other process's windows, is the robot's
    // own time (a few milliseconds under Wine), not the program's.
    if (!window.Click("アップデート開始")) return 1;
    const Clock::time_point start = Clock::now();
    Clock::time_point expanding{}, installing{}, done{};
    while (updater.Running()) {
        const std::wstring text = KeptText(message);
        const Clock::time_point now = Clock::now();
        if (expanding == Clock::time_point{} && text.find(L"展開") != std::wstring::npos) expanding = now;
        if (installing == Clock::time_point{} && text.find(L"アップデート処理") != std::wstring::npos) installing = now;
        if (installing != Clock::time_point{}) {
            if (auto dialog = robot::FindDialog(updater.Id())) {
                done = now;
                const std::string text = dialog->Text();
                dialog->Press("OK");
                if (text.find("完了") == std::string::npos) {
                    std::printf("the update did not complete: %s\n", text.c_str());
                    return 1;
                }
                break;
            }
        }
        if (Ms(start, now) > 600000) {
            std::puts("time-out");
            return 1;
        }
        Sleep(1);
    }
    updater.WaitForExit();
    if (done == Clock::time_point{}) {
        std::puts("no completion dialog seen");
        return 1;
    }
    std::printf("download_ms=%lld expansion_ms=%lld installation_ms=%lld total_ms=%lld\n", Ms(start, expanding),
                Ms(expanding, installing), Ms(installing, done), Ms(start, done));
    return 0;
}
