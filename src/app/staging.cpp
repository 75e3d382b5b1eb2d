#include "staging.h"

#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/sha256_hasher.h"
#include "util/text.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

namespace {

using SecurityDescriptor = UniqueHandle<NullHandleTraits<PSECURITY_DESCRIPTOR, &LocalFree>>;

std::wstring Wide(const std::string& path) { return Utf8ToWide(path); }

std::string Upper(const std::string& text) {
    std::wstring wide = Utf8ToWide(text);
    CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return WideToUtf8(wide);
}

// Removes `path` with everything in it. A junction or symbolic link is never entered nor removed:
// removing one can reach what it points to (Wine removes the folder a link points to), so it is
// left, and the caller, which checks that the folder is gone, refuses. Results are looked at there.
void RemoveTreeWithoutFollowing(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") RemoveTreeWithoutFollowing(path + L"\\" + name);
        } while (FindNextFileW(search.get(), &found));
    }
    RemoveDirectoryW(path.c_str());
}

// The file behind the handle is a plain file or folder, not a junction or link.
bool NoReparsePoint(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

struct Sid {
    std::vector<unsigned char> bytes;
    PSID get() const { return const_cast<unsigned char*>(bytes.data()); }
};

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
    Sid sid;
    DWORD size = SECURITY_MAX_SID_SIZE;
    sid.bytes.resize(size);
    if (!CreateWellKnownSid(type, nullptr, sid.get(), &size)) sid.bytes.clear();
    return sid;
}

Sid ProcessUser() {
    Sid sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    const KernelHandle owner(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return sid;
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    sid.bytes.assign(static_cast<unsigned char*>(user), static_cast<unsigned char*>(user) + GetLengthSid(user));
    return sid;
}

}  // namespace

void HeldFolders::Hold(const std::string& folder) {
    // "C:\a\b\" holds "C:\a" and "C:\a\b"; the root itself cannot be renamed.
    for (size_t end = folder.find('\\', 3); end != std::string::npos; end = folder.find('\\', end + 1)) {
        const std::string path = folder.substr(0, end);
        const std::string key = Upper(path);
        if (std::find(paths_.begin(), paths_.end(), key) != paths_.end()) continue;
        FileHandle handle(CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
        if (!handle) throw Exception("フォルダ \"" + path + "\\\" を開けません。" + SystemErrorText(GetLastError()));
        BY_HANDLE_FILE_INFORMATION information{};
        if (!GetFileInformationByHandle(handle.get(), &information))
            throw Exception("フォルダ \"" + path + "\\\" を調べられません。" + SystemErrorText(GetLastError()));
        // Asked of the handle, which names the link itself where the system opens links as
        // themselves, and of the name, for a system that opens what a link points to (Wine).
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || IsReparsePoint(path))
            throw Exception("フォルダ \"" + path +
                            "\\\" はジャンクションまたはシンボリック リンクです。このプログラムはその先を使いません。"
                            "リンクを削除してから、もう一度起動してください。");
        if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            throw Exception("\"" + path + "\" はフォルダではありません。");
        paths_.push_back(key);
        handles_.push_back(std::move(handle));
    }
}

std::string StagingFolderOf(const std::string& workPath) { return workPath + "KarUpdt.stage\\"; }

std::string UndoFolder(const std::string& workPath) { return StagingFolderOf(workPath) + "undo\\"; }

bool IsProtectedFolder(const std::string& path) {
    const FileHandle folder(CreateFileW(Wide(WithoutTrailingBackslash(path)).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder || !NoReparsePoint(folder.get())) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const SecurityDescriptor descriptor(raw);
    const Sid trusted[] = {WellKnown(WinBuiltinAdministratorsSid), WellKnown(WinLocalSystemSid), ProcessUser()};
    auto isTrusted = [&](PSID sid) {
        for (const Sid& t : trusted)
            if (!t.bytes.empty() && IsValidSid(sid) && EqualSid(sid, t.get())) return true;
        return false;
    };
    if (!owner || !isTrusted(owner) || !dacl) return false;  // no DACL lets everyone in
    // Rights that change what the folder holds, or who may.
    constexpr ACCESS_MASK kChanging = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return false;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // applies only to what is created inside
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;  // conditions or objects: not ours
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kChanging) && !isTrusted(const_cast<DWORD*>(&allowed->SidStart))) return false;
    }
    return true;
}

void StagingFolder::Create(const std::string& workPath) {
    const std::string work = WithoutTrailingBackslash(workPath);
    if (IsReparsePoint(work))
        throw Exception("作業用フォルダ \"" + workPath +
                        "\" はジャンクションまたはシンボリック リンクです。このプログラムはその先に書き込みません。");
    handle_.reset();
    recorded_.clear();
    path_ = StagingFolderOf(workPath);
    const std::wstring folder = Wide(WithoutTrailingBackslash(path_));
    // A link put where the folder belongs is not touched: removing or renaming one can reach what
    // it points to (Wine does both to the target), so the run stops and says so.
    if (IsReparsePoint(WithoutTrailingBackslash(path_)))
        throw Exception("フォルダ \"" + path_ +
                        "\" はジャンクションまたはシンボリック リンクです。このプログラムはその先を使いません。"
                        "リンクを削除してから、もう一度起動してください。");
    RemoveTreeWithoutFollowing(folder);
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
        throw Exception("フォルダ \"" + path_ + "\" を削除できません。" + SystemErrorText(GetLastError()));

    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagingSddl, SDDL_REVISION_1, &raw, nullptr))
        throw Exception("フォルダ \"" + path_ + "\" を作成できません。" + SystemErrorText(GetLastError()));
    const SecurityDescriptor descriptor(raw);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    // Fails when the folder was made again meanwhile: nothing made by someone else is used.
    if (!CreateDirectoryW(folder.c_str(), &security))
        throw Exception("フォルダ \"" + path_ + "\" を作成できません。" + SystemErrorText(GetLastError()));
    handle_.reset(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle_ || !NoReparsePoint(handle_.get())) {
        const DWORD error = GetLastError();
        handle_.reset();
        throw Exception("フォルダ \"" + path_ + "\" を開けません。" + SystemErrorText(error));
    }
}

void StagingFolder::Record(const std::string& path, const FileDigest& digest) { recorded_[Upper(path)] = digest; }

std::optional<FileDigest> StagingFolder::Recorded(const std::string& path) const {
    const auto found = recorded_.find(Upper(path));
    if (found == recorded_.end()) return std::nullopt;
    return found->second;
}

HeldFile::HeldFile(const std::string& path) : path_(path) {
    handle_.reset(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle_) throw Exception("ファイル \"" + path + "\" を開けません。" + SystemErrorText(GetLastError()));
    if (!NoReparsePoint(handle_.get()))
        throw Exception("ファイル \"" + path + "\" はシンボリック リンクです。このプログラムはその先を使いません。");
}

FileDigest HeldFile::Digest() const {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_.get(), start, nullptr, FILE_BEGIN))
        throw Exception("ファイル \"" + path_ + "\" を読み取れません。" + SystemErrorText(GetLastError()));
    Sha256Hasher hasher;
    FileDigest digest;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            throw Exception("ファイル \"" + path_ + "\" を読み取れません。" + SystemErrorText(GetLastError()));
        if (got == 0) break;
        hasher.Add(buffer.data(), got);
        digest.size += got;
    }
    digest.sha256 = hasher.Finish();
    return digest;
}

void HeldFile::Expect(const FileDigest& expected) const {
    const FileDigest actual = Digest();
    if (!(actual == expected)) throw Exception(DigestMismatch(path_, expected, actual));
}

std::string DigestMismatch(const std::string& path, const FileDigest& expected, const FileDigest& actual) {
    std::string text = "ファイル \"" + path + "\" は、このプログラムが用意したときと内容が違います";
    if (actual.size != expected.size) {
        text += "（";
        text += std::to_string(actual.size) + " バイト、用意したときは " + std::to_string(expected.size) + " バイト）";
    }
    return text + "。";
}
