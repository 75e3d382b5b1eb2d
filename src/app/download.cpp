// The download of the update package: fetches the selected components one after another into the
// staging folder, with progress, failure messages and cancel, and hands over to the installation
// once every file has arrived complete.
#include "download.h"
#include "app/package_components.h"
#include "pinned_package.h"
#include "product.h"
#include "user_failure.h"

#include "ui/application.h"
#include "update_host.h"
#include "util/exception.h"
#include "util/number.h"
#include "util/text.h"

#include <windows.h>

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

bool Download::Selected(int index) const {
    switch (ComponentFiles[static_cast<size_t>(index)].fetched) {
    case Fetched::Always: return true;
    case Fetched::RegistrationTool: return !target_.imageKit5Current || !target_.imageKit6Present;
    case Fetched::ImageKit5: return !target_.imageKit5Current;
    case Fetched::ImageKit6: return !target_.imageKit6Present;
    }
    return false;
}

Download::Download(TnxHTTP& http, StagingFolder& staging, const InstallationTarget& target, DownloadView& view)
    : http_(http), staging_(staging), target_(target), view_(view) {}

Download::~Download() { SecureZeroMemory(proxyLogonPassword_.data(), proxyLogonPassword_.size()); }

int Download::Total() const {
    int count = 0;
    for (int index = 0; index < static_cast<int>(ComponentFiles.size()); ++index) count += Selected(index) ? 1 : 0;
    return count;
}

void Download::Start(const std::string& proxyHost, std::uint16_t proxyPort) {
    run_ = RunState::Fetching;
    view_.ShowFetching(true);
    if (file_ == FileState::Receiving) {
        // The end of an earlier transfer was never reported: start again from idle.
        if (http_.Connected()) http_.Reset();
        view_.ShowFetching(false);
        run_ = RunState::Idle;
        return;
    }

    count_ = 0;
    StartProxyRun(proxyHost, proxyPort);
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
            http_.Reset();
            view_.ShowFetching(false);
            return;
        }
        if (http_.Connected()) http_.Reset();
        const std::string url = std::string("http://") + kUpdateHost + "/karedona/" + name;
        UseProxyFor(url);
        if (Cancelled() || Application::Terminated()) continue;  // cancelled while the system's proxy was looked up
        // Tells the server which program asks and from which version it updates.
        http_.SetUserAgent(std::string("KarUpdt/") + kUpdateVersion + " (from " + target_.oldVersion + ")");
        currentFile_ = name;
        serverReached_ = false;
        fileReported_ = false;
        const int countedBefore = count_;
        http_.SetLocalFile(staging_.Path() + name);
        http_.SetTimeLimit(TimeLimitFor(name));
        // A file that failed without a message of its own is reported with the component's
        // words. A server or proxy that cannot be reached at all (no such name, refused, no answer
        // to the connection) would fail every other file the same way: one message is enough, and
        // the run stops.
        const auto goesOn = [&](const std::exception& error) {
            if (!Cancelled() && !fileReported_)
                view_.ShowError("通信エラーが発生しました[0]\r\r" + name + "\r\r" + error.what());
            return serverReached_;
        };
        try {
            GetWithProxyLogon(url);
            const bool counted = run_ == RunState::HandedOver || count_ > countedBefore;
            if (!counted && !fileReported_ && !Cancelled() && !Application::Terminated())
                (lengthAnnounced_ && contentLength_ == 0 ? empty : unannounced).push_back(name);
        } catch (const EnxHTTP& error) {
            // A server that sends the files elsewhere (to HTTPS, say) does so for every file: one
            // message that says so, and the run stops. The program does not follow redirections.
            if (error.Code() >= 300 && error.Code() < 400 && !redirectLocation_.empty()) {
                if (!Cancelled())
                    view_.ShowError(FailureText(
                        {"更新サーバーがファイル \"" + name + "\" を別の場所へ転送しようとしました [" +
                             std::to_string(error.Code()) + "]。",
                         "転送先: " + redirectLocation_, std::nullopt,
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
    if (run_ == RunState::Fetching) run_ = RunState::Idle;
    if (run_ != RunState::HandedOver && !Application::Terminated()) {
        view_.ShowFetching(false);
        if (!Cancelled()) view_.ShowMessage(kPressStartMessage);
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
            view_.ShowError(FailureText({text, "", ProductState::Unchanged}));
        }
    }
}

void Download::ForgetAnswer() {
    contentLength_ = kUnknownLength;
    lengthAnnounced_ = false;
    // A file counts only when its own transfer ends complete: a request that fails before its
    // body starts must not be counted on the strength of the file or answer before it.
    if (file_ == FileState::Complete) file_ = FileState::Waiting;
    receivedBytes_ = 0;
    redirectLocation_.clear();
}

void Download::Cancel() {
    run_ = RunState::Cancelled;
    if (http_.Connected()) {
        http_.Interrupt();
        http_.Reset();
    }
}

void Download::Header(const std::string& field, const std::string& value) {
    if (EqualsIgnoringCase(field, "LOCATION")) redirectLocation_ = value;
    if (EqualsIgnoringCase(field, "PROXY-AUTHENTICATE")) proxyChallenges_.push_back(value);
    if (Cancelled() || !EqualsIgnoringCase(field, "CONTENT-LENGTH")) return;
    const std::optional<long long> length = ParseDecimalInteger(value);
    if (!length) throw NotAnInteger(value);
    contentLength_ = *length;
    lengthAnnounced_ = true;
}

void Download::StopAsNotFromVendor(const std::string& reason) {
    if (sizeRefusal_.empty()) sizeRefusal_ = reason;
    http_.Interrupt();
}

void Download::StartTransfer() {
    file_ = FileState::Receiving;
    view_.ShowProgress(0, "");
    view_.ShowMessage("アップデートコンポーネントのダウンロード...");
    // A pinned file announced with another length is not the vendor's: stopped before a byte of
    // its body is written, and reported in the words of a file that arrived with that size. Judged
    // here, where the file's own body starts: a proxy's 407 or a server's 404 announces the length
    // of its own page.
    if (const PinnedFile* pinned = PinnedFileNamed(currentFile_);
        pinned && lengthAnnounced_ && !Cancelled() && static_cast<unsigned long long>(contentLength_) != pinned->size)
        StopAsNotFromVendor("大きさが " + std::to_string(contentLength_) + " バイトです (配布元のファイルは " +
                            std::to_string(pinned->size) + " バイト)。");
}

void Download::Transfer(std::int32_t bytesTransferred) {
    if (!Cancelled()) {
        receivedBytes_ = bytesTransferred;
        // In 64 bits, so that files above 21 MB show the right share too.
        const long long percent =
            contentLength_ > 0 ? static_cast<long long>(bytesTransferred) * 100 / contentLength_ : 0;
        view_.ShowProgress(static_cast<int>(percent), std::to_string(bytesTransferred) + "/" +
                                                          std::to_string(contentLength_) + " Bytes Completion");
        // A body that goes on past the pinned size (sent in chunks or without a length) is stopped
        // as soon as it does.
        if (const PinnedFile* pinned = PinnedFileNamed(currentFile_);
            pinned && static_cast<unsigned long long>(bytesTransferred) > pinned->size)
            StopAsNotFromVendor("配布元のファイルの大きさ (" + std::to_string(pinned->size) +
                                " バイト) を超えて送られてきました。");
    }
}

void Download::EndTransfer() {
    if (!Cancelled()) view_.ShowCounter(std::to_string(contentLength_) + " Bytes Completed");
    // Without an announced length nothing tells whether the whole file came, whatever the count.
    // An empty file is no component at all: installed, it would replace a file with nothing.
    if (lengthAnnounced_ && receivedBytes_ == contentLength_ && contentLength_ > 0) {
        file_ = FileState::Complete;
        return;
    }
    file_ = FileState::Waiting;
    ShowFileDropped();
    receivedBytes_ = 0;
}

void Download::ShowFileDropped() {
    view_.ShowMessage(kPressStartMessage);
    view_.ShowProgress(0, "");
}

void Download::Error(std::int32_t errorCode, const std::string& description) {
    if (file_ == FileState::Complete) file_ = FileState::Waiting;
    fileReported_ = true;
    if (Cancelled()) return;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "[" + std::to_string(...).
    std::string text = "[";
    text += std::to_string(errorCode);
    text += ']';
    text += description;
    view_.ShowError(text);
}

void Download::Disconnected() {
    // A build for a pinned package counts only the vendor's own bytes: a transfer stopped for its
    // length, or a file that arrived and differs.
    std::optional<std::string> mismatch;
    if (!sizeRefusal_.empty()) {
        mismatch = std::exchange(sizeRefusal_, std::string());
    } else {
        if (file_ != FileState::Complete) return;
        mismatch = PinnedMismatch(currentFile_, staging_.Path() + currentFile_);  // the file is closed by now
    }
    if (mismatch) {
        file_ = FileState::Waiting;
        fileReported_ = true;
        DeleteFetchedFile(staging_.Path() + currentFile_);  // ignored when it fails: a next run overwrites it
        ShowFileDropped();
        view_.ShowError(FailureText({"ファイル \"" + currentFile_ + "\" の内容は配布元のものではありません。",
                                     *mismatch + "\rダウンロードしたファイルは削除しました。", ProductState::Unchanged,
                                     "しばらくしてから、もう一度アップデートを開始してください。"}));
        return;
    }
    ++count_;
    if (count_ == Total()) {
        view_.HandOver();
        count_ = 0;
        run_ = RunState::HandedOver;
    }
}
