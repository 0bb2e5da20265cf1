// SettingChecks: the vocabulary and the rule for each kind of value an operator sets (ports,
// certificate pins, how a provider connection is protected, the relay's login, connection
// limits, the LAN certificate), in one place for every editor of the configuration:
// postvane-admin, the applet and the readers in the server agree because they call these.
//
// Every Check... returns "" when the value may be written (and hands back its normal form),
// else the refusal a person reads: what is wrong and what to write instead. Editors show that
// text as it is and write nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pv {

// ---- ports ------------------------------------------------------------------------------------

inline constexpr uint32_t kMaxPort = 65535;
// Decimal digits only, 1 to kMaxPort.
std::string CheckPort(std::string_view text, uint32_t& port);

// ---- certificate pins ------------------------------------------------------------------------

// A SHA-256 fingerprint, with or without colons, in any case; pin gets the 64 lower-case hex
// digits the readers compare with (ParseFingerprint).
std::string CheckFingerprint(std::string_view text, std::string& pin);

// ---- SmartPop accounts (`SmartPop\<account>`) ---------------------------------------------------

// Values under an account key.
inline constexpr const char* kPopSecurityValue = "security";        // REG_SZ none|stls|tls
inline constexpr const char* kPopFingerprintValue = "fingerprint";  // REG_SZ, hex SHA-256
inline constexpr const char* kPopPortValue = "port";                // REG_DWORD; missing: by security
inline constexpr uint32_t kPopPort = 110;
inline constexpr uint32_t kPopTlsPort = 995;  // TLS from the first byte

// How an account's connection is protected.
enum class PopSecurity { None, Stls, Tls, Invalid };
// "none", "stls", "tls" in any case; a missing or empty value is None, anything else Invalid.
PopSecurity ParsePopSecurity(std::string_view text);
const char* PopSecurityName(PopSecurity security);
// The port the collector uses when the account has no port value.
uint32_t DefaultPopPort(PopSecurity security);
std::string CheckPopSecurity(std::string_view text, PopSecurity& security);

// ---- the relay (values under `AdvCon`) ---------------------------------------------------------

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
std::string CheckRelaySecurity(std::string_view text, RelaySecurity& security);
// At most kMaxRelayUser characters, and safe in a protocol line (IsProtocolSafe).
std::string CheckRelayUser(std::string_view user);
// Not empty, at most kMaxRelayPassword characters, and safe in a protocol line.
std::string CheckRelayPassword(std::string_view password);

// ---- connection limits (values under `AdvCon`, read when the listeners start) ----------------

inline constexpr const char* kMaxConnectionsValue = "MaxConnections";
inline constexpr const char* kMaxPerAddressValue = "MaxPerAddress";
inline constexpr const char* kSessionLimitValue = "SessionLimit";
// The largest message the SMTP receiver takes, in bytes (read by CSMTPServer, and by SmartPop
// when its own `SmartPopMaxMessageSize` is missing or 0).
inline constexpr const char* kMaxMessageSizeValue = "MaxMessageSize";
// What a missing value means: conversations of one service at once, from one client address
// at once (clients inside AdvCon\RelayNets are not counted), seconds one conversation may last.
inline constexpr uint32_t kDefaultMaxConnections = 200;
inline constexpr uint32_t kDefaultMaxPerAddress = 20;
inline constexpr uint32_t kDefaultSessionSeconds = 1800;
// The most each limit may be; the readers give a larger one its default.
inline constexpr uint32_t kMostConnections = 100000;
inline constexpr uint32_t kMostSessionSeconds = 7 * 24 * 3600;
// A whole number from 1 to most; what names the limit in the refusal.
std::string CheckLimit(std::string_view text, uint32_t most, std::string_view what, uint32_t& value);

// ---- the LAN services' own certificate (values under `AdvCon`) -------------------------------

inline constexpr const char* kTlsCertificateValue = "TlsCertificate";  // REG_SZ, PEM chain
inline constexpr const char* kTlsKeyValue = "TlsKey";                  // REG_SZ, PEM private key
// Both empty (no TLS on the LAN side) or both set to absolute paths; what names the file.
std::string CheckTlsFiles(std::string_view certificate, std::string_view key);

// ---- the schedule (values under `Schedule`, `Schedule\\a`, `Schedule\\b`) ----------------------

// The most each condition's count may be: messages waiting, minutes a message has waited (a
// day), minutes since the last session (a week). The least is 1 (CheckLimit).
inline constexpr uint32_t kMaxCountWaiting = 1000;
inline constexpr uint32_t kMaxCountAge = 1440;
inline constexpr uint32_t kMaxCountIdle = 10080;
// Exactly "HH:MM", hour 00 to 23, minute 00 to 59: the connection manager looks for "HH:MM" in
// a set's `Times`, so a longer or shorter piece could never match, or would match a time it
// does not say.
bool IsScheduleTime(std::string_view text);
// Times separated by commas or blanks; times gets the stored form, each followed by a comma
// ("08:00,12:30,"), or "" for none.
std::string CheckScheduleTimes(std::string_view text, std::string& times);
// Set a's and set b's `dow` bits (Monday bit 0 ... Sunday bit 6): a weekday belongs to one set at
// most, since only the first set naming today is asked.
std::string CheckScheduleDays(uint32_t a, uint32_t b);

}  // namespace pv
