/* Stands in for the system's registration tool in tests and the demo: a GUI program that appends
   its command line, as one line of UTF-8, to the file named by the environment variable
   KARUPDT_REGSVR32_LOG (or "regsvr32.log" beside itself when that is not set), and exits with 0.
   It registers nothing. KARUPDT_REGSVR32_FOLDER_LOG, when set, names a file to which it appends
   the folder it was started in, one line each run. For tests of what the caller does meanwhile and afterwards:
   KARUPDT_REGSVR32_WAIT_FOR names a file that it waits for (at most 60 s) before it exits, and
   KARUPDT_REGSVR32_EXIT gives the exit code to end with, as a tool that failed would. */
#include <windows.h>

static void AppendLine(const wchar_t* path, const wchar_t* text) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    if (bytes > 0) {
        char* utf8 = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)bytes + 2);
        if (utf8) {
            WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, NULL, NULL);
            utf8[bytes - 1] = '\r';
            utf8[bytes] = '\n';
            DWORD written = 0;
            WriteFile(file, utf8, (DWORD)bytes + 1, &written, NULL);
            HeapFree(GetProcessHeap(), 0, utf8);
        }
    }
    CloseHandle(file);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
    (void)instance;
    (void)previous;
    (void)arguments;
    (void)show;
    wchar_t path[MAX_PATH * 2];
    DWORD length = GetEnvironmentVariableW(L"KARUPDT_REGSVR32_LOG", path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        length = GetModuleFileNameW(NULL, path, MAX_PATH);
        while (length > 0 && path[length - 1] != L'\\') --length;
        lstrcpyW(path + length, L"regsvr32.log");
    }
    AppendLine(path, GetCommandLineW());
    length = GetEnvironmentVariableW(L"KARUPDT_REGSVR32_FOLDER_LOG", path, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) {
        wchar_t folder[MAX_PATH * 2];
        const DWORD folderLength = GetCurrentDirectoryW(MAX_PATH * 2, folder);
        if (folderLength > 0 && folderLength < MAX_PATH * 2) AppendLine(path, folder);
    }

    wchar_t value[MAX_PATH * 2];
    length = GetEnvironmentVariableW(L"KARUPDT_REGSVR32_WAIT_FOR", value, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2) {
        for (int waited = 0; waited < 6000 && GetFileAttributesW(value) == INVALID_FILE_ATTRIBUTES; ++waited) Sleep(10);
    }
    int exitCode = 0;
    length = GetEnvironmentVariableW(L"KARUPDT_REGSVR32_EXIT", value, 16);
    if (length > 0 && length < 16) {
        for (const wchar_t* c = value; *c >= L'0' && *c <= L'9'; ++c) exitCode = exitCode * 10 + (*c - L'0');
    }
    return exitCode;
}
