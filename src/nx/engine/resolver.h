#pragma once
// Name resolution without freezing the UI thread: numeric addresses at once, names on a helper
// thread.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace nx::engine {

// One resolved address.
struct Address {
    sockaddr_storage storage{};
    int length = 0;
    int family = AF_UNSPEC;
    std::string text;  // "127.0.0.1", "::1"
};

// Resolves a numeric address (IPv4 or IPv6 literal) at once; empty when `host` is not one.
std::vector<Address> ResolveNumeric(const std::string& host, unsigned short port);

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

}  // namespace nx::engine
