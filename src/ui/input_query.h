#pragma once
// A one-line input dialog: caption, prompt, an edit field, "OK" and "キャンセル".

#include <string>
#include <string_view>

// Shows the dialog with `value` in the edit field. Returns true and the edited text in `value`
// after "OK"; returns false and leaves `value` as it was after "キャンセル", Escape or the close box.
bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value);
