// The proxy settings through the real menu and input dialogs of KarUpdt.exe, and DOWNLOAD.INI as
// the program writes it; the system's proxy settings (the prefix's registry) when DOWNLOAD.INI
// names none, with the requests seen at the server or the proxy they went to.
#include "ntlm_logon.h"
#include "screenshot.h"
#include "update_fixture.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <array>
#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

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

// ---- the system's proxy settings ---------------------------------------------------------------

using namespace e2e;
using namespace std::chrono_literals;

const char* const kCompletedText = "アップデートが完了しました。終了します。";
const wchar_t* const kConnectionsKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The signed-in user's Internet settings as the Internet options dialog stores them (the
// DefaultConnectionSettings value: version, counter, flags, then the proxy list, the bypass list
// and the script address, each a length and ANSI bytes); the earlier value is put back at the end.
class ScopedInternetSettings {
public:
    enum Flags : DWORD { Direct = 1, FixedProxy = 2, ScriptUrl = 4, AutoDetect = 8 };
    ScopedInternetSettings(DWORD flags, const std::string& proxy, const std::string& bypass, const std::string& script) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(key_, L"DefaultConnectionSettings", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            saved_.emplace(size, '\0');
            RegQueryValueExW(key_, L"DefaultConnectionSettings", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(saved_->data()), &size);
        }
        std::string blob;
        const auto number = [&](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), 4); };
        const auto text = [&](const std::string& t) {
            number(static_cast<DWORD>(t.size()));
            blob += t;
        };
        number(0x46);
        number(1);
        number(flags);
        text(proxy);
        text(bypass);
        text(script);
        for (int i = 0; i < 8; ++i) number(0);
        ok_ = RegSetValueExW(key_, L"DefaultConnectionSettings", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())) == ERROR_SUCCESS;
    }
    ~ScopedInternetSettings() {
        if (saved_)
            RegSetValueExW(key_, L"DefaultConnectionSettings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(saved_->data()),
                           static_cast<DWORD>(saved_->size()));
        else
            RegDeleteValueW(key_, L"DefaultConnectionSettings");
        RegCloseKey(key_);
    }
    bool Ok() const { return ok_; }

private:
    HKEY key_ = nullptr;
    std::optional<std::string> saved_;
    bool ok_ = false;
};

// A proxy of the test's own, one connection at a time. Either it never answers (the program stays
// connecting); or it reads each request and answers it with `answer`, closing the connection; or
// (LogonFor) it asks each connection for an NTLM logon of one user, with a 407 whose page the
// program must read past, then serves the package's files on it, keeping the connection.
class LoopbackProxy {
public:
    explicit LoopbackProxy(std::string answer = "") : answer_(std::move(answer)) { Listen(); }
    LoopbackProxy(const std::string& user, const std::string& password) : logon_(std::in_place, user, password) {
        Listen();
    }
    ~LoopbackProxy() {
        closesocket(listener_);
        if (thread_.joinable()) thread_.join();
        for (SOCKET client : clients_) closesocket(client);
        WSACleanup();
    }
    int Port() const { return port_; }
    int Accepted() const { return accepted_; }
    // Under a logon: requests read, those that carried a Proxy-Authorization field (of any
    // scheme), challenges sent, logons refused and passed, files served.
    int Requests() const { return requests_; }
    int Authorizations() const { return authorizations_; }
    int Challenges() const { return challenges_; }
    int Refused() const { return refused_; }
    int Passed() const { return passed_; }
    int Served() const { return served_; }

private:
    void Listen() {
        listener_ = ListenOnLoopback(8, port_);
        if (port_ != 0) thread_ = std::thread([this] {
            for (;;) {
                SOCKET client = accept(listener_, nullptr, nullptr);
                if (client == INVALID_SOCKET) return;
                ++accepted_;
                if (answer_.empty() && !logon_) {
                    clients_.push_back(client);
                    continue;
                }
                DWORD timeout = 10000;
                setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
                if (logon_) {
                    const std::string user = logon_->user(), password = logon_->password();
                    logon_.emplace(user, password);  // each connection logs on anew
                }
                std::string head;
                while (ReadHead(client, head) && Answer(client, head)) {}
                shutdown(client, SD_BOTH);
                closesocket(client);
            }
        });
    }
    static bool ReadHead(SOCKET client, std::string& head) {
        head.clear();
        char byte;
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (recv(client, &byte, 1, 0) != 1) return false;
            head += byte;
        }
        return true;
    }
    static bool SendAll(SOCKET client, const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const int now = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (now <= 0) return false;
            sent += static_cast<size_t>(now);
        }
        return true;
    }
    // Answers one request; false when the connection is to be closed.
    bool Answer(SOCKET client, const std::string& head) {
        if (!logon_) {
            SendAll(client, answer_);
            return false;
        }
        ++requests_;
        std::string lower = head;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("\r\nproxy-authorization:") != std::string::npos) ++authorizations_;
        const int challenges = logon_->challenges(), refused = logon_->refused();
        std::string authenticate;
        const bool admitted = logon_->Admit(head, authenticate);
        challenges_ += logon_->challenges() - challenges;
        refused_ += logon_->refused() - refused;
        if (!admitted) {
            const std::string page = "<html>Who are you?</html>";
            return SendAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\n" + authenticate +
                                       "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page);
        }
        if (head.find("Proxy-Authorization") != std::string::npos) ++passed_;
        const size_t end = head.find(' ', head.find(' ') + 1);
        const std::string name = head.substr(head.rfind('/', end) + 1, end - head.rfind('/', end) - 1);
        const auto body = ScopedInstallation::ReadFileBytes(ServedFile(name));
        if (!body) return SendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        ++served_;
        return SendAll(client,
                       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body->size()) + "\r\n\r\n" + *body);
    }

    std::string answer_;
    std::optional<ntlmtest::ProxyLogon> logon_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::vector<SOCKET> clients_;
    std::atomic<int> accepted_{0};
    std::atomic<int> requests_{0};
    std::atomic<int> authorizations_{0};
    std::atomic<int> challenges_{0};
    std::atomic<int> refused_{0};
    std::atomic<int> passed_{0};
    std::atomic<int> served_{0};
};

class SystemProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PreparedFolder().empty()) << "KARUPDT_E2E_DIR is not set: run through ctest";
        ClearAccessLog();
    }
    // A whole update with no DOWNLOAD.INI; true when it completed. DOWNLOAD.INI afterwards names
    // no proxy: what the system gave was never written into it.
    void UpdateCompletes(const std::wstring& program) {
        ImageKitControls controls(true, true);
        InstallationOptions options;
        ScopedInstallation installation(options);
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        Updater updater(program);
        ASSERT_TRUE(updater.Ok());
        ASSERT_TRUE(updater.PressStart());
        const auto dialogs = updater.RunToEnd();
        ASSERT_FALSE(dialogs.empty());
        EXPECT_EQ(dialogs.back().text, kCompletedText);
        EXPECT_EQ(dialogs.size(), 1u) << dialogs.front().text;
        EXPECT_EQ(ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI"),
                  std::optional<std::string>("PROXYIP=\r\nPROXYPORT=0\r\n"));
    }
    // Every request came to the loopback server as to a proxy (the update server's whole address
    // in the request line) or as to the server itself.
    void ExpectRequests(bool throughProxy) {
        const auto requests = Requests();
        EXPECT_EQ(requests.size(), ExpectedDownloads(true, true).size());
        for (const Request& request : requests) {
            EXPECT_EQ(request.status, 200);
            const std::string start =
                throughProxy ? std::string("http://") + KARUPDT_UPDATE_HOST + "/karedona/" : std::string("/karedona/");
            EXPECT_EQ(request.target.rfind(start, 0), 0u) << request.target;
        }
    }
};

// The update host of KarUpdt.exe never resolves: the update can only complete through the proxy
// that the user's settings name.
TEST_F(SystemProxyTest, TheFixedProxyOfTheUsersSettingsIsUsed) {
    ScopedInternetSettings settings(ScopedInternetSettings::Direct | ScopedInternetSettings::FixedProxy,
                                    "127.0.0.1:" + std::to_string(ServerPort()), "localhost;*.intranet.example", "");
    ASSERT_TRUE(settings.Ok());
    UpdateCompletes(KARUPDT_PROGRAM_UNDER_TEST);
    ExpectRequests(true);
}

// A proxy of the scheme's own ("http=...") is taken before the others; the status line names it.
TEST_F(SystemProxyTest, TheProxyInUseIsShownWhileConnecting) {
    LoopbackProxy proxy;
    ASSERT_NE(proxy.Port(), 0);
    ScopedInternetSettings settings(ScopedInternetSettings::FixedProxy,
                                    "ftp=127.0.0.1:1;http=127.0.0.1:" + std::to_string(proxy.Port()), "", "");
    ASSERT_TRUE(settings.Ok());
    ImageKitControls controls(true, true);
    InstallationOptions options;
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    const std::string expected =
        "プロキシ 127.0.0.1:" + std::to_string(proxy.Port()) + " (Windows のプロキシ設定) を経由して接続しています...";
    std::string shown;
    for (int i = 0; i < 500 && (shown = updater.Label(101)) != expected; ++i) Sleep(20);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(proxy.Accepted(), 1);
    ASSERT_TRUE(updater.PressCancel());
    for (int i = 0; i < 500 && !updater.StartButtonVisible(); ++i) Sleep(20);
    EXPECT_TRUE(updater.StartButtonVisible());
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1000ms));
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
    EXPECT_FALSE(ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI"));
}

// KarUpdt_loopback.exe fetches from 127.0.0.1: the bypass list holds it, so the proxy (where
// nobody listens) is not used and the files come directly.
TEST_F(SystemProxyTest, AHostOnTheBypassListIsFetchedDirectly) {
    ScopedInternetSettings settings(ScopedInternetSettings::FixedProxy, "127.0.0.1:1", "*.intranet.example;127.0.0.*",
                                    "");
    ASSERT_TRUE(settings.Ok());
    UpdateCompletes(L"KarUpdt_loopback.exe");
    ExpectRequests(false);
}

// The automatic configuration script, served by the test server, sends the update host through
// the loopback server as proxy; a script that cannot be fetched means a direct connection.
TEST_F(SystemProxyTest, TheAutomaticConfigurationScriptIsRunOrDirectWhenItCannotBeFetched) {
    const std::wstring script = PreparedFolder() + L"package\\proxy.pac";
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(
        script, "function FindProxyForURL(url, host) {\n"
                "  if (shExpMatch(host, \"" KARUPDT_UPDATE_HOST "\")) return \"PROXY 127.0.0.1:" +
                    std::to_string(ServerPort()) + "\";\n  return \"DIRECT\";\n}\n"));
    {
        ScopedInternetSettings settings(ScopedInternetSettings::Direct | ScopedInternetSettings::ScriptUrl, "", "",
                                        "http://127.0.0.1:" + std::to_string(ServerPort()) + "/proxy.pac");
        ASSERT_TRUE(settings.Ok());
        UpdateCompletes(KARUPDT_PROGRAM_UNDER_TEST);
        auto requests = Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.front().target, "/proxy.pac");  // fetched by the program, once a run
        ClearAccessLog();
    }
    {
        ScopedInternetSettings settings(ScopedInternetSettings::Direct | ScopedInternetSettings::ScriptUrl, "", "",
                                        "http://127.0.0.1:" + std::to_string(ServerPort()) + "/missing.pac");
        ASSERT_TRUE(settings.Ok());
        UpdateCompletes(L"KarUpdt_loopback.exe");
    }
    DeleteFileW(script.c_str());
}

// The user's settings name nothing (as an administrator's account often has it): the machine's
// WinHTTP default proxy is taken.
TEST_F(SystemProxyTest, WhenTheUsersSettingsNameNothingTheMachinesDefaultProxyIsUsed) {
    ScopedInternetSettings settings(ScopedInternetSettings::Direct, "", "", "");
    ASSERT_TRUE(settings.Ok());
    WINHTTP_PROXY_INFO before{};
    ASSERT_TRUE(WinHttpGetDefaultProxyConfiguration(&before));
    std::wstring proxy = L"127.0.0.1:" + std::to_wstring(ServerPort());
    WINHTTP_PROXY_INFO machine{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(), nullptr};
    ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&machine)) << GetLastError();
    UpdateCompletes(KARUPDT_PROGRAM_UNDER_TEST);
    ExpectRequests(true);
    WINHTTP_PROXY_INFO none{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    EXPECT_TRUE(WinHttpSetDefaultProxyConfiguration(before.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? &before : &none));
    if (before.lpszProxy) GlobalFree(before.lpszProxy);
    if (before.lpszProxyBypass) GlobalFree(before.lpszProxyBypass);
}

// ---- a proxy that asks who the user is -----------------------------------------------------------

// The Squid that the test run started (scripts/squid-proxy.sh) lets the user "karupdt" with the
// password "pass word" through, and answers anything else with 407.
class ProxyLogonTest : public SystemProxyTest {
protected:
    static int SquidPort() { return KARUPDT_TEST_HTTP_PORT + 3; }
    static std::wstring SquidFile(const wchar_t* name) { return PreparedFolder() + L"squid\\" + name; }
    // Squid's access log: how many requests it refused with 407, and how many it let through for
    // the user and answered with 200.
    static void SquidCounts(int& refused, int& passed) {
        refused = passed = 0;
        const auto log = ScopedInstallation::ReadFileBytes(SquidFile(L"access.log"));
        if (!log) return;
        std::istringstream lines(*log);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("/407 ") != std::string::npos) ++refused;
            if (line.find("/200 ") != std::string::npos && line.find(" karupdt ") != std::string::npos) ++passed;
        }
    }
    // The logon dialog: its title, prompt, a masked password field; `user` and `password` typed in
    // and `button` pressed.
    static void AnswerLogon(Updater& updater, const std::string& prompt, const std::string& user,
                            const std::string& password, const std::string& button = "OK",
                            const wchar_t* screenshot = nullptr) {
        auto dialog = robot::WaitForDialog(updater.Process().Id(), 30s);
        ASSERT_TRUE(dialog);
        // The field to type in has the focus: the name, or the password when the name is known.
        const int focused = dialog->EditText().empty() ? 102 : 104;  // the dialog's ids of the two fields
        GUITHREADINFO focus{};
        focus.cbSize = sizeof focus;
        for (int i = 0; i < 100; ++i) {
            GetGUIThreadInfo(GetWindowThreadProcessId(dialog->Handle(), nullptr), &focus);
            if (focus.hwndFocus && GetDlgCtrlID(focus.hwndFocus) == focused) break;
            Sleep(20);
        }
        EXPECT_EQ(GetDlgCtrlID(focus.hwndFocus), focused) << prompt;
        if (screenshot) {
            std::string error;
            EXPECT_TRUE(SaveWindowScreenshot(dialog->Handle(), ScreenshotPath(screenshot), &error)) << error;
        }
        EXPECT_EQ(dialog->Title(), "プロキシの認証");
        EXPECT_EQ(dialog->Text(), prompt);
        EXPECT_EQ(dialog->Buttons(), (std::vector<std::string>{"OK", "キャンセル"}));
        EXPECT_FALSE(dialog->EditIsMasked(0));
        EXPECT_TRUE(dialog->EditIsMasked(1));
        ASSERT_TRUE(dialog->SetEditText(user, 0));
        ASSERT_TRUE(dialog->SetEditText(password, 1));
        ASSERT_TRUE(dialog->Press(button));
        ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
    }
    // One message, then the start button is back and nothing more is shown.
    static void OneMessageThenStart(Updater& updater, const std::string& text) {
        auto dialog = robot::WaitForDialog(updater.Process().Id(), 30s);
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->Title(), "エラー");
        EXPECT_EQ(dialog->Text(), text);
        ASSERT_TRUE(dialog->Press("OK"));
        ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
        EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 2000ms));
        EXPECT_TRUE(updater.StartButtonVisible());
    }
};

TEST_F(ProxyLogonTest, SquidWithBasicAsksOnceAgainWhenRefusedAndCompletes) {
    if (const auto why = ScopedInstallation::ReadFileBytes(SquidFile(L"unavailable")))
        GTEST_SKIP() << "no Squid to test against: " << *why;
    const std::string proxy = "127.0.0.1:" + std::to_string(SquidPort());
    const std::string asks = "プロキシ " + proxy + " がユーザー名とパスワードを求めています。";
    const std::string again = "ユーザー名またはパスワードが違います。\r" + asks;
    const std::string notChanged = "【カレドナ】は変更されていません。";
    ImageKitControls controls(true, true);
    InstallationOptions options;
    options.downloadIni = ProxyIni(SquidPort());
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    int refused = 0, passed = 0;
    {
        // キャンセル: one message, no request beyond the first.
        Updater updater(L"KarUpdt_loopback.exe");
        ASSERT_TRUE(updater.Ok());
        ASSERT_TRUE(updater.PressStart());
        AnswerLogon(updater, asks, "karupdt", "typed", "キャンセル");
        OneMessageThenStart(updater, "プロキシの認証が取り消されました。ダウンロードを中止します。\r" + notChanged);
        SquidCounts(refused, passed);
        EXPECT_EQ(refused, 1);
        EXPECT_EQ(passed, 0);
        // Three refused answers: one message, the run ends.
        ASSERT_TRUE(updater.PressStart());
        AnswerLogon(updater, asks, "karupdt", "wrong 1");
        AnswerLogon(updater, again, "karupdt", "wrong 2");
        AnswerLogon(updater, again, "karupdt", "wrong 3");
        OneMessageThenStart(updater, "プロキシ " + proxy + " がユーザー名とパスワードを受け付けませんでした。\r"
                                     "ダウンロードを中止します。\r" + notChanged);
        SquidCounts(refused, passed);
        EXPECT_EQ(refused, 5);
        EXPECT_EQ(passed, 0);
        updater.Window().Close();
        EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
    }
    ClearAccessLog();
    // A wrong password, then the right one: every file comes through the proxy after one more
    // dialog, none asks again. The last file is missing on the server: the run ends there, and
    // the program stays.
    const std::wstring last = ServedFile(ExpectedDownloads(true, true).back());
    const auto lastBytes = ScopedInstallation::ReadFileBytes(last);
    ASSERT_TRUE(lastBytes);
    ASSERT_TRUE(DeleteFileW(last.c_str()));
    Updater updater(L"KarUpdt_loopback.exe");
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    AnswerLogon(updater, asks, "karupdt", "wrong");
    AnswerLogon(updater, again, "karupdt", "pass word", "OK", L"proxy_logon_again.bmp");
    auto missing = robot::WaitForDialog(updater.Process().Id(), 60s);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->Text().rfind("通信エラーが発生しました[0]\r\r" + ExpectedDownloads(true, true).back() + "\r\r404", 0),
              0u)
        << missing->Text();
    ASSERT_TRUE(missing->Press("OK"));
    ASSERT_TRUE(robot::WaitForWindowGone(missing->Handle()));
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1000ms));
    SquidCounts(refused, passed);
    EXPECT_EQ(refused, 7);
    EXPECT_EQ(passed, static_cast<int>(ExpectedDownloads(true, true).size()) - 1);
    // The proxy taken out in the menu: the next run goes directly to the server, with the name
    // and password still in memory, and completes.
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(last, *lastBytes));
    updater.Window().ChooseMenuItem(kProxyIPMenu);
    auto menu = robot::WaitForDialog(updater.Process().Id());
    ASSERT_TRUE(menu);
    ASSERT_TRUE(menu->SetEditText(""));
    ASSERT_TRUE(menu->Press("OK"));
    ASSERT_TRUE(robot::WaitForWindowGone(menu->Handle()));
    ASSERT_TRUE(updater.PressStart());
    const auto dialogs = updater.RunToEnd();
    ASSERT_EQ(dialogs.size(), 1u) << dialogs.front().title << ": " << dialogs.front().text;
    EXPECT_EQ(dialogs.back().text, kCompletedText);
    SquidCounts(refused, passed);
    EXPECT_EQ(passed, static_cast<int>(ExpectedDownloads(true, true).size()) - 1);  // nothing more through Squid
    // The server saw every request of both runs, and never a Proxy-Authorization: the name and
    // password went to the proxy alone.
    const auto requests = Requests();
    EXPECT_EQ(requests.size(), 2 * ExpectedDownloads(true, true).size());
    for (const Request& request : requests) EXPECT_EQ(request.proxyAuthorization, "-") << request.target;
    // Neither the name nor the password reached a file.
    const auto ini = ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI");
    ASSERT_TRUE(ini);
    EXPECT_EQ(*ini, "PROXYIP=\r\nPROXYPORT=" + std::to_string(SquidPort()) + "\r\n");
    const auto log = ScopedInstallation::ReadFileBytes(installation.Folder() + L"Temp\\KarUpdt.Log");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->find("pass word"), std::string::npos);
}

// What the NTLM test proxy has seen so far: connections accepted, requests read, requests that
// carried a Proxy-Authorization, challenges sent.
std::array<int, 4> Seen(const LoopbackProxy& proxy) {
    return {proxy.Accepted(), proxy.Requests(), proxy.Authorizations(), proxy.Challenges()};
}

// The pinned build, over an installation with both controls in place, started and waited for until
// its first dialog shows (the logon dialog, when the proxy asks).
void StartPinnedUntilTheFirstDialog(Updater& updater) {
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    ASSERT_TRUE(robot::WaitForDialog(updater.Process().Id(), 30s));
}

// A proxy that asks for a logon of Windows (NTLM; also offered as Negotiate), named by the system's
// settings (the user's fixed proxy): the program first tries the user's own logon, by itself. Wine
// cannot complete that one here (the user has no domain logon for its NTLM to use), so the proxy
// refuses it and the program asks for a name and password; a wrong one asks again. With the right
// one, every file of the run comes through one logged-on connection. This build pins the package:
// the 407 pages, whose lengths are not the files', must not count as files that are not the vendor's.
TEST_F(ProxyLogonTest, AWindowsLogonIsTriedThenAskedForAndServesTheWholeRunOnOneConnection) {
    LoopbackProxy proxy("karupdt", "pass word");
    ASSERT_NE(proxy.Port(), 0);
    const std::string name = "127.0.0.1:" + std::to_string(proxy.Port());
    ScopedInternetSettings settings(ScopedInternetSettings::Direct | ScopedInternetSettings::FixedProxy, name, "", "");
    ASSERT_TRUE(settings.Ok());
    const std::string asks = "プロキシ " + name + " がユーザー名とパスワードを求めています。";
    ImageKitControls controls(true, true);
    ScopedInstallation installation;
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    Updater updater(L"KarUpdt_pinned.exe");
    ASSERT_NO_FATAL_FAILURE(StartPinnedUntilTheFirstDialog(updater));
    // When the dialog shows, the user's own logon has been tried on the first connection: the
    // request without a field, then the user's first token, which the proxy answered with its
    // challenge (the answer to that, Wine cannot make).
    EXPECT_EQ(Seen(proxy), (std::array<int, 4>{1, 2, 1, 1}));
    AnswerLogon(updater, asks, "karupdt", "wrong");
    for (int i = 0; i < 500 && proxy.Refused() == 0; ++i) Sleep(20);
    EXPECT_EQ(proxy.Challenges(), 2);  // the user's own logon, then the name with the wrong password
    EXPECT_EQ(proxy.Refused(), 1);
    AnswerLogon(updater, "ユーザー名またはパスワードが違います。\r" + asks, "karupdt", "pass word");
    const auto dialogs = updater.RunToEnd();
    ASSERT_EQ(dialogs.size(), 1u) << dialogs.front().title << ": " << dialogs.front().text;
    EXPECT_EQ(dialogs.back().text, kCompletedText);
    EXPECT_EQ(proxy.Challenges(), 3);
    EXPECT_EQ(proxy.Refused(), 1);
    EXPECT_EQ(proxy.Passed(), 1);
    EXPECT_EQ(proxy.Served(), static_cast<int>(ExpectedDownloads(true, true).size()));
    // One for the user's logon, one for each name and password; the last carried the whole run.
    EXPECT_EQ(proxy.Accepted(), 3);
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI"),
              std::optional<std::string>("PROXYIP=\r\nPROXYPORT=0\r\n"));
    const auto log = ScopedInstallation::ReadFileBytes(installation.Folder() + L"Temp\\KarUpdt.Log");
    ASSERT_TRUE(log);
    EXPECT_EQ(log->find("pass word"), std::string::npos);
}

// The same proxy named in DOWNLOAD.INI, which any user of the workstation can write: the program,
// which runs as an administrator, never tries that user's own logon there. The dialog comes first,
// after one request that carried nothing of a logon; the name and password typed log on, and every
// file of the run comes through that one logged-on connection.
TEST_F(ProxyLogonTest, AProxyOfDownloadIniIsNeverGivenTheUsersOwnLogonButAsksForANameFirst) {
    LoopbackProxy proxy("karupdt", "pass word");
    ASSERT_NE(proxy.Port(), 0);
    const std::string name = "127.0.0.1:" + std::to_string(proxy.Port());
    ImageKitControls controls(true, true);
    InstallationOptions options;
    options.downloadIni = ProxyIni(proxy.Port());
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    Updater updater(L"KarUpdt_pinned.exe");
    ASSERT_NO_FATAL_FAILURE(StartPinnedUntilTheFirstDialog(updater));
    EXPECT_EQ(Seen(proxy), (std::array<int, 4>{1, 1, 0, 0}));
    AnswerLogon(updater, "プロキシ " + name + " がユーザー名とパスワードを求めています。", "karupdt", "pass word");
    const auto dialogs = updater.RunToEnd();
    ASSERT_EQ(dialogs.size(), 1u) << dialogs.front().title << ": " << dialogs.front().text;
    EXPECT_EQ(dialogs.back().text, kCompletedText);
    EXPECT_EQ(proxy.Challenges(), 1);
    EXPECT_EQ(proxy.Refused(), 0);
    EXPECT_EQ(proxy.Passed(), 1);
    EXPECT_EQ(proxy.Served(), static_cast<int>(ExpectedDownloads(true, true).size()));
    // The first request's, then the logon with the name, which carried the whole run.
    EXPECT_EQ(proxy.Accepted(), 2);
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI"),
              std::optional<std::string>("PROXYIP=127.0.0.1\r\nPROXYPORT=" + std::to_string(proxy.Port()) + "\r\n"));
}

}  // namespace
