// name=value settings files as the product writes them.
#include "util/files.h"
#include "util/settings.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

TEST(FindSetting, NameIgnoresCaseFirstLineWinsValueUntrimmed) {
    const std::string text = "[Karedona]\r\npath=C:\\first\\\r\nPATH=C:\\second\\\r\nOther=1\r\n";
    EXPECT_EQ(FindSetting(text, "Path"), "C:\\first\\");
    EXPECT_EQ(FindSetting(text, "other"), "1");
    EXPECT_EQ(FindSetting(text, "missing"), std::nullopt);
}

TEST(FindSetting, BlanksAroundTheEqualsSignBelongToNameAndValue) {
    const std::string text = "Path = C:\\spaced\\\r\nPath=C:\\exact\\ \r\n";
    EXPECT_EQ(FindSetting(text, "Path"), "C:\\exact\\ ");
    EXPECT_EQ(FindSetting(text, "Path "), " C:\\spaced\\");
}

TEST(FindSetting, ValueIsEverythingAfterTheFirstEquals) {
    EXPECT_EQ(FindSetting("A=b=c\r\n", "A"), "b=c");
    EXPECT_EQ(FindSetting("A=\r\n", "A"), "");
    EXPECT_EQ(FindSetting("=x\r\n", ""), "x");
    EXPECT_EQ(FindSetting("no equals here\r\nA", "A"), std::nullopt);
}

TEST(FindSetting, SectionsPlayNoPart) {
    const std::string text = "[One]\nA=1\n[Two]\nA=2\nB=3";
    EXPECT_EQ(FindSetting(text, "A"), "1");
    EXPECT_EQ(FindSetting(text, "B"), "3");
    EXPECT_EQ(FindSetting(text, "[Two]"), std::nullopt);
}

TEST(SplitLines, MixedLineEndings) {
    const auto lines = SplitLines("a\r\nb\rc\nd\n\re\r\n");
    const std::vector<std::string_view> expected{"a", "b", "c", "d", "", "e"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(SplitLines("").size(), 0u);
    EXPECT_EQ(SplitLines("x").size(), 1u);
    EXPECT_EQ(SplitLines("\r\n\r\n").size(), 2u);
    EXPECT_EQ(FindSetting("X=1\rPROXYIP=host\nPROXYPORT=80\r\n", "proxyport"), "80");
    EXPECT_EQ(FindSetting("PROXYIP=host\rPROXYPORT=80", "PROXYIP"), "host");
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = WideToUtf8(temp) + "karupdt_settings_" + std::to_string(GetCurrentProcessId()) + ".ini";
    }
    void TearDown() override { DeleteFileW(Utf8ToWide(path_).c_str()); }
    void Write(const std::string& bytes) {
        HANDLE h = CreateFileW(Utf8ToWide(path_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(h);
    }
    std::string path_;
};

TEST_F(SettingsFileTest, ShiftJisFileGivesUtf8Values) {
    // "Path=D:\ソフト\カレドナ\" and "名前=表示" in Shift-JIS; "ソ" and "表" end in byte 0x5C.
    Write(
        "Name=x\r\n"
        "Path=D:\\\x83\x5c\x83\x74\x83\x67\\\x83\x4a\x83\x8c\x83\x68\x83\x69\\\r\n"
        "\x96\xbc\x91\x4f=\x95\x5c\x8e\xa6\r\n");
    EXPECT_EQ(ReadSettingFromFile(path_, "path"), "D:\\ソフト\\カレドナ\\");
    EXPECT_EQ(ReadSettingFromFile(path_, "名前"), "表示");
    EXPECT_EQ(ReadSettingFromFile(path_, "Name"), "x");
}

TEST_F(SettingsFileTest, MissingFileGivesNothing) {
    EXPECT_EQ(ReadSettingFromFile(path_ + ".none", "Path"), std::nullopt);
}

TEST_F(SettingsFileTest, FileWithoutLineEndingOrWithNulBytes) {
    Write(std::string("A=1\x00\x01\r\nPath=C:\\K\\", 17));
    EXPECT_EQ(ReadSettingFromFile(path_, "Path"), "C:\\K\\");
    EXPECT_EQ(ReadSettingFromFile(path_, "A"), std::string("1\x00\x01", 3));
}

}  // namespace

TEST_F(SettingsFileTest, WholeFileIsReplacedAndFailuresAreReported) {
    ASSERT_TRUE(WriteWholeFile(path_, "PROXYIP=a very long first content\r\n"));
    ASSERT_TRUE(WriteWholeFile(path_, std::string("x\0y", 3)));
    EXPECT_EQ(ReadFileBytes(path_), std::string("x\0y", 3));  // replaced, not overwritten in place
    SetLastError(0);
    EXPECT_FALSE(WriteWholeFile(path_ + ".missing\\folder\\f.ini", "a"));
    EXPECT_NE(GetLastError(), 0u);
}
