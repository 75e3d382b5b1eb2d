#include "lhactrls.h"

#include "util/handle.h"
#include "util/text.h"

#include <array>
#include <string>

namespace {

ModuleHandle g_library;

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

void LoadLhaLibrary(const wchar_t* library) {
    FreeLhaLibrary();
    HMODULE loaded = LoadLibraryW(library);
    // Module handles below 32 are the old way of saying that nothing was loaded.
    if (reinterpret_cast<UINT_PTR>(loaded) < 32) return;
    g_library.reset(loaded);
    for (const EntrySlot& slot : kSlots) {
        if (FARPROC address = GetProcAddress(g_library.get(), slot.name)) slot.bindExport(address);
    }
}

void FreeLhaLibrary() {
    g_library.reset();
    for (const EntrySlot& slot : kSlots) slot.bindStub();
}

bool LhaLibraryLoaded() { return static_cast<bool>(g_library); }

const char* LhaEntryName(std::size_t index) { return index < kSlots.size() ? kSlots[index].name : nullptr; }

bool LhaEntryBound(std::size_t index) { return index < kSlots.size() && kSlots[index].bound(); }
