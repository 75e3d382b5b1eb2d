#include "update_fixture.h"

#include "version_resource.h"

#include <cstdlib>
#include <sstream>

namespace e2e {

namespace {

std::wstring FromEnvironment(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? value : L"";
}

std::wstring ProgramFilesFolder() {
    std::wstring folder = FromEnvironment(L"ProgramFiles");
    return folder + L"\\";
}

}  // namespace

std::wstring PreparedFolder() {
    // A Unix path: Wine's drive Z: is the Unix root.
    std::wstring unixPath = FromEnvironment(L"KARUPDT_E2E_DIR");
    if (unixPath.empty()) return L"";
    for (wchar_t& c : unixPath)
        if (c == L'/') c = L'\\';
    return L"Z:" + unixPath + L"\\";
}

std::wstring ServedFile(const std::string& name) {
    return PreparedFolder() + L"package\\karedona\\" + robot::ToWide(name);
}
std::wstring OriginalFile(const std::string& name) {
    return PreparedFolder() + L"package\\original\\" + robot::ToWide(name);
}

int ServerPort() { return KARUPDT_TEST_HTTP_PORT; }
int SlowPort() { return KARUPDT_TEST_HTTP_PORT + 1; }
int PlainPort() { return KARUPDT_TEST_HTTP_PORT + 2; }

void ClearAccessLog() { ScopedInstallation::WriteFileBytes(PreparedFolder() + L"server\\access.log", ""); }

std::vector<Request> Requests() {
    std::vector<Request> requests;
    const auto log = ScopedInstallation::ReadFileBytes(PreparedFolder() + L"server\\access.log");
    if (!log) return requests;
    std::istringstream lines(*log);
    std::string line;
    while (std::getline(lines, line)) {
        // 18431 "GET /karedona/x HTTP/1.1" 200 123
        Request request;
        std::istringstream fields(line);
        std::string method, target, version;
        fields >> request.port >> method >> target >> version >> request.status;
        request.target = target;
        // ... 200 123 "KarUpdt/1.6.0 (from 1.5.2)" "-" 7 (nginx writes a quote inside a value as \x22)
        const size_t open = line.find('"', line.find('"', line.find('"') + 1) + 1);
        const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        if (close != std::string::npos) request.userAgent = line.substr(open + 1, close - open - 1);
        const size_t open2 = close == std::string::npos ? close : line.find('"', close + 1);
        const size_t close2 = open2 == std::string::npos ? open2 : line.find('"', open2 + 1);
        if (close2 != std::string::npos) request.proxyAuthorization = line.substr(open2 + 1, close2 - open2 - 1);
        if (close2 != std::string::npos) request.connection = std::atoll(line.c_str() + close2 + 1);
        requests.push_back(request);
    }
    return requests;
}

std::vector<std::string> RequestedNames() {
    std::vector<std::string> names;
    for (const Request& request : Requests()) names.push_back(request.target.substr(request.target.rfind('/') + 1));
    return names;
}

std::wstring ImageKitControls::Folder5() { return ProgramFilesFolder() + L"imagekit5\\"; }
std::wstring ImageKitControls::Folder6() { return ProgramFilesFolder() + L"imagekit6\\"; }

ImageKitControls::ImageKitControls(bool imageKit5Current, bool imageKit6Present) {
    ScopedInstallation::RemoveTree(Folder5().substr(0, Folder5().size() - 1));
    ScopedInstallation::RemoveTree(Folder6().substr(0, Folder6().size() - 1));
    if (imageKit5Current) {
        CreateDirectoryW(Folder5().c_str(), nullptr);
        EXPECT_TRUE(
            CopyFileW(BesideTestProgram(L"version_windres.exe").c_str(), (Folder5() + L"ImgKit5.ocx").c_str(), FALSE));
    }
    if (imageKit6Present) {
        CreateDirectoryW(Folder6().c_str(), nullptr);
        EXPECT_TRUE(ScopedInstallation::WriteFileBytes(Folder6() + L"ImgKit6.ocx", "ImageKit 6 control"));
    }
}

ImageKitControls::~ImageKitControls() {
    ScopedInstallation::RemoveTree(Folder5().substr(0, Folder5().size() - 1));
    ScopedInstallation::RemoveTree(Folder6().substr(0, Folder6().size() - 1));
}

std::string ProxyIni(int port) { return "PROXYIP=127.0.0.1\r\nPROXYPORT=" + std::to_string(port) + "\r\n"; }

Updater::Updater(const std::wstring& program, const std::vector<robot::ExpectedDialog>& startQuestions) {
    const bool fullPath = program.find(L':') != std::wstring::npos;
    process_ = robot::Process::Start(fullPath ? program : BesideTestProgram(program), L"", L"C:\\");
    EXPECT_TRUE(process_.Started()) << process_.Error();
    if (!startQuestions.empty()) {
        EXPECT_TRUE(robot::AnswerDialogs(process_, startQuestions));
    }
    window_ = robot::Window(robot::WaitForWindowOfClass(process_.Id(), L"TMainForm"));
    EXPECT_TRUE(window_.Exists()) << "the update window did not appear";
    // The window is ready once it has become active and filled its labels.
    for (int i = 0; i < 250 && Label(101) != "[アップデート開始]をクリックして作業を開始してください。"; ++i) Sleep(20);
}

::testing::AssertionResult Updater::PressStart() { return window_.Click("アップデート開始"); }
::testing::AssertionResult Updater::PressCancel() { return window_.Click("ｷｬﾝｾﾙ"); }

namespace {

void PressKey(WORD key) {
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = key;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}

}  // namespace

::testing::AssertionResult Updater::PressCancelByKeyboard() {
    auto cancel = window_.ControlByText("ｷｬﾝｾﾙ");
    if (!cancel || !cancel->visible) return ::testing::AssertionFailure() << "no visible cancel button";
    if (GetForegroundWindow() != window_.Handle()) return ::testing::AssertionFailure() << "the window is not in front";
    const DWORD thread = GetWindowThreadProcessId(window_.Handle(), nullptr);
    auto focus = [&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
    };
    for (int presses = 0; presses < 6 && focus() != cancel->handle; ++presses) {
        PressKey(VK_TAB);
        for (int k = 0; k < 25 && focus() != cancel->handle; ++k) Sleep(20);
    }
    if (focus() != cancel->handle)
        return ::testing::AssertionFailure() << "Tab never brought the focus to the cancel button";
    PressKey(VK_RETURN);
    return ::testing::AssertionSuccess();
}

std::string Updater::Label(int id) const {
    auto control = window_.ControlById(id);
    return control ? control->text : std::string("<no control>");
}

int Updater::ProgressPosition() const {
    auto bar = window_.ControlById(102);
    return bar ? bar->progressPosition : -1;
}

bool Updater::StartButtonVisible() const {
    auto button = window_.ControlByText("アップデート開始");
    return button && button->visible;
}

bool Updater::CancelButtonVisible() const {
    auto button = window_.ControlByText("ｷｬﾝｾﾙ");
    return button && button->visible;
}

std::vector<DialogSeen> Updater::RunToEnd(robot::Duration timeout) {
    std::vector<DialogSeen> seen;
    const DWORD start = GetTickCount();
    while (process_.Running() && GetTickCount() - start < static_cast<DWORD>(timeout.count())) {
        auto dialog = robot::FindDialog(process_.Id());
        if (!dialog) {
            Sleep(20);
            continue;
        }
        seen.push_back({dialog->Title(), dialog->Text()});
        const auto buttons = dialog->Buttons();
        if (buttons.empty() || !dialog->Press(buttons.front())) {
            ADD_FAILURE() << "cannot answer " << robot::Describe(*dialog);
            break;
        }
        robot::WaitForWindowGone(dialog->Handle());
    }
    EXPECT_FALSE(process_.Running()) << "the updater did not end";
    return seen;
}

SOCKET ListenOnLoopback(int backlog, int& port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return listener;
    port = ntohs(address.sin_port);
    return listener;
}

}  // namespace e2e
