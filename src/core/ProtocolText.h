// ProtocolText: what may go into a line this system sends to a provider (POP3, SMTP): one check
// for every value that ends up in a command, shared by the admin tool, the applet, the web
// console and the conversations themselves.
//
// A CR or LF inside a value would end the command early and start another one the provider
// obeys ("PASS abc" CR LF "DELE 1"); other control characters garble the line or the log. So
// values are refused when they are written to the store, and every conversation refuses to send
// a command that holds a line break whatever the store holds.
#pragma once

#include <string_view>

namespace pv {

// A value that may stand in a protocol line (account, password, user, host name): no control
// characters (below 0x20, and 0x7F) at all. Bytes above 0x7F pass: passwords may be UTF-8.
bool IsProtocolSafe(std::string_view value);

// Whether a command line about to be sent holds a CR or LF: the conversation must not send it.
bool HasLineBreak(std::string_view command);

// The text said to a person whose value IsProtocolSafe refuses, naming what it is for
// ("the password").
inline constexpr const char* kProtocolUnsafeText =
    "%s must not contain control characters (such as line breaks or tabs): they would end the "
    "command sent to the provider and start another. Type it again without them.";

}  // namespace pv
