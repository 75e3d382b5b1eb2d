// The proxy settings: DOWNLOAD.INI in the installation folder, read at creation and written by the
// menu's commands and at the end of an installation.
#include "mainform.h"

#include "ui/input_query.h"
#include "util/exception.h"
#include "util/files.h"
#include "util/number.h"
#include "util/settings.h"
#include "util/text.h"

#include <cmath>
#include <optional>
#include <string_view>

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

namespace {

constexpr const char* kProxyCaption = "プロキシ設定";

std::string FullFileName(const std::string& name) {
    const std::wstring wide = Utf8ToWide(name);
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameW(wide.c_str(), MAX_PATH * 2, full, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? WideToUtf8(full) : name;
}

}  // namespace

void TMainForm::ProxyIPMenuClick() {
    std::string host = ProxyIP;
    InputQuery(kProxyCaption, "プロキシIP", host);  // after キャンセル the text is the one it started with
    ProxyIP = host;
    WriteInitFile();
}

void TMainForm::ProxyPortMenuClick() {
    std::string text = std::to_string(ProxyPort);
    InputQuery(kProxyCaption, "プロキシPort", text);
    const std::optional<long long> port = ParseSignedDigits(text);
    if (!port) throw NotAnInteger(text);
    if (*port < 0 || *port > 65535) throw Exception("範囲チェックエラー");
    ProxyPort = static_cast<std::uint16_t>(*port);
    WriteInitFile();
}

void TMainForm::WriteInitFile() {
    const std::string content = "PROXYIP=" + ProxyIP + "\r\nPROXYPORT=" + std::to_string(ProxyPort) + "\r\n";
    if (!WriteWholeFile(IniFileName, Utf8ToAnsi(content))) {
        const DWORD error = GetLastError();
        throw Exception("ファイル \"" + FullFileName(IniFileName) + "\" を作成できません。" + SystemErrorText(error));
    }
}
