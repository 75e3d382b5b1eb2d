#include "body_file.h"

#include <algorithm>

#include "engine.h"
#include "failure.h"
#include "util/files.h"
#include "util/text.h"

namespace nx::engine {

namespace {

// What the writer takes at once, and how much may wait for it: a few hundred milliseconds of a
// slow disk, and a few milliseconds of copying on the UI thread.
constexpr std::size_t kChunkSize = 1024 * 1024;
constexpr std::size_t kMaxBacklog = 8 * kChunkSize;

// The system's text for a file error, without a final "." (the engine's texts end without one).
std::string FileErrorText(DWORD error) {
    std::string text = SystemErrorText(error);
    if (text.size() > 1 && text.back() == '.') text.pop_back();
    return text;
}

// Writes all of `data`; returns how much was written, with the system's error when not all.
std::size_t WriteAll(HANDLE file, std::string_view data, DWORD& error) {
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        if (!WriteFile(file, data.data() + done, static_cast<DWORD>(data.size() - done), &written, nullptr) ||
            written == 0) {
            error = GetLastError();
            if (error == 0) error = ERROR_WRITE_FAULT;
            break;
        }
        done += written;
    }
    return done;
}

}  // namespace

BodyFile::BodyFile() : progress_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), writer_([this] { WriterLoop(); }) {}

BodyFile::~BodyFile() {
    Abandon();
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

void BodyFile::Open(const std::string& ansiPath) {
    path_ = AnsiToUtf8(ansiPath);
    handle_.reset(CreateFileW(Utf8ToWide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle_) {
        const DWORD error = GetLastError();
        throw Failure{kErrFile, "ファイル \"" + path_ + "\" を作成できません: " + FileErrorText(error)};
    }
    // The writer is idle: the file before was finished or abandoned.
    const std::lock_guard lock(mutex_);
    error_ = 0;
    written_ = 0;
    chunk_.clear();
}

void BodyFile::Write(std::string_view piece) {
    if (!open()) return;
    ThrowIfFailed();
    while (!piece.empty()) {
        if (chunk_.capacity() < kChunkSize) chunk_.reserve(kChunkSize);
        const std::size_t take = std::min(piece.size(), kChunkSize - chunk_.size());
        chunk_.append(piece.substr(0, take));
        piece.remove_prefix(take);
        if (chunk_.size() == kChunkSize) HandOver();
    }
}

bool BodyFile::backlogged() const {
    const std::lock_guard lock(mutex_);
    return queuedBytes_ >= kMaxBacklog && error_ == 0;
}

void BodyFile::Seal() {
    if (!open() || chunk_.empty()) return;
    bool idle = false;
    {
        const std::lock_guard lock(mutex_);
        idle = queue_.empty() && !writing_ && error_ == 0;
    }
    if (!idle) {
        HandOver();
        return;
    }
    // The writer is idle, and only this thread gives it work: the last piece, less than a chunk,
    // is written here at once. Handing it over would cost two thread switches for every file, more
    // than the write of a small file.
    DWORD error = 0;
    const std::size_t done = WriteAll(handle_.get(), chunk_, error);
    chunk_.clear();
    const std::lock_guard lock(mutex_);
    written_ += done;
    if (error != 0) error_ = error;
}

bool BodyFile::drained() const {
    const std::lock_guard lock(mutex_);
    return (queue_.empty() && !writing_) || error_ != 0;
}

void BodyFile::HandOver() {
    {
        const std::lock_guard lock(mutex_);
        queuedBytes_ += chunk_.size();
        queue_.push_back(std::move(chunk_));
        chunk_.clear();
        if (!spare_.empty()) {
            chunk_ = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    wake_.notify_one();
}

void BodyFile::ThrowIfFailed() {
    DWORD error = 0;
    {
        const std::lock_guard lock(mutex_);
        error = error_;
    }
    if (error != 0) FailWriting(error);
}

void BodyFile::Finish() {
    if (!open()) return;
    Seal();
    std::uint64_t written = 0;
    DWORD error = 0;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return queue_.empty() && !writing_; });
        written = written_;
        error = error_;
    }
    if (error != 0) {
        handle_.reset();
        FailWriting(error);
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(written);
    if (!SetFilePointerEx(handle_.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_.get())) {
        error = GetLastError();
        handle_.reset();
        FailWriting(error);
    }
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
    chunk_.clear();
}

void BodyFile::FailWriting(DWORD error) const {
    throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
}

void BodyFile::WriterLoop() {
    for (;;) {
        std::string chunk;
        HANDLE file = nullptr;
        bool failed = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            chunk = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            file = handle_.get();
            failed = error_ != 0;
        }
        // After a failure the rest is not written: the transfer fails with the first error.
        DWORD error = 0;
        const std::size_t done = failed ? 0 : WriteAll(file, chunk, error);
        {
            const std::lock_guard lock(mutex_);
            writing_ = false;
            queuedBytes_ -= chunk.size();
            written_ += done;
            if (error != 0 && error_ == 0) error_ = error;
            chunk.clear();
            spare_.push_back(std::move(chunk));
        }
        done_.notify_all();
        SetEvent(progress_.get());
    }
}

}  // namespace nx::engine
