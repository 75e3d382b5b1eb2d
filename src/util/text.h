#pragma once
// Text conversion at the program's edges: UTF-8 inside, UTF-16 for Win32 calls, and the system's
// ANSI code page (932 on the target systems) for the files that the product shares with us.

#include <string>
#include <string_view>

// UTF-8 to UTF-16. Invalid sequences become U+FFFD; never throws for bad input.
std::wstring Utf8ToWide(std::string_view text);
// UTF-16 to UTF-8. Lone surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// Bytes in the system's ANSI code page to UTF-8, and back. Characters that the code page cannot
// represent become the code page's default character.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// Equal but for the case of ASCII letters (names in settings files and HTTP headers).
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The text with spaces and control characters (bytes up to 32) removed from both ends.
std::string TrimmedText(std::string_view text);
