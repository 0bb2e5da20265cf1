// The web console's own rules outside the server: the administrator's password hash and the
// session cookie.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "auth/AdminPassword.h"
#include "core/RegistryKey.h"
#include "web/WebText.h"

namespace {

class AdminPasswordTest : public pvtest::HiveTest {};

TEST_F(AdminPasswordTest, OnlyTheSaltedHashIsStoredAndOnlyThePasswordMatchesIt) {
    EXPECT_FALSE(pv::auth::CheckAdminPassword(""));  // nothing set: nobody logs in
    EXPECT_NE(pv::auth::SetAdminPassword("short"), "");
    EXPECT_NE(pv::auth::SetAdminPassword("line\nbreak-in-it"), "");
    ASSERT_EQ(pv::auth::SetAdminPassword("a long enough one"), "");
    std::string first;
    pv::CRegistryKey("AdvCon", false).ReadString(pv::auth::kWebPasswordValue, first);
    EXPECT_EQ(first.rfind("$argon2id$", 0), 0u) << first;
    EXPECT_EQ(first.find("a long enough one"), std::string::npos);
    EXPECT_TRUE(pv::auth::CheckAdminPassword("a long enough one"));
    EXPECT_FALSE(pv::auth::CheckAdminPassword("a long enough on"));
    EXPECT_FALSE(pv::auth::CheckAdminPassword(""));
    // Salted: the same password hashes differently each time.
    ASSERT_EQ(pv::auth::SetAdminPassword("a long enough one"), "");
    std::string second;
    pv::CRegistryKey("AdvCon", false).ReadString(pv::auth::kWebPasswordValue, second);
    EXPECT_NE(first, second);
    // A damaged value matches nothing, and is not a crash.
    pv::CRegistryKey("AdvCon", true).WriteString(pv::auth::kWebPasswordValue, "a long enough one");
    EXPECT_FALSE(pv::auth::CheckAdminPassword("a long enough one"));
    pv::CRegistryKey("AdvCon", true).WriteString(pv::auth::kWebPasswordValue, std::string(300, '$'));
    EXPECT_FALSE(pv::auth::CheckAdminPassword(std::string(300, '$')));
}

TEST(WebTextTest, TheSessionCookieIsFoundOnlyInItsExactShape) {
    const std::string token(64, 'a');
    EXPECT_EQ(pv::web::SessionTokenFromCookie("x=1; pvsession=" + token + "; y=2"), token);
    EXPECT_EQ(pv::web::SessionTokenFromCookie("pvsession=" + token), token);
    EXPECT_EQ(pv::web::SessionTokenFromCookie("xpvsession=" + token), "");
    EXPECT_EQ(pv::web::SessionTokenFromCookie("pvsession=" + token + "0"), "");
    EXPECT_EQ(pv::web::SessionTokenFromCookie("pvsession=" + std::string(64, 'A')), "");
    // A bad first cookie of the name does not hide a good later one (an old path's cookie).
    EXPECT_EQ(pv::web::SessionTokenFromCookie("pvsession=old; pvsession=" + token), token);
}

}  // namespace
