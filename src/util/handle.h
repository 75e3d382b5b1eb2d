#pragma once
// Owners of Win32 handles: each closes its handle exactly once.

#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Native = typename Traits::Native;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Native handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Native get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return Traits::Valid(handle_); }
    Native release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Native handle = Traits::Invalid()) noexcept {
        Native old = std::exchange(handle_, handle);
        if (Traits::Valid(old)) Traits::Close(old);  // ignored: nothing to do about a failed close here
    }
    // Closes the handle now and says whether the system closed it without an error: closing a
    // file can report a write that the system had deferred. For owners whose Close returns bool.
    bool close() noexcept {
        const Native old = release();
        return !Traits::Valid(old) || Traits::Close(old);
    }

private:
    Native handle_ = Traits::Invalid();
};

// CreateFile and friends: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
    using Native = HANDLE;
    static Native Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Valid(Native h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static bool Close(Native h) noexcept { return CloseHandle(h) != 0; }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// Processes, threads, events: null means none.
struct KernelHandleTraits {
    using Native = HANDLE;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(Native h) noexcept { return CloseHandle(h) != 0; }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// Handles for which null means none, closed by `close`.
template <typename Handle, auto close>
struct NullHandleTraits {
    using Native = Handle;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static void Close(Native h) noexcept { close(h); }
};

using ModuleHandle = UniqueHandle<NullHandleTraits<HMODULE, &FreeLibrary>>;
// Memory that FormatMessage allocates (FORMAT_MESSAGE_ALLOCATE_BUFFER).
using LocalText = UniqueHandle<NullHandleTraits<wchar_t*, &LocalFree>>;

// FindFirstFile searches: INVALID_HANDLE_VALUE means none.
struct FindHandleTraits {
    using Native = HANDLE;
    static Native Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Valid(Native h) noexcept { return h != INVALID_HANDLE_VALUE; }
    static void Close(Native h) noexcept { FindClose(h); }
};
using FindHandle = UniqueHandle<FindHandleTraits>;
