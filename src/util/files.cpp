#include "files.h"

#include "handle.h"
#include "text.h"

#include <windows.h>

bool FileExists(std::string_view path) {
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

unsigned long long FileSizeOf(std::string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> FileNamesIn(std::string_view folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW(Utf8ToWide(std::string(folder) + "*").c_str(), &found));
    if (!search) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(WideToUtf8(found.cFileName));
    } while (FindNextFileW(search.get(), &found));
    return names;
}

namespace {

FileHandle OpenForReading(std::string_view path) {
    return FileHandle(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Reads up to `count` bytes from the file's current position; fewer when the file ends first.
std::optional<std::string> ReadUpTo(HANDLE file, size_t count) {
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr))
            return std::nullopt;
        if (got == 0) break;  // the end of the file (it may have shrunk while we read it)
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

}  // namespace

std::optional<std::string> ReadFileBytes(std::string_view path, unsigned long long limit) {
    const FileHandle file = OpenForReading(path);
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || static_cast<unsigned long long>(size.QuadPart) > limit ||
        size.QuadPart > 0x7FFFFFFF)
        return std::nullopt;
    return ReadUpTo(file.get(), static_cast<size_t>(size.QuadPart));
}

std::optional<std::string> ReadFilePart(std::string_view path, unsigned long long offset, size_t count) {
    const FileHandle file = OpenForReading(path);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!file || !SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return std::nullopt;
    return ReadUpTo(file.get(), count);
}

bool IsReparsePoint(std::string_view path) {
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool DeleteFileEvenIfReadOnly(std::string_view path) {
    const std::wstring name = Utf8ToWide(path);
    if (DeleteFileW(name.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED || IsReparsePoint(path)) return false;
    const DWORD error = GetLastError();
    if (!SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        SetLastError(error);
        return false;
    }
    return DeleteFileW(name.c_str()) != FALSE;
}

FileHandle CreateFreshFile(std::string_view path) {
    const std::wstring name = Utf8ToWide(path);
    DeleteFileEvenIfReadOnly(path);  // ignored: the creation below tells
    return FileHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteWholeFile(std::string_view path, std::string_view bytes) {
    const std::wstring target = Utf8ToWide(path);
    const std::wstring beside = target + L".karupdt-new";
    DWORD error = ERROR_SUCCESS;
    {
        FileHandle file = CreateFreshFile(WideToUtf8(beside));
        if (!file) return false;
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            error = GetLastError();
        else if (written != bytes.size())
            error = ERROR_DISK_FULL;
        else if (!FlushFileBuffers(file.get()))
            error = GetLastError();
    }
    if (error == ERROR_SUCCESS &&
        MoveFileExW(beside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (error == ERROR_SUCCESS) error = GetLastError();
    DeleteFileW(beside.c_str());  // ignored: the first error is the one reported
    SetLastError(error);
    return false;
}

std::string SystemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const LocalText owner(buffer);
    std::string text = TrimmedText(WideToUtf8(std::wstring_view(buffer ? buffer : L"", length)));
    if (!text.empty()) return text;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "(" + std::to_string(...).
    std::string number(1, '(');
    number += std::to_string(code);
    number += ')';
    return number;
}

std::optional<std::string> ReadAnsiTextFile(std::string_view path) {
    auto bytes = ReadFileBytes(path);
    if (!bytes) return std::nullopt;
    return AnsiToUtf8(*bytes);
}
