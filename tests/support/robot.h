#pragma once
// A test robot for whole-program tests: it starts a program, finds its windows, reads dialogs and
// windows the way a user sees them (titles, texts, icons, button captions, controls) and presses
// buttons, so that tests check what the user sees rather than the code's own constants.
//
// Texts are UTF-8 in std::string, exactly as the controls hold them (a line break inside a
// message text stays a lone "\r"). What only a window's own process can read (its menu, fonts and
// icon handles) is read there by robot_window_hook.dll, which the build puts beside every test
// program that links karupdt_test_support.
//
//   robot::Process p = robot::Process::Start(BesideTestProgram(L"KarUpdt.exe"), L"", L"C:\\");
//   ASSERT_TRUE(p.Started()) << p.Error();
//   ASSERT_TRUE(robot::AnswerDialogs(p, {{"確認", "text\rmore", robot::IconKind::Question,
//                                        {"OK", "キャンセル"}, "キャンセル"}}));
//   EXPECT_EQ(p.WaitForExit(10s), std::optional<DWORD>(0));

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace robot {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// Default time-outs: how long to wait for a window to appear or go, and for a process to end.
inline constexpr Duration kWindowTimeout = 10s;
inline constexpr Duration kExitTimeout = 10s;

std::string ToUtf8(const std::wstring& text);
std::wstring ToWide(const std::string& utf8);

// ---------------------------------------------------------------------------------------------
// Processes

class Process {
public:
    Process() = default;
    // Starts `program` with the command line `"program" arguments` in `workingFolder` (empty: the
    // test's own current folder). Check Started(); Error() says why it failed.
    static Process Start(const std::wstring& program, const std::wstring& arguments = L"",
                         const std::wstring& workingFolder = L"");
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // A process still running is killed (exit code 255) and waited for.
    ~Process();

    bool Started() const { return handle_ != nullptr; }
    const std::string& Error() const { return error_; }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return handle_; }
    bool Running() const;
    // Waits up to `timeout` for the end; returns the exit code, or nothing when still running.
    std::optional<DWORD> WaitForExit(Duration timeout = kExitTimeout) const;
    // The exit code once ended, nothing while running.
    std::optional<DWORD> ExitCode() const;
    // Ends the process at once with the given exit code and waits for it to be gone.
    void Kill(UINT exitCode = 255);

private:
    void Release();
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
    std::string error_;
};

// ---------------------------------------------------------------------------------------------
// Finding windows

std::wstring ClassOf(HWND window);
// A window's text: WM_GETTEXT (answered by the owning thread, so it also works for edit fields),
// or the text the system keeps for the window when the owner does not answer within a second.
std::string TextOf(HWND window);

// The top-level windows of a process (all processes when processId is 0), topmost first,
// including hidden ones.
std::vector<HWND> TopLevelWindows(DWORD processId);
// The topmost visible top-level window of the class, or null.
HWND FindWindowOfClass(DWORD processId, const std::wstring& className);
// Waits (polling every 20 ms) for a visible top-level window of the class; null on time-out.
HWND WaitForWindowOfClass(DWORD processId, const std::wstring& className, Duration timeout = kWindowTimeout);
// Waits for the window to be destroyed or hidden; false on time-out.
bool WaitForWindowGone(HWND window, Duration timeout = kWindowTimeout);

// ---------------------------------------------------------------------------------------------
// Windows and their controls

struct Control {
    HWND handle = nullptr;
    std::string className;  // as registered: "Static", "Button", "msctls_progress32" ...
    std::string text;
    int id = 0;   // the control id (GetDlgCtrlID)
    RECT rect{};  // relative to the parent's client area
    int Width() const { return rect.right - rect.left; }
    int Height() const { return rect.bottom - rect.top; }
    bool visible = false;  // the control's own WS_VISIBLE
    bool enabled = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    // Progress bars only: position and range.
    int progressPosition = 0, progressMin = 0, progressMax = 0;
};

struct MenuItem {
    std::string caption;  // with its "&"; empty for a separator
    UINT id = 0;
    bool separator = false;
    bool enabled = true;
    bool checked = false;
    std::vector<MenuItem> items;  // the items of a pop-up menu
};

// The font a window uses (WM_GETFONT), as its LOGFONT tells. A window without a font of its own
// (the system font) has height 0 and an empty face.
struct FontInfo {
    HWND window = nullptr;
    std::string face;
    long height = 0;  // lfHeight: negative for a character height, positive for a cell height
    long weight = 0;
    bool italic = false;
    int charset = 0;  // e.g. SHIFTJIS_CHARSET (128)
};

class Window {
public:
    explicit Window(HWND handle = nullptr) : handle_(handle) {}
    HWND Handle() const { return handle_; }
    bool Exists() const;
    bool Visible() const;
    bool Enabled() const;
    std::string ClassName() const;
    std::string Caption() const;
    SIZE ClientSize() const;
    RECT ScreenRect() const;  // the whole window, frame included

    // The direct children in the order the system keeps them (creation order unless reordered).
    std::vector<Control> Controls() const;
    std::optional<Control> ControlById(int id) const;
    // The first child whose text equals `text` (captions with their "&").
    std::optional<Control> ControlByText(const std::string& text) const;

    // The menu bar and its pop-ups; nothing when the window has no menu or it cannot be read.
    // Wine 8 refuses to read a menu of another process (GetMenuItemCount gives -1); then the menu
    // is read inside the window's process by robot_window_hook.dll (beside the test program),
    // which a WH_CALLWNDPROC hook loads there.
    std::optional<std::vector<MenuItem>> Menu() const;

    // The fonts of the window itself (first) and of each direct child, read inside the window's
    // process by robot_window_hook.dll (font handles cannot be read from another process).
    std::optional<std::vector<FontInfo>> Fonts() const;
    // The font of the window itself or of one of its children.
    std::optional<FontInfo> FontOf(HWND window) const;

    // Clicks the visible, enabled button with this caption: WM_COMMAND / BN_CLICKED to its parent,
    // as the button itself sends it. Fails (with the captions present) when there is none.
    ::testing::AssertionResult Click(const std::string& caption) const;
    // Sends the command of a menu item (WM_COMMAND with the item's id, as a menu choice does).
    void ChooseMenuItem(UINT id) const;
    // The close box: WM_SYSCOMMAND / SC_CLOSE.
    void Close() const;

protected:
    HWND handle_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Dialogs

enum class IconKind { None, Question, Error, Information, Warning, Unknown };
const char* ToString(IconKind kind);
std::ostream& operator<<(std::ostream& out, IconKind kind);

class Dialog : public Window {
public:
    explicit Dialog(HWND handle = nullptr) : Window(handle) {}
    std::string Title() const { return Caption(); }
    // The message text (the static with id 0xFFFF); without one, the first text static from the top
    // (the prompt of an input dialog).
    std::string Text() const;
    // The system icon shown by the icon control (an SS_ICON static; id 20 in the program's own
    // dialogs, 1088 in Wine's message box). Icon handles of another process can neither be compared
    // with the robot's own (Wine keeps shared icons per process) nor read (GetIconInfo fails with
    // error 1402), so the handle is compared with LoadIconW(nullptr, IDI_...) inside the dialog's
    // process, through robot_window_hook.dll. When that cannot tell, IconOnScreen decides.
    IconKind Icon(Duration timeout = 2s) const;
    // The icon told by its pixels: the icon control on the screen against each system icon drawn
    // here at the same size. Needs the dialog on top; waits up to `timeout` for the icon to be
    // painted; Unknown when it matches none of them.
    IconKind IconOnScreen(Duration timeout = 2s) const;
    // Captions of the visible push buttons, left to right (then top to bottom).
    std::vector<std::string> Buttons() const;
    // The caption of the default push button (BS_DEFPUSHBUTTON, else DM_GETDEFID), or nothing.
    std::optional<std::string> DefaultButton() const;
    // Presses the button with this caption (see Window::Click).
    ::testing::AssertionResult Press(const std::string& caption) const { return Click(caption); }
    // The one edit field of an input dialog.
    bool HasEdit() const;
    std::string EditText() const;
    // The dialog's edit fields counted from 0 in creation order; the first when not told.
    ::testing::AssertionResult SetEditText(const std::string& text, int index = 0) const;
    // The edit field shows its characters masked (a password field).
    bool EditIsMasked(int index) const;
    // The Escape key, as typed into the focused control.
    void PressEscape() const;
};

// The topmost visible, enabled dialog (class "#32770") of the process, if any.
std::optional<Dialog> FindDialog(DWORD processId);
// Waits for one; nothing on time-out.
std::optional<Dialog> WaitForDialog(DWORD processId, Duration timeout = kWindowTimeout);

// A dialog as the test expects it, and the button to press.
struct ExpectedDialog {
    ExpectedDialog(std::string title_, std::string text_, IconKind icon_, std::vector<std::string> buttons_,
                   std::string press_, std::optional<std::string> defaultButton_ = std::nullopt)
        : title(std::move(title_)),
          text(std::move(text_)),
          icon(icon_),
          buttons(std::move(buttons_)),
          press(std::move(press_)),
          defaultButton(std::move(defaultButton_)) {}
    std::string title;
    std::string text;
    IconKind icon = IconKind::None;
    std::vector<std::string> buttons;
    std::string press;
    std::optional<std::string> defaultButton;  // checked only when given
};

// Waits for each expected dialog of the process in turn, compares title, text, icon, buttons (and
// the default button when given), presses the scripted button and waits for the dialog to go.
// The result lists every difference, with the dialog's number in the script. A dialog that does
// not appear, or a difference in its buttons, ends the run (the button to press may be missing);
// other differences are reported and the scripted button is still pressed.
[[nodiscard]] ::testing::AssertionResult AnswerDialogs(const Process& process,
                                                       const std::vector<ExpectedDialog>& script,
                                                       Duration timeoutEach = kWindowTimeout);
// Describes a dialog for failure messages: title, text, icon and buttons.
std::string Describe(const Dialog& dialog);

// True when no dialog of the process shows during `period` (or until the process ends).
[[nodiscard]] ::testing::AssertionResult NoDialogFor(const Process& process, Duration period);

}  // namespace robot
