// Folder queries and creation against the real file system of the Wine prefix.
#include "util/exception.h"
#include "util/folders.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

namespace {

std::string EnvironmentValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? WideToUtf8(value) : std::string();
}

bool NamesSameFolder(const std::string& a, const std::string& b) {
    return CompareStringOrdinal(Utf8ToWide(a).c_str(), -1, Utf8ToWide(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

class ForceFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = WideToUtf8(temp) + "karupdt_force_" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(Utf8ToWide(root_).c_str(), nullptr));
    }
    void TearDown() override {
        // Remove what the tests made, deepest first.
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) RemoveDirectoryW(Utf8ToWide(*it).c_str());
        RemoveDirectoryW(Utf8ToWide(root_).c_str());
    }
    std::string root_;
    std::vector<std::string> made_;
};

TEST(SystemFolders, MatchWhatTheSystemReports) {
    const std::string windows = GetWindowsFolder();
    ASSERT_FALSE(windows.empty());
    EXPECT_TRUE(NamesSameFolder(windows, EnvironmentValue(L"SystemRoot"))) << windows;
    EXPECT_NE(windows.back(), '\\');
    EXPECT_TRUE(FolderExists(windows));

    const std::string system = GetSystemFolder();
    EXPECT_TRUE(NamesSameFolder(system, windows + "\\system32")) << system;
    EXPECT_TRUE(FolderExists(system));
}

TEST(SystemFolders, ProgramFolderIsThisProgramsOwn) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::string program = WideToUtf8(path);
    EXPECT_EQ(GetProgramFolder(), program.substr(0, program.rfind('\\') + 1));
}

TEST(SystemFolders, ProgramFilesOfThisProcessEndsWithBackslash) {
    const std::string programFiles = GetProgramFilesFolder();
    // A 32-bit process sees the 32-bit Program Files folder, which its environment names too.
    EXPECT_TRUE(NamesSameFolder(programFiles, EnvironmentValue(L"ProgramFiles") + "\\")) << programFiles;
    EXPECT_EQ(programFiles.back(), '\\');
    EXPECT_NE(programFiles.front(), ' ');
    EXPECT_TRUE(FolderExists(programFiles));
}

TEST(FolderExistsTest, FoldersOnlyNotFiles) {
    EXPECT_TRUE(FolderExists("C:\\"));
    EXPECT_TRUE(FolderExists(GetWindowsFolder() + "\\"));
    EXPECT_FALSE(FolderExists(GetSystemFolder() + "\\kernel32.dll"));
    EXPECT_FALSE(FolderExists("C:\\no such folder\\"));
    EXPECT_FALSE(FolderExists(""));
}

TEST_F(ForceFolderTest, CreatesEveryMissingFolderAlongThePath) {
    const std::string a = root_ + "\\A";
    ASSERT_TRUE(CreateDirectoryW(Utf8ToWide(a).c_str(), nullptr));
    made_ = {a, a + "\\B", a + "\\B\\C"};
    EXPECT_TRUE(ForceFolder(a + "\\B\\C\\"));
    EXPECT_TRUE(FolderExists(a + "\\B"));
    EXPECT_TRUE(FolderExists(a + "\\B\\C"));
    EXPECT_TRUE(ForceFolder(a + "\\B\\C"));  // already there: nothing to do
}

TEST_F(ForceFolderTest, JapaneseNamesAndDeepChains) {
    std::string path = root_;
    for (const char* part : {"\\カレドナ", "\\グループマスタ", "\\表", "\\x"}) {
        path += part;
        made_.push_back(path);
    }
    EXPECT_TRUE(ForceFolder(path + "\\"));
    EXPECT_TRUE(FolderExists(path));
    EXPECT_TRUE(FolderExists(root_ + "\\カレドナ\\グループマスタ"));
}

TEST_F(ForceFolderTest, FailsWhereAFileBlocksThePath) {
    const std::string file = root_ + "\\file";
    HANDLE h = CreateFileW(Utf8ToWide(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_FALSE(ForceFolder(file + "\\sub\\"));
    EXPECT_FALSE(FolderExists(file + "\\sub"));
    DeleteFileW(Utf8ToWide(file).c_str());
}

TEST(ForceFolderErrors, EmptyPathAndBareRelativeNameRaise) {
    for (const char* path : {"", "Temp\\", "Temp"}) {
        try {
            ForceFolder(path);
            ADD_FAILURE() << "no error for '" << path << "'";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "ディレクトリを作成できません");
        }
    }
}

TEST(ForceFolderErrors, DriveRootsAndShortNamesNeedNoWork) {
    EXPECT_TRUE(ForceFolder("C:\\"));
    EXPECT_TRUE(ForceFolder("C:"));
    EXPECT_TRUE(ForceFolder("\\"));
}

TEST(FolderText, FolderPartAndTrailingBackslash) {
    EXPECT_EQ(ExtractFolderPart("C:\\TALVERN\\KAREDONA\\"), "C:\\TALVERN\\KAREDONA\\");
    EXPECT_EQ(ExtractFolderPart("C:\\TALVERN\\karemain.exe"), "C:\\TALVERN\\");
    EXPECT_EQ(ExtractFolderPart("C:x"), "C:");
    EXPECT_EQ(ExtractFolderPart("Temp"), "");
    // "ソ" is 0x83 0x5C in Shift-JIS; in UTF-8 no byte of it is a backslash.
    EXPECT_EQ(ExtractFolderPart("C:\\ソフト\\表.txt"), "C:\\ソフト\\");
    EXPECT_EQ(WithTrailingBackslash("C:\\windows"), "C:\\windows\\");
    EXPECT_EQ(WithTrailingBackslash("C:\\"), "C:\\");
    EXPECT_EQ(WithTrailingBackslash(""), "\\");
    EXPECT_EQ(WithoutTrailingBackslash("C:\\Program Files\\imagekit5\\"), "C:\\Program Files\\imagekit5");
    EXPECT_EQ(WithoutTrailingBackslash("C:\\x"), "C:\\x");
    EXPECT_EQ(WithoutTrailingBackslash(""), "");
    // Full paths: a drive or a network share; nothing relative to a current folder.
    for (const char* full : {"C:\\", "c:\\TALVERN\\", "\\\\server\\share\\"}) EXPECT_TRUE(IsFullPath(full)) << full;
    for (const char* relative : {"", "C:", "C:x\\", "KAREDONA\\", "\\x", "\\\\\\x", "1:\\x", "\\\\s"})
        EXPECT_FALSE(IsFullPath(relative)) << relative;
}

}  // namespace
