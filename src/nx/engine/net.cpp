#include "net.h"

#include "engine.h"

#include <cstring>
#include <thread>

namespace nx::engine {

namespace {

nx::MessageDispatch g_dispatch = nullptr;

}  // namespace

void SetMessageDispatch(nx::MessageDispatch dispatch) { g_dispatch = dispatch; }

void MessagePump::Pump() {
    if (quit_) return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The program's loop must still see it; the engine stops this Get.
            quit_ = true;
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (g_dispatch) {
            g_dispatch(msg);
        } else {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

namespace {

std::vector<Address> Collect(const addrinfo* list) {
    std::vector<Address> out;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address a;
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.length = static_cast<int>(ai->ai_addrlen);
        a.family = ai->ai_family;
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = ai->ai_family == AF_INET
                              ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr)
                              : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr);
        if (inet_ntop(ai->ai_family, const_cast<void*>(raw), text, sizeof text)) a.text = text;
        out.push_back(std::move(a));
    }
    return out;
}

}  // namespace

std::vector<Address> ResolveNumeric(const std::string& host, unsigned short port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return {};
    std::vector<Address> out = Collect(list);
    freeaddrinfo(list);
    return out;
}

struct PendingResolution::Job {
    std::string host;
    std::string service;
    HANDLE done = nullptr;
    std::vector<Address> addresses;  // written by the thread before `done` is set
    int error = 0;
    ~Job() {
        if (done) CloseHandle(done);
    }
};

PendingResolution::PendingResolution(const std::string& host, unsigned short port)
    : job_(std::make_shared<Job>()) {
    job_->host = host;
    job_->service = std::to_string(port);
    job_->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::shared_ptr<Job> job = job_;
    try {
        std::thread([job] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            addrinfo* list = nullptr;
            const int rc = getaddrinfo(job->host.c_str(), job->service.c_str(), &hints, &list);
            if (rc == 0) {
                job->addresses = Collect(list);
                freeaddrinfo(list);
            } else {
                job->error = rc;
            }
            SetEvent(job->done);
        }).detach();
    } catch (...) {
        job_->error = WSAEPROCLIM;
        SetEvent(job_->done);
    }
}

PendingResolution::~PendingResolution() = default;

HANDLE PendingResolution::event() const { return job_->done; }

bool PendingResolution::ready() const { return WaitForSingleObject(job_->done, 0) == WAIT_OBJECT_0; }

std::vector<Address> PendingResolution::addresses() const { return job_->addresses; }

int PendingResolution::error() const { return job_->error; }

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
