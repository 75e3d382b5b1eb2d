#pragma once
// Feeds a response to the parser in given pieces and records what came out, so that two runs can be
// compared as a whole. Used by the unit tests and the fuzz target.

#include "http_response_parser.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nxtest {

struct Transcript {
    // One entry per event; adjacent body pieces are joined, because how the body is cut into
    // pieces depends on how the bytes arrived.
    std::vector<std::string> events;
    std::string body;
    nx::http::ResponseParser::State state = nx::http::ResponseParser::State::InProgress;
    nx::http::ParseError error = nx::http::ParseError::None;
    std::string errorText;
    std::optional<std::uint64_t> announced;
    std::uint64_t bodyBytes = 0;
    std::size_t consumed = 0;        // bytes feed() took in all
    std::size_t maxBuffered = 0;     // most bytes the parser held between calls
    int completions = 0;             // OnComplete calls
    bool eventAfterEnd = false;      // an event came after OnComplete
    bool emptyPiece = false;         // OnBody got an empty piece
    bool pieceOutsideInput = false;  // a body piece did not point into the bytes just fed
    bool bodyOverrun = false;        // more body than the announced length

    bool operator==(const Transcript&) const = default;
};

class Recorder : public nx::http::ResponseHandler {
public:
    Transcript t;
    const nx::http::ResponseParser* parser = nullptr;
    std::string_view currentInput;

    void OnStatus(const nx::http::StatusLine& s) override {
        note("status " + std::to_string(s.major) + "." + std::to_string(s.minor) + " " + std::to_string(s.code) + " [" +
             s.reason + "]");
    }
    void OnHeader(std::string_view name, std::string_view value) override {
        note("header [" + std::string(name) + "] [" + std::string(value) + "]");
    }
    void OnHeadersComplete() override {
        std::string framing;
        switch (parser->framing()) {
        case nx::http::BodyFraming::None: framing = "none"; break;
        case nx::http::BodyFraming::ContentLength: framing = "length"; break;
        case nx::http::BodyFraming::Chunked: framing = "chunked"; break;
        case nx::http::BodyFraming::UntilClose: framing = "close"; break;
        }
        const auto len = parser->announcedLength();
        note("end-of-headers " + framing + (len ? " " + std::to_string(*len) : std::string()));
        t.announced = len;
    }
    void OnBody(std::string_view piece) override {
        if (t.completions) t.eventAfterEnd = true;
        if (piece.empty()) t.emptyPiece = true;
        if (piece.data() < currentInput.data() ||
            piece.data() + piece.size() > currentInput.data() + currentInput.size())
            t.pieceOutsideInput = true;
        if (t.events.empty() || t.events.back() != "body") t.events.push_back("body");
        t.body.append(piece);
        if (t.announced && t.body.size() > *t.announced) t.bodyOverrun = true;
    }
    void OnTrailer(std::string_view name, std::string_view value) override {
        note("trailer [" + std::string(name) + "] [" + std::string(value) + "]");
    }
    void OnComplete() override {
        note("complete");
        ++t.completions;
    }

private:
    void note(std::string e) {
        if (t.completions) t.eventAfterEnd = true;
        t.events.push_back(std::move(e));
    }
};

// Feeds `bytes` cut at the ascending offsets in `cuts`, stopping when the parser takes less than
// it is given, then reports the connection's close when `close` is set.
inline Transcript run(std::string_view bytes, const std::vector<std::size_t>& cuts, bool close) {
    Recorder rec;
    nx::http::ResponseParser parser(rec);
    rec.parser = &parser;
    std::size_t pos = 0;
    std::size_t consumed = 0;
    bool stopped = false;
    for (std::size_t i = 0; i <= cuts.size() && !stopped; ++i) {
        const std::size_t next = i < cuts.size() ? cuts[i] : bytes.size();
        if (next <= pos) continue;
        const std::string_view piece = bytes.substr(pos, next - pos);
        rec.currentInput = piece;
        const std::size_t took = parser.Feed(piece);
        consumed += took;
        if (parser.bufferedBytes() > rec.t.maxBuffered) rec.t.maxBuffered = parser.bufferedBytes();
        if (took < piece.size()) stopped = true;
        pos = next;
    }
    if (close) parser.ConnectionClosed();
    rec.t.state = parser.state();
    rec.t.error = parser.error();
    rec.t.errorText = parser.errorText();
    rec.t.bodyBytes = parser.bodyBytes();
    rec.t.consumed = consumed;
    return rec.t;
}

// The parts of a transcript that must not depend on how the bytes were cut: everything except the
// buffering high-water mark, and the count of bytes taken unless the message ended complete (a
// failure is found somewhere inside the piece that holds the bad byte).
inline Transcript splitIndependent(Transcript t) {
    t.maxBuffered = 0;
    if (t.state != nx::http::ResponseParser::State::Complete) t.consumed = 0;
    return t;
}

inline Transcript runWhole(std::string_view bytes, bool close) { return run(bytes, {}, close); }

inline Transcript runBytewise(std::string_view bytes, bool close) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < bytes.size(); ++i) cuts.push_back(i);
    return run(bytes, cuts, close);
}

}  // namespace nxtest
