#include "number.h"

#include <charconv>
#include <cmath>
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
