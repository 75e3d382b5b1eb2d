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
// The last part of a body that the UI thread writes itself when the writer is idle: handing a
// small write over would cost two thread switches, more than the write.
constexpr std::size_t kDirectWriteLimit = 256 * 1024;
// Written chunks are kept and filled again, as many as can be under way at once (those waiting,
// the one being written, the one being filled), never given back while the file object lives:
// a chunk freshly allocated has every page touched for the first time as it is filled, and that
// costs far more than the copy (2.7 ms a MB under Wine here, against 0.2 for a chunk in use).
// When the disk keeps up, two or three chunks go round.
constexpr std::size_t kSpareChunks = kMaxBacklog / kChunkSize + 2;
// The chunks that the writer thread, started with the object, touches before it is given any work
// (in the program, while the user has not yet started the download): a large body then finds them
// ready instead of touching its chunks' pages for the first time as it arrives.
constexpr int kPreparedChunks = 3;

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

// Ends a file where the writing ended; false with the system's error left in GetLastError.
bool EndAt(HANDLE file, std::uint64_t length) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length);
    return SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

}  // namespace

BodyFile::BodyFile() : progress_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    spare_.reserve(kSpareChunks);
    StartWriter();  // it prepares chunks meanwhile
}

BodyFile::~BodyFile() {
    Abandon();
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();  // it closes an abandoned file first
}

bool BodyFile::idle() const {
    const std::lock_guard lock(mutex_);
    return IdleLocked();
}

void BodyFile::Open(const std::string& ansiPath) {
    {
        // The caller waits for idle() while dispatching; this only guards the order.
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return IdleLocked(); });
        error_ = 0;
        written_ = 0;
    }
    chunk_.clear();
    TakeSpare();
    path_ = AnsiToUtf8(ansiPath);
    handle_.reset(CreateFileW(Utf8ToWide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle_) {
        const DWORD error = GetLastError();
        throw Failure{kErrFile, "ファイル \"" + path_ + "\" を作成できません: " + FileErrorText(error)};
    }
    StartWriter();  // when it could not be started with the object
}

void BodyFile::Write(std::string_view piece) {
    if (!open()) return;
    ThrowIfFailed();
    while (!piece.empty()) {
        if (chunk_.capacity() < kChunkSize) TakeSpare();
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

void BodyFile::ThrowIfFailed() const {
    if (!open()) return;
    DWORD error = 0;
    {
        const std::lock_guard lock(mutex_);
        error = error_;
    }
    if (error != 0) FailWriting(error);
}

void BodyFile::Seal() {
    if (!open() || chunk_.empty()) return;
    bool idle = false;
    {
        const std::lock_guard lock(mutex_);
        idle = IdleLocked() && error_ == 0;
    }
    if (!idle || chunk_.size() > kDirectWriteLimit) {
        HandOver();
        return;
    }
    // The writer is idle, and only this thread gives it work: a small last part is written here.
    WriteInPlace();
}

bool BodyFile::drained() const {
    const std::lock_guard lock(mutex_);
    return IdleLocked() || error_ != 0;
}

bool BodyFile::StartWriter() noexcept {
    if (writer_.joinable()) return true;
    try {
        writer_ = std::thread([this] { WriterLoop(); });
        return true;
    } catch (...) {
        return false;  // the chunks are written on this thread instead
    }
}

void BodyFile::WriteInPlace() {
    DWORD error = 0;
    bool failed = false;
    {
        const std::lock_guard lock(mutex_);
        failed = error_ != 0;
    }
    // After a failure the rest is not written: the transfer fails with the first error.
    const std::size_t done = failed ? 0 : WriteAll(handle_.get(), chunk_, error);
    chunk_.clear();
    const std::lock_guard lock(mutex_);
    written_ += done;
    if (error != 0 && error_ == 0) error_ = error;
}

void BodyFile::HandOver() {
    if (!StartWriter()) {
        WriteInPlace();
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        queuedBytes_ += chunk_.size();
        queue_.push_back(std::move(chunk_));
        if (work_ == Work::None) Become(Work::Writing);
        chunk_.clear();
        TakeSpareLocked();
    }
    wake_.notify_one();
}

void BodyFile::Finish() {
    if (!open()) return;
    Seal();
    std::uint64_t written = 0;
    DWORD error = 0;
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return IdleLocked(); });
        written = written_;
        error = error_;
    }
    if (error != 0) {
        handle_.reset();
        FailWriting(error);
    }
    if (!EndAt(handle_.get(), written)) {
        error = GetLastError();
        handle_.reset();
        FailWriting(error);
    }
    // Closing can report a write that the system had deferred.
    if (!handle_.close()) FailWriting(GetLastError());
}

void BodyFile::Abandon() noexcept {
    if (!handle_) {
        chunk_.clear();
        return;
    }
    bool writerIdle = false;
    {
        const std::lock_guard lock(mutex_);
        writerIdle = IdleLocked();
    }
    // A writer that could not be started (with the object, nor with the file) is tried again for
    // the part that waits, or, when none can be had, the part is written here. (Handed to a writer
    // that does not run, the file would never be closed, and the next Get would wait for it.)
    if (writerIdle && (chunk_.size() <= kDirectWriteLimit || !StartWriter())) {
        // What arrived is written here, a small last part, and the file ends there.
        WriteInPlace();
        std::uint64_t written = 0;
        {
            const std::lock_guard lock(mutex_);
            written = written_;
        }
        EndAt(handle_.get(), written);  // ignored: the failure that ended the transfer is the one reported
        handle_.reset();
        return;
    }
    // The writer writes what waits (the disk may be behind), ends the file there and closes it,
    // and nothing here waits for it.
    {
        const std::lock_guard lock(mutex_);
        if (!chunk_.empty()) {
            queuedBytes_ += chunk_.size();
            queue_.push_back(std::move(chunk_));
        }
        abandoned_ = std::move(handle_);
        Become(Work::Closing);
    }
    chunk_.clear();
    wake_.notify_one();
}

void BodyFile::Recycle(std::string&& chunk) {
    chunk.clear();
    if (spare_.size() < kSpareChunks) spare_.push_back(std::move(chunk));  // within the reserved room
}

void BodyFile::TakeSpare() {
    const std::lock_guard lock(mutex_);
    TakeSpareLocked();
}

// The chunk being filled is a written one when there is one and it has no room of its own: the
// one written last, its pages the most likely to be in the cache.
void BodyFile::TakeSpareLocked() {
    if (!chunk_.empty() || chunk_.capacity() >= kChunkSize || spare_.empty()) return;
    chunk_ = std::move(spare_.back());
    spare_.pop_back();
}

void BodyFile::FailWriting(DWORD error) const {
    throw Failure{kErrFile, "ファイル \"" + path_ + "\" に書き込めません: " + FileErrorText(error)};
}

void BodyFile::WriterLoop() {
    for (int i = 0; i < kPreparedChunks; ++i) {
        std::string chunk;
        try {
            chunk.assign(kChunkSize, '\0');  // every page touched
        } catch (...) {
            break;  // the chunks are allocated as they are needed instead
        }
        const std::lock_guard lock(mutex_);
        if (stop_ || work_ != Work::None) break;  // work waits: it comes first
        Recycle(std::move(chunk));
    }
    for (;;) {
        std::string chunk;
        HANDLE file = nullptr;
        bool failed = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || work_ != Work::None; });
            if (work_ == Work::None) return;  // stopped, with nothing left to do
            if (queue_.empty()) {
                // A failed transfer's file, all written: ended where the writing ended, and closed.
                const HANDLE closing = abandoned_.get();
                const std::uint64_t length = written_;
                lock.unlock();
                if (closing) EndAt(closing, length);  // ignored: the transfer has already failed
                lock.lock();
                abandoned_.reset();
                Become(Work::None);
                lock.unlock();
                done_.notify_all();
                SetEvent(progress_.get());
                continue;
            }
            chunk = std::move(queue_.front());
            queue_.pop_front();
            file = abandoned_ ? abandoned_.get() : handle_.get();
            failed = error_ != 0;
        }
        // After a failure the rest is not written: the transfer fails with the first error.
        DWORD error = 0;
        const std::size_t done = failed ? 0 : WriteAll(file, chunk, error);
        {
            const std::lock_guard lock(mutex_);
            queuedBytes_ -= chunk.size();
            written_ += done;
            if (error != 0 && error_ == 0) error_ = error;
            Recycle(std::move(chunk));
            if (queue_.empty() && work_ == Work::Writing) Become(Work::None);
        }
        done_.notify_all();
        SetEvent(progress_.get());
    }
}

}  // namespace nx::engine
