#include "web/WebText.h"

#include <cstdio>

namespace pv::web {

namespace {
bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
constexpr size_t kMaxQueueName = 16;

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    // Overlong forms and surrogates are not text.
    if (n == 2 && c < 0xC2) return 0;
    if (n == 3) {
        const auto c1 = static_cast<unsigned char>(s[i + 1]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) return 0;
    }
    if (n == 4) {
        const auto c1 = static_cast<unsigned char>(s[i + 1]);
        if ((c == 0xF0 && c1 < 0x90) || c > 0xF4 || (c == 0xF4 && c1 >= 0x90)) return 0;
    }
    return n;
}
}  // namespace

bool IsToken(std::string_view text) {
    if (text.size() != 2 * kTokenBytes) return false;
    for (char c : text) {
        if (!IsLowerHex(c)) return false;
    }
    return true;
}

std::string SessionTokenFromCookie(std::string_view header) {
    const std::string_view name = kSessionCookie;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string_view::npos) end = header.size();
        std::string_view pair = header.substr(pos, end - pos);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        while (!pair.empty() && pair.back() == ' ') pair.remove_suffix(1);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=') {
            std::string_view value = pair.substr(name.size() + 1);
            if (IsToken(value)) return std::string(value);
        }
        pos = end + 1;
    }
    return "";
}

bool IsQueueName(std::string_view name) {
    if (name.size() < 2 || name.size() > kMaxQueueName || name[0] != 'f') return false;
    for (char c : name.substr(1)) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::vector<std::string> SplitAddresses(std::string_view text) {
    std::vector<std::string> out;
    std::string current;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

bool ParseFlag(std::string_view text, bool& ok) {
    ok = true;
    if (text == "on" || text == "1" || text == "true") return true;
    if (text == "off" || text == "0" || text == "false" || text.empty()) return false;
    ok = false;
    return false;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        ++i;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // "<" too, so that no text ever closes a script element it might be put into.
                if (c < 0x20 || c == 0x7F || c == '<') {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out += "\"";
    return out;
}

}  // namespace pv::web
