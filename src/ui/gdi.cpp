#include "gdi.h"

FontHandle MakeFont(const wchar_t* face, BYTE charset, int pixelHeight) {
    LOGFONTW font{};
    font.lfHeight = -pixelHeight;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = charset;
    font.lfQuality = DEFAULT_QUALITY;
    font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return FontHandle(CreateFontIndirectW(&font));
}

FontHandle MakeMessageFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return FontHandle(CreateFontIndirectW(&metrics.lfMessageFont));
    return FontHandle(static_cast<HFONT>(nullptr));
}
