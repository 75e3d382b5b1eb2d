#include "folders.h"

#include "exception.h"
#include "handle.h"
#include "text.h"

#include <shlobj.h>

namespace {

constexpr UINT kPathBuffer = MAX_PATH + 1;  // 261 characters

// An item list that the shell allocated.
using ItemList = UniqueHandle<NullHandleTraits<LPITEMIDLIST, &CoTaskMemFree>>;

std::string SystemFolderFrom(UINT(WINAPI* query)(LPWSTR, UINT)) {
    wchar_t buffer[kPathBuffer] = {};
    const UINT length = query(buffer, kPathBuffer);
    if (length == 0 || length >= kPathBuffer) return {};
    return WideToUtf8(std::wstring_view(buffer, length));
}

bool IsSpaceOrControl(wchar_t c) { return c <= L' '; }

// Folder part in wide characters: up to and including the last "\" or ":".
std::wstring FolderPart(std::wstring_view path) {
    const size_t last = path.find_last_of(L"\\:");
    return last == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, last + 1));
}

bool WideFolderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceWide(std::wstring path) {
    if (path.empty()) throw Exception("ディレクトリを作成できません");
    if (path.back() == L'\\') path.pop_back();
    const std::wstring parent = FolderPart(path);
    if (path.size() < 3 || WideFolderExists(path) || parent == path) return true;
    const bool parentMade = ForceWide(parent);
    return parentMade && CreateDirectoryW(path.c_str(), nullptr) != 0;
}

}  // namespace

std::string GetWindowsFolder() { return SystemFolderFrom(&GetWindowsDirectoryW); }

std::string GetSystemFolder() { return SystemFolderFrom(&GetSystemDirectoryW); }

std::string GetProgramFilesFolder(HWND owner) {
    wchar_t buffer[kPathBuffer] = {};
    LPITEMIDLIST items = nullptr;
    if (SUCCEEDED(SHGetSpecialFolderLocation(owner, CSIDL_PROGRAM_FILES, &items))) {
        const ItemList list(items);
        if (list) SHGetPathFromIDListW(list.get(), buffer);
    }
    buffer[kPathBuffer - 1] = L'\0';
    std::wstring_view text(buffer);
    while (!text.empty() && IsSpaceOrControl(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpaceOrControl(text.back())) text.remove_suffix(1);
    std::wstring result(text);
    if (result.empty() || result.back() != L'\\') result += L'\\';
    return WideToUtf8(result);
}

bool FolderExists(std::string_view path) { return WideFolderExists(Utf8ToWide(path)); }

bool ForceFolder(std::string_view path) { return ForceWide(Utf8ToWide(path)); }

std::string GetProgramFolder() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return "";
    path.resize(length);
    return WideToUtf8(FolderPart(path));
}

bool IsFullPath(std::string_view path) {
    const bool drive = path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && path[2] == '\\';
    const bool share = path.size() >= 5 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
    return drive || share;
}

std::string ExtractFolderPart(std::string_view path) { return WideToUtf8(FolderPart(Utf8ToWide(path))); }

std::string WithTrailingBackslash(std::string_view path) {
    std::string result(path);
    if (result.empty() || result.back() != '\\') result += '\\';
    return result;
}

std::string WithoutTrailingBackslash(std::string_view path) {
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return std::string(path);
}
