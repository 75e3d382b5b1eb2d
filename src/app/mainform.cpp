#include "mainform.h"

#include "pinned_archiver.h"
#include "product.h"
#include "ui/application.h"
#include "ui/logon_query.h"
#include "ui/message_dialog.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/scope_exit.h"
#include "util/text.h"
#include "util/version.h"

#include <utility>

namespace {

constexpr int kClientWidth = 369;
constexpr int kClientHeight = 104;
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
// A frame of the screen at 60 Hz, as often as the transfer component reports at most.
constexpr auto kFrame = std::chrono::milliseconds(16);
constexpr UINT_PTR kProgressTimerId = 1;

}  // namespace

TMainForm::TMainForm() {
    SetFont(MakeFont(L"ＭＳ ゴシック", SHIFTJIS_CHARSET, 12));
    N1 = MainMenu1.AddTopItem("設定");
    MainMenu1.AddItem(*this, N1, kProxyIPMenuId, "プロキシ IP", [this] { ProxyIPMenuClick(); });
    MainMenu1.AddItem(*this, N1, kProxyPortMenuId, "プロキシ Port", [this] { ProxyPortMenuClick(); });
    CreateHandle(L"TMainForm", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, 0, MainMenu1.Handle());
    if (!Handle()) throw Exception("ウィンドウを作成できません");
    MainMenu1.AttachedToWindow();
    CreateControls();
    BindTransferEvents();
    Guarded([this] { FormCreate(); });
}

TMainForm::~TMainForm() { Destroy(); }

void TMainForm::CreateControls() {
    // Created in tab order: the start button, the progress bar, the cancel button; then the labels.
    DownLoadButton.Create(*this, kDownLoadButtonId, 250, 72, 111, 25, "アップデート開始",
                          [this] { DownLoadButtonClick(); });
    ProgressBar.Create(*this, kProgressBarId, 8, 26, 353, 16);
    CancelButton.Create(*this, kCancelButtonId, 250, 72, 111, 25, "ｷｬﾝｾﾙ", [this] { CancelButtonClick(); });
    MsgLabel.Create(*this, kMsgLabelId, 8, 10, 0, "XXX");
    ProgressLabel.Create(*this, kProgressLabelId, 295, 46, 66, "XXXXXXXXXXX", Alignment::Right);
    OldVerLabel.Create(*this, kOldVerLabelId, 8, 70, 0, "OldVer");
    NewVerLabel.Create(*this, kNewVerLabelId, 8, 86, 0, "NewVer");
    SetTextColor(OldVerLabel.Handle(), kBlack);
    SetTextColor(NewVerLabel.Handle(), kBlue);
}

void TMainForm::SetInstallation(const std::string& installPath, const std::string& workPath,
                                const std::string& oldVersion) {
    Target.installPath = installPath;
    Target.workPath = workPath;
    Target.oldVersion = oldVersion;
}

void TMainForm::FormCreate() {
    CancelButton.SetVisible(false);
    DownLoadButton.SetVisible(true);

    IniFileName = ReadInstallationPath(ProductSettingsFolder()).value_or("") + "DOWNLOAD.INI";
    ReadInitFile();

    SetClientSize(kClientWidth, kClientHeight);
    SetCaption(std::string("【カレドナ】自動アップデートプログラム Ver") + kUpdateVersion);
    ProgressLabel.SetText("");
    OldVerLabel.SetText("");
    NewVerLabel.SetText("");
    DownLoadButton.SetEnabled(false);

    // ImageKit 5 is current only in the one version the product needs; a control whose version
    // cannot be read is not current and is installed again.
    Target.imageKit5Path = ImageKitFolder("imagekit5\\", "ImgKit5.ocx");
    const std::string imageKit5 = Target.imageKit5Path + "ImgKit5.ocx";
    bool current = false;
    if (FileExists(imageKit5)) {
        try {
            current = CompareVersionText(GetFileVersionText(imageKit5, VersionKey::FileVersion), "2,1,0,16") == 0;
        } catch (const Exception&) {
            current = false;
        }
    }
    Target.imageKit5Current = current;

    // ImageKit 6 counts when it is there at all.
    Target.imageKit6Path = ImageKitFolder("imagekit6\\", "ImgKit6.ocx");
    Target.imageKit6Present = FileExists(Target.imageKit6Path + "ImgKit6.ocx");
}

std::string TMainForm::ImageKitFolder(const char* folderName, const char* controlName) const {
    const std::string underProgramFiles = GetProgramFilesFolder(Handle()) + folderName;
    if (FolderExists(underProgramFiles)) return underProgramFiles;
    const std::string system = WithTrailingBackslash(GetSystemFolder());
    if (FileExists(system + controlName)) return system;
    return underProgramFiles;
}

void TMainForm::FormActivate() {
    SetEnabled(false);
    const ScopeExit enableAgain([this] { SetEnabled(true); });

    OldVerLabel.SetText("現在バージョン = " + Target.oldVersion);
    NewVerLabel.SetText(std::string("アップデートバージョン = ") + kUpdateVersion);

    // The archiver library is loaded from the program's folder, the System folder or the Windows
    // folder: the installation's copy is put where a later run finds it. The installation folder
    // is open to every user, so only a library this build pins is copied, exactly the bytes that
    // were checked; anything else is left where it is, silently, as for a copy that fails.
    const std::string ownFolder = GetProgramFolder();
    if (ArchiverPinned() && !FileExists(ownFolder + "UNLHA32.DLL")) {
        if (const auto archiver = ReadPinnedArchiver(ExtractFolderPart(Target.installPath) + "UNLHA32.DLL")) {
            if (!WriteWholeFile(WithTrailingBackslash(GetWindowsFolder()) + "UNLHA32.DLL", *archiver))
                WriteWholeFile(ownFolder + "UNLHA32.DLL", *archiver);  // ignored, as the first
        }
    }

    DownLoadButton.SetEnabled(true);
    ProgressLabel.SetText("");
    MsgLabel.SetText(kPressStartMessage);
}

bool TMainForm::HandleUserMessage(UINT message, WPARAM, LPARAM) {
    if (message != kExpandStartMessage) return false;
    ExpandStartMessage();
    return true;
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kProgressTimerId) {
        PaintProgress();
        return 0;
    }
    // Closing the window during a download stops the transfer at once instead of letting it run on
    // behind a window that is gone.
    // Ending the session in the middle of the installation would leave the product half replaced.
    const bool installing = Download_.State() == Download::RunState::Installing;
    if (message == WM_QUERYENDSESSION && installing) return FALSE;
    if (message == WM_CLOSE) {
        // Half an installation would leave the product broken: the window stays until it ends.
        if (installing) return 0;
        Download_.Cancel();
    }
    return Form::HandleMessage(message, wParam, lParam);
}

void TMainForm::DownLoadButtonClick() { Download_.Start(ProxyIP, ProxyPort); }

void TMainForm::CancelButtonClick() { Download_.Cancel(); }

void TMainForm::nxHTTPHeader(const std::string& Field, const std::string& Value) { Download_.Header(Field, Value); }

void TMainForm::nxHTTPStartTransfer() { Download_.StartTransfer(); }

void TMainForm::nxHTTPTransfer(std::int32_t BytesTransferred) { Download_.Transfer(BytesTransferred); }

void TMainForm::nxHTTPEndTransfer() { Download_.EndTransfer(); }

void TMainForm::nxHTTPError(std::int32_t ErrorCode, const std::string& Description) {
    Download_.Error(ErrorCode, Description);
}

void TMainForm::nxHTTPDisconnected() { Download_.Disconnected(); }

void TMainForm::BindTransferEvents() {
    nxHTTP.SetFirewallPort(80);
    nxHTTP.OnConnected = [this](TnxHTTP&, std::int32_t, const std::string&) { Download_.Connected(); };
    nxHTTP.OnDisconnected = [this](TnxHTTP&, std::int32_t, const std::string&) { nxHTTPDisconnected(); };
    nxHTTP.OnEndTransfer = [this](TnxHTTP&, std::int32_t) { nxHTTPEndTransfer(); };
    nxHTTP.OnError = [this](TnxHTTP&, std::int32_t code, const std::string& text) { nxHTTPError(code, text); };
    nxHTTP.OnHeader = [this](TnxHTTP&, const std::string& field, const std::string& value) {
        nxHTTPHeader(field, value);
    };
    nxHTTP.OnStartTransfer = [this](TnxHTTP&, std::int32_t) { nxHTTPStartTransfer(); };
    nxHTTP.OnTransfer = [this](TnxHTTP&, std::int32_t, std::int32_t bytes, std::string_view) { nxHTTPTransfer(bytes); };
}

void TMainForm::ShowMessage(const std::string& text) { MsgLabel.SetText(text); }

void TMainForm::ShowProgress(int percent, const std::string& counter) {
    ProgressPercent = percent;
    ProgressCounter = counter;
    PaintProgressSoon();
}

void TMainForm::ShowCounter(const std::string& counter) {
    ProgressCounter = counter;
    PaintProgressSoon();
}

void TMainForm::PaintProgressSoon() {
    if (ProgressTimer) return;  // the timer paints it
    const auto since = std::chrono::steady_clock::now() - ProgressPainted;
    if (since >= kFrame) {
        PaintProgress();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(kFrame - since);
    ProgressTimer = SetTimer(Handle(), kProgressTimerId, static_cast<UINT>(wait.count()), nullptr) != 0;
    if (!ProgressTimer) PaintProgress();
}

void TMainForm::PaintProgress() {
    if (ProgressTimer) KillTimer(Handle(), kProgressTimerId);
    ProgressTimer = false;
    if (!ProgressPercent && !ProgressCounter) return;
    // Each paints at once, and only when it changes.
    if (ProgressPercent) ProgressBar.SetPosition(*std::exchange(ProgressPercent, std::nullopt));
    if (ProgressCounter) ProgressLabel.SetText(*std::exchange(ProgressCounter, std::nullopt));
    ProgressPainted = std::chrono::steady_clock::now();
}

void TMainForm::ShowFetching(bool fetching) {
    PaintProgress();
    if (fetching) {
        CancelButton.ShowInstead(DownLoadButton);
    } else {
        DownLoadButton.ShowInstead(CancelButton);
    }
}

void TMainForm::ShowError(const std::string& text) {
    PaintProgress();
    ::ShowError(text);
}

bool TMainForm::AskProxyLogon(const std::string& prompt, std::string& user, std::string& password) {
    PaintProgress();
    return LogonQuery("プロキシの認証", prompt, user, password);
}

void TMainForm::HandOver() {
    PaintProgress();
    PostMessageW(Handle(), kExpandStartMessage, 0, 0);
}
