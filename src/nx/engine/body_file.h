#pragma once
// The file that receives the body of an answer, written by a thread of its own.
//
// The UI thread only copies the body into chunks and hands them over; a writer thread writes them.
// A write can hold its thread for tens of milliseconds when the system makes writers wait for the
// disk (47 ms for 1 MB seen here, in the middle of a 200 MB body): on the UI thread that would
// stop the window for as long. The caller keeps the hand-over bounded: while backlogged() it waits
// on event(), dispatching messages, and before Finish() it waits until drained(). Nothing here
// waits on the writer without the caller's dispatching, except Finish() after drained() (when
// there is nothing left to wait for) and the destructor.
//
// A file of the same name is replaced: it is opened as it is, overwritten from its start, and cut
// to the length written when the transfer ends. Truncating a large file when it is opened
// (CREATE_ALWAYS) would hold the thread while the file system frees its blocks, under Wine inside
// the Wine server, which stalls message dispatching too: 45 to 70 ms for 200 MB here. Overwriting
// in place frees nothing when the new body is as long as the old file (a download repeated).
//
// Every failure throws Failure (kErrFile) with the file named; a failed write is thrown by the
// next call that hands over, checks or finishes.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/handle.h"

namespace nx::engine {

class BodyFile {
public:
    BodyFile();
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;
    ~BodyFile();

    // False when the event that the waits need could not be made.
    bool usable() const { return static_cast<bool>(progress_); }
    // No file of an earlier transfer is still being closed: a new one may be opened. (The file
    // of an abandoned transfer is closed by the writer once its last write returns.)
    bool idle() const;
    void Open(const std::string& ansiPath);
    bool open() const { return static_cast<bool>(handle_); }
    // Takes a piece of the body; does nothing when no file is open.
    void Write(std::string_view piece);
    // More of the body waits for the disk than the writer should have to catch up with.
    bool backlogged() const;
    // Throws the failure of the writer, if it has failed writing the open file.
    void ThrowIfFailed() const;
    // Hands over what is still held, the body having ended.
    void Seal();
    // Everything handed over has been written, or the writer has failed.
    bool drained() const;
    // Signalled whenever the writer has written a chunk, failed, or closed an abandoned file.
    HANDLE event() const { return progress_.get(); }
    // Writes what is left (waiting for the writer without dispatching messages; after drained()
    // there is nothing to wait for), ends the file where the writing ended, and closes it.
    void Finish();
    // After a failure, at once: the file keeps what arrived and ends there. When the disk is
    // behind, the writer writes what waits and closes the file later, so that a slow or stalled
    // disk never holds the caller (the next Open waits for it: idle()).
    void Abandon() noexcept;

private:
    // What the writer thread has to do.
    enum class Work {
        None,     // nothing queued, nothing being written, no file to close
        Writing,  // chunks of the open file are queued or being written
        Closing,  // the file of an abandoned transfer: what waits for it is written, then it is
                  // ended where the writing ended and closed
    };
    // The one place where the writer's work changes (the mutex held): None -> Writing when a chunk
    // is handed over, None or Writing -> Closing when the file is abandoned, and back to None when
    // the last chunk is written or the abandoned file closed.
    void Become(Work next) { work_ = next; }
    bool IdleLocked() const { return work_ == Work::None; }
    // Writes the chunk being filled on this thread (the writer being idle or not to be had).
    void WriteInPlace();
    void HandOver();
    bool StartWriter() noexcept;
    void Recycle(std::string&& chunk);
    void TakeSpare();
    void TakeSpareLocked();
    [[noreturn]] void FailWriting(DWORD error) const;
    void WriterLoop();

    std::string path_;  // UTF-8, for messages
    FileHandle handle_;
    std::string chunk_;  // the chunk being filled on the UI thread
    KernelHandle progress_;

    // Shared with the writer thread.
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // work for the writer, or its end
    std::condition_variable done_;  // a chunk written, for a waiting Finish
    std::deque<std::string> queue_;
    std::vector<std::string> spare_;  // written chunks, kept for reuse
    std::size_t queuedBytes_ = 0;
    Work work_ = Work::None;
    bool stop_ = false;     // the writer ends once it has nothing left to do
    DWORD error_ = 0;
    std::uint64_t written_ = 0;
    FileHandle abandoned_;  // the file of a failed transfer, for the writer to end and close
    std::thread writer_;    // started with the object
};

}  // namespace nx::engine
