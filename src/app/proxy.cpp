// The proxy settings: DOWNLOAD.INI in the installation folder.
#include "mainform.h"

#include "util/files.h"
#include "util/number.h"
#include "util/settings.h"

#include <cmath>

void TMainForm::ReadInitFile() {
    ProxyIP.clear();
    ProxyPort = 0;
    if (!FileExists(IniFileName)) return;
    const auto text = ReadAnsiTextFile(IniFileName);
    if (!text) return;  // unreadable: no proxy
    const std::string host = FindSetting(*text, "PROXYIP").value_or("");
    const double port = std::trunc(TextToNumber(FindSetting(*text, "PROXYPORT").value_or("")));
    if (port < 0 || port > 65535) return;  // out of range: the whole file counts as unreadable
    ProxyIP = host;
    ProxyPort = static_cast<std::uint16_t>(port);
}
