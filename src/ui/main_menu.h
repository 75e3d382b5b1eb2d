#pragma once
// A window's menu bar: top-level items with drop-down items whose choice runs a handler.

#include <windows.h>

#include <functional>
#include <string_view>

class Form;

class MainMenu {
public:
    MainMenu();
    MainMenu(const MainMenu&) = delete;
    MainMenu& operator=(const MainMenu&) = delete;
    ~MainMenu();

    // Adds a top-level item and returns its drop-down menu.
    HMENU AddTopItem(std::string_view caption);
    // Adds an item to a drop-down menu; choosing it runs `onClick` through the form.
    void AddItem(Form& form, HMENU dropDown, int id, std::string_view caption, std::function<void()> onClick);

    HMENU Handle() const { return menu_; }
    // The form's window owns the menu from now on.
    void AttachedToWindow() { attached_ = true; }

private:
    HMENU menu_;
    bool attached_ = false;
};
