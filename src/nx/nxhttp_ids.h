#pragma once
// The numbers by which the HTTP component and its engine name properties, methods and events
// across the engine table (nxcore.h). The front (TnxHTTP) and the engine both take them from here,
// so that the two sides cannot disagree.

namespace nx::http_ids {

// The error code of a Get that failed for want of something that the engine, or the system under
// it, cannot do (a firewall type, Digest, a proxy's logon scheme), not for the transfer itself.
inline constexpr int errUnsupported = 8;

// Property ids.
enum PropertyId : int {
    idAccept = 1,
    idAuthScheme = 4,
    idConnected = 5,
    idFirewallHost = 10,
    idFirewallPassword = 11,
    idFirewallPort = 12,
    idFirewallType = 13,
    idFirewallUser = 14,
    idFollowRedirects = 15,
    idIdle = 18,
    idLocalFile = 20,
    idLocalHost = 21,
    idPassword = 23,
    idProxyPassword = 27,
    idProxyPort = 28,
    idProxyServer = 29,
    idProxyUser = 30,
    idRange = 31,
    idTimeout = 34,
    idURL = 37,
    idUserAgent = 40,
    idUser = 42,
    idTimeLimit = 44,
    idProxyLogonAsUser = 45,
};

// Method ids.
enum MethodId : int { midGet = 4, midInterrupt = 6, midReset = 9, midAbout = 255 };

// Event ids, in the order of the handler slots.
enum EventId : int {
    evConnected = 1,
    evConnectionStatus = 2,
    evDisconnected = 3,
    evEndTransfer = 4,
    evError = 5,
    evHeader = 6,
    evRedirect = 7,
    evSetCookie = 8,
    evStartTransfer = 9,
    evStatus = 10,
    evTransfer = 11,
};

}  // namespace nx::http_ids
