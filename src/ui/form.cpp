#include "form.h"

#include "application.h"
#include "control.h"
#include "util/scope_exit.h"
#include "util/text.h"

Form::~Form() { Destroy(); }

void Form::CreateHandle(const wchar_t* className, DWORD style, DWORD exStyle, HMENU menu) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (!GetClassInfoExW(Application::Instance(), className, &existing)) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &Form::WindowProc;
        windowClass.hInstance = Application::Instance();
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = className;
        RegisterClassExW(&windowClass);
    }
    window_ = CreateWindowExW(exStyle, className, L"", style, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, menu,
                              Application::Instance(), this);
}

void Form::Show() {
    if (!window_) return;
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
    UpdateWindow(window_);
}

void Form::Close() {
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
}

void Form::Destroy() {
    if (window_) DestroyWindow(window_);
    window_ = nullptr;
}

void Form::SetCaption(std::string_view caption) { SetWindowTextW(window_, Utf8ToWide(caption).c_str()); }

std::string Form::Caption() const { return WindowText(window_); }

void Form::SetClientSize(int width, int height) {
    RECT rect{0, 0, width, height};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), GetMenu(window_) != nullptr,
                       static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)));
    SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // A menu bar that wraps takes more room than AdjustWindowRectEx assumes: correct once.
    RECT client{};
    GetClientRect(window_, &client);
    if (client.bottom != height) {
        RECT outer{};
        GetWindowRect(window_, &outer);
        SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left,
                     outer.bottom - outer.top + height - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    CenterOnScreen();
}

void Form::CenterOnScreen() {
    RECT outer{};
    GetWindowRect(window_, &outer);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::SetEnabled(bool enabled) { EnableWindow(window_, enabled ? TRUE : FALSE); }

bool Form::Enabled() const { return IsWindowEnabled(window_) != FALSE; }

void Form::OnCommand(int id, std::function<void()> handler) { commands_[id] = std::move(handler); }

void Form::SetTextColor(HWND control, COLORREF color) { textColors_[control] = color; }

LRESULT Form::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: {
        auto handler = commands_.find(LOWORD(wParam));
        const bool fromMenuOrButton = HIWORD(wParam) == 0 || HIWORD(wParam) == BN_CLICKED;
        if (handler != commands_.end() && fromMenuOrButton) {
            // Copied: a handler may replace the handlers while it runs.
            auto run = handler->second;
            run();
            return 0;
        }
        break;
    }
    case WM_CTLCOLORSTATIC: {
        const auto control = reinterpret_cast<HWND>(lParam);
        const auto dc = reinterpret_cast<HDC>(wParam);
        auto color = textColors_.find(control);
        ::SetTextColor(dc, color != textColors_.end() ? color->second : GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
        if (Application::BusyCursor()) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        // Handlers may show boxes that take and give back the activation: no nested runs. The
        // handler runs at the first activation and when a window of this program (a dialog) gives
        // the activation back, not when the user comes back from another program.
        if (LOWORD(wParam) != WA_INACTIVE && !activating_ && (!activatedBefore_ || FromThisProgram(lParam))) {
            activatedBefore_ = true;
            activating_ = true;
            const ScopeExit reset([this] { activating_ = false; });
            Activated();
        }
        break;
    default:
        if (message >= WM_USER && message < 0x8000 && HandleUserMessage(message, wParam, lParam)) return 0;
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

// The window that gave up the activation (WM_ACTIVATE's lParam) belongs to this program.
bool Form::FromThisProgram(LPARAM previous) {
    const auto window = reinterpret_cast<HWND>(previous);
    DWORD process = 0;
    if (window) GetWindowThreadProcessId(window, &process);
    return window && process == GetCurrentProcessId();
}

LRESULT CALLBACK Form::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Form*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        if (form) form->window_ = nullptr;
        Application::MainFormDestroyed(window);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (!form) return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    bool handled = false;
    Guarded([&] {
        result = form->HandleMessage(message, wParam, lParam);
        handled = true;
    });
    // After an exception the message still gets its default processing.
    return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}
