/* robot_window_hook.dll: lets the test robot read what only a window's own process can read.
 *
 * A menu (Wine 8 refuses GetMenuItemCount and GetMenuItemInfoW for a menu of another process) and
 * the fonts of a window and its controls (font handles belong to their process). The robot installs
 * RobotWindowHook as a WH_CALLWNDPROC hook on the window's thread; the system loads this library
 * into that process, and when the robot sends the registered message "KarUpdtRobot.Read" to the
 * window (wParam: what to read, lParam: a number naming the robot's file mapping
 * "KarUpdtRobotRead_<number>"), the hook reads it there and writes UTF-16 lines into the mapping,
 * ended by a zero:
 *   wParam 0, the menu:  "menu" LF, then per item  depth TAB id TAB type TAB state TAB caption LF
 *                        (a pop-up's items follow it, one level deeper)
 *   wParam 1, fonts:     "fonts" LF, then for the window and each child in turn
 *                        handle TAB height TAB weight TAB italic TAB charset TAB face LF
 *                        (height 0 and no face when the window has no font of its own)
 *   wParam 2, icons:     "icons" LF, then for each icon static (SS_ICON) among the window's children
 *                        handle TAB kind LF, kind being the system icon it shows, compared by handle
 *                        with LoadIconW(NULL, ...) in this process: 0 none, 1 IDI_QUESTION,
 *                        2 IDI_ERROR, 3 IDI_INFORMATION, 4 IDI_WARNING, 5 another icon */

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define MAPPING_CHARS (64 * 1024)

static size_t Append(wchar_t* out, size_t at, const wchar_t* text) {
    size_t n = wcslen(text);
    if (at + n + 1 >= MAPPING_CHARS) return at;
    memcpy(out + at, text, n * sizeof(wchar_t));
    out[at + n] = 0;
    return at + n;
}

static void Clean(wchar_t* text) {
    for (wchar_t* c = text; *c; ++c)
        if (*c == L'\t' || *c == L'\n') *c = L' ';
}

static size_t WriteMenu(HMENU menu, int depth, wchar_t* out, size_t at) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count && depth < 8; ++i) {
        wchar_t caption[512] = {0};
        wchar_t line[700];
        MENUITEMINFOW info;
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = caption;
        info.cch = 512;
        if (!GetMenuItemInfoW(menu, (UINT)i, TRUE, &info)) continue;
        Clean(caption);
        swprintf(line, 700, L"%d\t%u\t%u\t%u\t%ls\n", depth, info.wID, info.fType, info.fState, caption);
        at = Append(out, at, line);
        if (info.hSubMenu) at = WriteMenu(info.hSubMenu, depth + 1, out, at);
    }
    return at;
}

static size_t WriteFont(HWND window, wchar_t* out, size_t at) {
    wchar_t line[200];
    LOGFONTW font;
    HFONT handle = (HFONT)SendMessageW(window, WM_GETFONT, 0, 0);
    memset(&font, 0, sizeof font);
    if (handle && GetObjectW(handle, sizeof font, &font) == sizeof font) {
        Clean(font.lfFaceName);
        swprintf(line, 200, L"%lu\t%ld\t%ld\t%u\t%u\t%ls\n", (unsigned long)(ULONG_PTR)window, font.lfHeight,
                 font.lfWeight, font.lfItalic, font.lfCharSet, font.lfFaceName);
    } else {
        swprintf(line, 200, L"%lu\t0\t0\t0\t0\t\n", (unsigned long)(ULONG_PTR)window);
    }
    return Append(out, at, line);
}

static size_t WriteIcons(HWND window, wchar_t* out, size_t at) {
    static const LPCWSTR systemIcons[] = {IDI_QUESTION, IDI_ERROR, IDI_INFORMATION, IDI_WARNING};
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t className[32] = {0};
        wchar_t line[64];
        GetClassNameW(c, className, 32);
        if (lstrcmpiW(className, L"Static") != 0 || (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
        HICON icon = (HICON)SendMessageW(c, STM_GETICON, 0, 0);
        int kind = icon ? 5 : 0;
        for (int i = 0; icon && i < 4; ++i)
            if (icon == LoadIconW(NULL, systemIcons[i])) kind = i + 1;
        swprintf(line, 64, L"%lu\t%d\n", (unsigned long)(ULONG_PTR)c, kind);
        at = Append(out, at, line);
    }
    return at;
}

__declspec(dllexport) LRESULT CALLBACK RobotWindowHook(int code, WPARAM wParam, LPARAM lParam) {
    static UINT readMessage;
    if (!readMessage) readMessage = RegisterWindowMessageW(L"KarUpdtRobot.Read");
    if (code == HC_ACTION) {
        const CWPSTRUCT* call = (const CWPSTRUCT*)lParam;
        if (call->message == readMessage) {
            wchar_t name[64];
            swprintf(name, 64, L"KarUpdtRobotRead_%lu", (unsigned long)call->lParam);
            HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
            if (mapping) {
                wchar_t* out = (wchar_t*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
                if (out) {
                    out[0] = 0;
                    if (call->wParam == 0) {
                        HMENU menu = GetMenu(call->hwnd);
                        if (menu) WriteMenu(menu, 0, out, Append(out, 0, L"menu\n"));
                    } else if (call->wParam == 2) {
                        WriteIcons(call->hwnd, out, Append(out, 0, L"icons\n"));
                    } else if (call->wParam == 1) {
                        size_t at = WriteFont(call->hwnd, out, Append(out, 0, L"fonts\n"));
                        for (HWND c = GetWindow(call->hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
                            at = WriteFont(c, out, at);
                    }
                    UnmapViewOfFile(out);
                }
                CloseHandle(mapping);
            }
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
