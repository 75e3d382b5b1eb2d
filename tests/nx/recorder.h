#pragma once
// Records the events of a TnxHTTP as short texts ("Start", "Transfer", "End", "Disconnected",
// "Header Content-Length=10" ...), with the transferred bytes and the running totals.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "nx/nxhttp.h"

namespace nxtest {

struct Recorder {
    std::vector<std::string> events;
    std::vector<std::int32_t> totals;  // BytesTransferred of each OnTransfer
    std::string body;                  // every Text of OnTransfer, in order
    std::vector<std::string> redirects;

    explicit Recorder(TnxHTTP& http) {
        http.OnConnected = [this](TnxHTTP&, std::int32_t, const std::string&) { events.push_back("Connected"); };
        http.OnConnectionStatus = [this](TnxHTTP&, const std::string& e, std::int32_t, const std::string&) {
            events.push_back("ConnectionStatus " + e);
        };
        http.OnDisconnected = [this](TnxHTTP&, std::int32_t, const std::string&) { events.push_back("Disconnected"); };
        http.OnEndTransfer = [this](TnxHTTP&, std::int32_t) { events.push_back("End"); };
        http.OnError = [this](TnxHTTP&, std::int32_t code, const std::string& d) {
            events.push_back("Error " + std::to_string(code) + " " + d);
        };
        http.OnHeader = [this](TnxHTTP&, const std::string& f, const std::string& v) {
            events.push_back("Header " + f + "=" + v);
        };
        http.OnRedirect = [this](TnxHTTP&, const std::string& location, bool&) {
            events.push_back("Redirect");
            redirects.push_back(location);
        };
        http.OnStartTransfer = [this](TnxHTTP&, std::int32_t) { events.push_back("Start"); };
        http.OnStatus = [this](TnxHTTP&, const std::string& v, std::int32_t code, const std::string& d) {
            events.push_back("Status " + v + " " + std::to_string(code) + " " + d);
        };
        http.OnTransfer = [this](TnxHTTP&, std::int32_t, std::int32_t total, std::string_view text) {
            events.push_back("Transfer");
            totals.push_back(total);
            body += text;
        };
    }

    int count(const std::string& name) const {
        return static_cast<int>(std::count(events.begin(), events.end(), name));
    }
    bool has(const std::string& name) const { return count(name) > 0; }

    // The events without headers and with runs of Transfer folded into one, e.g.
    // "Connected Status Start Transfer End Disconnected".
    std::string shape() const {
        std::string out;
        std::string previous;
        for (const std::string& e : events) {
            std::string word = e.substr(0, e.find(' '));
            if (word == "Header" || word == "ConnectionStatus") continue;
            if (word == "Transfer" && previous == "Transfer") continue;
            if (!out.empty()) out += ' ';
            out += word;
            previous = word;
        }
        return out;
    }

    void clear() {
        events.clear();
        totals.clear();
        body.clear();
        redirects.clear();
    }
};

}  // namespace nxtest
