#include "available_processors.hpp"

#include <sched.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

#include "cpu_quota.hpp"

namespace brindlemoor::runtime {
namespace {

// The whole of a small file; empty when it cannot be read.
std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// 0 when the mask cannot be read.
std::size_t affinity_processors() {
    // The mask must be as large as the kernel's, which may count more processors than a cpu_set_t holds.
    for (std::size_t processors = CPU_SETSIZE; processors <= (std::size_t{1} << 20); processors *= 2) {
        cpu_set_t* set = CPU_ALLOC(processors);
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(processors);
        const bool read = ::sched_getaffinity(0, size, set) == 0;
        const int count = read ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (read) return static_cast<std::size_t>(count);
        if (errno != EINVAL) return 0;
    }
    return 0;
}

std::optional<std::size_t> quota_processors(const CgroupDirectory& directory) {
    if (directory.version == CgroupVersion::V2) return cgroup2_quota_processors(read_file(directory.path + "/cpu.max"));
    return cgroup1_quota_processors(read_file(directory.path + "/cpu.cfs_quota_us"),
                                    read_file(directory.path + "/cpu.cfs_period_us"));
}

}  // namespace

std::size_t available_processors() {
    std::size_t processors = affinity_processors();
    if (processors == 0) processors = std::thread::hardware_concurrency();
    for (const CgroupDirectory& directory :
         cpu_quota_directories(read_file("/proc/self/cgroup"), read_file("/proc/self/mountinfo"))) {
        const std::optional<std::size_t> allowed = quota_processors(directory);
        if (allowed && (processors == 0 || *allowed < processors)) processors = *allowed;
    }
    return processors;
}

}  // namespace brindlemoor::runtime
