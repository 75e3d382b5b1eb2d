#pragma once
// Waiting on the UI thread without freezing it: the message pump that runs between wait slices,
// and name resolution on a helper thread.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace nx::engine {

using Clock = std::chrono::steady_clock;

// The longest single wait of the engine: between two slices the thread's messages are dispatched
// and requests to stop are seen.
inline constexpr DWORD kWaitSliceMs = 20;

// Dispatches the messages waiting for this thread through the dispatch the program gave
// (SetMessageDispatch in engine.h), or with TranslateMessage and DispatchMessage when it gave none.
// A WM_QUIT found there is posted again for the program's own message loop and ends the pumping
// of this object: quitSeen() then tells the engine to stop.
class MessagePump {
public:
    void Pump();
    bool quitSeen() const { return quit_; }

private:
    bool quit_ = false;
};

// Starts Winsock once for the process. Returns 0 or the WSAStartup error.
int StartWinsock();

// One resolved address.
struct Address {
    sockaddr_storage storage{};
    int length = 0;
    int family = AF_UNSPEC;
    std::string text;  // "127.0.0.1", "::1"
};

// Resolution of a name that runs on a helper thread. The result is fetched once `ready()`; the
// object may be dropped at any time (an interrupted Get): the thread finishes on its own.
class PendingResolution {
public:
    PendingResolution(const std::string& host, unsigned short port);
    ~PendingResolution();
    PendingResolution(const PendingResolution&) = delete;
    PendingResolution& operator=(const PendingResolution&) = delete;

    // Signalled when the thread has finished.
    HANDLE event() const;
    bool ready() const;
    // After ready(): the addresses (empty on failure) and the getaddrinfo error (0 on success).
    std::vector<Address> addresses() const;
    int error() const;

private:
    struct Job;
    std::shared_ptr<Job> job_;
};

// Resolves a numeric address (IPv4 or IPv6 literal) at once; empty when `host` is not one.
std::vector<Address> ResolveNumeric(const std::string& host, unsigned short port);

// "connection refused", "timed out" ... for a Winsock error code.
std::string DescribeSocketError(int error);

}  // namespace nx::engine
