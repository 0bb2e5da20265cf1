// The pieces of the secured relay conversation that have logic of their own: the EHLO
// capability list, the AUTH encodings, and the relay settings as the hive holds them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/Fingerprint.h"
#include "core/RegistryKey.h"
#include "smtp/RelayLogin.h"

namespace {

pv::EhloCapabilities Caps(const std::vector<std::string>& reply) {
    pv::EhloCapabilities caps;
    for (size_t i = 0; i < reply.size(); ++i) caps.AddLine(reply[i], i == 0);
    return caps;
}

TEST(RelayLoginCapabilities, KeywordsAreReadFromEveryLineButTheFirst) {
    // The first line names the relay (here one called "auth"), whatever words follow; the last
    // line counts as well.
    auto caps = Caps({"250-auth Hello PLAIN", "250-PIPELINING", "250-SIZE 10240000", "250 AUTH LOGIN"});
    EXPECT_FALSE(caps.startTls);
    EXPECT_TRUE(caps.authLogin);
    EXPECT_FALSE(caps.authPlain);
    EXPECT_EQ(pv::ChooseMechanism(caps), pv::AuthMechanism::Login);

    // Keywords and mechanisms in any case; PLAIN preferred when both are offered.
    caps = Caps({"250-relay.test", "250-starttls", "250 Auth login Plain"});
    EXPECT_TRUE(caps.startTls);
    EXPECT_TRUE(caps.authPlain && caps.authLogin);
    EXPECT_EQ(pv::ChooseMechanism(caps), pv::AuthMechanism::Plain);

    // The old "AUTH=" form, and words that only begin like a keyword.
    caps = Caps({"250-relay.test", "250-STARTTLSX", "250-AUTHX PLAIN", "250 AUTH=PLAIN"});
    EXPECT_FALSE(caps.startTls);
    EXPECT_TRUE(caps.authPlain);
    EXPECT_FALSE(caps.authLogin);

    // Mechanisms this system does not speak: AUTH is there, but nothing to choose.
    caps = Caps({"250-relay.test", "250 AUTH CRAM-MD5 XOAUTH2 PLAINTEXT"});
    EXPECT_TRUE(caps.auth);
    EXPECT_EQ(pv::ChooseMechanism(caps), pv::AuthMechanism::None);
    caps = Caps({"250 relay.test"});
    EXPECT_FALSE(caps.auth || caps.startTls);
}

TEST(RelayLoginEncoding, Base64AndThePlainResponse) {
    // The standard's vectors, every length of the last group.
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : vectors) EXPECT_EQ(pv::Base64Encode(in), out) << in;
    // Bytes above 0x7f (a password in UTF-8) are not taken as negative numbers.
    EXPECT_EQ(pv::Base64Encode("\xff\xfe\xfd"), "//79");
    EXPECT_EQ(pv::Base64Encode("p\xc3\xa4ss"), "cMOkc3M=");
    // "\0user\0pass": the NULs are part of the token.
    EXPECT_EQ(pv::SaslPlainResponse("user", "pass"), "AHVzZXIAcGFzcw==");
    EXPECT_EQ(pv::SaslPlainResponse("jo@provider.test", "s3cret"), "AGpvQHByb3ZpZGVyLnRlc3QAczNjcmV0");
}

TEST(RelayLoginFingerprint, ColonsCaseAndLength) {
    const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_EQ(pv::ParseFingerprint(hex), hex);
    std::string colons;
    for (size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
    for (char& c : colons) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(pv::ParseFingerprint(colons), hex);
    EXPECT_EQ(pv::ParseFingerprint(hex.substr(1)), "");         // 63 digits: a SHA-1 or a typo
    EXPECT_EQ(pv::ParseFingerprint(hex + "00"), "");             // too long
    EXPECT_EQ(pv::ParseFingerprint(hex.substr(1) + "g"), "");    // not hex
    EXPECT_EQ(pv::ParseFingerprint(""), "");
}

class RelaySettingsTest : public pvtest::HiveTest {};

TEST_F(RelaySettingsTest, ValuesAsTheHiveHoldsThem) {
    // Nothing set: plain HELO to port 25, as before these settings existed.
    auto s = pv::ReadRelaySettings();
    EXPECT_EQ(s.security, pv::RelaySecurity::Unset);
    EXPECT_EQ(s.port, 25u);
    EXPECT_FALSE(s.Extended());

    pv::CRegistryKey adv("AdvCon", true);
    adv.WriteString("RelaySecurity", "STARTTLS");
    s = pv::ReadRelaySettings();
    EXPECT_EQ(s.security, pv::RelaySecurity::StartTls);
    EXPECT_EQ(s.port, 587u);
    EXPECT_TRUE(s.Extended());
    adv.WriteString("RelaySecurity", "tls");
    EXPECT_EQ(pv::ReadRelaySettings().port, 465u);
    adv.WriteInt("smtpoutport", 2465);
    EXPECT_EQ(pv::ReadRelaySettings().port, 2465u);
    adv.WriteInt("smtpoutport", 70000);  // a bad value falls back and says so
    s = pv::ReadRelaySettings();
    EXPECT_EQ(s.port, 465u);
    EXPECT_TRUE(s.portInvalid);
    adv.WriteString("RelaySecurity", "ssl");
    EXPECT_EQ(pv::ReadRelaySettings().security, pv::RelaySecurity::Invalid);

    // A user alone asks for the extended conversation too (security none written on purpose).
    adv.WriteString("RelaySecurity", "none");
    adv.WriteString("RelayUser", "jo");
    s = pv::ReadRelaySettings();
    EXPECT_EQ(s.security, pv::RelaySecurity::None);
    EXPECT_TRUE(s.Extended());
    EXPECT_FALSE(s.WantsTls());

    // The password as the admin tool writes it (its bytes), padded like the mailbox field, or
    // written as text with the registry editor.
    adv.WriteBinary("RelayPassword", "s3cret", 6);
    EXPECT_EQ(pv::ReadRelaySettings().password, "s3cret");
    const char padded[20] = "pw";
    adv.WriteBinary("RelayPassword", padded, sizeof padded);
    EXPECT_EQ(pv::ReadRelaySettings().password, "pw");
    adv.WriteString("RelayPassword", "as-text");
    EXPECT_EQ(pv::ReadRelaySettings().password, "as-text");

    adv.WriteString("RelayFingerprint", "AB:CD");
    s = pv::ReadRelaySettings();
    EXPECT_TRUE(s.fingerprintInvalid);
    EXPECT_EQ(s.fingerprint, "");
}

}  // namespace
