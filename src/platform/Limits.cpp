#include "platform/Limits.h"

#include <cerrno>
#include <cstdio>
#include <sys/resource.h>

namespace pv::platform {

namespace {

// /proc/sys/fs/nr_open: the most descriptors one process may have; 1048576 when unreadable.
rlim_t KernelCeiling() {
    unsigned long long value = 1048576;
    if (std::FILE* f = std::fopen("/proc/sys/fs/nr_open", "r")) {
        if (std::fscanf(f, "%llu", &value) != 1) value = 1048576;
        std::fclose(f);
    }
    return static_cast<rlim_t>(value);
}

}  // namespace

DescriptorLimit RaiseDescriptorLimit() {
    DescriptorLimit result;
    rlimit lim {};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        result.error = errno;
        return result;
    }
    result.before = result.after = lim.rlim_cur;
    result.hard = lim.rlim_max;
    rlim_t target = lim.rlim_max == RLIM_INFINITY ? KernelCeiling() : lim.rlim_max;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur >= target) return result;
    lim.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        result.error = errno;
        return result;
    }
    result.after = target;
    return result;
}

}  // namespace pv::platform
