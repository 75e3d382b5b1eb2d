// Real answers of Debian's nginx (captured by fixtures/capture_nginx.py), checked against the body
// that curl decoded from the same URL: a static file with Content-Length, a chunked SSI page, the same
// page delimited by the close of the connection (HTTP/1.0 request), a 404 page and a 301 redirect.

#include "http_response_parser.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using State = nx::http::ResponseParser::State;

struct Captured {
    const char* name;
    int status;
    std::string bytes;
    std::string curlBody;
};

const std::vector<Captured>& captured() {
    static const std::vector<Captured> list = {
#include "fixtures/nginx_responses.inc"
    };
    return list;
}

TEST(NginxResponses, BodiesMatchCurlWhateverTheSplit) {
    ASSERT_EQ(captured().size(), 5u);
    for (const Captured& c : captured()) {
        SCOPED_TRACE(c.name);
        const nxtest::Transcript whole = nxtest::runWhole(c.bytes, true);
        ASSERT_EQ(whole.state, State::Complete) << whole.errorText;
        EXPECT_EQ(whole.body, c.curlBody);
        ASSERT_FALSE(whole.events.empty());
        EXPECT_EQ(whole.events.front().substr(0, 14), "status 1.1 " + std::to_string(c.status));
        EXPECT_EQ(whole.consumed, c.bytes.size());
        if (whole.announced) {
            EXPECT_EQ(*whole.announced, c.curlBody.size());
        }
        EXPECT_NE(std::find(whole.events.begin(), whole.events.end(), "header [Server] [nginx]"), whole.events.end());
        EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(c.bytes, true)), nxtest::splitIndependent(whole));
    }
}

TEST(NginxResponses, FramingOfEachAnswer) {
    const std::vector<std::string> framing = {"end-of-headers length 12000", "end-of-headers chunked",
                                              "end-of-headers close", "end-of-headers length 146",
                                              "end-of-headers length 162"};
    for (std::size_t i = 0; i < captured().size(); ++i) {
        const nxtest::Transcript t = nxtest::runWhole(captured()[i].bytes, true);
        EXPECT_NE(std::find(t.events.begin(), t.events.end(), framing[i]), t.events.end()) << captured()[i].name;
    }
    const nxtest::Transcript redirect = nxtest::runWhole(captured()[4].bytes, true);
    bool location = false;
    for (const auto& e : redirect.events) location |= e.rfind("header [Location] [http://127.0.0.1:", 0) == 0;
    EXPECT_TRUE(location);
}

TEST(NginxResponses, FileCutAnywhereInTheBodyIsCutShort) {
    const Captured& file = captured()[0];
    const std::size_t head = file.bytes.size() - file.curlBody.size();
    for (std::size_t len = head; len < file.bytes.size(); len += 997) {
        const nxtest::Transcript t = nxtest::runWhole(std::string_view(file.bytes).substr(0, len), true);
        EXPECT_EQ(t.error, nx::http::ParseError::Truncated) << len;
        EXPECT_EQ(t.bodyBytes, len - head);
    }
}

}  // namespace
