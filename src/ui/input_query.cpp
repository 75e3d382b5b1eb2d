#include "input_query.h"

#include "application.h"
#include "control.h"
#include "modal_dialog.h"
#include "util/text.h"

namespace {

constexpr int kPromptId = 100;
constexpr int kEditId = 101;

class InputDialog : public ModalDialog {
public:
    InputDialog(std::string_view prompt, std::string value) : prompt_(prompt), value_(std::move(value)) {}
    const std::string& Value() const { return value_; }

protected:
    void Build() override {
        constexpr int margin = 12;
        constexpr int width = 280;
        const SIZE promptSize = MeasureText(prompt_);
        AddControl(L"STATIC", kPromptId, SS_LEFT | SS_NOPREFIX, margin, margin, promptSize.cx, promptSize.cy, prompt_);
        const int editTop = margin + promptSize.cy + 6;
        edit_ =
            AddControl(L"EDIT", kEditId, WS_TABSTOP | ES_AUTOHSCROLL, margin, editTop, width - 2 * margin, 23, value_);
        const int buttonsTop = editTop + 23 + 14;
        const int left = width - margin - 2 * kButtonWidth - 8;
        AddButton(IDOK, left, buttonsTop, "OK", true);
        AddButton(IDCANCEL, left + kButtonWidth + 8, buttonsTop, "キャンセル", false);
        SetClientSize(width, buttonsTop + kButtonHeight + margin);
        SetFocus(edit_);
        SendMessageW(edit_, EM_SETSEL, 0, -1);
    }

    INT_PTR Command(int id) override {
        if (id == IDOK) {
            value_ = WindowText(edit_);
            return IDOK;
        }
        if (id == IDCANCEL) return IDCANCEL;
        return -1;
    }

private:
    std::string prompt_;
    std::string value_;
    HWND edit_ = nullptr;
};

}  // namespace

bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) {
    InputDialog dialog(prompt, value);
    if (dialog.Run(Application::DialogOwner(), caption) != IDOK) return false;
    value = dialog.Value();
    return true;
}
