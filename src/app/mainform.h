#pragma once
// The updater's one window: the installed and new versions, a message line, a progress bar with a
// byte counter, the start button (replaced by a cancel button while files are fetched) and the
// proxy settings menu. The window holds the state of the download and drives the installation.

#include "ui/button.h"
#include "ui/form.h"
#include "ui/label.h"
#include "ui/main_menu.h"
#include "ui/progress_bar.h"
#include "nx/nxhttp.h"
#include "installation.h"
#include "staging.h"
#include "system_proxy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TMainFormProbe;

class TMainForm : public Form, private InstallationView {
public:
    static constexpr const char* kPressStartMessage = "[アップデート開始]をクリックして作業を開始してください。";

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
    // The proxy of the next request: DOWNLOAD.INI's when it names one, else the system's for
    // `url` (looked up once a run), set on the component and shown on the status line.
    void StartProxyRun();
    void UseProxyFor(const std::string& url);
    // Get through a proxy that asks who the user is: a 407 answer (after the user's own logon of
    // Windows, when the proxy offers one and refused it) asks for a name and password (once a run,
    // again when refused) and sends the request again; a refusal, a cancel or a scheme that cannot
    // be used ends with one message and rethrows the failure.
    void GetWithProxyLogon(const std::string& url);
    bool AskProxyLogon(bool refused, bool unusable);
    // Decides where an ImageKit control lives: "<Program Files>\<folderName>\" unless that folder
    // is missing and the System folder holds `controlName`.
    std::string ImageKitFolder(const char* folderName, const char* controlName) const;
    // The download: the start and cancel buttons and the transfer component's events.
    void BindTransferEvents();
    bool Selected(int index) const;  // entry `index` of the component list is fetched in this run
    int SelectedCount() const;       // how many entries this run fetches
    void ShowStartButton();
    void DownLoadButtonClick();
    // Forgets what the answer to the last request told (its length, its Location, its count),
    // before each request of a file.
    void ForgetAnswer();
    void CancelButtonClick();
    void nxHTTPHeader(const std::string& Field, const std::string& Value);
    void nxHTTPStartTransfer();
    void nxHTTPTransfer(std::int32_t BytesTransferred);
    void nxHTTPEndTransfer();
    void nxHTTPError(std::int32_t ErrorCode, const std::string& Description);
    void nxHTTPDisconnected();
    // Stops the current transfer of a pinned file as not the vendor's; `reason` is shown with the
    // file's name when its connection closes.
    void StopAsNotFromVendor(const std::string& reason);

    // Message 1125: the whole installation, then the end of the program.
    void ExpandStartMessage();
    void Unpress();
    // What the installation works on: the folders, versions and ImageKit state found at start-up.
    InstallationTarget Target() const;
    // What the installation shows and asks (InstallationView).
    void ShowMessage(const std::string& text) override;
    void ShowStep(int step) override;
    bool ProductEnded() override;
    // Step n of the installation: "n / total" and the bar at n / total.
    void SetStep(int step);

    std::string InstallPath;
    std::string WorkPath;
    std::string OldVersion;
    std::string IniFileName;
    std::string ProxyIP;
    std::uint16_t ProxyPort = 0;
    std::string ImageKit5Path;
    std::string ImageKit6Path;
    bool ImageKit5Current = false;
    bool ImageKit6Present = false;
    int DownloadTotal = 0;
    int DownloadCount = 0;
    // Where the update run stands.
    enum class RunState {
        Idle,        // no run, or one that ended without handing over
        Fetching,    // the start button was pressed: the files are being fetched
        Cancelled,   // cancelled (the button, or the window closed) while fetching: the transfer's
                     // events are ignored from then on, until the next start
        HandedOver,  // every file arrived: the installation has been posted
        Installing,  // the installation runs: the window must not close under it
    };
    RunState Run = RunState::Idle;
    bool Cancelled() const { return Run == RunState::Cancelled; }
    // Where the transfer of the current file stands.
    enum class FileState {
        Waiting,    // no body is being received (none yet, or the last ended incomplete)
        Receiving,  // its body started and has not ended
        Complete,   // its body ended complete: it counts once its connection has closed
    };
    FileState File = FileState::Waiting;
    long long ReceivedBytes = 0;
    long long ContentLength = 0;
    // The current answer announced its length.
    bool LengthAnnounced = false;
    // The component being fetched, as named on the server.
    std::string CurrentFile;
    // The current request got a connection to the server or the proxy.
    bool ServerReached = false;
    // A message about the current file has been shown.
    bool FileReported = false;
    // Why the current transfer was stopped as not the vendor's file (its announced length or its
    // body's length differs from the pinned size); shown when its connection closes.
    std::string SizeRefusal;
    // The Location header of the current answer, if it had one.
    std::string RedirectLocation;
    // The system's proxy for this run, once looked up (its host empty: direct); "host:port" of the
    // proxy the current request goes through (empty: direct).
    std::optional<SystemProxy> SystemProxyFound;
    std::string CurrentProxy;
    // The schemes that the proxy's 407 answer offered (Proxy-Authenticate values).
    std::vector<std::string> ProxyChallenges;
    // A name and password for the proxy `ProxyLogonFor`, in memory only; how often they were asked
    // for in this run.
    std::string ProxyLogonFor;
    std::string ProxyLogonUser;
    std::string ProxyLogonPassword;
    int ProxyLogonAsks = 0;
    StagingFolder Staging_;
    // The staging folder, ending with "\": downloads and expansions go there.
    const std::string& StagePath() const { return Staging_.Path(); }
};
