#pragma once
// A one-line label that sizes itself to its text. A right-aligned label keeps its right edge
// where it was placed while its text changes. Changing the text repaints at once, so progress
// shows even while the UI thread is busy.

#include "control.h"

enum class Alignment { Left, Right };

class Label : public Control {
public:
    // `width` is the designed width: a right-aligned label's right edge is left + width.
    void Create(Form& parent, int id, int left, int top, int width, std::string_view text,
                Alignment alignment = Alignment::Left);
    void SetText(std::string_view text);

private:
    // Sizes the label to `text`; without `redraw`, neither it nor its parent is repainted.
    void FitToText(std::string_view text, bool redraw);

    Alignment alignment_ = Alignment::Left;
    int left_ = 0;
    int top_ = 0;
    int rightEdge_ = 0;
};
