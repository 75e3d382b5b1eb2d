#include "screenshot.h"

#include "version_resource.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

ScreenPixels CaptureScreenRect(const RECT& rect) {
    ScreenPixels image;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return image;

    HDC screen = GetDC(nullptr);
    if (!screen) return image;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (memory && bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT)) {
            GdiFlush();
            image.width = width;
            image.height = height;
            image.pixels.resize(static_cast<size_t>(width) * height);
            std::memcpy(image.pixels.data(), bits, image.pixels.size() * sizeof(uint32_t));
            for (uint32_t& p : image.pixels) p &= 0x00FFFFFF;
        }
        SelectObject(memory, old);
    }
    if (bitmap) DeleteObject(bitmap);
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return image;
}

ScreenPixels CaptureClient(HWND window) {
    RECT client{};
    if (!IsWindow(window) || !GetClientRect(window, &client)) return {};
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    return CaptureScreenRect(client);
}

std::vector<std::pair<uint32_t, size_t>> ColoursByCount(const ScreenPixels& image) {
    std::map<uint32_t, size_t> counts;
    for (uint32_t p : image.pixels) ++counts[p];
    std::vector<std::pair<uint32_t, size_t>> out(counts.begin(), counts.end());
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return out;
}

bool SaveBmp(const ScreenPixels& image, const std::wstring& path, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (image.width <= 0 || image.height <= 0) return fail("no pixels to save");
    const uint32_t rowBytes = (static_cast<uint32_t>(image.width) * 3 + 3) & ~3u;
    const uint32_t dataBytes = rowBytes * static_cast<uint32_t>(image.height);
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + dataBytes;
    header.biSize = sizeof header;
    header.biWidth = image.width;
    header.biHeight = image.height;  // bottom row first
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = dataBytes;

    std::vector<uint8_t> out(file.bfSize, 0);
    std::memcpy(out.data(), &file, sizeof file);
    std::memcpy(out.data() + sizeof file, &header, sizeof header);
    for (int y = 0; y < image.height; ++y) {
        uint8_t* row = out.data() + file.bfOffBits + static_cast<size_t>(image.height - 1 - y) * rowBytes;
        for (int x = 0; x < image.width; ++x) {
            const uint32_t p = image.At(x, y);
            row[x * 3 + 0] = static_cast<uint8_t>(p);        // blue
            row[x * 3 + 1] = static_cast<uint8_t>(p >> 8);   // green
            row[x * 3 + 2] = static_cast<uint8_t>(p >> 16);  // red
        }
    }
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return fail("cannot create the file, error " + std::to_string(GetLastError()));
    DWORD written = 0;
    const BOOL ok = WriteFile(f, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    CloseHandle(f);
    if (!ok || written != out.size()) return fail("cannot write the file, error " + std::to_string(GetLastError()));
    return true;
}

bool SaveWindowScreenshot(HWND window, const std::wstring& path, std::string* error, DWORD settleMs) {
    RECT rect{};
    if (!IsWindow(window) || !GetWindowRect(window, &rect)) {
        if (error) *error = "no such window";
        return false;
    }
    // Only the part on the screen can be read.
    RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    RECT visible{};
    if (!IntersectRect(&visible, &rect, &screen)) {
        if (error) *error = "the window lies outside the screen";
        return false;
    }
    // Another program's window may lie on top of it (tests share one screen).
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
    // A window that has just appeared is painted bit by bit (first black, then the frame, the
    // controls one after another): wait until two captures 150 ms apart are the same.
    ScreenPixels image = CaptureScreenRect(visible);
    for (DWORD waited = 0; waited < settleMs; waited += 150) {
        Sleep(150);
        ScreenPixels again = CaptureScreenRect(visible);
        const bool same = again.pixels == image.pixels;
        image = std::move(again);
        if (same) break;
    }
    if (image.pixels.empty()) {
        if (error) *error = "cannot read the screen";
        return false;
    }
    return SaveBmp(image, path, error);
}

bool SaveScreenScreenshot(const std::wstring& path, std::string* error) {
    RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    ScreenPixels image = CaptureScreenRect(screen);
    if (image.pixels.empty()) {
        if (error) *error = "cannot read the screen";
        return false;
    }
    return SaveBmp(image, path, error);
}

std::wstring ScreenshotPath(const std::wstring& name) {
    const std::wstring folder = BesideTestProgram(L"screenshots");
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}
