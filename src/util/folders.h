#pragma once
// The system's special folders, and folder tests and creation. Paths are UTF-8.

#include <string>
#include <string_view>

#include <windows.h>

// The Windows folder as the system reports it (no trailing "\" except for a drive root); "" when
// the system call fails.
std::string GetWindowsFolder();

// The System folder, same conventions.
std::string GetSystemFolder();

// The shell's Program Files folder, trimmed of spaces and control characters, always ending
// with "\" (so "\" alone when the shell gives nothing). `owner` is the window that owns any UI.
std::string GetProgramFilesFolder(HWND owner = nullptr);

// True only when the path (a trailing "\" is allowed) names an existing folder.
bool FolderExists(std::string_view path);

// Creates every missing folder along the path (a trailing "\" is allowed). True when the folder
// exists afterwards. Throws Exception("ディレクトリを作成できません") for an empty path, and so
// for a relative single name such as "Temp", whose parent part is empty.
bool ForceFolder(std::string_view path);

// The folder of the running program, ending with "\"; "" when the system cannot say.
std::string GetProgramFolder();

// The path is a full one: "X:\..." or "\\server\share\...".
bool IsFullPath(std::string_view path);

// Everything up to and including the last "\" or ":" ("" when there is neither).
std::string ExtractFolderPart(std::string_view path);

// The path with a "\" appended unless it already ends with one.
std::string WithTrailingBackslash(std::string_view path);

// The path without one trailing "\".
std::string WithoutTrailingBackslash(std::string_view path);
