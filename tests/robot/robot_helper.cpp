// A small GUI program that the robot's own tests drive. What it shows depends on its first argument:
//
//   msgbox FLAGS TITLE TEXT        the system message box (FLAGS in hex, e.g. 0x21 = MB_OKCANCEL |
//                                  MB_ICONQUESTION); exit code: the box's result (IDOK, IDCANCEL ...)
//   dialog ICON BUTTONS DEFAULT TITLE TEXT
//                                  a message dialog made from an in-memory template, laid out like
//                                  the program's own (text static 0xFFFF, icon static 20); ICON is
//                                  none|question|error|information|warning|application,
//                                  BUTTONS ok|okcancel|yesno,
//                                  DEFAULT the id of the default button; exit code: the button's id
//   input CAPTION PROMPT INITIAL RESULTFILE
//                                  a one-line input dialog; on OK the edit's text is written to
//                                  RESULTFILE in UTF-8; exit code: IDOK or IDCANCEL
//   window                         a top-level window with a menu and a few controls; every command
//                                  is shown in the status label; exit code: the last command's id
//   sequence                       two system message boxes in turn: a question with OK and Cancel,
//                                  then, after OK, an information box; exit code: 10 * first
//                                  result + second result (first result alone after Cancel)
//   exit N                         ends at once with exit code N
//   touch NAME                     creates the file NAME in the current folder, exit code 0
//   wait                           waits forever without a window
//
// In TITLE, TEXT, PROMPT and INITIAL the two-character sequences \r and \n stand for CR and LF.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring Unescape(const std::wstring& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == L'\\' && i + 1 < s.size()) {
            wchar_t n = s[i + 1];
            if (n == L'r') {
                out += L'\r';
                ++i;
                continue;
            }
            if (n == L'n') {
                out += L'\n';
                ++i;
                continue;
            }
            if (n == L'\\') {
                out += L'\\';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// In-memory dialog templates

class Template {
public:
    Template(DWORD style, short cx, short cy) {
        Align(4);
        DLGTEMPLATE t{};
        t.style = style | DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
        t.cx = cx;
        t.cy = cy;
        countAt_ = bytes_.size() + offsetof(DLGTEMPLATE, cdit);
        Raw(&t, sizeof t);
        Word(0);  // no menu
        Word(0);  // the dialog class
        Word(0);  // no title (set at WM_INITDIALOG)
        Word(9);  // point size
        Text(L"MS UI Gothic");
    }
    void Item(WORD atom, DWORD style, short x, short y, short cx, short cy, WORD id, const wchar_t* text = L"") {
        Align(4);
        DLGITEMTEMPLATE i{};
        i.style = style | WS_CHILD | WS_VISIBLE;
        i.x = x;
        i.y = y;
        i.cx = cx;
        i.cy = cy;
        i.id = id;
        Raw(&i, sizeof i);
        Word(0xFFFF);
        Word(atom);
        Text(text);
        Word(0);  // no creation data
        WORD count;
        std::memcpy(&count, bytes_.data() + countAt_, sizeof count);
        ++count;
        std::memcpy(bytes_.data() + countAt_, &count, sizeof count);
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(bytes_.data()); }

private:
    void Raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    void Word(WORD w) { Raw(&w, sizeof w); }
    void Text(const wchar_t* s) { Raw(s, (std::wcslen(s) + 1) * sizeof(wchar_t)); }
    void Align(size_t n) {
        while (bytes_.size() % n) bytes_.push_back(0);
    }
    std::vector<uint8_t> bytes_;
    size_t countAt_ = 0;
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kTextId = 0xFFFF;
constexpr WORD kIconId = 20;
constexpr WORD kPromptId = 100;
constexpr WORD kEditId = 101;

struct MessageDialog {
    std::wstring title, text, icon;
    int defaultId = IDOK;
};

INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        const auto* d = reinterpret_cast<const MessageDialog*>(lParam);
        SetWindowTextW(dialog, d->title.c_str());
        SetDlgItemTextW(dialog, kTextId, d->text.c_str());
        LPCWSTR icon = nullptr;
        if (d->icon == L"question") icon = IDI_QUESTION;
        if (d->icon == L"error") icon = IDI_ERROR;
        if (d->icon == L"information") icon = IDI_INFORMATION;
        if (d->icon == L"warning") icon = IDI_WARNING;
        if (d->icon == L"application") icon = IDI_APPLICATION;
        if (icon)
            SendDlgItemMessageW(dialog, kIconId, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, icon)), 0);
        SendMessageW(dialog, DM_SETDEFID, d->defaultId, 0);
        SetFocus(GetDlgItem(dialog, d->defaultId));
        return FALSE;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && GetDlgItem(dialog, LOWORD(wParam))) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_CLOSE: EndDialog(dialog, IDCANCEL); return TRUE;
    }
    return FALSE;
}

int ShowMessageDialog(const std::wstring& icon, const std::wstring& buttons, int defaultId, const std::wstring& title,
                      const std::wstring& text) {
    Template t(0, 220, 80);
    // Buttons are written in the template from right to left, so that their order in the template
    // differs from their order on the screen.
    if (buttons == L"yesno") {
        t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 114, 58, 50, 14, IDNO, L"いいえ(&N)");
        t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 56, 58, 50, 14, IDYES, L"はい(&Y)");
    } else if (buttons == L"okcancel") {
        t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 114, 58, 50, 14, IDCANCEL, L"キャンセル");
        t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 56, 58, 50, 14, IDOK, L"OK");
    } else {
        t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 85, 58, 50, 14, IDOK, L"OK");
    }
    t.Item(kStaticAtom, SS_ICON, 10, 10, 0, 0, kIconId);
    t.Item(kStaticAtom, SS_LEFT | SS_NOPREFIX, 40, 10, 170, 40, kTextId);
    MessageDialog d{title, text, icon, defaultId};
    return static_cast<int>(DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), nullptr, MessageDialogProc,
                                                    reinterpret_cast<LPARAM>(&d)));
}

struct InputDialog {
    std::wstring caption, prompt, value;
};

INT_PTR CALLBACK InputDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto* d = reinterpret_cast<InputDialog*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SetWindowTextW(dialog, d->caption.c_str());
        SetDlgItemTextW(dialog, kPromptId, d->prompt.c_str());
        SetDlgItemTextW(dialog, kEditId, d->value.c_str());
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            auto* d = reinterpret_cast<InputDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
            wchar_t buffer[1024] = {};
            GetDlgItemTextW(dialog, kEditId, buffer, 1024);
            d->value = buffer;
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int ShowInputDialog(const std::wstring& caption, const std::wstring& prompt, const std::wstring& initial,
                    const std::wstring& resultFile) {
    Template t(0, 200, 66);
    t.Item(kStaticAtom, SS_LEFT | SS_NOPREFIX, 8, 6, 184, 10, kPromptId);
    t.Item(kEditAtom, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 8, 20, 184, 12, kEditId);
    t.Item(kButtonAtom, BS_DEFPUSHBUTTON | WS_TABSTOP, 88, 44, 50, 14, IDOK, L"OK");
    t.Item(kButtonAtom, BS_PUSHBUTTON | WS_TABSTOP, 142, 44, 50, 14, IDCANCEL, L"キャンセル");
    InputDialog d{caption, prompt, initial};
    const int result = static_cast<int>(DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), nullptr,
                                                                InputDialogProc, reinterpret_cast<LPARAM>(&d)));
    if (result == IDOK) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, d.value.c_str(), static_cast<int>(d.value.size()), nullptr, 0,
                                          nullptr, nullptr);
        std::string utf8(n, '\0');
        WideCharToMultiByte(CP_UTF8, 0, d.value.c_str(), static_cast<int>(d.value.size()), utf8.data(), n, nullptr,
                            nullptr);
        HANDLE f = CreateFileW(resultFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 99;
        DWORD written = 0;
        WriteFile(f, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        CloseHandle(f);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// A window in the shape of the program's main window

constexpr int kStatusLabel = 10;
constexpr int kCountLabel = 11;
constexpr int kProgress = 12;
constexpr int kStartButton = 1001;
constexpr int kStopButton = 1002;
constexpr int kHiddenButton = 1003;
int lastCommand = 0;

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        lastCommand = id;
        SetDlgItemTextW(window, kStatusLabel, (L"command " + std::to_wstring(id)).c_str());
        if (id == kStartButton) EnableWindow(GetDlgItem(window, kStopButton), TRUE);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // The count label is written in blue.
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == kCountLabel) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(0, 0, 255));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    case WM_DESTROY: PostQuitMessage(lastCommand); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int ShowWindowForm() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = FormProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = L"RobotHelperForm";
    RegisterClassW(&wc);

    HMENU bar = CreateMenu();
    HMENU settings = CreatePopupMenu();
    AppendMenuW(settings, MF_STRING, 101, L"プロキシ IP(&I)...");
    AppendMenuW(settings, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(settings, MF_STRING | MF_GRAYED, 102, L"プロキシ Port(&P)...");
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), L"設定(&S)");
    AppendMenuW(bar, MF_STRING, 201, L"終了(&X)");

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, 400, 200};
    AdjustWindowRect(&r, style, TRUE);
    HWND form = CreateWindowExW(0, wc.lpszClassName, L"ロボット試験 Ver1.0", style, 40, 40, r.right - r.left,
                                r.bottom - r.top, nullptr, bar, instance, nullptr);
    // Controls use "ＭＳ ゴシック" 12 pixels high; the count label a bold one of 16 pixels; the hidden
    // button keeps the system font.
    auto makeFont = [](int height, int weight) {
        return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"ＭＳ ゴシック");
    };
    HFONT normal = makeFont(12, FW_NORMAL);
    HFONT bold = makeFont(16, FW_BOLD);
    auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD s, int x, int y, int w, int h, int id) {
        HWND c = CreateWindowExW(0, cls, text, WS_CHILD | s, x, y, w, h, form,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        if (id != kHiddenButton)
            SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(id == kCountLabel ? bold : normal), FALSE);
        return c;
    };
    child(L"STATIC", L"待機中", WS_VISIBLE | SS_LEFT, 16, 16, 200, 20, kStatusLabel);
    child(L"STATIC", L"0 / 19", WS_VISIBLE | SS_RIGHT, 276, 16, 100, 20, kCountLabel);
    HWND progress = child(PROGRESS_CLASSW, L"", WS_VISIBLE, 16, 60, 360, 20, kProgress);
    SendMessageW(progress, PBM_SETRANGE32, 0, 19);
    SendMessageW(progress, PBM_SETPOS, 7, 0);
    child(L"BUTTON", L"開始", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 16, 120, 100, 28, kStartButton);
    child(L"BUTTON", L"中止", WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, 130, 120, 100, 28, kStopButton);
    child(L"BUTTON", L"隠し", WS_TABSTOP | BS_PUSHBUTTON, 244, 120, 100, 28, kHiddenButton);
    ShowWindow(form, SW_SHOW);
    UpdateWindow(form);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);
    auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::wstring(); };
    const std::wstring mode = arg(1);

    if (mode == L"msgbox") {
        const UINT flags = static_cast<UINT>(std::wcstoul(arg(2).c_str(), nullptr, 16));
        return MessageBoxW(nullptr, Unescape(arg(4)).c_str(), Unescape(arg(3)).c_str(), flags);
    }
    if (mode == L"dialog")
        return ShowMessageDialog(arg(2), arg(3), std::wcstol(arg(4).c_str(), nullptr, 10), Unescape(arg(5)),
                                 Unescape(arg(6)));
    if (mode == L"input") return ShowInputDialog(Unescape(arg(2)), Unescape(arg(3)), Unescape(arg(4)), arg(5));
    if (mode == L"window") return ShowWindowForm();
    if (mode == L"sequence") {
        const int first =
            MessageBoxW(nullptr, L"一つ目の質問です。\r続けますか？", L"確認", MB_OKCANCEL | MB_ICONQUESTION);
        if (first != IDOK) return first;
        return 10 * first + MessageBoxW(nullptr, L"二つ目のお知らせです。", L"情報", MB_OK | MB_ICONINFORMATION);
    }
    if (mode == L"exit") return std::wcstol(arg(2).c_str(), nullptr, 10);
    if (mode == L"touch") {
        HANDLE f = CreateFileW(arg(2).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 1;
        CloseHandle(f);
        return 0;
    }
    if (mode == L"wait") {
        Sleep(INFINITE);
        return 0;
    }
    return 3;
}
