#include "auth/Passwords.h"

#include <cerrno>
#include <stdexcept>
#include <sys/random.h>

namespace pv::auth {

std::string RandomPassword() {
    static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    constexpr unsigned kSize = sizeof kAlphabet - 1;
    // Bytes at or above the largest multiple of the alphabet's size are drawn again, so every
    // character is equally likely.
    constexpr unsigned kUsable = 256 / kSize * kSize;
    std::string password;
    while (password.size() < kRandomPasswordLength) {
        unsigned char bytes[32];
        const ssize_t got = ::getrandom(bytes, sizeof bytes, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            // Without a random source no password may be made: a guessable one is worse.
            throw std::runtime_error("the system's random source is not available");
        }
        for (ssize_t i = 0; i < got && password.size() < kRandomPasswordLength; ++i) {
            if (bytes[i] < kUsable) password.push_back(kAlphabet[bytes[i] % kSize]);
        }
    }
    return password;
}

LoginBar LoginBarFor(bool robotMailbox, bool passwordIsName, bool fromRelayNets) {
    if (robotMailbox) return LoginBar::RobotMailbox;
    if (passwordIsName && !fromRelayNets) return LoginBar::NameAsPassword;
    return LoginBar::None;
}

}  // namespace pv::auth
