#include "logon_query.h"

#include "application.h"
#include "control.h"
#include "modal_dialog.h"
#include "util/text.h"

#include <algorithm>

namespace {

constexpr int kPromptId = 100;
constexpr int kUserLabelId = 101;
constexpr int kUserId = 102;
constexpr int kPasswordLabelId = 103;
constexpr int kPasswordId = 104;

class LogonDialog : public ModalDialog {
public:
    LogonDialog(std::string_view prompt, std::string user) : prompt_(prompt), user_(std::move(user)) {}
    ~LogonDialog() override { Forget(password_); }
    const std::string& User() const { return user_; }
    std::string& Password() { return password_; }

    // Overwrites the characters before the memory is given back.
    static void Forget(std::string& text) {
        SecureZeroMemory(text.data(), text.size());
        text.clear();
    }

protected:
    void Build() override {
        constexpr int margin = 12;
        constexpr int labelWidth = 80;
        const SIZE promptSize = MeasureText(prompt_);
        const int width = std::max<int>(320, promptSize.cx + 2 * margin);
        AddControl(L"STATIC", kPromptId, SS_LEFT | SS_NOPREFIX, margin, margin, promptSize.cx, promptSize.cy, prompt_);
        const int fieldLeft = margin + labelWidth;
        const int fieldWidth = width - margin - fieldLeft;
        const int userTop = margin + promptSize.cy + 10;
        AddControl(L"STATIC", kUserLabelId, SS_LEFT | SS_NOPREFIX, margin, userTop + 4, labelWidth, 18, "ユーザー名");
        user_edit_ =
            AddControl(L"EDIT", kUserId, WS_TABSTOP | ES_AUTOHSCROLL, fieldLeft, userTop, fieldWidth, 23, user_);
        const int passwordTop = userTop + 23 + 8;
        AddControl(L"STATIC", kPasswordLabelId, SS_LEFT | SS_NOPREFIX, margin, passwordTop + 4, labelWidth, 18,
                   "パスワード");
        password_edit_ = AddControl(L"EDIT", kPasswordId, WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, fieldLeft,
                                    passwordTop, fieldWidth, 23, "");
        const int buttonsTop = passwordTop + 23 + 14;
        const int left = width - margin - 2 * kButtonWidth - 8;
        AddButton(IDOK, left, buttonsTop, "OK", true);
        AddButton(IDCANCEL, left + kButtonWidth + 8, buttonsTop, "キャンセル", false);
        SetClientSize(width, buttonsTop + kButtonHeight + margin);
        // A name already given: the password is what is asked for. Posted, because the dialog
        // gives the focus to its first field once this returns.
        if (!user_.empty()) PostMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(password_edit_), TRUE);
    }

    INT_PTR Command(int id) override {
        if (id == IDOK) {
            user_ = WindowText(user_edit_);
            password_ = WindowText(password_edit_);
            SetWindowTextW(password_edit_, L"");
            return IDOK;
        }
        if (id == IDCANCEL) return IDCANCEL;
        return -1;
    }

private:
    std::string prompt_;
    std::string user_;
    std::string password_;
    HWND user_edit_ = nullptr;
    HWND password_edit_ = nullptr;
};

}  // namespace

bool LogonQuery(std::string_view caption, std::string_view prompt, std::string& user, std::string& password) {
    LogonDialog dialog(prompt, user);
    if (dialog.Run(Application::DialogOwner(), caption) != IDOK) return false;
    user = dialog.User();
    LogonDialog::Forget(password);
    password.swap(dialog.Password());
    return true;
}
