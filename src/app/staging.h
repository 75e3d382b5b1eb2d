#pragma once
// The run's own folder inside the work folder: the downloads, the expanded and extracted files, the
// registration tool, and the installation's saved copies and journal live there, never in the work
// folder itself, which any user of the workstation may be able to write.
//
// Each run removes what is there and creates the folder afresh, with a security descriptor that
// lets only Administrators and SYSTEM in, given in the very call that creates it, so that there is
// no moment when others could write it; a junction or symbolic link found on the way is removed as
// a link, never followed. While the run lasts, the folder is held open without delete sharing, so
// that it cannot be renamed or replaced. What the run writes there is recorded (size and SHA-256),
// and a file is used only when it still holds what was recorded (see HeldFile).

#include "util/handle.h"
#include "util/sha256.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// The protected descriptor of the folder: full control for Administrators and SYSTEM, inherited by
// everything inside, nothing inherited from above.
inline constexpr const wchar_t* kStagingSddl = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// "<work folder>KarUpdt.stage\".
std::string StagingFolderOf(const std::string& workPath);
// Where the installation keeps its saved copies and journal: "<staging folder>undo\".
std::string UndoFolder(const std::string& workPath);

// The folder's owner is Administrators, SYSTEM or the user this program runs as, and nobody else
// may change what it holds; it is no junction or symbolic link. A folder that any other user made,
// or may write, is not.
bool IsProtectedFolder(const std::string& path);

// The folders on the way to the installation and its work folder, from below the drive's root down
// to the last one, each opened as itself (never through a junction or link) and held without
// delete sharing for as long as this lives: none of them can be renamed, removed or replaced by a
// link meanwhile, so that every path through them names the same folders for the whole run. The
// installation folder is one that users may change; without this, someone could move it aside and
// put a junction in its place between a check of a file and its use.
class HeldFolders {
public:
    // Holds every folder on the way to `folder` (a full path on a drive, ending with "\") that is
    // not held yet. Throws Exception naming the first that is a junction or link, or that cannot
    // be opened so (held by someone else to be deleted, say); nothing is created or changed.
    void Hold(const std::string& folder);

private:
    std::vector<std::string> paths_;  // in upper case, as held
    std::vector<FileHandle> handles_;
};

// What the run wrote into a file.
struct FileDigest {
    unsigned long long size = 0;
    Sha256Digest sha256{};
    bool operator==(const FileDigest&) const = default;
};

class StagingFolder {
public:
    // Removes the folder inside `workPath` and creates it afresh. Throws Exception with the reason
    // for the user when it cannot be done safely (the work folder or the folder itself a link that
    // cannot be removed, the folder made by someone else in between, ...).
    void Create(const std::string& workPath);
    bool Created() const { return static_cast<bool>(handle_); }
    // The folder, ending with "\".
    const std::string& Path() const { return path_; }

    // A file the run wrote, with what it holds.
    void Record(const std::string& path, const FileDigest& digest);
    // What the run recorded for `path`; nothing when it wrote no such file.
    std::optional<FileDigest> Recorded(const std::string& path) const;

private:
    std::string path_;
    FileHandle handle_;
    std::map<std::string, FileDigest> recorded_;  // by the path in upper case
};

// A file opened for reading so that nobody can change, replace, rename or delete it while it is
// held (no write or delete sharing; a junction or link is not followed). What is checked through
// it is what is used.
class HeldFile {
public:
    // Throws Exception naming the file when it cannot be opened so.
    explicit HeldFile(const std::string& path);
    HANDLE Get() const { return handle_.get(); }
    const std::string& Path() const { return path_; }
    // Reads the whole file from its start: its size and SHA-256.
    FileDigest Digest() const;
    // Throws Exception when the file does not hold `expected` (its size, else its content).
    void Expect(const FileDigest& expected) const;

private:
    std::string path_;
    FileHandle handle_;
};

// Why `actual`, the file `name`, is not what was expected, for the user.
std::string DigestMismatch(const std::string& path, const FileDigest& expected, const FileDigest& actual);
