#pragma once
// name=value settings files (SpKaredona.ini, DOWNLOAD.INI) read as plain lists of lines.
//
// A line counts when it holds a "="; its name is everything before the first "=", compared with
// the name asked for without regard to letter case and without trimming; the first such line wins
// and its value is everything after that "=", untrimmed. [section] lines play no part. Lines end
// at CR LF, a lone CR or a lone LF.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Splits text into lines at CR LF, lone CR or lone LF. A final line ending does not start a
// further (empty) line.
std::vector<std::string_view> SplitLines(std::string_view text);

// The value of the first line named `name` in `text`, or nothing when no line has that name.
std::optional<std::string> FindSetting(std::string_view text, std::string_view name);

// The same for a file in the system's ANSI code page (value returned as UTF-8); nothing when the
// file cannot be read or has no such line.
std::optional<std::string> ReadSettingFromFile(std::string_view path, std::string_view name);
