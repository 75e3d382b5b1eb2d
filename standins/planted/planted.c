/* A DLL planted where a program must never load a DLL from (beside it, in the current folder),
   saved under the name of a DLL the program uses. When any process loads it, it leaves a marker
   file named after its own path in the folder named by KARUPDT_PLANTED_MARKERS, so that a test sees
   that it was loaded and from where. It does nothing else. */
#include <windows.h>

static void LeaveMarker(HINSTANCE self) {
    wchar_t folder[MAX_PATH] = L"";
    wchar_t path[MAX_PATH] = L"";
    wchar_t marker[2 * MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"KARUPDT_PLANTED_MARKERS", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    /* The marker's name is the DLL's path with its separators made plain. */
    lstrcpyW(marker, folder);
    lstrcatW(marker, L"\\");
    {
        wchar_t* name = marker + lstrlenW(marker);
        for (const wchar_t* c = path; *c; ++c) *name++ = (*c == L'\\' || *c == L':') ? L'_' : *c;
        *name = L'\0';
    }
    lstrcatW(marker, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, path, (DWORD)(lstrlenW(path) * sizeof(wchar_t)), &written, NULL);
        CloseHandle(file);
    }
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
    return TRUE;
}

/* Exported as GetFileVersionInfoSizeW (planted.def), the one function the control program imports
   from version.dll, so that the control starts with it; it finds no version information. */
DWORD WINAPI PlantedFileVersionInfoSize(LPCWSTR file, LPDWORD handle) {
    (void)file;
    if (handle) *handle = 0;
    return 0;
}
