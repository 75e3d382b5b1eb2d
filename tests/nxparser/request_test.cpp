// Tests of the URL parser and the GET request builder.

#include "http_request.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using nx::http::buildGetRequest;
using nx::http::HeaderField;
using nx::http::HttpUrl;
using nx::http::parseHttpUrl;
using nx::http::RequestForm;

namespace {

HttpUrl parsed(const std::string& text) {
    const auto r = parseHttpUrl(text);
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
        EXPECT_EQ(u.authority(), c.authority);
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
        const auto r = parseHttpUrl(c.text);
        EXPECT_FALSE(r.url.has_value());
        EXPECT_NE(r.error.find(c.errorPart), std::string::npos) << r.error;
    }
}

TEST(RequestBuilder, DirectAndProxiedRequests) {
    EXPECT_EQ(buildGetRequest(parsed("http://update.example/karedona/a.ex_"), RequestForm::Origin),
              "GET /karedona/a.ex_ HTTP/1.1\r\nHost: update.example\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(buildGetRequest(parsed("http://update.example:8080"), RequestForm::Origin),
              "GET / HTTP/1.1\r\nHost: update.example:8080\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(buildGetRequest(parsed("http://update.example:80/x?y"), RequestForm::Absolute),
              "GET http://update.example/x?y HTTP/1.1\r\nHost: update.example\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(buildGetRequest(parsed("http://update.example:8080/x"), RequestForm::Absolute),
              "GET http://update.example:8080/x HTTP/1.1\r\nHost: update.example:8080\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(buildGetRequest(parsed("http://[::1]:81/"), RequestForm::Absolute),
              "GET http://[::1]:81/ HTTP/1.1\r\nHost: [::1]:81\r\nConnection: close\r\n\r\n");
}

TEST(RequestBuilder, ExtraFieldsInOrderAndRefusedFields) {
    const HttpUrl u = parsed("http://h/f");
    const std::vector<HeaderField> extra = {{"Accept", "*/*"}, {"Range", "bytes=10-"}};
    EXPECT_EQ(buildGetRequest(u, RequestForm::Origin, extra),
              "GET /f HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nRange: bytes=10-\r\nConnection: close\r\n\r\n");

    const std::vector<std::vector<HeaderField>> bad = {
        {{"", "v"}},
        {{"Bad Name", "v"}},
        {{"X", "a\r\nInjected: 1"}},
        {{"X", "a\nb"}},
        {{"host", "other"}},
        {{"CONNECTION", "keep-alive"}},
    };
    for (const auto& fields : bad) {
        EXPECT_THROW(buildGetRequest(u, RequestForm::Origin, fields), std::invalid_argument)
            << fields[0].name << ": " << fields[0].value;
    }
}

}  // namespace
