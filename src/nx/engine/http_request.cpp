#include "http_request.h"

#include "ascii.h"

#include <stdexcept>

namespace nx::http {

namespace {

bool NeedsEncoding(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80 || c == ' ') return true;
    switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}': return true;
    default: return false;
    }
}

UrlParseResult Refuse(std::string text) { return UrlParseResult{std::nullopt, std::move(text)}; }

}  // namespace

std::string HttpUrl::Authority() const {
    std::string a;
    a.reserve(host.size() + 8);
    if (ipv6Literal) a += '[';
    a += host;
    if (ipv6Literal) a += ']';
    if (port != 80) {
        a += ':';
        a += std::to_string(port);
    }
    return a;
}

UrlParseResult ParseHttpUrl(std::string_view text) {
    for (char c : text) {
        if (IsControl(c)) return Refuse("the URL contains a control character");
    }
    const std::size_t colon = text.find(':');
    std::size_t schemeEnd = 0;
    while (schemeEnd < text.size() &&
           (IsAlnum(text[schemeEnd]) || text[schemeEnd] == '+' || text[schemeEnd] == '-' || text[schemeEnd] == '.'))
        ++schemeEnd;
    if (colon == std::string_view::npos || colon == 0 || schemeEnd != colon)
        return Refuse("not an absolute URL: " + std::string(text.substr(0, 200)));
    const std::string_view scheme = text.substr(0, colon);
    if (!EqualsNoCase(scheme, "http"))
        return Refuse("unsupported URL scheme \"" + std::string(scheme.substr(0, 50)) + "\" (only http is supported)");
    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return Refuse("the URL lacks \"//\" after \"http:\"");
    rest.remove_prefix(2);

    const std::size_t authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);

    if (authority.find('@') != std::string_view::npos) return Refuse("user names in URLs are not supported");

    HttpUrl url;
    std::string_view portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return Refuse("unterminated IPv6 address in the URL");
        const std::string_view addr = authority.substr(1, close - 1);
        if (addr.find('%') != std::string_view::npos) return Refuse("IPv6 zone ids are not supported");
        if (addr.find(':') == std::string_view::npos) return Refuse("bad IPv6 address in the URL");
        for (char c : addr) {
            if (!IsHexDigit(c) && c != ':' && c != '.') return Refuse("bad IPv6 address in the URL");
        }
        url.host.assign(addr);
        url.ipv6Literal = true;
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return Refuse("bad text after the IPv6 address in the URL");
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        const std::size_t portColon = authority.find(':');
        const std::string_view host = authority.substr(0, portColon);
        if (portColon != std::string_view::npos) {
            hasPort = true;
            portText = authority.substr(portColon + 1);
        }
        if (host.empty()) return Refuse("the URL has no host name");
        for (char c : host) {
            if (!IsAlnum(c) && c != '-' && c != '.' && c != '_' && c != '~')
                return Refuse("bad character in the host name of the URL");
        }
        url.host.assign(host);
    }
    if (hasPort && !portText.empty()) {
        unsigned long port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9') return Refuse("bad port in the URL");
            port = port * 10 + static_cast<unsigned long>(c - '0');
            if (port > 65535) return Refuse("port out of range in the URL");
        }
        if (port == 0) return Refuse("port out of range in the URL");
        url.port = static_cast<std::uint16_t>(port);
    }

    const std::size_t hash = tail.find('#');
    if (hash != std::string_view::npos) tail = tail.substr(0, hash);
    if (tail.empty() || tail.front() != '/') url.target = "/";
    static const char kHex[] = "0123456789ABCDEF";
    for (char c : tail) {
        if (NeedsEncoding(c)) {
            const auto b = static_cast<unsigned char>(c);
            url.target += '%';
            url.target += kHex[b >> 4];
            url.target += kHex[b & 15];
        } else {
            url.target += c;
        }
    }
    return UrlParseResult{std::move(url), {}};
}

std::string BuildGetRequest(const HttpUrl& url, RequestForm form, std::span<const HeaderField> extra) {
    for (const HeaderField& f : extra) {
        if (f.name.empty()) throw std::invalid_argument("empty header name");
        for (char c : f.name) {
            if (!IsTokenChar(c)) throw std::invalid_argument("bad character in header name");
        }
        for (char c : f.value) {
            if (IsControl(c) && c != '\t') throw std::invalid_argument("control character in header value");
        }
        if (EqualsNoCase(f.name, "Host") || EqualsNoCase(f.name, "Connection"))
            throw std::invalid_argument("the request builder writes Host, and Connection is the engine's");
    }
    const std::string authority = url.Authority();
    std::string r;
    r.reserve(128 + url.target.size() + authority.size() * 2);
    r += "GET ";
    if (form == RequestForm::Absolute) {
        r += "http://";
        r += authority;
    }
    r += url.target;
    r += " HTTP/1.1\r\nHost: ";
    r += authority;
    r += "\r\n";
    for (const HeaderField& f : extra) {
        r.append(f.name);
        r += ": ";
        r.append(f.value);
        r += "\r\n";
    }
    r += "\r\n";
    return r;
}

}  // namespace nx::http
