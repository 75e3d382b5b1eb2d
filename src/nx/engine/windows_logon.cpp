#include "windows_logon.h"

#include <vector>

#include "util/text.h"

namespace nx::engine {

namespace {

// The security packages' function table, from secur32.dll in the System folder; null when the
// system has none. Loaded once and kept for the program's life.
PSecurityFunctionTableW SecurityFunctions() {
    static const PSecurityFunctionTableW table = []() -> PSecurityFunctionTableW {
        HMODULE module = LoadLibraryExW(L"secur32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) return nullptr;
        const auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_W>(
            reinterpret_cast<void*>(GetProcAddress(module, "InitSecurityInterfaceW")));
        return init ? init() : nullptr;
    }();
    return table;
}

std::string StatusText(SECURITY_STATUS status) {
    char hex[16];
    wsprintfA(hex, "0x%08lX", static_cast<unsigned long>(status));
    switch (status) {
    case SEC_E_SECPKG_NOT_FOUND: return std::string("この方式がありません (") + hex + ")";
    case SEC_E_NO_CREDENTIALS: return std::string("使える資格情報がありません (") + hex + ")";
    case SEC_E_LOGON_DENIED: return std::string("ログオンが拒否されました (") + hex + ")";
    case SEC_E_INVALID_TOKEN: return std::string("プロキシの応答が正しくありません (") + hex + ")";
    default: return std::string("エラー ") + hex;
    }
}

}  // namespace

std::unique_ptr<WindowsLogon> WindowsLogon::Start(const std::string& scheme, const std::string& host,
                                                  const std::string& user, const std::string& password,
                                                  std::string& error) {
    const PSecurityFunctionTableW table = SecurityFunctions();
    if (!table || !table->AcquireCredentialsHandleW || !table->InitializeSecurityContextW) {
        error = "secur32.dll を使用できません";
        return nullptr;
    }
    std::unique_ptr<WindowsLogon> logon(new WindowsLogon(scheme, L"HTTP/" + Utf8ToWide(host), table));
    std::wstring package = Utf8ToWide(scheme);
    // "DOMAIN\name" is split; "name@domain" is given whole as the name, as the packages take it.
    std::wstring name = Utf8ToWide(user), domain, secret = Utf8ToWide(password);
    if (const std::size_t slash = name.find(L'\\'); slash != std::wstring::npos) {
        domain = name.substr(0, slash);
        name.erase(0, slash + 1);
    }
    SEC_WINNT_AUTH_IDENTITY_W identity{};
    identity.User = reinterpret_cast<unsigned short*>(name.data());
    identity.UserLength = static_cast<unsigned long>(name.size());
    identity.Domain = reinterpret_cast<unsigned short*>(domain.data());
    identity.DomainLength = static_cast<unsigned long>(domain.size());
    identity.Password = reinterpret_cast<unsigned short*>(secret.data());
    identity.PasswordLength = static_cast<unsigned long>(secret.size());
    identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
    TimeStamp expiry{};
    const SECURITY_STATUS status = table->AcquireCredentialsHandleW(nullptr, package.data(), SECPKG_CRED_OUTBOUND,
                                                                    nullptr, user.empty() ? nullptr : &identity,
                                                                    nullptr, nullptr, &logon->credentials_, &expiry);
    SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    if (status != SEC_E_OK) {
        error = scheme + " の資格情報を取得できません: " + StatusText(status);
        return nullptr;
    }
    logon->haveCredentials_ = true;
    return logon;
}

WindowsLogon::~WindowsLogon() {
    if (haveContext_) table_->DeleteSecurityContext(&context_);
    if (haveCredentials_) table_->FreeCredentialsHandle(&credentials_);
}

std::optional<std::string> WindowsLogon::Step(std::string_view challenge, std::string& error) {
    if (complete_ || (haveContext_ == challenge.empty())) {
        error = "認証の手順が正しくありません";
        return std::nullopt;
    }
    std::string input(challenge);
    SecBuffer in{static_cast<unsigned long>(input.size()), SECBUFFER_TOKEN, input.data()};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status = table_->InitializeSecurityContextW(
        &credentials_, haveContext_ ? &context_ : nullptr, target_.data(), ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION,
        0, SECURITY_NATIVE_DREP, haveContext_ ? &inDesc : nullptr, 0, &context_, &outDesc, &attributes, &expiry);
    std::string token;
    if (out.pvBuffer) {
        token.assign(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
        table_->FreeContextBuffer(out.pvBuffer);
    }
    if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
        haveContext_ = true;
        const SECURITY_STATUS completed =
            table_->CompleteAuthToken ? table_->CompleteAuthToken(&context_, &outDesc) : SEC_E_UNSUPPORTED_FUNCTION;
        if (completed != SEC_E_OK)
            status = completed;
        else
            status = status == SEC_I_COMPLETE_NEEDED ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        error = scheme_ + " の認証を続けられません: " + StatusText(status);
        return std::nullopt;
    }
    haveContext_ = true;
    complete_ = status == SEC_E_OK;
    return token;
}

}  // namespace nx::engine
