#pragma once
// The proxy that the system's settings give for an address, for a run whose DOWNLOAD.INI names
// none: the signed-in user's Internet settings (a fixed proxy with its bypass list, an automatic
// configuration script, automatic detection), else the machine's WinHTTP default proxy.

#include <cstdint>
#include <functional>
#include <string>

struct SystemProxy {
    std::string host;  // empty: a direct connection
    std::uint16_t port = 0;
    std::string source;  // where it came from, in the user's words, for the status line
    // Named by this computer's own settings (the user's fixed proxy, a configured automatic
    // configuration script, the machine's WinHTTP default), not found by automatic detection, which
    // anybody on the network can answer: only such a proxy is given the user's logon of Windows.
    bool configured = false;
};

// Looks the proxy for `url` up on a helper thread (a script or a detection may take seconds) while
// `wait` is called every few milliseconds on the calling thread to keep the window alive; `wait`
// returning false stops waiting and gives a direct connection. A script that cannot be fetched or
// run, or a detection that finds nothing, gives a direct connection too.
SystemProxy FindSystemProxy(const std::string& url, const std::function<bool()>& wait);

// The proxy for an "http" address out of a proxy list as the settings hold it
// ("host:port", "http=host:port;https=...", entries separated by ";" or blanks); empty when it names
// none for http. A missing port is 80.
bool PickHttpProxy(const std::string& list, std::string& host, std::uint16_t& port);

// Whether the settings' bypass list (entries separated by ";" or blanks, "*" as wildcard,
// "<local>" for names without a dot) holds the host of `url` (its "host" or "host:port").
bool Bypassed(const std::string& bypassList, const std::string& url);
