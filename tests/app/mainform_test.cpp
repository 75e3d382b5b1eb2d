// What the main window decides when it is created: the proxy values from DOWNLOAD.INI, where the
// ImageKit controls are and whether they must be installed, and so how many files to fetch. The
// tests lay out real files in the fixed folders of the prefix and create the real window.
#include "app/mainform.h"
#include "app/package_components.h"
#include "app/pinned_package.h"
#include "app/staging.h"
#include "app/update_host.h"
#include "nx/nxcore.h"
#include "ui/application.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/text.h"
#include "expected_package.h"
#include "installation.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <tuple>

struct TMainFormProbe {
    TMainForm& form;
    const std::string& IniFileName() const { return form.IniFileName; }
    const std::string& ProxyIP() const { return form.ProxyIP; }
    int ProxyPort() const { return form.ProxyPort; }
    const InstallationTarget& Target() const { return form.Target; }
    const Download& Fetch() const { return form.Download_; }
    void Header(const std::string& field, const std::string& value) { form.nxHTTPHeader(field, value); }
    void Transfer(std::int32_t bytes) { form.nxHTTPTransfer(bytes); }
    void SetStep(int step) { form.SetStep(step); }
};

// The window is created but never downloads here.
const char* const kUpdateHost = "update.invalid";
const char* const kPinnedPackage = "";

namespace {

void WriteBytes(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(Utf8ToWide(path), bytes)) << path;
}

class MainFormCreateTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application::Initialize(GetModuleHandleW(nullptr), "KarUpdt");
        ProvisionNetXferEngines();
        programFiles_ = GetProgramFilesFolder();
        system_ = WithTrailingBackslash(GetSystemFolder());
        Clean();
        ASSERT_TRUE(ForceFolder(kInstall));
        WriteBytes(std::string(kMaker) + "\\SpKaredona.ini", std::string("[Karedona]\r\nPath=") + kInstall + "\r\n");
    }
    void TearDown() override {
        Clean();
        ReleaseNetXferEngines();
    }

    void Clean() {
        ScopedInstallation::RemoveTree(L"C:\\TALVERN");
        ScopedInstallation::RemoveTree(Utf8ToWide(programFiles_ + "imagekit5"));
        ScopedInstallation::RemoveTree(Utf8ToWide(programFiles_ + "imagekit6"));
        DeleteFileW(Utf8ToWide(system_ + "ImgKit5.ocx").c_str());
        DeleteFileW(Utf8ToWide(system_ + "ImgKit6.ocx").c_str());
    }

    // A control file whose version resource carries `fileVersion`.
    static void PlaceControl(const std::string& path, const std::wstring& fileVersion, bool withTranslation = true) {
        VersionResourceContent content{{{L"FileVersion", fileVersion}}};
        content.withTranslation = withTranslation;
        std::string error;
        ASSERT_TRUE(MakeVersionedFile(BesideTestProgram(L"version_stub.exe"), Utf8ToWide(path),
                                      BuildVersionResource(content), &error))
            << error;
    }

    std::unique_ptr<TMainForm> Create() { return std::make_unique<TMainForm>(); }

    static constexpr const char* kMaker = "C:\\TALVERN\\KAREDONA";
    static constexpr const char* kInstall = "C:\\TALVERN\\KAREDONA\\";
    std::string programFiles_;
    std::string system_;
};

TEST_F(MainFormCreateTest, NothingInstalledMeansNineteenFiles) {
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_EQ(probe.Target().imageKit5Path, programFiles_ + "imagekit5\\");
    EXPECT_EQ(probe.Target().imageKit6Path, programFiles_ + "imagekit6\\");
    EXPECT_FALSE(probe.Target().imageKit5Current);
    EXPECT_FALSE(probe.Target().imageKit6Present);
    EXPECT_EQ(probe.Fetch().Total(), 19);
    EXPECT_EQ(probe.IniFileName(), std::string(kInstall) + "DOWNLOAD.INI");
    EXPECT_EQ(probe.ProxyIP(), "");
    EXPECT_EQ(probe.ProxyPort(), 0);
    EXPECT_TRUE(probe.Fetch().State() == Download::RunState::Idle);
    EXPECT_TRUE(probe.Fetch().File() == Download::FileState::Waiting);
    EXPECT_EQ(probe.Fetch().ReceivedBytes(), 0);
}

// The tables the program was built with (from the package's manifest, package-components.txt) hold
// the package the tests know (tests/support/expected_package.h), fact for fact: what is fetched and
// when, the order and the progress steps of the expansion, where each file is installed, in which
// order and under which step number, the seeded files, the program and the ImageKit archives.
TEST(PackageTablesTest, AreThePackageTheTestsKnow) {
    using expected::Into;
    const std::vector<expected::Component>& components = expected::PackageComponents();
    auto fetched = [](expected::Fetched when) {
        switch (when) {
        case expected::Fetched::Always: return package::Fetched::Always;
        case expected::Fetched::RegistrationTool: return package::Fetched::RegistrationTool;
        case expected::Fetched::ImageKit5: return package::Fetched::ImageKit5;
        case expected::Fetched::ImageKit6: return package::Fetched::ImageKit6;
        }
        return package::Fetched::Always;
    };
    ASSERT_EQ(package::kComponentFiles.size(), components.size());
    for (size_t i = 0; i < components.size(); ++i) {
        EXPECT_STREQ(package::kComponentFiles[i].name, components[i].served) << i;
        EXPECT_TRUE(package::kComponentFiles[i].fetched == fetched(components[i].fetched)) << components[i].served;
    }

    // (step, compressed, expanded) in the order of expansion; the registration tool comes last.
    using Expansion = std::tuple<int, std::string, std::string>;
    std::vector<std::pair<int, Expansion>> numbered;
    for (const expected::Component& c : components)
        if (c.expansion) numbered.push_back({c.expansion, {c.step, c.served, c.expanded}});
    std::sort(numbered.begin(), numbered.end());
    std::vector<Expansion> expansions, built;
    for (const auto& [place, expansion] : numbered) expansions.push_back(expansion);
    for (const package::ExpansionRow& row : package::kExpansions) built.push_back({row.step, row.compressed, row.expanded});
    const package::ExpansionRow& tool = package::kRegistrationTool;
    built.push_back({tool.step, tool.compressed, tool.expanded});
    EXPECT_EQ(built, expansions);

    // (name, into the group folder, number), in the order of the step numbers (4.10 after 4.9), then
    // of the download.
    using Install = std::tuple<std::string, bool, std::string>;
    auto stepOrder = [](const std::string& number) {
        const size_t dot = number.find('.');
        return std::pair(std::stoi(number), dot == std::string::npos ? 0 : std::stoi(number.substr(dot + 1)));
    };
    std::vector<const expected::Component*> installed;
    for (const expected::Component& c : components)
        if (c.into == Into::Product || c.into == Into::GroupFolder) installed.push_back(&c);
    std::stable_sort(installed.begin(), installed.end(), [&](const auto* a, const auto* b) {
        return stepOrder(a->number) < stepOrder(b->number);
    });
    std::vector<Install> installs, builtInstalls;
    for (const expected::Component* c : installed) installs.push_back({c->installed, c->into == Into::GroupFolder, c->number});
    for (const package::InstallRow& row : package::kInstalls) builtInstalls.push_back({row.file, row.groupFolder, row.number});
    EXPECT_EQ(builtInstalls, installs);

    std::vector<std::string> seeds, builtSeeds(package::kSeeds.begin(), package::kSeeds.end());
    for (const expected::Component& c : components) {
        if (c.into == Into::Seed) seeds.push_back(c.installed);
        if (c.into == Into::Executable) {
            EXPECT_STREQ(package::kExecutable.file, c.installed);
            EXPECT_STREQ(package::kExecutable.number, c.number);
        }
        if (c.into == Into::ImageKit5 || c.into == Into::ImageKit6) {
            const package::ImageKitArchiveRow& archive = package::kImageKitArchives[c.into == Into::ImageKit5 ? 0 : 1];
            EXPECT_STREQ(archive.archive, c.served);
            EXPECT_STREQ(archive.control, c.installed);
        }
    }
    EXPECT_EQ(builtSeeds, seeds);
}

TEST_F(MainFormCreateTest, BothControlsInPlaceMeansSixteenFiles) {
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit5\\"));
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit6\\"));
    PlaceControl(programFiles_ + "imagekit5\\ImgKit5.ocx", L"2, 1, 0, 16");
    PlaceControl(programFiles_ + "imagekit6\\ImgKit6.ocx", L"0, 0, 0, 1");  // its version plays no part
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_TRUE(probe.Target().imageKit5Current);
    EXPECT_TRUE(probe.Target().imageKit6Present);
    EXPECT_EQ(probe.Fetch().Total(), 16);
}

TEST_F(MainFormCreateTest, OneControlMissingOrOutdatedMeansEighteenFiles) {
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit5\\"));
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit6\\"));
    PlaceControl(programFiles_ + "imagekit5\\ImgKit5.ocx", L"2, 1, 0, 15");
    PlaceControl(programFiles_ + "imagekit6\\ImgKit6.ocx", L"1");
    {
        auto form = Create();
        TMainFormProbe probe{*form};
        EXPECT_FALSE(probe.Target().imageKit5Current);
        EXPECT_TRUE(probe.Target().imageKit6Present);
        EXPECT_EQ(probe.Fetch().Total(), 18);
    }
    PlaceControl(programFiles_ + "imagekit5\\ImgKit5.ocx", L"2,1,0,16");
    DeleteFileW(Utf8ToWide(programFiles_ + "imagekit6\\ImgKit6.ocx").c_str());
    {
        auto form = Create();
        TMainFormProbe probe{*form};
        EXPECT_TRUE(probe.Target().imageKit5Current);
        EXPECT_FALSE(probe.Target().imageKit6Present);  // the folder exists but is empty
        EXPECT_EQ(probe.Target().imageKit6Path, programFiles_ + "imagekit6\\");
        EXPECT_EQ(probe.Fetch().Total(), 18);
    }
}

TEST_F(MainFormCreateTest, SystemFolderOnlyWhenTheProgramFilesFolderIsMissing) {
    PlaceControl(system_ + "ImgKit5.ocx", L"2, 1, 0, 16");
    PlaceControl(system_ + "ImgKit6.ocx", L"6");
    {
        auto form = Create();
        TMainFormProbe probe{*form};
        EXPECT_EQ(probe.Target().imageKit5Path, system_);
        EXPECT_EQ(probe.Target().imageKit6Path, system_);
        EXPECT_TRUE(probe.Target().imageKit5Current);
        EXPECT_TRUE(probe.Target().imageKit6Present);
        EXPECT_EQ(probe.Fetch().Total(), 16);
    }
    // An empty imagekit5 folder wins over the control in the System folder.
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit5\\"));
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_EQ(probe.Target().imageKit5Path, programFiles_ + "imagekit5\\");
    EXPECT_FALSE(probe.Target().imageKit5Current);
    EXPECT_EQ(probe.Fetch().Total(), 18);
}

TEST_F(MainFormCreateTest, ControlWithoutTranslationTableIsNotCurrent) {
    ASSERT_TRUE(ForceFolder(programFiles_ + "imagekit5\\"));
    PlaceControl(programFiles_ + "imagekit5\\ImgKit5.ocx", L"2, 1, 0, 16", false);
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_FALSE(probe.Target().imageKit5Current);
    // The ImageKit 6 decision still runs, so the count matches the files to fetch.
    EXPECT_FALSE(probe.Target().imageKit6Present);
    EXPECT_EQ(probe.Fetch().Total(), 19);
}

struct ProxyCase {
    const char* file;
    const char* host;
    int port;
};

TEST_F(MainFormCreateTest, DownloadIniValues) {
    const ProxyCase cases[] = {
        {"PROXYIP=proxy\r\nPROXYPORT=8080\r\n", "proxy", 8080},
        {"PROXYIP=proxy\r\nPROXYPORT=80.9\r\n", "proxy", 80},
        {"PROXYIP=proxy\r\nPROXYPORT=abc\r\n", "proxy", 0},
        {"PROXYIP=proxy\r\nPROXYPORT=70000\r\n", "", 0},
        {"PROXYIP=proxy\r\nPROXYPORT=-1\r\n", "", 0},
        {"PROXYIP=proxy\r\nPROXYPORT=80-\r\n", "", 0},
        {"PROXYIP=proxy\r\nPROXYPORT=65535\r\n", "proxy", 65535},
        {"PROXYIP=proxy\r\nPROXYPORT=65536\r\n", "", 0},
        {"PROXYIP=proxy\r\nPROXYPORT=80x\r\n", "proxy", 80},
        {"PROXYIP=proxy\r\nPROXYPORT=\r\n", "proxy", 0},
        {"proxyip=10.0.0.1\nproxyport=3128", "10.0.0.1", 3128},
        {"PROXYIP = 10.0.0.1\rPROXYPORT=3128\r", "", 3128},
        {"[x]\r\nPROXYPORT=8,080\r\nPROXYIP=first\r\nPROXYIP=second\r\n", "first", 8080},
        {"PROXYIP= spaced host \r\n", " spaced host ", 0},
    };
    for (const ProxyCase& c : cases) {
        WriteBytes(std::string(kInstall) + "DOWNLOAD.INI", c.file);
        auto form = Create();
        TMainFormProbe probe{*form};
        EXPECT_EQ(probe.ProxyIP(), c.host) << c.file;
        EXPECT_EQ(probe.ProxyPort(), c.port) << c.file;
    }
}

TEST_F(MainFormCreateTest, ShiftJisHostNameIsRead) {
    WriteBytes(std::string(kInstall) + "DOWNLOAD.INI", "PROXYIP=\x83\x76\x83\x8d\x83\x4e\x83\x56\r\nPROXYPORT=8\r\n");
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_EQ(probe.ProxyIP(), "プロクシ");
    EXPECT_EQ(probe.ProxyPort(), 8);
}

TEST_F(MainFormCreateTest, WindowsFolderSettingsWhenTheMakerFolderIsMissing) {
    ScopedInstallation::RemoveTree(L"C:\\TALVERN");
    const std::string windowsIni = WithTrailingBackslash(GetWindowsFolder()) + "SpKaredona.ini";
    WriteBytes(windowsIni, "Path=C:\\Elsewhere\\\r\n");
    auto form = Create();
    TMainFormProbe probe{*form};
    EXPECT_EQ(probe.IniFileName(), "C:\\Elsewhere\\DOWNLOAD.INI");
    DeleteFileW(Utf8ToWide(windowsIni).c_str());
}

TEST_F(MainFormCreateTest, LayoutAndCaption) {
    auto form = Create();
    EXPECT_EQ(form->Caption(), "【カレドナ】自動アップデートプログラム Ver1.6.0");
    RECT client{};
    GetClientRect(form->Handle(), &client);
    EXPECT_EQ(client.right, 369);
    EXPECT_EQ(client.bottom, 104);
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    EXPECT_TRUE(form->DownLoadButton.Visible());
    EXPECT_FALSE(form->DownLoadButton.Enabled());
    EXPECT_FALSE(form->CancelButton.Visible());
    EXPECT_EQ(form->ProgressLabel.Text(), "");
    EXPECT_EQ(form->OldVerLabel.Text(), "");
    EXPECT_EQ(form->ProgressBar.Position(), 0);
    const LONG_PTR style = GetWindowLongPtrW(form->Handle(), GWL_STYLE);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(style & WS_SYSMENU);
}

TEST_F(MainFormCreateTest, RightAlignedLabelKeepsItsRightEdge) {
    auto form = Create();
    for (const char* text : {"1/2 Bytes Completion", "900 Bytes Completed", "x", ""}) {
        form->ProgressLabel.SetText(text);
        EXPECT_EQ(form->ProgressLabel.Bounds().right, 361) << text;
        EXPECT_EQ(form->ProgressLabel.Text(), text);
    }
    form->MsgLabel.SetText("a longer message");
    const LONG wide = form->MsgLabel.Bounds().right - form->MsgLabel.Bounds().left;
    form->MsgLabel.SetText("a");
    EXPECT_EQ(form->MsgLabel.Bounds().left, 8);
    EXPECT_LT(form->MsgLabel.Bounds().right - form->MsgLabel.Bounds().left, wide);
}

// The download's progress is painted at once when a frame (16 ms) has passed since the last paint;
// what comes within the frame is painted by a timer, in its latest state only.
TEST_F(MainFormCreateTest, ProgressIsPaintedOnceAFrameInItsLastStateAndLargeFilesDoNotOverflow) {
    auto form = Create();
    TMainFormProbe probe{*form};
    auto dispatchFor = [](DWORD ms) {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            Application::ProcessMessages();
            Sleep(1);
        }
    };
    probe.Header("Content-Length", "2000000000");
    probe.Transfer(1000000000);
    const auto painted = std::chrono::steady_clock::now();
    EXPECT_EQ(form->ProgressBar.Position(), 50);
    EXPECT_EQ(form->ProgressLabel.Text(), "1000000000/2000000000 Bytes Completion");
    probe.Header("Content-Length", "900");
    probe.Transfer(300);
    probe.Transfer(600);
    // Within the frame: nothing new painted yet (unless this thread was held up for the frame).
    if (std::chrono::steady_clock::now() - painted < std::chrono::milliseconds(10)) {
        EXPECT_EQ(form->ProgressBar.Position(), 50);
        EXPECT_EQ(form->ProgressLabel.Text(), "1000000000/2000000000 Bytes Completion");
    }
    dispatchFor(100);
    EXPECT_EQ(form->ProgressBar.Position(), 66);
    EXPECT_EQ(form->ProgressLabel.Text(), "600/900 Bytes Completion");
    // A frame later, painted at once.
    Sleep(20);
    probe.Transfer(900);
    EXPECT_EQ(form->ProgressBar.Position(), 100);
    EXPECT_EQ(form->ProgressLabel.Text(), "900/900 Bytes Completion");
}

TEST_F(MainFormCreateTest, ContentLengthHeaderInAnyCaseAndBadValues) {
    auto form = Create();
    TMainFormProbe probe{*form};
    probe.Header("content-LENGTH", "900");
    EXPECT_EQ(probe.Fetch().ContentLength(), 900);
    probe.Header("Content-Type", "12");
    EXPECT_EQ(probe.Fetch().ContentLength(), 900);
    try {
        probe.Header("Content-Length", "12x");
        FAIL() << "a length that is no number was taken";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "'12x' は整数ではありません");
    }
    EXPECT_EQ(probe.Fetch().ContentLength(), 900);
}

TEST_F(MainFormCreateTest, InstallationStepsCountTwoMoreThanTheDownloads) {
    auto form = Create();  // nothing installed: 19 downloads, 21 steps
    TMainFormProbe probe{*form};
    ASSERT_EQ(probe.Fetch().Total(), 19);
    probe.SetStep(3);
    EXPECT_EQ(form->ProgressLabel.Text(), "3 / 21");
    EXPECT_EQ(form->ProgressBar.Position(), 14);  // 3 / 21 * 100 = 14.28..., cut
    probe.SetStep(10);
    EXPECT_EQ(form->ProgressLabel.Text(), "10 / 21");
    EXPECT_EQ(form->ProgressBar.Position(), 47);
    EXPECT_EQ(form->ProgressLabel.Bounds().right, 361);
}

// The folder the run makes for itself: the descriptor it gives lets only Administrators and SYSTEM
// in, and it is given where the folder is created. Wine keeps no descriptor of its own for files;
// it turns the one it is given into the folder's Unix rights and reads those back, so the folder
// made with it has no entry for anyone else, where a folder made without it lets everyone read.
// A link where the folder belongs is set aside, never entered.
TEST(StagingFolderTest, MadeAfreshWithAdministratorsAndSystemOnly) {
    EXPECT_STREQ(kStagingSddl, L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::string work = WideToUtf8(temp) + "karupdt_staging_test\\";
    ScopedInstallation::RemoveTree(Utf8ToWide(work));
    ASSERT_TRUE(ForceFolder(work));
    // Whatever an earlier run or anyone else left there goes.
    ASSERT_TRUE(ForceFolder(StagingFolderOf(work) + "sub"));
    ASSERT_TRUE(WriteWholeFile(StagingFolderOf(work) + "sub\\planted.dll", "planted"));

    auto others = [](const std::string& folder) {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        std::string found;
        if (GetNamedSecurityInfoW(Utf8ToWide(folder).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
            return std::string("<no descriptor>");
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            GetAce(dacl, i, &ace);
            PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
            for (WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid})
                if (IsWellKnownSid(sid, type)) {
                    found += ' ';  // piece by piece: GCC 12 warns falsely (-Wrestrict) on the sum
                    found += std::to_string(static_cast<int>(type));
                }
        }
        LocalFree(descriptor);
        return found;
    };
    {
        StagingFolder staging;
        staging.Create(work);
        EXPECT_TRUE(staging.Created());
        EXPECT_EQ(staging.Path(), StagingFolderOf(work));
        EXPECT_FALSE(FileExists(staging.Path() + "sub\\planted.dll"));
        EXPECT_EQ(others(staging.Path()), "");
        EXPECT_TRUE(IsProtectedFolder(staging.Path()));
        // What the run records is what it finds again.
        ASSERT_TRUE(WriteWholeFile(staging.Path() + "a.txt", "abc"));
        const FileDigest digest = HeldFile(staging.Path() + "a.txt").Digest();
        EXPECT_EQ(digest.size, 3u);
        EXPECT_EQ(HexOf(digest.sha256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        staging.Record(staging.Path() + "A.TXT", digest);
        EXPECT_EQ(staging.Recorded(staging.Path() + "a.txt"), std::optional<FileDigest>(digest));
        EXPECT_EQ(staging.Recorded(staging.Path() + "b.txt"), std::nullopt);
    }
    const std::string plain = work + "plain\\";
    ASSERT_TRUE(ForceFolder(plain));
    EXPECT_NE(others(plain), "") << "a folder made without the descriptor lets others in too";
    ScopedInstallation::RemoveTree(Utf8ToWide(work));
}

}  // namespace
