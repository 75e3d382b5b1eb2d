#include "version.h"

#include "exception.h"
#include "text.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr std::array<std::string_view, kVersionKeyCount> kKeyNames = {
    "Comments",        "CompanyName",      "FileDescription", "FileVersion", "InternalName",   "LegalCopyright",
    "LegalTrademarks", "OriginalFilename", "PrivateBuild",    "ProductName", "ProductVersion", "SpecialBuild",
};

}  // namespace

std::string_view VersionKeyName(int index) {
    if (index < 0 || index >= kVersionKeyCount) return {};
    return kKeyNames[static_cast<size_t>(index)];
}

std::string GetFileVersionText(std::string_view fileName, int index) {
    const std::wstring file = Utf8ToWide(fileName);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return {};

    std::vector<BYTE> info(size);
    GetFileVersionInfoW(file.c_str(), 0, size, info.data());

    void* translation = nullptr;
    UINT translationLength = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &translation, &translationLength) ||
        translationLength < sizeof(DWORD) || translation == nullptr)
        throw Exception("バージョン情報の取得に失敗しました");

    const std::string_view key = VersionKeyName(index);
    if (key.empty()) return {};

    // Language in the low word, code page in the high word: "\StringFileInfo\041104B0\FileVersion".
    DWORD entry = 0;
    std::memcpy(&entry, translation, sizeof entry);
    wchar_t block[40];
    std::swprintf(block, std::size(block), L"\\StringFileInfo\\%04X%04X\\", static_cast<unsigned>(LOWORD(entry)),
                  static_cast<unsigned>(HIWORD(entry)));
    const std::wstring path = block + Utf8ToWide(key);

    void* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &valueLength) || valueLength == 0 || value == nullptr)
        return {};

    // The value runs to its terminating zero, never past the length the resource gives.
    const auto* chars = static_cast<const wchar_t*>(value);
    std::wstring text;
    for (UINT i = 0; i < valueLength && chars[i] != L'\0'; ++i)
        if (chars[i] != L' ') text += chars[i];
    return WideToUtf8(text);
}

int CompareVersionText(std::string_view a, std::string_view b) {
    const std::string left = Utf8ToAnsi(a);
    const std::string right = Utf8ToAnsi(b);
    const size_t common = std::min(left.size(), right.size());
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(left[i]);
        const auto y = static_cast<unsigned char>(right[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (left.size() == right.size()) return 0;
    return left.size() < right.size() ? -1 : 1;
}
