// The OAuth2 pieces with rules of their own: the SASL messages (checked against the published
// examples), the provider's error challenge, PKCE's S256 challenge (RFC 7636's vector), base64
// decoding, and which endpoints may be called in clear.
#include <gtest/gtest.h>

#include "auth/Http.h"
#include "auth/OAuth2.h"
#include "auth/Sasl.h"
#include "net/Codec.h"

namespace {

std::string Decoded(const std::string& base64) {
    const auto text = pv::Base64Decode(base64);
    EXPECT_TRUE(text.has_value()) << base64;
    return text.value_or("");
}

TEST(OAuthSasl, MessagesAsTheProvidersDocumentThem) {
    EXPECT_EQ(Decoded(pv::auth::XOAuth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg")),
              "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01");
    // RFC 7628, section 4.1.
    EXPECT_EQ(Decoded(pv::auth::OAuthBearerResponse("user@example.com", "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==",
                                                    "server.example.com", 143)),
              "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
              "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
    // "," and "=" would end the GS2 header early: escaped.
    EXPECT_EQ(Decoded(pv::auth::OAuthBearerResponse("a,b=c", "t", "h", 1)).substr(0, 14), "n,a=a=2Cb=3Dc,");
    EXPECT_EQ(pv::auth::ErrorChallengeAnswer(pv::auth::OAuthMechanism::XOAuth2), "");
    EXPECT_EQ(Decoded(pv::auth::ErrorChallengeAnswer(pv::auth::OAuthMechanism::OAuthBearer)), "\x01");
}

TEST(OAuthSasl, ErrorChallengeInWords) {
    // RFC 7628, section 4.3.
    EXPECT_EQ(pv::auth::DescribeSaslError(
                  "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJleGFtcGxlX3Njb3BlIiwib3BlbmlkLWNvbmZpZ3VyYXRpb24iOiJodHRw"
                  "czovL2V4YW1wbGUuY29tLy53ZWxsLWtub3duL29wZW5pZC1jb25maWd1cmF0aW9uIn0="),
              "status invalid_token, scope example_scope");
    EXPECT_EQ(pv::auth::DescribeSaslError(pv::Base64Encode(R"({"status":"401","schemes":"bearer"})")),
              "status 401, schemes bearer");
    // Not JSON, not base64: shown as it came, without control characters.
    EXPECT_EQ(pv::auth::DescribeSaslError(pv::Base64Encode("plain\r\nwords")), "plain??words");
    EXPECT_EQ(pv::auth::DescribeSaslError("not base64!"), "not base64!");
}

TEST(OAuthSasl, MechanismChoice) {
    using M = pv::auth::OAuthMechanism;
    EXPECT_EQ(pv::auth::ChooseOAuthMechanism(M::Auto, true, true), M::OAuthBearer);
    EXPECT_EQ(pv::auth::ChooseOAuthMechanism(M::Auto, true, false), M::XOAuth2);
    EXPECT_EQ(pv::auth::ChooseOAuthMechanism(M::Auto, false, false), M::Invalid);
    EXPECT_EQ(pv::auth::ChooseOAuthMechanism(M::XOAuth2, false, true), M::Invalid);
    EXPECT_EQ(pv::auth::ParseOAuthMechanism("XOAuth2"), M::XOAuth2);
    EXPECT_EQ(pv::auth::ParseOAuthMechanism("plain"), M::Invalid);
    EXPECT_EQ(pv::auth::ParseLoginMethod(""), pv::auth::LoginMethod::Password);
    EXPECT_EQ(pv::auth::ParseLoginMethod("OAuth2"), pv::auth::LoginMethod::OAuth2);
    EXPECT_EQ(pv::auth::ParseLoginMethod("oauth"), pv::auth::LoginMethod::Invalid);
}

TEST(OAuthPkce, ChallengeOfTheStandardsVector) {
    // RFC 7636, appendix B.
    EXPECT_EQ(pv::auth::PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    pv::auth::OAuthSettings settings;
    settings.clientId = "id";
    settings.authUrl = "https://login.example/authorize";
    pv::auth::PkceRequest a, b;
    std::string error, code;
    ASSERT_TRUE(pv::auth::StartPkce(settings, "http://127.0.0.1:8765/", a, error));
    ASSERT_TRUE(pv::auth::StartPkce(settings, "http://127.0.0.1:8765/", b, error));
    EXPECT_EQ(a.verifier.size(), 43u);
    EXPECT_NE(a.verifier, b.verifier);
    EXPECT_NE(a.address.find("code_challenge=" + pv::auth::PkceChallenge(a.verifier) + "&code_challenge_method=S256"),
              std::string::npos);
    EXPECT_EQ(a.address.find(a.verifier), std::string::npos);
    // The redirect must carry this request's state and a code.
    EXPECT_TRUE(pv::auth::CodeFromRedirect(a, "http://127.0.0.1:8765/?code=c%2B1&state=" + a.state, code, error));
    EXPECT_EQ(code, "c+1");
    EXPECT_FALSE(pv::auth::CodeFromRedirect(a, "http://127.0.0.1:8765/?code=c1&state=" + b.state, code, error));
    EXPECT_FALSE(pv::auth::CodeFromRedirect(a, "http://127.0.0.1:8765/?state=" + a.state, code, error));
    EXPECT_FALSE(pv::auth::CodeFromRedirect(a, "http://127.0.0.1:8765/?error=access_denied&state=" + a.state, code, error));
    EXPECT_NE(error.find("access_denied"), std::string::npos);
}

TEST(OAuthCodec, Base64DecodeRefusesWhatIsNotBase64) {
    for (const std::string s : {"", "Zg==", "Zm8=", "Zm9v", "//79", "cMOkc3M="}) {
        const auto text = pv::Base64Decode(s);
        ASSERT_TRUE(text.has_value()) << s;
        EXPECT_EQ(pv::Base64Encode(*text), s);
    }
    for (const std::string s : {"Zm9", "Zm=v", "Z!==", "Zg=a", "=Zg="}) EXPECT_FALSE(pv::Base64Decode(s)) << s;
    EXPECT_EQ(pv::Base64UrlNoPad("\xfb\xff"), "-_8");
}

TEST(OAuthHttp, PlainHttpOnlyToLoopback) {
    std::string why;
    for (const char* url : {"https://login.example.com/token", "http://127.0.0.1:8080/token", "http://127.5.6.7/t",
                            "http://localhost/token", "http://[::1]:80/token"}) {
        EXPECT_TRUE(pv::auth::EndpointAllowed(url, why)) << url;
    }
    for (const char* url : {"http://login.example.com/token", "http://127.0.0.1.example.com/token",
                            "http://10.0.0.1/token", "ftp://127.0.0.1/token", "", "token"}) {
        EXPECT_FALSE(pv::auth::EndpointAllowed(url, why)) << url;
    }
}

}  // namespace
