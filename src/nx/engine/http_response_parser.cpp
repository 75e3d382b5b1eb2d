#include "http_response_parser.h"

#include "ascii.h"

#include <cstring>
#include <limits>

namespace nx::http {

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Text allowed in a field value or reason phrase: visible characters, obs-text, space and tab.
bool IsFieldText(std::string_view s) {
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
    }
    return true;
}

// Decimal digits only, no sign, no spaces; false when empty or too large.
bool ParseDecimal(std::string_view s, std::uint64_t& out) {
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (!IsDigit(c)) return false;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (kMaxU64 - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

// chunk-ext = *( BWS ";" BWS ext-name [ BWS "=" BWS ext-val ] ), ext-val = token / quoted-string.
bool ValidChunkExtensions(std::string_view s) {
    std::size_t i = 0;
    const auto skipWs = [&] {
        while (i < s.size() && IsBlank(s[i])) ++i;
    };
    const auto token = [&] {
        const std::size_t start = i;
        while (i < s.size() && IsTokenChar(s[i])) ++i;
        return i > start;
    };
    for (;;) {
        skipWs();
        if (i == s.size()) return true;
        if (s[i] != ';') return false;
        ++i;
        skipWs();
        if (!token()) return false;
        skipWs();
        if (i < s.size() && s[i] == '=') {
            ++i;
            skipWs();
            if (i < s.size() && s[i] == '"') {
                ++i;
                for (;;) {
                    if (i == s.size()) return false;
                    const auto c = static_cast<unsigned char>(s[i]);
                    if (c == '"') {
                        ++i;
                        break;
                    }
                    if (c == '\\') {
                        ++i;
                        if (i == s.size()) return false;
                        const auto e = static_cast<unsigned char>(s[i]);
                        if ((e < 0x20 && e != '\t') || e == 0x7f) return false;
                        ++i;
                        continue;
                    }
                    if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
                    ++i;
                }
            } else if (!token()) {
                return false;
            }
        }
    }
}

}  // namespace

const char* Describe(ParseError error) {
    switch (error) {
    case ParseError::None: return "no error";
    case ParseError::BadStatusLine: return "bad status line";
    case ParseError::UnsupportedVersion: return "unsupported HTTP version";
    case ParseError::BadHeaderLine: return "bad header line";
    case ParseError::HeaderLineTooLong: return "header line too long";
    case ParseError::TooManyHeaderLines: return "too many header lines";
    case ParseError::TooManyInterimResponses: return "too many interim responses";
    case ParseError::HeadTooLarge: return "response head too large";
    case ParseError::BadContentLength: return "bad Content-Length";
    case ParseError::ConflictingContentLength: return "conflicting Content-Length values";
    case ParseError::BadTransferEncoding: return "bad Transfer-Encoding";
    case ParseError::BadChunkSize: return "bad chunk size";
    case ParseError::ChunkSizeLineTooLong: return "chunk size line too long";
    case ParseError::BadChunkData: return "bad chunk data";
    case ParseError::Truncated: return "response cut short";
    case ParseError::HandlerFailed: return "stopped by an event handler";
    }
    return "unknown error";
}

ResponseParser::ResponseParser(ResponseHandler& handler) : handler_(handler) {}

void ResponseParser::Reset() {
    phase_ = Phase::StatusLine;
    state_ = State::InProgress;
    error_ = ParseError::None;
    errorText_.clear();
    line_.clear();
    anyByte_ = false;
    status_ = StatusLine{};
    interim_ = false;
    fieldLines_ = 0;
    interimCount_ = 0;
    headBytes_ = 0;
    lineBytes_ = 0;
    hasField_ = false;
    fieldName_.clear();
    fieldValue_.clear();
    headersComplete_ = false;
    framing_ = BodyFraming::None;
    contentLength_.reset();
    transferEncoding_ = false;
    chunkedSeen_ = false;
    bodyBytes_ = 0;
    remaining_ = 0;
    chunkCr_ = false;
}

std::optional<std::uint64_t> ResponseParser::announcedLength() const {
    if (framing_ == BodyFraming::ContentLength) return contentLength_;
    return std::nullopt;
}

void ResponseParser::Fail(ParseError error, std::string text) {
    phase_ = Phase::Stopped;
    state_ = State::Failed;
    error_ = error;
    errorText_ = std::move(text);
    line_.clear();
    line_.shrink_to_fit();
    fieldValue_.clear();
    fieldValue_.shrink_to_fit();
}

void ResponseParser::Stop() {
    if (state_ != State::InProgress) return;
    // The buffers stay as they are: the calling handler may still hold views into them.
    phase_ = Phase::Stopped;
    state_ = State::Stopped;
}

void ResponseParser::Finish() {
    phase_ = Phase::Done;
    state_ = State::Complete;
    line_.clear();
    line_.shrink_to_fit();
    handler_.OnComplete();
}

std::size_t ResponseParser::Feed(std::string_view data) {
    if (data.empty() || phase_ == Phase::Done || phase_ == Phase::Stopped) return 0;
    try {
        return Run(data.data(), data.data() + data.size());
    } catch (...) {
        Fail(ParseError::HandlerFailed, Describe(ParseError::HandlerFailed));
        throw;
    }
}

void ResponseParser::ConnectionClosed() {
    try {
        switch (phase_) {
        case Phase::Done:
        case Phase::Stopped: return;
        case Phase::BodyUntilClose: Finish(); return;
        case Phase::StatusLine:
        case Phase::Headers:
            Fail(ParseError::Truncated,
                 anyByte_ ? "connection closed inside the response header" : "connection closed before any response");
            return;
        case Phase::FixedBody:
            Fail(ParseError::Truncated, "connection closed after " + std::to_string(bodyBytes_) + " of " +
                                            std::to_string(*contentLength_) + " body bytes");
            return;
        case Phase::ChunkSize:
        case Phase::ChunkData:
        case Phase::ChunkDataEnd:
        case Phase::Trailers:
            Fail(ParseError::Truncated,
                 "connection closed inside the chunked body after " + std::to_string(bodyBytes_) + " body bytes");
            return;
        }
    } catch (...) {
        Fail(ParseError::HandlerFailed, Describe(ParseError::HandlerFailed));
        throw;
    }
}

// Gathers one line into line_, without its LF and without one CR before the LF. A line that grows
// beyond `limit` bytes (plus room for the CR) fails at once, so memory stays bounded.
ResponseParser::LineResult ResponseParser::ReadLine(const char*& p, const char* end, std::size_t limit,
                                                    ParseError tooLong, const char* tooLongText) {
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* stop = lf ? lf : end;
    const auto n = static_cast<std::size_t>(stop - p);
    if (line_.size() + n > limit + 1) {
        Fail(tooLong, tooLongText);
        return LineResult::Failed;
    }
    line_.append(p, n);
    lineBytes_ += n + (lf ? 1 : 0);
    p = lf ? lf + 1 : end;
    if (!lf) return LineResult::NeedMore;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > limit) {
        Fail(tooLong, tooLongText);
        return LineResult::Failed;
    }
    return LineResult::Ready;
}

std::size_t ResponseParser::Run(const char* begin, const char* end) {
    const char* p = begin;
    anyByte_ = true;
    while (p < end) {
        switch (phase_) {
        case Phase::StatusLine:
        case Phase::Headers:
        case Phase::Trailers: {
            const LineResult r = ReadLine(p, end, kMaxHeaderLineLength, ParseError::HeaderLineTooLong,
                                          phase_ == Phase::StatusLine ? "status line too long"
                                          : phase_ == Phase::Headers  ? "header line too long"
                                                                      : "trailer line too long");
            if (r == LineResult::Failed) return static_cast<std::size_t>(p - begin);
            if (r == LineResult::NeedMore) break;
            const std::size_t lineBytes = lineBytes_;
            lineBytes_ = 0;
            if (phase_ != Phase::Trailers) {
                // Counted per whole line, so that a line too long is reported as such however the
                // bytes arrived; memory stays bounded by the line limit meanwhile.
                headBytes_ += lineBytes;
                if (headBytes_ > kMaxHeadBytes) {
                    Fail(ParseError::HeadTooLarge,
                         "response head larger than " + std::to_string(kMaxHeadBytes) + " bytes");
                    return static_cast<std::size_t>(p - begin);
                }
            }
            if (phase_ == Phase::StatusLine)
                ParseStatusLine();
            else
                ParseFieldLine(phase_ == Phase::Trailers);
            line_.clear();
            break;
        }
        case Phase::FixedBody:
        case Phase::ChunkData: {
            const auto avail = static_cast<std::uint64_t>(end - p);
            const std::uint64_t take = avail < remaining_ ? avail : remaining_;
            const auto n = static_cast<std::size_t>(take);
            const std::string_view piece(p, n);
            p += n;
            remaining_ -= take;
            bodyBytes_ += take;
            if (remaining_ == 0) {
                if (phase_ == Phase::ChunkData) {
                    phase_ = Phase::ChunkDataEnd;
                    chunkCr_ = false;
                    handler_.OnBody(piece);
                } else {
                    phase_ = Phase::Done;
                    handler_.OnBody(piece);
                    if (phase_ == Phase::Done) Finish();  // unless the handler stopped the parse
                }
            } else {
                handler_.OnBody(piece);
            }
            break;
        }
        case Phase::BodyUntilClose: {
            const std::string_view piece(p, static_cast<std::size_t>(end - p));
            p = end;
            bodyBytes_ += piece.size();
            handler_.OnBody(piece);
            break;
        }
        case Phase::ChunkDataEnd: {
            const char c = *p++;
            if (c == '\n') {
                phase_ = Phase::ChunkSize;
            } else if (c == '\r' && !chunkCr_) {
                chunkCr_ = true;
            } else {
                Fail(ParseError::BadChunkData, "chunk data not followed by a line end");
                return static_cast<std::size_t>(p - begin);
            }
            break;
        }
        case Phase::ChunkSize: {
            const LineResult r =
                ReadLine(p, end, kMaxChunkSizeLineLength, ParseError::ChunkSizeLineTooLong, "chunk size line too long");
            if (r == LineResult::Failed) return static_cast<std::size_t>(p - begin);
            if (r == LineResult::NeedMore) break;
            lineBytes_ = 0;
            ParseChunkSizeLine();
            line_.clear();
            break;
        }
        case Phase::Done:
        case Phase::Stopped: return static_cast<std::size_t>(p - begin);
        }
    }
    return static_cast<std::size_t>(p - begin);
}

// status-line = HTTP-version SP status-code SP [ reason-phrase ]; a missing SP before an empty
// reason is accepted.
void ResponseParser::ParseStatusLine() {
    const std::string_view s = line_;
    if (s.size() < 12 || s.compare(0, 5, "HTTP/") != 0 || !IsDigit(s[5]) || s[6] != '.' || !IsDigit(s[7]) ||
        s[8] != ' ' || !IsDigit(s[9]) || !IsDigit(s[10]) || !IsDigit(s[11]) || (s.size() > 12 && s[12] != ' ')) {
        Fail(ParseError::BadStatusLine, "bad status line");
        return;
    }
    if (s[5] != '1') {
        Fail(ParseError::UnsupportedVersion, "unsupported HTTP version " + std::string(s.substr(5, 3)));
        return;
    }
    const int code = (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');
    if (code < 100 || code > 599) {
        Fail(ParseError::BadStatusLine, "bad status code " + std::string(s.substr(9, 3)));
        return;
    }
    const std::string_view reason = s.size() > 12 ? s.substr(13) : std::string_view();
    if (!IsFieldText(reason)) {
        Fail(ParseError::BadStatusLine, "bad character in the reason phrase");
        return;
    }
    if (code == 101) {
        // Only an Upgrade request may be answered with a protocol switch, and we never send one.
        Fail(ParseError::BadStatusLine, "unexpected 101 Switching Protocols");
        return;
    }
    if (code < 200 && ++interimCount_ > kMaxInterimResponses) {
        Fail(ParseError::TooManyInterimResponses,
             "more than " + std::to_string(kMaxInterimResponses) + " interim (1xx) responses");
        return;
    }
    status_.major = s[5] - '0';
    status_.minor = s[7] - '0';
    status_.code = code;
    status_.reason.assign(reason);
    interim_ = code < 200;
    fieldLines_ = 0;
    hasField_ = false;
    phase_ = Phase::Headers;
    if (!interim_) handler_.OnStatus(status_);
}

// One line of a header or trailer section, without its line end.
void ResponseParser::ParseFieldLine(bool trailer) {
    const std::string_view s = line_;
    if (s.empty()) {
        if (!FlushField(trailer)) return;
        if (trailer)
            Finish();
        else
            EndOfHeaders();
        return;
    }
    if (++fieldLines_ > kMaxHeaderLines) {
        Fail(ParseError::TooManyHeaderLines, trailer ? "too many trailer lines" : "too many header lines");
        return;
    }
    if (IsBlank(s.front())) {
        // obs-fold: the line continues the previous field; the fold becomes one space.
        if (!hasField_) {
            Fail(ParseError::BadHeaderLine, "continuation line without a header line before it");
            return;
        }
        const std::string_view more = TrimBlanks(s);
        if (!IsFieldText(more)) {
            Fail(ParseError::BadHeaderLine, "bad character in a header value");
            return;
        }
        while (!fieldValue_.empty() && IsBlank(fieldValue_.back())) fieldValue_.pop_back();
        if (!more.empty()) {
            // The joined field is held by the limit of one line, so folding cannot grow it further.
            if (fieldName_.size() + 2 + fieldValue_.size() + 1 + more.size() > kMaxHeaderLineLength) {
                Fail(ParseError::HeaderLineTooLong, "folded header line too long");
                return;
            }
            if (!fieldValue_.empty()) fieldValue_ += ' ';
            fieldValue_.append(more);
        }
        return;
    }
    if (!FlushField(trailer)) return;
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos) {
        Fail(ParseError::BadHeaderLine, "header line without a colon");
        return;
    }
    // Spaces between the name and the colon are not allowed, but harmless to a client: drop them.
    std::string_view name = s.substr(0, colon);
    while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
    if (name.empty()) {
        Fail(ParseError::BadHeaderLine, "header line without a name");
        return;
    }
    for (char c : name) {
        if (!IsTokenChar(c)) {
            Fail(ParseError::BadHeaderLine, "bad character in a header name");
            return;
        }
    }
    const std::string_view value = TrimBlanks(s.substr(colon + 1));
    if (!IsFieldText(value)) {
        Fail(ParseError::BadHeaderLine, "bad character in a header value");
        return;
    }
    fieldName_.assign(name);
    fieldValue_.assign(value);
    hasField_ = true;
}

// Reports the field that was held back for a possible continuation line. False when the parse failed
// or was stopped.
bool ResponseParser::FlushField(bool trailer) {
    if (!hasField_) return true;
    hasField_ = false;
    if (interim_) return true;
    if (trailer) {
        handler_.OnTrailer(fieldName_, fieldValue_);
        return state_ == State::InProgress;
    }
    if (!InterpretHeader(fieldName_, fieldValue_)) return false;
    handler_.OnHeader(fieldName_, fieldValue_);
    return state_ == State::InProgress;
}

// Notes the fields that frame the body. False when the field is unusable.
bool ResponseParser::InterpretHeader(std::string_view name, std::string_view value) {
    const int code = status_.code;
    if (code == 204 || code == 304) return true;  // no body, whatever the fields say
    if (EqualsNoCase(name, "Content-Length")) {
        // 1*DIGIT; a list of one value repeated ("42, 42") is the same value.
        std::optional<std::uint64_t> length;
        std::string_view rest = value;
        for (;;) {
            const std::size_t comma = rest.find(',');
            const std::string_view item = TrimBlanks(rest.substr(0, comma));
            std::uint64_t v = 0;
            if (!ParseDecimal(item, v)) {
                Fail(ParseError::BadContentLength, "bad Content-Length: " + std::string(value.substr(0, 64)));
                return false;
            }
            if (length && *length != v) {
                Fail(ParseError::ConflictingContentLength,
                     "conflicting Content-Length values: " + std::string(value.substr(0, 64)));
                return false;
            }
            length = v;
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        if (contentLength_ && *contentLength_ != *length) {
            Fail(ParseError::ConflictingContentLength,
                 "conflicting Content-Length values: " + std::to_string(*contentLength_) + " and " +
                     std::to_string(*length));
            return false;
        }
        contentLength_ = length;
        return true;
    }
    if (EqualsNoCase(name, "Transfer-Encoding")) {
        transferEncoding_ = true;
        std::string_view rest = value;
        for (;;) {
            const std::size_t comma = rest.find(',');
            std::string_view item = TrimBlanks(rest.substr(0, comma));
            if (!item.empty()) {
                const std::size_t semi = item.find(';');
                const std::string_view coding = TrimBlanks(item.substr(0, semi));
                if (!EqualsNoCase(coding, "chunked")) {
                    Fail(ParseError::BadTransferEncoding,
                         "unsupported transfer coding: " + std::string(coding.substr(0, 64)));
                    return false;
                }
                if (chunkedSeen_) {
                    Fail(ParseError::BadTransferEncoding, "chunked transfer coding applied twice");
                    return false;
                }
                if (semi != std::string_view::npos) {
                    Fail(ParseError::BadTransferEncoding, "parameters on the chunked transfer coding");
                    return false;
                }
                chunkedSeen_ = true;
            }
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        return true;
    }
    return true;
}

void ResponseParser::EndOfHeaders() {
    if (interim_) {
        // 1xx: another response head follows.
        phase_ = Phase::StatusLine;
        fieldLines_ = 0;
        return;
    }
    const int code = status_.code;
    if (code == 204 || code == 304) {
        framing_ = BodyFraming::None;
    } else if (transferEncoding_) {
        if (status_.minor == 0) {
            Fail(ParseError::BadTransferEncoding, "Transfer-Encoding in an HTTP/1.0 response");
            return;
        }
        if (!chunkedSeen_) {
            Fail(ParseError::BadTransferEncoding, "empty Transfer-Encoding");
            return;
        }
        framing_ = BodyFraming::Chunked;
    } else if (contentLength_) {
        framing_ = BodyFraming::ContentLength;
        remaining_ = *contentLength_;
    } else {
        framing_ = BodyFraming::UntilClose;
    }
    headersComplete_ = true;
    fieldLines_ = 0;
    switch (framing_) {
    case BodyFraming::None: phase_ = Phase::Done; break;
    case BodyFraming::ContentLength: phase_ = remaining_ == 0 ? Phase::Done : Phase::FixedBody; break;
    case BodyFraming::Chunked: phase_ = Phase::ChunkSize; break;
    case BodyFraming::UntilClose: phase_ = Phase::BodyUntilClose; break;
    }
    handler_.OnHeadersComplete();
    if (phase_ == Phase::Done) Finish();
}

// chunk-size [ chunk-ext ]
void ResponseParser::ParseChunkSizeLine() {
    const std::string_view s = line_;
    std::size_t i = 0;
    std::uint64_t size = 0;
    while (i < s.size()) {
        const int h = HexValue(s[i]);
        if (h < 0) break;
        if (size > (kMaxU64 >> 4)) {
            Fail(ParseError::BadChunkSize, "chunk size too large");
            return;
        }
        size = (size << 4) | static_cast<std::uint64_t>(h);
        ++i;
    }
    if (i == 0) {
        Fail(ParseError::BadChunkSize, "bad chunk size line");
        return;
    }
    if (!ValidChunkExtensions(s.substr(i))) {
        Fail(ParseError::BadChunkSize, "bad chunk extension");
        return;
    }
    if (size > kMaxU64 - bodyBytes_) {
        Fail(ParseError::BadChunkSize, "chunked body too large");
        return;
    }
    if (size == 0) {
        phase_ = Phase::Trailers;
        fieldLines_ = 0;
        hasField_ = false;
    } else {
        phase_ = Phase::ChunkData;
        remaining_ = size;
    }
}

}  // namespace nx::http
