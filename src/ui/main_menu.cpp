#include "main_menu.h"

#include "form.h"
#include "util/text.h"

MainMenu::MainMenu() : menu_(CreateMenu()) {}

MainMenu::~MainMenu() {
    if (!attached_ && menu_) DestroyMenu(menu_);
}

HMENU MainMenu::AddTopItem(std::string_view caption) {
    HMENU dropDown = CreatePopupMenu();
    AppendMenuW(menu_, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(dropDown), Utf8ToWide(caption).c_str());
    return dropDown;
}

void MainMenu::AddItem(Form& form, HMENU dropDown, int id, std::string_view caption, std::function<void()> onClick) {
    AppendMenuW(dropDown, MF_STRING, static_cast<UINT_PTR>(id), Utf8ToWide(caption).c_str());
    form.OnCommand(id, std::move(onClick));
}
