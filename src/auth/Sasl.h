// Sasl: the bearer-token logins providers take instead of passwords (XOAUTH2, and OAUTHBEARER
// of RFC 7628), for SmartPop's POP3 AUTH and the transmitter's SMTP AUTH alike.
//
// Both carry the access token, so their encoded responses are secrets: callers send them with
// their secret-sending call and show a mask in the transcript. A provider that refuses the
// token answers with a challenge holding a base64 JSON status ({"status":"401",
// "schemes":"bearer","scope":"..."}); the client must answer it with an empty line (XOAUTH2) or
// "AQ==" (OAUTHBEARER, a lone ^A) before the refusal itself comes. DescribeSaslError turns that
// challenge into words for the log.
#pragma once

#include <string>
#include <string_view>

namespace pv::auth {

enum class OAuthMechanism { Auto, XOAuth2, OAuthBearer, Invalid };
// "auto", "xoauth2", "oauthbearer" in any case; missing or empty is Auto.
OAuthMechanism ParseOAuthMechanism(std::string_view text);
const char* OAuthMechanismName(OAuthMechanism mechanism);  // as AUTH names it ("XOAUTH2")
// The configured one; Auto takes OAUTHBEARER when the server offers it, else XOAUTH2 (the one
// both large providers take). Invalid when the configured one is not offered.
OAuthMechanism ChooseOAuthMechanism(OAuthMechanism configured, bool offersXOAuth2, bool offersOAuthBearer);

// The base64 initial response of the mechanism.
std::string XOAuth2Response(std::string_view user, std::string_view token);
std::string OAuthBearerResponse(std::string_view user, std::string_view token, std::string_view host,
                                unsigned port);
// What the client answers to the error challenge, by mechanism ("" or "AQ==").
std::string ErrorChallengeAnswer(OAuthMechanism mechanism);

// The provider's error challenge (the base64 text after "+ " or "334 ") in words:
// 'status 401, schemes bearer, scope https://...'; text that is not base64 JSON is shown
// as it came, without control characters.
std::string DescribeSaslError(std::string_view challenge);

}  // namespace pv::auth
