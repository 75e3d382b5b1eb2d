#include "installation.h"
#include "app/package_components.h"

#include "lhactrls/lhactrls.h"
#include "pinned_package.h"
#include "product.h"
#include "transaction.h"
#include "user_failure.h"
#include "ui/application.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/handle.h"
#include "util/scope_exit.h"
#include "util/sha256_hasher.h"
#include "util/text.h"

#include <lzexpand.h>

#include <array>
#include <cstring>
#include <map>
#include <vector>

namespace {

// The package's files and what each becomes, generated from its manifest (package-components.txt):
// expanded in the order of kExpansions (kRegistrationTool only when an ImageKit control is due),
// installed in the order of kInstalls, seeded (kSeeds), the program (kExecutable) last; kCleanUp
// is removed from the work folder after a successful update.
using package::ExpansionRow;
using package::InstallRow;
using package::kCleanUp;
using package::kExecutable;
using package::kExpansions;
using package::kInstalls;
using package::kRegistrationTool;
using package::kSeeds;

constexpr const char* kGroupFolder = "グループマスタ";

std::string GroupFolder(const std::string& installPath) { return installPath + kGroupFolder + "\\"; }
std::string TargetOf(const InstallRow& row, const std::string& installPath) {
    return (row.groupFolder ? GroupFolder(installPath) : installPath) + row.file;
}

// The archiver writes a few characters of output here; nothing reads them.
char g_archiverOutput[10];

std::string FailureMessage(const char* number) {
    return std::string("コンポーネントの展開(") + number + ")に失敗しました。終了します。";
}


constexpr const char* kImageKitFailed = "ImageKitのインストールに失敗しました";
// Room kept free beyond what the new files and the saved copies take.
constexpr unsigned long long kSpareBytes = 1024 * 1024;

// The user stopped the installation before anything was changed: thrown from the planning, caught
// by Run.
struct InstallationCancelled {};

// The root of the volume that holds `path` ("C:\\").
std::string VolumeOf(const std::string& path) {
    wchar_t root[MAX_PATH + 1] = {};
    if (GetVolumePathNameW(Utf8ToWide(path).c_str(), root, MAX_PATH)) return WithTrailingBackslash(WideToUtf8(root));
    return path.substr(0, 3);
}

// The file can be replaced now: nobody holds it open and the system lets us remove it. Throws
// `failure` with the reason.
void CheckReplaceable(const std::string& path, const std::string& failure) {
    if (!FileExists(path)) return;
    FileHandle probe(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (probe) return;
    const DWORD error = GetLastError();
    throw Exception(FailureText({failure, "ファイル \"" + path + "\" を置き換えできません。" + SystemErrorText(error)}));
}

// A file opened for expansion by LZ32: a negative value is an error, not a file.
struct LzHandleTraits {
    using Native = INT;
    static Native Invalid() noexcept { return -1; }
    static bool Valid(Native h) noexcept { return h >= 0; }
    static void Close(Native h) noexcept { LZClose(h); }
};
using LzHandle = UniqueHandle<LzHandleTraits>;

// The size that the header of a file compressed with the system's compress tool announces, or
// nothing when the file is not in that format.
std::optional<DWORD> AnnouncedExpandedSize(HANDLE file) {
    unsigned char header[14] = {};
    DWORD got = 0;
    LARGE_INTEGER start{};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    const bool read = ReadFile(file, header, sizeof header, &got, nullptr) && got == sizeof header;
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    static const unsigned char kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
    if (!read || std::memcmp(header, kMagic, sizeof kMagic) != 0) return std::nullopt;
    return static_cast<DWORD>(header[10] | header[11] << 8 | header[12] << 16 | static_cast<DWORD>(header[13]) << 24);
}

// Expands `from` into `to` with the system's LZ32 functions; a file that is not compressed is
// copied unchanged. Returns what was written (size and SHA-256, counted as it is written). The
// files are opened with the wide functions and handed to LZ32 as handles, so that long and
// Japanese paths work. The expander does not report a compressed file that ends early, so the
// size it wrote is compared with the size the header announces: an incomplete or damaged
// component must never be installed.
FileDigest Expand(const std::string& from, const std::string& to) {
    const std::string failure = "ファイル \"" + from + "\" を展開できません。";
    FileHandle source(CreateFileW(Utf8ToWide(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) throw Exception(failure);
    LARGE_INTEGER sourceSize{};
    GetFileSizeEx(source.get(), &sourceSize);
    const std::optional<DWORD> announced = AnnouncedExpandedSize(source.get());

    FileHandle target = CreateFreshFile(to);
    if (!target) throw Exception(failure);

    const LzHandle lzSource(LZInit(static_cast<INT>(reinterpret_cast<INT_PTR>(source.get()))));
    if (!lzSource) throw Exception(failure);
    source.release();  // LZClose closes it from here on
    Sha256Hasher hasher;
    FileDigest written;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const INT got = LZRead(lzSource.get(), buffer.data(), static_cast<INT>(buffer.size()));
        if (got < 0) throw Exception(failure);
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(target.get(), buffer.data(), static_cast<DWORD>(got), &put, nullptr) ||
            put != static_cast<DWORD>(got))
            throw Exception(failure + SystemErrorText(GetLastError()));
        hasher.Add(buffer.data(), static_cast<size_t>(got));
        written.size += static_cast<unsigned long long>(got);
    }
    const unsigned long long expected =
        announced ? *announced : static_cast<unsigned long long>(sourceSize.QuadPart);
    if (written.size != expected) throw Exception(failure);
    written.sha256 = hasher.Finish();
    return written;
}

// The local date and time as the user's short date and long time formats write them; the time
// is left out at midnight exactly.
std::string LocalDateTimeText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t date[128] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 128);
    std::wstring text = date;
    if (now.wHour != 0 || now.wMinute != 0 || now.wSecond != 0) {
        wchar_t time[128] = {};
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 128);
        text += L' ';
        text += time;
    }
    return WideToUtf8(text);
}

void WriteAnsiFile(const std::string& path, const std::string& utf8) {
    if (!WriteWholeFile(path, Utf8ToAnsi(utf8))) throw Exception("ファイル \"" + path + "\" を作成できません。");
}

}  // namespace

// One file the installation puts in place, and the failure message of its step.
struct Installation::InstallPlan {
    struct Copy {
        std::string source;
        std::string target;
        std::string failure;
        bool seeded = false;  // a missing file seeded; a failure is not reported
    };
    std::vector<Copy> seeds;
    std::vector<Copy> components;
    std::vector<Copy> controls[2];  // ImageKit 5 and 6: every file of their archive
    std::string controlFolders[2];  // where they go, ending with "\"
    Copy executable;
};

namespace {

// The two ImageKit archives: the archive on the server, the control it holds, and the folder of
// the work folder that it is extracted into first.
struct ImageKitArchive {
    const char* archive;
    const char* control;
    const char* staging;
};
constexpr ImageKitArchive kImageKits[2] = {
    {package::kImageKitArchives[0].archive, package::kImageKitArchives[0].control, "ImageKit5\\"},
    {package::kImageKitArchives[1].archive, package::kImageKitArchives[1].control, "ImageKit6\\"}};

}  // namespace

Installation::Installation(InstallationTarget target, StagingFolder& staging, InstallationView& view)
    : target_(std::move(target)), staging_(staging), view_(view) {}

Installation::Result Installation::Run() {
    try {
        return {false, InstallComponents()};
    } catch (const InstallationCancelled&) {
        return {true, ""};
    }
}

JournalScope Installation::Scope(const InstallationTarget& target) {
    const std::string& installPath = target.installPath;
    const std::string& workPath = target.workPath;
    JournalScope scope;
    for (const char* seeded : kSeeds) scope.targets.push_back(installPath + seeded);
    for (const InstallRow& row : kInstalls) scope.targets.push_back(TargetOf(row, installPath));
    scope.targets.push_back(installPath + kExecutable.file);
    scope.folders.push_back(GroupFolder(installPath));
    const std::string staging = StagingFolderOf(workPath);
    scope.sourceFolders.push_back(staging);
    const std::string controlFolders[2] = {WithTrailingBackslash(target.imageKit5Path),
                                          WithTrailingBackslash(target.imageKit6Path)};
    for (int i = 0; i < 2; ++i) {
        scope.targets.push_back(controlFolders[i] + kImageKits[i].control);
        scope.sourceFolders.push_back(staging + kImageKits[i].staging);
        // The control's folder and the folders above it that the installation may have made.
        for (std::string folder = controlFolders[i]; folder.size() > 3;
             folder = ExtractFolderPart(WithoutTrailingBackslash(folder)))
            scope.folders.push_back(folder);
    }
    return scope;
}

void Installation::RecordStaged(const std::string& path, const FileDigest& digest) {
    const std::string name = path.substr(ExtractFolderPart(path).size());
    if (const auto mismatch = PinnedMismatch(name, digest.size, digest.sha256))
        throw Exception(FailureText({"ファイル \"" + path + "\" の内容は配布元のものではありません。", *mismatch}));
    staging_.Record(path, digest);
}

FileDigest Installation::Expected(const std::string& path) const {
    const std::optional<FileDigest> recorded = staging_.Recorded(path);
    if (!recorded) throw Exception("ファイル \"" + path + "\" は、このプログラムが用意したものではありません。");
    return *recorded;
}

[[noreturn]] void Installation::CreateError(const std::string& message) { throw Exception(message); }

int Installation::ExtractArchive(const std::string& archive, const std::string& folder, const std::string& options) {
    const std::string commandLine = "e -y \"" + archive + "\" " + options + " \"" + folder + "\\\"";
    const std::string ansi = Utf8ToAnsi(commandLine);
    std::memset(g_archiverOutput, 0, sizeof g_archiverOutput);
    const int result = Unlha(nullptr, ansi.c_str(), g_archiverOutput, 9);
    g_archiverOutput[sizeof g_archiverOutput - 1] = '\0';
    return result;
}

void Installation::RegisterControl(const std::string& controlFile) {
    const std::string control = "「" + controlFile.substr(ExtractFolderPart(controlFile).size()) + "」";
    const std::string tool = staging_.Path() + "regsvr32.exe";
    // The tool is held from its check until it has ended, so that what runs is what was expanded.
    std::optional<HeldFile> heldTool;
    try {
        heldTool.emplace(tool);
        heldTool->Expect(Expected(staging_.Path() + kRegistrationTool.expanded));
    } catch (const Exception& error) {
        throw Exception(FailureText({kImageKitFailed, control + "を登録できません。" + error.Message()}));
    }
    const std::string commandLine = "\"" + tool + "\" /s \"" + controlFile + "\"";
    std::wstring mutableLine = Utf8ToWide(commandLine);
    // Started by its full name, in the System folder: nothing of the folder this program was
    // started from (a user's Downloads folder, say) is found by the tool's or the control's search
    // for a DLL.
    const std::wstring toolName = Utf8ToWide(tool);
    const std::wstring systemFolder = Utf8ToWide(GetSystemFolder());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(toolName.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                        nullptr, systemFolder.c_str(), &startup, &process)) {
        const DWORD error = GetLastError();
        throw Exception(FailureText(
            {kImageKitFailed, control + "を登録できません。登録ツール \"" + tool + "\" を起動できません。" + SystemErrorText(error)}));
    }
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);
    // The tool's end is awaited, so that a control that it did not register is never taken as
    // installed; the window is repainted meanwhile. A tool that never ends must not hold the
    // installation for ever.
    WaitForInputIdle(processHandle.get(), kRegistrationTimeoutMs);
    const ULONGLONG deadline = GetTickCount64() + kRegistrationTimeoutMs;
    HANDLE handle = processHandle.get();
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        const DWORD waited =
            MsgWaitForMultipleObjects(1, &handle, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (waited != WAIT_OBJECT_0 + 1) break;
        Application::ProcessMessages();
    }
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(handle, &exitCode);
    if (exitCode == STILL_ACTIVE)
        throw Exception(FailureText({kImageKitFailed, control + "を登録できません。登録ツールが " +
                                                          std::to_string(kRegistrationTimeoutMs / 1000) +
                                                          " 秒たっても終わりません。"}));
    if (exitCode != 0)
        throw Exception(FailureText({kImageKitFailed, control + "を登録できません。登録ツールが終了コード " +
                                                          std::to_string(exitCode) + " で終わりました。"}));
}

std::string Installation::InstallComponents() {
    const bool imageKitDue = !target_.imageKit5Current || !target_.imageKit6Present;

    view_.ShowMessage("アップデートコンポーネントの展開...");
    for (const ExpansionRow& row : kExpansions) {
        if (row.step) view_.ShowStep(row.step);
        RecordStaged(staging_.Path() + row.expanded, Expand(staging_.Path() + row.compressed, staging_.Path() + row.expanded));
    }
    if (imageKitDue) {
        view_.ShowStep(kRegistrationTool.step);
        RecordStaged(staging_.Path() + kRegistrationTool.expanded,
                     Expand(staging_.Path() + kRegistrationTool.compressed, staging_.Path() + kRegistrationTool.expanded));
    }

    // Everything is checked and every file that will be replaced is saved before the first one is:
    // a failure up to here leaves the product as it was.
    FileTransaction transaction(UndoFolder(target_.workPath));
    InstallPlan plan;
    try {
        PlanInstallation(plan, transaction);
        transaction.Begin();
    } catch (const InstallationCancelled&) {
        transaction.RollBack();
        throw;
    } catch (const std::exception& error) {
        transaction.RollBack();
        throw Exception(FailureText({error.what(), "", ProductState::Unchanged}));
    }

    try {
        InstallFiles(plan, transaction);
    } catch (const std::exception& error) {
        const bool restored = transaction.RollBack();
        throw Exception(FailureText({error.what(), "", restored ? ProductState::Restored : ProductState::NotRestored}));
    }
    transaction.Commit();

    for (const char* name : kCleanUp) DeleteFileW(Utf8ToWide(staging_.Path() + name).c_str());
    for (const ImageKitArchive& imageKit : kImageKits) RemoveFilesIn(staging_.Path() + imageKit.staging);

    // The product is complete from here on: what fails now is reported as what it is.
    try {
        WriteAnsiFile(target_.workPath + "KarUpdt.Log", "[Karedona]Last Update Log\r\n" + LocalDateTimeText() +
                                                            "\r\nOldVer=" + target_.oldVersion + "\r\nNewVer=" +
                                                            kUpdateVersion + "\r\n");
    } catch (const std::exception& error) {
        return std::string("更新ログを保存できませんでした。") + error.what();
    }
    return "";
}

void Installation::PlanInstallation(InstallPlan& plan, FileTransaction& transaction) {
    // The new executable must be the product's, in the version this update brings: a page that a
    // proxy or a captive portal served instead expands to itself and must never replace it.
    const std::string newExecutable = staging_.Path() + kExecutable.file;
    std::optional<std::string> newVersion;
    try {
        if (IsWindowsExecutable(newExecutable)) newVersion = ProductVersionOf(newExecutable);
    } catch (const Exception&) {}
    if (newVersion != std::optional<std::string>(kUpdateVersion))
        throw Exception("ファイル \"" + newExecutable + "\" は【カレドナ】" + kUpdateVersion +
                        "の実行ファイルではありません。");

    // The ImageKit controls are taken out of their archives into the work folder first, so that
    // a damaged archive is found before anything is installed.
    const bool due[2] = {!target_.imageKit5Current, !target_.imageKit6Present};
    plan.controlFolders[0] = WithTrailingBackslash(target_.imageKit5Path);
    plan.controlFolders[1] = WithTrailingBackslash(target_.imageKit6Path);
    for (int i = 0; i < 2; ++i) {
        if (!due[i]) continue;
        const std::string staging = staging_.Path() + kImageKits[i].staging;
        RemoveFilesIn(staging);
        const std::string control = std::string("「") + kImageKits[i].control + "」";
        if (!ForceFolder(staging))
            throw Exception(FailureText({kImageKitFailed, "フォルダ \"" + staging + "\" を作成できません。"}));
        const std::string archive = staging_.Path() + kImageKits[i].archive;
        const int result = ExtractArchive(archive, WithoutTrailingBackslash(staging), "-c1 -d1");
        if (result != 0)
            throw Exception(FailureText({kImageKitFailed, control + "を書庫 \"" + archive +
                                                              "\" から取り出せません（UNLHA32.DLL のエラー " +
                                                              std::to_string(result) + "）。"}));
        if (FileSizeOf(staging + kImageKits[i].control) == 0) {
            std::string why = control + "が書庫 \"" + archive + "\" から取り出せません。";
            if (!LhaLibraryLoaded()) why += "\rUNLHA32.DLL が次のフォルダにありません。\r" + LhaSearchedFolders();
            throw Exception(FailureText({kImageKitFailed, why}));
        }
        // What was extracted is recorded now and checked again when it is installed.
        RecordStaged(staging + kImageKits[i].control, HeldFile(staging + kImageKits[i].control).Digest());
        // The control alone: whatever else the folder holds was not asked for.
        plan.controls[i].push_back(
            {staging + kImageKits[i].control, plan.controlFolders[i] + kImageKits[i].control, kImageKitFailed});
    }

    for (const char* seeded : kSeeds) {
        if (!FileExists(target_.installPath + seeded))
            plan.seeds.push_back({staging_.Path() + seeded, target_.installPath + seeded, "", true});
    }
    const std::string groupFolder = GroupFolder(target_.installPath);
    bool groupFolderReady = false;
    for (const InstallRow& row : kInstalls) {
        if (row.groupFolder && !groupFolderReady) {
            // Both group files are skipped when the folder cannot be made.
            if (!transaction.EnsureFolder(groupFolder)) continue;
            groupFolderReady = true;
        }
        plan.components.push_back(
            {staging_.Path() + row.file, TargetOf(row, target_.installPath), FailureMessage(row.number)});
    }
    plan.executable = {newExecutable, target_.installPath + kExecutable.file, FailureMessage(kExecutable.number)};

    // Every file to be replaced can be replaced now.
    for (const auto& copy : plan.components) CheckReplaceable(copy.target, copy.failure);
    for (const auto& controls : plan.controls)
        for (const auto& copy : controls) CheckReplaceable(copy.target, copy.failure);
    CheckReplaceable(plan.executable.target, FailureMessage("6"));

    // Room for the new files beside their targets, the saved copies of the old ones and the backup.
    std::map<std::string, unsigned long long> need;
    const std::string undoVolume = VolumeOf(UndoFolder(target_.workPath));
    auto count = [&](const InstallPlan::Copy& copy) {
        need[VolumeOf(ExtractFolderPart(copy.target))] += FileSizeOf(copy.source);
        need[undoVolume] += FileSizeOf(copy.target);
    };
    for (const auto& copy : plan.seeds) count(copy);
    for (const auto& copy : plan.components) count(copy);
    for (const auto& controls : plan.controls)
        for (const auto& copy : controls) count(copy);
    count(plan.executable);
    need[VolumeOf(target_.workPath)] += FileSizeOf(plan.executable.target);  // karemain.old
    for (const auto& [volume, bytes] : need) {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(Utf8ToWide(volume).c_str(), &available, nullptr, nullptr)) continue;
        if (available.QuadPart < bytes + kSpareBytes)
            throw Exception("ディスク \"" + volume + "\" の空き容量が足りません。あと " +
                            std::to_string((bytes + kSpareBytes - available.QuadPart + 1023) / 1024) +
                            " KB の空きが必要です。");
    }

    // The product may have been started since the start-up check.
    if (!view_.ProductEnded()) throw InstallationCancelled{};

    for (int i = 0; i < 2; ++i) {
        const std::string& folder = plan.controlFolders[i];
        if (due[i] && !plan.controls[i].empty() && !transaction.EnsureFolder(folder))
            throw Exception(FailureText({kImageKitFailed, "フォルダ \"" + folder + "\" を作成できません。"}));
    }
    for (const auto& copy : plan.seeds) transaction.Add(copy.source, copy.target);
    for (const auto& copy : plan.components) transaction.Add(copy.source, copy.target);
    for (const auto& controls : plan.controls)
        for (const auto& copy : controls) transaction.Add(copy.source, copy.target);
    transaction.Add(plan.executable.source, plan.executable.target);
}

void Installation::InstallFiles(const InstallPlan& plan, FileTransaction& transaction) {
    // Files the user may have changed are only seeded, never overwritten.
    for (const auto& copy : plan.seeds) {
        try {
            transaction.Replace(copy.source, copy.target, Expected(copy.source));
        } catch (const Exception&) {}
    }

    view_.ShowMessage("アップデート処理...");
    view_.ShowStep(target_.imageKit5Current ? 8 : 10);
    view_.ShowStep(target_.imageKit6Present ? 8 : 10);

    auto replace = [&](const InstallPlan::Copy& copy) {
        try {
            transaction.Replace(copy.source, copy.target, Expected(copy.source));
        } catch (const Exception& error) {
            CreateError(FailureText({copy.failure, error.Message()}));
        }
    };
    for (const auto& copy : plan.components) replace(copy);

    for (int i = 0; i < 2; ++i) {
        if (plan.controls[i].empty()) continue;
        for (const auto& copy : plan.controls[i]) replace(copy);
        RegisterControl(plan.controlFolders[i] + kImageKits[i].control);
    }

    // The backup receives the executable the update replaces, whatever it is (one without a
    // version, or no Windows executable at all, too): only a re-install of this version keeps the
    // backup of the earlier one, which would otherwise be lost.
    const std::string backup = target_.workPath + "karemain.old";
    const std::string installed = plan.executable.target;
    std::optional<std::string> installedVersion;
    try {
        if (IsWindowsExecutable(installed)) installedVersion = ProductVersionOf(installed);
    } catch (const Exception&) {}
    const bool keepEarlierBackup = installedVersion == kUpdateVersion && FileExists(backup);
    if (FileExists(installed) && !keepEarlierBackup && !ReplaceFileWhole(installed, backup)) {
        const DWORD error = GetLastError();
        CreateError(FailureText({FailureMessage("8"), "ファイル \"" + backup + "\" を作成できません。" + SystemErrorText(error)}));
    }
    replace(plan.executable);
}
