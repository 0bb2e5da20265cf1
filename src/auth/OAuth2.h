// OAuth2: signing in to the provider for SmartPop accounts and the relay instead of a password:
// per-account settings (a provider preset or custom endpoints), the two sign-in grants, and the
// access token each run needs, refreshed when due.
//
// Where it lives. Each user of OAuth2 has an OAuthPlace: a hive key and a prefix for its value
// names. A SmartPop account keeps `auth` (password | oauth2) and `oauth...` values under
// `SmartPop\<account>`; the relay keeps `RelayAuth` and `RelayOAuth...` under `AdvCon`. The
// values after the prefix: Provider, ClientId, ClientSecret (REG_BINARY), Scope, AuthUrl,
// DeviceUrl, TokenUrl, User (the address the login names; the relay uses RelayUser),
// Mechanism (auto | xoauth2 | oauthbearer), and what sign-in leaves: Refresh and Access
// (REG_BINARY, secrets like passwords: never logged, shown or put on a command line), Expires
// (REG_DWORD, Unix time of the access token's end), Status (REG_SZ, for people) and Revoked
// (REG_DWORD 1 once the provider refused the refresh token).
//
// The grants. The device authorization grant (RFC 8628) prints an address and a code to enter
// on any device and polls until the user has signed in there. The authorization code grant with
// PKCE (RFC 7636, S256) makes an address to open in a browser; the provider sends the browser
// back to a loopback redirect address whose code the tool takes (pasted back by the user on a
// machine without a browser). Either stores the refresh token only when the provider gave one.
//
// Access tokens. A run asks AccessTokenFor: the stored token while it has more than
// kRefreshMargin left, else a fresh one from the refresh token (a rotated refresh token is
// stored). A caller whose login was refused with a token from the store asks once more with
// `force`. A refresh token the provider refuses (invalid_grant) ends that account's use of
// OAuth2 until someone signs in again: one log line, the Status text, one notice to the
// postmaster; later runs of that account end without a word in the log. Other accounts go on.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include "auth/Sasl.h"

namespace pv::auth {

// How a SmartPop account or the relay logs in.
enum class LoginMethod { Password, OAuth2, Invalid };
// "password" or "oauth2" in any case; missing or empty is Password.
LoginMethod ParseLoginMethod(std::string_view text);
inline constexpr const char* kRelayAuthValue = "RelayAuth";  // under AdvCon
inline constexpr const char* kSmartPopAuthValue = "auth";    // under SmartPop\<account>

// A token is refreshed when it has less than this left: a run must not start with a token that
// dies during the login.
inline constexpr std::time_t kRefreshMargin = 300;
// A token reply without expires_in is taken to last this long (what providers give).
inline constexpr std::time_t kDefaultLifetime = 3600;
// The longest token (either kind) kept; Microsoft's access tokens run to a few kilobytes.
inline constexpr size_t kMaxTokenBytes = 16 * 1024;
// The device grant's polling interval when the provider names none, and its lower bound.
inline constexpr int kDefaultPollSeconds = 5;

struct OAuthPlace {
    std::string key;           // "SmartPop\<account>" or "AdvCon"
    std::string prefix;        // "oauth" or "RelayOAuth"
    std::string what;          // for people: "SmartPop account a@b" or "the relay"
    std::string loginCommand;  // what signs in again
};
OAuthPlace SmartPopOAuthPlace(const std::string& account);
OAuthPlace RelayOAuthPlace();

struct OAuthPreset {
    const char* name;
    const char* authUrl;
    const char* deviceUrl;  // "" where the provider allows no device grant for mail
    const char* tokenUrl;
    const char* popScope;
    const char* smtpScope;
    const char* extraAuthParams;  // appended to the browser address ("&access_type=offline...")
};
// "microsoft" or "google" (any case); null for others. Microsoft's addresses name the tenant
// "organizations" (any work account); a tenant id or domain can replace it.
const OAuthPreset* FindPreset(std::string_view name);

struct OAuthSettings {
    std::string provider;  // a preset's name, or "custom"
    std::string clientId;
    std::string clientSecret;  // optional; a secret
    std::string scope;
    std::string authUrl;
    std::string deviceUrl;
    std::string tokenUrl;
    std::string user;
    OAuthMechanism mechanism = OAuthMechanism::Auto;
};
// False with `problem` set (a sentence naming the value to set) when they cannot work.
bool ReadOAuthSettings(const OAuthPlace& place, OAuthSettings& settings, std::string& problem);
bool WriteOAuthSettings(const OAuthPlace& place, const OAuthSettings& settings);

// What the provider's token endpoint gave.
struct TokenSet {
    std::string access;
    std::string refresh;
    std::time_t expires = 0;
};
// Stores a sign-in's tokens and clears a revocation; false when they cannot be written.
bool StoreSignIn(const OAuthPlace& place, const TokenSet& tokens);
// For `status` listings: the Status text, whether a refresh token is stored, and the access
// token's end (0 when none).
struct SignInState {
    std::string status;
    bool signedIn = false;
    bool revoked = false;
    std::time_t expires = 0;
};
SignInState ReadSignInState(const OAuthPlace& place);

enum class TokenOutcome { Ok, NotSignedIn, Revoked, Failed };
struct AccessToken {
    TokenOutcome outcome = TokenOutcome::Failed;
    std::string token;     // with Ok
    bool fresh = false;    // obtained just now: a refusal of it is not cured by refreshing
};
// The access token for a run; anything but Ok has already been said in the log (NotSignedIn
// after a revocation silently). `now` is the clock (tests move it).
AccessToken AccessTokenFor(const OAuthPlace& place, const OAuthSettings& settings, bool force,
                           std::time_t now = std::time(nullptr));

// --- the device authorization grant ------------------------------------------------------------
struct DeviceGrant {
    std::string deviceCode;  // a secret between this program and the provider
    std::string userCode;
    std::string verificationUri;
    std::string verificationUriComplete;
    int interval = kDefaultPollSeconds;
    int expiresIn = 900;
};
bool StartDeviceGrant(const OAuthSettings& settings, DeviceGrant& grant, std::string& error);
enum class PollOutcome { Pending, SlowDown, Done, Failed };
PollOutcome PollDeviceGrant(const OAuthSettings& settings, const DeviceGrant& grant, TokenSet& tokens,
                            std::string& error);

// One device sign-in from the code to the stored tokens, driven by the admin tool (a loop with a
// sleep) and the applet (a timer) alike: the polling rules live here.
class CDeviceSignIn {
public:
    CDeviceSignIn(OAuthPlace place, OAuthSettings settings) : place_(std::move(place)), settings_(std::move(settings)) {}
    // Asks the provider for the code to show.
    bool Start(std::string& error);
    const DeviceGrant& Grant() const { return grant_; }
    // Wait this long before the next Poll (RFC 8628: 5 s more after each slow_down).
    int IntervalSeconds() const { return interval_; }
    int SecondsLeft() const;
    // One poll. Pending: call again after IntervalSeconds. Done: the sign-in is stored.
    // Failed: `error` says why (refused, expired, no refresh token, not stored).
    PollOutcome Poll(std::string& error);

private:
    OAuthPlace place_;
    OAuthSettings settings_;
    DeviceGrant grant_;
    int interval_ = kDefaultPollSeconds;
    std::time_t deadline_ = 0;
};

// --- the authorization code grant with PKCE ----------------------------------------------------
struct PkceRequest {
    std::string verifier;  // a secret kept by the tool until the code comes back
    std::string state;     // ties the redirect to this request
    std::string redirectUri;
    std::string address;   // to open in the browser
};
// The S256 challenge of a verifier.
std::string PkceChallenge(std::string_view verifier);
bool StartPkce(const OAuthSettings& settings, const std::string& redirectUri, PkceRequest& request,
               std::string& error);
// The code from the address the browser was sent back to; false with `error` when it carries an
// error, no code, or another request's state.
bool CodeFromRedirect(const PkceRequest& request, const std::string& redirected, std::string& code,
                      std::string& error);
bool ExchangeCode(const OAuthSettings& settings, const PkceRequest& request, const std::string& code,
                  TokenSet& tokens, std::string& error);
// The whole end of a browser sign-in: the code from the address, its exchange, and the stored
// sign-in. False with `error` for people.
bool FinishBrowserSignIn(const OAuthPlace& place, const OAuthSettings& settings, const PkceRequest& request,
                         const std::string& redirected, std::string& error);

}  // namespace pv::auth
