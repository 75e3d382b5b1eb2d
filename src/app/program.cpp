#include "program.h"

#include "mainform.h"
#include "product.h"
#include "ui/application.h"
#include "ui/message_dialog.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/text.h"
#include "util/version.h"

#include <memory>

namespace {

const char* const kProductRunning =
    "【カレドナ】が起動されています。\r終了させてから「OK」ボタンをクリックしてください。\r「ｷｬﾝｾﾙ」ボタンで中止します。";
const char* const kWorkFolderFailed = "作業用フォルダの作成に失敗しました。\rアップデート処理を中止します。";
const char* const kNotInstalled = "【カレドナ】がインストールされていません。\rアップデート処理を中止します。";
const char* const kVersionUnknownAsk = "現在のインストールバージョンが取得できません。\rアップデート処理を続行しますか？";
const char* const kCancelled = "アップデート処理を中止します。";
const char* const kVersionUnknownStop = "現在のインストールバージョンが取得できません。\r処理を中止します。";
const char* const kSameVersion = "既に同バージョンがインストールされています。\rアップデート処理を続行しますか？";
const char* const kDowngrade =
    "現在のインストールバージョンよりも古いバージョンに変更しようとしています。\rアップデート処理を続行しますか？";

bool ProductRunning() { return FindWindowW(kProductWindowClass, nullptr) != nullptr; }

// Spaces and control characters removed from both ends.
std::string Trimmed(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return text.substr(begin, end - begin);
}

// The text without its last two characters; a text of one character stays as it is.
std::string WithoutLastTwoCharacters(const std::string& text) {
    std::wstring wide = Utf8ToWide(text);
    if (wide.size() >= 2) wide.resize(wide.size() - 2);
    return WideToUtf8(wide);
}

// Asks the user a Yes/No question; No is confirmed and means stop.
bool UserGoesOn(const char* question) {
    if (ConfirmYesNo(question)) return true;
    ShowInformation(kCancelled);
    return false;
}

struct Installation {
    std::string installPath;
    std::string workPath;
    std::string oldVersion;
};

bool CheckProductNotRunning() {
    while (ProductRunning()) {
        if (!ConfirmOkCancel(kProductRunning)) return false;
    }
    return true;
}

bool FindInstallation(Installation& found) {
    const std::optional<std::string> path = ReadInstallationPath(ProductSettingsFolder());
    // A settings file without a usable "Path" entry names no installation.
    if (!path || path->empty()) {
        ShowError(kNotInstalled);
        return false;
    }
    found.installPath = *path;
    found.workPath = *path + "Temp\\";
    if (!ForceFolder(found.workPath)) {
        ShowError(kWorkFolderFailed);
        return false;
    }
    return true;
}

bool CheckInstalledVersion(Installation& found) {
    const std::string executable = found.installPath + "karemain.exe";
    const std::string version = Trimmed(GetFileVersionText(executable, 3));
    if (version.empty()) {
        found.oldVersion = "不明";
        if (!FileExists(executable)) {
            ShowError(kVersionUnknownStop);
            return false;
        }
        return UserGoesOn(kVersionUnknownAsk);
    }
    found.oldVersion = WithoutLastTwoCharacters(version);
    const int order = CompareVersionText(found.oldVersion, kUpdateVersion);
    if (order == 0) return UserGoesOn(kSameVersion);
    if (order > 0) return UserGoesOn(kDowngrade);
    return true;
}

}  // namespace

int RunUpdater() {
    auto form = std::make_unique<TMainForm>();
    Installation found;
    const bool goOn = CheckProductNotRunning() && FindInstallation(found) && CheckInstalledVersion(found);
    form->SetInstallation(found.installPath, found.workPath, found.oldVersion);
    if (goOn) Application::Run(*form);
    form.reset();
    return 0;
}
