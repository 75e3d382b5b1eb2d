#include "label.h"

#include "form.h"
#include "util/text.h"

void Label::Create(Form& parent, int id, int left, int top, int width, std::string_view text, Alignment alignment) {
    alignment_ = alignment;
    left_ = left;
    top_ = top;
    rightEdge_ = left + width;
    const DWORD style = WS_VISIBLE | SS_NOPREFIX | (alignment == Alignment::Right ? SS_RIGHT : SS_LEFT);
    CreateControl(parent, id, L"STATIC", style, left, top, width, 12, text);
    FitToText(text);
}

void Label::SetText(std::string_view text) {
    if (Text() == text) return;
    const HWND parent = GetParent(Handle());
    // The old text's area is repainted by the parent, the new one by the label.
    RECT old = Bounds();
    InvalidateRect(parent, &old, TRUE);
    SetTextNow(text);
    FitToText(text);
    InvalidateRect(Handle(), nullptr, TRUE);
    UpdateWindow(parent);
    UpdateWindow(Handle());
}

void Label::FitToText(std::string_view text) {
    const std::wstring wide = Utf8ToWide(text);
    HDC dc = GetDC(Handle());
    const auto font = reinterpret_cast<HFONT>(SendMessageW(Handle(), WM_GETFONT, 0, 0));
    HGDIOBJ previous = SelectObject(dc, font);
    SIZE extent{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, previous);
    ReleaseDC(Handle(), dc);

    const int width = extent.cx;
    const int height = metrics.tmHeight;
    const int left = alignment_ == Alignment::Right ? rightEdge_ - width : left_;
    SetBounds(left, top_, width, height);
}
