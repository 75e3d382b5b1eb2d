#pragma once
// Winsock for the engine: started once for the process, the owner of a socket, and the user's
// words for a Winsock error.

#include <winsock2.h>

#include <string>

#include "util/handle.h"

namespace nx::engine {

// Starts Winsock once for the process. Returns 0 or the WSAStartup error.
int StartWinsock();

struct SocketTraits {
    using Native = SOCKET;
    static Native Invalid() noexcept { return INVALID_SOCKET; }
    static bool Valid(Native s) noexcept { return s != INVALID_SOCKET; }
    static bool Close(Native s) noexcept { return closesocket(s) == 0; }
};
using Socket = UniqueHandle<SocketTraits>;

// "接続が拒否されました" ... for a Winsock error code.
std::string DescribeSocketError(int error);

}  // namespace nx::engine
