// Demo installations in the prefix's C: drive and the stand-in for the product's window.

#include "installation.h"
#include "robot.h"

#include <gtest/gtest.h>

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// "FileVersion" of the file's Japanese/Unicode string table, or nothing without a version resource.
std::optional<std::wstring> FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<uint8_t> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::nullopt;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\StringFileInfo\\041104B0\\FileVersion", reinterpret_cast<void**>(&value),
                        &length))
        return std::nullopt;
    return std::wstring(value, length ? length - 1 : 0);
}

}  // namespace

TEST(Installation, DefaultIsInTheTalvernFolderWithShiftJisSettings) {
    const std::wstring windows = ScopedInstallation::WindowsFolder();
    {
        ScopedInstallation installation;
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        EXPECT_EQ(installation.Folder(), windows.substr(0, 1) + L":\\TALVERN\\KAREDONA\\");
        EXPECT_EQ(installation.TopFolder(), windows.substr(0, 1) + L":\\TALVERN");
        const std::wstring drive = windows.substr(0, 1);
        EXPECT_EQ(
            ScopedInstallation::ReadFileBytes(installation.Folder() + L"SpKaredona.ini"),
            std::optional<std::string>("[Karedona]\r\nPath=" + robot::ToUtf8(drive) + ":\\TALVERN\\KAREDONA\\\r\n"));
        EXPECT_EQ(FileVersion(installation.Folder() + L"karemain.exe"), std::optional<std::wstring>(L"1.5.2.0"));
        EXPECT_FALSE(Exists(installation.Folder() + L"DOWNLOAD.INI"));
        EXPECT_FALSE(Exists(windows + L"\\SpKaredona.ini"));
    }
    EXPECT_FALSE(Exists(windows.substr(0, 1) + L":\\TALVERN"));
}

TEST(Installation, WritesJapaneseTextInShiftJis) {
    InstallationOptions options;
    options.settingsContent = "[Karedona]\r\nPath=C:\\カレドナ\\\r\n";
    options.downloadIni = "PROXYIP=代理\r\nPROXYPORT=8080\r\n";
    ScopedInstallation installation(options);
    ASSERT_TRUE(installation.Ok()) << installation.Error();
    // カ = 83 4A, レ = 83 8C, ド = 83 68, ナ = 83 69; 代 = 91 E3, 理 = 97 9D.
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(installation.Folder() + L"SpKaredona.ini"),
              std::optional<std::string>("[Karedona]\r\nPath=C:\\\x83\x4A\x83\x8C\x83\x68\x83\x69\\\r\n"));
    EXPECT_EQ(ScopedInstallation::ReadFileBytes(installation.Folder() + L"DOWNLOAD.INI"),
              std::optional<std::string>("PROXYIP=\x91\xE3\x97\x9D\r\nPROXYPORT=8080\r\n"));
}

TEST(Installation, KaremainWithAnyVersionWithoutResourceOrMissing) {
    {
        InstallationOptions options;
        options.fileVersion = L"1, 6, 0, 0";
        ScopedInstallation installation(options);
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        EXPECT_EQ(FileVersion(installation.Folder() + L"karemain.exe"), std::optional<std::wstring>(L"1, 6, 0, 0"));
    }
    {
        InstallationOptions options;
        options.karemain = KaremainKind::WithoutResource;
        ScopedInstallation installation(options);
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        ASSERT_TRUE(Exists(installation.Folder() + L"karemain.exe"));
        DWORD ignored = 0;
        EXPECT_EQ(GetFileVersionInfoSizeW((installation.Folder() + L"karemain.exe").c_str(), &ignored), 0u);
    }
    {
        InstallationOptions options;
        options.karemain = KaremainKind::Missing;
        ScopedInstallation installation(options);
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        EXPECT_TRUE(Exists(installation.Folder() + L"SpKaredona.ini"));
        EXPECT_FALSE(Exists(installation.Folder() + L"karemain.exe"));
    }
}

TEST(Installation, SettingsInTheWindowsFolderAreRemovedToo) {
    const std::wstring windows = ScopedInstallation::WindowsFolder();
    {
        InstallationOptions options;
        options.folder = L"C:\\KARTEST\\PRODUCT";  // "\" is added
        options.settings = SettingsPlace::WindowsFolder;
        ScopedInstallation installation(options);
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        EXPECT_EQ(installation.Folder(), L"C:\\KARTEST\\PRODUCT\\");
        EXPECT_EQ(ScopedInstallation::ReadFileBytes(windows + L"\\SpKaredona.ini"),
                  std::optional<std::string>("[Karedona]\r\nPath=C:\\KARTEST\\PRODUCT\\\r\n"));
        EXPECT_FALSE(Exists(installation.Folder() + L"SpKaredona.ini"));
        EXPECT_TRUE(Exists(installation.Folder() + L"karemain.exe"));
    }
    EXPECT_FALSE(Exists(windows + L"\\SpKaredona.ini"));
    EXPECT_FALSE(Exists(L"C:\\KARTEST"));
}

TEST(Installation, RemovesAnUnlha32CopyInTheWindowsFolder) {
    const std::wstring windows = ScopedInstallation::WindowsFolder();
    const std::wstring copy = windows + L"\\UNLHA32.DLL";
    ASSERT_FALSE(Exists(copy)) << "a copy is left from elsewhere";
    {
        ScopedInstallation installation;
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        // What the program does when its own folder lacks the library.
        ASSERT_TRUE(ScopedInstallation::WriteFileBytes(copy, "stand-in"));
    }
    EXPECT_FALSE(Exists(copy));
}

TEST(Installation, RemovesLeftoversAndRefusesSystemFolders) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\TALVERN", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(ScopedInstallation::WriteFileBytes(L"C:\\TALVERN\\old.txt", "left over"));
    {
        ScopedInstallation installation;
        ASSERT_TRUE(installation.Ok()) << installation.Error();
        EXPECT_FALSE(Exists(L"C:\\TALVERN\\old.txt"));
    }
    InstallationOptions options;
    options.folder = ScopedInstallation::WindowsFolder() + L"\\KAREDONA\\";
    ScopedInstallation refused(options);
    EXPECT_FALSE(refused.Ok());
    EXPECT_TRUE(Exists(ScopedInstallation::WindowsFolder() + L"\\system32"));
}

TEST(ProductWindow, ExistsUntilDestroyed) {
    ASSERT_EQ(FindWindowW(L"TKarMake_Form", nullptr), nullptr);
    ProductWindow product;
    ASSERT_TRUE(product.Exists());
    EXPECT_EQ(FindWindowW(L"TKarMake_Form", nullptr), product.Handle());
    EXPECT_EQ(FindWindowA("TKarMake_Form", nullptr), product.Handle());
    EXPECT_FALSE(IsWindowVisible(product.Handle()));
    product.Destroy();
    EXPECT_FALSE(product.Exists());
    EXPECT_EQ(FindWindowW(L"TKarMake_Form", nullptr), nullptr);
    // A second one can be made after the first.
    ProductWindow again(true);
    EXPECT_TRUE(IsWindowVisible(again.Handle()));
}
