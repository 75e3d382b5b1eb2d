#pragma once
// Where the installed product keeps its settings, and what the update brings.

#include <optional>
#include <string>

// The version this updater installs.
inline constexpr const char* kUpdateVersion = KARUPDT_VERSION;  // the CMake project version

// The product's settings file, and the window class of the running product.
inline constexpr const char* kProductSettingsFile = "SpKaredona.ini";
inline constexpr const wchar_t* kProductWindowClass = L"TKarMake_Form";

// Asked while the product's window is open; OK looks again, Cancel stops.
inline constexpr const char* kProductRunningQuestion =
    "【カレドナ】が起動されています。\r終了させてから「OK」ボタンをクリックしてください。\r「ｷｬﾝｾﾙ」ボタンで中止します。";
// Confirms that the user stopped the update.
inline constexpr const char* kUpdateCancelled = "アップデート処理を中止します。";

// A window of the running product exists.
bool ProductRunning();
// Asks the user to end the product while its window is open; false when the user stops instead.
bool WaitUntilProductEnds();

// The folder to look for the product's settings file in, ending with "\": the maker folder
// "<drive of the Windows folder>:\TALVERN\KAREDONA\" when it exists, else the Windows folder.
std::string ProductSettingsFolder();

// The installation folder named by the "Path" entry of the product's settings file in `folder`;
// nothing when the file is missing, unreadable, or has no "Path" entry.
std::optional<std::string> ReadInstallationPath(const std::string& folder);

// The version of the product's executable as the update compares it: its "FileVersion" with
// blanks and control characters trimmed and the last two characters removed ("1.6.0.0" gives
// "1.6.0"). Nothing when it has none. Throws Exception when the resource has no translation table.
std::optional<std::string> ProductVersionOf(const std::string& executable);

// The file starts as a Windows executable does (an MZ header pointing at a PE signature).
bool IsWindowsExecutable(const std::string& path);
