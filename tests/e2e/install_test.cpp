// Whole updates by KarUpdt.exe under Wine: download from nginx on loopback, expansion with the
// system's LZ32, installation into the demo installation, the ImageKit controls extracted by the
// stand-in UNLHA32.DLL and registered by the stand-in regsvr32.exe, the executable replaced with a
// backup, the log. Every file is compared byte for byte with the package's original content.
#include "update_fixture.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

namespace {

using namespace e2e;

const char* const kCompleted = "アップデートが完了しました。終了します。";

// Installed into the product folder (name there, name in the package's originals): every component
// that goes into it, its group folder, or replaces its program.
const std::vector<std::pair<std::wstring, std::string>> kInstalled = [] {
    std::vector<std::pair<std::wstring, std::string>> installed;
    for (const expected::Component& component : expected::PackageComponents()) {
        using expected::Into;
        if (component.into == Into::Product || component.into == Into::Seed || component.into == Into::Executable)
            installed.push_back({robot::ToWide(component.installed), component.expanded});
        else if (component.into == Into::GroupFolder)
            installed.push_back({L"グループマスタ\\" + robot::ToWide(component.installed), component.expanded});
    }
    return installed;
}();

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

// The run's own folder inside the installation folder.
const std::wstring kStage = L"Temp\\KarUpdt.stage\\";

const char* const kUnchanged = "【カレドナ】は変更されていません。";
const char* const kRestored = "【カレドナ】は元の状態に戻しました。";
const char* const kFailed = "コンポーネントの展開(9)に失敗しました。\r";

// Every file below `folder` (relative name, content), leaving out the work folder "Temp".
void AddTree(const std::wstring& folder, const std::wstring& prefix, std::map<std::wstring, std::string>& files) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (prefix.empty() && name == L"Temp") continue;
            files[prefix + name + L"\\"] = "<folder>";
            AddTree(folder + name + L"\\", prefix + name + L"\\", files);
        } else {
            files[prefix + name] = Bytes(folder + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The product as the user has it: the installation folder without its work folder, and both
// ImageKit folders.
struct ProductState {
    std::map<std::wstring, std::string> files;
    explicit ProductState(const std::wstring& product) {
        AddTree(product, L"", files);
        AddTree(ImageKitControls::Folder5(), L"<imagekit5>\\", files);
        AddTree(ImageKitControls::Folder6(), L"<imagekit6>\\", files);
    }
};

// The names that differ between two states, for a readable failure.
::testing::AssertionResult SameProduct(const ProductState& before, const ProductState& after) {
    std::string differences;
    for (const auto& [name, bytes] : before.files) {
        auto now = after.files.find(name);
        if (now == after.files.end())
            differences += " missing:" + robot::ToUtf8(name);
        else if (now->second != bytes)
            differences += " changed:" + robot::ToUtf8(name);
    }
    for (const auto& [name, bytes] : after.files)
        if (!before.files.count(name)) differences += " added:" + robot::ToUtf8(name);
    if (differences.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the product changed:" << differences;
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }
bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Replaces a file the server offers for the life of the object.
class ServedFileReplaced {
public:
    ServedFileReplaced(const std::string& name, const std::string& bytes) : path_(ServedFile(name)) {
        ok_ = MoveFileW(path_.c_str(), (path_ + L".real").c_str()) && ScopedInstallation::WriteFileBytes(path_, bytes);
    }
    ~ServedFileReplaced() {
        DeleteFileW(path_.c_str());
        MoveFileW((path_ + L".real").c_str(), path_.c_str());
    }
    bool Ok() const { return ok_; }

private:
    std::wstring path_;
    bool ok_ = false;
};

// Answers the dialogs of a download that does not bring every file, until the start button is
// offered again with no dialog following; returns their texts in order.
std::vector<std::string> DialogsUntilStartButton(Updater& updater) {
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) {
        if (auto dialog = robot::FindDialog(updater.Process().Id())) {
            texts.push_back(dialog->Text());
            dialog->Close();
            if (!robot::WaitForWindowGone(dialog->Handle())) break;
            continue;
        }
        if (updater.StartButtonVisible() && !updater.CancelButtonVisible() &&
            robot::NoDialogFor(updater.Process(), std::chrono::milliseconds(1000)))
            break;
        Sleep(20);
    }
    return texts;
}

// A proxy of our own on loopback that serves the package's files itself, one connection at a
// time, and can break one file: its answer announces the length of the file before it and the
// connection closes before the first body byte.
class BreakingProxy {
public:
    BreakingProxy() {
        listener_ = ListenOnLoopback(4, port_);
        if (port_ != 0) thread_ = std::thread([this] { Run(); });
    }
    ~BreakingProxy() {
        stop_ = true;
        closesocket(listener_);
        if (thread_.joinable()) thread_.join();
        WSACleanup();
    }
    int Port() const { return port_; }
    // The file to break ("" for none) and the length its answer announces.
    void Break(const std::string& name, size_t announced) {
        std::lock_guard lock(mutex_);
        broken_ = name;
        announced_ = announced;
    }
    // Answers every request with a redirection to `location` ("" for none).
    void RedirectTo(const std::string& location) {
        std::lock_guard lock(mutex_);
        redirect_ = location;
    }
    int Answered() const { return answered_; }

private:
    void Run() {
        while (!stop_) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            DWORD timeout = 10000;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
            while (!stop_ && Answer(client)) {}
            closesocket(client);
        }
    }
    // Answers one request; false when the connection is to be closed.
    bool Answer(SOCKET client) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const int got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            head.append(buffer, static_cast<size_t>(got));
        }
        const size_t end = head.find(' ', head.find(' ') + 1);
        const std::string name = head.substr(head.rfind('/', end) + 1, end - head.rfind('/', end) - 1);
        ++answered_;
        std::unique_lock lock(mutex_);
        if (!redirect_.empty()) {
            const std::string answer =
                "HTTP/1.1 302 Found\r\nLocation: " + redirect_ + name + "\r\nContent-Length: 0\r\n\r\n";
            lock.unlock();
            send(client, answer.data(), static_cast<int>(answer.size()), 0);
            return true;
        }
        if (name == broken_) {
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced_) + "\r\n\r\n";
            lock.unlock();
            send(client, answer.data(), static_cast<int>(answer.size()), 0);
            shutdown(client, SD_SEND);
            return false;
        }
        lock.unlock();
        const auto body = ScopedInstallation::ReadFileBytes(ServedFile(name));
        const std::string answer =
            body ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body->size()) + "\r\n\r\n" + *body
                 : std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        for (size_t sent = 0; sent < answer.size();) {
            const int now = send(client, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
            if (now <= 0) return false;
            sent += static_cast<size_t>(now);
        }
        return true;
    }

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;  // set by the test, read by the server thread
    std::string broken_;
    size_t announced_ = 0;
    std::string redirect_;
    std::atomic<int> answered_{0};
};

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PreparedFolder().empty()) << "KARUPDT_E2E_DIR is not set: run through ctest";
        ClearAccessLog();
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        registrations_ = std::wstring(temp) + L"karupdt_regsvr32.log";
        toolFolders_ = std::wstring(temp) + L"karupdt_regsvr32_folders.log";
        DeleteFileW(registrations_.c_str());
        DeleteFileW(toolFolders_.c_str());
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_LOG", registrations_.c_str());
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_FOLDER_LOG", toolFolders_.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_LOG", nullptr);
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_FOLDER_LOG", nullptr);
        DeleteFileW(registrations_.c_str());
        DeleteFileW(toolFolders_.c_str());
    }
    std::unique_ptr<ScopedInstallation> Install(int proxyPort = ServerPort()) {
        InstallationOptions options;
        options.downloadIni = ProxyIni(proxyPort);
        auto installation = std::make_unique<ScopedInstallation>(options);
        EXPECT_TRUE(installation->Ok()) << installation->Error();
        return installation;
    }
    // Presses the start button and answers every dialog until the program ends.
    std::vector<DialogSeen> Update(const std::wstring& program = KARUPDT_PROGRAM_UNDER_TEST,
                                   const std::vector<robot::ExpectedDialog>& startQuestions = {}) {
        Updater updater(program, startQuestions);
        EXPECT_TRUE(updater.Ok());
        if (!updater.Ok()) return {};
        EXPECT_TRUE(updater.PressStart());
        auto dialogs = updater.RunToEnd();
        exitCode_ = updater.Process().ExitCode();
        return dialogs;
    }
    // The registration tool's command lines, and the folders it was started in, one a run.
    std::vector<std::string> Registrations() const { return Lines(registrations_); }
    std::vector<std::string> ToolFolders() const { return Lines(toolFolders_); }
    static std::vector<std::string> Lines(const std::wstring& file) {
        std::vector<std::string> lines;
        const std::string log = ScopedInstallation::ReadFileBytes(file).value_or("");
        size_t start = 0;
        for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(log.substr(start, end - start));
        return lines;
    }
    // Presses the start button once more in the same window: the update completes and every
    // component of the product is the new one.
    void PressAgainAndExpectEverythingNew(Updater& updater, const std::wstring& product) {
        ASSERT_TRUE(updater.PressStart());
        const auto dialogs = updater.RunToEnd();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].text, kCompleted);
        for (const auto& [installed, original] : kInstalled)
            EXPECT_TRUE(Bytes(product + installed) == Bytes(OriginalFile(original))) << robot::ToUtf8(installed);
    }
    static std::string RegistrationLine(const std::wstring& folder, const char* control) {
        return "\"C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.stage\\regsvr32.exe\" /s \"" + robot::ToUtf8(folder) + control + "\"";
    }

    std::wstring registrations_;
    std::wstring toolFolders_;
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
    EXPECT_EQ(Registrations(),
              (std::vector<std::string>{RegistrationLine(ImageKitControls::Folder5(), "ImgKit5.ocx"),
                                        RegistrationLine(ImageKitControls::Folder6(), "ImgKit6.ocx")}));
    // Started in the System folder, not in the folder the updater was started from.
    wchar_t system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    EXPECT_EQ(ToolFolders(), (std::vector<std::string>{robot::ToUtf8(system), robot::ToUtf8(system)}));

    // The work folder keeps the backup and the log; the run's own folder what was expanded and two
    // downloads.
    const std::wstring work = product + L"Temp\\";
    EXPECT_EQ(Bytes(work + L"karemain.old"), oldExecutable);
    EXPECT_EQ(FilesIn(work), (std::set<std::wstring>{L"karemain.old", L"karupdt.log"}));
    const std::set<std::wstring> expectedStage = {
        L"vornlib.dl_",  L"findupd.ex_",   L"dlkr_dl.exe",  L"findupd.exe",  L"karstang.dic",
        L"zoomhint.txt", L"cellmapa.dat",  L"cellmapb.dat", L"vornlib.dll",  L"tvdialog.dll",
        L"plxshow.exe",  L"grouplist.mst", L"groupmst.ini", L"karscan.exe",  L"karscanpaste.exe",
        L"karscan.def",  L"scanabort.exe", L"regsvr32.exe"};
    EXPECT_EQ(FilesIn(product + kStage), expectedStage);

    const std::string log = Bytes(work + L"KarUpdt.Log");
    const std::regex shape(
        "\\[Karedona\\]Last Update Log\r\n[0-9/]+( [0-9:]+)?\r\nOldVer=1\\.5\\.2\r\nNewVer=1\\.6\\.0\r\n");
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
    EXPECT_EQ(FilesIn(installation->Folder() + kStage).count(L"regsvr32.exe"), 0u);
}

TEST_F(InstallTest, OnlyImageKit6MissingInstallsOnlyIt) {
    ImageKitControls controls(true, false);
    auto installation = Install();
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(Registrations(), std::vector<std::string>{RegistrationLine(ImageKitControls::Folder6(), "ImgKit6.ocx")});
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

// The last-write time of a file in 100 ns units; 0 when it cannot be read.
unsigned long long LastWriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

// An executable whose version cannot be read is still the user's program: when the user goes on,
// it becomes the backup as it was, replacing an earlier one, with its date and attributes; and
// what is installed carries the date and attributes of the file it was copied from.
TEST_F(InstallTest, AnExecutableWithoutVersionIsBackedUpWithItsDateAndAttributes) {
    ImageKitControls controls(true, true);
    InstallationOptions options;
    options.downloadIni = ProxyIni(ServerPort());
    options.karemain = KaremainKind::WithoutResource;
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    const std::wstring product = installation.Folder();
    const std::wstring executable = product + L"karemain.exe", backup = product + L"Temp\\karemain.old";
    const std::string oldExecutable = Bytes(executable);
    // 6 May 2001, 12:00: a date no run of this test can give a file it writes.
    const unsigned long long oldDate = 126335664000000000ULL;
    {
        HANDLE file = CreateFileW(executable.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const FILETIME time{static_cast<DWORD>(oldDate), static_cast<DWORD>(oldDate >> 32)};
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
        CloseHandle(file);
    }
    ASSERT_TRUE(SetFileAttributesW(executable.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    CreateDirectoryW((product + L"Temp").c_str(), nullptr);
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(backup, "an earlier backup"));
    ASSERT_TRUE(SetFileAttributesW(backup.c_str(), FILE_ATTRIBUTE_READONLY));

    const robot::ExpectedDialog goOn{"確認",
                                     "現在のインストールバージョンが取得できません。\rアップデート処理を続行しますか？",
                                     robot::IconKind::Question,
                                     {"はい(&Y)", "いいえ(&N)"},
                                     "はい(&Y)"};
    const auto dialogs = Update(KARUPDT_PROGRAM_UNDER_TEST, {goOn});
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_EQ(Bytes(executable), Bytes(OriginalFile("karemain.exe")));
    EXPECT_TRUE(Bytes(backup) == oldExecutable) << "karemain.old is not the executable from before the update";
    EXPECT_EQ(LastWriteTime(backup), oldDate);
    EXPECT_EQ(GetFileAttributesW(backup.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    // The expanded files stay in the run's folder after a success.
    const std::wstring component = product + L"DLKR_DL.exe", expanded = product + kStage + L"DLKR_DL.exe";
    EXPECT_NE(LastWriteTime(expanded), 0u);
    EXPECT_EQ(LastWriteTime(component), LastWriteTime(expanded));
    EXPECT_EQ(GetFileAttributesW(component.c_str()), GetFileAttributesW(expanded.c_str()));
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
    EXPECT_EQ(dialogs[0].text,
              "コンポーネントの展開(9)に失敗しました。\rファイル \"C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.stage\\cellmapb.da_\" "
              "を展開できません。");
    EXPECT_EQ(exitCode_, std::optional<DWORD>(0));
    EXPECT_EQ(FilesIn(product), before);
    EXPECT_EQ(Bytes(product + L"karemain.exe"), oldExecutable);
    EXPECT_EQ(FilesIn(product + L"Temp\\").count(L"karupdt.log"), 0u);
}

TEST_F(InstallTest, RegistrationToolThatCannotStartOrFailsUndoesTheUpdate) {
    ImageKitControls controls(false, false);
    auto installation = Install();
    const ProductState before(installation->Folder());
    {
        // The served registration tool expands to a text file, which cannot be started.
        ServedFileReplaced served("Regsvr32.ex_", "this is not a program, only some text to run");
        ASSERT_TRUE(served.Ok());
        const auto dialogs = Update();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].title, "エラー");
        EXPECT_TRUE(StartsWith(
            dialogs[0].text,
            std::string(kFailed) + "ImageKitのインストールに失敗しました\r「ImgKit5.ocx」を登録できません。"))
            << dialogs[0].text;
        EXPECT_TRUE(EndsWith(dialogs[0].text, kRestored)) << dialogs[0].text;
        EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    }
    {
        // A tool that starts and ends with a failure: the control it did not register is not left
        // behind, so that the next run installs it again.
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_EXIT", L"5");
        const auto dialogs = Update();
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_EXIT", nullptr);
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].text, std::string(kFailed) +
                                       "ImageKitのインストールに失敗しました\r「ImgKit5.ocx」を登録できません。"
                                       "登録ツールが終了コード 5 で終わりました。\r" +
                                       kRestored);
        EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
        EXPECT_EQ(GetFileAttributesW((ImageKitControls::Folder5() + L"ImgKit5.ocx").c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(Registrations().size(), 1u);
    }
    // Mended, the same installation updates completely.
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_TRUE(Bytes(installation->Folder() + L"karemain.exe") == Bytes(OriginalFile("karemain.exe")));
    EXPECT_TRUE(Bytes(ImageKitControls::Folder6() + L"ImgKit6.ocx") == Bytes(OriginalFile("ImgKit6.ocx")));
}

// A process of the test's own working on the run's folder while the updater runs, as anyone who
// could write it might: `act` is tried every millisecond once `path` exists, until it succeeds.
class StagingMeddler {
public:
    StagingMeddler(std::wstring path, std::function<bool(const std::wstring&)> act)
        : thread_([this, path = std::move(path), act = std::move(act)] {
              for (int i = 0; i < 120000 && !stop_; ++i) {
                  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && act(path)) {
                      done_ = true;
                      return;
                  }
                  Sleep(1);
              }
          }) {}
    ~StagingMeddler() {
        stop_ = true;
        thread_.join();
    }
    bool Done() const { return done_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Writes `bytes` over the file as soon as nobody holds it.
std::function<bool(const std::wstring&)> Overwrite(std::string bytes) {
    return [bytes = std::move(bytes)](const std::wstring& path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size() && SetEndOfFile(file);
        CloseHandle(file);
        return ok;
    };
}

// What the run writes into its own folder is what it runs and installs: a registration tool
// replaced after it was expanded is never run, a control replaced after it was extracted is never
// installed, and a DLL put beside the control is left where it was put.
TEST_F(InstallTest, FilesChangedInTheRunsFolderAreNeverRunOrInstalled) {
    const std::wstring stage = L"C:\\TALVERN\\KAREDONA\\" + kStage;
    {
        ImageKitControls controls(false, true);
        auto installation = Install();
        const ProductState before(installation->Folder());
        // Another program that registers, a byte longer: run, it would leave its line too.
        const std::string other = Bytes(BesideTestProgram(L"regsvr32.exe")) + "X";
        StagingMeddler meddler(stage + L"Regsvr32.exe", Overwrite(other));
        const auto dialogs = Update();
        EXPECT_TRUE(meddler.Done());
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].text, std::string(kFailed) +
                                       "ImageKitのインストールに失敗しました\r「ImgKit5.ocx」を登録できません。ファイル \"" +
                                       robot::ToUtf8(stage) + "regsvr32.exe\" は、このプログラムが用意したときと内容が違います（" +
                                       std::to_string(other.size()) + " バイト、用意したときは " +
                                       std::to_string(other.size() - 1) + " バイト）。\r" + kRestored);
        EXPECT_TRUE(Registrations().empty());
        EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    }
    {
        // The build for the package also knows what the control must be: changed at any moment
        // after the extraction, it is never installed.
        ImageKitControls controls(false, true);
        auto installation = Install();
        const ProductState before(installation->Folder());
        StagingMeddler meddler(stage + L"ImageKit5\\ImgKit5.ocx", Overwrite("a control of someone else's"));
        const auto dialogs = Update(L"KarUpdt_pinned.exe");
        EXPECT_TRUE(meddler.Done());
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_TRUE(StartsWith(dialogs[0].text, kFailed)) << dialogs[0].text;
        EXPECT_NE(dialogs[0].text.find("ImgKit5.ocx"), std::string::npos) << dialogs[0].text;
        EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
        EXPECT_TRUE(Registrations().empty());
    }
    {
        ImageKitControls controls(true, false);
        auto installation = Install();
        StagingMeddler meddler(stage + L"ImageKit6\\ImgKit6.ocx", [&](const std::wstring&) {
            return ScopedInstallation::WriteFileBytes(stage + L"ImageKit6\\planted.dll", "planted");
        });
        const auto dialogs = Update();
        EXPECT_TRUE(meddler.Done());
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].text, kCompleted);
        EXPECT_EQ(FilesIn(ImageKitControls::Folder6()), (std::set<std::wstring>{L"imgkit6.ocx"}));
        EXPECT_EQ(Bytes(ImageKitControls::Folder6() + L"ImgKit6.ocx"), Bytes(OriginalFile("ImgKit6.ocx")));
    }
}

TEST_F(InstallTest, ControlThatCannotBeExtractedStopsBeforeAnythingIsInstalled) {
    ImageKitControls controls(false, true);
    auto installation = Install();
    const ProductState before(installation->Folder());
    // A copy of the program in a folder without UNLHA32.DLL; none in the system folders either.
    const std::wstring copy = installation->TopFolder() + L"\\KarUpdt.exe";
    ASSERT_TRUE(CopyFileW(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST).c_str(), copy.c_str(), FALSE));
    {
        Updater updater(copy);
        ASSERT_TRUE(updater.Ok());
        ASSERT_TRUE(updater.PressStart());
        // While the archiver's box is up the installation runs: closing the window then must not
        // end the program.
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
        // Where the archiver was looked for: beside the program, the System folder, the Windows folder.
        wchar_t system[MAX_PATH], windows[MAX_PATH];
        GetSystemDirectoryW(system, MAX_PATH);
        GetWindowsDirectoryW(windows, MAX_PATH);
        EXPECT_EQ(dialogs[1].text, std::string(kFailed) +
                                       "ImageKitのインストールに失敗しました\r「ImgKit5.ocx」が書庫 "
                                       "\"C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.stage\\Imgkit5.lzh\" から取り出せません。\r"
                                       "UNLHA32.DLL が次のフォルダにありません。\r" +
                                       robot::ToUtf8(installation->TopFolder()) + "\\\r" + robot::ToUtf8(system) +
                                       "\\\r" + robot::ToUtf8(windows) + "\\\r" + kUnchanged);
    }
    EXPECT_TRUE(Registrations().empty());
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));

    // A damaged archive, with the archiver present.
    std::string archive = Bytes(ServedFile("Imgkit5.lzh"));
    for (size_t i = archive.size() / 2; i < archive.size() / 2 + 64; ++i) archive[i] = static_cast<char>(~archive[i]);
    ServedFileReplaced served("Imgkit5.lzh", archive);
    ASSERT_TRUE(served.Ok());
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(StartsWith(dialogs[0].text,
                           std::string(kFailed) + "ImageKitのインストールに失敗しました\r「ImgKit5.ocx」を書庫 "))
        << dialogs[0].text;
    EXPECT_TRUE(EndsWith(dialogs[0].text, kUnchanged)) << dialogs[0].text;
    EXPECT_TRUE(Registrations().empty());
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
}

TEST_F(InstallTest, FilesInUseAreFoundBeforeAnythingIsInstalled) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const ProductState before(product);
    {
        // Open for reading, as a running program holds its file: it can be copied but not replaced.
        HANDLE held = CreateFileW((product + L"karemain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const auto dialogs = Update();
        CloseHandle(held);
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0].title, "エラー");
        EXPECT_TRUE(StartsWith(dialogs[0].text, std::string(kFailed) +
                                                    "コンポーネントの展開(6)に失敗しました。終了します。\rファイル "
                                                    "\"C:\\TALVERN\\KAREDONA\\karemain.exe\" を置き換えできません。"))
            << dialogs[0].text;
        EXPECT_TRUE(EndsWith(dialogs[0].text, kUnchanged)) << dialogs[0].text;
        EXPECT_TRUE(SameProduct(before, ProductState(product)));
    }
    // A component that the product holds open.
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(product + L"tvdialog.dll", "the old dialog library"));
    const ProductState withComponent(product);
    HANDLE held = CreateFileW((product + L"tvdialog.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto dialogs = Update();
    CloseHandle(held);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(
        StartsWith(dialogs[0].text, std::string(kFailed) + "コンポーネントの展開(4.5)に失敗しました。終了します。\r"))
        << dialogs[0].text;
    EXPECT_TRUE(EndsWith(dialogs[0].text, kUnchanged)) << dialogs[0].text;
    EXPECT_TRUE(SameProduct(withComponent, ProductState(product)));
}

TEST_F(InstallTest, CaptivePortalPageIsNeverInstalled) {
    // A proxy or portal that answers every request with its own page, with a right length.
    ImageKitControls controls(true, true);
    auto installation = Install();
    const ProductState before(installation->Folder());
    const std::string page =
        "<html><head><title>Sign in</title></head><body>Please sign in to use this network.</body></html>";
    std::vector<std::unique_ptr<ServedFileReplaced>> served;
    for (const std::string& name : ExpectedDownloads(true, true)) {
        served.push_back(std::make_unique<ServedFileReplaced>(name, page));
        ASSERT_TRUE(served.back()->Ok()) << name;
    }
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, std::string(kFailed) +
                                   "ファイル \"C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.stage\\karemain.exe\" は"
                                   "【カレドナ】1.6.0の実行ファイルではありません。\r" +
                                   kUnchanged);
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    EXPECT_EQ(FilesIn(installation->Folder() + L"Temp\\").count(L"karupdt.log"), 0u);

    // A build that carries the package's digests refuses every page as it arrives, and keeps none.
    Updater pinned(L"KarUpdt_pinned.exe");
    ASSERT_TRUE(pinned.Ok());
    ASSERT_TRUE(pinned.PressStart());
    const std::vector<std::string> texts = DialogsUntilStartButton(pinned);
    const std::vector<std::string> names = ExpectedDownloads(true, true);
    ASSERT_EQ(texts.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_TRUE(StartsWith(texts[i], "ファイル \"" + names[i] +
                                             "\" の内容は配布元のものではありません。\r大きさが " +
                                             std::to_string(page.size()) + " バイトです"))
            << texts[i];
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    for (const std::string& name : names)
        EXPECT_EQ(FilesIn(installation->Folder() + kStage).count(robot::ToWide(name)), 0u) << name;
    pinned.Window().Close();
    EXPECT_EQ(pinned.Process().WaitForExit(), std::optional<DWORD>(0));
}

TEST_F(InstallTest, PinnedBuildTakesOnlyThePackageItWasBuiltFor) {
    ImageKitControls controls(true, true);
    auto installation = Install();
    const ProductState before(installation->Folder());
    Updater updater(L"KarUpdt_pinned.exe");
    ASSERT_TRUE(updater.Ok());
    {
        // One byte of one component differs; its length is the same.
        std::string changed = Bytes(ServedFile("tvdialog.dl_"));
        changed.back() = static_cast<char>(changed.back() ^ 0x01);
        ServedFileReplaced served("tvdialog.dl_", changed);
        ASSERT_TRUE(served.Ok());
        ASSERT_TRUE(updater.PressStart());
        const std::vector<std::string> texts = DialogsUntilStartButton(updater);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0],
                  "ファイル \"tvdialog.dl_\" の内容は配布元のものではありません。\r"
                  "内容 (SHA-256) が配布元のファイルと一致しません。\r"
                  "ダウンロードしたファイルは削除しました。\r【カレドナ】は変更されていません。\r"
                  "しばらくしてから、もう一度アップデートを開始してください。");
        EXPECT_EQ(RequestedNames(), ExpectedDownloads(true, true));
        EXPECT_TRUE(updater.StartButtonVisible());
        EXPECT_EQ(FilesIn(installation->Folder() + kStage).count(L"tvdialog.dl_"), 0u);
        EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    }
    // The server mended, a second press in the same window completes.
    PressAgainAndExpectEverythingNew(updater, installation->Folder());
}

TEST_F(InstallTest, TransferEndingBeforeItsBodyIsNotCountedAndASecondPressCompletes) {
    ImageKitControls controls(true, true);
    BreakingProxy proxy;
    ASSERT_NE(proxy.Port(), 0);
    auto installation = Install(proxy.Port());
    const ProductState before(installation->Folder());
    // The broken answer announces exactly the length of the file that came before it.
    const std::vector<std::string> names = ExpectedDownloads(true, true);
    const std::string broken = names[6];
    proxy.Break(broken, Bytes(ServedFile(names[5])).size());

    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    // One message; the other files still come, nothing is installed, and the start button is
    // offered again.
    const std::vector<std::string> texts = DialogsUntilStartButton(updater);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(StartsWith(texts[0], "通信エラーが発生しました[0]\r\r" + broken + "\r\r")) << texts[0];
    EXPECT_TRUE(updater.StartButtonVisible());
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    EXPECT_EQ(FilesIn(installation->Folder() + L"Temp\\").count(L"karupdt.log"), 0u);

    // Once the proxy is mended, a second press in the same window completes the update.
    proxy.Break("", 0);
    PressAgainAndExpectEverythingNew(updater, installation->Folder());
}

TEST_F(InstallTest, ARedirectingServerIsReportedOnceAndNothingIsInstalled) {
    ImageKitControls controls(true, true);
    BreakingProxy proxy;
    ASSERT_NE(proxy.Port(), 0);
    auto installation = Install(proxy.Port());
    const ProductState before(installation->Folder());
    // As a server that moved to HTTPS answers.
    proxy.RedirectTo("https://update.example/karedona/");
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    const std::vector<std::string> texts = DialogsUntilStartButton(updater);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "更新サーバーがファイル \"kar160.ex_\" を別の場所へ転送しようとしました [302]。\r"
              "転送先: https://update.example/karedona/kar160.ex_\r"
              "このプログラムは転送先をたどりません。更新サーバーの設定を販売元にご確認ください。");
    EXPECT_EQ(proxy.Answered(), 1) << "the run went on after the redirection";
    EXPECT_TRUE(updater.StartButtonVisible());
    EXPECT_TRUE(SameProduct(before, ProductState(installation->Folder())));
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

// Starts an update whose registration tool waits for the test, and returns once the tool runs:
// every component is then in place and the executable is not yet replaced.
class PausedUpdate {
public:
    explicit PausedUpdate(const std::wstring& temp) : go_(temp + L"karupdt_regsvr32.go") {
        DeleteFileW(go_.c_str());
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_WAIT_FOR", go_.c_str());
        updater_ = std::make_unique<Updater>();
        SetEnvironmentVariableW(L"KARUPDT_REGSVR32_WAIT_FOR", nullptr);
    }
    ~PausedUpdate() {
        Release();
        DeleteFileW(go_.c_str());
    }
    ::testing::AssertionResult StartAndWaitForTheTool(const std::wstring& registrations) {
        if (!updater_->Ok()) return ::testing::AssertionFailure() << "no window";
        if (auto pressed = updater_->PressStart(); !pressed) return pressed;
        for (int i = 0; i < 1500; ++i) {
            if (GetFileAttributesW(registrations.c_str()) != INVALID_FILE_ATTRIBUTES)
                return ::testing::AssertionSuccess();
            Sleep(20);
        }
        return ::testing::AssertionFailure() << "the registration tool did not start";
    }
    void Release() { ScopedInstallation::WriteFileBytes(go_, "go"); }
    Updater& updater() { return *updater_; }

private:
    std::wstring go_;
    std::unique_ptr<Updater> updater_;
};

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

TEST_F(InstallTest, KilledInTheMiddleIsUndoneAtTheNextStart) {
    ImageKitControls controls(false, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const ProductState before(product);
    {
        PausedUpdate update(TempFolder());
        ASSERT_TRUE(update.StartAndWaitForTheTool(registrations_));
        // Half the update is in place: the components are new, the executable is old.
        EXPECT_TRUE(Bytes(product + L"DLKR_DL.exe") == Bytes(OriginalFile("DLKR_DL.exe")));
        EXPECT_TRUE(Bytes(product + L"karemain.exe") == before.files.at(L"karemain.exe"));
        update.updater().Process().Kill();
        update.Release();
        // The tool itself runs on until it sees the release; its file stays in use until then.
        const std::wstring tool = product + kStage + L"regsvr32.exe";
        for (int i = 0; i < 500; ++i) {
            HANDLE probe = CreateFileW(tool.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (probe != INVALID_HANDLE_VALUE) {
                CloseHandle(probe);
                break;
            }
            Sleep(20);
        }
    }
    // The next start finds the unfinished installation and puts the product back first.
    {
        robot::Process again = robot::Process::Start(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST), L"", L"C:\\");
        ASSERT_TRUE(again.Started());
        EXPECT_TRUE(robot::AnswerDialogs(again, {{"情報",
                                                  "前回のアップデートは途中で中断されました。\r"
                                                  "【カレドナ】を元のバージョンに戻しました。",
                                                  robot::IconKind::Information,
                                                  {"OK"},
                                                  "OK"}}));
        robot::Window window(robot::WaitForWindowOfClass(again.Id(), L"TMainForm"));
        ASSERT_TRUE(window.Exists()) << "the update window did not appear after the recovery";
        EXPECT_TRUE(SameProduct(before, ProductState(product)));
        window.Close();
        EXPECT_EQ(again.WaitForExit(), std::optional<DWORD>(0));
    }
    // And the update then completes.
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    EXPECT_TRUE(Bytes(product + L"karemain.exe") == Bytes(OriginalFile("karemain.exe")));
    EXPECT_TRUE(Bytes(product + L"Temp\\karemain.old") == before.files.at(L"karemain.exe"));
}

// Fills drive R: up to `leave` free bytes with one file; returns false when it cannot.
bool FillDisk(const std::wstring& filler, unsigned long long leave) {
    HANDLE file = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string block(64 * 1024, '\0');
    for (;;) {
        ULARGE_INTEGER available{};
        if (!GetDiskFreeSpaceExW(L"R:\\", &available, nullptr, nullptr)) break;
        if (available.QuadPart <= leave) break;
        const DWORD size = static_cast<DWORD>(std::min<unsigned long long>(block.size(), available.QuadPart - leave));
        DWORD written = 0;
        if (!WriteFile(file, block.data(), size, &written, nullptr) || written == 0) break;
        FlushFileBuffers(file);
    }
    CloseHandle(file);
    return true;
}

unsigned long long SizesOf(const std::vector<std::wstring>& files) {
    unsigned long long total = 0;
    for (const auto& file : files) total += Bytes(file).size();
    return total;
}

TEST_F(InstallTest, FullDiskIsFoundBeforeOrUndoneDuringTheCopies) {
    // Drive R: is a 4 MB disk of its own, mapped by tests/e2e/small-disk.sh when run as root.
    ULARGE_INTEGER available{}, total{};
    if (!GetDiskFreeSpaceExW(L"R:\\", &available, &total, nullptr) || total.QuadPart > 64ull * 1024 * 1024)
        GTEST_SKIP() << "drive R: is not a small disk of its own (tests/e2e/small-disk.sh mounts one only as root)";
    ImageKitControls controls(false, true);
    InstallationOptions options;
    options.folder = L"R:\\TALVERN\\KAREDONA\\";
    options.settings = SettingsPlace::WindowsFolder;
    options.downloadIni = ProxyIni(ServerPort());
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    const std::wstring product = installation.Folder();
    const std::wstring filler = L"R:\\filler.bin";
    struct RemoveFiller {
        std::wstring path;
        ~RemoveFiller() { DeleteFileW(path.c_str()); }
    } removeFiller{filler};
    const ProductState before(product);
    {
        // Room for the downloads and what they expand to, and some 400 KB more: too little for the
        // new files beside their targets and the saved copies.
        std::vector<std::wstring> served, expanded;
        for (const std::string& name : ExpectedDownloads(false, true)) served.push_back(ServedFile(name));
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((PreparedFolder() + L"package\\original\\*").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                expanded.push_back(PreparedFolder() + L"package\\original\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        ASSERT_TRUE(FillDisk(filler, SizesOf(served) + SizesOf(expanded) + 400 * 1024));
        const auto dialogs = Update();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_TRUE(
            StartsWith(dialogs[0].text, std::string(kFailed) + "ディスク \"R:\\\" の空き容量が足りません。あと "))
            << dialogs[0].text;
        EXPECT_TRUE(EndsWith(dialogs[0].text, kUnchanged)) << dialogs[0].text;
        EXPECT_TRUE(SameProduct(before, ProductState(product)));
        ASSERT_TRUE(DeleteFileW(filler.c_str()));
    }
    {
        // The disk fills up while the components are already replaced and the executable is not.
        PausedUpdate update(TempFolder());
        ASSERT_TRUE(update.StartAndWaitForTheTool(registrations_));
        ASSERT_TRUE(FillDisk(filler, 0));
        ASSERT_TRUE(GetDiskFreeSpaceExW(L"R:\\", &available, nullptr, nullptr));
        EXPECT_LT(available.QuadPart, 64u * 1024) << "the disk did not fill up";
        update.Release();
        const auto dialogs = update.updater().RunToEnd();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_TRUE(StartsWith(dialogs[0].text, std::string(kFailed) + "コンポーネントの展開(8)に失敗しました。"))
            << dialogs[0].text;
        EXPECT_TRUE(EndsWith(dialogs[0].text, kRestored)) << dialogs[0].text;
        EXPECT_TRUE(SameProduct(before, ProductState(product)));
        ASSERT_TRUE(DeleteFileW(filler.c_str()));
    }
    // With room again, the same installation updates completely.
    const auto dialogs = Update();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].text, kCompleted);
    for (const auto& [installed, original] : kInstalled)
        EXPECT_TRUE(Bytes(product + installed) == Bytes(OriginalFile(original))) << robot::ToUtf8(installed);
}

TEST_F(InstallTest, ExecutableOpenedPartWayIsFollowedByTheWholeProductRestored) {
    ImageKitControls controls(false, true);
    auto installation = Install();
    const std::wstring product = installation->Folder();
    const ProductState before(product);
    PausedUpdate update(TempFolder());
    ASSERT_TRUE(update.StartAndWaitForTheTool(registrations_));
    // The user starts the product while the components are being replaced.
    HANDLE held = CreateFileW((product + L"karemain.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    update.Release();
    const auto dialogs = update.updater().RunToEnd();
    CloseHandle(held);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(
        StartsWith(dialogs[0].text, std::string(kFailed) + "コンポーネントの展開(7)に失敗しました。終了します。\r"))
        << dialogs[0].text;
    EXPECT_TRUE(EndsWith(dialogs[0].text, kRestored)) << dialogs[0].text;
    EXPECT_TRUE(SameProduct(before, ProductState(product)));
    EXPECT_EQ(FilesIn(product + L"Temp\\").count(L"karupdt.log"), 0u);
}

}  // namespace
