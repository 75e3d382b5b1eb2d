#pragma once
// Shared by the whole-program tests of a download and an update: the package and the HTTP server
// that the test run prepared (see CMakeLists.txt), the ImageKit controls in the prefix, and a
// driver that starts the updater, presses its start button and follows it to its end.

#include "installation.h"
#include "expected_package.h"
#include "robot.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// The folder the test run prepared (KARUPDT_E2E_DIR), as a Windows path ending with "\".
std::wstring PreparedFolder();
// The package: served files and the original content of every component.
std::wstring ServedFile(const std::string& name);
std::wstring OriginalFile(const std::string& name);

// Ports of the loopback server: normal, slow (a few KB a second), and without Content-Length.
int ServerPort();
int SlowPort();
int PlainPort();

// One request line of the server's access log: the port it came to, the request target, status,
// User-Agent, Proxy-Authorization and the connection that carried it.
struct Request {
    int port = 0;
    std::string target;
    int status = 0;
    std::string userAgent;
    std::string proxyAuthorization;  // "-" when the request carried none
    long long connection = 0;        // the server's serial number of the connection
};
// Empties the server's access log.
void ClearAccessLog();
// The requests since the log was last emptied, oldest first.
std::vector<Request> Requests();
// Just the file names (the last segment of each target).
std::vector<std::string> RequestedNames();

// The component names in download order, for a selection of 16, 18 (ImageKit 6 missing) or 19
// (tests/support/expected_package.h).
using expected::ExpectedDownloads;

// Places or removes the ImageKit controls under the Program Files folder; restores at the end.
class ImageKitControls {
public:
    ImageKitControls(bool imageKit5Current, bool imageKit6Present);
    ~ImageKitControls();
    static std::wstring Folder5();  // <Program Files>\imagekit5\ .
    static std::wstring Folder6();
};

// DOWNLOAD.INI naming the loopback server as proxy on `port`.
std::string ProxyIni(int port);

// What a run showed: every dialog in order (title and text), and the exit code.
struct DialogSeen {
    std::string title;
    std::string text;
};

class Updater {
public:
    // Starts `program` (KarUpdt.exe, or the build for the loopback server, beside the test program;
    // or a full path) and waits for its window.
    // `startQuestions`: the dialogs the program shows before its window, answered as scripted.
    explicit Updater(const std::wstring& program = KARUPDT_PROGRAM_UNDER_TEST,
                     const std::vector<robot::ExpectedDialog>& startQuestions = {});
    robot::Process& Process() { return process_; }
    robot::Window& Window() { return window_; }
    bool Ok() const { return window_.Exists(); }

    ::testing::AssertionResult PressStart();
    ::testing::AssertionResult PressCancel();
    // As a keyboard user: Tab (real key presses, to the foreground window) until the cancel
    // button has the focus, then Enter.
    ::testing::AssertionResult PressCancelByKeyboard();
    std::string Label(int id) const;  // 101 message, 103 progress, 104/105 versions
    int ProgressPosition() const;
    bool StartButtonVisible() const;
    bool CancelButtonVisible() const;

    // Answers every dialog with its first button (or `answers` by title) until the program ends;
    // returns the dialogs in order. Fails the test when it does not end within `timeout`.
    std::vector<DialogSeen> RunToEnd(robot::Duration timeout = std::chrono::seconds(120));

private:
    robot::Process process_;
    robot::Window window_;
};

// A listening socket on 127.0.0.1 at a free port, for a server of the test's own (Winsock is
// started for it); INVALID_SOCKET when none can be had. `port` receives the port.
SOCKET ListenOnLoopback(int backlog, int& port);

}  // namespace e2e
