#include "socket.h"

namespace nx::engine {

int StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

std::string DescribeSocketError(int error) {
    switch (error) {
    case WSAECONNREFUSED: return "接続が拒否されました";
    case WSAETIMEDOUT: return "タイムアウトしました";
    case WSAECONNRESET: return "サーバーが接続をリセットしました";
    case WSAECONNABORTED: return "接続が中止されました";
    case WSAENETUNREACH: return "ネットワークに到達できません";
    case WSAEHOSTUNREACH: return "ホストに到達できません";
    case WSAENETDOWN: return "ネットワークが停止しています";
    case WSAEADDRNOTAVAIL: return "アドレスを使用できません";
    case WSAEACCES: return "アクセスが拒否されました";
    case WSAHOST_NOT_FOUND: return "そのようなホストは不明です";
    case WSATRY_AGAIN: return "ネームサーバーが応答しません";
    case WSANO_RECOVERY: return "ネームサーバーでエラーが発生しました";
    case WSANO_DATA: return "この名前にはアドレスがありません";
    case WSAEAFNOSUPPORT: return "このアドレスファミリには対応していません";
    default: return "Winsock エラー " + std::to_string(error);
    }
}

}  // namespace nx::engine
