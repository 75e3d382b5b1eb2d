#pragma once
// A child control of a form: a real Win32 control at a pixel position, with the form's font.

#include <windows.h>

#include <string>
#include <string_view>

class Form;

// The whole text of a window (a caption, a control's text), as UTF-8.
std::string WindowText(HWND window);

class Control {
public:
    Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    virtual ~Control() = default;  // the form's window destroys its children

    HWND Handle() const { return window_; }
    int Id() const { return id_; }

    void SetVisible(bool visible);
    bool Visible() const;
    // Shows this control in place of `other` and hides `other`. The keyboard focus follows when
    // `other` had it, so that it never stays on a hidden control.
    void ShowInstead(Control& other);
    void SetEnabled(bool enabled);
    bool Enabled() const;
    void SetBounds(int left, int top, int width, int height);
    RECT Bounds() const;  // in the parent's client coordinates
    std::string Text() const;

protected:
    void CreateControl(Form& parent, int id, const wchar_t* className, DWORD style, int left, int top, int width,
                       int height, std::string_view text);
    void SetTextNow(std::string_view text);

private:
    HWND window_ = nullptr;
    int id_ = 0;
};
