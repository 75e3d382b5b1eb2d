/* Stands in for the product's main executable in tests and the demo: a window of the product's
   class "TKarMake_Form" that stays until it is closed, when started with "/window"; otherwise it
   exits at once. Only its version resource matters to the updater. */
#include <windows.h>

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    if (lstrcmpiA(commandLine, "/window") != 0) return 0;
    WNDCLASSW windowClass = {0};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"TKarMake_Form";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"TKarMake_Form", L"カレドナ", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320,
                                200, NULL, NULL, instance, NULL);
    ShowWindow(window, show);
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
