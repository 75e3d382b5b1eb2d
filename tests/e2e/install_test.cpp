// Whole updates by KarUpdt.exe under Wine: download from nginx on loopback, expansion with the
// system's LZ32, installation into the demo installation, the ImageKit controls extracted by the
// stand-in UNLHA32.DLL and registered by the stand-in regsvr32.exe, the executable replaced with a
// backup, the log. Every file is compared byte for byte with the package's original content.
#include "update_fixture.h"
#include "version_resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

namespace {

using namespace e2e;

const char* const kCompleted = "アップデートが完了しました。終了します。";

// Installed into the product folder (name there, name in the package's originals).
const std::vector<std::pair<std::wstring, std::string>> kInstalled = {
    {L"DLKR_DL.exe", "DLKR_DL.exe"},     {L"VORNLIB.DLL", "vornlib.dll"},     {L"cellmapa.dat", "cellmapa.dat"},
    {L"cellmapb.dat", "cellmapb.dat"},   {L"FindUpd.exe", "FindUpd.exe"},     {L"tvdialog.dll", "tvdialog.dll"},
    {L"plxShow.exe", "plxShow.exe"},     {L"グループマスタ\\GroupList.Mst", "GroupList.Mst"},
    {L"グループマスタ\\GroupMst.ini", "GroupMst.ini"}, {L"KarScan.exe", "KarScan.exe"},
    {L"KarScanPaste.exe", "KarScanPaste.exe"}, {L"KarScan.def", "KarScan.def"}, {L"scanabort.exe", "scanabort.exe"},
    {L"karstang.dic", "karstang.dic"},   {L"ZoomHint.txt", "ZoomHint.txt"},   {L"karemain.exe", "karemain.exe"},
};

std::set<std::wstring> FilesIn(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            std::wstring name = found.cFileName;
            std::transform(name.begin(), name.end(), name.begin(), ::towlower);
            names.insert(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::string Bytes(const std::wstring& path) { return ScopedInstallation::ReadFileBytes(path).value_or("<missing>"); }

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PreparedFolder().empty()) << "KARUPDT_E2E_DIR is not set: run through ctest";
        ClearAccessLog();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        registrations_ = std::wstring(temp) + L"karupdt_regsvr32.log";
        DeleteFileW(registrations_.c_str());
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_LOG", registrations_.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_LOG", nullptr);
        DeleteFileW(registrations_.c_str());
    }
    std::unique_ptr<ScopedInstallation> Install() {
        InstallationOptions options;
        options.downloadIni = ProxyIni(ServerPort());
        auto installation = std::make_unique<ScopedInstallation>(options);
        EXPECT_TRUE(installation->Ok()) << installation->Error();
        return installation;
    }
    // Presses the start button and answers every dialog until the program ends.
    std::vector<DialogSeen> Update(const std::wstring& program = L"KarUpdt.exe") {
        Updater updater(program);
        EXPECT_TRUE(updater.Ok());
        if (!updater.Ok()) return {};
        EXPECT_TRUE(updater.PressStart());
        auto dialogs = updater.RunToEnd();
        exitCode_ = updater.Process().ExitCode();
        return dialogs;
    }
    std::vector<std::string> Registrations() const {
        std::vector<std::string> lines;
        const std::string log = ScopedInstallation::ReadFileBytes(registrations_).value_or("");
        size_t start = 0;
        for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(log.substr(start, end - start));
        return lines;
    }
    static std::string RegistrationLine(const std::wstring& folder, const char* control) {
        return "\"C:\\TALVERN\\KAREDONA\\Temp\\regsvr32.exe\" /s \"" + robot::ToUtf8(folder) + control + "\"";
    }

    std::wstring registrations_;
    std::optional<DWORD> exitCode_;
};

TEST_F(InstallTest, BothControlsMissingInstallsEverything) {
    ImageKitControls controls(false, false);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const std::string oldExecutable = Bytes(product + L"karemain.exe");

    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].title, "情報");
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(exitCode_, std::optional<DWORD>(0));
    EXPECT_EQ(RequestedNames(), ExpectedDownloads(false, false));

    for (const auto& [installed, original] : kInstalled)
        EXPECT_EQ(Bytes(product + installed), Bytes(OriginalFile(original))) << robot::ToUtf8(installed);
    EXPECT_EQ(Bytes(ImageKitControls::Folder5() + L"ImgKit5.ocx"), Bytes(OriginalFile("ImgKit5.ocx")));
    EXPECT_EQ(Bytes(ImageKitControls::Folder6() + L"ImgKit6.ocx"), Bytes(OriginalFile("ImgKit6.ocx")));
    EXPECT_EQ(Registrations(), (std::vector<std::string>{RegistrationLine(ImageKitControls::Folder5(), "ImgKit5.ocx"),
                                                         RegistrationLine(ImageKitControls::Folder6(), "ImgKit6.ocx")}));

    // The work folder keeps the backup, the log, what was expanded and two downloads.
    const std::wstring work = product + L"Temp\\";
    EXPECT_EQ(Bytes(work + L"karemain.old"), oldExecutable);
    const std::set<std::wstring> expectedWork = {
        L"vornlib.dl_", L"findupd.ex_", L"dlkr_dl.exe",
        L"findupd.exe", L"karstang.dic", L"zoomhint.txt", L"cellmapa.dat", L"cellmapb.dat", L"vornlib.dll",
        L"tvdialog.dll", L"plxshow.exe", L"grouplist.mst", L"groupmst.ini", L"karscan.exe", L"karscanpaste.exe",
        L"karscan.def", L"scanabort.exe", L"regsvr32.exe", L"karemain.old", L"karupdt.log"};
    EXPECT_EQ(FilesIn(work), expectedWork);

    const std::string log = Bytes(work + L"KarUpdt.Log");
    const std::regex shape("\\[Karedona\\]Last Update Log\r\n[0-9/]+( [0-9:]+)?\r\nOldVer=1\\.5\\.2\r\nNewVer=1\\.6\\.0\r\n");
    EXPECT_TRUE(std::regex_match(log, shape)) << log;
    EXPECT_EQ(Bytes(product + L"DOWNLOAD.INI"), ProxyIni(ServerPort()));
}

TEST_F(InstallTest, ControlsInPlaceAreLeftAlone) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(RequestedNames(), ExpectedDownloads(true, true));
    EXPECT_TRUE(Registrations().empty());
    EXPECT_EQ(Bytes(ImageKitControls::Folder5() + L"ImgKit5.ocx"), Bytes(BesideTestProgram(L"version_windres.exe")));
    EXPECT_EQ(Bytes(ImageKitControls::Folder6() + L"ImgKit6.ocx"), "ImageKit 6 control");
    EXPECT_EQ(Bytes(installation->Folder() + L"karemain.exe"), Bytes(OriginalFile("karemain.exe")));
    EXPECT_EQ(FilesIn(installation->Folder() + L"Temp\\").count(L"regsvr32.exe"), 0u);
}

TEST_F(InstallTest, OnlyImageKit6MissingInstallsOnlyIt) {
    ImageKitControls controls(true, false);
    auto installation = Install();
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(Registrations(),
              std::vector<std::string>{RegistrationLine(ImageKitControls::Folder6(), "ImgKit6.ocx")});
    EXPECT_EQ(Bytes(ImageKitControls::Folder6() + L"ImgKit6.ocx"), Bytes(OriginalFile("ImgKit6.ocx")));
    EXPECT_EQ(Bytes(ImageKitControls::Folder5() + L"ImgKit5.ocx"), Bytes(BesideTestProgram(L"version_windres.exe")));
}

TEST_F(InstallTest, ReadOnlyComponentIsOverwrittenAndUserFilesAreKept) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(product + L"DLKR_DL.exe", "old program"));
    ASSERT_TRUE(SetFileAttributesW((product + L"DLKR_DL.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(product + L"karstang.dic", "the user's own dictionary"));
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(Bytes(product + L"DLKR_DL.exe"), Bytes(OriginalFile("DLKR_DL.exe")));
    EXPECT_EQ(Bytes(product + L"karstang.dic"), "the user's own dictionary");
    EXPECT_EQ(Bytes(product + L"ZoomHint.txt"), Bytes(OriginalFile("ZoomHint.txt")));  // seeded: it was missing
}

TEST_F(InstallTest, DamagedComponentChangesNothingInTheProduct) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const std::set<std::wstring> before = FilesIn(product);
    const std::string oldExecutable = Bytes(product + L"karemain.exe");
    // The server offers a compressed component that ends early.
    const std::wstring served = ServedFile("cellmapb.da_");
    const std::string whole = Bytes(served);
    ASSERT_TRUE(MoveFileW(served.c_str(), (served + L".whole").c_str()));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(served, whole.substr(0, whole.size() / 2)));
    struct PutBack {
        std::wstring path;
        ~PutBack() {
            DeleteFileW(path.c_str());
            MoveFileW((path + L".whole").c_str(), path.c_str());
        }
    } putBack{served};

    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].title, "エラー");
    EXPECT_EQ(dialogs[0].text, "コンポーネントの展開(9)に失敗しました。\rファイル \"C:\\TALVERN\\KAREDONA\\Temp\\cellmapb.da_\" "
                               "を展開できません。");
    EXPECT_EQ(exitCode_, std::optional<DWORD>(0));
    EXPECT_EQ(FilesIn(product), before);
    EXPECT_EQ(Bytes(product + L"karemain.exe"), oldExecutable);
    EXPECT_EQ(FilesIn(product + L"Temp\\").count(L"karupdt.log"), 0u);
}

TEST_F(InstallTest, RegistrationToolThatCannotStart) {
    ImageKitControls controls(false, false);
    auto installation = Install();
    // The served registration tool expands to a text file, which cannot be started.
    const std::wstring served = ServedFile("Regsvr32.ex_");
    ASSERT_TRUE(MoveFileW(served.c_str(), (served + L".real").c_str()));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(served, "this is not a program, only some text to run"));
    struct PutBack {
        std::wstring path;
        ~PutBack() {
            DeleteFileW(path.c_str());
            MoveFileW((path + L".real").c_str(), path.c_str());
        }
    } putBack{served};
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_EQ(dialogs[0].text, "ImageKitのインストールに失敗しました");
    EXPECT_EQ(dialogs[1].text, "ImageKitのインストールに失敗しました");
    EXPECT_EQ(dialogs[2].text, kCompleted);
    EXPECT_EQ(Bytes(installation->Folder() + L"karemain.exe"), Bytes(OriginalFile("karemain.exe")));
}

TEST_F(InstallTest, WithoutTheArchiverTheUpdateStillCompletes) {
    ImageKitControls controls(false, true);
    auto installation = Install();
    // A copy of the program in a folder without UNLHA32.DLL; none in the system folders either.
    const std::wstring copy = installation->TopFolder() + L"\\KarUpdt.exe";
    ASSERT_TRUE(CopyFileW(BesideTestProgram(L"KarUpdt.exe").c_str(), copy.c_str(), FALSE));
    Updater updater(copy);
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    // While the archiver's box is up the installation is half done: closing the window then must
    // not end the program.
    auto panic = robot::WaitForDialog(updater.Process().Id(), std::chrono::seconds(30));
    ASSERT_TRUE(panic);
    updater.Window().Close();
    Sleep(300);
    EXPECT_TRUE(updater.Process().Running());
    const auto dialogs = updater.RunToEnd();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(updater.Process().ExitCode(), std::optional<DWORD>(0));
    EXPECT_EQ(dialogs[0].title, "PANIC!!");
    EXPECT_EQ(dialogs[0].text, "Unlha: LHA.DLL not loaded.");
    EXPECT_EQ(dialogs[1].text, kCompleted);
    // The registration still ran, on a control that was never extracted.
    EXPECT_EQ(Registrations(), std::vector<std::string>{RegistrationLine(ImageKitControls::Folder5(), "ImgKit5.ocx")});
}

TEST_F(InstallTest, ExecutableInUseIsNotReplaced) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const std::string oldExecutable = Bytes(product + L"karemain.exe");
    // Open for reading, as a running program holds its file: it can be copied but not deleted.
    HANDLE held = CreateFileW((product + L"karemain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto dialogs = Update();
    CloseHandle(held);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].title, "エラー");
    EXPECT_EQ(dialogs[0].text, "コンポーネントの展開(9)に失敗しました。\rコンポーネントの展開(6)に失敗しました。終了します。");
    EXPECT_EQ(Bytes(product + L"karemain.exe"), oldExecutable);
    EXPECT_EQ(Bytes(product + L"Temp\\karemain.old"), oldExecutable);
    EXPECT_EQ(Bytes(product + L"DLKR_DL.exe"), Bytes(OriginalFile("DLKR_DL.exe")));  // installed before the failure
}

}  // namespace
