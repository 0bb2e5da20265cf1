#include "auth/Sasl.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "net/Codec.h"

namespace pv::auth {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Printable(std::string text, size_t limit) {
    if (text.size() > limit) text.resize(limit);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

}  // namespace

OAuthMechanism ParseOAuthMechanism(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower.empty() || lower == "auto") return OAuthMechanism::Auto;
    if (lower == "xoauth2") return OAuthMechanism::XOAuth2;
    if (lower == "oauthbearer") return OAuthMechanism::OAuthBearer;
    return OAuthMechanism::Invalid;
}

const char* OAuthMechanismName(OAuthMechanism mechanism) {
    switch (mechanism) {
        case OAuthMechanism::Auto: return "auto";
        case OAuthMechanism::XOAuth2: return "XOAUTH2";
        case OAuthMechanism::OAuthBearer: return "OAUTHBEARER";
        case OAuthMechanism::Invalid: break;
    }
    return "invalid";
}

OAuthMechanism ChooseOAuthMechanism(OAuthMechanism configured, bool offersXOAuth2, bool offersOAuthBearer) {
    switch (configured) {
        case OAuthMechanism::Auto:
            if (offersOAuthBearer) return OAuthMechanism::OAuthBearer;
            return offersXOAuth2 ? OAuthMechanism::XOAuth2 : OAuthMechanism::Invalid;
        case OAuthMechanism::XOAuth2: return offersXOAuth2 ? configured : OAuthMechanism::Invalid;
        case OAuthMechanism::OAuthBearer: return offersOAuthBearer ? configured : OAuthMechanism::Invalid;
        case OAuthMechanism::Invalid: break;
    }
    return OAuthMechanism::Invalid;
}

std::string XOAuth2Response(std::string_view user, std::string_view token) {
    std::string message = "user=";
    message.append(user);
    message.append("\x01" "auth=Bearer ");
    message.append(token);
    message.append("\x01\x01");
    return Base64Encode(message);
}

std::string OAuthBearerResponse(std::string_view user, std::string_view token, std::string_view host, unsigned port) {
    // The GS2 header names the user; "," and "=" in it are escaped as RFC 5801 says.
    std::string escaped;
    for (char c : user) {
        if (c == ',') {
            escaped += "=2C";
        } else if (c == '=') {
            escaped += "=3D";
        } else {
            escaped.push_back(c);
        }
    }
    std::string message = "n,a=" + escaped + ",\x01";
    message += "host=";
    message.append(host);
    message += "\x01port=" + std::to_string(port) + "\x01";
    message += "auth=Bearer ";
    message.append(token);
    message += "\x01\x01";
    return Base64Encode(message);
}

std::string ErrorChallengeAnswer(OAuthMechanism mechanism) {
    return mechanism == OAuthMechanism::OAuthBearer ? Base64Encode("\x01") : std::string();
}

std::string DescribeSaslError(std::string_view challenge) {
    const auto decoded = Base64Decode(challenge);
    if (decoded) {
        const auto json = nlohmann::json::parse(*decoded, nullptr, false);
        if (json.is_object()) {
            std::string out;
            for (const char* field : {"status", "schemes", "scope"}) {
                const auto it = json.find(field);
                if (it == json.end()) continue;
                const std::string value = it->is_string() ? it->get<std::string>() : it->dump();
                if (!out.empty()) out += ", ";
                out += std::string(field) + " " + value;
            }
            if (!out.empty()) return Printable(out, 300);
        }
        return Printable(*decoded, 300);
    }
    return Printable(std::string(challenge), 300);
}

}  // namespace pv::auth
