#pragma once
// The binding to the LHA archiver library UNLHA32.DLL: one procedure variable per entry point of
// the library, bound to the library's export when it has one and to a stub otherwise. A stub
// shows "<name>: LHA.DLL not loaded." in a "PANIC!!" box and returns 0, so a missing library
// never stops the program; it shows up only when an entry point is called.
//
// Every entry point takes 32-bit arguments in the standard calling convention of library exports;
// a stub has the same signature as its variable, so a call through an unbound variable leaves the
// caller's stack as a real call would.

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// Argument slots of the entry points whose exact types the program does not use.
using LhaArg = UINT_PTR;

template <int Slots>
struct LhaEntryType;
template <>
struct LhaEntryType<0> {
    using type = int(WINAPI*)();
};
template <>
struct LhaEntryType<1> {
    using type = int(WINAPI*)(LhaArg);
};
template <>
struct LhaEntryType<2> {
    using type = int(WINAPI*)(LhaArg, LhaArg);
};
template <>
struct LhaEntryType<3> {
    using type = int(WINAPI*)(LhaArg, LhaArg, LhaArg);
};
template <int Slots>
using LhaEntry = typename LhaEntryType<Slots>::type;

// Unlha(owner window, command line, output buffer, output buffer size).
using UnlhaEntry = int(WINAPI*)(HWND, LPCSTR, LPSTR, DWORD);

// The entry points in the library's table order: name and argument slots.
// clang-format off
#define KARUPDT_LHA_ENTRIES(X)                                                                                  \
    X(UnlhaGetVersion, 0) X(UnlhaGetSubVersion, 0) X(UnlhaGetRunning, 0) X(UnlhaGetBackGroundMode, 0)           \
    X(UnlhaSetBackGroundMode, 1) X(UnlhaGetCursorMode, 0) X(UnlhaSetCursorMode, 1) X(UnlhaGetCursorInterval, 0) \
    X(UnlhaSetCursorInterval, 1) X(Unlha, 4) X(UnlhaCheckArchive, 2) X(UnlhaConfigDialog, 3)                    \
    X(UnlhaGetFileCount, 1) X(UnlhaOpenArchive, 3) X(UnlhaCloseArchive, 1) X(UnlhaFindFirst, 3)                 \
    X(UnlhaFindNext, 2) X(UnlhaGetArcFileName, 3) X(UnlhaGetArcFileSize, 1) X(UnlhaGetArcOriginalSize, 1)       \
    X(UnlhaGetArcCompressedSize, 1) X(UnlhaGetArcRatio, 1) X(UnlhaGetArcDate, 1) X(UnlhaGetArcTime, 1)          \
    X(UnlhaGetArcOSType, 1) X(UnlhaGetFileName, 3) X(UnlhaGetMethod, 3) X(UnlhaGetOriginalSize, 1)              \
    X(UnlhaGetCompressedSize, 1) X(UnlhaGetRatio, 1) X(UnlhaGetDate, 1) X(UnlhaGetTime, 1)                      \
    X(UnlhaGetWriteTime, 1) X(UnlhaGetAccessTime, 1) X(UnlhaGetCreateTime, 1) X(UnlhaGetCRC, 1)                 \
    X(UnlhaGetAttribute, 1) X(UnlhaGetOSType, 1) X(UnlhaQueryFunctionList, 1) X(UnlhaSetOwnerWindow, 1)         \
    X(UnlhaClearOwnerWindow, 0)
// clang-format on

template <int Slots>
struct LhaVariableType {
    using type = LhaEntry<Slots>;
};
template <>
struct LhaVariableType<4> {
    using type = UnlhaEntry;
};

#define KARUPDT_DECLARE_LHA_ENTRY(name, slots) extern LhaVariableType<slots>::type name;
KARUPDT_LHA_ENTRIES(KARUPDT_DECLARE_LHA_ENTRY)
#undef KARUPDT_DECLARE_LHA_ENTRY

inline constexpr std::size_t kLhaEntryCount = 41;

// The folders the library is looked for in, in this order, each ending with "\": the folder of the
// running program, the System folder, the Windows folder. Never the current folder or PATH: the
// program runs with administrator rights from wherever it was saved, and a DLL found there by its
// bare name would run with them.
std::vector<std::string> LhaLibraryFolders();

// Binds every variable to its stub, then loads "UNLHA32.DLL" by its full path from the first of
// LhaLibraryFolders() that holds a loadable one, and binds each entry the library exports. The
// library's own dependencies come from its folder and the System folder only. Once, at start-up.
void LoadLhaLibrary();
// The same for the library at `path`, which must be a full path (anything else loads nothing).
// For tests.
void LoadLhaLibraryFile(const std::wstring& path);
// Releases the library when one was loaded. Once, at exit.
void FreeLhaLibrary();
// True when the library was loaded.
bool LhaLibraryLoaded();
// The full path of the library loaded (UTF-8), "" when none.
std::string LhaLibraryPath();
// The folders the last LoadLhaLibrary looked in, in order, one per line (UTF-8, lines separated
// by "\r", each folder ending with "\"): for a message that says where no archiver was found.
std::string LhaSearchedFolders();

// For tests: the name of entry `index` (table order) and whether its variable is bound to the
// library (false: to its stub).
const char* LhaEntryName(std::size_t index);
bool LhaEntryBound(std::size_t index);

// Loads the library at start-up and releases it at the end of the scope.
class LhaLibraryScope {
public:
    LhaLibraryScope() { LoadLhaLibrary(); }
    ~LhaLibraryScope() { FreeLhaLibrary(); }
    LhaLibraryScope(const LhaLibraryScope&) = delete;
    LhaLibraryScope& operator=(const LhaLibraryScope&) = delete;
};
