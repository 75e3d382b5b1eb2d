#pragma once
// Version texts: the string values of a file's version resource, and their ordinal comparison.

#include <string>
#include <string_view>

// The string keys of a version resource, addressed by index; the order is fixed.
enum class VersionKey {
    Comments = 0,
    CompanyName = 1,
    FileDescription = 2,
    FileVersion = 3,
    InternalName = 4,
    LegalCopyright = 5,
    LegalTrademarks = 6,
    OriginalFilename = 7,
    PrivateBuild = 8,
    ProductName = 9,
    ProductVersion = 10,
    SpecialBuild = 11,
};
inline constexpr int kVersionKeyCount = 12;

// The key name for an index 0..11 ("FileVersion" for 3); "" for any other index.
std::string_view VersionKeyName(int index);

// The value of key `index` in the first translation of the file's version resource, with every
// space (code 32) removed. "" when the file is missing, unreadable, has no version resource, has
// no such value, or the index is outside 0..11. Throws Exception("バージョン情報の取得に失敗しました")
// when the resource has no translation table.
std::string GetFileVersionText(std::string_view fileName, int index);
inline std::string GetFileVersionText(std::string_view fileName, VersionKey key) {
    return GetFileVersionText(fileName, static_cast<int>(key));
}

// Ordinal comparison of two version texts, byte by byte as unsigned values in the system's ANSI
// code page; a prefix sorts first. No numeric reading: "1.10.0" < "1.6.0", "1,6,0" < "1.6.0".
// Returns <0, 0 or >0.
int CompareVersionText(std::string_view a, std::string_view b);
