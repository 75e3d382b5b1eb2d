#pragma once
// Screenshots from the screen's device context: a window with its frame, or the whole screen, saved
// as 24-bit BMP files (the test scripts turn them into PNG with ImageMagick's convert).
//
//   std::string error;
//   ASSERT_TRUE(SaveWindowScreenshot(window, ScreenshotPath(L"main_window.bmp"), &error)) << error;

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Pixels of a screen rectangle, top row first, each 0x00RRGGBB.
struct ScreenPixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Copies a rectangle of the screen (screen coordinates). Empty on failure.
ScreenPixels CaptureScreenRect(const RECT& rect);

// The client area of a window or control as the screen shows it.
ScreenPixels CaptureClient(HWND window);
// The colours of the pixels (0x00RRGGBB), the most frequent first: for a label, its background and
// then, as a rule, its text colour.
std::vector<std::pair<uint32_t, size_t>> ColoursByCount(const ScreenPixels& image);

// Writes pixels as a bottom-up 24-bit BMP file.
bool SaveBmp(const ScreenPixels& image, const std::wstring& path, std::string* error = nullptr);

// The window's rectangle on the screen, frame included. The window is first brought to the top
// (without activating it); what stays on top of it (its own pop-ups) shows too. Waits
// up to `settleMs` for the picture to stop changing, so that a window still being painted is saved
// once it is complete.
bool SaveWindowScreenshot(HWND window, const std::wstring& path, std::string* error = nullptr, DWORD settleMs = 3000);
// The whole screen.
bool SaveScreenScreenshot(const std::wstring& path, std::string* error = nullptr);

// `name` inside the "screenshots" folder beside the running test program (created when missing).
std::wstring ScreenshotPath(const std::wstring& name);
