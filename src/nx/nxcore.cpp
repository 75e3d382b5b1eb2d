#include "nxcore.h"

#include <windows.h>

#include "engine/engine.h"
#include "util/text.h"

ENetXfer::ENetXfer(std::int32_t code, const std::string& description)
    : Exception(std::to_string(code) + ": " + description), code_(code) {}

namespace nx {

EngineEntries& HttpEngineEntries() {
    static EngineEntries entries;
    return entries;
}

}  // namespace nx

void ProvisionNetXferEngines() {
    nx::EngineEntries& table = nx::HttpEngineEntries();
    table = nx::EngineEntries{};
    table = nx::engine::HttpEngineEntries();
}

void SetNetXferMessageDispatch(nx::MessageDispatch dispatch) { nx::engine::SetMessageDispatch(dispatch); }

void ReleaseNetXferEngines() {
    // Empty the table first, so that a component that outlives the engine skips it from now on.
    nx::HttpEngineEntries() = nx::EngineEntries{};
    nx::engine::ShutDown();
}

std::exception_ptr TnxCore::CreateException(std::int32_t code, const std::string& description) const {
    return std::make_exception_ptr(ENetXfer(code, description));
}

void TnxCore::ShowAbout() {
    MessageBoxW(nullptr, Utf8ToWide("NetXfer components, version " NX_VERSION).c_str(), L"About NetXfer",
                MB_OK | MB_ICONINFORMATION);
}
