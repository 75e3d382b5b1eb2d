// Version texts read from real PE files: one whose resource windres compiled, and copies of a
// stub program stamped at run time with resources of every shape the program can meet.
#include "util/exception.h"
#include "util/text.h"
#include "util/version.h"
#include "version_resource.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

class VersionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"karupdt_version_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    void TearDown() override {
        for (const auto& file : made_) DeleteFileW(file.c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    // A stub copy named `name` carrying `content` as its version resource; returns its UTF-8 path.
    std::string Make(const std::wstring& name, const VersionResourceContent& content) {
        const std::wstring target = folder_ + name;
        std::string error;
        EXPECT_TRUE(
            MakeVersionedFile(BesideTestProgram(L"version_stub.exe"), target, BuildVersionResource(content), &error))
            << error;
        made_.push_back(target);
        return WideToUtf8(target);
    }

    std::string FileVersionOf(const std::wstring& name, const std::wstring& value) {
        return GetFileVersionText(Make(name, {{{L"FileVersion", value}}}), 3);
    }

    std::wstring folder_;
    std::vector<std::wstring> made_;
};

TEST_F(VersionFileTest, WindresResourceGivesVersionWithoutSpaces) {
    const std::string file = WideToUtf8(BesideTestProgram(L"version_windres.exe"));
    EXPECT_EQ(GetFileVersionText(file, 3), "2,1,0,16");
    EXPECT_EQ(GetFileVersionText(file, 9), "ImageKit");
    EXPECT_EQ(GetFileVersionText(file, 1), "イメージキット株式会社");
    EXPECT_EQ(GetFileVersionText(file, 2), "ImageKit5コントロール");  // every space removed, not only the ends
}

TEST_F(VersionFileTest, StampedValuesLoseEverySpaceAndNothingElse) {
    EXPECT_EQ(FileVersionOf(L"a.exe", L"1.6.0.0"), "1.6.0.0");
    EXPECT_EQ(FileVersionOf(L"b.exe", L"2, 1, 0, 16"), "2,1,0,16");
    EXPECT_EQ(FileVersionOf(L"c.exe", L" 1 .6"), "1.6");
    EXPECT_EQ(FileVersionOf(L"d.exe", L"1.6\t.0"), "1.6\t.0");  // tabs are not spaces
    EXPECT_EQ(FileVersionOf(L"e.exe", L"   "), "");
    EXPECT_EQ(FileVersionOf(L"f.exe", L"１．６"), "１．６");  // full-width text kept as it is
}

TEST_F(VersionFileTest, KeyIndexSelectsTheNamedValue) {
    const std::string file = Make(L"keys.exe", {{{L"Comments", L"c"},
                                                 {L"CompanyName", L"Talvern"},
                                                 {L"FileVersion", L"1.5.2.0"},
                                                 {L"ProductVersion", L"1.5.2"},
                                                 {L"SpecialBuild", L"s p"}}});
    EXPECT_EQ(GetFileVersionText(file, 0), "c");
    EXPECT_EQ(GetFileVersionText(file, 1), "Talvern");
    EXPECT_EQ(GetFileVersionText(file, 3), "1.5.2.0");
    EXPECT_EQ(GetFileVersionText(file, 10), "1.5.2");
    EXPECT_EQ(GetFileVersionText(file, 11), "sp");
    EXPECT_EQ(GetFileVersionText(file, 2), "");   // no FileDescription in this table
    EXPECT_EQ(GetFileVersionText(file, 12), "");  // outside the key table
    EXPECT_EQ(GetFileVersionText(file, -1), "");
}

TEST_F(VersionFileTest, UsesTheTableNamedByTheFirstTranslation) {
    VersionResourceContent english{{{L"FileVersion", L"9.9"}}};
    english.tableName = L"040904E4";
    english.language = 0x0409;
    english.codePage = 0x04E4;
    EXPECT_EQ(GetFileVersionText(Make(L"en.exe", english), 3), "9.9");

    // The translation names a table the resource does not have: no value, no error.
    VersionResourceContent mismatched{{{L"FileVersion", L"9.9"}}};
    mismatched.language = 0x0409;
    EXPECT_EQ(GetFileVersionText(Make(L"mismatch.exe", mismatched), 3), "");
}

TEST_F(VersionFileTest, ResourceWithoutTranslationTableRaises) {
    VersionResourceContent content{{{L"FileVersion", L"2, 1, 0, 16"}}};
    content.withTranslation = false;
    const std::string file = Make(L"notrans.exe", content);
    try {
        GetFileVersionText(file, 3);
        FAIL() << "no error raised";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "バージョン情報の取得に失敗しました");
    }
}

TEST_F(VersionFileTest, FilesWithoutVersionGiveEmptyText) {
    EXPECT_EQ(GetFileVersionText(WideToUtf8(BesideTestProgram(L"version_stub.exe")), 3), "");
    EXPECT_EQ(GetFileVersionText(WideToUtf8(folder_) + "missing.exe", 3), "");
    EXPECT_EQ(GetFileVersionText("", 3), "");
    EXPECT_EQ(GetFileVersionText(WideToUtf8(folder_), 3), "");  // a folder
}

TEST(CompareVersionText, OrdinalNotNumeric) {
    EXPECT_EQ(CompareVersionText("1.6.0", "1.6.0"), 0);
    EXPECT_LT(CompareVersionText("1.5.9", "1.6.0"), 0);
    EXPECT_GT(CompareVersionText("1.7", "1.6.0"), 0);
    EXPECT_LT(CompareVersionText("1.10.0", "1.6.0"), 0);
    EXPECT_LT(CompareVersionText("1,6,0", "1.6.0"), 0);
    EXPECT_GT(CompareVersionText("1.6.0.", "1.6.0"), 0);
    EXPECT_LT(CompareVersionText("1.6", "1.6.0"), 0);
    EXPECT_LT(CompareVersionText("", "1.6.0"), 0);
    EXPECT_EQ(CompareVersionText("", ""), 0);
    EXPECT_GT(CompareVersionText("1.6.0", "1.6"), 0);
    // Bytes compare unsigned: a Shift-JIS lead byte sorts above every ASCII character.
    EXPECT_GT(CompareVersionText("不明", "9.9.9"), 0);
}

}  // namespace
