#pragma once
// A push button; a click runs the handler given at creation.

#include "control.h"

#include <functional>

class Button : public Control {
public:
    void Create(Form& parent, int id, int left, int top, int width, int height, std::string_view caption,
                std::function<void()> onClick);
};
