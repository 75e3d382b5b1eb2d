// What the built KarUpdt.exe carries: its version resource and its manifest.
#include "util/text.h"
#include "util/version.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::wstring ProgramBesideUs(const wchar_t* name = L"KarUpdt.exe") {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

TEST(KarUpdtResources, VersionIs160AndSaysWhetherAPackageIsPinned) {
    const std::string exe = WideToUtf8(ProgramBesideUs(KARUPDT_PROGRAM_UNDER_TEST));
    EXPECT_EQ(GetFileVersionText(exe, 3), "1.6.0.0");
    EXPECT_EQ(GetFileVersionText(exe, 7), "KarUpdt.exe");
    // Spaces are removed by the reading.
    EXPECT_EQ(GetFileVersionText(exe, 0), "Pinnedpackage:none");
    EXPECT_EQ(GetFileVersionText(WideToUtf8(ProgramBesideUs(L"KarUpdt_pinned.exe")), 0),
              "Pinnedpackage:19files,eachcheckedbysizeandSHA-256");
}

TEST(KarUpdtResources, ManifestAsksForAdministratorAndCommonControls6) {
    HMODULE exe = LoadLibraryExW(ProgramBesideUs().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    const std::string manifest(data, SizeofResource(exe, found));
    FreeLibrary(exe);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_EQ(manifest.find("dpiAware"), std::string::npos);
}

}  // namespace
