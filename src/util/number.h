#pragma once

#include <optional>
#include <string_view>

#include "exception.h"

// Turns loosely written numeric text into a number: only "-", "." and the digits are kept, a
// trailing minus sign becomes a leading one, and the rest must read as a decimal number with a
// full stop as the decimal point (whatever the regional settings). Anything else gives 0.
// Examples: "8,080" -> 8080, "80-" -> -80, "port 80" -> 80, "1-2" -> 0, "1.2.3" -> 0.
double TextToNumber(std::string_view text);

// A decimal integer with an optional sign, after optional leading blanks, within the range of a
// 32-bit signed integer; nothing for any other text.
std::optional<long long> ParseDecimalInteger(std::string_view text);

// An integer written as decimal digits with an optional sign and nothing else (no blanks), of any
// length: one beyond the range of long long comes out as its limit, so that a range check still
// refuses it as out of range rather than as no integer. Nothing for any other text.
std::optional<long long> ParseSignedDigits(std::string_view text);

// The error for a text that should have been an integer: "'<text>' は整数ではありません".
Exception NotAnInteger(std::string_view text);
