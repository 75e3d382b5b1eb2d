#pragma once
// Owner of GDI fonts, and the fonts the toolkit makes.

#include "util/handle.h"

struct FontTraits {
    using Native = HFONT;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static void Close(Native h) noexcept { DeleteObject(h); }
};
using FontHandle = UniqueHandle<FontTraits>;

// Memory device contexts (CreateCompatibleDC).
struct MemoryDcTraits {
    using Native = HDC;
    static Native Invalid() noexcept { return nullptr; }
    static bool Valid(Native h) noexcept { return h != nullptr; }
    static void Close(Native h) noexcept { DeleteDC(h); }
};
using MemoryDc = UniqueHandle<MemoryDcTraits>;

// A font by face name, character set and height in pixels (character height, not cell height).
FontHandle MakeFont(const wchar_t* face, BYTE charset, int pixelHeight);
// The system's font for message boxes.
FontHandle MakeMessageFont();
