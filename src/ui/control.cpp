#include "control.h"

#include "form.h"
#include "util/text.h"

void Control::CreateControl(Form& parent, int id, const wchar_t* className, DWORD style, int left, int top, int width,
                            int height, std::string_view text) {
    id_ = id;
    window_ = CreateWindowExW(0, className, Utf8ToWide(text).c_str(), WS_CHILD | style, left, top, width, height,
                              parent.Handle(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                              GetModuleHandleW(nullptr), nullptr);
    SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(parent.Font()), FALSE);
}

void Control::SetVisible(bool visible) { ShowWindow(window_, visible ? SW_SHOWNA : SW_HIDE); }

void Control::ShowInstead(Control& other) {
    SetVisible(true);
    if (GetFocus() == other.window_) SetFocus(window_);
    other.SetVisible(false);
}

bool Control::Visible() const { return (GetWindowLongPtrW(window_, GWL_STYLE) & WS_VISIBLE) != 0; }

void Control::SetEnabled(bool enabled) { EnableWindow(window_, enabled ? TRUE : FALSE); }

bool Control::Enabled() const { return IsWindowEnabled(window_) != FALSE; }

void Control::SetBounds(int left, int top, int width, int height) {
    SetWindowPos(window_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT Control::Bounds() const {
    RECT rect{};
    GetWindowRect(window_, &rect);
    MapWindowPoints(nullptr, GetParent(window_), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), length + 1)));
    return WideToUtf8(text);
}

std::string Control::Text() const { return WindowText(window_); }

void Control::SetTextNow(std::string_view text) { SetWindowTextW(window_, Utf8ToWide(text).c_str()); }
