#include "properties.h"

#include "engine.h"
#include "nxhttp_ids.h"

namespace nx::engine {

using namespace nx::http_ids;

Properties::Properties()
    : integers_{
          {idAuthScheme, 0}, {idConnected, 0},  {idFirewallPort, 0}, {idFirewallType, 0}, {idFollowRedirects, 0},
          {idIdle, 0},       {idProxyPort, 80}, {idTimeout, 60},     {idTimeLimit, 0},    {idProxyLogonAsUser, 1}} {
    for (const int id : {idAccept, idFirewallHost, idFirewallPassword, idFirewallUser, idLocalFile, idLocalHost,
                         idPassword, idProxyPassword, idProxyServer, idProxyUser, idRange, idURL, idUser, idUserAgent})
        texts_[id];
}

bool Properties::IsText(int id) {
    switch (id) {
    case idAccept:
    case idFirewallHost:
    case idFirewallPassword:
    case idFirewallUser:
    case idLocalFile:
    case idLocalHost:
    case idPassword:
    case idProxyPassword:
    case idProxyServer:
    case idProxyUser:
    case idRange:
    case idURL:
    case idUser:
    case idUserAgent: return true;
    default: return false;
    }
}

bool Properties::IsInteger(int id) {
    switch (id) {
    case idAuthScheme:
    case idConnected:
    case idFirewallPort:
    case idFirewallType:
    case idFollowRedirects:
    case idIdle:
    case idProxyPort:
    case idTimeout:
    case idTimeLimit:
    case idProxyLogonAsUser: return true;
    default: return false;
    }
}

int Properties::Set(int id, std::intptr_t value, std::string& error) {
    if (IsText(id)) {
        const char* text = reinterpret_cast<const char*>(value);
        texts_[id] = text ? text : "";
        return 0;
    }
    const auto v = static_cast<std::int32_t>(value);
    bool valid = true;
    switch (id) {
    case idAuthScheme: valid = v >= 0 && v <= 1; break;
    case idFirewallType: valid = v >= 0 && v <= 3; break;
    case idFollowRedirects: valid = v >= 0 && v <= 2; break;
    case idProxyLogonAsUser: valid = v == 0 || v == 1; break;
    case idFirewallPort:
    case idProxyPort: valid = v >= 0 && v <= 65535; break;
    case idTimeout:
    case idTimeLimit: valid = v >= 0; break;
    default: break;
    }
    if (!valid) {
        error = "値 " + std::to_string(v) + " は範囲外です";
        return kErrBadValue;
    }
    integers_[id] = v;
    return 0;
}

std::intptr_t Properties::Value(int id) const {
    if (IsText(id)) return reinterpret_cast<std::intptr_t>(text(id).c_str());
    if (IsInteger(id)) return integer(id);
    return 0;
}

}  // namespace nx::engine
