// A proxy that asks who the user is (407): after the user's own logon of Windows, which the
// component tries by itself, a name and password asked in a dialog, kept in memory for the
// program's run only and sent to that proxy alone.
#include "mainform.h"
#include "user_failure.h"

#include "ui/logon_query.h"
#include "ui/message_dialog.h"
#include "util/text.h"

#include <windows.h>

namespace {

// The scheme name at the start of a Proxy-Authenticate value ("Basic realm=...").
std::string SchemeOf(const std::string& challenge) {
    const size_t end = challenge.find_first_of(" \t,");
    return challenge.substr(0, end);
}

}  // namespace

void TMainForm::GetWithProxyLogon(const std::string& url) {
    for (;;) {
        const bool sending = !CurrentProxy.empty() && ProxyLogonFor == CurrentProxy && !ProxyLogonUser.empty();
        // Given only to the proxy they were entered for; the engine puts them in requests to a
        // proxy, never in one to the server. Without them the component logs on to a proxy that
        // asks for a logon of Windows as the user who runs the program.
        nxHTTP.SetProxyUser(sending ? ProxyLogonUser : "");
        nxHTTP.SetProxyPassword(sending ? ProxyLogonPassword : "");
        ProxyChallenges.clear();
        ForgetAnswer();  // a 407 before announced the length of its own page
        try {
            nxHTTP.Get(url);
            return;
        } catch (const EnxHTTP& error) {
            // 407: the proxy wants a name and password, or refused them or the user's logon. The
            // other code: it asks only for schemes that this computer cannot use.
            const bool unusable = error.Code() == nx::http_ids::errUnsupported;
            if ((error.Code() != 407 && !unusable) || ProxyChallenges.empty() || CurrentProxy.empty() ||
                Cancelled())
                throw;
            if (!AskProxyLogon(sending, unusable)) {
                // Said once: the other files would meet the same proxy.
                FileReported = true;
                ServerReached = false;
                throw;
            }
            if (nxHTTP.Connected()) nxHTTP.Reset();
        }
    }
}

bool TMainForm::AskProxyLogon(bool refused, bool unusable) {
    bool known = false;  // a scheme for which a name and password can be asked
    std::string offered;
    for (const std::string& challenge : ProxyChallenges) {
        const std::string scheme = SchemeOf(challenge);
        known = known || EqualsIgnoringCase(scheme, "Basic") || EqualsIgnoringCase(scheme, "NTLM") ||
                EqualsIgnoringCase(scheme, "Negotiate");
        offered += (offered.empty() ? "" : ", ") + scheme;
    }
    // Each ends the run before anything was changed.
    const auto stop = [this](std::string what) {
        ShowError(FailureText({std::move(what), "ダウンロードを中止します。", ProductState::Unchanged}));
        return false;
    };
    if (unusable)
        return stop("プロキシ " + CurrentProxy + " が求める認証方式 (" + offered +
                    ") をこのコンピューターでは使用できません。");
    if (!known) return stop("プロキシ " + CurrentProxy + " が求める認証方式 (" + offered + ") には対応していません。");
    if (ProxyLogonAsks >= 3) return stop("プロキシ " + CurrentProxy + " がユーザー名とパスワードを受け付けませんでした。");
    ++ProxyLogonAsks;
    std::string user = ProxyLogonFor == CurrentProxy ? ProxyLogonUser : std::string();
    std::string password;
    const std::string prompt = std::string(refused ? "ユーザー名またはパスワードが違います。\r" : "") + "プロキシ " +
                               CurrentProxy + " がユーザー名とパスワードを求めています。";
    if (!LogonQuery("プロキシの認証", prompt, user, password)) {
        ShowError(FailureText({"プロキシの認証が取り消されました。ダウンロードを中止します。", "", ProductState::Unchanged}));
        return false;
    }
    ProxyLogonFor = CurrentProxy;
    ProxyLogonUser = user;
    SecureZeroMemory(ProxyLogonPassword.data(), ProxyLogonPassword.size());
    ProxyLogonPassword.swap(password);
    return true;
}
