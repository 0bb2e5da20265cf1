// Metrics: process-wide event counters for monitoring (the web console's /metrics). Counting is
// one relaxed atomic increment, so any thread may count at any moment.
#pragma once

#include <cstdint>

namespace pv {

enum class Metric : int {
    MessagesAccepted,   // SMTP receiver: a message committed after DATA
    MessagesRefused,    // SMTP receiver: a recipient or message refused with a 5xx reply
    MessagesDelivered,  // spooler: a copy placed in a local mailbox
    MessagesRelayed,    // transmitter: a message the relay took
    MessagesCollected,  // SmartPop: a message from a provider's mailbox committed to the spool
    ConnectionsSmtp,    // conversations accepted, per service
    ConnectionsPop,
    ConnectionsFinger,
    ConnectionsImap,
    LoginFailures,      // failed logins on any surface
    TlsHandshakes,      // TLS sessions established (LAN services and provider connections)
    TlsHandshakeFailures,
    Count
};

void CountMetric(Metric metric, uint64_t by = 1);
uint64_t MetricValue(Metric metric);

}  // namespace pv
