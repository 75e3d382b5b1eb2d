// Tests of the HTTP response parser: framing of every kind, any split of the input, responses cut
// short at every byte, the limits a server cannot exceed, malformed input, and stopping the parse.

#include "http_response_parser.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using nx::http::BodyFraming;
using nx::http::kMaxChunkSizeLineLength;
using nx::http::kMaxHeadBytes;
using nx::http::kMaxHeaderLineLength;
using nx::http::kMaxHeaderLines;
using nx::http::kMaxInterimResponses;
using nx::http::ParseError;
using nx::http::ResponseParser;
using nxtest::Transcript;

namespace nxtest {
std::ostream& operator<<(std::ostream& os, const Transcript& t) {
    os << "{";
    for (const auto& e : t.events) os << "\n  " << e;
    os << "\n  body " << t.body.size() << " bytes, state " << static_cast<int>(t.state) << ", error "
       << static_cast<int>(t.error) << " \"" << t.errorText << "\", consumed " << t.consumed << "}";
    return os;
}
}  // namespace nxtest

namespace {

using State = ResponseParser::State;

std::vector<std::string> ev(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

// Sample responses that end complete, each with the events it must give.
struct Sample {
    const char* name;
    std::string bytes;
    bool needsClose;  // the body runs until the connection closes
    std::vector<std::string> events;
    std::string body;
    std::size_t messageLength;  // bytes that belong to the message (the rest is excess)
};

std::vector<Sample> samples() {
    std::vector<Sample> s;
    {
        std::string b =
            "HTTP/1.1 200 OK\r\nServer: test\r\nContent-Length: 10\r\nContent-Type: text/plain\r\n\r\n"
            "0123456789";
        s.push_back({"content_length", b, false,
                     ev({"status 1.1 200 [OK]", "header [Server] [test]", "header [Content-Length] [10]",
                         "header [Content-Type] [text/plain]", "end-of-headers length 10", "body", "complete"}),
                     "0123456789", b.size()});
    }
    {
        // Extensions, upper- and lower-case hex, a quoted extension value, trailers, excess bytes.
        std::string msg =
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5;name=value\r\nhello\r\n"
            "A ; a = \"q;\\\"x\" ; b\r\n0123456789\r\n"
            "1a\r\n, a chunk of 26 bytes here\r\n"
            "000\r\nExpires: never\r\nX-Sum:  abc  \r\n\r\n";
        s.push_back({"chunked_extensions_trailers", msg + "EXCESS", false,
                     ev({"status 1.1 200 [OK]", "header [Transfer-Encoding] [chunked]", "end-of-headers chunked",
                         "body", "trailer [Expires] [never]", "trailer [X-Sum] [abc]", "complete"}),
                     "hello0123456789, a chunk of 26 bytes here", msg.size()});
    }
    {
        std::string b = "HTTP/1.0 200 Fine\r\nDate: today\r\n\r\nbody until the close\r\n\r\nmore";
        s.push_back({"close_delimited", b, true,
                     ev({"status 1.0 200 [Fine]", "header [Date] [today]", "end-of-headers close", "body", "complete"}),
                     "body until the close\r\n\r\nmore", b.size()});
    }
    {
        // Interim responses with headers of their own are skipped without events.
        std::string b =
            "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
            "HTTP/1.1 200 OK\r\ncontent-length: 3\r\n\r\nabc";
        s.push_back(
            {"interim_responses", b, false,
             ev({"status 1.1 200 [OK]", "header [content-length] [3]", "end-of-headers length 3", "body", "complete"}),
             "abc", b.size()});
    }
    {
        // Lone LF line ends, odd spacing, an empty value, a folded line, a name with spaces before ':'.
        std::string b =
            "HTTP/1.1 404 Not  Found\nX-Empty:\nX-Fold: first \n \t second\n  third\nX-Odd :\tv\t\n"
            "Content-Length: 4\n\n404!";
        s.push_back(
            {"lf_and_folding", b, false,
             ev({"status 1.1 404 [Not  Found]", "header [X-Empty] []", "header [X-Fold] [first second third]",
                 "header [X-Odd] [v]", "header [Content-Length] [4]", "end-of-headers length 4", "body", "complete"}),
             "404!", b.size()});
    }
    {
        std::string msg = "HTTP/1.1 204 No Content\r\nContent-Length: 99\r\n\r\n";
        s.push_back(
            {"no_content", msg + "junk", false,
             ev({"status 1.1 204 [No Content]", "header [Content-Length] [99]", "end-of-headers none", "complete"}), "",
             msg.size()});
    }
    {
        std::string msg = "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n";
        s.push_back({"not_modified", msg + "5\r\nhello\r\n0\r\n\r\n", false,
                     ev({"status 1.1 304 [Not Modified]", "header [Transfer-Encoding] [chunked]", "end-of-headers none",
                         "complete"}),
                     "", msg.size()});
    }
    {
        std::string msg = "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n";
        s.push_back({"empty_body_no_reason", msg + "x", false,
                     ev({"status 1.1 200 []", "header [Content-Length] [0]", "end-of-headers length 0", "complete"}),
                     "", msg.size()});
    }
    {
        // Transfer-Encoding overrides Content-Length; repeated equal lengths are one length.
        std::string msg =
            "HTTP/1.1 200 OK\r\nContent-Length: 7, 7\r\nContent-Length: 7\r\nTransfer-Encoding: CHUNKED\r\n\r\n"
            "2\r\nab\n0\n\n";
        s.push_back({"chunked_overrides_length", msg, false,
                     ev({"status 1.1 200 [OK]", "header [Content-Length] [7, 7]", "header [Content-Length] [7]",
                         "header [Transfer-Encoding] [CHUNKED]", "end-of-headers chunked", "body", "complete"}),
                     "ab", msg.size()});
    }
    return s;
}

// Every sample gives its events when fed whole, and the same outcome however it is cut: one byte at
// a time, every cut into two pieces, every cut into three pieces, and random cuts.
TEST(ResponseParserSplits, SameEventsWhateverTheSplit) {
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const Transcript whole = nxtest::runWhole(s.bytes, s.needsClose);
        EXPECT_EQ(whole.events, s.events);
        EXPECT_EQ(whole.body, s.body);
        EXPECT_EQ(whole.state, State::Complete) << whole.errorText;
        EXPECT_EQ(whole.consumed, s.messageLength);
        EXPECT_EQ(whole.bodyBytes, s.body.size());
        EXPECT_EQ(whole.completions, 1);
        EXPECT_FALSE(whole.eventAfterEnd);
        EXPECT_FALSE(whole.emptyPiece);
        EXPECT_FALSE(whole.pieceOutsideInput);

        const Transcript ref = nxtest::splitIndependent(whole);
        EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(s.bytes, s.needsClose)), ref) << "byte by byte";
        const std::size_t n = s.bytes.size();
        for (std::size_t i = 1; i < n; ++i) {
            ASSERT_EQ(nxtest::splitIndependent(nxtest::run(s.bytes, {i}, s.needsClose)), ref) << "cut at " << i;
        }
        const std::size_t step = n > 120 ? 3 : 1;
        for (std::size_t i = 1; i < n; i += step) {
            for (std::size_t j = i + 1; j < n; j += step) {
                ASSERT_EQ(nxtest::splitIndependent(nxtest::run(s.bytes, {i, j}, s.needsClose)), ref)
                    << "cut at " << i << " and " << j;
            }
        }
        std::mt19937 rng(12345);
        for (int round = 0; round < 200; ++round) {
            std::vector<std::size_t> cuts;
            for (std::size_t pos = 0;;) {
                pos += 1 + rng() % 9;
                if (pos >= n) break;
                cuts.push_back(pos);
            }
            ASSERT_EQ(nxtest::splitIndependent(nxtest::run(s.bytes, cuts, s.needsClose)), ref) << "round " << round;
        }
    }
}

// A connection that closes at any byte before the end of a framed message leaves it cut short,
// never complete, and never delivers more body than arrived.
TEST(ResponseParserTruncation, ClosedAtEveryByteIsCutShort) {
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        for (std::size_t len = 0; len < s.messageLength; ++len) {
            const std::string_view prefix = std::string_view(s.bytes).substr(0, len);
            const Transcript t = nxtest::runBytewise(prefix, true);
            if (s.needsClose && t.events.size() >= 3 && t.events[2] == "end-of-headers close") {
                // The body runs until the close, so any close after the head ends the message.
                EXPECT_EQ(t.state, State::Complete) << "length " << len;
                EXPECT_EQ(t.body, s.body.substr(0, t.body.size()));
                continue;
            }
            ASSERT_EQ(t.state, State::Failed) << "length " << len;
            EXPECT_EQ(t.error, ParseError::Truncated) << "length " << len;
            EXPECT_FALSE(t.errorText.empty());
            EXPECT_EQ(t.completions, 0);
            EXPECT_LE(t.body.size(), s.body.size());
            EXPECT_EQ(t.body, s.body.substr(0, t.body.size()));
        }
        // The whole message, then the close: still complete, nothing more reported.
        const Transcript full = nxtest::runBytewise(s.bytes, true);
        EXPECT_EQ(full.state, State::Complete);
        EXPECT_EQ(full.completions, 1);
    }
}

TEST(ResponseParserTruncation, TextsTellWhereTheResponseStopped) {
    Transcript t = nxtest::runWhole("", true);
    EXPECT_EQ(t.error, ParseError::Truncated);
    EXPECT_EQ(t.errorText, "connection closed before any response");

    t = nxtest::runWhole("HTTP/1.1 200 OK\r\nContent-Le", true);
    EXPECT_EQ(t.errorText, "connection closed inside the response header");

    t = nxtest::runWhole("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123", true);
    EXPECT_EQ(t.error, ParseError::Truncated);
    EXPECT_EQ(t.errorText, "connection closed after 4 of 10 body bytes");
    EXPECT_EQ(t.announced, 10u);
    EXPECT_EQ(t.bodyBytes, 4u);

    t = nxtest::runWhole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", true);
    EXPECT_EQ(t.error, ParseError::Truncated);
    EXPECT_EQ(t.errorText, "connection closed inside the chunked body after 3 body bytes");
}

TEST(ResponseParserFraming, LargestContentLengthIsAnnounced) {
    // A length at the top of the 64-bit range is taken as announced; the body simply never ends.
    const Transcript t = nxtest::runWhole("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nxyz", false);
    EXPECT_EQ(t.state, State::InProgress);
    EXPECT_EQ(t.announced, 18446744073709551615ull);
    EXPECT_EQ(t.body, "xyz");
}

TEST(ResponseParserFraming, BodyPiecesAreViewsOfTheInputAndNeverExceedTheLength) {
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n";
    const std::string bytes = head + big + "tail after the body";
    const Transcript t = nxtest::run(bytes, {100, 70000, 70001, 900000}, false);
    EXPECT_EQ(t.state, State::Complete);
    EXPECT_FALSE(t.pieceOutsideInput);
    EXPECT_FALSE(t.bodyOverrun);
    EXPECT_EQ(t.body, big);
    EXPECT_EQ(t.consumed, head.size() + big.size());
}

TEST(ResponseParserFraming, HandlerExceptionStopsTheParse) {
    struct Throwing : nx::http::ResponseHandler {
        int bodies = 0;
        void OnBody(std::string_view) override {
            ++bodies;
            throw std::runtime_error("cancelled");
        }
    } h;
    ResponseParser p(h);
    EXPECT_THROW(p.Feed("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab"), std::runtime_error);
    EXPECT_EQ(p.state(), State::Failed);
    EXPECT_EQ(p.error(), ParseError::HandlerFailed);
    EXPECT_EQ(p.Feed("cde"), 0u);
    p.ConnectionClosed();
    EXPECT_EQ(p.error(), ParseError::HandlerFailed);
    EXPECT_EQ(h.bodies, 1);
}

TEST(ResponseParserFraming, ResetReadsANewResponse) {
    nxtest::Recorder rec;
    ResponseParser p(rec);
    rec.parser = &p;
    p.Feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n2\r\nab");
    p.ConnectionClosed();
    ASSERT_EQ(p.error(), ParseError::Truncated);
    p.Reset();
    EXPECT_EQ(p.state(), State::InProgress);
    EXPECT_EQ(p.error(), ParseError::None);
    EXPECT_TRUE(p.errorText().empty());
    EXPECT_EQ(p.bodyBytes(), 0u);
    EXPECT_FALSE(p.headersComplete());
    rec.t = {};
    const std::string second = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nxy";
    rec.currentInput = second;
    EXPECT_EQ(p.Feed(second), second.size());
    EXPECT_EQ(p.state(), State::Complete);
    EXPECT_EQ(p.framing(), BodyFraming::ContentLength);
    EXPECT_EQ(p.announcedLength(), 2u);
    EXPECT_EQ(rec.t.body, "xy");
}

// ---- Limits ----

std::string headWithLine(const std::string& line, const char* eol) {
    return std::string("HTTP/1.1 200 OK") + eol + line + eol + "Content-Length: 1" + eol + eol + "Z";
}

TEST(ResponseParserLimits, HeaderLineOfEightKilobytes) {
    for (const char* eol : {"\r\n", "\n"}) {
        SCOPED_TRACE(eol[0] == '\r' ? "CR LF" : "LF");
        const std::string name = "X-Long: ";
        const std::string atLimit = name + std::string(kMaxHeaderLineLength - name.size(), 'v');
        Transcript t = nxtest::runWhole(headWithLine(atLimit, eol), false);
        EXPECT_EQ(t.state, State::Complete) << t.errorText;
        EXPECT_EQ(t.body, "Z");
        EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(headWithLine(atLimit, eol), false)),
                  nxtest::splitIndependent(t));

        t = nxtest::runWhole(headWithLine(atLimit + "v", eol), false);
        EXPECT_EQ(t.state, State::Failed);
        EXPECT_EQ(t.error, ParseError::HeaderLineTooLong);
        t = nxtest::runBytewise(headWithLine(atLimit + "v", eol), false);
        EXPECT_EQ(t.error, ParseError::HeaderLineTooLong);
    }
}

TEST(ResponseParserLimits, EndlessLineFailsWithoutALineEnd) {
    // A server that never ends its line is refused once the limit is passed, long before any LF.
    for (const char* start : {"", "HTTP/1.1 200 OK\r\nX: ", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
        nxtest::Recorder rec;
        ResponseParser p(rec);
        rec.parser = &p;
        p.Feed(start);
        std::size_t fed = 0;
        const std::string block(1000, 'a');
        while (p.state() == State::InProgress && fed < 100000) {
            p.Feed(block);
            fed += block.size();
            EXPECT_LE(p.bufferedBytes(), kMaxHeaderLineLength + 1);
        }
        EXPECT_EQ(p.state(), State::Failed);
        EXPECT_LE(fed, kMaxHeaderLineLength + block.size());
    }
}

TEST(ResponseParserLimits, StatusLineLengthIsLimitedToo) {
    const std::string status = "HTTP/1.1 200 ";
    const std::string reason(kMaxHeaderLineLength - status.size(), 'r');
    Transcript t = nxtest::runWhole(status + reason + "\r\nContent-Length: 0\r\n\r\n", false);
    EXPECT_EQ(t.state, State::Complete);
    t = nxtest::runWhole(status + reason + "r\r\nContent-Length: 0\r\n\r\n", false);
    EXPECT_EQ(t.error, ParseError::HeaderLineTooLong);
}

TEST(ResponseParserLimits, OneHundredHeaderLines) {
    auto response = [](std::size_t lines, bool fold) {
        std::string r = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
        for (std::size_t i = 1; i < lines; ++i) r += fold && i > 1 ? " more\r\n" : "X-H: " + std::to_string(i) + "\r\n";
        return r + "\r\n";
    };
    Transcript t = nxtest::runWhole(response(kMaxHeaderLines, false), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.events.size(), kMaxHeaderLines + 3);
    t = nxtest::runWhole(response(kMaxHeaderLines + 1, false), false);
    EXPECT_EQ(t.error, ParseError::TooManyHeaderLines);
    // Continuation lines count as lines.
    t = nxtest::runWhole(response(kMaxHeaderLines, true), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    t = nxtest::runWhole(response(kMaxHeaderLines + 1, true), false);
    EXPECT_EQ(t.error, ParseError::TooManyHeaderLines);
    // Each interim response has a count of its own, and so do the trailers.
    std::string interim = "HTTP/1.1 100 Continue\r\n";
    for (std::size_t i = 0; i < kMaxHeaderLines; ++i) interim += "X-I: 1\r\n";
    t = nxtest::runWhole(interim + "\r\n" + response(kMaxHeaderLines, false), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    auto trailers = [](std::size_t lines) {
        std::string r = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n";
        for (std::size_t i = 0; i < lines; ++i) r += "T: 1\r\n";
        return r + "\r\n";
    };
    EXPECT_EQ(nxtest::runWhole(trailers(kMaxHeaderLines), false).state, State::Complete);
    EXPECT_EQ(nxtest::runWhole(trailers(kMaxHeaderLines + 1), false).error, ParseError::TooManyHeaderLines);
}

TEST(ResponseParserLimits, TenInterimResponses) {
    auto response = [](std::size_t interim) {
        std::string r;
        for (std::size_t i = 0; i < interim; ++i)
            r += i % 2 ? "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" : "HTTP/1.1 100 Continue\r\n\r\n";
        return r + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    };
    Transcript t = nxtest::runWhole(response(kMaxInterimResponses), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.body, "ok");
    EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(response(kMaxInterimResponses), false)),
              nxtest::splitIndependent(t));
    for (bool bytewise : {false, true}) {
        SCOPED_TRACE(bytewise ? "byte by byte" : "whole");
        const std::string bytes = response(kMaxInterimResponses + 1);
        t = bytewise ? nxtest::runBytewise(bytes, true) : nxtest::runWhole(bytes, true);
        EXPECT_EQ(t.state, State::Failed);
        EXPECT_EQ(t.error, ParseError::TooManyInterimResponses);
        EXPECT_EQ(t.errorText, "more than 10 interim (1xx) responses");
        EXPECT_TRUE(t.events.empty()) << t;  // the final answer is never reached
    }
    // A server that sends interim answers without end is refused at the eleventh.
    nxtest::Recorder rec;
    ResponseParser p(rec);
    rec.parser = &p;
    const std::string head = "HTTP/1.1 100 Continue\r\n\r\n";
    std::size_t heads = 0;
    while (p.state() == State::InProgress && heads < 1000) {
        p.Feed(head);
        ++heads;
    }
    EXPECT_EQ(p.error(), ParseError::TooManyInterimResponses);
    EXPECT_EQ(heads, kMaxInterimResponses + 1);
}

// A response head of exactly `total` bytes (line ends included) with Content-Length 1, lines of at
// most 8000 bytes, then `after`.
std::string headOfSize(std::size_t total, const std::string& status, const std::string& after) {
    std::string r = status + "\r\n";
    const std::string framing = "Content-Length: 1\r\n";
    if (status.compare(9, 1, "1") != 0) r += framing;
    std::size_t left = total - r.size() - 2;
    for (int i = 0; left > 0; ++i) {
        std::size_t n = std::min<std::size_t>(left, 8000);
        if (left > n && left - n < 16) n -= 16;  // leave room for a last line
        const std::string name = "X-P" + std::to_string(i) + ": ";
        r += name + std::string(n - name.size() - 2, 'v') + "\r\n";
        left -= n;
    }
    return r + "\r\n" + after;
}

TEST(ResponseParserLimits, ResponseHeadsTogetherHoldSixtyFourKilobytes) {
    const std::string ok = "HTTP/1.1 200 OK";
    EXPECT_EQ(headOfSize(1000, ok, "").size(), 1000u);
    Transcript t = nxtest::runWhole(headOfSize(kMaxHeadBytes, ok, "Z"), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.body, "Z");
    EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(headOfSize(kMaxHeadBytes, ok, "Z"), false)),
              nxtest::splitIndependent(t));
    for (bool bytewise : {false, true}) {
        SCOPED_TRACE(bytewise ? "byte by byte" : "whole");
        const std::string bytes = headOfSize(kMaxHeadBytes + 1, ok, "Z");
        t = bytewise ? nxtest::runBytewise(bytes, true) : nxtest::runWhole(bytes, true);
        EXPECT_EQ(t.state, State::Failed);
        EXPECT_EQ(t.error, ParseError::HeadTooLarge);
        EXPECT_EQ(t.errorText, "response head larger than 65536 bytes");
        EXPECT_EQ(t.body, "");
        for (const auto& e : t.events) EXPECT_EQ(e.rfind("end-of-headers", 0), std::string::npos) << e;
        EXPECT_LE(t.maxBuffered, 2 * kMaxHeaderLineLength + 2);  // a line and a field held back
    }
    // Interim heads count toward the total: each of these is far below it, together they are not.
    const std::string interim = headOfSize(9000, "HTTP/1.1 103 Early Hints", "");
    std::string seven, eight;
    for (int i = 0; i < 7; ++i) seven += interim;
    eight = seven + interim;
    t = nxtest::runWhole(seven + headOfSize(1000, ok, "Z"), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.body, "Z");
    t = nxtest::runWhole(eight + headOfSize(1000, ok, "Z"), false);
    EXPECT_EQ(t.error, ParseError::HeadTooLarge);
    EXPECT_TRUE(t.events.empty()) << t;
    EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(eight + headOfSize(1000, ok, "Z"), false)),
              nxtest::splitIndependent(t));
    // A line too long is reported as such even where it also crosses the total.
    const std::string nearFull = headOfSize(kMaxHeadBytes - 100, ok, "");
    const std::string longLine =
        nearFull.substr(0, nearFull.size() - 2) + "X-L: " + std::string(kMaxHeaderLineLength, 'l') + "\r\n\r\nZ";
    EXPECT_EQ(nxtest::runWhole(longLine, false).error, ParseError::HeaderLineTooLong);
    EXPECT_EQ(nxtest::runBytewise(longLine, false).error, ParseError::HeaderLineTooLong);
    // Body and trailers are not part of the head.
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nZ\r\n0\r\n";
    for (int i = 0; i < 10; ++i) chunked += "T: " + std::string(8000, 't') + "\r\n";
    t = nxtest::runWhole(chunked + "\r\n", false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.body, "Z");
}

TEST(ResponseParserLimits, FoldedFieldIsHeldToOneLine) {
    std::string r = "HTTP/1.1 200 OK\r\nX-F: a\r\n";
    // Fifty folds of 200 bytes would join into a field far above the limit.
    for (int i = 0; i < 50; ++i) r += " " + std::string(200, 'f') + "\r\n";
    const Transcript t = nxtest::runWhole(r + "Content-Length: 0\r\n\r\n", false);
    EXPECT_EQ(t.error, ParseError::HeaderLineTooLong);
    EXPECT_LE(t.maxBuffered, 2 * kMaxHeaderLineLength + 2);
}

TEST(ResponseParserLimits, ChunkSizeLineUpToTheHeaderLineLimit) {
    auto response = [](const std::string& sizeLine) {
        return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + sizeLine + "\r\nabc\r\n0\r\n\r\n";
    };
    // Extensions with quoted values, as servers send them, make a line far above 64 bytes.
    const std::string extended = "3; checksum=\"sha256:9f86d081884c7d659a2feaa0c55ad015\"; part=first; origin=\"edge 7\"";
    ASSERT_GT(extended.size(), 79u);
    for (const Transcript& t : {nxtest::runWhole(response(extended), false), nxtest::runBytewise(response(extended), false)}) {
        EXPECT_EQ(t.state, State::Complete) << t.errorText;
        EXPECT_EQ(t.body, "abc");
    }
    const std::string zeros(kMaxChunkSizeLineLength - 1, '0');
    Transcript t = nxtest::runWhole(response(zeros + "3"), false);
    EXPECT_EQ(t.state, State::Complete) << t.errorText;
    EXPECT_EQ(t.body, "abc");
    t = nxtest::runWhole(response(zeros + "03"), false);
    EXPECT_EQ(t.error, ParseError::ChunkSizeLineTooLong);
    const std::string ext = "3;e=" + std::string(kMaxChunkSizeLineLength - 4, 'x');
    EXPECT_EQ(nxtest::runWhole(response(ext), false).state, State::Complete);
    EXPECT_EQ(nxtest::runWhole(response(ext + "x"), false).error, ParseError::ChunkSizeLineTooLong);
    EXPECT_EQ(nxtest::runBytewise(response(ext + "x"), false).error, ParseError::ChunkSizeLineTooLong);
}

// ---- Malformed input ----

struct BadCase {
    const char* name;
    std::string bytes;
    ParseError expected;
};

TEST(ResponseParserMalformed, EachFaultIsReportedAsItsKind) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    const std::vector<BadCase> cases = {
        {"lower-case version", "http/1.1 200 OK\r\n\r\n", ParseError::BadStatusLine},
        {"two-digit code", "HTTP/1.1 20 OK\r\n\r\n", ParseError::BadStatusLine},
        {"four-digit code", "HTTP/1.1 2000 OK\r\n\r\n", ParseError::BadStatusLine},
        {"no space after code", "HTTP/1.1 200OK\r\n\r\n", ParseError::BadStatusLine},
        {"two spaces before code", "HTTP/1.1  200 OK\r\n\r\n", ParseError::BadStatusLine},
        {"code below 100", "HTTP/1.1 099 Low\r\n\r\n", ParseError::BadStatusLine},
        {"code above 599", "HTTP/1.1 600 High\r\n\r\n", ParseError::BadStatusLine},
        {"empty line first", "\r\nHTTP/1.1 200 OK\r\n\r\n", ParseError::BadStatusLine},
        {"no version", "200 OK\r\n\r\n", ParseError::BadStatusLine},
        {"short version", "HTTP/1 200 OK\r\n\r\n", ParseError::BadStatusLine},
        {"control in reason", "HTTP/1.1 200 O\x01K\r\n\r\n", ParseError::BadStatusLine},
        {"bare CR in reason", "HTTP/1.1 200 O\rK\r\n\r\n", ParseError::BadStatusLine},
        {"switching protocols", "HTTP/1.1 101 Switching Protocols\r\n\r\n", ParseError::BadStatusLine},
        {"HTML instead of HTTP", "<html><body>hi</body></html>\n", ParseError::BadStatusLine},
        {"version 2", "HTTP/2.0 200 OK\r\n\r\n", ParseError::UnsupportedVersion},
        {"version 0.9", "HTTP/0.9 200 OK\r\n\r\n", ParseError::UnsupportedVersion},
        {"no colon", ok + "NoColonHere\r\n\r\n", ParseError::BadHeaderLine},
        {"empty name", ok + ": value\r\n\r\n", ParseError::BadHeaderLine},
        {"space inside name", ok + "Bad Name: v\r\n\r\n", ParseError::BadHeaderLine},
        {"fold before the first header", ok + " folded: v\r\n\r\n", ParseError::BadHeaderLine},
        {"NUL in value", ok + std::string("X: a\0b\r\n\r\n", 10), ParseError::BadHeaderLine},
        {"bare CR in value", ok + "X: a\rb\r\n\r\n", ParseError::BadHeaderLine},
        {"control in folded part", ok + "X: a\r\n b\x02\r\n\r\n", ParseError::BadHeaderLine},
        {"length not a number", ok + "Content-Length: abc\r\n\r\n", ParseError::BadContentLength},
        {"length empty", ok + "Content-Length:\r\n\r\n", ParseError::BadContentLength},
        {"length negative", ok + "Content-Length: -1\r\n\r\n", ParseError::BadContentLength},
        {"length with plus", ok + "Content-Length: +5\r\n\r\n", ParseError::BadContentLength},
        {"length with inner space", ok + "Content-Length: 1 2\r\n\r\n", ParseError::BadContentLength},
        {"length hex", ok + "Content-Length: 0x10\r\n\r\n", ParseError::BadContentLength},
        {"length empty list item", ok + "Content-Length: 5,\r\n\r\n", ParseError::BadContentLength},
        {"length over 64 bits", ok + "Content-Length: 18446744073709551616\r\n\r\n", ParseError::BadContentLength},
        {"length far over 64 bits", ok + "Content-Length: 99999999999999999999999\r\n\r\n",
         ParseError::BadContentLength},
        {"differing list", ok + "Content-Length: 5, 6\r\n\r\n", ParseError::ConflictingContentLength},
        {"differing lines", ok + "Content-Length: 5\r\ncontent-length: 6\r\n\r\nabcdef",
         ParseError::ConflictingContentLength},
        {"gzip coding", ok + "Transfer-Encoding: gzip\r\n\r\n", ParseError::BadTransferEncoding},
        {"chunked then gzip", ok + "Transfer-Encoding: chunked, gzip\r\n\r\n", ParseError::BadTransferEncoding},
        {"chunked twice", ok + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
         ParseError::BadTransferEncoding},
        {"chunked with parameter", ok + "Transfer-Encoding: chunked;q=1\r\n\r\n", ParseError::BadTransferEncoding},
        {"empty coding", ok + "Transfer-Encoding: \r\n\r\n", ParseError::BadTransferEncoding},
        {"chunked in HTTP/1.0", "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         ParseError::BadTransferEncoding},
        {"chunk size not hex", chunked + "g\r\n", ParseError::BadChunkSize},
        {"chunk size empty", chunked + "\r\n", ParseError::BadChunkSize},
        {"chunk size negative", chunked + "-1\r\n", ParseError::BadChunkSize},
        {"chunk size with space inside", chunked + "1 0\r\n", ParseError::BadChunkSize},
        {"chunk size over 64 bits", chunked + "10000000000000000\r\n", ParseError::BadChunkSize},
        {"chunk sizes sum over 64 bits", chunked + "1\r\nx\r\nffffffffffffffff\r\n", ParseError::BadChunkSize},
        {"extension without name", chunked + "5;\r\nhello\r\n", ParseError::BadChunkSize},
        {"extension without value", chunked + "5;a=\r\nhello\r\n", ParseError::BadChunkSize},
        {"unterminated quoted extension", chunked + "5;a=\"x\r\nhello\r\n", ParseError::BadChunkSize},
        {"bare CR in chunk size line", chunked + "5\r;a\r\nhello\r\n", ParseError::BadChunkSize},
        {"data longer than its chunk", chunked + "3\r\nabcd\r\n0\r\n\r\n", ParseError::BadChunkData},
        {"CR CR after data", chunked + "3\r\nabc\r\r\n0\r\n\r\n", ParseError::BadChunkData},
        {"bad trailer", chunked + "0\r\nno colon\r\n\r\n", ParseError::BadHeaderLine},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Transcript whole = nxtest::runWhole(c.bytes, true);
        EXPECT_EQ(whole.state, State::Failed);
        EXPECT_EQ(whole.error, c.expected) << whole.errorText;
        EXPECT_FALSE(whole.errorText.empty());
        EXPECT_EQ(whole.completions, 0);
        EXPECT_EQ(nxtest::splitIndependent(nxtest::runBytewise(c.bytes, true)), nxtest::splitIndependent(whole));
    }
}

TEST(ResponseParserMalformed, NothingIsTakenAfterAFailure) {
    nxtest::Recorder rec;
    ResponseParser p(rec);
    rec.parser = &p;
    const std::string bad = "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\nbody";
    const std::size_t took = p.Feed(bad);
    EXPECT_LT(took, bad.size());
    EXPECT_EQ(p.error(), ParseError::BadContentLength);
    EXPECT_EQ(p.Feed("more"), 0u);
    p.ConnectionClosed();
    EXPECT_EQ(p.error(), ParseError::BadContentLength);
    // The header with the bad length is not reported as a header.
    for (const auto& e : rec.t.events) EXPECT_EQ(e.find("Content-Length"), std::string::npos) << e;
}

// ---- Stopping ----

// Records like Recorder and stops the parse in the handler of the first event that starts with
// `at` ("end-of-headers", "header [B]", "body", ...).
struct StopAt : nxtest::Recorder {
    std::string at;
    ResponseParser* stopping = nullptr;
    int eventsAfterStop = 0;

    void check() {
        if (stopping->stopped()) {
            ++eventsAfterStop;
            return;
        }
        if (!t.events.empty() && t.events.back().rfind(at, 0) == 0) stopping->Stop();
    }
    void OnStatus(const nx::http::StatusLine& s) override {
        Recorder::OnStatus(s);
        check();
    }
    void OnHeader(std::string_view n, std::string_view v) override {
        Recorder::OnHeader(n, v);
        check();
    }
    void OnHeadersComplete() override {
        Recorder::OnHeadersComplete();
        check();
    }
    void OnBody(std::string_view piece) override {
        Recorder::OnBody(piece);
        check();
    }
    void OnTrailer(std::string_view n, std::string_view v) override {
        Recorder::OnTrailer(n, v);
        check();
    }
    void OnComplete() override {
        Recorder::OnComplete();
        check();
    }
};

struct Stopped {
    std::vector<std::string> events;
    std::size_t taken = 0;
    State state = State::InProgress;
    int eventsAfterStop = 0;
};

// Feeds `bytes` in one piece, stopping at `at`, then closes the connection.
Stopped feedStoppingAt(const std::string& bytes, const char* at) {
    StopAt h;
    ResponseParser p(h);
    h.parser = &p;
    h.stopping = &p;
    h.at = at;
    h.currentInput = bytes;
    Stopped out;
    out.taken = p.Feed(bytes);
    EXPECT_EQ(p.Feed("HTTP/1.1 200 OK\r\n"), 0u) << "bytes taken after the stop";
    p.ConnectionClosed();
    EXPECT_EQ(p.error(), ParseError::None) << "the close after a stop is not a truncation";
    EXPECT_TRUE(p.errorText().empty());
    out.events = h.t.events;
    out.state = p.state();
    out.eventsAfterStop = h.eventsAfterStop;
    return out;
}

TEST(ResponseParserStop, AtTheEndOfTheHeadTakesNoBodyBytes) {
    const std::string head = "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 5\r\n\r\n";
    const Stopped s = feedStoppingAt(head + "moved", "end-of-headers");
    EXPECT_EQ(s.state, State::Stopped);
    EXPECT_EQ(s.taken, head.size());
    EXPECT_EQ(s.events, ev({"status 1.1 302 [Found]", "header [Location] [/next]", "header [Content-Length] [5]",
                            "end-of-headers length 5"}));
    EXPECT_EQ(s.eventsAfterStop, 0);
}

TEST(ResponseParserStop, AnAnswerWithoutABodyDoesNotComplete) {
    for (const char* bytes : {"HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n",
                              "HTTP/1.1 304 Not Modified\r\n\r\n"}) {
        const Stopped s = feedStoppingAt(bytes, "end-of-headers");
        EXPECT_EQ(s.state, State::Stopped) << bytes;
        EXPECT_EQ(s.events.back().rfind("end-of-headers", 0), 0u) << bytes;
        EXPECT_EQ(s.eventsAfterStop, 0) << bytes;
    }
}

TEST(ResponseParserStop, InAHeaderEndsTheHead) {
    const std::string bytes = "HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nContent-Length: 1\r\n\r\nZ";
    const Stopped first = feedStoppingAt(bytes, "header [A]");
    EXPECT_EQ(first.state, State::Stopped);
    EXPECT_EQ(first.events, ev({"status 1.1 200 [OK]", "header [A] [1]"}));
    // The last field is reported only when the empty line is read: stopping there leaves the head
    // without its end.
    const Stopped last = feedStoppingAt(bytes, "header [Content-Length]");
    EXPECT_EQ(last.state, State::Stopped);
    EXPECT_EQ(last.events.back(), "header [Content-Length] [1]");
    EXPECT_EQ(last.eventsAfterStop, 0);
}

TEST(ResponseParserStop, InTheStatusOrTheBodyOrATrailer) {
    const Stopped status = feedStoppingAt("HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", "status");
    EXPECT_EQ(status.events, ev({"status 1.1 200 [OK]"}));
    EXPECT_EQ(status.state, State::Stopped);
    // The last bytes of a body with a length: the message does not complete.
    const Stopped body = feedStoppingAt("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", "body");
    EXPECT_EQ(body.state, State::Stopped);
    EXPECT_EQ(body.events.back(), "body");
    // A chunk: the chunks after it are neither reported nor taken.
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const Stopped chunk = feedStoppingAt(chunkedHead + "2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n", "body");
    EXPECT_EQ(chunk.state, State::Stopped);
    EXPECT_EQ(chunk.taken, chunkedHead.size() + 5);  // up to the end of "ab"
    const Stopped trailer = feedStoppingAt(chunkedHead + "1\r\na\r\n0\r\nT: 1\r\n\r\n", "trailer");
    EXPECT_EQ(trailer.state, State::Stopped);
    EXPECT_EQ(trailer.events.back(), "trailer [T] [1]");
    for (const Stopped* s : {&status, &body, &chunk, &trailer}) EXPECT_EQ(s->eventsAfterStop, 0);
}

TEST(ResponseParserStop, OnlyARunningParseStopsAndResetStartsAgain) {
    nxtest::Recorder rec;
    ResponseParser p(rec);
    rec.parser = &p;
    const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nxy";
    rec.currentInput = whole;
    p.Feed(whole);
    p.Stop();
    EXPECT_EQ(p.state(), State::Complete);
    p.Reset();
    p.Feed("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n");
    p.Stop();
    EXPECT_EQ(p.state(), State::Failed);
    EXPECT_EQ(p.error(), ParseError::BadContentLength);
    // Between two feeds.
    p.Reset();
    EXPECT_EQ(p.Feed("HTTP/1.1 200 OK\r\n"), 17u);
    p.Stop();
    EXPECT_TRUE(p.stopped());
    EXPECT_EQ(p.Feed("Content-Length: 2\r\n\r\nxy"), 0u);
    p.Reset();
    rec.t = {};
    rec.currentInput = whole;
    EXPECT_EQ(p.Feed(whole), whole.size());
    EXPECT_EQ(p.state(), State::Complete);
    EXPECT_EQ(rec.t.body, "xy");
}

}  // namespace
