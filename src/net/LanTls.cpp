#include "net/LanTls.h"

#include <mutex>
#include <string>

#include "core/Log.h"
#include "core/RegistryKey.h"

namespace pv::net {

namespace {

std::mutex g_mutex;
std::shared_ptr<CTlsContext> g_context;

}  // namespace

void LoadLanTls() {
    CRegistryKey key("AdvCon", false);
    std::string cert;
    std::string privateKey;
    key.ReadString(kTlsCertificateValue, cert);
    key.ReadString(kTlsKeyValue, privateKey);
    std::shared_ptr<CTlsContext> context;
    if (cert.empty() != privateKey.empty()) {
        WriteLogLine(std::string("TLS is off for SMTP and POP3: AdvCon\\") +
                     (cert.empty() ? kTlsCertificateValue : kTlsKeyValue) + " is not set, AdvCon\\" +
                     (cert.empty() ? kTlsKeyValue : kTlsCertificateValue) +
                     " is. Set both (postvane-wizard makes a certificate) and restart Postvane.");
    } else if (!cert.empty()) {
        std::string error;
        context = MakeServerTlsContext(cert, privateKey, error);
        if (!context) WriteLogLine("TLS is off for SMTP and POP3: " + error + " Then restart Postvane.");
    }
    std::lock_guard lock(g_mutex);
    g_context = std::move(context);
}

std::shared_ptr<CTlsContext> LanTlsContext() {
    std::lock_guard lock(g_mutex);
    return g_context;
}

}  // namespace pv::net
