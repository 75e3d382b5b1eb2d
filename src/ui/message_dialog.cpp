#include "message_dialog.h"

#include "application.h"
#include "modal_dialog.h"

#include <algorithm>
#include <vector>

namespace {

struct ButtonSpec {
    int id;
    const char* caption;
};

// Control ids as the system's message box uses them, so that every box reads the same way.
constexpr int kIconId = 20;
constexpr int kTextId = 0xFFFF;

class MessageDialog : public ModalDialog {
public:
    MessageDialog(std::string_view text, DialogKind kind, DialogButtons buttons)
        : text_(text), kind_(kind), buttons_(buttons) {}

protected:
    void Build() override {
        constexpr int margin = 12;
        constexpr int iconSize = 32;
        constexpr int gap = 8;
        const std::vector<ButtonSpec> buttons = Buttons();

        const SIZE textSize = MeasureText(text_);
        const int textLeft = margin + iconSize + margin;
        const int buttonsWidth =
            static_cast<int>(buttons.size()) * kButtonWidth + (static_cast<int>(buttons.size()) - 1) * gap;
        const int width = std::max({textLeft + static_cast<int>(textSize.cx) + margin, buttonsWidth + 2 * margin, 200});
        const int contentHeight = std::max(iconSize, static_cast<int>(textSize.cy));
        const int buttonsTop = margin + contentHeight + margin + 4;
        const int height = buttonsTop + kButtonHeight + margin;

        HWND icon = AddControl(L"STATIC", kIconId, SS_ICON, margin, margin, iconSize, iconSize, "");
        SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, IconName())), 0);
        const int textTop = margin + std::max(0, (iconSize - static_cast<int>(textSize.cy)) / 2);
        AddControl(L"STATIC", kTextId, SS_LEFT | SS_NOPREFIX, textLeft, textTop, textSize.cx, textSize.cy, text_);

        int left = (width - buttonsWidth) / 2;
        HWND first = nullptr;
        for (const ButtonSpec& button : buttons) {
            HWND made = AddButton(button.id, left, buttonsTop, button.caption, first == nullptr);
            if (!first) first = made;
            left += kButtonWidth + gap;
        }
        SetClientSize(width, height);
        SetFocus(first);
    }

    INT_PTR Command(int id) override {
        if (id == IDCANCEL) return DecliningId();  // Escape or the close box
        for (const ButtonSpec& button : Buttons())
            if (button.id == id) return id;
        return -1;
    }

private:
    std::vector<ButtonSpec> Buttons() const {
        switch (buttons_) {
        case DialogButtons::OkCancel: return {{IDOK, "OK"}, {IDCANCEL, "キャンセル"}};
        case DialogButtons::YesNo: return {{IDYES, "はい(&Y)"}, {IDNO, "いいえ(&N)"}};
        case DialogButtons::Ok: break;
        }
        return {{IDOK, "OK"}};
    }

    int DecliningId() const {
        switch (buttons_) {
        case DialogButtons::OkCancel: return IDCANCEL;
        case DialogButtons::YesNo: return IDNO;
        case DialogButtons::Ok: break;
        }
        return IDOK;
    }

    const wchar_t* IconName() const {
        switch (kind_) {
        case DialogKind::Confirmation: return IDI_QUESTION;
        case DialogKind::Error: return IDI_ERROR;
        case DialogKind::Information: break;
        }
        return IDI_INFORMATION;
    }

    std::string text_;
    DialogKind kind_;
    DialogButtons buttons_;
};

const char* TitleOf(DialogKind kind) {
    switch (kind) {
    case DialogKind::Confirmation: return "確認";
    case DialogKind::Error: return "エラー";
    case DialogKind::Information: break;
    }
    return "情報";
}

}  // namespace

DialogResult ShowMessageDialog(std::string_view text, DialogKind kind, DialogButtons buttons) {
    MessageDialog dialog(text, kind, buttons);
    switch (dialog.Run(Application::DialogOwner(), TitleOf(kind))) {
    case IDOK: return DialogResult::Ok;
    case IDCANCEL: return DialogResult::Cancel;
    case IDYES: return DialogResult::Yes;
    case IDNO: return DialogResult::No;
    default: break;
    }
    // The dialog could not be shown: that never counts as consent.
    switch (buttons) {
    case DialogButtons::OkCancel: return DialogResult::Cancel;
    case DialogButtons::YesNo: return DialogResult::No;
    case DialogButtons::Ok: break;
    }
    return DialogResult::Ok;
}
