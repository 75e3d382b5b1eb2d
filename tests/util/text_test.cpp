// Conversions between UTF-8, UTF-16 and the system's ANSI code page (932 under the tests).
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

TEST(TextConversion, TestsRunWithTheJapaneseAnsiCodePage) {
    // Everything below about Shift-JIS bytes assumes what the target systems have.
    ASSERT_EQ(GetACP(), 932u);
}

TEST(TextConversion, Utf8AndUtf16RoundTrip) {
    const std::string text = "【カレドナ】自動アップデートプログラム Ver1.6.0 ｷｬﾝｾﾙ 𠮷";
    const std::wstring wide = Utf8ToWide(text);
    EXPECT_EQ(wide.substr(0, 6), L"【カレドナ】");
    EXPECT_EQ(WideToUtf8(wide), text);
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
    // Embedded zeros are part of the text.
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(TextConversion, InvalidInputIsReplacedNotFatal) {
    EXPECT_EQ(Utf8ToWide("a\xff"
                         "b"),
              L"a\xfffd"
              L"b");
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "\xef\xbf\xbd");
}

TEST(TextConversion, AnsiIsShiftJis) {
    // "ソフト" and "表": trail bytes 0x5C, which must not be taken for backslashes.
    EXPECT_EQ(Utf8ToAnsi("ソフト\\表"), "\x83\x5c\x83\x74\x83\x67\\\x95\x5c");
    EXPECT_EQ(AnsiToUtf8("\x83\x5c\x83\x74\x83\x67\\\x95\x5c"), "ソフト\\表");
    // Half-width katakana are single bytes.
    EXPECT_EQ(Utf8ToAnsi("ｷｬﾝｾﾙ"), "\xb7\xac\xdd\xbe\xd9");
    EXPECT_EQ(AnsiToUtf8("PROXYIP=proxy\r\n"), "PROXYIP=proxy\r\n");
    // A character that Shift-JIS lacks becomes the default character, not an error.
    EXPECT_EQ(Utf8ToAnsi("a😀b").front(), 'a');
    EXPECT_EQ(Utf8ToAnsi("a😀b").back(), 'b');
    // A lone lead byte at the end does not crash.
    EXPECT_FALSE(AnsiToUtf8("abc\x83").empty());
}

TEST(TextConversion, EqualsIgnoringCaseFoldsAsciiLettersOnly) {
    EXPECT_TRUE(EqualsIgnoringCase("Content-Length", "CONTENT-LENGTH"));
    EXPECT_TRUE(EqualsIgnoringCase("path", "Path"));
    EXPECT_TRUE(EqualsIgnoringCase("", ""));
    EXPECT_FALSE(EqualsIgnoringCase("Path", "Path "));
    EXPECT_FALSE(EqualsIgnoringCase("[", "{"));  // 0x5B and 0x7B differ by the case bit but are no letters
    EXPECT_FALSE(EqualsIgnoringCase("ｐａｔｈ", "ＰＡＴＨ"));
}
