#include "test_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace nxtest {

namespace {

constexpr int kMaxConnections = 400;
constexpr auto kLifetime = std::chrono::seconds(300);
constexpr int kMaxStallMs = 10000;

std::size_t Number(const std::string& text) {
    return static_cast<std::size_t>(std::strtoull(text.c_str(), nullptr, 10));
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

const char* Reason(int code) {
    switch (code) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Whatever";
    }
}

}  // namespace

std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = PatternByte(i);
    return s;
}

void StartWinsockForTests() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

std::uint16_t UnusedPort() {
    StartWinsockForTests();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    return ntohs(a.sin_port);
}

TestServer::TestServer() {
    StartWinsockForTests();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 16);
    int len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TestServer::~TestServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closesocket(listener_);
}

std::vector<std::string> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string TestServer::lastRequest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.empty() ? std::string() : requests_.back();
}

void TestServer::Run() {
    const auto end = std::chrono::steady_clock::now() + kLifetime;
    for (int served = 0; served < kMaxConnections && !stop_ && std::chrono::steady_clock::now() < end;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        ++served;
        ++connections_;
        logon_.emplace("proxy", "secret");
        std::string head;
        Next next = Next::Close;
        for (bool kept = false; ReadHead(client, kept, head); kept = true) {
            if (next == Next::DropNext) break;
            next = Serve(head, client);
            if (next == Next::Close) break;
        }
        closesocket(client);
    }
}

bool TestServer::SendAll(SOCKET client, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        if (stop_) return false;
        const int n =
            send(client, data.data() + done, static_cast<int>(std::min<std::size_t>(data.size() - done, 1 << 20)), 0);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool TestServer::PeerClosed(SOCKET client) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client, &readable);
    timeval zero{0, 0};
    if (select(0, &readable, nullptr, nullptr, &zero) <= 0) return false;
    char c;
    return recv(client, &c, 1, MSG_PEEK) <= 0;
}

// Waits, and returns false early when the client has gone or the server stops.
bool TestServer::SleepWatching(SOCKET client, int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(milliseconds, kMaxStallMs));
    while (std::chrono::steady_clock::now() < end) {
        if (stop_ || PeerClosed(client)) return false;
        Sleep(10);
    }
    return true;
}

// Reads one request head into `head` (the request line and header lines) and records it; false
// when the client closed, the wait ran out or, on a connection kept open, another one arrived.
bool TestServer::ReadHead(SOCKET client, bool kept, std::string& head) {
    head.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kept ? 10 : 5);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        if (stop_ || std::chrono::steady_clock::now() > deadline) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        if (kept && head.empty()) FD_SET(listener_, &readable);
        timeval wait{0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        if (FD_ISSET(listener_, &readable) && !FD_ISSET(client, &readable)) return false;
        char buf[4096];
        const int n = recv(client, buf, sizeof buf, 0);
        if (n <= 0) {
            if (kept && head.empty()) ++closedWhileKept_;
            return false;
        }
        head.append(buf, static_cast<std::size_t>(n));
    }
    head = head.substr(0, head.find("\r\n\r\n"));
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(head);
    return true;
}

TestServer::Next TestServer::Serve(const std::string& head, SOCKET client) {
    // "GET target HTTP/1.1": an absolute-form target is served by its path.
    const std::string line = head.substr(0, head.find("\r\n"));
    std::string target = line.substr(line.find(' ') + 1);
    target = target.substr(0, target.find(' '));
    if (target.rfind("http://", 0) == 0) {
        const std::size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    std::vector<std::string> p = Split(target);
    // How the connection is used after the answer.
    const std::string keep = !p.empty() && p[0].rfind("keep", 0) == 0 ? p[0] : "";
    if (!keep.empty()) {
        target = target.substr(keep.size() + 1);
        p.erase(p.begin());
    }
    const std::string kind = p.empty() ? "" : p[0];
    const std::size_t n = p.size() > 1 ? Number(p[1]) : 0;
    auto header = [&keep](int code, const std::string& fields) {
        const std::string version = keep == "keep10" ? "HTTP/1.0 " : "HTTP/1.1 ";
        const bool close = keep.empty() || keep == "keepclose";
        return version + std::to_string(code) + " " + Reason(code) + "\r\n" + fields +
               (close ? "Connection: close\r\n" : "") + "\r\n";
    };
    auto length = [](std::size_t size) { return "Content-Length: " + std::to_string(size) + "\r\n"; };
    bool reset = false;

    if (kind == "gen" || kind == "noclen") {
        if (SendAll(client, header(200, (kind == "gen" ? length(n) : std::string()) +
                                            "Content-Type: application/octet-stream\r\n"))) {
            std::string block;
            for (std::size_t done = 0; done < n;) {
                const std::size_t size = std::min<std::size_t>(n - done, 256 * 1024);
                block.resize(size);
                for (std::size_t i = 0; i < size; ++i) block[i] = PatternByte(done + i);
                if (!SendAll(client, block)) break;
                done += size;
            }
        }
    } else if (kind == "chunked") {
        std::string body = header(200, "Transfer-Encoding: chunked\r\n");
        static const std::size_t sizes[] = {1, 7, 1000, 65536, 3, 20000};
        std::size_t done = 0;
        for (int k = 0; done < n; ++k) {
            const std::size_t size = std::min(n - done, sizes[k % 6]);
            char hex[32];
            std::snprintf(hex, sizeof hex, "%zx;ext=1\r\n", size);
            body += hex;
            for (std::size_t i = 0; i < size; ++i) body += PatternByte(done + i);
            body += "\r\n";
            done += size;
        }
        body += "0\r\nX-Trailer: yes\r\n\r\n";
        SendAll(client, body);
    } else if (kind == "short" || kind == "reset" || kind == "excess") {
        const std::size_t sent = kind == "excess" ? n + 10 : n / 2;
        SendAll(client, header(200, length(n)) + Pattern(sent));
        reset = kind == "reset";
        if (!reset) Sleep(50);  // let the bytes leave before the close
    } else if (kind == "excesslater") {
        // The excess in a packet of its own, after the announced body.
        if (SendAll(client, header(200, length(n)) + Pattern(n)) && SleepWatching(client, 50))
            SendAll(client, std::string(10, 'X'));
    } else if (kind == "interim") {
        std::string batch;
        for (int i = 0; i < 100; ++i) batch += "HTTP/1.1 100 Continue\r\n\r\n";
        for (std::size_t sent = 0; sent < (1u << 20) && !PeerClosed(client); sent += batch.size()) {
            if (!SendAll(client, batch)) break;
        }
    } else if (kind == "hugehead") {
        std::string head = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 99; ++i) head += "X-Big-" + std::to_string(i) + ": " + std::string(8000, 'h') + "\r\n";
        SendAll(client, head + length(5) + "\r\nhello");
    } else if (kind == "trickle") {
        const int ms = p.size() > 2 ? static_cast<int>(Number(p[2])) : 100;
        if (SendAll(client, header(200, length(n)))) {
            for (std::size_t i = 0; i < n; ++i) {
                if (!SleepWatching(client, ms)) break;
                if (!SendAll(client, std::string(1, PatternByte(i)))) break;
            }
        }
    } else if (kind == "stall") {
        SleepWatching(client, static_cast<int>(n));
    } else if (kind == "status") {
        const int code = static_cast<int>(n);
        const std::string html = "<html><body><h1>" + std::to_string(code) + " " + Reason(code) + "</h1></body></html>";
        SendAll(client, header(code, length(html.size()) + "Content-Type: text/html\r\n") + html);
    } else if (kind == "redirect" || kind == "redirectabs" || kind == "redirecthttps") {
        const int code = static_cast<int>(n);
        std::string rest = target.substr(std::min(target.size(), kind.size() + 2 + p[1].size()));
        if (kind == "redirectabs") rest = "http://127.0.0.1:" + std::to_string(port_) + rest;
        if (kind == "redirecthttps") rest = "https://127.0.0.1:" + std::to_string(port_) + rest;
        const std::string html = "<html>moved</html>";
        SendAll(client, header(code, "Location: " + rest + "\r\n" + length(html.size())) + html);
    } else if (kind == "cookie") {
        SendAll(client, header(200,
                               "Set-Cookie: session=abc123; Path=/karedona; Domain=example.com; Secure\r\n"
                               "Set-Cookie: plain=1\r\n" +
                                   length(5)) +
                            "hello");
    } else if (kind == "ntlm") {
        const int challenges = logon_->challenges(), refused = logon_->refused();
        std::string authenticate;
        const bool admitted = logon_->Admit(head, authenticate);
        logonChallenges_ += logon_->challenges() - challenges;
        logonsRefused_ += logon_->refused() - refused;
        if (!admitted) {
            SendAll(client,
                    "HTTP/1.1 407 Proxy Authentication Required\r\n" + authenticate + length(10) + "\r\nlogon, pls");
            return Next::Keep;
        }
        if (head.find("Proxy-Authorization") != std::string::npos) ++logonsPassed_;
        SendAll(client, "HTTP/1.1 200 OK\r\n" + length(n) + "\r\n" + Pattern(n));
        return Next::Keep;
    } else if (kind == "garbage") {
        SendAll(client, "HELLO THERE\r\n\r\nnot http at all");
    } else if (kind == "longheader") {
        SendAll(client, "HTTP/1.1 200 OK\r\nX-Long: " + std::string(20000, 'a') + "\r\n" + length(5) + "\r\nhello");
    } else if (kind == "badchunk") {
        SendAll(client, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\nmore\r\n0\r\n\r\n");
    } else {
        SendAll(client, header(404, length(9)) + "not found");
    }

    if (!keep.empty() && keep != "keepfin" && (kind == "gen" || kind == "chunked" || kind == "status"))
        return keep == "keepdrop" ? Next::DropNext : Next::Keep;
    if (reset) {
        linger l{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    } else {
        shutdown(client, SD_SEND);
        // Give the client a moment to read before the socket goes (bounded).
        SleepWatching(client, 200);
    }
    return Next::Close;
}

}  // namespace nxtest
