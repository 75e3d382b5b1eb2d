// Tests of the URL parser, the GET request builder, and what the engine reads from and writes into
// header fields (credentials, Location targets, Set-Cookie parts, texts for refused answers).

#include "http_fields.h"
#include "http_request.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

using nx::http::BuildGetRequest;
using nx::http::HeaderField;
using nx::http::HttpUrl;
using nx::http::ParseHttpUrl;
using nx::http::RequestForm;

namespace {

HttpUrl parsed(const std::string& text) {
    const auto r = ParseHttpUrl(text);
    EXPECT_TRUE(r.url.has_value()) << text << ": " << r.error;
    EXPECT_TRUE(r.error.empty());
    return r.url.value_or(HttpUrl{});
}

TEST(UrlParser, AcceptedForms) {
    struct Case {
        const char* text;
        const char* host;
        bool ipv6;
        unsigned port;
        const char* target;
        const char* authority;
    };
    const std::vector<Case> cases = {
        {"http://update.talvern.example/karedona/Karemain.ex_", "update.talvern.example", false, 80,
         "/karedona/Karemain.ex_", "update.talvern.example"},
        {"HTTP://Host.Example:8080/a/b?x=1&y=2", "Host.Example", false, 8080, "/a/b?x=1&y=2", "Host.Example:8080"},
        {"http://127.0.0.1", "127.0.0.1", false, 80, "/", "127.0.0.1"},
        {"http://127.0.0.1:", "127.0.0.1", false, 80, "/", "127.0.0.1"},
        {"http://h:80/p", "h", false, 80, "/p", "h"},
        {"http://h:65535/", "h", false, 65535, "/", "h:65535"},
        {"http://h:00081/", "h", false, 81, "/", "h:81"},
        {"http://h?q", "h", false, 80, "/?q", "h"},
        {"http://h/p#frag", "h", false, 80, "/p", "h"},
        {"http://h#frag", "h", false, 80, "/", "h"},
        {"http://my_host-1.~x/", "my_host-1.~x", false, 80, "/", "my_host-1.~x"},
        {"http://[::1]/x", "::1", true, 80, "/x", "[::1]"},
        {"http://[2001:db8::7]:8000/", "2001:db8::7", true, 8000, "/", "[2001:db8::7]:8000"},
        {"http://[::ffff:192.0.2.1]", "::ffff:192.0.2.1", true, 80, "/", "[::ffff:192.0.2.1]"},
        // Bytes that cannot stand in a request line are percent-encoded; '%' and reserved ones stay.
        {"http://h/a b/\xe3\x81\x82\"<>`{|}^\\%41;,=@", "h", false, 80,
         "/a%20b/%E3%81%82%22%3C%3E%60%7B%7C%7D%5E%5C%41;,=@", "h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const HttpUrl u = parsed(c.text);
        EXPECT_EQ(u.host, c.host);
        EXPECT_EQ(u.ipv6Literal, c.ipv6);
        EXPECT_EQ(u.port, c.port);
        EXPECT_EQ(u.target, c.target);
        EXPECT_EQ(u.Authority(), c.authority);
    }
}

TEST(UrlParser, RefusedForms) {
    struct Case {
        std::string text;
        const char* errorPart;
    };
    const std::vector<Case> cases = {
        {"https://h/", "unsupported URL scheme \"https\""},
        {"ftp://h/", "unsupported URL scheme \"ftp\""},
        {"h/path", "not an absolute URL"},
        {"", "not an absolute URL"},
        {"://h/", "not an absolute URL"},
        {"/karedona/x", "not an absolute URL"},
        {"C:\\temp\\x", "unsupported URL scheme"},
        {"http:/h/", "lacks \"//\""},
        {"http:h", "lacks \"//\""},
        {"http:///path", "no host name"},
        {"http://:80/", "no host name"},
        {"http://user:pw@h/", "user names"},
        {"http://h:0/", "port out of range"},
        {"http://h:65536/", "port out of range"},
        {"http://h:99999999999999999999/", "port out of range"},
        {"http://h:8a/", "bad port"},
        {"http://h:-1/", "bad port"},
        {"http://h h/", "bad character in the host name"},
        {"http://h%41/", "bad character in the host name"},
        {"http://[::1/", "unterminated IPv6"},
        {"http://[fe80::1%25eth0]/", "zone ids"},
        {"http://[1.2.3.4]/", "bad IPv6 address"},
        {"http://[::g]/", "bad IPv6 address"},
        {"http://[::1]x/", "bad text after the IPv6 address"},
        {"http://[::1]:0/", "port out of range"},
        {"http://h/a\r\nX: injected", "control character"},
        {std::string("http://h/a\0b", 12), "control character"},
        {"http://h/\x7f", "control character"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto r = ParseHttpUrl(c.text);
        EXPECT_FALSE(r.url.has_value());
        EXPECT_NE(r.error.find(c.errorPart), std::string::npos) << r.error;
    }
}

TEST(RequestBuilder, DirectAndProxiedRequests) {
    EXPECT_EQ(BuildGetRequest(parsed("http://update.example/karedona/a.ex_"), RequestForm::Origin),
              "GET /karedona/a.ex_ HTTP/1.1\r\nHost: update.example\r\n\r\n");
    EXPECT_EQ(BuildGetRequest(parsed("http://update.example:8080"), RequestForm::Origin),
              "GET / HTTP/1.1\r\nHost: update.example:8080\r\n\r\n");
    EXPECT_EQ(BuildGetRequest(parsed("http://update.example:80/x?y"), RequestForm::Absolute),
              "GET http://update.example/x?y HTTP/1.1\r\nHost: update.example\r\n\r\n");
    EXPECT_EQ(BuildGetRequest(parsed("http://update.example:8080/x"), RequestForm::Absolute),
              "GET http://update.example:8080/x HTTP/1.1\r\nHost: update.example:8080\r\n\r\n");
    EXPECT_EQ(BuildGetRequest(parsed("http://[::1]:81/"), RequestForm::Absolute),
              "GET http://[::1]:81/ HTTP/1.1\r\nHost: [::1]:81\r\n\r\n");
}

TEST(RequestBuilder, ExtraFieldsInOrderAndRefusedFields) {
    const HttpUrl u = parsed("http://h/f");
    const std::vector<HeaderField> extra = {{"Accept", "*/*"}, {"Range", "bytes=10-"}};
    EXPECT_EQ(BuildGetRequest(u, RequestForm::Origin, extra),
              "GET /f HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nRange: bytes=10-\r\n\r\n");

    const std::vector<std::vector<HeaderField>> bad = {
        {{"", "v"}},     {{"Bad Name", "v"}}, {{"X", "a\r\nInjected: 1"}},
        {{"X", "a\nb"}}, {{"host", "other"}}, {{"CONNECTION", "keep-alive"}},
    };
    for (const auto& fields : bad) {
        EXPECT_THROW(BuildGetRequest(u, RequestForm::Origin, fields), std::invalid_argument)
            << fields[0].name << ": " << fields[0].value;
    }
}

TEST(HeaderFields, BasicCredentialsAndBase64) {
    // RFC 4648's vectors: every padding case.
    const std::vector<std::pair<std::string, std::string>> vectors = {{"", ""},
                                                                      {"f", "Zg=="},
                                                                      {"fo", "Zm8="},
                                                                      {"foo", "Zm9v"},
                                                                      {"foob", "Zm9vYg=="},
                                                                      {"fooba", "Zm9vYmE="},
                                                                      {"foobar", "Zm9vYmFy"},
                                                                      {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& [in, out] : vectors) {
        EXPECT_EQ(nx::http::Base64(in), out) << in;
        EXPECT_EQ(nx::http::DecodeBase64(out), std::optional<std::string>(in)) << out;
    }
    EXPECT_EQ(nx::http::DecodeBase64("Zm8"), std::optional<std::string>("fo"));  // padding left out
    // A proxy's token that is not Base64 is refused, not half read.
    for (const char* bad : {"Z", "Zm9v!", "Zm 9v", "Zg=a", "Zg===", "=Zg", "Zm9vY==="})
        EXPECT_FALSE(nx::http::DecodeBase64(bad)) << bad;
    EXPECT_EQ(nx::http::BasicCredentials("user", "pass"), "Basic dXNlcjpwYXNz");
    EXPECT_EQ(nx::http::BasicCredentials("", ""), "Basic Og==");
}

TEST(HeaderFields, ChallengesOfAProxyAuthenticateValue) {
    using nx::http::ParseChallenges;
    const auto text = [](const std::vector<nx::http::Challenge>& challenges) {
        std::string out;
        for (const auto& c : challenges) out += "[" + c.scheme + "|" + c.token + "]";
        return out;
    };
    EXPECT_EQ(text(ParseChallenges("NTLM")), "[NTLM|]");
    EXPECT_EQ(text(ParseChallenges("NTLM TlRMTVNTUAACAAAA==")), "[NTLM|TlRMTVNTUAACAAAA==]");
    EXPECT_EQ(text(ParseChallenges("Negotiate abc=, NTLM")), "[Negotiate|abc=][NTLM|]");
    // Parameters belong to the challenge before them, commas inside quotes included.
    EXPECT_EQ(text(ParseChallenges("Basic realm=\"a, \\\"b\\\"\", charset=UTF-8, NTLM")), "[Basic|][NTLM|]");
    EXPECT_EQ(text(ParseChallenges("Digest realm=\"x\", nonce=\"1\",Negotiate")), "[Digest|][Negotiate|]");
    EXPECT_EQ(text(ParseChallenges(" ,, ")), "");
}

TEST(HeaderFields, LocationIsResolvedAgainstTheAnsweringAddress) {
    const HttpUrl base = parsed("http://h:8080/karedona/sub/a.ex_?q=1");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://other/x", "http://other/x"},
        {"https://other/x", "https://other/x"},  // kept as it is: the caller refuses the scheme
        {"  //cdn.example/k/a.ex_\t", "http://cdn.example/k/a.ex_"},
        {"/root/b", "http://h:8080/root/b"},
        {"b.ex_", "http://h:8080/karedona/sub/b.ex_"},
        {"../b", "http://h:8080/karedona/sub/../b"},
        {"?v=2", "http://h:8080/karedona/sub/a.ex_?v=2"},
        {"", "http://h:8080/karedona/sub/"},
    };
    for (const auto& [location, target] : cases)
        EXPECT_EQ(nx::http::ResolveLocation(base, location), target) << location;
    EXPECT_EQ(nx::http::ResolveLocation(parsed("http://[::1]"), "x"), "http://[::1]/x");
    for (int code : {301, 302, 303, 307, 308}) EXPECT_TRUE(nx::http::IsRedirect(code)) << code;
    for (int code : {200, 300, 304, 305, 404}) EXPECT_FALSE(nx::http::IsRedirect(code)) << code;
    EXPECT_STREQ(nx::http::StandardReason(404), "Not Found");
    EXPECT_STREQ(nx::http::StandardReason(599), "HTTP error");
}

TEST(HeaderFields, SetCookieParts) {
    const nx::http::Cookie full = nx::http::ParseSetCookie(
        " session = abc=123 ; Path=/karedona;DOMAIN= example.com ;expires=Wed, 09 Dec 2026 10:00:00 GMT; Secure;HttpOnly");
    EXPECT_EQ(full.name, "session");
    EXPECT_EQ(full.value, "abc=123");
    EXPECT_EQ(full.path, "/karedona");
    EXPECT_EQ(full.domain, "example.com");
    EXPECT_EQ(full.expires, "Wed, 09 Dec 2026 10:00:00 GMT");
    EXPECT_TRUE(full.secure);
    const nx::http::Cookie bare = nx::http::ParseSetCookie("flag");
    EXPECT_EQ(bare.name, "flag");
    EXPECT_EQ(bare.value, "");
    EXPECT_FALSE(bare.secure);
    EXPECT_EQ(nx::http::ParseSetCookie("").name, "");
}

TEST(HeaderFields, EveryRefusalHasItsOwnText) {
    using nx::http::ParseError;
    EXPECT_EQ(nx::http::ParseErrorText(ParseError::HeadTooLarge), "ヘッダーが 65536 バイトを超えました");
    EXPECT_EQ(nx::http::ParseErrorText(ParseError::TooManyInterimResponses), "中間応答 (1xx) が 10 回を超えました");
    EXPECT_EQ(nx::http::ParseErrorText(ParseError::BadChunkSize), nx::http::ParseErrorText(ParseError::BadChunkData));
    EXPECT_NE(nx::http::ParseErrorText(ParseError::BadStatusLine), nx::http::ParseErrorText(ParseError::Truncated));
}

}  // namespace
