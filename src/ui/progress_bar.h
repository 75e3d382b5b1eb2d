#pragma once
// A progress bar with a range of 0 to 100 unless set otherwise.

#include "control.h"

class ProgressBar : public Control {
public:
    void Create(Form& parent, int id, int left, int top, int width, int height);
    void SetRange(int minimum, int maximum);
    void SetPosition(int position);
    int Position() const;
};
