#pragma once
// The request side of the engine: a parser for the "http://host[:port]/path" addresses that the
// program fetches, and the bytes of the GET request for one of them. Pure functions, no I/O.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nx::http {

struct HttpUrl {
    // A host name or IPv4 address as written, or an IPv6 address without its brackets.
    std::string host;
    bool ipv6Literal = false;
    std::uint16_t port = 80;
    // Path and query, always starting with "/"; the fragment is dropped. Spaces, characters that
    // may not appear in a request line, and bytes above 0x7F are percent-encoded.
    std::string target;

    // The host as it appears in a Host header or an absolute URL ("[::1]" for IPv6), followed by
    // ":port" when the port is not 80.
    std::string Authority() const;
};

struct UrlParseResult {
    std::optional<HttpUrl> url;  // set when the text is usable
    std::string error;           // otherwise a short English text
};

// Parses an absolute "http" URL: "http://host[:port][/path][?query][#fragment]".
// - The scheme is matched without regard to case; any other scheme (https among them) is refused.
// - The host is a name or IPv4 address of letters, digits, '-', '.', '_' and '~', or an IPv6
//   address in brackets (hex digits, ':' and '.'; zone ids are refused). Its exact form is checked
//   by name resolution later, not here.
// - The port is 1 to 65535; absent or empty means 80.
// - User information ("user@host") is refused.
// - An empty path becomes "/". Control characters anywhere are refused.
UrlParseResult ParseHttpUrl(std::string_view text);

struct HeaderField {
    std::string_view name;
    std::string_view value;
};

// How the request names its target.
enum class RequestForm {
    Origin,    // direct connection: "GET /path HTTP/1.1"
    Absolute,  // through a proxy: "GET http://host[:port]/path HTTP/1.1"
};

// Builds an HTTP/1.1 GET request: the request line, Host (with ":port" when not 80), the extra
// fields in order, then the empty line. Every line ends with CR LF. No Connection field: the
// connection may be kept for the next request, HTTP/1.1's default.
// Throws std::invalid_argument when an extra field has a name that is not a token or a value with
// control characters, or names Host or Connection (the connection's use is the engine's).
std::string BuildGetRequest(const HttpUrl& url, RequestForm form, std::span<const HeaderField> extra = {});

}  // namespace nx::http
