#include "modal_dialog.h"

#include "application.h"
#include "util/text.h"

#include <vector>

namespace {

// A DLGTEMPLATE with no controls and the given title; DWORD-aligned as the API requires.
std::vector<WORD> MakeTemplate(std::string_view title) {
    std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
    auto* header = reinterpret_cast<DLGTEMPLATE*>(words.data());
    header->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
    header->dwExtendedStyle = WS_EX_DLGMODALFRAME;
    header->cdit = 0;
    header->cx = 100;
    header->cy = 50;
    words.push_back(0);  // no menu
    words.push_back(0);  // the standard dialog class
    for (wchar_t c : Utf8ToWide(title)) words.push_back(static_cast<WORD>(c));
    words.push_back(0);
    return words;
}

}  // namespace

INT_PTR ModalDialog::Run(HWND owner, std::string_view title) {
    const std::vector<WORD> dialogTemplate = MakeTemplate(title);
    font_ = MakeMessageFont();
    return DialogBoxIndirectParamW(Application::Instance(), reinterpret_cast<const DLGTEMPLATE*>(dialogTemplate.data()),
                                   owner, &ModalDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND ModalDialog::AddControl(const wchar_t* className, int id, DWORD style, int left, int top, int width, int height,
                             std::string_view text) {
    HWND control =
        CreateWindowExW(className == std::wstring_view(L"EDIT") ? WS_EX_CLIENTEDGE : 0, className,
                        Utf8ToWide(text).c_str(), WS_CHILD | WS_VISIBLE | style, left, top, width, height, dialog_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Application::Instance(), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    return control;
}

HWND ModalDialog::AddButton(int id, int left, int top, std::string_view caption, bool isDefault) {
    HWND button = AddControl(L"BUTTON", id, WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), left, top,
                             kButtonWidth, kButtonHeight, caption);
    if (isDefault) SendMessageW(dialog_, DM_SETDEFID, static_cast<WPARAM>(id), 0);
    return button;
}

SIZE ModalDialog::MeasureText(std::string_view text) const {
    const std::wstring wide = Utf8ToWide(text);
    // A memory context of the screen measures as the dialog's own would.
    const MemoryDc dc(CreateCompatibleDC(nullptr));
    HGDIOBJ previous = SelectObject(dc.get(), font_.get());
    RECT rect{0, 0, 1000, 0};
    DrawTextW(dc.get(), wide.c_str(), static_cast<int>(wide.size()), &rect, DT_CALCRECT | DT_NOPREFIX | DT_LEFT);
    SelectObject(dc.get(), previous);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

void ModalDialog::SetClientSize(int width, int height) {
    RECT rect{0, 0, width, height};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrW(dialog_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(dialog_, GWL_EXSTYLE)));
    const int outerWidth = rect.right - rect.left;
    const int outerHeight = rect.bottom - rect.top;
    SetWindowPos(dialog_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - outerWidth) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - outerHeight) / 2, outerWidth, outerHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<ModalDialog*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        self->dialog_ = dialog;
        SendMessageW(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(self->font_.get()), FALSE);
        bool built = false;
        Guarded([&] {
            self->Build();
            built = true;
        });
        if (!built) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        SetForegroundWindow(dialog);
        return TRUE;  // focus goes to the first tab stop (or the control Build focused)
    }
    auto* self = reinterpret_cast<ModalDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!self) return FALSE;
    int id = -1;
    if (message == WM_COMMAND && (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == 0))
        id = LOWORD(wParam);
    else if (message == WM_CLOSE)
        id = IDCANCEL;
    if (id < 0) return FALSE;
    INT_PTR result = -1;
    Guarded([&] { result = self->Command(id); });
    if (result != -1) EndDialog(dialog, result);
    return TRUE;
}
