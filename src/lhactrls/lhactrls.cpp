#include "lhactrls.h"

#include "util/folders.h"
#include "util/handle.h"
#include "util/text.h"

#include <array>
#include <string>

namespace {

ModuleHandle g_library;
std::wstring g_libraryPath;
std::vector<std::string> g_searched;

constexpr wchar_t kLibraryName[] = L"UNLHA32.DLL";

HMODULE LoadByFullPath(const std::wstring& path) {
    // The library's own imports from its folder and the System folder only. Windows without
    // the loader update that brought these flags refuses them; the altered search path then
    // looks in the library's folder first, and the current folder is out of the search since
    // start-up (SetDllDirectory).
    HMODULE loaded =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!loaded && GetLastError() == ERROR_INVALID_PARAMETER)
        loaded = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return loaded;
}

void ShowMissingEntry(const char* name) {
    const std::string text = std::string(name) + ": LHA.DLL not loaded.";
    MessageBoxW(nullptr, Utf8ToWide(text).c_str(), L"PANIC!!", MB_OK | MB_ICONERROR);
}

// The stub of an entry has exactly the entry's signature.
template <const char* Name, typename Signature>
struct Stub;
template <const char* Name, typename Result, typename... Args>
struct Stub<Name, Result(WINAPI*)(Args...)> {
    static Result WINAPI Call(Args...) {
        ShowMissingEntry(Name);
        return 0;
    }
};

struct EntrySlot {
    const char* name;
    void (*bindStub)();
    void (*bindExport)(FARPROC address);
    bool (*bound)();
};

#define KARUPDT_LHA_NAME(name, slots) constexpr char k##name##Name[] = #name;
KARUPDT_LHA_ENTRIES(KARUPDT_LHA_NAME)
#undef KARUPDT_LHA_NAME

}  // namespace

#define KARUPDT_DEFINE_LHA_ENTRY(name, slots) \
    LhaVariableType<slots>::type name = &Stub<k##name##Name, LhaVariableType<slots>::type>::Call;
KARUPDT_LHA_ENTRIES(KARUPDT_DEFINE_LHA_ENTRY)
#undef KARUPDT_DEFINE_LHA_ENTRY

namespace {

#define KARUPDT_LHA_SLOT(name, slots)                                                                      \
    EntrySlot{k##name##Name, [] { name = &Stub<k##name##Name, LhaVariableType<slots>::type>::Call; },      \
              [](FARPROC address) {                                                                        \
                  name = reinterpret_cast<LhaVariableType<slots>::type>(reinterpret_cast<void*>(address)); \
              },                                                                                           \
              [] { return name != &Stub<k##name##Name, LhaVariableType<slots>::type>::Call; }},
const std::array<EntrySlot, kLhaEntryCount> kSlots = {{KARUPDT_LHA_ENTRIES(KARUPDT_LHA_SLOT)}};
#undef KARUPDT_LHA_SLOT

}  // namespace

std::vector<std::string> LhaLibraryFolders() {
    std::vector<std::string> folders;
    for (const std::string& folder : {GetProgramFolder(), GetSystemFolder(), GetWindowsFolder()}) {
        if (!folder.empty()) folders.push_back(WithTrailingBackslash(folder));
    }
    return folders;
}

void LoadLhaLibrary() {
    FreeLhaLibrary();
    g_searched = LhaLibraryFolders();
    for (const std::string& folder : g_searched) {
        const std::wstring path = Utf8ToWide(folder) + kLibraryName;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        LoadLhaLibraryFile(path);
        if (LhaLibraryLoaded()) return;
    }
}

void LoadLhaLibraryFile(const std::wstring& path) {
    FreeLhaLibrary();
    if (!IsFullPath(WideToUtf8(path))) return;
    HMODULE loaded = LoadByFullPath(path);
    // Module handles below 32 are the old way of saying that nothing was loaded.
    if (reinterpret_cast<UINT_PTR>(loaded) < 32) return;
    g_library.reset(loaded);
    g_libraryPath = path;
    for (const EntrySlot& slot : kSlots) {
        if (FARPROC address = GetProcAddress(g_library.get(), slot.name)) slot.bindExport(address);
    }
}

void FreeLhaLibrary() {
    g_library.reset();
    g_libraryPath.clear();
    for (const EntrySlot& slot : kSlots) slot.bindStub();
}

bool LhaLibraryLoaded() { return static_cast<bool>(g_library); }

std::string LhaLibraryPath() { return WideToUtf8(g_libraryPath); }

std::string LhaSearchedFolders() {
    std::string text;
    for (const std::string& folder : g_searched) text += (text.empty() ? "" : "\r") + folder;
    return text;
}

const char* LhaEntryName(std::size_t index) { return index < kSlots.size() ? kSlots[index].name : nullptr; }

bool LhaEntryBound(std::size_t index) { return index < kSlots.size() && kSlots[index].bound(); }
