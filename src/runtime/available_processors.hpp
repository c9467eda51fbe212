#pragma once

#include <cstddef>

namespace brindlemoor::runtime {

// The processors this process may run on: those of its CPU affinity mask (the machine's processor count when the
// mask cannot be read), at most as many as the smallest cgroup CPU quota of its cgroups allows (quota / period
// rounded up). 0 when nothing can be learnt.
std::size_t available_processors();

}  // namespace brindlemoor::runtime
