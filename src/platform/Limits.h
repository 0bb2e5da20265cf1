// Process resource limits: what the server asks of the system at start-up.
#pragma once

#include <cstdint>

namespace pv::platform {

struct DescriptorLimit {
    uint64_t before = 0;  // soft limit found
    uint64_t after = 0;   // soft limit in force afterwards
    uint64_t hard = 0;
    int error = 0;        // errno of a failed attempt, 0 when none
};

// Raises the soft limit on open descriptors to the hard limit (to the kernel's per-process
// ceiling when the hard limit is unlimited). The distribution default of 1,024 is used up by a
// few hundred conversations, each with its socket and files.
DescriptorLimit RaiseDescriptorLimit();

}  // namespace pv::platform
