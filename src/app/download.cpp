// The download of the update package: the start button fetches the selected components one after
// another into the work folder, with progress, failure messages and cancel, and hands over to the
// installation once every file has arrived complete.
#include "mainform.h"
#include "app/package_components.h"
#include "pinned_package.h"
#include "product.h"
#include "user_failure.h"

#include "ui/application.h"
#include "update_host.h"
#include "ui/message_dialog.h"
#include "util/exception.h"
#include "util/number.h"
#include "util/text.h"

#include <array>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The components and when each is fetched: generated from the package's manifest
// (package-components.txt).
using package::Fetched;
constexpr const auto& ComponentFiles = package::kComponentFiles;

constexpr long long kUnknownLength = 2147483647;

// The pinned entry of a component, looked up by name without regard to letter case; null when
// the executable pins no package or not this file.
const PinnedFile* PinnedFileNamed(const std::string& name) {
    for (const PinnedFile& file : PinnedFiles())
        if (EqualsIgnoringCase(file.name, name)) return &file;
    return nullptr;
}

// How long a pinned file may take, from the request to its last byte: its size at a slow line's
// 8 KB/s, and a minute for the connection and the server's answer; 0 (no limit) for a file that
// is not pinned. A server or proxy that trickles its bytes cannot hold the run longer.
std::int32_t TimeLimitFor(const std::string& name) {
    const PinnedFile* pinned = PinnedFileNamed(name);
    if (!pinned) return 0;
    const unsigned long long seconds = 60 + pinned->size / 8192;
    return static_cast<std::int32_t>(std::min<unsigned long long>(seconds, std::numeric_limits<std::int32_t>::max()));
}

// A file a user can write to may still be held for a moment by the transfer that wrote it (its last
// part goes to the disk after an interrupt): tried again for a few seconds.
void DeleteFetchedFile(const std::string& path) {
    const std::wstring wide = Utf8ToWide(path);
    for (int attempt = 0; attempt < 250; ++attempt) {
        if (DeleteFileW(wide.c_str()) || GetLastError() != ERROR_SHARING_VIOLATION) return;
        Sleep(20);
    }
}

}  // namespace

bool TMainForm::Selected(int index) const {
    switch (ComponentFiles[static_cast<size_t>(index)].fetched) {
    case Fetched::Always: return true;
    case Fetched::RegistrationTool: return !ImageKit5Current || !ImageKit6Present;
    case Fetched::ImageKit5: return !ImageKit5Current;
    case Fetched::ImageKit6: return !ImageKit6Present;
    }
    return false;
}

int TMainForm::SelectedCount() const {
    int count = 0;
    for (int index = 0; index < static_cast<int>(ComponentFiles.size()); ++index) count += Selected(index) ? 1 : 0;
    return count;
}

void TMainForm::ShowStartButton() { DownLoadButton.ShowInstead(CancelButton); }

void TMainForm::DownLoadButtonClick() {
    Run = RunState::Fetching;
    CancelButton.ShowInstead(DownLoadButton);
    if (File == FileState::Receiving) {
        // The end of an earlier transfer was never reported: start again from idle.
        if (nxHTTP.Connected()) nxHTTP.Reset();
        ShowStartButton();
        Run = RunState::Idle;
        return;
    }

    DownloadCount = 0;
    StartProxyRun();
    // Files that did not arrive complete without any message of their own (no Content-Length, or
    // a length that the body did not match): named together at the end of the run.
    std::vector<std::string> unannounced;  // ended without the length announced, or another length
    std::vector<std::string> empty;        // announced and sent as 0 bytes
    for (int index = 0; index < static_cast<int>(ComponentFiles.size()); ++index) {
        if (!Selected(index)) continue;
        const std::string name = ComponentFiles[static_cast<size_t>(index)].name;
        Application::ProcessMessages();
        if (Cancelled() || Application::Terminated()) {
            // Also ends the connection that the component keeps from the file before.
            nxHTTP.Reset();
            ShowStartButton();
            return;
        }
        if (nxHTTP.Connected()) nxHTTP.Reset();
        const std::string url = std::string("http://") + kUpdateHost + "/karedona/" + name;
        UseProxyFor(url);
        if (Cancelled() || Application::Terminated()) continue;  // cancelled while the system's proxy was looked up
        // Tells the server which program asks and from which version it updates.
        nxHTTP.SetUserAgent(std::string("KarUpdt/") + kUpdateVersion + " (from " + OldVersion + ")");
        CurrentFile = name;
        ServerReached = false;
        FileReported = false;
        const int countedBefore = DownloadCount;
        nxHTTP.SetLocalFile(StagePath() + name);
        nxHTTP.SetTimeLimit(TimeLimitFor(name));
        // A file that failed without a message of its own is reported with the component's
        // words. A server or proxy that cannot be reached at all (no such name, refused, no answer
        // to the connection) would fail every other file the same way: one message is enough, and
        // the run stops.
        const auto goesOn = [&](const std::exception& error) {
            if (!Cancelled() && !FileReported)
                ShowError("通信エラーが発生しました[0]\r\r" + name + "\r\r" + error.what());
            return ServerReached;
        };
        try {
            GetWithProxyLogon(url);
            const bool counted = Run == RunState::HandedOver || DownloadCount > countedBefore;
            if (!counted && !FileReported && !Cancelled() && !Application::Terminated())
                (LengthAnnounced && ContentLength == 0 ? empty : unannounced).push_back(name);
        } catch (const EnxHTTP& error) {
            // A server that sends the files elsewhere (to HTTPS, say) does so for every file: one
            // message that says so, and the run stops. The program does not follow redirections.
            if (error.Code() >= 300 && error.Code() < 400 && !RedirectLocation.empty()) {
                if (!Cancelled())
                    ShowError(FailureText({"更新サーバーがファイル \"" + name + "\" を別の場所へ転送しようとしました [" +
                                               std::to_string(error.Code()) + "]。",
                                           "転送先: " + RedirectLocation, std::nullopt,
                                           "このプログラムは転送先をたどりません。更新サーバーの設定を販売元にご確認ください。"}));
                break;
            }
            if (!goesOn(error)) break;
        } catch (const std::exception& error) {
            if (!goesOn(error)) break;
        }
    }
    // A run that did not bring every file offers the start button again, so that the user can
    // try again without starting the program anew. After a cancel the texts stay as the last file
    // left them, wherever in the run the cancel came.
    if (Run == RunState::Fetching) Run = RunState::Idle;
    if (Run != RunState::HandedOver && !Application::Terminated()) {
        ShowStartButton();
        if (!Cancelled()) MsgLabel.SetText(kPressStartMessage);
        if ((!unannounced.empty() || !empty.empty()) && !Cancelled()) {
            // Four names to a line, so that the box stays narrow.
            auto lines = [](const std::vector<std::string>& files) {
                std::string names;
                for (size_t i = 0; i < files.size(); ++i) names += (i == 0 ? "" : i % 4 == 0 ? "\r" : "、") + files[i];
                return names;
            };
            std::string text;
            if (!unannounced.empty())
                text =
                    "次のファイルを最後まで受信できませんでした。\r\r" + lines(unannounced) +
                    "\r\rサーバーがファイルの大きさ (Content-Length) を知らせないか、\r届いた大きさが知らされた大きさと"
                    "違います。";
            if (!empty.empty())
                text += std::string(text.empty() ? "" : "\r\r") + "次のファイルは空 (0 バイト) でした。\r\r" +
                        lines(empty) + "\r\r更新サーバーのファイルが正しくありません。販売元にご確認ください。";
            ShowError(FailureText({text, "", ProductState::Unchanged}));
        }
    }
}

void TMainForm::ForgetAnswer() {
    ContentLength = kUnknownLength;
    LengthAnnounced = false;
    // A file counts only when its own transfer ends complete: a request that fails before its
    // body starts must not be counted on the strength of the file or answer before it.
    if (File == FileState::Complete) File = FileState::Waiting;
    ReceivedBytes = 0;
    RedirectLocation.clear();
}

void TMainForm::CancelButtonClick() {
    Run = RunState::Cancelled;
    if (nxHTTP.Connected()) {
        nxHTTP.Interrupt();
        nxHTTP.Reset();
    }
}

void TMainForm::nxHTTPHeader(const std::string& Field, const std::string& Value) {
    if (EqualsIgnoringCase(Field, "LOCATION")) RedirectLocation = Value;
    if (EqualsIgnoringCase(Field, "PROXY-AUTHENTICATE")) ProxyChallenges.push_back(Value);
    if (Cancelled() || !EqualsIgnoringCase(Field, "CONTENT-LENGTH")) return;
    const std::optional<long long> length = ParseDecimalInteger(Value);
    if (!length) throw NotAnInteger(Value);
    ContentLength = *length;
    LengthAnnounced = true;
}

void TMainForm::StopAsNotFromVendor(const std::string& reason) {
    if (SizeRefusal.empty()) SizeRefusal = reason;
    nxHTTP.Interrupt();
}

void TMainForm::nxHTTPStartTransfer() {
    File = FileState::Receiving;
    ProgressBar.SetPosition(0);
    ProgressLabel.SetText("");
    MsgLabel.SetText("アップデートコンポーネントのダウンロード...");
    // A pinned file announced with another length is not the vendor's: stopped before a byte of
    // its body is written, and reported in the words of a file that arrived with that size. Judged
    // here, where the file's own body starts: a proxy's 407 or a server's 404 announces the length
    // of its own page.
    if (const PinnedFile* pinned = PinnedFileNamed(CurrentFile);
        pinned && LengthAnnounced && !Cancelled() && static_cast<unsigned long long>(ContentLength) != pinned->size)
        StopAsNotFromVendor("大きさが " + std::to_string(ContentLength) + " バイトです (配布元のファイルは " +
                            std::to_string(pinned->size) + " バイト)。");
}

void TMainForm::nxHTTPTransfer(std::int32_t BytesTransferred) {
    if (!Cancelled()) {
        ReceivedBytes = BytesTransferred;
        // In 64 bits, so that files above 21 MB show the right share too.
        const long long percent =
            ContentLength > 0 ? static_cast<long long>(BytesTransferred) * 100 / ContentLength : 0;
        ProgressBar.SetPosition(static_cast<int>(percent));
        ProgressLabel.SetText(std::to_string(BytesTransferred) + "/" + std::to_string(ContentLength) +
                              " Bytes Completion");
        // A body that goes on past the pinned size (sent in chunks or without a length) is stopped
        // as soon as it does.
        if (const PinnedFile* pinned = PinnedFileNamed(CurrentFile);
            pinned && static_cast<unsigned long long>(BytesTransferred) > pinned->size)
            StopAsNotFromVendor("配布元のファイルの大きさ (" + std::to_string(pinned->size) +
                                " バイト) を超えて送られてきました。");
    }
    UpdateWindow(ProgressLabel.Handle());
}

void TMainForm::nxHTTPEndTransfer() {
    if (!Cancelled()) ProgressLabel.SetText(std::to_string(ContentLength) + " Bytes Completed");
    UpdateWindow(ProgressLabel.Handle());
    // Without an announced length nothing tells whether the whole file came, whatever the count.
    // An empty file is no component at all: installed, it would replace a file with nothing.
    if (LengthAnnounced && ReceivedBytes == ContentLength && ContentLength > 0) {
        File = FileState::Complete;
        return;
    }
    File = FileState::Waiting;
    MsgLabel.SetText(kPressStartMessage);
    ProgressLabel.SetText("");
    ProgressBar.SetPosition(0);
    ReceivedBytes = 0;
}

void TMainForm::nxHTTPError(std::int32_t ErrorCode, const std::string& Description) {
    if (File == FileState::Complete) File = FileState::Waiting;
    FileReported = true;
    if (Cancelled()) return;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "[" + std::to_string(...).
    std::string text = "[";
    text += std::to_string(ErrorCode);
    text += ']';
    text += Description;
    ShowError(text);
}

void TMainForm::nxHTTPDisconnected() {
    // A build for a pinned package counts only the vendor's own bytes: a transfer stopped for its
    // length, or a file that arrived and differs.
    std::optional<std::string> mismatch;
    if (!SizeRefusal.empty()) {
        mismatch = std::exchange(SizeRefusal, std::string());
    } else {
        if (File != FileState::Complete) return;
        mismatch = PinnedMismatch(CurrentFile, StagePath() + CurrentFile);  // the file is closed by now
    }
    if (mismatch) {
        File = FileState::Waiting;
        FileReported = true;
        DeleteFetchedFile(StagePath() + CurrentFile);  // ignored when it fails: a next run overwrites it
        MsgLabel.SetText(kPressStartMessage);
        ProgressLabel.SetText("");
        ProgressBar.SetPosition(0);
        ShowError(FailureText({"ファイル \"" + CurrentFile + "\" の内容は配布元のものではありません。",
                               *mismatch + "\rダウンロードしたファイルは削除しました。", ProductState::Unchanged,
                               "しばらくしてから、もう一度アップデートを開始してください。"}));
        return;
    }
    ++DownloadCount;
    if (DownloadCount == DownloadTotal) {
        PostMessageW(Handle(), kExpandStartMessage, 0, 0);
        DownloadCount = 0;
        Run = RunState::HandedOver;
    }
}

void TMainForm::BindTransferEvents() {
    nxHTTP.SetFirewallPort(80);
    nxHTTP.OnConnected = [this](TnxHTTP&, std::int32_t, const std::string&) { ServerReached = true; };
    nxHTTP.OnDisconnected = [this](TnxHTTP&, std::int32_t, const std::string&) { nxHTTPDisconnected(); };
    nxHTTP.OnEndTransfer = [this](TnxHTTP&, std::int32_t) { nxHTTPEndTransfer(); };
    nxHTTP.OnError = [this](TnxHTTP&, std::int32_t code, const std::string& text) { nxHTTPError(code, text); };
    nxHTTP.OnHeader = [this](TnxHTTP&, const std::string& field, const std::string& value) {
        nxHTTPHeader(field, value);
    };
    nxHTTP.OnStartTransfer = [this](TnxHTTP&, std::int32_t) { nxHTTPStartTransfer(); };
    nxHTTP.OnTransfer = [this](TnxHTTP&, std::int32_t, std::int32_t bytes, std::string_view) { nxHTTPTransfer(bytes); };
}
