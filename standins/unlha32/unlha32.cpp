// Stand-in UNLHA32.DLL: the 41 entry points of the LHA archiver library. Unlha extracts an archive
// for the command `e -y "<archive>" <options> "<folder>\"`; the other entry points report failure.
//
// Names in the command line and in archives are text in the system's ANSI code page; they are
// converted with CP_ACP and every file operation uses the wide API. Each path component of an
// entry is checked again after that conversion, and the final path must lie inside the folder.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <exception>
#include <string>
#include <vector>

#include "lha_cmdline.h"
#include "lha_decoder.h"
#include "util/handle.h"

namespace {

// Results of Unlha: 0 or one of these, with a short text in the caller's buffer.
enum Result : int {
    kOk = 0,
    kBadCommand = 0x8001,
    kCannotOpenArchive = 0x8002,
    kBrokenArchive = 0x8003,
    kCrcError = 0x8004,
    kUnsafeName = 0x8005,
    kCannotWrite = 0x8006,
    kUnsupportedMethod = 0x8007,
    kInternal = 0x8008,
};

void PutText(LPSTR out, DWORD size, const char* text) {
    if (out == nullptr || size == 0) return;
    const std::size_t n = std::min<std::size_t>(std::strlen(text), size - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

std::wstring Widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) throw lha::Error(lha::ErrorCode::UnsafeName, "name not in the code page");
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) throw lha::Error(lha::ErrorCode::Output, "bad folder");
    std::wstring out(n, L'\0');
    const DWORD m = GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
    if (m == 0 || m >= n) throw lha::Error(lha::ErrorCode::Output, "bad folder");
    out.resize(m);
    return out;
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates a folder and the folders above it (path is a full path).
void MakeFolders(const std::wstring& path) {
    if (IsFolder(path)) return;
    const std::size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 0 && path[cut - 1] != L':' && path[cut - 1] != L'\\')
        MakeFolders(path.substr(0, cut));
    if (!CreateDirectoryW(path.c_str(), nullptr) && !IsFolder(path))
        throw lha::Error(lha::ErrorCode::Output, "cannot make folder");
}

// A component that Windows could take for something other than a plain name in this folder.
bool UnsafeComponent(const std::wstring& c) {
    if (c.empty()) return true;
    if (c.find_first_not_of(L". ") == std::wstring::npos) return true;
    for (wchar_t ch : c)
        if (ch < 0x20 || ch == L'\\' || ch == L'/' || ch == L':' || ch == L'*' || ch == L'?' || ch == L'"' ||
            ch == L'<' || ch == L'>' || ch == L'|')
            return true;
    // Device names, also with an extension ("NUL.txt" is the device too).
    std::wstring base = c.substr(0, c.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (auto& ch : base) ch = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(ch)));
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* d : kDevices)
        if (base == d) return true;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) && base[3] >= L'0' &&
        base[3] <= L'9')
        return true;
    return false;
}

class SourceFile final : public lha::Source {
public:
    explicit SourceFile(HANDLE h) : h_(h) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
        if (!ReadFile(h_, buffer, want, &got, nullptr))
            throw lha::Error(lha::ErrorCode::Truncated, "cannot read archive");
        return got;
    }

private:
    HANDLE h_;
};

// Writes each file to a temporary name beside its target and moves it over the target once its
// CRC has been checked, so that a damaged entry never replaces a good file.
class FolderSink final : public lha::Sink {
public:
    explicit FolderSink(std::wstring folder) : folder_(std::move(folder)) {}
    ~FolderSink() override { Discard(); }

    unsigned refusedCount() const { return refused_; }

    void Directory(const lha::Entry& e) override { MakeFolders(TargetOf(e)); }

    void BeginFile(const lha::Entry& e) override {
        target_ = TargetOf(e);
        MakeFolders(target_.substr(0, target_.find_last_of(L'\\')));
        temp_ = target_ + L".~lh";
        SetFileAttributesW(temp_.c_str(), FILE_ATTRIBUTE_NORMAL);
        file_.reset(
            CreateFileW(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) throw lha::Error(lha::ErrorCode::Output, "cannot write");
    }

    void Write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
            DWORD done = 0;
            if (!WriteFile(file_.get(), data, chunk, &done, nullptr) || done != chunk)
                throw lha::Error(lha::ErrorCode::Output, "cannot write");
            data += chunk;
            size -= chunk;
        }
    }

    void EndFile(const lha::Entry&) override {
        if (file_.close()) {
            const DWORD a = GetFileAttributesW(target_.c_str());
            if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
                SetFileAttributesW(target_.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            if (MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                temp_.clear();
                return;
            }
        }
        Discard();
        throw lha::Error(lha::ErrorCode::Output, "cannot write");
    }

    void AbortFile(const lha::Entry&) noexcept override { Discard(); }

    // The entry is left out; the extraction goes on and Unlha reports it at the end.
    void Refused(const lha::Entry&, const std::string&) override { ++refused_; }

private:
    std::wstring TargetOf(const lha::Entry& e) {
        std::wstring path = folder_;
        for (const std::string& part : e.components) {
            const std::wstring c = Widen(part);
            if (UnsafeComponent(c)) throw lha::Error(lha::ErrorCode::UnsafeName, "unsafe name");
            path += L'\\';
            path += c;
        }
        const std::wstring full = FullPath(path);
        if (full.size() <= folder_.size() + 1 || full.compare(0, folder_.size(), folder_) != 0 ||
            full[folder_.size()] != L'\\')
            throw lha::Error(lha::ErrorCode::UnsafeName, "unsafe name");
        return full;
    }

    void Discard() noexcept {
        file_.reset();
        if (!temp_.empty()) {
            DeleteFileW(temp_.c_str());
            temp_.clear();
        }
    }

    std::wstring folder_;
    std::wstring target_;
    std::wstring temp_;
    FileHandle file_;
    unsigned refused_ = 0;
};

int Extract(LPCSTR line, LPSTR out, DWORD outSize) {
    lha::Command cmd;
    try {
        cmd = lha::ParseCommandLine(line ? line : "");
    } catch (const lha::Error&) {
        PutText(out, outSize, "bad command");
        return kBadCommand;
    }

    std::wstring folder;
    FileHandle archive;
    try {
        folder = FullPath(Widen(cmd.folder));
        while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
        archive.reset(CreateFileW(Widen(cmd.archive).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    } catch (const lha::Error&) {}
    if (!archive) {
        PutText(out, outSize, "cannot open archive");
        return kCannotOpenArchive;
    }

    int result = kOk;
    const char* text = "";
    try {
        MakeFolders(folder);
        if (folder.size() == 3 && folder.back() == L'\\') folder.pop_back();  // "C:" + '\' + name
        SourceFile source(archive.get());
        FolderSink sink(folder);
        lha::Extract(source, sink);
        if (sink.refusedCount() > 0) {
            result = kUnsafeName;
            text = "unsafe name";
        }
    } catch (const lha::Error& e) {
        switch (e.code()) {
        case lha::ErrorCode::CrcMismatch: result = kCrcError, text = "CRC error"; break;
        case lha::ErrorCode::UnsafeName: result = kUnsafeName, text = "unsafe name"; break;
        case lha::ErrorCode::Output: result = kCannotWrite, text = "cannot write"; break;
        case lha::ErrorCode::UnsupportedMethod: result = kUnsupportedMethod, text = "unsupported method"; break;
        default: result = kBrokenArchive, text = "broken archive"; break;
        }
    } catch (...) {
        result = kInternal, text = "internal error";
    }
    PutText(out, outSize, text);
    return result;
}

}  // namespace

// Exported through unlha32.def under their plain names.
#define KARUPDT_LHA_EXPORT extern "C"

KARUPDT_LHA_EXPORT int WINAPI Unlha(HWND, LPCSTR line, LPSTR out, DWORD outSize) {
    try {
        return Extract(line, out, outSize);
    } catch (...) {
        PutText(out, outSize, "internal error");
        return kInternal;
    }
}

// The rest of the library's interface: nothing to report, so each one fails.
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetVersion() { return 0; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetSubVersion() { return 0; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetRunning() { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetBackGroundMode() { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaSetBackGroundMode(BOOL) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetCursorMode() { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaSetCursorMode(BOOL) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetCursorInterval() { return 0; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaSetCursorInterval(WORD) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaCheckArchive(LPCSTR, int) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaConfigDialog(HWND, LPSTR, int) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetFileCount(LPCSTR) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaOpenArchive(HWND, LPCSTR, DWORD) { return 0; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaCloseArchive(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaFindFirst(HANDLE, LPCSTR, void*) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaFindNext(HANDLE, void*) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcFileName(HANDLE, LPSTR, int) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcFileSize(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcOriginalSize(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcCompressedSize(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcRatio(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcDate(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcTime(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetArcOSType(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetFileName(HANDLE, LPSTR, int) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetMethod(HANDLE, LPSTR, int) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetOriginalSize(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetCompressedSize(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetRatio(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetDate(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetTime(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetWriteTime(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetAccessTime(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetCreateTime(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetCRC(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetAttribute(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaGetOSType(HANDLE) { return -1; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaQueryFunctionList(int) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaSetOwnerWindow(HWND) { return FALSE; }
KARUPDT_LHA_EXPORT int WINAPI UnlhaClearOwnerWindow() { return FALSE; }
