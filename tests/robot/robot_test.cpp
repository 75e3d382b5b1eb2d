// The robot drives robot_helper.exe, whose windows are known, and must read back exactly what the
// helper shows and make it end with the exit code of the button pressed.

#include "installation.h"
#include "robot.h"
#include "screenshot.h"
#include "version_resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

using namespace robot;

namespace {

Process StartHelper(const std::wstring& arguments, const std::wstring& folder = L"") {
    return Process::Start(BesideTestProgram(L"robot_helper.exe"), arguments, folder);
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    std::wstring folder = std::wstring(buffer) + L"robot_test_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::string ReadAll(const std::wstring& path) { return ScopedInstallation::ReadFileBytes(path).value_or("<missing>"); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Processes

TEST(RobotProcess, ReportsTheExitCode) {
    Process p = StartHelper(L"exit 7");
    ASSERT_TRUE(p.Started()) << p.Error();
    EXPECT_NE(p.Id(), 0u);
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(7));
    EXPECT_FALSE(p.Running());
    EXPECT_EQ(p.ExitCode(), std::optional<DWORD>(7));
}

TEST(RobotProcess, StartsInTheGivenWorkingFolder) {
    const std::wstring folder = TempFolder();
    DeleteFileW((folder + L"\\marker.txt").c_str());
    Process p = StartHelper(L"touch marker.txt", folder);
    ASSERT_TRUE(p.Started()) << p.Error();
    ASSERT_EQ(p.WaitForExit(), std::optional<DWORD>(0));
    EXPECT_NE(GetFileAttributesW((folder + L"\\marker.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW((folder + L"\\marker.txt").c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(RobotProcess, ReportsAProgramThatCannotStart) {
    Process p = Process::Start(BesideTestProgram(L"no_such_program.exe"));
    EXPECT_FALSE(p.Started());
    EXPECT_NE(p.Error().find("no_such_program.exe"), std::string::npos) << p.Error();
    EXPECT_EQ(p.WaitForExit(0ms), std::nullopt);
}

TEST(RobotProcess, TimesOutAndKillsARunningProgramWhenDestroyed) {
    HANDLE watched = nullptr;
    {
        Process p = StartHelper(L"wait");
        ASSERT_TRUE(p.Started()) << p.Error();
        EXPECT_EQ(p.WaitForExit(200ms), std::nullopt);
        EXPECT_TRUE(p.Running());
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), p.Handle(), GetCurrentProcess(), &watched,
                                    SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, 0));
    }
    EXPECT_EQ(WaitForSingleObject(watched, 0), WAIT_OBJECT_0) << "the process outlived its Process";
    DWORD code = 0;
    GetExitCodeProcess(watched, &code);
    EXPECT_EQ(code, 255u);
    CloseHandle(watched);
}

// ---------------------------------------------------------------------------------------------
// The system message box

struct BoxCase {
    const char* name;
    const wchar_t* flags;
    IconKind icon;
};

class RobotMessageBoxIcon : public ::testing::TestWithParam<BoxCase> {};

TEST_P(RobotMessageBoxIcon, ReadsTheIconKind) {
    const BoxCase& c = GetParam();
    Process p = StartHelper(std::wstring(L"msgbox ") + c.flags + L" KarUpdt アイコンの試験");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    EXPECT_EQ(d->Icon(), c.icon);
    EXPECT_EQ(d->IconOnScreen(), c.icon);
    EXPECT_EQ(d->Buttons(), std::vector<std::string>{"OK"});
    ASSERT_TRUE(d->Press("OK"));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDOK));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RobotMessageBoxIcon,
                         ::testing::Values(BoxCase{"Question", L"0x20", IconKind::Question},
                                           BoxCase{"Error", L"0x10", IconKind::Error},
                                           BoxCase{"Information", L"0x40", IconKind::Information},
                                           BoxCase{"Warning", L"0x30", IconKind::Warning},
                                           BoxCase{"None", L"0x0", IconKind::None}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RobotMessageBox, ReadsTitleTextButtonsAndDefault) {
    Process p = StartHelper(L"msgbox 0x21 確認 \"【カレドナ】が起動されています。\\r「OK」を押してください。\"");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    EXPECT_EQ(d->ClassName(), "#32770");
    EXPECT_EQ(d->Title(), "確認");
    EXPECT_EQ(d->Text(), "【カレドナ】が起動されています。\r「OK」を押してください。");
    EXPECT_EQ(d->Icon(), IconKind::Question);
    EXPECT_EQ(d->Buttons(), (std::vector<std::string>{"OK", "キャンセル"}));
    EXPECT_EQ(d->DefaultButton(), std::optional<std::string>("OK"));
    ASSERT_TRUE(d->Press("キャンセル"));
    EXPECT_TRUE(WaitForWindowGone(d->Handle()));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDCANCEL));
}

TEST(RobotMessageBox, ReadsYesNoWithTheSecondButtonAsDefault) {
    Process p = StartHelper(L"msgbox 0x124 確認 続行しますか？");  // MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    EXPECT_EQ(d->Buttons(), (std::vector<std::string>{"はい(&Y)", "いいえ(&N)"}));
    EXPECT_EQ(d->DefaultButton(), std::optional<std::string>("いいえ(&N)"));
    ASSERT_TRUE(d->Press("はい(&Y)"));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDYES));
}

TEST(RobotMessageBox, RefusesAButtonThatIsNotThere) {
    Process p = StartHelper(L"msgbox 0x40 情報 お知らせ");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    ::testing::AssertionResult pressed = d->Press("キャンセル");
    EXPECT_FALSE(pressed);
    EXPECT_NE(std::string(pressed.message()).find("\"OK\""), std::string::npos) << pressed.message();
    EXPECT_EQ(p.WaitForExit(300ms), std::nullopt) << "the box closed without a press";
    ASSERT_TRUE(d->Press("OK"));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDOK));
}

TEST(RobotMessageBox, EscapeCancels) {
    Process p = StartHelper(L"msgbox 0x21 確認 エスケープ");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    d->PressEscape();
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDCANCEL));
}

TEST(RobotMessageBox, TheCloseBoxCancels) {
    Process p = StartHelper(L"msgbox 0x21 確認 閉じる");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    d->Close();
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDCANCEL));
}

// ---------------------------------------------------------------------------------------------
// A message dialog from an in-memory template, laid out like the program's own

TEST(RobotOwnDialog, ReadsButtonsLeftToRightAndTheIconControl20) {
    Process p = StartHelper(L"dialog error yesno 7 エラー \"一行目\\r二行目\"");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    EXPECT_EQ(d->Title(), "エラー");
    EXPECT_EQ(d->Text(), "一行目\r二行目");
    EXPECT_EQ(d->Icon(), IconKind::Error);
    // The template holds "いいえ(&N)" first; on the screen it is the right one.
    EXPECT_EQ(d->Buttons(), (std::vector<std::string>{"はい(&Y)", "いいえ(&N)"}));
    EXPECT_EQ(d->DefaultButton(), std::optional<std::string>("いいえ(&N)"));
    ASSERT_TRUE(d->Press("いいえ(&N)"));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDNO));
}

TEST(RobotOwnDialog, TellsTheIconsApart) {
    for (auto [name, kind] : {std::pair{L"information", IconKind::Information},
                              std::pair{L"warning", IconKind::Warning}, std::pair{L"question", IconKind::Question},
                              std::pair{L"none", IconKind::None}, std::pair{L"application", IconKind::Unknown}}) {
        Process p = StartHelper(std::wstring(L"dialog ") + name + L" ok 1 情報 アイコン");
        ASSERT_TRUE(p.Started()) << p.Error();
        std::optional<Dialog> d = WaitForDialog(p.Id());
        ASSERT_TRUE(d) << "no dialog";
        EXPECT_EQ(d->Icon(), kind) << ToUtf8(name);
        EXPECT_EQ(d->IconOnScreen(), kind) << ToUtf8(name);
        ASSERT_TRUE(d->Press("OK"));
        EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDOK));
    }
}

// ---------------------------------------------------------------------------------------------
// The input dialog

TEST(RobotInputDialog, ReadsPromptAndEditAndEntersText) {
    const std::wstring folder = TempFolder();
    const std::wstring result = folder + L"\\input.txt";
    DeleteFileW(result.c_str());
    Process p = StartHelper(L"input プロキシ設定 \"プロキシサーバーの IP アドレス\" 10.0.0.1 \"" + result + L"\"");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    EXPECT_EQ(d->Title(), "プロキシ設定");
    EXPECT_EQ(d->Text(), "プロキシサーバーの IP アドレス");
    EXPECT_EQ(d->Icon(), IconKind::None);
    ASSERT_TRUE(d->HasEdit());
    EXPECT_EQ(d->EditText(), "10.0.0.1");
    EXPECT_EQ(d->Buttons(), (std::vector<std::string>{"OK", "キャンセル"}));
    ASSERT_TRUE(d->SetEditText("192.168.10.20"));
    EXPECT_EQ(d->EditText(), "192.168.10.20");
    ASSERT_TRUE(d->Press("OK"));
    ASSERT_EQ(p.WaitForExit(), std::optional<DWORD>(IDOK));
    EXPECT_EQ(ReadAll(result), "192.168.10.20");
    DeleteFileW(result.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(RobotInputDialog, CancelLeavesNoResult) {
    const std::wstring folder = TempFolder();
    const std::wstring result = folder + L"\\input.txt";
    DeleteFileW(result.c_str());
    Process p = StartHelper(L"input 題 入力 abc \"" + result + L"\"");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    ASSERT_TRUE(d->SetEditText("changed"));
    ASSERT_TRUE(d->Press("キャンセル"));
    ASSERT_EQ(p.WaitForExit(), std::optional<DWORD>(IDCANCEL));
    EXPECT_EQ(ReadAll(result), "<missing>");
    RemoveDirectoryW(folder.c_str());
}

// ---------------------------------------------------------------------------------------------
// A main window

TEST(RobotWindow, ReadsCaptionSizeAndControls) {
    Process p = StartHelper(L"window");
    ASSERT_TRUE(p.Started()) << p.Error();
    HWND handle = WaitForWindowOfClass(p.Id(), L"RobotHelperForm");
    ASSERT_TRUE(handle) << "no window";
    Window w(handle);
    EXPECT_EQ(w.ClassName(), "RobotHelperForm");
    EXPECT_EQ(w.Caption(), "ロボット試験 Ver1.0");
    EXPECT_EQ(w.ClientSize().cx, 400);
    EXPECT_EQ(w.ClientSize().cy, 200);

    std::vector<Control> controls = w.Controls();
    ASSERT_EQ(controls.size(), 6u);
    const Control& status = controls[0];
    EXPECT_EQ(status.className, "Static");
    EXPECT_EQ(status.text, "待機中");
    EXPECT_EQ(status.id, 10);
    EXPECT_EQ(status.rect.left, 16);
    EXPECT_EQ(status.rect.top, 16);
    EXPECT_EQ(status.Width(), 200);
    EXPECT_EQ(status.Height(), 20);
    EXPECT_TRUE(status.visible);
    EXPECT_TRUE(status.enabled);
    EXPECT_EQ(controls[1].text, "0 / 19");
    EXPECT_EQ(controls[1].style & SS_TYPEMASK, static_cast<DWORD>(SS_RIGHT));
    EXPECT_EQ(controls[1].rect.right, 376);

    const Control& progress = controls[2];
    EXPECT_EQ(progress.className, "msctls_progress32");
    EXPECT_EQ(progress.progressPosition, 7);
    EXPECT_EQ(progress.progressMin, 0);
    EXPECT_EQ(progress.progressMax, 19);
    EXPECT_EQ(progress.rect.top, 60);
    EXPECT_EQ(progress.Width(), 360);

    std::optional<Control> start = w.ControlByText("開始");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->className, "Button");
    EXPECT_EQ(start->id, 1001);
    EXPECT_TRUE(start->enabled);
    EXPECT_EQ(start->rect.left, 16);
    EXPECT_EQ(start->rect.top, 120);
    EXPECT_EQ(start->Width(), 100);
    EXPECT_EQ(start->Height(), 28);
    std::optional<Control> stop = w.ControlById(1002);
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->text, "中止");
    EXPECT_TRUE(stop->visible);
    EXPECT_FALSE(stop->enabled);
    std::optional<Control> hidden = w.ControlByText("隠し");
    ASSERT_TRUE(hidden);
    EXPECT_FALSE(hidden->visible);
    EXPECT_TRUE(hidden->enabled);

    w.Close();
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(0));
}

TEST(RobotWindow, ClicksButtonsAndChoosesMenuItems) {
    Process p = StartHelper(L"window");
    ASSERT_TRUE(p.Started()) << p.Error();
    Window w(WaitForWindowOfClass(p.Id(), L"RobotHelperForm"));
    ASSERT_TRUE(w.Exists()) << "no window";
    auto statusBecomes = [&](const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            if (w.ControlById(10)->text == text) return true;
            Sleep(20);
        }
        return false;
    };

    EXPECT_FALSE(w.Click("中止")) << "a disabled button was pressed";
    EXPECT_FALSE(w.Click("隠し")) << "a hidden button was pressed";
    EXPECT_FALSE(w.Click("なし"));
    ASSERT_TRUE(w.Click("開始"));
    EXPECT_TRUE(statusBecomes("command 1001")) << w.ControlById(10)->text;
    EXPECT_TRUE(w.ControlById(1002)->enabled);
    EXPECT_TRUE(w.Click("中止"));
    EXPECT_TRUE(statusBecomes("command 1002")) << w.ControlById(10)->text;
    w.ChooseMenuItem(101);
    EXPECT_TRUE(statusBecomes("command 101")) << w.ControlById(10)->text;

    w.Close();
    EXPECT_TRUE(WaitForWindowGone(w.Handle()));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(101));
}

// Wine refuses to read another process's menu directly; the robot then reads it inside that
// process through robot_window_hook.dll.
TEST(RobotWindow, ReadsTheMenuOfAnotherProcess) {
    Process p = StartHelper(L"window");
    ASSERT_TRUE(p.Started()) << p.Error();
    Window w(WaitForWindowOfClass(p.Id(), L"RobotHelperForm"));
    ASSERT_TRUE(w.Exists()) << "no window";
    ASSERT_NE(GetMenu(w.Handle()), nullptr) << "the window has a menu";
    std::optional<std::vector<MenuItem>> menu = w.Menu();
    ASSERT_TRUE(menu) << "the menu could not be read";
    ASSERT_EQ(menu->size(), 2u);
    EXPECT_EQ((*menu)[0].caption, "設定(&S)");
    ASSERT_EQ((*menu)[0].items.size(), 3u);
    EXPECT_EQ((*menu)[0].items[0].caption, "プロキシ IP(&I)...");
    EXPECT_EQ((*menu)[0].items[0].id, 101u);
    EXPECT_TRUE((*menu)[0].items[1].separator);
    EXPECT_TRUE((*menu)[0].items[0].enabled);
    EXPECT_EQ((*menu)[0].items[2].caption, "プロキシ Port(&P)...");
    EXPECT_EQ((*menu)[0].items[2].id, 102u);
    EXPECT_FALSE((*menu)[0].items[2].enabled);
    EXPECT_EQ((*menu)[1].caption, "終了(&X)");
    EXPECT_EQ((*menu)[1].id, 201u);
}

TEST(RobotWindow, ReadsTheFontsOfAnotherProcess) {
    Process p = StartHelper(L"window");
    ASSERT_TRUE(p.Started()) << p.Error();
    Window w(WaitForWindowOfClass(p.Id(), L"RobotHelperForm"));
    ASSERT_TRUE(w.Exists()) << "no window";
    std::optional<std::vector<FontInfo>> fonts = w.Fonts();
    ASSERT_TRUE(fonts) << "the fonts could not be read";
    ASSERT_EQ(fonts->size(), 7u);  // the window, then its six children
    EXPECT_EQ((*fonts)[0].window, w.Handle());
    EXPECT_EQ((*fonts)[0].face, "") << "the window has no font of its own";

    std::optional<FontInfo> status = w.FontOf(w.ControlById(10)->handle);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->face, "ＭＳ ゴシック");
    EXPECT_EQ(status->height, -12);
    EXPECT_EQ(status->weight, FW_NORMAL);
    EXPECT_EQ(status->charset, SHIFTJIS_CHARSET);
    EXPECT_FALSE(status->italic);
    std::optional<FontInfo> count = w.FontOf(w.ControlById(11)->handle);
    ASSERT_TRUE(count);
    EXPECT_EQ(count->weight, FW_BOLD);
    EXPECT_EQ(count->height, -16);
    std::optional<FontInfo> hidden = w.FontOf(w.ControlById(1003)->handle);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->face, "");
    EXPECT_EQ(hidden->height, 0);
}

TEST(RobotWindow, ReadsTextColoursFromTheScreen) {
    Process p = StartHelper(L"window");
    ASSERT_TRUE(p.Started()) << p.Error();
    Window w(WaitForWindowOfClass(p.Id(), L"RobotHelperForm"));
    ASSERT_TRUE(w.Exists()) << "no window";
    const uint32_t face = GetSysColor(COLOR_BTNFACE);
    const uint32_t background = (face & 0xFF) << 16 | (face & 0xFF00) | (face >> 16 & 0xFF);
    auto textColour = [&](int id) {
        // The label may still be painting: wait until it shows more than its background.
        for (int i = 0; i < 100; ++i) {
            auto colours = ColoursByCount(CaptureClient(w.ControlById(id)->handle));
            if (colours.size() >= 2 && colours[0].first == background) return colours[1].first;
            Sleep(20);
        }
        return 0xFFFFFFFFu;
    };
    EXPECT_EQ(textColour(11), 0x0000FFu) << "blue count label";
    EXPECT_EQ(textColour(10), 0x000000u) << "black status label";
}

// ---------------------------------------------------------------------------------------------
// Answering a script of dialogs

TEST(RobotAnswerDialogs, AnswersASequence) {
    Process p = StartHelper(L"sequence");
    ASSERT_TRUE(p.Started()) << p.Error();
    EXPECT_TRUE(AnswerDialogs(
        p, {{"確認", "一つ目の質問です。\r続けますか？", IconKind::Question, {"OK", "キャンセル"}, "OK", "OK"},
            {"情報", "二つ目のお知らせです。", IconKind::Information, {"OK"}, "OK"}}));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(10 * IDOK + IDOK));
}

TEST(RobotAnswerDialogs, ReportsEveryDifferenceAndStillPresses) {
    Process p = StartHelper(L"sequence");
    ASSERT_TRUE(p.Started()) << p.Error();
    ::testing::AssertionResult r = AnswerDialogs(
        p, {{"情報", "一つ目の質問です。", IconKind::Error, {"OK", "キャンセル"}, "キャンセル", "キャンセル"}});
    ASSERT_FALSE(r);
    const std::string message = r.message();
    EXPECT_NE(message.find("title \"確認\", expected \"情報\""), std::string::npos) << message;
    EXPECT_NE(message.find("text \"一つ目の質問です。\\r続けますか？\", expected \"一つ目の質問です。\""),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("icon Question, expected Error"), std::string::npos) << message;
    EXPECT_NE(message.find("default button \"OK\", expected \"キャンセル\""), std::string::npos) << message;
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDCANCEL));
}

TEST(RobotAnswerDialogs, StopsAtDifferentButtons) {
    Process p = StartHelper(L"sequence");
    ASSERT_TRUE(p.Started()) << p.Error();
    ::testing::AssertionResult r = AnswerDialogs(
        p, {{"確認", "一つ目の質問です。\r続けますか？", IconKind::Question, {"はい(&Y)", "いいえ(&N)"}, "はい(&Y)"}});
    ASSERT_FALSE(r);
    EXPECT_NE(
        std::string(r.message()).find("buttons [\"OK\", \"キャンセル\"], expected [\"はい(&Y)\", \"いいえ(&N)\"]"),
        std::string::npos)
        << r.message();
    EXPECT_TRUE(p.Running()) << "nothing may be pressed when the buttons differ";
}

TEST(RobotAnswerDialogs, ReportsADialogThatNeverCame) {
    Process p = StartHelper(L"exit 0");
    ASSERT_TRUE(p.Started()) << p.Error();
    ::testing::AssertionResult r = AnswerDialogs(p, {{"確認", "x", IconKind::Question, {"OK"}, "OK"}}, 1s);
    ASSERT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("did not appear"), std::string::npos) << r.message();
    EXPECT_NE(std::string(r.message()).find("exit code 0"), std::string::npos) << r.message();
}

TEST(RobotAnswerDialogs, NoDialogForSeesADialog) {
    Process quiet = StartHelper(L"window");
    ASSERT_TRUE(quiet.Started()) << quiet.Error();
    EXPECT_TRUE(NoDialogFor(quiet, 500ms));
    Process loud = StartHelper(L"msgbox 0x40 情報 見える");
    ASSERT_TRUE(loud.Started()) << loud.Error();
    ::testing::AssertionResult r = NoDialogFor(loud, 5s);
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("見える"), std::string::npos) << r.message();
}

// ---------------------------------------------------------------------------------------------
// Screenshots

TEST(RobotScreenshot, SavesAWindowAsA24BitBmp) {
    Process p = StartHelper(
        L"msgbox 0x21 確認 \"【カレドナ】が起動されています。\\r終了させてから「OK」ボタンをクリックしてください。\"");
    ASSERT_TRUE(p.Started()) << p.Error();
    std::optional<Dialog> d = WaitForDialog(p.Id());
    ASSERT_TRUE(d) << "no dialog";
    ASSERT_EQ(d->Icon(), IconKind::Question) << "the box is painted";
    const std::wstring path = ScreenshotPath(L"robot_msgbox.bmp");
    std::string error;
    ASSERT_TRUE(SaveWindowScreenshot(d->Handle(), path, &error)) << error;

    const RECT r = d->ScreenRect();
    const int width = r.right - r.left, height = r.bottom - r.top;
    const std::string bmp = ReadAll(path);
    ASSERT_GE(bmp.size(), 54u);
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    std::memcpy(&file, bmp.data(), sizeof file);
    std::memcpy(&info, bmp.data() + sizeof file, sizeof info);
    EXPECT_EQ(file.bfType, 0x4D42);
    EXPECT_EQ(file.bfSize, bmp.size());
    EXPECT_EQ(info.biWidth, width);
    EXPECT_EQ(info.biHeight, height);
    EXPECT_EQ(info.biBitCount, 24);
    EXPECT_EQ(bmp.size(), 54u + static_cast<size_t>((width * 3 + 3) & ~3) * height);
    // A painted box has many colours (frame, text, icon), not one flat area.
    std::set<uint32_t> colours;
    const size_t row = static_cast<size_t>((width * 3 + 3) & ~3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto* px = reinterpret_cast<const uint8_t*>(bmp.data()) + file.bfOffBits + y * row + x * 3;
            colours.insert(px[0] | px[1] << 8 | px[2] << 16);
        }
    EXPECT_GT(colours.size(), 8u);
    ASSERT_TRUE(d->Press("OK"));
    EXPECT_EQ(p.WaitForExit(), std::optional<DWORD>(IDOK));
}
