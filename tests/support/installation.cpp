#include "installation.h"

#include "version_resource.h"

#include <future>
#include <vector>

namespace {

std::wstring WithSlash(std::wstring folder) {
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolders(const std::wstring& folder) {
    // Every folder from the drive's root down, e.g. C:\TALVERN then C:\TALVERN\KAREDONA.
    for (size_t at = folder.find(L'\\', 3); at != std::wstring::npos; at = folder.find(L'\\', at + 1)) {
        const std::wstring part = folder.substr(0, at);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

std::wstring Lower(std::wstring s) {
    CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring ScopedInstallation::WindowsFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    std::wstring folder(buffer);
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return folder;
}

std::wstring ScopedInstallation::DefaultFolder() { return WindowsFolder().substr(0, 1) + L":\\TALVERN\\KAREDONA\\"; }

std::string ScopedInstallation::ToShiftJis(const std::string& utf8) {
    const std::wstring wide = Wide(utf8);
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

bool ScopedInstallation::WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(f);
    return ok && written == bytes.size();
}

std::optional<std::string> ScopedInstallation::ReadFileBytes(const std::wstring& path) {
    // Shared for deletion too, so that a test reading a file while the program replaces it (as it
    // does DOWNLOAD.INI) never makes the program's replacement fail.
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(f);
    return bytes;
}

bool ScopedInstallation::RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
    return !Exists(folder);
}

ScopedInstallation::ScopedInstallation(const InstallationOptions& options) {
    folder_ = WithSlash(options.folder.empty() ? DefaultFolder() : options.folder);
    const std::wstring windows = WindowsFolder();
    // The top folder is removed as a whole: it must be one of the test's own, never a system folder.
    const size_t second = folder_.size() > 3 ? folder_.find(L'\\', 3) : std::wstring::npos;
    if (folder_.size() < 4 || folder_[1] != L':' || folder_[2] != L'\\' || second == std::wstring::npos) {
        error_ = "the installation folder must be a full path below a drive's top folder: " + Utf8(folder_);
        return;
    }
    top_ = folder_.substr(0, second);
    const std::wstring topName = Lower(top_.substr(3));
    if (Lower(top_) == Lower(windows) || topName == L"windows" || topName.rfind(L"program files", 0) == 0 ||
        topName == L"users" || topName == L"programdata") {
        error_ = "refusing to use a system folder for a test installation: " + Utf8(top_);
        top_.clear();
        return;
    }

    // Leftovers of an earlier run.
    if (Exists(top_) && !RemoveTree(top_)) {
        error_ = "cannot remove the leftover folder " + Utf8(top_);
        return;
    }
    DeleteFileW((windows + L"\\SpKaredona.ini").c_str());
    unlha32WasThere_ = Exists(windows + L"\\UNLHA32.DLL");

    if (!MakeFolders(folder_)) {
        error_ = "cannot create " + Utf8(folder_) + ", error " + std::to_string(GetLastError());
        return;
    }

    if (options.settings != SettingsPlace::None) {
        const std::string content =
            options.settingsContent ? *options.settingsContent : "[Karedona]\r\nPath=" + Utf8(folder_) + "\r\n";
        const std::wstring path =
            (options.settings == SettingsPlace::WindowsFolder ? windows + L"\\" : folder_) + L"SpKaredona.ini";
        if (!WriteFileBytes(path, ToShiftJis(content))) {
            error_ = "cannot write " + Utf8(path);
            return;
        }
    }

    const std::wstring stub = BesideTestProgram(L"version_stub.exe");
    const std::wstring karemain = folder_ + L"karemain.exe";
    if (options.karemain == KaremainKind::Versioned) {
        VersionResourceContent content;
        content.strings = {{L"FileVersion", options.fileVersion}};
        std::string why;
        if (!MakeVersionedFile(stub, karemain, BuildVersionResource(content), &why)) {
            error_ = "cannot make " + Utf8(karemain) + ": " + why;
            return;
        }
    } else if (options.karemain == KaremainKind::WithoutResource) {
        if (!CopyFileW(stub.c_str(), karemain.c_str(), FALSE)) {
            error_ =
                "cannot copy " + Utf8(stub) + " to " + Utf8(karemain) + ", error " + std::to_string(GetLastError());
            return;
        }
    }

    if (options.downloadIni && !WriteFileBytes(folder_ + L"DOWNLOAD.INI", ToShiftJis(*options.downloadIni))) {
        error_ = "cannot write DOWNLOAD.INI";
        return;
    }
    if (options.unlha32Source &&
        !CopyFileW(options.unlha32Source->c_str(), (folder_ + L"UNLHA32.DLL").c_str(), FALSE)) {
        error_ = "cannot copy " + Utf8(*options.unlha32Source) + ", error " + std::to_string(GetLastError());
        return;
    }
}

ScopedInstallation::~ScopedInstallation() { Remove(); }

bool ScopedInstallation::Remove() {
    bool ok = true;
    if (!top_.empty() && Exists(top_)) ok = RemoveTree(top_) && ok;
    const std::wstring windows = WindowsFolder();
    const std::wstring settings = windows + L"\\SpKaredona.ini";
    if (Exists(settings)) ok = DeleteFileW(settings.c_str()) && ok;
    const std::wstring unlha32 = windows + L"\\UNLHA32.DLL";
    if (!unlha32WasThere_ && Exists(unlha32)) ok = DeleteFileW(unlha32.c_str()) && ok;
    return ok;
}

// ---------------------------------------------------------------------------------------------

namespace {

LRESULT CALLBACK ProductWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

ProductWindow::ProductWindow(bool visible) {
    std::promise<HWND> made;
    std::future<HWND> result = made.get_future();
    thread_ = std::thread([visible, &made] {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = ProductWindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        wc.lpszClassName = L"TKarMake_Form";
        RegisterClassW(&wc);  // fails harmlessly when a previous window registered it
        HWND window =
            CreateWindowExW(0, L"TKarMake_Form", L"カレドナ", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 0, 0,
                            320, 200, nullptr, nullptr, instance, nullptr);
        made.set_value(window);
        if (!window) return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    });
    window_ = result.get();
    if (!window_) thread_.join();
}

ProductWindow::~ProductWindow() { Destroy(); }

void ProductWindow::Destroy() {
    if (!thread_.joinable()) return;
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
    window_ = nullptr;
}
