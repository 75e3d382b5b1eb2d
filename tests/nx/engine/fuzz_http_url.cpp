// libFuzzer target of the URL parser, the request builder and the header-field helpers. Whatever
// the text, a URL that is accepted yields a request whose request line and Host line are single
// well-formed lines, whose target starts with "/" and holds only visible ASCII, and whose port is 1
// to 65535; a refused URL comes with a text. Taken as a Location, the text resolves to an address
// on the answering host unless it names a scheme or host of its own; taken as a Set-Cookie value
// or as credentials, it never breaks the helpers.

#include "http_fields.h"
#include "http_request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool visibleAscii(std::string_view s) {
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const nx::http::UrlParseResult r = nx::http::ParseHttpUrl(text);
    check(r.url.has_value() == r.error.empty(), "either a URL or an error text");

    const std::string encoded = nx::http::Base64(text);
    check(encoded.size() == (size + 2) / 3 * 4, "Base64 length");
    check(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
              std::string::npos,
          "Base64 alphabet");
    const nx::http::Cookie cookie = nx::http::ParseSetCookie(text);
    check(cookie.name.size() + cookie.value.size() <= size, "cookie parts come from the text");
    static const nx::http::HttpUrl base = *nx::http::ParseHttpUrl("http://base.example:8080/dir/file?q").url;
    const std::string target = nx::http::ResolveLocation(base, text);
    const std::size_t colon = text.find(':'), slash = text.find('/');
    const bool ownScheme = colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash);
    if (!ownScheme && target.rfind("http://", 0) != 0) check(false, "a relative Location stays on http");

    if (!r.url) return 0;
    const nx::http::HttpUrl& u = *r.url;
    check(!u.host.empty() && visibleAscii(u.host), "host");
    check(u.port != 0, "port");
    check(!u.target.empty() && u.target.front() == '/' && visibleAscii(u.target), "target");
    check(u.target.find('#') == std::string::npos, "fragment kept");
    for (auto form : {nx::http::RequestForm::Origin, nx::http::RequestForm::Absolute}) {
        const std::string req = nx::http::BuildGetRequest(u, form);
        const std::string authority = u.Authority();
        const std::string target =
            form == nx::http::RequestForm::Absolute ? "http://" + authority + u.target : u.target;
        const std::string expected =
            "GET " + target + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
        check(req == expected, "request layout");
        check(visibleAscii(authority), "authority");
        // The request must read back to the same address.
        if (form == nx::http::RequestForm::Absolute) {
            const nx::http::UrlParseResult back = nx::http::ParseHttpUrl(target);
            check(back.url && back.url->host == u.host && back.url->port == u.port && back.url->target == u.target,
                  "absolute target reads back");
        }
    }
    return 0;
}
