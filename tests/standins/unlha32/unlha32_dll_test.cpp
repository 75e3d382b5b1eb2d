// The stand-in UNLHA32.DLL as the updater uses it: loaded by name, Unlha found with
// GetProcAddress and called with an ANSI command line and a small output buffer.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fixture_content.h"

namespace {

using UnlhaFn = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);

std::wstring ExeFolder() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

HMODULE Library() {
    static HMODULE lib = LoadLibraryW((ExeFolder() + L"UNLHA32.DLL").c_str());
    return lib;
}

UnlhaFn UnlhaEntry() { return reinterpret_cast<UnlhaFn>(reinterpret_cast<void*>(GetProcAddress(Library(), "Unlha"))); }

std::wstring FromCp(const std::string& s, UINT cp) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Ansi(const std::wstring& w) {
    if (w.empty()) return {};
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, &lossy);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, &lossy);
    if (lossy) throw std::runtime_error("path not representable in the ANSI code page");
    return s;
}

std::wstring Fixture(const char* name) { return FromCp(std::string(KARUPDT_LHA_FIXTURE_DIR) + "/" + name, CP_UTF8); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    CloseHandle(h);
    return out;
}

void WriteFileBytes(const std::wstring& path, const std::string& data, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr);
    CloseHandle(h);
    SetFileAttributesW(path.c_str(), attributes);
}

// Every file below folder, as paths relative to it with '/' between components.
void ListFiles(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(folder + L"\\" + name, prefix + name + L"/", out);
        else
            out.push_back(prefix + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

class Unlha32Dll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Library(), nullptr) << "UNLHA32.DLL not beside the test program";
        ASSERT_NE(UnlhaEntry(), nullptr);
        // Names in archives are Shift-JIS; the harness runs Wine with code page 932 as on the target.
        ASSERT_EQ(GetACP(), 932u) << "run under LC_ALL=ja_JP.UTF-8 (scripts/wine-run.sh)";
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"unlha32_dll_test_" + std::to_wstring(GetCurrentProcessId());
        RemoveTree(root_);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    }
    void TearDown() override { RemoveTree(root_); }

    // Runs the updater's command for archive into folder (given without its trailing '\').
    int Extract(const std::wstring& archive, const std::wstring& folder, std::string* text = nullptr) {
        const std::string line = "e -y \"" + Ansi(archive) + "\" -c1 -d1 \"" + Ansi(folder) + "\\\"";
        char buf[10] = {};
        const int r = UnlhaEntry()(nullptr, line.c_str(), buf, 9);
        if (text) *text = buf;
        return r;
    }

    void ExpectFiles(const std::wstring& folder, const std::map<std::string, std::string>& expected) {
        std::vector<std::wstring> found;
        ListFiles(folder, L"", found);
        EXPECT_EQ(found.size(), expected.size()) << "extra or missing files (a left-over temporary file?)";
        for (const auto& [name, data] : expected) {
            std::wstring rel = FromCp(name, 932);
            for (auto& c : rel)
                if (c == L'/') c = L'\\';
            const std::string got = ReadFileBytes(folder + L"\\" + rel);
            EXPECT_EQ(got.size(), data.size()) << name;
            EXPECT_TRUE(got == data) << name;
        }
    }

    std::wstring root_;
};

TEST_F(Unlha32Dll, ExportsThe41EntriesUnderTheirPlainNames) {
    const char* names[] = {"UnlhaGetVersion",
                           "UnlhaGetSubVersion",
                           "UnlhaGetRunning",
                           "UnlhaGetBackGroundMode",
                           "UnlhaSetBackGroundMode",
                           "UnlhaGetCursorMode",
                           "UnlhaSetCursorMode",
                           "UnlhaGetCursorInterval",
                           "UnlhaSetCursorInterval",
                           "Unlha",
                           "UnlhaCheckArchive",
                           "UnlhaConfigDialog",
                           "UnlhaGetFileCount",
                           "UnlhaOpenArchive",
                           "UnlhaCloseArchive",
                           "UnlhaFindFirst",
                           "UnlhaFindNext",
                           "UnlhaGetArcFileName",
                           "UnlhaGetArcFileSize",
                           "UnlhaGetArcOriginalSize",
                           "UnlhaGetArcCompressedSize",
                           "UnlhaGetArcRatio",
                           "UnlhaGetArcDate",
                           "UnlhaGetArcTime",
                           "UnlhaGetArcOSType",
                           "UnlhaGetFileName",
                           "UnlhaGetMethod",
                           "UnlhaGetOriginalSize",
                           "UnlhaGetCompressedSize",
                           "UnlhaGetRatio",
                           "UnlhaGetDate",
                           "UnlhaGetTime",
                           "UnlhaGetWriteTime",
                           "UnlhaGetAccessTime",
                           "UnlhaGetCreateTime",
                           "UnlhaGetCRC",
                           "UnlhaGetAttribute",
                           "UnlhaGetOSType",
                           "UnlhaQueryFunctionList",
                           "UnlhaSetOwnerWindow",
                           "UnlhaClearOwnerWindow"};
    static_assert(sizeof names / sizeof names[0] == 41);
    for (const char* n : names) EXPECT_NE(GetProcAddress(Library(), n), nullptr) << n;
    EXPECT_EQ(GetProcAddress(Library(), "Unlha@16"), nullptr);
    EXPECT_EQ(GetProcAddress(Library(), "_Unlha@16"), nullptr);
}

TEST_F(Unlha32Dll, TheOtherEntriesReportFailure) {
    auto getVersion =
        reinterpret_cast<int(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(Library(), "UnlhaGetVersion")));
    auto check = reinterpret_cast<BOOL(WINAPI*)(LPCSTR, int)>(
        reinterpret_cast<void*>(GetProcAddress(Library(), "UnlhaCheckArchive")));
    auto count =
        reinterpret_cast<int(WINAPI*)(LPCSTR)>(reinterpret_cast<void*>(GetProcAddress(Library(), "UnlhaGetFileCount")));
    auto open = reinterpret_cast<HANDLE(WINAPI*)(HWND, LPCSTR, DWORD)>(
        reinterpret_cast<void*>(GetProcAddress(Library(), "UnlhaOpenArchive")));
    const std::string archive = Ansi(Fixture("l2_lh5.lzh"));
    EXPECT_EQ(getVersion(), 0);
    EXPECT_FALSE(check(archive.c_str(), 0));
    EXPECT_EQ(count(archive.c_str()), -1);
    EXPECT_EQ(open(nullptr, archive.c_str(), 0), nullptr);
}

TEST_F(Unlha32Dll, ExtractsEveryLevelAndMethodIntoANewFolder) {
    for (int level = 0; level <= 2; ++level) {
        for (const char* method : {"lh0", "lh5", "lh6", "lh7"}) {
            std::string name = "l";
            name += std::to_string(level);
            name += std::string("_") + method + ".lzh";
            SCOPED_TRACE(name);
            const std::wstring folder = root_ + L"\\" + FromCp(name, CP_UTF8) + L"\\new";
            std::string text = "unset";
            ASSERT_EQ(Extract(Fixture(name.c_str()), folder, &text), 0);
            EXPECT_EQ(text, "");
            ExpectFiles(folder, std::string(method) == "lh0" ? lhatest::SmallFiles() : lhatest::AllFiles());
            const DWORD dir = GetFileAttributesW((folder + L"\\emptydir").c_str());
            EXPECT_TRUE(dir != INVALID_FILE_ATTRIBUTES && (dir & FILE_ATTRIBUTE_DIRECTORY)) << "the -lhd- entry";
        }
    }
}

TEST_F(Unlha32Dll, AcceptsAJapaneseFolderAndOverwritesReadOnlyFiles) {
    const std::wstring folder = root_ + L"\\展開先";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteFileBytes(folder + L"\\words.txt", "old", FILE_ATTRIBUTE_READONLY);
    WriteFileBytes(folder + L"\\rep.bin", "old");
    ASSERT_EQ(Extract(Fixture("l1_lh6.lzh"), folder), 0);
    ExpectFiles(folder, lhatest::AllFiles());
}

TEST_F(Unlha32Dll, OutputTextNeverExceedsTheGivenSize) {
    const std::string line = "e -y \"" + Ansi(root_) + "\\missing.lzh\" -c1 -d1 \"" + Ansi(root_) + "\\out\\\"";
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_NE(UnlhaEntry()(nullptr, line.c_str(), buf, 9), 0);
    const std::size_t len = strnlen(buf, sizeof buf);
    EXPECT_GT(len, 0u) << "a short text on failure";
    EXPECT_LE(len, 8u);
    for (int i = 9; i < 16; ++i) EXPECT_EQ(buf[i], 'X') << i;

    std::memset(buf, 'X', sizeof buf);
    EXPECT_NE(UnlhaEntry()(nullptr, line.c_str(), buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'X');

    std::memset(buf, 'X', sizeof buf);
    EXPECT_NE(UnlhaEntry()(nullptr, line.c_str(), buf, 0), 0);
    EXPECT_EQ(buf[0], 'X');
}

TEST_F(Unlha32Dll, RefusesEntriesThatWouldLandOutsideTheFolder) {
    for (const char* name : {"evil_dotdot_bs_l0.lzh", "evil_dotdot_slash_l0.lzh", "evil_dotdot_ff_l1.lzh",
                             "evil_drive_l0.lzh", "evil_drive_rel_l1.lzh", "evil_root_slash_l2.lzh",
                             "evil_root_ff_l2.lzh", "evil_unc_l0.lzh", "evil_dots_l2.lzh"}) {
        SCOPED_TRACE(name);
        const std::wstring folder = root_ + L"\\" + FromCp(name, CP_UTF8) + L"\\a\\b";
        std::string text;
        EXPECT_NE(Extract(Fixture(name), folder, &text), 0);
        EXPECT_NE(text, "");
        // The good entries before and after it are there, and nothing else.
        ExpectFiles(folder, {{"sub/a.txt", "abc"}, {"bin.dat", lhatest::AllBytes()}});
    }
    std::vector<std::wstring> everything;
    ListFiles(root_, L"", everything);
    for (const auto& f : everything) EXPECT_NE(f.substr(f.find_last_of(L'/') + 1), L"evil.txt") << Ansi(f);
    wchar_t cRelative[MAX_PATH] = {};
    GetFullPathNameW(L"C:evil.txt", MAX_PATH, cRelative, nullptr);
    EXPECT_FALSE(Exists(cRelative));
    EXPECT_FALSE(Exists(L"C:\\evil.txt"));
    EXPECT_FALSE(Exists(L"\\etc\\evil.txt"));
    EXPECT_FALSE(Exists(L"C:\\etc\\evil.txt"));
}

TEST_F(Unlha32Dll, DamagedArchiveLeavesThePreviousFile) {
    const std::wstring folder = root_ + L"\\damaged";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteFileBytes(folder + L"\\words.txt", "previous");
    std::string text;
    EXPECT_NE(Extract(Fixture("crc_l2.lzh"), folder, &text), 0);
    EXPECT_EQ(text, "CRC erro");  // "CRC error" cut to the 9 bytes of the buffer
    ExpectFiles(folder, {{"words.txt", "previous"}});

    for (const char* name : {"huge_l0.lzh", "hugestored_l2.lzh", "checksum_l1.lzh", "method_l2.lzh", "nomark_l2.lzh"}) {
        const std::wstring out = root_ + L"\\" + FromCp(name, CP_UTF8);
        EXPECT_NE(Extract(Fixture(name), out), 0) << name;
    }
}

TEST_F(Unlha32Dll, RefusesCommandLinesItCannotCarryOut) {
    char buf[10] = {};
    const std::string archive = Ansi(Fixture("l2_lh5.lzh"));
    for (const std::string& line :
         {std::string(""), "l \"" + archive + "\" out\\", "e -y \"" + archive + "\"", "e -y \"" + archive + " out\\"}) {
        EXPECT_NE(UnlhaEntry()(nullptr, line.c_str(), buf, 9), 0) << line;
        EXPECT_STRNE(buf, "") << line;
    }
    EXPECT_NE(UnlhaEntry()(nullptr, nullptr, buf, 9), 0);
}

}  // namespace
