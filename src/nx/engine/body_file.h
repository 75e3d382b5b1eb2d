#pragma once
// The file that receives the body of an answer, written in large pieces.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "util/handle.h"

namespace nx::engine {

// A file of the same name is replaced: it is opened as it is, overwritten from its start, and cut
// to the length written when the transfer ends. Truncating a large file when it is opened
// (CREATE_ALWAYS) would hold the thread while the file system frees its blocks, under Wine inside
// the Wine server, which stalls message dispatching too: 45 to 70 ms for 200 MB here. Overwriting
// in place frees nothing when the new body is as long as the old file (a download repeated).
//
// Every failure throws Failure (kErrFile) with the file named.
class BodyFile {
public:
    BodyFile() = default;
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;
    ~BodyFile() { Abandon(); }

    void Open(const std::string& ansiPath);
    bool open() const { return static_cast<bool>(handle_); }
    // Writes a piece of the body (buffered); does nothing when no file is open.
    void Write(std::string_view piece);
    // Writes what is buffered, ends the file where the writing ended, and closes it.
    void Finish();
    // After a failure: the file keeps what arrived before it, and is closed.
    void Abandon() noexcept;

private:
    void Flush();
    void WriteThrough(std::string_view data);
    [[noreturn]] void FailWriting(DWORD error) const;

    std::string path_;  // UTF-8, for messages
    FileHandle handle_;
    std::string buffer_;
    std::uint64_t written_ = 0;
};

}  // namespace nx::engine
