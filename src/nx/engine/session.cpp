#include "session.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <span>
#include <stdexcept>

#include "ascii.h"
#include "engine.h"
#include "failure.h"
#include "http_fields.h"
#include "nxhttp_ids.h"
#include "util/text.h"

namespace nx::engine {

using namespace nx::http_ids;

namespace {

constexpr std::size_t kReceiveBufferSize = 1024 * 1024;
constexpr int kSocketReceiveBuffer = 4 * 1024 * 1024;
constexpr int kMaxRedirects = 10;
// While data keeps arriving, messages are still dispatched at least this often.
constexpr auto kPumpInterval = std::chrono::milliseconds(5);
// How long the addresses of a resolved name are used again without a new lookup.
constexpr auto kResolutionKept = std::chrono::seconds(30);
// How long a connection is kept idle for the next Get. Shorter than the shortest idle time that
// common servers and proxies allow (Apache's 5 s), so that a server rarely closes it first.
constexpr auto kKeptIdle = std::chrono::seconds(4);
// The most answers of a proxy's logon handshake that one request meets (NTLM needs two).
constexpr int kMaxLogonRounds = 4;

// A request that a kept connection could not carry: the server had closed it before any byte of
// an answer came. The request is sent again on a new connection.
struct StaleConnection {};

// The idle timers of the engine objects that keep a connection. A thread timer runs its procedure
// from whatever message loop the thread is in (the program's, a dialog's, the engine's own pump).
std::map<UINT_PTR, Session*>& IdleTimers() {
    static std::map<UINT_PTR, Session*> timers;
    return timers;
}

// The proxy offers `scheme` among its challenges.
bool Offers(const std::vector<http::Challenge>& offered, std::string_view scheme) {
    return std::any_of(offered.begin(), offered.end(),
                       [scheme](const http::Challenge& c) { return http::EqualsNoCase(c.scheme, scheme); });
}

void CALLBACK OnIdleTimer(HWND, UINT, UINT_PTR id, DWORD) {
    const auto found = IdleTimers().find(id);
    if (found == IdleTimers().end()) {
        KillTimer(nullptr, id);
        return;
    }
    found->second->EndKeptConnection();
}

}  // namespace

Session::Session(EventSink sink, void* context)
    : sink_(sink),
      context_(context),
      // Auto-reset, so that a wait that ends on it needs no further call to clear it.
      event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      parser_(*this),
      pacer_([this](std::uint64_t total, std::string_view bytes) {
          const auto shown =
              static_cast<std::intptr_t>(std::min<std::uint64_t>(total, std::numeric_limits<std::int32_t>::max()));
          Fire(evTransfer, {kDirectionReceive, shown, Bytes(bytes)});
      }) {
    // Made, and every page touched, with the object (at the program's start), not in the middle of
    // the first answer: touching a page for the first time costs far more than using it (2.7 ms a
    // MB under Wine here).
    buffer_.resize(kReceiveBufferSize);
}

Session::~Session() { CloseSocket(); }

int Session::Set(int id, int index, std::intptr_t value) {
    if (index != 0 || !Properties::Exists(id))
        return Fail(kErrUnknownProperty, "プロパティ " + std::to_string(id) + " はありません");
    if (id == idConnected || id == idIdle) return Fail(kErrReadOnly, "このプロパティは読み取り専用です");
    std::string error;
    const int code = properties_.Set(id, value, error);
    return code == 0 ? 0 : Fail(code, error);
}

std::intptr_t Session::Get(int id, int index) const {
    if (index != 0) return 0;
    // True from the start of a Get until its use of the connection ends, the name resolution and
    // the opening of the connection included, so that a cancel that checks it before calling
    // Interrupt can cut those phases short too. A connection kept between Gets does not count.
    if (id == idConnected) return phase_ != Phase::Idle && phase_ != Phase::Closing ? 1 : 0;
    if (id == idIdle) return busy() ? 0 : 1;
    return properties_.Value(id);
}

int Session::CheckIndex(int id, int index) const {
    return index != 0 || !Properties::Exists(id) ? kErrUnknownProperty : 0;
}

int Session::Do(int method, int argCount, std::intptr_t* values) {
    switch (method) {
    case midGet: {
        const char* url = argCount >= 1 && values ? reinterpret_cast<const char*>(values[0]) : nullptr;
        return RunGet(url && *url ? std::string(url) : properties_.text(idURL));
    }
    case midInterrupt:
        if (busy()) {
            if (stop_ == Stop::None) stop_ = Stop::Requested;
        } else {
            EndKeptConnection();
        }
        return 0;
    case midReset:
        if (busy()) {
            // The running Get closes the connection within one slice.
            if (stop_ == Stop::None) stop_ = Stop::Requested;
        } else {
            CloseSocket();
            lastError_.clear();
        }
        return 0;
    case midAbout:
        MessageBoxW(nullptr, L"NetXfer HTTP engine (Winsock)", L"About", MB_OK | MB_ICONINFORMATION);
        return 0;
    default: return Fail(kErrUnknownMethod, "メソッド " + std::to_string(method) + " はありません");
    }
}

// The one place where the Get's phase changes. A Get starts from Idle and goes only forward; a
// second connection of the same Get (a redirection, a request sent again) stays Connected or
// beyond; the end of the Get returns to Idle.
void Session::Advance(Phase next) {
    if (next == Phase::Idle || next == Phase::Opening || next > phase_) phase_ = next;
}

int Session::Fail(int code, const std::string& text) {
    lastError_ = Utf8ToAnsi(text);
    return code;
}

// ---- one Get ------------------------------------------------------------------------------------

int Session::RunGet(const std::string& ansiUrl) {
    if (busy()) return Fail(kErrBusy, "別の転送が実行中です");
    if (!event_ || !file_.usable()) return Fail(kErrNetwork, "待機用のイベントを作成できません");
    if (const int rc = StartWinsock(); rc != 0)
        return Fail(kErrNetwork, "Winsock を開始できません: " + DescribeSocketError(rc));
    Advance(Phase::Opening);
    stop_ = Stop::None;
    started_ = Clock::now();
    pump_ = MessagePump{};
    statusCode_ = 0;
    if (!kept_) CloseSocket();  // a kept connection is judged when the address is known

    int code = 0;
    std::string text;
    std::exception_ptr handlerError;
    try {
        Transfer(ansiUrl);
    } catch (const Failure& failure) {
        code = failure.code;
        text = failure.text;
    } catch (...) {
        handlerError = std::current_exception();
    }
    file_.Abandon();  // after a failure: ended where the writing got to, without waiting for the disk
    // The closing events, also after a failure. A handler that raises here does not hide the
    // failure that ended the transfer.
    if (phase_ == Phase::Transferring) {
        Advance(Phase::TransferEnded);
        try {
            Fire(evEndTransfer, {kDirectionReceive}, false);
        } catch (...) {
            if (!handlerError && code == 0) handlerError = std::current_exception();
        }
    }
    const bool connected = phase_ >= Phase::Connected;
    const bool keep = code == 0 && !handlerError && keepAlive_ && socket_;
    if (!keep) CloseSocket();
    Advance(Phase::Closing);
    if (connected) {
        try {
            Fire(evDisconnected, {statusCode_, Text("Disconnected")}, false);
        } catch (...) {
            if (!handlerError && code == 0) handlerError = std::current_exception();
        }
    }
    Advance(Phase::Idle);
    // A handler that failed, or asked to stop while the Get closed, ends the connection as well.
    if (keep && !handlerError && stop_ == Stop::None && !pump_.quitSeen()) {
        KeepConnection();
    } else {
        CloseSocket();
    }
    if (handlerError) std::rethrow_exception(handlerError);
    if (code != 0) return Fail(code, text);
    lastError_.clear();
    return 0;
}

void Session::Transfer(const std::string& ansiUrl) {
    http::UrlParseResult parsed = http::ParseHttpUrl(ansiUrl);
    if (!parsed.url)
        throw Failure{kErrBadUrl, "URL \"" + AnsiToUtf8(ansiUrl) + "\" が正しくありません (" + parsed.error + ")"};
    http::HttpUrl url = *parsed.url;
    if (properties_.integer(idFirewallType) != 0)
        throw Failure{kErrUnsupported, "この種類のファイアウォールには対応していません"};
    if (properties_.integer(idAuthScheme) != 0 && !properties_.text(idUser).empty())
        throw Failure{kErrUnsupported, "ダイジェスト認証には対応していません"};

    logon_.reset();
    logonAuthorization_.clear();
    logonRounds_ = 0;
    for (int hop = 0;; ++hop) {
        redirectTo_.reset();
        FetchOnce(url);
        if (!redirectTo_) return;
        if (hop + 1 > kMaxRedirects) throw Failure{kErrRedirect, "リダイレクトが多すぎます"};
        parsed = http::ParseHttpUrl(*redirectTo_);
        if (!parsed.url)
            throw Failure{kErrBadUrl,
                          "リダイレクト先 \"" + AnsiToUtf8(*redirectTo_) + "\" に移れません (" + parsed.error + ")"};
        url = *parsed.url;
    }
}

// One request and its answer, over the connection kept from the Get before when it leads to the
// same place, else over a new one.
void Session::FetchOnce(const http::HttpUrl& url) {
    url_ = url;
    const std::string& proxy = properties_.text(idProxyServer);
    const bool viaProxy = !proxy.empty();
    viaProxy_ = viaProxy;
    std::string host = viaProxy ? proxy : url.host;
    if (viaProxy && host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const int port = viaProxy ? properties_.integer(idProxyPort) : url.port;
    peer_ = (viaProxy ? "プロキシ " : "") + AnsiToUtf8(host) + ":" + std::to_string(port);
    if (port <= 0 || port > 65535)
        throw Failure{kErrConnect, peer_ + " に接続できません: ポート番号が正しくありません"};
    keepAlive_ = false;
    unanswered_ = TakeKeptConnection();
    if (unanswered_) {
        Advance(Phase::Connected);
        Fire(evConnected, {0, Text(Utf8ToAnsi(peer_ + " との接続を続けて使います"))});
        try {
            Exchange(url, viaProxy, host, static_cast<unsigned short>(port));
            return;
        } catch (const StaleConnection&) {
            // Closed by the server meanwhile: once more on a new connection.
            CloseSocket();
            unanswered_ = false;
        }
    }
    Connect(Resolve(host, static_cast<unsigned short>(port)));
    Exchange(url, viaProxy, host, static_cast<unsigned short>(port));
}

// The request and its answer; when the proxy asks for a logon of Windows, the request again with
// each token of the handshake, on the same connection, until an answer that is not one of the
// handshake's.
void Session::Exchange(const http::HttpUrl& url, bool viaProxy, const std::string& host, unsigned short port) {
    for (;;) {
        logonRound_ = false;
        logonSent_ = !logonAuthorization_.empty();
        Send(BuildRequest(url, viaProxy));
        logonAuthorization_.clear();
        Receive();
        if (!logonRound_) return;
        if (!keepAlive_) {
            // The first token may go on a new connection; the later ones answer a challenge made
            // for the connection that the proxy has closed.
            if (logonSent_) throw Failure{kErrIncomplete, peer_ + " が認証の途中で接続を閉じました"};
            CloseSocket();
            Connect(Resolve(host, port));
        }
    }
}

// Takes the kept connection for this Get when it leads to the same proxy or server from the same
// local address, has not been idle too long, and is still open with nothing unasked-for waiting
// on it; else closes it.
bool Session::TakeKeptConnection() {
    if (!kept_) return false;
    const bool usable = kept_->peer == peer_ && kept_->local == properties_.text(idLocalHost) &&
                        Clock::now() - kept_->since < kKeptIdle && KeptConnectionQuiet();
    if (!usable) {
        CloseSocket();
        return false;
    }
    StopIdleTimer();
    kept_.reset();
    return true;
}

// The kept connection is open and the server has sent nothing on it since its last answer.
bool Session::KeptConnectionQuiet() const {
    char byte = 0;
    return ::recv(socket_.get(), &byte, 1, MSG_PEEK) < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
}

void Session::KeepConnection() {
    kept_ = KeptConnection{peer_, properties_.text(idLocalHost), Clock::now()};
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(kKeptIdle).count();
    idleTimer_ = SetTimer(nullptr, 0, static_cast<UINT>(idle), &OnIdleTimer);
    if (idleTimer_) IdleTimers()[idleTimer_] = this;
}

void Session::StopIdleTimer() {
    if (!idleTimer_) return;
    KillTimer(nullptr, idleTimer_);
    IdleTimers().erase(idleTimer_);
    idleTimer_ = 0;
}

void Session::EndKeptConnection() {
    if (!busy()) CloseSocket();
}

std::string Session::BuildRequest(const http::HttpUrl& url, bool viaProxy) const {
    std::vector<std::pair<std::string_view, std::string>> fields;
    const auto text = [this](int id) -> const std::string& { return properties_.text(id); };
    if (!text(idUserAgent).empty()) fields.emplace_back("User-Agent", text(idUserAgent));
    if (!text(idAccept).empty()) fields.emplace_back("Accept", text(idAccept));
    if (const std::string& range = text(idRange); !range.empty())
        fields.emplace_back("Range", range.find('=') == std::string::npos ? "bytes=" + range : range);
    if (!text(idUser).empty())
        fields.emplace_back("Authorization", http::BasicCredentials(text(idUser), text(idPassword)));
    if (viaProxy && !logonAuthorization_.empty())
        fields.emplace_back("Proxy-Authorization", logonAuthorization_);
    else if (viaProxy && !text(idProxyUser).empty() && logonProxy_ != peer_)
        fields.emplace_back("Proxy-Authorization", http::BasicCredentials(text(idProxyUser), text(idProxyPassword)));
    std::vector<http::HeaderField> extra;
    for (const auto& [name, value] : fields) extra.push_back({name, value});
    try {
        return http::BuildGetRequest(url, viaProxy ? http::RequestForm::Absolute : http::RequestForm::Origin, extra);
    } catch (const std::exception& e) {
        throw Failure{kErrBadUrl, std::string("要求を作成できません (") + e.what() + ")"};
    }
}

std::vector<Address> Session::Resolve(const std::string& host, unsigned short port) {
    std::vector<Address> numeric = ResolveNumeric(host, port);
    if (!numeric.empty()) return numeric;
    // A name resolved a moment ago (the files of one update come one after another from the
    // same server or proxy) is taken as it was, without another lookup.
    if (resolved_.host == host && resolved_.port == port && Clock::now() - resolved_.when < kResolutionKept)
        return resolved_.addresses;
    Fire(evConnectionStatus, {Text("Resolving"), 0, Text(Utf8ToAnsi(AnsiToUtf8(host) + " の名前を解決しています"))});
    PendingResolution pending(host, port);
    const auto start = Clock::now();
    while (!pending.ready()) {
        CheckStop();
        if (TimedOut(start))
            throw Failure{kErrTimeout, "ホスト名 \"" + AnsiToUtf8(host) + "\" の名前解決がタイムアウトしました"};
        WaitSlice(pending.event());
    }
    if (pending.error() != 0 || pending.addresses().empty()) {
        throw Failure{kErrResolve, "ホスト \"" + AnsiToUtf8(host) + "\" が見つかりません: " +
                                       DescribeSocketError(pending.error() ? pending.error() : WSANO_DATA)};
    }
    resolved_ = {host, port, pending.addresses(), Clock::now()};
    return pending.addresses();
}

void Session::Connect(const std::vector<Address>& addresses) {
    int lastError = WSAECONNREFUSED;
    for (const Address& address : addresses) {
        CheckStop();
        Fire(evConnectionStatus, {Text("Connecting"), 0, Text(Utf8ToAnsi(peer_ + " に接続しています"))});
        socket_.reset(::socket(address.family, SOCK_STREAM, IPPROTO_TCP));
        if (!socket_) throw Failure{kErrNetwork, "ソケットを作成できません: " + DescribeSocketError(WSAGetLastError())};
        int size = kSocketReceiveBuffer;
        // ignored: the system's own buffer size only slows a fast transfer down
        setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
        if (WSAEventSelect(socket_.get(), event_.get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0)
            throw Failure{kErrNetwork, "ソケットを監視できません: " + DescribeSocketError(WSAGetLastError())};
        BindLocal(address.family);
        const int error = ConnectOne(address);
        if (error == 0) {
            Advance(Phase::Connected);
            Fire(evConnected, {0, Text(Utf8ToAnsi(peer_ + " に接続しました"))});
            return;
        }
        lastError = error;
        CloseSocket();
        if (error == WSAETIMEDOUT) throw Failure{kErrTimeout, peer_ + " への接続がタイムアウトしました"};
    }
    throw Failure{kErrConnect, peer_ + " に接続できません: " + DescribeSocketError(lastError)};
}

void Session::BindLocal(int family) {
    const std::string& local = properties_.text(idLocalHost);
    if (local.empty()) return;
    for (const Address& a : ResolveNumeric(local, 0)) {
        if (a.family != family) continue;
        if (bind(socket_.get(), reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0) return;
        throw Failure{kErrConnect,
                      "ローカルアドレス " + local + " を使用できません: " + DescribeSocketError(WSAGetLastError())};
    }
    throw Failure{kErrConnect, "ローカルアドレス \"" + AnsiToUtf8(local) + "\" は使用できません"};
}

// 0 when connected, else the Winsock error.
int Session::ConnectOne(const Address& address) {
    const SOCKET s = socket_.get();
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) return 0;
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return error;
    const auto start = Clock::now();
    for (;;) {
        CheckStop();
        // The outcome, from the socket's events or, should an event be missed, from select.
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(s, event_.get(), &events) == 0 && (events.lNetworkEvents & FD_CONNECT))
            return events.iErrorCode[FD_CONNECT_BIT];
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval zero{0, 0};
        if (select(0, nullptr, &writable, &failed, &zero) > 0) {
            if (FD_ISSET(s, &writable)) return 0;
            int soError = 0;
            int len = sizeof soError;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
            return soError ? soError : WSAECONNREFUSED;
        }
        if (TimedOut(start)) return WSAETIMEDOUT;
        WaitSlice(event_.get());
    }
}

void Session::Send(std::string_view data) {
    auto last = Clock::now();
    while (!data.empty()) {
        CheckStop();
        const int n =
            ::send(socket_.get(), data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)), 0);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            last = Clock::now();
            continue;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK && unanswered_) throw StaleConnection{};
        if (error != WSAEWOULDBLOCK)
            throw Failure{kErrSend, peer_ + " に要求を送信できません: " + DescribeSocketError(error)};
        if (TimedOut(last)) throw Failure{kErrTimeout, peer_ + " への要求の送信がタイムアウトしました"};
        WaitSlice(event_.get());
    }
}

void Session::Receive() {
    parser_.Reset();
    pending_.clear();
    pacer_.Clear();
    auto lastData = Clock::now();
    auto lastPump = lastData;
    for (;;) {
        CheckStop();
        file_.ThrowIfFailed();  // a full disk is reported as such, whatever the server does next
        const int n = ::recv(socket_.get(), buffer_.data(), static_cast<int>(buffer_.size()), 0);
        if (n > 0) {
            unanswered_ = false;
            lastData = Clock::now();
            Feed(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
            if (redirectTo_) return;
            if (parser_.state() != http::ResponseParser::State::InProgress) break;
            if (file_.backlogged()) {
                // The disk is behind: it catches up while messages are dispatched, and the
                // server's wait for us does not count against it.
                while (file_.backlogged()) WaitSlice(file_.event());
                lastData = lastPump = Clock::now();
                continue;
            }
            if (lastData - lastPump >= kPumpInterval) {
                pump_.Pump();
                lastPump = Clock::now();
            }
            continue;
        }
        if (n == 0) {
            if (unanswered_) throw StaleConnection{};
            keepAlive_ = false;
            parser_.ConnectionClosed();
            break;
        }
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK && unanswered_) throw StaleConnection{};
        if (error == WSAEWOULDBLOCK) {
            if (TimedOut(lastData)) {
                throw Failure{kErrTimeout, peer_ +
                                               (parser_.headersComplete() ? " からのデータ待ちがタイムアウトしました"
                                                                          : " からの応答待ちがタイムアウトしました") +
                                               Progress()};
            }
            // Nothing more for now: what was gathered is reported once its interval is over,
            // and the wait ends then at the latest.
            pacer_.ReportIfDue();
            WaitSlice(event_.get(),
                      static_cast<DWORD>(pacer_.UntilDue(std::chrono::milliseconds(kWaitSliceMs)).count()));
            lastPump = Clock::now();
            continue;
        }
        throw Failure{kErrReceive, peer_ + " との接続が切れました: " + DescribeSocketError(error) + Progress()};
    }
    if (redirectTo_) return;
    // A failed answer reports none of the pieces still waiting: its last piece is never
    // reported, so the count the application sees never reaches the end.
    if (parser_.failed()) {
        if (parser_.error() == http::ParseError::Truncated) {
            if (!parser_.headersComplete())
                throw Failure{kErrIncomplete, peer_ + " が応答を最後まで返さずに接続を閉じました"};
            throw Failure{kErrIncomplete, "データの途中で接続が閉じられました" + Progress()};
        }
        throw Failure{kErrBadResponse,
                      peer_ + " からの応答が正しくありません: " + http::ParseErrorText(parser_.error())};
    }
    // Complete. The file is whole on disk before the last piece is reported: a failure to write
    // it fails the transfer before the application sees the count reach the end.
    if (parser_.framing() == http::BodyFraming::UntilClose) keepAlive_ = false;
    if (logonRound_) return;  // an answer of the handshake: no body of the Get
    file_.Seal();
    while (!file_.drained()) WaitSlice(file_.event());
    file_.Finish();
    pacer_.Ended(pending_);
    pending_.clear();
    Advance(Phase::TransferEnded);
    Fire(evEndTransfer, {kDirectionReceive});
}

// Hands the bytes of one receive to the parser. Bytes after the end of the answer are not
// taken: they are not part of it, and are neither written nor reported, whether they arrive
// with the answer's last bytes or later (reading stops once the answer is complete). A server
// that sends them is not trusted with the next request: the connection is not kept.
void Session::Feed(std::string_view data) {
    pending_.clear();
    if (parser_.Feed(data) < data.size()) keepAlive_ = false;
    // At the end of the answer (complete or failed) Receive decides what is reported. With a
    // Content-Length the body has not ended while the parse goes on; any other framing may end
    // with what just arrived.
    if (parser_.state() == http::ResponseParser::State::InProgress) {
        pacer_.Arrived(pending_, parser_.framing() != http::BodyFraming::ContentLength);
        pending_.clear();
    }
}

std::string Session::Progress() const {
    if (phase_ < Phase::Transferring) return "";
    std::string text = " (" + std::to_string(parser_.bodyBytes());
    if (const auto length = parser_.announcedLength()) text += " / " + std::to_string(*length);
    return text + " バイト受信)";
}

// ---- the parser's events ------------------------------------------------------------------------

void Session::OnStatus(const http::StatusLine& status) {
    statusCode_ = status.code;
    reason_ = status.reason;
    // HTTP/1.1 keeps the connection unless the answer says otherwise; HTTP/1.0 closes it.
    keepAlive_ = status.major == 1 && status.minor >= 1;
    location_.reset();
    challenges_.clear();
    held_.clear();
    holding_ = viaProxy_ && status.code == 407;
    Announce(evStatus, {Text("HTTP/" + std::to_string(status.major) + "." + std::to_string(status.minor)), status.code,
                        Text(status.reason)});
}

void Session::OnHeader(std::string_view name, std::string_view value) {
    Announce(evHeader, {Text(std::string(name)), Text(std::string(value))});
    if (http::EqualsNoCase(name, "Location")) location_ = std::string(value);
    if (http::EqualsNoCase(name, "Proxy-Authenticate")) challenges_.emplace_back(value);
    if ((http::EqualsNoCase(name, "Connection") || http::EqualsNoCase(name, "Proxy-Connection")) &&
        http::ListHasToken(value, "close"))
        keepAlive_ = false;
    if (http::EqualsNoCase(name, "Set-Cookie")) {
        const http::Cookie c = http::ParseSetCookie(value);
        Announce(evSetCookie,
                 {Text(c.name), Text(c.value), Text(c.expires), Text(c.domain), Text(c.path), c.secure ? 1 : 0});
    }
}

void Session::OnHeadersComplete() {
    const int code = statusCode_;
    if (holding_) {
        holding_ = false;
        if (TakeLogonRound()) {
            // The body of this answer is read and dropped; the next request carries the token.
            held_.clear();
            logonRound_ = true;
            return;
        }
        ReleaseHeld();
    }
    if (http::IsRedirect(code) && location_) {
        const int policy = properties_.integer(idFollowRedirects);
        const std::string target = http::ResolveLocation(url_, *location_);
        const bool sameScheme =
            target.size() >= 5 && http::EqualsNoCase(std::string_view(target).substr(0, 5), "http:");
        if (policy == 1 || (policy == 2 && sameScheme)) {
            // The handler may refuse the redirection by clearing the second value.
            std::intptr_t values[2] = {reinterpret_cast<std::intptr_t>(target.c_str()), 1};
            int lengths[2] = {0, 0};
            FireRaw(evRedirect, 2, values, lengths, true);
            if ((values[1] & 0xFF) != 0) {
                redirectTo_ = target;
                keepAlive_ = false;
                CloseSocket();   // the next hop opens its own connection
                parser_.Stop();  // the rest of this answer is not read
                return;
            }
        }
    }
    if (code < 200 || code > 299)
        throw Failure{code, reason_.empty() ? std::string(http::StandardReason(code)) : reason_};
    // The body starts: the local file is replaced now, once the file of a transfer that failed
    // before is closed (its last write may still be under way).
    if (const std::string& file = properties_.text(idLocalFile); !file.empty()) {
        while (!file_.idle()) WaitSlice(file_.event());
        file_.Open(file);
    }
    Advance(Phase::Transferring);
    Fire(evStartTransfer, {kDirectionReceive});
    pacer_.Start();
}

// The piece is written first and reported after the parser has taken the whole receive, when it
// is known whether the body ended there (Receive, Feed). The view stays valid until the next receive.
void Session::OnBody(std::string_view piece) {
    if (logonRound_) return;
    file_.Write(piece);
    pending_.push_back(piece);
}

// ---- the proxy's logon ---------------------------------------------------------------------------

// A 407 from the proxy: true when the engine answers it with the next token of a handshake in a
// logon scheme of Windows. False when it is for the application to answer: the proxy offers no such
// scheme (Basic only, say), or the logon was refused or could not begin. Throws when the proxy
// offers only such schemes and this system cannot begin one even with a name and password.
bool Session::TakeLogonRound() {
    std::vector<http::Challenge> offered;
    for (const std::string& value : challenges_)
        for (http::Challenge& challenge : http::ParseChallenges(value)) offered.push_back(std::move(challenge));
    const bool logonOffered = Offers(offered, "Negotiate") || Offers(offered, "NTLM");
    logonProxy_ = logonOffered ? peer_ : std::string();
    if (++logonRounds_ > kMaxLogonRounds) return false;
    if (logon_) {
        // The proxy's token for the scheme of the handshake; none after the last token (or in
        // the middle of it) means that the logon was refused.
        if (logon_->complete()) return false;
        const auto challenge = std::find_if(offered.begin(), offered.end(), [this](const http::Challenge& c) {
            return http::EqualsNoCase(c.scheme, logon_->scheme()) && !c.token.empty();
        });
        if (challenge == offered.end()) return false;
        const std::optional<std::string> bytes = http::DecodeBase64(challenge->token);
        std::string error;
        const std::optional<std::string> token = bytes ? logon_->Step(*bytes, error) : std::nullopt;
        if (!token) return false;
        SendNextToken(*token);
        return true;
    }
    if (!logonOffered) return false;
    if (StartLogon(offered)) return true;
    // The user's own logon that cannot even begin is a refused one: a name and password may do.
    if (Offers(offered, "Basic") || properties_.text(idProxyUser).empty()) return false;
    ReleaseHeld();
    std::string names;
    for (const http::Challenge& c : offered) names += (names.empty() ? "" : ", ") + c.scheme;
    throw Failure{kErrUnsupported, peer_ + " が求める認証方式 (" + names +
                                       ") をこのコンピューターでは使用できません (" + logonError_ + ")"};
}

// Starts the handshake in the first scheme of Windows that the proxy offers and the system can
// begin, Negotiate before NTLM: as the user who runs the program, or with ProxyUser and
// ProxyPassword when they are set. The reason why none could begin is left in logonError_.
// The logon as the user is not begun at all where ProxyLogonAsUser forbids it: even its first
// token may name the computer and its domain, and the later ones could be passed on to log on elsewhere.
bool Session::StartLogon(const std::vector<http::Challenge>& offered) {
    const std::string host = AnsiToUtf8(properties_.text(idProxyServer));
    const std::string user = AnsiToUtf8(properties_.text(idProxyUser));
    const std::string password = AnsiToUtf8(properties_.text(idProxyPassword));
    if (user.empty() && properties_.integer(idProxyLogonAsUser) == 0) {
        logonError_ = "このプロキシにはこのコンピューターのユーザーとしてログオンしません";
        return false;
    }
    for (const char* scheme : {"Negotiate", "NTLM"}) {
        if (!Offers(offered, scheme)) continue;
        std::string error;
        std::unique_ptr<WindowsLogon> logon = WindowsLogon::Start(scheme, host, user, password, error);
        const std::optional<std::string> token = logon ? logon->Step("", error) : std::nullopt;
        if (!token) {
            logonError_ = error;
            continue;
        }
        logon_ = std::move(logon);
        SendNextToken(*token);
        return true;
    }
    return false;
}

// The next request carries `token` of the handshake.
void Session::SendNextToken(const std::string& token) {
    logonAuthorization_ = logon_->scheme() + " " + http::Base64(token);
}

// ---- events -------------------------------------------------------------------------------------

Session::Arg Session::Text(std::string s) {
    Arg a(0);
    a.text = std::move(s);
    a.isText = true;
    return a;
}

Session::Arg Session::Bytes(std::string_view bytes) {
    Arg a(reinterpret_cast<std::intptr_t>(bytes.data()));
    a.length = static_cast<int>(bytes.size());
    return a;
}

void Session::Fire(int id, std::initializer_list<Arg> args, bool checkStop) {
    FireArgs(id, args.begin(), args.size(), checkStop);
}

void Session::FireArgs(int id, const Arg* args, std::size_t count, bool checkStop) {
    std::intptr_t values[8] = {};
    int lengths[8] = {};
    int i = 0;
    for (const Arg& a : std::span(args, std::min<std::size_t>(count, 8))) {
        values[i] = a.isText ? reinterpret_cast<std::intptr_t>(a.text.c_str()) : a.value;
        lengths[i] = a.length;
        ++i;
    }
    FireRaw(id, i, values, lengths, checkStop);
}

// An event of the answer's head: raised now, or held while the engine decides whether the answer
// is one of its logon handshake.
void Session::Announce(int id, std::initializer_list<Arg> args) {
    if (holding_) {
        held_.emplace_back(id, std::vector<Arg>(args));
        return;
    }
    Fire(id, args);
}

void Session::ReleaseHeld() {
    std::vector<std::pair<int, std::vector<Arg>>> held = std::move(held_);
    held_.clear();
    for (const auto& [id, args] : held) FireArgs(id, args.data(), args.size(), true);
}

void Session::FireRaw(int id, int count, std::intptr_t* values, int* lengths, bool checkStop) {
    if (checkStop) CheckStop();
    if (destroyPending() || !sink_) return;
    sink_(context_, id, count, values, lengths);
    if (checkStop) CheckStop();
}

// ---- waiting ------------------------------------------------------------------------------------

void Session::CheckStop() const {
    if (pump_.quitSeen()) throw Failure{kErrInterrupted, "プログラムの終了のため転送を中断しました"};
    if (stop_ != Stop::None) throw Failure{kErrInterrupted, "転送を中断しました"};
    // Every wait and every receive comes by here: a server that sends a byte now and then, in
    // its head or its body, is held to the limit as well as one that sends nothing.
    if (const std::int32_t limit = properties_.integer(idTimeLimit);
        limit > 0 && Clock::now() - started_ >= std::chrono::seconds(limit))
        throw Failure{kErrTimeout, "転送が制限時間の " + std::to_string(limit) + " 秒を超えました" + Progress()};
}

bool Session::TimedOut(Clock::time_point since) const {
    const std::int32_t seconds = properties_.integer(idTimeout);
    return seconds > 0 && Clock::now() - since >= std::chrono::seconds(seconds);
}

// One slice: dispatch messages, then wait for the handle or a new message, at most
// `milliseconds` (one slice unless told).
void Session::WaitSlice(HANDLE handle, DWORD milliseconds) {
    pump_.Pump();
    CheckStop();
    // The socket's event resets itself when the wait ends on it; the callers try the socket
    // again in any case, and a message that woke the wait is dispatched at the next slice.
    MsgWaitForMultipleObjectsEx(1, &handle, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void Session::CloseSocket() {
    StopIdleTimer();
    kept_.reset();
    if (!socket_) return;
    WSAEventSelect(socket_.get(), event_.get(), 0);  // ignored: the socket is closed next
    socket_.reset();
    if (event_) ResetEvent(event_.get());
}

}  // namespace nx::engine
