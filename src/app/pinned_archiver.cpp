#include "app/pinned_archiver.h"

#include "util/handle.h"
#include "util/sha256.h"
#include "util/text.h"

#include <windows.h>

#include <sstream>

namespace {

// No archiver library comes near this; a larger file is not read into memory.
constexpr LONGLONG kLargestArchiver = 16LL * 1024 * 1024;

bool IsPinned(const std::string& hexDigest) {
    std::istringstream digests(kPinnedArchivers);
    std::string pinned;
    while (digests >> pinned) {
        if (pinned.size() == 64 && pinned == hexDigest) return true;
    }
    return false;
}

}  // namespace

bool ArchiverPinned() { return kPinnedArchivers[0] != '\0'; }

std::optional<std::string> ReadPinnedArchiver(const std::string& path) {
    if (!ArchiverPinned()) return std::nullopt;
    // Others may read it meanwhile; nobody may change, replace or delete it.
    FileHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kLargestArchiver)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr) ||
            read == 0)
            return std::nullopt;
        done += read;
    }
    const std::optional<Sha256Digest> digest = Sha256Of(bytes);
    if (!digest || !IsPinned(HexOf(*digest))) return std::nullopt;
    return bytes;
}
