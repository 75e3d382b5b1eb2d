#pragma once
// Where the installed product keeps its settings, and what the update brings.

#include <optional>
#include <string>

// The version this updater installs.
inline constexpr const char* kUpdateVersion = "1.6.0";

// The product's settings file, and the window class of the running product.
inline constexpr const char* kProductSettingsFile = "SpKaredona.ini";
inline constexpr const wchar_t* kProductWindowClass = L"TKarMake_Form";

// The folder to look for the product's settings file in, ending with "\": the maker folder
// "<drive of the Windows folder>:\TALVERN\KAREDONA\" when it exists, else the Windows folder.
std::string ProductSettingsFolder();

// The installation folder named by the "Path" entry of the product's settings file in `folder`;
// nothing when the file is missing, unreadable, or has no "Path" entry.
std::optional<std::string> ReadInstallationPath(const std::string& folder);
