#pragma once
// A dialog that asks for a user name and a password: caption, prompt, the two labelled edit fields
// (the password's characters shown masked), "OK" and "キャンセル".

#include <string>
#include <string_view>

// Shows the dialog with `user` in the name field and an empty password field. Returns true with
// the entered texts after "OK"; returns false and leaves both as they were after "キャンセル",
// Escape or the close box.
bool LogonQuery(std::string_view caption, std::string_view prompt, std::string& user, std::string& password);
