#pragma once
// The application: its title, the single message loop, and how errors reach the user.

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>

class Form;

class Application {
public:
    // Registers the window classes and common controls the toolkit uses, and keeps the
    // application's title, the caption of the standard error box. Call once at start-up.
    static void Initialize(HINSTANCE instance, std::string_view title);
    static HINSTANCE Instance();

    // Shows `form`, runs the message loop until the form's window is destroyed, and returns.
    static void Run(Form& form);

    // Dispatches every message already waiting for this thread, then returns. Keeps the window
    // alive during long work on the UI thread. Returns false once the application is quitting.
    static bool ProcessMessages();
    static bool Terminated();

    // The window that the program's own dialogs and boxes belong to: the running main form when
    // it is visible, otherwise none.
    static HWND DialogOwner();

    // The standard error box for an exception that escaped an event handler: caption the
    // application's title, stop icon, one OK button. The program goes on afterwards.
    static void ShowException(const std::exception& error);
    static void ShowException(std::string_view message);

    // The general error report for an exception that escaped the program body.
    static void ShowFatalError(std::string_view message);

    // The message as the error boxes show it: a "." is appended when the last character sorts
    // above ".", so that a sentence without a full stop gets one.
    static std::string WithFinalFullStop(std::string_view message);

    // The hourglass over the program's windows while long work runs on the UI thread.
    static void SetBusyCursor(bool busy);
    static bool BusyCursor();

    // Called by the main form when its window is destroyed: ends the message loop.
    static void MainFormDestroyed(HWND window);

    // Dispatches one message as the program's loop does, with the main form's keyboard navigation
    // (Tab between its controls, Space and Enter on buttons). Code that waits on the UI thread
    // with a loop of its own dispatches through this.
    static void Dispatch(MSG& message);
};

// Runs `action` and shows anything it throws in the standard error box. Every entry from Win32
// into the program's handlers goes through this, so no exception crosses a window procedure.
template <typename Action>
void Guarded(Action&& action) noexcept {
    try {
        action();
    } catch (const std::exception& error) {
        Application::ShowException(error);
    } catch (...) {
        Application::ShowException(std::string_view("Unknown error"));
    }
}
