#include "util/sha256.h"

#include "util/handle.h"
#include "util/text.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace {

struct AlgorithmTraits {
    using Native = BCRYPT_ALG_HANDLE;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static void Close(Native h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
    using Native = BCRYPT_HASH_HANDLE;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static void Close(Native h) noexcept { BCryptDestroyHash(h); }
};

bool Succeeded(NTSTATUS status) { return status >= 0; }

// One running digest: data in, digest out.
class Sha256 {
public:
    Sha256() {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return;
        algorithm_.reset(algorithm);
        BCRYPT_HASH_HANDLE hash = nullptr;
        if (Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) hash_.reset(hash);
    }
    bool Ok() const { return static_cast<bool>(hash_); }
    bool Add(const void* data, size_t size) {
        // BCryptHashData takes a non-const pointer but does not write through it.
        return Succeeded(
            BCryptHashData(hash_.get(), static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0));
    }
    std::optional<Sha256Digest> Finish() {
        Sha256Digest digest{};
        if (!Succeeded(BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
            return std::nullopt;
        return digest;
    }

private:
    UniqueHandle<AlgorithmTraits> algorithm_;
    UniqueHandle<HashTraits> hash_;
};

}  // namespace

std::optional<Sha256Digest> Sha256Of(std::string_view bytes) {
    Sha256 sha;
    if (!sha.Ok()) return std::nullopt;
    // In pieces below 4 GB: the provider takes a 32-bit length.
    constexpr size_t kPiece = 1u << 30;
    for (size_t at = 0; at < bytes.size(); at += kPiece)
        if (!sha.Add(bytes.data() + at, std::min(kPiece, bytes.size() - at))) return std::nullopt;
    return sha.Finish();
}

std::optional<Sha256Digest> Sha256OfFile(std::string_view path) {
    FileHandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::nullopt;
    Sha256 sha;
    if (!sha.Ok()) return std::nullopt;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return std::nullopt;
        if (read == 0) break;
        if (!sha.Add(buffer.data(), read)) return std::nullopt;
    }
    return sha.Finish();
}

std::string HexOf(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}
