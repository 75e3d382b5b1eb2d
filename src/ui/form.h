#pragma once
// A top-level window with a fixed pixel layout: the base of the program's main window.

#include "gdi.h"

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>

class Form {
public:
    Form() = default;
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;
    virtual ~Form();

    HWND Handle() const { return window_; }
    HFONT Font() const { return font_.get(); }

    void Show();
    void Close();  // posts a close request
    void Destroy();
    void SetCaption(std::string_view caption);
    std::string Caption() const;
    // Sets the client area (menu bar and frame come on top) and centres the window on the screen.
    void SetClientSize(int width, int height);
    void CenterOnScreen();
    void SetEnabled(bool enabled);
    bool Enabled() const;

    // Command handlers of buttons and menu items, by control or item id.
    void OnCommand(int id, std::function<void()> handler);
    // Text colour of a static control (labels); others use the window-text colour.
    void SetTextColor(HWND control, COLORREF color);

protected:
    // Creates the window: `className` is registered on first use; style as for CreateWindowEx.
    void CreateHandle(const wchar_t* className, DWORD style, DWORD exStyle, HMENU menu);
    void SetFont(FontHandle font) { font_ = std::move(font); }

    // Messages not handled here go to DefWindowProc. Exceptions never leave it: they are shown
    // in the standard error box.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // The window became the active window: the first time, and each time a window of this program
    // (a dialog) gave the activation back; not when the user comes back from another program.
    virtual void Activated() {}
    // A window message of the program's own range (WM_USER and above).
    virtual bool HandleUserMessage(UINT /*message*/, WPARAM, LPARAM) { return false; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static bool FromThisProgram(LPARAM previous);

    HWND window_ = nullptr;
    FontHandle font_;
    std::map<int, std::function<void()>> commands_;
    std::map<HWND, COLORREF> textColors_;
    bool activating_ = false;
    bool activatedBefore_ = false;
};
