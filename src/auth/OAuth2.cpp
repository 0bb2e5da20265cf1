#include "auth/OAuth2.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "auth/Http.h"
#include "core/Format.h"
#include "core/GeneratedMail.h"
#include "core/Log.h"
#include "core/ProtocolText.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "net/Codec.h"

namespace pv::auth {

namespace {

// Every text OAuth2 writes to the log or the postmaster. "%s" are the place's `what` first.
struct Texts {
    static constexpr const char* kNotSignedIn =
        "%s logs in with OAuth2 but nobody has signed in yet; run %s. Nothing is done for it until then.";
    static constexpr const char* kRefreshFailed =
        "%s: the provider's token endpoint could not give a fresh access token (%s); the run ends and the "
        "next one tries again.";
    static constexpr const char* kRevoked =
        "%s: the provider refused the stored sign-in (%s); it is no longer used. Sign in again with %s. "
        "Until then nothing is done for it; the postmaster has been told.";
    static constexpr const char* kStatusRevoked = "signed out by the provider on %s (%s): sign in again with %s";
    static constexpr const char* kStatusSignedIn = "signed in on %s";
    static constexpr const char* kNoticeSubject = "Sign-in needed: %s";
    static constexpr const char* kNoticeBody =
        "The provider no longer accepts the sign-in that Postvane kept for %s\r\n"
        "(it answered: %s). This happens when the password of the mailbox is changed,\r\n"
        "when an administrator revokes the sessions or the consent of the application,\r\n"
        "or when the sign-in was not used for months.\r\n"
        "\r\n"
        "Until someone signs in again, Postvane does nothing for %s.\r\n"
        "Other accounts go on as before. To sign in again, run on the server:\r\n"
        "\r\n"
        "    %s\r\n"
        "\r\n"
        "and follow what it prints.\r\n";
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Provider text in a log line or a status: one line, bounded.
std::string Printable(std::string text) {
    if (text.size() > 300) text.resize(300);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

std::string Value(const OAuthPlace& place, const char* name) { return place.prefix + name; }

std::string ReadSecret(const CRegistryKey& key, const std::string& name) {
    std::vector<char> buffer(kMaxTokenBytes);
    size_t got = 0;
    if (!key.ReadBinary(name, buffer.data(), buffer.size(), &got)) return {};
    std::string out(buffer.data(), got);
    out.resize(std::min(out.size(), out.find('\0')));
    return out;
}

bool WriteSecret(CRegistryKey& key, const std::string& name, const std::string& secret) {
    if (secret.empty()) {
        key.DeleteValue(name);
        return true;
    }
    return key.WriteBinary(name, secret.data(), secret.size());
}

std::string LocalTime(std::time_t when, const char* format) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[64] = {};
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

struct TokenReply {
    bool ok = false;
    TokenSet tokens;
    std::string error;        // the provider's error code ("invalid_grant"), or "" when none came
    std::string description;  // for people
};

TokenReply CallTokenEndpoint(const std::string& url, FormFields fields, const OAuthSettings& settings,
                             std::time_t now) {
    TokenReply reply;
    fields.emplace_back("client_id", settings.clientId);
    if (!settings.clientSecret.empty()) fields.emplace_back("client_secret", settings.clientSecret);
    HttpResponse response;
    if (!PostForm(url, fields, response)) {
        reply.description = response.error;
        return reply;
    }
    const auto json = nlohmann::json::parse(response.body, nullptr, false);
    if (!json.is_object()) {
        reply.description = "HTTP " + std::to_string(response.status) + " without a JSON answer";
        return reply;
    }
    auto text = [&](const char* name) {
        const auto it = json.find(name);
        return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    reply.error = text("error");
    if (response.status == 200 && reply.error.empty() && !text("access_token").empty()) {
        reply.ok = true;
        reply.tokens.access = text("access_token");
        reply.tokens.refresh = text("refresh_token");
        std::time_t lifetime = kDefaultLifetime;
        const auto it = json.find("expires_in");
        if (it != json.end() && it->is_number() && it->get<double>() >= 1) lifetime = static_cast<std::time_t>(it->get<double>());
        if (it != json.end() && it->is_string()) lifetime = std::max<std::time_t>(1, std::atol(it->get<std::string>().c_str()));
        reply.tokens.expires = now + lifetime;
        if (reply.tokens.access.size() > kMaxTokenBytes || reply.tokens.refresh.size() > kMaxTokenBytes) {
            reply.ok = false;
            reply.description = "a token longer than " + std::to_string(kMaxTokenBytes) + " bytes";
        }
        return reply;
    }
    const std::string description = text("error_description");
    reply.description = Printable(reply.error.empty() ? "HTTP " + std::to_string(response.status)
                                                      : reply.error + (description.empty() ? "" : ": " + description));
    return reply;
}

// The postmaster's notice goes into the inbound queue as a pair, flushed and committed like any
// message before this run ends: the spooler delivers it to the alias `postmaster`.
void NoticeToPostmaster(const OAuthPlace& place, const std::string& why) {
    const std::string base = InboundQueuePath();
    const std::string domain = PrimaryDomain().empty() ? std::string("localhost") : PrimaryDomain();
    const std::string body = Format(Texts::kNoticeBody, place.what.c_str(), why.c_str(), place.what.c_str(),
                                    place.loginCommand.c_str());
    GeneratedHeader header;
    header.fromName = "Postvane";
    header.fromAddress = "postvane@" + domain;
    header.to = "postmaster";
    header.subject = Format(Texts::kNoticeSubject, place.what.c_str());
    header.domain = domain;
    header.extra = {"Auto-Submitted: auto-generated"};
    TextFileWriter out;
    bool ok = !base.empty() && out.Open(base + ".txt", true);
    if (ok) {
        for (const std::string& line : GeneratedHeaderLines(header)) ok = ok && out.WriteLine(line);
        ok = ok && out.WriteLine("");
        ok = ok && out.Write(body) && out.Close() && WriteEnvelopeAndCommit(base, "postvane", {"postmaster"});
    }
    if (!ok) {
        if (!base.empty()) std::remove((base + ".txt").c_str());
        WriteLogLine("Could not queue the notice to the postmaster about " + place.what +
                     "; check that the inbox folder is writable and the disk has room");
    }
}

void Revoke(const OAuthPlace& place, const std::string& why) {
    CRegistryKey key(place.key, true);
    key.DeleteValue(Value(place, "Refresh"));
    key.DeleteValue(Value(place, "Access"));
    key.DeleteValue(Value(place, "Expires"));
    key.WriteInt(Value(place, "Revoked"), 1);
    key.WriteString(Value(place, "Status"), Format(Texts::kStatusRevoked, LocalTime(std::time(nullptr), "%Y-%m-%d %H:%M").c_str(),
                                                   why.c_str(), place.loginCommand.c_str()));
    WriteLogLine(Format(Texts::kRevoked, place.what.c_str(), why.c_str(), place.loginCommand.c_str()));
    NoticeToPostmaster(place, why);
}

bool JsonText(const nlohmann::json& json, const char* name, std::string& out) {
    const auto it = json.find(name);
    if (it == json.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

}  // namespace

LoginMethod ParseLoginMethod(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower.empty() || lower == "password") return LoginMethod::Password;
    if (lower == "oauth2") return LoginMethod::OAuth2;
    return LoginMethod::Invalid;
}

OAuthPlace SmartPopOAuthPlace(const std::string& account) {
    return {"SmartPop\\" + account, "oauth", "SmartPop account " + Printable(account),
            "postvane-admin smartpop oauth login " + Printable(account)};
}

OAuthPlace RelayOAuthPlace() { return {"AdvCon", "RelayOAuth", "the relay", "postvane-admin relay oauth login"}; }

const OAuthPreset* FindPreset(std::string_view name) {
    static const OAuthPreset kPresets[] = {
        {"microsoft", "https://login.microsoftonline.com/organizations/oauth2/v2.0/authorize",
         "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode",
         "https://login.microsoftonline.com/organizations/oauth2/v2.0/token",
         "https://outlook.office.com/POP.AccessAsUser.All offline_access",
         "https://outlook.office.com/SMTP.Send offline_access", ""},
        // Google allows no device grant for mail scopes, and gives a refresh token to the
        // browser grant only when asked for offline access.
        {"google", "https://accounts.google.com/o/oauth2/v2/auth", "", "https://oauth2.googleapis.com/token",
         "https://mail.google.com/", "https://mail.google.com/", "&access_type=offline&prompt=consent"},
    };
    const std::string lower = Lower(name);
    for (const auto& preset : kPresets) {
        if (lower == preset.name) return &preset;
    }
    return nullptr;
}

bool ReadOAuthSettings(const OAuthPlace& place, OAuthSettings& s, std::string& problem) {
    CRegistryKey key(place.key, false);
    key.ReadString(Value(place, "Provider"), s.provider);
    key.ReadString(Value(place, "ClientId"), s.clientId);
    s.clientSecret = ReadSecret(key, Value(place, "ClientSecret"));
    key.ReadString(Value(place, "Scope"), s.scope);
    key.ReadString(Value(place, "AuthUrl"), s.authUrl);
    key.ReadString(Value(place, "DeviceUrl"), s.deviceUrl);
    key.ReadString(Value(place, "TokenUrl"), s.tokenUrl);
    key.ReadString(Value(place, "User"), s.user);
    std::string mechanism;
    key.ReadString(Value(place, "Mechanism"), mechanism);
    s.mechanism = ParseOAuthMechanism(mechanism);
    const std::string setup = place.loginCommand.substr(0, place.loginCommand.find(" login")) + " setup";
    std::string why;
    if (s.clientId.empty()) {
        problem = place.what + " logs in with OAuth2 but has no client id (" + place.key + "\\" +
                  Value(place, "ClientId") + "); set it with " + setup + ".";
    } else if (!EndpointAllowed(s.tokenUrl, why)) {
        problem = place.what + ": the token endpoint " + place.key + "\\" + Value(place, "TokenUrl") + " " +
                  why.substr(why.find(' ') + 1) + "; set it with " + setup + ".";
    } else if (!IsProtocolSafe(s.user) || !IsProtocolSafe(s.clientId)) {
        // A control character in the user would add fields to the SASL message (they are
        // separated by ^A).
        problem = place.what + ": " + place.key + "\\" + Value(place, "User") + " or " + Value(place, "ClientId") +
                  " holds control characters; set them again with " + setup + ".";
    } else if (s.mechanism == OAuthMechanism::Invalid) {
        problem = place.what + ": " + place.key + "\\" + Value(place, "Mechanism") + " is \"" + Printable(mechanism) +
                  "\"; set it to auto, xoauth2 or oauthbearer.";
    } else {
        return true;
    }
    return false;
}

bool WriteOAuthSettings(const OAuthPlace& place, const OAuthSettings& s) {
    CRegistryKey key(place.key, true);
    bool ok = key.IsOpen();
    ok = ok && key.WriteString(Value(place, "Provider"), s.provider);
    ok = ok && key.WriteString(Value(place, "ClientId"), s.clientId);
    ok = ok && WriteSecret(key, Value(place, "ClientSecret"), s.clientSecret);
    ok = ok && key.WriteString(Value(place, "Scope"), s.scope);
    ok = ok && key.WriteString(Value(place, "AuthUrl"), s.authUrl);
    ok = ok && key.WriteString(Value(place, "DeviceUrl"), s.deviceUrl);
    ok = ok && key.WriteString(Value(place, "TokenUrl"), s.tokenUrl);
    if (ok && !s.user.empty()) ok = key.WriteString(Value(place, "User"), s.user);
    ok = ok && key.WriteString(Value(place, "Mechanism"), Lower(OAuthMechanismName(s.mechanism)));
    return ok;
}

bool StoreSignIn(const OAuthPlace& place, const TokenSet& tokens) {
    CRegistryKey key(place.key, true);
    // The refresh token first: it is what later runs need; the access token is a convenience.
    bool ok = key.IsOpen() && WriteSecret(key, Value(place, "Refresh"), tokens.refresh) &&
              WriteSecret(key, Value(place, "Access"), tokens.access) &&
              key.WriteInt(Value(place, "Expires"), static_cast<uint32_t>(tokens.expires));
    ok = ok && key.WriteString(Value(place, "Status"),
                               Format(Texts::kStatusSignedIn, LocalTime(std::time(nullptr), "%Y-%m-%d %H:%M").c_str()));
    key.DeleteValue(Value(place, "Revoked"));
    return ok;
}

SignInState ReadSignInState(const OAuthPlace& place) {
    CRegistryKey key(place.key, false);
    SignInState state;
    key.ReadString(Value(place, "Status"), state.status);
    state.signedIn = !ReadSecret(key, Value(place, "Refresh")).empty();
    uint32_t revoked = 0, expires = 0;
    key.ReadInt(Value(place, "Revoked"), revoked);
    key.ReadInt(Value(place, "Expires"), expires);
    state.revoked = revoked != 0;
    state.expires = expires;
    return state;
}

AccessToken AccessTokenFor(const OAuthPlace& place, const OAuthSettings& settings, bool force, std::time_t now) {
    AccessToken result;
    CRegistryKey key(place.key, false);
    const std::string refresh = ReadSecret(key, Value(place, "Refresh"));
    if (refresh.empty()) {
        uint32_t revoked = 0;
        key.ReadInt(Value(place, "Revoked"), revoked);
        // A revocation was said once, when it happened; the Status text keeps saying it.
        if (!revoked) WriteLogLine(Format(Texts::kNotSignedIn, place.what.c_str(), place.loginCommand.c_str()));
        result.outcome = revoked ? TokenOutcome::Revoked : TokenOutcome::NotSignedIn;
        return result;
    }
    uint32_t expires = 0;
    key.ReadInt(Value(place, "Expires"), expires);
    const std::string stored = ReadSecret(key, Value(place, "Access"));
    if (!force && !stored.empty() && static_cast<std::time_t>(expires) > now + kRefreshMargin) {
        result.outcome = TokenOutcome::Ok;
        result.token = stored;
        return result;
    }
    FormFields fields = {{"grant_type", "refresh_token"}, {"refresh_token", refresh}};
    if (!settings.scope.empty()) fields.emplace_back("scope", settings.scope);
    const TokenReply reply = CallTokenEndpoint(settings.tokenUrl, fields, settings, now);
    if (!reply.ok) {
        if (reply.error == "invalid_grant") {
            Revoke(place, reply.description);
            result.outcome = TokenOutcome::Revoked;
        } else {
            WriteLogLine(Format(Texts::kRefreshFailed, place.what.c_str(), Printable(reply.description).c_str()));
            result.outcome = TokenOutcome::Failed;
        }
        return result;
    }
    CRegistryKey writer(place.key, true);
    // A provider that rotates refresh tokens has made the old one useless: the new one is kept
    // before the access token is used, so a crash after this point loses nothing.
    if (!reply.tokens.refresh.empty() && reply.tokens.refresh != refresh) {
        WriteSecret(writer, Value(place, "Refresh"), reply.tokens.refresh);
    }
    WriteSecret(writer, Value(place, "Access"), reply.tokens.access);
    writer.WriteInt(Value(place, "Expires"), static_cast<uint32_t>(reply.tokens.expires));
    result.outcome = TokenOutcome::Ok;
    result.token = reply.tokens.access;
    result.fresh = true;
    return result;
}

bool StartDeviceGrant(const OAuthSettings& settings, DeviceGrant& grant, std::string& error) {
    if (settings.deviceUrl.empty()) {
        error = "no device authorization endpoint is set (the provider may not allow this grant for mail); "
                "use the browser sign-in (--browser)";
        return false;
    }
    FormFields fields = {{"client_id", settings.clientId}, {"scope", settings.scope}};
    if (!settings.clientSecret.empty()) fields.emplace_back("client_secret", settings.clientSecret);
    HttpResponse response;
    if (!PostForm(settings.deviceUrl, fields, response)) {
        error = response.error;
        return false;
    }
    const auto json = nlohmann::json::parse(response.body, nullptr, false);
    if (!json.is_object() || response.status != 200 || !JsonText(json, "device_code", grant.deviceCode) ||
        !JsonText(json, "user_code", grant.userCode)) {
        std::string code, description;
        if (json.is_object()) {
            JsonText(json, "error", code);
            JsonText(json, "error_description", description);
        }
        error = Printable("the device authorization endpoint answered HTTP " + std::to_string(response.status) +
                          (code.empty() ? "" : " " + code) + (description.empty() ? "" : ": " + description));
        return false;
    }
    // Some providers spell it verification_url.
    if (!JsonText(json, "verification_uri", grant.verificationUri)) JsonText(json, "verification_url", grant.verificationUri);
    JsonText(json, "verification_uri_complete", grant.verificationUriComplete);
    if (json.contains("interval") && json["interval"].is_number_integer()) {
        grant.interval = std::max(1, json["interval"].get<int>());
    }
    if (json.contains("expires_in") && json["expires_in"].is_number_integer()) {
        grant.expiresIn = std::max(1, json["expires_in"].get<int>());
    }
    return true;
}

PollOutcome PollDeviceGrant(const OAuthSettings& settings, const DeviceGrant& grant, TokenSet& tokens,
                            std::string& error) {
    const TokenReply reply = CallTokenEndpoint(
        settings.tokenUrl,
        {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"device_code", grant.deviceCode}}, settings,
        std::time(nullptr));
    if (reply.ok) {
        tokens = reply.tokens;
        return PollOutcome::Done;
    }
    if (reply.error == "authorization_pending") return PollOutcome::Pending;
    if (reply.error == "slow_down") return PollOutcome::SlowDown;
    error = reply.description;
    return PollOutcome::Failed;
}

namespace {
constexpr const char* kNoRefreshToken =
    "the provider gave no refresh token, so the sign-in would not last; the scope must ask for offline access "
    "(Microsoft: offline_access; Google: the google preset asks for it)";
}  // namespace

bool CDeviceSignIn::Start(std::string& error) {
    if (!StartDeviceGrant(settings_, grant_, error)) return false;
    interval_ = std::max(1, grant_.interval);
    deadline_ = std::time(nullptr) + grant_.expiresIn;
    return true;
}

int CDeviceSignIn::SecondsLeft() const { return static_cast<int>(std::max<std::time_t>(0, deadline_ - std::time(nullptr))); }

PollOutcome CDeviceSignIn::Poll(std::string& error) {
    if (SecondsLeft() <= 0) {
        error = "the code expired before anyone signed in; start again";
        return PollOutcome::Failed;
    }
    TokenSet tokens;
    const PollOutcome outcome = PollDeviceGrant(settings_, grant_, tokens, error);
    if (outcome == PollOutcome::SlowDown) {
        interval_ += 5;
        return PollOutcome::Pending;
    }
    if (outcome != PollOutcome::Done) return outcome;
    if (tokens.refresh.empty()) {
        error = kNoRefreshToken;
        return PollOutcome::Failed;
    }
    if (!StoreSignIn(place_, tokens)) {
        error = "the sign-in could not be written to the configuration store";
        return PollOutcome::Failed;
    }
    return PollOutcome::Done;
}

std::string PkceChallenge(std::string_view verifier) { return Base64UrlNoPad(Sha256(verifier)); }

bool StartPkce(const OAuthSettings& settings, const std::string& redirectUri, PkceRequest& request,
               std::string& error) {
    if (!EndpointAllowed(settings.authUrl, error)) return false;
    // 32 random bytes make the 43-character verifier RFC 7636 asks for.
    const std::string random = RandomBytes(32), state = RandomBytes(16);
    if (random.empty() || state.empty()) {
        error = "the system's random generator gave nothing";
        return false;
    }
    request.verifier = Base64UrlNoPad(random);
    request.state = Base64UrlNoPad(state);
    request.redirectUri = redirectUri;
    const OAuthPreset* preset = FindPreset(settings.provider);
    request.address = settings.authUrl + (settings.authUrl.find('?') == std::string::npos ? "?" : "&") +
                      "response_type=code&client_id=" + UrlEncode(settings.clientId) +
                      "&redirect_uri=" + UrlEncode(redirectUri) + "&scope=" + UrlEncode(settings.scope) +
                      "&state=" + request.state + "&code_challenge=" + PkceChallenge(request.verifier) +
                      "&code_challenge_method=S256" +
                      (settings.user.empty() ? "" : "&login_hint=" + UrlEncode(settings.user)) +
                      (preset ? preset->extraAuthParams : "");
    return true;
}

bool CodeFromRedirect(const PkceRequest& request, const std::string& redirected, std::string& code,
                      std::string& error) {
    std::string state, failure, description;
    if (QueryParameter(redirected, "error", failure)) {
        QueryParameter(redirected, "error_description", description);
        error = Printable("the provider refused the sign-in: " + failure + (description.empty() ? "" : ": " + description));
        return false;
    }
    if (!QueryParameter(redirected, "code", code) || code.empty()) {
        error = "the address holds no code=...; paste the whole address from the browser's address bar";
        return false;
    }
    if (!QueryParameter(redirected, "state", state) || state != request.state) {
        error = "the address belongs to another sign-in (its state does not match); start again";
        return false;
    }
    return true;
}

bool ExchangeCode(const OAuthSettings& settings, const PkceRequest& request, const std::string& code,
                  TokenSet& tokens, std::string& error) {
    const TokenReply reply = CallTokenEndpoint(settings.tokenUrl,
                                               {{"grant_type", "authorization_code"},
                                                {"code", code},
                                                {"redirect_uri", request.redirectUri},
                                                {"code_verifier", request.verifier}},
                                               settings, std::time(nullptr));
    if (!reply.ok) {
        error = reply.description;
        return false;
    }
    tokens = reply.tokens;
    return true;
}

bool FinishBrowserSignIn(const OAuthPlace& place, const OAuthSettings& settings, const PkceRequest& request,
                         const std::string& redirected, std::string& error) {
    std::string code;
    if (!CodeFromRedirect(request, redirected, code, error)) return false;
    TokenSet tokens;
    if (!ExchangeCode(settings, request, code, tokens, error)) {
        error = "the provider refused the code: " + error;
        return false;
    }
    if (tokens.refresh.empty()) {
        error = kNoRefreshToken;
        return false;
    }
    if (!StoreSignIn(place, tokens)) {
        error = "the sign-in could not be written to the configuration store";
        return false;
    }
    return true;
}

}  // namespace pv::auth
