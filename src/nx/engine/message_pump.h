#pragma once
// Waiting on the UI thread without freezing it: the message pump that runs between the engine's
// wait slices.

#include <windows.h>

#include <chrono>

namespace nx::engine {

using Clock = std::chrono::steady_clock;

// The longest single wait of the engine: between two slices the thread's messages are dispatched
// and requests to stop are seen.
inline constexpr DWORD kWaitSliceMs = 20;

// Dispatches the messages waiting for this thread through the dispatch the program gave
// (SetMessageDispatch in engine.h), or with TranslateMessage and DispatchMessage when it gave none.
// A WM_QUIT found there is posted again for the program's own message loop and ends the pumping
// of this object: quitSeen() then tells the engine to stop.
class MessagePump {
public:
    void Pump();
    bool quitSeen() const { return quit_; }

private:
    bool quit_ = false;
};

}  // namespace nx::engine
