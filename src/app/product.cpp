#include "product.h"

#include "util/files.h"
#include "util/folders.h"
#include "util/settings.h"

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
