// Benchmark of TnxHTTP: fetches the given addresses into a folder and reports the time of each
// group and the longest delay in dispatching window messages while the transfers ran.
//
//   nx_bench.exe <folder> <label>=<url>[,<url>...] ...
//
// A folder of "-" keeps the bodies out of files (LocalFile empty): the network side alone.
//
// Prints one line per group: "<label> seconds=<s> bytes=<n>", then two measures of how long the
// thread went without dispatching its messages while the transfers ran:
//   max_dispatch_gap_ms and p99_dispatch_gap_ms: the longest interval between two WM_TIMER
//     messages of a 10 ms timer of a hidden window, and the 99th percentile of them (a timer
//     message is produced only when the thread looks at its queue, so a gap longer than the period
//     is time spent without dispatching);
//   max_post_delay_ms: the longest time from posting a message from another thread (every 2 ms)
//     to its dispatch; it also counts any delay of the posting thread itself on a busy machine.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "nx/nxhttp.h"
#include "util/text.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr UINT kProbe = WM_APP + 1;
constexpr UINT_PTR kTimer = 1;
constexpr std::size_t kSlots = 1 << 16;

std::atomic<long long> postedAt[kSlots];  // ticks since `origin`, by sequence number
Clock::time_point origin;
double maxDelayMs = 0;
long messages = 0;
bool measuring = false;
double maxTimerGapMs = 0;
std::vector<double> timerGapsMs;  // every gap between two ticks while measuring
long long lastTimer = -1;         // microseconds since `origin` of the last tick (or the group's start)
long timerTicks = 0;

long long Now() { return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - origin).count(); }

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kProbe) {
        if (measuring) {
            const double delay = static_cast<double>(Now() - postedAt[wp % kSlots].load()) / 1000.0;
            if (delay > maxDelayMs) maxDelayMs = delay;
            ++messages;
        }
        return 0;
    }
    if (msg == WM_TIMER && wp == kTimer) {
        if (measuring) {
            const long long now = Now();
            if (lastTimer >= 0) {
                const double gap = static_cast<double>(now - lastTimer) / 1000.0;
                maxTimerGapMs = std::max(maxTimerGapMs, gap);
                timerGapsMs.push_back(gap);
            }
            lastTimer = now;
            ++timerTicks;
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) return out;
        start = p + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: nx_bench <folder> <label>=<url>[,<url>...] ...\n");
        return 2;
    }
    origin = Clock::now();
    NetXferEngines engines;
    const std::string folder = AnsiToUtf8(argv[1]);

    WNDCLASSW wc{};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"NxBenchProbe";
    RegisterClassW(&wc);
    const HWND hwnd =
        CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);

    SetTimer(hwnd, kTimer, 10, nullptr);
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        for (WPARAM seq = 0; !stop; ++seq) {
            postedAt[seq % kSlots] = Now();
            PostMessageW(hwnd, kProbe, seq, 0);
            Sleep(2);
        }
    });

    TnxHTTP http;
    long long received = 0;
    http.OnTransfer = [&](TnxHTTP&, std::int32_t, std::int32_t, std::string_view text) {
        received += static_cast<long long>(text.size());
    };
    int failures = 0;
    for (int a = 2; a < argc; ++a) {
        const std::string arg = AnsiToUtf8(argv[a]);
        const std::size_t eq = arg.find('=');
        const std::string label = arg.substr(0, eq);
        const std::vector<std::string> urls = Split(arg.substr(eq + 1), ',');
        received = 0;
        // Let the timer run steadily before the group starts.
        for (const auto until = Clock::now() + std::chrono::milliseconds(200); Clock::now() < until;) {
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            Sleep(1);
        }
        lastTimer = Now();  // time before the first tick counts too
        measuring = true;
        const auto start = Clock::now();
        for (const std::string& url : urls) {
            // As the download loop does it: reset if still connected, set the file, fetch.
            if (http.Connected()) http.Reset();
            http.SetLocalFile(folder == "-" ? std::string() : folder + "\\" + url.substr(url.rfind('/') + 1));
            try {
                http.Get(url);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", url.c_str(), e.what());
                ++failures;
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        measuring = false;
        std::printf("%s seconds=%.3f bytes=%lld\n", label.c_str(), seconds, received);
    }
    stop = true;
    poster.join();
    std::sort(timerGapsMs.begin(), timerGapsMs.end());
    const double p99 = timerGapsMs.empty() ? 0.0 : timerGapsMs[timerGapsMs.size() * 99 / 100];
    std::printf("max_dispatch_gap_ms=%.1f p99_dispatch_gap_ms=%.1f timer_messages=%ld\n", maxTimerGapMs, p99,
                timerTicks);
    std::printf("max_post_delay_ms=%.1f posted_messages=%ld\n", maxDelayMs, messages);
    return failures == 0 ? 0 : 1;
}
