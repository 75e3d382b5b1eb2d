// KarUpdt.exe started under Wine over installations laid out in the prefix's C: drive: the checks
// before the window, the messages the user sees and answers, the window itself, and exit codes.
#include "installation.h"
#include "robot.h"
#include "screenshot.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using robot::ExpectedDialog;
using robot::IconKind;

const char* const kProductRunning =
    "【カレドナ】が起動されています。\r終了させてから「OK」ボタンをクリックしてください。\r「ｷｬﾝｾﾙ」ボタンで中止します。";
const char* const kNotInstalled = "【カレドナ】がインストールされていません。\rアップデート処理を中止します。";
const char* const kVersionUnknownAsk =
    "現在のインストールバージョンが取得できません。\rアップデート処理を続行しますか？";
const char* const kCancelled = "アップデート処理を中止します。";
const char* const kVersionUnknownStop = "現在のインストールバージョンが取得できません。\r処理を中止します。";
const char* const kSameVersion = "既に同バージョンがインストールされています。\rアップデート処理を続行しますか？";
const char* const kDowngrade =
    "現在のインストールバージョンよりも古いバージョンに変更しようとしています。\rアップデート処理を続行しますか？";

const std::vector<std::string> kOkCancel = {"OK", "キャンセル"};
const std::vector<std::string> kYesNo = {"はい(&Y)", "いいえ(&N)"};
const std::vector<std::string> kOk = {"OK"};

ExpectedDialog Question(const char* text, const char* press) {
    return {"確認", text, IconKind::Question, kYesNo, press, std::string("はい(&Y)")};
}
ExpectedDialog Error(const std::string& text) { return {"エラー", text, IconKind::Error, kOk, "OK"}; }
ExpectedDialog Information(const char* text) { return {"情報", text, IconKind::Information, kOk, "OK"}; }

robot::Process StartUpdater() {
    robot::Process process = robot::Process::Start(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST), L"", L"C:\\");
    EXPECT_TRUE(process.Started()) << process.Error();
    return process;
}

// Waits for the main window, returns it (null handle on time-out).
robot::Window WaitForMainWindow(const robot::Process& process) {
    return robot::Window(robot::WaitForWindowOfClass(process.Id(), L"TMainForm"));
}

// The program shows its window; the test closes it and expects exit code 0.
void ExpectWindowThenClose(robot::Process& process, const std::string& oldVersionLabel) {
    robot::Window window = WaitForMainWindow(process);
    ASSERT_TRUE(window.Exists()) << "the update window did not appear";
    auto label = window.ControlById(104);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text, oldVersionLabel);
    window.Close();
    EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
}

// The program ends by itself, its window never shown.
void ExpectEndWithoutWindow(robot::Process& process) {
    EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
    EXPECT_EQ(robot::FindWindowOfClass(process.Id(), L"TMainForm"), nullptr);
}

class StartupTest : public ::testing::Test {
protected:
    std::unique_ptr<ScopedInstallation> Install(InstallationOptions options = {}) {
        auto installation = std::make_unique<ScopedInstallation>(options);
        EXPECT_TRUE(installation->Ok()) << installation->Error();
        return installation;
    }
};

TEST_F(StartupTest, ProductRunningAsksUntilItIsClosed) {
    auto installation = Install();
    ProductWindow product;
    robot::Process process = StartUpdater();
    ExpectedDialog running{"確認", kProductRunning, IconKind::Question, kOkCancel, "OK", std::string("OK")};
    // OK while the product still runs asks again.
    ASSERT_TRUE(robot::AnswerDialogs(process, {running, running}));
    product.Destroy();
    ASSERT_TRUE(robot::AnswerDialogs(process, {running}));
    ExpectWindowThenClose(process, "現在バージョン = 1.5.2");
}

TEST_F(StartupTest, ProductRunningCancelEndsUnseen) {
    auto installation = Install();
    ProductWindow product;
    robot::Process process = StartUpdater();
    ASSERT_TRUE(
        robot::AnswerDialogs(process, {{"確認", kProductRunning, IconKind::Question, kOkCancel, "キャンセル"}}));
    ExpectEndWithoutWindow(process);
}

TEST_F(StartupTest, NoInstallation) {
    InstallationOptions options;
    options.settings = SettingsPlace::None;
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    ASSERT_TRUE(robot::AnswerDialogs(process, {Error(kNotInstalled)}));
    ExpectEndWithoutWindow(process);
}

TEST_F(StartupTest, SettingsWithoutAUsablePathStopTheUpdate) {
    // No "Path", an empty one, one naming a folder that does not exist, one without a drive.
    for (const char* content : {"[Karedona]\r\nName=x\r\n", "[Karedona]\r\nPath=\r\n",
                                "[Karedona]\r\nPath=C:\\NOSUCH\\KAREDONA\\\r\n", "[Karedona]\r\nPath=KAREDONA\\\r\n"}) {
        InstallationOptions options;
        options.settingsContent = content;
        auto installation = Install(options);
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(process, {Error(kNotInstalled)})) << content;
        ExpectEndWithoutWindow(process);
        // Nothing is made where no installation is.
        EXPECT_EQ(GetFileAttributesW(L"C:\\NOSUCH"), INVALID_FILE_ATTRIBUTES) << content;
        EXPECT_EQ(GetFileAttributesW(L"C:\\KAREDONA"), INVALID_FILE_ATTRIBUTES) << content;
    }
    // A network share, or a path the drive letter of which is not given plainly, is refused as off
    // this computer's disks, whether or not it exists.
    for (const std::string path : {"\\\\127.0.0.1\\C$\\TALVERN\\KAREDONA\\", "\\\\?\\C:\\TALVERN\\KAREDONA\\"}) {
        InstallationOptions options;
        options.settingsContent = "[Karedona]\r\nPath=" + path + "\r\n";
        auto installation = Install(options);
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(
            process,
            {Error("【カレドナ】のインストール先 \"" + path +
                   "\" は、このコンピューターの固定ディスクではありません。\rネットワーク上の共有フォルダや"
                   "取り外せるディスクにある【カレドナ】は、このプログラムでは更新できません。\rアップデート処理を"
                   "中止します。\r【カレドナ】は変更されていません。")}))
            << path;
        ExpectEndWithoutWindow(process);
        EXPECT_EQ(GetFileAttributesW(L"C:\\TALVERN\\KAREDONA\\Temp"), INVALID_FILE_ATTRIBUTES) << path;
    }
}

TEST_F(StartupTest, WorkFolderThatCannotBeMadeStopsTheUpdate) {
    auto installation = Install();
    // A file where the work folder belongs.
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(installation->Folder() + L"Temp", "not a folder"));
    robot::Process process = StartUpdater();
    ASSERT_TRUE(
        robot::AnswerDialogs(process, {Error("作業用フォルダの作成に失敗しました。\rアップデート処理を中止します。")}));
    ExpectEndWithoutWindow(process);
}

// A journal in the work folder that this program did not write, as any user of the workstation
// could plant there, is never obeyed: not one that would put a file of its own into the System
// folder and delete a user's file, nor one that names a product file with a "saved copy" from
// elsewhere. The user is told once, the journal is set aside, and the update window follows.
TEST_F(StartupTest, PlantedJournalIsRefusedAndNothingIsMoved) {
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const std::wstring stage = product + L"Temp\\KarUpdt.stage\\";
    const std::wstring undo = stage + L"undo\\";
    ASSERT_TRUE(CreateDirectoryW((product + L"Temp").c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring victim = std::wstring(system) + L"\\karupdt_victim.dll";
    const std::wstring userFile = L"C:\\karupdt_user_file.txt";
    const std::wstring outsideCopy = L"C:\\karupdt_planted.sav";
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(victim, "the system's own file"));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(userFile, "the user's own file"));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(outsideCopy, "planted content"));
    struct Clean {
        std::vector<std::wstring> paths;
        ~Clean() {
            for (const auto& path : paths) DeleteFileW(path.c_str());
        }
    } clean{{victim, userFile, outsideCopy}};
    const std::string productProgram = "the product's own DLKR_DL.exe";
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(product + L"DLKR_DL.exe", productProgram));
    const std::string productExecutable = ScopedInstallation::ReadFileBytes(product + L"karemain.exe").value_or("");
    const std::string journalText = robot::ToUtf8(undo) + "journal.txt";
    auto plant = [&](const std::string& entries) {
        ASSERT_TRUE(CreateDirectoryW(stage.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(CreateDirectoryW(undo.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(ScopedInstallation::WriteFileBytes(undo + L"0.sav", "planted content"));
        ASSERT_TRUE(ScopedInstallation::WriteFileBytes(undo + L"journal.txt", "KarUpdt journal 1\n" + entries + "END\n"));
    };
    auto refusal = [&](const std::string& reason, const std::wstring& aside) {
        return "前回のアップデートの記録 \"" + journalText +
               "\" は、このプログラムが書いたものではないため、使いませんでした。\r" + reason + "\r記録は \"" +
               robot::ToUtf8(aside) + "\" に移しました。\r【カレドナ】は変更されていません。";
    };
    const std::string work = robot::ToUtf8(product) + "Temp\\";

    // Restoring a "saved copy" over a file of the System folder, and deleting a user's file.
    plant("F\t1\t" + robot::ToUtf8(undo) + "0.sav\t" + work + "DLKR_DL.exe\t" + robot::ToUtf8(victim) + "\n" +
          "F\t0\t\t" + work + "DLKR_DL.exe\t" + robot::ToUtf8(userFile) + "\n");
    {
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(
            process, {Error(refusal("置き換えるファイル \"" + robot::ToUtf8(victim) + "\" は【カレドナ】のファイルではありません。",
                                    product + L"Temp\\KarUpdt.stage.refused")
                                .c_str())}));
        ExpectWindowThenClose(process, "現在バージョン = 1.5.2");
    }
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(victim), std::optional<std::string>("the system's own file"));
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(userFile), std::optional<std::string>("the user's own file"));
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(product + L"Temp\\KarUpdt.stage.refused\\undo\\0.sav"),
              std::optional<std::string>("planted content"));
    EXPECT_EQ(GetFileAttributesW((undo + L"journal.txt").c_str()), INVALID_FILE_ATTRIBUTES);

    // One of the product's own files, with a "saved copy" from outside the journal's folder.
    plant("F\t1\t" + robot::ToUtf8(outsideCopy) + "\t" + work + "DLKR_DL.exe\t" + robot::ToUtf8(product) +
          "DLKR_DL.exe\n");
    {
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(
            process, {Error(refusal("ファイル \"" + robot::ToUtf8(product) + "DLKR_DL.exe\" の保存したコピー \"" +
                                        robot::ToUtf8(outsideCopy) + "\" は、このプログラムが保存したものではありません。",
                                    product + L"Temp\\KarUpdt.stage.refused.2")
                                .c_str())}));
        ExpectWindowThenClose(process, "現在バージョン = 1.5.2");
    }
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(product + L"DLKR_DL.exe"), std::optional<std::string>(productProgram));
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(product + L"karemain.exe"), std::optional<std::string>(productExecutable));
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(outsideCopy), std::optional<std::string>("planted content"));
}

// Runs a Linux command under Wine (which starts Linux programs too), with Windows paths given as
// the Linux paths Wine maps them to, and waits for it; false when it cannot be started (not under
// Wine). Its exit code does not reach a Windows process: the caller looks at what it did.
bool RunLinux(const std::wstring& program, const std::vector<std::wstring>& windowsPaths) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    std::wstring line = L"Z:" + program;
    for (const std::wstring& path : windowsPaths) {
        char* name = unixName(path.c_str());
        if (!name) return false;
        line += L" \"" + robot::ToWide(name) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

bool IsLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine does not wait for a Linux program's end: the test waits up to 5 s for the link to come or go.
bool LinkBecomes(const std::wstring& path, bool present) {
    for (int i = 0; i < 250; ++i) {
        if (IsLink(path) == present) return true;
        Sleep(20);
    }
    return false;
}

// A symbolic link where the run's folder or the work folder belongs, as any user could put there,
// is never followed, removed or renamed (Wine would remove or move what it points to): the update
// stops with a message before anything is written, and what the link points to stays as it was.
TEST_F(StartupTest, LinksInTheWorkFolderAreNeverFollowed) {
    auto installation = Install();
    const std::wstring work = installation->Folder() + L"Temp";
    const std::wstring stage = work + L"\\KarUpdt.stage";
    const std::wstring elsewhere = L"C:\\karupdt_elsewhere";
    ScopedInstallation::RemoveTree(elsewhere);
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(elsewhere + L"\\keep.txt", "kept"));
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    // The links go before the installation is removed, which would follow them.
    struct RemoveLinks {
        std::wstring stage, work;
        ~RemoveLinks() {
            for (const std::wstring& link : {stage, work})
                if (IsLink(link) && RunLinux(L"/bin/rm", {link})) LinkBecomes(link, false);
        }
    } removeLinks{stage, work};
    auto elsewhereAsItWas = [&] {
        WIN32_FIND_DATAW found;
        std::vector<std::wstring> names;
        HANDLE search = FindFirstFileW((elsewhere + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return false;
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") names.push_back(name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names == std::vector<std::wstring>{L"keep.txt"} &&
               ScopedInstallation::ReadFileBytes(elsewhere + L"\\keep.txt") == std::optional<std::string>("kept");
    };
    if (!RunLinux(L"/bin/ln -s", {elsewhere, stage}) || !LinkBecomes(stage, true))
        GTEST_SKIP() << "no symbolic link could be made (the test makes them with Linux's ln under Wine)";
    // The update stops before its window with `reason` on the second line.
    auto expectStopped = [](const std::string& reason) {
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(
            process,
            {Error(("作業用フォルダの準備に失敗しました。\r" + reason + "\rアップデート処理を中止します。").c_str())}));
        ExpectEndWithoutWindow(process);
    };
    expectStopped("フォルダ \"C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.stage\\\" はジャンクションまたはシンボリック リンクです。"
                  "このプログラムはその先を使いません。リンクを削除してから、もう一度起動してください。");
    EXPECT_TRUE(IsLink(stage));
    EXPECT_TRUE(elsewhereAsItWas());
    RunLinux(L"/bin/rm", {stage});
    ASSERT_TRUE(LinkBecomes(stage, false));

    // The work folder itself.
    ASSERT_TRUE(ScopedInstallation::RemoveTree(work + L"\\"));
    RunLinux(L"/bin/ln -s", {elsewhere, work});
    ASSERT_TRUE(LinkBecomes(work, true));
    expectStopped(
        "フォルダ \"C:\\TALVERN\\KAREDONA\\Temp\\\" はジャンクションまたはシンボリック リンクです。"
        "このプログラムはその先を使いません。リンクを削除してから、もう一度起動してください。");
    EXPECT_TRUE(elsewhereAsItWas());
    RunLinux(L"/bin/rm", {work});
    ASSERT_TRUE(LinkBecomes(work, false));

    // The installation folder that the settings name is a link (to the real installation): nothing
    // is made or read through it.
    const std::wstring linked = L"C:\\karupdt_linked";
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(ScopedInstallation::DefaultFolder() + L"SpKaredona.ini",
                                                   "[Karedona]\r\nPath=C:\\karupdt_linked\\\r\n"));
    ASSERT_TRUE(ScopedInstallation::RemoveTree(work + L"\\"));
    ASSERT_TRUE(RunLinux(L"/bin/ln -s", {installation->Folder(), linked}) && LinkBecomes(linked, true));
    removeLinks.stage = linked;
    expectStopped(
        "フォルダ \"C:\\karupdt_linked\\\" はジャンクションまたはシンボリック リンクです。"
        "このプログラムはその先を使いません。リンクを削除してから、もう一度起動してください。");
    EXPECT_EQ(GetFileAttributesW(work.c_str()), INVALID_FILE_ATTRIBUTES);
    ScopedInstallation::RemoveTree(elsewhere);
}

TEST_F(StartupTest, SettingsOnlyInTheWindowsFolderBesideTheMakerFolderCountAsNoInstallation) {
    // The maker's folder exists, so the settings are looked for there only.
    InstallationOptions options;
    options.settings = SettingsPlace::WindowsFolder;
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    ASSERT_TRUE(robot::AnswerDialogs(process, {Error(kNotInstalled)}));
    ExpectEndWithoutWindow(process);
}

// The names in `folder`, without "." and "..".
std::vector<std::wstring> NamesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::string Joined(const std::vector<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) text += (text.empty() ? "" : ", ") + robot::ToUtf8(name);
    return text;
}

// For the scope: Wine looks for the named DLLs of the program `exe` where Windows would (beside
// the program, then the System folder) instead of preferring its own, as it otherwise does for the
// system's DLLs. Wine reads this per program from the prefix's registry at each start.
class NativeDllsFirst {
public:
    NativeDllsFirst(const std::wstring& exe, std::initializer_list<const wchar_t*> dlls)
        : key_(L"Software\\Wine\\AppDefaults\\" + exe + L"\\DllOverrides") {
        HKEY key = nullptr;
        ok_ = RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
              ERROR_SUCCESS;
        if (!ok_) return;
        const std::wstring order = L"native,builtin";
        for (const wchar_t* dll : dlls)
            ok_ = ok_ && RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(order.c_str()),
                                        static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~NativeDllsFirst() { RegDeleteKeyW(HKEY_CURRENT_USER, key_.c_str()); }
    bool Ok() const { return ok_; }

private:
    std::wstring key_;
    bool ok_ = false;
};

// Sets an environment variable of the test, which the programs it starts inherit, for the scope.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

// Waits until the window's first activation has run (it fills the version labels).
bool Activated(robot::Window& window) {
    for (int i = 0; i < 250; ++i) {
        const auto label = window.ControlById(104);
        if (label && label->text == "現在バージョン = 1.5.2") return true;
        Sleep(20);
    }
    return false;
}

// The program is saved in a folder a user can write to and started from another such folder,
// with a DLL of each name it uses beside it and in the current folder, and an UNLHA32.DLL in the
// current folder and in the installation folder: each leaves a marker when it is loaded. None is
// loaded, and neither build copies the installation's UNLHA32.DLL (the one pins none, the other
// pins the stand-in, which this is not). KarUpdt_pinned.exe takes the digest of that library at
// its first activation, the first call into bcrypt.dll, which is delay-loaded: so the search that
// the program restricts at its start is put to the test too, not only its import table.
TEST_F(StartupTest, DllsPlantedBesideTheProgramAndInTheCurrentFolderAreNeverLoadedNorCopied) {
    const std::wstring planted = BesideTestProgram(L"planted.dll");
    for (const wchar_t* build : {KARUPDT_PROGRAM_UNDER_TEST, L"KarUpdt_pinned.exe"}) {
        SCOPED_TRACE(robot::ToUtf8(build));
        InstallationOptions options;
        options.unlha32Source = planted;
        auto installation = Install(options);
        const std::wstring top = installation->TopFolder();
        const std::wstring program = top + L"\\program\\";
        const std::wstring current = top + L"\\current\\";
        const std::wstring markers = top + L"\\markers";
        for (const std::wstring& folder : {program, current, markers})
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        for (const wchar_t* name : {L"version", L"lz32", L"bcrypt", L"comctl32", L"winhttp"}) {
            for (const std::wstring& folder : {program, current})
                ASSERT_TRUE(CopyFileW(planted.c_str(), (folder + name + L".dll").c_str(), FALSE))
                    << robot::ToUtf8(name);
        }
        ASSERT_TRUE(CopyFileW(planted.c_str(), (current + L"UNLHA32.DLL").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(BesideTestProgram(build).c_str(), (program + L"KarUpdt.exe").c_str(), FALSE));
        ASSERT_TRUE(
            CopyFileW(BesideTestProgram(L"planted_control.exe").c_str(), (program + L"control.exe").c_str(), FALSE));
        const std::wstring inWindows = ScopedInstallation::WindowsFolder() + L"\\UNLHA32.DLL";
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        ASSERT_EQ(GetFileAttributesW(inWindows.c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_EQ(GetFileAttributesW((std::wstring(system) + L"\\UNLHA32.DLL").c_str()), INVALID_FILE_ATTRIBUTES);

        // Not version.dll for KarUpdt.exe: Wine's own user32.dll imports it, so that Wine would load
        // the planted one before the program's first line whatever the program does (Windows takes
        // a KnownDLL's imports from the System folder). The import table test covers it.
        NativeDllsFirst control(L"control.exe", {L"version"});
        NativeDllsFirst updater(L"KarUpdt.exe", {L"lz32", L"bcrypt", L"comctl32", L"winhttp"});
        ASSERT_TRUE(control.Ok() && updater.Ok());
        ScopedVariable markerFolder(L"KARUPDT_PLANTED_MARKERS", markers);

        // The control imports version.dll directly, as KarUpdt.exe once did: the loader here takes
        // the DLL beside it. Without that, no marker below would mean anything.
        {
            robot::Process process = robot::Process::Start(program + L"control.exe", L"", current);
            ASSERT_TRUE(process.Started()) << process.Error();
            process.WaitForExit();
            ASSERT_EQ(NamesIn(markers).size(), 1u)
                << "a DLL planted beside a program is not loaded here: " << Joined(NamesIn(markers));
            for (const std::wstring& name : NamesIn(markers)) DeleteFileW((markers + L"\\" + name).c_str());
        }
        {
            robot::Process process = robot::Process::Start(program + L"KarUpdt.exe", L"", current);
            ASSERT_TRUE(process.Started()) << process.Error();
            robot::Window window = WaitForMainWindow(process);
            ASSERT_TRUE(window.Exists()) << "loaded: " << Joined(NamesIn(markers));
            EXPECT_TRUE(Activated(window));
            // A dialog of the program closes: the window is activated again, the copy is tried again.
            window.ChooseMenuItem(202);
            auto dialog = robot::WaitForDialog(process.Id());
            ASSERT_TRUE(dialog);
            ASSERT_TRUE(dialog->Press("キャンセル"));
            ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
            // A run without DOWNLOAD.INI asks winhttp.dll for the system's proxy; the update host
            // does not resolve, so the run ends with its one message.
            ASSERT_TRUE(window.Click("アップデート開始"));
            auto failed = robot::WaitForDialog(process.Id(), std::chrono::seconds(60));
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->Text().rfind("通信エラーが発生しました[0]", 0), 0u) << failed->Text();
            ASSERT_TRUE(failed->Press("OK"));
            ASSERT_TRUE(robot::WaitForWindowGone(failed->Handle()));
            Sleep(300);
            window.Close();
            EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
        }
        EXPECT_TRUE(NamesIn(markers).empty()) << "loaded: " << Joined(NamesIn(markers));
        EXPECT_EQ(GetFileAttributesW(inWindows.c_str()), INVALID_FILE_ATTRIBUTES) << "copied into the Windows folder";
        EXPECT_EQ(GetFileAttributesW((program + L"UNLHA32.DLL").c_str()), INVALID_FILE_ATTRIBUTES)
            << "copied beside the program";
    }
}

// Whether the file at `path` comes to hold `bytes` within a few seconds (the window's first
// activation, which copies it, may come just after the window shows).
bool BecomesFile(const std::wstring& path, const std::optional<std::string>& bytes) {
    for (int i = 0; i < 250; ++i) {
        if (ScopedInstallation::ReadFileBytes(path) == bytes) return true;
        Sleep(20);
    }
    return false;
}

// KarUpdt_pinned.exe pins the stand-in UNLHA32.DLL, as a release pins the archiver the vendor ships.
TEST_F(StartupTest, ArchiverIsCopiedWhereTheSystemFindsItAndActivationKeepsTheLabels) {
    const std::wstring archiver = BesideTestProgram(L"UNLHA32.DLL");
    const auto bytes = ScopedInstallation::ReadFileBytes(archiver);
    ASSERT_TRUE(bytes);
    InstallationOptions options;
    options.unlha32Source = archiver;
    auto installation = Install(options);
    const std::wstring inWindows = ScopedInstallation::WindowsFolder() + L"\\UNLHA32.DLL";
    const std::wstring copy = installation->TopFolder() + L"\\KarUpdt.exe";
    // A build that pins no archiver copies none, not even the vendor's.
    ASSERT_TRUE(CopyFileW(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST).c_str(), copy.c_str(), FALSE));
    {
        robot::Process process = robot::Process::Start(copy, L"", L"C:\\");
        robot::Window window = WaitForMainWindow(process);
        ASSERT_TRUE(window.Exists());
        EXPECT_TRUE(Activated(window));
        Sleep(300);
        window.Close();
        EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
    }
    EXPECT_EQ(GetFileAttributesW(inWindows.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((installation->TopFolder() + L"\\UNLHA32.DLL").c_str()), INVALID_FILE_ATTRIBUTES);

    // The pinning build, in a folder without UNLHA32.DLL, copies the pinned library.
    ASSERT_TRUE(CopyFileW(BesideTestProgram(L"KarUpdt_pinned.exe").c_str(), copy.c_str(), FALSE));
    {
        robot::Process process = robot::Process::Start(copy, L"", L"C:\\");
        robot::Window window = WaitForMainWindow(process);
        ASSERT_TRUE(window.Exists());
        EXPECT_TRUE(BecomesFile(inWindows, bytes)) << "not copied to the Windows folder";
        // A dialog of the program closes: the window is activated again, the labels stay.
        window.ChooseMenuItem(202);
        auto dialog = robot::WaitForDialog(process.Id());
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(dialog->Press("キャンセル"));
        ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
        Sleep(300);
        EXPECT_EQ(window.ControlById(104)->text, "現在バージョン = 1.5.2");
        EXPECT_EQ(window.ControlById(105)->text, "アップデートバージョン = 1.6.0");
        window.Close();
        EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
    }
    // The Windows folder refuses the copy (its file is held open): the program's own folder gets it.
    ASSERT_TRUE(DeleteFileW(inWindows.c_str()));
    HANDLE held = CreateFileW(inWindows.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    {
        robot::Process process = robot::Process::Start(copy, L"", L"C:\\");
        robot::Window window = WaitForMainWindow(process);
        ASSERT_TRUE(window.Exists());
        EXPECT_TRUE(BecomesFile(installation->TopFolder() + L"\\UNLHA32.DLL", bytes))
            << "not copied beside the program";
        window.Close();
        EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
    }
    CloseHandle(held);
    DeleteFileW(inWindows.c_str());
    DeleteFileW((installation->TopFolder() + L"\\UNLHA32.DLL").c_str());

    // Another library in the installation folder, one byte changed: the pinning build copies nothing.
    std::string changed = *bytes;
    changed.back() = static_cast<char>(changed.back() ^ 0x01);
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(installation->Folder() + L"UNLHA32.DLL", changed));
    {
        robot::Process process = robot::Process::Start(copy, L"", L"C:\\");
        robot::Window window = WaitForMainWindow(process);
        ASSERT_TRUE(window.Exists());
        EXPECT_TRUE(Activated(window));
        Sleep(300);
        window.Close();
        EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
    }
    EXPECT_EQ(GetFileAttributesW(inWindows.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((installation->TopFolder() + L"\\UNLHA32.DLL").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(StartupTest, SettingsInTheWindowsFolderWhenTheMakerFolderIsMissing) {
    InstallationOptions options;
    options.folder = L"C:\\Other Place\\カレドナ\\";
    options.settings = SettingsPlace::WindowsFolder;
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    ExpectWindowThenClose(process, "現在バージョン = 1.5.2");
    EXPECT_NE(GetFileAttributesW(L"C:\\Other Place\\カレドナ\\Temp"), INVALID_FILE_ATTRIBUTES);
}

struct VersionCase {
    const wchar_t* fileVersion;
    std::vector<ExpectedDialog> dialogs;
    bool windowShown;
    const char* oldVersionLabel;
};

TEST_F(StartupTest, InstalledVersionDecidesTheQuestion) {
    const VersionCase cases[] = {
        {L"1.5.2.0", {}, true, "現在バージョン = 1.5.2"},
        {L"1.10.0.0", {}, true, "現在バージョン = 1.10.0"},
        {L"1, 6, 0, 0", {}, true, "現在バージョン = 1,6,0"},
        {L"1.6.0.0", {Question(kSameVersion, "はい(&Y)")}, true, "現在バージョン = 1.6.0"},
        {L"1.6.0.0", {Question(kSameVersion, "いいえ(&N)"), Information(kCancelled)}, false, ""},
        {L"2.0.0.0", {Question(kDowngrade, "はい(&Y)")}, true, "現在バージョン = 2.0.0"},
        {L"2.0.0.0", {Question(kDowngrade, "いいえ(&N)"), Information(kCancelled)}, false, ""},
        {L"1.6.0.10", {Question(kDowngrade, "はい(&Y)")}, true, "現在バージョン = 1.6.0."},
        // A double-byte character at the end counts as two characters of the ANSI text.
        {L"1.5.2版", {}, true, "現在バージョン = 1.5.2"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(robot::ToUtf8(c.fileVersion));
        InstallationOptions options;
        options.fileVersion = c.fileVersion;
        auto installation = Install(options);
        robot::Process process = StartUpdater();
        ASSERT_TRUE(robot::AnswerDialogs(process, c.dialogs));
        if (c.windowShown) {
            ExpectWindowThenClose(process, c.oldVersionLabel);
        } else {
            ExpectEndWithoutWindow(process);
        }
        // The work folder is made before the version is read.
        EXPECT_NE(GetFileAttributesW((installation->Folder() + L"Temp").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST_F(StartupTest, ExecutableWithoutVersion) {
    InstallationOptions options;
    options.karemain = KaremainKind::WithoutResource;
    {
        auto installation = Install(options);
        robot::Process process = StartUpdater();
        ASSERT_TRUE(
            robot::AnswerDialogs(process, {Question(kVersionUnknownAsk, "いいえ(&N)"), Information(kCancelled)}));
        ExpectEndWithoutWindow(process);
    }
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    ASSERT_TRUE(robot::AnswerDialogs(process, {Question(kVersionUnknownAsk, "はい(&Y)")}));
    ExpectWindowThenClose(process, "現在バージョン = 不明");
}

TEST_F(StartupTest, ExecutableMissing) {
    InstallationOptions options;
    options.karemain = KaremainKind::Missing;
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    ASSERT_TRUE(robot::AnswerDialogs(process, {Error(kVersionUnknownStop)}));
    ExpectEndWithoutWindow(process);
}

TEST_F(StartupTest, EscapeAndCloseBoxDeclineAQuestion) {
    InstallationOptions options;
    options.fileVersion = L"1.6.0.0";
    {
        auto installation = Install(options);
        robot::Process process = StartUpdater();
        auto dialog = robot::WaitForDialog(process.Id());
        ASSERT_TRUE(dialog);
        dialog->PressEscape();
        ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
        ASSERT_TRUE(robot::AnswerDialogs(process, {Information(kCancelled)}));
        ExpectEndWithoutWindow(process);
    }
    auto installation = Install(options);
    robot::Process process = StartUpdater();
    auto dialog = robot::WaitForDialog(process.Id());
    ASSERT_TRUE(dialog);
    dialog->Close();
    ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
    ASSERT_TRUE(robot::AnswerDialogs(process, {Information(kCancelled)}));
    ExpectEndWithoutWindow(process);
}

TEST_F(StartupTest, VersionResourceWithoutTranslationIsAnApplicationError) {
    InstallationOptions options;
    options.karemain = KaremainKind::Missing;
    auto installation = Install(options);
    VersionResourceContent content{{{L"FileVersion", L"1.5.2.0"}}};
    content.withTranslation = false;
    std::string error;
    ASSERT_TRUE(MakeVersionedFile(BesideTestProgram(L"version_stub.exe"), installation->Folder() + L"karemain.exe",
                                  BuildVersionResource(content), &error))
        << error;
    robot::Process process = StartUpdater();
    ASSERT_TRUE(robot::AnswerDialogs(
        process, {{"アプリケーション エラー", "バージョン情報の取得に失敗しました.", IconKind::Error, kOk, "OK"}}));
    EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(1));
}

TEST_F(StartupTest, TheWindowAsTheUserSeesIt) {
    auto installation = Install();
    robot::Process process = StartUpdater();
    robot::Window window = WaitForMainWindow(process);
    ASSERT_TRUE(window.Exists());
    EXPECT_EQ(window.Caption(), "【カレドナ】自動アップデートプログラム Ver1.6.0");
    EXPECT_EQ(window.ClientSize().cx, 369);
    EXPECT_EQ(window.ClientSize().cy, 104);

    auto menu = window.Menu();
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->size(), 1u);
    EXPECT_EQ((*menu)[0].caption, "設定");
    ASSERT_EQ((*menu)[0].items.size(), 2u);
    EXPECT_EQ((*menu)[0].items[0].caption, "プロキシ IP");
    EXPECT_EQ((*menu)[0].items[1].caption, "プロキシ Port");

    // The labels are filled when the window becomes active.
    for (int i = 0; i < 100 && window.ControlById(101)->text == "XXX"; ++i) Sleep(20);
    const auto message = window.ControlById(101);
    const auto bar = window.ControlById(102);
    const auto progress = window.ControlById(103);
    const auto oldVersion = window.ControlById(104);
    const auto newVersion = window.ControlById(105);
    const auto start = window.ControlByText("アップデート開始");
    const auto cancel = window.ControlByText("ｷｬﾝｾﾙ");
    ASSERT_TRUE(message && bar && progress && oldVersion && newVersion && start && cancel);

    EXPECT_EQ(message->text, "[アップデート開始]をクリックして作業を開始してください。");
    EXPECT_EQ(message->rect.left, 8);
    EXPECT_EQ(message->rect.top, 10);
    EXPECT_EQ(bar->className, "msctls_progress32");
    EXPECT_EQ(bar->rect.left, 8);
    EXPECT_EQ(bar->rect.top, 26);
    EXPECT_EQ(bar->Width(), 353);
    EXPECT_EQ(bar->Height(), 16);
    EXPECT_EQ(bar->progressPosition, 0);
    EXPECT_EQ(bar->progressMin, 0);
    EXPECT_EQ(bar->progressMax, 100);
    EXPECT_EQ(progress->text, "");
    EXPECT_EQ(progress->rect.right, 361);
    EXPECT_EQ(oldVersion->text, "現在バージョン = 1.5.2");
    EXPECT_EQ(oldVersion->rect.left, 8);
    EXPECT_EQ(oldVersion->rect.top, 70);
    EXPECT_EQ(newVersion->text, "アップデートバージョン = 1.6.0");
    EXPECT_EQ(newVersion->rect.top, 86);
    EXPECT_EQ(start->rect.left, 250);
    EXPECT_EQ(start->rect.top, 72);
    EXPECT_EQ(start->Width(), 111);
    EXPECT_EQ(start->Height(), 25);
    EXPECT_TRUE(start->visible);
    EXPECT_TRUE(start->enabled);
    EXPECT_EQ(cancel->rect.left, 250);
    EXPECT_EQ(cancel->rect.top, 72);
    EXPECT_FALSE(cancel->visible);
    // Tab order: the start button, the progress bar, the cancel button.
    const auto controls = window.Controls();
    ASSERT_GE(controls.size(), 3u);
    EXPECT_EQ(controls[0].text, "アップデート開始");
    EXPECT_EQ(controls[1].className, "msctls_progress32");
    EXPECT_EQ(controls[2].text, "ｷｬﾝｾﾙ");

    std::string error;
    EXPECT_TRUE(SaveWindowScreenshot(window.Handle(), ScreenshotPath(L"main_window.bmp"), &error)) << error;
    window.Close();
    EXPECT_EQ(process.WaitForExit(), std::optional<DWORD>(0));
}

}  // namespace
