#pragma once
// The HTTP engine of TnxHTTP, built on Winsock: the seven entries of the engine table.
//
// One engine object per component. It runs on the thread that calls it (the UI thread): a Get
// uses one non-blocking socket and waits in slices of at most 20 ms, dispatching the thread's
// window messages between them, and raises every event on that thread, nested inside the Get.
// Names are resolved on a helper thread meanwhile. Texts at the entries are ANSI code page bytes.

#include "nxcore.h"
#include "nxhttp_ids.h"

namespace nx::engine {

// Error codes that HTTP_Set and HTTP_Do return (with a text in HTTP_GetLastError). An answer of
// the server that is not 2xx returns its status code instead (300 to 599), its reason phrase as
// the text.
enum ErrorCode : int {
    kErrInvalidHandle = 1,    // not a live engine object
    kErrUnknownProperty = 2,  // no property with that id (or a non-zero index)
    kErrReadOnly = 3,         // Connected and Idle cannot be written
    kErrBadValue = 4,         // a value out of its range (ports 0 to 65535, enumerations, Timeout >= 0)
    kErrUnknownMethod = 5,
    kErrBusy = 6,                                // Get called while a Get of the same object runs
    kErrBadUrl = 7,                              // the URL (or a redirection's Location) cannot be used
    kErrUnsupported = http_ids::errUnsupported,  // a firewall type or authentication scheme that
                                                 // this engine or system lacks
    kErrResolve = 10,                            // the host name cannot be resolved
    kErrConnect = 11,                            // the connection was refused or failed
    kErrTimeout = 12,      // Timeout passed while connecting, sending or waiting for data, or TimeLimit
                           // passed since the Get started
    kErrSend = 13,         // the request could not be sent
    kErrReceive = 14,      // the connection failed (was reset) while the answer arrived
    kErrBadResponse = 15,  // the answer is not valid HTTP, or its heads exceed the parser's limits
    kErrIncomplete = 16,   // the connection closed before the answer ended
    kErrFile = 17,         // LocalFile cannot be created or written
    kErrInterrupted = 18,  // Interrupt or Reset during the Get, or the application quitting
    kErrRedirect = 19,     // too many redirections, or one without a Location
    kErrNetwork = 20,      // Winsock cannot be started or a socket cannot be made
};

// Direction argument of the transfer events: the engine only receives bodies.
inline constexpr int kDirectionReceive = 1;

// The entries of the engine, for the engine table.
EngineEntries HttpEngineEntries();

// Ends the engine at program exit: destroys the engine objects still alive.
void ShutDown();

// The dispatch of window messages between wait slices (SetNetXferMessageDispatch).
void SetMessageDispatch(nx::MessageDispatch dispatch);

}  // namespace nx::engine
