#include "settings.h"

#include "files.h"
#include "text.h"

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(text.substr(start, i - start));
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::optional<std::string> FindSetting(std::string_view text, std::string_view name) {
    for (std::string_view line : SplitLines(text)) {
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (EqualsIgnoringCase(line.substr(0, equals), name)) return std::string(line.substr(equals + 1));
    }
    return std::nullopt;
}

std::optional<std::string> ReadSettingFromFile(std::string_view path, std::string_view name) {
    auto text = ReadAnsiTextFile(path);
    if (!text) return std::nullopt;
    return FindSetting(*text, name);
}
