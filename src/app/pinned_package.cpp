#include "app/pinned_package.h"

#include "util/files.h"
#include "util/sha256.h"
#include "util/text.h"

#include <sstream>

std::vector<PinnedFile> ParsePinnedPackage(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    // The first line names the format; without it, or without the closing line, nothing counts.
    if (!std::getline(lines, line) || line != "KARUPDT-PINNED-PACKAGE 1") return {};
    std::vector<PinnedFile> files;
    while (std::getline(lines, line)) {
        if (line == "END") return files;
        std::istringstream fields(line);
        PinnedFile file;
        std::string rest;
        if (!(fields >> file.name >> file.size >> file.sha256) || (fields >> rest) || file.sha256.size() != 64)
            return {};
        files.push_back(std::move(file));
    }
    return {};
}

const std::vector<PinnedFile>& PinnedFiles() {
    static const std::vector<PinnedFile> files = ParsePinnedPackage(kPinnedPackage);
    return files;
}

namespace {

// The pinned entry named `name`, or the reason for the user why there is none.
const PinnedFile* PinnedNamed(const std::string& name, std::string& why) {
    const std::vector<PinnedFile>& files = PinnedFiles();
    // A build that carries a table it cannot read takes nothing rather than everything.
    if (files.empty()) {
        why = "この KarUpdt.exe に組み込まれたパッケージの情報が読み取れません。";
        return nullptr;
    }
    for (const PinnedFile& file : files)
        if (EqualsIgnoringCase(file.name, name)) return &file;
    why = "このファイルは配布元のパッケージにありません。";
    return nullptr;
}

std::string SizeMismatch(unsigned long long size, unsigned long long pinned) {
    return "大きさが " + std::to_string(size) + " バイトです (配布元のファイルは " + std::to_string(pinned) + " バイト)。";
}

}  // namespace

std::optional<std::string> PinnedMismatch(const std::string& name, unsigned long long size, const Sha256Digest& sha256) {
    if (kPinnedPackage[0] == '\0') return std::nullopt;
    std::string why;
    const PinnedFile* pinned = PinnedNamed(name, why);
    if (!pinned) return why;
    if (size != pinned->size) return SizeMismatch(size, pinned->size);
    if (HexOf(sha256) != pinned->sha256) return "内容 (SHA-256) が配布元のファイルと一致しません。";
    return std::nullopt;
}

std::optional<std::string> PinnedMismatch(const std::string& name, const std::string& path) {
    if (kPinnedPackage[0] == '\0') return std::nullopt;
    std::string why;
    const PinnedFile* pinned = PinnedNamed(name, why);
    if (!pinned) return why;
    const unsigned long long size = FileSizeOf(path);
    if (size != pinned->size) return SizeMismatch(size, pinned->size);
    const std::optional<Sha256Digest> digest = Sha256OfFile(path);
    if (!digest) return "内容を確かめるために読み取れません。";
    return PinnedMismatch(name, size, *digest);
}
