// The proxy of the download's requests: DOWNLOAD.INI's, else the system's. A proxy that asks who
// the user is (407): after the user's own logon of Windows, which the component tries by itself for
// a proxy that this computer's own settings name, a name and password asked in a dialog, kept in
// memory for the program's run only and sent to that proxy alone. A proxy of DOWNLOAD.INI (a file
// that any user of the workstation may write) or one that automatic detection found (which anybody
// on the network may answer) is never given the logon of the user who runs the program, an
// administrator: it gets the dialog at once.
#include "download.h"
#include "user_failure.h"

#include "ui/application.h"
#include "util/text.h"

#include <windows.h>

namespace {

// The scheme name at the start of a Proxy-Authenticate value ("Basic realm=...").
std::string SchemeOf(const std::string& challenge) {
    const size_t end = challenge.find_first_of(" \t,");
    return challenge.substr(0, end);
}

}  // namespace

void Download::StartProxyRun(const std::string& proxyHost, std::uint16_t proxyPort) {
    proxyHost_ = proxyHost;
    proxyPort_ = proxyPort;
    systemProxyFound_.reset();
    proxyLogonAsks_ = 0;
}

void Download::UseProxyFor(const std::string& url) {
    std::string host = proxyHost_;
    std::uint16_t port = proxyPort_;
    bool logonAsUser = false;
    if (proxyHost_.empty()) {
        // DOWNLOAD.INI names no proxy: the one the system's settings give, never written to the file.
        std::optional<SystemProxy> system = systemProxyFound_;
        if (!system) {
            system = FindSystemProxy(url, [this] {
                Application::ProcessMessages();
                return !Cancelled() && !Application::Terminated();
            });
            // Kept for the rest of the run, unless a cancel cut the lookup short.
            if (!Cancelled()) systemProxyFound_ = system;
        }
        if (!system->host.empty()) {
            host = system->host;
            port = system->port;
            logonAsUser = system->configured;
            view_.ShowMessage("プロキシ " + host + ":" + std::to_string(port) + " (" + system->source +
                              ") を経由して接続しています...");
        }
    }
    http_.SetProxyServer(host);
    http_.SetProxyPort(port);
    http_.SetProxyLogonAsUser(logonAsUser);
    currentProxy_ = host.empty() ? std::string() : host + ":" + std::to_string(port);
}

void Download::GetWithProxyLogon(const std::string& url) {
    for (;;) {
        const bool sending = !currentProxy_.empty() && proxyLogonFor_ == currentProxy_ && !proxyLogonUser_.empty();
        // Given only to the proxy they were entered for; the engine puts them in requests to a
        // proxy, never in one to the server. Without them the component logs on to a proxy that
        // asks for a logon of Windows as the user who runs the program, where UseProxyFor allowed it.
        http_.SetProxyUser(sending ? proxyLogonUser_ : "");
        http_.SetProxyPassword(sending ? proxyLogonPassword_ : "");
        proxyChallenges_.clear();
        ForgetAnswer();  // a 407 before announced the length of its own page
        try {
            http_.Get(url);
            return;
        } catch (const EnxHTTP& error) {
            // 407: the proxy wants a name and password, or refused them or the user's logon. The
            // other code: it asks only for schemes that this computer cannot use.
            const bool unusable = error.Code() == nx::http_ids::errUnsupported;
            if ((error.Code() != 407 && !unusable) || proxyChallenges_.empty() || currentProxy_.empty() || Cancelled())
                throw;
            if (!AskProxyLogon(sending, unusable)) {
                // Said once: the other files would meet the same proxy.
                fileReported_ = true;
                serverReached_ = false;
                throw;
            }
            if (http_.Connected()) http_.Reset();
        }
    }
}

bool Download::AskProxyLogon(bool refused, bool unusable) {
    bool known = false;  // a scheme for which a name and password can be asked
    std::string offered;
    for (const std::string& challenge : proxyChallenges_) {
        const std::string scheme = SchemeOf(challenge);
        known = known || EqualsIgnoringCase(scheme, "Basic") || EqualsIgnoringCase(scheme, "NTLM") ||
                EqualsIgnoringCase(scheme, "Negotiate");
        offered += (offered.empty() ? "" : ", ") + scheme;
    }
    // Each ends the run before anything was changed.
    const auto stop = [this](std::string what) {
        view_.ShowError(FailureText({std::move(what), "ダウンロードを中止します。", ProductState::Unchanged}));
        return false;
    };
    if (unusable)
        return stop("プロキシ " + currentProxy_ + " が求める認証方式 (" + offered +
                    ") をこのコンピューターでは使用できません。");
    if (!known) return stop("プロキシ " + currentProxy_ + " が求める認証方式 (" + offered + ") には対応していません。");
    if (proxyLogonAsks_ >= 3)
        return stop("プロキシ " + currentProxy_ + " がユーザー名とパスワードを受け付けませんでした。");
    ++proxyLogonAsks_;
    std::string user = proxyLogonFor_ == currentProxy_ ? proxyLogonUser_ : std::string();
    std::string password;
    const std::string prompt = std::string(refused ? "ユーザー名またはパスワードが違います。\r" : "") + "プロキシ " +
                               currentProxy_ + " がユーザー名とパスワードを求めています。";
    if (!view_.AskProxyLogon(prompt, user, password)) {
        view_.ShowError(
            FailureText({"プロキシの認証が取り消されました。ダウンロードを中止します。", "", ProductState::Unchanged}));
        return false;
    }
    proxyLogonFor_ = currentProxy_;
    proxyLogonUser_ = user;
    SecureZeroMemory(proxyLogonPassword_.data(), proxyLogonPassword_.size());
    proxyLogonPassword_.swap(password);
    return true;
}
