// RelayLogin: what the transmitter needs beyond HELO to reach today's providers: the relay's
// security settings under `AdvCon`, the EHLO capability list, and the AUTH PLAIN and LOGIN
// encodings. The admin tool writes the same values through the names kept here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/SettingChecks.h"
#include "net/Codec.h"

namespace pv {

// The relay's values under `AdvCon`, RelaySecurity and its parsing come from
// core/SettingChecks.h, which the editors of the configuration share. RelayAuth (password |
// oauth2) and the RelayOAuth... values: see auth/OAuth2.h.

struct RelaySettings {
    RelaySecurity security = RelaySecurity::Unset;
    std::string securityText;  // as written, for the log line about an invalid one
    std::string user;
    std::string password;
    std::string fingerprint;  // normalised; "" when none is set
    bool fingerprintInvalid = false;
    unsigned port = 25;
    bool portInvalid = false;  // a value outside 1..65535: the default is used, and said
    bool oauth2 = false;       // RelayAuth is oauth2: RelayUser logs in with a token, not the password
    bool authInvalid = false;  // RelayAuth is neither password nor oauth2
    std::string authText;

    bool WantsTls() const { return security == RelaySecurity::StartTls || security == RelaySecurity::Tls; }
    // EHLO and the capability list are needed: something beyond plain HELO was asked for.
    bool Extended() const { return WantsTls() || !user.empty(); }
};
RelaySettings ReadRelaySettings();

// What a relay offers in its EHLO reply.
struct EhloCapabilities {
    bool startTls = false;
    bool auth = false;  // AUTH with any mechanism
    bool authPlain = false;
    bool authLogin = false;
    bool authXOAuth2 = false;
    bool authOAuthBearer = false;

    // One line of the reply, its code included ("250-AUTH PLAIN LOGIN"). The first line of a
    // reply names the relay and is never read as a capability.
    void AddLine(std::string_view line, bool firstLine);
};

enum class AuthMechanism { None, Plain, Login };
// PLAIN when offered (one round trip), else LOGIN, else None.
AuthMechanism ChooseMechanism(const EhloCapabilities& caps);

// The initial response of AUTH PLAIN: no authorisation identity, the user, the password.
std::string SaslPlainResponse(std::string_view user, std::string_view password);

}  // namespace pv
