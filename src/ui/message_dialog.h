#pragma once
// The program's message dialogs: confirmation, error and information boxes with the program's
// own titles, icons and button captions.

#include <string_view>

enum class DialogKind { Confirmation, Error, Information };
enum class DialogButtons { Ok, OkCancel, YesNo };
enum class DialogResult { Ok, Cancel, Yes, No };

// Shows a modal message dialog and returns the button chosen. Escape and the close box choose
// the button that declines: "キャンセル" in an OK/Cancel question, "いいえ(&N)" in a Yes/No
// question, "OK" where it is the only button. A lone "\r" in the text breaks the line.
DialogResult ShowMessageDialog(std::string_view text, DialogKind kind, DialogButtons buttons);

// Shorthands for the common cases.
inline bool ConfirmOkCancel(std::string_view text) {
    return ShowMessageDialog(text, DialogKind::Confirmation, DialogButtons::OkCancel) == DialogResult::Ok;
}
inline bool ConfirmYesNo(std::string_view text) {
    return ShowMessageDialog(text, DialogKind::Confirmation, DialogButtons::YesNo) != DialogResult::No;
}
inline void ShowError(std::string_view text) { ShowMessageDialog(text, DialogKind::Error, DialogButtons::Ok); }
inline void ShowInformation(std::string_view text) {
    ShowMessageDialog(text, DialogKind::Information, DialogButtons::Ok);
}
