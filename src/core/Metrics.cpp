#include "core/Metrics.h"

#include <atomic>

namespace pv {

namespace {
std::atomic<uint64_t> g_counters[static_cast<int>(Metric::Count)];
}

void CountMetric(Metric metric, uint64_t by) {
    g_counters[static_cast<int>(metric)].fetch_add(by, std::memory_order_relaxed);
}

uint64_t MetricValue(Metric metric) { return g_counters[static_cast<int>(metric)].load(std::memory_order_relaxed); }

}  // namespace pv
