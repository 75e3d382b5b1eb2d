// The download of the update package by KarUpdt.exe under Wine from nginx on loopback, driven
// through the real start and cancel buttons; the server's access log tells what was fetched.
#include "screenshot.h"
#include "update_fixture.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

namespace {

using namespace e2e;
using namespace std::chrono_literals;

const char* const kCompletedText = "アップデートが完了しました。終了します。";
const char* const kPressStart = "[アップデート開始]をクリックして作業を開始してください。";

// A proxy of the test's own on loopback: it serves the package's files as they are, except one,
// whose answer misbehaves in the chosen way. It counts the body bytes it sent for that file until
// the program closed the connection. Each connection is served on a thread of its own, so that a
// connection the program leaves open cannot hold back the next request.
class MisbehavingProxy {
public:
    enum class Fault {
        LengthPlusOne,  // announces one byte more than the file has, then holds the body back
        EndlessChunks,  // a chunked body of the file's bytes over and over, without end
        NoAnswer,       // reads the request and answers nothing until the program closes
    };
    MisbehavingProxy(const std::string& broken, Fault fault) : broken_(broken), fault_(fault) {
        listener_ = ListenOnLoopback(8, port_);
        if (port_ != 0) thread_ = std::thread([this] { Run(); });
    }
    ~MisbehavingProxy() {
        stop_ = true;
        closesocket(listener_);
        if (thread_.joinable()) thread_.join();
        {
            std::lock_guard lock(mutex_);
            for (SOCKET client : clients_) shutdown(client, SD_BOTH);  // ends a send that waits
        }
        for (std::thread& connection : connections_) connection.join();
        for (SOCKET client : clients_) closesocket(client);
        WSACleanup();
    }
    int Port() const { return port_; }
    // Body bytes sent for the broken file, and whether the program closed that connection.
    unsigned long long BrokenBytesSent() const { return brokenSent_; }
    bool BrokenClosedByProgram() const { return brokenClosed_; }
    bool BrokenAsked() const { return brokenAsked_; }

private:
    void Run() {
        while (!stop_) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            DWORD timeout = 10000;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
            {
                std::lock_guard lock(mutex_);
                clients_.push_back(client);
            }
            connections_.emplace_back([this, client] {
                while (!stop_ && Answer(client)) {}
                shutdown(client, SD_BOTH);  // closed at the end, once no thread uses it
            });
        }
    }
    bool SendAll(SOCKET client, const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const int now = send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (now <= 0) return false;
            sent += static_cast<size_t>(now);
        }
        return true;
    }
    // True once the peer has closed its end (or reset it) within `milliseconds`.
    bool PeerClosed(SOCKET client, int milliseconds) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
        char byte;
        return recv(client, &byte, 1, 0) <= 0;
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
        const auto body = ScopedInstallation::ReadFileBytes(ServedFile(name));
        if (!body) return SendAll(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        if (name != broken_)
            return SendAll(client,
                           "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body->size()) + "\r\n\r\n" + *body);
        brokenAsked_ = true;
        if (fault_ == Fault::NoAnswer) {
            brokenClosed_ = PeerClosed(client, 30000);
            return false;
        }
        if (fault_ == Fault::LengthPlusOne) {
            if (!SendAll(client, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body->size() + 1) + "\r\n\r\n"))
                return false;
            // Held back for up to 30 s: the program is to close the connection on the head alone.
            brokenClosed_ = PeerClosed(client, 30000);
            return false;
        }
        if (!SendAll(client, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return false;
        // Chunks of the file's bytes until the program closes the connection (at most 2 GB).
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", body->size());
        const std::string chunk = size + *body + "\r\n";
        while (!stop_ && brokenSent_ < (2ULL << 30)) {
            // A send into a connection the program has closed may still succeed for a while.
            if (!SendAll(client, chunk) || PeerClosed(client, 0)) {
                brokenClosed_ = true;
                return false;
            }
            brokenSent_ += body->size();
        }
        return false;
    }

    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::string broken_;
    Fault fault_;
    std::atomic<bool> stop_{false};
    std::thread thread_;                    // accepts
    std::vector<std::thread> connections_;  // one per connection, joined at the end
    std::mutex mutex_;
    std::vector<SOCKET> clients_;
    std::atomic<unsigned long long> brokenSent_{0};
    std::atomic<bool> brokenClosed_{false};
    std::atomic<bool> brokenAsked_{false};
};

// Every dialog the program shows, closed with its button, until the start button is back and
// no dialog follows for a while.
std::vector<std::string> DialogsUntilStartButton(Updater& updater) {
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) {
        if (auto dialog = robot::FindDialog(updater.Process().Id())) {
            texts.push_back(dialog->Text());
            dialog->Press("OK");
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

// Whether a file named `name` lies anywhere under `folder` (its subfolders included).
bool AnyFileNamed(const std::wstring& folder, const std::wstring& name) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool any = false;
    do {
        const std::wstring entry = found.cFileName;
        if (entry == L"." || entry == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            any = any || AnyFileNamed(folder + L"\\" + entry, name);
        } else {
            any = any || lstrcmpiW(entry.c_str(), name.c_str()) == 0;
        }
    } while (!any && FindNextFileW(search, &found));
    FindClose(search);
    return any;
}

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(PreparedFolder().empty()) << "KARUPDT_E2E_DIR is not set: run through ctest";
        ClearAccessLog();
    }
    std::unique_ptr<ScopedInstallation> Install(std::optional<std::string> downloadIni) {
        InstallationOptions options;
        options.downloadIni = std::move(downloadIni);
        auto installation = std::make_unique<ScopedInstallation>(options);
        EXPECT_TRUE(installation->Ok()) << installation->Error();
        return installation;
    }
    // Waits until `condition` holds, polling; false after `timeout`.
    template <typename Condition>
    static bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = 20s) {
        const DWORD start = GetTickCount();
        while (!condition()) {
            if (GetTickCount() - start > static_cast<DWORD>(timeout.count())) return false;
            Sleep(10);
        }
        return true;
    }
};

struct Selection {
    bool imageKit5Current;
    bool imageKit6Present;
    bool throughProxy;
};

TEST_F(DownloadTest, EachSelectionFetchesItsFilesInOrderAndHandsOver) {
    const Selection selections[] = {{true, true, false}, {true, false, true}, {false, false, true}};
    for (const Selection& selection : selections) {
        SCOPED_TRACE(ExpectedDownloads(selection.imageKit5Current, selection.imageKit6Present).size());
        ClearAccessLog();
        ImageKitControls controls(selection.imageKit5Current, selection.imageKit6Present);
        auto installation = Install(selection.throughProxy ? std::optional(ProxyIni(ServerPort())) : std::nullopt);
        // Without a proxy, the build for the loopback server fetches directly.
        Updater updater(selection.throughProxy ? KARUPDT_PROGRAM_UNDER_TEST : L"KarUpdt_loopback.exe");
        ASSERT_TRUE(updater.Ok());
        ASSERT_TRUE(updater.PressStart());
        const auto dialogs = updater.RunToEnd();
        ASSERT_FALSE(dialogs.empty());
        EXPECT_EQ(dialogs.back().text, kCompletedText);
        EXPECT_EQ(updater.Process().ExitCode(), std::optional<DWORD>(0));

        const auto expected = ExpectedDownloads(selection.imageKit5Current, selection.imageKit6Present);
        EXPECT_EQ(RequestedNames(), expected);
        const auto requests = Requests();
        for (const Request& request : requests) {
            EXPECT_EQ(request.status, 200);
            // One connection carries the whole run.
            EXPECT_EQ(request.connection, requests.front().connection);
            EXPECT_NE(request.connection, 0);
            EXPECT_EQ(request.port, ServerPort());
            // The server's log tells which program asked and from which version it updates.
            EXPECT_EQ(request.userAgent, "KarUpdt/1.6.0 (from 1.5.2)");
            // Through a proxy the request names the whole address of the update server.
            if (selection.throughProxy) {
                EXPECT_EQ(request.target.rfind(std::string("http://") + KARUPDT_UPDATE_HOST + "/karedona/", 0), 0u)
                    << request.target;
            } else {
                EXPECT_EQ(request.target.rfind("/karedona/", 0), 0u) << request.target;
            }
        }
    }
}

TEST_F(DownloadTest, ProgressWhileAFileArrivesThenCancel) {
    ImageKitControls controls(true, true);
    auto installation = Install(ProxyIni(SlowPort()));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    EXPECT_TRUE(WaitUntil([&] { return updater.CancelButtonVisible() && !updater.StartButtonVisible(); }));

    // The first file comes slowly: read the labels and the bar while it arrives.
    const std::regex progress(R"((\d+)/(\d+) Bytes Completion)");
    std::smatch match;
    std::string label;
    ASSERT_TRUE(WaitUntil([&] {
        label = updater.Label(103);
        return std::regex_match(label, match, progress) && std::stoll(match[1]) > 0;
    })) << label;
    const long long received = std::stoll(match[1]);
    const long long total = std::stoll(match[2]);
    const auto size = ScopedInstallation::ReadFileBytes(ServedFile("kar160.ex_"));
    ASSERT_TRUE(size);
    EXPECT_EQ(total, static_cast<long long>(size->size()));
    EXPECT_LT(received, total);
    const int position = updater.ProgressPosition();
    EXPECT_GE(position, 0);
    EXPECT_LE(position, 100);
    EXPECT_EQ(updater.Label(101), "アップデートコンポーネントのダウンロード...");

    // What the user sees a moment later, once a good part has come: the bar filled as far as the
    // count says, and the count painted. The picture is kept.
    ASSERT_TRUE(WaitUntil([&] { return updater.ProgressPosition() >= 30; })) << updater.Label(103);
    {
        const HWND window = updater.Window().Handle();
        const int before = updater.ProgressPosition();
        const ScreenPixels bar = CaptureClient(GetDlgItem(window, 102));
        const ScreenPixels count = CaptureClient(GetDlgItem(window, 103));
        const int after = updater.ProgressPosition();
        ASSERT_GT(bar.width, 20);
        // Along the bar's middle row: the colour of its filled start, and how far it reaches.
        const int row = bar.height / 2;
        const uint32_t fill = bar.At(3, row);
        EXPECT_NE(fill, bar.At(bar.width - 3, row)) << "the bar shows no progress";
        int filled = 0;
        for (int x = 0; x < bar.width; ++x) filled += bar.At(x, row) == fill ? 1 : 0;
        const int shown = filled * 100 / bar.width;
        EXPECT_GE(shown, before - 8) << "filled " << filled << " of " << bar.width << " at " << before << "%";
        EXPECT_LE(shown, after + 8) << "filled " << filled << " of " << bar.width << " at " << after << "%";
        EXPECT_GE(ColoursByCount(count).size(), 2u) << "the count is not painted";
        std::string error;
        EXPECT_TRUE(SaveWindowScreenshot(window, ScreenshotPath(L"download_in_progress.bmp"), &error, 0)) << error;
    }

    // The user switches to another program and back: the labels go on as they were.
    {
        ProductWindow other(true);
        ASSERT_TRUE(other.Exists());
        SetForegroundWindow(other.Handle());
        EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == other.Handle(); }, 5s));
        // Back with a click into the window, on its version label, as the user would.
        RECT label{};
        GetWindowRect(GetDlgItem(updater.Window().Handle(), 104), &label);
        SetCursorPos(label.left + 5, (label.top + label.bottom) / 2);
        INPUT clicks[2] = {};
        clicks[0].type = clicks[1].type = INPUT_MOUSE;
        clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, clicks, sizeof(INPUT));
        EXPECT_TRUE(WaitUntil([&] { return GetForegroundWindow() == updater.Window().Handle(); }, 5s));
        Sleep(300);
    }
    EXPECT_EQ(updater.Label(101), "アップデートコンポーネントのダウンロード...");
    EXPECT_TRUE(std::regex_match(updater.Label(103), progress)) << updater.Label(103);

    // Cancel in the middle, by keyboard as a keyboard user would: no dialog, the start button
    // comes back, nothing more is requested.
    ASSERT_TRUE(updater.PressCancelByKeyboard());
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible() && !updater.CancelButtonVisible(); }, 5s));
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1500ms));
    EXPECT_EQ(RequestedNames(), std::vector<std::string>{"kar160.ex_"});
    EXPECT_EQ(updater.Label(101), kPressStart);  // the interrupted file ends with the failure display
    EXPECT_EQ(updater.ProgressPosition(), 0);

    // A second run after the cancel starts again from the first file and completes.
    ClearAccessLog();
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(installation->Folder() + L"DOWNLOAD.INI", ProxyIni(ServerPort())));
    updater.Window().ChooseMenuItem(202);  // the port dialog, to switch to the fast server for this run
    auto dialog = robot::WaitForDialog(updater.Process().Id());
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(dialog->SetEditText(std::to_string(ServerPort())));
    ASSERT_TRUE(dialog->Press("OK"));
    ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
    ASSERT_TRUE(updater.PressStart());
    const auto dialogs = updater.RunToEnd();
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back().text, kCompletedText);
    EXPECT_EQ(RequestedNames(), ExpectedDownloads(true, true));
}

TEST_F(DownloadTest, CancelRightAfterAFileStopsTheRun) {
    ImageKitControls controls(true, true);
    auto installation = Install(ProxyIni(SlowPort()));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    // The server logs a request when it has sent the whole answer.
    ASSERT_TRUE(WaitUntil([&] { return !Requests().empty(); }, 30s));
    ASSERT_TRUE(updater.PressCancel());
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible(); }, 5s));
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1000ms));
    const auto names = RequestedNames();
    // The first file is complete; at most the one that had started when the click came follows.
    ASSERT_GE(names.size(), 1u);
    EXPECT_LE(names.size(), 2u);
    EXPECT_EQ(names[0], "kar160.ex_");
    Sleep(500);
    EXPECT_EQ(RequestedNames(), names) << "requests went on after the cancel";
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

// A cancel while the last file waits for its answer ends the run as a cancel between two files
// does: the texts stay as the file before left them, no dialog, the start button back.
TEST_F(DownloadTest, CancelWhileTheLastFileWaitsKeepsTheTextsOfTheFileBefore) {
    ImageKitControls controls(true, true);
    MisbehavingProxy proxy("SCANABORT.EX_", MisbehavingProxy::Fault::NoAnswer);
    ASSERT_NE(proxy.Port(), 0);
    auto installation = Install(ProxyIni(proxy.Port()));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    ASSERT_TRUE(WaitUntil([&] { return proxy.BrokenAsked(); }, 60s));
    const auto before = ScopedInstallation::ReadFileBytes(ServedFile("KarScan.de_"));
    ASSERT_TRUE(before);
    // The progress is painted at most once a frame: the file before's end shows within one.
    const std::string count = std::to_string(before->size()) + " Bytes Completed";
    EXPECT_TRUE(WaitUntil([&] { return updater.Label(103) == count; }, 1s)) << updater.Label(103);
    const std::string message = updater.Label(101);
    EXPECT_EQ(message, "アップデートコンポーネントのダウンロード...");
    ASSERT_TRUE(updater.PressCancel());
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible() && !updater.CancelButtonVisible(); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return proxy.BrokenClosedByProgram(); }, 5s));
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1000ms));
    EXPECT_EQ(updater.Label(101), message);
    EXPECT_EQ(updater.Label(103), count);
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

TEST_F(DownloadTest, AMissingOrEmptyFileIsReportedAndTheRestStillComes) {
    ImageKitControls controls(true, true);
    auto installation = Install(ProxyIni(ServerPort()));
    const std::wstring served = ServedFile("vornlib.dl_");
    ASSERT_TRUE(MoveFileW(served.c_str(), (served + L".away").c_str()));
    // An empty file is answered with "Content-Length: 0" and would replace cellmapa.dat by nothing.
    const std::wstring emptied = ServedFile("cellmapa.da_");
    ASSERT_TRUE(MoveFileW(emptied.c_str(), (emptied + L".away").c_str()));
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(emptied, ""));
    struct PutBack {
        std::wstring path;
        ~PutBack() {
            DeleteFileW(path.c_str());
            MoveFileW((path + L".away").c_str(), path.c_str());
        }
    } putBack{served}, putBackEmptied{emptied};

    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    ASSERT_TRUE(robot::AnswerDialogs(
        updater.Process(),
        {{"エラー",
          "通信エラーが発生しました[0]\r\rvornlib.dl_\r\r404: Not Found",
          robot::IconKind::Error,
          {"OK"},
          "OK"},
         {"エラー",
          "次のファイルは空 (0 バイト) でした。\r\rcellmapa.da_\r\r更新サーバーのファイルが正しくありません。販売元に"
          "ご確認ください。\r【カレドナ】は変更されていません。",
          robot::IconKind::Error,
          {"OK"},
          "OK"}},
        30s));
    EXPECT_TRUE(WaitUntil([&] { return RequestedNames().size() == 16u; }));
    EXPECT_EQ(RequestedNames(), ExpectedDownloads(true, true));
    // No installation follows: nothing is expanded, the window stays and offers the start button
    // again, so that the user can try once more.
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1500ms));
    EXPECT_TRUE(updater.Process().Running());
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible() && !updater.CancelButtonVisible(); }));
    EXPECT_EQ(updater.Label(101), kPressStart);
    EXPECT_EQ(GetFileAttributesW((installation->Folder() + L"Temp\\KarUpdt.stage\\DLKR_DL.exe").c_str()),
              INVALID_FILE_ATTRIBUTES);
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

TEST_F(DownloadTest, AProxyThatCannotBeReachedIsReportedOnceAndTheRunStops) {
    ImageKitControls controls(true, true);
    // Nobody listens on port 1 of the loopback address: every connection is refused.
    auto installation = Install(ProxyIni(1));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    auto dialog = robot::WaitForDialog(updater.Process().Id(), 30s);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->Title(), "エラー");
    EXPECT_EQ(dialog->Text().rfind("通信エラーが発生しました[0]\r\rkar160.ex_\r\r11: ", 0), 0u) << dialog->Text();
    dialog->Press("OK");
    ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
    // No second message for the other files: the start button is back at once.
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 2000ms));
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible() && !updater.CancelButtonVisible(); }));
    EXPECT_EQ(updater.Label(101), kPressStart);
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

TEST_F(DownloadTest, AResponseWithoutContentLengthIsNeverComplete) {
    ImageKitControls controls(true, true);
    auto installation = Install(ProxyIni(PlainPort()));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    // Every file ends with the failure display; nothing is counted, so no installation starts.
    // One message at the end names every file that did not arrive complete.
    auto dialog = robot::WaitForDialog(updater.Process().Id(), 30s);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(RequestedNames().size(), 16u);
    std::string names;
    const std::vector<std::string> expected = ExpectedDownloads(true, true);
    for (size_t i = 0; i < expected.size(); ++i) names += (i == 0 ? "" : i % 4 == 0 ? "\r" : "、") + expected[i];
    EXPECT_EQ(dialog->Text(), "次のファイルを最後まで受信できませんでした。\r\r" + names +
                                  "\r\rサーバーがファイルの大きさ (Content-Length) を知らせないか、\r届いた大きさが"
                                  "知らされた大きさと違います。\r【カレドナ】は変更されていません。");
    dialog->Press("OK");
    ASSERT_TRUE(robot::WaitForWindowGone(dialog->Handle()));
    EXPECT_TRUE(robot::NoDialogFor(updater.Process(), 1500ms));
    EXPECT_EQ(updater.Label(101), kPressStart);
    EXPECT_EQ(updater.Label(103), "");
    EXPECT_EQ(updater.ProgressPosition(), 0);
    EXPECT_TRUE(updater.Process().Running());
    EXPECT_TRUE(WaitUntil([&] { return updater.StartButtonVisible(); }));
    EXPECT_EQ(GetFileAttributesW((installation->Folder() + L"Temp\\KarUpdt.stage\\DLKR_DL.exe").c_str()),
              INVALID_FILE_ATTRIBUTES);
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
}

TEST_F(DownloadTest, ClosingTheWindowDuringADownloadEndsTheProgramAtOnce) {
    ImageKitControls controls(true, true);
    auto installation = Install(ProxyIni(SlowPort()));
    Updater updater;
    ASSERT_TRUE(updater.Ok());
    ASSERT_TRUE(updater.PressStart());
    ASSERT_TRUE(WaitUntil([&] { return updater.Label(103).find("Bytes Completion") != std::string::npos; }));
    const DWORD closed = GetTickCount();
    updater.Window().Close();
    EXPECT_EQ(updater.Process().WaitForExit(5s), std::optional<DWORD>(0));
    EXPECT_LT(GetTickCount() - closed, 2000u) << "the transfer was not interrupted";
    EXPECT_LE(RequestedNames().size(), 1u);
    // Nothing was installed.
    EXPECT_EQ(GetFileAttributesW((installation->Folder() + L"DLKR_DL.exe").c_str()), INVALID_FILE_ATTRIBUTES);
}

// KarUpdt_pinned.exe carries the size of every file: an answer that announces another length is
// stopped on its head, one whose body goes on past the size is stopped there. Each is named in the
// message for a file that is not the vendor's, nothing of it stays, the rest of the run goes on and
// the start button comes back.
TEST_F(DownloadTest, APinnedBuildStopsAFileAtItsPinnedSize) {
    const std::string broken = "kar160.ex_";
    const auto served = ScopedInstallation::ReadFileBytes(ServedFile(broken));
    ASSERT_TRUE(served);
    const std::string size = std::to_string(served->size());
    const std::string tail =
        "\rダウンロードしたファイルは削除しました。\r【カレドナ】は変更されていません。\r"
        "しばらくしてから、もう一度アップデートを開始してください。";
    struct Case {
        MisbehavingProxy::Fault fault;
        std::string reason;
    };
    const Case cases[] = {
        {MisbehavingProxy::Fault::LengthPlusOne,
         "大きさが " + std::to_string(served->size() + 1) + " バイトです (配布元のファイルは " + size + " バイト)。"},
        {MisbehavingProxy::Fault::EndlessChunks,
         "配布元のファイルの大きさ (" + size + " バイト) を超えて送られてきました。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ImageKitControls controls(true, true);
        MisbehavingProxy proxy(broken, c.fault);
        ASSERT_NE(proxy.Port(), 0);
        auto installation = Install(ProxyIni(proxy.Port()));
        Updater updater(L"KarUpdt_pinned.exe");
        ASSERT_TRUE(updater.Ok());
        const DWORD started = GetTickCount();
        ASSERT_TRUE(updater.PressStart());
        const std::vector<std::string> texts = DialogsUntilStartButton(updater);
        std::string shown;
        for (const std::string& text : texts) shown += "\n[" + text + "]";
        ASSERT_EQ(texts.size(), 1u) << shown;
        EXPECT_EQ(texts[0], "ファイル \"" + broken + "\" の内容は配布元のものではありません。\r" + c.reason + tail);
        EXPECT_LT(GetTickCount() - started, 60000u) << "the file was not stopped";
        EXPECT_TRUE(proxy.BrokenClosedByProgram());
        if (c.fault == MisbehavingProxy::Fault::EndlessChunks) {
            // Stopped soon after the size was passed: what the proxy managed to send meanwhile.
            EXPECT_LT(proxy.BrokenBytesSent(), served->size() + 64ull * 1024 * 1024);
        }
        EXPECT_FALSE(AnyFileNamed(installation->Folder() + L"Temp", robot::ToWide(broken)));
        EXPECT_TRUE(updater.StartButtonVisible());
        EXPECT_FALSE(updater.CancelButtonVisible());
        EXPECT_EQ(updater.Label(101), kPressStart);
        updater.Window().Close();
        EXPECT_EQ(updater.Process().WaitForExit(), std::optional<DWORD>(0));
    }
}

}  // namespace
