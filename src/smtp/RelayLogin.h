// RelayLogin: what the transmitter needs beyond HELO to reach today's providers: the relay's
// security settings under `AdvCon`, the EHLO capability list, and the AUTH PLAIN and LOGIN
// encodings. The admin tool writes the same values through the names kept here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pv {

// Values under `AdvCon`.
inline constexpr const char* kRelaySecurityValue = "RelaySecurity";        // REG_SZ none|starttls|tls
inline constexpr const char* kRelayUserValue = "RelayUser";                // REG_SZ
inline constexpr const char* kRelayPasswordValue = "RelayPassword";        // REG_BINARY, as mailbox passwords
inline constexpr const char* kRelayFingerprintValue = "RelayFingerprint";  // REG_SZ, hex SHA-256
inline constexpr const char* kRelayPortValue = "smtpoutport";              // REG_DWORD

// Provider passwords and tokens run longer than mailbox passwords; this bounds what the hive
// may hand the transmitter.
inline constexpr size_t kMaxRelayPassword = 256;
inline constexpr size_t kMaxRelayUser = 256;

// How the conversation with the relay is protected. Unset (the value is missing) behaves as
// None for the connection, but a password is only ever sent unencrypted when the operator
// wrote "none" on purpose.
enum class RelaySecurity { Unset, None, StartTls, Tls, Invalid };

// "none", "starttls", "tls" in any case; anything else is Invalid, a missing text Unset.
RelaySecurity ParseRelaySecurity(std::string_view text);
const char* RelaySecurityName(RelaySecurity security);
// The relay's usual port for each security: 25 plain, 587 submission with STARTTLS, 465 TLS.
unsigned DefaultRelayPort(RelaySecurity security);

struct RelaySettings {
    RelaySecurity security = RelaySecurity::Unset;
    std::string securityText;  // as written, for the log line about an invalid one
    std::string user;
    std::string password;
    std::string fingerprint;  // normalised; "" when none is set
    bool fingerprintInvalid = false;
    unsigned port = 25;
    bool portInvalid = false;  // a value outside 1..65535: the default is used, and said

    bool WantsTls() const { return security == RelaySecurity::StartTls || security == RelaySecurity::Tls; }
    // EHLO and the capability list are needed: something beyond plain HELO was asked for.
    bool Extended() const { return WantsTls() || !user.empty(); }
};
RelaySettings ReadRelaySettings();

// The checks every administration surface applies before writing the relay's user and
// password: "" when acceptable, else what to change.
std::string RelayUserProblem(const std::string& user);
std::string RelayPasswordProblem(const std::string& password);

// What a relay offers in its EHLO reply.
struct EhloCapabilities {
    bool startTls = false;
    bool auth = false;  // AUTH with any mechanism
    bool authPlain = false;
    bool authLogin = false;

    // One line of the reply, its code included ("250-AUTH PLAIN LOGIN"). The first line of a
    // reply names the relay and is never read as a capability.
    void AddLine(std::string_view line, bool firstLine);
};

enum class AuthMechanism { None, Plain, Login };
// PLAIN when offered (one round trip), else LOGIN, else None.
AuthMechanism ChooseMechanism(const EhloCapabilities& caps);

std::string Base64Encode(std::string_view bytes);
// The initial response of AUTH PLAIN: no authorisation identity, the user, the password.
std::string SaslPlainResponse(std::string_view user, std::string_view password);

}  // namespace pv
