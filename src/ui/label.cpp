#include "label.h"

#include "form.h"
#include "gdi.h"
#include "util/text.h"

namespace {

// Text is measured in a memory context of the screen's kind: the same extents as the label's own
// context, without taking and releasing a window's context for every change.
HDC MeasuringContext() {
    static const MemoryDc context(CreateCompatibleDC(nullptr));
    return context.get();
}

bool Covers(const RECT& outer, const RECT& inner) {
    return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
           outer.bottom >= inner.bottom;
}

}  // namespace

void Label::Create(Form& parent, int id, int left, int top, int width, std::string_view text, Alignment alignment) {
    alignment_ = alignment;
    left_ = left;
    top_ = top;
    rightEdge_ = left + width;
    const DWORD style = WS_VISIBLE | SS_NOPREFIX | (alignment == Alignment::Right ? SS_RIGHT : SS_LEFT);
    CreateControl(parent, id, L"STATIC", style, left, top, width, 12, text);
    FitToText(text, true);
}

void Label::SetText(std::string_view text) {
    if (Text() == text) return;
    const HWND parent = GetParent(Handle());
    const RECT old = Bounds();
    // Sized for the new text first, without a paint of its own: setting the text then repaints
    // the label (the static control paints or invalidates itself), so most changes cost one
    // paint. The parent repaints only what the old text covered beyond the new one.
    FitToText(text, false);
    SetTextNow(text);
    if (!Covers(Bounds(), old)) {
        InvalidateRect(parent, &old, TRUE);
        UpdateWindow(parent);
    }
    UpdateWindow(Handle());
}

void Label::FitToText(std::string_view text, bool redraw) {
    const std::wstring wide = Utf8ToWide(text);
    HDC dc = MeasuringContext();
    const auto font = reinterpret_cast<HFONT>(SendMessageW(Handle(), WM_GETFONT, 0, 0));
    HGDIOBJ previous = SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(SYSTEM_FONT));
    SIZE extent{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, previous);

    const int width = extent.cx;
    const int height = metrics.tmHeight;
    const int left = alignment_ == Alignment::Right ? rightEdge_ - width : left_;
    const RECT now = Bounds();
    if (now.left != left || now.top != top_ || now.right - now.left != width || now.bottom - now.top != height)
        SetWindowPos(Handle(), nullptr, left, top_, width, height,
                     SWP_NOZORDER | SWP_NOACTIVATE | (redraw ? 0 : SWP_NOREDRAW));
}
