// The all-or-nothing replacement of files and its journal, and the pinned package's table, on
// files of the test's own in the prefix's temporary folder.
#include "app/pinned_package.h"
#include "app/staging.h"
#include "app/transaction.h"
#include "app/update_host.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/sha256.h"
#include "util/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

const char* const kUpdateHost = "update.invalid";
// One file pinned: "kar160.ex_", the three bytes "abc".
const char* const kPinnedPackage =
    "KARUPDT-PINNED-PACKAGE 1\n"
    "kar160.ex_ 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
    "END\n";

namespace {

std::string TempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return WideToUtf8(temp);
}

void Write(const std::string& path, const std::string& bytes) { ASSERT_TRUE(WriteWholeFile(path, bytes)) << path; }
std::string Read(const std::string& path) { return ReadFileBytes(path).value_or("<missing>"); }

unsigned long long LastWriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
}

void SetLastWriteTime(const std::string& path, unsigned long long time) {
    HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    const FILETIME value{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &value));
    CloseHandle(file);
}

FileDigest DigestOf(const std::string& bytes) { return {bytes.size(), *Sha256Of(bytes)}; }

// 6 May 2001: a date no file this test writes can get by itself.
constexpr unsigned long long kOldDate = 126335664000000000ULL;

// A product of two files, a folder of new content for them and the transaction's own folder.
// `productRoot` may lie on another volume than the rest.
class TransactionTest : public ::testing::Test {
protected:
    void Prepare(const std::string& productRoot) {
        root_ = TempFolder() + "karupdt_transaction_test\\";
        product_ = productRoot + "karupdt_transaction_product\\";
        journal_ = root_ + "undo\\";
        Clean();
        ASSERT_TRUE(ForceFolder(root_ + "new\\"));
        ASSERT_TRUE(ForceFolder(product_));
        for (const char* name : {"a.exe", "b.dll"}) {
            Write(product_ + name, std::string("old ") + name);
            Write(root_ + "new\\" + name, std::string("new content of ") + name);
        }
        SetLastWriteTime(product_ + "a.exe", kOldDate);
        ASSERT_TRUE(SetFileAttributesW(Utf8ToWide(product_ + "a.exe").c_str(),
                                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
        // Wine keeps "hidden" only where the file system stores extended attributes.
        oldAttributes_ = GetFileAttributesW(Utf8ToWide(product_ + "a.exe").c_str()) & kKept;
        ASSERT_TRUE(oldAttributes_ & FILE_ATTRIBUTE_READONLY);
        scope_.targets = {product_ + "a.exe", product_ + "b.dll", product_ + "sub\\c.txt"};
        scope_.folders = {product_ + "sub\\"};
        scope_.sourceFolders = {root_ + "new\\"};
    }
    void TearDown() override { Clean(); }
    void Clean() {
        if (root_.empty()) return;  // an empty folder name would mean the current folder
        for (const std::string& folder : {product_ + "sub\\", product_, journal_, root_ + "new\\", root_}) {
            for (const std::string& name : FileNamesIn(folder)) {
                SetFileAttributesW(Utf8ToWide(folder + name).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(Utf8ToWide(folder + name).c_str());
            }
            RemoveDirectoryW(Utf8ToWide(WithoutTrailingBackslash(folder)).c_str());
        }
        RemoveFilesIn(root_ + "undo.refused\\");
    }
    // Both files and a file in a new folder added, the journal begun, the first file replaced:
    // the moment at which a kill leaves the journal behind.
    void ReplaceFirstOnly(FileTransaction& transaction) {
        transaction.Add(root_ + "new\\a.exe", product_ + "a.exe");
        transaction.Add(root_ + "new\\b.dll", product_ + "b.dll");
        ASSERT_TRUE(transaction.EnsureFolder(product_ + "sub\\"));
        Write(root_ + "new\\c.txt", "new file");
        transaction.Add(root_ + "new\\c.txt", product_ + "sub\\c.txt");
        transaction.Begin();
        transaction.Replace(root_ + "new\\a.exe", product_ + "a.exe", DigestOf("new content of a.exe"));
    }
    void ExpectAllOld() {
        EXPECT_EQ(Read(product_ + "a.exe"), "old a.exe");
        EXPECT_EQ(LastWriteTime(product_ + "a.exe"), kOldDate);
        EXPECT_EQ(GetFileAttributesW(Utf8ToWide(product_ + "a.exe").c_str()) & kKept, oldAttributes_);
        EXPECT_EQ(Read(product_ + "b.dll"), "old b.dll");
        EXPECT_FALSE(FolderExists(product_ + "sub")) << "a folder the transaction made stays";
        EXPECT_FALSE(FileTransaction::Pending(journal_));
    }
    // Rewrites the journal's text with `edit` applied, as someone with access to it could.
    void EditJournal(const std::string& from, const std::string& to) {
        std::string text = Read(journal_ + "journal.txt");
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << text;
        text.replace(at, from.size(), to);
        Write(journal_ + "journal.txt", text);
    }

    static constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    std::string root_, product_, journal_;
    DWORD oldAttributes_ = 0;
    JournalScope scope_;
};

TEST_F(TransactionTest, RollBackPutsBackContentDateAndAttributes) {
    Prepare(TempFolder());
    FileTransaction transaction(journal_);
    ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
    // The new file carries the date and attributes of its source, as a copy does.
    EXPECT_EQ(Read(product_ + "a.exe"), "new content of a.exe");
    EXPECT_EQ(LastWriteTime(product_ + "a.exe"), LastWriteTime(root_ + "new\\a.exe"));
    EXPECT_EQ(GetFileAttributesW(Utf8ToWide(product_ + "a.exe").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    // A source that is not what was recorded is refused, and the target stays as it is.
    EXPECT_THROW(transaction.Replace(root_ + "new\\b.dll", product_ + "b.dll", DigestOf("something else")), Exception);
    EXPECT_EQ(Read(product_ + "b.dll"), "old b.dll");
    EXPECT_TRUE(transaction.RollBack());
    ExpectAllOld();
}

TEST_F(TransactionTest, JournalLeftByAKillIsUndoneOrCompletedAtTheNextStart) {
    Prepare(TempFolder());
    {
        FileTransaction transaction(journal_);
        ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
    }
    std::string failure;
    EXPECT_EQ(FileTransaction::Recover(journal_, scope_, failure), FileTransaction::Recovery::RolledBack) << failure;
    ExpectAllOld();
    EXPECT_EQ(FileTransaction::Recover(journal_, scope_, failure), FileTransaction::Recovery::Nothing);

    // Killed after the last file: every file is new, so the run is finished rather than undone.
    {
        FileTransaction transaction(journal_);
        ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
        transaction.Replace(root_ + "new\\b.dll", product_ + "b.dll", DigestOf("new content of b.dll"));
        transaction.Replace(root_ + "new\\c.txt", product_ + "sub\\c.txt", DigestOf("new file"));
    }
    EXPECT_EQ(FileTransaction::Recover(journal_, scope_, failure), FileTransaction::Recovery::Completed) << failure;
    EXPECT_EQ(Read(product_ + "b.dll"), "new content of b.dll");
    EXPECT_EQ(Read(product_ + "sub\\c.txt"), "new file");
    EXPECT_TRUE(FileNamesIn(journal_).empty());

    // Killed while undoing: a saved copy already moved back is gone, and is not missed.
    Write(product_ + "a.exe", "old a.exe");
    Write(product_ + "b.dll", "old b.dll");
    SetFileAttributesW(Utf8ToWide(product_ + "sub\\c.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(Utf8ToWide(product_ + "sub\\c.txt").c_str());
    RemoveDirectoryW(Utf8ToWide(product_ + "sub").c_str());
    SetLastWriteTime(product_ + "a.exe", kOldDate);
    SetFileAttributesW(Utf8ToWide(product_ + "a.exe").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    {
        FileTransaction transaction(journal_);
        ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
        transaction.Replace(root_ + "new\\b.dll", product_ + "b.dll", DigestOf("new content of b.dll"));
    }
    ASSERT_TRUE(MoveFileExW(Utf8ToWide(journal_ + "1.sav").c_str(), Utf8ToWide(product_ + "b.dll").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(FileTransaction::Recover(journal_, scope_, failure), FileTransaction::Recovery::RolledBack) << failure;
    ExpectAllOld();
}

TEST_F(TransactionTest, AJournalThisProgramDidNotWriteIsNeverObeyed) {
    struct Case {
        const char* what;
        std::string from, to;  // the edit to the journal's text; empty: the scope is changed instead
        bool unprotected = false;
    };
    Prepare(TempFolder());
    const std::vector<Case> cases = {
        {"cut short", "END\n", ""},
        {"another header", "KarUpdt journal 1", "KarUpdt journal 2"},
        {"a target that is not the product's", "\t" + product_ + "b.dll", "\t" + root_ + "b.dll"},
        {"a saved copy of someone else's", "\t" + journal_ + "0.sav", "\t" + root_ + "new\\a.exe"},
        {"new content from elsewhere", "\t" + root_ + "new\\b.dll", "\t" + product_ + "b.dll"},
        {"a folder the run does not make", "D\t" + product_ + "sub", "D\t" + root_ + "new"},
        {"a folder anyone can write to", "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            FileTransaction transaction(journal_);
            ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
        }
        if (!c.from.empty()) {
            ASSERT_NO_FATAL_FAILURE(EditJournal(c.from, c.to));
        }
        JournalScope scope = scope_;
        scope.protectedArea = !c.unprotected;
        std::string failure;
        EXPECT_EQ(FileTransaction::Recover(journal_, scope, failure), FileTransaction::Recovery::Refused);
        EXPECT_TRUE(failure.ends_with("に移しました。\r【カレドナ】は変更されていません。")) << failure;
        // Nothing was moved back or deleted; the journal was set aside, so it is not read again.
        EXPECT_EQ(Read(product_ + "a.exe"), "new content of a.exe");
        EXPECT_TRUE(FolderExists(product_ + "sub"));
        EXPECT_FALSE(FileTransaction::Pending(journal_));
        EXPECT_TRUE(FileTransaction::Pending(root_ + "undo.refused\\"));
        // Ready for the next case.
        RemoveFilesIn(root_ + "undo.refused\\");
        Write(product_ + "a.exe", "old a.exe");
        RemoveDirectoryW(Utf8ToWide(product_ + "sub").c_str());
    }
}

TEST_F(TransactionTest, SavedCopiesComeBackAcrossVolumes) {
    // The product on another Unix file system than the temporary folder: Z:\dev\shm (a tmpfs).
    const std::string other = "Z:\\dev\\shm\\";
    if (!FolderExists(WithoutTrailingBackslash(other))) GTEST_SKIP() << "no /dev/shm on this machine";
    Prepare(other);
    Write(root_ + "probe", "x");
    const bool separate =
        !MoveFileExW(Utf8ToWide(root_ + "probe").c_str(), Utf8ToWide(product_ + "probe").c_str(), 0) &&
        GetLastError() == ERROR_NOT_SAME_DEVICE;
    DeleteFileW(Utf8ToWide(root_ + "probe").c_str());
    DeleteFileW(Utf8ToWide(product_ + "probe").c_str());
    if (!separate) GTEST_SKIP() << "/dev/shm is on the same volume as the temporary folder here";
    {
        FileTransaction transaction(journal_);
        ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
        EXPECT_TRUE(transaction.RollBack());
        ExpectAllOld();
    }
    {
        FileTransaction transaction(journal_);
        ASSERT_NO_FATAL_FAILURE(ReplaceFirstOnly(transaction));
    }
    std::string failure;
    EXPECT_EQ(FileTransaction::Recover(journal_, scope_, failure), FileTransaction::Recovery::RolledBack) << failure;
    ExpectAllOld();
}

TEST(PinnedPackageTest, TableIsReadWholeOrNotAtAll) {
    const std::string hash(64, 'a');
    const std::string head = "KARUPDT-PINNED-PACKAGE 1\n";
    const auto files = ParsePinnedPackage(head + "x.ex_ 12 " + hash + "\ny.lzh 0 " + hash + "\nEND\n");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].name, "x.ex_");
    EXPECT_EQ(files[0].size, 12u);
    EXPECT_EQ(files[1].sha256, hash);
    for (const std::string& broken :
         {std::string(""), head + "x.ex_ 12 " + hash + "\n", std::string("KARUPDT-PINNED-PACKAGE 2\nEND\n"),
          head + "x.ex_ 12 " + hash + " more\nEND\n", head + "x.ex_ 12 " + hash.substr(1) + "\nEND\n",
          head + "x.ex_ twelve " + hash + "\nEND\n"})
        EXPECT_TRUE(ParsePinnedPackage(broken).empty()) << broken;
}

TEST(PinnedPackageTest, OnlyThePinnedBytesMatch) {
    const Sha256Digest abc = *Sha256Of("abc");
    EXPECT_EQ(PinnedMismatch("kar160.ex_", 3, abc), std::nullopt);
    EXPECT_EQ(PinnedMismatch("KAR160.EX_", 3, abc), std::nullopt);  // names as Windows compares them
    EXPECT_NE(PinnedMismatch("kar160.ex_", 4, abc).value_or("").find("4 バイト"), std::string::npos);
    EXPECT_NE(PinnedMismatch("kar160.ex_", 3, *Sha256Of("abd")).value_or("").find("SHA-256"), std::string::npos);
    EXPECT_NE(PinnedMismatch("other.ex_", 3, abc), std::nullopt);
    // The file on disk is read and checked the same way.
    const std::string path = TempFolder() + "karupdt_pinned_test.ex_";
    Write(path, "abc");
    EXPECT_EQ(PinnedMismatch("kar160.ex_", path), std::nullopt);
    Write(path, "abcd");
    EXPECT_NE(PinnedMismatch("kar160.ex_", path), std::nullopt);
    DeleteFileW(Utf8ToWide(path).c_str());
}

}  // namespace
