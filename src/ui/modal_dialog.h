#pragma once
// The base of the program's own modal dialogs: a dialog box made from an in-memory template with
// no controls; the derived class creates its controls in pixels when the dialog starts, so that
// titles, texts and button captions are exactly the program's on any Windows.

#include "gdi.h"

#include <windows.h>

#include <string>
#include <string_view>

class ModalDialog {
public:
    ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;
    virtual ~ModalDialog() = default;

    // Shows the dialog, centred on the screen, and returns the id it was ended with.
    INT_PTR Run(HWND owner, std::string_view title);

protected:
    HWND Handle() const { return dialog_; }
    HFONT Font() const { return font_.get(); }

    // Creates the controls and sizes the dialog (SetClientSize).
    virtual void Build() = 0;
    // A button or Escape (IDCANCEL) or the close box (IDCANCEL): end the dialog with the result
    // returned, or return -1 to keep it open.
    virtual INT_PTR Command(int id) = 0;

    HWND AddControl(const wchar_t* className, int id, DWORD style, int left, int top, int width, int height,
                    std::string_view text);
    HWND AddButton(int id, int left, int top, std::string_view caption, bool isDefault);
    // Width and height of `text` in the dialog's font, lines broken at CR, LF or CR LF.
    SIZE MeasureText(std::string_view text) const;
    void SetClientSize(int width, int height);

    static constexpr int kButtonWidth = 75;
    static constexpr int kButtonHeight = 25;

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    HWND dialog_ = nullptr;
    FontHandle font_;
};
