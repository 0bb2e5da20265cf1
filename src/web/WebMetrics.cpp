#include "web/WebMetrics.h"

#include "core/Folders.h"
#include "core/Metrics.h"
#include "core/QueueFiles.h"

namespace pv::web {

namespace {
struct Counter {
    Metric metric;
    const char* name;
    const char* labels;
    const char* help;
};

// Counters sharing a name are written together, under one HELP and TYPE line.
constexpr Counter kCounters[] = {
    {Metric::MessagesAccepted, "postvane_messages_accepted_total", "", "Messages the SMTP receiver stored."},
    {Metric::MessagesRefused, "postvane_smtp_refusals_total", "", "Permanent (5xx) replies the SMTP receiver gave."},
    {Metric::MessagesDelivered, "postvane_messages_delivered_total", "",
     "Recipients the spooler handled locally (mailboxes, lists, robots, forwards)."},
    {Metric::MessagesRelayed, "postvane_messages_relayed_total", "", "Messages the provider's relay took."},
    {Metric::MessagesCollected, "postvane_messages_collected_total", "",
     "Messages SmartPop collected from the provider's mailboxes and stored."},
    {Metric::ConnectionsSmtp, "postvane_connections_total", "service=\"smtp\"", "Conversations accepted, per service."},
    {Metric::ConnectionsPop, "postvane_connections_total", "service=\"pop3\"", nullptr},
    {Metric::ConnectionsFinger, "postvane_connections_total", "service=\"finger\"", nullptr},
    {Metric::ConnectionsImap, "postvane_connections_total", "service=\"imap\"", nullptr},
    {Metric::TlsHandshakes, "postvane_tls_handshakes_total", "result=\"ok\"",
     "TLS handshakes of the LAN services and the provider connections (the console's own not included)."},
    {Metric::TlsHandshakeFailures, "postvane_tls_handshakes_total", "result=\"failed\"", nullptr},
    {Metric::LoginFailures, "postvane_login_failures_total", "", "Failed logins on every surface (POP3, web console)."},
};
}  // namespace

std::string MetricsText() {
    std::string out;
    for (const auto& c : kCounters) {
        if (c.help) {
            out += std::string("# HELP ") + c.name + " " + c.help + "\n# TYPE " + c.name + " counter\n";
        }
        out += std::string(c.name) + (*c.labels ? std::string("{") + c.labels + "}" : std::string()) + " " +
               std::to_string(MetricValue(c.metric)) + "\n";
    }
    const bool spool = !SpoolRoot().empty();
    auto count = [&](const char* dir, const char* suffix) {
        return spool ? ListFolderNames(QueueDirectory(dir), suffix).size() : 0;
    };
    out += "# HELP postvane_queue_messages Messages in the spool's queues now.\n"
           "# TYPE postvane_queue_messages gauge\n";
    out += "postvane_queue_messages{queue=\"inbound\"} " + std::to_string(count(kInboxDir, ".wrk")) + "\n";
    out += "postvane_queue_messages{queue=\"outbound\"} " + std::to_string(count(kOutboxDir, ".wrk")) + "\n";
    out += "postvane_queue_messages{queue=\"set_aside\"} " + std::to_string(count(kOutboxDir, ".old")) + "\n";
    return out;
}

}  // namespace pv::web
