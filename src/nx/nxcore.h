#pragma once
// NetXfer core: the base of the transfer components, their exception class, and the process-wide
// table through which a component reaches its engine.
//
// A component keeps no copy of its properties: every property read and write, every operation and
// every event crosses the seven entries of the engine table, which name properties, operations and
// events by number. The table is filled at program start by ProvisionNetXferEngines() from the
// Winsock engine built into the program (src/nx/engine), and emptied at exit by
// ReleaseNetXferEngines(). An empty entry means that the entry is unavailable: a component then
// cannot be created (HTTP_Create), or the read, write or operation does nothing (the others).
//
// Everything here runs on the program's one UI thread; the table is written only at start-up and
// at exit (and by tests), never while a component is at work.

#include <cstdint>
#include <exception>
#include <string>

#include "util/exception.h"

#if defined(_WIN32)
#define NX_CALL __stdcall
#else
#define NX_CALL
#endif

// An error of a NetXfer component: a code and a text. The message is the code in decimal, ": " and
// the text, e.g. "-1: NetXfer HTTP: Error creating component".
class ENetXfer : public Exception {
public:
    ENetXfer(std::int32_t code, const std::string& description);
    std::int32_t Code() const noexcept { return code_; }

private:
    std::int32_t code_;
};

struct tagMSG;  // MSG of <windows.h>

namespace nx {

// The engine object of one component, as the engine hands it out; 0 means none.
using EngineHandle = std::intptr_t;

// The function of the front that the engine calls for every event: the context value given at
// creation, the event id, the argument count, the argument values (integers, or pointers to
// NUL-terminated texts, or for raw bytes a pointer whose byte count stands in `lengths`) and the
// argument lengths. Returns 0. An argument that passes a value back (OnRedirect's Accept) is read
// from `values` again after the call.
using EventSink = int(NX_CALL*)(void* context, int eventId, int argCount, std::intptr_t* values, int* lengths);

// The seven entries of an engine, in table order. Argument lists:
//   HTTP_Create(sink, context, 0) -> engine handle, 0 on failure
//   HTTP_Destroy(handle)
//   HTTP_Set(handle, property id, index 0, value (integer or pointer to NUL-terminated text),
//            length 0) -> 0 when done, else an error code
//   HTTP_Get(handle, property id, index 0, null) -> integer, Boolean (non-zero), or pointer to a
//            NUL-terminated text (null reads as empty)
//   HTTP_GetLastError(handle) -> the NUL-terminated text of the handle's last error
//   HTTP_CheckIndex(handle, property id, index) -> 0 when the index is valid for the property
//   HTTP_Do(handle, method id, argument count, values, lengths) -> 0 when done, else an error code
// Texts at this interface are 8-bit strings in the system's ANSI code page.
struct EngineEntries {
    EngineHandle(NX_CALL* HTTP_Create)(EventSink sink, void* context, std::intptr_t reserved) = nullptr;
    void(NX_CALL* HTTP_Destroy)(EngineHandle handle) = nullptr;
    int(NX_CALL* HTTP_Set)(EngineHandle handle, int propertyId, int index, std::intptr_t value, int length) = nullptr;
    std::intptr_t(NX_CALL* HTTP_Get)(EngineHandle handle, int propertyId, int index, int* length) = nullptr;
    const char*(NX_CALL* HTTP_GetLastError)(EngineHandle handle) = nullptr;
    int(NX_CALL* HTTP_CheckIndex)(EngineHandle handle, int propertyId, int index) = nullptr;
    int(NX_CALL* HTTP_Do)(EngineHandle handle, int methodId, int argCount, std::intptr_t* values,
                          int* lengths) = nullptr;
};

// The process-wide table of the HTTP engine. The front reads the entries before every call.
EngineEntries& HttpEngineEntries();

// How an engine dispatches a window message while it waits on the UI thread during a transfer.
using MessageDispatch = void (*)(::tagMSG& message);

}  // namespace nx

// Gives the engines the program's own dispatch, so that its windows handle the keyboard during a
// transfer as they do outside one (Tab, Space and Enter in a window with dialog navigation).
// Without one, a message is translated and dispatched. WM_QUIT never reaches it: the engine stops
// the transfer and leaves the message for the program's own loop.
void SetNetXferMessageDispatch(nx::MessageDispatch dispatch);

// Fills the engine table from the engine built into the program. Call once at program start,
// before any component is created (ProvisionNetXferEngines is idempotent: a second call refills the
// same entries).
void ProvisionNetXferEngines();

// Empties the engine table and ends the engine: engine objects still alive go with it. Call once at
// program exit. A component that still exists afterwards finds its entries empty: its destruction
// skips the engine, reads give empty values, writes and operations do nothing.
void ReleaseNetXferEngines();

// Provisions the engines for its lifetime: construct one at the start of the program body.
class NetXferEngines {
public:
    NetXferEngines() { ProvisionNetXferEngines(); }
    ~NetXferEngines() { ReleaseNetXferEngines(); }
    NetXferEngines(const NetXferEngines&) = delete;
    NetXferEngines& operator=(const NetXferEngines&) = delete;
};

// The base of the NetXfer components.
class TnxCore {
public:
    virtual ~TnxCore() = default;
    TnxCore(const TnxCore&) = delete;
    TnxCore& operator=(const TnxCore&) = delete;

    // Reads 0 at run time; writing it has no effect.
    std::int32_t About() const { return 0; }
    void SetAbout(std::int32_t) {}

    // A new exception object for a code and a text, ready to be thrown with
    // std::rethrow_exception. The core makes an ENetXfer; components make their own class.
    virtual std::exception_ptr CreateException(std::int32_t code, const std::string& description) const;

    // Shows the library's about box.
    virtual void ShowAbout();

protected:
    TnxCore() = default;
};
