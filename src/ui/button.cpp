#include "button.h"

#include "form.h"

void Button::Create(Form& parent, int id, int left, int top, int width, int height, std::string_view caption,
                    std::function<void()> onClick) {
    CreateControl(parent, id, L"BUTTON", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, left, top, width, height, caption);
    parent.OnCommand(id, std::move(onClick));
}
