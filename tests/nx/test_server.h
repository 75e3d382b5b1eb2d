#pragma once
// A small HTTP server on 127.0.0.1 for the transfer tests, on a thread of its own. It answers one
// connection at a time (the component never holds two) and misbehaves on request, chosen by the
// request's path. It accepts origin-form and absolute-form request lines (as a proxy sees them)
// and serves the path either way. Its answers say "Connection: close" and it closes after them,
// except under these prefixes, which keep the connection open for the next request when the path
// after them is /gen/, /chunked/ or /status/:
//
//   /keep/...          an HTTP/1.1 answer without a Connection field
//   /keepdrop/...      the same; then the next request on the connection is read and the
//                      connection closed without a byte of an answer
//   /keepfin/...       the same, and the server closes its end right after the answer
//   /keep10/...        an HTTP/1.0 answer without a Connection field
//   /keepclose/...     an HTTP/1.1 answer with "Connection: close"
//
// A connection kept open waits at most 10 seconds for its next request, and is given up as soon as
// another connection arrives.
//
//   /gen/N             N bytes of Pattern(), with Content-Length
//   /noclen/N          the same without Content-Length, ended by closing the connection
//   /chunked/N         the same, chunked, with chunks of varying sizes
//   /short/N           Content-Length N, then N/2 bytes and a normal close
//   /reset/N           Content-Length N, then N/2 bytes and a reset connection
//   /excess/N          Content-Length N, then N + 10 bytes in the same send
//   /excesslater/N     Content-Length N, then N bytes, a pause of 50 ms and 10 bytes more
//   /trickle/N/MS      Content-Length N, one byte every MS milliseconds
//   /stall/MS          reads the request and answers nothing for MS milliseconds, then closes
//   /status/CODE       CODE with an HTML body (404 and 500 with their reason phrases)
//   /redirect/CODE/... CODE with "Location: /..." (the rest of the path); /redirectabs/CODE/... the
//                      same with an absolute http:// location; /redirecthttps/ to https://
//   /cookie            200, two Set-Cookie lines and a 5-byte body
//   /garbage           a response that is not HTTP
//   /longheader        a header line of 20000 bytes
//   /interim           "HTTP/1.1 100 Continue" heads without end (up to 1 MB of them)
//   /hugehead          a 200 head of 99 header lines of 8000 bytes, then a 5-byte body
//   /badchunk          a chunked body with a bad chunk size
//   /ntlm/N            as a proxy that asks for an NTLM logon (the user "proxy", the password
//                      "secret"), once for each connection: 407 with a 10-byte body until the
//                      connection has logged on, then /gen/N; the connection is kept throughout
//
// Limits: at most 400 connections and 300 seconds; every wait is bounded; the server stops by
// itself and when destroyed.

#include <winsock2.h>

#include "ntlm_logon.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nxtest {

// Byte i of every generated body.
inline char PatternByte(std::uint64_t i) { return static_cast<char>((i * 131 + (i >> 11) * 7 + (i >> 19)) & 0xFF); }
std::string Pattern(std::size_t size);

class TestServer {
public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    // Request heads received so far (request line and header lines, CR LF separated).
    std::vector<std::string> requests() const;
    std::string lastRequest() const;
    // Connections accepted so far, and how many of those kept open the client closed before
    // sending another request.
    int connections() const { return connections_; }
    int closedWhileKept() const { return closedWhileKept_; }
    // Under /ntlm/: the challenges sent, the logons refused and those accepted.
    int logonChallenges() const { return logonChallenges_; }
    int logonsRefused() const { return logonsRefused_; }
    int logonsPassed() const { return logonsPassed_; }

private:
    void Run();
    enum class Next { Close, Keep, DropNext };
    bool ReadHead(SOCKET client, bool kept, std::string& head);
    Next Serve(const std::string& head, SOCKET client);
    bool SendAll(SOCKET client, const std::string& data);
    bool PeerClosed(SOCKET client);
    bool SleepWatching(SOCKET client, int milliseconds);

    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::atomic<int> connections_{0};
    std::atomic<int> closedWhileKept_{0};
    std::optional<ntlmtest::ProxyLogon> logon_;  // of the connection being served
    std::atomic<int> logonChallenges_{0};
    std::atomic<int> logonsRefused_{0};
    std::atomic<int> logonsPassed_{0};
};

// A port on 127.0.0.1 that nobody listens on.
std::uint16_t UnusedPort();

// Starts Winsock for the test program's own sockets.
void StartWinsockForTests();

}  // namespace nxtest
