#include "engine.h"

#include <set>

#include "session.h"
#include "socket.h"

namespace nx::engine {

namespace {

// The engine objects alive: a handle that is not among them is refused at every entry.
std::set<Session*>& LiveSessions() {
    static std::set<Session*> sessions;
    return sessions;
}

Session* Find(EngineHandle handle) {
    auto* session = reinterpret_cast<Session*>(handle);
    return LiveSessions().count(session) ? session : nullptr;
}

// An object destroyed during its own Get is deleted once that Get has unwound.
void DeleteIfDestroyed(Session* session) {
    if (session->destroyPending() && !session->busy()) delete session;
}

EngineHandle NX_CALL Create(EventSink sink, void* context, std::intptr_t) {
    if (StartWinsock() != 0) return 0;
    try {
        auto* session = new Session(sink, context);
        LiveSessions().insert(session);
        return reinterpret_cast<EngineHandle>(session);
    } catch (...) {
        return 0;
    }
}

void Release(Session* session) {
    if (session->busy()) {
        session->MarkForDestruction();  // the running Get deletes it when it unwinds
    } else {
        delete session;
    }
}

void NX_CALL Destroy(EngineHandle handle) {
    Session* session = Find(handle);
    if (!session) return;
    LiveSessions().erase(session);
    Release(session);
}

int NX_CALL SetProperty(EngineHandle handle, int id, int index, std::intptr_t value, int) {
    Session* session = Find(handle);
    return session ? session->Set(id, index, value) : kErrInvalidHandle;
}

std::intptr_t NX_CALL GetProperty(EngineHandle handle, int id, int index, int*) {
    Session* session = Find(handle);
    return session ? session->Get(id, index) : 0;
}

const char* NX_CALL LastError(EngineHandle handle) {
    Session* session = Find(handle);
    return session ? session->lastError() : "エンジンのハンドルが正しくありません";
}

int NX_CALL CheckIndex(EngineHandle handle, int id, int index) {
    Session* session = Find(handle);
    return session ? session->CheckIndex(id, index) : kErrInvalidHandle;
}

// An exception here comes from an event handler of the application, raised through the Get; it
// goes on to the front, which raised the event and knows the application.
int NX_CALL DoMethod(EngineHandle handle, int method, int argCount, std::intptr_t* values, int*) {
    Session* session = Find(handle);
    if (!session) return kErrInvalidHandle;
    int result = 0;
    try {
        result = session->Do(method, argCount, values);
    } catch (...) {
        DeleteIfDestroyed(session);
        throw;
    }
    DeleteIfDestroyed(session);
    return result;
}

}  // namespace

EngineEntries HttpEngineEntries() {
    EngineEntries entries;
    entries.HTTP_Create = &Create;
    entries.HTTP_Destroy = &Destroy;
    entries.HTTP_Set = &SetProperty;
    entries.HTTP_Get = &GetProperty;
    entries.HTTP_GetLastError = &LastError;
    entries.HTTP_CheckIndex = &CheckIndex;
    entries.HTTP_Do = &DoMethod;
    return entries;
}

void ShutDown() {
    const std::set<Session*> sessions = LiveSessions();
    LiveSessions().clear();
    for (Session* session : sessions) Release(session);
}

}  // namespace nx::engine
