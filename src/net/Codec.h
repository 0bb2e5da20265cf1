// Codec: base64, SHA-256 and random bytes from the TLS library, for SASL and OAuth2 messages.
// No hand-written codec: the library every peer trusts does the arithmetic.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pv {

// Standard base64 with padding.
std::string Base64Encode(std::string_view bytes);
// Standard base64 with padding, blanks around it ignored; nullopt for anything else.
std::optional<std::string> Base64Decode(std::string_view text);
// The URL-safe alphabet without padding (PKCE code challenges, OAuth2 state values).
std::string Base64UrlNoPad(std::string_view bytes);
// The 32 raw bytes of the SHA-256 digest.
std::string Sha256(std::string_view bytes);
// `count` bytes from the library's cryptographic generator; "" when it has no entropy.
std::string RandomBytes(size_t count);

}  // namespace pv
