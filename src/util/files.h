#pragma once
// Small file queries and whole-file reads. Paths are UTF-8.

#include <optional>
#include <string>
#include <string_view>

// True when the path names an existing file (a folder of that name gives false).
bool FileExists(std::string_view path);

// The file's bytes, or nothing when it cannot be opened or read.
std::optional<std::string> ReadFileBytes(std::string_view path);

// Creates the file (replacing one of that name) and writes `bytes` into it. False when it cannot be
// created or written; GetLastError() then tells why.
bool WriteWholeFile(std::string_view path, std::string_view bytes);

// A text file in the system's ANSI code page, converted to UTF-8; nothing when it cannot be read.
std::optional<std::string> ReadAnsiTextFile(std::string_view path);
