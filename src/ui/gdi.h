#pragma once
// Owner of GDI fonts, and the fonts the toolkit makes.

#include "util/handle.h"

using FontHandle = UniqueHandle<NullHandleTraits<HFONT, &DeleteObject>>;
// Memory device contexts (CreateCompatibleDC).
using MemoryDc = UniqueHandle<NullHandleTraits<HDC, &DeleteDC>>;

// A font by face name, character set and height in pixels (character height, not cell height).
FontHandle MakeFont(const wchar_t* face, BYTE charset, int pixelHeight);
// The system's font for message boxes.
FontHandle MakeMessageFont();
