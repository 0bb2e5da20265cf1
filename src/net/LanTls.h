// LanTls: the certificate the LAN services (SMTP STARTTLS, POP3 STLS) offer, loaded from the
// hive when the listeners start and shared by every conversation until the next start.
#pragma once

#include <memory>

#include "core/SettingChecks.h"
#include "net/Tls.h"

namespace pv::net {

// AdvCon values: PEM files of the certificate chain and its private key (named where their
// editors check them).
using pv::kTlsCertificateValue;
using pv::kTlsKeyValue;

// Reads and loads both files. Neither set: the services offer no TLS, without a word. Only one
// set, or a file that cannot be used: one log line saying what to fix, and no TLS; the
// services run on regardless.
void LoadLanTls();
// What the last LoadLanTls made; null when TLS is off.
std::shared_ptr<CTlsContext> LanTlsContext();

}  // namespace pv::net
