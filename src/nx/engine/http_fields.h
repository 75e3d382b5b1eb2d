#pragma once
// What the engine reads from and writes into HTTP header fields, and the words it uses for an
// answer: Basic credentials, the target of a Location, the parts of a Set-Cookie, the standard
// reason phrases and the user's text for an answer the parser refused. Pure functions, no I/O.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_request.h"
#include "http_response_parser.h"

namespace nx::http {

// The value of an Authorization or Proxy-Authorization field for the Basic scheme:
// "Basic " and the Base64 of "user:password".
std::string BasicCredentials(std::string_view user, std::string_view password);

// Base64 (the standard alphabet, with padding).
std::string Base64(std::string_view bytes);
// The bytes of a Base64 text as Base64() writes it (padding optional, no blanks); nullopt for
// anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// One challenge of a WWW-Authenticate or Proxy-Authenticate value: the scheme's name and, for the
// schemes that carry one (Negotiate, NTLM), the token after it ("" when there is none or when the
// scheme has parameters instead).
struct Challenge {
    std::string scheme;
    std::string token;
};
// The challenges of one such value, in order. A value may hold several, separated by commas
// ("NTLM, Basic realm=\"x\", charset=UTF-8"); a part that starts with "name=" is a parameter of the
// challenge before it.
std::vector<Challenge> ParseChallenges(std::string_view value);

// Whether a field that holds a comma-separated list of tokens (Connection) names `token`, in any
// case, with blanks around the list's elements ignored.
bool ListHasToken(std::string_view list, std::string_view token);

// A status that redirects the request when its answer carries a Location: 301, 302, 303, 307, 308.
bool IsRedirect(int code);

// The English reason phrase of a status, for an answer that came without one.
const char* StandardReason(int code);

// The address that a Location value names, relative to the address that answered: an absolute
// address as it stands, "//host/path" with the scheme "http:", "/path" on the same host and port,
// and anything else beside the last "/" of the answering address's path ("?query" and "#frag" on
// the path itself).
std::string ResolveLocation(const HttpUrl& base, std::string_view location);

// The parts of one Set-Cookie value: "name=value" and the attributes that the engine reports.
struct Cookie {
    std::string name;
    std::string value;
    std::string expires;
    std::string domain;
    std::string path;
    bool secure = false;
};
Cookie ParseSetCookie(std::string_view header);

// What is wrong with an answer that the parser refused, in Japanese, for the user.
std::string ParseErrorText(ParseError error);

}  // namespace nx::http
