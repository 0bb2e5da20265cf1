// WebMetrics: the /metrics page in the Prometheus text format (version 0.0.4): the process's
// event counters (core/Metrics.h) and the queue lengths, read from the spool at each request.
#pragma once

#include <string>

namespace pv::web {

std::string MetricsText();

}  // namespace pv::web
