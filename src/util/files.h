#pragma once
// Small file queries and whole-file reads. Paths are UTF-8.

#include "util/handle.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// True when the path names an existing file (a folder of that name gives false).
bool FileExists(std::string_view path);

// The path names a reparse point (a junction or a symbolic link), which the program never follows
// where it writes or deletes.
bool IsReparsePoint(std::string_view path);

// The file's size in bytes; 0 when it is missing or cannot be queried.
unsigned long long FileSizeOf(std::string_view path);

// The names of the files (not folders) in `folder` (ending with "\\"); empty when there is none.
std::vector<std::string> FileNamesIn(std::string_view folder);

// What the program reads whole (settings, its journal) is small; a file beyond this size is none of
// them, and is refused rather than read into the memory of a 32-bit process.
inline constexpr unsigned long long kLargestWholeRead = 16ULL << 20;

// The file's bytes, or nothing when it cannot be opened or read or is larger than `limit`.
std::optional<std::string> ReadFileBytes(std::string_view path, unsigned long long limit = kLargestWholeRead);

// Up to `count` bytes of the file from `offset` (fewer at its end), or nothing when it cannot be
// opened or read.
std::optional<std::string> ReadFilePart(std::string_view path, unsigned long long offset, size_t count);

// Deletes the file `path`. A read-only file refuses deletion: its attributes are then cleared and
// the deletion tried again, unless a junction or link stands there (clearing them would reach
// through it to what it points to). False, with the system's error code set, when it stays.
bool DeleteFileEvenIfReadOnly(std::string_view path);

// Creates `path` as a new, empty file open for writing that nobody else shares. Whatever had that
// name goes first, as a name: a file is deleted, a link put there is removed as a link, never
// written through (the file is made with CREATE_NEW, which fails rather than follow one put back
// meanwhile). An invalid handle, with the system's error code set, when it cannot be made.
FileHandle CreateFreshFile(std::string_view path);

// Writes `bytes` as the whole content of the file, replacing one of that name in one step: the
// bytes are written beside it, flushed to disk and moved over it, so that the file never holds
// part of its new content, nor none. False when it cannot be written or replaced (the old file
// then stays as it was); GetLastError() then tells why.
bool WriteWholeFile(std::string_view path, std::string_view bytes);

// The system's description of an error code, without its line end.
std::string SystemErrorText(unsigned long code);

// A text file in the system's ANSI code page, converted to UTF-8; nothing when it cannot be read.
std::optional<std::string> ReadAnsiTextFile(std::string_view path);
