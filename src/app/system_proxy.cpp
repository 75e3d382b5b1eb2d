// The proxy that the system's settings give, found through WinHTTP's own configuration functions
// (winhttp.dll is delay-loaded: loaded at the first call, from the System folder only).
#include "system_proxy.h"

#include "util/handle.h"
#include "util/text.h"

#include <windows.h>
#include <winhttp.h>

#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// Strings that WinHTTP allocated for the caller, freed with GlobalFree.
class GlobalText {
public:
    explicit GlobalText(LPWSTR text) : text_(text) {}
    GlobalText(const GlobalText&) = delete;
    GlobalText& operator=(const GlobalText&) = delete;
    ~GlobalText() {
        if (text_) GlobalFree(text_);
    }
    std::string Utf8() const { return text_ ? WideToUtf8(text_) : std::string(); }

private:
    LPWSTR text_;
};

struct InternetHandleTraits {
    using Native = HINTERNET;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static bool Close(Native h) noexcept { return WinHttpCloseHandle(h) != 0; }
};
using InternetHandle = UniqueHandle<InternetHandleTraits>;

std::vector<std::string> Entries(std::string_view list) {
    std::vector<std::string> entries;
    std::string current;
    for (const char c : list) {
        if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) entries.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) entries.push_back(std::move(current));
    return entries;
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// `pattern` with "*" for any run of characters, letter case ignored.
bool Matches(std::string_view pattern, std::string_view text) {
    if (pattern.empty()) return text.empty();
    if (pattern.front() == '*') {
        for (size_t skip = 0; skip <= text.size(); ++skip)
            if (Matches(pattern.substr(1), text.substr(skip))) return true;
        return false;
    }
    return !text.empty() && Lower(pattern.front()) == Lower(text.front()) && Matches(pattern.substr(1), text.substr(1));
}

std::string_view WithoutScheme(std::string_view text) {
    const size_t scheme = text.find("://");
    return scheme == std::string_view::npos ? text : text.substr(scheme + 3);
}

// "host" and "host:port" of an http address; the port is 80 when the address names none.
void HostOf(std::string_view url, std::string& host, std::string& hostAndPort) {
    std::string_view rest = WithoutScheme(url);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const size_t colon = rest.rfind(':');
    const bool hasPort = colon != std::string_view::npos && rest.find(']', colon) == std::string_view::npos;
    host = std::string(hasPort ? rest.substr(0, colon) : rest);
    hostAndPort = hasPort ? std::string(rest) : host + ":80";
}

SystemProxy Named(const std::string& list, const std::string& source, bool configured) {
    SystemProxy proxy;
    if (PickHttpProxy(list, proxy.host, proxy.port)) {
        proxy.source = source;
        proxy.configured = configured;
    }
    return proxy;
}

// The settings' answer for `url`; runs on the helper thread.
SystemProxy Lookup(const std::string& url) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    const bool haveUser = WinHttpGetIEProxyConfigForCurrentUser(&user) != 0;
    const GlobalText autoConfigUrl(haveUser ? user.lpszAutoConfigUrl : nullptr);
    const GlobalText fixed(haveUser ? user.lpszProxy : nullptr);
    const GlobalText fixedBypass(haveUser ? user.lpszProxyBypass : nullptr);
    const std::string scriptUrl = autoConfigUrl.Utf8();

    if (haveUser && (user.fAutoDetect || !scriptUrl.empty())) {
        InternetHandle session(
            WinHttpOpen(L"KarUpdt", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (session) {
            // A script server or a detection that does not answer is given up after a few seconds.
            WinHttpSetTimeouts(session.get(), 5000, 5000, 5000, 5000);
            WINHTTP_AUTOPROXY_OPTIONS options{};
            const std::wstring wideScriptUrl = Utf8ToWide(scriptUrl);
            if (!scriptUrl.empty()) {
                options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
                options.lpszAutoConfigUrl = wideScriptUrl.c_str();
            } else {
                options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
                options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
            }
            // The script's server may ask who the user is: a configured one is given the user's
            // logon of Windows, one that detection found is not (anybody on the network can answer).
            options.fAutoLogonIfChallenged = scriptUrl.empty() ? FALSE : TRUE;
            WINHTTP_PROXY_INFO info{};
            if (WinHttpGetProxyForUrl(session.get(), Utf8ToWide(url).c_str(), &options, &info)) {
                const GlobalText list(info.lpszProxy);
                const GlobalText bypass(info.lpszProxyBypass);
                // The script's own answer, DIRECT included, is final.
                if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return {};
                return Named(list.Utf8(), scriptUrl.empty() ? "自動検出" : "自動構成スクリプト", !scriptUrl.empty());
            }
        }
    }
    if (!fixed.Utf8().empty()) {
        if (Bypassed(fixedBypass.Utf8(), url)) return {};
        return Named(fixed.Utf8(), "Windows のプロキシ設定", true);
    }
    // A script that could not be fetched or run means a direct connection.
    if (!scriptUrl.empty()) return {};
    // The user's settings name nothing (an administrator's account often has none): the machine's.
    WINHTTP_PROXY_INFO machine{};
    if (!WinHttpGetDefaultProxyConfiguration(&machine)) return {};
    const GlobalText list(machine.lpszProxy);
    const GlobalText bypass(machine.lpszProxyBypass);
    if (machine.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || Bypassed(bypass.Utf8(), url)) return {};
    return Named(list.Utf8(), "WinHTTP の既定のプロキシ", true);
}

// What the helper thread and the waiting thread share; the helper keeps it alive when the waiter
// has gone.
struct Job {
    std::string url;
    SystemProxy result;
    KernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI LookupThread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(parameter));
    try {
        (*job)->result = Lookup((*job)->url);
    } catch (...) {
        (*job)->result = {};  // nothing found: a direct connection
    }
    SetEvent((*job)->done.get());
    return 0;
}

}  // namespace

bool PickHttpProxy(const std::string& list, std::string& host, std::uint16_t& port) {
    std::string chosen;
    for (const std::string& entry : Entries(list)) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (chosen.empty()) chosen = entry;  // a proxy for every scheme
        } else if (EqualsIgnoringCase(entry.substr(0, equals), "http")) {
            chosen = entry.substr(equals + 1);
            break;
        }
    }
    std::string_view text = WithoutScheme(chosen);
    text = text.substr(0, text.find('/'));
    if (text.empty()) return false;
    const size_t colon = text.rfind(':');
    port = 80;
    if (colon != std::string_view::npos && text.find(']', colon) == std::string_view::npos) {
        unsigned long value = 0;
        const std::string_view digits = text.substr(colon + 1);
        for (const char c : digits) {
            if (c < '0' || c > '9' || value > 65535) return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (digits.empty() || value == 0 || value > 65535) return false;
        port = static_cast<std::uint16_t>(value);
        text = text.substr(0, colon);
    }
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty()) return false;
    host = std::string(text);
    return true;
}

bool Bypassed(const std::string& bypassList, const std::string& url) {
    std::string host, hostAndPort;
    HostOf(url, host, hostAndPort);
    for (const std::string& entry : Entries(bypassList)) {
        if (EqualsIgnoringCase(entry, "<local>")) {
            if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) return true;
            continue;
        }
        const std::string_view pattern = WithoutScheme(entry);
        if (Matches(pattern, host) || Matches(pattern, hostAndPort)) return true;
    }
    return false;
}

SystemProxy FindSystemProxy(const std::string& url, const std::function<bool()>& wait) {
    auto job = std::make_shared<Job>();
    job->url = url;
    if (!job->done) return {};
    auto* handedOver = new std::shared_ptr<Job>(job);
    const KernelHandle thread(CreateThread(nullptr, 0, LookupThread, handedOver, 0, nullptr));
    if (!thread) {
        delete handedOver;
        return {};
    }
    for (;;) {
        const HANDLE done = job->done.get();
        if (MsgWaitForMultipleObjectsEx(1, &done, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0) break;
        if (!wait()) return {};  // the helper finishes on its own and frees what it holds
    }
    return job->result;
}
