#include "auth/AdminPassword.h"

#include <sodium.h>

#include "core/RegistryKey.h"

namespace pv::auth {

namespace {
// The "interactive" costs: about a tenth of a second and 64 MiB per check on a small machine,
// which a guesser who stole the store pays for every guess.
constexpr unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
constexpr size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}
}  // namespace

std::string AdminPasswordProblem(const std::string& password) {
    if (password.size() < kMinAdminPasswordLength) {
        return "the web console password must be at least " + std::to_string(kMinAdminPasswordLength) +
               " characters long.";
    }
    if (password.size() > kMaxAdminPasswordLength) {
        return "the web console password must be at most " + std::to_string(kMaxAdminPasswordLength) +
               " characters long.";
    }
    for (unsigned char c : password) {
        if (c < 0x20 || c == 0x7F) return "the web console password must not contain control characters.";
    }
    return "";
}

std::string SetAdminPassword(const std::string& password) {
    if (auto problem = AdminPasswordProblem(password); !problem.empty()) return problem;
    if (!SodiumReady()) return "the password library could not start; the password was not changed.";
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), kOpsLimit, kMemLimit) != 0) {
        return "there was not enough memory to hash the password; it was not changed.";
    }
    if (!CRegistryKey("AdvCon", true).WriteString(kWebPasswordValue, hash)) {
        return "could not write AdvCon\\WebPassword to the configuration store.";
    }
    return "";
}

bool AdminPasswordSet() {
    std::string hash;
    return CRegistryKey("AdvCon", false).ReadString(kWebPasswordValue, hash) && !hash.empty();
}

bool CheckAdminPassword(const std::string& typed) {
    std::string hash;
    if (!SodiumReady() || !CRegistryKey("AdvCon", false).ReadString(kWebPasswordValue, hash)) return false;
    // A damaged value (not a hash string, or no terminator inside the field) never matches.
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.c_str(), typed.data(), typed.size()) == 0;
}

}  // namespace pv::auth
