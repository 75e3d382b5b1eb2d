#include "application.h"

#include "form.h"
#include "util/text.h"

#include <commctrl.h>

namespace {

HINSTANCE g_instance = nullptr;
std::string g_title;
HWND g_mainWindow = nullptr;
bool g_terminated = false;
bool g_busyCursor = false;

}  // namespace

void Application::Initialize(HINSTANCE instance, std::string_view title) {
    g_instance = instance;
    g_title = title;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

HINSTANCE Application::Instance() { return g_instance ? g_instance : GetModuleHandleW(nullptr); }

void Application::Dispatch(MSG& message) {
    // Tab and the arrow keys move between the main form's controls as in a dialog.
    if (g_mainWindow && IsWindow(g_mainWindow) && IsDialogMessageW(g_mainWindow, &message)) return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

void Application::Run(Form& form) {
    g_mainWindow = form.Handle();
    g_terminated = false;
    form.Show();
    MSG message;
    while (!g_terminated && GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(message);
    g_terminated = true;
}

bool Application::ProcessMessages() {
    MSG message;
    while (!g_terminated && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            g_terminated = true;
            PostQuitMessage(static_cast<int>(message.wParam));  // leave it for the main loop too
            break;
        }
        Dispatch(message);
    }
    return !g_terminated;
}

bool Application::Terminated() { return g_terminated; }

HWND Application::DialogOwner() {
    return (g_mainWindow && IsWindow(g_mainWindow) && IsWindowVisible(g_mainWindow)) ? g_mainWindow : nullptr;
}

void Application::SetBusyCursor(bool busy) {
    g_busyCursor = busy;
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

bool Application::BusyCursor() { return g_busyCursor; }

void Application::MainFormDestroyed(HWND window) {
    if (window == g_mainWindow) {
        g_mainWindow = nullptr;
        PostQuitMessage(0);
    }
}

std::string Application::WithFinalFullStop(std::string_view message) {
    std::string text(message);
    if (text.empty()) return text;
    // The first byte of the last character decides; any non-ASCII character sorts above ".".
    size_t last = text.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
    if (static_cast<unsigned char>(text[last]) > '.') text += '.';
    return text;
}

void Application::ShowException(const std::exception& error) { ShowException(std::string_view(error.what())); }

void Application::ShowException(std::string_view message) {
    MessageBoxW(DialogOwner(), Utf8ToWide(WithFinalFullStop(message)).c_str(), Utf8ToWide(g_title).c_str(),
                MB_OK | MB_ICONSTOP);
}

void Application::ShowFatalError(std::string_view message) {
    MessageBoxW(nullptr, Utf8ToWide(WithFinalFullStop(message)).c_str(), L"アプリケーション エラー",
                MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}
