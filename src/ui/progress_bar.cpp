#include "progress_bar.h"

#include "form.h"

#include <commctrl.h>

void ProgressBar::Create(Form& parent, int id, int left, int top, int width, int height) {
    CreateControl(parent, id, PROGRESS_CLASSW, WS_VISIBLE, left, top, width, height, "");
    SetRange(0, 100);
    SetPosition(0);
}

void ProgressBar::SetRange(int minimum, int maximum) { SendMessageW(Handle(), PBM_SETRANGE32, minimum, maximum); }

void ProgressBar::SetPosition(int position) {
    // An unchanged position costs no paint.
    if (Position() == position) return;
    SendMessageW(Handle(), PBM_SETPOS, static_cast<WPARAM>(position), 0);
    UpdateWindow(Handle());
}

int ProgressBar::Position() const { return static_cast<int>(SendMessageW(Handle(), PBM_GETPOS, 0, 0)); }
