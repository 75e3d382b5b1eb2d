#pragma once
// The proxy's side of an NTLM logon (also under the name Negotiate, as Wine's packages speak it),
// for the tests' own proxies: a fixed challenge, and a check of the client's NTLMv2 answer against
// the one user and password the proxy knows. Independent of the program's code; hashes by CNG.

#include <optional>
#include <string>
#include <string_view>

namespace ntlmtest {

std::string ToBase64(std::string_view bytes);
std::optional<std::string> FromBase64(std::string_view text);

// One connection's logon. Admit() is given each request head and says whether the request may
// pass; when not, `authenticate` holds the Proxy-Authenticate lines of the 407 to answer with.
class ProxyLogon {
public:
    ProxyLogon(std::string user, std::string password) : user_(std::move(user)), password_(std::move(password)) {}
    bool Admit(const std::string& head, std::string& authenticate);
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    bool loggedOn() const { return loggedOn_; }
    int challenges() const { return challenges_; }  // type 1 messages answered with a challenge
    int refused() const { return refused_; }        // type 3 messages that did not prove the password
    // The Proxy-Authenticate lines of the first 407: both schemes, no token.
    static const char* Offer() { return "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"; }

private:
    std::string user_;
    std::string password_;
    bool challenged_ = false;
    bool loggedOn_ = false;
    int challenges_ = 0;
    int refused_ = 0;
};

}  // namespace ntlmtest
