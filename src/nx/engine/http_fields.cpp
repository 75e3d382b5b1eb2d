#include "http_fields.h"

#include <vector>

#include "ascii.h"

namespace nx::http {

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (left > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += left > 1 ? kDigits[(v >> 6) & 63] : '=';
        out += left > 2 ? kDigits[v & 63] : '=';
    }
    return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    unsigned bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (const char c : text) {
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' && padding < 2) {
            ++padding;
            continue;
        }
        if (value < 0 || padding > 0) return std::nullopt;  // a stranger, or a digit after padding
        bits = (bits << 6) | static_cast<unsigned>(value);
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    // A last group of 2 or 3 digits holds 1 or 2 bytes; 1 digit holds none and is not Base64.
    if (count == 1 || (padding > 0 && count + padding != 4)) return std::nullopt;
    if (count == 2) out += static_cast<char>((bits >> 4) & 0xFF);
    if (count == 3) {
        out += static_cast<char>((bits >> 10) & 0xFF);
        out += static_cast<char>((bits >> 2) & 0xFF);
    }
    return out;
}

std::vector<Challenge> ParseChallenges(std::string_view value) {
    std::vector<Challenge> challenges;
    while (!value.empty()) {
        // The next comma outside a quoted string (realm="a, b").
        std::size_t comma = 0;
        for (bool quoted = false; comma < value.size() && (quoted || value[comma] != ','); ++comma) {
            if (value[comma] == '"') quoted = !quoted;
            if (quoted && value[comma] == '\\' && comma + 1 < value.size()) ++comma;
        }
        if (comma == value.size()) comma = std::string_view::npos;
        const std::string_view part = TrimBlanks(value.substr(0, comma));
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        const std::size_t end = part.find_first_of(" \t=");
        if (part.empty() || (end != std::string_view::npos && part[end] == '=')) continue;  // a parameter
        Challenge challenge{std::string(part.substr(0, end)), ""};
        if (end != std::string_view::npos) {
            const std::string_view rest = TrimBlanks(part.substr(end));
            // A token (Base64, perhaps padded with '='), not the first parameter of the scheme.
            const std::size_t equals = rest.find('=');
            if (equals == std::string_view::npos || rest.find_first_not_of('=', equals) == std::string_view::npos)
                challenge.token = std::string(rest);
        }
        challenges.push_back(std::move(challenge));
    }
    return challenges;
}

std::string BasicCredentials(std::string_view user, std::string_view password) {
    std::string pair(user);
    pair += ':';
    pair += password;
    return "Basic " + Base64(pair);
}

bool ListHasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (EqualsNoCase(TrimBlanks(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool IsRedirect(int code) { return code == 301 || code == 302 || code == 303 || code == 307 || code == 308; }

const char* StandardReason(int code) {
    switch (code) {
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "HTTP error";
    }
}

std::string ResolveLocation(const HttpUrl& base, std::string_view location) {
    const std::string_view loc = TrimBlanks(location);
    const std::size_t colon = loc.find(':');
    const std::size_t slash = loc.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash))
        return std::string(loc);  // absolute, with a scheme
    if (loc.substr(0, 2) == "//") return "http:" + std::string(loc);
    std::string resolved = "http://" + base.Authority();
    const std::string_view path = std::string_view(base.target).substr(0, base.target.find('?'));
    if (!loc.empty() && loc.front() == '/') {
        // on the same host and port
    } else if (!loc.empty() && (loc.front() == '?' || loc.front() == '#')) {
        resolved += path;
    } else {
        const std::string_view folder = path.substr(0, path.rfind('/') + 1);
        resolved += folder.empty() ? "/" : folder;
    }
    resolved += loc;
    return resolved;
}

Cookie ParseSetCookie(std::string_view header) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t semi = header.find(';');
        parts.push_back(TrimBlanks(header.substr(0, semi)));
        if (semi == std::string_view::npos) break;
        header.remove_prefix(semi + 1);
    }
    Cookie cookie;
    const std::string_view pair = parts.front();
    const std::size_t eq = pair.find('=');
    cookie.name = TrimBlanks(pair.substr(0, eq));
    if (eq != std::string_view::npos) cookie.value = TrimBlanks(pair.substr(eq + 1));
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t e = parts[i].find('=');
        const std::string_view key = TrimBlanks(parts[i].substr(0, e));
        const std::string_view value =
            e == std::string_view::npos ? std::string_view() : TrimBlanks(parts[i].substr(e + 1));
        if (EqualsNoCase(key, "Expires"))
            cookie.expires = value;
        else if (EqualsNoCase(key, "Domain"))
            cookie.domain = value;
        else if (EqualsNoCase(key, "Path"))
            cookie.path = value;
        else if (EqualsNoCase(key, "Secure"))
            cookie.secure = true;
    }
    return cookie;
}

std::string ParseErrorText(ParseError error) {
    switch (error) {
    case ParseError::BadStatusLine: return "ステータス行が HTTP の形式ではありません";
    case ParseError::UnsupportedVersion: return "対応していない HTTP のバージョンです";
    case ParseError::BadHeaderLine: return "ヘッダー行の形式が正しくありません";
    case ParseError::HeaderLineTooLong: return "ヘッダー行が長すぎます";
    case ParseError::TooManyHeaderLines: return "ヘッダー行が多すぎます";
    case ParseError::TooManyInterimResponses:
        return "中間応答 (1xx) が " + std::to_string(kMaxInterimResponses) + " 回を超えました";
    case ParseError::HeadTooLarge: return "ヘッダーが " + std::to_string(kMaxHeadBytes) + " バイトを超えました";
    case ParseError::BadContentLength: return "Content-Length の値が正しくありません";
    case ParseError::ConflictingContentLength: return "Content-Length の値が食い違っています";
    case ParseError::BadTransferEncoding: return "Transfer-Encoding の値が正しくありません";
    case ParseError::BadChunkSize:
    case ParseError::ChunkSizeLineTooLong:
    case ParseError::BadChunkData: return "チャンク形式のデータが正しくありません";
    case ParseError::Truncated: return "応答が途中で切れました";
    case ParseError::HandlerFailed: return "イベント処理で中断しました";
    case ParseError::None: break;
    }
    return "形式が正しくありません";
}

}  // namespace nx::http
