#include "program.h"

#include "mainform.h"
#include "product.h"
#include "staging.h"
#include "transaction.h"
#include "user_failure.h"
#include "ui/application.h"
#include "ui/message_dialog.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/text.h"
#include "util/version.h"

#include <memory>

namespace {

const char* const kWorkFolderFailed = "作業用フォルダの作成に失敗しました。\rアップデート処理を中止します。";
const char* const kNotInstalled = "【カレドナ】がインストールされていません。\rアップデート処理を中止します。";
const char* const kVersionUnknownAsk =
    "現在のインストールバージョンが取得できません。\rアップデート処理を続行しますか？";
const char* const kVersionUnknownStop = "現在のインストールバージョンが取得できません。\r処理を中止します。";
const char* const kSameVersion = "既に同バージョンがインストールされています。\rアップデート処理を続行しますか？";
const char* const kDowngrade =
    "現在のインストールバージョンよりも古いバージョンに変更しようとしています。\rアップデート処理を続行しますか？";

const char* const kRolledBack =
    "前回のアップデートは途中で中断されました。\r【カレドナ】を元のバージョンに戻しました。";
const char* const kCompletedLater =
    "前回のアップデートは途中で中断されましたが、ファイルの更新は済んでいたため、アップデートを完了しました。";
const char* const kRecoveryFailed =
    "前回のアップデートが途中で中断されたため、【カレドナ】を元に戻そうとしましたが、戻せないファイルがあります。\r"
    "【カレドナ】を終了してから、もう一度このプログラムを起動してください。";

// Asks the user a Yes/No question; No is confirmed and means stop.
bool UserGoesOn(const char* question) {
    if (ConfirmYesNo(question)) return true;
    ShowInformation(kUpdateCancelled);
    return false;
}

struct FoundInstallation {
    std::string installPath;
    std::string workPath;
    std::string oldVersion;
    // The folders on the way to the work folder, held for the whole run.
    HeldFolders folders;
};

// Holds the folders on the way to `folder`; false, with the message shown, when one is a link or
// cannot be held.
bool HoldFolders(FoundInstallation& found, const std::string& folder) {
    try {
        found.folders.Hold(folder);
        return true;
    } catch (const Exception& error) {
        ShowError(
            FailureText({"作業用フォルダの準備に失敗しました。", error.Message(), std::nullopt, kUpdateCancelled}));
        return false;
    }
}

// The folder is on a disk of this computer that no other computer can change under the program: a
// fixed or RAM disk, named by its drive letter. A network share or drive would have this program,
// with an administrator's rights, log on to whatever server the settings name, and believe what
// that server says of who may change its folders; a removable disk may come from anywhere.
bool OnLocalDisk(const std::string& path) {
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\') return false;
    const std::wstring root = Utf8ToWide(path.substr(0, 3));
    const UINT type = GetDriveTypeW(root.c_str());
    return type == DRIVE_FIXED || type == DRIVE_RAMDISK;
}

bool FindInstallation(FoundInstallation& found) {
    const std::optional<std::string> path = ReadInstallationPath(ProductSettingsFolder());
    // A settings file without a usable "Path" entry names no installation: none at all, one that
    // is not a full path (a drive or a network share), or one naming a folder that does not exist.
    // Nothing is created for such a path. A path off this computer's own disks is refused before
    // anything there is touched.
    if (!path || !IsFullPath(*path)) {
        ShowError(kNotInstalled);
        return false;
    }
    if (!OnLocalDisk(*path)) {
        ShowError(FailureText(
            {"【カレドナ】のインストール先 \"" + *path + "\" は、このコンピューターの固定ディスクではありません。",
             "ネットワーク上の共有フォルダや取り外せるディスクにある【カレドナ】は、このプログラムでは"
             "更新できません。\rアップデート処理を中止します。",
             ProductState::Unchanged}));
        return false;
    }
    if (!FolderExists(*path)) {
        ShowError(kNotInstalled);
        return false;
    }
    // The installation folder and the work folder are held before anything is made or read in
    // them, so that no link can be put on the way for the rest of the run.
    if (!HoldFolders(found, WithTrailingBackslash(*path))) return false;
    found.installPath = *path;
    found.workPath = *path + "Temp\\";
    if (!ForceFolder(found.workPath)) {
        ShowError(kWorkFolderFailed);
        return false;
    }
    return HoldFolders(found, found.workPath);
}

// An installation that was cut short (the program killed, the power lost) is finished first, so
// that the version check sees a product that is whole: undone, or completed where every file is
// already new.
// The journal is obeyed only within what this installation itself may change; one that names
// anything else is refused (and the update goes on, nothing having been changed).
bool RecoverUnfinishedInstallation(const TMainForm& form, const FoundInstallation& found) {
    std::string failure;
    const std::string undo = UndoFolder(found.workPath);
    if (!FileTransaction::Pending(undo)) return true;
    JournalScope scope = form.InstallationScope(found.installPath, found.workPath);
    scope.protectedArea = IsProtectedFolder(StagingFolderOf(found.workPath)) && IsProtectedFolder(undo);
    scope.setAside = StagingFolderOf(found.workPath);
    switch (FileTransaction::Recover(undo, scope, failure)) {
    case FileTransaction::Recovery::Nothing: return true;
    case FileTransaction::Recovery::RolledBack: ShowInformation(kRolledBack); return true;
    case FileTransaction::Recovery::Completed: ShowInformation(kCompletedLater); return true;
    case FileTransaction::Recovery::Refused: ShowError(failure); return true;
    case FileTransaction::Recovery::Failed: break;
    }
    ShowError(FailureText({kRecoveryFailed, failure}));
    return false;
}

// The run's own folder, made afresh now that nothing of an earlier run is needed any more.
bool PrepareStagingFolder(TMainForm& form, const FoundInstallation& found) {
    try {
        form.Staging().Create(found.workPath);
        return true;
    } catch (const Exception& error) {
        ShowError(FailureText({"作業用フォルダの準備に失敗しました。", error.Message(), std::nullopt, kUpdateCancelled}));
        return false;
    }
}

bool CheckInstalledVersion(FoundInstallation& found) {
    const std::string executable = found.installPath + "karemain.exe";
    const std::optional<std::string> version = ProductVersionOf(executable);
    if (!version) {
        found.oldVersion = "不明";
        if (!FileExists(executable)) {
            ShowError(kVersionUnknownStop);
            return false;
        }
        return UserGoesOn(kVersionUnknownAsk);
    }
    found.oldVersion = *version;
    const int order = CompareVersionText(found.oldVersion, kUpdateVersion);
    if (order == 0) return UserGoesOn(kSameVersion);
    if (order > 0) return UserGoesOn(kDowngrade);
    return true;
}

}  // namespace

int RunUpdater() {
    auto form = std::make_unique<TMainForm>();
    FoundInstallation found;
    const bool goOn = WaitUntilProductEnds() && FindInstallation(found) && RecoverUnfinishedInstallation(*form, found) &&
                      CheckInstalledVersion(found) && PrepareStagingFolder(*form, found);
    form->SetInstallation(found.installPath, found.workPath, found.oldVersion);
    if (goOn) Application::Run(*form);
    form.reset();
    return 0;
}
