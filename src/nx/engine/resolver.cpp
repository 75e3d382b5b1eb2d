#include "resolver.h"

#include <cstring>
#include <thread>

#include "util/handle.h"

namespace nx::engine {

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
        const void* raw =
            ai->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr);
        if (inet_ntop(ai->ai_family, const_cast<void*>(raw), text, sizeof text)) a.text = text;
        out.push_back(std::move(a));
    }
    return out;
}

// getaddrinfo for a stream socket: the addresses, or the error.
int Lookup(const std::string& host, const std::string& service, int flags, std::vector<Address>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) return rc;
    addresses = Collect(list);
    freeaddrinfo(list);
    return 0;
}

}  // namespace

std::vector<Address> ResolveNumeric(const std::string& host, unsigned short port) {
    std::vector<Address> out;
    Lookup(host, std::to_string(port), AI_NUMERICHOST, out);  // ignored: not a literal gives none
    return out;
}

struct PendingResolution::Job {
    std::string host;
    std::string service;
    KernelHandle done;
    std::vector<Address> addresses;  // written by the thread before `done` is set
    int error = 0;
};

PendingResolution::PendingResolution(const std::string& host, unsigned short port) : job_(std::make_shared<Job>()) {
    job_->host = host;
    job_->service = std::to_string(port);
    job_->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::shared_ptr<Job> job = job_;
    try {
        std::thread([job] {
            job->error = Lookup(job->host, job->service, 0, job->addresses);
            SetEvent(job->done.get());
        }).detach();
    } catch (...) {
        job_->error = WSAEPROCLIM;
        SetEvent(job_->done.get());
    }
}

PendingResolution::~PendingResolution() = default;

HANDLE PendingResolution::event() const { return job_->done.get(); }

bool PendingResolution::ready() const { return WaitForSingleObject(job_->done.get(), 0) == WAIT_OBJECT_0; }

std::vector<Address> PendingResolution::addresses() const { return job_->addresses; }

int PendingResolution::error() const { return job_->error; }

}  // namespace nx::engine
