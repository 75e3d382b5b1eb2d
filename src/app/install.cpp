// The installation: expands the downloaded components, installs them into the product folder,
// installs the ImageKit controls when they are due, replaces the product's executable with a
// backup, cleans up, writes the update log and ends the program.
#include "mainform.h"

#include "lhactrls/lhactrls.h"
#include "product.h"
#include "ui/application.h"
#include "ui/message_dialog.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/folders.h"
#include "util/handle.h"
#include "util/text.h"

#include <lzexpand.h>

#include <array>
#include <cstring>

namespace {

struct ExpansionRow {
    int step;  // 0: the row sets no step
    const char* compressed;
    const char* expanded;
};

// Expanded in this order, work folder to work folder.
constexpr std::array<ExpansionRow, 16> kExpansions = {{
    {1, "kar160.ex_", "karemain.exe"},
    {2, "DLKR_DL.ex_", "DLKR_DL.exe"},
    {3, "FindUpd.ex_", "FindUpd.exe"},
    {4, "karstang.di_", "karstang.dic"},
    {5, "Zoomhint.tx_", "ZoomHint.txt"},
    {6, "cellmapa.da_", "cellmapa.dat"},
    {7, "cellmapb.da_", "cellmapb.dat"},
    {8, "vornlib.dl_", "vornlib.dll"},
    {8, "tvdialog.dl_", "tvdialog.dll"},
    {0, "plxShow.ex_", "plxShow.exe"},
    {0, "GroupList.Ms_", "GroupList.Mst"},
    {0, "GroupMst.in_", "GroupMst.ini"},
    {0, "KarScan.ex_", "KarScan.exe"},
    {0, "KarScanPaste.ex_", "KarScanPaste.exe"},
    {0, "KarScan.de_", "KarScan.def"},
    {0, "SCANABORT.EX_", "scanabort.exe"},
}};
// Expanded only when an ImageKit control is due.
constexpr ExpansionRow kRegistrationTool = {9, "Regsvr32.ex_", "Regsvr32.exe"};

struct InstallRow {
    const char* file;
    bool groupFolder;    // into "グループマスタ" instead of the product folder
    const char* number;  // the number in the failure message
};

constexpr std::array<InstallRow, 13> kInstalls = {{
    {"DLKR_DL.exe", false, "1"},
    {"VORNLIB.DLL", false, "1"},
    {"cellmapa.dat", false, "2"},
    {"cellmapb.dat", false, "3"},
    {"FindUpd.exe", false, "4"},
    {"tvdialog.dll", false, "4.5"},
    {"plxShow.exe", false, "4.6"},
    {"GroupList.Mst", true, "4.7"},
    {"GroupMst.ini", true, "4.8"},
    {"KarScan.exe", false, "4.9"},
    {"KarScanPaste.exe", false, "4.10"},
    {"KarScan.def", false, "4.11"},
    {"scanabort.exe", false, "4.12"},
}};

// Removed from the work folder after a successful update; the registration tool and the ImageKit
// archives go too, since nothing reads them afterwards.
constexpr std::array<const char*, 18> kCleanUp = {
    "kar160.ex_",   "DLKR_DL.ex_",  "karstang.di_", "Zoomhint.tx_",  "cellmapa.da_",     "cellmapb.da_",
    "tvdialog.dl_", "plxShow.ex_",  "GroupList.Ms_", "GroupMst.in_", "karemain.exe",     "KarScan.ex_",
    "KarScanPaste.ex_", "KarScan.de_", "SCANABORT.EX_", "Regsvr32.ex_", "Imgkit5.lzh", "Imgkit6.lzh",
};

constexpr const char* kGroupFolder = "グループマスタ";

// The archiver writes a few characters of output here; nothing reads them.
char g_archiverOutput[10];

std::string FailureMessage(const char* number) {
    return std::string("コンポーネントの展開(") + number + ")に失敗しました。終了します。";
}

std::wstring Wide(const std::string& text) { return Utf8ToWide(text); }


void ClearAttributes(const std::string& path) { SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL); }

bool CopyOver(const std::string& from, const std::string& to) {
    return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) != FALSE;
}

// The size that the header of a file compressed with the system's compress tool announces, or
// nothing when the file is not in that format.
std::optional<DWORD> AnnouncedExpandedSize(HANDLE file) {
    unsigned char header[14] = {};
    DWORD got = 0;
    LARGE_INTEGER start{};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    const bool read = ReadFile(file, header, sizeof header, &got, nullptr) && got == sizeof header;
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    static const unsigned char kMagic[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
    if (!read || std::memcmp(header, kMagic, sizeof kMagic) != 0) return std::nullopt;
    return static_cast<DWORD>(header[10] | header[11] << 8 | header[12] << 16 | static_cast<DWORD>(header[13]) << 24);
}

// Expands `from` into `to` with the system's LZ32 functions; a file that is not compressed is
// copied unchanged. The files are opened with the wide functions and handed to LZ32 as handles,
// so that long and Japanese paths work. The expander does not report a compressed file that ends
// early, so the size it wrote is compared with the size the header announces: an incomplete or
// damaged component must never be installed.
void Expand(const std::string& from, const std::string& to) {
    const std::string failure = "ファイル \"" + from + "\" を展開できません。";
    FileHandle source(CreateFileW(Wide(from).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) throw Exception(failure);
    LARGE_INTEGER sourceSize{};
    GetFileSizeEx(source.get(), &sourceSize);
    const std::optional<DWORD> announced = AnnouncedExpandedSize(source.get());

    ClearAttributes(to);
    FileHandle target(CreateFileW(Wide(to).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!target) throw Exception(failure);

    const INT lzSource = LZInit(static_cast<INT>(reinterpret_cast<INT_PTR>(source.get())));
    if (lzSource < 0) throw Exception(failure);
    source.release();  // LZClose closes it from here on
    const LONG written = LZCopy(lzSource, static_cast<INT>(reinterpret_cast<INT_PTR>(target.get())));
    LZClose(lzSource);
    const LONGLONG expected = announced ? static_cast<LONGLONG>(*announced) : sourceSize.QuadPart;
    if (written < 0 || written != expected) throw Exception(failure);
}

// The local date and time as the user's short date and long time formats write them; the time
// is left out at midnight exactly.
std::string LocalDateTimeText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t date[128] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 128);
    std::wstring text = date;
    if (now.wHour != 0 || now.wMinute != 0 || now.wSecond != 0) {
        wchar_t time[128] = {};
        GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 128);
        text += L' ';
        text += time;
    }
    return WideToUtf8(text);
}

void WriteAnsiFile(const std::string& path, const std::string& utf8) {
    if (!WriteWholeFile(path, Utf8ToAnsi(utf8))) throw Exception("ファイル \"" + path + "\" を作成できません。");
}

// Shows the hourglass while the installation runs, and the arrow again however it ends.
class HourglassCursor {
public:
    HourglassCursor() { Application::SetBusyCursor(true); }
    ~HourglassCursor() { Application::SetBusyCursor(false); }
};

}  // namespace

void TMainForm::ExpandStartMessage() { Unpress(); }

[[noreturn]] void TMainForm::CreateError(const std::string& message) { throw Exception(message); }

void TMainForm::SetStep(int step) {
    const int total = DownloadTotal + 2;
    ProgressLabel.SetText(std::to_string(step) + " / " + std::to_string(total));
    ProgressBar.SetPosition(static_cast<int>(static_cast<double>(step) / total * 100));
}

void TMainForm::ExtractArchive(const std::string& archive, const std::string& folder, const std::string& options) {
    const std::string commandLine = "e -y \"" + archive + "\" " + options + " \"" + folder + "\\\"";
    const std::string ansi = Utf8ToAnsi(commandLine);
    std::memset(g_archiverOutput, 0, sizeof g_archiverOutput);
    Unlha(nullptr, ansi.c_str(), g_archiverOutput, 9);
    g_archiverOutput[sizeof g_archiverOutput - 1] = '\0';
}

void TMainForm::RegisterControl(const std::string& controlFile) {
    const std::string commandLine = "\"" + WorkPath + "regsvr32.exe\" /s \"" + controlFile + "\"";
    std::wstring mutableLine = Wide(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                        nullptr, &startup, &process)) {
        ShowError("ImageKitのインストールに失敗しました");
        return;
    }
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);
    // The tool registers the control and ends; its end is not awaited, only its start-up. A tool
    // that never becomes idle must not hold the update for ever.
    WaitForInputIdle(processHandle.get(), kRegistrationStartTimeoutMs);
}

void TMainForm::ReplaceExecutable() {
    // Backup first, then the old one goes and the new one comes.
    const std::string backup = WorkPath + "karemain.old";
    const std::string installed = InstallPath + "karemain.exe";
    if (FileExists(backup)) ClearAttributes(backup);
    if (!CopyOver(installed, backup)) CreateError(FailureMessage("8"));
    ClearAttributes(installed);
    if (!DeleteFileW(Wide(installed).c_str())) CreateError(FailureMessage("6"));
    if (!CopyOver(WorkPath + "karemain.exe", installed)) {
        // Without an executable the product would not start at all: put the old one back.
        CopyOver(backup, installed);
        CreateError(FailureMessage("7"));
    }
}

void TMainForm::Unpress() {
    DownLoadButton.SetVisible(false);
    SetEnabled(false);
    HourglassCursor hourglass;
    struct EndOfInstallation {
        TMainForm& form;
        ~EndOfInstallation() {
            form.Installing = false;
            form.SetEnabled(true);
        }
    } endOfInstallation{*this};
    Installing = true;

    try {
        InstallComponents();
    } catch (const std::exception& error) {
        ShowError(std::string("コンポーネントの展開(9)に失敗しました。\r") + error.what());
        PostMessageW(Handle(), WM_CLOSE, 0, 0);
    }
}

void TMainForm::InstallComponents() {
    const bool imageKitDue = !ImageKit5Current || !ImageKit6Present;

    MsgLabel.SetText("アップデートコンポーネントの展開...");
    for (const ExpansionRow& row : kExpansions) {
        if (row.step) SetStep(row.step);
        Expand(WorkPath + row.compressed, WorkPath + row.expanded);
    }
    if (imageKitDue) {
        SetStep(kRegistrationTool.step);
        Expand(WorkPath + kRegistrationTool.compressed, WorkPath + kRegistrationTool.expanded);
    }

    // Files the user may have changed are only seeded, never overwritten.
    for (const char* seeded : {"karstang.dic", "ZoomHint.txt"}) {
        if (!FileExists(InstallPath + seeded))
            CopyFileW(Wide(WorkPath + seeded).c_str(), Wide(InstallPath + seeded).c_str(), TRUE);
    }

    MsgLabel.SetText("アップデート処理...");
    SetStep(ImageKit5Current ? 8 : 10);
    SetStep(ImageKit6Present ? 8 : 10);

    const std::string groupFolder = InstallPath + kGroupFolder + "\\";
    bool groupFolderReady = false;
    for (const InstallRow& row : kInstalls) {
        if (row.groupFolder && !groupFolderReady) {
            // Both group files are skipped when the folder cannot be made.
            if (!ForceFolder(groupFolder)) continue;
            groupFolderReady = true;
        }
        const std::string destination = (row.groupFolder ? groupFolder : InstallPath) + row.file;
        ClearAttributes(destination);
        if (!CopyOver(WorkPath + row.file, destination)) CreateError(FailureMessage(row.number));
    }

    if (!ImageKit5Current) {
        ExtractArchive(WorkPath + "Imgkit5.lzh", WithoutTrailingBackslash(ImageKit5Path), "-c1 -d1");
        RegisterControl(WithTrailingBackslash(ImageKit5Path) + "ImgKit5.ocx");
    }
    if (!ImageKit6Present) {
        ExtractArchive(WorkPath + "Imgkit6.lzh", WithoutTrailingBackslash(ImageKit6Path), "-c1 -d1");
        RegisterControl(WithTrailingBackslash(ImageKit6Path) + "ImgKit6.ocx");
    }

    ReplaceExecutable();

    for (const char* name : kCleanUp) DeleteFileW(Wide(WorkPath + name).c_str());

    WriteAnsiFile(WorkPath + "KarUpdt.Log", "[Karedona]Last Update Log\r\n" + LocalDateTimeText() + "\r\nOldVer=" +
                                                OldVersion + "\r\nNewVer=" + kUpdateVersion + "\r\n");
    WriteInitFile();

    ProgressLabel.SetText("Completed");
    ProgressBar.SetPosition(100);
    ShowInformation("アップデートが完了しました。終了します。");
    PostMessageW(Handle(), WM_CLOSE, 0, 0);
}
