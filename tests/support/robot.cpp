#include "robot.h"

#include "screenshot.h"
#include "version_resource.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <ostream>
#include <sstream>
#include <thread>

namespace robot {

namespace {

constexpr Duration kPoll = 20ms;
constexpr UINT kSendTimeoutMs = 1000;

using Clock = std::chrono::steady_clock;

// Calls `probe` every 20 ms until it returns true or the time is up; returns its last result.
template <typename Probe>
bool PollUntil(Duration timeout, Probe probe) {
    const auto end = Clock::now() + timeout;
    for (;;) {
        if (probe()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"')
            out += "\\\"";
        else
            out += c;
    }
    return out + "\"";
}

std::string QuoteList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quote(items[i]);
    return out + "]";
}

bool IsClass(HWND window, const wchar_t* name) { return lstrcmpiW(ClassOf(window).c_str(), name) == 0; }

bool IsPushButton(HWND control) {
    if (!IsClass(control, L"Button")) return false;
    const DWORD type = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

bool IsIconStatic(HWND control) {
    return IsClass(control, L"Static") &&
           (static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE)) & SS_TYPEMASK) == SS_ICON;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

RECT RectInParent(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Visible push buttons, left to right, then top to bottom.
std::vector<HWND> ButtonsInOrder(HWND dialog) {
    std::vector<std::pair<RECT, HWND>> buttons;
    for (HWND c : Children(dialog))
        if (IsPushButton(c) && IsWindowVisible(c)) buttons.emplace_back(RectInParent(c), c);
    std::stable_sort(buttons.begin(), buttons.end(), [](const auto& a, const auto& b) {
        if (a.first.left != b.first.left) return a.first.left < b.first.left;
        return a.first.top < b.first.top;
    });
    std::vector<HWND> out;
    for (const auto& [rect, c] : buttons) out.push_back(c);
    return out;
}

// ------------------------------------------------------------------------------------------
// Icons: the icon control's pixels on the screen against the system icons drawn here.

// The icon drawn at the given size on black and on white; pixels that come out the same on both
// are opaque and give the colour to expect; the others are transparent or blended and not compared.
struct IconPattern {
    int width = 0, height = 0;
    std::vector<uint32_t> colour;
    std::vector<bool> opaque;
};

IconPattern DrawIcon(HICON icon, int width, int height) {
    IconPattern pattern;
    HDC screen = GetDC(nullptr);
    std::vector<uint32_t> renders[2];
    for (int pass = 0; pass < 2; ++pass) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC memory = CreateCompatibleDC(screen);
        if (!bitmap || !memory || !bits) {
            if (bitmap) DeleteObject(bitmap);
            if (memory) DeleteDC(memory);
            ReleaseDC(nullptr, screen);
            return pattern;
        }
        HGDIOBJ old = SelectObject(memory, bitmap);
        RECT all{0, 0, width, height};
        FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(pass == 0 ? BLACK_BRUSH : WHITE_BRUSH)));
        DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
        GdiFlush();
        const auto* p = static_cast<const uint32_t*>(bits);
        renders[pass].assign(p, p + static_cast<size_t>(width) * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
    }
    ReleaseDC(nullptr, screen);
    pattern.width = width;
    pattern.height = height;
    pattern.colour.resize(renders[0].size());
    pattern.opaque.resize(renders[0].size());
    for (size_t i = 0; i < renders[0].size(); ++i) {
        const uint32_t a = renders[0][i] & 0xFFFFFF, b = renders[1][i] & 0xFFFFFF;
        pattern.opaque[i] = a == b;
        pattern.colour[i] = a;
    }
    return pattern;
}

bool Close(uint32_t a, uint32_t b) {
    for (int shift = 0; shift < 24; shift += 8) {
        const int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (d > 8 || d < -8) return false;
    }
    return true;
}

// Share of the pattern's opaque pixels that the screen shows in their colour (0 to 1).
double Match(const IconPattern& pattern, const ScreenPixels& screen) {
    if (pattern.width != screen.width || pattern.height != screen.height) return 0;
    size_t opaque = 0, same = 0;
    for (size_t i = 0; i < pattern.colour.size(); ++i) {
        if (!pattern.opaque[i]) continue;
        ++opaque;
        if (Close(pattern.colour[i], screen.pixels[i])) ++same;
    }
    // An icon with almost nothing opaque proves nothing.
    if (opaque < static_cast<size_t>(pattern.width * pattern.height) / 8) return 0;
    return static_cast<double>(same) / static_cast<double>(opaque);
}

HWND IconControl(HWND dialog) {
    HWND found = nullptr;
    for (HWND c : Children(dialog)) {
        if (!IsIconStatic(c)) continue;
        if (GetDlgCtrlID(c) == 20) return c;
        if (!found) found = c;
    }
    return found;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring ToWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Process

Process Process::Start(const std::wstring& program, const std::wstring& arguments, const std::wstring& workingFolder) {
    Process p;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Wine reports ERROR_INTERNAL_ERROR when the new process died inside Wine's own start-up, before
    // any of the program ran. Seen now and then on a loaded 2-core host (fresh CI runs), for the
    // tests' helper programs and KarUpdt alike: the start is tried again, twice at most, and said.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &info))
            break;
        const DWORD error = GetLastError();
        if (error == ERROR_INTERNAL_ERROR && attempt < 3) {
            std::fprintf(stderr, "robot: CreateProcessW of %s failed with error %lu inside Wine; starting it again\n",
                         ToUtf8(program).c_str(), static_cast<unsigned long>(error));
            Sleep(200);
            continue;
        }
        p.error_ = "CreateProcessW of " + ToUtf8(program) + " failed, error " + std::to_string(error);
        return p;
    }
    CloseHandle(info.hThread);
    p.handle_ = info.hProcess;
    p.id_ = info.dwProcessId;
    return p;
}

Process::Process(Process&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      id_(std::exchange(other.id_, 0)),
      error_(std::move(other.error_)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        Release();
        handle_ = std::exchange(other.handle_, nullptr);
        id_ = std::exchange(other.id_, 0);
        error_ = std::move(other.error_);
    }
    return *this;
}

Process::~Process() { Release(); }

void Process::Release() {
    if (!handle_) return;
    if (Running()) Kill();
    CloseHandle(handle_);
    handle_ = nullptr;
}

bool Process::Running() const { return handle_ && WaitForSingleObject(handle_, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> Process::WaitForExit(Duration timeout) const {
    if (!handle_) return std::nullopt;
    if (WaitForSingleObject(handle_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return std::nullopt;
    return ExitCode();
}

std::optional<DWORD> Process::ExitCode() const {
    if (!handle_ || Running()) return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(handle_, &code)) return std::nullopt;
    return code;
}

void Process::Kill(UINT exitCode) {
    if (!handle_) return;
    TerminateProcess(handle_, exitCode);
    WaitForSingleObject(handle_, 5000);
}

// ---------------------------------------------------------------------------------------------
// Finding windows

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::string TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) {
        std::wstring text(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                                SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
            text.resize(std::min<size_t>(copied, length));
            return ToUtf8(text);
        }
    }
    wchar_t buffer[4096] = {};
    const int n = InternalGetWindowText(window, buffer, 4096);
    return ToUtf8(std::wstring(buffer, buffer + std::max(n, 0)));
}

namespace {
struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM lParam) {
    auto* s = reinterpret_cast<WindowSearch*>(lParam);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (s->processId == 0 || owner == s->processId) s->found.push_back(window);
    return TRUE;
}
}  // namespace

std::vector<HWND> TopLevelWindows(DWORD processId) {
    WindowSearch search{processId, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindWindowOfClass(DWORD processId, const std::wstring& className) {
    for (HWND w : TopLevelWindows(processId))
        if (IsWindowVisible(w) && lstrcmpiW(ClassOf(w).c_str(), className.c_str()) == 0) return w;
    return nullptr;
}

HWND WaitForWindowOfClass(DWORD processId, const std::wstring& className, Duration timeout) {
    HWND found = nullptr;
    PollUntil(timeout, [&] { return (found = FindWindowOfClass(processId, className)) != nullptr; });
    return found;
}

bool WaitForWindowGone(HWND window, Duration timeout) {
    return PollUntil(timeout, [&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

// ---------------------------------------------------------------------------------------------
// Window

bool Window::Exists() const { return handle_ && IsWindow(handle_); }
bool Window::Visible() const { return Exists() && IsWindowVisible(handle_); }
bool Window::Enabled() const { return Exists() && IsWindowEnabled(handle_); }
std::string Window::ClassName() const { return ToUtf8(ClassOf(handle_)); }
std::string Window::Caption() const { return TextOf(handle_); }

SIZE Window::ClientSize() const {
    RECT r{};
    GetClientRect(handle_, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

RECT Window::ScreenRect() const {
    RECT r{};
    GetWindowRect(handle_, &r);
    return r;
}

std::vector<Control> Window::Controls() const {
    std::vector<Control> out;
    for (HWND c : Children(handle_)) {
        Control control;
        control.handle = c;
        control.className = ToUtf8(ClassOf(c));
        control.text = TextOf(c);
        control.id = GetDlgCtrlID(c);
        control.rect = RectInParent(c);
        control.style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
        control.exStyle = static_cast<DWORD>(GetWindowLongW(c, GWL_EXSTYLE));
        control.visible = (control.style & WS_VISIBLE) != 0;
        control.enabled = (control.style & WS_DISABLED) == 0;
        if (lstrcmpiW(ClassOf(c).c_str(), L"msctls_progress32") == 0) {
            DWORD_PTR value = 0;
            if (SendMessageTimeoutW(c, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &value))
                control.progressPosition = static_cast<int>(value);
            if (SendMessageTimeoutW(c, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &value))
                control.progressMin = static_cast<int>(value);
            if (SendMessageTimeoutW(c, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &value))
                control.progressMax = static_cast<int>(value);
        }
        out.push_back(std::move(control));
    }
    return out;
}

std::optional<Control> Window::ControlById(int id) const {
    for (Control& c : Controls())
        if (c.id == id) return c;
    return std::nullopt;
}

std::optional<Control> Window::ControlByText(const std::string& text) const {
    for (Control& c : Controls())
        if (c.text == text) return c;
    return std::nullopt;
}

namespace {

std::optional<std::vector<MenuItem>> ReadMenu(HMENU menu, int depth) {
    const int count = GetMenuItemCount(menu);
    if (count < 0 || depth > 8) return std::nullopt;
    std::vector<MenuItem> items;
    for (int i = 0; i < count; ++i) {
        wchar_t caption[512] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_SUBMENU | MIIM_STRING;
        info.dwTypeData = caption;
        info.cch = 512;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) return std::nullopt;
        MenuItem item;
        item.caption = ToUtf8(caption);
        item.id = info.wID;
        item.separator = (info.fType & MFT_SEPARATOR) != 0;
        item.enabled = (info.fState & (MFS_DISABLED | MFS_GRAYED)) == 0;
        item.checked = (info.fState & MFS_CHECKED) != 0;
        if (info.hSubMenu) {
            auto sub = ReadMenu(info.hSubMenu, depth + 1);
            if (!sub) return std::nullopt;
            item.items = std::move(*sub);
        }
        items.push_back(std::move(item));
    }
    return items;
}

// Runs a read inside the window's own process through robot_window_hook.dll (see window_hook.c)
// and returns the lines it wrote; nothing when the hook could not run.
std::optional<std::wstring> ReadInside(HWND window, WPARAM what) {
    static HMODULE library = LoadLibraryW(BesideTestProgram(L"robot_window_hook.dll").c_str());
    if (!library) return std::nullopt;
    auto* proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(library, "RobotWindowHook")));
    if (!proc) return std::nullopt;
    static LONG counter = 0;
    const unsigned long token =
        GetCurrentProcessId() * 1000UL + static_cast<unsigned long>(InterlockedIncrement(&counter));
    const std::wstring name = L"KarUpdtRobotRead_" + std::to_wstring(token);
    constexpr DWORD kBytes = 64 * 1024 * sizeof(wchar_t);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBytes, name.c_str());
    if (!mapping) return std::nullopt;
    auto* view = static_cast<wchar_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    std::optional<std::wstring> text;
    if (view) {
        view[0] = 0;
        HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, library, GetWindowThreadProcessId(window, nullptr));
        if (hook) {
            DWORD_PTR ignored = 0;
            if (SendMessageTimeoutW(window, RegisterWindowMessageW(L"KarUpdtRobot.Read"), what,
                                    static_cast<LPARAM>(token), SMTO_ABORTIFHUNG, 5000, &ignored))
                text.emplace(view, wcsnlen(view, kBytes / sizeof(wchar_t)));
            UnhookWindowsHookEx(hook);
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return text;
}

std::vector<std::wstring> Fields(const std::wstring& line, size_t count) {
    std::vector<std::wstring> fields;
    std::wistringstream in(line);
    std::wstring field;
    for (size_t i = 0; i + 1 < count && std::getline(in, field, L'\t'); ++i) fields.push_back(field);
    field.clear();
    std::getline(in, field);
    fields.push_back(field);
    fields.resize(count);
    return fields;
}

// The system icon that an icon control shows, told inside the dialog's process by comparing icon
// handles there; nothing when that cannot be read or the icon is none of the system's.
std::optional<IconKind> ReadIconInside(HWND dialog, HWND control) {
    const std::optional<std::wstring> text = ReadInside(dialog, 2);
    if (!text || text->rfind(L"icons\n", 0) != 0) return std::nullopt;
    std::wistringstream lines(text->substr(6));
    std::wstring line;
    while (std::getline(lines, line)) {
        const std::vector<std::wstring> f = Fields(line, 2);
        if (reinterpret_cast<HWND>(static_cast<ULONG_PTR>(std::wcstoul(f[0].c_str(), nullptr, 10))) != control)
            continue;
        switch (std::wcstol(f[1].c_str(), nullptr, 10)) {
        case 0: return IconKind::None;
        case 1: return IconKind::Question;
        case 2: return IconKind::Error;
        case 3: return IconKind::Information;
        case 4: return IconKind::Warning;
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::vector<MenuItem>> ReadMenuInside(HWND window) {
    const std::optional<std::wstring> text = ReadInside(window, 0);
    if (!text || text->rfind(L"menu\n", 0) != 0) return std::nullopt;

    // depth TAB id TAB type TAB state TAB caption, one item a line, pop-ups followed by their items.
    std::vector<MenuItem> top;
    std::vector<std::vector<MenuItem>*> levels{&top};
    std::wistringstream lines(text->substr(5));
    std::wstring line;
    while (std::getline(lines, line)) {
        const std::vector<std::wstring> f = Fields(line, 5);
        const size_t depth = std::wcstoul(f[0].c_str(), nullptr, 10);
        if (depth + 1 > levels.size()) return std::nullopt;
        levels.resize(depth + 1);
        const UINT type = static_cast<UINT>(std::wcstoul(f[2].c_str(), nullptr, 10));
        const UINT state = static_cast<UINT>(std::wcstoul(f[3].c_str(), nullptr, 10));
        MenuItem item;
        item.caption = ToUtf8(f[4]);
        item.id = static_cast<UINT>(std::wcstoul(f[1].c_str(), nullptr, 10));
        item.separator = (type & MFT_SEPARATOR) != 0;
        item.enabled = (state & (MFS_DISABLED | MFS_GRAYED)) == 0;
        item.checked = (state & MFS_CHECKED) != 0;
        levels[depth]->push_back(std::move(item));
        levels.push_back(&levels[depth]->back().items);
    }
    return top;
}

}  // namespace

std::optional<std::vector<MenuItem>> Window::Menu() const {
    HMENU menu = GetMenu(handle_);
    if (!menu) return std::nullopt;
    if (auto items = ReadMenu(menu, 0)) return items;
    return ReadMenuInside(handle_);
}

std::optional<std::vector<FontInfo>> Window::Fonts() const {
    const std::optional<std::wstring> text = ReadInside(handle_, 1);
    if (!text || text->rfind(L"fonts\n", 0) != 0) return std::nullopt;
    std::vector<FontInfo> fonts;
    std::wistringstream lines(text->substr(6));
    std::wstring line;
    while (std::getline(lines, line)) {
        const std::vector<std::wstring> f = Fields(line, 6);
        FontInfo font;
        font.window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(std::wcstoul(f[0].c_str(), nullptr, 10)));
        font.height = std::wcstol(f[1].c_str(), nullptr, 10);
        font.weight = std::wcstol(f[2].c_str(), nullptr, 10);
        font.italic = std::wcstol(f[3].c_str(), nullptr, 10) != 0;
        font.charset = static_cast<int>(std::wcstol(f[4].c_str(), nullptr, 10));
        font.face = ToUtf8(f[5]);
        fonts.push_back(std::move(font));
    }
    return fonts;
}

std::optional<FontInfo> Window::FontOf(HWND window) const {
    if (auto fonts = Fonts())
        for (FontInfo& f : *fonts)
            if (f.window == window) return f;
    return std::nullopt;
}

::testing::AssertionResult Window::Click(const std::string& caption) const {
    if (!Exists()) return ::testing::AssertionFailure() << "the window is gone; cannot press " << Quote(caption);
    std::vector<std::string> present;
    for (HWND c : Children(handle_)) {
        if (!IsClass(c, L"Button")) continue;
        const std::string text = TextOf(c);
        present.push_back(text);
        if (text != caption) continue;
        if (!IsWindowVisible(c))
            return ::testing::AssertionFailure() << "the button " << Quote(caption) << " is hidden";
        if (!IsWindowEnabled(c))
            return ::testing::AssertionFailure() << "the button " << Quote(caption) << " is disabled";
        PostMessageW(GetParent(c), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), BN_CLICKED), reinterpret_cast<LPARAM>(c));
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no button " << Quote(caption) << " among " << QuoteList(present);
}

void Window::ChooseMenuItem(UINT id) const { PostMessageW(handle_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

void Window::Close() const { PostMessageW(handle_, WM_SYSCOMMAND, SC_CLOSE, 0); }

// ---------------------------------------------------------------------------------------------
// Dialog

const char* ToString(IconKind kind) {
    switch (kind) {
    case IconKind::None: return "None";
    case IconKind::Question: return "Question";
    case IconKind::Error: return "Error";
    case IconKind::Information: return "Information";
    case IconKind::Warning: return "Warning";
    case IconKind::Unknown: return "Unknown";
    }
    return "?";
}

std::ostream& operator<<(std::ostream& out, IconKind kind) { return out << ToString(kind); }

std::string Dialog::Text() const {
    HWND prompt = nullptr;
    RECT promptRect{};
    for (HWND c : Children(handle_)) {
        if (!IsClass(c, L"Static")) continue;
        if ((GetDlgCtrlID(c) & 0xFFFF) == 0xFFFF && !IsIconStatic(c)) return TextOf(c);
        if (IsIconStatic(c)) continue;
        const RECT r = RectInParent(c);
        if (!prompt || r.top < promptRect.top || (r.top == promptRect.top && r.left < promptRect.left)) {
            prompt = c;
            promptRect = r;
        }
    }
    return prompt ? TextOf(prompt) : std::string();
}

namespace {
// The dialog's icon control when it is visible and shows an icon.
HWND ShownIconControl(HWND dialog) {
    HWND control = IconControl(dialog);
    if (!control || !IsWindowVisible(control)) return nullptr;
    DWORD_PTR icon = 0;
    SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &icon);
    return icon ? control : nullptr;
}
}  // namespace

IconKind Dialog::Icon(Duration timeout) const {
    HWND control = ShownIconControl(handle_);
    if (!control) return IconKind::None;
    if (std::optional<IconKind> inside = ReadIconInside(handle_, control)) return *inside;
    return IconOnScreen(timeout);
}

IconKind Dialog::IconOnScreen(Duration timeout) const {
    HWND control = ShownIconControl(handle_);
    if (!control) return IconKind::None;
    RECT client{};
    GetClientRect(control, &client);
    MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&client), 2);
    const int width = client.right - client.left, height = client.bottom - client.top;
    struct Candidate {
        IconKind kind;
        LPCWSTR id;
    };
    const Candidate candidates[] = {{IconKind::Question, IDI_QUESTION},
                                    {IconKind::Error, IDI_ERROR},
                                    {IconKind::Information, IDI_INFORMATION},
                                    {IconKind::Warning, IDI_WARNING}};
    std::vector<std::pair<IconKind, IconPattern>> patterns;
    for (const Candidate& c : candidates)
        patterns.emplace_back(c.kind, DrawIcon(LoadIconW(nullptr, c.id), width, height));

    // Another program's window may cover the icon (tests share one screen): bring the dialog to
    // the top, without activating it, now and then again every half second while no icon matches.
    IconKind result = IconKind::Unknown;
    int polls = 0;
    PollUntil(timeout, [&] {
        if (polls++ % 25 == 0)
            SetWindowPos(handle_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
        // The pixels count only when this dialog is the window on top there, before and after.
        const POINT centre{(client.left + client.right) / 2, (client.top + client.bottom) / 2};
        auto onTop = [&] { return GetAncestor(WindowFromPoint(centre), GA_ROOT) == handle_; };
        if (!onTop()) return false;
        const ScreenPixels shown = CaptureScreenRect(client);
        if (!onTop()) return false;
        double best = 0;
        for (const auto& [kind, pattern] : patterns) {
            const double m = Match(pattern, shown);
            if (m > best) {
                best = m;
                result = kind;
            }
        }
        if (best >= 0.95) return true;
        result = IconKind::Unknown;
        return false;
    });
    return result;
}

std::vector<std::string> Dialog::Buttons() const {
    std::vector<std::string> out;
    for (HWND b : ButtonsInOrder(handle_)) out.push_back(TextOf(b));
    return out;
}

std::optional<std::string> Dialog::DefaultButton() const {
    for (HWND b : ButtonsInOrder(handle_))
        if ((static_cast<DWORD>(GetWindowLongW(b, GWL_STYLE)) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) return TextOf(b);
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(handle_, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) &&
        HIWORD(result) == DC_HASDEFID) {
        if (HWND b = GetDlgItem(handle_, LOWORD(result))) return TextOf(b);
    }
    return std::nullopt;
}

namespace {
HWND EditOf(HWND dialog, int index = 0) {
    for (HWND c : Children(dialog))
        if (IsClass(c, L"Edit") && index-- == 0) return c;
    return nullptr;
}
}  // namespace

bool Dialog::HasEdit() const { return EditOf(handle_) != nullptr; }

std::string Dialog::EditText() const {
    HWND edit = EditOf(handle_);
    return edit ? TextOf(edit) : std::string();
}

bool Dialog::EditIsMasked(int index) const {
    HWND edit = EditOf(handle_, index);
    return edit && (GetWindowLongW(edit, GWL_STYLE) & ES_PASSWORD) != 0;
}

::testing::AssertionResult Dialog::SetEditText(const std::string& text, int index) const {
    HWND edit = EditOf(handle_, index);
    if (!edit) return ::testing::AssertionFailure() << "the dialog has no edit field";
    const std::wstring wide = ToWide(text);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &result) ||
        !result)
        return ::testing::AssertionFailure() << "the edit field refused the text " << Quote(text);
    return ::testing::AssertionSuccess();
}

void Dialog::PressEscape() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = handle_;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(handle_, nullptr), &info) && info.hwndFocus) target = info.hwndFocus;
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
}

std::optional<Dialog> FindDialog(DWORD processId) {
    for (HWND w : TopLevelWindows(processId))
        if (IsWindowVisible(w) && IsWindowEnabled(w) && ClassOf(w) == L"#32770") return Dialog(w);
    return std::nullopt;
}

std::optional<Dialog> WaitForDialog(DWORD processId, Duration timeout) {
    std::optional<Dialog> found;
    PollUntil(timeout, [&] { return (found = FindDialog(processId)).has_value(); });
    return found;
}

std::string Describe(const Dialog& dialog) {
    std::ostringstream out;
    out << "title " << Quote(dialog.Title()) << ", text " << Quote(dialog.Text()) << ", icon " << dialog.Icon(0ms)
        << ", buttons " << QuoteList(dialog.Buttons());
    return out.str();
}

::testing::AssertionResult AnswerDialogs(const Process& process, const std::vector<ExpectedDialog>& script,
                                         Duration timeoutEach) {
    std::ostringstream failures;
    bool failed = false;
    for (size_t i = 0; i < script.size(); ++i) {
        const ExpectedDialog& expected = script[i];
        const std::string where = "dialog " + std::to_string(i + 1) + " of " + std::to_string(script.size()) + " (" +
                                  Quote(expected.title) + "): ";
        std::optional<Dialog> dialog = WaitForDialog(process.Id(), timeoutEach);
        if (!dialog) {
            failures << where << "did not appear within " << timeoutEach.count() << " ms";
            if (auto code = process.ExitCode()) failures << " (the process had ended with exit code " << *code << ")";
            failures << "\n";
            return ::testing::AssertionFailure() << failures.str();
        }
        const std::string title = dialog->Title();
        const std::string text = dialog->Text();
        const IconKind icon = dialog->Icon();
        const std::vector<std::string> buttons = dialog->Buttons();
        if (title != expected.title) {
            failures << where << "title " << Quote(title) << ", expected " << Quote(expected.title) << "\n";
            failed = true;
        }
        if (text != expected.text) {
            failures << where << "text " << Quote(text) << ", expected " << Quote(expected.text) << "\n";
            failed = true;
        }
        if (icon != expected.icon) {
            failures << where << "icon " << icon << ", expected " << expected.icon << "\n";
            failed = true;
        }
        if (expected.defaultButton) {
            const std::optional<std::string> actual = dialog->DefaultButton();
            if (actual != expected.defaultButton) {
                failures << where << "default button " << (actual ? Quote(*actual) : "none") << ", expected "
                         << Quote(*expected.defaultButton) << "\n";
                failed = true;
            }
        }
        if (buttons != expected.buttons) {
            failures << where << "buttons " << QuoteList(buttons) << ", expected " << QuoteList(expected.buttons)
                     << "\n";
            return ::testing::AssertionFailure() << failures.str();
        }
        if (auto pressed = dialog->Press(expected.press); !pressed) {
            failures << where << pressed.message() << "\n";
            return ::testing::AssertionFailure() << failures.str();
        }
        if (!WaitForWindowGone(dialog->Handle(), timeoutEach)) {
            failures << where << "still open " << timeoutEach.count() << " ms after pressing " << Quote(expected.press)
                     << "\n";
            return ::testing::AssertionFailure() << failures.str();
        }
    }
    if (failed) return ::testing::AssertionFailure() << failures.str();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult NoDialogFor(const Process& process, Duration period) {
    std::optional<Dialog> dialog;
    PollUntil(period, [&] {
        dialog = FindDialog(process.Id());
        return dialog.has_value() || !process.Running();
    });
    if (dialog) return ::testing::AssertionFailure() << "a dialog appeared: " << Describe(*dialog);
    return ::testing::AssertionSuccess();
}

}  // namespace robot
