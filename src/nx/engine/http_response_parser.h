#pragma once
// Parser of one HTTP/1.x response, without any I/O ("sans-I/O").
//
// The engine hands it the bytes that arrive on the connection, in pieces of any size down to one
// byte, and tells it when the connection has closed. The parser reports, through a handler:
//   - the status line of the final response (1xx interim responses such as 100 Continue are read and
//     skipped without any event, at most kMaxInterimResponses of them);
//   - each header line: the name exactly as the server sent it (spaces between it and the colon,
//     which a server should not send, are dropped) and the value alone, without the
//     surrounding spaces and tabs (a folded line, obs-fold, is joined with one space, and the
//     joined field is held to the limit of one line);
//   - the end of the header section;
//   - the body in pieces: views into the bytes handed to Feed(), never a copy of the whole body;
//     chunked bodies arrive de-chunked, chunk extensions are ignored;
//   - trailer lines of a chunked body;
//   - the end of the message.
//
// How the end of the body is found: responses 204 and 304 have none; "Transfer-Encoding: chunked"
// ends with the last chunk and the trailers (it overrides Content-Length); else Content-Length gives
// the length; else the body runs until the connection closes. Only the "chunked" transfer coding is
// accepted, and not in an HTTP/1.0 response. Every Content-Length is checked as it arrives (digits
// only; "42, 42" is 42; differing values fail), even where chunked framing leaves it unused; in 204
// and 304 responses neither field is interpreted. A 101 answer fails: the request never asks for an
// upgrade.
//
// The parser holds at most one line at a time, and a server cannot make that line larger than the
// limits below; nor can it make the parser read more than kMaxHeadBytes of response heads before
// the body. After an error or the end of the message, Feed() takes no more bytes.
//
// Whether a transfer is complete is read from state(): Complete, or Failed with error() telling why;
// ParseError::Truncated means that the connection closed before the message ended ("cut short"), as
// opposed to a response that was malformed. A reader that has seen enough (an answer that
// redirects, once its head is read) ends the parse with Stop(), from a handler too: state() is
// then Stopped.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nx::http {

// Bytes of one status, header or trailer line, without its line end.
inline constexpr std::size_t kMaxHeaderLineLength = 8192;
// Header lines of one response head (continuation lines included); trailer lines likewise.
inline constexpr std::size_t kMaxHeaderLines = 100;
// Bytes of a chunk-size line, extensions included, without its line end: as long as a header line,
// since chunk extensions (names, quoted values) can be as long as a field.
inline constexpr std::size_t kMaxChunkSizeLineLength = kMaxHeaderLineLength;
// Interim (1xx) responses before the final one. A server sends one or two at most (100 Continue,
// 103 Early Hints); the limit keeps a server that sends them without end from holding us for ever.
inline constexpr std::size_t kMaxInterimResponses = 10;
// Bytes of all response heads together, interim heads included: every status and header line with
// its line end, and the empty line that ends each head. The heads of the answers we read carry a
// few hundred bytes, a proxy adds a few lines more; 64 KB is over a hundred times that, yet stops a
// server from feeding us up to 100 lines of 8 KB for each of the interim heads and the final one
// (about 9 MB) before the answer begins.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;

struct StatusLine {
    int major = 0;  // HTTP version, e.g. 1 and 1 for "HTTP/1.1"
    int minor = 0;
    int code = 0;        // 100 to 599
    std::string reason;  // the reason phrase as sent, possibly empty
};

enum class BodyFraming {
    None,           // 204, 304, or not yet known
    ContentLength,  // length given by Content-Length
    Chunked,        // Transfer-Encoding: chunked
    UntilClose,     // the body ends when the connection closes
};

enum class ParseError {
    None,
    BadStatusLine,
    UnsupportedVersion,
    BadHeaderLine,
    HeaderLineTooLong,
    TooManyHeaderLines,
    TooManyInterimResponses,
    HeadTooLarge,  // the response heads together exceed kMaxHeadBytes
    BadContentLength,
    ConflictingContentLength,
    BadTransferEncoding,
    BadChunkSize,
    ChunkSizeLineTooLong,
    BadChunkData,
    Truncated,      // the connection closed before the end of the message
    HandlerFailed,  // a handler raised an exception; the parse stops there
};

// Receives the parser's events. Views are valid only during the call.
class ResponseHandler {
public:
    virtual void OnStatus(const StatusLine& status) { (void)status; }
    virtual void OnHeader(std::string_view name, std::string_view value) {
        (void)name;
        (void)value;
    }
    // The header section has ended; the parser's framing() and announcedLength() are known.
    virtual void OnHeadersComplete() {}
    // A piece of the body, never empty.
    virtual void OnBody(std::string_view piece) { (void)piece; }
    virtual void OnTrailer(std::string_view name, std::string_view value) {
        (void)name;
        (void)value;
    }
    // The message ended complete; nothing follows.
    virtual void OnComplete() {}

protected:
    ~ResponseHandler() = default;
};

class ResponseParser {
public:
    enum class State {
        InProgress,
        Complete,
        Failed,
        Stopped,  // Stop() ended the parse before the message did
    };

    explicit ResponseParser(ResponseHandler& handler);

    // Parses the bytes and raises the events they complete. Returns how many bytes were taken:
    // all of them, except when the message ended, failed or was stopped inside `data` (bytes after
    // the end of the message are not taken: they are not part of it). An exception from a handler
    // marks the parse Failed (HandlerFailed) and propagates.
    std::size_t Feed(std::string_view data);

    // Ends the parse where it stands, without an error: no further event is raised, not even for
    // the rest of the bytes of the Feed() that raised the calling handler, and Feed() takes no
    // more. May be called from any handler, or between calls. Does nothing once the parse has
    // completed, failed or been stopped; Reset() starts a new parse.
    void Stop();

    // The connection has closed: ends a body that runs until the close, or fails the parse with
    // ParseError::Truncated when the message is unfinished. Does nothing once Complete or Failed.
    void ConnectionClosed();

    // Forgets everything, ready for a new response.
    void Reset();

    State state() const { return state_; }
    bool complete() const { return state_ == State::Complete; }
    bool failed() const { return state_ == State::Failed; }
    bool stopped() const { return state_ == State::Stopped; }
    ParseError error() const { return error_; }
    // A short English text of the error, empty when there is none.
    const std::string& errorText() const { return errorText_; }

    // Valid from OnStatus on.
    const StatusLine& status() const { return status_; }
    bool headersComplete() const { return headersComplete_; }
    // Valid from OnHeadersComplete on.
    BodyFraming framing() const { return framing_; }
    // The Content-Length that frames the body, when one does.
    std::optional<std::uint64_t> announcedLength() const;
    // Body bytes delivered so far (de-chunked).
    std::uint64_t bodyBytes() const { return bodyBytes_; }
    // Bytes the parser holds between calls (a partial line, a field awaiting continuation lines);
    // never more than about twice kMaxHeaderLineLength.
    std::size_t bufferedBytes() const { return line_.size() + fieldName_.size() + fieldValue_.size(); }

private:
    enum class Phase {
        StatusLine,
        Headers,
        FixedBody,
        BodyUntilClose,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailers,
        Done,
        Stopped,
    };
    enum class LineResult { Ready, NeedMore, Failed };

    std::size_t Run(const char* begin, const char* end);
    LineResult ReadLine(const char*& p, const char* end, std::size_t limit, ParseError tooLong,
                        const char* tooLongText);
    void Fail(ParseError error, std::string text);
    void ParseStatusLine();
    void ParseFieldLine(bool trailer);
    bool FlushField(bool trailer);
    bool InterpretHeader(std::string_view name, std::string_view value);
    void EndOfHeaders();
    void ParseChunkSizeLine();
    void Finish();

    ResponseHandler& handler_;
    Phase phase_ = Phase::StatusLine;
    State state_ = State::InProgress;
    ParseError error_ = ParseError::None;
    std::string errorText_;

    std::string line_;      // the line being read, at most limit + 1 bytes
    bool anyByte_ = false;  // any byte of a response arrived

    StatusLine status_;
    bool interim_ = false;          // the response being read is a 1xx
    std::size_t fieldLines_ = 0;    // lines of the current header or trailer section
    std::size_t interimCount_ = 0;  // interim responses read
    std::size_t headBytes_ = 0;     // bytes of the complete lines of all response heads so far
    std::size_t lineBytes_ = 0;     // bytes of the line being read, its line end included
    bool hasField_ = false;         // a field waits for a possible continuation line
    std::string fieldName_;
    std::string fieldValue_;

    bool headersComplete_ = false;
    BodyFraming framing_ = BodyFraming::None;
    std::optional<std::uint64_t> contentLength_;
    bool transferEncoding_ = false;
    bool chunkedSeen_ = false;

    std::uint64_t bodyBytes_ = 0;
    std::uint64_t remaining_ = 0;  // of the fixed body or the current chunk
    bool chunkCr_ = false;         // a CR after chunk data was seen
};

// A short English text for the error kind.
const char* Describe(ParseError error);

}  // namespace nx::http
