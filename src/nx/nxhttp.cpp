#include "nxhttp.h"

#include "util/text.h"

namespace {

// Texts at the entry interface: NUL-terminated bytes in the system's ANSI code page; null is empty.
std::string TextArg(std::intptr_t value) {
    const auto* text = reinterpret_cast<const char*>(value);
    return text ? AnsiToUtf8(text) : std::string();
}

std::int32_t IntArg(std::intptr_t value) { return static_cast<std::int32_t>(value); }

}  // namespace

TnxHTTP::TnxHTTP() {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (engine.HTTP_Create) handle_ = engine.HTTP_Create(&TnxHTTP::EventSink, this, 0);
    if (handle_ == 0) Raise(-1, "NetXfer HTTP: Error creating component");

    // The defaults, one by one; a refused write does not stop the others.
    auto guarded = [](auto&& write) {
        try {
            write();
        } catch (...) {}
    };
    guarded([&] { SetAccept(""); });
    guarded([&] { SetAuthScheme(authBasic); });
    guarded([&] { SetFirewallHost(""); });
    guarded([&] { SetFirewallPassword(""); });
    guarded([&] { SetFirewallPort(0); });
    guarded([&] { SetFirewallType(fwNone); });
    guarded([&] { SetFirewallUser(""); });
    guarded([&] { SetFollowRedirects(frNever); });
    guarded([&] { SetLocalFile(""); });
    guarded([&] { SetPassword(""); });
    guarded([&] { SetProxyPassword(""); });
    guarded([&] { SetProxyPort(80); });
    guarded([&] { SetProxyServer(""); });
    guarded([&] { SetProxyUser(""); });
    guarded([&] { SetRange(""); });
    guarded([&] { SetTimeout(60); });
    guarded([&] { SetURL(""); });
    guarded([&] { SetUser(""); });
}

TnxHTTP::~TnxHTTP() {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (handle_ != 0 && engine.HTTP_Destroy) engine.HTTP_Destroy(handle_);
    handle_ = 0;
}

std::exception_ptr TnxHTTP::CreateException(std::int32_t code, const std::string& description) const {
    return std::make_exception_ptr(EnxHTTP(code, description));
}

void TnxHTTP::ShowAbout() { Do(midAbout, 0, nullptr, nullptr); }

void TnxHTTP::Get(const std::string& url) {
    const std::string ansi = Utf8ToAnsi(url);
    std::intptr_t values[1] = {reinterpret_cast<std::intptr_t>(ansi.c_str())};
    int lengths[1] = {0};
    Do(midGet, 1, values, lengths);
}

void TnxHTTP::Interrupt() { Do(midInterrupt, 0, nullptr, nullptr); }

void TnxHTTP::Reset() { Do(midReset, 0, nullptr, nullptr); }

std::string TnxHTTP::GetText(int id) const {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (!engine.HTTP_Get) return {};
    return TextArg(engine.HTTP_Get(handle_, id, 0, nullptr));
}

void TnxHTTP::SetText(int id, const std::string& value) {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (!engine.HTTP_Set) return;
    const std::string ansi = Utf8ToAnsi(value);
    const int result = engine.HTTP_Set(handle_, id, 0, reinterpret_cast<std::intptr_t>(ansi.c_str()), 0);
    if (result != 0) Raise(result, "");
}

std::int32_t TnxHTTP::GetInt(int id) const {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (!engine.HTTP_Get) return 0;
    return IntArg(engine.HTTP_Get(handle_, id, 0, nullptr));
}

void TnxHTTP::SetInt(int id, std::int32_t value) {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (!engine.HTTP_Set) return;
    const int result = engine.HTTP_Set(handle_, id, 0, value, 0);
    if (result != 0) Raise(result, "");
}

void TnxHTTP::Do(int methodId, int argCount, std::intptr_t* values, int* lengths) {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (!engine.HTTP_Do) return;
    const int result = engine.HTTP_Do(handle_, methodId, argCount, values, lengths);
    if (result != 0) Raise(result, "");
}

void TnxHTTP::Raise(std::int32_t code, std::string text) const {
    const nx::EngineEntries& engine = nx::HttpEngineEntries();
    if (text.empty() && engine.HTTP_GetLastError) {
        text = TextArg(reinterpret_cast<std::intptr_t>(engine.HTTP_GetLastError(handle_)));
    }
    std::rethrow_exception(CreateException(code, text));
}

int NX_CALL TnxHTTP::EventSink(void* context, int eventId, int /*argCount*/, std::intptr_t* values, int* lengths) {
    static_cast<TnxHTTP*>(context)->Dispatch(eventId, values, lengths);
    return 0;
}

void TnxHTTP::Dispatch(int eventId, std::intptr_t* v, int* lengths) {
    switch (eventId) {
    case evConnected:
        if (OnConnected) OnConnected(*this, IntArg(v[0]), TextArg(v[1]));
        break;
    case evConnectionStatus:
        if (OnConnectionStatus) OnConnectionStatus(*this, TextArg(v[0]), IntArg(v[1]), TextArg(v[2]));
        break;
    case evDisconnected:
        if (OnDisconnected) OnDisconnected(*this, IntArg(v[0]), TextArg(v[1]));
        break;
    case evEndTransfer:
        if (OnEndTransfer) OnEndTransfer(*this, IntArg(v[0]));
        break;
    case evError:
        if (OnError) OnError(*this, IntArg(v[0]), TextArg(v[1]));
        break;
    case evHeader:
        if (OnHeader) OnHeader(*this, TextArg(v[0]), TextArg(v[1]));
        break;
    case evRedirect:
        if (OnRedirect) {
            redirectAccept_ = (v[1] & 0xFF) != 0;
            OnRedirect(*this, TextArg(v[0]), redirectAccept_);
            v[1] = redirectAccept_ ? 1 : 0;
        }
        break;
    case evSetCookie:
        if (OnSetCookie) {
            OnSetCookie(*this, TextArg(v[0]), TextArg(v[1]), TextArg(v[2]), TextArg(v[3]), TextArg(v[4]), v[5] != 0);
        }
        break;
    case evStartTransfer:
        if (OnStartTransfer) OnStartTransfer(*this, IntArg(v[0]));
        break;
    case evStatus:
        if (OnStatus) OnStatus(*this, TextArg(v[0]), IntArg(v[1]), TextArg(v[2]));
        break;
    case evTransfer:
        if (OnTransfer) {
            const auto* bytes = reinterpret_cast<const char*>(v[2]);
            const int count = lengths ? lengths[2] : 0;
            const std::string_view text =
                bytes && count > 0 ? std::string_view(bytes, static_cast<std::size_t>(count)) : std::string_view();
            OnTransfer(*this, IntArg(v[0]), IntArg(v[1]), text);
        }
        break;
    default: break;  // an event this component does not know
    }
}
