#pragma once
// SHA-256 with the system's own cryptography (CNG, bcrypt.dll).

#include <array>
#include <optional>
#include <string>
#include <string_view>

using Sha256Digest = std::array<unsigned char, 32>;

// The digest of `bytes`; nothing when the system's provider cannot be used.
std::optional<Sha256Digest> Sha256Of(std::string_view bytes);
// The digest of the whole file at `path` (UTF-8), read in pieces; nothing when the file cannot be
// read or the provider cannot be used.
std::optional<Sha256Digest> Sha256OfFile(std::string_view path);
// 64 lowercase hexadecimal digits.
std::string HexOf(const Sha256Digest& digest);
