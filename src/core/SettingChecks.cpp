#include "core/SettingChecks.h"

#include <algorithm>
#include <cctype>

#include "core/Fingerprint.h"
#include "core/Format.h"
#include "core/ProtocolText.h"

namespace pv {

namespace {
std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A decimal number from min to most; digits only, so "8O" or " 25" are not quietly read as 8 or 25.
bool WholeNumber(std::string_view text, uint32_t min, uint32_t most, uint32_t& value) {
    if (!AllDigits(text) || text.size() > 10) return false;
    const unsigned long long n = std::stoull(std::string(text));
    if (n < min || n > most) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

}  // namespace

std::string CheckPort(std::string_view text, uint32_t& port) {
    if (WholeNumber(text, 1, kMaxPort, port)) return {};
    return "'" + std::string(text) + "' is not a port: write a whole number from 1 to " + std::to_string(kMaxPort) +
           ".";
}

std::string CheckFingerprint(std::string_view text, std::string& pin) {
    pin = ParseFingerprint(text);
    if (!pin.empty()) return {};
    return "'" + std::string(text) +
           "' is not a SHA-256 fingerprint: 64 hex digits, with or without colons "
           "(openssl x509 -noout -fingerprint -sha256 -in CERT shows one).";
}

PopSecurity ParsePopSecurity(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower.empty() || lower == "none") return PopSecurity::None;
    if (lower == "stls") return PopSecurity::Stls;
    if (lower == "tls") return PopSecurity::Tls;
    return PopSecurity::Invalid;
}

const char* PopSecurityName(PopSecurity security) {
    switch (security) {
        case PopSecurity::None: return "none";
        case PopSecurity::Stls: return "stls";
        case PopSecurity::Tls: return "tls";
        case PopSecurity::Invalid: break;
    }
    return "invalid";
}

uint32_t DefaultPopPort(PopSecurity security) { return security == PopSecurity::Tls ? kPopTlsPort : kPopPort; }

std::string CheckPopSecurity(std::string_view text, PopSecurity& security) {
    security = ParsePopSecurity(text);
    // An empty text reads as none, but an editor that was asked for a choice got none.
    if (!text.empty() && security != PopSecurity::Invalid) return {};
    return "'" + std::string(text) + "' is not a security: write none, stls or tls.";
}

RelaySecurity ParseRelaySecurity(std::string_view text) {
    const std::string lower = Lower(text);
    if (lower == "none") return RelaySecurity::None;
    if (lower == "starttls") return RelaySecurity::StartTls;
    if (lower == "tls") return RelaySecurity::Tls;
    return RelaySecurity::Invalid;
}

const char* RelaySecurityName(RelaySecurity security) {
    switch (security) {
        case RelaySecurity::Unset: return "not set (none)";
        case RelaySecurity::None: return "none";
        case RelaySecurity::StartTls: return "starttls";
        case RelaySecurity::Tls: return "tls";
        case RelaySecurity::Invalid: return "invalid";
    }
    return "invalid";
}

unsigned DefaultRelayPort(RelaySecurity security) {
    switch (security) {
        case RelaySecurity::StartTls: return 587;
        case RelaySecurity::Tls: return 465;
        default: return 25;
    }
}

std::string CheckRelaySecurity(std::string_view text, RelaySecurity& security) {
    security = ParseRelaySecurity(text);
    if (security != RelaySecurity::Invalid) return {};
    return "'" + std::string(text) + "' is not a security: write none, starttls or tls.";
}

std::string CheckRelayUser(std::string_view user) {
    if (!IsProtocolSafe(user)) return Format(kProtocolUnsafeText, "The user name");
    if (user.size() <= kMaxRelayUser) return {};
    return "the user name must be at most " + std::to_string(kMaxRelayUser) + " characters long.";
}

std::string CheckRelayPassword(std::string_view password) {
    if (password.empty()) return "an empty password is not allowed.";
    if (!IsProtocolSafe(password)) return Format(kProtocolUnsafeText, "The password");
    if (password.size() > kMaxRelayPassword) {
        return "the password is " + std::to_string(password.size()) + " characters long; at most " +
               std::to_string(kMaxRelayPassword) + " fit.";
    }
    return {};
}

std::string CheckLimit(std::string_view text, uint32_t most, std::string_view what, uint32_t& value) {
    if (WholeNumber(text, 1, most, value)) return {};
    return std::string(what) + " must be a whole number from 1 to " + std::to_string(most) + ".";
}

std::string CheckTlsFiles(std::string_view certificate, std::string_view key) {
    if (certificate.empty() && key.empty()) return {};
    if (certificate.empty() || key.empty()) {
        return "the LAN services need both files, the certificate and its private key: give both, or neither to "
               "offer no TLS.";
    }
    for (std::string_view path : {certificate, key}) {
        if (path.front() != '/' || !IsProtocolSafe(path)) {
            return "'" + std::string(path) +
                   "' is not a full path: the server reads it from its spool folder, so write it from the root, "
                   "e.g. /etc/postvane/tls/cert.pem.";
        }
    }
    return {};
}

bool IsScheduleTime(std::string_view text) {
    if (text.size() != 5 || text[2] != ':') return false;
    for (size_t i : {0u, 1u, 3u, 4u}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    const int hour = (text[0] - '0') * 10 + (text[1] - '0');
    const int minute = (text[3] - '0') * 10 + (text[4] - '0');
    return hour <= 23 && minute <= 59;
}

std::string CheckScheduleTimes(std::string_view text, std::string& times) {
    times.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ',' || text[i] == ' ') {
            ++i;
            continue;
        }
        const size_t end = text.find_first_of(", ", i);
        const std::string_view piece = text.substr(i, end == std::string_view::npos ? text.size() - i : end - i);
        if (!IsScheduleTime(piece)) {
            times.clear();
            return "'" + std::string(piece) + "' is not a time: write HH:MM, from 00:00 to 23:59, separated by commas.";
        }
        times += std::string(piece) + ",";
        i += piece.size();
    }
    return {};
}

std::string CheckScheduleDays(uint32_t a, uint32_t b) {
    static constexpr const char* kDays[7] = {"Monday", "Tuesday", "Wednesday", "Thursday",
                                             "Friday", "Saturday", "Sunday"};
    for (int d = 0; d < 7; ++d) {
        if ((a & b) & (1u << d)) {
            return std::string(kDays[d]) + " is in both schedules A and B; a day belongs to one of them at most.";
        }
    }
    return {};
}

}  // namespace pv
