// Fingerprint: the SHA-256 certificate fingerprints an operator pins in the hive (the relay's,
// a SmartPop provider's), checked where they are read and where they are written.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace pv {

// 64 lower-case hex digits from a fingerprint written with or without colons or blanks, in
// any case; "" when the text is not a SHA-256 fingerprint. A pin that cannot match anything
// must be refused where it is set, not discovered as a refused certificate later.
inline std::string ParseFingerprint(std::string_view text) {
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return hex.size() == 64 ? hex : std::string();
}

}  // namespace pv
