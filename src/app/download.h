#pragma once
// The download of an update, with no window of its own: fetches the components this run needs, one
// after another, into the staging folder, through the proxy that DOWNLOAD.INI or the system names
// (asking for a name and password when the proxy wants one), judges each file as it arrives, and
// hands over to the installation once every file has arrived complete. What it shows and asks goes
// through DownloadView; the window passes it the transfer component's events.

#include "installation.h"
#include "nx/nxhttp.h"
#include "staging.h"
#include "system_proxy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The message line when the program waits for the start button.
inline constexpr const char* kPressStartMessage = "[アップデート開始]をクリックして作業を開始してください。";

// What the download shows and asks while it runs.
class DownloadView {
public:
    virtual ~DownloadView() = default;
    virtual void ShowMessage(const std::string& text) = 0;  // the message line
    // The progress bar at `percent` and the byte counter's text.
    virtual void ShowProgress(int percent, const std::string& counter) = 0;
    // The byte counter alone, painted at once.
    virtual void ShowCounter(const std::string& counter) = 0;
    // The cancel button instead of the start button while `fetching`, else the start button again.
    virtual void ShowFetching(bool fetching) = 0;
    virtual void ShowError(const std::string& text) = 0;
    // Asks for the proxy's name and password (`user` filled in with the last one); false when the
    // user cancels.
    virtual bool AskProxyLogon(const std::string& prompt, std::string& user, std::string& password) = 0;
    // Every file has arrived: the installation is to start once the current event has returned.
    virtual void HandOver() = 0;
};

class Download {
public:
    // Where the update run stands.
    enum class RunState {
        Idle,        // no run, or one that ended without handing over
        Fetching,    // the start button was pressed: the files are being fetched
        Cancelled,   // cancelled (the button, or the window closed) while fetching: the transfer's
                     // events are ignored from then on, until the next start
        HandedOver,  // every file arrived: the installation has been posted
        Installing,  // the installation runs: the window must not close under it
    };
    // Where the transfer of the current file stands.
    enum class FileState {
        Waiting,    // no body is being received (none yet, or the last ended incomplete)
        Receiving,  // its body started and has not ended
        Complete,   // its body ended complete: it counts once its connection has closed
    };

    // The files go into `staging`; which are fetched follows the ImageKit state of `target`, read
    // when the run starts.
    Download(TnxHTTP& http, StagingFolder& staging, const InstallationTarget& target, DownloadView& view);
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    // How many files this run fetches.
    int Total() const;
    RunState State() const { return run_; }
    FileState File() const { return file_; }
    long long ReceivedBytes() const { return receivedBytes_; }
    long long ContentLength() const { return contentLength_; }

    // The start button: fetches the files through DOWNLOAD.INI's proxy `proxyHost`:`proxyPort`, or
    // the system's when `proxyHost` is empty. Returns when the run has ended or handed over.
    void Start(const std::string& proxyHost, std::uint16_t proxyPort);
    // The cancel button, or the window closed while fetching: the transfer stops at once.
    void Cancel();
    // The installation runs from its start to its end.
    void InstallationStarts() { run_ = RunState::Installing; }
    void InstallationEnded() { run_ = RunState::Idle; }

    // The transfer component's events.
    void Connected() { serverReached_ = true; }
    void Header(const std::string& field, const std::string& value);
    void StartTransfer();
    void Transfer(std::int32_t bytesTransferred);
    void EndTransfer();
    void Error(std::int32_t errorCode, const std::string& description);
    void Disconnected();

private:
    bool Cancelled() const { return run_ == RunState::Cancelled; }
    bool Selected(int index) const;  // entry `index` of the component list is fetched in this run
    // Forgets what the answer to the last request told (its length, its Location, its count),
    // before each request of a file.
    void ForgetAnswer();
    // Stops the current transfer of a pinned file as not the vendor's; `reason` is shown with the
    // file's name when its connection closes.
    void StopAsNotFromVendor(const std::string& reason);
    // Back to the start message with the bar and counter empty, after a file that did not count.
    void ShowFileDropped();

    // The proxy of the next request: DOWNLOAD.INI's when it names one, else the system's for
    // `url` (looked up once a run), set on the component and shown on the message line; whether
    // the component may log on to it as the user who runs the program (a proxy that this
    // computer's own settings name only).
    void StartProxyRun(const std::string& proxyHost, std::uint16_t proxyPort);
    void UseProxyFor(const std::string& url);
    // Get through a proxy that asks who the user is: a 407 answer (after the user's own logon of
    // Windows, when the proxy offers one, may have it, and refused it) asks for a name and password (once a run,
    // again when refused) and sends the request again; a refusal, a cancel or a scheme that cannot
    // be used ends with one message and rethrows the failure.
    void GetWithProxyLogon(const std::string& url);
    bool AskProxyLogon(bool refused, bool unusable);

    TnxHTTP& http_;
    StagingFolder& staging_;
    const InstallationTarget& target_;
    DownloadView& view_;

    RunState run_ = RunState::Idle;
    FileState file_ = FileState::Waiting;
    int count_ = 0;  // files of this run that arrived complete
    long long receivedBytes_ = 0;
    long long contentLength_ = 0;
    // The current answer announced its length.
    bool lengthAnnounced_ = false;
    // The component being fetched, as named on the server.
    std::string currentFile_;
    // The current request got a connection to the server or the proxy.
    bool serverReached_ = false;
    // A message about the current file has been shown.
    bool fileReported_ = false;
    // Why the current transfer was stopped as not the vendor's file (its announced length or its
    // body's length differs from the pinned size); shown when its connection closes.
    std::string sizeRefusal_;
    // The Location header of the current answer, if it had one.
    std::string redirectLocation_;

    // DOWNLOAD.INI's proxy for this run (host empty: none named).
    std::string proxyHost_;
    std::uint16_t proxyPort_ = 0;
    // The system's proxy for this run, once looked up (its host empty: direct); "host:port" of the
    // proxy the current request goes through (empty: direct).
    std::optional<SystemProxy> systemProxyFound_;
    std::string currentProxy_;
    // The schemes that the proxy's 407 answer offered (Proxy-Authenticate values).
    std::vector<std::string> proxyChallenges_;
    // A name and password for the proxy `proxyLogonFor_`, in memory only, kept for the program's
    // run; how often they were asked for in this update run.
    std::string proxyLogonFor_;
    std::string proxyLogonUser_;
    std::string proxyLogonPassword_;
    int proxyLogonAsks_ = 0;
};
