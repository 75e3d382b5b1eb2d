#include "transaction.h"

#include "staging.h"
#include "user_failure.h"
#include "util/sha256_hasher.h"

#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/handle.h"
#include "util/text.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kJournalName = "journal.txt";
constexpr const char* kJournalHeader = "KarUpdt journal 1";
constexpr const char* kBesideSuffix = ".karupdt-new";
constexpr DWORD kCopyPiece = 1 << 20;

std::string Reason(const std::string& path, DWORD error) {
    return "ファイル \"" + path + "\" を書き換えできません。" + SystemErrorText(error);
}

// Gives `copy` the last-write time and the attributes of `source`, as a copy made by the system
// keeps them: a backup shows the date of the file it was made from, and a read-only file put back
// is read-only again.
bool TakeDateAndAttributes(HANDLE source, HANDLE copy) {
    FILE_BASIC_INFO from{};
    if (!GetFileInformationByHandleEx(source, FileBasicInfo, &from, sizeof from)) return false;
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO to{};  // times left 0 stay as they are
    to.LastWriteTime = from.LastWriteTime;
    to.FileAttributes = (from.FileAttributes & kKept) != 0 ? from.FileAttributes & kKept : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(copy, FileBasicInfo, &to, sizeof to) != FALSE;
}

// Copies what `source` holds, from its start, to `to` (replacing it) and flushes it to disk; every
// byte copied is counted into `copied` when given. The copy keeps the source's last-write time and
// attributes. False with the system's error code set when anything fails; a partly written `to` is
// removed. `to` is made anew (CreateFreshFile), so that a link put where it belongs is removed
// rather than written through.
bool CopyFlushedFrom(HANDLE source, const std::string& to, FileDigest* copied) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) return false;
    FileHandle target = CreateFreshFile(to);
    if (!target) return false;
    Sha256Hasher hasher;
    unsigned long long size = 0;
    std::string buffer(kCopyPiece, '\0');
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source, buffer.data(), kCopyPiece, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (copied) hasher.Add(buffer.data(), got);
        size += got;
        DWORD written = 0;
        if (!WriteFile(target.get(), buffer.data(), got, &written, nullptr) || written != got) {
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_DISK_FULL);
            ok = false;
            break;
        }
    }
    if (ok && !TakeDateAndAttributes(source, target.get())) ok = false;
    if (ok && !FlushFileBuffers(target.get())) ok = false;
    if (ok) {
        if (copied) *copied = {size, hasher.Finish()};
        return true;
    }
    const DWORD error = GetLastError();
    target.reset();
    DeleteFileEvenIfReadOnly(to);  // ignored: the first error is the one reported
    SetLastError(error);
    return false;
}

bool CopyFlushed(const std::string& from, const std::string& to) {
    const FileHandle source(CreateFileW(Utf8ToWide(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return source && CopyFlushedFrom(source.get(), to, nullptr);
}

// Moves the flushed copy `beside` over `to` in one step; the copy is removed when that fails. A
// read-only `to` has its attributes cleared for the move, but only when the move was refused and
// `to` is no link: clearing them through a link would change what it points to.
bool MoveOver(const std::string& beside, const std::string& to) {
    const std::wstring from = Utf8ToWide(beside), name = Utf8ToWide(to);
    constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(from.c_str(), name.c_str(), kFlags)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && !IsReparsePoint(to) &&
        SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        if (MoveFileExW(from.c_str(), name.c_str(), kFlags)) return true;
        error = GetLastError();
    }
    DeleteFileEvenIfReadOnly(beside);  // ignored: the first error is the one reported
    SetLastError(error);
    return false;
}

// Writes `from`'s content beside `to`, flushes it, and moves it over `to` in one step.
bool ReplaceWholeFile(const std::string& from, const std::string& to) {
    const std::string beside = to + kBesideSuffix;
    return CopyFlushed(from, beside) && MoveOver(beside, to);
}

bool SameBytes(const std::string& a, const std::string& b) {
    FileHandle first(CreateFileW(Utf8ToWide(a).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileHandle second(CreateFileW(Utf8ToWide(b).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!first || !second) return false;
    LARGE_INTEGER sizeA{}, sizeB{};
    if (!GetFileSizeEx(first.get(), &sizeA) || !GetFileSizeEx(second.get(), &sizeB) || sizeA.QuadPart != sizeB.QuadPart)
        return false;
    std::string bufferA(kCopyPiece, '\0'), bufferB(kCopyPiece, '\0');
    for (;;) {
        DWORD gotA = 0, gotB = 0;
        if (!ReadFile(first.get(), bufferA.data(), kCopyPiece, &gotA, nullptr) ||
            !ReadFile(second.get(), bufferB.data(), kCopyPiece, &gotB, nullptr) || gotA != gotB)
            return false;
        if (gotA == 0) return true;
        if (std::memcmp(bufferA.data(), bufferB.data(), gotA) != 0) return false;
    }
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

}  // namespace

bool ReplaceFileWhole(const std::string& from, const std::string& to) { return ReplaceWholeFile(from, to); }

FileTransaction::FileTransaction(std::string folder) : folder_(std::move(folder)) {
    RemoveFilesIn(folder_);
    ForceFolder(folder_);
}

void FileTransaction::Add(const std::string& source, const std::string& target) {
    Entry entry;
    entry.source = source;
    entry.target = target;
    if (FileExists(target)) {
        entry.saved = true;
        entry.copy = SavedCopyName(folder_, entries_.size());
        if (!CopyFlushed(target, entry.copy)) {
            const DWORD error = GetLastError();
            throw Exception("ファイル \"" + target + "\" を保存できません。" + SystemErrorText(error));
        }
    }
    entries_.push_back(std::move(entry));
}

bool FileTransaction::EnsureFolder(const std::string& folder) {
    // The missing folders along the path, outermost first, so that undoing removes them innermost first.
    std::vector<std::string> missing;
    for (std::string path = WithoutTrailingBackslash(folder); path.size() > 3 && !FolderExists(path);
         path = WithoutTrailingBackslash(ExtractFolderPart(path)))
        missing.insert(missing.begin(), path);
    if (!ForceFolder(folder)) return false;
    createdFolders_.insert(createdFolders_.end(), missing.begin(), missing.end());
    return true;
}

void FileTransaction::Begin() {
    std::string journal = std::string(kJournalHeader) + "\n";
    for (const Entry& entry : entries_)
        journal += std::string("F\t") + (entry.saved ? "1" : "0") + "\t" + entry.copy + "\t" + entry.source + "\t" +
                   entry.target + "\n";
    for (const std::string& folder : createdFolders_) journal += "D\t" + folder + "\n";
    journal += "END\n";
    if (!WriteWholeFile(folder_ + kJournalName, journal)) {
        const DWORD error = GetLastError();
        throw Exception("ファイル \"" + folder_ + kJournalName + "\" を作成できません。" + SystemErrorText(error));
    }
    begun_ = true;
}

void FileTransaction::Replace(const std::string& source, const std::string& target, const FileDigest& expected) {
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.source == source && e.target == target; });
    if (!begun_ || entry == entries_.end())
        throw Exception("ファイル \"" + target + "\" は置き換えの対象ではありません。");
    // The source is held from here until its copy is in place, and what is copied is what is
    // checked: nobody can change it in between.
    const HeldFile held(source);
    const std::string beside = target + kBesideSuffix;
    FileDigest copied;
    if (!CopyFlushedFrom(held.Get(), beside, &copied)) throw Exception(Reason(target, GetLastError()));
    if (!(copied == expected)) {
        DeleteFileEvenIfReadOnly(beside);  // ignored: the mismatch is what is reported
        throw Exception(DigestMismatch(source, expected, copied));
    }
    if (!MoveOver(beside, target)) throw Exception(Reason(target, GetLastError()));
    entry->replaced = true;
}

void FileTransaction::Commit() {
    // Ignored: a journal left behind only finds every file new at the next start.
    DeleteFileW(Utf8ToWide(folder_ + kJournalName).c_str());
    RemoveFilesIn(folder_);
}

bool FileTransaction::RollBack() {
    bool whole = true;
    std::string failure;
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        // A file whose replacement failed was never touched: moving the new content over it is
        // one step that either happened or did not.
        if (entry->replaced && !UndoEntry(*entry, failure)) whole = false;
    }
    if (!whole) return false;
    RemoveFolders(createdFolders_);
    // Ignored: a journal left behind only finds every file old again at the next start.
    DeleteFileW(Utf8ToWide(folder_ + kJournalName).c_str());
    RemoveFilesIn(folder_);
    return true;
}

bool FileTransaction::Pending(const std::string& folder) { return FileExists(folder + kJournalName); }

std::string FileTransaction::SavedCopyName(const std::string& folder, size_t index) {
    return folder + std::to_string(index) + ".sav";
}

namespace {

bool OneOf(const std::string& path, const std::vector<std::string>& allowed) {
    return std::any_of(allowed.begin(), allowed.end(), [&](const std::string& a) { return EqualsIgnoringCase(a, path); });
}

// The journal's folder and the folder above it, and the journal itself, are no junctions or
// symbolic links: a journal reached through one was not written there by this program.
bool BehindReparsePoint(const std::string& folder) {
    const std::string inside = WithoutTrailingBackslash(folder);
    return IsReparsePoint(inside) || IsReparsePoint(WithoutTrailingBackslash(ExtractFolderPart(inside))) ||
           IsReparsePoint(folder + kJournalName);
}

// Renames the refused journal's folder beside itself, so that nothing in it is read again. The
// folder is only renamed, never emptied; a junction or link is left alone, since renaming one can
// move what it points to (Wine does).
std::string SetAside(const std::string& folder) {
    const std::string from = WithoutTrailingBackslash(folder);
    if (IsReparsePoint(from)) return "";
    for (int n = 1; n < 100; ++n) {
        std::string to = from + ".refused";
        if (n > 1) {
            to += '.';
            to += std::to_string(n);
        }
        if (MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), 0)) return to;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return "";
}

}  // namespace

std::optional<std::string> FileTransaction::OutsideScope(const std::string& folder, const std::vector<Entry>& entries,
                                                         const std::vector<std::string>& folders,
                                                         const JournalScope& scope) {
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const std::string name = entry.target.substr(ExtractFolderPart(entry.target).size());
        const std::string sourceFolder = ExtractFolderPart(entry.source);
        if (!OneOf(entry.target, scope.targets))
            return "置き換えるファイル \"" + entry.target + "\" は【カレドナ】のファイルではありません。";
        if (entry.saved ? !EqualsIgnoringCase(entry.copy, SavedCopyName(folder, i)) : !entry.copy.empty())
            return "ファイル \"" + entry.target + "\" の保存したコピー \"" + entry.copy +
                   "\" は、このプログラムが保存したものではありません。";
        if (!OneOf(sourceFolder, scope.sourceFolders) ||
            !EqualsIgnoringCase(entry.source.substr(sourceFolder.size()), name))
            return "ファイル \"" + entry.target + "\" の新しい内容 \"" + entry.source +
                   "\" は、このプログラムが用意したものではありません。";
    }
    for (const std::string& created : folders)
        if (!OneOf(WithTrailingBackslash(created), scope.folders))
            return "フォルダ \"" + created + "\" は、このプログラムが作るフォルダではありません。";
    return std::nullopt;
}

FileTransaction::Recovery FileTransaction::Recover(const std::string& folder, const JournalScope& scope,
                                                   std::string& failure) {
    if (!Pending(folder)) return Recovery::Nothing;
    std::vector<Entry> entries;
    std::vector<std::string> folders;
    std::optional<std::string> refusal;
    if (BehindReparsePoint(folder))
        refusal = "記録のフォルダがジャンクションまたはシンボリック リンクです。";
    else if (!scope.protectedArea)
        refusal = "記録のフォルダは、管理者でない利用者も作ったり書き込んだりできるフォルダです。";
    else if (!Load(folder, entries, folders))
        refusal = "記録が読み取れないか、このプログラムの形式ではありません。";
    else
        refusal = OutsideScope(folder, entries, folders, scope);
    if (refusal) {
        const std::string aside = SetAside(scope.setAside.empty() ? folder : scope.setAside);
        std::string what = "前回のアップデートの記録 \"";
        what += folder + kJournalName;
        what += "\" は、このプログラムが書いたものではないため、使いませんでした。";
        failure = FailureText(
            {what,
             *refusal + "\r" +
                 (aside.empty() ? std::string("記録を移せませんでした。") : "記録は \"" + aside + "\" に移しました。"),
             ProductState::Unchanged});
        return Recovery::Refused;
    }
    if (AllNew(entries)) {
        DeleteFileW(Utf8ToWide(folder + kJournalName).c_str());  // ignored, as after a commit
        RemoveFilesIn(folder);
        return Recovery::Completed;
    }
    bool whole = true;
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (!UndoEntry(*entry, failure)) whole = false;
    }
    if (!whole) return Recovery::Failed;
    RemoveFolders(folders);
    DeleteFileW(Utf8ToWide(folder + kJournalName).c_str());  // ignored: every file is old again
    RemoveFilesIn(folder);
    return Recovery::RolledBack;
}

bool FileTransaction::Load(const std::string& folder, std::vector<Entry>& entries, std::vector<std::string>& folders) {
    // A journal lists some 20 files; anything much larger is not one (and is not read whole).
    constexpr unsigned long long kLargestJournal = 1 << 20;
    const std::optional<std::string> text = ReadFileBytes(folder + kJournalName, kLargestJournal);
    if (!text) return false;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text->substr(start, end - start));
    if (lines.size() < 2 || lines.front() != kJournalHeader || lines.back() != "END") return false;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::vector<std::string> fields = SplitFields(lines[i]);
        if (fields.size() == 5 && fields[0] == "F") {
            Entry entry;
            entry.saved = fields[1] == "1";
            entry.copy = fields[2];
            entry.source = fields[3];
            entry.target = fields[4];
            entries.push_back(std::move(entry));
        } else if (fields.size() == 2 && fields[0] == "D") {
            folders.push_back(fields[1]);
        } else {
            return false;
        }
    }
    return true;
}

bool FileTransaction::UndoEntry(const Entry& entry, std::string& failure) {
    const std::wstring target = Utf8ToWide(entry.target);
    DeleteFileEvenIfReadOnly(entry.target + kBesideSuffix);  // ignored: usually there is none
    if (!entry.saved) {
        if (!FileExists(entry.target)) return true;
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);  // ignored: the deletion tells
        if (DeleteFileW(target.c_str())) return true;
        failure = Reason(entry.target, GetLastError());
        return false;
    }
    // A saved copy that is gone was already moved back by an earlier try.
    if (!FileExists(entry.copy)) return true;
    if (FileExists(entry.target) && SameBytes(entry.copy, entry.target)) return true;
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);  // ignored: the move tells
    // On the same volume the saved copy is moved back in one step, which needs no free space.
    if (MoveFileExW(Utf8ToWide(entry.copy).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (GetLastError() == ERROR_NOT_SAME_DEVICE && ReplaceWholeFile(entry.copy, entry.target)) return true;
    failure = Reason(entry.target, GetLastError());
    return false;
}

bool FileTransaction::AllNew(const std::vector<Entry>& entries) {
    return std::all_of(entries.begin(), entries.end(), [](const Entry& entry) {
        return FileExists(entry.source) && FileExists(entry.target) && SameBytes(entry.source, entry.target);
    });
}

// Ignored results: a folder that is not empty or already gone stays or stays gone.
void FileTransaction::RemoveFolders(const std::vector<std::string>& folders) {
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        RemoveDirectoryW(Utf8ToWide(*folder).c_str());
}

// Ignored results: what cannot be removed is left; the folder holds only copies of this program.
void RemoveFilesIn(const std::string& folder) {
    // A junction or link put where the folder belongs is left alone: what it points to is not ours.
    if (IsReparsePoint(WithoutTrailingBackslash(folder))) return;
    for (const std::string& name : FileNamesIn(folder)) {
        const std::wstring path = Utf8ToWide(folder + name);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(Utf8ToWide(WithoutTrailingBackslash(folder)).c_str());
}
