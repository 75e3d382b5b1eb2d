// Portable reader of LHA archives: header levels 0, 1 and 2, methods -lh0-, -lh5-, -lh6-, -lh7-
// and -lhd- directory entries, with the CRC-16 of every file checked.
//
// The reader never allocates memory according to a size that the archive declares: file data is
// decoded through a fixed sliding window and handed to a Sink piece by piece. Names are kept as the
// archive's bytes (Shift-JIS on the systems this library serves) and split into path components;
// a name that is absolute, carries a drive or stream colon, or climbs with ".." is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lha {

enum class ErrorCode {
    Truncated,          // the archive ends inside a header or inside a file's data
    BadHeader,          // a header is malformed (sizes, lengths, level)
    BadHeaderChecksum,  // the header checksum (level 0/1) or header CRC (level 1/2) does not match
    UnsupportedMethod,  // a compression method other than -lh0-, -lh5-, -lh6-, -lh7-, -lhd-
    BadData,            // the compressed data cannot be decoded
    CrcMismatch,        // the decoded data does not match the file's CRC-16
    UnsafeName,         // an entry name that would land outside the destination folder
    TooLarge,           // a file larger than the caller allows
    Output,             // the sink could not store the data
    CommandLine,        // the command line could not be understood
};

// Every failure of this library: a code and a short English text.
class Error : public std::runtime_error {
public:
    Error(ErrorCode code, const std::string& text) : std::runtime_error(text), code_(code) {}
    ErrorCode code() const noexcept { return code_; }

private:
    ErrorCode code_;
};

enum class Method { Stored, Lh5, Lh6, Lh7, Directory };

struct Entry {
    int level = 0;
    std::string methodId;  // as stored, e.g. "-lh5-"
    Method method = Method::Stored;
    std::uint64_t compressedSize = 0;
    std::uint64_t originalSize = 0;
    std::uint16_t crc = 0;
    std::uint8_t attribute = 0;
    std::string rawName;                  // directory and file name as stored, separators shown as '\'
    std::vector<std::string> components;  // safe path components; empty when the name was refused
};

// Where the archive's bytes come from. Read returns fewer bytes than asked only at the end.
class Source {
public:
    virtual ~Source() = default;
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t size) = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Where the archive's contents go. For each file: BeginFile, Write (any number of times),
// then EndFile once its CRC has been checked, or AbortFile when the data turned out bad.
// Exceptions thrown by a sink end the extraction and reach the caller of Extract.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void Directory(const Entry& entry) = 0;
    virtual void BeginFile(const Entry& entry) = 0;
    virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
    virtual void EndFile(const Entry& entry) = 0;
    virtual void AbortFile(const Entry& entry) noexcept = 0;
    // An entry whose name is unsafe. Nothing of it reaches the sink. The default ends the
    // extraction with ErrorCode::UnsafeName; a sink may instead note it and return to go on.
    virtual void Refused(const Entry& entry, const std::string& reason);
};

struct Options {
    // Files whose declared original size exceeds this end the extraction with ErrorCode::TooLarge.
    std::uint64_t maxOriginalSize = std::numeric_limits<std::uint64_t>::max();
};

struct Summary {
    unsigned files = 0;
    unsigned directories = 0;
    unsigned refused = 0;
};

// Reads the whole archive and feeds the sink. Throws Error on the first failure.
Summary Extract(Source& source, Sink& sink, const Options& options = {});

// CRC-16 as LHA uses it (polynomial 0x8005, reflected, initial value 0).
std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t size);

// Splits a stored name into components. Separators are '\', '/' and 0xFF; a '\' that is the
// second byte of a Shift-JIS character is part of the name. Empty and "." components are dropped.
// Throws Error(UnsafeName) for absolute names, drive letters or colons, ".." (or another name made
// only of dots and blanks), and control characters.
std::vector<std::string> SplitPath(std::string_view name);

}  // namespace lha
