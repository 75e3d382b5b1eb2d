#include "product.h"

#include "util/files.h"
#include "util/folders.h"
#include "util/settings.h"
#include "util/text.h"
#include "util/version.h"

#include "ui/message_dialog.h"

#include <windows.h>

#include <cstring>

std::string ProductSettingsFolder() {
    std::string folder = GetWindowsFolder();
    if (!folder.empty()) {
        const std::string maker = folder.substr(0, 1) + ":\\TALVERN\\KAREDONA";
        if (FolderExists(maker)) folder = maker;
    }
    return WithTrailingBackslash(folder);
}

std::optional<std::string> ReadInstallationPath(const std::string& folder) {
    const std::string file = folder + kProductSettingsFile;
    if (!FileExists(file)) return std::nullopt;
    return ReadSettingFromFile(file, "Path");
}

bool ProductRunning() { return FindWindowW(kProductWindowClass, nullptr) != nullptr; }

bool WaitUntilProductEnds() {
    while (ProductRunning()) {
        if (!ConfirmOkCancel(kProductRunningQuestion)) return false;
    }
    return true;
}

namespace {

// The text without its last two characters, counted in the bytes of the text in the system's ANSI
// code page (a double-byte character counts as two); a text of one byte stays as it is.
std::string WithoutLastTwoCharacters(const std::string& text) {
    std::string ansi = Utf8ToAnsi(text);
    if (ansi.size() >= 2) ansi.resize(ansi.size() - 2);
    return AnsiToUtf8(ansi);
}

}  // namespace

std::optional<std::string> ProductVersionOf(const std::string& executable) {
    const std::string version = TrimmedText(GetFileVersionText(executable, VersionKey::FileVersion));
    if (version.empty()) return std::nullopt;
    return WithoutLastTwoCharacters(version);
}

bool IsWindowsExecutable(const std::string& path) {
    // The DOS header and the signature it points to are read, never the whole file.
    const std::optional<std::string> header = ReadFilePart(path, 0, 0x40);
    if (!header || header->size() < 0x40 || header->compare(0, 2, "MZ") != 0) return false;
    std::uint32_t offset = 0;
    std::memcpy(&offset, header->data() + 0x3C, sizeof offset);
    return ReadFilePart(path, offset, 4) == std::string("PE\0\0", 4);
}
