#include "ntlm_logon.h"

#include <windows.h>
#include <bcrypt.h>

#include <cctype>
#include <cstdint>

namespace ntlmtest {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kServerChallenge[] = "\x01\x23\x45\x67\x89\xab\xcd\xef";

std::uint32_t Le32(std::string_view s, size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}
std::uint16_t Le16(std::string_view s, size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}
void Put(std::string& s, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A security buffer (length, maximum, offset) of an NTLM message; nullopt when it lies outside.
std::optional<std::string> Field(std::string_view message, size_t at) {
    if (message.size() < at + 8) return std::nullopt;
    const size_t length = Le16(message, at), offset = Le32(message, at + 4);
    if (offset > message.size() || length > message.size() - offset) return std::nullopt;
    return std::string(message.substr(offset, length));
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

std::string Hash(const wchar_t* algorithm, std::string_view data, std::string_view key = {}) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, key.empty() ? 0 : BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0)
        return {};
    std::string out(16, '\0');
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptCreateHash(provider, &hash, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                               static_cast<ULONG>(key.size()), 0) == 0;
    ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                              static_cast<ULONG>(data.size()), 0) == 0;
    ok = ok && BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(out.data()), 16, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);
    return ok ? out : std::string();
}

// A challenge message: Unicode, NTLM, extended session security, target information (a domain
// name), and the fixed server challenge.
std::string ChallengeMessage() {
    const std::string info = std::string("\x02\x00\x08\x00", 4) + Utf16("TEST") + std::string(4, '\0');
    std::string m = std::string("NTLMSSP\0", 8);
    Put(m, 2, 4);
    Put(m, 0, 2);  // target name: none
    Put(m, 0, 2);
    Put(m, 48, 4);
    Put(m, 0x00000001 | 0x00000200 | 0x00008000 | 0x00080000 | 0x00800000 | 0x20000000 | 0x80000000, 4);
    m.append(kServerChallenge, 8);
    m.append(8, '\0');
    Put(m, static_cast<std::uint32_t>(info.size()), 2);
    Put(m, static_cast<std::uint32_t>(info.size()), 2);
    Put(m, 48, 4);
    return m + info;
}

// Whether an authenticate message answers the challenge with the NTLMv2 proof of `password` for
// `user`, under the user name and domain that it names.
bool ProvesPassword(std::string_view message, const std::string& user, const std::string& password) {
    if (message.size() < 64 || Le32(message, 8) != 3) return false;
    const auto nt = Field(message, 20), domain = Field(message, 28), name = Field(message, 36);
    if (!nt || !domain || !name || nt->size() <= 16) return false;
    if (*name != Utf16(user)) return false;
    std::string upper;
    for (char c : user) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string key =
        Hash(BCRYPT_MD5_ALGORITHM, Utf16(upper) + *domain, Hash(BCRYPT_MD4_ALGORITHM, Utf16(password)));
    const std::string blob = nt->substr(16);
    return !key.empty() &&
           Hash(BCRYPT_MD5_ALGORITHM, std::string(kServerChallenge, 8) + blob, key) == nt->substr(0, 16);
}

}  // namespace

std::string ToBase64(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = v << 8 | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= bytes.size() - i ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::optional<std::string> FromBase64(std::string_view text) {
    std::string out;
    std::uint32_t v = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        const char* at = std::char_traits<char>::find(kAlphabet, 64, c);
        if (!at) return std::nullopt;
        v = v << 6 | static_cast<std::uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xFF);
        }
    }
    return out;
}

bool ProxyLogon::Admit(const std::string& head, std::string& authenticate) {
    authenticate.clear();
    if (loggedOn_) return true;
    std::string lower = head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t field = lower.find("\r\nproxy-authorization:");
    if (field == std::string::npos) {
        challenged_ = false;
        authenticate = Offer();
        return false;
    }
    const size_t start = head.find_first_not_of(' ', field + 22);
    const std::string value = head.substr(start, head.find("\r\n", start) - start);
    const std::string scheme = value.substr(0, value.find(' '));
    const auto message = FromBase64(value.substr(std::min(value.size(), scheme.size() + 1)));
    if (message && message->size() >= 12 && message->compare(0, 8, std::string("NTLMSSP\0", 8)) == 0) {
        if (Le32(*message, 8) == 1) {
            ++challenges_;
            challenged_ = true;
            authenticate = "Proxy-Authenticate: " + scheme + " " + ToBase64(ChallengeMessage()) + "\r\n";
            return false;
        }
        if (Le32(*message, 8) == 3 && challenged_ && ProvesPassword(*message, user_, password_)) {
            loggedOn_ = true;
            return true;
        }
    }
    ++refused_;
    challenged_ = false;
    authenticate = Offer();
    return false;
}

}  // namespace ntlmtest
