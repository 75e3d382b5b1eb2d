#pragma once
// TnxHTTP: the HTTP transfer component. It fetches a resource with GET into a local file and
// reports the transfer through events, all on the calling (UI) thread.
//
// The component is the front of the HTTP engine reached through the entry table of nxcore.h. Texts
// cross that table as 8-bit strings in the system's ANSI code page; this class takes and returns
// UTF-8 and converts at that edge. OnTransfer's Text is raw body bytes, passed on unconverted.
//
// Get returns only when the transfer has ended. While it waits it dispatches the thread's window
// messages, and its events run nested inside it, in this order:
//   OnConnectionStatus ... OnConnected, OnStatus, OnHeader (one per header line),
//   OnStartTransfer, OnTransfer (the body as it arrives, what arrives close together in one
//   event), OnEndTransfer, OnDisconnected.
// Every OnStartTransfer is followed by exactly one OnEndTransfer, also when the transfer fails or
// is interrupted; every Get that connected ends with exactly one OnDisconnected: the end of that
// Get's use of its connection. A connection whose answer allows it (HTTP/1.1, no "Connection:
// close", a body delimited by its length or by chunks) is kept, idle, for the next Get to the same
// proxy or server; Connected reads False meanwhile, and Reset, Interrupt, a failure, a time-out, 4
// seconds of idleness and the end of the program close it. A request that a kept connection
// could not carry (closed before any byte of an answer) is sent once more on a new connection.
// Interrupt and Reset may be called from any handler or from a window message dispatched during
// Get; Get then returns within one wait slice (20 ms).
//
// Failures: every failure of a Get is raised from Get as EnxHTTP, and only there: OnError is never
// fired for it, so a program that shows a message per failure shows one per failure. (The engine
// fires OnError for nothing at present; the event stays for handlers that want it.) Codes: the
// HTTP status for an answer that is not 2xx, with the reason phrase as text, in which case no
// transfer events fire and LocalFile is not touched; otherwise one of nx::engine::ErrorCode
// (engine.h) with a Japanese text, e.g. "11: プロキシ 127.0.0.1:1 に接続できません: 接続が拒否されました",
// "10: ホスト "x.invalid" が見つかりません: ...", "16: データの途中で接続が閉じられました (5000 / 10000
// バイト受信)", or 18 when the transfer was interrupted (Interrupt, Reset, or WM_QUIT during the Get).
// An exception raised by an event handler ends the transfer the same way (the closing events still
// fire) and leaves Get as it was raised, of its own class.
//
// LocalFile: opened when the body starts, overwritten from its start and cut to the body's length
// when the transfer ends (a file of the same name is thus replaced); after a failure it holds what
// arrived. An empty LocalFile keeps the body out of any file; OnTransfer still reports it.
// An answer is complete when its announced length has arrived; bytes beyond it, in the same packet
// or a later one, are not part of it: never written, never reported, and reading stops there.
//
// ProxyServer: when set, every request goes to ProxyServer:ProxyPort with the whole address in the
// request line; when empty, the connection is direct whatever ProxyPort holds. A proxy that answers
// 407 offering a logon scheme of Windows (Negotiate, NTLM) is answered by the engine itself through
// the system's security packages, on the same connection: as the user who runs the program, or as
// ProxyUser with ProxyPassword when they are set; the answers of that handshake raise no events,
// and the connection stays logged on for the Gets after it. ProxyLogonAsUser (True by default)
// allows the logon as the user who runs the program; when it is False and ProxyUser is empty, no
// handshake begins and nothing of that user's logon reaches the proxy: the Get fails as one whose
// logon as the user cannot begin (below). Set it False for a proxy that somebody other than that
// user may have named, which could pass the logon on or attack it. A Get whose logon the proxy refuses
// (or whose logon as the user cannot begin) fails with the proxy's last 407, its events raised; one
// whose proxy offers only such schemes, which this system cannot begin even with ProxyUser, fails
// with code 8. Otherwise ProxyUser and ProxyPassword are sent as
// Basic credentials, to the proxy only, unless that proxy last asked for a logon of Windows. Redirections (301, 302,
// 303, 307, 308) are followed only as FollowRedirects allows (frAlways; frSameScheme: to another http address), each
// after OnRedirect, whose Accept (True on entry) can refuse it; a redirection not followed fails like any status that
// is not 2xx. A followed redirection opens a new connection, and OnDisconnected still fires once, at the end of the
// Get. User and Password are sent with Basic authentication; Digest and the firewall types other than fwNone are not
// supported (Get fails with code 8).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "nxcore.h"
#include "nxhttp_ids.h"

class EnxHTTP : public ENetXfer {
public:
    using ENetXfer::ENetXfer;
};

enum TnxhttpAuthSchemes { authBasic = 0, authDigest = 1 };
enum TnxhttpFirewallTypes { fwNone = 0, fwTunnel = 1, fwSOCKS4 = 2, fwSOCKS5 = 3 };
enum TnxhttpFollowRedirects { frNever = 0, frAlways = 1, frSameScheme = 2 };

class TnxHTTP : public TnxCore {
public:
    // The ids of properties, methods and events, shared with the engine (nxhttp_ids.h).
    using PropertyId = nx::http_ids::PropertyId;
    using MethodId = nx::http_ids::MethodId;
    using EventId = nx::http_ids::EventId;
    using enum nx::http_ids::PropertyId;
    using enum nx::http_ids::MethodId;
    using enum nx::http_ids::EventId;

    // Creates the engine object and writes the defaults. Raises EnxHTTP (-1, "NetXfer HTTP: Error
    // creating component") when no engine object can be made.
    TnxHTTP();
    ~TnxHTTP() override;

    std::exception_ptr CreateException(std::int32_t code, const std::string& description) const override;
    void ShowAbout() override;

    // Operations. Get fetches `url` ("http://host[:port]/path") into LocalFile, replacing it.
    void Get(const std::string& url);
    void Interrupt();
    void Reset();

    // Properties: each read asks the engine, each write hands the value to it; a refused write
    // raises EnxHTTP with the engine's code and last error text.
    std::string Accept() const { return GetText(idAccept); }
    void SetAccept(const std::string& v) { SetText(idAccept, v); }
    TnxhttpAuthSchemes AuthScheme() const { return static_cast<TnxhttpAuthSchemes>(GetInt(idAuthScheme)); }
    void SetAuthScheme(TnxhttpAuthSchemes v) { SetInt(idAuthScheme, v); }
    // True from the start of a Get until its connection closes (name resolution and connecting
    // included); False before the first Get, in OnDisconnected and after Get returns.
    bool Connected() const { return GetInt(idConnected) != 0; }
    std::string FirewallHost() const { return GetText(idFirewallHost); }
    void SetFirewallHost(const std::string& v) { SetText(idFirewallHost, v); }
    std::string FirewallPassword() const { return GetText(idFirewallPassword); }
    void SetFirewallPassword(const std::string& v) { SetText(idFirewallPassword, v); }
    std::int32_t FirewallPort() const { return GetInt(idFirewallPort); }
    void SetFirewallPort(std::int32_t v) { SetInt(idFirewallPort, v); }
    TnxhttpFirewallTypes FirewallType() const { return static_cast<TnxhttpFirewallTypes>(GetInt(idFirewallType)); }
    void SetFirewallType(TnxhttpFirewallTypes v) { SetInt(idFirewallType, v); }
    std::string FirewallUser() const { return GetText(idFirewallUser); }
    void SetFirewallUser(const std::string& v) { SetText(idFirewallUser, v); }
    TnxhttpFollowRedirects FollowRedirects() const {
        return static_cast<TnxhttpFollowRedirects>(GetInt(idFollowRedirects));
    }
    void SetFollowRedirects(TnxhttpFollowRedirects v) { SetInt(idFollowRedirects, v); }
    bool Idle() const { return GetInt(idIdle) != 0; }
    void SetIdle(bool) {}  // read-only; a write does nothing
    std::string LocalFile() const { return GetText(idLocalFile); }
    void SetLocalFile(const std::string& v) { SetText(idLocalFile, v); }
    std::string LocalHost() const { return GetText(idLocalHost); }
    void SetLocalHost(const std::string& v) { SetText(idLocalHost, v); }
    std::string Password() const { return GetText(idPassword); }
    void SetPassword(const std::string& v) { SetText(idPassword, v); }
    std::string ProxyPassword() const { return GetText(idProxyPassword); }
    void SetProxyPassword(const std::string& v) { SetText(idProxyPassword, v); }
    std::int32_t ProxyPort() const { return GetInt(idProxyPort); }
    void SetProxyPort(std::int32_t v) { SetInt(idProxyPort, v); }
    std::string ProxyServer() const { return GetText(idProxyServer); }
    void SetProxyServer(const std::string& v) { SetText(idProxyServer, v); }
    std::string ProxyUser() const { return GetText(idProxyUser); }
    void SetProxyUser(const std::string& v) { SetText(idProxyUser, v); }
    // Whether a proxy that asks for a logon of Windows may be logged on to as the user who runs the
    // program while ProxyUser is empty (True by default). False: only as ProxyUser.
    bool ProxyLogonAsUser() const { return GetInt(idProxyLogonAsUser) != 0; }
    void SetProxyLogonAsUser(bool v) { SetInt(idProxyLogonAsUser, v ? 1 : 0); }
    std::string Range() const { return GetText(idRange); }
    void SetRange(const std::string& v) { SetText(idRange, v); }
    // The User-Agent request header (not published; empty sends none).
    std::string UserAgent() const { return GetText(idUserAgent); }
    void SetUserAgent(const std::string& v) { SetText(idUserAgent, v); }
    // Seconds; bounds name resolution, connecting, sending and each wait for data. 0: no limit.
    std::int32_t Timeout() const { return GetInt(idTimeout); }
    void SetTimeout(std::int32_t v) { SetInt(idTimeout, v); }
    // Seconds that a whole Get may last, from its start to the end of the body, however the
    // server paces its bytes; when it passes, Get fails with code 12. 0: no limit (the default).
    std::int32_t TimeLimit() const { return GetInt(idTimeLimit); }
    void SetTimeLimit(std::int32_t v) { SetInt(idTimeLimit, v); }
    std::string URL() const { return GetText(idURL); }
    void SetURL(const std::string& v) { SetText(idURL, v); }
    std::string User() const { return GetText(idUser); }
    void SetUser(const std::string& v) { SetText(idUser, v); }

    // Events, in slot order. Each handler gets the component first. Texts are UTF-8 except
    // OnTransfer's Text: the raw bytes of the body that the event reports, exactly as many as
    // arrived since the event before, valid during the call (the engine's own bytes, not a copy).
    std::function<void(TnxHTTP& Sender, std::int32_t StatusCode, const std::string& Description)> OnConnected;
    std::function<void(TnxHTTP& Sender, const std::string& ConnectionEvent, std::int32_t StatusCode,
                       const std::string& Description)>
        OnConnectionStatus;
    std::function<void(TnxHTTP& Sender, std::int32_t StatusCode, const std::string& Description)> OnDisconnected;
    std::function<void(TnxHTTP& Sender, std::int32_t Direction)> OnEndTransfer;
    std::function<void(TnxHTTP& Sender, std::int32_t ErrorCode, const std::string& Description)> OnError;
    std::function<void(TnxHTTP& Sender, const std::string& Field, const std::string& Value)> OnHeader;
    std::function<void(TnxHTTP& Sender, const std::string& Location, bool& Accept)> OnRedirect;
    std::function<void(TnxHTTP& Sender, const std::string& Name, const std::string& Value, const std::string& Expires,
                       const std::string& Domain, const std::string& Path, bool Secure)>
        OnSetCookie;
    std::function<void(TnxHTTP& Sender, std::int32_t Direction)> OnStartTransfer;
    std::function<void(TnxHTTP& Sender, const std::string& HTTPVersion, std::int32_t StatusCode,
                       const std::string& Description)>
        OnStatus;
    std::function<void(TnxHTTP& Sender, std::int32_t Direction, std::int32_t BytesTransferred, std::string_view Text)>
        OnTransfer;

    // The engine handle; 0 while the component has no engine object.
    nx::EngineHandle Handle() const { return handle_; }

    // The event sink handed to the engine (public so that tests can drive it like an engine).
    static int NX_CALL EventSink(void* context, int eventId, int argCount, std::intptr_t* values, int* lengths);

private:
    std::string GetText(int id) const;
    void SetText(int id, const std::string& value);
    std::int32_t GetInt(int id) const;
    void SetInt(int id, std::int32_t value);
    void Do(int methodId, int argCount, std::intptr_t* values, int* lengths);
    [[noreturn]] void Raise(std::int32_t code, std::string text) const;
    void Dispatch(int eventId, std::intptr_t* values, int* lengths);

    bool redirectAccept_ = false;  // passes OnRedirect's in/out Accept
    nx::EngineHandle handle_ = 0;
};
