#pragma once
// Demo installations of カレドナ in the Wine prefix's C: drive, for whole-program tests, and a stand-in
// for the product's running window.
//
//   InstallationOptions options;
//   options.fileVersion = L"1.5.2.0";
//   ScopedInstallation installation(options);
//   ASSERT_TRUE(installation.Ok()) << installation.Error();
//   ... start KarUpdt.exe; declare the robot::Process after the installation, so that the process
//   ends before the installation is removed ...

#include <windows.h>

#include <optional>
#include <string>
#include <thread>

enum class KaremainKind {
    Versioned,        // version_stub.exe with a version resource whose "FileVersion" is fileVersion
    WithoutResource,  // version_stub.exe as it is, without any version resource
    Missing,          // no karemain.exe
};

enum class SettingsPlace {
    InstallFolder,  // <folder>SpKaredona.ini
    WindowsFolder,  // <Windows folder>\SpKaredona.ini
    None,           // no SpKaredona.ini anywhere
};

struct InstallationOptions {
    // The installation folder, ending with "\". Empty: <drive of the Windows folder>:\TALVERN\KAREDONA\.
    std::wstring folder;
    KaremainKind karemain = KaremainKind::Versioned;
    std::wstring fileVersion = L"1.5.2.0";
    SettingsPlace settings = SettingsPlace::InstallFolder;
    // The whole SpKaredona.ini in UTF-8 (written in Shift-JIS). Empty: "[Karedona]\r\nPath=<folder>\r\n".
    std::optional<std::string> settingsContent;
    // DOWNLOAD.INI in the installation folder, UTF-8 (written in Shift-JIS); none when not given.
    std::optional<std::string> downloadIni;
    // Copies this file into the installation folder as UNLHA32.DLL when given.
    std::optional<std::wstring> unlha32Source;
};

// Makes the installation at construction and removes everything it made at destruction: the
// installation's top folder (e.g. C:\TALVERN) with all it holds, SpKaredona.ini in the Windows
// folder, and UNLHA32.DLL in the Windows folder unless it was there before. Leftovers of an earlier
// run are removed first.
class ScopedInstallation {
public:
    explicit ScopedInstallation(const InstallationOptions& options = {});
    ~ScopedInstallation();
    ScopedInstallation(const ScopedInstallation&) = delete;
    ScopedInstallation& operator=(const ScopedInstallation&) = delete;

    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }
    // The installation folder, ending with "\".
    const std::wstring& Folder() const { return folder_; }
    // The folder that holds the installation at the drive's top level, e.g. C:\TALVERN.
    const std::wstring& TopFolder() const { return top_; }
    // Removes what the installation made now (also done by the destructor); false when something
    // could not be removed (a file still in use).
    bool Remove();

    // Helpers for the tests' own checks.
    static std::wstring WindowsFolder();  // e.g. C:\windows, without "\"
    static std::wstring DefaultFolder();  // <drive>:\TALVERN\KAREDONA\ .
    static std::string ToShiftJis(const std::string& utf8);
    static bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
    static std::optional<std::string> ReadFileBytes(const std::wstring& path);
    static bool RemoveTree(const std::wstring& folder);  // a folder with everything in it

private:
    std::wstring folder_;
    std::wstring top_;
    bool unlha32WasThere_ = false;
    std::string error_;
};

// A top-level window of class "TKarMake_Form", as the running product shows, made in the test's own
// process on a thread of its own (with its own message loop, so that it lives on while the test
// thread waits). Hidden unless `visible`.
class ProductWindow {
public:
    explicit ProductWindow(bool visible = false);
    ~ProductWindow();
    ProductWindow(const ProductWindow&) = delete;
    ProductWindow& operator=(const ProductWindow&) = delete;

    HWND Handle() const { return window_; }
    bool Exists() const { return window_ && IsWindow(window_); }
    // Destroys the window and ends its thread; returns once the window is gone.
    void Destroy();

private:
    std::thread thread_;
    HWND window_ = nullptr;
};
