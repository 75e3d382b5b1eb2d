#include "number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace {

// Optional leading minus, digits, optional "." with digits; at least one digit in all.
bool IsDecimal(const std::string& s) {
    size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
    size_t digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (s[i] >= '0' && s[i] <= '9') {
            ++digits;
        } else if (s[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits > 0;
}

}  // namespace

double TextToNumber(std::string_view text) {
    std::string kept;
    for (char c : text)
        if (c == '-' || c == '.' || (c >= '0' && c <= '9')) kept += c;
    if (kept.empty()) return 0;
    if (kept.back() == '-') {
        kept.pop_back();
        kept = "-" + kept;
    }
    if (!IsDecimal(kept)) return 0;

    // from_chars reads the full stop as the decimal point whatever the locale.
    double value = 0;
    const auto [end, error] = std::from_chars(kept.data(), kept.data() + kept.size(), value);
    if (error != std::errc() || end != kept.data() + kept.size()) return 0;
    return std::isfinite(value) ? value : 0;
}

std::optional<long long> ParseSignedDigits(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    constexpr long long kLimit = std::numeric_limits<long long>::max();
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        const int digit = text[i] - '0';
        value = value > (kLimit - digit) / 10 ? kLimit : value * 10 + digit;
    }
    return negative ? -value : value;
}

std::optional<long long> ParseDecimalInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > 0x7FFFFFFFLL + (negative ? 1 : 0)) return std::nullopt;
    }
    return negative ? -value : value;
}

Exception NotAnInteger(std::string_view text) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string(...).
    std::string message = "'";
    message += text;
    message += "' は整数ではありません";
    return Exception(message);
}
