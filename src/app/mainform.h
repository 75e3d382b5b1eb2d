#pragma once
// The updater's one window: the installed and new versions, a message line, a progress bar with a
// byte counter, the start button (replaced by a cancel button while files are fetched) and the
// proxy settings menu. The window finds what the update works on, drives the download and the
// installation, and shows what they report.

#include "ui/button.h"
#include "ui/form.h"
#include "ui/label.h"
#include "ui/main_menu.h"
#include "ui/progress_bar.h"
#include "nx/nxhttp.h"
#include "download.h"
#include "installation.h"
#include "staging.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct TMainFormProbe;

class TMainForm : public Form, private InstallationView, private DownloadView {
public:
    // Posted to the window when the last expected download has completed: starts the installation.
    static constexpr UINT kExpandStartMessage = WM_USER + 101;

    // Control and menu item ids.
    enum : int {
        kMsgLabelId = 101,
        kProgressBarId,
        kProgressLabelId,
        kOldVerLabelId,
        kNewVerLabelId,
        kDownLoadButtonId,
        kCancelButtonId,
        kProxyIPMenuId = 201,
        kProxyPortMenuId,
    };

    // Creates the window, hidden, and runs FormCreate.
    TMainForm();
    ~TMainForm() override;

    // What the installation into `installPath` (work folder `workPath`) may replace and create, for
    // checking a journal left by an installation that was cut short.
    JournalScope InstallationScope(const std::string& installPath, const std::string& workPath) const;

    // The run's own folder for everything it downloads, expands and runs.
    StagingFolder& Staging() { return Staging_; }

    // The three values the start-up checks find.
    void SetInstallation(const std::string& installPath, const std::string& workPath, const std::string& oldVersion);

    Label MsgLabel;
    ::ProgressBar ProgressBar;
    Label ProgressLabel;
    Label OldVerLabel;
    Label NewVerLabel;
    Button DownLoadButton;
    Button CancelButton;
    MainMenu MainMenu1;
    HMENU N1 = nullptr;
    // Created with the window; its creation fails, and so the window's, when no engine is ready.
    TnxHTTP nxHTTP;

protected:
    void Activated() override { FormActivate(); }
    bool HandleUserMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    friend struct TMainFormProbe;

    void CreateControls();
    void FormCreate();
    void FormActivate();
    // DOWNLOAD.INI: read at creation; the menu commands change a value and write the file again.
    void ReadInitFile();
    void ProxyIPMenuClick();
    void ProxyPortMenuClick();
    // Writes both values to DOWNLOAD.INI, replacing it; throws the file-creation error.
    void WriteInitFile();
    // Decides where an ImageKit control lives: "<Program Files>\<folderName>\" unless that folder
    // is missing and the System folder holds `controlName`.
    std::string ImageKitFolder(const char* folderName, const char* controlName) const;
    // The download: the start and cancel buttons and the transfer component's events, passed on
    // to the Download.
    void BindTransferEvents();
    void DownLoadButtonClick();
    void CancelButtonClick();
    void nxHTTPHeader(const std::string& Field, const std::string& Value);
    void nxHTTPStartTransfer();
    void nxHTTPTransfer(std::int32_t BytesTransferred);
    void nxHTTPEndTransfer();
    void nxHTTPError(std::int32_t ErrorCode, const std::string& Description);
    void nxHTTPDisconnected();
    // What the download shows and asks (DownloadView).
    void ShowProgress(int percent, const std::string& counter) override;
    void ShowCounter(const std::string& counter) override;
    void ShowFetching(bool fetching) override;
    void ShowError(const std::string& text) override;
    bool AskProxyLogon(const std::string& prompt, std::string& user, std::string& password) override;
    void HandOver() override;
    // The download's progress is painted at most once a frame: what it reports within a frame of
    // the last paint waits for a timer, and only its latest state is painted then. On a fast line
    // a file starts, arrives and ends within one frame, where a paint of each state would cost more
    // than the file, and the screen would show no more than the last of them anyway.
    void PaintProgressSoon();
    // Paints what the download reported last and is not painted yet; before anything else shows.
    void PaintProgress();

    // Message 1125: the whole installation, then the end of the program.
    void ExpandStartMessage();
    void Unpress();
    // What the installation shows and asks (InstallationView); the message line for both.
    void ShowMessage(const std::string& text) override;
    void ShowStep(int step) override;
    bool ProductEnded() override;
    // Step n of the installation: "n / total" and the bar at n / total.
    void SetStep(int step);

    std::string IniFileName;
    std::string ProxyIP;
    std::uint16_t ProxyPort = 0;
    // What the update works on: the folders, versions and ImageKit state found at start-up.
    InstallationTarget Target;
    StagingFolder Staging_;
    Download Download_{nxHTTP, Staging_, Target, *this};
    // The download's progress not painted yet, and when it was last painted.
    std::optional<int> ProgressPercent;
    std::optional<std::string> ProgressCounter;
    bool ProgressTimer = false;
    std::chrono::steady_clock::time_point ProgressPainted;
};
