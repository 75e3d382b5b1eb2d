#include "text.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace {

// Converts with MultiByteToWideChar in one sizing pass and one converting pass. Inputs longer than
// an int can describe are cut to that length; no text of this program comes near it.
std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
    const int needed = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring result(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), length, result.data(), needed);
    return result;
}

std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
    const int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string result(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
    return result;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }
std::string WideToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }
std::string AnsiToUtf8(std::string_view ansi) { return WideToUtf8(ToWide(CP_ACP, ansi)); }
std::string Utf8ToAnsi(std::string_view utf8) { return FromWide(CP_ACP, Utf8ToWide(utf8)); }

std::string TrimmedText(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}
