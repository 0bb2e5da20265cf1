// AdminPassword: the web console administrator's password, kept in the store only as a salted
// slow hash (libsodium's crypto_pwhash_str, Argon2id), set by the wizard and postvane-admin.
#pragma once

#include <string>

namespace pv::auth {

// `AdvCon\WebPassword`, REG_SZ: the hash string ("$argon2id$v=19$..."); missing: nobody can log in.
inline constexpr const char* kWebPasswordValue = "WebPassword";
// A web password shorter than this is refused: it guards the whole gateway.
inline constexpr size_t kMinAdminPasswordLength = 10;
inline constexpr size_t kMaxAdminPasswordLength = 128;

// "" when the password may be used, else what to change.
std::string AdminPasswordProblem(const std::string& password);
// Hashes and stores it; "" or why not.
std::string SetAdminPassword(const std::string& password);
// Whether a password is stored at all.
bool AdminPasswordSet();
// Compares a typed password with the stored hash; false when none is stored or it is damaged.
bool CheckAdminPassword(const std::string& typed);

}  // namespace pv::auth
