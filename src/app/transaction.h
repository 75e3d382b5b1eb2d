#pragma once
// Replaces a set of files all or nothing.
//
// Before the first file is changed, the current content of every file that will be replaced is
// saved in a folder of the transaction's own, flushed to disk, and a journal listing them is
// written there. Each file is then replaced whole: the new content is written beside it, flushed,
// and moved over it, so that at every moment a file holds either all of its old bytes or all of
// its new ones. A failure puts every saved file back. A run that ends without either (the process
// killed, the power lost) leaves the journal behind, and the next start finds it and undoes what
// was done, or finishes the transaction when every file is already new.

#include <optional>
#include <string>
#include <vector>

// Replaces `to` with a copy of `from` in one step: the copy is written beside it, flushed to disk
// and moved over it. False, with the system's error code set, when it fails; `to` is then as it was.
bool ReplaceFileWhole(const std::string& from, const std::string& to);

// Removes every file directly inside `folder` (ending with "\"), then the folder when it is empty.
// A folder that is a junction or a symbolic link is left as it is, never followed.
void RemoveFilesIn(const std::string& folder);

// What a journal found at start-up may name: the files the installation replaces, the folders it
// may create, and the folders its new files come from (each ending with "\"). Worked out afresh
// from the installation, never taken from the journal.
struct JournalScope {
    std::vector<std::string> targets;
    std::vector<std::string> folders;
    std::vector<std::string> sourceFolders;
    // The journal lies in a folder that only administrators can have written.
    bool protectedArea = true;
    // The folder renamed aside when the journal is refused (the run's whole folder).
    std::string setAside;
};

struct FileDigest;

class FileTransaction {
public:
    // `folder`: the transaction's own folder, ending with "\" (created when needed).
    explicit FileTransaction(std::string folder);
    FileTransaction(const FileTransaction&) = delete;
    FileTransaction& operator=(const FileTransaction&) = delete;

    // Before Begin: `target` will be replaced by the content of `source`. Saves the target's
    // current content (or notes that there is none). Throws Exception when it cannot be saved.
    void Add(const std::string& source, const std::string& target);
    // Before Begin: the folder will be needed; creates it (with its parents) and notes the
    // folders it created, so that undoing removes them again when they are empty. False when the
    // folder cannot be made.
    bool EnsureFolder(const std::string& folder);
    // Writes the journal and flushes it: from here on the transaction is undone at the next start
    // unless it is committed. Throws Exception when it cannot be written.
    void Begin();
    // Replaces the target of entry `source` → `target` (added before) with the source's content,
    // which must be `expected`: the source is held open, without write or delete sharing, from
    // before it is read until its copy is in place. Throws Exception naming the file and the
    // system's reason, or the mismatch.
    void Replace(const std::string& source, const std::string& target, const FileDigest& expected);
    // Every file is new: removes the journal, then the saved copies.
    void Commit();
    // Puts every saved file back and removes what did not exist before; true when everything is
    // as it was (the journal is then removed too).
    bool RollBack();

    // The journal's folder holds an unfinished transaction.
    static bool Pending(const std::string& folder);
    enum class Recovery { Nothing, RolledBack, Completed, Failed, Refused };
    // At start-up: finishes an unfinished transaction found in `folder`, by undoing it, or by
    // committing it when every file already holds its new content. `failure` receives the
    // reason when it returns Failed (the journal is then kept for another try).
    // A journal that this program cannot have written is never obeyed: one behind a junction or a
    // symbolic link, or with an entry outside `scope` (a target that is not one of the
    // installation's, a saved copy that is not one of the transaction's own, a source outside the
    // source folders). Nothing is then moved or deleted; the folder is renamed so that the next
    // start does not find it again, and Refused is returned with `failure` naming the journal and
    // the entry.
    static Recovery Recover(const std::string& folder, const JournalScope& scope, std::string& failure);

private:
    struct Entry {
        std::string source;
        std::string target;
        bool saved = false;  // the target existed and its content is in the saved copy
        std::string copy;    // the saved copy's path
        bool replaced = false;
    };
    static bool Load(const std::string& folder, std::vector<Entry>& entries, std::vector<std::string>& folders);
    // The first entry that lies outside `scope`, as text for the user; nothing when all lie inside.
    static std::optional<std::string> OutsideScope(const std::string& folder, const std::vector<Entry>& entries,
                                                   const std::vector<std::string>& folders, const JournalScope& scope);
    // Copy number `index` of the transaction in `folder`.
    static std::string SavedCopyName(const std::string& folder, size_t index);
    static bool UndoEntry(const Entry& entry, std::string& failure);
    static bool AllNew(const std::vector<Entry>& entries);
    static void RemoveFolders(const std::vector<std::string>& folders);

    std::string folder_;
    std::vector<Entry> entries_;
    std::vector<std::string> createdFolders_;
    bool begun_ = false;
};
