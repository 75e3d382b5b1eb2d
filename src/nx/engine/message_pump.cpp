#include "message_pump.h"

#include "engine.h"

namespace nx::engine {

namespace {

nx::MessageDispatch g_dispatch = nullptr;

}  // namespace

void SetMessageDispatch(nx::MessageDispatch dispatch) { g_dispatch = dispatch; }

void MessagePump::Pump() {
    if (quit_) return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The program's loop must still see it; the engine stops this Get.
            quit_ = true;
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (g_dispatch) {
            g_dispatch(msg);
        } else {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace nx::engine
