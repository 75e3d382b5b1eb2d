#pragma once
// One engine object: its properties, and the Get that fetches one address into a file while the
// thread's messages are dispatched, raising the component's events on the way.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "body_file.h"
#include "http_fields.h"
#include "http_request.h"
#include "http_response_parser.h"
#include "message_pump.h"
#include "nxcore.h"
#include "properties.h"
#include "resolver.h"
#include "socket.h"
#include "transfer_pacer.h"
#include "util/handle.h"
#include "windows_logon.h"

namespace nx::engine {

class Session final : private http::ResponseHandler {
public:
    Session(EventSink sink, void* context);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // A Get runs (its events included).
    bool busy() const { return phase_ != Phase::Idle; }
    // The engine object was destroyed while its Get ran: the Get stops, raises no more events, and
    // the object is deleted when it has unwound.
    void MarkForDestruction() { stop_ = Stop::Destroy; }
    bool destroyPending() const { return stop_ == Stop::Destroy; }

    const char* lastError() const { return lastError_.c_str(); }

    // Closes the connection kept from an earlier Get, if any (Interrupt or Reset while no Get runs,
    // a few seconds of idleness). Does nothing while a Get runs.
    void EndKeptConnection();

    int Set(int id, int index, std::intptr_t value);
    std::intptr_t Get(int id, int index) const;
    int CheckIndex(int id, int index) const;
    int Do(int method, int argCount, std::intptr_t* values);

private:
    // Where a Get stands. A Get goes forward through these and never back; a redirection's next
    // connection is opened in Connected.
    enum class Phase {
        Idle,           // no Get runs
        Opening,        // resolving the name, connecting; no connection made yet
        Connected,      // a connection was made: the Get ends with Disconnected
        Transferring,   // the body started: the Get raises EndTransfer
        TransferEnded,  // EndTransfer was raised
        Closing,        // the connection is closed for good; the closing events run
    };
    // What was asked of the running Get from outside it.
    enum class Stop { None, Requested, Destroy };

    void Advance(Phase next);
    int Fail(int code, const std::string& text);

    int RunGet(const std::string& ansiUrl);
    void Transfer(const std::string& ansiUrl);
    void FetchOnce(const http::HttpUrl& url);
    void Exchange(const http::HttpUrl& url, bool viaProxy, const std::string& host, unsigned short port);
    bool TakeLogonRound();
    bool StartLogon(const std::vector<http::Challenge>& offered);
    void SendNextToken(const std::string& token);
    bool TakeKeptConnection();
    bool KeptConnectionQuiet() const;
    void KeepConnection();
    void StopIdleTimer();
    std::string BuildRequest(const http::HttpUrl& url, bool viaProxy) const;
    std::vector<Address> Resolve(const std::string& host, unsigned short port);
    void Connect(const std::vector<Address>& addresses);
    void BindLocal(int family);
    int ConnectOne(const Address& address);
    void Send(std::string_view data);
    void Receive();
    void Feed(std::string_view data);
    std::string Progress() const;

    // The parser's events.
    void OnStatus(const http::StatusLine& status) override;
    void OnHeader(std::string_view name, std::string_view value) override;
    void OnHeadersComplete() override;
    void OnBody(std::string_view piece) override;

    // One argument of an event: a number, a text (kept alive for the call) or raw bytes.
    struct Arg {
        template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
        Arg(T number) : value(static_cast<std::intptr_t>(number)) {}
        std::intptr_t value = 0;
        int length = 0;
        std::string text;
        bool isText = false;
    };
    static Arg Text(std::string s);
    static Arg Bytes(std::string_view bytes);
    void Fire(int id, std::initializer_list<Arg> args, bool checkStop = true);
    void Announce(int id, std::initializer_list<Arg> args);
    void FireArgs(int id, const Arg* args, std::size_t count, bool checkStop);
    void ReleaseHeld();
    void FireRaw(int id, int count, std::intptr_t* values, int* lengths, bool checkStop);

    void CheckStop() const;
    bool TimedOut(Clock::time_point since) const;
    void WaitSlice(HANDLE handle, DWORD milliseconds = kWaitSliceMs);
    void CloseSocket();

    EventSink sink_;
    void* context_;
    std::string lastError_;
    Properties properties_;

    Phase phase_ = Phase::Idle;
    Clock::time_point started_;  // when the running Get started, for TimeLimit
    Stop stop_ = Stop::None;
    MessagePump pump_;
    Socket socket_;
    KernelHandle event_;  // the socket's network events; resets itself when a wait ends on it
    std::string peer_;    // "host:port" or "プロキシ host:port", for messages
    http::HttpUrl url_;
    // A connection kept after a Get whose answer allowed it (socket_ stays open), for the next Get
    // to the same proxy or server from the same local address.
    struct KeptConnection {
        std::string peer;   // peer_ of the Get that used it
        std::string local;  // LocalHost of that Get
        Clock::time_point since;
    };
    std::optional<KeptConnection> kept_;
    UINT_PTR idleTimer_ = 0;   // closes the kept connection once it has been idle too long
    bool keepAlive_ = false;   // the answer being read lets its connection be kept
    bool unanswered_ = false;  // the request went over a kept connection; no byte of an answer yet

    // A proxy that asks who the user is (407) with a logon scheme of Windows: the answer's events
    // are held until its head is read. An answer that the engine answers with the next token of the
    // handshake is its own business (its events are dropped, its body read and dropped); any other
    // is announced as it came.
    bool viaProxy_ = false;
    bool holding_ = false;
    std::vector<std::pair<int, std::vector<Arg>>> held_;
    std::vector<std::string> challenges_;  // the Proxy-Authenticate values of the answer
    std::unique_ptr<WindowsLogon> logon_;  // the handshake of this Get, once started
    std::string logonAuthorization_;       // Proxy-Authorization of the next request
    bool logonRound_ = false;              // the answer being read is one of the handshake's
    bool logonSent_ = false;               // the request carried a token of the handshake
    int logonRounds_ = 0;
    std::string logonError_;  // why no handshake could begin
    // The peer whose last 407 offered a logon scheme of Windows: it is not sent Basic credentials
    // unasked.
    std::string logonProxy_;

    http::ResponseParser parser_;
    std::vector<char> buffer_;
    BodyFile file_;
    std::vector<std::string_view> pending_;  // body pieces of the last receive, not yet reported
    TransferPacer pacer_;
    struct Resolved {
        std::string host;
        unsigned short port = 0;
        std::vector<Address> addresses;
        Clock::time_point when;
    } resolved_;  // the last name looked up
    int statusCode_ = 0;
    std::string reason_;
    std::optional<std::string> location_;
    std::optional<std::string> redirectTo_;
};

}  // namespace nx::engine
