#include "body_file.h"

#include <algorithm>

#include "engine.h"
#include "failure.h"
#include "util/files.h"
#include "util/text.h"

namespace nx::engine {

namespace {

constexpr std::size_t kFileBufferSize = 256 * 1024;

// The system's text for a file error, without a final "." (the engine's texts end without one).
std::string FileErrorText(DWORD error) {
    std::string text = SystemErrorText(error);
    if (text.size() > 1 && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

void BodyFile::Open(const std::string& ansiPath) {
    path_ = AnsiToUtf8(ansiPath);
    handle_.reset(CreateFileW(Utf8ToWide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle_) {
        const DWORD error = GetLastError();
        throw Failure{kErrFile, "ファイル \"" + path_ + "\" を作成できません: " + FileErrorText(error)};
    }
    written_ = 0;
    buffer_.clear();
    buffer_.reserve(kFileBufferSize);
}

void BodyFile::Write(std::string_view piece) {
    if (!open()) return;
    if (buffer_.size() + piece.size() > kFileBufferSize) Flush();
    if (piece.size() >= kFileBufferSize) {
        WriteThrough(piece);
    } else {
        buffer_.append(piece);
    }
}

void BodyFile::Flush() {
    if (!open() || buffer_.empty()) return;
    WriteThrough(buffer_);
    buffer_.clear();
}

void BodyFile::Finish() {
    if (!open()) return;
    Flush();
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(written_);
    if (!SetFilePointerEx(handle_.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_.get())) {
        const DWORD error = GetLastError();
        handle_.reset();
        FailWriting(error);
    }
    buffer_.clear();
    // Closing can report a write that the system had deferred.
    if (!handle_.close()) FailWriting(GetLastError());
}

void BodyFile::Abandon() noexcept {
    try {
        Finish();
    } catch (...) {
        // ignored: the failure that ended the transfer is the one reported
    }
    handle_.reset();
    buffer_.clear();
}

void BodyFile::WriteThrough(std::string_view data) {
    while (!data.empty()) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        if (!WriteFile(handle_.get(), data.data(), want, &written, nullptr) || written == 0)
            FailWriting(GetLastError());
        written_ += written;
        data.remove_prefix(written);
    }
}

void BodyFile::FailWriting(DWORD error) const {
    throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
}

}  // namespace nx::engine
