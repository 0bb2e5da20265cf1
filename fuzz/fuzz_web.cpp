// What the web console reads itself: the Cookie header, route and form values (queue names,
// flags, address lists, ports, names through the shared checks), and the JSON it writes back
// from any text. HTTP itself is the HTTP library's. Each input goes through every parser; the
// properties below are what the console relies on.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/SettingChecks.h"
#include "delivery/AdminRules.h"
#include "web/WebText.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text(input);

    // A token is found only in its exact shape, so it can be a map key and a file-free name.
    const std::string token = pv::web::SessionTokenFromCookie(input);
    Require(token.empty() || pv::web::IsToken(token));

    // A queue name never leaves the outbox folder.
    if (pv::web::IsQueueName(input)) Require(input.find_first_of("/\\.") == std::string_view::npos);

    for (const auto& piece : pv::web::SplitAddresses(input)) {
        Require(!piece.empty() && piece.find_first_of(", \t\r\n") == std::string::npos);
    }

    bool ok = false;
    pv::web::ParseFlag(input, ok);

    // The JSON text is one string literal: no raw control character, no "<" (it may sit in a
    // page), quotes only at its ends or escaped.
    const std::string json = pv::web::JsonString(input);
    Require(json.size() >= 2 && json.front() == '"' && json.back() == '"');
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        Require(c >= 0x20 && c != 0x7F && c != '<');
        if (c == '\\') {
            ++i;  // the escaped character
        } else {
            Require(c != '"');
        }
    }

    // Form fields through the checks postvane-admin shares: an accepted name stays in its folder.
    if (pv::NameProblem("mailbox", text).empty()) {
        Require(text.find('/') == std::string::npos && text.find("..") == std::string::npos);
    }
    pv::DomainNameProblem(text);
    pv::ForwardAddressProblem(text);
    // A reply text keeps line breaks only as "\n": no CR or other control character reaches a
    // message through it.
    std::string reply;
    if (pv::ReplyTextProblem(text, reply).empty()) {
        for (unsigned char c : reply) Require(c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F));
    }
    // A member address is one work-file line the list server can match.
    std::string member;
    if (pv::ListMemberAddress(text, member).empty()) {
        Require(!member.empty() && member.size() <= 254 && member.find_first_of(" \t\r\n,<>") == std::string::npos);
        for (char c : member) Require(c < 'A' || c > 'Z');
    }
    uint32_t port = 0;
    if (pv::CheckPort(text, port).empty()) Require(port >= 1 && port <= 65535);
    return 0;
}
