#include "smtp/RelayLogin.h"

#include <algorithm>
#include <cctype>

#include "core/Fingerprint.h"
#include "auth/OAuth2.h"
#include "core/Format.h"
#include "core/ProtocolText.h"
#include "core/RegistryKey.h"

namespace pv {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The next blank-separated word of `text`, taken off its front.
std::string_view NextWord(std::string_view& text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(" \t"), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

}  // namespace

RelaySettings ReadRelaySettings() {
    RelaySettings s;
    CRegistryKey adv("AdvCon", false);
    if (adv.ReadString(kRelaySecurityValue, s.securityText)) s.security = ParseRelaySecurity(s.securityText);
    adv.ReadString(kRelayUserValue, s.user);
    if (s.user.size() > kMaxRelayUser) s.user.clear();
    char password[kMaxRelayPassword + 1] = {};
    size_t got = 0;
    if (adv.ReadBinary(kRelayPasswordValue, password, kMaxRelayPassword, &got)) {
        // A value written as text, or padded like the mailbox password field, ends at its NUL.
        s.password.assign(password, got);
        s.password.resize(std::min(s.password.size(), s.password.find('\0')));
    }
    std::string fingerprint;
    if (adv.ReadString(kRelayFingerprintValue, fingerprint) && !fingerprint.empty()) {
        s.fingerprint = ParseFingerprint(fingerprint);
        s.fingerprintInvalid = s.fingerprint.empty();
    }
    if (adv.ReadString(auth::kRelayAuthValue, s.authText)) {
        const auth::LoginMethod method = auth::ParseLoginMethod(s.authText);
        s.oauth2 = method == auth::LoginMethod::OAuth2;
        s.authInvalid = method == auth::LoginMethod::Invalid;
    }
    s.port = DefaultRelayPort(s.security);
    uint32_t port = 0;
    if (adv.ReadInt(kRelayPortValue, port)) {
        if (port >= 1 && port <= 65535) {
            s.port = port;
        } else {
            s.portInvalid = true;
        }
    }
    return s;
}

void EhloCapabilities::AddLine(std::string_view line, bool firstLine) {
    // "250-KEYWORD params" or "250 KEYWORD params"; the code's separator is skipped.
    if (firstLine || line.size() < 4) return;
    std::string_view rest = line.substr(4);
    const std::string_view keyword = NextWord(rest);
    std::string_view mechanisms;
    if (EqualsNoCase(keyword, "STARTTLS")) {
        startTls = true;
        return;
    }
    if (EqualsNoCase(keyword, "AUTH")) {
        mechanisms = rest;
    } else if (keyword.size() > 5 && EqualsNoCase(keyword.substr(0, 5), "AUTH=")) {
        // The form relays wrote for clients that predate the standard: "AUTH=PLAIN LOGIN".
        mechanisms = line.substr(line.find('=', 4) + 1);
    } else {
        return;
    }
    for (std::string_view word = NextWord(mechanisms); !word.empty(); word = NextWord(mechanisms)) {
        auth = true;
        if (EqualsNoCase(word, "PLAIN")) authPlain = true;
        if (EqualsNoCase(word, "LOGIN")) authLogin = true;
        if (EqualsNoCase(word, "XOAUTH2")) authXOAuth2 = true;
        if (EqualsNoCase(word, "OAUTHBEARER")) authOAuthBearer = true;
    }
}

AuthMechanism ChooseMechanism(const EhloCapabilities& caps) {
    if (caps.authPlain) return AuthMechanism::Plain;
    if (caps.authLogin) return AuthMechanism::Login;
    return AuthMechanism::None;
}

std::string SaslPlainResponse(std::string_view user, std::string_view password) {
    std::string token;
    token.push_back('\0');
    token.append(user);
    token.push_back('\0');
    token.append(password);
    return Base64Encode(token);
}

}  // namespace pv
