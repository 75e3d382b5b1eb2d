#include "engine.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <type_traits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ascii.h"
#include "http_request.h"
#include "http_response_parser.h"
#include "net.h"
#include "nxhttp_ids.h"
#include "util/files.h"
#include "util/text.h"

namespace nx::engine {

namespace {

using namespace nx::http_ids;

bool IsTextProperty(int id) {
    switch (id) {
    case idAccept: case idFirewallHost: case idFirewallPassword: case idFirewallUser: case idLocalFile:
    case idLocalHost: case idPassword: case idProxyPassword: case idProxyServer: case idProxyUser:
    case idRange: case idURL: case idUser: case idUserAgent:
        return true;
    default:
        return false;
    }
}

bool IsIntegerProperty(int id) {
    switch (id) {
    case idAuthScheme: case idConnected: case idFirewallPort: case idFirewallType: case idFollowRedirects:
    case idIdle: case idProxyPort: case idTimeout:
        return true;
    default:
        return false;
    }
}

constexpr std::size_t kReceiveBufferSize = 1024 * 1024;
constexpr std::size_t kFileBufferSize = 256 * 1024;
constexpr int kSocketReceiveBuffer = 4 * 1024 * 1024;
constexpr int kMaxRedirects = 10;
// While data keeps arriving, messages are still dispatched at least this often.
constexpr auto kPumpInterval = std::chrono::milliseconds(5);
// Body bytes that arrive close together are reported in one transfer event, at most about one
// per screen refresh: a handler that paints progress for every receive would otherwise cost more
// than the transfer itself. The last bytes of a body are always reported at once.
constexpr auto kTransferEventInterval = std::chrono::milliseconds(16);
// How long the addresses of a resolved name are used again without a new lookup.
constexpr auto kResolutionKept = std::chrono::seconds(30);

// What is wrong with an answer that the parser refused, for the user.
std::string ParseErrorText(http::ParseError error) {
    using http::ParseError;
    switch (error) {
    case ParseError::BadStatusLine: return "ステータス行が HTTP の形式ではありません";
    case ParseError::UnsupportedVersion: return "対応していない HTTP のバージョンです";
    case ParseError::BadHeaderLine: return "ヘッダー行の形式が正しくありません";
    case ParseError::HeaderLineTooLong: return "ヘッダー行が長すぎます";
    case ParseError::TooManyHeaderLines: return "ヘッダー行が多すぎます";
    case ParseError::TooManyInterimResponses:
        return "中間応答 (1xx) が " + std::to_string(http::kMaxInterimResponses) + " 回を超えました";
    case ParseError::HeadTooLarge: return "ヘッダーが " + std::to_string(http::kMaxHeadBytes) + " バイトを超えました";
    case ParseError::BadContentLength: return "Content-Length の値が正しくありません";
    case ParseError::ConflictingContentLength: return "Content-Length の値が食い違っています";
    case ParseError::BadTransferEncoding: return "Transfer-Encoding の値が正しくありません";
    case ParseError::BadChunkSize:
    case ParseError::ChunkSizeLineTooLong:
    case ParseError::BadChunkData: return "チャンク形式のデータが正しくありません";
    case ParseError::Truncated: return "応答が途中で切れました";
    case ParseError::HandlerFailed: return "イベント処理で中断しました";
    case ParseError::None: break;
    }
    return "形式が正しくありません";
}

// A failure of the running Get: its code and text.
struct Failure {
    int code;
    std::string text;
};

std::string Base64(std::string_view in) {
    static const char* const digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) | static_cast<unsigned char>(in[i + 2]);
        out += digits[(v >> 18) & 63]; out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63]; out += digits[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += digits[(v >> 18) & 63]; out += digits[(v >> 12) & 63]; out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
        out += digits[(v >> 18) & 63]; out += digits[(v >> 12) & 63]; out += digits[(v >> 6) & 63]; out += '=';
    }
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

const char* StandardReason(int code) {
    switch (code) {
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "HTTP error";
    }
}

bool IsRedirect(int code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

// The address that a Location value names, relative to the address that answered.
std::string ResolveLocation(const http::HttpUrl& base, std::string_view location) {
    const std::string_view loc = Trim(location);
    const std::size_t colon = loc.find(':');
    const std::size_t slash = loc.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash))
        return std::string(loc);  // absolute, with a scheme
    if (loc.substr(0, 2) == "//") return "http:" + std::string(loc);
    const std::string origin = "http://" + base.authority();
    if (!loc.empty() && loc.front() == '/') return origin + std::string(loc);
    std::string path = base.target.substr(0, base.target.find('?'));
    path = path.substr(0, path.rfind('/') + 1);
    if (path.empty()) path = "/";
    if (!loc.empty() && (loc.front() == '?' || loc.front() == '#')) path = base.target.substr(0, base.target.find('?'));
    return origin + path + std::string(loc);
}

// The system's text for a file error, without a final "." (the engine's texts end without one).
std::string FileErrorText(DWORD error) {
    std::string text = SystemErrorText(error);
    if (text.size() > 1 && text.back() == '.') text.pop_back();
    return text;
}

// The file that receives the body, written in large pieces.
//
// A file of the same name is replaced: it is opened as it is, overwritten from its start, and cut
// to the length written when the transfer ends. Truncating a large file when it is opened
// (CREATE_ALWAYS) would hold the thread while the file system frees its blocks, under Wine inside
// the Wine server, which stalls message dispatching too: 45 to 70 ms for 200 MB here. Overwriting
// in place frees nothing when the new body is as long as the old file (a download repeated).
class BodyFile {
public:
    void Open(const std::string& ansiPath) {
        path_ = AnsiToUtf8(ansiPath);
        handle_ = CreateFileW(Utf8ToWide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            throw Failure{kErrFile, "ファイル \"" + path_ + "\" を作成できません: " + FileErrorText(error)};
        }
        written_ = 0;
        buffer_.reserve(kFileBufferSize);
    }
    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Write(std::string_view piece) {
        if (!open()) return;
        if (buffer_.empty() && piece.size() >= kFileBufferSize) {
            WriteThrough(piece);
            return;
        }
        if (buffer_.size() + piece.size() > kFileBufferSize) Flush();
        if (piece.size() >= kFileBufferSize) {
            WriteThrough(piece);
        } else {
            buffer_.append(piece);
        }
    }
    void Flush() {
        if (!open() || buffer_.empty()) return;
        WriteThrough(buffer_);
        buffer_.clear();
    }
    // Writes what is buffered, ends the file where the writing ended, and closes it.
    void Finish() {
        if (!open()) return;
        Flush();
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(written_);
        if (!SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
            const DWORD error = GetLastError();
            Close();
            throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
        }
        // Closing can report a write that the system had deferred.
        if (!Close()) {
            const DWORD error = GetLastError();
            throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
        }
    }
    // After a failure: the file keeps what arrived before it.
    void Abandon() {
        try {
            Finish();
        } catch (...) {
        }
        Close();
    }
    ~BodyFile() { Abandon(); }

private:
    bool Close() {
        const bool closed = !open() || CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        buffer_.clear();
        return closed;
    }

    void WriteThrough(std::string_view data) {
        while (!data.empty()) {
            DWORD written = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
            if (!WriteFile(handle_, data.data(), want, &written, nullptr) || written == 0) {
                const DWORD error = GetLastError();
                throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
            }
            written_ += written;
            data.remove_prefix(written);
        }
    }

    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string buffer_;
    std::uint64_t written_ = 0;
};

class Session;
std::set<Session*>& LiveSessions() {
    static std::set<Session*> sessions;
    return sessions;
}

class Session final : private http::ResponseHandler {
public:
    Session(EventSink sink, void* context) : sink_(sink), context_(context), parser_(*this) {
        // Auto-reset, so that a wait that ends on it needs no further call to clear it.
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Session() {
        CloseSocket();
        if (event_) CloseHandle(event_);
    }

    bool busy() const { return busy_; }
    void MarkForDestruction() {
        destroyPending_ = true;
        stopRequested_ = true;
    }
    bool destroyPending() const { return destroyPending_; }

    const char* lastError() const { return lastError_.c_str(); }

    int Set(int id, int index, std::intptr_t value) {
        if (index != 0 || (!IsTextProperty(id) && !IsIntegerProperty(id)))
            return Fail(kErrUnknownProperty, "プロパティ " + std::to_string(id) + " はありません");
        if (id == idConnected || id == idIdle) return Fail(kErrReadOnly, "このプロパティは読み取り専用です");
        if (IsTextProperty(id)) {
            const char* text = reinterpret_cast<const char*>(value);
            texts_[id] = text ? text : "";
            return 0;
        }
        const auto v = static_cast<std::int32_t>(value);
        bool valid = true;
        switch (id) {
        case idAuthScheme: valid = v >= 0 && v <= 1; break;
        case idFirewallType: valid = v >= 0 && v <= 3; break;
        case idFollowRedirects: valid = v >= 0 && v <= 2; break;
        case idFirewallPort: case idProxyPort: valid = v >= 0 && v <= 65535; break;
        case idTimeout: valid = v >= 0; break;
        default: break;
        }
        if (!valid) return Fail(kErrBadValue, "値 " + std::to_string(v) + " は範囲外です");
        ints_[id] = v;
        return 0;
    }

    std::intptr_t Get(int id, int index) {
        if (index != 0) return 0;
        // True from the start of a Get until its connection closes, the name resolution and the
        // opening of the connection included, so that a cancel that checks it before calling
        // Interrupt can cut those phases short too.
        if (id == idConnected) return getActive_ || socket_ != INVALID_SOCKET ? 1 : 0;
        if (id == idIdle) return busy_ ? 0 : 1;
        if (IsTextProperty(id)) return reinterpret_cast<std::intptr_t>(texts_[id].c_str());
        if (IsIntegerProperty(id)) return ints_[id];
        return 0;
    }

    int CheckIndex(int id, int index) const {
        if (index != 0 || (!IsTextProperty(id) && !IsIntegerProperty(id))) return kErrUnknownProperty;
        return 0;
    }

    int Do(int method, int argCount, std::intptr_t* values) {
        switch (method) {
        case midGet: {
            const char* url = argCount >= 1 && values ? reinterpret_cast<const char*>(values[0]) : nullptr;
            return RunGet(url && *url ? std::string(url) : texts_[idURL]);
        }
        case midInterrupt:
            if (busy_) stopRequested_ = true;
            return 0;
        case midReset:
            if (busy_) {
                stopRequested_ = true;  // the running Get closes the connection within one slice
            } else {
                CloseSocket();
                lastError_.clear();
            }
            return 0;
        case midAbout:
            MessageBoxW(nullptr, L"NetXfer HTTP engine (Winsock)", L"About", MB_OK | MB_ICONINFORMATION);
            return 0;
        default:
            return Fail(kErrUnknownMethod, "メソッド " + std::to_string(method) + " はありません");
        }
    }

private:
    int Fail(int code, std::string text) {
        lastError_ = Utf8ToAnsi(text);
        return code;
    }

    // ---- one Get ----------------------------------------------------------------------------

    int RunGet(const std::string& ansiUrl) {
        if (busy_) return Fail(kErrBusy, "別の転送が実行中です");
        if (!event_) return Fail(kErrNetwork, "待機用のイベントを作成できません");
        if (const int rc = StartWinsock(); rc != 0)
            return Fail(kErrNetwork, "Winsock を開始できません: " + DescribeSocketError(rc));
        busy_ = true;
        getActive_ = true;
        stopRequested_ = false;
        pump_ = MessagePump{};
        started_ = ended_ = everConnected_ = false;
        statusCode_ = 0;
        CloseSocket();

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
        file_.Abandon();  // after a failure, the file keeps what arrived
        // The closing events, also after a failure. A handler that raises here does not hide the
        // failure that ended the transfer.
        if (started_ && !ended_) {
            ended_ = true;
            try {
                Fire(evEndTransfer, {kDirectionReceive}, false);
            } catch (...) {
                if (!handlerError && code == 0) handlerError = std::current_exception();
            }
        }
        CloseSocket();
        getActive_ = false;
        if (everConnected_) {
            try {
                Fire(evDisconnected, {statusCode_, Text("Disconnected")}, false);
            } catch (...) {
                if (!handlerError && code == 0) handlerError = std::current_exception();
            }
        }
        busy_ = false;
        if (handlerError) std::rethrow_exception(handlerError);
        if (code != 0) return Fail(code, text);
        lastError_.clear();
        return 0;
    }

    void Transfer(const std::string& ansiUrl) {
        http::UrlParseResult parsed = http::parseHttpUrl(ansiUrl);
        if (!parsed.url) throw Failure{kErrBadUrl, "URL \"" + AnsiToUtf8(ansiUrl) + "\" が正しくありません (" + parsed.error + ")"};
        http::HttpUrl url = *parsed.url;
        if (ints_[idFirewallType] != 0) throw Failure{kErrUnsupported, "この種類のファイアウォールには対応していません"};
        if (ints_[idAuthScheme] != 0 && !texts_[idUser].empty())
            throw Failure{kErrUnsupported, "ダイジェスト認証には対応していません"};

        for (int hop = 0;; ++hop) {
            redirectTo_.reset();
            FetchOnce(url);
            if (!redirectTo_) return;
            if (hop + 1 > kMaxRedirects) throw Failure{kErrRedirect, "リダイレクトが多すぎます"};
            parsed = http::parseHttpUrl(*redirectTo_);
            if (!parsed.url)
                throw Failure{kErrBadUrl, "リダイレクト先 \"" + AnsiToUtf8(*redirectTo_) + "\" に移れません (" +
                                              parsed.error + ")"};
            url = *parsed.url;
        }
    }

    // One request and its answer over a connection of its own.
    void FetchOnce(const http::HttpUrl& url) {
        url_ = url;
        const std::string proxy = texts_[idProxyServer];
        const bool viaProxy = !proxy.empty();
        std::string host = viaProxy ? proxy : url.host;
        if (viaProxy && host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        const int port = viaProxy ? ints_[idProxyPort] : url.port;
        peer_ = (viaProxy ? "プロキシ " : "") + AnsiToUtf8(host) + ":" + std::to_string(port);
        if (port <= 0 || port > 65535) throw Failure{kErrConnect, peer_ + " に接続できません: ポート番号が正しくありません"};
        const std::vector<Address> addresses = Resolve(host, static_cast<unsigned short>(port));
        Connect(addresses);

        std::vector<std::string> extraStore;
        std::vector<http::HeaderField> extra;
        auto add = [&](std::string_view name, std::string value) {
            extraStore.push_back(std::move(value));
            extra.push_back({name, {}});
        };
        if (!texts_[idUserAgent].empty()) add("User-Agent", texts_[idUserAgent]);
        if (!texts_[idAccept].empty()) add("Accept", texts_[idAccept]);
        if (!texts_[idRange].empty()) {
            const std::string& r = texts_[idRange];
            add("Range", r.find('=') == std::string::npos ? "bytes=" + r : r);
        }
        if (!texts_[idUser].empty()) add("Authorization", "Basic " + Base64(texts_[idUser] + ":" + texts_[idPassword]));
        if (viaProxy && !texts_[idProxyUser].empty())
            add("Proxy-Authorization", "Basic " + Base64(texts_[idProxyUser] + ":" + texts_[idProxyPassword]));
        for (std::size_t i = 0; i < extra.size(); ++i) extra[i].value = extraStore[i];
        std::string request;
        try {
            request = http::buildGetRequest(url, viaProxy ? http::RequestForm::Absolute : http::RequestForm::Origin, extra);
        } catch (const std::exception& e) {
            throw Failure{kErrBadUrl, std::string("要求を作成できません (") + e.what() + ")"};
        }
        Send(request);
        Receive();
    }

    std::vector<Address> Resolve(const std::string& host, unsigned short port) {
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
            throw Failure{kErrResolve, "ホスト \"" + AnsiToUtf8(host) +
                                           "\" が見つかりません: " + DescribeSocketError(pending.error() ? pending.error() : WSANO_DATA)};
        }
        resolved_ = {host, port, pending.addresses(), Clock::now()};
        return pending.addresses();
    }

    void Connect(const std::vector<Address>& addresses) {
        int lastError = WSAECONNREFUSED;
        for (const Address& address : addresses) {
            CheckStop();
            Fire(evConnectionStatus, {Text("Connecting"), 0, Text(Utf8ToAnsi(peer_ + " に接続しています"))});
            socket_ = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
            if (socket_ == INVALID_SOCKET)
                throw Failure{kErrNetwork, "ソケットを作成できません: " + DescribeSocketError(WSAGetLastError())};
            int size = kSocketReceiveBuffer;
            setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
            if (WSAEventSelect(socket_, event_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0)
                throw Failure{kErrNetwork, "ソケットを監視できません: " + DescribeSocketError(WSAGetLastError())};
            BindLocal(address.family);
            const int error = ConnectOne(address);
            if (error == 0) {
                everConnected_ = true;
                Fire(evConnected, {0, Text(Utf8ToAnsi(peer_ + " に接続しました"))});
                return;
            }
            lastError = error;
            CloseSocket();
            if (error == WSAETIMEDOUT) throw Failure{kErrTimeout, peer_ + " への接続がタイムアウトしました"};
        }
        throw Failure{kErrConnect, peer_ + " に接続できません: " + DescribeSocketError(lastError)};
    }

    void BindLocal(int family) {
        const std::string& local = texts_[idLocalHost];
        if (local.empty()) return;
        for (const Address& a : ResolveNumeric(local, 0)) {
            if (a.family != family) continue;
            if (bind(socket_, reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0) return;
            throw Failure{kErrConnect, "ローカルアドレス " + local + " を使用できません: " +
                                           DescribeSocketError(WSAGetLastError())};
        }
        throw Failure{kErrConnect, "ローカルアドレス \"" + AnsiToUtf8(local) + "\" は使用できません"};
    }

    // 0 when connected, else the Winsock error.
    int ConnectOne(const Address& address) {
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) return 0;
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return error;
        const auto start = Clock::now();
        for (;;) {
            CheckStop();
            // The outcome, from the socket's events or, should an event be missed, from select.
            WSANETWORKEVENTS events{};
            if (WSAEnumNetworkEvents(socket_, event_, &events) == 0 && (events.lNetworkEvents & FD_CONNECT))
                return events.iErrorCode[FD_CONNECT_BIT];
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(socket_, &writable);
            FD_SET(socket_, &failed);
            timeval zero{0, 0};
            if (select(0, nullptr, &writable, &failed, &zero) > 0) {
                if (FD_ISSET(socket_, &writable)) return 0;
                int soError = 0;
                int len = sizeof soError;
                getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
                return soError ? soError : WSAECONNREFUSED;
            }
            if (TimedOut(start)) return WSAETIMEDOUT;
            WaitSlice(event_);
        }
    }

    void Send(std::string_view data) {
        auto last = Clock::now();
        while (!data.empty()) {
            CheckStop();
            const int n = ::send(socket_, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)), 0);
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                last = Clock::now();
                continue;
            }
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK)
                throw Failure{kErrSend, peer_ + " に要求を送信できません: " + DescribeSocketError(error)};
            if (TimedOut(last)) throw Failure{kErrTimeout, peer_ + " への要求の送信がタイムアウトしました"};
            WaitSlice(event_);
        }
    }

    void Receive() {
        parser_.reset();
        pending_.clear();
        held_.clear();
        hasHeld_ = false;
        reported_ = 0;
        gathered_.clear();
        lastTransferEvent_ = Clock::time_point{};
        if (buffer_.size() != kReceiveBufferSize) buffer_.resize(kReceiveBufferSize);
        auto lastData = Clock::now();
        auto lastPump = lastData;
        for (;;) {
            CheckStop();
            const int n = ::recv(socket_, buffer_.data(), static_cast<int>(buffer_.size()), 0);
            if (n > 0) {
                lastData = Clock::now();
                Feed(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
                if (redirectTo_) return;
                if (parser_.state() != http::ResponseParser::State::InProgress) break;
                if (lastData - lastPump >= kPumpInterval) {
                    pump_.Pump();
                    lastPump = Clock::now();
                }
                continue;
            }
            if (n == 0) {
                parser_.connectionClosed();
                break;
            }
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                if (TimedOut(lastData)) {
                    throw Failure{kErrTimeout, peer_ + (parser_.headersComplete() ? " からのデータ待ちがタイムアウトしました"
                                                                     : " からの応答待ちがタイムアウトしました") +
                                                   Progress()};
                }
                // Nothing more for now: what was gathered is reported once its interval is over,
                // and the wait ends then at the latest.
                ReportGathered(false);
                WaitSlice(event_, WaitForGathered());
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
            throw Failure{kErrBadResponse, peer_ + " からの応答が正しくありません: " + ParseErrorText(parser_.error())};
        }
        // Complete. The file is whole on disk before the last piece is reported: a failure to write
        // it fails the transfer before the application sees the count reach the end.
        file_.Finish();
        if (hasHeld_) ReportPiece(held_);
        for (const std::string_view piece : pending_) ReportPiece(piece);
        pending_.clear();
        hasHeld_ = false;
        ReportGathered(true);
        ended_ = true;
        Fire(evEndTransfer, {kDirectionReceive});
    }

    // Hands the bytes of one receive to the parser. Bytes after the end of the answer are not
    // taken: they are not part of it, and are neither written nor reported, whether they arrive
    // with the answer's last bytes or later (reading stops once the answer is complete).
    void Feed(std::string_view data) {
        pending_.clear();
        parser_.feed(data);
        // At the end of the answer (complete or failed) Receive decides what is reported.
        if (parser_.state() == http::ResponseParser::State::InProgress) ReportArrived();
    }

    // Reports the pieces of the last receive that are known not to end the body. With a
    // Content-Length the body has not ended while the parse goes on, so all of them are. A chunked
    // body or one that ends with the connection may end with what just arrived (its end is seen
    // only in the next receive), so the last piece waits, copied out of the receive buffer that
    // the next receive reuses, until more of the body arrives or the body ends.
    void ReportArrived() {
        if (pending_.empty()) return;
        const bool lastMayEnd = parser_.framing() != http::BodyFraming::ContentLength;
        if (hasHeld_) {
            hasHeld_ = false;
            ReportPiece(held_);
        }
        const std::size_t now = pending_.size() - (lastMayEnd ? 1 : 0);
        for (std::size_t i = 0; i < now; ++i) ReportPiece(pending_[i]);
        if (lastMayEnd) {
            held_.assign(pending_.back());
            hasHeld_ = true;
        }
        pending_.clear();
        ReportGathered(false);
    }

    // A piece known to be reported: gathered until its event (ReportGathered).
    void ReportPiece(std::string_view piece) { gathered_.append(piece); }

    // Raises one transfer event for everything gathered, when `now` or once the interval since
    // the last event is over. A failed answer never gets here with what it gathered last.
    void ReportGathered(bool now) {
        if (gathered_.empty()) return;
        if (!now && Clock::now() - lastTransferEvent_ < kTransferEventInterval) return;
        reported_ += gathered_.size();
        const auto total = static_cast<std::intptr_t>(
            std::min<std::uint64_t>(reported_, std::numeric_limits<std::int32_t>::max()));
        Fire(evTransfer, {kDirectionReceive, total, Bytes(gathered_)});
        gathered_.clear();
        // Counted from the end of the handler, so that a slow handler still leaves the interval
        // to the transfer.
        lastTransferEvent_ = Clock::now();
    }

    // How long a wait may last before gathered bytes are due: a whole slice when none are.
    DWORD WaitForGathered() const {
        if (gathered_.empty()) return kWaitSliceMs;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            lastTransferEvent_ + kTransferEventInterval - Clock::now());
        return static_cast<DWORD>(std::clamp<long long>(left.count() + 1, 1, kWaitSliceMs));
    }

    std::string Progress() const {
        if (!started_) return "";
        std::string text = " (" + std::to_string(parser_.bodyBytes());
        if (const auto length = parser_.announcedLength()) text += " / " + std::to_string(*length);
        return text + " バイト受信)";
    }

    // ---- the parser's events ------------------------------------------------------------------

    void onStatus(const http::StatusLine& status) override {
        statusCode_ = status.code;
        reason_ = status.reason;
        location_.reset();
        Fire(evStatus, {Text("HTTP/" + std::to_string(status.major) + "." + std::to_string(status.minor)),
                        status.code, Text(status.reason)});
    }

    void onHeader(std::string_view name, std::string_view value) override {
        Fire(evHeader, {Text(std::string(name)), Text(std::string(value))});
        if (nx::http::equalsNoCase(name, "Location")) location_ = std::string(value);
        if (nx::http::equalsNoCase(name, "Set-Cookie")) FireCookie(value);
    }

    void onHeadersComplete() override {
        const int code = statusCode_;
        if (IsRedirect(code) && location_) {
            const int policy = ints_[idFollowRedirects];
            const std::string target = ResolveLocation(url_, *location_);
            const bool sameScheme = target.size() >= 5 && nx::http::equalsNoCase(std::string_view(target).substr(0, 5), "http:");
            if (policy == 1 || (policy == 2 && sameScheme)) {
                std::intptr_t values[2] = {0, 1};
                const std::string text = target;
                values[0] = reinterpret_cast<std::intptr_t>(text.c_str());
                int lengths[2] = {0, 0};
                FireRaw(evRedirect, 2, values, lengths, true);
                if ((values[1] & 0xFF) != 0) {
                    redirectTo_ = target;
                    CloseSocket();  // the next hop opens its own connection
                    parser_.stop();  // the rest of this answer is not read
                    return;
                }
            }
        }
        if (code < 200 || code > 299) {
            throw Failure{code, reason_.empty() ? std::string(StandardReason(code)) : reason_};
        }
        // The body starts: the local file is replaced now.
        if (!texts_[idLocalFile].empty()) file_.Open(texts_[idLocalFile]);
        started_ = true;
        Fire(evStartTransfer, {kDirectionReceive});
        // The first bytes are gathered for one interval too: a body that arrives within it is
        // reported in a single event.
        lastTransferEvent_ = Clock::now();
    }

    // The piece is written first and reported after the parser has taken the whole receive, when
    // it is known whether the body ended there (Receive, ReportArrived). The view stays valid until
    // the next receive.
    void onBody(std::string_view piece) override {
        file_.Write(piece);
        pending_.push_back(piece);
    }

    void FireCookie(std::string_view header) {
        std::vector<std::string_view> parts;
        while (true) {
            const std::size_t semi = header.find(';');
            parts.push_back(Trim(header.substr(0, semi)));
            if (semi == std::string_view::npos) break;
            header.remove_prefix(semi + 1);
        }
        const std::string_view pair = parts.front();
        const std::size_t eq = pair.find('=');
        std::string name(Trim(pair.substr(0, eq)));
        std::string value = eq == std::string_view::npos ? std::string() : std::string(Trim(pair.substr(eq + 1)));
        std::string expires, domain, path;
        bool secure = false;
        for (std::size_t i = 1; i < parts.size(); ++i) {
            const std::size_t e = parts[i].find('=');
            const std::string_view key = Trim(parts[i].substr(0, e));
            const std::string_view val = e == std::string_view::npos ? std::string_view() : Trim(parts[i].substr(e + 1));
            if (nx::http::equalsNoCase(key, "Expires")) expires = val;
            else if (nx::http::equalsNoCase(key, "Domain")) domain = val;
            else if (nx::http::equalsNoCase(key, "Path")) path = val;
            else if (nx::http::equalsNoCase(key, "Secure")) secure = true;
        }
        Fire(evSetCookie, {Text(name), Text(value), Text(expires), Text(domain), Text(path), secure ? 1 : 0});
    }

    // ---- events ------------------------------------------------------------------------------

    // One argument of an event: a number, a text (kept alive for the call) or raw bytes.
    struct Arg {
        template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
        Arg(T number) : value(static_cast<std::intptr_t>(number)) {}
        std::intptr_t value = 0;
        int length = 0;
        std::string text;
        bool isText = false;
    };
    static Arg Text(std::string s) {
        Arg a(0);
        a.text = std::move(s);
        a.isText = true;
        return a;
    }
    static Arg Bytes(std::string_view bytes) {
        Arg a(reinterpret_cast<std::intptr_t>(bytes.data()));
        a.length = static_cast<int>(bytes.size());
        return a;
    }

    void Fire(int id, std::initializer_list<Arg> args, bool checkStop = true) {
        std::intptr_t values[8] = {};
        int lengths[8] = {};
        int i = 0;
        for (const Arg& a : args) {
            values[i] = a.isText ? reinterpret_cast<std::intptr_t>(a.text.c_str()) : a.value;
            lengths[i] = a.length;
            ++i;
        }
        FireRaw(id, i, values, lengths, checkStop);
    }

    void FireRaw(int id, int count, std::intptr_t* values, int* lengths, bool checkStop) {
        if (checkStop) CheckStop();
        if (destroyPending_ || !sink_) return;
        sink_(context_, id, count, values, lengths);
        if (checkStop) CheckStop();
    }

    // ---- waiting -----------------------------------------------------------------------------

    void CheckStop() {
        if (pump_.quitSeen()) throw Failure{kErrInterrupted, "プログラムの終了のため転送を中断しました"};
        if (stopRequested_) throw Failure{kErrInterrupted, "転送を中断しました"};
    }

    bool TimedOut(Clock::time_point since) const {
        const std::int32_t seconds = ints_.at(idTimeout);
        return seconds > 0 && Clock::now() - since >= std::chrono::seconds(seconds);
    }

    // One slice: dispatch messages, then wait for the handle or a new message, at most
    // `milliseconds` (one slice unless told).
    void WaitSlice(HANDLE handle, DWORD milliseconds = kWaitSliceMs) {
        pump_.Pump();
        CheckStop();
        // The socket's event resets itself when the wait ends on it; the callers try the socket
        // again in any case, and a message that woke the wait is dispatched at the next slice.
        MsgWaitForMultipleObjectsEx(1, &handle, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }

    void CloseSocket() {
        if (socket_ == INVALID_SOCKET) return;
        WSAEventSelect(socket_, event_, 0);
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
        if (event_) ResetEvent(event_);
    }

    EventSink sink_;
    void* context_;
    std::string lastError_;
    std::map<int, std::string> texts_;
    std::map<int, std::int32_t> ints_{{idAuthScheme, 0}, {idFirewallPort, 0}, {idFirewallType, 0},
                                      {idFollowRedirects, 0}, {idProxyPort, 80}, {idTimeout, 60}};

    bool busy_ = false;
    bool getActive_ = false;  // a Get runs and has not yet closed its connection for good
    bool stopRequested_ = false;
    bool destroyPending_ = false;
    MessagePump pump_;
    SOCKET socket_ = INVALID_SOCKET;
    HANDLE event_ = nullptr;
    std::string peer_;
    http::HttpUrl url_;

    http::ResponseParser parser_;
    std::vector<char> buffer_;
    BodyFile file_;
    std::vector<std::string_view> pending_;  // body pieces of the last receive, not yet reported
    std::string held_;                       // a piece that may be the body's last, not yet reported
    bool hasHeld_ = false;
    std::uint64_t reported_ = 0;             // body bytes reported in transfer events
    std::string gathered_;                   // body bytes to report in the next transfer event
    struct Resolved {
        std::string host;
        unsigned short port = 0;
        std::vector<Address> addresses;
        Clock::time_point when;
    } resolved_;                             // the last name looked up
    Clock::time_point lastTransferEvent_;    // when the last transfer event's handler returned
    bool started_ = false;
    bool ended_ = false;
    bool everConnected_ = false;
    int statusCode_ = 0;
    std::string reason_;
    std::optional<std::string> location_;
    std::optional<std::string> redirectTo_;
};

Session* Find(EngineHandle handle) {
    auto* session = reinterpret_cast<Session*>(handle);
    return LiveSessions().count(session) ? session : nullptr;
}

EngineHandle NX_CALL Create(EventSink sink, void* context, std::intptr_t) {
    if (StartWinsock() != 0) return 0;
    try {
        auto* session = new Session(sink, context);
        LiveSessions().insert(session);
        return reinterpret_cast<EngineHandle>(session);
    } catch (...) {
        return 0;
    }
}

void NX_CALL Destroy(EngineHandle handle) {
    Session* session = Find(handle);
    if (!session) return;
    LiveSessions().erase(session);
    if (session->busy()) {
        session->MarkForDestruction();  // the running Get deletes it when it unwinds
    } else {
        delete session;
    }
}

int NX_CALL SetProperty(EngineHandle handle, int id, int index, std::intptr_t value, int) {
    Session* session = Find(handle);
    return session ? session->Set(id, index, value) : kErrInvalidHandle;
}

std::intptr_t NX_CALL GetProperty(EngineHandle handle, int id, int index, int*) {
    Session* session = Find(handle);
    return session ? session->Get(id, index) : 0;
}

const char* NX_CALL LastError(EngineHandle handle) {
    Session* session = Find(handle);
    return session ? session->lastError() : "エンジンのハンドルが正しくありません";
}

int NX_CALL CheckIndex(EngineHandle handle, int id, int index) {
    Session* session = Find(handle);
    return session ? session->CheckIndex(id, index) : kErrInvalidHandle;
}

int NX_CALL DoMethod(EngineHandle handle, int method, int argCount, std::intptr_t* values, int*) {
    Session* session = Find(handle);
    if (!session) return kErrInvalidHandle;
    int result = 0;
    try {
        result = session->Do(method, argCount, values);
    } catch (...) {
        if (session->destroyPending() && !session->busy()) delete session;
        throw;
    }
    if (session->destroyPending() && !session->busy()) delete session;
    return result;
}

}  // namespace

EngineEntries HttpEngineEntries() {
    EngineEntries entries;
    entries.HTTP_Create = &Create;
    entries.HTTP_Destroy = &Destroy;
    entries.HTTP_Set = &SetProperty;
    entries.HTTP_Get = &GetProperty;
    entries.HTTP_GetLastError = &LastError;
    entries.HTTP_CheckIndex = &CheckIndex;
    entries.HTTP_Do = &DoMethod;
    return entries;
}

void ShutDown() {
    const std::set<Session*> sessions = LiveSessions();
    LiveSessions().clear();
    for (Session* session : sessions) {
        if (session->busy()) {
            session->MarkForDestruction();
        } else {
            delete session;
        }
    }
}

}  // namespace nx::engine
