// WebText: what the web console reads from requests itself (the session cookie, route and form
// values) and the JSON it writes. HTTP itself is parsed by the HTTP library; these small
// parsers are the console's own, and fuzz/fuzz_web.cpp feeds them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pv::web {

inline constexpr const char* kSessionCookie = "pvsession";
// Session tokens and CSRF tokens: this many random bytes, written as lower-case hex.
inline constexpr size_t kTokenBytes = 32;

// The session token from a Cookie header ("a=b; pvsession=<hex>"); "" when there is none or it
// is not a token's shape (exactly 2 * kTokenBytes lower-case hex digits).
std::string SessionTokenFromCookie(std::string_view header);
bool IsToken(std::string_view text);
// A queue file's base name as the queue writes them ("f" and hex digits, at most 16 characters).
bool IsQueueName(std::string_view name);
// Addresses typed into one field, separated by commas, blanks or line breaks; empty pieces
// are dropped.
std::vector<std::string> SplitAddresses(std::string_view text);
// "on"/"1"/"true" or "off"/"0"/"false"/"" (an unticked box sends nothing); false on anything
// else, with `ok` false.
bool ParseFlag(std::string_view text, bool& ok);

// A JSON string literal, quotes included; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace pv::web
