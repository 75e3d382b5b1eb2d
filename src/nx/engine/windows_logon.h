#pragma once
// The logon schemes of Windows that a proxy may ask for (Negotiate, NTLM), through the system's
// security packages (SSPI): the tokens of one handshake, whose rounds one connection carries.
// secur32.dll is loaded from the System folder only, when a proxy first asks.

#include <winsock2.h>
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace nx::engine {

class WindowsLogon {
public:
    // A handshake in `scheme` ("Negotiate" or "NTLM") with the proxy on `host`: as the user who runs
    // the program when `user` is empty, else as `user` ("DOMAIN\name", "name@domain" or "name")
    // with `password` (UTF-8). Null, with the reason in `error`, when the system cannot start one.
    static std::unique_ptr<WindowsLogon> Start(const std::string& scheme, const std::string& host,
                                               const std::string& user, const std::string& password,
                                               std::string& error);
    WindowsLogon(const WindowsLogon&) = delete;
    WindowsLogon& operator=(const WindowsLogon&) = delete;
    ~WindowsLogon();

    const std::string& scheme() const { return scheme_; }
    // The next token to send: the first when `challenge` is empty, else the answer to the proxy's
    // token. Nullopt, with the reason in `error`, when the system will not go on.
    std::optional<std::string> Step(std::string_view challenge, std::string& error);
    // The last token has been made: another 407 means that the proxy refused the logon.
    bool complete() const { return complete_; }

private:
    WindowsLogon(std::string scheme, std::wstring target, PSecurityFunctionTableW table)
        : scheme_(std::move(scheme)), target_(std::move(target)), table_(table) {}

    std::string scheme_;
    std::wstring target_;  // the service name, "HTTP/host"
    PSecurityFunctionTableW table_;
    CredHandle credentials_{};
    CtxtHandle context_{};
    bool haveCredentials_ = false;
    bool haveContext_ = false;
    bool complete_ = false;
};

}  // namespace nx::engine
