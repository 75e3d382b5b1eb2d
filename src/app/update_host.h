#pragma once

// The host (and optional ":port") of the update server, fixed when the executable is built: the
// vendor builds KarUpdt.exe for its own server. Defined in the executable, not in the library, so
// that tests can link the program against a server on loopback.
extern const char* const kUpdateHost;
