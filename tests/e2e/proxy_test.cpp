// The proxy settings through the real menu and input dialogs of KarUpdt.exe, and DOWNLOAD.INI as
// the program writes it.
#include "installation.h"
#include "robot.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using robot::ExpectedDialog;
using robot::IconKind;

constexpr UINT kProxyIPMenu = 201;
constexpr UINT kProxyPortMenu = 202;

class ProxyTest : public ::testing::Test {
protected:
    void StartWith(std::optional<std::string> downloadIni = std::nullopt) {
        InstallationOptions options;
        options.downloadIni = std::move(downloadIni);
        installation_ = std::make_unique<ScopedInstallation>(options);
        ASSERT_TRUE(installation_->Ok()) << installation_->Error();
        Restart();
    }
    void Restart() {
        process_ = robot::Process::Start(BesideTestProgram(KARUPDT_PROGRAM_UNDER_TEST), L"", L"C:\\");
        ASSERT_TRUE(process_.Started()) << process_.Error();
        window_ = robot::Window(robot::WaitForWindowOfClass(process_.Id(), L"TMainForm"));
        ASSERT_TRUE(window_.Exists());
    }
    void TearDown() override {
        if (process_.Running()) {
            window_.Close();
            EXPECT_EQ(process_.WaitForExit(), std::optional<DWORD>(0));
        }
    }
    std::wstring IniPath() const { return installation_->Folder() + L"DOWNLOAD.INI"; }
    std::optional<std::string> IniBytes() const { return ScopedInstallation::ReadFileBytes(IniPath()); }
    // The program writes the file after its dialog has gone: wait up to 5 s for the content.
    ::testing::AssertionResult IniBecomes(const std::string& expected) const {
        std::optional<std::string> bytes;
        for (int i = 0; i < 250; ++i) {
            bytes = IniBytes();
            if (bytes == expected) return ::testing::AssertionSuccess();
            Sleep(20);
        }
        return ::testing::AssertionFailure() << "DOWNLOAD.INI holds \"" << bytes.value_or("<none>") << "\"";
    }

    // Opens the dialog of a menu item and checks its caption, prompt, buttons and current value.
    robot::Dialog OpenDialog(UINT item, const std::string& prompt, const std::string& value) {
        window_.ChooseMenuItem(item);
        auto dialog = robot::WaitForDialog(process_.Id());
        EXPECT_TRUE(dialog);
        if (!dialog) return robot::Dialog();
        EXPECT_EQ(dialog->Title(), "プロキシ設定");
        EXPECT_EQ(dialog->Text(), prompt);
        EXPECT_EQ(dialog->Buttons(), (std::vector<std::string>{"OK", "キャンセル"}));
        EXPECT_TRUE(dialog->HasEdit());
        EXPECT_EQ(dialog->EditText(), value);
        return *dialog;
    }

    // Types `value` into a dialog and presses `button`.
    void Enter(UINT item, const std::string& prompt, const std::string& current, const std::string& value,
               const std::string& button = "OK") {
        robot::Dialog dialog = OpenDialog(item, prompt, current);
        ASSERT_TRUE(dialog.Handle());
        ASSERT_TRUE(dialog.SetEditText(value));
        ASSERT_TRUE(dialog.Press(button));
        ASSERT_TRUE(robot::WaitForWindowGone(dialog.Handle()));
    }
    // The standard error box with `text`, answered with OK.
    ::testing::AssertionResult ErrorBox(const std::string& text) {
        return robot::AnswerDialogs(process_, {{"KarUpdt", text, IconKind::Error, {"OK"}, "OK"}});
    }

    std::unique_ptr<ScopedInstallation> installation_;
    robot::Process process_;
    robot::Window window_;
};

TEST_F(ProxyTest, HostAndPortAreWrittenExactly) {
    StartWith();
    EXPECT_FALSE(IniBytes());  // nothing is written until a command runs
    Enter(kProxyIPMenu, "プロキシIP", "", "proxy");
    EXPECT_TRUE(IniBecomes("PROXYIP=proxy\r\nPROXYPORT=0\r\n"));
    Enter(kProxyPortMenu, "プロキシPort", "0", "80");
    EXPECT_TRUE(IniBecomes("PROXYIP=proxy\r\nPROXYPORT=80\r\n"));
    // The host is kept as typed, blanks and Japanese included (Shift-JIS in the file).
    Enter(kProxyIPMenu, "プロキシIP", "proxy", " プロキシ.example ");
    EXPECT_TRUE(IniBecomes("PROXYIP= \x83\x76\x83\x8d\x83\x4c\x83\x56.example \r\nPROXYPORT=80\r\n"));
}

TEST_F(ProxyTest, ValuesAreReadBackAtTheNextStart) {
    StartWith();
    Enter(kProxyIPMenu, "プロキシIP", "", "10.1.2.3");
    Enter(kProxyPortMenu, "プロキシPort", "0", "3128");
    window_.Close();
    ASSERT_EQ(process_.WaitForExit(), std::optional<DWORD>(0));
    Restart();
    Enter(kProxyIPMenu, "プロキシIP", "10.1.2.3", "10.1.2.3", "キャンセル");
    Enter(kProxyPortMenu, "プロキシPort", "3128", "3128", "キャンセル");
}

TEST_F(ProxyTest, CancelRewritesTheUnchangedValues) {
    StartWith("proxyip=host\nproxyport=3128");
    Enter(kProxyIPMenu, "プロキシIP", "host", "typed but cancelled", "キャンセル");
    EXPECT_TRUE(IniBecomes("PROXYIP=host\r\nPROXYPORT=3128\r\n"));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(IniPath(), "garbage"));
    Enter(kProxyPortMenu, "プロキシPort", "3128", "1", "キャンセル");
    EXPECT_TRUE(IniBecomes("PROXYIP=host\r\nPROXYPORT=3128\r\n"));
}

TEST_F(ProxyTest, PortDialogRefusesWhatIsNoPort) {
    StartWith("PROXYIP=p\r\nPROXYPORT=8080\r\n");
    const std::string before = *IniBytes();
    for (const char* noInteger : {"abc", " 80", "80 "}) {
        Enter(kProxyPortMenu, "プロキシPort", "8080", noInteger);
        EXPECT_TRUE(ErrorBox(std::string("'") + noInteger + "' は整数ではありません.")) << noInteger;
    }
    // Beyond the range of any integer type the number is still a number, only out of range.
    for (const char* outOfRange : {"-1", "65536", "4294967296", "99999999999999999999999"}) {
        Enter(kProxyPortMenu, "プロキシPort", "8080", outOfRange);
        EXPECT_TRUE(ErrorBox("範囲チェックエラー.")) << outOfRange;
    }
    EXPECT_EQ(IniBytes(), before);  // nothing changed
    Enter(kProxyPortMenu, "プロキシPort", "8080", "65535");
    EXPECT_TRUE(IniBecomes("PROXYIP=p\r\nPROXYPORT=65535\r\n"));
    Enter(kProxyPortMenu, "プロキシPort", "65535", "0");
    EXPECT_TRUE(IniBecomes("PROXYIP=p\r\nPROXYPORT=0\r\n"));
}

TEST_F(ProxyTest, AFileThatCannotBeWrittenShowsTheErrorAndKeepsTheValue) {
    StartWith("PROXYIP=old\r\nPROXYPORT=1\r\n");
    // Held open without sharing, as another program would: the updater cannot replace it.
    HANDLE held = CreateFileW(IniPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Enter(kProxyIPMenu, "プロキシIP", "old", "new");
    auto box = robot::WaitForDialog(process_.Id());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->Title(), "KarUpdt");
    EXPECT_EQ(box->Icon(), IconKind::Error);
    const std::string text = box->Text();
    const std::string start = "ファイル \"C:\\TALVERN\\KAREDONA\\DOWNLOAD.INI\" を作成できません。";
    // The system's description as the system gives it (in Japanese, ending with its own "。"),
    // then the full stop the error box adds.
    EXPECT_EQ(text.substr(0, start.size()), start) << text;
    EXPECT_GT(text.size(), start.size() + 4) << "the system's description of the error is missing";
    EXPECT_TRUE(text.size() > 4 && text.compare(text.size() - 4, 4, "。.") == 0) << text;
    ASSERT_TRUE(box->Press("OK"));
    ASSERT_TRUE(robot::WaitForWindowGone(box->Handle()));
    CloseHandle(held);
    EXPECT_TRUE(IniBecomes("PROXYIP=old\r\nPROXYPORT=1\r\n"));
    // The new value stays for this run, and is written by the next command that can.
    Enter(kProxyIPMenu, "プロキシIP", "new", "new", "キャンセル");
    EXPECT_TRUE(IniBecomes("PROXYIP=new\r\nPROXYPORT=1\r\n"));
}

}  // namespace
