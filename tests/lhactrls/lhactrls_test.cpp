// The archiver binding: stubs with a "PANIC!!" box when the library or an entry is missing, and
// the library's exports otherwise.
#include "lhactrls/lhactrls.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::wstring Beside(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// Waits on another thread for a box captioned "PANIC!!" of this process, records its text and
// presses its OK button.
class PanicBoxAnswerer {
public:
    PanicBoxAnswerer()
        : thread_([this] {
              for (int i = 0; i < 500 && !stop_; ++i) {
                  HWND box = FindWindowW(L"#32770", L"PANIC!!");
                  if (box) {
                      wchar_t text[256] = {};
                      GetDlgItemTextW(box, 0xFFFF, text, 256);
                      // Recorded before the box is answered: the caller reads them as soon as the
                      // box has gone, however late this thread runs again.
                      {
                          const std::lock_guard lock(mutex_);
                          text_ = WideToUtf8(text);
                      }
                      ++boxes_;
                      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                      while (IsWindow(box)) Sleep(10);
                      continue;
                  }
                  Sleep(20);
              }
          }) {}
    ~PanicBoxAnswerer() {
        stop_ = true;
        thread_.join();
    }
    std::string Text() const {
        const std::lock_guard lock(mutex_);
        return text_;
    }
    int Boxes() const { return boxes_; }

private:
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string text_;
    std::atomic<int> boxes_{0};
    std::thread thread_;
};

class LhaBindingTest : public ::testing::Test {
protected:
    void TearDown() override { FreeLhaLibrary(); }
};

TEST_F(LhaBindingTest, TableHasTheFortyOneEntriesInOrder) {
    EXPECT_STREQ(LhaEntryName(0), "UnlhaGetVersion");
    EXPECT_STREQ(LhaEntryName(9), "Unlha");
    EXPECT_STREQ(LhaEntryName(13), "UnlhaOpenArchive");
    EXPECT_STREQ(LhaEntryName(40), "UnlhaClearOwnerWindow");
    EXPECT_EQ(LhaEntryName(41), nullptr);
}

TEST_F(LhaBindingTest, WithoutLibraryEveryEntryIsAStubThatShowsPanic) {
    LoadLhaLibraryFile(Beside(L"no_such_library_here.dll"));
    EXPECT_FALSE(LhaLibraryLoaded());
    for (std::size_t i = 0; i < kLhaEntryCount; ++i) EXPECT_FALSE(LhaEntryBound(i)) << LhaEntryName(i);

    char output[10] = "unchanged";
    int result = -1;
    {
        PanicBoxAnswerer answerer;
        result = Unlha(nullptr, "e -y \"a.lzh\" \"C:\\x\\\"", output, 9);
        Sleep(50);
        EXPECT_EQ(answerer.Text(), "Unlha: LHA.DLL not loaded.");
        EXPECT_EQ(answerer.Boxes(), 1);
    }
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(output, "unchanged");

    // Stubs of other argument counts return to a caller whose stack is intact: calling them
    // between values held across the calls would crash or corrupt those values otherwise.
    volatile int guard = 0x5A5A5A5A;
    {
        PanicBoxAnswerer answerer;
        EXPECT_EQ(UnlhaGetVersion(), 0);
        EXPECT_EQ(UnlhaSetCursorMode(1), 0);
        EXPECT_EQ(UnlhaCheckArchive(1, 2), 0);
        EXPECT_EQ(UnlhaOpenArchive(1, 2, 3), 0);
        Sleep(50);
        EXPECT_EQ(answerer.Boxes(), 4);
        EXPECT_EQ(answerer.Text(), "UnlhaOpenArchive: LHA.DLL not loaded.");
    }
    EXPECT_EQ(guard, 0x5A5A5A5A);
}

TEST_F(LhaBindingTest, LibraryWithoutUnlhaBindsWhatItHas) {
    LoadLhaLibraryFile(Beside(L"lha_partial.dll"));
    ASSERT_TRUE(LhaLibraryLoaded());
    EXPECT_TRUE(LhaEntryBound(0));   // UnlhaGetVersion
    EXPECT_TRUE(LhaEntryBound(10));  // UnlhaCheckArchive
    EXPECT_FALSE(LhaEntryBound(9));  // Unlha
    EXPECT_EQ(UnlhaGetVersion(), 123);
    EXPECT_EQ(UnlhaCheckArchive(0, 41), 42);

    PanicBoxAnswerer answerer;
    char output[10] = {};
    EXPECT_EQ(Unlha(nullptr, "e", output, 9), 0);
    Sleep(50);
    EXPECT_EQ(answerer.Text(), "Unlha: LHA.DLL not loaded.");
}

TEST_F(LhaBindingTest, ReleaseRebindsStubs) {
    LoadLhaLibraryFile(Beside(L"lha_partial.dll"));
    ASSERT_TRUE(LhaEntryBound(0));
    FreeLhaLibrary();
    EXPECT_FALSE(LhaLibraryLoaded());
    EXPECT_FALSE(LhaEntryBound(0));
    FreeLhaLibrary();  // a second release does nothing
}

TEST_F(LhaBindingTest, StandInLibraryExportsAllEntries) {
    LoadLhaLibraryFile(Beside(L"UNLHA32.DLL"));
    ASSERT_TRUE(LhaLibraryLoaded());
    for (std::size_t i = 0; i < kLhaEntryCount; ++i) EXPECT_TRUE(LhaEntryBound(i)) << LhaEntryName(i);
}

TEST_F(LhaBindingTest, LoadedByFullPathFromTheProgramsFolderNeverFromTheCurrentFolder) {
    // A library of that name in the current folder, one that lacks most entries.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"lhactrls_current_folder";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring planted = folder + L"\\UNLHA32.DLL";
    ASSERT_TRUE(CopyFileW(Beside(L"lha_partial.dll").c_str(), planted.c_str(), FALSE));
    wchar_t before[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, before);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));

    // A bare name is no path: nothing is loaded.
    LoadLhaLibraryFile(L"UNLHA32.DLL");
    EXPECT_FALSE(LhaLibraryLoaded());

    // Searched: the program's folder (the stand-in is there), then the System and Windows folders.
    LoadLhaLibrary();
    ASSERT_TRUE(LhaLibraryLoaded());
    EXPECT_EQ(LhaLibraryPath(), WideToUtf8(Beside(L"UNLHA32.DLL")));
    for (std::size_t i = 0; i < kLhaEntryCount; ++i) EXPECT_TRUE(LhaEntryBound(i)) << LhaEntryName(i);
    wchar_t system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(LhaSearchedFolders(),
              WideToUtf8(Beside(L"")) + "\r" + WideToUtf8(system) + "\\\r" + WideToUtf8(windows) + "\\");

    SetCurrentDirectoryW(before);
    FreeLhaLibrary();
    DeleteFileW(planted.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
